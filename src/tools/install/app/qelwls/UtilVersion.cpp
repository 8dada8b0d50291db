// The Windows version number, platform checks and file version resources.
#include "BasicException.h"
#include "Handles.h"
#include "Util.h"

#include <vector>

namespace qel {
namespace {
constexpr const char* kModuleName = "Util";

// Looks an export of kernel32 up by name: some of these calls are missing on
// the oldest systems the program still recognises.
template <typename Fn>
Fn Kernel32Export(const char* name) {
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    return kernel32 ? reinterpret_cast<Fn>(::GetProcAddress(kernel32, name)) : nullptr;
}

// Reads a file's version resource into `block`; false when the file has none.
bool ReadVersionBlock(const std::wstring& file, std::vector<BYTE>& block) {
    const auto getSize = SystemCall<decltype(&::GetFileVersionInfoSizeW)>(L"version.dll", "GetFileVersionInfoSizeW");
    const auto getInfo = SystemCall<decltype(&::GetFileVersionInfoW)>(L"version.dll", "GetFileVersionInfoW");
    DWORD ignored = 0;
    const DWORD size = getSize(file.c_str(), &ignored);
    if (size == 0) return false;
    block.assign(size, 0);
    if (!getInfo(file.c_str(), 0, size, block.data())) QEL_RAISE(file, ::GetLastError());
    return true;
}

BOOL QueryVersionValue(const void* block, const wchar_t* subBlock, void** buffer, UINT* length) {
    return SystemCall<decltype(&::VerQueryValueW)>(L"version.dll", "VerQueryValueW")(block, subBlock, buffer, length);
}
}  // namespace

namespace {
int assumedWinVer = WinVerUnsupported;  // none: the running system's own
}  // namespace

void AssumeRunningWinVer(int version) { assumedWinVer = version; }

int SetupGetRunningWinVer() {
    if (assumedWinVer != WinVerUnsupported) return assumedWinVer;
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!::GetVersionExW(&info)) return WinVerUnsupported;
#pragma GCC diagnostic pop
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        if (info.dwMajorVersion == 4) return WinVerNT4;
        if (info.dwMajorVersion == 5) return info.dwMinorVersion == 0 ? WinVer2000 : WinVerXP;
        if (info.dwMajorVersion >= 6) return WinVerVista;
        return WinVerUnsupported;
    }
    if (info.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        // The 9x line keeps its minor number in bits 16-23 of the build number.
        const DWORD minor = (info.dwBuildNumber >> 16) & 0xFF;
        if (info.dwMajorVersion > 4) return WinVerMe;
        if (info.dwMajorVersion < 4) return WinVerUnsupported;
        if (minor == 0) return WinVer95;
        if (minor < 10) return WinVer95Later;
        if (minor < 90) return WinVer98;
        return WinVerMe;
    }
    return WinVerUnsupported;
}

bool IsWindowsNT() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return ::GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
#pragma GCC diagnostic pop
}

bool IsWindowsVersionOrLater(DWORD major, DWORD minor, WORD servicePackMajor) {
    OSVERSIONINFOEXW wanted{};
    wanted.dwOSVersionInfoSize = sizeof(wanted);
    wanted.dwMajorVersion = major;
    wanted.dwMinorVersion = minor;
    wanted.wServicePackMajor = servicePackMajor;
    DWORDLONG condition = 0;
    condition = ::VerSetConditionMask(condition, VER_MAJORVERSION, VER_GREATER_EQUAL);
    condition = ::VerSetConditionMask(condition, VER_MINORVERSION, VER_GREATER_EQUAL);
    condition = ::VerSetConditionMask(condition, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return ::VerifyVersionInfoW(&wanted, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR,
                                condition) != FALSE;
}

bool IsWow64() {
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    const auto isWow64Process = Kernel32Export<IsWow64ProcessFn>("IsWow64Process");
    BOOL wow64 = FALSE;
    if (!isWow64Process || !isWow64Process(::GetCurrentProcess(), &wow64)) return false;
    return wow64 == TRUE;
}

LANGID GetUILanguage() {
    using GetUserDefaultUILanguageFn = LANGID(WINAPI*)();
    const auto uiLanguage = Kernel32Export<GetUserDefaultUILanguageFn>("GetUserDefaultUILanguage");
    return uiLanguage ? uiLanguage() : ::GetUserDefaultLangID();
}

bool GetFileVersionString(const std::wstring& file, const std::wstring& item, std::wstring& out) {
    out.clear();
    std::vector<BYTE> block;
    if (!ReadVersionBlock(file, block)) return false;

    struct Translation {
        WORD language;
        WORD codePage;
    };
    Translation* translations = nullptr;
    UINT length = 0;
    if (!QueryVersionValue(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                          &length) ||
        translations == nullptr || length < sizeof(Translation))
        return false;

    const std::wstring itemPath =
        FormatText(L"\\StringFileInfo\\%04x%04x\\%s", translations[0].language, translations[0].codePage, item.c_str());
    wchar_t* value = nullptr;
    if (!QueryVersionValue(block.data(), itemPath.c_str(), reinterpret_cast<void**>(&value), &length)) return false;
    if (value == nullptr) QEL_RAISE(itemPath, ::GetLastError());
    out.assign(value);
    return true;
}

bool GetFileVersionNumber(const std::wstring& file, uint64_t& out) {
    std::vector<BYTE> block;
    if (!ReadVersionBlock(file, block)) return false;
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!QueryVersionValue(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length)) return false;
    if (fixed == nullptr) QEL_RAISE(file, ::GetLastError());
    out = (static_cast<uint64_t>(fixed->dwFileVersionMS) << 32) | fixed->dwFileVersionLS;
    return true;
}

}  // namespace qel
