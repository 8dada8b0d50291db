// Taking the adapter's driver off again, on uninstall, upgrade and rollback:
// before Vista the devices that use the recorded OEM INFs are removed and the
// INFs leave the store; from Vista on the driver package installer removes
// each package and the adapter device goes after it. The USB adapter's reset
// sequence runs before its package is touched.
#include "BasicException.h"
#include "DevMgr.h"
#include "Trace.h"
#include "Update.h"
#include "UpdateDecisions.h"
#include "UpdateDrivers.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";

constexpr uint32_t kRunWaitAndExamine = 0x8;
constexpr DWORD kUninstallOemInfForce = 0x1;  // SUOI_FORCEDELETE
constexpr DWORD kResetPause = 3000;
constexpr size_t kUsbIdLength = 21;  // usb\vid_XXXX&pid_YYYY
const wchar_t kResetMarker[] = L"DnglResetAfterDisable";
const wchar_t kUsbAdapterBusId[] = L"usb\\vid_2b9e";
constexpr const wchar_t* kAdapterBusIds[] = {L"pci\\ven_1d6a", L"sd\\vid_03c7", kUsbAdapterBusId};

using UninstallOemInfFn = BOOL(WINAPI*)(PCWSTR, DWORD, PVOID);

bool Contains(const std::wstring& text, const wchar_t* part) { return text.find(part) != std::wstring::npos; }


// A failed deletion of a file that exists.
bool DeleteFailed(const std::wstring& path) {
    TraceWrite(TraceDetail, L"Deleting \"%s\"\n", path.c_str());
    return !::DeleteFileW(path.c_str()) && ::GetLastError() != ERROR_FILE_NOT_FOUND;
}

// Removes every device, present or not, whose driver uses one of the OEM
// INFs and whose matching id that INF lists.
void UninstallDriverMatchingInf(UpdateTransaction& t, const std::vector<std::wstring>& oemInfNames) {
    UniqueDevInfo devices = GetAllDevices();
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; EnumDevice(devices.Get(), index, device); ++index) {
        std::wstring infPath;
        GetDriverKeyValue(devices.Get(), device, L"InfPath", infPath);
        for (const std::wstring& name : oemInfNames) {
            if (infPath.empty() || Lowercase(name) != Lowercase(infPath)) continue;
            TraceWrite(TraceDetail, L"UninstallDriverMatchingInf(): found device with matching inf \"%s\"\n",
                       infPath.c_str());
            const std::wstring storedInf = InfStorePath(name);
            InfFile inf;
            inf.Open(storedInf, kInfNeutralLanguage);
            std::wstring deviceId;
            GetDriverKeyValue(devices.Get(), device, L"MatchingDeviceId", deviceId);
            TraceWrite(TraceDetail, L"UninstallDriverMatchingInf(): deviceId = %s, inf = %s\n", deviceId.c_str(),
                       storedInf.c_str());
            if (!InfListsDeviceId(inf, deviceId)) continue;
            TraceWrite(TraceDetail, L"UninstallDriverMatchingInf(): deviceId matched\n");
            if (RemoveDevInst(devices.Get(), device) == RebootNeeded) {
                TraceWrite(TraceDetail, L"RemoveDevInst(\"%s\"), reboot required\n", infPath.c_str());
                t.SetRebootRequired(true);
            }
        }
    }
}

void CommitDriverRemovalBeforeVista(UpdateTransaction& t, CommitProgress& progress) {
    if (!t.DriverUninstalls().empty()) {
        UninstallDriverMatchingInf(t, t.DriverUninstalls());
        progress.Advance(kCostDriverUninstall);
    }
    for (const InfRemoveOp& op : t.InfRemoves()) {
        // An install fails on an INF it cannot take out; an uninstall goes on.
        if (RemoveInf(op.oemInfName) != InfRemoval::Removed && t.RollbackEnabled())
            QEL_RAISE(op.oemInfName, ::GetLastError());
        progress.Advance(kCostInfRemove);
    }
}

void CommitDriverRemovalFromVista(UpdateTransaction& t, CommitProgress& progress) {
    if (t.DriverUninstalls().empty()) return;
    const DriverPackage& package = t.Package();
    for (const std::wstring& name : package.infNames) {
        TraceWrite(TraceDetail, L"Uninstall Driver inf: '%s'\n", name.c_str());
        const std::wstring command =
            FormatText(L"\"%s\" /u \"%s\\%s\" /q", package.dpinstPath.c_str(), package.folder.c_str(), name.c_str());
        t.SetPackageInfPath(FormatText(L"%s\\%s", package.folder.c_str(), name.c_str()));
        TraceWrite(TraceDetail, L"DPInst.exe Command: '%s'\n", command.c_str());
        if (!FileExists(package.infPath)) {
            // Without its INF the installer cannot tell its package in the
            // store; failing on it here would fail every later uninstall too.
            TraceWrite(TraceNotable, L"Uninstall Driver inf: '%s' is missing; its package is left in the INF store\n",
                       package.infPath.c_str());
        } else {
            if (InfHasHardwareId(package.infPath, kUsbAdapterBusId)) DnglResetAfterDisable(t);
            CommitRunApp(t, package.dpinstPath, command, kRunWaitAndExamine);
        }
        progress.Advance(kCostDriverUninstall);
    }
}

// Steps 2 to 5 of the reset on the device's open driver key. The marker is
// deleted also when a state change fails: left behind it would make the
// driver treat the adapter's next ordinary disable as a reset.
bool RunResetSequence(HKEY driverKey, DWORD index) {
    const DWORD one = 1;
    if (::RegSetValueExW(driverKey, kResetMarker, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&one), sizeof(one)) !=
        ERROR_SUCCESS)
        return false;
    bool done = ChangeNetAdapterState(index, false);
    if (done) ::Sleep(kResetPause);
    done = done && ChangeNetAdapterState(index, true);
    if (done) ::Sleep(kResetPause);
    done = done && ChangeNetAdapterState(index, false);
    if (done) ::Sleep(kResetPause);
    return ::RegDeleteValueW(driverKey, kResetMarker) == ERROR_SUCCESS && done;
}

UniqueDevInfo PresentNetworkAdapters() {
    const GUID networkClass = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    return UniqueDevInfo(::SetupDiGetClassDevsW(&networkClass, nullptr, nullptr, DIGCF_PRESENT));
}
}  // namespace

void CommitDriverRemoval(UpdateTransaction& t, CommitProgress& progress) {
    if (DriversThroughPackageInstaller(SetupGetRunningWinVer()))
        CommitDriverRemovalFromVista(t, progress);
    else
        CommitDriverRemovalBeforeVista(t, progress);
}

InfRemoval RemoveInf(const std::wstring& infPathOrName) {
    const LoadedLibrary setupApi(L"setupapi.dll");
    const std::wstring name = GetFileNamePart(infPathOrName);
    // Only the store's copies of packages are ever removed, never an INF
    // that came with Windows.
    if (!IsOemInfName(name)) return InfRemoval::Removed;
    TraceWrite(TraceDetail, L"RemoveInf( \"%s\" )\n", name.c_str());
    if (const auto uninstallOemInf =
            reinterpret_cast<UninstallOemInfFn>(reinterpret_cast<void*>(setupApi.Export("SetupUninstallOEMInfW")))) {
        if (!uninstallOemInf(name.c_str(), kUninstallOemInfForce, nullptr) && ::GetLastError() != ERROR_FILE_NOT_FOUND)
            return InfRemoval::Failed;
        // The compiled form goes with the INF: a system that leaves it
        // behind would keep a .pnf of an INF that is gone.
        ::DeleteFileW(PnfPathOf(InfStorePath(name)).c_str());
        return InfRemoval::Removed;
    }
    // Windows before XP has no removal call: the INF and its compiled form
    // are deleted.
    std::wstring path = InfStorePath(name);
    if (DeleteFailed(path)) return InfRemoval::NotDeleted;
    if (path.rfind(L'.') == std::wstring::npos) return InfRemoval::NoExtension;
    if (DeleteFailed(PnfPathOf(path))) return InfRemoval::NotDeleted;
    return InfRemoval::Removed;
}

void RemoveInfUnlessUsed(const std::wstring& infPathOrName) {
    const std::wstring name = GetFileNamePart(infPathOrName);
    if (name.empty()) return;
    bool used = false;
    UniqueDevInfo devices = GetAllDevices();
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; !used && EnumDevice(devices.Get(), index, device); ++index) {
        std::wstring infPath;
        GetDriverKeyValue(devices.Get(), device, L"InfPath", infPath);
        used = Lowercase(infPath) == Lowercase(name) && !IsMarkedForReinstall(devices.Get(), device);
    }
    if (!used) RemoveInf(name);
}

bool InfListsDeviceId(const InfFile& inf, const std::wstring& deviceId) {
    std::vector<std::wstring> ids;
    inf.GetModelHardwareIds(ids);
    for (const std::wstring& id : ids) {
        if (Lowercase(id) == Lowercase(deviceId)) return true;
    }
    return false;
}

bool InfHasHardwareId(const std::wstring& infPath, const std::wstring& lowercaseText) {
    InfFile inf;
    inf.Open(infPath, kInfNeutralLanguage);
    // A package with no models section for this system drives nothing here;
    // whether it is refused is the package installer's to say.
    std::vector<std::wstring> sections, ids;
    inf.GetModelsSections(sections);
    if (sections.empty()) return false;
    inf.GetModelHardwareIds(ids);
    for (const std::wstring& id : ids) {
        if (Lowercase(id).find(lowercaseText) != std::wstring::npos) return true;
    }
    return false;
}

void UninstallDriverMatchingInfs(UpdateTransaction& t, const std::wstring& infPath) {
    // The first device of the adapter (by its bus ids) that the package INF
    // lists, present or not. The INF is read at the first adapter device
    // only: after the package installer removed a package, a machine without
    // the adapter has nothing to look up in it.
    UniqueDevInfo devices = GetAllDevices();
    std::vector<std::wstring> listed;
    bool read = false;
    std::wstring id;
    bool found = false;
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; !found && EnumDevice(devices.Get(), index, device); ++index) {
        if (!GetDriverKeyValue(devices.Get(), device, L"MatchingDeviceId", id) || id.empty())
            GetDriverKeyValue(devices.Get(), device, L"ComponentId", id);
        id = Lowercase(id);
        bool adapter = false;
        for (const wchar_t* bus : kAdapterBusIds) adapter = adapter || Contains(id, bus);
        if (!adapter) continue;
        if (!read) {
            InfFile inf;
            inf.Open(infPath, kInfNeutralLanguage);
            inf.GetModelHardwareIds(listed);
            read = true;
        }
        for (const std::wstring& each : listed) found = found || Lowercase(each) == id;
    }
    if (!found) return;
    TraceWrite(TraceDetail, L"MatchingDeviceId = %s\n", id.c_str());
    TraceWrite(TraceDetail, L"Driver registry is removed.\n");
    if (RemoveDevInst(devices.Get(), device) == RebootNeeded) {
        TraceWrite(TraceDetail, L"UninstallDriverMatchingInfs(), reboot required\n");
        t.SetRebootRequired(true);
    }
}

bool DnglResetAfterDisable(UpdateTransaction& t) {
    TraceWrite(TraceDetail, L"DnglResetAfterDisable sequence check\n");
    UniqueDevInfo adapters = PresentNetworkAdapters();
    if (!adapters) {
        TraceWrite(TraceDetail, L"SetupDiGetClassDevs failed\n");
        return false;
    }
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; EnumDevice(adapters.Get(), index, device); ++index) {
        wchar_t driver[256] = {};
        wchar_t hardwareIds[80] = {};  // 160 bytes: a longer list is not the adapter's
        if (!::SetupDiGetDeviceRegistryPropertyW(adapters.Get(), &device, SPDRP_DRIVER, nullptr,
                                                 reinterpret_cast<BYTE*>(driver), sizeof(driver), nullptr) ||
            !::SetupDiGetDeviceRegistryPropertyW(adapters.Get(), &device, SPDRP_HARDWAREID, nullptr,
                                                 reinterpret_cast<BYTE*>(hardwareIds), sizeof(hardwareIds), nullptr))
            continue;
        std::wstring id = hardwareIds;
        TraceWrite(TraceDetail, L"deviceId=%s\n", id.c_str());
        id = Lowercase(id);
        if (!Contains(id, kUsbAdapterBusId)) continue;
        id = id.substr(0, kUsbIdLength);
        InfFile inf;
        inf.Open(t.Package().infPath, kInfNeutralLanguage);
        if (!InfListsDeviceId(inf, id)) continue;
        TraceWrite(TraceDetail, L"USB device is found.\n");
        UniqueKey driverKey = OpenDriverKey(adapters.Get(), device, KEY_READ | KEY_WRITE);
        if (!driverKey) continue;
        const bool reset = RunResetSequence(driverKey.Get(), index);
        if (reset) TraceWrite(TraceDetail, L"DnglResetAfterDisable sequence is done successfully.\n");
        return reset;
    }
    return false;
}

bool ChangeNetAdapterState(DWORD index, bool enable) {
    UniqueDevInfo adapters = PresentNetworkAdapters();
    if (!adapters) {
        TraceWrite(TraceDetail, L"SetupDiGetClassDevs failed\n");
        return false;
    }
    SP_DEVINFO_DATA device;
    if (!EnumDevice(adapters.Get(), index, device)) {
        TraceWrite(TraceDetail, L"SetupDiEnumDeviceInfo failed\n");
        return false;
    }
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = enable ? DICS_ENABLE : DICS_DISABLE;
    params.Scope = DICS_FLAG_GLOBAL;
    params.HwProfile = 0;
    if (!::SetupDiSetClassInstallParamsW(adapters.Get(), &device, &params.ClassInstallHeader, sizeof(params))) {
        TraceWrite(TraceDetail, L"SetupDiSetClassInstallParams failed\n");
        return false;
    }
    // Then for the current hardware profile, which is what takes effect now.
    params.Scope = DICS_FLAG_CONFIGSPECIFIC;
    if (!::SetupDiSetClassInstallParamsW(adapters.Get(), &device, &params.ClassInstallHeader, sizeof(params)) ||
        !::SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, adapters.Get(), &device)) {
        TraceWrite(TraceDetail, L"SetupDiCallClassInstaller failed\n");
        return false;
    }
    return true;
}

}  // namespace qel
