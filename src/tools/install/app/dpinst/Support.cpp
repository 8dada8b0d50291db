#include "Support.h"

#include "Handles.h"

#include <cstdio>
#include <cwchar>
#include <map>

namespace dpinst {
namespace {

// Runs a "fill this buffer" call with MAX_PATH characters, then once more with
// the size it asked for. Empty on failure.
template <typename Fill>
std::wstring FillBuffer(Fill fill) {
    std::wstring out(MAX_PATH, L'\0');
    DWORD length = fill(&out[0], static_cast<DWORD>(out.size()));
    if (length >= out.size()) {
        out.assign(length, L'\0');
        length = fill(&out[0], static_cast<DWORD>(out.size()));
        if (length >= out.size()) length = 0;
    }
    out.resize(length);
    return out;
}

}  // namespace

void Report(const std::wstring& line) {
    std::string utf8;
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0,
                                            nullptr, nullptr);
    if (bytes > 0) {
        utf8.resize(bytes);
        ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), &utf8[0], bytes, nullptr,
                              nullptr);
    }
    // Standard output is a text-mode stream: "\n" leaves as CR LF.
    utf8 += '\n';
    std::fwrite(utf8.data(), 1, utf8.size(), stdout);
    std::fflush(stdout);
}

std::wstring Hex(DWORD value) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text = L"0x00000000";
    for (int i = 9; i >= 2; --i, value >>= 4) text[i] = digits[value & 0xF];
    return text;
}

std::wstring Decimal(DWORD value) { return std::to_wstring(value); }

bool SameText(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

bool LessText(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_LESS_THAN;
}

std::wstring JoinPath(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty()) return name;
    if (folder.back() == L'\\' || folder.back() == L'/') return folder + name;
    return folder + L"\\" + name;
}

std::wstring FullPath(const std::wstring& path) {
    const std::wstring full = FillBuffer(
        [&](wchar_t* buffer, DWORD size) { return ::GetFullPathNameW(path.c_str(), size, buffer, nullptr); });
    return full.empty() ? path : full;
}

std::wstring FileNamePart(const std::wstring& path) {
    const size_t last = path.find_last_of(L"\\/");
    return last == std::wstring::npos ? path : path.substr(last + 1);
}

std::wstring InfStoreFolder() {
    return JoinPath(FillBuffer([](wchar_t* buffer, DWORD size) { return ::GetSystemWindowsDirectoryW(buffer, size); }),
                    L"inf");
}

std::wstring SystemFolder() {
    return FillBuffer([](wchar_t* buffer, DWORD size) { return ::GetSystemDirectoryW(buffer, size); });
}

bool RestrictDllSearchToSystemFolder() {
    // Missing before Windows 7 with its loader update; there the program's
    // folder is only taken out of the search path, and newdev.dll is loaded
    // by its full path anyway.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    const auto setDefault = kernel32 ? reinterpret_cast<SetDefaultDllDirectoriesFn>(reinterpret_cast<void*>(
                                           ::GetProcAddress(kernel32, "SetDefaultDllDirectories")))
                                     : nullptr;
    if (setDefault) return setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
    return ::SetDllDirectoryW(L"") != FALSE;
}

FARPROC SystemLibraryExport(const wchar_t* library, const char* name) {
    static std::map<std::wstring, qel::UniqueLibrary> loaded;
    auto found = loaded.find(library);
    if (found == loaded.end()) {
        const std::wstring path = JoinPath(SystemFolder(), library);
        qel::UniqueLibrary module(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        if (!module) return nullptr;
        found = loaded.emplace(library, std::move(module)).first;
    }
    return ::GetProcAddress(found->second.Get(), name);
}

bool ReadStringValue(HKEY key, const wchar_t* name, std::wstring& out) {
    DWORD type = 0, bytes = 0;
    if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    // Room for a terminator the stored data may lack.
    std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    if (::RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&buffer[0]), &bytes) != ERROR_SUCCESS)
        return false;
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
    out.swap(buffer);
    return true;
}

std::wstring InstanceId(HDEVINFO set, SP_DEVINFO_DATA& device) {
    DWORD chars = 0;
    ::SetupDiGetDeviceInstanceIdW(set, &device, nullptr, 0, &chars);
    if (chars == 0) return L"";
    std::wstring id(chars, L'\0');
    if (!::SetupDiGetDeviceInstanceIdW(set, &device, &id[0], chars, nullptr)) return L"";
    id.resize(wcsnlen(id.c_str(), id.size()));
    return id;
}


}  // namespace dpinst
