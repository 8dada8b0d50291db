// What qelsetup tells a person: the stage of a run in words, and its outcome
// with what to do next.
#pragma once

#include "LauncherOptions.h"
#include "CmdLine.h"
#include "LauncherRun.h"

#include <string>

namespace launcher {

// "Installing", "Upgrading" or "Removing" with the progress made.
std::wstring StageText(Command command, const RunState& state);

// What the window says while the installer works.
std::wstring WaitText(Command command, const std::wstring& product);

struct Outcome {
    std::wstring headline;  // what happened
    std::wstring nextStep;  // what to do now
    bool restart = false;   // a restart finishes the work: offer it
    bool failed = false;
};
Outcome DescribeOutcome(Command command, const std::wstring& product, const RunState& state);

// The switches, asked for with /?.
Outcome UsageOutcome();
// Refusals before any run.
Outcome AnotherRunOutcome();
Outcome BadCommandLineOutcome(const std::wstring& reason);
Outcome CannotStartOutcome(const std::wstring& what, DWORD error);

// The exit code of a refusal because another run is going, whichever codes
// were asked for: the installer has no code for it, and fleet tools know this.
constexpr int kExitAnotherRun = qel::kMsiAnotherInstallInProgress;
// The exit code for an installer result, mapped for fleet tools when asked.
int ExitCodeFor(int installerResult, bool msiCodes);

}  // namespace launcher
