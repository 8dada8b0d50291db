// The driver stage of a commit: before Vista the staged INFs go into the
// Windows INF store and every matching device is pointed at them, with the
// driver-key values of the script and the prune of the INFs they replaced;
// from Vista on the driver package installer takes the staged folder. Each
// change is preceded by its rollback record, and the undo of one driver
// update lives here too.
#include "BasicException.h"
#include "DevMgr.h"
#include "DriverInfStore.h"
#include "Trace.h"
#include "Update.h"
#include "UpdateDecisions.h"
#include "UpdateDrivers.h"
#include "Util.h"

#include <algorithm>

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";

constexpr uint32_t kRunWaitAndExamine = 0x8;
constexpr DWORD kInstallFlagForce = 0x1;  // INSTALLFLAG_FORCE

// A device that takes the new driver.
struct DeviceUpdate {
    std::wstring hardwareId;
    std::wstring newInf;
    std::wstring previousInf;  // empty when the device had no driver
};

// INFs of older packages that a newer package INF supersedes; they are taken
// out of the package folder before the installer sees it, so that it does
// not install both.
struct SupersededInfs {
    const wchar_t* packageInf;
    std::vector<const wchar_t*> superseded;
};
const SupersededInfs kSupersededInfs[] = {
    {L"qelwdi.inf", {L"qelwl6.inf", L"qelwl64.inf", L"qelwl63.inf"}},
    {L"qelwl63.inf", {L"qelwl6.inf", L"qelwl64.inf"}},
    {L"qelwdidhdpcie.inf", {L"qelpciedhd6.inf", L"qelpciedhd63.inf"}},
    {L"qelpciedhd63.inf", {L"qelpciedhd6.inf"}},
    {L"qelwdidhdsdio.inf", {L"qeldhd64.inf"}},
};

bool CommandLineContains(const wchar_t* text) {
    return std::wstring(::GetCommandLineW()).find(text) != std::wstring::npos;
}


// A pnp id matches a hardware id when every "&"-separated piece of it occurs
// in the hardware id; an id without pieces matches nothing.
bool PnpIdMatches(const std::wstring& pnpId, const std::wstring& hardwareId) {
    std::vector<std::wstring> pieces;
    std::wstring piece;
    for (wchar_t c : Lowercase(pnpId) + L"&") {
        if (c != L'&') {
            piece += c;
        } else if (!piece.empty()) {
            pieces.push_back(piece);
            piece.clear();
        }
    }
    if (pieces.empty()) return false;
    return std::all_of(pieces.begin(), pieces.end(),
                       [&](const std::wstring& p) { return hardwareId.find(p) != std::wstring::npos; });
}


// Keeps a copy of a store INF (and its compiled form) that the driver stage
// is about to remove, with an undo record that puts it back: the devices it
// served moved to the new package, and a failure later in the run must be
// able to move them back to it. The clean-up deletes the copies.
void KeepForRollback(UpdateTransaction& t, const std::wstring& infName) {
    const std::wstring inf = InfStorePath(infName);
    for (const std::wstring& path : {inf, PnfPathOf(inf)}) {
        if (!FileExists(path)) continue;
        const std::wstring copy = t.MakeLoggedTempFile(DirectoryOf(path));
        if (!::CopyFileW(path.c_str(), copy.c_str(), FALSE)) QEL_RAISE(path, ::GetLastError());
        t.LogUndoRecord(journal::RestoreFileRecord{path, copy});
        t.AddMovedAsideFile(copy);
    }
}

// The present devices whose first hardware id is `hardwareId` and that have
// a driver now, or the start of one (a driver key), which the run gave them:
// each is removed.
void RemoveDevicesGivenTheirFirstDriver(const std::wstring& hardwareId) {
    UniqueDevInfo devices = GetAllDevices();
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; EnumDevice(devices.Get(), index, device); ++index) {
        std::wstring firstId, driverKey;
        GetDevNodeRegistryProperty(devices.Get(), device, kDevNodeHardwareId, firstId);
        if (Lowercase(firstId) != Lowercase(hardwareId) || !IsDevicePresent(device) ||
            !GetDriverKeyPath(devices.Get(), device, driverKey))
            continue;
        TraceWrite(TraceDetail, L"RollbackDriverUpdate(): RemoveDevice( \"%s\" ), it had no driver\n",
                   firstId.c_str());
        if (!RemoveDevice(devices.Get(), device))
            TraceWrite(TraceError, L"RollbackDriverUpdate(): RemoveDevice() failed.Ignored. GetLastError() %lu\n",
                       ::GetLastError());
    }
}

void ApplyDriverKeyValues(UpdateTransaction& t, const std::vector<DriverUpdateOp>& driverUpdates) {
    if (t.RelativeRegAdds().empty()) return;
    UniqueDevInfo devices = GetAllDevices();
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; EnumDevice(devices.Get(), index, device); ++index) {
        std::wstring hardwareId, description;
        GetDevNodeRegistryProperty(devices.Get(), device, kDevNodeHardwareId, hardwareId);
        GetDevNodeRegistryProperty(devices.Get(), device, kDevNodeDeviceDesc, description);
        for (const DriverUpdateOp& update : driverUpdates) {
            if (!StartsWithNoCase(update.hardwareId, hardwareId)) continue;
            UniqueKey driverKey = OpenDriverKey(devices.Get(), device, KEY_ALL_ACCESS);
            if (!driverKey) continue;
            // Written by the driver key's path under HKEY_LOCAL_MACHINE where
            // Windows names it, so that each value gets its undo record like
            // any other registry value; the values land in the same key.
            std::wstring driverKeyPath;
            const bool named = GetDriverKeyPath(devices.Get(), device, driverKeyPath);
            for (const RegOp& op : t.RelativeRegAdds()) {
                if (named)
                    t.CommitRegAdd(HKEY_LOCAL_MACHINE, JoinPath(driverKeyPath, op.subkey), op.valueName, op.type,
                                   op.flags, op.data, op.access);
                else
                    t.CommitRegAdd(driverKey.Get(), op.subkey, op.valueName, op.type, op.flags, op.data, op.access);
            }
        }
    }
}

// Points every present matching device at its new INF; phantoms are marked
// so that Windows installs the new driver when they come back. The names of
// the INFs the devices used before go to `replaced`.
void CommitDriverUpdate(UpdateTransaction& t, const std::vector<DriverUpdateOp>& driverUpdates,
                        std::vector<std::wstring>& replaced) {
    std::vector<DeviceUpdate> updates;
    {
        UniqueDevInfo devices = GetAllDevices();
        SP_DEVINFO_DATA device;
        for (DWORD index = 0; EnumDevice(devices.Get(), index, device); ++index) {
            std::wstring hardwareId, description, infPath;
            GetDevNodeRegistryProperty(devices.Get(), device, kDevNodeHardwareId, hardwareId);
            GetDevNodeRegistryProperty(devices.Get(), device, kDevNodeDeviceDesc, description);
            GetDriverKeyValue(devices.Get(), device, L"InfPath", infPath);
            hardwareId = Lowercase(hardwareId);
            for (const DriverUpdateOp& entry : driverUpdates) {
                if (!PnpIdMatches(entry.hardwareId, hardwareId)) continue;
                TraceWrite(TraceDetail, L"CommitDriverUpdate(): Found device \"%s\", \"%s\", \"%s\"\n",
                           hardwareId.c_str(), description.c_str(), infPath.c_str());
                if (IsDevicePresent(device)) {
                    updates.push_back({hardwareId, entry.infPath, infPath.empty() ? L"" : InfStorePath(infPath)});
                } else {
                    TraceWrite(TraceDetail,
                               L"CommitDriverUpdate(): Marking non-present device as needing reinstall: "
                               L"\"%s\",\"%s\"\n",
                               hardwareId.c_str(), description.c_str());
                    MarkForReinstall(devices.Get(), device);
                }
            }
        }
    }
    PruneByHardwareIdPrefix(updates, [](const DeviceUpdate& u) -> const std::wstring& { return u.hardwareId; });

    for (const DeviceUpdate& update : updates) {
        t.LogRollbackRecord(journal::UpdateDriverRecord{update.hardwareId, update.newInf, update.previousInf});
        BOOL reboot = FALSE;
        if (!UpdateDriverForPlugAndPlayDevices(nullptr, update.hardwareId, update.newInf, kInstallFlagForce, reboot))
            QEL_RAISE(update.hardwareId, ::GetLastError());
        if (reboot) {
            TraceWrite(TraceDetail, L"UpdateDriverForPlugAndPlayDevices(\"%s\", \"%s\"), reboot required\n",
                       update.hardwareId.c_str(), update.newInf.c_str());
            t.SetRebootRequired(true);
        }
        if (!update.previousInf.empty()) replaced.push_back(GetFileNamePart(update.previousInf));
    }
    ApplyDriverKeyValues(t, driverUpdates);
}

void CommitDriverInstallBeforeVista(UpdateTransaction& t, CommitProgress& progress) {
    std::vector<std::wstring> newInfNames;
    for (const InfInstallOp& op : t.InfInstalls()) {
        std::wstring oemName;
        CommitInfInstall(t, op.stagedInf, op.folder, oemName);
        t.LogUninstallRecord(journal::InstalledInfRecord{op.stagedInf, oemName});
        newInfNames.push_back(GetFileNamePart(oemName));
        progress.Advance(kCostInfInstall);
    }
    std::vector<std::wstring> replaced;
    if (!t.DriverUpdates().empty()) {
        Reenumerate(!t.Package().isSigned);
        progress.Advance(kCostReenumerate);
        CommitDriverUpdate(t, OneUpdatePerDevice(t.DriverUpdates()), replaced);
        progress.Advance(kCostDriverUpdate);
    }
    for (const std::wstring& name : replaced) {
        const bool justInstalled = std::any_of(newInfNames.begin(), newInfNames.end(), [&](const std::wstring& n) {
            return Lowercase(n) == Lowercase(name);
        });
        if (justInstalled || !IsOemInfName(name)) continue;
        KeepForRollback(t, name);
        RemoveInf(name);
    }
}

void CommitDriverInstallFromVista(UpdateTransaction& t, CommitProgress& progress) {
    if (!PackageInstallRuns(::GetCommandLineW(), t.Package())) return;
    t.SetDpinstPath(JoinPath(t.Package().dpinstPath,
                             CommandLineContains(L"qelwls64.exe") ? L"\\dpinst64.exe" : L"\\dpinst32.exe"));
    const DriverPackage& package = t.Package();
    for (const SupersededInfs& entry : kSupersededInfs) {
        if (Lowercase(package.driverInfName) != entry.packageInf) continue;
        for (const wchar_t* name : entry.superseded) {
            const std::wstring path = JoinPath(package.folder, name);
            if (FileExists(path)) ::DeleteFileW(path.c_str());
        }
    }
    const std::wstring command =
        FormatText(L"\"%s\" /a /f /sw /sa /path \"%s\"", package.dpinstPath.c_str(), package.folder.c_str());
    TraceWrite(TraceDetail, L"DPInst.exe Command: '%s %s'\n", package.dpinstPath.c_str(), command.c_str());
    t.SetPackageInfPath(FormatText(L"%s\\%s", package.folder.c_str(), package.driverInfName.c_str()));
    // Before the installer touches anything: a failure or a kill from here
    // on gives each device the driver it has now and takes only the packages
    // new to the store out again.
    AnnouncePackages(t, package.folder, PackageInfNames(package.folder));
    if (InfHasHardwareId(package.infPath, L"usb\\vid_2b9e")) DnglResetAfterDisable(t);
    CommitRunApp(t, package.dpinstPath, command, kRunWaitAndExamine);
    t.LogUninstallRecord(journal::InstalledInfRecord{package.dpinstPath, package.folder});
    t.LogRollbackRecord(journal::CopyInfRecord{package.dpinstPath, package.folder});
    progress.Advance(kProgressDriverPackageInstall);
}
}  // namespace

std::wstring InfStoreFolder() {
    std::wstring folder;
    GetWindowsFolder(folder);
    AppendPath(folder, L"inf");
    return folder;
}

std::wstring InfStorePath(const std::wstring& infName) { return JoinPath(InfStoreFolder(), infName); }

std::wstring PnfPathOf(const std::wstring& infPath) {
    const size_t dot = infPath.rfind(L'.');
    return (dot == std::wstring::npos ? infPath : infPath.substr(0, dot)) + L".pnf";
}

std::wstring FindInStore(const std::wstring& infPath) {
    std::string package;
    if (!ReadWholeFile(infPath, package)) return L"";
    return FindPackageInStore(InfStoreFolder(), GetFileNamePart(infPath), package);
}

std::vector<DriverUpdateOp> OneUpdatePerDevice(std::vector<DriverUpdateOp> queued) {
    PruneByHardwareIdPrefix(queued, [](const DriverUpdateOp& e) -> const std::wstring& { return e.hardwareId; });
    return queued;
}

bool StartsWithNoCase(const std::wstring& prefix, const std::wstring& text) {
    return Lowercase(text).compare(0, prefix.size(), Lowercase(prefix)) == 0;
}

bool CopyOemInf(const std::wstring& infPath, const std::wstring& mediaFolder, DWORD copyStyle, std::wstring& oemName) {
    std::vector<wchar_t> buffer(MAX_PATH, L'\0');
    DWORD required = 0;
    PWSTR namePart = nullptr;
    BOOL copied = ::SetupCopyOEMInfW(infPath.c_str(), mediaFolder.c_str(), SPOST_PATH, copyStyle, buffer.data(),
                                     static_cast<DWORD>(buffer.size()), &required, &namePart);
    if (!copied && ::GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        buffer.assign(required + 1, L'\0');
        copied = ::SetupCopyOEMInfW(infPath.c_str(), mediaFolder.c_str(), SPOST_PATH, copyStyle, buffer.data(),
                                    static_cast<DWORD>(buffer.size()), &required, &namePart);
    }
    const DWORD error = ::GetLastError();
    oemName = namePart != nullptr ? std::wstring(namePart) : std::wstring(buffer.data());
    if (!copied) {
        TraceWrite(TraceError, L"SetupCopyOEMInf('%s', '%s', SPOST_PATH, 0x%08x) failed with error %u.\n",
                   infPath.c_str(), mediaFolder.c_str(), copyStyle, error);
    }
    ::SetLastError(error);
    return copied != FALSE;
}

void CommitInfInstall(UpdateTransaction& t, const std::wstring& stagedInf, const std::wstring& folder,
                      std::wstring& oemName) {
    TraceWrite(TraceDetail, L"CommitInfInstall( \"%s\", \"%s\")\n", stagedInf.c_str(), folder.c_str());
    const bool inStore = !FindInStore(stagedInf).empty();
    // Succeeds only when the INF is in the store already, and refreshes it.
    if (CopyOemInf(stagedInf, folder, SP_COPY_REPLACEONLY, oemName)) {
        // A store that takes a new package even on a copy that may only
        // replace one (Wine's) has just made a change the rollback must
        // still undo: it is logged as soon as it is known.
        if (!inStore) t.LogRollbackRecord(journal::CopyInfRecord{stagedInf, folder});
        return;
    }
    t.LogRollbackRecord(journal::CopyInfRecord{stagedInf, folder});
    if (!CopyOemInf(stagedInf, folder, 0, oemName)) QEL_RAISE(stagedInf, ::GetLastError());
}

void CommitDriverInstall(UpdateTransaction& t, CommitProgress& progress) {
    if (DriversThroughPackageInstaller(SetupGetRunningWinVer()))
        CommitDriverInstallFromVista(t, progress);
    else
        CommitDriverInstallBeforeVista(t, progress);
}

void RollbackInfCopy(UpdateTransaction& t, const journal::CopyInfRecord& record) {
    if (SetupGetRunningWinVer() < WinVerVista) {
        // A copy that may not overwrite names the copy already in the store.
        std::wstring oemName;
        if (!CopyOemInf(record.inf, record.folder, SP_COPY_NOOVERWRITE, oemName) &&
            ::GetLastError() != ERROR_FILE_EXISTS) {
            TraceWrite(TraceError, L"Rollback(): CopyInf() failed. GetLastError(): %lu\n", ::GetLastError());
            return;
        }
        TraceWrite(TraceDetail, L"Rollback(): RemoveInf( \"%s\")\n", oemName.c_str());
        RemoveInf(oemName);
        return;
    }
    t.SetDriverPackageLocation(record.inf, record.folder);
    // A run killed before its end is undone by a later process, which never
    // read the script's package INF names: the folder's INFs stand for them.
    if (t.Package().infNames.empty()) {
        WIN32_FIND_DATAW entry{};
        UniqueFindHandle find(::FindFirstFileW(JoinPath(record.folder, L"*.inf").c_str(), &entry));
        if (find) {
            do {
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) t.DriverPackageInf(entry.cFileName);
            } while (::FindNextFileW(find.Get(), &entry));
        }
    }
    t.DriverUninstall(record.folder);
    // Outside a commit its steps count from 0 against a total of 0.
    CommitProgress progress(0);
    CommitDriverRemoval(t, progress);
}

bool RollbackDriverUpdate(UpdateTransaction& t, const journal::UpdateDriverRecord& record) {
    TraceWrite(TraceDetail, L"RollbackDriverUpdate(): UpdateDriver( \"%s\", \"%s\", \"%s\")\n",
               record.hardwareId.c_str(), record.newInf.c_str(), record.previousInf.c_str());
    // A device that had no driver is not pointed at "no INF", which fails
    // and would leave it on the package the rollback takes out of the store:
    // it is removed, and found again, without a driver, once the package is
    // gone.
    if (record.previousInf.empty()) {
        RemoveDevicesGivenTheirFirstDriver(record.hardwareId);
        return true;
    }
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevices(nullptr, record.hardwareId, record.previousInf, kInstallFlagForce, reboot)) {
        TraceWrite(TraceError,
                   L"RollbackDriverUpdate(): UpdateDriverForPlugAndPlayDevices() failed.Ignored. GetLastError() %lu\n",
                   ::GetLastError());
    }
    if (reboot) {
        TraceWrite(TraceDetail, L"UpdateDriverForPlugAndPlayDevices(\"%s\", \"%s\"), reboot required\n",
                   record.hardwareId.c_str(), record.previousInf.c_str());
        t.SetRebootRequired(true);
    }
    return false;
}

}  // namespace qel
