// Undoing a failed run from the rollback log, newest record first.
#include "BasicException.h"
#include "Handles.h"
#include "Trace.h"
#include "Update.h"
#include "UpdateDrivers.h"
#include "Util.h"

#include <algorithm>
#include <deque>
#include <unordered_set>

namespace qel {
namespace {
// Takes a package that the failed run put into the store out again.
void RollbackInfCopy(UpdateTransaction& t, const std::vector<std::wstring>& fields) {
    const std::wstring first = fields.size() > 1 ? fields[1] : L"";
    const std::wstring second = fields.size() > 2 ? fields[2] : L"";
    if (SetupGetRunningWinVer() < WinVerVista) {
        // A copy that may not overwrite names the copy already in the store.
        std::wstring oemName;
        if (!CopyOemInf(first, second, SP_COPY_NOOVERWRITE, oemName) && ::GetLastError() != ERROR_FILE_EXISTS) {
            TraceWrite(TraceError, L"Rollback(): CopyInf() failed. GetLastError(): %lu\n", ::GetLastError());
            return;
        }
        TraceWrite(TraceDetail, L"Rollback(): RemoveInf( \"%s\")\n", oemName.c_str());
        RemoveInf(oemName);
        return;
    }
    t.dpinstPath = first;
    t.packageFolder = second;
    // A run killed before its end is undone by a later process, which never
    // read the script's package INF names: the folder's INFs stand for them.
    if (t.packageInfs.empty()) {
        WIN32_FIND_DATAW entry{};
        UniqueFindHandle find(::FindFirstFileW(JoinPath(second, L"*.inf").c_str(), &entry));
        if (find) {
            do {
                if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) t.DriverPackageInf(entry.cFileName);
            } while (::FindNextFileW(find.Get(), &entry));
        }
    }
    t.DriverUninstall(second);
    CommitDriverRemoval(t, 0, 0);
}
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

// What the clean-up of a run whose changes were complete still had to do:
// delete the files moved aside (to names announced by TempFile records) and
// the copies kept to restore a file, and any empty temporary file, then make
// the removals by folder it logged. The temporary copies of files that
// replace others at the next restart stay: they were never moved aside.
void FinishCleanup(const std::deque<std::wstring>& newestFirst) {
    std::vector<std::vector<std::wstring>> records;
    std::vector<DirOp> removals;
    std::unordered_set<std::wstring> temporaryNames;
    for (const std::wstring& record : newestFirst) {
        records.emplace_back();
        SplitLogRecord(record, records.back());
        const std::vector<std::wstring>& fields = records.back();
        if (fields.size() > 1 && fields[0] == L"TempFile") temporaryNames.insert(DecodeUndoField(fields[1]));
        DirOp removal;
        if (ReadCleanupRecord(fields, removal)) removals.push_back(removal);
    }
    std::reverse(removals.begin(), removals.end());  // made in the order they were logged
    for (const std::vector<std::wstring>& fields : records) {
        const std::wstring& kind = fields[0];
        std::wstring leftover;
        if (kind == L"MoveFile" && fields.size() > 2 && temporaryNames.count(fields[2]) != 0)
            leftover = fields[2];
        else if (kind == L"RestoreFile" && fields.size() > 2)
            leftover = DecodeUndoField(fields[2]);
        if (!leftover.empty() && FileExists(leftover)) {
            TraceWrite(TraceDetail, L"Rollback(): DeleteFile( \"%s\" )\n", leftover.c_str());
            DeleteFileOrDefer(leftover);
        } else if (kind == L"TempFile") {
            UndoRecord(fields);  // an empty one only
        }
    }
    FinishCleanupRemovals(removals);
}
}  // namespace

void RollbackAll(UpdateTransaction& transaction) {
    for (UpdateTransaction* each : transaction.Tree()) each->Rollback();
}

void UpdateTransaction::Rollback() {
    TraceWrite(TraceDetail, L"Rollback()\n");
    if (!rollbackLog.IsOpen()) return;

    rollbackLog.Rewind();
    std::deque<std::wstring> newestFirst;
    std::wstring line;
    while (rollbackLog.ReadLine(line) == LogOk) newestFirst.push_front(line);

    std::vector<std::wstring> newest;
    if (!newestFirst.empty()) SplitLogRecord(newestFirst.front(), newest);
    if (IsCommittedRecord(newest)) {
        // The run had made all its changes and begun to delete what it moved
        // aside: undone now, the files it replaced or removed would be gone
        // and its own with them. Its clean-up is finished instead.
        TraceWrite(TraceDetail, L"Rollback(): the changes were complete; finishing the clean-up\n");
        FinishCleanup(newestFirst);
        rollbackLog.CloseAndDelete();
        uninstallLog.Close();
        return;
    }

    // Each UpdateDriver record is undone when the next older one is met, or
    // when the log ends.
    std::vector<std::wstring> pendingDriverUpdate;
    const auto undoDriverUpdate = [&] {
        if (pendingDriverUpdate.empty()) return;
        UndoDriverStep(L"UpdateDriver", [&] { RollbackDriverUpdate(*this, pendingDriverUpdate); });
        pendingDriverUpdate.clear();
    };

    std::vector<std::wstring> fields;
    for (const std::wstring& record : newestFirst) {
        TraceWrite(TraceDetail, L"Rollback log line: \"%s\"\n", record.c_str());
        SplitLogRecord(record, fields);
        const std::wstring& kind = fields[0];
        const wchar_t* first = fields.size() > 1 ? fields[1].c_str() : L"";
        const wchar_t* second = fields.size() > 2 ? fields[2].c_str() : L"";
        if (kind == L"CopyFile") {
            TraceWrite(TraceDetail, L"Rollback(): DeleteFile( \"%s\" )\n", second);
            ::DeleteFileW(second);
        } else if (kind == L"MoveFile") {
            TraceWrite(TraceDetail, L"Rollback(): MoveFile( \"%s\", \"%s\")\n", second, first);
            ::MoveFileW(second, first);
        } else if (kind == L"QueuedMove") {
            TraceWrite(TraceDetail, L"Rollback(): QueuedMove( \"%s\", \"%s\")\n", second, first);
            // The registration is taken back: a failed run must not replace or
            // delete anything at the next restart.
            if (CancelRestartMove(first, second))
                TraceWrite(TraceDetail, L"Rollback(): restart move of \"%s\" cancelled\n", first);
        } else if (kind == L"CopyInf") {
            TraceWrite(TraceDetail, L"Rollback(): CopyInf( \"%s\", \"%s\")\n", first, second);
            UndoDriverStep(L"CopyInf", [&] { RollbackInfCopy(*this, fields); });
        } else if (kind == L"UpdateDriver") {
            undoDriverUpdate();
            pendingDriverUpdate = fields;
        } else if (kind == L"CreateDir" || kind == L"Cleanup") {
            // Created folders are left in place; a removal of the clean-up
            // was never made.
        } else if (!UndoRecord(fields)) {
            TraceWrite(TraceError, L"Rollback(): Unknown message \"%s\"\n", record.c_str());
        }
    }
    undoDriverUpdate();

    rollbackLog.CloseAndDelete();
    // The uninstall log an upgrade or uninstall replays is the installed
    // product's record: only a log this run began goes with the rollback.
    if (uninstallLogIsNew)
        uninstallLog.CloseAndDelete();
    else
        uninstallLog.Close();
}

bool IsRollbackRecord(const std::vector<std::wstring>& fields) {
    // The kinds Rollback undoes itself, with the fields each line carries.
    struct Kind {
        const wchar_t* name;
        size_t fields;
    };
    static const Kind kinds[] = {
        {L"CopyFile", 3}, {L"MoveFile", 3},     {L"QueuedMove", 3},
        {L"CopyInf", 3},  {L"UpdateDriver", 4}, {L"CreateDir", 2},
    };
    for (const Kind& kind : kinds)
        if (!fields.empty() && fields[0] == kind.name) return fields.size() >= kind.fields;
    DirOp removal;
    if (ReadCleanupRecord(fields, removal)) return true;
    return IsCommittedRecord(fields) || IsUndoRecord(fields);
}

}  // namespace qel
