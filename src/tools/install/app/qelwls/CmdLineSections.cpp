// The section processor: the one place that knows which keys a section may
// hold and in which order they run. The order is the order in which a
// section's records enter the transaction's lists.
#include "CmdLineKeys.h"
#include "Util.h"

namespace qel {

void ProcessSection(RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                    const std::wstring& section) {
    // A sub-install brings its own driver; from here on no DriverInf key runs,
    // not even in this section.
    if (SubInstallKey(context, transaction, script, section)) context.skipDriverInf = true;
    ConditionalSectionKey(context, transaction, script, section);
    RunKey(transaction, script, section, true);
    DelRegKey(transaction, script, section);
    DelGinaKey(transaction, script, section);
    DelFilesKey(transaction, script, section);
    RegDelFilesKey(transaction, script, section);
    if (!context.skipDriverInf) ProcessDrivers(context, transaction, script, section);
    CopyFilesKey(context, transaction, script, section);
    AddGinaKey(context, transaction, script, section);
    AddRegKey(transaction, script, section);
    AddLinksKey(transaction, script, section);
    RunKey(transaction, script, section, false);
    DelDirsKey(transaction, script, section);
    // Before Vista the package INF names have no meaning and are ignored.
    if (SetupGetRunningWinVer() > WinVerXP) ProcessUninstallInf(transaction, script, section);
    UninstallLogKey(transaction, script, section);
}

void StartRollbackLog(UpdateTransaction& transaction) {
    // One log a transaction: a second would leave the first behind. A
    // queue-only transaction changes nothing, so it has nothing to log.
    if (transaction.HasRollbackLog() || transaction.IsQueueOnly()) return;
    // Kept in the Windows folder, apart from every folder an install touches.
    std::wstring windowsFolder;
    GetWindowsFolder(windowsFolder);
    std::wstring rollbackLog;
    MakeTempFile(windowsFolder, rollbackLog);
    transaction.OpenRollbackLog(rollbackLog, true);
}

void ProcessSections(RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                     const std::vector<std::wstring>& sections) {
    StartRollbackLog(transaction);
    for (const std::wstring& section : sections) ProcessSection(context, transaction, script, section);
}

// Every key ProcessSection runs, in its order, with what the key's values
// name. A key that is not here does nothing in a section: a tool that checks
// scripts reports it as a likely typo. Keep it in step with ProcessSection.
const std::vector<SectionKey>& SectionKeys() {
    static const std::vector<SectionKey> keys{
        {L"SubInstall", SectionKeyValues::ScriptAndSections},
        {L"ConditionalSection", SectionKeyValues::Sections},
        {L"PreRun", SectionKeyValues::Sections},
        {L"DelReg", SectionKeyValues::Sections},
        {L"DelGINA", SectionKeyValues::Other},
        {L"DelFiles", SectionKeyValues::Sections},
        {L"RegDelFiles", SectionKeyValues::Other},
        {L"DriverInf", SectionKeyValues::Other},
        {L"CopyFiles", SectionKeyValues::Sections},
        {L"AddGINA", SectionKeyValues::Sections},
        {L"AddReg", SectionKeyValues::Sections},
        {L"AddLinks", SectionKeyValues::Sections},
        {L"PostRun", SectionKeyValues::Sections},
        {L"DelDirs", SectionKeyValues::Sections},
        {L"Install", SectionKeyValues::Other},
        {L"Uninstall", SectionKeyValues::Other},
        {L"UninstallInf", SectionKeyValues::Other},
        {L"UninstallLog", SectionKeyValues::Other},
    };
    return keys;
}

}  // namespace qel
