// Platform utilities shared by every module: the Windows version number, paths
// and well-known folders, file versions, registry enumeration, access rights,
// text conversions, signature checks and cabinet extraction. Nothing here keeps
// state. Failures the caller cannot go on from raise BasicException (module
// "Util"); expected absences come back as false or an OS error code.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qel {

// Windows version numbers as SetupGetRunningWinVer reports them.
enum WinVer : int {
    WinVerUnsupported = 0,
    WinVer95 = 1,
    WinVerNT4 = 2,
    WinVer95Later = 3,
    WinVer98 = 4,
    WinVer2000 = 5,
    WinVerMe = 6,
    WinVerXP = 7,     // XP and Server 2003
    WinVerVista = 8,  // Vista and every later version
};

// --- version and platform -------------------------------------------------
int SetupGetRunningWinVer();
// From now on SetupGetRunningWinVer answers `version` instead of the running
// system's number (WinVerUnsupported: the system's own again). A tool that
// reads a script as it would run on another version sets it; a command never
// does.
void AssumeRunningWinVer(int version);
bool IsWindowsNT();
bool IsWow64();
// True on the given version or later (major, minor and service-pack major,
// each compared as greater or equal).
bool IsWindowsVersionOrLater(DWORD major, DWORD minor, WORD servicePackMajor);
LANGID GetUILanguage();

// --- paths and folders ------------------------------------------------------
int GetFullPath(const std::wstring& path, std::wstring& out);
void GetDirectoryPart(std::wstring& path);  // in place
std::wstring GetFileNamePart(const std::wstring& path);
void AppendPath(std::wstring& folder, const std::wstring& name);  // in place
// The same two as new strings, for building paths in one expression.
std::wstring DirectoryOf(const std::wstring& path);
std::wstring JoinPath(const std::wstring& folder, const std::wstring& name);
void GetModulePath(HMODULE module, std::wstring& out);
void GetModuleDirectory(HMODULE module, std::wstring& out);
void GetWindowsFolder(std::wstring& out);
std::wstring SystemFolder();
void GetProgramFilesFolder(std::wstring& out);
bool FileExists(const std::wstring& path);
bool IsDirectory(const std::wstring& path);
// "X:\..." or "\\server\...": a path that does not depend on the current folder.
bool IsAbsolutePath(const std::wstring& path);
// Links, junctions and mount points: a path through one reaches somewhere
// its text does not say.
bool IsReparsePoint(const std::wstring& path);
bool PassesThroughReparsePoint(const std::wstring& path);
bool TreeHoldsReparsePoint(const std::wstring& folder);
// A file (not a folder, not a link) with no other name than this one.
bool IsPlainFile(const std::wstring& path);
// The path is the folder or lies below it, compared in full and without
// regard to case.
bool IsSameOrBelow(const std::wstring& path, const std::wstring& folder);
// The longest path Windows can name; a longer one raises (it could never be
// created, and its log records could not be carried back).
constexpr size_t kMaxPathChars = 32767;
void CheckPathLength(const std::wstring& path);
// Takes back a move registered for the next restart (an empty `to`: a
// deletion). False when no such registration was found.
bool CancelRestartMove(const std::wstring& from, const std::wstring& to);
bool IsOemInfName(const std::wstring& path);
void MakeTempFile(const std::wstring& folder, std::wstring& out);
void CreateDirectoryTree(const std::wstring& path);

// --- file versions ----------------------------------------------------------
bool GetFileVersionString(const std::wstring& file, const std::wstring& item, std::wstring& out);
bool GetFileVersionNumber(const std::wstring& file, uint64_t& out);

// --- registry ----------------------------------------------------------------
LSTATUS EnumSubkeyName(HKEY key, DWORD index, std::wstring& out);
LSTATUS EnumValueName(HKEY key, DWORD index, std::wstring& out);
LSTATUS QueryStringValue(HKEY key, const std::wstring& valueName, std::wstring& out);

// --- access rights -------------------------------------------------------------
bool IsAdmin();
// Lets interactive users read and change the values of HKLM\<path> and make
// subkeys below it; nothing more.
bool GrantInteractiveAccess(const std::wstring& keyPathUnderHklm);
// True when only administrators, the system and the Windows installer
// service can change the key (its owner is one of them, and nobody else is
// allowed to write it).
bool OnlyAdministratorsCanChange(HKEY key);

// --- text ------------------------------------------------------------------------
void SplitCommaList(const std::wstring& text, std::vector<std::wstring>& list);
std::wstring Lowercase(std::wstring text);
// Text of ASCII characters only, and A-Z alone lowered: for names whose case
// folding must not depend on the system's tables.
bool IsAsciiText(const std::wstring& text);
std::wstring AsciiLowercase(std::wstring text);
void WideToUtf8(const std::wstring& wide, std::string& utf8);
int Utf8ToWide(const std::string& utf8, std::wstring& wide);
// Formats with the C runtime's own printf semantics (in a wide format "%s" is a
// wide string, "%S" a narrow one, "%I64x" a 64-bit value, a null "%s" prints
// "(null)"), cut to at most maxChars - 1 characters.
std::wstring FormatMessageV(size_t maxChars, const wchar_t* format, va_list args);
// The same without a limit: log records carry paths of any length.
std::wstring FormatWholeV(const wchar_t* format, va_list args);
std::wstring FormatText(const wchar_t* format, ...);
// One argument of a command line, quoted when it needs it, so that the C
// runtime's split gives it back as it was (backslashes before a quote doubled).
std::wstring QuoteArgument(const std::wstring& argument);

// --- libraries ------------------------------------------------------------------
// An export of a library of the system folder, loaded by its full path; raises
// when the library or the export is missing.
FARPROC GetSystemLibraryExport(const wchar_t* library, const char* name);
// The typed form: SystemCall<decltype(&::VerQueryValueW)>(L"version.dll", "VerQueryValueW").
template <typename Fn>
Fn SystemCall(const wchar_t* library, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetSystemLibraryExport(library, name)));
}
// A library of the system folder held for one operation: loaded by its full
// path on construction (raises naming it when missing), freed when the
// object goes, also when an exception passes.
class LoadedLibrary {
public:
    explicit LoadedLibrary(const wchar_t* name);
    ~LoadedLibrary();
    LoadedLibrary(const LoadedLibrary&) = delete;
    LoadedLibrary& operator=(const LoadedLibrary&) = delete;
    // Null when the library has no such export.
    FARPROC Export(const char* name) const;

private:
    std::unique_ptr<struct LoadedModule> module_;
};
// Libraries load from the system folder only, from the first line of the
// program on. False when Windows refused.
bool RestrictDllSearchToSystemFolder();

// --- the launch without elevation ----------------------------------------------
// Starts the tray program as the logged-on user at the normal run level
// through a one-shot scheduled task. 0 on success, 1 on failure (logged).
int CreateProcessWithoutAdmin();

// --- signatures and cabinets ---------------------------------------------------
bool VerifyTrust(const std::wstring& filePath);
bool ExtractFileFromCabinet(const std::wstring& cabinet, const std::wstring& fileName,
                            const std::wstring& destination);

}  // namespace qel
