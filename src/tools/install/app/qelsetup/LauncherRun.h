// One run of the installer as a person follows it: started the way setup
// programs start it (standard handles on pipes), its status lines read as
// they come, and its outcome.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace launcher {

enum class Phase {
    Starting,   // started, nothing heard yet
    Checking,   // the Version line came: start-up checks and the script
    Working,    // Progress lines are coming
    Finishing,  // all counted work is done; the clean-up and the report remain
    Ended,      // the installer has ended
};

struct RunState {
    Phase phase = Phase::Starting;
    uint32_t total = 0;  // of the last Progress line
    uint32_t done = 0;
    bool resultLine = false;  // a Result line came
    // The installer's result: its Result line, else its exit code; 202 for a
    // run that was stopped on the way (see `stopped`).
    int result = 202;
    bool stopped = false;  // ended without a Result line and not as the installer ends early
    DWORD exitCode = 0;    // the installer's process exit code, once it has ended
    std::wstring errorModule;
    int errorLine = 0;
};

// The position a progress bar shows for done out of total: done may pass the
// total (work the total does not count), the bar stops at full.
uint32_t BoundedDone(uint32_t total, uint32_t done);

class InstallerRun {
public:
    // 0, or the OS error when the installer cannot be started.
    DWORD Start(const std::wstring& commandLine);
    // Reads whatever came since the last call, without waiting. False once
    // the run has ended: the installer's process has ended and what it wrote
    // has been read.
    bool Poll();
    const RunState& State() const { return state_; }
    DWORD ProcessId() const;

private:
    RunState state_;
};

}  // namespace launcher
