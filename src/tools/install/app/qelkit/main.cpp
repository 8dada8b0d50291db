// qelkit: the companion of qelwls64.exe for the people who write its setup
// scripts and deploy its packages. It ships beside qelwls64.exe and works on
// the same engine: check a script, plan what a command would do, run a
// command with a progress bar, recover the runs that were killed.
#include "CmdLine.h"
#include "KitCheck.h"
#include "KitFindings.h"
#include "KitOutput.h"
#include "KitPlan.h"
#include "KitRecover.h"
#include "KitRun.h"
#include "KitVerify.h"
#include "Trace.h"
#include "Util.h"

namespace {

// qelkit's standard error is its user's, not a parent setup program's: the
// engine's greeting on it is muted (see TraceQuietStart).
qel::TraceQuietStart quietStart __attribute__((init_priority(101)));

constexpr int kUsage = 2;

const wchar_t kHelp[] =
    L"qelkit: check, plan, run, recover and verify setup scripts of qelwls64.exe\n"
    L"\n"
    L"  qelkit check <script-folder> [command] [section ...] [--os xp|vista|both] [--log FILE]\n"
    L"  qelkit plan <script-folder> [command] [section ...] [--os xp|vista] [--json] [--log FILE]\n"
    L"  qelkit run [--exit-codes msi] [--log FILE] <command> <script-folder> [section ...]\n"
    L"  qelkit recover [--apply] [--verbose]\n"
    L"  qelkit verify <script-folder> [command] [section ...]\n"
    L"  qelkit codes\n"
    L"\n"
    L"command: install (the default), apponly_install, driveronly_install, upgrade or uninstall.\n"
    L"An empty script folder (\"\") is the folder of qelkit.exe and qelwls64.exe; source files\n"
    L"always come from there. \"qelkit <command> --help\" says more.\n";

const wchar_t kCheckHelp[] =
    L"qelkit check <script-folder> [command] [section ...] [--os xp|vista|both] [--log FILE]\n"
    L"\n"
    L"Reads the script as the command would, with the installer's own key handlers, sets what it\n"
    L"queues against the package and this machine, and changes nothing. Each finding is one line,\n"
    L"\"<script>(<line>): error|warning QKnnnn: <text>\", on the script line it is about: errors for\n"
    L"what makes the command fail (malformed lines, missing sections and settings, files listed for\n"
    L"copying that are not in the package, a missing driver INF, a program that is not there...),\n"
    L"warnings for what it passes over (keys it does not know, sections a key names that are\n"
    L"missing...). \"qelkit codes\" lists the codes and what to do about each.\n"
    L"--os reads the script for Windows before Vista, for Vista and later, or both (the default).\n"
    L"--log FILE appends the installer's diagnostic lines of the reading to FILE.\n"
    L"Exit code: 0 no errors (warnings allowed), 1 errors (or no readable script), 2 bad usage or\n"
    L"no such folder.\n";

const wchar_t kPlanHelp[] =
    L"qelkit plan <script-folder> [command] [section ...] [--os xp|vista] [--json]\n"
    L"\n"
    L"Shows what the command would do on this machine, stage by stage in commit order, with each\n"
    L"stage's cost and the total of the \"Progress\" lines: every file with source, destination and\n"
    L"what the rules decide against the file there now, SharedDLLs counts before and after,\n"
    L"registry values to write or delete, programs to run, driver work, folders to remove.\n"
    L"--json writes the same as one JSON document. Nothing is changed: no logs, no registry.\n"
    L"Before the plan it lists what check finds for this Windows.\n"
    L"--log FILE appends the installer's diagnostic lines of the reading to FILE.\n"
    L"Exit code: 0 done, 1 the command would fail, 2 bad usage or no such folder.\n";

const wchar_t kRunHelp[] =
    L"qelkit run [--exit-codes msi] [--log FILE] <command> <script-folder> [section ...]\n"
    L"\n"
    L"Starts qelwls64.exe from the folder of qelkit.exe on pipes, as a setup program does, draws\n"
    L"one progress line and says the result in words. When the command failed it shows what\n"
    L"failed (the failing step's lines of the diagnostic log and its error in words), then what\n"
    L"undoing it did. Exit code: the installer's result code; 100 when the folder or script is\n"
    L"not there, 102 for bad arguments, 202 when qelwls64.exe cannot be started.\n"
    L"--exit-codes msi exits with the codes deployment systems expect of a setup: 0 success, 3010\n"
    L"a restart is needed, 1603 failure, 1639 bad arguments. While another installer run is in\n"
    L"progress nothing is started, and the exit code is 1618 with either codes.\n"
    L"--log FILE appends this run's lines of the diagnostic log to FILE.\n";

const wchar_t kRecoverHelp[] =
    L"qelkit recover [--apply] [--verbose]\n"
    L"\n"
    L"Finds the runs of qelwls64.exe that were killed before they finished (their marker stays in\n"
    L"the Windows folder) and shows one line for each: its process, when it started, the command\n"
    L"it ran, its records, and what --apply does: undo it, or, for a run killed in its clean-up,\n"
    L"finish that clean-up (its changes stay). --verbose lists what undoing each would do, newest\n"
    L"change first. --apply recovers them with the recovery the installer runs before each script\n"
    L"command. A run that is still in progress is never touched; a run whose logs cannot be read\n"
    L"through is left in place.\n"
    L"Exit code: 0 nothing left to recover, 1 runs left (or one that cannot be undone), 2 bad usage.\n";

const wchar_t kVerifyHelp[] =
    L"qelkit verify <script-folder> [command] [section ...]\n"
    L"\n"
    L"Sets the installed product against the uninstall log its install left and against the\n"
    L"package: files missing or changed (their SHA-256 against the package's source, plain, in a\n"
    L"sub-folder or in a cabinet; a file the install keeps when it finds one, not to be\n"
    L"overwritten or newer, is no change), driver packages missing, registry values of the\n"
    L"script's AddReg lines missing, SharedDLLs counts missing. command: the install command that\n"
    L"installed it (install, the default, apponly_install or driveronly_install), with its\n"
    L"sections. The repair is the install again. Nothing is changed.\n"
    L"Exit code: 0 intact, 1 damaged or not installed, 2 bad usage or no such folder.\n";

int Usage(const std::wstring& message) {
    kit::Err(L"qelkit: " + message + L" (\"qelkit --help\" lists the commands)\n");
    return kUsage;
}

bool IsHelp(const std::wstring& word) { return word == L"--help" || word == L"-h" || word == L"/?"; }

// The words of a check or plan: <folder> [command] [section ...], options anywhere.
struct ScriptArguments {
    std::wstring folder;
    kit::Command command = kit::Command::Install;
    std::vector<std::wstring> sections;
    std::vector<std::wstring> options;
};

bool ParseScriptArguments(const std::vector<std::wstring>& words, ScriptArguments& parsed, std::wstring& error) {
    std::vector<std::wstring> positional;
    for (size_t i = 0; i < words.size(); ++i) {
        if (words[i].rfind(L"--", 0) == 0) {
            parsed.options.push_back(words[i]);
            if ((words[i] == L"--os" || words[i] == L"--log") && i + 1 < words.size())
                parsed.options.push_back(words[++i]);
        } else {
            positional.push_back(words[i]);
        }
    }
    if (positional.empty()) {
        error = L"no script folder given";
        return false;
    }
    parsed.folder = positional[0];
    if (positional.size() > 1 && !kit::ParseCommand(positional[1], parsed.command)) {
        error = L"unknown command word '" + positional[1] + L"'";
        return false;
    }
    if (positional.size() > 2) parsed.sections.assign(positional.begin() + 2, positional.end());
    return true;
}

// "--log FILE": the engine's diagnostic lines go to FILE instead of nowhere.
// False when the file cannot be opened.
bool OpenLog(const std::wstring& path) {
    if (qel::TraceOpen(path) == 0) return true;
    kit::Err(L"qelkit: the log " + path + L" cannot be opened\n");
    return false;
}

int CheckCommand(const std::vector<std::wstring>& words) {
    ScriptArguments parsed;
    std::wstring error;
    if (!ParseScriptArguments(words, parsed, error)) return Usage(error);
    std::vector<kit::Road> roads{kit::Road::BeforeVista, kit::Road::VistaOrLater};
    for (size_t i = 0; i < parsed.options.size(); ++i) {
        if (parsed.options[i] == L"--log" && i + 1 < parsed.options.size()) {
            if (!OpenLog(parsed.options[++i])) return kUsage;
            continue;
        }
        if (parsed.options[i] != L"--os" || i + 1 >= parsed.options.size())
            return Usage(L"unknown option " + parsed.options[i]);
        kit::Road road;
        const std::wstring& value = parsed.options[++i];
        if (value == L"both") roads = {kit::Road::BeforeVista, kit::Road::VistaOrLater};
        else if (kit::ParseRoad(value, road)) roads = {road};
        else return Usage(L"--os takes xp, vista or both, not '" + value + L"'");
    }
    return kit::Check(parsed.folder, parsed.command, parsed.sections, roads);
}

int PlanCommand(const std::vector<std::wstring>& words) {
    ScriptArguments parsed;
    std::wstring error;
    if (!ParseScriptArguments(words, parsed, error)) return Usage(error);
    kit::Road road = kit::Road::Running;
    bool json = false;
    for (size_t i = 0; i < parsed.options.size(); ++i) {
        if (parsed.options[i] == L"--json") {
            json = true;
        } else if (parsed.options[i] == L"--log" && i + 1 < parsed.options.size()) {
            if (!OpenLog(parsed.options[++i])) return kUsage;
        } else if (parsed.options[i] == L"--os" && i + 1 < parsed.options.size()) {
            if (!kit::ParseRoad(parsed.options[++i], road))
                return Usage(L"--os takes xp or vista, not '" + parsed.options[i] + L"'");
        } else {
            return Usage(L"unknown option " + parsed.options[i]);
        }
    }
    return kit::Plan(parsed.folder, parsed.command, parsed.sections, road, json);
}

int RunCommand(const std::vector<std::wstring>& words) {
    kit::RunOptions options;
    size_t at = 0;
    for (; at < words.size() && words[at].rfind(L"--", 0) == 0; ++at) {
        if (words[at] == L"--exit-codes" && at + 1 < words.size() && words[at + 1] == L"msi") {
            options.msiExitCodes = true;
            ++at;
        } else if (words[at] == L"--log" && at + 1 < words.size()) {
            options.logFile = words[++at];
        } else {
            return kit::RefuseRun(qel::SetupErrorInvalidArguments,
                                  L"run takes --exit-codes msi and --log FILE before the command word, not '" +
                                      words[at] + L"'",
                                  options);
        }
    }
    if (words.size() < at + 2)
        return kit::RefuseRun(qel::SetupErrorInvalidArguments, L"run needs a command word and a script folder",
                              options);
    kit::Command command;
    if (!kit::ParseCommand(words[at], command))
        return kit::RefuseRun(qel::SetupErrorInvalidArguments, L"unknown command word '" + words[at] + L"'", options);
    return kit::Run(command, words[at + 1], std::vector<std::wstring>(words.begin() + at + 2, words.end()), options);
}

int VerifyCommand(const std::vector<std::wstring>& words) {
    ScriptArguments parsed;
    std::wstring error;
    if (!ParseScriptArguments(words, parsed, error)) return Usage(error);
    if (!parsed.options.empty()) return Usage(L"unknown option " + parsed.options.front());
    if (!kit::IsInstallCommand(parsed.command))
        return Usage(L"verify takes an install command, not '" + std::wstring(kit::CommandWord(parsed.command)) + L"'");
    return kit::Verify(parsed.folder, parsed.command, parsed.sections);
}

int RecoverCommand(const std::vector<std::wstring>& words) {
    bool apply = false, verbose = false;
    for (const std::wstring& word : words) {
        if (word == L"--apply") apply = true;
        else if (word == L"--verbose") verbose = true;
        else return Usage(L"recover takes --apply and --verbose only, not '" + word + L"'");
    }
    return kit::Recover(apply, verbose);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    quietStart.GiveBack();
    // Like the installer, everything it loads comes from the system folder.
    if (!qel::RestrictDllSearchToSystemFolder()) return qel::SetupErrorUnknown;
    // qelkit keeps no diagnostic log of its own: looking changes nothing.
    // What it changes (recover --apply) is logged where the installer logs,
    // and --log gives check and plan one of the caller's choice.
    qel::TraceDiscard();

    std::vector<std::wstring> words(argv + 1, argv + argc);
    if (words.empty() || IsHelp(words[0]) || words[0] == L"help") {
        const std::wstring topic = words.size() > 1 ? words[1] : L"";
        kit::Out(topic == L"check" ? kCheckHelp : topic == L"plan" ? kPlanHelp : topic == L"run" ? kRunHelp
                 : topic == L"recover" ? kRecoverHelp : topic == L"verify" ? kVerifyHelp : kHelp);
        return words.empty() ? kUsage : 0;
    }
    const std::wstring command = words[0];
    words.erase(words.begin());
    const bool help = !words.empty() && IsHelp(words[0]);
    if (command == L"check") return help ? (kit::Out(kCheckHelp), 0) : CheckCommand(words);
    if (command == L"plan") return help ? (kit::Out(kPlanHelp), 0) : PlanCommand(words);
    if (command == L"run") return help ? (kit::Out(kRunHelp), 0) : RunCommand(words);
    if (command == L"recover") return help ? (kit::Out(kRecoverHelp), 0) : RecoverCommand(words);
    if (command == L"verify") return help ? (kit::Out(kVerifyHelp), 0) : VerifyCommand(words);
    if (command == L"codes") return words.empty() ? (kit::PrintCodes(), 0) : Usage(L"codes takes no arguments");
    return Usage(L"unknown command '" + command + L"'");
}
