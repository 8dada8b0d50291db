// The install: every INF of the package folder into the INF store, then the
// present devices that one of its models matches onto it.
#include "DriverPackages.h"
#include "Support.h"

#include "DevMgrIds.h"
#include "DriverInfPlatform.h"
#include "Handles.h"

#include <newdev.h>

#include <algorithm>

namespace dpinst {
namespace {

// The INF file names of the folder, sorted so that runs report in one order
// whatever order the file system lists them in.
std::vector<std::wstring> ListInfs(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    qel::UniqueFindHandle find(::FindFirstFileW(JoinPath(folder, L"*.inf").c_str(), &found));
    if (!find) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            Report(L"error: the folder " + folder + L" cannot be listed (error " + Hex(error) + L")");
        return names;
    }
    do {
        const std::wstring name = found.cFileName;
        // The pattern also meets longer extensions through short names.
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || name.size() < 4 ||
            !SameText(name.substr(name.size() - 4), L".inf"))
            continue;
        names.push_back(name);
    } while (::FindNextFileW(find.Get(), &found));
    std::sort(names.begin(), names.end(), LessText);
    return names;
}

// The present devices a package can drive, grouped by the model id each one
// matches first (its own ids in its order: the best match Windows would make).
struct DeviceGroup {
    std::wstring modelId;
    std::vector<std::wstring> instanceIds;
};

std::vector<DeviceGroup> MatchPresentDevices(const std::vector<std::wstring>& modelIds) {
    std::vector<DeviceGroup> groups;
    qel::UniqueDevInfo set(::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT));
    if (!set) {
        Report(L"error: the devices cannot be listed (error " + Hex(::GetLastError()) + L")");
        return groups;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; ::SetupDiEnumDeviceInfo(set.Get(), index, &device); ++index) {
        const std::wstring* match = nullptr;
        for (const std::wstring& id : qel::GetDeviceIds(set.Get(), device)) {
            const auto model = std::find_if(modelIds.begin(), modelIds.end(),
                                            [&](const std::wstring& modelId) { return SameText(id, modelId); });
            if (model != modelIds.end()) {
                match = &*model;
                break;
            }
        }
        if (!match) continue;
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const DeviceGroup& g) { return SameText(g.modelId, *match); });
        if (group == groups.end()) group = groups.insert(groups.end(), DeviceGroup{*match, {}});
        group->instanceIds.push_back(InstanceId(set.Get(), device));
    }
    return groups;
}

struct Totals {
    unsigned staged = 0;
    unsigned failed = 0;
    bool restart = false;
};

// Points the devices of each group at the package (forced: an older or equal
// driver replaces what they have). False when a group's devices did not take it.
bool UpdateDevices(const std::wstring& infPath, const std::wstring& storeName, const std::vector<DeviceGroup>& groups,
                   Totals& totals) {
    // newdev.dll is not a known system library: loaded by its full path in
    // the system folder, never by name from wherever the search would look.
    const auto update = reinterpret_cast<decltype(&::UpdateDriverForPlugAndPlayDevicesW)>(
        reinterpret_cast<void*>(SystemLibraryExport(L"newdev.dll", "UpdateDriverForPlugAndPlayDevicesW")));
    if (!update) {
        Report(L"error: " + JoinPath(SystemFolder(), L"newdev.dll") +
               L" cannot be loaded or lacks UpdateDriverForPlugAndPlayDevicesW (error " + Hex(::GetLastError()) + L")");
        return false;
    }
    bool allTook = true;
    for (const DeviceGroup& group : groups) {
        BOOL restart = FALSE;
        if (!update(nullptr, group.modelId.c_str(), infPath.c_str(), INSTALLFLAG_FORCE, &restart)) {
            Report(L"error: the devices with id " + group.modelId + L" did not take " + storeName + L" (error " +
                   Hex(::GetLastError()) + L")");
            allTook = false;
            continue;
        }
        for (const std::wstring& instanceId : group.instanceIds)
            Report(L"updated device " + instanceId + L" to " + storeName);
        if (restart) {
            Report(L"a restart is needed to finish the update of the devices with id " + group.modelId);
            totals.restart = true;
        }
    }
    return allTook;
}

void InstallPackage(const std::wstring& folder, const std::wstring& name, Totals& totals) {
    const std::wstring infPath = JoinPath(folder, name);
    UINT errorLine = 0;
    qel::UniqueInf inf(::SetupOpenInfFileW(infPath.c_str(), nullptr, INF_STYLE_WIN4, &errorLine));
    if (!inf) {
        Report(L"error: " + infPath + L" was not staged: it cannot be read as an INF file (error " +
               Hex(::GetLastError()) + L", line " + Decimal(errorLine) + L")");
        ++totals.failed;
        return;
    }
    // A package that names its devices' makers but has no models section
    // for this system drives nothing here: it is not staged, and counts as
    // a failure rather than as a package installed for no device.
    const qel::InfPlatform platform = qel::RunningInfPlatform();
    const std::vector<std::wstring> sections = qel::ModelsSectionsOf(inf.Get(), platform);
    if (sections.empty() && ::SetupGetLineCountW(inf.Get(), L"Manufacturer") > 0) {
        Report(L"error: " + infPath + L" was not staged: it has no models section for " +
               qel::DescribeInfPlatform(platform));
        ++totals.failed;
        return;
    }
    const std::vector<std::wstring> modelIds = qel::ModelIdsOf(inf.Get(), sections);
    inf.Reset();

    // Copy style 0: a package already in the store with the same contents
    // keeps its store name.
    wchar_t storePath[MAX_PATH] = L"";
    wchar_t* storeName = nullptr;
    if (!::SetupCopyOEMInfW(infPath.c_str(), folder.c_str(), SPOST_PATH, 0, storePath, MAX_PATH, nullptr,
                            &storeName)) {
        Report(L"error: " + infPath + L" was not staged (error " + Hex(::GetLastError()) + L")");
        ++totals.failed;
        return;
    }
    const std::wstring stored = storeName ? storeName : FileNamePart(storePath);
    Report(L"staged " + infPath + L" as " + stored);
    ++totals.staged;

    const std::vector<DeviceGroup> groups = MatchPresentDevices(modelIds);
    if (groups.empty()) {
        Report(L"no present device matches a model of " + stored);
        return;
    }
    if (!UpdateDevices(infPath, stored, groups, totals)) ++totals.failed;
}

}  // namespace

DWORD InstallFolder(const std::wstring& folder) {
    Totals totals;
    const std::vector<std::wstring> names = ListInfs(folder);
    if (names.empty()) Report(L"error: no driver package (*.inf) in " + folder);
    for (const std::wstring& name : names) InstallPackage(folder, name, totals);
    return std::min(totals.staged, 0xFFu) | std::min(totals.failed, 0xFFu) << 8 | (totals.restart ? kRestartNeeded : 0);
}

}  // namespace dpinst
