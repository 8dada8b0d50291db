// Existence checks, temporary files and folder trees.
#include "BasicException.h"
#include "Handles.h"
#include "Util.h"

#include <shlobj.h>

#include <algorithm>
#include <cwctype>
#include <vector>

namespace qel {
namespace {
constexpr const char* kModuleName = "Util";
}

bool FileExists(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(::FindFirstFileW(path.c_str(), &found));
    return find.Valid();
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsAbsolutePath(const std::wstring& path) {
    const bool drive = path.size() >= 3 && iswalpha(path[0]) && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/');
    const bool unc = path.size() >= 2 && path[0] == L'\\' && path[1] == L'\\';
    return drive || unc;
}

bool IsReparsePoint(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool PassesThroughReparsePoint(const std::wstring& path) {
    // Every existing folder on the way, from the root down, and the file.
    for (size_t end = path.find_first_of(L"\\/", 3); ; end = path.find_first_of(L"\\/", end + 1)) {
        const std::wstring prefix = path.substr(0, end);
        if (!prefix.empty() && IsReparsePoint(prefix)) return true;
        if (end == std::wstring::npos) return false;
    }
}

bool TreeHoldsReparsePoint(const std::wstring& folder) {
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(::FindFirstFileW(JoinPath(folder, L"*").c_str(), &found));
    if (!find) return false;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && TreeHoldsReparsePoint(JoinPath(folder, name)))
            return true;
    } while (::FindNextFileW(find.Get(), &found));
    return false;
}

bool IsPlainFile(const std::wstring& path) {
    UniqueHandle file(::CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return false;
    DWORD links = 0, attributes = 0;
    // The link count and the attributes alone: GetFileInformationByHandle
    // also asks for the volume's serial number, which under Wine is a round
    // trip to the mount manager's process and costs ten times the rest. The
    // call that asks for them alone is missing before Vista.
    using GetInformationExFn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
    static const auto getInformationEx = reinterpret_cast<GetInformationExFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "GetFileInformationByHandleEx")));
    if (getInformationEx) {
        FILE_STANDARD_INFO standard{};
        FILE_ATTRIBUTE_TAG_INFO tag{};
        if (!getInformationEx(file.Get(), FileStandardInfo, &standard, sizeof(standard)) ||
            !getInformationEx(file.Get(), FileAttributeTagInfo, &tag, sizeof(tag)))
            return false;
        links = standard.NumberOfLinks;
        attributes = tag.FileAttributes;
    } else {
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(file.Get(), &info)) return false;
        links = info.nNumberOfLinks;
        attributes = info.dwFileAttributes;
    }
    return links == 1 && (attributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
}

bool IsSameOrBelow(const std::wstring& path, const std::wstring& folder) {
    // Both in their long, canonical form: a short (8.3) name or a "\\?\"
    // prefix names the same folder in other text.
    std::wstring fullPath = CanonicalPath(path), fullFolder = CanonicalPath(folder);
    if (fullPath.empty() || fullFolder.empty()) return false;
    fullPath = Lowercase(fullPath);
    fullFolder = Lowercase(fullFolder);
    while (fullFolder.size() > 3 && fullFolder.back() == L'\\') fullFolder.pop_back();
    if (fullPath.compare(0, fullFolder.size(), fullFolder) != 0) return false;
    return fullPath.size() == fullFolder.size() || fullPath[fullFolder.size()] == L'\\' || fullFolder.back() == L'\\';
}

void CheckPathLength(const std::wstring& path) {
    if (path.size() > kMaxPathChars)
        QEL_RAISE(FormatText(L"a path of %u characters is longer than Windows allows: %s...",
                             static_cast<unsigned>(path.size()), path.substr(0, 200).c_str()),
                  ERROR_FILENAME_EXCED_RANGE);
}

namespace {
constexpr wchar_t kSessionManagerKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenames[] = L"PendingFileRenameOperations";
}  // namespace

bool CancelRestartMove(const std::wstring& from, const std::wstring& to) {
    // The registrations are pairs of strings in one multi-string value: the
    // source in NT form, then the target ("!" in front: replace an existing
    // file), or an empty string for a deletion. The newest matching pair is
    // the one this process registered last.
    UniqueKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, key.Put()) !=
        ERROR_SUCCESS)
        return false;
    DWORD type = 0, size = 0;
    if (::RegQueryValueExW(key.Get(), kPendingRenames, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ)
        return false;
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    if (::RegQueryValueExW(key.Get(), kPendingRenames, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) !=
        ERROR_SUCCESS)
        return false;
    data.resize(size / sizeof(wchar_t));

    std::vector<std::wstring> strings;
    for (size_t start = 0; start < data.size();) {
        const size_t end = data.find(L'\0', start);
        const size_t stop = end == std::wstring::npos ? data.size() : end;
        strings.push_back(data.substr(start, stop - start));
        start = stop + 1;
    }
    // A list ends with an empty string of its own; a deletion's target is an
    // empty string too, so pairs are read from the front.
    const std::wstring source = Lowercase(L"\\??\\" + from);
    const std::wstring target = Lowercase(L"\\??\\" + to);
    size_t found = std::wstring::npos;
    for (size_t i = 0; i + 1 < strings.size() || (i + 1 == strings.size() && to.empty()); i += 2) {
        const std::wstring registeredTarget = i + 1 < strings.size() ? Lowercase(strings[i + 1]) : std::wstring();
        const bool targetMatches = to.empty() ? registeredTarget.empty()
                                              : (registeredTarget == target || registeredTarget == L"!" + target);
        if (Lowercase(strings[i]) == source && targetMatches) found = i;
    }
    if (found == std::wstring::npos) return false;
    strings.erase(strings.begin() + found, strings.begin() + std::min(found + 2, strings.size()));

    std::wstring rebuilt;
    size_t pairs = 0;
    for (size_t i = 0; i < strings.size(); i += 2) {
        if (strings[i].empty()) break;  // the list's closing empty string
        rebuilt += strings[i];
        rebuilt += L'\0';
        rebuilt += i + 1 < strings.size() ? strings[i + 1] : std::wstring();
        rebuilt += L'\0';
        ++pairs;
    }
    if (pairs == 0) return ::RegDeleteValueW(key.Get(), kPendingRenames) == ERROR_SUCCESS;
    rebuilt += L'\0';
    return ::RegSetValueExW(key.Get(), kPendingRenames, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(rebuilt.data()),
                            static_cast<DWORD>(rebuilt.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
}

void MakeTempFile(const std::wstring& folder, std::wstring& out) {
    std::wstring buffer(folder.size() + 16, L'\0');
    if (!::GetTempFileNameW(folder.c_str(), L"qel", 0, &buffer[0])) QEL_RAISE(folder, ::GetLastError());
    buffer.resize(wcslen(buffer.c_str()));
    out.swap(buffer);
}

void CreateDirectoryTree(const std::wstring& path) {
    const int result = ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) QEL_RAISE(path, static_cast<DWORD>(result));
}

}  // namespace qel
