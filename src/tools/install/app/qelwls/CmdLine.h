// The command front end: the entry point, the command roads and the reporting
// of the one result code every run ends with.
#pragma once

#include <string>

namespace qel {

enum SetupResult : int {
    SetupSuccess = 0,
    SetupSuccessNeedReboot = 1,
    SetupSuccessNeedRestartDriver = 2,
    SetupErrorNoConfigFile = 100,
    SetupErrorInsuficientPrivileges = 101,
    SetupErrorInvalidArguments = 102,
    SetupErrorUnsupportedPlatform = 103,  // reported without a name
    SetupErrorInternal = 200,
    SetupErrorNoMemory = 201,
    SetupErrorUnknown = 202,
};

// The name of a result code, or null for a code without one (103).
const wchar_t* GetResultName(int code);
// Stores the run's result message in HKCU\SOFTWARE\QelSetup "Message".
void RegWriteMessage(const std::wstring& message);

// The whole run: start-up checks, the command's road and the report. Returns
// the result code, which is also the process exit code.
int RunSetup(int argc, wchar_t** argv);

}  // namespace qel
