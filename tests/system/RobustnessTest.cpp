// Mutated setup scripts through the real qelwls64.exe. Each case starts from
// a known machine state, breaks one of two working packages in a few ways at
// once (lines deleted, doubled or swapped, a cut at a random byte, random and
// NUL bytes, 100,000-character lines, sections that name themselves,
// sub-installs that name their own script, numbers and folder ids out of
// range, %strings% left open or expanding to very long paths, UTF-16 text, an
// edited uninstall log) and runs one command on it. Whatever the script holds,
// every run must end with a defined result on all three channels, and a run
// that fails must leave files and registry exactly as it found them.
//
// Cases are numbered; the number alone rebuilds a case. QEL_FUZZ_CASES=<n>
// runs n cases instead of the CI count (from case QEL_FUZZ_FIRST=<f> on),
// QEL_FUZZ_CASE=<k> runs case k only,
// and QEL_FUZZ_VERBOSE=1 prints each case's mutations and result (for a single
// case also its status lines, diagnostic log and scripts).
#include "PackageFixture.h"

#include "Handles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <random>
#include <regex>
#include <set>

using namespace qeltest;

namespace {

// About one case in ten ends in success and sleeps 2 s per transaction in
// the clean-up; the rest end in a quarter to half a second. On 2 idle cores
// 240 cases take about three minutes (the test prints its own figures); on a
// loaded machine the time bound stops the loop first.
constexpr int kCiCases = 240;
constexpr double kCiSeconds = 190;
constexpr uint32_t kSeed = 0x51E1D5u;
constexpr DWORD kRunTimeoutMs = 120000;

constexpr wchar_t kOwnDest[] = L"C:\\qeltests\\robust_dest";
constexpr wchar_t kOwnKey[] = L"Software\\QelRobust";
constexpr wchar_t kSessionManager[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";

// ---------------------------------------------------------------------------
// The two packages.

// A package of its own: three files and a counted library into
// C:\qeltests\robust_dest, one file that is only replaced at the next restart,
// an old file it deletes, registry values it deletes and writes under
// HKLM\Software\QelRobust, and a sub-install that holds a sub-install.
const std::string kOwnScript = Script(
    "[Setup]\r\n"
    "UninstallLog=%24%\\qeltests\\robust_dest\\Uninstall\\robust.log\r\n"
    "\r\n"
    "[Strings]\r\n"
    "DestName=\"robust_dest\"\r\n"
    "\r\n"
    "[SourceDisksNames]\r\n"
    "1=\"Robust disk\",,,\r\n"
    "2=\"Robust data\",,,data\r\n"
    "\r\n"
    "[SourceDisksFiles]\r\n"
    "app.txt=1\r\n"
    "lib.dat=1\r\n"
    "late.txt=1\r\n"
    "conf.txt=2\r\n"
    "\r\n"
    "[DestinationDirs]\r\n"
    "DefaultDestDir=24,\"qeltests\\%DestName%\"\r\n"
    "AppFiles=24,\"qeltests\\%DestName%\"\r\n"
    "OldFiles=24,\"qeltests\\%DestName%\"\r\n"
    "DataFiles=24,\"qeltests\\%DestName%\\data\"\r\n"
    "LateFiles=24,\"qeltests\\%DestName%\\late\"\r\n"
    "\r\n"
    "[Install]\r\n"
    "DriverInf=Driver\\qelwl.inf\r\n"
    "SubInstall=sub.ini,Install\r\n"
    "DelReg=OldValues\r\n"
    "DelFiles=OldFiles\r\n"
    "CopyFiles=AppFiles,DataFiles\r\n"
    "CopyFiles=LateFiles\r\n"
    "AddReg=Values\r\n"
    "UninstallLog=\r\n"
    "\r\n"
    "[OldFiles]\r\n"
    "old.txt\r\n"
    "\r\n"
    "[AppFiles]\r\n"
    "app.txt,,,0x4\r\n"
    "lib.dat,,,0x80000004\r\n"
    "\r\n"
    "[DataFiles]\r\n"
    "conf.txt,,,0x4\r\n"
    "\r\n"
    "; Replaced at the next restart, as for a file in use.\r\n"
    "[LateFiles]\r\n"
    "late.txt,,,0xC\r\n"
    "\r\n"
    "[OldValues]\r\n"
    "HKLM,Software\\QelRobust,Gone,2\r\n"
    "HKLM,Software\\QelRobust\\Tree,,2\r\n"
    "\r\n"
    "[Values]\r\n"
    "HKLM,Software\\QelRobust,Path,0,\"%24%\\qeltests\\%DestName%\",,0\r\n"
    "HKLM,Software\\QelRobust,Count,0x10001,0x103,,0\r\n"
    "HKLM,Software\\QelRobust,Kept,2,new,,0\r\n"
    "HKLM,Software\\QelRobust,List,0x10008,b,,0\r\n"
    "HKLM,Software\\QelRobust,Number,0x10001,9,,0\r\n"
    "HKLM,Software\\QelRobust\\Settings,Name,0,\"%DestName%\",,1\r\n"
    "hkcu,Software\\QelRobust,User,0,x,,0\r\n");

// The sub-install; `nested` gives it a sub-install of its own.
std::string OwnSubScript(bool nested) {
    return Script(
    "[SourceDisksNames]\r\n"
    "1=\"Robust sub\",,,sub\r\n"
    "\r\n"
    "[SourceDisksFiles]\r\n"
    "subfile.txt=1\r\n"
    "\r\n"
    "[DestinationDirs]\r\n"
    "SubFiles=24,\"qeltests\\robust_dest\\sub\"\r\n"
    "\r\n"
    "[Install]\r\n" +
    std::string(nested ? "SubInstall=inner.ini,Install\r\n" : "") +
    "CopyFiles=SubFiles\r\n"
    "AddReg=SubValues\r\n"
    "\r\n"
    "[SubFiles]\r\n"
    "subfile.txt,,,0x4\r\n"
    "\r\n"
    "[SubValues]\r\n"
    "HKLM,Software\\QelRobust\\Sub,Level,0x10001,1,,0\r\n");
}

const std::string kOwnInnerScript = Script(
    "[SourceDisksNames]\r\n"
    "1=\"Robust inner\",,,sub\\inner\r\n"
    "\r\n"
    "[SourceDisksFiles]\r\n"
    "inner.txt=1\r\n"
    "\r\n"
    "[DestinationDirs]\r\n"
    "InnerFiles=24,\"qeltests\\robust_dest\\sub\\inner\"\r\n"
    "\r\n"
    "[Install]\r\n"
    "CopyFiles=InnerFiles\r\n"
    "AddReg=InnerValues\r\n"
    "\r\n"
    "[InnerFiles]\r\n"
    "inner.txt,,,0x4\r\n"
    "\r\n"
    "[InnerValues]\r\n"
    "HKLM,Software\\QelRobust\\Inner,Level,0x10001,2,,0\r\n");

// A sub-install for the sample's tools script to nest.
const std::string kNestedScript = Script(
    "[SourceDisksNames]\r\n"
    "1=\"nested\",,,tools\r\n"
    "[SourceDisksFiles]\r\n"
    "qeltool.txt=1\r\n"
    "[DestinationDirs]\r\n"
    "NestedFiles=16422,\"Qel Wireless\\Tools\\Nested\"\r\n"
    "[Install]\r\n"
    "CopyFiles=NestedFiles\r\n"
    "AddReg=NestedValues\r\n"
    "[NestedFiles]\r\n"
    "qeltool.txt,,,0x4\r\n"
    "[NestedValues]\r\n"
    "HKLM,\"SOFTWARE\\Qel\\Wireless\\Nested\",Level,0x10001,3,,0\r\n");

enum class Road { OwnInstall, SampleInstall, SampleUpgrade, SampleUninstall };

const char* RoadName(Road road) {
    switch (road) {
    case Road::OwnInstall: return "own apponly_install";
    case Road::SampleInstall: return "sample apponly_install";
    case Road::SampleUpgrade: return "sample upgrade";
    case Road::SampleUninstall: return "sample uninstall";
    }
    return "?";
}

bool IsInstallRoad(Road road) { return road == Road::OwnInstall || road == Road::SampleInstall; }

// ---------------------------------------------------------------------------
// Machine state: files with their bytes, registry keys and values, and the
// entries of a few system folders.

struct WatchedKey {
    HKEY root;
    const wchar_t* rootName;
    std::wstring subkey;
    REGSAM view;
    std::vector<std::wstring> onlyValues;  // when set: these values of the key, not the key
};

std::vector<WatchedKey> WatchedKeys() {
    std::vector<WatchedKey> keys;
    for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) {
        keys.push_back({HKEY_LOCAL_MACHINE, L"HKLM", kOwnKey, view, {}});
        keys.push_back({HKEY_LOCAL_MACHINE, L"HKLM", L"SOFTWARE\\Qel", view, {}});
        keys.push_back({HKEY_LOCAL_MACHINE, L"HKLM", kUninstallEntry, view, {}});
        keys.push_back({HKEY_LOCAL_MACHINE, L"HKLM", kSharedDllsKey, view, {}});
    }
    keys.push_back({HKEY_CURRENT_USER, L"HKCU", kOwnKey, 0, {}});
    keys.push_back({HKEY_LOCAL_MACHINE, L"HKLM", kSessionManager, KEY_WOW64_64KEY,
                    {L"PendingFileRenameOperations", L"PendingFileRenameOperations2"}});
    return keys;
}

std::wstring KeyLabel(const WatchedKey& watched, const std::wstring& relative) {
    std::wstring label = std::wstring(watched.rootName) + (watched.view == KEY_WOW64_32KEY ? L"(32)\\" : L"\\");
    return label + watched.subkey + relative;
}

// "key:<path>" for each key, "val:<path>|<name>" -> type and bytes.
using RegistrySnapshot = std::map<std::wstring, std::string>;

std::string ValueBytes(DWORD type, const std::vector<BYTE>& data) {
    return std::to_string(type) + ":" + std::string(data.begin(), data.end());
}

void AddKeyBelow(HKEY root, const std::wstring& path, REGSAM view, const std::wstring& label,
                 RegistrySnapshot& snapshot) {
    qel::UniqueKey key;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | view, key.Put()) != ERROR_SUCCESS) return;
    snapshot[L"key:" + label] = "";
    for (DWORD index = 0;; ++index) {
        wchar_t name[16384];
        DWORD nameLength = 16384, type = 0, size = 0;
        if (::RegEnumValueW(key.Get(), index, name, &nameLength, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
            break;
        std::vector<BYTE> data(size);
        nameLength = 16384;
        ::RegEnumValueW(key.Get(), index, name, &nameLength, nullptr, &type, data.data(), &size);
        data.resize(size);
        snapshot[L"val:" + label + L"|" + std::wstring(name, nameLength)] = ValueBytes(type, data);
    }
    std::vector<std::wstring> subkeys;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        if (::RegEnumKeyExW(key.Get(), index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subkeys.emplace_back(name, nameLength);
    }
    for (const std::wstring& subkey : subkeys)
        AddKeyBelow(root, path + L"\\" + subkey, view, label + L"\\" + subkey, snapshot);
}

RegistrySnapshot SnapshotRegistry(const WatchedKey& watched) {
    RegistrySnapshot snapshot;
    if (watched.onlyValues.empty()) {
        AddKeyBelow(watched.root, watched.subkey, watched.view, KeyLabel(watched, L""), snapshot);
        return snapshot;
    }
    for (const std::wstring& name : watched.onlyValues) {
        const RegValue value = ReadRegValue(watched.root, watched.subkey, name, watched.view);
        if (value.found) snapshot[L"val:" + KeyLabel(watched, L"") + L"|" + name] = ValueBytes(value.type, value.data);
    }
    return snapshot;
}

// Makes the watched key hold exactly what `snapshot` recorded for it.
void RestoreRegistry(const WatchedKey& watched, const RegistrySnapshot& snapshot) {
    const std::wstring label = KeyLabel(watched, L"");
    if (watched.onlyValues.empty()) DeleteRegTree(watched.root, watched.subkey, watched.view);
    else
        for (const std::wstring& name : watched.onlyValues) DeleteRegValue(watched.root, watched.subkey, name, watched.view);
    for (const auto& [entry, bytes] : snapshot) {
        const bool isKey = entry.rfind(L"key:", 0) == 0;
        const std::wstring rest = entry.substr(4);
        const size_t bar = isKey ? rest.size() : rest.find(L'|');
        const std::wstring keyLabel = rest.substr(0, bar);
        const std::wstring subkey = watched.subkey + keyLabel.substr(label.size());
        qel::UniqueKey key;
        ::RegCreateKeyExW(watched.root, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | watched.view, nullptr,
                          key.Put(), nullptr);
        if (isKey) continue;
        const size_t colon = bytes.find(':');
        const DWORD type = static_cast<DWORD>(std::stoul(bytes.substr(0, colon)));
        const std::string data = bytes.substr(colon + 1);
        ::RegSetValueExW(key.Get(), rest.substr(bar + 1).c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                         static_cast<DWORD>(data.size()));
    }
}

// The folders the cases install to (deleted and rebuilt by a reset) and the
// package folders (restored file by file).
std::vector<std::wstring> DestinationFolders() {
    return {kAppFolder, kSharedFolder, kOwnDest, std::wstring(kAppFolder) + L"\\Uninstall"};
}

// Top-level entries of system folders: where a run must not leave stray files.
std::vector<std::wstring> ListedFolders() {
    return {L"C:", L"C:\\Program Files", L"C:\\Program Files\\Common Files", L"C:\\windows",
            L"C:\\windows\\system32", L"C:\\qeltests", L"C:\\Program Files (x86)"};
}

struct MachineState {
    FileSnapshot files;           // below the destination and package folders, with bytes
    RegistrySnapshot registry;    // all watched keys
    std::set<std::wstring> files0;  // top-level files of the listed folders
    std::set<std::wstring> entries; // top-level files and folders of the listed folders
};

// Files below a folder with their bytes, except the program itself (8 MB
// that no script can name).
void AddFilesBelowExceptProgram(const std::wstring& folder, FileSnapshot& snapshot) {
    WIN32_FIND_DATAW found;
    qel::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L".." || ::lstrcmpiW(name.c_str(), L"qelwls64.exe") == 0) continue;
        const std::wstring path = folder + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            AddFilesBelowExceptProgram(path, snapshot);
        else
            snapshot[path] = ReadFileBytes(path);
    } while (::FindNextFileW(find.Get(), &found));
}

// The shared Programs folder of the Start menu (folder id 16407).
constexpr wchar_t kStartMenuPrograms[] = L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs";

struct Machine {
    std::wstring samplePackage;
    std::wstring ownPackage;
    // Top-level files of the listed folders before the first run: the files
    // a run adds there (the applet in the system folder, say) are kept with
    // their bytes.
    std::set<std::wstring> pristine;

    MachineState Snapshot() const {
        MachineState state;
        for (const std::wstring& folder : {std::wstring(kAppFolder), std::wstring(kSharedFolder),
                                           std::wstring(kOwnDest), std::wstring(kStartMenuPrograms), samplePackage,
                                           ownPackage})
            AddFilesBelowExceptProgram(folder, state.files);
        for (const WatchedKey& watched : WatchedKeys()) {
            const RegistrySnapshot part = SnapshotRegistry(watched);
            state.registry.insert(part.begin(), part.end());
        }
        for (const std::wstring& folder : ListedFolders()) {
            WIN32_FIND_DATAW found;
            qel::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
            if (!find) continue;
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                const std::wstring path = Lower(folder + L"\\" + name);
                state.entries.insert(path);
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
                state.files0.insert(path);
                if (!pristine.empty() && !pristine.count(path))
                    state.files[folder + L"\\" + name] = ReadFileBytes(folder + L"\\" + name);
            } while (::FindNextFileW(find.Get(), &found));
        }
        return state;
    }

    // Puts the machine back into `base`, from whatever state `now` it is in.
    void Restore(const MachineState& base, const MachineState& now) const {
        for (const wchar_t* pattern : {L"C:\\windows\\qel*.tmp", L"C:\\windows\\qelwls-*.run"})
            for (const std::wstring& name : Find(pattern)) ::DeleteFileW((L"C:\\windows\\" + name).c_str());
        for (const std::wstring& entry : now.entries)
            if (!base.entries.count(entry)) {
                ::SetFileAttributesW(entry.c_str(), FILE_ATTRIBUTE_NORMAL);
                if (!::DeleteFileW(entry.c_str())) DeleteTree(entry);
            }
        for (const wchar_t* folder : {kAppFolder, kSharedFolder, kOwnDest}) DeleteTree(folder);
        for (const auto& [path, bytes] : now.files)
            if (!base.files.count(path)) ::DeleteFileW(path.c_str());
        for (const auto& [path, bytes] : base.files) {
            const auto current = now.files.find(path);
            if (current == now.files.end() || current->second != bytes || !PathExists(path)) WriteFileBytes(path, bytes);
        }
        if (now.registry != base.registry) {
            for (const WatchedKey& watched : WatchedKeys()) {
                RegistrySnapshot part;
                const std::wstring label = KeyLabel(watched, L"");
                for (const auto& [entry, bytes] : base.registry) {
                    const std::wstring rest = entry.substr(4);
                    if (rest.compare(0, label.size(), label) == 0 &&
                        (rest.size() == label.size() || rest[label.size()] == L'\\' || rest[label.size()] == L'|'))
                        part[entry] = bytes;
                }
                RestoreRegistry(watched, part);
            }
        }
    }

    static std::wstring Lower(std::wstring text) {
        for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
        return text;
    }

    static std::vector<std::wstring> Find(const std::wstring& pattern) {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW found;
        qel::UniqueFindHandle find(::FindFirstFileW(pattern.c_str(), &found));
        if (!find) return names;
        do names.push_back(found.cFileName);
        while (::FindNextFileW(find.Get(), &found));
        return names;
    }
};

std::string Short(const std::wstring& text, size_t limit = 160) {
    std::string bytes = Utf8(text);
    if (bytes.size() > limit) bytes = bytes.substr(0, limit) + "...(" + std::to_string(bytes.size()) + " bytes)";
    return bytes;
}

// What differs between two states, at most a few lines of it.
std::vector<std::string> Differences(const MachineState& before, const MachineState& after) {
    std::vector<std::string> lines;
    for (const auto& [path, bytes] : before.files) {
        const auto now = after.files.find(path);
        if (now == after.files.end()) lines.push_back("file lost: " + Short(path));
        else if (now->second != bytes) lines.push_back("file changed: " + Short(path));
    }
    for (const auto& [path, bytes] : after.files)
        if (!before.files.count(path)) lines.push_back("file left: " + Short(path));
    for (const auto& [entry, bytes] : before.registry) {
        const auto now = after.registry.find(entry);
        if (now == after.registry.end()) lines.push_back("registry lost: " + Short(entry));
        else if (now->second != bytes) lines.push_back("registry changed: " + Short(entry));
    }
    for (const auto& [entry, bytes] : after.registry)
        if (!before.registry.count(entry)) lines.push_back("registry left: " + Short(entry));
    for (const std::wstring& file : after.files0)
        if (!before.files0.count(file)) lines.push_back("stray file: " + Short(file));
    return lines;
}

// ---------------------------------------------------------------------------
// Script text, line by line, with the sections it is made of.

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            if (start < text.size()) lines.push_back(text.substr(start));
            break;
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    return text;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::string LowerA(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string HeaderName(const std::string& line) {
    const std::string trimmed = Trim(line);
    if (trimmed.size() < 2 || trimmed.front() != '[') return "";
    const size_t close = trimmed.find(']');
    return close == std::string::npos ? "" : trimmed.substr(1, close - 1);
}

bool IsContent(const std::string& line) {
    const std::string trimmed = Trim(line);
    return !trimmed.empty() && trimmed.front() != ';' && trimmed.front() != '[';
}

// Content lines of a section (by case-insensitive name).
std::vector<size_t> SectionLines(const std::vector<std::string>& lines, const std::string& section) {
    std::vector<size_t> found;
    bool inside = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string header = HeaderName(lines[i]);
        if (!header.empty()) inside = LowerA(header) == LowerA(section);
        else if (inside && IsContent(lines[i])) found.push_back(i);
    }
    return found;
}

// The sections that `key=` lines of `section` name.
std::vector<std::string> NamedSections(const std::vector<std::string>& lines, const std::string& section,
                                       const std::string& key) {
    std::vector<std::string> names;
    for (size_t i : SectionLines(lines, section)) {
        const std::string& line = lines[i];
        const size_t equals = line.find('=');
        if (equals == std::string::npos || LowerA(Trim(line.substr(0, equals))) != LowerA(key)) continue;
        const std::string list = line.substr(equals + 1);
        size_t start = 0;
        while (start <= list.size()) {
            size_t comma = list.find(',', start);
            if (comma == std::string::npos) comma = list.size();
            const std::string name = Trim(list.substr(start, comma - start));
            if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
            start = comma + 1;
        }
    }
    return names;
}

// The lines a run of `entry` reads: its own section, the sections its keys
// name, and the script-wide sections.
std::vector<size_t> RelevantLines(const std::vector<std::string>& lines, const std::string& entry) {
    std::set<std::string> sections{LowerA(entry), "setup", "strings", "destinationdirs", "sourcedisksnames",
                                   "sourcedisksfiles"};
    for (const char* key : {"CopyFiles", "DelFiles", "AddReg", "DelReg", "DelDirs"})
        for (const std::string& name : NamedSections(lines, entry, key)) sections.insert(LowerA(name));
    std::vector<size_t> found;
    bool inside = false;
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string header = HeaderName(lines[i]);
        if (!header.empty()) inside = sections.count(LowerA(header)) > 0;
        if (inside) found.push_back(i);
    }
    return found;
}

// Puts a line at the end of a section, making the section when it is missing.
void AddToSection(std::vector<std::string>& lines, const std::string& section, const std::string& line) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (LowerA(HeaderName(lines[i])) != LowerA(section)) continue;
        size_t at = i + 1;
        while (at < lines.size() && HeaderName(lines[at]).empty()) ++at;
        while (at > i + 1 && Trim(lines[at - 1]).empty()) --at;
        lines.insert(lines.begin() + static_cast<long>(at), line);
        return;
    }
    lines.push_back("[" + section + "]");
    lines.push_back(line);
}

// Puts a line first in a section, making the section when it is missing.
void AddToSectionStart(std::vector<std::string>& lines, const std::string& section, const std::string& line) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (LowerA(HeaderName(lines[i])) != LowerA(section)) continue;
        lines.insert(lines.begin() + static_cast<long>(i + 1), line);
        return;
    }
    lines.push_back("[" + section + "]");
    lines.push_back(line);
}

std::vector<std::string> SplitFields(const std::string& line) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        const size_t comma = line.find(',', start);
        fields.push_back(line.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return fields;
}

std::string JoinFields(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) line += (i ? "," : "") + fields[i];
    return line;
}

// ---------------------------------------------------------------------------
// The mutations of one case.

struct ScriptFile {
    std::wstring path;
    std::string text;
    std::string entrySection;  // where the road starts in this script
    std::string name;          // as a SubInstall names it, or a label
    int encoding = 0;          // 0 as written, 1 UTF-16LE with BOM, 2 without
    bool used = true;          // read by the run as the road stands
};

class Mutator {
public:
    Mutator(std::mt19937& rng, Road road, std::vector<ScriptFile>& files) : rng_(rng), road_(road), files_(files) {}

    // `count` mutations of any kind; then, with `lateFailurePercent`, a
    // mutation that fails the run at commit, so that the rollback has to
    // undo what the others made of the run.
    std::vector<std::string> Apply(int count, int lateFailurePercent) {
        for (int i = 0; i < count; ++i) {
            // A kind that finds nothing to change in the script picked changes
            // nothing; another is drawn.
            const size_t before = done_.size();
            for (int tries = 0; tries < 20 && done_.size() == before; ++tries) ApplyOne();
        }
        if (Pick(100) < lateFailurePercent) {
            if (Pick(2)) MissingSource();
            else LateRegistryFailure();
        }
        return done_;
    }

private:
    int Pick(int n) { return static_cast<int>(rng_() % static_cast<uint32_t>(n)); }
    template <class T>
    const T& PickOf(const std::vector<T>& items) { return items[static_cast<size_t>(Pick(static_cast<int>(items.size())))]; }

    bool IsLog(const ScriptFile& file) const { return file.name == "uninstall log"; }
    bool InUse(const ScriptFile& file) const { return file.used; }
    // The main script most often; the other scripts the run reads (sub-installs,
    // the uninstall log) now and then.
    ScriptFile& PickScript(bool scriptsOnly = false) {
        std::vector<ScriptFile*> others;
        for (size_t i = 1; i < files_.size(); ++i)
            if (InUse(files_[i]) && !(scriptsOnly && IsLog(files_[i]))) others.push_back(&files_[i]);
        if (others.empty() || Pick(3) != 0) return files_[0];
        return *PickOf(others);
    }
    ScriptFile& PickIni() { return PickScript(true); }
    ScriptFile* FindFile(const std::string& name) {
        for (ScriptFile& file : files_)
            if (file.name == name) return &file;
        return nullptr;
    }
    // A line the run reads, mostly; any line now and then.
    int PickLine(const ScriptFile& file, const std::vector<std::string>& lines) {
        if (!IsLog(file) && Pick(4) != 0) {
            const std::vector<size_t> relevant = RelevantLines(lines, file.entrySection);
            if (!relevant.empty()) return static_cast<int>(PickOf(relevant));
        }
        return Pick(static_cast<int>(lines.size()));
    }
    void Note(const ScriptFile& file, const std::string& what) { done_.push_back(file.name + ": " + what); }
    std::vector<std::string> Sections(const ScriptFile& file, const std::vector<std::string>& lines, const char* key) {
        return NamedSections(lines, file.entrySection, key);
    }

    void ApplyOne() {
        struct Kind {
            int weight;
            void (Mutator::*apply)();
        };
        std::vector<Kind> kinds{
            {8, &Mutator::DeleteLine},       {5, &Mutator::DuplicateLine},     {6, &Mutator::SwapLines},
            {5, &Mutator::HugeLine},         {4, &Mutator::SelfReference},     {4, &Mutator::SelfSubInstall},
            {4, &Mutator::NestedSubInstall}, {10, &Mutator::OutOfRangeNumber}, {8, &Mutator::FolderId},
            {5, &Mutator::OpenString},       {7, &Mutator::LongString},        {4, &Mutator::MissingSource},
            {3, &Mutator::LateRegistryFailure}, {4, &Mutator::FolderTarget},   {5, &Mutator::Truncate},
            {6, &Mutator::RandomBytes},      {4, &Mutator::NulBytes},          {4, &Mutator::Utf16},
        };
        if (road_ == Road::SampleUpgrade || road_ == Road::SampleUninstall) kinds.push_back({10, &Mutator::EditLog});
        int total = 0;
        for (const Kind& kind : kinds) total += kind.weight;
        int roll = Pick(total);
        for (const Kind& kind : kinds) {
            if (roll < kind.weight) {
                (this->*kind.apply)();
                return;
            }
            roll -= kind.weight;
        }
    }

    void DeleteLine() {
        ScriptFile& file = PickScript();
        std::vector<std::string> lines = SplitLines(file.text);
        if (lines.empty()) return;
        const int at = PickLine(file, lines);
        Note(file, "deleted line " + std::to_string(at + 1) + " '" + lines[at].substr(0, 60) + "'");
        lines.erase(lines.begin() + at);
        file.text = JoinLines(lines);
    }

    void DuplicateLine() {
        ScriptFile& file = PickScript();
        std::vector<std::string> lines = SplitLines(file.text);
        if (lines.empty()) return;
        const int at = PickLine(file, lines);
        Note(file, "duplicated line " + std::to_string(at + 1) + " '" + lines[at].substr(0, 60) + "'");
        lines.insert(lines.begin() + at, lines[at]);
        file.text = JoinLines(lines);
    }

    void SwapLines() {
        ScriptFile& file = PickScript();
        std::vector<std::string> lines = SplitLines(file.text);
        if (lines.size() < 2) return;
        const int a = PickLine(file, lines);
        const int b = Pick(2) ? PickLine(file, lines) : Pick(static_cast<int>(lines.size()));
        if (a == b) return;
        Note(file, "swapped lines " + std::to_string(a + 1) + " and " + std::to_string(b + 1));
        std::swap(lines[a], lines[b]);
        file.text = JoinLines(lines);
    }

    void HugeLine() {
        ScriptFile& file = PickIni();
        std::vector<std::string> lines = SplitLines(file.text);
        const std::string huge(100000, static_cast<char>('a' + Pick(26)));
        const std::vector<std::string> copySections = Sections(file, lines, "CopyFiles");
        const std::vector<std::string> regSections = Sections(file, lines, "AddReg");
        switch (Pick(6)) {
        case 0:
            AddToSection(lines, file.entrySection, "LongKey=" + huge);
            Note(file, "100k-character key line in [" + file.entrySection + "]");
            break;
        case 1:
            if (copySections.empty()) return;
            AddToSection(lines, copySections.front(), huge + ",,,0x4");
            Note(file, "100k-character file name in [" + copySections.front() + "]");
            break;
        case 2:
            AddToSection(lines, file.entrySection, ";" + huge);
            Note(file, "100k-character comment in [" + file.entrySection + "]");
            break;
        case 3:
            if (regSections.empty()) return;
            AddToSection(lines, regSections.front(), "HKLM,Software\\QelRobust,Huge,0,\"" + huge + "\",,0");
            Note(file, "100k-character registry value in [" + regSections.front() + "]");
            break;
        case 4:
            lines.insert(lines.begin() + Pick(static_cast<int>(lines.size()) + 1), "[" + huge + "]");
            Note(file, "100k-character section header");
            break;
        default:
            AddToSection(lines, file.entrySection, "CopyFiles=" + huge);
            Note(file, "CopyFiles naming a 100k-character section in [" + file.entrySection + "]");
            break;
        }
        file.text = JoinLines(lines);
    }

    // CopyFiles and DelFiles naming the section they are in, or the section
    // that also copies them.
    void SelfReference() {
        ScriptFile& file = PickIni();
        std::vector<std::string> lines = SplitLines(file.text);
        const std::vector<std::string> copySections = Sections(file, lines, "CopyFiles");
        const std::string key = Pick(2) ? "CopyFiles" : "DelFiles";
        std::string section = file.entrySection, target = file.entrySection;
        switch (Pick(3)) {
        case 0: break;
        case 1:
            if (copySections.empty()) return;
            section = target = PickOf(copySections);
            break;
        default:
            if (copySections.empty()) return;
            target = PickOf(copySections);
            break;
        }
        AddToSection(lines, section, key + "=" + target);
        Note(file, key + "=" + target + " in [" + section + "]");
        file.text = JoinLines(lines);
    }

    // SubInstall naming its own script and section, directly or through a
    // second section that names the first.
    void SelfSubInstall() {
        ScriptFile& file = PickIni();
        std::vector<std::string> lines = SplitLines(file.text);
        // First in the section: the values of all SubInstall lines of a
        // section make one list, whose first item names the script.
        if (Pick(2)) {
            AddToSectionStart(lines, file.entrySection, "SubInstall=" + file.name + "," + file.entrySection);
            Note(file, "SubInstall of its own script and section [" + file.entrySection + "]");
        } else {
            AddToSectionStart(lines, file.entrySection, "SubInstall=" + file.name + ",Loop");
            AddToSection(lines, "Loop", "SubInstall=" + file.name + "," + file.entrySection);
            Note(file, "SubInstall ping-pong between [" + file.entrySection + "] and [Loop]");
        }
        file.text = JoinLines(lines);
    }

    // One more level of sub-install below an existing one (or below the
    // entry section, on the roads that have none).
    void NestedSubInstall() {
        if (road_ == Road::OwnInstall) {
            ScriptFile& inner = *FindFile("inner.ini");
            ScriptFile& sub = *FindFile("sub.ini");
            if (!inner.used) {
                std::vector<std::string> lines = SplitLines(sub.text);
                AddToSectionStart(lines, "Install", "SubInstall=inner.ini,Install");
                sub.text = JoinLines(lines);
                inner.used = true;
                Note(sub, "SubInstall=inner.ini,Install inside the sub-install");
                if (Pick(2)) return;
            }
            // A third level: the innermost script takes in a section of the middle one.
            std::vector<std::string> lines = SplitLines(inner.text);
            AddToSectionStart(lines, "Install", "SubInstall=sub.ini,Extra");
            inner.text = JoinLines(lines);
            lines = SplitLines(sub.text);
            AddToSection(lines, "Extra", "CopyFiles=SubFiles");
            sub.text = JoinLines(lines);
            Note(inner, "SubInstall=sub.ini,Extra inside the nested sub-install");
            return;
        }
        ScriptFile& tools = *FindFile("tools.ini");
        if (!tools.used) {
            std::vector<std::string> lines = SplitLines(files_[0].text);
            AddToSectionStart(lines, files_[0].entrySection, "SubInstall=tools.ini,Install");
            files_[0].text = JoinLines(lines);
            tools.used = true;
            Note(files_[0], "SubInstall=tools.ini,Install in [" + files_[0].entrySection + "]");
        }
        std::vector<std::string> lines = SplitLines(tools.text);
        AddToSectionStart(lines, "Install", "SubInstall=nested.ini,Install");
        tools.text = JoinLines(lines);
        Note(tools, "SubInstall=nested.ini,Install inside the sub-install");
    }

    void OutOfRangeNumber() {
        ScriptFile& file = PickIni();
        std::vector<std::string> lines = SplitLines(file.text);
        static const std::vector<std::string> numbers{
            "0xFFFFFFFF", "0x100000000", "4294967296", "-1", "-2147483648", "-2147483649", "2147483647",
            "99999999999999999999", "0x7FFFFFFF", "0x80000000", "0xC", "0x1004", "0x8", "0x10", "0x400", "-0x4",
            "0x", "1e3", "", "0x40000004", "0xC0000004", "18446744073709551615"};
        const std::string number = PickOf(numbers);
        // A copy line's flags, a registry line's flags or number, a folder
        // removal's kind.
        std::vector<std::pair<size_t, size_t>> candidates;
        for (const std::string& section : Sections(file, lines, "CopyFiles"))
            for (size_t i : SectionLines(lines, section)) candidates.push_back({i, 3});
        for (const char* key : {"AddReg", "DelReg"})
            for (const std::string& section : Sections(file, lines, key))
                for (size_t i : SectionLines(lines, section)) {
                    candidates.push_back({i, 3});
                    if (SplitFields(lines[i]).size() > 4) candidates.push_back({i, 4});
                }
        for (const std::string& section : Sections(file, lines, "DelDirs"))
            for (size_t i : SectionLines(lines, section)) candidates.push_back({i, 1});
        if (candidates.empty()) return;
        const auto [line, field] = PickOf(candidates);
        std::vector<std::string> fields = SplitFields(lines[line]);
        while (fields.size() <= field) fields.push_back("");
        fields[field] = number;
        lines[line] = JoinFields(fields);
        Note(file, "field " + std::to_string(field + 1) + " of line " + std::to_string(line + 1) + " set to '" +
                       number + "'");
        file.text = JoinLines(lines);
    }

    void FolderId() {
        ScriptFile& file = PickIni();
        std::vector<std::string> lines = SplitLines(file.text);
        const std::vector<size_t> entries = SectionLines(lines, "DestinationDirs");
        if (entries.empty()) return;
        static const std::vector<std::string> ids{"-2",     "-3",         "-100",       "-2147483648", "0",
                                                  "99999",  "4294967295", "16640",      "65999",       "66005",
                                                  "0x7FFFFFFF", "-1",     "2147483647", "16422x",      "1e2"};
        const size_t line = PickOf(entries);
        const size_t equals = lines[line].find('=');
        if (equals == std::string::npos) return;
        std::vector<std::string> fields = SplitFields(lines[line].substr(equals + 1));
        const std::string id = PickOf(ids);
        fields[0] = id;
        lines[line] = lines[line].substr(0, equals + 1) + JoinFields(fields);
        Note(file, "[DestinationDirs] '" + lines[line].substr(0, equals) + "' folder id " + id);
        file.text = JoinLines(lines);
    }

    void OpenString() {
        ScriptFile& file = PickIni();
        std::vector<std::string> lines = SplitLines(file.text);
        std::vector<size_t> content;
        for (size_t i : RelevantLines(lines, file.entrySection))
            if (IsContent(lines[i])) content.push_back(i);
        if (content.empty()) return;
        const size_t line = PickOf(content);
        static const std::vector<std::string> opens{"%DestName", "%16422", "%", "%%%", "%Unknown%", "%24%%"};
        const std::string open = PickOf(opens);
        const size_t at = static_cast<size_t>(Pick(static_cast<int>(lines[line].size()) + 1));
        lines[line].insert(at, open);
        Note(file, "'" + open + "' put into line " + std::to_string(line + 1) + " at " + std::to_string(at));
        file.text = JoinLines(lines);
    }

    // A %string% whose value is a path of more than 4,096 or 32,767
    // characters, used where the script names a folder, a file or a key.
    void LongString() {
        ScriptFile& file = PickIni();
        std::vector<std::string> lines = SplitLines(file.text);
        const size_t length = Pick(2) ? 4200 : 33000;
        std::string path;
        while (path.size() < length)
            path += (path.empty() ? "" : "\\") + std::string(200, static_cast<char>('a' + Pick(26)));
        AddToSection(lines, "Strings", "LongPath=\"" + path + "\"");
        const std::vector<size_t> dirs = SectionLines(lines, "DestinationDirs");
        const std::vector<std::string> copySections = Sections(file, lines, "CopyFiles");
        const std::vector<std::string> regSections = Sections(file, lines, "AddReg");
        std::string where;
        switch (Pick(5)) {
        case 0: {
            if (dirs.empty()) return;
            const size_t line = PickOf(dirs);
            const size_t equals = lines[line].find('=');
            if (equals == std::string::npos) return;
            std::vector<std::string> fields = SplitFields(lines[line].substr(equals + 1));
            fields.resize(2);
            fields[1] = "\"%LongPath%\"";
            lines[line] = lines[line].substr(0, equals + 1) + JoinFields(fields);
            where = "as the folder of [DestinationDirs] line " + std::to_string(line + 1);
            break;
        }
        case 1:
            lines.erase(std::remove_if(lines.begin(), lines.end(),
                                       [](const std::string& l) { return l.rfind("UninstallLog=%", 0) == 0; }),
                        lines.end());
            AddToSection(lines, "Setup", "UninstallLog=%24%\\qeltests\\robust_dest\\%LongPath%\\x.log");
            where = "in the uninstall log path";
            break;
        case 2:
            if (copySections.empty()) return;
            AddToSection(lines, PickOf(copySections), "%LongPath%\\x.txt,readme.txt,,0x4");
            where = "as a copy target";
            break;
        case 3:
            if (regSections.empty()) return;
            AddToSection(lines, PickOf(regSections), "HKLM,Software\\QelRobust\\%LongPath%,V,0,x,,0");
            where = "as a registry key";
            break;
        default:
            if (regSections.empty()) return;
            AddToSection(lines, PickOf(regSections), "HKLM,Software\\QelRobust,Long,0,\"%LongPath%\",,0");
            where = "as a registry value";
            break;
        }
        Note(file, std::to_string(path.size()) + "-character %LongPath% " + where);
        file.text = JoinLines(lines);
    }

    // A source that is not there fails the file stage at that file.
    void MissingSource() {
        ScriptFile& file = PickIni();
        std::vector<std::string> lines = SplitLines(file.text);
        std::vector<size_t> copies;
        for (const std::string& section : Sections(file, lines, "CopyFiles"))
            for (size_t i : SectionLines(lines, section)) copies.push_back(i);
        if (copies.empty()) {
            AddToSection(lines, file.entrySection, "CopyFiles=LateCopy");
            AddToSection(lines, "LateCopy", "missing.txt,,,0x4");
            Note(file, "[" + file.entrySection + "] copies a missing file");
        } else {
            const size_t line = PickOf(copies);
            std::vector<std::string> fields = SplitFields(lines[line]);
            while (fields.size() < 2) fields.push_back("");
            fields[1] = "missing" + std::to_string(Pick(1000)) + ".txt";
            lines[line] = JoinFields(fields);
            Note(file, "line " + std::to_string(line + 1) + " copies a missing file");
        }
        file.text = JoinLines(lines);
    }

    // A registry line that is well formed but refused at commit, after the
    // files: text appended to a number.
    void LateRegistryFailure() {
        ScriptFile& file = PickIni();
        std::vector<std::string> lines = SplitLines(file.text);
        std::vector<std::string> regSections = Sections(file, lines, "AddReg");
        if (regSections.empty()) {
            AddToSection(lines, file.entrySection, "AddReg=LateValues");
            regSections.push_back("LateValues");
        }
        const std::string section = PickOf(regSections);
        AddToSection(lines, section, "HKLM,Software\\QelRobust,Number,0x10001,1,,0");
        AddToSection(lines, section, "HKLM,Software\\QelRobust,Number,8,text,,0");
        Note(file, "[" + section + "] ends with a line the commit refuses");
        file.text = JoinLines(lines);
    }

    void FolderTarget() {
        ScriptFile& file = PickIni();
        std::vector<std::string> lines = SplitLines(file.text);
        std::vector<size_t> copies;
        for (const std::string& section : Sections(file, lines, "CopyFiles"))
            for (size_t i : SectionLines(lines, section)) copies.push_back(i);
        if (copies.empty()) return;
        static const std::vector<std::string> folders{"Docs", "Help", "Uninstall", "Tools", "data", "sub", "late",
                                                      ".",    "..",   "Nested",    "inner"};
        const size_t line = PickOf(copies);
        std::vector<std::string> fields = SplitFields(lines[line]);
        const std::string folder = PickOf(folders);
        if (fields.size() < 2 || fields[1].empty()) {
            while (fields.size() < 2) fields.push_back("");
            fields[1] = Trim(fields[0]);
        }
        fields[0] = folder;
        lines[line] = JoinFields(fields);
        Note(file, "line " + std::to_string(line + 1) + " copies to the folder name '" + folder + "'");
        file.text = JoinLines(lines);
    }

    void Truncate() {
        ScriptFile& file = PickScript();
        if (file.text.empty()) return;
        const size_t at = static_cast<size_t>(Pick(static_cast<int>(file.text.size())));
        file.text.resize(at);
        Note(file, "cut at byte " + std::to_string(at));
    }

    void RandomBytes() {
        ScriptFile& file = PickScript();
        const size_t at = static_cast<size_t>(Pick(static_cast<int>(file.text.size()) + 1));
        std::string bytes;
        for (int i = 0, n = 1 + Pick(16); i < n; ++i) bytes.push_back(static_cast<char>(Pick(256)));
        file.text.insert(at, bytes);
        Note(file, std::to_string(bytes.size()) + " random bytes at " + std::to_string(at));
    }

    void NulBytes() {
        ScriptFile& file = PickScript();
        const size_t at = static_cast<size_t>(Pick(static_cast<int>(file.text.size()) + 1));
        const size_t count = 1 + static_cast<size_t>(Pick(3));
        file.text.insert(at, std::string(count, '\0'));
        Note(file, std::to_string(count) + " NUL bytes at " + std::to_string(at));
    }

    void Utf16() {
        ScriptFile& file = PickScript();
        if (file.encoding != 0) return;
        file.encoding = 1 + Pick(2);
        Note(file, file.encoding == 1 ? "UTF-16LE with BOM" : "UTF-16LE without BOM");
    }

    // The uninstall log an upgrade or uninstall replays.
    void EditLog() {
        ScriptFile* log = FindFile("uninstall log");
        if (!log) return;
        std::vector<std::string> lines = SplitLines(log->text);
        static const std::vector<std::string> records{
            "UpdateDriver,PCI\\VEN_1D6A,x.inf,",
            "CopyFile,x,C:\\Program Files\\Qel Wireless\\Docs,0x00000004",
            "CopyFile,x,C:\\Program Files\\Qel Wireless\\missing.txt,0x00000004",
            "CopyFile,x,C:\\Program Files\\Common Files\\Qel Shared\\qelcomm.dll,0x80000004",
            "MoveFile,C:\\Program Files\\Qel Wireless\\nothere.tmp,C:\\Program Files\\Qel Wireless\\readme.txt",
            "CopyFile,,,",
            "CopyFile,x,C:\\Program Files\\Qel Wireless,0x00000004",
            "Unknown,record"};
        const std::string record = PickOf(records);
        const int at = Pick(static_cast<int>(lines.size()) + 1);
        lines.insert(lines.begin() + at, record);
        log->text = JoinLines(lines);
        Note(*log, "record '" + record + "' put at line " + std::to_string(at + 1));
    }

    std::mt19937& rng_;
    Road road_;
    std::vector<ScriptFile>& files_;
    std::vector<std::string> done_;
};

std::string Encode(const ScriptFile& file) {
    if (file.encoding == 0) return file.text;
    std::string bytes = file.encoding == 1 ? std::string("\xFF\xFE") : std::string();
    // Each byte becomes the UTF-16 unit of the same value.
    for (char c : file.text) {
        bytes.push_back(c);
        bytes.push_back('\0');
    }
    return bytes;
}

// ---------------------------------------------------------------------------
// One run of the program, with a time limit.

struct Outcome {
    DWORD exitCode = 0;
    bool timedOut = false;
    std::string out;
    std::string log;
    std::wstring message;
    double seconds = 0;
};

DWORD WINAPI Drain(void* context) {
    auto* job = static_cast<std::pair<HANDLE, std::string*>*>(context);
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(job->first, buffer, sizeof(buffer), &read, nullptr) && read > 0) job->second->append(buffer, read);
    return 0;
}

Outcome RunWithLimit(const std::wstring& exe, const std::wstring& args) {
    ::DeleteFileW(DiagnosticLogPath().c_str());
    DeleteRegTree(HKEY_CURRENT_USER, L"SOFTWARE\\QelSetup", KEY_WOW64_32KEY);
    const auto start = std::chrono::steady_clock::now();
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    qel::UniqueHandle inRead, inWrite, outRead, outWrite, errRead, errWrite;
    ::CreatePipe(inRead.Put(), inWrite.Put(), &inheritable, 0);
    ::CreatePipe(outRead.Put(), outWrite.Put(), &inheritable, 0);
    ::CreatePipe(errRead.Put(), errWrite.Put(), &inheritable, 0);
    for (HANDLE own : {inWrite.Get(), outRead.Get(), errRead.Get()}) ::SetHandleInformation(own, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead.Get();
    startup.hStdOutput = outWrite.Get();
    startup.hStdError = errWrite.Get();
    PROCESS_INFORMATION info{};
    std::wstring commandLine = L"\"" + exe + L"\" " + args;
    BOOL started = FALSE;
    // Wine now and then refuses a start with ERROR_INTERNAL_ERROR under load.
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt > 0) ::Sleep(200);
        started = ::CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                   nullptr, &startup, &info);
    }
    Outcome outcome;
    if (!started) {
        outcome.exitCode = 0xFFFFFFFF;
        return outcome;
    }
    qel::UniqueHandle process(info.hProcess), thread(info.hThread);
    inRead.Reset();
    outWrite.Reset();
    errWrite.Reset();
    inWrite.Reset();
    std::string err;
    std::pair<HANDLE, std::string*> outJob{outRead.Get(), &outcome.out}, errJob{errRead.Get(), &err};
    qel::UniqueHandle outThread(::CreateThread(nullptr, 0, Drain, &outJob, 0, nullptr));
    qel::UniqueHandle errThread(::CreateThread(nullptr, 0, Drain, &errJob, 0, nullptr));
    if (::WaitForSingleObject(process.Get(), kRunTimeoutMs) == WAIT_TIMEOUT) {
        outcome.timedOut = true;
        ::TerminateProcess(process.Get(), 0xDEAD);
        ::WaitForSingleObject(process.Get(), INFINITE);
    }
    ::WaitForSingleObject(outThread.Get(), 10000);
    ::WaitForSingleObject(errThread.Get(), 10000);
    ::GetExitCodeProcess(process.Get(), &outcome.exitCode);
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.message = ReadResultMessage();
    if (PathExists(DiagnosticLogPath())) outcome.log = ReadFileBytes(DiagnosticLogPath());
    return outcome;
}

// ---------------------------------------------------------------------------
// What every run must show.

const std::map<DWORD, std::string> kResultNames{
    {0, "SetupSuccess"},           {1, "SetupSuccessNeedReboot"},   {2, "SetupSuccessNeedRestartDriver"},
    {100, "SetupErrorNoConfigFile"}, {101, "SetupErrorInsuficientPrivileges"},
    {102, "SetupErrorInvalidArguments"}, {103, "(null)"},           {200, "SetupErrorInternal"},
    {201, "SetupErrorNoMemory"},   {202, "SetupErrorUnknown"}};

bool IsFailure(DWORD code) { return code >= 200 && code <= 202; }
bool IsEarlyEnd(DWORD code) { return code >= 100 && code <= 103; }

std::string Printable(const std::string& text, size_t limit = 200) {
    std::string shown;
    for (char c : text.substr(0, limit)) {
        if (c == '\r') shown += "\\r";
        else if (c == '\n') shown += "\\n";
        else if (static_cast<unsigned char>(c) < 0x20) shown += "\\x" + std::to_string(static_cast<unsigned char>(c));
        else shown += c;
    }
    return shown + (text.size() > limit ? "..." : "");
}

// Exit code, status lines, message and diagnostic log agree on one defined result.
void CheckReport(const Outcome& run, std::vector<std::string>& problems) {
    if (run.timedOut) {
        problems.push_back("hung: killed after " + std::to_string(kRunTimeoutMs / 1000) + " s");
        return;
    }
    const auto name = kResultNames.find(run.exitCode);
    if (name == kResultNames.end()) {
        char code[32];
        std::snprintf(code, sizeof(code), "0x%08lX", static_cast<unsigned long>(run.exitCode));
        problems.push_back(std::string("exit code ") + code + " is not a result code (a crash?)");
        return;
    }
    const std::string codeText = std::to_string(run.exitCode);
    static const std::regex statusLines("Version,1,7\\.35 \\(TOB\\) \\(r\\)\r\n(Progress,[0-9]+,[0-9]+\r\n)*"
                                        "(Result,([0-9]+),([A-Za-z]+),([A-Za-z]*),([0-9]*)\r\n)?");
    std::smatch status;
    if (!std::regex_match(run.out, status, statusLines)) {
        problems.push_back("status output is not Version, Progress..., Result: '" + Printable(run.out) + "'");
        return;
    }
    const bool hasResult = status[2].matched;
    const std::string message = Utf8(run.message);
    if (IsEarlyEnd(run.exitCode) && !hasResult) {
        if (run.out != kVersionLine) problems.push_back("an early end sent more than the Version line");
        const std::regex early("Result," + codeText + "," + std::regex_replace(name->second, std::regex("[()]"), "\\$&") +
                               ",CmdLine,[0-9]+\n");
        if (!std::regex_match(message, early)) problems.push_back("early-end message '" + Printable(message) + "'");
    } else if (!hasResult) {
        problems.push_back("no Result line for exit code " + codeText);
    } else {
        if (status[3].str() != codeText || status[4].str() != name->second)
            problems.push_back("Result line " + Printable(status[2].str()) + " for exit code " + codeText);
        if (run.exitCode == 200) {
            if (status[5].str().empty() || status[6].str().empty())
                problems.push_back("Result,200 without module and line");
            const std::string line = status[2].str();
            if (message != line.substr(0, line.size() - 2) + "\n")
                problems.push_back("message '" + Printable(message) + "' does not repeat the Result line");
            const std::regex error("Error: file \"" + status[5].str() + "\", line " + status[6].str() + ", desc");
            if (!std::regex_search(run.log, error)) problems.push_back("no diagnostic Error line for the Result line");
        } else {
            if (!status[5].str().empty() || !status[6].str().empty())
                problems.push_back("Result line carries a module: " + Printable(status[2].str()));
            if (message != "Result," + codeText + "," + name->second + "\n")
                problems.push_back("message '" + Printable(message) + "'");
        }
        if (IsEarlyEnd(run.exitCode) && run.exitCode != 102) problems.push_back("Result line for an early end");
    }
    if (run.exitCode == 201 && run.log.find("Memory allocation error") == std::string::npos)
        problems.push_back("201 without 'Memory allocation error' in the log");
    const std::vector<std::string> lines = LogMessages(run.log);
    static const std::regex end("End -- \"[^\"]*\", Version 7\\.35 \\(TOB\\) \\(r\\), PID [0-9]+$");
    if (lines.empty() || !std::regex_search(lines.back(), end))
        problems.push_back("the diagnostic log does not end with its End line");
}

// The qelNNNN.tmp files below a folder.
void AddTempFiles(const std::wstring& folder, std::vector<std::wstring>& found) {
    WIN32_FIND_DATAW entry;
    qel::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!find) return;
    static const std::wregex temp(L"qel[0-9a-f]+\\.tmp", std::regex::icase);
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) AddTempFiles(folder + L"\\" + name, found);
        else if (std::regex_match(name, temp)) found.push_back(folder + L"\\" + name);
    } while (::FindNextFileW(find.Get(), &entry));
}

// Leftovers no run may leave: rollback logs and run markers in the Windows
// folder, and temporary files in the destination folders other than those
// the next restart moves into place.
void CheckLeftovers(std::vector<std::string>& problems) {
    for (const std::wstring& name : Machine::Find(L"C:\\windows\\qel*.tmp"))
        problems.push_back("left in the Windows folder: " + Utf8(name));
    for (const std::wstring& name : Machine::Find(L"C:\\windows\\qelwls-*.run"))
        problems.push_back("run marker left: " + Utf8(name));
    std::set<std::wstring> pending;
    for (const std::wstring& entry :
         ReadRegMultiString(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations")) {
        const size_t start = entry.find_first_not_of(L"!\\?");
        if (start != std::wstring::npos) pending.insert(Machine::Lower(entry.substr(start)));
    }
    std::vector<std::wstring> temps;
    for (const std::wstring& folder : DestinationFolders()) AddTempFiles(folder, temps);
    std::sort(temps.begin(), temps.end());
    temps.erase(std::unique(temps.begin(), temps.end()), temps.end());
    for (const std::wstring& temp : temps)
        if (!pending.count(Machine::Lower(temp))) problems.push_back("temporary file left: " + Short(temp));
}

// After a successful install every file the run queued is in place, with the
// source's bytes, unless its flags let the install skip it or defer it.
void CheckInstalledFiles(const Outcome& run, std::vector<std::string>& problems) {
    if (run.exitCode != 0 || run.log.find("DoCleanup(): Removing") != std::string::npos) return;
    struct Install {
        std::set<std::string> sources;
        uint32_t flags = 0;
    };
    std::map<std::string, Install> installs;
    const std::string prefix = "CopyFiles: FileInstall( ";
    for (const std::string& line : LogMessages(run.log)) {
        if (line.rfind(prefix, 0) != 0 || line.size() < prefix.size() + 2 || line.compare(line.size() - 2, 2, " )"))
            continue;
        const std::string inner = line.substr(prefix.size(), line.size() - prefix.size() - 2);
        const size_t lastComma = inner.rfind(", ");
        if (lastComma == std::string::npos) continue;
        const std::string paths = inner.substr(0, lastComma);
        const size_t comma = paths.find(", ");
        if (comma == std::string::npos || paths.find(", ", comma + 1) != std::string::npos) continue;
        Install& install = installs[paths.substr(comma + 2)];
        install.sources.insert(paths.substr(0, comma));
        install.flags |= static_cast<uint32_t>(std::strtoll(inner.c_str() + lastComma + 2, nullptr, 10));
    }
    // FORCE_FILE_IN_USE, NO_OVERWRITE, OVERWRITE_OLDER_ONLY, REPLACEONLY,
    // NODECOMP, REPLACE_BOOT_FILE.
    constexpr uint32_t kMaySkip = 0x8 | 0x10 | 0x40 | 0x400 | 0x800 | 0x1000;
    for (const auto& [destination, install] : installs) {
        if (install.flags & kMaySkip) continue;
        const std::wstring path = Wide(destination);
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            problems.push_back("success, but the installed file is missing: " + Short(path));
            continue;
        }
        const std::wstring source = Wide(*install.sources.begin());
        if (install.sources.size() == 1 && source.find(L":\\") != std::wstring::npos && PathExists(source) &&
            ReadFileBytes(source) != ReadFileBytes(path))
            problems.push_back("success, but the installed file differs from its source: " + Short(path));
    }
}

std::string LogTail(const std::string& log, size_t count) {
    const std::vector<std::string> lines = LogMessages(log);
    std::string tail;
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i)
        tail += "      | " + Printable(lines[i], 240) + "\n";
    return tail;
}

// ---------------------------------------------------------------------------

class Robustness : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        sample_ = new SamplePackage(L"robust_pkg");
        own_ = new SetupFolder(L"robust_own");
        machine_.samplePackage = sample_->Folder();
        machine_.ownPackage = own_->Path();
        own_->Write(L"qelwls.ini", kOwnScript);
        own_->Write(L"sub.ini", OwnSubScript(false));
        own_->Write(L"inner.ini", kOwnInnerScript);
        own_->Write(L"app.txt", "app, new version\r\n");
        own_->Write(L"lib.dat", "shared library data\r\n");
        own_->Write(L"late.txt", "replaced at the next restart\r\n");
        own_->Write(L"data\\conf.txt", "setting=1\r\n");
        own_->Write(L"sub\\subfile.txt", "from the sub-install\r\n");
        own_->Write(L"sub\\inner\\inner.txt", "from the nested sub-install\r\n");
        WriteFileBytes(sample_->File(L"nested.ini"), kNestedScript);

        // Clean: the sample not installed; the own package's destination and
        // key hold what its install replaces and deletes.
        CleanMachine();
        machine_.pristine = machine_.Snapshot().files0;
        for (const WatchedKey& watched : WatchedKeys()) RestoreRegistry(watched, {});
        DeleteTree(kOwnDest);
        WriteFileBytes(std::wstring(kOwnDest) + L"\\app.txt", "app, old version\r\n");
        WriteFileBytes(std::wstring(kOwnDest) + L"\\old.txt", "an old file the install deletes\r\n");
        WriteFileBytes(std::wstring(kOwnDest) + L"\\keep.txt", "a file of the user's\r\n");
        SetValue(kOwnKey, L"Gone", REG_SZ, L"deleted by the install");
        SetValue(kOwnKey, L"Kept", REG_SZ, L"old");
        SetDword(kOwnKey, L"Number", 5);
        SetValue(kOwnKey + std::wstring(L"\\Tree\\A\\B"), L"V", REG_SZ, L"deleted with its tree");
        SetRegMultiString(kOwnKey, L"List", std::wstring(L"a\0", 2));
        SetSharedDllCount(L"QelSetup", 1);
        clean_ = new MachineState(machine_.Snapshot());

        // Installed: the sample package as its own install leaves it.
        const Outcome install = RunWithLimit(sample_->Exe(), L"apponly_install \"" + sample_->Folder() + L"\"");
        baseInstallSeconds_ = install.seconds;
        baseInstallExit_ = install.exitCode;
        installed_ = new MachineState(machine_.Snapshot());
        machine_.Restore(*clean_, *installed_);
    }

    static void TearDownTestSuite() {
        if (clean_) machine_.Restore(*clean_, machine_.Snapshot());
        CleanMachine();
        DeleteTree(kOwnDest);
        delete clean_;
        delete installed_;
        delete sample_;
        delete own_;
    }

    static void SetValue(const std::wstring& subkey, const std::wstring& name, DWORD type, const std::wstring& text) {
        qel::UniqueKey key;
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(), nullptr);
        ::RegSetValueExW(key.Get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    static void SetDword(const std::wstring& subkey, const std::wstring& name, DWORD number) {
        qel::UniqueKey key;
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(), nullptr);
        ::RegSetValueExW(key.Get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
    }

    static int CaseCount() {
        wchar_t value[32] = {};
        if (::GetEnvironmentVariableW(L"QEL_FUZZ_CASES", value, 32) > 0 && _wtoi(value) > 0) return _wtoi(value);
        return kCiCases;
    }

    static int FirstCase() {
        wchar_t value[32] = {};
        if (::GetEnvironmentVariableW(L"QEL_FUZZ_FIRST", value, 32) > 0) return _wtoi(value);
        return 0;
    }

    static int OnlyCase() {
        wchar_t value[32] = {};
        if (::GetEnvironmentVariableW(L"QEL_FUZZ_CASE", value, 32) > 0) return _wtoi(value);
        return -1;
    }

    static Machine machine_;
    static SamplePackage* sample_;
    static SetupFolder* own_;
    static MachineState* clean_;
    static MachineState* installed_;
    static double baseInstallSeconds_;
    static DWORD baseInstallExit_;
};

Machine Robustness::machine_;
SamplePackage* Robustness::sample_ = nullptr;
SetupFolder* Robustness::own_ = nullptr;
MachineState* Robustness::clean_ = nullptr;
MachineState* Robustness::installed_ = nullptr;
double Robustness::baseInstallSeconds_ = 0;
DWORD Robustness::baseInstallExit_ = 0;

// The unmutated packages do what they say; otherwise the mutations below
// would only break scripts that were broken already.
TEST_F(Robustness, BasePackagesInstall) {
    EXPECT_EQ(baseInstallExit_, 0u) << "the sample package's install";

    own_->Write(L"sub.ini", OwnSubScript(true));
    const Outcome run = RunWithLimit(own_->Exe(), L"apponly_install \"" + own_->Path() + L"\"");
    std::vector<std::string> problems;
    CheckReport(run, problems);
    CheckLeftovers(problems);
    EXPECT_EQ(run.exitCode, 1u) << "the restart file makes it 1\n" << LogTail(run.log, 30);
    EXPECT_EQ(problems, std::vector<std::string>{});
    const std::wstring dest = kOwnDest;
    for (const auto& [path, bytes] : std::vector<std::pair<std::wstring, std::string>>{
             {L"\\app.txt", "app, new version\r\n"},
             {L"\\lib.dat", "shared library data\r\n"},
             {L"\\keep.txt", "a file of the user's\r\n"},
             {L"\\data\\conf.txt", "setting=1\r\n"},
             {L"\\sub\\subfile.txt", "from the sub-install\r\n"},
             {L"\\sub\\inner\\inner.txt", "from the nested sub-install\r\n"}}) {
        ASSERT_TRUE(PathExists(dest + path)) << Utf8(path);
        EXPECT_EQ(ReadFileBytes(dest + path), bytes) << Utf8(path);
    }
    EXPECT_FALSE(PathExists(dest + L"\\old.txt"));
    EXPECT_FALSE(PathExists(dest + L"\\late.txt")) << "moved into place at the next restart";
    EXPECT_TRUE(PathExists(dest + L"\\Uninstall\\robust.log"));
    EXPECT_EQ(SharedDllCount(dest + L"\\lib.dat"), 1);
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kOwnKey + std::wstring(L"\\Sub"), L"Level").data,
              (std::vector<BYTE>{1, 0, 0, 0}));
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kOwnKey + std::wstring(L"\\Inner"), L"Level").data,
              (std::vector<BYTE>{2, 0, 0, 0}));
    EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, kOwnKey, L"Gone").found);
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kOwnKey, L"Number").data, (std::vector<BYTE>{9, 0, 0, 0}));
    EXPECT_EQ(ReadRegMultiString(HKEY_LOCAL_MACHINE, kOwnKey, L"List"), (std::vector<std::wstring>{L"a", L"b"}));
    const std::vector<std::wstring> pending =
        ReadRegMultiString(HKEY_LOCAL_MACHINE, kSessionManager, L"PendingFileRenameOperations");
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[1], L"!\\??\\" + dest + L"\\late\\late.txt");
    machine_.Restore(*clean_, machine_.Snapshot());
}

TEST_F(Robustness, MutatedScriptsEndWithADefinedResultAndFailuresChangeNothing) {
    const int only = OnlyCase();
    const int count = only >= 0 ? 1 : CaseCount();
    const int first = only >= 0 ? only : FirstCase();
    const bool verbose = ::GetEnvironmentVariableW(L"QEL_FUZZ_VERBOSE", nullptr, 0) > 0;
    const bool ciBounded = only < 0 && ::GetEnvironmentVariableW(L"QEL_FUZZ_CASES", nullptr, 0) == 0;
    std::vector<std::string> reports;
    std::map<std::string, int> outcomes;
    int failedCases = 0;
    double slowest = 0, runSeconds = 0;
    const auto start = std::chrono::steady_clock::now();

    int ran = 0;
    for (int number = first; number < first + count; ++number, ++ran) {
        // The CI count is bounded in time as well, so that a loaded machine
        // runs fewer cases rather than running into the test's time-out.
        if (ciBounded && std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > kCiSeconds)
            break;
        const auto caseStart = std::chrono::steady_clock::now();
        std::seed_seq seed{kSeed, static_cast<uint32_t>(number)};
        std::mt19937 rng(seed);
        const int roadRoll = static_cast<int>(rng() % 100);
        const Road road = roadRoll < 45 ? Road::OwnInstall
                          : roadRoll < 78 ? Road::SampleInstall
                          : roadRoll < 89 ? Road::SampleUpgrade
                                          : Road::SampleUninstall;
        const MachineState& base = road == Road::SampleUpgrade || road == Road::SampleUninstall ? *installed_ : *clean_;

        std::vector<ScriptFile> files;
        const std::string entry = road == Road::SampleUpgrade     ? "Upgrade"
                                  : road == Road::SampleUninstall ? "Uninstall"
                                                                  : "Install";
        if (road == Road::OwnInstall) {
            files.push_back({own_->File(L"qelwls.ini"), kOwnScript, "Install", "qelwls.ini"});
            files.push_back({own_->File(L"sub.ini"), OwnSubScript(false), "Install", "sub.ini"});
            files.push_back({own_->File(L"inner.ini"), kOwnInnerScript, "Install", "inner.ini"});
            files.back().used = false;
        } else {
            const std::wstring script = sample_->File(L"qelwls.ini"), tools = sample_->File(L"tools.ini");
            files.push_back({script, base.files.at(script), entry, "qelwls.ini"});
            if (road != Road::SampleInstall) files.push_back({kUninstallLog, base.files.at(kUninstallLog), "", "uninstall log"});
            files.push_back({tools, base.files.at(tools), "Install", "tools.ini"});
            files.back().used = road == Road::SampleInstall;
        }
        const int mutationCount = 1 + static_cast<int>(rng() % 10) / 3;  // 1 to 4
        Mutator mutator(rng, road, files);
        const std::vector<std::string> mutations = mutator.Apply(mutationCount, 75);

        for (const ScriptFile& file : files) WriteFileBytes(file.path, Encode(file));
        const MachineState before = machine_.Snapshot();
        const std::wstring folder = road == Road::OwnInstall ? own_->Path() : sample_->Folder();
        const std::wstring command = road == Road::SampleUpgrade ? L"upgrade"
                                     : road == Road::SampleUninstall ? L"uninstall"
                                                                     : L"apponly_install";
        const Outcome run = RunWithLimit(road == Road::OwnInstall ? own_->Exe() : sample_->Exe(),
                                         command + L" \"" + folder + L"\"");
        runSeconds += run.seconds;
        slowest = std::max(slowest, run.seconds);
        ++outcomes[std::to_string(run.exitCode)];

        std::vector<std::string> problems;
        CheckReport(run, problems);
        CheckLeftovers(problems);
        const MachineState after = machine_.Snapshot();
        if (IsFailure(run.exitCode) || IsEarlyEnd(run.exitCode)) {
            for (const std::string& difference : Differences(before, after)) problems.push_back(difference);
        } else if (IsInstallRoad(road)) {
            CheckInstalledFiles(run, problems);
        }
        machine_.Restore(base, after);
        if (verbose) {
            std::printf("case %d %s exit %lu run %.2f s, case %.2f s\n", number, RoadName(road),
                        static_cast<unsigned long>(run.exitCode), run.seconds,
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - caseStart).count());
            for (const std::string& mutation : mutations) std::printf("    - %s\n", Printable(mutation, 150).c_str());
            if (only >= 0) {
                std::printf("%s\n", run.out.c_str());
                for (const std::string& line : LogMessages(run.log)) std::printf("  | %s\n", Printable(line, 400).c_str());
                for (const ScriptFile& file : files) std::printf("--- %s\n%s\n", file.name.c_str(), Printable(file.text, 6000).c_str());
            }
            std::smatch error;
            if (std::regex_search(run.log, error, std::regex("Error: file [^\r]*")))
                std::printf("    %s\n", Printable(error.str(), 300).c_str());
        }

        if (problems.empty()) continue;
        ++failedCases;
        if (problems.size() > 8) {
            const size_t more = problems.size() - 8;
            problems.resize(8);
            problems.push_back("... and " + std::to_string(more) + " more");
        }
        std::string report = "case " + std::to_string(number) + " (" + RoadName(road) + ", exit " +
                             std::to_string(run.exitCode) + ")\n  mutations:\n";
        for (const std::string& mutation : mutations) report += "    - " + mutation + "\n";
        report += "  wrong:\n";
        for (const std::string& problem : problems) report += "    * " + problem + "\n";
        report += "  diagnostic log, last lines:\n" + LogTail(run.log, 12);
        if (reports.size() < 25) reports.push_back(report);
    }

    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string summary;
    for (const auto& [code, times] : outcomes) summary += " " + code + ":" + std::to_string(times);
    std::printf("[ robustness ] %d of %d cases from %d in %.0f s (runs %.0f s, slowest run %.1f s); exit codes%s; "
                "%d cases wrong\n",
                ran, count, first, total, runSeconds, slowest, summary.c_str(), failedCases);
    std::string joined;
    for (const std::string& report : reports) joined += report;
    EXPECT_EQ(failedCases, 0) << "reproduce one with QEL_FUZZ_CASE=<case>\n" << joined;
}

}  // namespace
