#include "SetupStatus.h"

#include "Trace.h"
#include "Util.h"

#include <cstdio>
#include <cwchar>
#include <vector>

namespace qel {
namespace {

constexpr size_t kMaxLineChars = 2048;

// An anonymous pipe whose two ends are inheritable; the end this side keeps
// is duplicated into a non-inheritable handle. The other end goes to
// `childEnd` when asked for (a child to be started inherits it); the pipe's
// own ends are closed otherwise.
bool CreateChannelPipe(bool keepReadEnd, UniqueHandle& kept, UniqueHandle* childEnd = nullptr) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    UniqueHandle readEnd, writeEnd;
    if (!::CreatePipe(readEnd.Put(), writeEnd.Put(), &inheritable, 0)) return false;
    const HANDLE source = keepReadEnd ? readEnd.Get() : writeEnd.Get();
    if (!::DuplicateHandle(::GetCurrentProcess(), source, ::GetCurrentProcess(), kept.Put(), 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
        return false;
    if (keepReadEnd) {
        // The reading side polls the child's output while it waits for it.
        DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
        ::SetNamedPipeHandleState(kept.Get(), &mode, nullptr, nullptr);
    }
    if (childEnd) *childEnd = std::move(keepReadEnd ? writeEnd : readEnd);
    return true;
}

// Makes the three pipes and hands their kept ends to the channel's readers;
// on failure nothing is kept.
bool CreateChannelPipes(SetupStatus& channel) {
    UniqueHandle output, error, input;
    if (!CreateChannelPipe(true, output) || !CreateChannelPipe(true, error) || !CreateChannelPipe(false, input))
        return false;
    channel.outputReader.Attach(output.Release());
    channel.errorReader.Attach(error.Release());
    channel.inputWriter.Attach(input.Release());
    return true;
}

}  // namespace

SetupStatus& TheSetupStatus() {
    static SetupStatus channel;
    return channel;
}

bool SetupStatusSetLog(SetupStatus& channel, const std::wstring& logPath) {
    if (!CreateChannelPipes(channel)) return false;
    if (!logPath.empty()) {
        TraceOpen(logPath);
        // A log file that cannot be opened is not a reason to refuse the run:
        // its lines are dropped and the install goes on. Only a log that is
        // open but whose handle cannot be duplicated fails the channel.
        const HANDLE logHandle = TraceStreamHandle();
        if (logHandle != INVALID_HANDLE_VALUE) {
            UniqueHandle inheritableLog;
            if (!::DuplicateHandle(::GetCurrentProcess(), logHandle, ::GetCurrentProcess(), inheritableLog.Put(),
                                   0, TRUE, DUPLICATE_SAME_ACCESS))
                return false;
        }
    }
    TraceWrite(TraceDetail, L"SetupStatusSetLog( \"%s\" )\n", logPath.c_str());
    // On the reporting side the channel's process is this one.
    channel.processId = ::GetCurrentProcessId();
    return true;
}

int SetupStatusPrint(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::wstring line = FormatMessageV(kMaxLineChars, format, args);
    va_end(args);
    std::string bytes;
    WideToUtf8(line, bytes);
    // Standard output is a text-mode stream: each "\n" leaves as CR LF.
    const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
    return static_cast<int>(written);
}

DWORD SetupStatusRun(SetupStatus& channel, const std::wstring& commandLine, const std::wstring& logPath) {
    UniqueHandle output, error, input, childOutput, childError, childInput;
    if (!CreateChannelPipe(true, output, &childOutput) || !CreateChannelPipe(true, error, &childError) ||
        !CreateChannelPipe(false, input, &childInput))
        return ::GetLastError();
    if (!logPath.empty()) {
        TraceOpen(logPath);
        UniqueHandle inheritableLog;
        if (!::DuplicateHandle(::GetCurrentProcess(), TraceStreamHandle(), ::GetCurrentProcess(), inheritableLog.Put(),
                               0, TRUE, DUPLICATE_SAME_ACCESS))
            return ::GetLastError();
        childError = std::move(inheritableLog);
    }
    TraceWrite(TraceDetail, L"SetupStatusRun( \"%s\", \"%s\" )\n", commandLine.c_str(), logPath.c_str());

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childInput.Get();
    startup.hStdOutput = childOutput.Get();
    startup.hStdError = childError.Get();
    PROCESS_INFORMATION info{};
    std::wstring mutableCommandLine = commandLine;  // CreateProcessW may write to it
    if (!::CreateProcessW(nullptr, &mutableCommandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &info))
        return ::GetLastError();
    UniqueHandle thread(info.hThread);
    channel.process.Reset(info.hProcess);
    channel.processId = info.dwProcessId;
    channel.version.clear();
    channel.resultReceived = false;
    channel.readsAfterEnd = 0;
    channel.result = 202;
    channel.errorModule.clear();
    channel.errorLine = 0;
    channel.outputReader.Attach(output.Release());
    channel.errorReader.Attach(error.Release());
    channel.inputWriter.Attach(input.Release());
    // The child's ends close here: the output ends when the child's does.
    return 0;
}

int SetupStatusReadLine(SetupStatus& channel, uint32_t& total, uint32_t& done) {
    std::wstring line;
    const LogStatus status = channel.outputReader.ReadLine(line);
    if (status != LogOk) return status;
    std::vector<std::wstring> fields;
    SplitCommaList(line, fields);
    if (fields[0] == L"Progress" && fields.size() >= 3) {
        total = static_cast<uint32_t>(std::wcstoul(fields[1].c_str(), nullptr, 10));
        done = static_cast<uint32_t>(std::wcstoul(fields[2].c_str(), nullptr, 10));
        return 0;
    }
    if (fields[0] == L"Version" && fields.size() >= 3) channel.version = fields[2];
    if (fields[0] == L"Result" && fields.size() >= 5) {
        channel.resultReceived = true;
        channel.result = static_cast<int>(std::wcstol(fields[1].c_str(), nullptr, 10));
        channel.errorModule = fields[3];
        channel.errorLine = static_cast<int>(std::wcstol(fields[4].c_str(), nullptr, 10));
    }
    return 1;
}

bool SetupStatusPoll(SetupStatus& channel, const std::function<void(uint32_t total, uint32_t done)>& onProgress) {
    for (;;) {
        uint32_t total = 0, done = 0;
        const int status = SetupStatusReadLine(channel, total, done);
        if (status == 0) {
            if (onProgress) onProgress(total, done);
            continue;
        }
        // The Result line is the last line a run sends.
        if (status != LogNoData || channel.resultReceived) return false;
        // A line that is not progress, or none at the moment.
        if (::WaitForSingleObject(channel.process.Get(), 0) != WAIT_OBJECT_0) return true;
        // Ended without a Result line: what it wrote is read to the end. A
        // program it started may still hold the pipe open, so the reads are
        // bounded.
        if (++channel.readsAfterEnd > 64) return false;
    }
}

void SetupStatusResult(SetupStatus& channel, int& result, std::wstring& errorModule, int& errorLine) {
    if (::WaitForSingleObject(channel.process.Get(), 60000) == WAIT_TIMEOUT)
        TraceWrite(TraceDetail, L"SetupStatusResult(): WaitForSingleObject() Timed out\n");
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(channel.process.Get(), &exitCode)) exitCode = 202;
    errorModule.clear();
    errorLine = 0;
    if (channel.resultReceived) {
        TraceWrite(TraceDetail, L"SetupStatusResult( exitCode %lu, result %d, errorFile \"%s\", errorLine %d )\n",
                   exitCode, channel.result, channel.errorModule.c_str(), channel.errorLine);
        result = channel.result;
        errorModule = channel.errorModule;
        errorLine = channel.errorLine;
    } else {
        TraceWrite(TraceDetail, L"SetupStatusResult( exitCode %lu )\n", exitCode);
        result = static_cast<int>(exitCode);
    }
}

}  // namespace qel
