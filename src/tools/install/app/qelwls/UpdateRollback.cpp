// Undoing a failed run from the rollback log, newest record first, or
// finishing the clean-up of a run whose changes were complete.
#include "Trace.h"
#include "Update.h"
#include "Util.h"

#include <algorithm>
#include <deque>
#include <unordered_set>

namespace qel {
namespace {

// What the clean-up of a run whose changes were complete still had to do:
// delete the files moved aside (to names announced by TempFile records) and
// the copies kept to restore a file, and any empty temporary file, then make
// the removals by folder it logged. The temporary copies of files that
// replace others at the next restart stay: they were never moved aside.
void FinishCleanup(UpdateTransaction& t, const std::deque<std::wstring>& newestFirst) {
    std::vector<journal::RollbackRecord> records;
    std::vector<DirOp> removals;
    std::unordered_set<std::wstring> temporaryNames;
    for (const std::wstring& line : newestFirst) {
        const std::optional<journal::RollbackRecord> record = journal::Decode<journal::RollbackRecord>(line);
        if (!record) continue;
        if (const auto* temp = std::get_if<journal::TempFileRecord>(&*record)) temporaryNames.insert(temp->path);
        if (const auto* cleanup = std::get_if<journal::CleanupRecord>(&*record))
            removals.push_back(DirOp{cleanup->path, cleanup->kind});
        records.push_back(*record);
    }
    std::reverse(removals.begin(), removals.end());  // made in the order they were logged
    journal::Undoing undoing(t);
    for (const journal::RollbackRecord& record : records) {
        std::wstring leftover;
        if (const auto* move = std::get_if<journal::MoveFileRecord>(&record); move && temporaryNames.count(move->to))
            leftover = move->to;
        else if (const auto* restore = std::get_if<journal::RestoreFileRecord>(&record))
            leftover = restore->copy;
        if (!leftover.empty() && FileExists(leftover)) {
            TraceWrite(TraceDetail, L"Rollback(): DeleteFile( \"%s\" )\n", leftover.c_str());
            DeleteFileOrDefer(leftover);
        } else if (std::holds_alternative<journal::TempFileRecord>(record)) {
            undoing.Undo(record);  // an empty one only
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

    const std::optional<journal::RollbackRecord> newest =
        newestFirst.empty() ? std::nullopt : journal::Decode<journal::RollbackRecord>(newestFirst.front());
    if (newest && std::holds_alternative<journal::CommittedRecord>(*newest)) {
        // The run had made all its changes and begun to delete what it moved
        // aside: undone now, the files it replaced or removed would be gone
        // and its own with them. Its clean-up is finished instead.
        TraceWrite(TraceDetail, L"Rollback(): the changes were complete; finishing the clean-up\n");
        FinishCleanup(*this, newestFirst);
        rollbackLog.CloseAndDelete();
        uninstallLog.Close();
        return;
    }

    journal::Undoing undoing(*this);
    for (const std::wstring& record : newestFirst)
        if (const std::optional<journal::RollbackRecord> decoded = journal::Decode<journal::RollbackRecord>(record))
            undoing.Note(*decoded);
    for (const std::wstring& record : newestFirst) {
        TraceWrite(TraceDetail, L"Rollback log line: \"%s\"\n", record.c_str());
        if (const std::optional<journal::RollbackRecord> decoded = journal::Decode<journal::RollbackRecord>(record))
            undoing.Undo(*decoded);
        else
            TraceWrite(TraceError, L"Rollback(): Unknown message \"%s\"\n", record.c_str());
    }
    undoing.Finish();

    rollbackLog.CloseAndDelete();
    // The uninstall log an upgrade or uninstall replays is the installed
    // product's record: only a log this run began goes with the rollback.
    if (uninstallLogIsNew)
        uninstallLog.CloseAndDelete();
    else
        uninstallLog.Close();
}

}  // namespace qel
