// The status channel: short comma-separated UTF-8 lines on standard output for
// the setup program that started qelwls ("Version", "Progress", "Result").
#pragma once

#include "Handles.h"

#include <string>

namespace qel {

struct SetupStatus {
    UniqueHandle process;
    DWORD processId = static_cast<DWORD>(-1);
    UniqueHandle childInput;   // write end of the child's standard input pipe
    UniqueHandle childOutput;  // read end of the child's standard output pipe
    UniqueHandle childError;   // read end of the child's standard error pipe
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
