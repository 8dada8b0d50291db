// The commit side of driver packages: the driver stage (INF store and device
// updates before Vista, the driver package installer from Vista on), the
// driver removal stage, and the undo of their rollback records.
#pragma once

#include "DriverInf.h"
#include "Update.h"
#include "UpdateStages.h"

#include <string>
#include <vector>

namespace qel {

// The Windows INF store (<Windows folder>\inf), and the copy of an INF in
// it by its name there.
std::wstring InfStoreFolder();
std::wstring InfStorePath(const std::wstring& infName);
// The compiled form Windows keeps beside an INF of the store (<name>.pnf).
std::wstring PnfPathOf(const std::wstring& infPath);
// The name in the INF store of a copy of the INF (DriverInfStore.h); empty
// when the store has none.
std::wstring FindInStore(const std::wstring& infPath);

// --- install (the commit's driver stage) --------------------------------------
void CommitDriverInstall(UpdateTransaction& transaction, CommitProgress& progress);
// Puts a staged INF into the Windows INF store and gives its OEM name there.
void CommitInfInstall(UpdateTransaction& transaction, const std::wstring& stagedInf, const std::wstring& folder,
                      std::wstring& oemName);
bool CopyOemInf(const std::wstring& infPath, const std::wstring& mediaFolder, DWORD copyStyle, std::wstring& oemName);
// The undo of the driver stage's rollback records. A package put into the
// store goes out again (before Vista the copy already there is found and
// removed; from Vista on the package installer takes the package folder's
// packages away).
void RollbackInfCopy(UpdateTransaction& transaction, const journal::CopyInfRecord& record);
// The devices of one driver update go back on their previous INF, or are
// removed when they had none; failures are logged and ignored. True for
// devices that had none (removed now, or by a rollback that was itself cut
// short): the caller lets Windows find them again once the rollback has
// taken the new packages out of the store.
bool RollbackDriverUpdate(UpdateTransaction& transaction, const journal::UpdateDriverRecord& record);
bool StartsWithNoCase(const std::wstring& prefix, const std::wstring& text);

// Keeps, in order, the entries whose hardware id does not begin with the
// hardware id of an earlier entry: one update per device.
template <typename Entry, typename IdOf>
void PruneByHardwareIdPrefix(std::vector<Entry>& entries, IdOf idOf) {
    std::vector<Entry> kept;
    for (Entry& entry : entries) {
        bool covered = false;
        for (const Entry& earlier : kept) covered = covered || StartsWithNoCase(idOf(earlier), idOf(entry));
        if (!covered) kept.push_back(std::move(entry));
    }
    entries = std::move(kept);
}

// The queued updates the driver stage carries out: those whose hardware id
// does not begin with the hardware id of an earlier one kept.
std::vector<DriverUpdateOp> OneUpdatePerDevice(std::vector<DriverUpdateOp> queued);

// --- what a driver step announces before it changes anything ---------------
// The INF files of a package folder, in the order the package installer
// takes them.
std::vector<std::wstring> PackageInfNames(const std::wstring& folder);
// Those of the folder's INFs that the INF store does not hold yet.
std::vector<std::wstring> InfsNewToStore(const std::wstring& folder, const std::vector<std::wstring>& names);
// A present device that one of the INFs drives on this system: its first
// hardware id (lower case), the INF, and the store INF it uses now (empty
// when it has no driver): what a journal::UpdateDriverRecord holds.
struct DeviceDriver {
    std::wstring hardwareId;
    std::wstring infPath;
    std::wstring previousInf;
};
std::vector<DeviceDriver> DevicesDrivenBy(const std::vector<std::wstring>& infPaths);
// Takes the store's copies of the folder's INFs named out of the store again
// (the undo of packages that were new to it); one never staged is passed by.
void RemovePackagesFromStore(const std::wstring& folder, const std::vector<std::wstring>& names);

// The records a driver step writes before it changes anything (see
// UpdateDriverAnnounce.cpp). The packages of the folder about to go into the
// store, with the devices they drive:
void AnnouncePackages(UpdateTransaction& transaction, const std::wstring& folder,
                      const std::vector<std::wstring>& names);
// A device with the hardware id about to be created:
void AnnounceNewDevice(UpdateTransaction& transaction, const std::wstring& hardwareId);
// The filter component about to be replaced, as it is:
void AnnounceFilterComponent(UpdateTransaction& transaction, const std::wstring& componentId);
// The undo of a device the step created: the present devices with the
// hardware id (any of their ids) go.
void RemoveNewDevices(const std::wstring& hardwareId);

// --- removal (the commit's driver removal stage, uninstall and rollback) ------
void CommitDriverRemoval(UpdateTransaction& transaction, CommitProgress& progress);

enum class InfRemoval {
    Removed,      // or not an OEM INF, or already gone
    Failed,       // the store's removal call failed
    NoExtension,  // the name has no extension (no compiled form to find)
    NotDeleted,   // a file could not be deleted
};
InfRemoval RemoveInf(const std::wstring& infPathOrName);
// Removes the INF from the store unless a device still uses it.
void RemoveInfUnlessUsed(const std::wstring& infPathOrName);
bool InfListsDeviceId(const InfFile& inf, const std::wstring& deviceId);
bool InfHasHardwareId(const std::wstring& infPath, const std::wstring& lowercaseText);
// The reset sequence of the USB adapter before its package is replaced or
// removed: disable, enable, disable, with the marker value set meanwhile.
bool DnglResetAfterDisable(UpdateTransaction& transaction);
// `index` counts the present network adapters in enumeration order.
bool ChangeNetAdapterState(DWORD index, bool enable);

}  // namespace qel
