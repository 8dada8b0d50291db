// Undoing a failed run from the rollback log, newest record first.
#include "Trace.h"
#include "Update.h"

#include <deque>

namespace qel {

void RollbackAll(UpdateTransaction& transaction) {
    for (UpdateTransaction* each : transaction.transactions) each->Rollback();
}

void UpdateTransaction::Rollback() {
    TraceWrite(TraceDetail, L"Rollback()\n");
    if (!rollbackLog.IsOpen()) return;

    rollbackLog.Rewind();
    std::deque<std::wstring> newestFirst;
    std::wstring line;
    while (rollbackLog.ReadLine(line) == LogOk) newestFirst.push_front(line);

    // Each UpdateDriver record is undone when the next older one is met, or
    // when the log ends.
    std::vector<std::wstring> pendingDriverUpdate;
    const auto undoDriverUpdate = [&] {
        if (pendingDriverUpdate.empty()) return;
        TraceWrite(TraceError, L"Rollback(): driver update of \"%s\" cannot be undone by this build\n",
                   pendingDriverUpdate.size() > 1 ? pendingDriverUpdate[1].c_str() : L"");
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
            // A move registered for the restart stays registered.
            TraceWrite(TraceDetail, L"Rollback(): QueuedMove( \"%s\", \"%s\")\n", second, first);
        } else if (kind == L"CopyInf") {
            TraceWrite(TraceDetail, L"Rollback(): CopyInf( \"%s\", \"%s\")\n", first, second);
            TraceWrite(TraceError, L"Rollback(): driver packages cannot be removed by this build\n");
        } else if (kind == L"UpdateDriver") {
            undoDriverUpdate();
            pendingDriverUpdate = fields;
        } else if (kind == L"CreateDir") {
            // Created folders are left in place.
        } else {
            TraceWrite(TraceError, L"Rollback(): Unknown message \"%s\"\n", record.c_str());
        }
    }
    undoDriverUpdate();

    // The counts are registry values, which the log does not cover.
    for (auto prior = sharedDllPriors.rbegin(); prior != sharedDllPriors.rend(); ++prior) {
        TraceWrite(TraceDetail, L"Rollback(): SharedDLLs refcount of %s restored.\n", prior->valueName.c_str());
        RestoreSharedDllCount(*prior);
    }
    sharedDllPriors.clear();

    rollbackLog.CloseAndDelete();
    uninstallLog.CloseAndDelete();
}

}  // namespace qel
