#include "KitScript.h"

#include "BasicException.h"
#include "KitOutput.h"
#include "Util.h"

#include <windows.h>

#include <cwctype>

namespace kit {
namespace {

struct CommandInfo {
    const wchar_t* word;
    Command command;
};
constexpr CommandInfo kCommands[] = {
    {L"install", Command::Install},
    {L"apponly_install", Command::AppOnlyInstall},
    {L"driveronly_install", Command::DriverOnlyInstall},
    {L"upgrade", Command::Upgrade},
    {L"uninstall", Command::Uninstall},
};

std::wstring Lower(const std::wstring& text) { return qel::Lowercase(text); }

std::wstring Trim(const std::wstring& text) {
    size_t begin = 0, end = text.size();
    while (begin < end && std::iswspace(text[begin])) ++begin;
    while (end > begin && std::iswspace(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// The file's text: UTF-16 with its byte-order mark, UTF-8 with its mark, or
// the system's code page, as SetupAPI takes a file without a mark.
bool ReadText(const std::wstring& path, std::wstring& text) {
    qel::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    std::string bytes;
    char chunk[4096];
    DWORD read = 0;
    while (::ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) bytes.append(chunk, read);
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        text.assign(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / sizeof(wchar_t));
        return true;
    }
    UINT codePage = CP_ACP;
    if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        bytes.erase(0, 3);
        codePage = CP_UTF8;
    }
    text.clear();
    if (bytes.empty()) return true;
    const int size = ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    text.resize(static_cast<size_t>(size));
    ::MultiByteToWideChar(codePage, 0, bytes.data(), static_cast<int>(bytes.size()), &text[0], size);
    return true;
}

// One logical line of INF text: comments cut, continued lines joined, the
// key split off and the values split at commas outside quotes.
struct Parsed {
    bool blank = true;
    bool header = false;
    std::wstring section;
    bool hasKey = false;
    std::wstring key;
    std::vector<std::wstring> values;
};

Parsed ParseLine(const std::wstring& raw) {
    Parsed parsed;
    const std::wstring trimmed = Trim(raw);
    if (trimmed.empty() || trimmed[0] == L';') return parsed;
    parsed.blank = false;
    if (trimmed[0] == L'[') {
        const size_t close = trimmed.find(L']');
        parsed.header = true;
        parsed.section = Trim(trimmed.substr(1, close == std::wstring::npos ? std::wstring::npos : close - 1));
        return parsed;
    }
    std::vector<std::wstring> fields{L""};
    bool quoted = false;
    for (size_t i = 0; i < raw.size(); ++i) {
        const wchar_t c = raw[i];
        if (c == L'"') {
            if (quoted && i + 1 < raw.size() && raw[i + 1] == L'"') {
                fields.back() += L'"';
                ++i;
            } else {
                quoted = !quoted;
            }
        } else if (!quoted && c == L';') {
            break;
        } else if (!quoted && c == L'=' && !parsed.hasKey) {
            parsed.hasKey = true;
            parsed.key = Trim(fields.back());
            fields.back().clear();
        } else if (!quoted && c == L',') {
            fields.push_back(L"");
        } else {
            fields.back() += c;
        }
    }
    for (std::wstring& field : fields) parsed.values.push_back(Trim(field));
    return parsed;
}

// A line whose last character before any comment is a backslash goes on in
// the next line.
bool Continues(const std::wstring& raw) {
    bool quoted = false;
    size_t last = std::wstring::npos;
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == L'"') quoted = !quoted;
        if (!quoted && raw[i] == L';') break;
        if (!std::iswspace(raw[i])) last = i;
    }
    return last != std::wstring::npos && raw[last] == L'\\';
}

}  // namespace

bool SameName(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

bool ParseCommand(const std::wstring& word, Command& command) {
    for (const CommandInfo& info : kCommands) {
        if (::lstrcmpiW(word.c_str(), info.word) == 0) {
            command = info.command;
            return true;
        }
    }
    return false;
}

const wchar_t* CommandWord(Command command) {
    for (const CommandInfo& info : kCommands)
        if (info.command == command) return info.word;
    return L"";
}

bool IsInstallCommand(Command command) {
    return command == Command::Install || command == Command::AppOnlyInstall || command == Command::DriverOnlyInstall;
}

const wchar_t* ScriptName(Command command) {
    return command == Command::DriverOnlyInstall ? L"qelwlsd.ini" : L"qelwls.ini";
}

OpenResult OpenPackage(const std::wstring& folderArgument, Command command, Package& package, std::wstring& error) {
    std::wstring folder = folderArgument;
    if (folder.empty()) qel::GetModuleDirectory(nullptr, folder);
    if (qel::GetFullPath(folder, package.folder) != 0 || !qel::IsDirectory(package.folder)) {
        error = L"no such folder: " + folderArgument;
        return OpenResult::NoFolder;
    }
    package.scriptPath = qel::JoinPath(package.folder, ScriptName(command));
    if (!qel::FileExists(package.scriptPath) || qel::IsDirectory(package.scriptPath)) {
        error = L"no setup script " + package.scriptPath;
        return OpenResult::NoScript;
    }
    try {
        package.script.Open(package.scriptPath, qel::GetUILanguage());
    } catch (const qel::BasicException& e) {
        error = Format(L"the setup script %s cannot be read (error 0x%08x)", package.scriptPath.c_str(),
                       static_cast<unsigned>(e.Error()));
        return OpenResult::Unreadable;
    }
    return OpenResult::Ok;
}

bool OpenPackageOrSay(const std::wstring& folderArgument, Command command, Package& package, int& exitCode) {
    std::wstring error;
    const OpenResult opened = OpenPackage(folderArgument, command, package, error);
    if (opened == OpenResult::Ok) return true;
    Err(L"qelkit: " + error + L"\n");
    exitCode = opened == OpenResult::NoFolder ? 2 : 1;
    return false;
}

qel::RunContext PrepareHandlers(const std::wstring& folderArgument, Command command) {
    qel::RunContext context;
    qel::GetModuleDirectory(nullptr, context.workingDir);
    context.scriptDirArg = folderArgument;
    context.skipDriverInf = command == Command::AppOnlyInstall;
    return context;
}

bool ParseRoad(const std::wstring& word, Road& road) {
    if (word == L"xp") road = Road::BeforeVista;
    else if (word == L"vista") road = Road::VistaOrLater;
    else if (word == L"this") road = Road::Running;
    else return false;
    return true;
}

void SelectRoad(Road road) {
    qel::AssumeRunningWinVer(road == Road::BeforeVista    ? qel::WinVerXP
                             : road == Road::VistaOrLater ? qel::WinVerVista
                                                          : qel::WinVerUnsupported);
}

const wchar_t* RoadName(Road road) {
    switch (road) {
    case Road::BeforeVista: return L"before Vista";
    case Road::VistaOrLater: return L"Vista and later";
    default: return L"this Windows";
    }
}

std::vector<std::wstring> CommandSections(Command command, const std::vector<std::wstring>& extra) {
    if (IsInstallCommand(command)) {
        std::vector<std::wstring> sections{L"Install"};
        sections.insert(sections.end(), extra.begin(), extra.end());
        return sections;
    }
    if (command == Command::Upgrade) return {L"Upgrade"};
    return {L"Uninstall", L"UninstPart", L"PostUninstPart"};
}

bool ScriptText::Load(const std::wstring& path) {
    path_ = path;
    sections_.clear();
    index_.clear();
    std::wstring text;
    if (!ReadText(path, text)) return false;
    Section* current = nullptr;
    std::wstring pending;  // a line continued with a backslash
    int pendingNumber = 0;
    int number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring raw = text.substr(start, end - start);
        start = end + 1;
        ++number;
        if (!raw.empty() && raw.back() == L'\r') raw.pop_back();
        if (Continues(raw)) {
            const size_t slash = raw.find_last_of(L'\\');
            if (pending.empty()) pendingNumber = number;
            pending += raw.substr(0, slash);
            if (start <= text.size()) continue;
            raw.clear();
        }
        const int lineNumber = pending.empty() ? number : pendingNumber;
        const Parsed parsed = ParseLine(pending + raw);
        pending.clear();
        if (parsed.blank) continue;
        if (parsed.header) {
            const std::wstring key = Lower(parsed.section);
            const auto found = index_.find(key);
            if (found == index_.end()) {
                index_[key] = sections_.size();
                sections_.push_back(Section{parsed.section, lineNumber, {}});
                current = &sections_.back();
            } else {
                // A section written twice is one section: its lines are added.
                current = &sections_[found->second];
            }
            continue;
        }
        if (!current) continue;  // lines before the first section are not read
        current->lines.push_back(Line{lineNumber, parsed.hasKey, parsed.key, parsed.values});
    }
    return true;
}

const ScriptText::Section* ScriptText::Find(const std::wstring& name) const {
    const auto found = index_.find(Lower(name));
    return found == index_.end() ? nullptr : &sections_[found->second];
}

const ScriptText::Section* ScriptText::Decorated(const std::wstring& name) const {
    std::wstring tried = name;
    const Section* chosen = Find(name);
    // The reader prefers X.amd64, then X.amd64.amd64, and so on.
    for (int depth = 0; depth < 8; ++depth) {
        tried += L".amd64";
        const Section* decorated = Find(tried);
        if (!decorated) break;
        chosen = decorated;
    }
    return chosen;
}

int ScriptText::LineOf(const std::wstring& section, size_t index) const {
    const Section* found = Decorated(section);
    if (!found || index >= found->lines.size()) return 0;
    return found->lines[index].number;
}

const ScriptText::Line* ScriptText::LineWithKey(const std::wstring& section, const std::wstring& key,
                                                const std::wstring& value) const {
    const Section* found = Decorated(section);
    if (!found) return nullptr;
    const Line* first = nullptr;
    for (const Line& line : found->lines) {
        if (!line.hasKey || !SameName(line.key, key)) continue;
        if (value.empty()) return &line;
        if (!first) first = &line;
        for (const std::wstring& each : line.values)
            if (SameName(each, value)) return &line;
    }
    return first;
}

int ScriptText::KeyLine(const std::wstring& section, const std::wstring& key, const std::wstring& value) const {
    const Line* line = LineWithKey(section, key, value);
    return line ? line->number : 0;
}

}  // namespace kit
