// The virtual adapter: created root-enumerated on install, its driver
// updated when it exists already, and removed on a full uninstall.
#include "VirtualAdapter.h"

#include "BasicException.h"
#include "DevMgr.h"
#include "DriverInf.h"
#include "Trace.h"
#include "Update.h"
#include "UpdateDrivers.h"
#include "Util.h"

#include <vector>

namespace qel {
namespace {
constexpr const char* kModuleName = "VirtualAdapter";
constexpr DWORD kClassNameLength = 64;
constexpr DWORD kInstallFlagForce = 0x1;  // INSTALLFLAG_FORCE

// The hardware ids of a device as a multi-string; false (no error) for a
// device without any, false with the error otherwise.
bool ReadHardwareIds(HDEVINFO set, SP_DEVINFO_DATA& device, std::vector<wchar_t>& ids, bool& failed) {
    failed = false;
    ids.assign(256, L'\0');
    for (;;) {
        DWORD size = 0;
        if (::SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                                reinterpret_cast<BYTE*>(ids.data()),
                                                static_cast<DWORD>((ids.size() - 2) * sizeof(wchar_t)), &size)) {
            ids.resize(size / sizeof(wchar_t) + 2, L'\0');
            return true;
        }
        const DWORD error = ::GetLastError();
        if (error == ERROR_INSUFFICIENT_BUFFER) {
            ids.assign(size / sizeof(wchar_t) + 2, L'\0');
            continue;
        }
        failed = error != ERROR_INVALID_DATA;
        return false;
    }
}

// The string of the multi-string equal to `wanted` (case ignored), or null.
const wchar_t* MatchingId(const std::vector<wchar_t>& ids, const std::wstring& wanted) {
    for (const wchar_t* each = ids.data(); each < ids.data() + ids.size() && *each; each += ::lstrlenW(each) + 1)
        if (::lstrcmpiW(each, wanted.c_str()) == 0) return each;
    return nullptr;
}
}  // namespace

bool FindDevice(const std::wstring& hardwareId, bool remove) {
    UniqueDevInfo devices(::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES));
    if (!devices) {
        TraceWrite(TraceDetail, L"FindDevice(): GetClassDevs(All Present Devices)\n");
        return false;
    }
    TraceWrite(TraceDetail, L"FindDevice(): Search for Device ID: [%s]\n", hardwareId.c_str());
    SP_DEVINFO_DATA device;
    std::vector<wchar_t> ids;
    for (DWORD index = 0; EnumDevice(devices.Get(), index, device); ++index) {
        bool failed = false;
        if (!ReadHardwareIds(devices.Get(), device, ids, failed)) {
            if (!failed) continue;
            TraceWrite(TraceDetail, L"FindDevice(): GetDeviceRegistryProperty\n");
            return false;
        }
        const wchar_t* match = MatchingId(ids, hardwareId);
        if (!match) continue;
        TraceWrite(TraceDetail, L"FindDevice(): Found! [%s]\n", match);
        if (remove) {
            if (DisableDevice(devices.Get(), device) != RebootFailed)
                TraceWrite(TraceDetail, L"Disabled the device: [%s]\n", match);
            TraceWrite(TraceDetail, L"Uninstall Virtual Driver: %s\n", hardwareId.c_str());
            if (!::SetupDiCallClassInstaller(DIF_REMOVE, devices.Get(), &device))
                QEL_RAISE(kVirtualAdapterId, ::GetLastError());
        }
        return true;
    }
    return false;
}

bool CreateRootDevice(const std::wstring& hardwareId, const std::wstring& infPath, BOOL& rebootRequired) {
    GUID classGuid{};
    wchar_t className[kClassNameLength] = {};
    if (!::SetupDiGetINFClassW(infPath.c_str(), &classGuid, className, kClassNameLength, nullptr)) {
        TraceWrite(TraceDetail, L"GetINFClass\n");
        return false;
    }
    UniqueDevInfo set(::SetupDiCreateDeviceInfoList(&classGuid, nullptr));
    if (!set) {
        TraceWrite(TraceDetail, L"CreateDeviceInfoList\n");
        return false;
    }
    // The id as a multi-string: its terminator and a second one.
    std::wstring ids = hardwareId;
    ids.append(2, L'\0');
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!::SetupDiCreateDeviceInfoW(set.Get(), className, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &device)) {
        TraceWrite(TraceDetail, L"CreateDeviceInfo\n");
    } else if (!::SetupDiSetDeviceRegistryPropertyW(set.Get(), &device, SPDRP_HARDWAREID,
                                                    reinterpret_cast<const BYTE*>(ids.c_str()),
                                                    static_cast<DWORD>((hardwareId.size() + 2) * sizeof(wchar_t)))) {
        TraceWrite(TraceDetail, L"SetDeviceRegistryProperty\n");
    } else if (!::SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set.Get(), &device)) {
        TraceWrite(TraceDetail, L"CallClassInstaller(REGISTERDEVICE)\n");
    } else if (!UpdateDriverForPlugAndPlayDevices(nullptr, hardwareId, infPath, kInstallFlagForce, rebootRequired)) {
        const DWORD error = ::GetLastError();
        TraceWrite(TraceDetail, L"UpdateDriverForPlugAndPlayDevices\n");
        // A registered device without a driver would stay behind.
        if (!::SetupDiCallClassInstaller(DIF_REMOVE, set.Get(), &device))
            TraceWrite(TraceDetail, L"CallClassInstaller(REMOVE)\n");
        ::SetLastError(error);
    } else {
        ::SetLastError(ERROR_SUCCESS);
    }
    const DWORD error = ::GetLastError();
    set.Reset();
    ::SetLastError(error);
    return error == ERROR_SUCCESS;
}

void CheckVirtualAdapterInf(const std::wstring& infPath) {
    InfFile inf;
    inf.Open(infPath, kInfNeutralLanguage);
    std::vector<std::wstring> sections, ids;
    inf.GetModelsSections(sections);
    if (!sections.empty()) inf.GetModelHardwareIds(ids);
    for (const std::wstring& id : ids)
        if (::lstrcmpiW(id.c_str(), kVirtualAdapterId) == 0) return;
    TraceWrite(TraceError, L"Virtual driver will not be installed because '%s' has no model of %s for %s.\n",
               infPath.c_str(), kVirtualAdapterId, DescribeInfPlatform(InfPlatformOfThisRun()).c_str());
    QEL_RAISE(infPath, ERROR_NOT_SUPPORTED);
}

void InstallVirtualDriver(UpdateTransaction& transaction, const std::wstring& infPath) {
    if (!FileExists(infPath)) {
        TraceWrite(TraceDetail, L"Virtual driver will not be installed because '%s' does not exist.\n",
                   infPath.c_str());
        return;
    }
    TraceWrite(TraceDetail, L"InstallVirtualDriver(): Virtual Driver: %s, %s\n", infPath.c_str(), kVirtualAdapterId);
    // Logged before anything changes: the INF, if new to the store, goes
    // again; the adapter gets its driver back, or goes when the run made it.
    AnnouncePackages(transaction, DirectoryOf(infPath), {GetFileNamePart(infPath)});
    const bool exists = FindDevice(kVirtualAdapterId, false);
    if (!exists) AnnounceNewDevice(transaction, kVirtualAdapterId);
    BOOL reboot = FALSE;
    if (exists) {
        // The device is there: only its driver is brought up to date.
        if (!UpdateDriverForPlugAndPlayDevices(nullptr, kVirtualAdapterId, infPath, kInstallFlagForce, reboot)) {
            const DWORD error = ::GetLastError();
            TraceWrite(TraceDetail, L"InstallVirtualDriver(): Virtual driver was not installed.\n");
            QEL_RAISE(infPath, error);
        }
    } else if (!CreateRootDevice(kVirtualAdapterId, infPath, reboot)) {
        QEL_RAISE(infPath, ::GetLastError());
    }
    if (reboot) {
        TraceWrite(TraceDetail, L"InstallVirtualDriver(\"%s\"), reboot required\n", infPath.c_str());
        transaction.SetRebootRequired(true);
    }
}

}  // namespace qel
