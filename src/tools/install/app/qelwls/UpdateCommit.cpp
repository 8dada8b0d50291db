// Commit: the eight stages that carry out everything queued in a transaction
// and its sub-installs, each stage over all transactions before the next,
// with a "Progress" line after each step.
#include "BasicException.h"
#include "SetupStatus.h"
#include "Trace.h"
#include "Update.h"
#include "UpdateDrivers.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";

class Progress {
public:
    explicit Progress(uint32_t total) : total_(total) {}
    // Adds the step's share and reports. Done is never clamped to the total:
    // some steps count work that has nothing to do on this system, others add
    // work the total does not count.
    void Advance(uint32_t amount) {
        done_ += amount;
        SetupStatusPrint(L"Progress,%d,%d\n", total_, done_);
    }
    // The driver stages report their steps themselves.
    using Step = uint32_t (*)(UpdateTransaction&, uint32_t total, uint32_t done);
    void Run(Step step, UpdateTransaction& t) { done_ = step(t, total_, done_); }

private:
    uint32_t total_;
    uint32_t done_ = 0;
};

void ProgramsBefore(UpdateTransaction& t, Progress& progress) {
    for (const RunOp& op : t.preRuns) {
        // "-c" asks for the running program to be ended before its files are
        // replaced; nothing is started then.
        if (op.arguments.find(L"-c") != std::wstring::npos)
            TerminateProgram(op.program);
        else
            CommitRunApp(t, op.program, op.arguments, op.flags);
        progress.Advance(30);
    }
}

void RegistryDeletions(UpdateTransaction& t, Progress& progress) {
    for (const RegOp& op : t.regDeletes) t.CommitRegDelete(op.root, op.subkey, op.valueName, op.flags);
    progress.Advance(1);
}

void DriverRemoval(UpdateTransaction& t, Progress& progress) { progress.Run(CommitDriverRemoval, t); }

void FileRemovals(UpdateTransaction& t, Progress& progress) {
    for (const FileOp& op : t.fileRemoves) {
        t.CommitFileRemove(op.source, op.flags);
        progress.Advance(3);
    }
}

void Files(UpdateTransaction& t, Progress& progress) {
    for (const FileOp& op : t.fileInstalls) {
        const bool present = FileExists(op.destination);
        t.CommitFileInstall(op.source, op.destination, op.flags, op.cabinet);
        // Recorded also when the install skipped the file: it belongs to the
        // package all the same. A failed write is not worth stopping for.
        if ((op.flags & NO_UNINSTALL_RECORD) == 0)
            t.uninstallLog.WriteLine(FormatText(L"CopyFile,%s,%s,0x%08x\n", LogField(op.source).c_str(),
                                                LogField(op.destination).c_str(), op.flags));
        if ((op.flags & SHARED_DLL) != 0) t.AddSharedDllRef(op.destination, present);
        progress.Advance(3);
    }
    for (const FileOp& op : t.fileMoves) {
        // What the move replaces (the previous uninstall log, say) is moved
        // aside first, like a replaced file, so a rollback can put it back;
        // the clean-up deletes it after a successful run.
        if (FileExists(op.destination)) {
            const std::wstring aside = t.MakeLoggedTempFile(DirectoryOf(op.destination));
            if (t.MoveFileLogged(op.destination, aside, false) != MoveDone) {
                ::DeleteFileW(aside.c_str());
                QEL_RAISE(op.destination, ::GetLastError());
            }
            t.movedAsideFiles.push_back(aside);
        }
        if (t.MoveFileLogged(op.source, op.destination, true) == MoveFailed) QEL_RAISE(op.source, ::GetLastError());
        if ((op.flags & NO_UNINSTALL_RECORD) == 0)
            t.uninstallLog.WriteLine(FormatText(L"MoveFile,%s,%s\n", LogField(op.source).c_str(),
                                                LogField(op.destination).c_str()));
        progress.Advance(3);
    }
}

void Drivers(UpdateTransaction& t, Progress& progress) { progress.Run(CommitDriverInstall, t); }

void RegistryAdditionsAndLinks(UpdateTransaction& t, Progress& progress) {
    for (const RegOp& op : t.regAdds)
        t.CommitRegAdd(op.root, op.subkey, op.valueName, op.type, op.flags, op.data, op.access);
    progress.Advance(1);
    for (const LinkOp& link : t.links) CommitLinkAdd(t, link);
}

void ProgramsAfter(UpdateTransaction& t, Progress& progress) {
    for (const RunOp& op : t.postRuns) {
        CommitRunApp(t, op.program, op.arguments, op.flags);
        progress.Advance(10);
    }
}

// Checks before the first change of a commit.
// A file is installed or moved only where a file can go: a folder at the
// destination would be moved aside whole and deleted at the clean-up with
// everything in it.
// No path the commit writes, removes or copies from passes through a link,
// junction or mount point: the program runs elevated, and a link a user
// planted in a folder the user can write would take its changes, or an
// administrator-only source, somewhere the script never named.
void RefuseUnsafePaths(const std::vector<UpdateTransaction*>& tree) {
    const auto refuseLinks = [](const std::wstring& path) {
        if (!path.empty() && PassesThroughReparsePoint(path))
            QEL_RAISE(L"the path passes through a link: " + path, ERROR_CANT_ACCESS_FILE);
    };
    for (const UpdateTransaction* t : tree) {
        for (const std::vector<FileOp>* list : {&t->fileInstalls, &t->fileMoves}) {
            for (const FileOp& op : *list) {
                if (IsDirectory(op.destination))
                    QEL_RAISE(L"the destination is a folder: " + op.destination, ERROR_DIRECTORY);
                refuseLinks(op.destination);
                refuseLinks(op.cabinet.empty() ? op.source : op.cabinet);
            }
        }
        for (const FileOp& op : t->fileRemoves) refuseLinks(op.source);
    }
}

}  // namespace

void Commit(UpdateTransaction& transaction) {
    // Its records were queued to be looked at: committed without a rollback
    // log, its changes could not be undone.
    if (transaction.queueOnly) QEL_RAISE(L"a queue-only transaction is never committed", 0);
    const std::vector<UpdateTransaction*> tree = transaction.Tree();
    uint32_t total = 0;
    for (const UpdateTransaction* each : tree) total += each->Cost();
    TraceWrite(TraceDetail, L"Commit(), Total cost %d\n", total);
    RefuseUnsafePaths(tree);

    Progress progress(total);
    using Stage = void (*)(UpdateTransaction&, Progress&);
    for (Stage stage : {ProgramsBefore, RegistryDeletions, DriverRemoval, FileRemovals, Files, Drivers,
                        RegistryAdditionsAndLinks, ProgramsAfter}) {
        for (UpdateTransaction* each : tree) stage(*each, progress);
    }
}

}  // namespace qel
