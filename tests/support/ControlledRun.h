// Runs a program under the test program's own debugger and stops it at its
// k-th FlushFileBuffers call: the moment a rollback-log or uninstall-log
// record has been written and is about to be made durable. A test can kill the
// program there (and check what the next run recovers), or make that one call
// fail with a chosen error (and check the program's own failure path). The
// program under test holds no hooks for this; it runs unmodified.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

namespace qeltest {

enum class RecordAction {
    None,  // only count the calls
    Kill,  // TerminateProcess at the k-th call, before the call runs
    Fail,  // the k-th call returns FALSE with the given last error, without running
    Pause, // the k-th call waits, with the program stopped, until whilePaused returns
};

// The exit code a killed program reports.
constexpr DWORD kKilledExitCode = 0xDEAD;

struct ControlledRunResult {
    DWORD exitCode = 0;
    std::string out;  // standard output, byte for byte
    std::string err;  // standard error
    int flushes = 0;  // FlushFileBuffers calls reached, the k-th one included
    bool intervened = false;  // the k-th call was reached and acted on
};

// Starts commandLine with its standard handles on pipes (as RunProgram does),
// debugs only that process (not its children) and acts on its atRecord-th
// FlushFileBuffers call. atRecord 0, or a count the run never reaches, lets
// the program run to its end; flushes then tells how many records a whole run
// flushes, so a test can go through k = 1..flushes.
// With Pause, whilePaused runs while the program is stopped at that call (its
// process alive, its record written but not yet flushed); then it goes on.
ControlledRunResult RunControlled(const std::wstring& commandLine, RecordAction action, int atRecord,
                                  DWORD failError = ERROR_DISK_FULL, const std::wstring& currentDir = L"",
                                  const std::function<void()>& whilePaused = nullptr);

}  // namespace qeltest
