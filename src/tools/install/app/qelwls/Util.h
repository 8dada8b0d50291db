// Platform utilities shared by every module: the Windows version number, paths
// and well-known folders, file versions, registry enumeration, access rights,
// text conversions, signature checks and cabinet extraction. Nothing here keeps
// state. Failures the caller cannot go on from raise BasicException (module
// "Util"); expected absences come back as false or an OS error code.
#pragma once

#include "Handles.h"

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
// The path in the form Windows resolves it to, for comparing: a "\\?\",
// "\\.\" or "\??\" prefix taken off, made full ("." and ".." resolved),
// and the part that exists in its long names (short 8.3 names expanded).
// Case is kept; empty when the path cannot be made full.
std::wstring CanonicalPath(const std::wstring& path);
// Both paths name the same file or folder (canonical forms, case ignored).
bool IsSamePath(const std::wstring& a, const std::wstring& b);
// The path is the folder or lies below it, compared in canonical form and
// without regard to case.
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

// --- registry links ----------------------------------------------------------
// A registry link (a key made with REG_OPTION_CREATE_LINK) leads to the key its
// SymbolicLinkValue names. The program runs elevated, and a user who may make
// subkeys somewhere (below a key an AddReg line granted, in the user's own
// hive) owns them and may make links in them: a write or deletion that
// followed one would reach a key of that user's choosing. Every registry
// change the program makes below such keys opens key by key with
// REG_OPTION_OPEN_LINK, and these decide what a link met on the way means.
enum class RegistryLinks {
    Refuse,         // no link is followed (a user's own hive)
    FollowTrusted,  // a link only administrators can change is followed (CurrentControlSet, say)
};
// ERROR_STOPPED_ON_SYMLINK: the path meets a link that is not to be followed.
constexpr LSTATUS kErrorStoppedOnLink = 681;
// True when `opened`, root\path opened with REG_OPTION_OPEN_LINK, is a link.
// A key that only holds a value of type REG_LINK is none: it is the key it
// names, whatever its values say.
bool IsRegistryLink(HKEY root, const std::wstring& path, HKEY opened, REGSAM view);
// Opens root\path key by key. The keys on the way are followed through a
// link only as `links` allows; the last key is opened itself, link or not,
// and `isLink` says which (a link is never followed there).
LSTATUS OpenKeyOrLink(HKEY root, const std::wstring& path, REGSAM access, RegistryLinks links, UniqueKey& out,
                      bool& isLink);
// Opens root\path key by key; a link anywhere on the way, the last key
// included, is followed only as `links` allows, else kErrorStoppedOnLink.
LSTATUS OpenKeyWithoutLinks(HKEY root, const std::wstring& path, REGSAM access, RegistryLinks links, UniqueKey& out);
// The same, making the keys that are missing (each made where the path was
// checked, never through a link made meanwhile).
LSTATUS CreateKeyWithoutLinks(HKEY root, const std::wstring& path, REGSAM access, RegistryLinks links,
                              UniqueKey& out);
// Sees each step of a tree deletion (for a caller's diagnostic lines).
class KeyTreeWatcher {
public:
    virtual ~KeyTreeWatcher() = default;
    // Before parent\path is opened: the top key, then every subkey below it.
    virtual void Entering(HKEY /*parent*/, const std::wstring& /*path*/) {}
    // A subkey could not be deleted; the deletion ends.
    virtual void SubkeyFailed(const std::wstring& /*name*/) {}
};
// Deletes parent\path with everything below it, depth first. Every key is
// opened with REG_OPTION_OPEN_LINK and deleted by its handle: a link is
// deleted as a link, never the key it leads to. The keys on the way to
// parent\path follow `links`. ERROR_SUCCESS when it is gone, else the error
// of the first key that could not be opened or deleted (ERROR_FILE_NOT_FOUND:
// there was nothing to delete; kErrorStoppedOnLink: a link on the way).
LSTATUS DeleteKeyTreeWithoutLinks(HKEY parent, const std::wstring& path, REGSAM access, RegistryLinks links,
                                  KeyTreeWatcher* watcher = nullptr);

// --- access rights -------------------------------------------------------------
bool IsAdmin();
// Lets interactive users read and change the values of HKLM\<path> and make
// subkeys below it; nothing more.
bool GrantInteractiveAccess(const std::wstring& keyPathUnderHklm);
// True when only administrators can change the key (see JudgeWriters).
bool OnlyAdministratorsCanChange(HKEY key);
// The rights that change a registry key or what it holds, and those that
// change a file or folder or what it holds (names in a folder included).
extern const DWORD kKeyChangingRights;
extern const DWORD kFileChangingRights;
// Whether anyone but administrators may change what a security descriptor
// guards, and if not who may, in words.
struct WriterVerdict {
    bool onlyAdministrators = false;
    std::wstring reason;  // empty when onlyAdministrators
};
// Decides on the owner and the access list of `descriptor` alone, without
// asking Windows about any account. Administrators are the Administrators
// group, the system, the Windows installer service (TrustedInstaller) and
// `account`, the account this elevated run belongs to, which the start
// checked to be an administrator (null: none). The owner must be one of
// them (an owner may rewrite the list); no access entry that applies to the
// object may give anyone else one of `changingRights`; no access list at all
// lets everyone do everything. Entries that only refuse are passed over.
WriterVerdict JudgeWriters(PSECURITY_DESCRIPTOR descriptor, DWORD changingRights, PSID account);
// True when `owner` is one of the administrators above.
bool IsAdministratorSid(PSID owner, PSID account);
// The account of the running process (its token's user).
std::vector<BYTE> RunningAccountSid();
// Whether a file the program believes on a later run (an uninstall log, a
// rollback log, a run marker) can be believed: only when no one but
// administrators may change the file (`file`) or the folder it lies in
// (`folder`); the reason names which of the two and who may change it.
WriterVerdict JudgeJournalFile(PSECURITY_DESCRIPTOR file, PSECURITY_DESCRIPTOR folder, PSID account);
// The same for a file open with READ_CONTROL at `path`, for the running
// account; a path through a link is refused.
WriterVerdict JudgeJournalFileAt(HANDLE file, const std::wstring& path);

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
// The system's text of a Windows error ("The system cannot find the file
// specified."), without its line end; empty when the system has none.
std::wstring SystemErrorText(DWORD error);
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
