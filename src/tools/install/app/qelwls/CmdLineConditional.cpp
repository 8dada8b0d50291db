// The ConditionalSection key: rules that look at what is already installed.
// Upgrade rules find an older package of the product through the command it
// registered under HKEY_LOCAL_MACHINE (its uninstall entry, as a rule), with
// optional checks of its program, arguments, company and file version; a
// match runs a section of this script and, for UpgradeRun, queues the old
// package's command as a program to run before the changes. SupportedApp and
// UnsupportedDriver rules run their section unconditionally.
#include "BasicException.h"
#include "CmdLineKeys.h"
#include "Handles.h"
#include "Trace.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "CmdLine";

// Run flags of the old package's command: a failure to start it is ignored
// (the package may be half gone) and its exit code is examined.
constexpr uint32_t kUpgradeRunFlags = 0x4 | 0x8;

// A conditional section may name a section that names it again; the chain
// ends here instead of running out of stack.
constexpr int kMaxConditionalDepth = 16;

bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

bool ProcessUpgradePackages(RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                            const std::wstring& section, DWORD index, bool run) {
    const std::wstring runSection = RequiredField(script, section, index, 2);
    const std::wstring keyPath = RequiredField(script, section, index, 3);
    const std::wstring valueName = RequiredField(script, section, index, 4);
    const std::wstring imagePath = RequiredField(script, section, index, 5);
    const std::wstring arguments = RequiredField(script, section, index, 6);
    const std::wstring company = RequiredField(script, section, index, 7);
    const uint64_t limit = (static_cast<uint64_t>(RequiredNumber(script, section, index, 8)) << 32) |
                           RequiredNumber(script, section, index, 9);

    std::wstring command;
    if (!PackagePresent(keyPath, valueName, imagePath, arguments, company, limit, command)) return false;
    if (run) {
        // A rule without a registry command has nothing of the old package's
        // own to run. Queueing an empty program would only log a start
        // failure, so such a rule runs its section alone.
        if (!command.empty()) {
            TraceWrite(TraceDetail, L"ProcessUpgradePackages() running upgrade \"%s\".\n", command.c_str());
            transaction.RunApp(command, L"", kUpgradeRunFlags, true);
        }
    }
    if (!runSection.empty()) ProcessSection(context, transaction, script, runSection);
    return true;
}

// SupportedApp and UnsupportedDriver: the section runs, and the rule never
// ends its conditional section.
bool RunRuleSection(RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                    const std::wstring& section, DWORD index) {
    ProcessSection(context, transaction, script, RequiredField(script, section, index, 2));
    return false;
}

bool ProcessRule(RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                 const std::wstring& section, DWORD index) {
    const std::wstring kind = RequiredField(script, section, index, 1);
    // Kinds are compared exactly: "upgrade" is no kind.
    if (kind == L"Upgrade") return ProcessUpgradePackages(context, transaction, script, section, index, false);
    if (kind == L"UpgradeRun") return ProcessUpgradePackages(context, transaction, script, section, index, true);
    if (kind == L"SupportedApp" || kind == L"UnsupportedDriver")
        return RunRuleSection(context, transaction, script, section, index);
    RaiseLineFault(script, section, index, ScriptFault::InvalidLine, LineWording::Clause, L"unknown kind " + kind);
}
}  // namespace

void SplitCommandLine(const std::wstring& command, std::wstring& program, std::wstring& arguments) {
    program.clear();
    arguments.clear();
    bool quoted = false;
    size_t at = 0;
    for (; at < command.size(); ++at) {
        const wchar_t c = command[at];
        if (c == L'"') {
            quoted = !quoted;
            continue;
        }
        if (!quoted && IsBlank(c)) break;
        program += c;
    }
    while (at < command.size() && IsBlank(command[at])) ++at;
    arguments = command.substr(at);
}

bool PackagePresent(const std::wstring& keyPath, const std::wstring& valueName, const std::wstring& imagePath,
                    const std::wstring& arguments, const std::wstring& company, uint64_t versionLimit,
                    std::wstring& command) {
    std::wstring program = imagePath;
    std::wstring programArguments = arguments;
    if (!keyPath.empty() && !valueName.empty()) {
        UniqueKey key;
        if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
            return false;
        if (QueryStringValue(key.Get(), valueName, command) != ERROR_SUCCESS) return false;
        SplitCommandLine(command, program, programArguments);
        if (!imagePath.empty() && ::CompareStringOrdinal(imagePath.c_str(), -1, program.c_str(), -1, TRUE) != CSTR_EQUAL)
            return false;
        if (!arguments.empty() && arguments != programArguments) return false;
    }

    std::wstring foundCompany;
    if (!GetFileVersionString(program, L"CompanyName", foundCompany)) {
        if (!company.empty()) return false;
        foundCompany = L"Missing";
    }
    if (!company.empty() && company != foundCompany) return false;

    // The package counts up to the limit, inclusive; a limit of 0 takes any
    // version, also a program without version information.
    uint64_t version = 0;
    if (!GetFileVersionNumber(program, version)) {
        if (versionLimit != 0) return false;
        version = 0;
    }
    if (versionLimit != 0 && version > versionLimit) return false;

    TraceWrite(TraceDetail, L"PackagePresent( \"%s\", \"%s\", \"%s\", \"%s\", \"%s\", 0x%016I64x )\n", keyPath.c_str(),
               valueName.c_str(), program.c_str(), programArguments.c_str(), foundCompany.c_str(), version);
    return true;
}

void ConditionalSectionKey(RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                           const std::wstring& section) {
    std::vector<std::wstring> names;
    if (script.GetKeyValues(section, L"ConditionalSection", names) != InfOk) return;
    NestingLevel level(context.conditionalDepth, kMaxConditionalDepth, script, section, L"ConditionalSection",
                       L"conditional sections");
    for (const std::wstring& name : names) {
        long count = 0;
        // Unlike a missing run section, a missing rule section is an error:
        // the script would otherwise install without the checks it asks for.
        if (script.GetLineCount(name, count) != InfOk)
            QEL_RAISE_AT(MissingSectionPlace(script, section, L"ConditionalSection", name), L"[" + name + L"]", 0);
        for (DWORD index = 0; index < static_cast<DWORD>(count); ++index) {
            // The first rule that finds its package ends the section.
            if (ProcessRule(context, transaction, script, name, index)) break;
        }
    }
}

}  // namespace qel
