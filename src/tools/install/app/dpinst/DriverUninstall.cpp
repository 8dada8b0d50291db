// The uninstall of one package: the devices whose driver comes from it are
// removed, then the package leaves the INF store.
#include "DriverPackages.h"
#include "Support.h"

#include "DriverInfStore.h"
#include "Handles.h"

namespace dpinst {
namespace {

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

// Takes the package out of the store (DriverInfStore.h), reporting either way.
bool RemoveFromStore(const std::wstring& storeName) {
    if (!qel::RemoveFromStore(InfStoreFolder(), storeName)) {
        Report(L"error: " + storeName + L" could not be removed from the store (error " + Hex(::GetLastError()) + L")");
        return false;
    }
    Report(L"removed " + storeName + L" from the store");
    return true;
}

}  // namespace

DWORD UninstallPackage(const std::wstring& infPath) {
    std::string package;
    if (!qel::ReadWholeFile(infPath, package)) {
        Report(L"error: " + infPath + L" cannot be read (error " + Hex(::GetLastError()) + L")");
        return kUninstallInfUnreadable;
    }
    const std::wstring storeName = qel::FindPackageInStore(InfStoreFolder(), FileNamePart(infPath), package);
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
