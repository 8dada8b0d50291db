// A whole qelsetup run apart from its window: the refusals before the
// installer starts, the run itself with its diagnostic lines, the outcome and
// the exit code. The window and the quiet mode drive the same session.
#pragma once

#include "LauncherOptions.h"
#include "LauncherRun.h"
#include "LauncherStaging.h"
#include "LauncherText.h"
#include "TraceRunLog.h"
#include "UtilRunLock.h"

#include <memory>

namespace launcher {

// qelsetup's own mutex: held while a qelsetup runs, on any session.
extern const wchar_t kSetupInstanceName[];

class Session {
public:
    explicit Session(Options options);

    // Everything before the run: another run going, the staging of an
    // uninstall, the start of the installer. False when no run was started;
    // the outcome then says why. Raises when the staging cannot be made.
    bool Start();
    // Ends the session before a run with an outcome of the caller's (a bad
    // command line, a start that raised).
    void Refuse(const Outcome& outcome, int exitCode);
    // Reads what came, without waiting. False once the session has ended.
    bool Poll();

    bool Ended() const { return ended_; }
    bool RunStarted() const { return runStarted_; }
    const Options& GetOptions() const { return options_; }
    const std::wstring& ProductName() const { return product_; }
    const RunState& State() const { return run_.State(); }
    const qel::RunLogFollower& Log() const { return log_; }
    const Outcome& FinalOutcome() const { return outcome_; }
    int ExitCode() const { return exitCode_; }

private:
    Options options_;
    std::wstring folder_;   // qelsetup's own folder: the package, or the product's copy of it
    std::wstring product_;  // [Setup] ProductName of the script
    std::unique_ptr<qel::NamedMutexHold> instance_;
    std::unique_ptr<StagedInstaller> staging_;
    InstallerRun run_;
    qel::RunLogFollower log_;
    bool runStarted_ = false;
    bool ended_ = false;
    Outcome outcome_;
    int exitCode_ = 0;
};

// The product's name as the script beside qelsetup gives it ([Setup]
// ProductName, plain text); kUnnamedProduct when it gives none.
std::wstring ReadProductName(const std::wstring& scriptFolder);
extern const wchar_t kUnnamedProduct[];

}  // namespace launcher
