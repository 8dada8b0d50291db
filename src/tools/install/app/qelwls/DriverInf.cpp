#include "DriverInf.h"

#include "BasicException.h"
#include "Trace.h"
#include "Util.h"

#include <climits>
#include <cwchar>

namespace qel {
namespace {
constexpr const char* kModuleName = "DriverInf";
constexpr wchar_t kPlatformDecoration[] = L".amd64";

// Maps the failure of a line lookup to a status; anything unexpected raises.
#define QEL_LINE_STATUS(ok)                                                \
    do {                                                                   \
        if (ok) return InfOk;                                              \
        const DWORD error_ = ::GetLastError();                             \
        if (error_ == ERROR_SECTION_NOT_FOUND) return InfSectionMissing;   \
        if (error_ == ERROR_LINE_NOT_FOUND) return InfLineMissing;         \
        QEL_RAISE();                                                       \
    } while (0)
}  // namespace

InfFile::InfFile() = default;
InfFile::~InfFile() = default;

void InfFile::Open(const std::wstring& path, LANGID language) {
    if (GetFullPath(path, path_) != 0) QEL_RAISE();
    UINT errorLine = 0;
    if (language == kInfNeutralLanguage) {
        handle_.Reset(::SetupOpenInfFileW(path_.c_str(), nullptr, INF_STYLE_WIN4, &errorLine));
    } else {
        const LCID current = ::GetThreadLocale();
        TraceWrite(TraceDetail, L"Current thread locale 0x%04x, setting to 0x%04x\n", current & 0xFFFF, language);
        // Keep the sort id of the current locale; only the language changes.
        ThreadLocaleScope localeScope((current & 0xF0000) | language);
        handle_.Reset(::SetupOpenInfFileW(path_.c_str(), nullptr, INF_STYLE_WIN4, &errorLine));
    }
    if (!handle_) QEL_RAISE_AT(ScriptPlace(ScriptFault::UnreadableScript, path_, L"the file cannot be opened"),
                               path, ::GetLastError());
}

void InfFile::GetPath(std::wstring& out) const {
    if (path_.empty()) QEL_RAISE();
    out = path_;
}

void InfFile::GetDirectory(std::wstring& out) const {
    if (path_.empty()) {
        out.clear();
        QEL_RAISE();
    }
    out = DirectoryOf(path_);
}

bool InfFile::SectionExists(const std::wstring& name) const {
    if (::SetupGetLineCountW(handle_.Get(), name.c_str()) >= 0) return true;
    const DWORD error = ::GetLastError();
    if (error == ERROR_SECTION_NOT_FOUND) return false;
    QEL_RAISE(name, error);
}

std::wstring InfFile::Decorate(const std::wstring& name) const {
    std::wstring section = name;
    while (SectionExists(section + kPlatformDecoration)) section += kPlatformDecoration;
    return section;
}

void InfFile::LimitKeys(const std::wstring& section, const std::wstring& key) {
    limitSection_ = section;
    limitKey_ = key;
}

InfStatus InfFile::FindFirstLine(const std::wstring& section, const wchar_t* key, INFCONTEXT& context) const {
    if (!limitSection_.empty() && key && ::lstrcmpiW(section.c_str(), limitSection_.c_str()) == 0 &&
        ::lstrcmpiW(key, limitKey_.c_str()) != 0)
        return InfLineMissing;
    const std::wstring name = Decorate(section);
    QEL_LINE_STATUS(::SetupFindFirstLineW(handle_.Get(), name.c_str(), key, &context));
}

InfStatus InfFile::GetLineByIndex(const std::wstring& section, DWORD index, INFCONTEXT& context) const {
    const std::wstring name = Decorate(section);
    QEL_LINE_STATUS(::SetupGetLineByIndexW(handle_.Get(), name.c_str(), index, &context));
}

InfStatus InfFile::GetLineCount(const std::wstring& section, long& count) const {
    const std::wstring name = Decorate(section);
    const LONG lines = ::SetupGetLineCountW(handle_.Get(), name.c_str());
    if (lines < 0) {
        TraceWrite(TraceNotable, L"[%s] section is missing.\n", section.c_str());
        return InfSectionMissing;
    }
    count = lines;
    return InfOk;
}

InfStatus InfFile::GetField(INFCONTEXT& context, DWORD index, std::wstring& out) const {
    DWORD size = 0;
    if (!::SetupGetStringFieldW(&context, index, nullptr, 0, &size)) {
        // Wine leaves the last error unset for an index past the end, where
        // Windows reports ERROR_INVALID_PARAMETER; both mean "no such field".
        const DWORD error = ::GetLastError();
        if (error == ERROR_INVALID_PARAMETER || error == ERROR_SUCCESS) return InfFieldMissing;
        QEL_RAISE();
    }
    std::wstring buffer(size, L'\0');
    if (!::SetupGetStringFieldW(&context, index, &buffer[0], size, nullptr)) QEL_RAISE();
    buffer.resize(size > 0 ? size - 1 : 0);
    out.swap(buffer);
    return InfOk;
}

std::wstring InfFile::LineText(INFCONTEXT& context) const {
    DWORD size = 0;
    if (!::SetupGetLineTextW(&context, nullptr, nullptr, nullptr, nullptr, 0, &size)) QEL_RAISE();
    std::wstring text(size, L'\0');
    if (!::SetupGetLineTextW(&context, nullptr, nullptr, nullptr, &text[0], size, nullptr)) QEL_RAISE();
    text.resize(size > 0 ? size - 1 : 0);
    return text;
}

InfStatus InfFile::GetLineText(const std::wstring& section, const wchar_t* key, std::wstring& out) const {
    out.clear();
    INFCONTEXT context;
    const InfStatus status = FindFirstLine(section, key, context);
    if (status != InfOk) return status;
    out = LineText(context);
    return InfOk;
}

InfStatus InfFile::GetKeyField(const std::wstring& section, const wchar_t* key, DWORD index,
                               std::wstring& out) const {
    out.clear();
    INFCONTEXT context;
    const InfStatus status = FindFirstLine(section, key, context);
    if (status != InfOk) return status;
    return GetField(context, index, out);
}

InfStatus InfFile::GetKeyValues(const std::wstring& section, const wchar_t* key,
                                std::vector<std::wstring>& list) const {
    list.clear();
    INFCONTEXT context;
    const InfStatus status = FindFirstLine(section, key, context);
    if (status != InfOk) return status;
    do {
        const DWORD fields = ::SetupGetFieldCount(&context);
        for (DWORD field = 1; field <= fields; ++field) {
            std::wstring value;
            const InfStatus fieldStatus = GetField(context, field, value);
            if (fieldStatus != InfOk) return fieldStatus;
            list.push_back(std::move(value));
        }
    } while (::SetupFindNextMatchLineW(&context, key, &context));
    return InfOk;
}

InfStatus InfFile::GetLineField(const std::wstring& section, DWORD index, int field, std::wstring& out) const {
    INFCONTEXT context;
    const InfStatus status = GetLineByIndex(section, index, context);
    if (status != InfOk) return status;
    if (field >= 0) return GetField(context, static_cast<DWORD>(field), out);
    out = LineText(context);
    return InfOk;
}

InfStatus InfFile::GetIntField(const std::wstring& section, DWORD index, DWORD field, int& value) const {
    INFCONTEXT context;
    const InfStatus status = GetLineByIndex(section, index, context);
    if (status != InfOk) return status;
    INT number = 0;
    if (!::SetupGetIntField(&context, field, &number)) {
        const DWORD error = ::GetLastError();
        // Wine leaves the last error unset for an index past the end.
        if (error == ERROR_INVALID_PARAMETER || error == ERROR_INVALID_DATA || error == ERROR_SUCCESS)
            return InfFieldMissing;
        QEL_RAISE();
    }
    // Flags are unsigned 32-bit values written in hex (0x80000040). Wine's
    // SetupGetIntField clamps what does not fit a signed int to INT_MAX, so
    // such a field is read again as the unsigned number it spells.
    if (number == INT_MAX || number == INT_MIN) {
        std::wstring text;
        if (GetField(context, field, text) == InfOk) {
            wchar_t* end = nullptr;
            const unsigned long long parsed = std::wcstoull(text.c_str(), &end, 0);
            if (end != text.c_str() && *end == L'\0' && parsed <= 0xFFFFFFFFull)
                number = static_cast<INT>(static_cast<uint32_t>(parsed));
        }
    }
    value = number;
    return InfOk;
}

InfStatus InfFile::GetBinaryField(const std::wstring& section, DWORD index, DWORD field,
                                  std::vector<BYTE>& bytes) const {
    INFCONTEXT context;
    const InfStatus status = GetLineByIndex(section, index, context);
    if (status != InfOk) return status;
    DWORD size = 0;
    if (!::SetupGetBinaryField(&context, field, nullptr, 0, &size)) QEL_RAISE();
    bytes.assign(size, 0);
    if (size > 0 && !::SetupGetBinaryField(&context, field, bytes.data(), size, &size)) QEL_RAISE();
    bytes.resize(size);
    return InfOk;
}

InfStatus InfFile::GetColumn(const std::wstring& section, int field, std::vector<std::wstring>& list) const {
    list.clear();
    long count = 0;
    const InfStatus status = GetLineCount(section, count);
    if (status != InfOk) return status;
    for (long position = 0; position < count; ++position) {
        std::wstring value;
        const InfStatus lineStatus = GetLineField(section, static_cast<DWORD>(position), field, value);
        if (lineStatus != InfOk) return lineStatus;
        list.push_back(std::move(value));
    }
    return InfOk;
}

void InfFile::GetTargetPath(const std::wstring& section, std::wstring& out) const {
    GetTargetPathAsNamed(Decorate(section), out);
}

namespace {
// The folder ids SetupAPI defines on its own: an absolute path (-1), the
// fixed system folders, the shell's special folders (16384 + CSIDL) and the
// printer folders. Anything else names no folder: SetupAPI either faults on
// it or makes up a folder named "unknown", and nothing the script says can
// be installed there.
bool IsDefinedFolderId(long long id) {
    switch (id) {
    case -1: case 1: case 10: case 11: case 12: case 17: case 18: case 20: case 21: case 23: case 24: case 25:
    case 30: case 50: case 51: case 52: case 53: case 54: case 55:
        return true;
    default:
        return (id >= 16384 && id <= 16384 + 0xFF) || (id >= 66000 && id <= 66004);
    }
}
}  // namespace

void InfFile::CheckFolderId(const std::wstring& name) const {
    INFCONTEXT context;
    std::wstring entry = name;  // the entry whose line gives the folder
    if (!::SetupFindFirstLineW(handle_.Get(), L"DestinationDirs", entry.c_str(), &context)) {
        entry = L"DefaultDestDir";
        if (!::SetupFindFirstLineW(handle_.Get(), L"DestinationDirs", entry.c_str(), &context))
            return;  // SetupAPI's own default folder
    }
    std::wstring text;
    if (GetField(context, 1, text) != InfOk) text.clear();
    wchar_t* end = nullptr;
    const long long id = std::wcstoll(text.c_str(), &end, 0);
    if (!text.empty() && *end == L'\0' && IsDefinedFolderId(id)) return;
    const std::wstring fault =
        FormatText(L"[%s] names the folder id '%s', which Windows does not define", name.c_str(), text.c_str());
    ScriptPlace place(ScriptFault::UndefinedFolderId, path_, L"the entry for " + fault);
    place.section = L"DestinationDirs";
    place.key = entry;
    place.names = name;
    QEL_RAISE_AT(std::move(place), L"[DestinationDirs] of " + fault, ERROR_INVALID_DATA);
}

void InfFile::GetTargetPathAsNamed(const std::wstring& name, std::wstring& out) const {
    out.clear();
    CheckFolderId(name);
    DWORD size = 0;
    if (!::SetupGetTargetPathW(handle_.Get(), nullptr, name.c_str(), nullptr, 0, &size)) QEL_RAISE();
    std::wstring buffer(size, L'\0');
    if (!::SetupGetTargetPathW(handle_.Get(), nullptr, name.c_str(), &buffer[0], size, nullptr)) QEL_RAISE();
    buffer.resize(size > 0 ? size - 1 : 0);
    // A folder given as a path (id -1) that is not a full one would be
    // taken from whatever folder is current.
    if (!IsAbsolutePath(buffer)) {
        INFCONTEXT context;
        const std::wstring fault =
            FormatText(L"[%s] names the folder '%s', which is not a full path", name.c_str(), buffer.c_str());
        ScriptPlace place(ScriptFault::InvalidKey, path_, L"the entry for " + fault);
        place.section = L"DestinationDirs";
        place.key = ::SetupFindFirstLineW(handle_.Get(), L"DestinationDirs", name.c_str(), &context) ? name
                                                                                                       : L"DefaultDestDir";
        place.names = name;
        QEL_RAISE_AT(std::move(place), L"[DestinationDirs] of " + fault, 0);
    }
    out.swap(buffer);
}

bool InfFile::AskSourceFileLocation(const std::wstring& fileName, const std::wstring& reportedName, UINT& sourceId,
                                    std::wstring& subFolder) const {
    DWORD size = 0;
    UINT id = 0;
    if (!::SetupGetSourceFileLocationW(handle_.Get(), nullptr, fileName.c_str(), &id, nullptr, 0, &size))
        return false;
    if (size == 0) size = 1;
    std::wstring buffer(size, L'\0');
    if (!::SetupGetSourceFileLocationW(handle_.Get(), nullptr, fileName.c_str(), &id, &buffer[0], size, nullptr))
        QEL_RAISE(reportedName, ::GetLastError());
    buffer.resize(size > 0 ? size - 1 : 0);
    sourceId = id;
    subFolder.swap(buffer);
    return true;
}

InfFile::SourceFileIndex& InfFile::SourceFiles() const {
    if (sourceFiles_) return *sourceFiles_;
    auto index = std::make_unique<SourceFileIndex>();
    // SetupAPI reads the x64 platform's section first and the plain one for
    // the names it lacks; another decoration it may know of is left to it.
    for (const wchar_t* other : {L"SourceDisksFiles.NTamd64", L"SourceDisksFiles.NT"})
        if (SectionExists(other)) index->usable = false;
    for (const wchar_t* section : {L"SourceDisksFiles.amd64", L"SourceDisksFiles"}) {
        INFCONTEXT context;
        if (!index->usable || !::SetupFindFirstLineW(handle_.Get(), section, nullptr, &context)) continue;
        do {
            std::wstring name;
            // A line without a key is never found by name.
            if (GetField(context, 0, name) != InfOk) continue;
            if (!IsAsciiText(name)) {
                index->usable = false;
                break;
            }
            const std::wstring lowered = AsciiLowercase(name);
            if (index->placementOfName.count(lowered) != 0) continue;  // the first line of a name is found
            // A missing field and an empty one are told apart.
            std::wstring fields = section;
            for (DWORD field : {1u, 2u}) {
                std::wstring value;
                fields += GetField(context, field, value) == InfOk ? L"\n=" + value : L"\n-";
            }
            auto placement = index->placementOfFields.find(fields);
            if (placement == index->placementOfFields.end()) {
                placement = index->placementOfFields.emplace(fields, index->placements.size()).first;
                index->placements.emplace_back();
                index->placements.back().firstName = name;
            }
            index->placementOfName.emplace(lowered, placement->second);
        } while (::SetupFindNextLine(&context, &context));
    }
    sourceFiles_ = std::move(index);
    return *sourceFiles_;
}

bool InfFile::GetSourceFileLocation(const std::wstring& fileName, UINT& sourceId, std::wstring& subFolder) const {
    SourceFileIndex& index = SourceFiles();
    if (!index.usable || !IsAsciiText(fileName))
        return AskSourceFileLocation(fileName, fileName, sourceId, subFolder);
    const auto found = index.placementOfName.find(AsciiLowercase(fileName));
    if (found == index.placementOfName.end()) return false;
    SourcePlacement& placement = index.placements[found->second];
    if (!placement.asked) {
        placement.listed = AskSourceFileLocation(placement.firstName, fileName, placement.sourceId, placement.subFolder);
        placement.asked = true;
    }
    if (!placement.listed) return false;
    sourceId = placement.sourceId;
    subFolder = placement.subFolder;
    return true;
}

void InfFile::GetSourceDisksFiles(std::vector<std::wstring>& list) const {
    if (GetColumn(L"SourceDisksFiles", 0, list) != InfOk) QEL_RAISE();
}

InfPlatform InfPlatformOfThisRun() {
    InfPlatform platform = RunningInfPlatform();
    const bool vistaRoad = SetupGetRunningWinVer() >= WinVerVista;
    if (vistaRoad && platform.major < 6) {
        platform.major = 6;
        platform.minor = 0;
        platform.build = 6000;
    } else if (!vistaRoad && platform.major >= 6) {
        platform.major = 5;  // XP x64 and Server 2003
        platform.minor = 2;
        platform.build = 3790;
    }
    return platform;
}

void InfFile::GetModelsSections(std::vector<std::wstring>& sections) const {
    sections = ModelsSectionsOf(handle_.Get(), InfPlatformOfThisRun(), Decorate(L"Manufacturer"));
}

void InfFile::GetModelHardwareIds(std::vector<std::wstring>& list) const {
    list.clear();
    std::vector<std::wstring> sections;
    GetModelsSections(sections);
    if (sections.empty())
        QEL_RAISE(FormatText(L"%s has no models section for %s", path_.c_str(),
                             DescribeInfPlatform(InfPlatformOfThisRun()).c_str()),
                  ERROR_NOT_SUPPORTED);
    for (const std::wstring& section : sections) {
        std::vector<std::wstring> ids;
        if (GetColumn(section, 2, ids) != InfOk) QEL_RAISE(section, 0);
        list.insert(list.end(), ids.begin(), ids.end());
    }
}

}  // namespace qel
