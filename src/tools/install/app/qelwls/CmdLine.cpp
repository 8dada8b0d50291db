// The entry point: start-up checks, choosing and opening the setup script, the
// dispatch on the command word, and the report of the result.
#include "CmdLine.h"

#include "BasicException.h"
#include "CmdLineContext.h"
#include "CmdLineKeys.h"
#include "CmdLineUninstall.h"
#include "DevMgr.h"
#include "DriverInf.h"
#include "FilterDriver.h"
#include "Firewall.h"
#include "SetupStatus.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"
#include "UtilRunLock.h"
#include "VirtualAdapter.h"

#include <memory>
#include <new>
#include <vector>

namespace qel {

namespace {
constexpr const char* kModuleName = "CmdLine";

bool IsCommand(const std::wstring& word, const wchar_t* command) { return ::lstrcmpiW(word.c_str(), command) == 0; }

// The message an early end of the run stores: the code, its name and the
// place of the check that ended it.
std::wstring EarlyEndMessage(int result, int line) {
    return FormatText(L"Result,%d,%s,%S,%d\n", result, GetResultName(result), kModuleName, line);
}

// The adapter commands: argument 2 is the adapter's instance id. They set no
// result, so the run ends with the initial one, and they store no message.
void RunDriverCommand(const std::wstring& command, const std::wstring& instanceId) {
    if (IsCommand(command, L"restartdriver")) {
        if (!SetAdapterState(instanceId, false)) return;
        // The driver unloads completely before it is loaded again.
        ::Sleep(3000);
        if (SetAdapterState(instanceId, true)) TraceWrite(TraceDetail, L"Restart driver successfully.\n");
    } else if (IsCommand(command, L"disabledriver")) {
        if (SetAdapterState(instanceId, false)) TraceWrite(TraceDetail, L"Disable driver successfully.\n");
    } else if (SetAdapterState(instanceId, true)) {
        TraceWrite(TraceDetail, L"Enable driver successfully.\n");
    }
}

// What one run works with; it lives from the first step to the return.
struct Run {
    UpdateTransaction transaction;  // constructed before anything else
    // What the key handlers know of the run: the folders it reads from, and
    // whether DriverInf keys still run.
    RunContext context;
    int result = SetupErrorUnknown;
    std::wstring message;
    std::wstring commandLine;
    std::vector<std::wstring> args;
    InfFile script;
    BasicException lastException{kModuleName, __LINE__};
    std::wstring installRoot;
    std::wstring virtualAdapterInf;
    std::wstring filterDriverInf;
    bool storeMessage = true;  // false after an adapter command

    const std::wstring& Command() const { return args[1]; }
    bool HasOption(const wchar_t* word) const { return commandLine.find(word) != std::wstring::npos; }

    int ResultFromFlags() {
        if (transaction.IsRebootRequired()) return SetupSuccessNeedReboot;
        if (transaction.IsRestartDriverRequired()) return SetupSuccessNeedRestartDriver;
        return SetupSuccess;
    }
};

// Steps 10 to 18 of start-up: arguments, the script and the optional driver
// INFs. False when the run ends here (the message is set).
bool PrepareScript(Run& run) {
    if (run.args.size() < 3) {
        TraceWrite(TraceError, L"Invalid arguments\n");
        run.result = SetupErrorInvalidArguments;
        run.message = EarlyEndMessage(run.result, __LINE__);
        return false;
    }
    const std::wstring& command = run.Command();
    for (const wchar_t* driverCommand : {L"restartdriver", L"disabledriver", L"enabledriver"}) {
        if (IsCommand(command, driverCommand)) {
            RunDriverCommand(command, run.args[2]);
            run.storeMessage = false;
            return false;
        }
    }

    if (IsWindowsVersionOrLater(6, 3, 0)) TraceWrite(TraceDetail, L"qelwls detects Win8.1 or greater\n");
    if (IsWindowsVersionOrLater(10, 0, 0)) TraceWrite(TraceDetail, L"qelwls detects Win10 or greater\n");

    GetModuleDirectory(nullptr, run.context.workingDir);
    TraceWrite(TraceDetail, L"Working Dir: '%s'\n", run.context.workingDir.c_str());

    run.context.scriptDirArg = run.args[2];
    std::wstring scriptPath = run.context.ScriptFolder();
    AppendPath(scriptPath, IsCommand(command, L"driveronly_install") ? L"qelwlsd.ini" : L"qelwls.ini");
    TraceWrite(TraceError, L"Using ini file: \"%s\"\n", scriptPath.c_str());
    run.script.Open(scriptPath, GetUILanguage());

    std::wstring driverInf;
    if (run.script.GetLineText(L"Install", L"DriverInf", driverInf) != InfOk) {
        run.result = SetupErrorNoConfigFile;
        run.message = EarlyEndMessage(run.result, __LINE__);
        return false;
    }
    run.transaction.SetDriverInfName(GetFileNamePart(driverInf));
    run.installRoot = DirectoryOf(JoinPath(run.context.workingDir, DirectoryOf(driverInf)));
    run.virtualAdapterInf = JoinPath(run.installRoot, L"VWL\\qelvwl.inf");
    run.filterDriverInf = JoinPath(run.installRoot, L"QELIS\\qelis.inf");

    // From Vista on the optional driver packages are used: one that is present
    // must at least open, so that a broken package stops the run before any
    // change. A missing one is no error.
    if (SetupGetRunningWinVer() == WinVerVista) {
        for (const std::wstring* inf : {&run.virtualAdapterInf, &run.filterDriverInf}) {
            if (!FileExists(*inf)) continue;
            InfFile checkReader;
            checkReader.Open(*inf, GetUILanguage());
        }
    }
    // A piece the options ask for must have a driver for this system in its
    // INF; one that has none is refused here, before any change, as an INF
    // that cannot be read is, rather than after the commit, where the old
    // filter would already be gone and the run would end with nothing bound.
    bool installsPieces = false;
    for (const wchar_t* each : {L"install", L"apponly_install", L"driveronly_install", L"upgrade"})
        installsPieces = installsPieces || IsCommand(command, each);
    if (installsPieces && SetupGetRunningWinVer() == WinVerVista && run.HasOption(L"peernet") &&
        FileExists(run.virtualAdapterInf))
        CheckVirtualAdapterInf(run.virtualAdapterInf);
    if (installsPieces && run.HasOption(L"-qelis") && FileExists(run.filterDriverInf))
        CheckFilterDriverInf(run.filterDriverInf);
    return true;
}

// After the changes are in place, the options add the virtual adapter (from
// Vista on) and put the filter component in afresh.
void InstallNetworkPieces(Run& run) {
    if (SetupGetRunningWinVer() == WinVerVista && run.HasOption(L"peernet"))
        InstallVirtualDriver(run.transaction, run.virtualAdapterInf);
    if (run.HasOption(L"-qelis")) ReinstallFilterDriver(run.transaction, run.filterDriverInf);
}

void InstallRoad(Run& run, const wchar_t* startLine) {
    TraceWrite(TraceDetail, startLine);
    if (IsCommand(run.Command(), L"apponly_install")) run.context.skipDriverInf = true;
    std::vector<std::wstring> sections{L"Install"};
    sections.insert(sections.end(), run.args.begin() + 3, run.args.end());
    ProcessSections(run.context, run.transaction, run.script, sections);
    Commit(run.transaction);
    InstallNetworkPieces(run);
    DoCleanupAll(run.transaction);
    run.result = run.ResultFromFlags();
}

// Opens the uninstall log an earlier install left, for replay.
void OpenInstalledLog(Run& run) {
    std::wstring logPath;
    GetUninstallLogPath(run.script, logPath);
    run.transaction.OpenUninstallLog(logPath, false);
}

void UpgradeRoad(Run& run) {
    TraceWrite(TraceDetail, L"qelwls start upgrading.\n");
    OpenInstalledLog(run);
    // The replay of the old log is recorded too, so that a failed upgrade
    // puts the previous version back instead of leaving neither.
    StartRollbackLog(run.transaction);
    ProcessSection(run.context, run.transaction, run.script, L"Upgrade");
    Uninstall(run.transaction, true);
    InstallNetworkPieces(run);
    DoCleanupAll(run.transaction);
    run.result = run.ResultFromFlags();
}

void UninstallRoad(Run& run) {
    TraceWrite(TraceDetail, L"qelwls start uninstalling.\n");
    // The release of the install count is the first change of the road: it
    // is logged like every other, so that a failed or killed uninstall gives
    // the count back as it was.
    StartRollbackLog(run.transaction);
    SharedDllPrior countBefore;
    if (ReleaseInstallRef(run.transaction, countBefore)) {
        // The last user of the setup: everything the log lists goes, and the
        // virtual adapter and the filter component with it.
        OpenInstalledLog(run);
        ProcessSection(run.context, run.transaction, run.script, L"Uninstall");
        Uninstall(run.transaction, false);
        // Only once the commit of the removals has succeeded: an uninstall
        // that fails leaves the product installed, these two with it.
        if (!FindDevice(kVirtualAdapterId, true))
            TraceWrite(TraceDetail, L"Virtual driver will not be Uninstalled because it does not exist.\n");
        UninstallFilterDriver(run.transaction, kFilterComponentId);
        DoCleanupAll(run.transaction);
        // Every user's settings go too; what cannot be deleted is logged.
        PerUserCleanup();
        run.result = run.ResultFromFlags();
        return;
    }
    if (::lstrcmpiW(run.args[2].c_str(), L"sm") == 0) {
        TraceWrite(TraceError, L"Uninstalling sm...\n");
        run.transaction.DeleteRollbackLog();
        run.result = SetupSuccess;
        return;
    }
    // Other users of the setup remain: only this product's part goes.
    TraceWrite(TraceError, L"Uninstalling Partially...\n");
    OpenInstalledLog(run);
    ProcessSection(run.context, run.transaction, run.script, L"UninstPart");
    UninstallCPL(run.transaction);
    DoCleanupAll(run.transaction);
    if (SetupGetRunningWinVer() < WinVerVista) {
        // The clean-up ended the first log; the tray flag and this commit
        // get one of their own, so a failed commit shows the icon again. The
        // count's release was recorded in the first log only: recorded again
        // here, a failed commit gives the count back as it was (the literal
        // steps add one back after the first log is gone, which a killed run
        // cannot do).
        StartRollbackLog(run.transaction);
        run.transaction.LogUndoRecord(countBefore);
        HideTrayIcon(run.transaction);
        ProcessSection(run.context, run.transaction, run.script, L"PostUninstPart");
        Commit(run.transaction);
        run.transaction.DeleteRollbackLog();
    }
    run.result = run.ResultFromFlags();
}

bool IsScriptCommand(const std::wstring& command) {
    for (const wchar_t* each : {L"install", L"apponly_install", L"driveronly_install", L"upgrade", L"uninstall"})
        if (IsCommand(command, each)) return true;
    return false;
}

// Steps 20 and 21: the firewall rules of the Wi-Fi Direct programs follow a
// road that ended without an exception; whatever the firewall answers is only
// logged.
void FirewallStep(Run& run) {
    const std::wstring& command = run.Command();
    FirewallWrapper firewall;
    if ((IsCommand(command, L"install") || IsCommand(command, L"apponly_install") || IsCommand(command, L"upgrade")) &&
        SetupGetRunningWinVer() == WinVerVista && run.HasOption(L"conmgmt")) {
        const std::wstring folder = GetDefaultInstallPath(run.script);
        const UniqueBstr linkpad(::SysAllocString(JoinPath(folder, L"Linkpad.exe").c_str()));
        const UniqueBstr sendTo(::SysAllocString(JoinPath(folder, L"LinkpadSendToExplorer.exe").c_str()));
        TraceWrite(TraceDetail, L"Configure windows firewall settings for Linkpad.\n");
        firewall.AddFirewallRules(linkpad.Get(), sendTo.Get());
    } else if (IsCommand(command, L"uninstall")) {
        TraceWrite(TraceDetail, L"Remove windows firewall settings from Linkpad.\n");
        firewall.RemoveFirewallRules();
    }
}

// Step 19: the road of the command word.
void Dispatch(Run& run) {
    const std::wstring& command = run.Command();
    if (IsScriptCommand(command)) {
        CheckSetupFolders(run.script);
        // A run that was killed is undone before this one changes anything,
        // and this run is marked so that the same holds for it.
        RecoverInterruptedRuns();
        TheRunMarker().Begin();
    }
    if (IsCommand(command, L"install")) {
        InstallRoad(run, L"qelwls start installing.\n");
    } else if (IsCommand(command, L"apponly_install")) {
        InstallRoad(run, L"qelwls start installing app only.\n");
    } else if (IsCommand(command, L"driveronly_install")) {
        InstallRoad(run, L"qelwls start installing driver only.\n");
    } else if (IsCommand(command, L"upgrade")) {
        UpgradeRoad(run);
    } else if (IsCommand(command, L"uninstall")) {
        UninstallRoad(run);
    } else {
        TraceWrite(TraceError, L"Invalid arguments\n");
        run.result = SetupErrorInvalidArguments;
        return;
    }
    FirewallStep(run);
}

// The rollback entry of the failure handlers. A failed uninstall gets its
// install count back from the rollback log, as it was before the release;
// adding one back on top of that would count a user that is not there.
void UndoRun(Run& run) { RollbackAll(run.transaction); }

// One script run at a time on a machine. Two runs over one product move each
// other's files aside, and one's rollback or clean-up then deletes what the
// other put in place. The lock is taken before the recovery of killed runs
// (which changes things) and held past the clean-up and any rollback; a run
// that finds it held says so and waits for the other run to end, then goes
// on as if it had come later. The adapter commands restart, disable or enable
// the adapter and keep no log: they take no lock, as before. A program that
// this run starts (an old version's uninstaller that an upgrade waits for)
// works inside this run and takes none either.
std::unique_ptr<NamedMutexHold> TakeScriptRunLock(const Run& run) {
    if (!IsScriptCommand(run.Command())) return nullptr;
    bool waited = false;
    std::unique_ptr<NamedMutexHold> lock = TakeRunLock([&waited] {
        TraceWrite(TraceNotable, L"Another run of qelwls is working; waiting for it to end.\n");
        waited = true;
    });
    if (waited) TraceWrite(TraceNotable, L"The other run of qelwls has ended; going on.\n");
    return lock;
}

// Steps 19 to 21, with the three handlers of a failed command.
void RunCommand(Run& run) {
    std::unique_ptr<NamedMutexHold> runLock;
    try {
        runLock = TakeScriptRunLock(run);
        Dispatch(run);
    } catch (const BasicException& e) {
        TraceWrite(TraceError, L"Error: file \"%S\", line %d, desc \"%s\" last error: %d\n", e.Module(), e.Line(),
                   e.Description(), e.Error());
        run.lastException = e;
        UndoRun(run);
        run.result = SetupErrorInternal;
    } catch (const std::bad_alloc&) {
        TraceWrite(TraceError, L"Memory allocation error\n");
        UndoRun(run);
        run.result = SetupErrorNoMemory;
    } catch (...) {
        TraceWrite(TraceError, L"Unknown error\n");
        UndoRun(run);
        run.result = SetupErrorUnknown;
    }
    // Done or undone, the run needs no recovery.
    TheRunMarker().Finish();
}

// Step 22: the Result line and the message.
void Report(Run& run) {
    const wchar_t* name = GetResultName(run.result);
    if (run.result == SetupErrorInternal) {
        run.message = FormatText(L"Result,%d,%s,%S,%d\n", run.result, name, run.lastException.Module(),
                                 run.lastException.Line());
        SetupStatusPrint(L"%s", run.message.c_str());
    } else {
        SetupStatusPrint(L"Result,%d,%s,,\n", run.result, name);
        run.message = FormatText(L"Result,%d,%s\n", run.result, name);
    }
}

// Steps 1 to 22; the caller stores the message (step 23).
void Start(Run& run) {
    wchar_t tempFolder[MAX_PATH] = {};
    const DWORD tempLength = ::GetTempPathW(MAX_PATH, tempFolder);
    run.commandLine = ::GetCommandLineW();
    // A temporary folder that does not fit leaves the buffer empty, which
    // would put the log in whatever folder is current: then there is no log.
    const std::wstring logPath =
        tempLength == 0 || tempLength >= MAX_PATH ? std::wstring() : JoinPath(tempFolder, L"qelwl" L".log");

    if (!SetupStatusSetLog(TheSetupStatus(), logPath)) {
        run.message = EarlyEndMessage(run.result, __LINE__);
        return;
    }
    TraceWrite(TraceDetail, L"Setup command: '%s'\n", run.commandLine.c_str());

    if (IsWow64()) {
        run.result = SetupErrorUnsupportedPlatform;
        run.message = EarlyEndMessage(run.result, __LINE__);
        return;
    }
    SetupStatusPrint(L"Version,1,%s\n", kVersionText);
    if (!IsWindowsNT() || SetupGetRunningWinVer() < WinVer2000) {
        TraceWrite(TraceError, L"Win2K or higher required.\n");
        run.result = SetupErrorUnsupportedPlatform;
        run.message = EarlyEndMessage(run.result, __LINE__);
        return;
    }
    if (!IsAdmin()) {
        TraceWrite(TraceError, L"Administrator privileges required.\n");
        run.result = SetupErrorInsuficientPrivileges;
        run.message = EarlyEndMessage(run.result, __LINE__);
        return;
    }

    try {
        if (!PrepareScript(run)) return;
    } catch (...) {
        run.result = SetupErrorNoConfigFile;
        run.message = EarlyEndMessage(run.result, __LINE__);
        return;
    }

    RunCommand(run);
    Report(run);
}

}  // namespace

int RunSetup(int argc, wchar_t** argv) {
    Run run;
    run.args.assign(argv, argv + argc);
    Start(run);
    if (!run.storeMessage) return run.result;
    try {
        RegWriteMessage(run.message);
    } catch (const BasicException&) {
        // The result is decided and already reported on the channel; a message
        // that cannot be stored does not change it.
    }
    return run.result;
}

}  // namespace qel
