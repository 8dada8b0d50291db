// The uninstall of one package: the devices whose driver comes from it are
// removed, then the package leaves the INF store.
#include "DriverPackages.h"
#include "Support.h"

#include "Handles.h"

namespace dpinst {
namespace {

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    qel::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    bytes.clear();
    char buffer[8192];
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr)) return false;
        if (read == 0) return true;
        bytes.append(buffer, read);
    }
}

// The store name of the package: the INF of the store with the same contents.
// SetupCopyOEMInfW copies a package into the store unchanged, and same
// contents is the store's own test of "already there"; comparing contents
// finds the copy without adding one when the package is absent. Store copies
// are named oem<n>.inf; a copy under the package's own file name (the name
// some systems give it) is taken only when there is no such copy, and no
// other file ever: an INF of the system is not the package's to remove.
std::wstring FindStoreName(const std::wstring& infPath, const std::string& package) {
    const std::wstring ownName = FileNamePart(infPath);
    std::wstring fallback;
    WIN32_FIND_DATAW found;
    const std::wstring store = InfStoreFolder();
    qel::UniqueFindHandle find(::FindFirstFileW(JoinPath(store, L"*.inf").c_str(), &found));
    if (!find) return L"";
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || found.nFileSizeHigh != 0 ||
            found.nFileSizeLow != package.size())
            continue;
        std::string candidate;
        if (!ReadWholeFile(JoinPath(store, found.cFileName), candidate) || candidate != package) continue;
        if (IsOemInfName(found.cFileName)) return found.cFileName;
        if (SameText(found.cFileName, ownName)) fallback = found.cFileName;
    } while (::FindNextFileW(find.Get(), &found));
    return fallback;
}

// Every device, present or not, whose driver key names the store INF.
std::vector<std::wstring> DevicesUsing(const std::wstring& storeName) {
    std::vector<std::wstring> instanceIds;
    qel::UniqueDevInfo set(::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    if (!set) return instanceIds;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set.Get(), index, &device); ++index) {
        // A device without a driver has no driver key.
        const HKEY opened = ::SetupDiOpenDevRegKey(set.Get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ);
        if (opened == INVALID_HANDLE_VALUE) continue;
        qel::UniqueKey key(opened);
        std::wstring infPath;
        if (ReadStringValue(key.Get(), L"InfPath", infPath) && SameText(infPath, storeName))
            instanceIds.push_back(InstanceId(set.Get(), device));
    }
    return instanceIds;
}

// Removes one device (DIF_REMOVE, for every hardware profile). False when it
// stays; `restart` is raised when Windows needs one to finish.
bool RemoveDevice(const std::wstring& instanceId, bool& restart) {
    qel::UniqueDevInfo set(::SetupDiCreateDeviceInfoList(nullptr, nullptr));
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    if (!set || !::SetupDiOpenDeviceInfoW(set.Get(), instanceId.c_str(), nullptr, 0, &device)) {
        Report(L"error: device " + instanceId + L" cannot be opened (error " + Hex(::GetLastError()) + L")");
        return false;
    }
    SP_REMOVEDEVICE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    // A global removal is also what DIF_REMOVE does without parameters, so a
    // system that does not keep class-install parameters removes it the same.
    ::SetupDiSetClassInstallParamsW(set.Get(), &device, &params.ClassInstallHeader, sizeof(params));
    if (!::SetupDiCallClassInstaller(DIF_REMOVE, set.Get(), &device)) {
        Report(L"error: device " + instanceId + L" could not be removed (error " + Hex(::GetLastError()) + L")");
        return false;
    }
    Report(L"removed device " + instanceId);
    SP_DEVINSTALL_PARAMS_W install{};
    install.cbSize = sizeof(install);
    if (::SetupDiGetDeviceInstallParamsW(set.Get(), &device, &install) &&
        (install.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART))) {
        Report(L"a restart is needed to finish the removal of device " + instanceId);
        restart = true;
    }
    return true;
}

bool DeleteIfPresent(const std::wstring& path) {
    return ::DeleteFileW(path.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

// Takes the package out of the store: SetupUninstallOEMInfW where the system
// has it (it also removes the precompiled .pnf; where a system leaves that
// behind, it is deleted here), otherwise the INF and its .pnf are deleted.
bool RemoveFromStore(const std::wstring& storeName) {
    const std::wstring infPath = JoinPath(InfStoreFolder(), storeName);
    const std::wstring pnfPath = infPath.substr(0, infPath.size() - 4) + L".pnf";
    using UninstallFn = BOOL(WINAPI*)(PCWSTR, DWORD, PVOID);
    const auto uninstall = reinterpret_cast<UninstallFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"setupapi.dll"), "SetupUninstallOEMInfW")));
    if (uninstall) {
        if (!uninstall(storeName.c_str(), SUOI_FORCEDELETE, nullptr)) {
            Report(L"error: " + storeName + L" could not be removed from the store (error " + Hex(::GetLastError()) +
                   L")");
            return false;
        }
        DeleteIfPresent(pnfPath);
    } else if (!DeleteIfPresent(infPath) || !DeleteIfPresent(pnfPath)) {
        Report(L"error: " + storeName + L" could not be removed from the store (error " + Hex(::GetLastError()) + L")");
        return false;
    }
    Report(L"removed " + storeName + L" from the store");
    return true;
}

}  // namespace

DWORD UninstallPackage(const std::wstring& infPath) {
    std::string package;
    if (!ReadWholeFile(infPath, package)) {
        Report(L"error: " + infPath + L" cannot be read (error " + Hex(::GetLastError()) + L")");
        return kUninstallInfUnreadable;
    }
    const std::wstring storeName = FindStoreName(infPath, package);
    if (storeName.empty()) {
        Report(L"error: " + infPath + L" is not in the INF store");
        return kUninstallNotInStore;
    }
    Report(L"found " + infPath + L" in the store as " + storeName);

    bool restart = false, allRemoved = true;
    for (const std::wstring& instanceId : DevicesUsing(storeName))
        if (!RemoveDevice(instanceId, restart)) allRemoved = false;
    // A package that devices still use stays in the store.
    if (!allRemoved) return kUninstallDeviceRemains;
    return RemoveFromStore(storeName) ? 0 : kUninstallStoreRefused;
}

}  // namespace dpinst
