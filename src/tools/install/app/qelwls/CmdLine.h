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
// Whether a run that sent no Result line ended the way the installer ends
// early (100 to 103, or 202 when the status channel could not start), rather
// than being stopped on the way (killed, crashed, powered off).
bool EndsWithoutResultLine(int exitCode);

// The exit codes fleet tools expect of a setup program (those of the Windows
// installer), and the one mapping of the installer's result codes onto them
// (qelsetup.exe /msicodes, and any other front end that offers them): 0
// success, 3010 success with a restart needed, 1639 bad arguments, 1603 every
// failure.
int MsiExitCode(int setupResult);
// Not a result of the installer's: a front end that refuses to start while
// another run is going exits with it.
constexpr int kMsiAnotherInstallInProgress = 1618;
// Stores the run's result message in HKCU\SOFTWARE\QelSetup "Message".
void RegWriteMessage(const std::wstring& message);

// The whole run: start-up checks, the command's road and the report. Returns
// the result code, which is also the process exit code.
int RunSetup(int argc, wchar_t** argv);

}  // namespace qel
