// Path text and the well-known folders.
#include "BasicException.h"
#include "Trace.h"
#include "Util.h"

#include <shlobj.h>

#include <algorithm>
#include <cwchar>

namespace qel {
namespace {
constexpr const char* kModuleName = "Util";

void SlashesToBackslashes(std::wstring& path) { std::replace(path.begin(), path.end(), L'/', L'\\'); }

// Runs a "fill this buffer" call with MAX_PATH characters, then once more with
// the size it reported. Returns the length of the result, 0 on failure.
template <typename Fill>
DWORD FillBuffer(std::wstring& out, Fill fill) {
    out.assign(MAX_PATH, L'\0');
    DWORD length = fill(&out[0], static_cast<DWORD>(out.size()));
    if (length >= out.size()) {
        out.assign(length, L'\0');
        length = fill(&out[0], static_cast<DWORD>(out.size()));
        if (length >= out.size()) length = 0;
    }
    out.resize(length);
    return length;
}
}  // namespace

int GetFullPath(const std::wstring& path, std::wstring& out) {
    const DWORD length = FillBuffer(out, [&](wchar_t* buffer, DWORD size) {
        return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr);
    });
    return length == 0 ? -1 : 0;
}

namespace {
// The path without a prefix that only tells Windows to take it literally or
// as a device: "\\?\C:\x", "\\.\C:\x" and "\??\C:\x" name C:\x, and
// "\\?\UNC\server\share" names \\server\share.
std::wstring WithoutLiteralPrefix(std::wstring path) {
    SlashesToBackslashes(path);
    for (const wchar_t* prefix : {L"\\\\?\\UNC\\", L"\\??\\UNC\\"}) {
        const size_t length = wcslen(prefix);
        if (path.size() > length && _wcsnicmp(path.c_str(), prefix, length) == 0) return L"\\\\" + path.substr(length);
    }
    for (const wchar_t* prefix : {L"\\\\?\\", L"\\\\.\\", L"\\??\\"}) {
        const size_t length = wcslen(prefix);
        if (path.size() > length + 1 && path.compare(0, length, prefix) == 0 && path[length + 1] == L':')
            return path.substr(length);
    }
    return path;
}
}  // namespace

std::wstring CanonicalPath(const std::wstring& path) {
    std::wstring full;
    if (path.empty() || GetFullPath(WithoutLiteralPrefix(path), full) != 0) return std::wstring();
    // The long form of the part that exists; what does not exist yet has
    // no short names, and keeps its text.
    std::wstring existing = full, rest;
    for (;;) {
        std::wstring longForm;
        if (FillBuffer(longForm, [&](wchar_t* buffer, DWORD size) {
                return ::GetLongPathNameW(existing.c_str(), buffer, size);
            }) != 0)
            return longForm + rest;
        const size_t last = existing.find_last_of(L'\\');
        if (last == std::wstring::npos || last < 3 || last + 1 == existing.size()) return full;
        rest = existing.substr(last) + rest;
        existing.resize(last);
    }
}

bool IsSamePath(const std::wstring& a, const std::wstring& b) {
    const std::wstring first = CanonicalPath(a), second = CanonicalPath(b);
    return !first.empty() && ::lstrcmpiW(first.c_str(), second.c_str()) == 0;
}

void GetDirectoryPart(std::wstring& path) {
    SlashesToBackslashes(path);
    const size_t last = path.rfind(L'\\');
    if (last != std::wstring::npos) path.resize(last);
}

std::wstring DirectoryOf(const std::wstring& path) {
    std::wstring folder = path;
    GetDirectoryPart(folder);
    return folder;
}

std::wstring GetFileNamePart(const std::wstring& path) {
    std::wstring name = path;
    SlashesToBackslashes(name);
    const size_t last = name.rfind(L'\\');
    return last == std::wstring::npos ? name : name.substr(last + 1);
}

void AppendPath(std::wstring& folder, const std::wstring& name) {
    SlashesToBackslashes(folder);
    if (name.empty()) return;
    const bool folderEndsWithSeparator = !folder.empty() && folder.back() == L'\\';
    const bool nameStartsWithSeparator = name.front() == L'\\';
    if (folder.empty()) {
        folder = name;
    } else if (folderEndsWithSeparator && nameStartsWithSeparator) {
        folder.append(name, 1, std::wstring::npos);
    } else if (folderEndsWithSeparator || nameStartsWithSeparator) {
        folder += name;
    } else {
        folder += L'\\';
        folder += name;
    }
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
    std::wstring path = folder;
    AppendPath(path, name);
    return path;
}

void GetModulePath(HMODULE module, std::wstring& out) {
    // GetModuleFileNameW truncates instead of reporting the size it needs, so a
    // full buffer is retried once with ten times the room.
    out.assign(MAX_PATH, L'\0');
    DWORD length = ::GetModuleFileNameW(module, &out[0], MAX_PATH);
    if (length == MAX_PATH) {
        out.assign(kMaxPathChars + 1, L'\0');
        length = ::GetModuleFileNameW(module, &out[0], static_cast<DWORD>(out.size()));
        // Still full: the name was cut, and a cut path names another file.
        if (length == out.size()) QEL_RAISE(L"GetModuleFileName", ERROR_INSUFFICIENT_BUFFER);
    }
    if (length == 0) QEL_RAISE(L"GetModuleFileName", ::GetLastError());
    out.resize(length);
}

void GetModuleDirectory(HMODULE module, std::wstring& out) {
    GetModulePath(module, out);
    GetDirectoryPart(out);
}

void GetWindowsFolder(std::wstring& out) {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const bool versionKnown = ::GetVersionExW(&info) != FALSE;
#pragma GCC diagnostic pop
    if (versionKnown && info.dwPlatformId == VER_PLATFORM_WIN32_NT && info.dwMajorVersion >= 5) {
        // The shared Windows folder, also under Terminal Services, where the
        // plain Windows folder is per user.
        using GetSystemWindowsDirectoryFn = UINT(WINAPI*)(LPWSTR, UINT);
        const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
        const auto systemWindowsDirectory = reinterpret_cast<GetSystemWindowsDirectoryFn>(
            kernel32 ? ::GetProcAddress(kernel32, "GetSystemWindowsDirectoryW") : nullptr);
        const DWORD length =
            systemWindowsDirectory ? FillBuffer(out, [&](wchar_t* b, DWORD n) { return systemWindowsDirectory(b, n); })
                                   : 0;
        if (length == 0) {
            const DWORD error = ::GetLastError();
            TraceWrite(TraceDetail, L"GetSystemWindowsDirectory() failed. return %lu. GetLastError %lu\n", length,
                       error);
            QEL_RAISE(L"GetSystemWindowsDirectory", error);
        }
        return;
    }
    if (versionKnown && info.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        if (FillBuffer(out, [](wchar_t* b, DWORD n) { return ::GetSystemDirectoryW(b, n); }) == 0)
            QEL_RAISE(L"GetSystemDirectory", ::GetLastError());
        GetDirectoryPart(out);
        return;
    }
    if (FillBuffer(out, [](wchar_t* b, DWORD n) { return ::GetWindowsDirectoryW(b, n); }) == 0)
        QEL_RAISE(L"GetWindowsDirectory", ::GetLastError());
}

std::wstring SystemFolder() {
    std::wstring folder;
    if (FillBuffer(folder, [](wchar_t* b, DWORD n) { return ::GetSystemDirectoryW(b, n); }) == 0)
        QEL_RAISE(L"GetSystemDirectory", ::GetLastError());
    return folder;
}

void GetProgramFilesFolder(std::wstring& out) {
    wchar_t buffer[MAX_PATH] = {};
    if (::SHGetSpecialFolderPathW(nullptr, buffer, CSIDL_PROGRAM_FILES, TRUE))
        out.assign(buffer);
    else
        out.assign(L"C:\\");
}

bool IsOemInfName(const std::wstring& path) {
    const std::wstring name = Lowercase(GetFileNamePart(path));
    // "oem" followed by a decimal number: the scan assigns the number whatever
    // follows it, so the extension plays no part.
    unsigned number = 0;
    return swscanf(name.c_str(), L"oem%u.inf", &number) == 1 || swscanf(name.c_str(), L"oem%u.pnf", &number) == 1;
}

}  // namespace qel
