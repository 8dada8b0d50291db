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

namespace {

Outcome Failure(std::wstring headline, std::wstring nextStep) {
    Outcome outcome;
    outcome.failed = true;
    outcome.headline = std::move(headline);
    outcome.nextStep = std::move(nextStep);
    return outcome;
}

Outcome Success(std::wstring headline, std::wstring nextStep, bool restart) {
    Outcome outcome;
    outcome.restart = restart;
    outcome.headline = std::move(headline);
    outcome.nextStep = std::move(nextStep);
    return outcome;
}

// The failures whose words need nothing of the run.
struct FailureWords {
    int result;
    const wchar_t* headline;
    const wchar_t* nextStep;
};
constexpr FailureWords kFailureWords[] = {
    {qel::SetupErrorNoConfigFile, L"Setup cannot use its setup script. Nothing was changed.",
     L"The script qelwls.ini beside setup is missing, unreadable or incomplete. Get a complete copy of the setup "
     L"package and start it again."},
    {qel::SetupErrorInsuficientPrivileges, L"Setup needs administrator rights. Nothing was changed.",
     L"Start setup again and allow it to make changes, or ask an administrator to run it."},
    {qel::SetupErrorInvalidArguments, L"The installer did not accept its command. Nothing was changed.",
     L"Check the words given to setup after its switches; \"qelsetup /?\" lists the switches."},
    {qel::SetupErrorUnsupportedPlatform, L"This version of Windows is not supported. Nothing was changed.",
     L"The software needs a 64-bit Windows of the NT line, run natively."},
    {qel::SetupErrorNoMemory, L"Setup ran out of memory and undid its changes.",
     L"Close other programs and start setup again."},
    {qel::SetupErrorUnknown, L"Setup failed for a reason it cannot name and undid its changes.",
     L"The details list every step. Start setup again; if it fails again, keep the details for support."},
};

}  // namespace

Outcome DescribeOutcome(Command command, const std::wstring& product, const RunState& state) {
    if (state.stopped)
        return Failure(qel::FormatText(L"The installer stopped before it finished (exit code %lu).", state.exitCode),
                       L"Some of its changes may still be in place. Start setup again: the installer first undoes "
                       L"what a stopped run left, then does its work.");
    const std::wstring done = product + L" has been " + Done(command);
    switch (state.result) {
    case qel::SetupSuccess: return Success(done + L".", L"You can close this window.", false);
    case qel::SetupSuccessNeedReboot:
        return Success(done + L", but some files were in use.",
                       L"They are replaced when Windows restarts. Restart now, or later when it suits you.", true);
    case qel::SetupSuccessNeedRestartDriver:
        return Success(done + L". The adapter's driver must be restarted.",
                       L"Until then the adapter keeps its old driver. Restart Windows now or later, or unplug the "
                       L"adapter and plug it in again.",
                       true);
    case qel::SetupErrorInternal:
        return Failure(qel::FormatText(L"Setup failed and undid its changes (error in %s, line %d).",
                                       state.errorModule.c_str(), state.errorLine),
                       L"The cause is shown above; the details list every step. Remove the cause (a missing or "
                       L"locked file, a full disk) and start setup again.");
    default: break;
    }
    for (const FailureWords& words : kFailureWords)
        if (words.result == state.result) return Failure(words.headline, words.nextStep);
    return Failure(qel::FormatText(L"The installer ended with code %d.", state.result), L"The details list every step.");
}

Outcome UsageOutcome() { return Success(L"Setup switches", kUsage, false); }

Outcome AnotherRunOutcome() {
    return Failure(L"Another installation is in progress. Nothing was changed.",
                   L"Wait until it has finished, then start setup again.");
}

Outcome BadCommandLineOutcome(const std::wstring& reason) {
    return Failure(L"Setup cannot take its command line: " + reason + L". Nothing was changed.", kUsage);
}

Outcome CannotStartOutcome(const std::wstring& what, DWORD error) {
    return Failure(qel::FormatText(L"Setup cannot start the installer: %s (error %lu). Nothing was changed.",
                                   what.c_str(), error),
                   L"Get a complete copy of the setup package and start it again.");
}

int ExitCodeFor(int installerResult, bool msiCodes) {
    return msiCodes ? qel::MsiExitCode(installerResult) : installerResult;
}

}  // namespace launcher
