#include "SetupStatus.h"

#include "Trace.h"
#include "Util.h"

#include <cstdio>

namespace qel {
namespace {

constexpr size_t kMaxLineChars = 2048;

// An anonymous pipe whose two ends are inheritable; the end this side keeps
// is duplicated into a non-inheritable handle and the pipe's own ends are
// closed.
bool CreateChannelPipe(bool keepReadEnd, UniqueHandle& kept) {
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

}  // namespace qel
