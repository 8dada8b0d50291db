// The two keys that shape the transaction rather than queue ordinary work:
// SubInstall runs sections of another script in a transaction of its own, and
// UninstallLog starts the uninstall log of the run beside a copy of the script.
#include "BasicException.h"
#include "CmdLineKeys.h"
#include "Util.h"

#include <memory>

namespace qel {
namespace {
constexpr const char* kModuleName = "CmdLine";

// A SubInstall that names its own script and section, directly or through
// other scripts, would nest without end, each level opening one more script
// and one more rollback log. Real packages nest one or two levels.
constexpr int kMaxSubInstallDepth = 16;

// [Setup] UninstallLog cannot be used; `fault` says why.
[[noreturn]] void RaiseUninstallLogSetting(const InfFile& script, const std::wstring& fault) {
    QEL_RAISE_AT(KeyPlace(script, ScriptFault::UninstallLogSetting, L"Setup", L"UninstallLog", fault), fault, 0);
}

}  // namespace

NestingLevel::NestingLevel(int& depth, int limit, const InfFile& script, const std::wstring& section,
                           const wchar_t* key, const wchar_t* levels)
    : depth_(depth) {
    if (depth_ >= limit) {
        const std::wstring nests = FormatText(L"nests deeper than %d %s", limit, levels);
        QEL_RAISE_AT(KeyPlace(script, ScriptFault::NestsTooDeep, section, key, key + (L" " + nests)),
                     FormatText(L"%s in [%s] %s", key, section.c_str(), nests.c_str()), 0);
    }
    ++depth_;
}

bool SubInstallKey(RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                   const std::wstring& section) {
    std::vector<std::wstring> values;
    if (script.GetKeyValues(section, L"SubInstall", values) != InfOk) return false;
    if (values.empty())
        QEL_RAISE_AT(
            KeyPlace(script, ScriptFault::IncompleteKey, section, L"SubInstall", L"SubInstall names no script"),
            L"SubInstall in [" + section + L"] names no script", 0);
    NestingLevel level(context.subInstallDepth, kMaxSubInstallDepth, script, section, L"SubInstall", L"sub-installs");

    // The other script lies beside the one the command line named.
    InfFile other;
    other.Open(JoinPath(context.ScriptFolder(), values.front()), GetUILanguage());
    values.erase(values.begin());

    // Handed over before its sections run, so that a failure in them still
    // rolls it back with the rest. The sub-install's sections run in this
    // run's context: a sub-install within them skips DriverInf keys here too.
    auto subInstall = std::make_unique<UpdateTransaction>();
    UpdateTransaction& subTransaction = *subInstall;
    transaction.AddSubTransaction(std::move(subInstall));
    ProcessSections(context, subTransaction, other, values);
    return true;
}

void UninstallLogPathOf(const InfFile& script, std::wstring& out) {
    std::wstring text;
    // Without a path there is nowhere to keep the log; an install that went on
    // could never be undone by a later uninstall.
    if (script.GetLineText(L"Setup", L"UninstallLog", text) != InfOk || text.empty())
        RaiseUninstallLogSetting(script, L"[Setup] UninstallLog is missing");
    // A relative path would put the log wherever the current folder is.
    if (!IsAbsolutePath(text)) RaiseUninstallLogSetting(script, L"[Setup] UninstallLog is not a full path: " + text);
    if (GetFullPath(text, out) != 0) QEL_RAISE(text, ::GetLastError());
}

void GetUninstallLogPath(const InfFile& script, std::wstring& out) {
    UninstallLogPathOf(script, out);
    CreateDirectoryTree(DirectoryOf(out));
}

void UninstallLogKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section) {
    std::wstring value;  // only its presence counts
    if (script.GetLineText(section, L"UninstallLog", value) != InfOk) return;
    // A section named twice on the command line meets the key twice: the log
    // is already being written and its move already queued. A second log
    // would leave the first one behind under its temporary name.
    if (transaction.WritesNewUninstallLog()) return;

    std::wstring logPath;
    std::wstring temporary;
    if (transaction.IsQueueOnly()) {
        // Nothing is made: the log's move is queued from the name that stands
        // for the temporary file a run would make beside the log.
        UninstallLogPathOf(script, logPath);
        temporary = JoinPath(DirectoryOf(logPath), kNewUninstallLogName);
        transaction.OpenUninstallLog(temporary, true);
    } else {
        GetUninstallLogPath(script, logPath);
        // The log is written under a temporary name beside its final place and
        // takes the final name in the file stage, so a run that fails before
        // that leaves the previous log where it was.
        MakeTempFile(DirectoryOf(logPath), temporary);
        transaction.OpenUninstallLog(temporary, true);
    }
    const std::wstring logFolder = DirectoryOf(logPath);

    // A later upgrade or uninstall reads the script beside the log under this
    // one name, whichever script the run used.
    std::wstring scriptPath;
    script.GetPath(scriptPath);
    transaction.FileInstall(scriptPath, JoinPath(logFolder, L"qelwls.ini"), kOwnFileFlags, L"");
    transaction.FileMove(temporary, logPath, kOwnFileFlags);
}

}  // namespace qel
