// The section processor and the setup-script key handlers. Handlers read the
// script and queue records in the transaction; none of them changes the system.
#pragma once

#include "BasicException.h"
#include "CmdLineContext.h"
#include "DriverInf.h"
#include "Update.h"

#include <string>
#include <vector>

namespace qel {

// How a raise about one line puts what is wrong after the line's name.
enum class LineWording {
    Predicate,  // "[Files] line 3 has no field 2"; on its own "the line has no field 2"
    Clause,     // "[Reg] line 2: unknown root 'X'"; on its own "unknown root 'X'"
};
// Raises about the index-th line (from 0) of a section: the description names
// the line counted from 1, the place carries the line and the fault.
[[noreturn]] void RaiseLineFault(const InfFile& script, const std::wstring& section, DWORD index, ScriptFault fault,
                                 LineWording wording, const std::wstring& text);
// The place of a key of a section of the script; `message` says what is wrong.
ScriptPlace KeyPlace(const InfFile& script, ScriptFault fault, const std::wstring& section, const std::wstring& key,
                     std::wstring message);
// The place of a key that names a section the script does not have.
ScriptPlace MissingSectionPlace(const InfFile& script, const std::wstring& section, const wchar_t* key,
                                const std::wstring& missing);
// A string field that the line must have; a missing one raises, naming the line.
std::wstring RequiredField(const InfFile& script, const std::wstring& section, DWORD index, int field);
// A number field that the line must have.
uint32_t RequiredNumber(const InfFile& script, const std::wstring& section, DWORD index, int field);

// Counts one level of a key that may name its own section, directly or
// through others, for the lifetime of the scope (also when a raise unwinds
// it); past the limit it raises, naming the section and the key.
class NestingLevel {
public:
    // key: the key's name; levels: what is counted, for the message.
    NestingLevel(int& depth, int limit, const InfFile& script, const std::wstring& section, const wchar_t* key,
                 const wchar_t* levels);
    ~NestingLevel() { --depth_; }
    NestingLevel(const NestingLevel&) = delete;
    NestingLevel& operator=(const NestingLevel&) = delete;

private:
    int& depth_;
};

// Runs every key handler on one section, in the fixed key order.
void ProcessSection(RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                    const std::wstring& section);

// What the values of a section key name.
enum class SectionKeyValues {
    Sections,           // sections of this script
    ScriptAndSections,  // another script, then sections of that script
    Other,              // files, folders, registry keys, or nothing
};
struct SectionKey {
    const wchar_t* name;
    SectionKeyValues values;
};
// The keys ProcessSection knows, in the order it runs them.
const std::vector<SectionKey>& SectionKeys();
// Starts the transaction's rollback log in the Windows folder, unless it has one.
void StartRollbackLog(UpdateTransaction& transaction);
// Starts the rollback log and runs the sections in turn.
void ProcessSections(RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                     const std::vector<std::wstring>& sections);

// File keys.
void CopyFilesKey(const RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                  const std::wstring& section);
void DelFilesKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
void RegDelFilesKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
void DelDirsKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);

// Registry keys.
void AddRegKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
void DelRegKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);

// Sub-installs and the uninstall log. SubInstallKey is true when a sub-install ran.
bool SubInstallKey(RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                   const std::wstring& section);
void UninstallLogKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
// The full path of [Setup] UninstallLog; its folder is created.
void GetUninstallLogPath(const InfFile& script, std::wstring& out);
// The same without creating anything.
void UninstallLogPathOf(const InfFile& script, std::wstring& out);
// In a queue-only transaction, the source of the uninstall log's queued move:
// the temporary file a run would write the log to.
constexpr wchar_t kNewUninstallLogName[] = L"qel<new>.tmp";

// Programs run before (PreRun) or after (PostRun) the changes.
void RunKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section, bool before);

// Conditional sections and the older packages they look for.
void ConditionalSectionKey(RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                           const std::wstring& section);
// True when the package the rule describes is installed; `command` receives
// its registered command when the rule names a key and a value. A version
// limit of 0 means any version.
bool PackagePresent(const std::wstring& keyPath, const std::wstring& valueName, const std::wstring& imagePath,
                    const std::wstring& arguments, const std::wstring& company, uint64_t versionLimit,
                    std::wstring& command);
// A registered command split into its program (quotes removed) and the
// arguments after the blanks that follow it.
void SplitCommandLine(const std::wstring& command, std::wstring& program, std::wstring& arguments);

// Shortcuts (AddLinks) and the logon GINA chain (AddGINA, DelGINA).
void AddLinksKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
void AddGinaKey(const RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                const std::wstring& section);
void DelGinaKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);

// The driver package key (DriverInf) and, from Vista on, the package INF
// names for the driver package installer's removal (sections Install and
// Uninstall only).
void ProcessDrivers(const RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                    const std::wstring& section);
void ProcessUninstallInf(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
// [Setup] DefaultInstallPath and DriverStore; each raises when missing or
// not a full path.
std::wstring GetDefaultInstallPath(const InfFile& script);
void GetDriverStore(const InfFile& script, std::wstring& out);
// Raises when [Setup] DefaultInstallPath or DriverStore is there but not a
// full path: checked before a script command changes anything, whether its
// road reads them or not.
void CheckSetupFolders(const InfFile& script);

}  // namespace qel
