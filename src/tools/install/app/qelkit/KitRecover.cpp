// qelkit recover: the runs of the installer that were killed before they
// finished, one line each (its process, when it started, the command it ran,
// its records and what --apply does with it), what undoing each would do with
// --verbose, and with --apply the recovery itself: the same recovery the
// installer runs before a script command.
#include "KitRecover.h"

#include "BasicException.h"
#include "KitOutput.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"
#include "UtilRunLock.h"

#include <windows.h>

namespace kit {
namespace {

// When the run began: its marker was made first thing.
std::wstring StartTime(const std::wstring& marker) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    FILETIME local{};
    SYSTEMTIME time{};
    if (!::GetFileAttributesExW(marker.c_str(), GetFileExInfoStandard, &data) ||
        !::FileTimeToLocalFileTime(&data.ftCreationTime, &local) || !::FileTimeToSystemTime(&local, &time))
        return L"at a time not known";
    return Format(L"%04u-%02u-%02u %02u:%02u:%02u", time.wYear, time.wMonth, time.wDay, time.wHour, time.wMinute,
                  time.wSecond);
}

size_t RecordCount(const qel::InterruptedRun& run) {
    size_t count = 0;
    for (const auto& records : run.records) count += records.size();
    return count;
}

enum class Fate { InProgress, Broken, Undo, Finish };

Fate FateOf(const qel::InterruptedRun& run) {
    if (run.inProgress) return Fate::InProgress;
    if (!run.problem.empty()) return Fate::Broken;
    return qel::ChangesWereComplete(run) ? Fate::Finish : Fate::Undo;
}

std::wstring Plural(size_t count, const wchar_t* one, const wchar_t* many) {
    return Format(L"%u %s", static_cast<unsigned>(count), count == 1 ? one : many);
}

// "Process 232, started 2026-12-07 18:11:33, ran <command>: <state>".
std::wstring Summary(const qel::InterruptedRun& run) {
    std::wstring line = Format(L"Process %lu, started %s, ", static_cast<unsigned long>(run.processId),
                               StartTime(run.marker).c_str());
    line += run.commandLine.empty() ? L"its command not recorded" : L"ran " + run.commandLine;
    const std::wstring records = Plural(RecordCount(run), L"record", L"records");
    switch (FateOf(run)) {
    case Fate::InProgress: return line + L": still in progress; left alone";
    case Fate::Broken: return line + L": cannot be undone: " + run.problem + L"; left in place";
    case Fate::Finish:
        return line + L": interrupted in its clean-up (" + records +
               L"); its changes stay, and --apply finishes its clean-up";
    case Fate::Undo: break;
    }
    return line + L": interrupted (" + records + L"); --apply undoes it";
}

// What undoing the run does, record by record, newest first.
void ListRecords(const qel::InterruptedRun& run) {
    const Fate fate = FateOf(run);
    if (fate == Fate::InProgress || fate == Fate::Broken) return;
    if (fate == Fate::Finish)
        Out(Format(L"Run of process %lu (%s): interrupted in its clean-up; its changes stay, and finishing the "
                   L"clean-up deletes what it moved aside\n",
                   static_cast<unsigned long>(run.processId), run.marker.c_str()));
    else
        Out(Format(L"Run of process %lu (%s): interrupted; undoing it would, newest change first:\n",
                   static_cast<unsigned long>(run.processId), run.marker.c_str()));
    for (size_t i = 0; i < run.rollbackLogs.size() && fate == Fate::Undo; ++i) {
        const auto& records = run.records[i];
        Out(Format(L"  from the rollback log %s (%u records)%s\n", run.rollbackLogs[i].c_str(),
                   static_cast<unsigned>(records.size()), qel::FileExists(run.rollbackLogs[i]) ? L"" : L", gone"));
        for (const qel::journal::RollbackRecord& record : records)
            Out(L"    " + qel::journal::DescribeUndo(record) + L"\n");
    }
    for (const std::wstring& log : run.uninstallLogs)
        if (qel::FileExists(log)) Out(L"  delete the uninstall log the run began, " + log + L"\n");
}

// "to undo 1 run and finish the clean-up of 2"
std::wstring WhatApplyDoes(size_t undo, size_t finish) {
    std::wstring text;
    if (undo) text = L"undo " + Plural(undo, L"run", L"runs");
    if (undo && finish) text += L" and ";
    if (finish) text += L"finish the clean-up of " + Plural(finish, L"run", L"runs");
    return text;
}

}  // namespace

int Recover(bool apply, bool verbose) {
    if (apply && !qel::IsAdmin()) {
        Err(L"qelkit: recover --apply needs administrator rights\n");
        return 1;
    }
    // --apply holds the machine while it recovers, so that no installer run
    // starts meanwhile and recovers the same killed runs. While a run is
    // working it does not wait (the run may be paused for a long time): the
    // working run recovered every killed run before its first change, so
    // what --apply would undo is left to it, and live runs are left alone.
    std::unique_ptr<qel::NamedMutexHold> runLock;
    if (apply && !qel::StartedInsideRun()) runLock = std::make_unique<qel::NamedMutexHold>(qel::kRunLockName, 0);
    const bool anotherRunWorks = runLock && !runLock->Held();
    // The recovery writes its "Recovery:" lines where the installer's go.
    if (apply) {
        wchar_t temp[MAX_PATH] = {};
        const DWORD length = ::GetTempPathW(MAX_PATH, temp);
        if (length > 0 && length < MAX_PATH) qel::TraceOpen(qel::JoinPath(temp, L"qelwl.log"));
    }
    const std::vector<qel::InterruptedRun> runs = qel::FindInterruptedRuns();
    if (runs.empty()) {
        Out(L"No interrupted runs\n");
        return 0;
    }
    size_t undo = 0, finish = 0, left = 0;
    for (const qel::InterruptedRun& run : runs) {
        Out(Summary(run) + L"\n");
        const Fate fate = FateOf(run);
        undo += fate == Fate::Undo, finish += fate == Fate::Finish, left += fate == Fate::Broken;
    }
    if (verbose)
        for (const qel::InterruptedRun& run : runs) ListRecords(run);
    if (!apply) {
        if (undo + finish > 0)
            Out(L"Run \"qelkit recover --apply\" to " + WhatApplyDoes(undo, finish) +
                (verbose ? L"\n" : L"; \"qelkit recover --verbose\" lists what undoing does\n"));
        return undo + finish + left == 0 ? 0 : 1;
    }
    size_t undone = 0, finished = 0;
    for (const qel::InterruptedRun& run : runs) {
        const Fate fate = FateOf(run);
        if (fate != Fate::Undo && fate != Fate::Finish) continue;
        if (anotherRunWorks) {
            Out(Format(L"Process %lu: left to the installer run that is working\n",
                       static_cast<unsigned long>(run.processId)));
            ++left;
            continue;
        }
        try {
            qel::RecoverRunTraced(run);
            Out(Format(L"Process %lu: %s\n", static_cast<unsigned long>(run.processId),
                       fate == Fate::Finish ? L"clean-up finished" : L"undone"));
            ++(fate == Fate::Finish ? finished : undone);
        } catch (const qel::BasicException& e) {
            // Where in the program it failed is for the diagnostic log.
            qel::TraceWrite(qel::TraceError, L"qelkit: recovering \"%s\" failed in %S line %d\n", run.marker.c_str(),
                            e.Module(), e.Line());
            Out(Format(L"Process %lu: undoing it failed: %s; its logs stay\n",
                       static_cast<unsigned long>(run.processId), e.Description() ? e.Description() : L""));
            ++left;
        }
    }
    if (finished == 0)
        Out(Format(L"%u run%s undone, %u left\n", static_cast<unsigned>(undone), undone == 1 ? L"" : L"s",
                   static_cast<unsigned>(left)));
    else
        Out(Format(L"%u run%s undone, %u clean-up%s finished, %u left\n", static_cast<unsigned>(undone),
                   undone == 1 ? L"" : L"s", static_cast<unsigned>(finished), finished == 1 ? L"" : L"s",
                   static_cast<unsigned>(left)));
    return left == 0 ? 0 : 1;
}

}  // namespace kit
