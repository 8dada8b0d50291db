// The status channel: short comma-separated UTF-8 lines on standard output for
// the setup program that started qelwls ("Version", "Progress", "Result").
#pragma once

#include "Log.h"

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
};

// The one channel of the process.
SetupStatus& TheSetupStatus();

// Starts the reporting side: creates the channel's pipes and switches the
// diagnostic log to logPath. False when the channel cannot be made ready.
bool SetupStatusSetLog(SetupStatus& channel, const std::wstring& logPath);
// Writes one status line (cut at 2047 characters) and flushes it at once;
// returns the number of bytes written.
int SetupStatusPrint(const wchar_t* format, ...);

}  // namespace qel
