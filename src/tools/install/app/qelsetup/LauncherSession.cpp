#include "LauncherSession.h"

#include "CmdLine.h"
#include "Util.h"

namespace launcher {

const wchar_t kSetupInstanceName[] = L"Global\\qelsetup-running";
const wchar_t kUnnamedProduct[] = L"The software";

std::wstring ReadProductName(const std::wstring& scriptFolder) {
    wchar_t name[256] = {};
    ::GetPrivateProfileStringW(L"Setup", L"ProductName", L"", name, 256,
                               qel::JoinPath(scriptFolder, L"qelwls.ini").c_str());
    return name[0] ? name : kUnnamedProduct;
}

Session::Session(Options options) : options_(std::move(options)), log_(qel::RunLogFollower::InstallerLogPath()) {
    qel::GetModuleDirectory(nullptr, folder_);
    product_ = ReadProductName(folder_);
}

void Session::Refuse(const Outcome& outcome, int exitCode) {
    outcome_ = outcome;
    exitCode_ = exitCode;
    ended_ = true;
}

bool Session::Start() {
    if (options_.help) {
        Refuse(UsageOutcome(), 0);
        return false;
    }
    // Another qelsetup, or an installer started by anything else, is
    // changing this machine: two runs at once could undo each other's work.
    instance_ = std::make_unique<qel::NamedMutexHold>(kSetupInstanceName, 0);
    if (!instance_->Held() || qel::InstallerRunInProgress()) {
        Refuse(AnotherRunOutcome(), kExitAnotherRun);
        return false;
    }
    SweepStagingFolders();

    std::wstring scriptFolder = folder_;
    if (options_.command == Command::Uninstall) {
        staging_ = std::make_unique<StagedInstaller>(folder_);
        scriptFolder = staging_->Folder();
    }
    const std::wstring installer = qel::JoinPath(scriptFolder, L"qelwls64.exe");
    log_.Begin();
    if (const DWORD error = run_.Start(InstallerCommandLine(installer, scriptFolder, options_))) {
        staging_.reset();
        Refuse(CannotStartOutcome(installer, error), ExitCodeFor(qel::SetupErrorUnknown, options_.msiCodes));
        return false;
    }
    runStarted_ = true;
    return true;
}

bool Session::Poll() {
    if (ended_) return false;
    const bool more = run_.Poll();
    log_.Poll(run_.ProcessId());
    if (more) return true;
    // The installer has ended: its copy can go, and the log holds all its
    // lines, the "End" header included.
    staging_.reset();
    log_.Poll(run_.ProcessId());
    outcome_ = DescribeOutcome(options_.command, product_, run_.State());
    exitCode_ = ExitCodeFor(run_.State().result, options_.msiCodes);
    ended_ = true;
    return false;
}

}  // namespace launcher
