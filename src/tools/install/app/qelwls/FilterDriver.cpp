// The filter component through INetCfg: every attempt initialises COM, takes
// the engine's write lock, does its work and gives both back.
#include "FilterDriver.h"

#include "BasicException.h"
#include "DriverInf.h"
#include "Handles.h"
#include "Trace.h"
#include "Update.h"
#include "UpdateDrivers.h"
#include "Util.h"

#include <netcfgx.h>

namespace qel {
namespace {
constexpr const char* kModuleName = "FilterDriver";

const GUID kNetCfgClass = {0x5B035261, 0x40F9, 0x11D1, {0xAA, 0xEC, 0x00, 0x80, 0x5F, 0xC1, 0x27, 0x0E}};
const GUID kNetServiceClass = {0x4D36E974, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const wchar_t kLockClient[] = L"QELWLS";
constexpr DWORD kLockWait = 5000;
constexpr int kLockAttempts = 10;
constexpr DWORD kLockPause = 2000;
const HRESULT kCancelled = HRESULT_FROM_WIN32(ERROR_CANCELLED);

bool Installed(HRESULT hr) { return hr == S_OK || hr == NETCFG_S_REBOOT; }

// The configuration engine for one attempt: COM, the object, the write lock
// and the engine's initialisation, all given back in reverse order.
class NetCfgSession {
public:
    NetCfgSession() : com_(COINIT_APARTMENTTHREADED) {}
    ~NetCfgSession() {
        if (initialized_) netCfg_->Uninitialize();
        if (locked_) lock_->ReleaseWriteLock();
    }
    NetCfgSession(const NetCfgSession&) = delete;
    NetCfgSession& operator=(const NetCfgSession&) = delete;

    // COM already initialised on this thread counts as a failure: the engine
    // must not be torn down under a caller that holds it.
    HRESULT Open() {
        if (com_.Result() == S_FALSE) return E_FAIL;
        if (FAILED(com_.Result())) return com_.Result();
        HRESULT hr = ::CoCreateInstance(kNetCfgClass, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetCfg),
                                        netCfg_.PutVoid());
        if (FAILED(hr)) return hr;
        hr = netCfg_->QueryInterface(__uuidof(INetCfgLock), lock_.PutVoid());
        if (SUCCEEDED(hr)) {
            LPWSTR holder = nullptr;
            hr = lock_->AcquireWriteLock(kLockWait, kLockClient, &holder);
            holder_.Reset(holder);
            if (hr == S_FALSE) hr = NETCFG_E_NO_WRITE_LOCK;
            locked_ = hr == S_OK;
        }
        if (SUCCEEDED(hr)) hr = netCfg_->Initialize(nullptr);
        initialized_ = SUCCEEDED(hr);
        return hr;
    }
    INetCfg* Get() const { return netCfg_.Get(); }
    const wchar_t* Holder() const { return static_cast<const wchar_t*>(holder_.Get()); }

private:
    ComScope com_;
    ComPtr<INetCfg> netCfg_;
    ComPtr<INetCfgLock> lock_;
    UniqueCoTaskMem holder_;
    bool locked_ = false;
    bool initialized_ = false;
};

HRESULT LastErrorResult() { return HRESULT_FROM_WIN32(::GetLastError()); }

HRESULT InstallNetComponent(INetCfg* netCfg, const std::wstring& id, const GUID& classGuid,
                            const std::wstring& infPath) {
    // The INF goes into the INF store first, where the engine looks for it.
    const std::wstring sourceFolder = infPath.substr(0, infPath.find_last_of(L"\\/") + 1);
    if (!::SetupCopyOEMInfW(infPath.c_str(), sourceFolder.c_str(), SPOST_PATH, 0, nullptr, 0, nullptr, nullptr))
        return LastErrorResult();
    ComPtr<INetCfgClassSetup> setup;
    HRESULT hr = netCfg->QueryNetCfgClass(&classGuid, __uuidof(INetCfgClassSetup), setup.PutVoid());
    if (SUCCEEDED(hr)) {
        OBO_TOKEN obo{};
        obo.Type = OBO_USER;
        ComPtr<INetCfgComponent> component;
        hr = setup->Install(id.c_str(), &obo, 0, 0, nullptr, nullptr, component.Put());
    }
    if (hr == S_OK) hr = netCfg->Apply();
    return hr;
}
}  // namespace

HRESULT GetInfPnpId(const std::wstring& infPath, std::wstring& id) {
    id.clear();
    UniqueInf inf(::SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
    if (!inf) return LastErrorResult();
    // The first model of the first models section that the manufacturers
    // give this system.
    const std::vector<std::wstring> sections = ModelsSectionsOf(inf.Get(), InfPlatformOfThisRun());
    if (sections.empty()) return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    INFCONTEXT model{};
    if (!::SetupFindFirstLineW(inf.Get(), sections[0].c_str(), nullptr, &model)) return LastErrorResult();
    id = InfStringField(model, 2);
    return id.empty() ? HRESULT_FROM_WIN32(ERROR_INVALID_DATA) : S_OK;
}

std::wstring InstalledComponentInf(const std::wstring& componentId) {
    // Network components keep their driver keys in their class's key.
    const wchar_t kNetServiceDrivers[] =
        L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E974-E325-11CE-BFC1-08002BE10318}";
    UniqueKey drivers;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kNetServiceDrivers, 0, KEY_READ, drivers.Put()) != ERROR_SUCCESS)
        return L"";
    std::wstring name;
    for (DWORD index = 0; EnumSubkeyName(drivers.Get(), index, name) == ERROR_SUCCESS; ++index) {
        UniqueKey driver;
        std::wstring id, infPath;
        if (::RegOpenKeyExW(drivers.Get(), name.c_str(), 0, KEY_READ, driver.Put()) != ERROR_SUCCESS ||
            QueryStringValue(driver.Get(), L"ComponentId", id) != ERROR_SUCCESS ||
            Lowercase(id) != Lowercase(componentId) ||
            QueryStringValue(driver.Get(), L"InfPath", infPath) != ERROR_SUCCESS || infPath.empty())
            continue;
        return InfStorePath(infPath);
    }
    return L"";
}

void RestoreFilterDriver(UpdateTransaction& transaction, const std::wstring& componentId,
                         const std::wstring& previousInf) {
    const std::wstring current = InstalledComponentInf(componentId);
    if (Lowercase(current) == Lowercase(previousInf)) return;
    TraceWrite(TraceDetail, L"Rollback(): the component %s goes back to \"%s\"\n", componentId.c_str(),
               previousInf.c_str());
    if (!current.empty()) UninstallFilterDriver(transaction, componentId);
    if (!previousInf.empty()) InstallFilterDriver(transaction, previousInf);
}

void ReinstallFilterDriver(UpdateTransaction& transaction, const std::wstring& infPath) {
    // The component first, then the INF: undone newest first, the new INF
    // leaves the store before the component is put back, since the engine
    // installs a component from the best driver the store has for it.
    AnnounceFilterComponent(transaction, kFilterComponentId);
    // The INF may name another component, which the install then replaces.
    std::wstring id;
    if (FileExists(infPath) && SUCCEEDED(GetInfPnpId(infPath, id)) && Lowercase(id) != Lowercase(kFilterComponentId))
        AnnounceFilterComponent(transaction, id);
    if (FileExists(infPath)) AnnouncePackages(transaction, DirectoryOf(infPath), {GetFileNamePart(infPath)});
    UninstallFilterDriver(transaction, kFilterComponentId);
    InstallFilterDriver(transaction, infPath);
}

void CheckFilterDriverInf(const std::wstring& infPath) {
    std::wstring id;
    if (SUCCEEDED(GetInfPnpId(infPath, id))) return;
    TraceWrite(TraceError, L"Filter driver will not be installed because '%s' has no model for %s.\n", infPath.c_str(),
               DescribeInfPlatform(InfPlatformOfThisRun()).c_str());
    QEL_RAISE(infPath, ERROR_NOT_SUPPORTED);
}

bool InstallFilterDriver(UpdateTransaction& transaction, const std::wstring& infPath) {
    if (!FileExists(infPath)) return false;
    TraceWrite(TraceDetail, L"Installing Filter Driver...\n");
    bool installed = false;
    for (int attempt = 1;; ++attempt) {
        bool retry = false;
        NetCfgSession session;
        HRESULT hr = session.Open();
        if (SUCCEEDED(hr)) {
            std::wstring id;
            hr = GetInfPnpId(infPath, id);
            if (FAILED(hr)) {
                TraceWrite(TraceDetail, L"Couldn't get pnp id from the inf file. Reason: 0x%08lx\n", hr);
            } else {
                hr = InstallNetComponent(session.Get(), id, kNetServiceClass, infPath);
                if (Installed(hr)) {
                    hr = session.Get()->Apply();
                    installed = true;
                    TraceWrite(TraceDetail, L"Filter driver for pnp id '%s' has been installed successfully.\n",
                               id.c_str());
                    if (hr == NETCFG_S_REBOOT) {
                        transaction.SetRebootRequired(true);
                        TraceWrite(TraceDetail, L"But reboot required to complete the installation.\n");
                    }
                } else if (hr != kCancelled) {
                    TraceWrite(TraceDetail, L"Couldn't install Filter Driver.\n");
                    QEL_RAISE(infPath, ::GetLastError());
                }
            }
        } else if (hr == NETCFG_E_NO_WRITE_LOCK && session.Holder()) {
            TraceWrite(TraceDetail, L"%s currently holds the lock -- #%d.\nWaiting for the lock to be released...\n",
                       session.Holder(), attempt);
            ::Sleep(kLockPause);
            retry = true;
        } else {
            TraceWrite(TraceDetail, L"Couldn't get notify object interface.\n");
        }
        if (!retry || attempt >= kLockAttempts) return installed;
    }
}

HRESULT UninstallFilterDriver(UpdateTransaction& transaction, const std::wstring& componentId) {
    NetCfgSession session;
    HRESULT hr = session.Open();
    if (FAILED(hr)) {
        if (hr == NETCFG_E_NO_WRITE_LOCK && session.Holder())
            TraceWrite(TraceDetail, L"%s currently holds the lock, try later.\n", session.Holder());
        else
            TraceWrite(TraceDetail, L"Couldn't get the notify object interface.\n");
        return hr;
    }
    const wchar_t* id = componentId.c_str();
    ComPtr<INetCfgComponent> component;
    hr = session.Get()->FindComponent(id, component.Put());
    // S_FALSE: no such component.
    if (hr != S_OK || !component) {
        TraceWrite(TraceDetail, L"Couldn't get an interface pointer to %s.\n", id);
        return hr;
    }
    TraceWrite(TraceDetail, L"Uninstalling Filter Driver...\n");
    GUID classGuid{};
    ComPtr<INetCfgClass> netClass;
    ComPtr<INetCfgClassSetup> setup;
    if (FAILED(hr = component->GetClassGuid(&classGuid))) {
        TraceWrite(TraceDetail, L"Couldn't get the class guid of %s.\n", id);
    } else if (FAILED(hr = session.Get()->QueryNetCfgClass(&classGuid, __uuidof(INetCfgClass), netClass.PutVoid()))) {
        TraceWrite(TraceDetail, L"Couldn't get a pointer to class interface of %s.\n", id);
    } else if (FAILED(hr = netClass->QueryInterface(__uuidof(INetCfgClassSetup), setup.PutVoid()))) {
        TraceWrite(TraceDetail, L"Couldn't get an interface to setup class.\n");
    } else {
        OBO_TOKEN obo{};
        obo.Type = OBO_USER;
        hr = setup->DeInstall(component.Get(), &obo, nullptr);
        if (Installed(hr)) {
            TraceWrite(TraceDetail, L"Filter driver for component id '%s' has been uninstalled successfully.\n", id);
            hr = session.Get()->Apply();
            if (!Installed(hr)) TraceWrite(TraceDetail, L"Couldn't apply the changes after uninstalling %s.\n", id);
            if (hr == NETCFG_S_REBOOT) {
                transaction.SetRebootRequired(true);
                TraceWrite(TraceDetail, L"But reboot required to complete uninstallation.\n");
            }
        } else {
            TraceWrite(TraceDetail, L"Failed to uninstall %s.\n", id);
        }
    }
    return hr;
}

}  // namespace qel
