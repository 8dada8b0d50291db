// UpdateTransaction: the one object through which a run changes the system.
// Key handlers only queue records here; Commit carries them out stage by stage,
// writing a rollback record before each file or driver change and an uninstall
// record after each install. Sub-install transactions appended to it are
// committed, rolled back and cleaned up together with it.
#pragma once

#include "Log.h"
#include "UpdateJournal.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace qel {

// File flags: the SetupAPI CopyFiles flags (COPYFLG_*) in the low bits, plus
// two of the system's own.
constexpr uint32_t NO_UNINSTALL_RECORD = 0x40000000;  // no uninstall record; never removed
constexpr uint32_t SHARED_DLL = 0x80000000;           // counted in SharedDLLs
// NOSKIP | NOVERSIONCHECK: what the system uses for files it copies or
// deletes on its own account.
constexpr uint32_t kOwnFileFlags = 0x6;

// "HKR": the driver key of each device that takes the installed driver. It is
// never passed to the registry.
inline HKEY RelativeRoot() { return reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(0x80666420))); }

struct FileOp {
    std::wstring destination;
    std::wstring source;  // for a removal: the path to remove
    uint32_t flags = 0;
    std::wstring cabinet;  // empty when the source is a plain file
};

struct RunOp {
    std::wstring program;
    std::wstring arguments;
    uint32_t flags = 0;
};

struct RegOp {
    HKEY root = nullptr;  // a predefined root or RelativeRoot()
    std::wstring subkey;
    std::wstring valueName;  // empty for the key itself
    uint32_t type = 0;       // REG_SZ, REG_DWORD, ...
    uint32_t flags = 0;      // the AddReg / DelReg flags
    std::vector<BYTE> data;
    uint32_t access = 0;     // 1: interactive users get full access
};

struct LinkOp {
    std::wstring folder;
    std::wstring name;
    std::wstring target;
    std::wstring arguments;
    std::wstring workingFolder;
    std::wstring iconFile;
    uint32_t iconIndex = 0;
    std::wstring localizedName;  // resource reference, empty before Vista
    std::wstring stringIdName;   // empty before Vista
};

// An INF the file stage stages into its folder, for the INF store (before
// Vista).
struct InfInstallOp {
    std::wstring stagedInf;  // the copy in the folder
    std::wstring folder;
};

// An INF that an earlier install put into the INF store, to take out again
// (before Vista).
struct InfRemoveOp {
    std::wstring infPath;
    std::wstring oemInfName;
};

// The present devices whose hardware id begins with hardwareId take the
// driver of the INF (before Vista).
struct DriverUpdateOp {
    std::wstring hardwareId;
    std::wstring infPath;
};

// The driver package that the package installer installs and removes from
// Vista on.
struct DriverPackage {
    // The installer's folder, as the DriverInf key or an uninstall log names
    // it; the driver stage's install makes it the installer's own path.
    std::wstring dpinstPath;
    std::wstring folder;  // the installer's "/path"
    // The package INF the driver stages are working on.
    std::wstring infPath;
    std::wstring driverInfName;          // file name of the script's driver INF
    std::vector<std::wstring> infNames;  // the package INFs a removal runs the installer for
    // Until a catalog was checked the package counts as unsigned, the safe
    // assumption.
    bool isSigned = false;
};

// The chain query of a DelGINA line: the GINA DLL to load, the export to
// call and its argument. Only a queue-only transaction keeps one, instead of
// making the call.
struct GinaQuery {
    std::wstring dllPath;  // full path, in the system folder
    std::wstring exportName;
    std::wstring argument;
    std::wstring section;     // the section of the DelGINA line
    size_t removalIndex = 0;  // where in FileRemoves the DLL's removal would go
};

// Kinds of DirOp.
enum DirRemoveKind : uint32_t { DirRemoveIfEmpty = 0, DirRemoveTree = 1 };  // others: a shortcut

struct DirOp {
    std::wstring path;
    uint32_t kind = DirRemoveIfEmpty;
};

enum MoveResult : int { MoveDone = 0, MoveAtRestart = 1, MoveFailed = 2 };

// What a move may take as known, so that it need not make the attributes of
// its two files normal first.
enum MoveKnowledge : unsigned {
    MoveKnowsNothing = 0,
    // The file moved need not be made normal: it has normal attributes
    // already, or it keeps its own (a file moved aside to be deleted).
    MoveFromIsNormal = 1,
    // Nothing at the target to make writable: it is known not to be there,
    // or it is the empty temporary file this run just made for a file moved
    // aside.
    MoveToIsPlain = 2,
    // Nothing is at the target, which was only named: the move must not
    // replace anything, so a name taken since fails it.
    MoveToIsFree = 4,
};

// A SharedDLLs count as it was before a run changed it: what the undo record
// of a change of the count keeps.
using SharedDllPrior = journal::SharedDllRecord;

// The registry view and value name under which a file is counted.
struct SharedDllName {
    std::wstring valueName;
    REGSAM view = 0;
};

// What a file stage knows of the folders it works in, each folder listed
// once. Under Wine, asking for a name that is not there costs a scan of its
// whole folder (names are matched without regard to case), and a file stage
// asks about thousands of new names (each destination, each temporary name)
// in folders of thousands of files. A name the listing lacks is known to be
// absent, one it holds to be present. Only plain names are answered (ASCII,
// no wildcard or short-name characters, no trailing dot or space), only in
// folders whose names are all ASCII, and only until the stage changes them:
// a name the stage makes, moves or removes is asked of Windows again. The
// folders found or made are remembered too.
class FolderNames {
public:
    enum Answer { Absent, Present, Unknown };
    Answer Lookup(const std::wstring& path);
    // The stage made, moved or removed what is at `path`.
    void Changed(const std::wstring& path);
    // A plain file the listing holds and the stage has not changed: neither
    // a folder nor a link.
    bool KnownPlainFile(const std::wstring& path);
    // The folder is there (found, or made by the stage).
    bool FolderKnown(const std::wstring& folder) const { return existingFolders_.count(folder) != 0; }
    void FolderFound(const std::wstring& folder) { existingFolders_.insert(folder); }

private:
    struct Folder {
        bool listed = false;
        std::unordered_set<std::wstring> names;    // lower-case
        std::unordered_set<std::wstring> notPlain; // lower-case: folders and links
        std::unordered_set<std::wstring> changed;  // lower-case
    };
    Folder& Listing(const std::wstring& folder);
    std::unordered_map<std::wstring, Folder> folders_;
    std::unordered_set<std::wstring> existingFolders_;
};

class UpdateTransaction {
public:
    UpdateTransaction();
    ~UpdateTransaction();
    UpdateTransaction(const UpdateTransaction&) = delete;
    UpdateTransaction& operator=(const UpdateTransaction&) = delete;

    // --- the run's flags --------------------------------------------------
    // Set by the changes that take effect only after a restart; never cleared.
    bool IsRebootRequired() const { return rebootRequired; }
    void SetRebootRequired(bool required) { rebootRequired = rebootRequired || required; }
    // Set by the driver package installer's exit code: the driver must be
    // restarted for the change to take effect.
    bool IsRestartDriverRequired() const { return restartDriverRequired; }
    void SetRestartDriverRequired() { restartDriverRequired = true; }
    // Queue without touching the system: the key handlers read the script
    // and the machine and queue their records as for a run, but nothing is
    // created (no rollback log, no uninstall log, no folder), and the
    // transaction is never committed. Companion tools use it to check a
    // script and to show what a command would do; a command never sets it.
    // Sub-installs appended to such a transaction are queue-only too. A queue
    // step that acts at once instead of queueing must not act on it.
    void SetQueueOnly() { queueOnly = true; }
    bool IsQueueOnly() const { return queueOnly; }

    // --- the two logs -----------------------------------------------------
    void OpenRollbackLog(const std::wstring& path, bool create);
    bool HasRollbackLog() const { return rollbackLog.IsOpen(); }
    // The run is done with it: closed and deleted.
    void DeleteRollbackLog() { rollbackLog.CloseAndDelete(); }
    // A queue-only transaction only takes the name of a new log (create):
    // nothing is made, and the log is not open.
    void OpenUninstallLog(const std::wstring& path, bool create);
    // The uninstall log being written (an install) or replayed (an upgrade
    // or uninstall).
    LogFile& UninstallLog() { return uninstallLog; }
    // This run began the uninstall log and is writing it (a queue-only
    // transaction only names it); a rollback deletes such a log, while it
    // keeps one that an earlier install left.
    bool WritesNewUninstallLog() const { return uninstallLogIsNew && (uninstallLog.IsOpen() || queueOnly); }
    // Rollback records are written, and a failed removal is an error, until
    // an uninstall replay begins.
    bool RollbackEnabled() const { return rollbackEnabled; }
    void DisableRollback() { rollbackEnabled = false; }

    // --- queue operations (key handlers) ---------------------------------
    void FileInstall(const std::wstring& source, const std::wstring& destination, uint32_t flags,
                     const std::wstring& cabinet);
    void FileMove(const std::wstring& source, const std::wstring& destination, uint32_t flags);
    void InfInstall(const std::wstring& infPath, const std::wstring& folder);
    void InfRemove(const std::wstring& infPath, const std::wstring& oemInfName);
    void DriverUpdate(const std::wstring& hardwareId, const std::wstring& infPath);
    void DriverUninstall(const std::wstring& oemInfOrPackageFolder);
    void FileRemove(const std::wstring& path, uint32_t flags);
    void RunApp(const std::wstring& program, const std::wstring& arguments, uint32_t flags, bool before);
    // Raises for a deletion under RelativeRoot() and queues nothing then.
    void RegistryUpdate(HKEY root, const std::wstring& subkey, const std::wstring& valueName, uint32_t type,
                        uint32_t flags, const std::vector<BYTE>& data, uint32_t access, bool add);
    void LinkAdd(const LinkOp& link);
    void DriverPackageInf(const std::wstring& infName);
    // The driver package: where its installer and its folder are (the
    // DriverInf key; an uninstall replay or a rollback from the log), the
    // name of the script's driver INF, whether its catalog is signed.
    void SetDriverPackageLocation(const std::wstring& dpinstPath, const std::wstring& folder);
    void SetDriverInfName(const std::wstring& name) { driverPackage.driverInfName = name; }
    void SetDriverPackageSigned(bool isSigned) { driverPackage.isSigned = isSigned; }
    void DirRemove(const std::wstring& path, uint32_t kind);
    // A queue-only transaction keeps a DelGINA line's call instead of making it.
    void KeepGinaQuery(const GinaQuery& query) { ginaQueries.push_back(query); }
    // Takes ownership; the sub-install is committed, rolled back and cleaned
    // up after this transaction, in the order added.
    void AddSubTransaction(std::unique_ptr<UpdateTransaction> subInstall);

    // --- the queued work, in queue order ----------------------------------
    // The commit does not empty the lists: a second commit carries out every
    // record queued so far once more.
    const std::vector<FileOp>& FileInstalls() const { return fileInstalls; }  // the staged INFs among them
    const std::vector<FileOp>& FileMoves() const { return fileMoves; }
    const std::vector<FileOp>& FileRemoves() const { return fileRemoves; }  // the path to remove is the source
    const std::vector<InfInstallOp>& InfInstalls() const { return infInstalls; }
    const std::vector<DriverUpdateOp>& DriverUpdates() const { return driverUpdates; }
    const std::vector<InfRemoveOp>& InfRemoves() const { return infRemoves; }
    const std::vector<std::wstring>& DriverUninstalls() const { return driverUninstalls; }
    const std::vector<RunOp>& PreRuns() const { return preRuns; }
    const std::vector<RunOp>& PostRuns() const { return postRuns; }
    const std::vector<RegOp>& RegAdds() const { return regAdds; }
    const std::vector<RegOp>& RegDeletes() const { return regDeletes; }
    // Additions under "HKR", made in the driver key of each device the
    // driver update reaches.
    const std::vector<RegOp>& RelativeRegAdds() const { return relativeRegAdds; }
    const std::vector<LinkOp>& Links() const { return links; }
    const std::vector<DirOp>& DirRemoves() const { return dirRemoves; }  // the clean-up's removals
    const std::vector<GinaQuery>& GinaQueries() const { return ginaQueries; }  // queue-only: the calls not made
    const DriverPackage& Package() const { return driverPackage; }

    // This transaction's share of the commit's total cost: the costs of the
    // commit's stages (UpdateStages.h) added up.
    uint32_t Cost() const;
    // The whole tree that a commit, a rollback and the clean-up walk: this
    // transaction, then each sub-install with its own sub-installs, in the
    // order they were added.
    std::vector<UpdateTransaction*> Tree();

    // --- commit side -------------------------------------------------------
    // Writes one rollback record before the change it describes and traces
    // it; while rollbackEnabled is false it goes as an undo record instead.
    // A record that cannot be written raises.
    void LogRollbackRecord(const journal::RollbackRecord& record);
    // The records that keep a failure undoable beyond the files and drivers
    // (registry values, SharedDLLs counts, temporary files, the removals of an
    // uninstall replay). They are written whenever the rollback log is open,
    // also while rollbackEnabled is false, and never traced, so a successful
    // run's diagnostic log is the same with or without them.
    void LogUndoRecord(const journal::RollbackRecord& record);
    // One record of what an install left, after the change; a record that
    // cannot be written is not worth stopping for.
    void LogUninstallRecord(const journal::UninstallRecord& record);
    // Logs that the run's changes are complete (a CommittedRecord), with the
    // removals its clean-up is to make (CleanupRecords), before the clean-up
    // deletes anything.
    void LogCommitted(const std::vector<DirOp>& cleanup);
    // A new empty temporary file "qel<hex>.tmp" in `folder`, announced in the
    // rollback log before it is made, so that a rollback or the recovery of
    // a killed run can remove it while it is still empty.
    // With `nameOnly`, the file is not made when the stage's listing knows
    // the name to be free: the name alone is announced, and *nameOnly tells
    // that the caller is to make the file itself (by a move or a copy that
    // fails on a name taken since).
    std::wstring MakeLoggedTempFile(const std::wstring& folder, bool* nameOnly = nullptr);
    // The same, made and kept open for writing in `opened`.
    std::wstring MakeOpenLoggedTempFile(const std::wstring& folder, UniqueHandle& opened);
    // Moves a file of the installed product aside (beside itself) instead of
    // deleting or overwriting it, with an untraced record: a rollback puts it
    // back, the clean-up deletes it. False, with the OS error kept, when it
    // could not be moved.
    bool MoveAsideQuietly(const std::wstring& path);
    // The files the commit moved or copied aside (replaced and removed files,
    // copies kept for a rollback), which the clean-up deletes.
    void AddMovedAsideFile(const std::wstring& path) { movedAsideFiles.push_back(path); }
    const std::vector<std::wstring>& MovedAsideFiles() const { return movedAsideFiles; }
    // SharedDLLs counts, each announced with the count as it was.
    void AddSharedDllRef(const std::wstring& path, bool presentBefore);
    void ReleaseSharedDllRef(const std::wstring& path);
    // The listing of the file stage that runs (see FolderNames); none
    // (null) outside the file stages.
    void UseFolderListing(FolderNames* listing) { folderNames = listing; }
    void CommitFileInstall(const std::wstring& source, const std::wstring& destination, uint32_t flags,
                           const std::wstring& cabinet);
    // The same, with the destination already looked for (present or not)
    // and nothing changed since.
    void CommitFileInstall(const std::wstring& source, const std::wstring& destination, uint32_t flags,
                           const std::wstring& cabinet, bool present);
    void CommitFileRemove(const std::wstring& path, uint32_t flags);
    // The file stages write the records of the next files ahead, with one
    // flush (LogFile::WriteAhead), where they can tell the records the
    // commit will write: the FileInstalls or FileRemoves from `first` on.
    // Nothing when records are still ahead or no listing is in use.
    void WriteFileInstallRecordsAhead(size_t first);
    void WriteFileRemoveRecordsAhead(size_t first);
    // Cuts records written ahead and not taken (the end of a stage).
    void CutRecordsAhead();
    // `known`: what need not be made normal first (MoveKnowledge).
    MoveResult MoveFileLogged(const std::wstring& from, const std::wstring& to, bool delayAllowed,
                              unsigned known = MoveKnowsNothing);
    MoveResult QueuedMove(const std::wstring& from, const std::wstring& to);
    void CommitRegDelete(HKEY root, const std::wstring& subkey, const std::wstring& valueName, uint32_t flags);
    void CommitRegAdd(HKEY root, const std::wstring& subkey, const std::wstring& valueName, uint32_t type,
                      uint32_t flags, const std::vector<BYTE>& data, uint32_t access);
    bool GSMUDeleteKey(HKEY parent, const std::wstring& path, uint32_t flags);
    // Undoes this transaction from its rollback log, newest record first.
    void Rollback();
    // The driver stages: the installer's own path, once its program name is
    // known, and the package INF they are working on.
    void SetDpinstPath(const std::wstring& path) { driverPackage.dpinstPath = path; }
    void SetPackageInfPath(const std::wstring& path) { driverPackage.infPath = path; }

private:
    // Looks for a file or folder, through the stage's listing if it knows.
    bool PathPresent(const std::wstring& path);
    // MakeLoggedTempFile's work; the file made is left open in `file`.
    std::wstring LoggedTempFile(const std::wstring& folder, bool* nameOnly, UniqueHandle& file);
    // The temporary name MakeLoggedTempFile will take in `folder` after
    // `number` (moved on to it), judged by the stage's listing alone; empty
    // when Windows would have to be asked.
    std::wstring PredictTempName(const std::wstring& folder, UINT& number);
    // The unique number of the last temporary name tried, for all
    // transactions (the names are those GetTempFileName gives).
    static UINT& LastTempNumber();

    // Writes the records ahead of their changes with one flush
    // (LogFile::WriteAhead); raises when they cannot be written.
    void WriteRecordsAhead(const std::vector<journal::RollbackRecord>& records);

    // Where this transaction's records go: the rollback log of the top
    // transaction. The commit runs each stage over all transactions, so only
    // one log for the whole tree keeps the records in the order the changes
    // were made, and a rollback undoes them newest first across the tree.
    // Each sub-install still has a log of its own, which stays empty.
    LogFile& RecordLog();

    DriverPackage driverPackage;
    std::vector<FileOp> fileInstalls;
    std::vector<FileOp> fileMoves;
    std::vector<InfInstallOp> infInstalls;
    std::vector<DriverUpdateOp> driverUpdates;
    std::vector<FileOp> fileRemoves;
    std::vector<InfRemoveOp> infRemoves;
    std::vector<std::wstring> driverUninstalls;
    std::vector<std::wstring> movedAsideFiles;
    std::vector<RunOp> postRuns;
    std::vector<RunOp> preRuns;
    std::vector<RegOp> regAdds;
    std::vector<RegOp> regDeletes;
    std::vector<RegOp> relativeRegAdds;
    std::vector<LinkOp> links;
    std::vector<DirOp> dirRemoves;
    std::vector<GinaQuery> ginaQueries;
    bool restartDriverRequired = false;
    bool rebootRequired = false;
    bool queueOnly = false;
    bool rollbackEnabled = true;  // false from the start of an uninstall replay
    LogFile rollbackLog;
    LogFile uninstallLog;
    // True when this run made the uninstall log (an install); false when it
    // replays one an earlier install left, which a rollback must keep.
    bool uninstallLogIsNew = false;
    FolderNames* folderNames = nullptr;

    UpdateTransaction* parent_ = nullptr;
    std::vector<std::unique_ptr<UpdateTransaction>> subInstalls_;
};

// Carries out everything queued in the transaction and its sub-installs, in
// eight stages, with "Progress" lines on the status channel.
void Commit(UpdateTransaction& transaction);
// Programs (commit stages 1 and 8): runs one, waits for it within the
// time-out and judges its exit code; raises for a program that cannot be
// started unless its flags say to ignore that.
void CommitRunApp(UpdateTransaction& transaction, const std::wstring& program, const std::wstring& arguments,
                  uint32_t flags);
// Ends the first running process that runs the program at this path (the
// paths compared in full, long and canonical form, case ignored); no such
// process is no error.
void TerminateProgram(const std::wstring& programPath);
// After the driver package installer removed the package: the adapter's
// device that the package INF lists.
void UninstallDriverMatchingInfs(UpdateTransaction& transaction, const std::wstring& infPath);
// The rollback entry: Rollback for every transaction, the top one first.
void RollbackAll(UpdateTransaction& transaction);
// Replays the open uninstall log into removals (newest first) and commits.
void Uninstall(UpdateTransaction& transaction, bool upgrade);
// Deletes the control-panel applet the uninstall log lists, then commits.
void UninstallCPL(UpdateTransaction& transaction);
// A path the commit refuses before its first change: a file's (or a
// shortcut's) destination that is a folder, or a path it writes, removes or
// copies from that passes through a link, junction or mount point.
struct UnsafePath {
    enum Fault { DestinationIsFolder, ThroughLink } fault;
    std::wstring path;
    const FileOp* file = nullptr;  // the file record it is on; null for a shortcut
};
// The refused paths of a tree, in the order the commit checks them (only the
// first with `firstOnly`: the commit refuses that one).
std::vector<UnsafePath> FindUnsafePaths(const std::vector<UpdateTransaction*>& tree, bool firstOnly);
// Shortcuts: the .lnk file a queued link makes, and its commit (stage 7).
std::wstring LinkPathOf(const LinkOp& link);
void CommitLinkAdd(UpdateTransaction& transaction, const LinkOp& link);
// The clean-up: deletes the files every transaction moved aside, then each
// transaction's removals by folder, the pause, the sweep of temporary files,
// the top transaction first.
void DoCleanupAll(UpdateTransaction& transaction);
// The clean-up's removals by folder (without its pause and its sweep of
// temporary files), for a clean-up that a run could not finish.
void FinishCleanupRemovals(const std::vector<DirOp>& cleanup);
void DeleteFileOrDefer(const std::wstring& path);
// True for the errors of a file that is in use by another program.
bool IsInUseError(DWORD error);
bool DriverSetupExists();

// SharedDLLs reference counts, one REG_DWORD per file path under
// HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\SharedDLLs. The counting is
// shared by the files' references and the setup's own install count
// ("QelSetup"); raises name `module`.
SharedDllName SharedDllNameOf(const std::wstring& path, const char* module);
SharedDllPrior ReadSharedDllCount(const SharedDllName& name);
// `message` is the log line's format ("...%s (presentOnSystem = %d).\n").
void IncrementSharedDllCount(const SharedDllName& name, const std::wstring& path, bool presentBefore,
                             const char* module, const wchar_t* message);
void RestoreSharedDllCount(const SharedDllPrior& prior);
// True when the reference was the last one: the key or the value could not be
// read, or the count reached zero and the value was deleted.
bool DecrementSharedDllCount(const SharedDllName& name, const std::wstring& path);

// --- interrupted runs ------------------------------------------------------
// While a script command runs, a marker file in the Windows folder names its
// process and the rollback logs and new uninstall logs it has made. A run
// killed on the way leaves its marker; the next script command finds it and
// undoes that run from its logs before doing its own work.
class RunMarker {
public:
    // Starts this process's marker; until then Add does nothing (so code that
    // uses transactions in-process, outside a command, leaves no marker).
    void Begin();
    // Names one more log of the run.
    void Add(const journal::MarkerRecord& record);
    // The run is over (done or rolled back): the marker goes.
    void Finish();

private:
    LogFile file_;
};
RunMarker& TheRunMarker();

// A run of another process found by its marker, and what undoing it would do.
struct InterruptedRun {
    std::wstring marker;     // the marker file
    DWORD processId = 0;     // 0 when the marker cannot be read
    std::wstring commandLine;  // empty in a marker of an earlier build
    bool inProgress = false; // its process still runs: it is never touched
    std::vector<std::wstring> rollbackLogs;   // as the marker names them
    std::vector<std::wstring> uninstallLogs;  // new uninstall logs, deleted by the recovery
    // For each rollback log, in the marker's order: its records newest
    // first (none for a log that no longer exists). Not read for a run in
    // progress.
    std::vector<std::vector<journal::RollbackRecord>> records;
    // Why the run cannot be undone from its logs (its marker or a log cannot
    // be read, a record is not one a rollback knows); empty when it can. Such
    // a run is left as it is, never undone by halves.
    std::wstring problem;
};
// The runs of other processes that left a marker, with their logs read and
// checked. Changes nothing.
std::vector<InterruptedRun> FindInterruptedRuns();
// Undoes one run that FindInterruptedRuns found (not in progress, without a
// problem) from its logs, then deletes its marker.
void RecoverRun(const InterruptedRun& run);
// The run had logged that its changes were complete (a CommittedRecord): its
// recovery finishes its clean-up instead of undoing it.
bool ChangesWereComplete(const InterruptedRun& run);
// RecoverRun between its "Recovery:" lines in the diagnostic log.
void RecoverRunTraced(const InterruptedRun& run);
// Undoes every run whose marker names a process that has ended. Never
// raises: what cannot be undone is written to the diagnostic log and left
// in place.
void RecoverInterruptedRuns();
// The rollback logs that belong to other runs still in progress or not yet
// recovered; the clean-up leaves them alone.
std::vector<std::wstring> RollbackLogsOfOtherRuns();
// Undoes one rollback log found on disk (with its new uninstall log, if any).
void RollbackFromLog(const std::wstring& rollbackLogPath, const std::wstring& uninstallLogPath);

}  // namespace qel
