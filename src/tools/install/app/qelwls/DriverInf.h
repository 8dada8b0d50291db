// InfFile: the reader of every INF-syntax file the program reads, the setup
// script as well as driver INFs. It sits on the SetupAPI INF functions and adds
// the ".amd64" section decoration, statuses for expected absences, buffers that
// grow to the reported size, and BasicException for every other failure.
#pragma once

#include "DriverInfPlatform.h"
#include "Handles.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace qel {

enum InfStatus : uint32_t {
    InfOk = 0,
    InfSectionMissing = 1,
    InfLineMissing = 2,  // no line with that key, or at that position
    InfFieldMissing = 3, // no field of that index; for integers also: not a number
};

// Opens the file without switching the thread locale.
constexpr LANGID kInfNeutralLanguage = 0x0400;

// The system this run chooses models sections for: the running one, or, for a
// tool that reads a script as it would run on another Windows road
// (AssumeRunningWinVer), the first version of that road.
InfPlatform InfPlatformOfThisRun();

class InfFile {
public:
    InfFile();
    ~InfFile();
    InfFile(const InfFile&) = delete;
    InfFile& operator=(const InfFile&) = delete;

    // Opens path; with a language other than kInfNeutralLanguage the thread
    // locale is switched to it for the open, so that SetupAPI takes %strkey%
    // values from the matching [Strings.<language>] section.
    void Open(const std::wstring& path, LANGID language);

    void GetPath(std::wstring& out) const;
    void GetDirectory(std::wstring& out) const;

    bool SectionExists(const std::wstring& name) const;
    InfStatus FindFirstLine(const std::wstring& section, const wchar_t* key, INFCONTEXT& context) const;
    InfStatus GetLineByIndex(const std::wstring& section, DWORD index, INFCONTEXT& context) const;
    InfStatus GetLineCount(const std::wstring& section, long& count) const;
    InfStatus GetField(INFCONTEXT& context, DWORD index, std::wstring& out) const;
    InfStatus GetLineText(const std::wstring& section, const wchar_t* key, std::wstring& out) const;
    InfStatus GetKeyField(const std::wstring& section, const wchar_t* key, DWORD index, std::wstring& out) const;
    InfStatus GetKeyValues(const std::wstring& section, const wchar_t* key, std::vector<std::wstring>& list) const;
    // A negative field gives the whole value text of the line. `out` is not
    // emptied first.
    InfStatus GetLineField(const std::wstring& section, DWORD index, int field, std::wstring& out) const;
    InfStatus GetIntField(const std::wstring& section, DWORD index, DWORD field, int& value) const;
    // A missing binary field is not tolerated: it raises.
    InfStatus GetBinaryField(const std::wstring& section, DWORD index, DWORD field, std::vector<BYTE>& bytes) const;
    InfStatus GetColumn(const std::wstring& section, int field, std::vector<std::wstring>& list) const;
    void GetTargetPath(const std::wstring& section, std::wstring& out) const;
    // The [DestinationDirs] folder of the section exactly as named, without
    // the platform decoration.
    void GetTargetPathAsNamed(const std::wstring& section, std::wstring& out) const;
    // Where [SourceDisksFiles] and [SourceDisksNames] place a file: its source
    // id and sub-folder (as SetupAPI reports it). False when the file is not
    // listed; a listed file whose sub-folder cannot be fetched raises. The
    // section is read once per script (see SourceFileIndex).
    bool GetSourceFileLocation(const std::wstring& fileName, UINT& sourceId, std::wstring& subFolder) const;
    void GetSourceDisksFiles(std::vector<std::wstring>& list) const;
    // The models sections this run's system takes from a driver INF, one for
    // each [Manufacturer] line that has one, in file order (see
    // DriverInfPlatform.h). None when the INF has no driver for it.
    void GetModelsSections(std::vector<std::wstring>& sections) const;
    // The first hardware id of every model line of those sections; raises,
    // naming the INF and the system, when there are none.
    void GetModelHardwareIds(std::vector<std::wstring>& list) const;

    // From now on the key lookups in `section` (FindFirstLine, and with it
    // GetLineText, GetKeyField and GetKeyValues) find `key` only: every other
    // key of that section reports InfLineMissing. An empty section lifts the
    // limit. A tool that checks a script runs the section processor on one
    // key at a time with it, so that one faulty key does not hide the next.
    void LimitKeys(const std::wstring& section, const std::wstring& key);

private:
    std::wstring limitSection_;
    std::wstring limitKey_;

    // Raises unless the section's [DestinationDirs] entry (or DefaultDestDir)
    // names a folder id Windows defines.
    void CheckFolderId(const std::wstring& name) const;
    // The section name to use: name + ".amd64" (tried again on the result)
    // when that section exists, else the name as given.
    std::wstring Decorate(const std::wstring& name) const;
    std::wstring LineText(INFCONTEXT& context) const;

    // SetupGetSourceFileLocationW finds a file's line by reading
    // [SourceDisksFiles] from the top, so a copy section that looks up each of
    // its files reads the whole section once a file: the time grows with the
    // square of the file count. The index reads the section once. A line is
    // placed by its section (the platform's, else the plain one), its disk
    // (field 1) and its sub-folder field (2); the lookup finds the first line
    // of a name, and only the placement of that line decides SetupAPI's
    // answer. So SetupAPI is asked once for each placement, for the first
    // name placed there, and every name with the same placement gets that
    // answer. Names are matched as SetupAPI matches keys, without regard to
    // case; where that is not plain ASCII, or the script has a platform
    // section the index does not know, SetupAPI is asked every time.
    struct SourcePlacement {
        std::wstring firstName;  // the name SetupAPI is asked for
        bool asked = false;
        bool listed = false;
        UINT sourceId = 0;
        std::wstring subFolder;
    };
    struct SourceFileIndex {
        bool usable = true;
        std::unordered_map<std::wstring, size_t> placementOfName;  // by lower-case name
        std::map<std::wstring, size_t> placementOfFields;          // section, disk, sub-folder
        std::vector<SourcePlacement> placements;
    };
    SourceFileIndex& SourceFiles() const;
    // SetupAPI's own answer for `fileName`; a failure to fetch the sub-folder
    // raises naming `reportedName`.
    bool AskSourceFileLocation(const std::wstring& fileName, const std::wstring& reportedName, UINT& sourceId,
                               std::wstring& subFolder) const;

    std::wstring path_;
    UniqueInf handle_;
    mutable std::unique_ptr<SourceFileIndex> sourceFiles_;  // built on the first lookup
};

}  // namespace qel
