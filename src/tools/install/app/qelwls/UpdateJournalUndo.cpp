// What undoing each rollback record does, and what qelkit recover says it
// would do, kind by kind. A rollback reads its log newest record first; each
// undo writes its diagnostic lines and goes on past a step that fails, so
// that as much as can be put back is put back.
#include "UpdateJournal.h"

#include "BasicException.h"
#include "DevMgr.h"
#include "Handles.h"
#include "Trace.h"
#include "FilterDriver.h"
#include "Update.h"
#include "UpdateDrivers.h"
#include "Util.h"
#include "UtilFileChanges.h"

#include <algorithm>

namespace qel {
namespace journal {
namespace {

// What an undo may change besides the system: the transaction (a driver
// package to take back, a restart to ask for) and the driver update whose
// undo waits for the next older one.
struct UndoContext {
    UpdateTransaction& transaction;
    std::optional<UpdateDriverRecord>& pendingDriverUpdate;
    // Devices that had no driver before the run were removed: Windows is to
    // look for devices again once the rollback is through.
    bool& devicesRemoved;
    // The package folders whose driver step was logged before it ran.
    const std::vector<std::wstring>& announcedFolders;
};

// A rollback goes on past an undo step that fails: the driver steps reach
// the device installer and the package installer, which can raise.
template <typename Step>
void UndoDriverStep(const wchar_t* what, Step step) {
    try {
        step();
    } catch (const BasicException& e) {
        TraceWrite(TraceError, L"Rollback(): %s failed: file \"%S\", line %d, desc \"%s\" last error: %d\n", what,
                   e.Module(), e.Line(), e.Description(), e.Error());
    }
}

void UndoPendingDriverUpdate(UndoContext& c) {
    if (!c.pendingDriverUpdate) return;
    UndoDriverStep(UpdateDriverRecord::kKind, [&] {
        if (RollbackDriverUpdate(c.transaction, *c.pendingDriverUpdate)) c.devicesRemoved = true;
    });
    c.pendingDriverUpdate.reset();
}

// Deletes a key with everything below it, in the given view. A link in the
// tree is deleted as a link: a user who may make subkeys in a key the run
// granted could otherwise aim this elevated deletion at any key.
void DeleteKeyTree(HKEY root, REGSAM view, const std::wstring& subkey) {
    DeleteKeyTreeWithoutLinks(root, subkey, KEY_ALL_ACCESS | view, RegistryLinks::FollowTrusted);
}

// Only the view flags of a record reach the registry.
REGSAM ViewOf(REGSAM view) { return view & (KEY_WOW64_32KEY | KEY_WOW64_64KEY); }

std::wstring RegistryPath(const RegistryKey& key) {
    const auto number = static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(key.root));
    const wchar_t* name = number == 0x80000000u   ? L"HKCR"
                          : number == 0x80000001u ? L"HKCU"
                          : number == 0x80000002u ? L"HKLM"
                          : number == 0x80000003u ? L"HKEY_USERS"
                          : number == 0x80000005u ? L"HKEY_CURRENT_CONFIG"
                                                  : L"(root)";
    std::wstring path = std::wstring(name) + L"\\" + key.subkey;
    if (key.view & KEY_WOW64_32KEY) path += L" (32-bit view)";
    return path;
}

// --- CreateDir: created folders are left in place ----------------------------
void Undo(const CreateDirRecord&, UndoContext&) {}
std::wstring Describe(const CreateDirRecord& r) { return L"leave the folder " + r.folder + L" (folders stay)"; }

// --- CopyFile: the temporary copy is deleted ---------------------------------
void Undo(const CopyFileRecord& r, UndoContext&) {
    TraceWrite(TraceDetail, L"Rollback(): DeleteFile( \"%s\" )\n", r.copy.c_str());
    DeleteFileWithoutLinks(r.copy);
}
std::wstring Describe(const CopyFileRecord& r) { return L"delete the new copy " + r.copy; }

// --- MoveFile: moved back, without replacing anything ------------------------
void Undo(const MoveFileRecord& r, UndoContext&) {
    TraceWrite(TraceDetail, L"Rollback(): MoveFile( \"%s\", \"%s\")\n", r.to.c_str(), r.from.c_str());
    MoveWithoutLinks(r.to, r.from, false);
}
std::wstring Describe(const MoveFileRecord& r) { return L"move " + r.to + L" back to " + r.from; }

// --- QueuedMove: the registration is taken back -------------------------------
// A failed run must not replace or delete anything at the next restart.
void Undo(const QueuedMoveRecord& r, UndoContext&) {
    TraceWrite(TraceDetail, L"Rollback(): QueuedMove( \"%s\", \"%s\")\n", r.to.c_str(), r.from.c_str());
    if (CancelRestartMove(r.from, r.to))
        TraceWrite(TraceDetail, L"Rollback(): restart move of \"%s\" cancelled\n", r.from.c_str());
}
std::wstring Describe(const QueuedMoveRecord& r) {
    return L"take back the move of " + r.from + (r.to.empty() ? L" (a deletion)" : L" to " + r.to) +
           L" registered for the next restart";
}

// --- CopyInf: the package goes out of the store again -----------------------
// Unless the step was logged before it ran: its own records give each device
// its driver back and take only the new packages out.
void Undo(const CopyInfRecord& r, UndoContext& c) {
    TraceWrite(TraceDetail, L"Rollback(): CopyInf( \"%s\", \"%s\")\n", r.inf.c_str(), r.folder.c_str());
    const std::wstring folder = Lowercase(r.folder);
    if (std::find(c.announcedFolders.begin(), c.announcedFolders.end(), folder) != c.announcedFolders.end()) return;
    UndoDriverStep(CopyInfRecord::kKind, [&] { RollbackInfCopy(c.transaction, r); });
}
std::wstring Describe(const CopyInfRecord& r) {
    return L"take back the driver package " + r.inf + L" (" + r.folder + L")";
}

// --- UpdateDriver: the devices get their previous INF back -------------------
// Undone when the next older driver update is met, or when the log ends.
void Undo(const UpdateDriverRecord& r, UndoContext& c) {
    UndoPendingDriverUpdate(c);
    c.pendingDriverUpdate = r;
}
std::wstring Describe(const UpdateDriverRecord& r) {
    const std::wstring previous = r.previousInf.empty() ? L"(none)" : r.previousInf;
    return L"give the devices " + r.hardwareId + L" their driver " + previous + L" back";
}

// --- TempFile: deleted while it is still the empty file the run made ----------
// Once it holds a file moved aside, the MoveFile record has taken care of it.
void Undo(const TempFileRecord& r, UndoContext&) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (::GetFileAttributesExW(r.path.c_str(), GetFileExInfoStandard, &data) &&
        !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && data.nFileSizeHigh == 0 && data.nFileSizeLow == 0) {
        TraceWrite(TraceDetail, L"Rollback(): DeleteFile( \"%s\" )\n", r.path.c_str());
        DeleteFileWithoutLinks(r.path);
    }
}
std::wstring Describe(const TempFileRecord& r) {
    return L"delete the temporary file " + r.path + L" while it is empty";
}

// --- RestoreFile: the copy goes back over whatever has taken its place -------
void Undo(const RestoreFileRecord& r, UndoContext&) {
    TraceWrite(TraceDetail, L"Rollback(): MoveFile( \"%s\", \"%s\")\n", r.copy.c_str(), r.path.c_str());
    MoveWithoutLinks(r.copy, r.path, true);
}
std::wstring Describe(const RestoreFileRecord& r) { return std::wstring(L"undo ") + r.kKind; }

// --- NewLink: the shortcut is deleted ------------------------------------------
// An older link of the same name was moved aside before this record was
// written; its MoveFile record, older, puts it back afterwards.
void Undo(const NewLinkRecord& r, UndoContext&) {
    if (r.path.empty() || IsDirectory(r.path)) return;
    TraceWrite(TraceDetail, L"Rollback(): DeleteFile( \"%s\" )\n", r.path.c_str());
    DeleteFileWithoutLinks(r.path);
}
std::wstring Describe(const NewLinkRecord& r) { return L"delete the shortcut " + r.path; }

// --- SharedDll: the count is set back --------------------------------------------
void Undo(const SharedDllRecord& r, UndoContext&) {
    SharedDllPrior prior = r;
    prior.view = ViewOf(prior.view);
    TraceWrite(TraceDetail, L"Rollback(): SharedDLLs refcount of %s restored.\n", prior.valueName.c_str());
    RestoreSharedDllCount(prior);
}
std::wstring Describe(const SharedDllRecord& r) {
    return L"set the SharedDLLs count of " + r.valueName + L" back to " +
           (r.existed ? FormatText(L"%lu", static_cast<unsigned long>(r.count)) : L"none");
}

// --- RegNewKey: the key goes with everything below it ----------------------------
void Undo(const RegNewKeyRecord& r, UndoContext&) {
    TraceWrite(TraceDetail, L"Rollback(): RegDeleteKey( \"%s\" )\n", r.key.subkey.c_str());
    DeleteKeyTree(r.key.root, ViewOf(r.key.view), r.key.subkey);
}
std::wstring Describe(const RegNewKeyRecord& r) { return L"delete the new key " + RegistryPath(r.key); }

// --- RegNoValue: the new value is deleted ----------------------------------------
void Undo(const RegNoValueRecord& r, UndoContext&) {
    TraceWrite(TraceDetail, L"Rollback(): RegDeleteValue( \"%s\", \"%s\" )\n", r.key.subkey.c_str(), r.name.c_str());
    UniqueKey key;
    if (::RegOpenKeyExW(r.key.root, r.key.subkey.c_str(), 0, KEY_SET_VALUE | ViewOf(r.key.view), key.Put()) ==
        ERROR_SUCCESS)
        ::RegDeleteValueW(key.Get(), r.name.c_str());
}
std::wstring Describe(const RegNoValueRecord& r) {
    return L"delete " + RegistryPath(r.key) + L" " + r.name + L" (new)";
}

// --- RegLink: the link is made again ---------------------------------------------
void Undo(const RegLinkRecord& r, UndoContext&) {
    TraceWrite(TraceDetail, L"Rollback(): RegCreateLink( \"%s\" )\n", r.key.subkey.c_str());
    UniqueKey key;
    if (::RegCreateKeyExW(r.key.root, r.key.subkey.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                          KEY_SET_VALUE | KEY_CREATE_LINK | ViewOf(r.key.view), nullptr, key.Put(),
                          nullptr) == ERROR_SUCCESS)
        ::RegSetValueExW(key.Get(), L"SymbolicLinkValue", 0, REG_LINK, r.target.data(),
                         static_cast<DWORD>(r.target.size()));
}
std::wstring Describe(const RegLinkRecord& r) {
    return L"make the registry link " + RegistryPath(r.key) + L" again";
}

// --- RegKey and RegValue: the key is made again, the value written back --------
// False when the key cannot be made.
bool CreateKey(const RegistryKey& where, UniqueKey& key) {
    TraceWrite(TraceDetail, L"Rollback(): RegCreateKey( \"%s\" )\n", where.subkey.c_str());
    return ::RegCreateKeyExW(where.root, where.subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | ViewOf(where.view),
                             nullptr, key.Put(), nullptr) == ERROR_SUCCESS;
}
void Undo(const RegKeyRecord& r, UndoContext&) {
    UniqueKey key;
    CreateKey(r.key, key);
}
std::wstring Describe(const RegKeyRecord& r) { return L"make the key " + RegistryPath(r.key) + L" again"; }

void Undo(const RegValueRecord& r, UndoContext&) {
    UniqueKey key;
    if (!CreateKey(r.key, key)) return;
    TraceWrite(TraceDetail, L"Rollback(): RegSetValue( \"%s\", \"%s\" )\n", r.key.subkey.c_str(), r.name.c_str());
    ::RegSetValueExW(key.Get(), r.name.c_str(), 0, r.type, r.data.data(), static_cast<DWORD>(r.data.size()));
}
std::wstring Describe(const RegValueRecord& r) {
    return L"write " + RegistryPath(r.key) + L" " + r.name + L" back";
}

// --- what a driver step logged before it ran (UpdateDriverAnnounce.cpp) ------
void Undo(const DriverPackagesRecord&, UndoContext&) {}
std::wstring Describe(const DriverPackagesRecord& r) { return L"nothing more for the driver packages of " + r.folder; }

void Undo(const NewDriverPackageRecord& r, UndoContext&) {
    UndoDriverStep(r.kKind, [&] { RemovePackagesFromStore(DirectoryOf(r.inf), {GetFileNamePart(r.inf)}); });
}
std::wstring Describe(const NewDriverPackageRecord& r) {
    return L"take the driver package " + r.inf + L" out of the INF store";
}

void Undo(const NewDeviceRecord& r, UndoContext&) {
    UndoDriverStep(r.kKind, [&] { RemoveNewDevices(r.hardwareId); });
}
std::wstring Describe(const NewDeviceRecord& r) { return L"remove the devices " + r.hardwareId + L" the run made"; }

void Undo(const FilterComponentRecord& r, UndoContext& c) {
    UndoDriverStep(r.kKind, [&] { RestoreFilterDriver(c.transaction, r.componentId, r.previousInf); });
}
std::wstring Describe(const FilterComponentRecord& r) {
    return L"put the component " + r.componentId + L" back " +
           (r.previousInf.empty() ? std::wstring(L"(none: remove it)") : L"on " + r.previousInf);
}

// --- Cleanup: a removal of the clean-up was never made -----------------------
// (A run that logged it is finished, not undone: see FinishCleanup.)
void Undo(const CleanupRecord&, UndoContext&) {}
std::wstring Describe(const CleanupRecord& r) { return L"nothing for " + r.path + L" (its clean-up had not begun)"; }

// --- Committed: only ever the newest record, which makes the rollback finish
// the clean-up instead of undoing -------------------------------------------------
void Undo(const CommittedRecord&, UndoContext&) {}
std::wstring Describe(const CommittedRecord& r) { return std::wstring(L"undo ") + r.kKind; }

}  // namespace

void Undoing::Note(const RollbackRecord& record) {
    if (const auto* packages = std::get_if<DriverPackagesRecord>(&record))
        announcedFolders_.push_back(Lowercase(packages->folder));
}

void Undoing::Undo(const RollbackRecord& record) {
    UndoContext context{transaction_, pendingDriverUpdate_, devicesRemoved_, announcedFolders_};
    std::visit([&](const auto& kind) { journal::Undo(kind, context); }, record);
}

void Undoing::Finish() {
    UndoContext context{transaction_, pendingDriverUpdate_, devicesRemoved_, announcedFolders_};
    UndoPendingDriverUpdate(context);
    // Devices that had no driver before the run, removed, come back without
    // one: the packages the run staged have left the store by now.
    if (devicesRemoved_) UndoDriverStep(L"Reenumerate", [] { Reenumerate(false); });
}

std::wstring DescribeUndo(const RollbackRecord& record) {
    return std::visit([](const auto& kind) { return Describe(kind); }, record);
}

}  // namespace journal
}  // namespace qel
