// The status channel: short comma-separated UTF-8 lines on standard output for
// the setup program that started qelwls ("Version", "Progress", "Result").
#pragma once

#include "Log.h"

#include <cstdint>
#include <functional>
#include <string>

namespace qel {

// The channel's pipes, each end owned by the line reader or writer over it.
// A run of qelwls only reports; the pipes serve a parent that starts a setup
// process on them.
struct SetupStatus {
    DWORD processId = static_cast<DWORD>(-1);
    LogFile outputReader;  // read end of the child's standard output pipe
    LogFile inputWriter;   // write end of the child's standard input pipe
    LogFile errorReader;   // read end of the child's standard error pipe
    // Reading side: the child process and what its Result line said.
    UniqueHandle process;
    std::wstring version;  // field 2 of the Version line, empty until it came
    bool resultReceived = false;
    int result = 202;  // unknown until a Result line or the exit code says otherwise
    std::wstring errorModule;
    int errorLine = 0;
    int readsAfterEnd = 0;  // reads since the child was seen to have ended
};

// The one channel of the process.
SetupStatus& TheSetupStatus();

// Starts the reporting side: creates the channel's pipes and switches the
// diagnostic log to logPath. False when the channel cannot be made ready.
bool SetupStatusSetLog(SetupStatus& channel, const std::wstring& logPath);
// Writes one status line (cut at 2047 characters) and flushes it at once;
// returns the number of bytes written.
int SetupStatusPrint(const wchar_t* format, ...);

// Reading side, for a program that starts a setup process the way a setup
// program does and reads its lines.
// Starts commandLine with its standard handles on the channel's pipes (the
// ends kept here are not inherited; output and error are read without
// blocking). With a log path, the diagnostic log is switched to it and the
// child's standard error goes to it too. 0 on success, else the OS error.
DWORD SetupStatusRun(SetupStatus& channel, const std::wstring& commandLine, const std::wstring& logPath);
// Reads one line of the child's output. A "Progress" line gives 0 with its
// numbers; a "Result" line (five fields or more) is kept in the channel and
// gives 1, as does any other line; otherwise the reader's status: 1 no line
// at the moment, 2 the output has ended, 3 a failure.
int SetupStatusReadLine(SetupStatus& channel, uint32_t& total, uint32_t& done);
// Reads, without waiting, what the child has sent so far; each "Progress"
// line goes to onProgress. False once nothing more is to come: the Result
// line was read, or the child has ended and what it wrote has been read.
bool SetupStatusPoll(SetupStatus& channel, const std::function<void(uint32_t total, uint32_t done)>& onProgress);
// Waits for the child (60 s at most) and gives the result of its Result line,
// or its exit code when it sent none.
void SetupStatusResult(SetupStatus& channel, int& result, std::wstring& errorModule, int& errorLine);

}  // namespace qel
