#include "MachineDump.h"

#include "Handles.h"
#include "TestSupport.h"
#include "Util.h"

#include <cstdio>
#include <set>
#include <sstream>
#include <stdexcept>

namespace qeltest {
namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;
constexpr wchar_t kLinkValue[] = L"SymbolicLinkValue";

std::string EscapeBytes(const std::string& bytes) {
    const bool utf8 = bytes.empty() || ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(),
                                                             static_cast<int>(bytes.size()), nullptr, 0) > 0;
    std::string text;
    for (unsigned char c : bytes) {
        if (c == '%' || c < 0x20 || c == 0x7F || (c > 0x7F && !utf8)) {
            char hex[4];
            std::snprintf(hex, sizeof(hex), "%%%02X", c);
            text += hex;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text;
}

std::string UnescapeBytes(const std::string& text) {
    std::string bytes;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            bytes += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            bytes += text[i];
        }
    }
    return bytes;
}

std::vector<std::string> SplitTabs(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream stream(line);
    for (std::string field; std::getline(stream, field, '\t');) fields.push_back(field);
    if (!line.empty() && line.back() == '\t') fields.emplace_back();
    return fields;
}

std::string HklmPath(const std::wstring& subkey) { return "HKLM\\" + Utf8(subkey); }
std::wstring SubkeyOf(const std::string& hklmPath) { return Wide(hklmPath.substr(5)); }

void AddFolder(const std::wstring& folder, std::set<std::string>& lines) {
    if (!PathExists(folder)) return;
    lines.insert("dir\t" + Utf8(folder));
    for (const std::wstring& name : FilesMatching(folder + L"\\*")) {
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (::GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
            AddFolder(path, lines);
        else
            lines.insert("file\t" + Utf8(path) + "\t" + EscapeBytes(ReadFileBytes(path)));
    }
}

// The key itself when it is a link, never what the link names.
LSTATUS OpenKey(const std::wstring& subkey, REGSAM access, qel::UniqueKey& key) {
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), REG_OPTION_OPEN_LINK, access | kView, key.Put());
}

std::string ValueLine(const std::wstring& subkey, const std::wstring& name, DWORD type, const std::vector<BYTE>& data) {
    return "value\t" + HklmPath(subkey) + "\t" + Utf8(name) + "\t" + std::to_string(type) + "\t" +
           EscapeBytes(std::string(data.begin(), data.end()));
}

bool ReadValue(HKEY key, const std::wstring& name, DWORD& type, std::vector<BYTE>& data) {
    DWORD size = 0;
    if (::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
    data.resize(size);
    return ::RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size) == ERROR_SUCCESS;
}

void AddKey(const std::wstring& subkey, std::set<std::string>& lines) {
    qel::UniqueKey key;
    if (OpenKey(subkey, KEY_READ, key) != ERROR_SUCCESS) return;
    lines.insert("key\t" + HklmPath(subkey));
    std::wstring name;
    for (DWORD index = 0; qel::EnumValueName(key.Get(), index, name) == ERROR_SUCCESS; ++index) {
        DWORD type = 0;
        std::vector<BYTE> data;
        if (ReadValue(key.Get(), name, type, data)) lines.insert(ValueLine(subkey, name, type, data));
    }
    DWORD type = 0;
    std::vector<BYTE> target;
    if (ReadValue(key.Get(), kLinkValue, type, target) && type == REG_LINK) return;
    for (DWORD index = 0; qel::EnumSubkeyName(key.Get(), index, name) == ERROR_SUCCESS; ++index)
        AddKey(subkey + L"\\" + name, lines);
}

// Deletes a tree depth first, each key (a link too) itself.
void DeleteKey(const std::wstring& subkey) {
    qel::UniqueKey key;
    if (OpenKey(subkey, KEY_READ | DELETE, key) != ERROR_SUCCESS) return;
    DWORD type = 0;
    std::vector<BYTE> target;
    if (!(ReadValue(key.Get(), kLinkValue, type, target) && type == REG_LINK)) {
        std::vector<std::wstring> names;
        std::wstring name;
        for (DWORD index = 0; qel::EnumSubkeyName(key.Get(), index, name) == ERROR_SUCCESS; ++index)
            names.push_back(name);
        for (const std::wstring& each : names) DeleteKey(subkey + L"\\" + each);
    }
    using NtDeleteKeyFn = LONG(WINAPI*)(HANDLE);
    static const auto ntDeleteKey = reinterpret_cast<NtDeleteKeyFn>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
    if (ntDeleteKey(key.Get()) != 0) throw std::runtime_error("cannot delete " + Utf8(subkey));
}

}  // namespace

std::string DumpMachine(const DumpRoots& roots) {
    std::set<std::string> lines;
    for (const std::wstring& folder : roots.folders) AddFolder(folder, lines);
    for (const std::wstring& pattern : roots.windowsPatterns)
        for (const std::wstring& name : FilesMatching(L"C:\\windows\\" + pattern))
            lines.insert("file\tC:\\windows\\" + Utf8(name) + "\t" +
                         EscapeBytes(ReadFileBytes(L"C:\\windows\\" + name)));
    for (const std::wstring& subkey : roots.keys) AddKey(subkey, lines);
    for (const auto& [subkey, name] : roots.values) {
        qel::UniqueKey key;
        DWORD type = 0;
        std::vector<BYTE> data;
        if (OpenKey(subkey, KEY_READ, key) == ERROR_SUCCESS && ReadValue(key.Get(), name, type, data))
            lines.insert(ValueLine(subkey, name, type, data));
    }
    std::string dump;
    for (const std::string& line : lines) dump += line + "\n";
    return dump;
}

void LoadMachine(const DumpRoots& roots, const std::string& dump) {
    for (const std::wstring& folder : roots.folders) DeleteTree(folder);
    for (const std::wstring& pattern : roots.windowsPatterns)
        for (const std::wstring& name : FilesMatching(L"C:\\windows\\" + pattern))
            ::DeleteFileW((L"C:\\windows\\" + name).c_str());
    for (const std::wstring& subkey : roots.keys) DeleteKey(subkey);
    for (const auto& [subkey, name] : roots.values) DeleteRegValue(HKEY_LOCAL_MACHINE, subkey, name, kView);

    // Keys first, each made a link when its values say so; the dump's order
    // puts every key before its subkeys.
    std::vector<std::vector<std::string>> entries;
    std::set<std::string> links;
    std::istringstream stream(dump);
    for (std::string line; std::getline(stream, line);) {
        entries.push_back(SplitTabs(line));
        const auto& e = entries.back();
        if (e[0] == "value" && Wide(e[2]) == kLinkValue && std::stoul(e[3]) == REG_LINK) links.insert(e[1]);
    }
    for (const auto& e : entries) {
        if (e[0] == "dir") qel::CreateDirectoryTree(Wide(e[1]));
        if (e[0] == "file") WriteFileBytes(Wide(e[1]), UnescapeBytes(e[2]));
        if (e[0] != "key") continue;
        const bool link = links.count(e[1]) != 0;
        qel::UniqueKey key;
        if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, SubkeyOf(e[1]).c_str(), 0, nullptr,
                              link ? REG_OPTION_CREATE_LINK : 0, KEY_ALL_ACCESS | KEY_CREATE_LINK | kView, nullptr,
                              key.Put(), nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("cannot create " + e[1]);
    }
    for (const auto& e : entries) {
        if (e[0] != "value") continue;
        qel::UniqueKey key;
        if (OpenKey(SubkeyOf(e[1]), KEY_ALL_ACCESS, key) != ERROR_SUCCESS &&
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, SubkeyOf(e[1]).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | kView,
                              nullptr, key.Put(), nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("cannot open " + e[1]);
        const std::string data = UnescapeBytes(e[4]);
        ::RegSetValueExW(key.Get(), Wide(e[2]).c_str(), 0, std::stoul(e[3]), reinterpret_cast<const BYTE*>(data.data()),
                         static_cast<DWORD>(data.size()));
    }
}

std::string DumpDifferences(const std::string& expected, const std::string& actual) {
    const auto linesOf = [](const std::string& dump) {
        std::multiset<std::string> lines;
        std::istringstream stream(dump);
        for (std::string line; std::getline(stream, line);) lines.insert(line);
        return lines;
    };
    const std::multiset<std::string> want = linesOf(expected), got = linesOf(actual);
    std::string text;
    for (const std::string& line : want)
        if (!got.count(line)) text += "- " + line.substr(0, 300) + "\n";
    for (const std::string& line : got)
        if (!want.count(line)) text += "+ " + line.substr(0, 300) + "\n";
    return text;
}

std::wstring LogFixturesFolder() {
    std::wstring path = Wide(QEL_LOG_FIXTURES_DIR);
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return L"Z:" + path;
}

}  // namespace qeltest
