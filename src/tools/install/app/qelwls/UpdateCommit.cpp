// Commit: the eight stages that carry out everything queued in a transaction
// and its sub-installs, each stage over all transactions before the next,
// with a "Progress" line after each step.
#include "BasicException.h"
#include "SetupStatus.h"
#include "Trace.h"
#include "Update.h"
#include "UpdateDecisions.h"
#include "UpdateDrivers.h"
#include "UpdateStages.h"
#include "Util.h"
#include "UtilFileChanges.h"

#include <algorithm>
#include <unordered_map>

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";

template <typename List>
uint32_t Count(const List& list) {
    return static_cast<uint32_t>(list.size());
}

void ProgramsBefore(UpdateTransaction& t, CommitProgress& progress) {
    for (const RunOp& op : t.PreRuns()) {
        if (PreRunEndsProgram(op.arguments))
            TerminateProgram(op.program);
        else
            CommitRunApp(t, op.program, op.arguments, op.flags);
        progress.Advance(kCostPreRun);
    }
}

void RegistryDeletions(UpdateTransaction& t, CommitProgress& progress) {
    for (const RegOp& op : t.RegDeletes()) t.CommitRegDelete(op.root, op.subkey, op.valueName, op.flags);
    progress.Advance(kCostRegistryStage);
}

// A file stage's listing of its folders (see FolderNames), in use while the
// stage runs.
class StageListing {
public:
    explicit StageListing(UpdateTransaction& t) : t_(t) { t_.UseFolderListing(&names_); }
    ~StageListing() { t_.UseFolderListing(nullptr); }
    StageListing(const StageListing&) = delete;
    StageListing& operator=(const StageListing&) = delete;
    FolderNames& Names() { return names_; }

private:
    UpdateTransaction& t_;
    FolderNames names_;
};

void FileRemovals(UpdateTransaction& t, CommitProgress& progress) {
    StageListing listing(t);
    for (size_t index = 0; index < t.FileRemoves().size(); ++index) {
        t.WriteFileRemoveRecordsAhead(index);
        t.CommitFileRemove(t.FileRemoves()[index].source, t.FileRemoves()[index].flags);
        progress.Advance(kCostFile);
    }
    t.CutRecordsAhead();
}

void Files(UpdateTransaction& t, CommitProgress& progress) {
    StageListing listing(t);
    // An install's uninstall log is a new temporary file until its move in
    // this stage puts it in place, so its records of this stage are flushed
    // once, before that move, rather than one by one. Nothing is lost if the
    // run ends before: a failed run deletes that file, and a killed one is
    // recovered (UpdateRecovery.cpp) by deleting it, since the run's marker
    // names it; if the kill came after the move, the rollback first moves it
    // back to its temporary name. Its records are never read in either case.
    // Once in place the log is what a later uninstall reads, and what is
    // written to it after the move (the driver stage's records) is flushed
    // record by record.
    LogFile& uninstallLog = t.UninstallLog();
    const bool logIsTemporary =
        t.WritesNewUninstallLog() && std::any_of(t.FileMoves().begin(), t.FileMoves().end(), [&](const FileOp& op) {
            return op.source == uninstallLog.Path();
        });
    uninstallLog.DeferFlush(logIsTemporary);
    for (size_t index = 0; index < t.FileInstalls().size(); ++index) {
        const FileOp& op = t.FileInstalls()[index];
        t.WriteFileInstallRecordsAhead(index);
        const FolderNames::Answer known = listing.Names().Lookup(op.destination);
        const bool present = known == FolderNames::Unknown ? FileExists(op.destination) : known == FolderNames::Present;
        t.CommitFileInstall(op.source, op.destination, op.flags, op.cabinet, present);
        listing.Names().Changed(op.destination);
        // Recorded also when the install skipped the file: it belongs to the
        // package all the same. A failed write is not worth stopping for.
        if (GetsUninstallRecord(op.flags))
            t.LogUninstallRecord(journal::InstalledFileRecord{op.source, op.destination, op.flags});
        if (CountsSharedReference(op.flags)) t.AddSharedDllRef(op.destination, present);
        progress.Advance(kCostFile);
    }
    t.CutRecordsAhead();
    if (logIsTemporary) {
        uninstallLog.DeferFlush(false);
        uninstallLog.Flush();
    }
    for (const FileOp& op : t.FileMoves()) {
        // What the move replaces (the previous uninstall log, say) is moved
        // aside first, like a replaced file, so a rollback can put it back;
        // the clean-up deletes it after a successful run.
        if (FileExists(op.destination)) {
            const std::wstring aside = t.MakeLoggedTempFile(DirectoryOf(op.destination));
            if (t.MoveFileLogged(op.destination, aside, false) != MoveDone) {
                const DWORD error = ::GetLastError();
                DeleteFileWithoutLinks(aside);
                QEL_RAISE(op.destination, error);
            }
            t.AddMovedAsideFile(aside);
        }
        const MoveResult moved = t.MoveFileLogged(op.source, op.destination, true);
        listing.Names().Changed(op.source);
        listing.Names().Changed(op.destination);
        if (moved == MoveFailed) QEL_RAISE(op.source, ::GetLastError());
        if (GetsUninstallRecord(op.flags))
            t.LogUninstallRecord(journal::MovedFileRecord{op.source, op.destination});
        progress.Advance(kCostFile);
    }
}

void RegistryAdditionsAndLinks(UpdateTransaction& t, CommitProgress& progress) {
    for (const RegOp& op : t.RegAdds())
        t.CommitRegAdd(op.root, op.subkey, op.valueName, op.type, op.flags, op.data, op.access);
    progress.Advance(kCostRegistryStage);
    for (const LinkOp& link : t.Links()) CommitLinkAdd(t, link);
}

void ProgramsAfter(UpdateTransaction& t, CommitProgress& progress) {
    for (const RunOp& op : t.PostRuns()) {
        CommitRunApp(t, op.program, op.arguments, op.flags);
        progress.Advance(kCostPostRun);
    }
}

// The stages in the order the commit runs them, with the rule of each one's
// cost. The order is part of the behaviour: programs before run first, with
// nothing changed yet; registry values are deleted before files; drivers are
// removed before files are removed and installed; files (the uninstall log
// among them) are in place before the driver packages are installed from
// them; registry values are added after the drivers, and programs after run
// last. Registry operations, links, the package INF names and the clean-up's
// removals cost nothing of their own.
constexpr std::array<CommitStage, kCommitStages> kStages{{
    {CommitStageId::ProgramsBefore, L"programs before",
     [](const UpdateTransaction& t) { return kCostPreRun * Count(t.PreRuns()); }, ProgramsBefore},
    {CommitStageId::RegistryDeletions, L"registry deletions",
     [](const UpdateTransaction&) { return kCostRegistryStage; }, RegistryDeletions},
    {CommitStageId::DriverRemoval, L"driver removal",
     [](const UpdateTransaction& t) {
         return (t.DriverUninstalls().empty() ? 0 : kCostDriverUninstall) + kCostInfRemove * Count(t.InfRemoves());
     },
     CommitDriverRemoval},
    {CommitStageId::FileRemovals, L"file removals",
     [](const UpdateTransaction& t) { return kCostFile * Count(t.FileRemoves()); }, FileRemovals},
    {CommitStageId::Files, L"files",
     [](const UpdateTransaction& t) { return kCostFile * (Count(t.FileInstalls()) + Count(t.FileMoves())); }, Files},
    {CommitStageId::Drivers, L"drivers",
     [](const UpdateTransaction& t) {
         return kCostInfInstall * Count(t.InfInstalls()) +
                (t.DriverUpdates().empty() ? 0 : kCostReenumerate + kCostDriverUpdate);
     },
     CommitDriverInstall},
    {CommitStageId::RegistryAdditionsAndLinks, L"registry additions and shortcuts",
     [](const UpdateTransaction&) { return kCostRegistryStage; }, RegistryAdditionsAndLinks},
    {CommitStageId::ProgramsAfter, L"programs after",
     [](const UpdateTransaction& t) { return kCostPostRun * Count(t.PostRuns()); }, ProgramsAfter},
}};

// Checks before the first change of a commit.
// A file is installed or moved only where a file can go: a folder at the
// destination would be moved aside whole and deleted at the clean-up with
// everything in it.
// No path the commit writes, removes or copies from passes through a link,
// junction or mount point: the program runs elevated, and a link a user
// planted in a folder the user can write would take its changes, or an
// administrator-only source, somewhere the script never named.
//
// The checks ask for every folder on the way of every path, and a package's
// files share a few folders: each folder is asked for once. A file that a
// listing of its folder lacks is not there, so it is neither a folder nor a
// link (under Wine, asking for a missing name scans its whole folder).
class PathChecks {
public:
    // What GetFileAttributesW gives for the path.
    DWORD Attributes(const std::wstring& path) {
        if (names_.Lookup(path) == FolderNames::Absent) return INVALID_FILE_ATTRIBUTES;
        // Of a file the listing holds, only its being a folder or a link is
        // ever asked.
        if (names_.KnownPlainFile(path)) return FILE_ATTRIBUTE_NORMAL;
        return ::GetFileAttributesW(path.c_str());
    }
    // PassesThroughReparsePoint, with the folders on the way asked once and
    // the path's own attributes given.
    bool PassesThroughLink(const std::wstring& path, DWORD attributes) {
        for (size_t end = path.find_first_of(L"\\/", 3); end != std::wstring::npos;
             end = path.find_first_of(L"\\/", end + 1)) {
            const std::wstring prefix = path.substr(0, end);
            if (prefix.empty()) continue;
            auto folder = folders_.find(prefix);
            if (folder == folders_.end()) folder = folders_.emplace(prefix, IsReparsePoint(prefix)).first;
            if (folder->second) return true;
        }
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    }
    void RefuseLinks(const std::wstring& path) {
        if (!path.empty() && PassesThroughLink(path, Attributes(path)))
            QEL_RAISE(L"the path passes through a link: " + path, ERROR_CANT_ACCESS_FILE);
    }

private:
    std::unordered_map<std::wstring, bool> folders_;  // by the path's own text
    FolderNames names_;
};

}  // namespace

std::vector<UnsafePath> FindUnsafePaths(const std::vector<UpdateTransaction*>& tree, bool firstOnly) {
    std::vector<UnsafePath> found;
    PathChecks checks;
    const auto add = [&](UnsafePath::Fault fault, const std::wstring& path, const FileOp* file) {
        found.push_back(UnsafePath{fault, path, file});
        return firstOnly;
    };
    const auto throughLink = [&](const std::wstring& path) {
        return !path.empty() && checks.PassesThroughLink(path, checks.Attributes(path));
    };
    for (const UpdateTransaction* t : tree) {
        for (const std::vector<FileOp>* list : {&t->FileInstalls(), &t->FileMoves()}) {
            for (const FileOp& op : *list) {
                const DWORD attributes = checks.Attributes(op.destination);
                if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                    if (add(UnsafePath::DestinationIsFolder, op.destination, &op)) return found;
                } else if (!op.destination.empty() && checks.PassesThroughLink(op.destination, attributes)) {
                    if (add(UnsafePath::ThroughLink, op.destination, &op)) return found;
                }
                const std::wstring& source = op.cabinet.empty() ? op.source : op.cabinet;
                if (throughLink(source) && add(UnsafePath::ThroughLink, source, &op)) return found;
            }
        }
        for (const FileOp& op : t->FileRemoves())
            if (throughLink(op.source) && add(UnsafePath::ThroughLink, op.source, &op)) return found;
        // A shortcut's name taken by a folder: moved aside as an older
        // shortcut would be, the folder and what it holds would be deleted
        // with the run's temporary files.
        for (const LinkOp& link : t->Links()) {
            const std::wstring linkPath = LinkPathOf(link);
            const DWORD attributes = checks.Attributes(linkPath);
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                add(UnsafePath::DestinationIsFolder, linkPath, nullptr))
                return found;
        }
    }
    return found;
}

namespace {

void RefuseUnsafePaths(const std::vector<UpdateTransaction*>& tree) {
    const std::vector<UnsafePath> unsafe = FindUnsafePaths(tree, true);
    if (unsafe.empty()) return;
    if (unsafe.front().fault == UnsafePath::DestinationIsFolder)
        QEL_RAISE(L"the destination is a folder: " + unsafe.front().path, ERROR_DIRECTORY);
    QEL_RAISE(L"the path passes through a link: " + unsafe.front().path, ERROR_CANT_ACCESS_FILE);
}

}  // namespace

const std::array<CommitStage, kCommitStages>& CommitStages() { return kStages; }

void CommitProgress::Advance(uint32_t amount) {
    done_ += amount;
    SetupStatusPrint(L"Progress,%d,%d\n", total_, done_);
}

uint32_t UpdateTransaction::Cost() const {
    uint32_t cost = 0;
    for (const CommitStage& stage : kStages) cost += stage.cost(*this);
    return cost;
}

void Commit(UpdateTransaction& transaction) {
    // Its records were queued to be looked at: committed without a rollback
    // log, its changes could not be undone.
    if (transaction.IsQueueOnly()) QEL_RAISE(L"a queue-only transaction is never committed", 0);
    const std::vector<UpdateTransaction*> tree = transaction.Tree();
    uint32_t total = 0;
    for (const UpdateTransaction* each : tree) total += each->Cost();
    TraceWrite(TraceDetail, L"Commit(), Total cost %d\n", total);
    RefuseUnsafePaths(tree);

    CommitProgress progress(total);
    for (const CommitStage& stage : kStages)
        for (UpdateTransaction* each : tree) stage.run(*each, progress);
}

}  // namespace qel
