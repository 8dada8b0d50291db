#include "LauncherRun.h"

#include "CmdLine.h"
#include "SetupStatus.h"

#include <algorithm>

namespace launcher {

uint32_t BoundedDone(uint32_t total, uint32_t done) { return std::min(done, total); }

DWORD InstallerRun::Start(const std::wstring& commandLine) {
    state_ = RunState{};
    // No log path: the installer keeps its own diagnostic log.
    return qel::SetupStatusRun(qel::TheSetupStatus(), commandLine, L"");
}

DWORD InstallerRun::ProcessId() const { return qel::TheSetupStatus().processId; }

bool InstallerRun::Poll() {
    if (state_.phase == Phase::Ended) return false;
    qel::SetupStatus& channel = qel::TheSetupStatus();
    const bool more = qel::SetupStatusPoll(channel, [this](uint32_t total, uint32_t done) {
        state_.total = total;
        state_.done = done;
        state_.phase = done >= total ? Phase::Finishing : Phase::Working;
    });
    if (state_.phase == Phase::Starting && !channel.version.empty()) state_.phase = Phase::Checking;
    if (channel.resultReceived) {
        state_.resultLine = true;
        state_.result = channel.result;
        state_.phase = Phase::Finishing;
    }
    if (more) return true;
    // The Result line is the last line; the installer ends right after it,
    // having stored its registry message.
    if (channel.resultReceived && ::WaitForSingleObject(channel.process.Get(), 0) != WAIT_OBJECT_0) return true;

    int result = qel::SetupErrorUnknown;
    qel::SetupStatusResult(channel, result, state_.errorModule, state_.errorLine);
    if (!state_.resultLine) state_.result = result;
    state_.exitCode = static_cast<DWORD>(result);
    if (!state_.resultLine && !qel::EndsWithoutResultLine(result)) {
        // Whatever a stopped run's exit code says, it did not succeed.
        state_.stopped = true;
        state_.result = qel::SetupErrorUnknown;
    }
    state_.phase = Phase::Ended;
    return false;
}

}  // namespace launcher
