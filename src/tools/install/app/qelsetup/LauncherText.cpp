#include "LauncherText.h"

#include "CmdLine.h"
#include "Util.h"

namespace launcher {
namespace {

const wchar_t* Doing(Command command) {
    switch (command) {
    case Command::Upgrade: return L"Upgrading";
    case Command::Uninstall: return L"Removing";
    default: return L"Installing";
    }
}

const wchar_t* Done(Command command) {
    switch (command) {
    case Command::Upgrade: return L"upgraded";
    case Command::Uninstall: return L"removed";
    default: return L"installed";
    }
}

}  // namespace

std::wstring StageText(Command command, const RunState& state) {
    switch (state.phase) {
    case Phase::Starting: return L"Starting the installer...";
    case Phase::Checking: return L"Checking this computer and reading the setup script...";
    case Phase::Working: {
        const uint32_t shown = BoundedDone(state.total, state.done);
        const unsigned percent = state.total == 0 ? 0 : static_cast<unsigned>(uint64_t{shown} * 100 / state.total);
        return qel::FormatText(L"%s: %u%% done", Doing(command), percent);
    }
    case Phase::Finishing: return L"Finishing: cleaning up...";
    default: return L"Finished.";
    }
}

std::wstring WaitText(Command command, const std::wstring& product) {
    const std::wstring doing = Doing(command);
    return L"Please wait while setup is " + qel::AsciiLowercase(doing) + L" " + product + L".";
}

Outcome DescribeOutcome(Command command, const std::wstring& product, const RunState& state) {
    Outcome outcome;
    if (state.stopped) {
        outcome.failed = true;
        outcome.headline = qel::FormatText(L"The installer stopped before it finished (exit code %lu).",
                                           state.exitCode);
        outcome.nextStep =
            L"Some of its changes may still be in place. Start setup again: the installer first undoes what a "
            L"stopped run left, then does its work.";
        return outcome;
    }
    switch (state.result) {
    case qel::SetupSuccess:
        outcome.headline = product + L" has been " + Done(command) + L".";
        outcome.nextStep = L"You can close this window.";
        break;
    case qel::SetupSuccessNeedReboot:
        outcome.headline = product + L" has been " + Done(command) + L", but some files were in use.";
        outcome.nextStep = L"They are replaced when Windows restarts. Restart now, or later when it suits you.";
        outcome.restart = true;
        break;
    case qel::SetupSuccessNeedRestartDriver:
        outcome.headline = product + L" has been " + Done(command) + L". The adapter's driver must be restarted.";
        outcome.nextStep =
            L"Until then the adapter keeps its old driver. Restart Windows now or later, or unplug the adapter "
            L"and plug it in again.";
        outcome.restart = true;
        break;
    case qel::SetupErrorNoConfigFile:
        outcome.failed = true;
        outcome.headline = L"Setup cannot use its setup script. Nothing was changed.";
        outcome.nextStep =
            L"The script qelwls.ini beside setup is missing, unreadable or incomplete. Get a complete copy of the "
            L"setup package and start it again.";
        break;
    case qel::SetupErrorInsuficientPrivileges:
        outcome.failed = true;
        outcome.headline = L"Setup needs administrator rights. Nothing was changed.";
        outcome.nextStep = L"Start setup again and allow it to make changes, or ask an administrator to run it.";
        break;
    case qel::SetupErrorInvalidArguments:
        outcome.failed = true;
        outcome.headline = L"The installer did not accept its command. Nothing was changed.";
        outcome.nextStep = L"Check the words given to setup after its switches; \"qelsetup /?\" lists the switches.";
        break;
    case qel::SetupErrorUnsupportedPlatform:
        outcome.failed = true;
        outcome.headline = L"This version of Windows is not supported. Nothing was changed.";
        outcome.nextStep = L"The software needs a 64-bit Windows of the NT line, run natively.";
        break;
    case qel::SetupErrorInternal:
        outcome.failed = true;
        outcome.headline = qel::FormatText(L"Setup failed and undid its changes (error in %s, line %d).",
                                           state.errorModule.c_str(), state.errorLine);
        outcome.nextStep =
            L"The cause is shown above; the details list every step. Remove the cause (a missing or locked file, "
            L"a full disk) and start setup again.";
        break;
    case qel::SetupErrorNoMemory:
        outcome.failed = true;
        outcome.headline = L"Setup ran out of memory and undid its changes.";
        outcome.nextStep = L"Close other programs and start setup again.";
        break;
    case qel::SetupErrorUnknown:
        outcome.failed = true;
        outcome.headline = L"Setup failed for a reason it cannot name and undid its changes.";
        outcome.nextStep = L"The details list every step. Start setup again; if it fails again, keep the details "
                           L"for support.";
        break;
    default:
        outcome.failed = true;
        outcome.headline = qel::FormatText(L"The installer ended with code %d.", state.result);
        outcome.nextStep = L"The details list every step.";
        break;
    }
    return outcome;
}

Outcome AnotherRunOutcome() {
    Outcome outcome;
    outcome.failed = true;
    outcome.headline = L"Another installation is in progress. Nothing was changed.";
    outcome.nextStep = L"Wait until it has finished, then start setup again.";
    return outcome;
}

Outcome BadCommandLineOutcome(const std::wstring& reason) {
    Outcome outcome;
    outcome.failed = true;
    outcome.headline = L"Setup cannot take its command line: " + reason + L". Nothing was changed.";
    outcome.nextStep = kUsage;
    return outcome;
}

Outcome CannotStartOutcome(const std::wstring& what, DWORD error) {
    Outcome outcome;
    outcome.failed = true;
    outcome.headline = qel::FormatText(L"Setup cannot start the installer: %s (error %lu). Nothing was changed.",
                                       what.c_str(), error);
    outcome.nextStep = L"Get a complete copy of the setup package and start it again.";
    return outcome;
}

int ExitCodeFor(int installerResult, bool msiCodes) {
    return msiCodes ? qel::MsiExitCode(installerResult) : installerResult;
}

}  // namespace launcher
