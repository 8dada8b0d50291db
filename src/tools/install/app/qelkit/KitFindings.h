// What check and plan find in a package: each finding on a line of a script,
// with a stable code per kind of fault and a level. Errors are what makes the
// command fail; warnings what it silently passes over, or what a packager
// rarely means.
//
//   C:\pkg\qelwls.ini(35): error QK1014: [Files] absent.txt is listed for copying ...
#pragma once

#include "KitScript.h"

#include <string>
#include <vector>

namespace kit {

enum class Level { Error, Warning };

// The kinds of finding. Their codes are stable: a packager's notes and a
// build's filters name them.
enum class Kind {
    // Errors: the command ends with 100 or 200 before its first change, or
    // its commit fails and is undone.
    NoDriverInfKey,
    MissingField,
    InvalidLine,
    IncompleteKey,
    NestsTooDeep,
    MissingSection,
    UndefinedFolderId,
    UninstallLogSetting,
    UnreadableScript,
    MissingSetting,
    MissingDriverInf,
    UnreadableDriverInf,
    UnreadableNetworkInf,
    MissingSource,
    DestinationIsFolder,
    PathThroughLink,
    MissingProgram,
    MissingPackageInstaller,
    NoInstalledLog,
    KeyFails,
    ValueNotUsable,
    // Warnings: the command goes on without doing what the line seems to ask.
    UnknownKey,
    LineWithoutKey,
    SkippedSection,
    UnusedFolderId,
    UninstallLogInUpgrade,
    UpgradeRunWithArguments,
    OptionWordInName,
    ProgramNeverStarts,
    CodeNotCalled,
};

struct KindInfo {
    Kind kind;
    int code;  // QKnnnn
    Level level;
    const wchar_t* title;  // the kind of fault, in a few words
    const wchar_t* fix;    // what the packager does about it
};
// Every kind, by code.
const std::vector<KindInfo>& Kinds();
const KindInfo& InfoOf(Kind kind);
// "QK1014"
std::wstring CodeOf(Kind kind);

struct Finding {
    Kind kind = Kind::KeyFails;
    std::wstring file;  // the script the line is in
    int line = 0;       // from 1; 0 when the finding is about the command line, not a line
    std::wstring text;  // what is wrong here, naming the section, key and file
    // What the finding is about; one finding per file, line and subject.
    std::wstring subject;
    unsigned roads = 0;  // the Windows roads it holds on (a bit per Road); 0: every road
};

unsigned RoadBit(Road road);

class Findings {
public:
    // A finding of the same file, line and subject as one before adds its
    // roads to that one; an error takes the place of a warning about the same.
    void Add(Finding finding);
    // Whether a finding about the subject is there already (any line).
    bool HasSubject(const std::wstring& subject) const;
    // Sorted: the main script first, then by file and line.
    void Sort(const std::wstring& mainScript);
    const std::vector<Finding>& Items() const { return items_; }
    size_t Count(Level level) const;
    bool HasErrors() const { return Count(Level::Error) > 0; }

private:
    std::vector<Finding> items_;
};

// One finding as a line: "file(line): error QKnnnn: text", with the roads it
// holds on when that is not every road of `roads`.
std::wstring FindingLine(const Finding& finding, const std::vector<Road>& roads);
// "2 errors and 1 warning", "no problems".
std::wstring CountText(const Findings& findings);

}  // namespace kit
