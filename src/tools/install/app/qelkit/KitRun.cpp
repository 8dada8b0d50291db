// qelkit run: starts qelwls64.exe from qelkit's own folder the way a setup
// program does (its standard handles on pipes), turns its "Progress" lines
// into one progress line with a bar, says its result in words, and when it
// failed shows the lines of its diagnostic log that say what failed, then
// what undoing it did.
#include "KitRun.h"

#include "BasicException.h"
#include "CmdLine.h"
#include "KitOutput.h"
#include "SetupStatus.h"
#include "Trace.h"
#include "TraceRunLog.h"
#include "Util.h"
#include "UtilRunLock.h"

#include <windows.h>

#include <algorithm>

namespace kit {
namespace {

constexpr size_t kBarWidth = 30;
// Lines of the failing step before the failure line, at most.
constexpr size_t kStepLines = 3;
// Lines of what undoing the run did, at most; the rest is counted.
constexpr size_t kUndoLines = 20;
// ERROR_ELEVATION_REQUIRED, which the toolchain's headers lack.
constexpr DWORD kElevationRequired = 740;

const wchar_t* DoneWord(Command command) {
    if (command == Command::Upgrade) return L"Upgraded";
    if (command == Command::Uninstall) return L"Uninstalled";
    return L"Installed";
}

// A line as the diagnostic log writes it, for a line of qelkit's own.
std::wstring Stamped(const std::wstring& message) {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return Format(L"%02u:%02u:%02u: ", now.wHour, now.wMinute, now.wSecond) + message;
}

// Appends the lines to the caller's log file, UTF-8 with CR LF.
void AppendToLog(const std::wstring& path, const std::vector<std::wstring>& lines) {
    qel::UniqueHandle file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        Err(Format(L"qelkit: the log %s cannot be written (error %lu)\n", path.c_str(), ::GetLastError()));
        return;
    }
    std::wstring text;
    for (const std::wstring& line : lines) text += line + L"\r\n";
    std::string bytes;
    qel::WideToUtf8(text, bytes);
    DWORD written = 0;
    ::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

bool IsFailure(const std::wstring& line) { return qel::IsErrorLine(qel::WithoutTimeStamp(line)); }

// The failure line of the run: the caught failure's, else the first line
// that ends a run early.
size_t FailureIndex(const std::vector<std::wstring>& lines) {
    qel::FailureLine parsed;
    for (size_t i = 0; i < lines.size(); ++i)
        if (qel::ParseFailureLine(qel::WithoutTimeStamp(lines[i]), parsed)) return i;
    for (size_t i = 0; i < lines.size(); ++i)
        if (IsFailure(lines[i])) return i;
    return lines.size();
}

// What failed, then what undoing it did: the failing step's lines (those
// before the failure line from the step's own error line on, with the line
// that started the step), the failure line without the place in the program
// that raised it, and the lines after it.
void ShowWhatFailed(const std::vector<std::wstring>& lines, const std::wstring& logPath) {
    const size_t failure = FailureIndex(lines);
    if (failure == lines.size()) {
        const size_t from = lines.size() > kUndoLines ? lines.size() - kUndoLines : 0;
        Out(lines.empty() ? L"The diagnostic log " + logPath + L" holds nothing of this run\n"
                          : L"The end of the diagnostic log " + logPath + L":\n");
        for (size_t i = from; i < lines.size(); ++i) Out(L"  " + lines[i] + L"\n");
        return;
    }
    size_t first = failure;
    while (first > 1 && failure - first < kStepLines && IsFailure(lines[first - 1])) --first;
    if (first > 1) --first;  // the step's own line; line 0 is the run's "Start" header
    Out(L"What failed, from the diagnostic log " + logPath + L":\n");
    for (size_t i = first; i < failure; ++i) Out(L"  " + lines[i] + L"\n");
    const std::wstring message = qel::WithoutTimeStamp(lines[failure]);
    const std::wstring cause = FailureCause(message);
    const std::wstring stamp = lines[failure].substr(0, lines[failure].size() - message.size());
    Out(L"  " + (cause.empty() ? lines[failure] : stamp + L"Error: " + cause) + L"\n");
    // The "End" header closes the run's lines.
    size_t end = lines.size();
    if (end > failure + 1 && lines[end - 1].find(L": End -- \"") != std::wstring::npos) --end;
    if (end == failure + 1) return;
    Out(L"What undoing it did:\n");
    for (size_t i = failure + 1; i < end && i <= failure + kUndoLines; ++i) Out(L"  " + lines[i] + L"\n");
    if (end > failure + 1 + kUndoLines)
        Out(Format(L"  ... and %u lines more\n", static_cast<unsigned>(end - failure - 1 - kUndoLines)));
}

}  // namespace

std::wstring ProgressLine(uint32_t total, uint32_t done) {
    // The done count may pass the total (work the total does not count);
    // the bar stops at full.
    const uint64_t shown = total == 0 ? 0 : std::min<uint64_t>(done, total);
    const unsigned percent = total == 0 ? 0 : static_cast<unsigned>(shown * 100 / total);
    const size_t filled = total == 0 ? 0 : static_cast<size_t>(shown * kBarWidth / total);
    return L"[" + std::wstring(filled, L'#') + std::wstring(kBarWidth - filled, L'-') + Format(L"] %3u%%", percent);
}

std::wstring FailureCause(const std::wstring& message) {
    qel::FailureLine failure;
    if (!qel::ParseFailureLine(message, failure)) return L"";
    std::wstring cause = failure.description == L"(null)" ? L"" : failure.description;
    if (failure.error != 0) {
        const std::wstring words = qel::SystemErrorText(failure.error);
        cause += (cause.empty() ? L"" : L": ") + (words.empty() ? L"" : words + L" ") +
                 Format(L"(error %lu)", static_cast<unsigned long>(failure.error));
    }
    return cause;
}

std::wstring ResultSentence(Command command, int result, const std::wstring& cause, bool resultLine) {
    if (!resultLine && !qel::EndsWithoutResultLine(result))
        return Format(L"Stopped before it finished (exit code %d): \"qelkit recover\" shows what it left and "
                      L"undoes it",
                      result);
    switch (result) {
    case qel::SetupSuccess: return DoneWord(command);
    case qel::SetupSuccessNeedReboot: return std::wstring(DoneWord(command)) + L"; restart required";
    case qel::SetupSuccessNeedRestartDriver:
        return std::wstring(DoneWord(command)) + L"; the adapter's driver must be restarted";
    case qel::SetupErrorNoConfigFile:
        return L"Failed: the setup script cannot be used (missing, unreadable, or without [Install] DriverInf); "
               L"nothing was changed";
    case qel::SetupErrorInsuficientPrivileges: return L"Failed: administrator rights are required; nothing was changed";
    case qel::SetupErrorInvalidArguments: return L"Failed: the arguments are not valid; nothing was changed";
    case qel::SetupErrorUnsupportedPlatform: return L"Failed: this Windows is not supported; nothing was changed";
    case qel::SetupErrorInternal: return cause.empty() ? L"Failed and undone" : L"Failed and undone: " + cause;
    case qel::SetupErrorNoMemory: return L"Failed and undone: out of memory";
    case qel::SetupErrorUnknown: return L"Failed and undone: unknown error";
    default: return Format(L"Ended with code %d", result);
    }
}

int RefuseRun(int result, const std::wstring& reason, const RunOptions& options) {
    Err(L"qelkit: " + reason + L"\n");
    if (!options.logFile.empty()) AppendToLog(options.logFile, {Stamped(L"qelkit run: " + reason)});
    return options.msiExitCodes ? qel::MsiExitCode(result) : result;
}

int Run(Command command, const std::wstring& folderArgument, const std::vector<std::wstring>& extra,
        const RunOptions& options) {
    std::wstring kitFolder;
    qel::GetModuleDirectory(nullptr, kitFolder);
    const std::wstring installer = qel::JoinPath(kitFolder, L"qelwls64.exe");
    if (!qel::FileExists(installer))
        return RefuseRun(qel::SetupErrorUnknown,
                         installer + L" is missing: qelkit runs the installer that ships beside it", options);
    // What the installer would refuse with 100 is refused here before it starts.
    Package package;
    std::wstring error;
    if (OpenPackage(folderArgument, command, package, error) != OpenResult::Ok)
        return RefuseRun(qel::SetupErrorNoConfigFile, error, options);
    // Refused with or without the Windows installer's codes, as qelsetup
    // refuses: the installer's own codes have none for it.
    if (qel::InstallerRunInProgress()) {
        RefuseRun(qel::SetupErrorUnknown, L"another installer run is in progress; nothing was started", options);
        return qel::kMsiAnotherInstallInProgress;
    }

    std::wstring commandLine =
        qel::QuoteArgument(installer) + L" " + CommandWord(command) + L" " + qel::QuoteArgument(folderArgument);
    for (const std::wstring& section : extra) commandLine += L" " + qel::QuoteArgument(section);
    qel::RunLogFollower log(qel::RunLogFollower::InstallerLogPath());
    log.Begin();
    qel::SetupStatus& channel = qel::TheSetupStatus();
    if (const DWORD started = qel::SetupStatusRun(channel, commandLine, L"")) {
        return RefuseRun(qel::SetupErrorUnknown,
                         started == kElevationRequired
                             ? L"qelwls64.exe needs administrator rights: run qelkit from an elevated prompt"
                             : Format(L"%s cannot be started (error %lu)", installer.c_str(), started),
                         options);
    }

    std::wstring shown;
    bool drawn = false;
    while (qel::SetupStatusPoll(channel, [&](uint32_t total, uint32_t done) {
        const std::wstring line = ProgressLine(total, done);
        if (line != shown) Out(L"\r" + line);
        shown = line;
        drawn = true;
    }))
        ::Sleep(20);
    if (drawn) Out(L"\n");

    int result = qel::SetupErrorUnknown, line = 0;
    std::wstring module;
    qel::SetupStatusResult(channel, result, module, line);
    log.Poll(channel.processId);
    const size_t failure = FailureIndex(log.Lines());
    const std::wstring cause =
        failure < log.Lines().size() ? FailureCause(qel::WithoutTimeStamp(log.Lines()[failure])) : L"";
    Out(ResultSentence(command, result, cause, channel.resultReceived) + L"\n");
    // Whatever a stopped run's exit code says, it did not succeed.
    if (!channel.resultReceived && !qel::EndsWithoutResultLine(result)) result = qel::SetupErrorUnknown;
    if (result >= qel::SetupErrorNoConfigFile) ShowWhatFailed(log.Lines(), qel::RunLogFollower::InstallerLogPath());
    if (!options.logFile.empty()) AppendToLog(options.logFile, log.Lines());
    return options.msiExitCodes ? qel::MsiExitCode(result) : result;
}

}  // namespace kit
