// What a driver step is about to change, found and logged before it changes
// anything, so that a failure or a kill at any moment of the step is undone
// from the log: the packages new to the INF store, the present devices they
// drive with the driver each has now, a device the step creates, the filter
// component it replaces (the records are UpdateJournal.h's). They are undo
// records, written without trace lines, so that a successful run's
// diagnostic log is as before. Also the undo of the package and device ones.
#include "DevMgr.h"
#include "DriverInf.h"
#include "DriverInfStore.h"
#include "FilterDriver.h"
#include "Handles.h"
#include "Trace.h"
#include "Update.h"
#include "UpdateJournal.h"
#include "UpdateDrivers.h"
#include "Util.h"

#include <algorithm>

namespace qel {

std::vector<std::wstring> PackageInfNames(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(::FindFirstFileW(JoinPath(folder, L"*.inf").c_str(), &found));
    if (!find) return names;
    do {
        const std::wstring name = found.cFileName;
        // The pattern also meets longer extensions through short names.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && name.size() > 4 &&
            Lowercase(name.substr(name.size() - 4)) == L".inf")
            names.push_back(name);
    } while (::FindNextFileW(find.Get(), &found));
    std::sort(names.begin(), names.end(),
              [](const std::wstring& a, const std::wstring& b) { return Lowercase(a) < Lowercase(b); });
    return names;
}

std::vector<std::wstring> InfsNewToStore(const std::wstring& folder, const std::vector<std::wstring>& names) {
    std::vector<std::wstring> fresh;
    for (const std::wstring& name : names)
        if (FindInStore(JoinPath(folder, name)).empty()) fresh.push_back(name);
    return fresh;
}

std::vector<DeviceDriver> DevicesDrivenBy(const std::vector<std::wstring>& infPaths) {
    // The ids of every model the INFs give this system, with the INF of each.
    std::vector<std::pair<std::wstring, std::wstring>> models;
    for (const std::wstring& path : infPaths) {
        UniqueInf inf(::SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
        if (!inf) continue;
        for (const std::wstring& id : ModelIdsOf(inf.Get(), ModelsSectionsOf(inf.Get(), InfPlatformOfThisRun())))
            models.emplace_back(Lowercase(id), path);
    }
    std::vector<DeviceDriver> devices;
    if (models.empty()) return devices;
    UniqueDevInfo all = GetAllDevices();
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; EnumDevice(all.Get(), index, device); ++index) {
        if (!IsDevicePresent(device)) continue;
        const std::vector<std::wstring> ids = GetDeviceIds(all.Get(), device);
        const auto model = std::find_if(models.begin(), models.end(), [&](const auto& m) {
            return std::any_of(ids.begin(), ids.end(), [&](const std::wstring& id) { return Lowercase(id) == m.first; });
        });
        if (model == models.end()) continue;
        std::wstring firstId, infPath;
        GetDevNodeRegistryProperty(all.Get(), device, kDevNodeHardwareId, firstId);
        if (firstId.empty() && !ids.empty()) firstId = ids.front();
        GetDriverKeyValue(all.Get(), device, L"InfPath", infPath);
        devices.push_back({Lowercase(firstId), model->second, infPath.empty() ? L"" : InfStorePath(infPath)});
    }
    return devices;
}

void RemovePackagesFromStore(const std::wstring& folder, const std::vector<std::wstring>& names) {
    for (const std::wstring& name : names) {
        const std::wstring stored = FindInStore(JoinPath(folder, name));
        if (stored.empty()) continue;  // never staged: nothing to take out
        TraceWrite(TraceDetail, L"Rollback(): RemoveInf( \"%s\")\n", stored.c_str());
        // The copy has the package's bytes: whatever name the store gave it,
        // it is the run's to take out.
        if (!RemoveFromStore(InfStoreFolder(), stored))
            TraceWrite(TraceError, L"Rollback(): RemoveInf() failed. GetLastError(): %lu\n", ::GetLastError());
    }
}

void RemoveNewDevices(const std::wstring& hardwareId) {
    UniqueDevInfo devices = GetAllDevices();
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; EnumDevice(devices.Get(), index, device); ++index) {
        const std::vector<std::wstring> ids = GetDeviceIds(devices.Get(), device);
        if (!IsDevicePresent(device) || std::none_of(ids.begin(), ids.end(), [&](const std::wstring& id) {
                return Lowercase(id) == Lowercase(hardwareId);
            }))
            continue;
        TraceWrite(TraceDetail, L"Rollback(): RemoveDevice( \"%s\" ), the run made it\n", hardwareId.c_str());
        if (!RemoveDevice(devices.Get(), device))
            TraceWrite(TraceError, L"Rollback(): RemoveDevice() failed.Ignored. GetLastError() %lu\n", ::GetLastError());
    }
}

void AnnouncePackages(UpdateTransaction& t, const std::wstring& folder, const std::vector<std::wstring>& names) {
    t.LogUndoRecord(journal::DriverPackagesRecord{folder});
    for (const std::wstring& name : InfsNewToStore(folder, names))
        t.LogUndoRecord(journal::NewDriverPackageRecord{JoinPath(folder, name)});
    std::vector<std::wstring> paths;
    for (const std::wstring& name : names) paths.push_back(JoinPath(folder, name));
    // Newer than the packages': undone first, while the packages are still
    // there to put the devices back on or to take them off.
    for (const DeviceDriver& device : DevicesDrivenBy(paths))
        t.LogUndoRecord(journal::UpdateDriverRecord{device.hardwareId, device.infPath, device.previousInf});
}

void AnnounceNewDevice(UpdateTransaction& t, const std::wstring& hardwareId) {
    t.LogUndoRecord(journal::NewDeviceRecord{hardwareId});
}

void AnnounceFilterComponent(UpdateTransaction& t, const std::wstring& componentId) {
    t.LogUndoRecord(journal::FilterComponentRecord{componentId, InstalledComponentInf(componentId)});
}

}  // namespace qel
