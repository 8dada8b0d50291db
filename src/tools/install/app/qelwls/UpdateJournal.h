// The journal: the records of the rollback log, of the uninstall log and of a
// run's marker, one type per kind. A record's bytes are defined once, in
// UpdateJournal.cpp (Encode and Decode); what undoing a rollback record does
// and how it is told to a person, in UpdateJournalUndo.cpp; what the
// uninstall replay does with an uninstall record, in UpdateJournalReplay.cpp.
// Writers hand a transaction records, never text; every reader decodes
// through Decode, and a line that does not decode is no record of its log.
//
// The grammar: one record a line, ending in "\n" (the log file writes CR LF),
// fields separated by commas with no quoting, field 0 the kind (compared
// case-sensitively). The file and driver kinds carry a path or device id
// with every comma written as '|', a character no Windows path or device id
// holds. The kinds that keep undo state percent-encode their text ('%', ',',
// '|' and control characters as %HH), since a registry name may hold
// anything. Numbers are "0x%08x" and read with base detection; registry data
// is written as hexadecimal bytes.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace qel {

class UpdateTransaction;

namespace journal {

// --- the rollback log ------------------------------------------------------
// Written before the change each describes, undone newest first. Each kind
// names itself (kKind, field 0 of its line).

// A folder about to be created. Folders are never removed by an undo.
struct CreateDirRecord { static constexpr const wchar_t* kKind = L"CreateDir"; std::wstring folder; };
// A temporary file beside the destination about to receive a copy of the
// source.
struct CopyFileRecord { static constexpr const wchar_t* kKind = L"CopyFile"; std::wstring source, copy; };
// A move about to be made at once.
struct MoveFileRecord { static constexpr const wchar_t* kKind = L"MoveFile"; std::wstring from, to; };
// A move registered for the next restart; an empty `to` is a deletion then.
struct QueuedMoveRecord { static constexpr const wchar_t* kKind = L"QueuedMove"; std::wstring from, to; };
// A driver package about to go into the store. Before Vista `inf` is the
// staged INF and `folder` the folder it is copied from; from Vista on `inf`
// is the package installer and `folder` the package folder it installs.
struct CopyInfRecord { static constexpr const wchar_t* kKind = L"CopyInf"; std::wstring inf, folder; };
// The devices of a hardware id about to take a new INF; `previousInf` is
// the one they had (empty when they had none).
struct UpdateDriverRecord {
    static constexpr const wchar_t* kKind = L"UpdateDriver";
    std::wstring hardwareId, newInf, previousInf;
};
// A temporary file whose name is taken; undone only while it is empty.
struct TempFileRecord { static constexpr const wchar_t* kKind = L"TempFile"; std::wstring path; };
// A copy of a file about to be removed, to be put back in its place.
struct RestoreFileRecord { static constexpr const wchar_t* kKind = L"RestoreFile"; std::wstring path, copy; };
// A shortcut about to be made, to be deleted again.
struct NewLinkRecord { static constexpr const wchar_t* kKind = L"NewLink"; std::wstring path; };
// A SharedDLLs count as it was before a run changed it.
struct SharedDllRecord {
    static constexpr const wchar_t* kKind = L"SharedDll";
    std::wstring valueName;
    REGSAM view = 0;
    bool existed = false;
    DWORD count = 0;
};

// Where a registry record points: a predefined root (HKEY_CLASSES_ROOT to
// HKEY_DYN_DATA; IsRegistryRecordRoot), the view flag, and a subkey that is
// never empty.
struct RegistryKey {
    HKEY root = nullptr;
    REGSAM view = 0;
    std::wstring subkey;
};
// A value as it was, to be written back.
struct RegValueRecord {
    static constexpr const wchar_t* kKind = L"RegValue";
    RegistryKey key;
    std::wstring name;
    DWORD type = 0;
    std::vector<BYTE> data;
};
// A value that did not exist, to be deleted again.
struct RegNoValueRecord { static constexpr const wchar_t* kKind = L"RegNoValue"; RegistryKey key; std::wstring name; };
// The first missing key of a path about to be created, to be deleted again
// with everything below it.
struct RegNewKeyRecord { static constexpr const wchar_t* kKind = L"RegNewKey"; RegistryKey key; };
// A key of a tree about to be deleted, to be created again.
struct RegKeyRecord { static constexpr const wchar_t* kKind = L"RegKey"; RegistryKey key; };
// A registry link of a tree about to be deleted, to be made again.
struct RegLinkRecord { static constexpr const wchar_t* kKind = L"RegLink"; RegistryKey key; std::vector<BYTE> target; };

// A removal the clean-up is to make (a DirOp: its kind, then a path that is
// never empty), logged just before CommittedRecord. Nothing to undo.
struct CleanupRecord { static constexpr const wchar_t* kKind = L"Cleanup"; uint32_t kind = 0; std::wstring path; };
// The last record before the clean-up deletes anything: the run's changes
// are complete, and what is left of the run is finished rather than undone.
struct CommittedRecord { static constexpr const wchar_t* kKind = L"Committed"; };

// What a driver step is about to change, logged before it changes anything
// (UpdateDriverAnnounce.cpp); the step's devices are logged as
// UpdateDriverRecords. The packages of a folder about to go into the store:
// a CopyInfRecord of the folder written after it is undone by the step's
// records, not by removing every package of the folder.
struct DriverPackagesRecord { static constexpr const wchar_t* kKind = L"DriverPackages"; std::wstring folder; };
// A package the store does not hold yet: its copy there goes again.
struct NewDriverPackageRecord { static constexpr const wchar_t* kKind = L"NewDriverPackage"; std::wstring inf; };
// No device has the hardware id yet: the devices with it go again.
struct NewDeviceRecord { static constexpr const wchar_t* kKind = L"NewDevice"; std::wstring hardwareId; };
// A network component as it is: the store INF of its driver (empty when it
// is not installed), to be put back on.
struct FilterComponentRecord {
    static constexpr const wchar_t* kKind = L"FilterComponent";
    std::wstring componentId, previousInf;
};

using RollbackRecord =
    std::variant<CreateDirRecord, CopyFileRecord, MoveFileRecord, QueuedMoveRecord, CopyInfRecord, UpdateDriverRecord,
                 TempFileRecord, RestoreFileRecord, NewLinkRecord, SharedDllRecord, RegValueRecord, RegNoValueRecord,
                 RegNewKeyRecord, RegKeyRecord, RegLinkRecord, CleanupRecord, CommittedRecord, DriverPackagesRecord,
                 NewDriverPackageRecord, NewDeviceRecord, FilterComponentRecord>;

// --- the uninstall log -----------------------------------------------------
// Written after an install, replayed newest first by an upgrade or uninstall.

// A file the file stage installed (or skipped: it belongs to the package all
// the same), with its file flags. A record without flags reads as flags 0.
struct InstalledFileRecord {
    static constexpr const wchar_t* kKind = L"CopyFile";
    std::wstring source, destination;
    std::optional<uint32_t> flags;
};
// A file the file stage moved into place (the uninstall log itself). It
// carries no flags, so its replay removes nothing.
struct MovedFileRecord { static constexpr const wchar_t* kKind = L"MoveFile"; std::wstring source, destination; };
// A driver package the driver stage installed. Before Vista `inf` is the
// staged INF and `installed` its OEM INF name in the store; from Vista on
// `inf` is the package installer and `installed` the package folder.
struct InstalledInfRecord { static constexpr const wchar_t* kKind = L"CopyInf"; std::wstring inf, installed; };

using UninstallRecord = std::variant<InstalledFileRecord, MovedFileRecord, InstalledInfRecord>;

// --- the run marker --------------------------------------------------------
// The process of a run, first; then its command line and each log the run
// created.
struct RunProcessRecord {
    static constexpr const wchar_t* kKind = L"Process";
    DWORD processId = 0;
    uint64_t creationTime = 0;
};
// The command line of the run, as its process got it, for the person who
// finds the run interrupted. Markers of earlier builds do not hold it.
struct RunCommandRecord { static constexpr const wchar_t* kKind = L"Command"; std::wstring commandLine; };
struct RunRollbackLogRecord { static constexpr const wchar_t* kKind = L"RollbackLog"; std::wstring path; };
struct RunUninstallLogRecord { static constexpr const wchar_t* kKind = L"UninstallLog"; std::wstring path; };

using MarkerRecord = std::variant<RunProcessRecord, RunCommandRecord, RunRollbackLogRecord, RunUninstallLogRecord>;

// --- bytes -------------------------------------------------------------------
// The line of a record, "\n" included. A path or device id that holds a line
// end cannot be carried and raises: no change is made that its record would
// describe wrongly.
std::wstring Encode(const RollbackRecord& record);
std::wstring Encode(const UninstallRecord& record);
std::wstring Encode(const MarkerRecord& record);
// The record a line (without its line end) holds, for one of the three
// variants above; none when the kind is unknown or a field is missing, left
// over or malformed.
template <typename Record>
std::optional<Record> Decode(const std::wstring& line);
// Field 0 of a line, whatever the rest holds.
std::wstring KindOf(const std::wstring& line);
// Registry records are written only for the predefined roots.
bool IsRegistryRecordRoot(HKEY root);

// --- undo (UpdateJournalUndo.cpp) ------------------------------------------
// Undoes the records of one transaction's rollback log, newest first.
class Undoing {
public:
    explicit Undoing(UpdateTransaction& transaction) : transaction_(transaction) {}
    // Before the first Undo: a record of the log, looked at to learn what the
    // records newer than it leave to it (a DriverPackagesRecord takes over
    // the undo of its folder's CopyInfRecord).
    void Note(const RollbackRecord& record);
    void Undo(const RollbackRecord& record);
    // Undoes what is still pending: each driver update is undone only when
    // the next older one is met, or when the log ends.
    void Finish();

private:
    UpdateTransaction& transaction_;
    std::optional<UpdateDriverRecord> pendingDriverUpdate_;
    bool devicesRemoved_ = false;
    std::vector<std::wstring> announcedFolders_;  // lower case
};
// What undoing the record would do, for a person (qelkit recover).
std::wstring DescribeUndo(const RollbackRecord& record);

// --- uninstall replay (UpdateJournalReplay.cpp) ----------------------------
// What an uninstall (`upgrade` false) or the first half of an upgrade does
// with one record: queues removals, or removes an unused driver package at
// once (an upgrade).
void Replay(UpdateTransaction& transaction, const UninstallRecord& record, bool upgrade);
// The control-panel applet the record installed, if it names one: what a
// partial uninstall deletes.
const InstalledFileRecord* ControlPanelApplet(const UninstallRecord& record);

}  // namespace journal
}  // namespace qel
