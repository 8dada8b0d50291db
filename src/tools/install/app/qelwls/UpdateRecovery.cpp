// Runs that never finished. Like a database replaying its journal, a script
// command first looks for the markers of runs whose process has ended without
// removing its marker (killed, crashed, powered off) and undoes each from its
// rollback logs before it does its own work.
//
// A marker is a file "qelwls-<pid>.run" in the Windows folder, written as
// records (journal::MarkerRecord): the run's process first, then one record
// for each log the run created. The creation time tells a process that has
// ended from a later one that got the same id.
#include "BasicException.h"
#include "Handles.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"
#include "UtilFileChanges.h"

#include <algorithm>

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";
constexpr wchar_t kMarkerPattern[] = L"qelwls-*.run";

struct MarkerContents {
    DWORD processId = 0;
    uint64_t creationTime = 0;
    std::wstring commandLine;
    std::vector<std::wstring> rollbackLogs;
    std::vector<std::wstring> uninstallLogs;
};

uint64_t ProcessCreationTime(HANDLE process) {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
    return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

bool IsRunning(const MarkerContents& marker) {
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, marker.processId));
    if (!process) return false;
    DWORD exitCode = 0;
    if (::GetExitCodeProcess(process.Get(), &exitCode) && exitCode != STILL_ACTIVE) return false;
    return ProcessCreationTime(process.Get()) == marker.creationTime;
}

bool IsThisProcess(const MarkerContents& marker) {
    return marker.processId == ::GetCurrentProcessId() &&
           marker.creationTime == ProcessCreationTime(::GetCurrentProcess());
}

// The lines of a log that another process may still be writing (hence the
// sharing), as LogFile reads them: each ends at LF, CR bytes are dropped, and
// a last line without LF is no line. Empty when they were read; otherwise
// why not, as words that follow the file's name. A file that someone other
// than an administrator may have written is not read (unless `anyWriter`):
// its records would name what an elevated run undoes and deletes.
std::wstring ReadLogLines(const std::wstring& path, std::vector<std::wstring>& lines, bool anyWriter = false) {
    lines.clear();
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return L"cannot be read";
    const WriterVerdict verdict = anyWriter ? WriterVerdict{true, L""} : JudgeJournalFileAt(file.Get(), path);
    if (!verdict.onlyAdministrators) return L"is not trusted: " + verdict.reason;
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.append(chunk, read);

    size_t start = 0;
    for (size_t end = bytes.find('\n'); end != std::string::npos; start = end + 1, end = bytes.find('\n', start)) {
        std::string line = bytes.substr(start, end - start);
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        std::wstring text;
        if (Utf8ToWide(line, text) != 0) return L"cannot be read";
        lines.push_back(std::move(text));
    }
    return L"";
}

// Reads a marker that its run may still be writing. Empty when read;
// otherwise why not (see ReadLogLines): the marker cannot be read or
// trusted, does not begin with its process record, or holds a line that is
// no marker record. Its run is then left as it is, since a log that line may
// name could not be undone with the others.
std::wstring ReadMarker(const std::wstring& path, MarkerContents& marker, bool anyWriter) {
    std::vector<std::wstring> lines;
    const std::wstring problem = ReadLogLines(path, lines, anyWriter);
    if (!problem.empty()) return problem;
    if (lines.empty()) return L"cannot be read";
    for (size_t index = 0; index < lines.size(); ++index) {
        const std::optional<journal::MarkerRecord> record = journal::Decode<journal::MarkerRecord>(lines[index]);
        if (!record) return L"cannot be read";
        const auto* process = std::get_if<journal::RunProcessRecord>(&*record);
        if ((index == 0) != (process != nullptr)) return L"cannot be read";
        if (process) {
            marker.processId = process->processId;
            marker.creationTime = process->creationTime;
        } else if (const auto* command = std::get_if<journal::RunCommandRecord>(&*record)) {
            marker.commandLine = command->commandLine;
        } else if (const auto* rollbackLog = std::get_if<journal::RunRollbackLogRecord>(&*record)) {
            marker.rollbackLogs.push_back(rollbackLog->path);
        } else {
            marker.uninstallLogs.push_back(std::get<journal::RunUninstallLogRecord>(*record).path);
        }
    }
    return L"";
}

std::wstring WindowsFolder() {
    std::wstring folder;
    GetWindowsFolder(folder);
    return folder;
}

// The markers in the Windows folder, each with its path; those that cannot be
// read or trusted go to `unreadable`, each as a path and why. With
// `anyWriter` markers are read whoever may have written them.
std::vector<std::pair<std::wstring, MarkerContents>> ReadMarkers(
    std::vector<std::pair<std::wstring, std::wstring>>* unreadable = nullptr, bool anyWriter = false) {
    std::vector<std::pair<std::wstring, MarkerContents>> markers;
    const std::wstring folder = WindowsFolder();
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(::FindFirstFileW(JoinPath(folder, kMarkerPattern).c_str(), &found));
    if (!find) return markers;
    do {
        const std::wstring path = JoinPath(folder, found.cFileName);
        MarkerContents marker;
        const std::wstring problem = ReadMarker(path, marker, anyWriter);
        if (problem.empty()) {
            markers.emplace_back(path, std::move(marker));
        } else {
            TraceWrite(TraceError, L"Recovery: the run marker \"%s\" %s; it is left in place\n", path.c_str(),
                       problem.c_str());
            if (unreadable) unreadable->emplace_back(path, problem);
        }
    } while (::FindNextFileW(find.Get(), &found));
    return markers;
}

// Every record of a run's rollback logs, read and checked before anything is
// undone: one record that a rollback would not know leaves the whole run as
// it is, rather than undoing it by halves.
void ReadRunRecords(InterruptedRun& run) {
    for (const std::wstring& log : run.rollbackLogs) {
        std::vector<journal::RollbackRecord> newestFirst;
        // A log that is gone was deleted at the end of its run's clean-up:
        // the run had finished its work.
        if (FileExists(log)) {
            std::vector<std::wstring> lines;
            const std::wstring problem = ReadLogLines(log, lines);
            if (!problem.empty()) {
                run.problem = FormatText(L"the rollback log \"%s\" %s", log.c_str(), problem.c_str());
                return;
            }
            for (size_t index = 0; index < lines.size(); ++index) {
                std::optional<journal::RollbackRecord> record = journal::Decode<journal::RollbackRecord>(lines[index]);
                if (!record) {
                    run.problem =
                        FormatText(L"record %u of the rollback log \"%s\" is not one a rollback knows: \"%s\"",
                                   static_cast<unsigned>(index + 1), log.c_str(), lines[index].c_str());
                    return;
                }
                newestFirst.insert(newestFirst.begin(), std::move(*record));
            }
        }
        run.records.push_back(std::move(newestFirst));
    }
}

}  // namespace

RunMarker& TheRunMarker() {
    static RunMarker marker;
    return marker;
}

void RunMarker::Begin() {
    const std::wstring path =
        JoinPath(WindowsFolder(), FormatText(L"qelwls-%u.run", static_cast<unsigned>(::GetCurrentProcessId())));
    if (file_.Open(path, true) != LogOk) QEL_RAISE(path, ::GetLastError());
    const uint64_t created = ProcessCreationTime(::GetCurrentProcess());
    // Both with one flush, as the process record alone was.
    if (file_.WriteLine(journal::Encode(journal::RunProcessRecord{::GetCurrentProcessId(), created}) +
                        journal::Encode(journal::RunCommandRecord{::GetCommandLineW()})) != LogOk)
        QEL_RAISE(path, ::GetLastError());
}

void RunMarker::Add(const journal::MarkerRecord& record) {
    if (!file_.IsOpen()) return;
    // A log the marker does not name could not be undone after a kill.
    if (file_.WriteLine(journal::Encode(record)) != LogOk) QEL_RAISE(file_.Path(), ::GetLastError());
}

void RunMarker::Finish() {
    if (file_.IsOpen()) file_.CloseAndDelete();
}

void RollbackFromLog(const std::wstring& rollbackLogPath, const std::wstring& uninstallLogPath) {
    if (FileExists(rollbackLogPath)) {
        UpdateTransaction t;
        t.OpenRollbackLog(rollbackLogPath, false);
        t.Rollback();
    }
    // The uninstall log the run was writing is back at its temporary name
    // once its move into place was undone.
    if (!uninstallLogPath.empty() && FileExists(uninstallLogPath)) DeleteFileWithoutLinks(uninstallLogPath);
}

std::vector<InterruptedRun> FindInterruptedRuns() {
    std::vector<InterruptedRun> runs;
    std::vector<std::pair<std::wstring, std::wstring>> unreadable;
    for (const auto& [path, marker] : ReadMarkers(&unreadable)) {
        if (IsThisProcess(marker)) continue;
        InterruptedRun run;
        run.marker = path;
        run.processId = marker.processId;
        run.commandLine = marker.commandLine;
        run.inProgress = IsRunning(marker);
        run.rollbackLogs = marker.rollbackLogs;
        run.uninstallLogs = marker.uninstallLogs;
        // The logs of a run in progress are still being written; they are
        // not looked into.
        if (!run.inProgress) ReadRunRecords(run);
        runs.push_back(std::move(run));
    }
    for (const auto& [path, problem] : unreadable) {
        InterruptedRun run;
        run.marker = path;
        run.problem = FormatText(L"the run marker \"%s\" %s", path.c_str(), problem.c_str());
        runs.push_back(std::move(run));
    }
    return runs;
}

bool ChangesWereComplete(const InterruptedRun& run) {
    for (const auto& newestFirst : run.records)
        if (!newestFirst.empty() && std::holds_alternative<journal::CommittedRecord>(newestFirst.front())) return true;
    return false;
}

void RecoverRun(const InterruptedRun& run) {
    if (run.inProgress || !run.problem.empty()) QEL_RAISE(L"the run cannot be recovered: " + run.marker, 0);
    for (const std::wstring& log : run.rollbackLogs) {
        TraceWrite(TraceError, L"Recovery: rolling back \"%s\"\n", log.c_str());
        RollbackFromLog(log, L"");
    }
    for (const std::wstring& log : run.uninstallLogs) RollbackFromLog(L"", log);
    DeleteFileWithoutLinks(run.marker);
}

void RecoverRunTraced(const InterruptedRun& run) {
    const bool complete = ChangesWereComplete(run);
    TraceWrite(TraceError,
               complete ? L"Recovery: the run of process %u had made all its changes; finishing its clean-up\n"
                        : L"Recovery: the run of process %u did not finish; undoing it from its logs\n",
               static_cast<unsigned>(run.processId));
    RecoverRun(run);
    TraceWrite(TraceError,
               complete ? L"Recovery: the clean-up of the run of process %u is finished\n"
                        : L"Recovery: the run of process %u is undone\n",
               static_cast<unsigned>(run.processId));
}

void RecoverInterruptedRuns() {
    for (const InterruptedRun& run : FindInterruptedRuns()) {
        if (run.inProgress) continue;
        if (!run.problem.empty()) {
            // An unreadable marker was reported as it was read.
            if (run.processId != 0)
                TraceWrite(TraceError, L"Recovery: the run of process %u cannot be undone: %s; it is left in place\n",
                           static_cast<unsigned>(run.processId), run.problem.c_str());
            continue;
        }
        try {
            RecoverRunTraced(run);
        } catch (const BasicException& e) {
            // The other run's logs stay for a later try (or a look by hand);
            // this run goes on with its own work.
            TraceWrite(TraceError, L"Recovery: undoing the run of process %u failed: \"%S\", line %d, desc \"%s\"\n",
                       static_cast<unsigned>(run.processId), e.Module(), e.Line(), e.Description());
        }
    }
}

std::vector<std::wstring> RollbackLogsOfOtherRuns() {
    std::vector<std::wstring> logs;
    // A log kept from the sweep is only kept: a marker nobody trusts still
    // keeps the logs it names, for a look by hand or a later recovery.
    for (const auto& [path, marker] : ReadMarkers(nullptr, true)) {
        if (IsThisProcess(marker)) continue;
        logs.insert(logs.end(), marker.rollbackLogs.begin(), marker.rollbackLogs.end());
    }
    return logs;
}

}  // namespace qel
