// qelkit recover: the runs of the installer that were killed before they
// finished, what undoing each would do, and with --apply the undoing itself:
// the same recovery the installer runs before a script command.
#include "KitRecover.h"

#include "BasicException.h"
#include "KitOutput.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"

#include <windows.h>

namespace kit {

int Recover(bool apply) {
    if (apply && !qel::IsAdmin()) {
        Err(L"qelkit: recover --apply needs administrator rights\n");
        return 1;
    }
    // The recovery writes its "Recovery:" lines where the installer's go.
    if (apply) {
        wchar_t temp[MAX_PATH] = {};
        const DWORD length = ::GetTempPathW(MAX_PATH, temp);
        if (length > 0 && length < MAX_PATH) qel::TraceOpen(qel::JoinPath(temp, L"qelwl.log"));
    }
    const std::vector<qel::InterruptedRun> runs = qel::FindInterruptedRuns();
    int left = 0, recovered = 0, finished = 0, pending = 0;
    for (const qel::InterruptedRun& run : runs) {
        if (run.inProgress) {
            Out(Format(L"Run of process %lu (%s): still in progress; left alone\n",
                       static_cast<unsigned long>(run.processId), run.marker.c_str()));
            continue;
        }
        if (!run.problem.empty()) {
            Out(Format(L"Run of process %lu (%s): cannot be undone: %s; left in place\n",
                       static_cast<unsigned long>(run.processId), run.marker.c_str(), run.problem.c_str()));
            ++left;
            continue;
        }
        const bool complete = qel::ChangesWereComplete(run);
        if (complete)
            Out(Format(L"Run of process %lu (%s): interrupted in its clean-up; its changes stay, and finishing the "
                       L"clean-up deletes what it moved aside\n",
                       static_cast<unsigned long>(run.processId), run.marker.c_str()));
        else
            Out(Format(L"Run of process %lu (%s): interrupted; undoing it would, newest change first:\n",
                       static_cast<unsigned long>(run.processId), run.marker.c_str()));
        for (size_t i = 0; i < run.rollbackLogs.size() && !complete; ++i) {
            const auto& records = run.records[i];
            Out(Format(L"  from the rollback log %s (%u records)%s\n", run.rollbackLogs[i].c_str(),
                       static_cast<unsigned>(records.size()), qel::FileExists(run.rollbackLogs[i]) ? L"" : L", gone"));
            for (const qel::journal::RollbackRecord& record : records)
                Out(L"    " + qel::journal::DescribeUndo(record) + L"\n");
        }
        for (const std::wstring& log : run.uninstallLogs)
            if (qel::FileExists(log)) Out(L"  delete the uninstall log the run began, " + log + L"\n");
        if (!apply) {
            ++left, ++pending;
            continue;
        }
        try {
            qel::RecoverRunTraced(run);
            Out(complete ? L"  clean-up finished\n" : L"  undone\n");
            ++(complete ? finished : recovered);
        } catch (const qel::BasicException& e) {
            Out(Format(L"  undoing it failed: %s (%S line %d); its logs stay\n",
                       e.Description() ? e.Description() : L"", e.Module(), e.Line()));
            ++left;
        }
    }
    if (runs.empty()) Out(L"No interrupted runs\n");
    else if (apply && finished == 0)
        Out(Format(L"%d run%s undone, %d left\n", recovered, recovered == 1 ? L"" : L"s", left));
    else if (apply)
        Out(Format(L"%d run%s undone, %d clean-up%s finished, %d left\n", recovered, recovered == 1 ? L"" : L"s",
                   finished, finished == 1 ? L"" : L"s", left));
    else if (pending > 0) Out(L"Run \"qelkit recover --apply\" to undo them\n");
    return left == 0 ? 0 : 1;
}

}  // namespace kit
