// What check and plan share: the command words and the script each reads, the
// package folder as the installer takes it, the Windows road a script is read
// for, and the text of a script with its line numbers.
#pragma once

#include "CmdLineContext.h"
#include "DriverInf.h"

#include <map>
#include <string>
#include <vector>

namespace kit {

enum class Command { Install, AppOnlyInstall, DriverOnlyInstall, Upgrade, Uninstall };

// The command words of the installer that run a script (in any letter case).
bool ParseCommand(const std::wstring& word, Command& command);
const wchar_t* CommandWord(Command command);
bool IsInstallCommand(Command command);
// The script file the command reads: "qelwlsd.ini" or "qelwls.ini".
const wchar_t* ScriptName(Command command);

// The package as a command of the installer finds it: the script folder
// (empty: the folder of the program, which for qelkit is the folder it ships
// in beside qelwls64.exe) and the script opened with the user's language.
struct Package {
    std::wstring folder;      // full path of the script folder
    std::wstring scriptPath;  // full path of the script
    qel::InfFile script;
};
enum class OpenResult { Ok, NoFolder, NoScript, Unreadable };
// `error` gets a one-line sentence for anything but Ok.
OpenResult OpenPackage(const std::wstring& folderArgument, Command command, Package& package, std::wstring& error);
// The same for check, plan and verify: false when the package cannot be
// opened, with the reason on the error stream and the exit code (2 for a
// folder that is not there, 1 otherwise).
bool OpenPackageOrSay(const std::wstring& folderArgument, Command command, Package& package, int& exitCode);
// What the key handlers know of a run, as the installer's entry point sets it
// for the command: qelkit's own folder stands for the installer's, which it
// ships beside. Each reading of the script takes a fresh copy.
qel::RunContext PrepareHandlers(const std::wstring& folderArgument, Command command);

// The Windows version a script is read for.
enum class Road { Running, BeforeVista, VistaOrLater };
bool ParseRoad(const std::wstring& word, Road& road);
// Makes the key handlers, and the commit's decisions that qelkit plan shows,
// see that version (Running: the machine's own). It is not part of the run
// context: the decisions on the commit's side read the version too, and
// they reach no run context.
void SelectRoad(Road road);
const wchar_t* RoadName(Road road);

// The sections the command runs through the section processor, in its order:
// [Install] and the extra sections for an install, [Upgrade] for an upgrade,
// and for an uninstall the sections of its three roads.
std::vector<std::wstring> CommandSections(Command command, const std::vector<std::wstring>& extra);

// A script's text as SetupAPI reads it, for line numbers: the lines of each
// section (blank and comment lines do not count), with their key and values.
class ScriptText {
public:
    struct Line {
        int number = 0;          // in the file, from 1
        bool hasKey = false;     // the line has an "="
        std::wstring key;        // as written, without quotes
        std::vector<std::wstring> values;  // without quotes, %strings% not replaced
    };
    struct Section {
        std::wstring name;  // as the first header spells it
        int header = 0;     // line of its first header
        std::vector<Line> lines;
    };

    bool Load(const std::wstring& path);
    const std::wstring& Path() const { return path_; }
    // The section (case-insensitive), or null.
    const Section* Find(const std::wstring& name) const;
    // The section whose lines the reader takes for `name`: its ".amd64" twin
    // when there is one.
    const Section* Decorated(const std::wstring& name) const;
    // The file line of the index-th line (from 0) of a section as the reader
    // counts it, or 0.
    int LineOf(const std::wstring& section, size_t index) const;
    // The first line of the section with the key and, if given, the value
    // among its values (else the first with the key), or null.
    const Line* LineWithKey(const std::wstring& section, const std::wstring& key,
                            const std::wstring& value = L"") const;
    // The file line of that line, or 0.
    int KeyLine(const std::wstring& section, const std::wstring& key, const std::wstring& value = L"") const;
    const std::vector<Section>& Sections() const { return sections_; }

private:
    std::wstring path_;
    std::vector<Section> sections_;
    std::map<std::wstring, size_t> index_;  // lower-case name -> position
};

// Case-insensitive comparison, as SetupAPI compares names.
bool SameName(const std::wstring& a, const std::wstring& b);

}  // namespace kit
