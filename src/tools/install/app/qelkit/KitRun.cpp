// qelkit run: starts qelwls64.exe from qelkit's own folder the way a setup
// program does (its standard handles on pipes), turns its "Progress" lines
// into one progress line with a bar, says its result in words, and shows the
// end of its diagnostic log when it failed.
#include "KitRun.h"

#include "BasicException.h"
#include "CmdLine.h"
#include "KitOutput.h"
#include "SetupStatus.h"
#include "Trace.h"
#include "Util.h"

#include <windows.h>

#include <algorithm>

namespace kit {
namespace {

constexpr size_t kBarWidth = 30;
constexpr size_t kLogTailLines = 20;
// ERROR_ELEVATION_REQUIRED, which the toolchain's headers lack.
constexpr DWORD kElevationRequired = 740;

const wchar_t* DoneWord(Command command) {
    if (command == Command::Upgrade) return L"Upgraded";
    if (command == Command::Uninstall) return L"Uninstalled";
    return L"Installed";
}

// The lines this run of the installer (its process id) wrote to the
// diagnostic log: from its last "Start" header on.
std::vector<std::string> RunLogLines(const std::wstring& logPath, DWORD processId) {
    std::vector<std::string> lines;
    qel::UniqueHandle file(::CreateFileW(logPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return lines;
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.append(chunk, read);
    size_t start = 0;
    for (size_t end = bytes.find('\n'); end != std::string::npos; start = end + 1, end = bytes.find('\n', start)) {
        std::string line = bytes.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (qel::TraceIsStartOf(line, processId)) lines.clear();  // a later run of the same id starts over
        lines.push_back(std::move(line));
    }
    return lines;
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

std::wstring ResultSentence(Command command, int result, const std::wstring& module, int line, bool resultLine) {
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
    case qel::SetupErrorInternal:
        return Format(L"Failed and undone: internal error in %s line %d", module.c_str(), line);
    case qel::SetupErrorNoMemory: return L"Failed and undone: out of memory";
    case qel::SetupErrorUnknown: return L"Failed and undone: unknown error";
    default: return Format(L"Ended with code %d", result);
    }
}

int Run(Command command, const std::wstring& folderArgument, const std::vector<std::wstring>& extra) {
    std::wstring kitFolder;
    qel::GetModuleDirectory(nullptr, kitFolder);
    const std::wstring installer = qel::JoinPath(kitFolder, L"qelwls64.exe");
    if (!qel::FileExists(installer)) {
        Err(L"qelkit: " + installer + L" is missing: qelkit runs the installer that ships beside it\n");
        return qel::SetupErrorUnknown;
    }
    // What the installer would refuse with 100 is refused here before it starts.
    Package package;
    std::wstring error;
    if (OpenPackage(folderArgument, command, package, error) != OpenResult::Ok) {
        Err(L"qelkit: " + error + L"\n");
        return qel::SetupErrorNoConfigFile;
    }

    std::wstring commandLine =
        qel::QuoteArgument(installer) + L" " + CommandWord(command) + L" " + qel::QuoteArgument(folderArgument);
    for (const std::wstring& section : extra) commandLine += L" " + qel::QuoteArgument(section);
    qel::SetupStatus& channel = qel::TheSetupStatus();
    if (const DWORD started = qel::SetupStatusRun(channel, commandLine, L"")) {
        Err(started == kElevationRequired
                ? L"qelkit: qelwls64.exe needs administrator rights: run qelkit from an elevated prompt\n"
                : Format(L"qelkit: %s cannot be started (error %lu)\n", installer.c_str(), started));
        return qel::SetupErrorUnknown;
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
    Out(ResultSentence(command, result, module, line, channel.resultReceived) + L"\n");
    // Whatever a stopped run's exit code says, it did not succeed.
    if (!channel.resultReceived && !qel::EndsWithoutResultLine(result)) result = qel::SetupErrorUnknown;

    if (result >= qel::SetupErrorNoConfigFile) {
        wchar_t temp[MAX_PATH] = {};
        const DWORD length = ::GetTempPathW(MAX_PATH, temp);
        const std::wstring logPath = qel::JoinPath(std::wstring(temp, length), L"qelwl.log");
        const std::vector<std::string> lines = RunLogLines(logPath, channel.processId);
        if (lines.empty()) {
            Out(L"The diagnostic log " + logPath + L" holds nothing of this run\n");
        } else {
            Out(L"The end of the diagnostic log " + logPath + L":\n");
            for (size_t i = lines.size() > kLogTailLines ? lines.size() - kLogTailLines : 0; i < lines.size(); ++i) {
                std::wstring text;
                qel::Utf8ToWide(lines[i], text);
                Out(L"  " + text + L"\n");
            }
        }
    }
    return result;
}

}  // namespace kit
