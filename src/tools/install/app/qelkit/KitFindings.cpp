#include "KitFindings.h"

#include "KitOutput.h"

#include <algorithm>

namespace kit {
namespace {

const std::vector<KindInfo> kKinds{
    {Kind::NoDriverInfKey, 1001, Level::Error, L"[Install] has no DriverInf key",
     L"every command ends with 100 before it reads a section: add DriverInf=<folder>\\<name>.inf to [Install]"},
    {Kind::MissingField, 1002, Level::Error, L"a line lacks a field it must have",
     L"write the field the message names (an empty field between two commas counts as there)"},
    {Kind::InvalidLine, 1003, Level::Error, L"a line's fields name nothing usable",
     L"correct the field the message names"},
    {Kind::IncompleteKey, 1004, Level::Error, L"a key lacks values it must have", L"give the key its values"},
    {Kind::NestsTooDeep, 1005, Level::Error, L"a key reaches its own section again",
     L"break the chain of sections that name each other"},
    {Kind::MissingSection, 1006, Level::Error, L"a key names a section the script does not have, and fails",
     L"add the section or correct its name"},
    {Kind::UndefinedFolderId, 1007, Level::Error, L"a [DestinationDirs] entry names a folder id Windows does not define",
     L"use a folder id Windows defines (10 Windows, 11 system, 16422 Program Files, ...) or -1 with a full path"},
    {Kind::UninstallLogSetting, 1008, Level::Error, L"[Setup] UninstallLog is missing or not a full path",
     L"give [Setup] UninstallLog the full path of the uninstall log, e.g. %16422%\\<product>\\Uninstall\\qelwls.log"},
    {Kind::UnreadableScript, 1009, Level::Error, L"a SubInstall script cannot be opened",
     L"put the script into the script folder, or correct its name"},
    {Kind::MissingSetting, 1010, Level::Error, L"a [Setup] key the command needs is missing",
     L"add the key the message names to [Setup]"},
    {Kind::MissingDriverInf, 1011, Level::Error, L"the driver INF that DriverInf names is not in the package",
     L"put the INF into the package folder, or correct the DriverInf line"},
    {Kind::UnreadableDriverInf, 1012, Level::Error, L"the driver INF cannot be read",
     L"repair the INF (it must open as an INF and list [SourceDisksFiles] and its models)"},
    {Kind::UnreadableNetworkInf, 1013, Level::Error, L"an optional network INF of the package cannot be read",
     L"repair VWL\\qelvwl.inf or QELIS\\qelis.inf beside the driver folder, or remove it"},
    {Kind::MissingSource, 1014, Level::Error, L"a file listed for copying is not in the package",
     L"add the file to the package (in the folder [SourceDisksNames] gives its disk, or into its cabinet), "
     L"or remove the line"},
    {Kind::DestinationIsFolder, 1015, Level::Error, L"a file's destination is a folder on this machine",
     L"rename the file or its destination; the install never replaces a folder with a file"},
    {Kind::PathThroughLink, 1016, Level::Error, L"a path passes through a link, junction or mount point",
     L"install to, and take files from, folders without links"},
    {Kind::MissingProgram, 1017, Level::Error, L"a program to run is not there, and the run fails on it",
     L"install the program before it runs, correct its path, or set flag 0x4 to go on without it"},
    {Kind::MissingPackageInstaller, 1018, Level::Error,
     L"the driver package installer is not where the driver stage starts it",
     L"copy dpinst64.exe into [Setup] DefaultInstallPath with a CopyFiles section"},
    {Kind::NoInstalledLog, 1019, Level::Error, L"there is no uninstall log to replay on this machine",
     L"install the package first; upgrade and uninstall work from the log an install left"},
    {Kind::KeyFails, 1020, Level::Error, L"a key fails for another reason", L"correct what the message names"},
    {Kind::ValueNotUsable, 1021, Level::Error, L"a key's value cannot be used",
     L"correct the value the message names (programs and folders of a script are full paths)"},
    {Kind::UnknownKey, 4001, Level::Warning, L"a key the section processor does not know",
     L"correct the key's name (the message suggests the nearest known key), or remove it"},
    {Kind::LineWithoutKey, 4002, Level::Warning, L"a line without a key in a section of keys",
     L"write the line as key=value, or remove it"},
    {Kind::SkippedSection, 4003, Level::Warning, L"a key names a section the script does not have, which it skips",
     L"add the section or correct its name"},
    {Kind::UnusedFolderId, 4004, Level::Warning,
     L"a [DestinationDirs] entry no section of the command uses names a folder id Windows does not define",
     L"use a folder id Windows defines, or remove the entry"},
    {Kind::UninstallLogInUpgrade, 4005, Level::Warning, L"an UninstallLog key in the upgrade's sections",
     L"remove the key: an upgrade replays and keeps the installed uninstall log"},
    {Kind::UpgradeRunWithArguments, 4006, Level::Warning, L"an UpgradeRun command with arguments never runs",
     L"use an Upgrade rule and run the old package's remover with a PreRun line (program, arguments)"},
    {Kind::OptionWordInName, 4007, Level::Warning, L"an option word inside a folder or section name",
     L"rename the folder or section: the installer finds \"peernet\", \"-qelis\" and \"conmgmt\" (and "
     L"\"uninstall\") anywhere in its command line"},
    {Kind::ProgramNeverStarts, 4008, Level::Warning, L"a program to run is not there, and the run goes on without it",
     L"install the program before it runs, or correct its path"},
    {Kind::CodeNotCalled, 4009, Level::Warning, L"a DelGINA line names code that check and plan never load or call",
     L"make sure the DLL and export are the ones meant: the install loads and calls them"},
};

}  // namespace

const std::vector<KindInfo>& Kinds() { return kKinds; }

const KindInfo& InfoOf(Kind kind) {
    for (const KindInfo& info : kKinds)
        if (info.kind == kind) return info;
    return kKinds.back();  // every kind is in the table
}

std::wstring CodeOf(Kind kind) { return Format(L"QK%04d", InfoOf(kind).code); }

unsigned RoadBit(Road road) { return 1u << static_cast<unsigned>(road); }

void Findings::Add(Finding finding) {
    for (Finding& known : items_) {
        if (known.line != finding.line || !SameName(known.file, finding.file) ||
            !SameName(known.subject, finding.subject))
            continue;
        const Level knownLevel = InfoOf(known.kind).level, level = InfoOf(finding.kind).level;
        if (knownLevel == Level::Warning && level == Level::Error) {
            known = std::move(finding);
        } else if (knownLevel == level) {
            // A finding on every road stays one on every road.
            known.roads = known.roads == 0 || finding.roads == 0 ? 0 : known.roads | finding.roads;
        }
        return;
    }
    items_.push_back(std::move(finding));
}

bool Findings::HasSubject(const std::wstring& subject) const {
    return std::any_of(items_.begin(), items_.end(), [&](const Finding& f) { return SameName(f.subject, subject); });
}

void Findings::Sort(const std::wstring& mainScript) {
    std::stable_sort(items_.begin(), items_.end(), [&](const Finding& a, const Finding& b) {
        const bool aMain = SameName(a.file, mainScript), bMain = SameName(b.file, mainScript);
        if (aMain != bMain) return aMain;
        if (a.file != b.file) return a.file < b.file;
        return a.line < b.line;
    });
}

size_t Findings::Count(Level level) const {
    return static_cast<size_t>(
        std::count_if(items_.begin(), items_.end(), [&](const Finding& f) { return InfoOf(f.kind).level == level; }));
}

std::wstring FindingLine(const Finding& finding, const std::vector<Road>& roads) {
    const KindInfo& info = InfoOf(finding.kind);
    std::wstring line = finding.file;
    if (finding.line > 0) line += Format(L"(%d)", finding.line);
    line += Format(L": %s QK%04d: ", info.level == Level::Error ? L"error" : L"warning", info.code) + finding.text;
    unsigned every = 0;
    for (Road road : roads) every |= RoadBit(road);
    if (finding.roads != 0 && finding.roads != every) {
        std::wstring only;
        for (Road road : roads)
            if (finding.roads & RoadBit(road)) only += std::wstring(only.empty() ? L"" : L", ") + RoadName(road);
        line += L" (" + only + L" only)";
    }
    return line;
}

std::wstring CountText(const Findings& findings) {
    const size_t errors = findings.Count(Level::Error), warnings = findings.Count(Level::Warning);
    if (errors + warnings == 0) return L"no problems";
    std::wstring text;
    if (errors) text = Format(L"%u error%s", static_cast<unsigned>(errors), errors == 1 ? L"" : L"s");
    if (errors && warnings) text += L" and ";
    if (warnings) text += Format(L"%u warning%s", static_cast<unsigned>(warnings), warnings == 1 ? L"" : L"s");
    return text;
}

}  // namespace kit
