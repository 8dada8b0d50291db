// Files at commit: install through a temporary copy beside the destination,
// removal by moving aside, moves that wait for the next restart when a file is
// in use, and the SharedDLLs reference counts.
#include "BasicException.h"
#include "Handles.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"

#include <setupapi.h>


namespace qel {
namespace {
constexpr const char* kModuleName = "Update";
constexpr wchar_t kSharedDllsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
constexpr uint64_t kUnversioned = 0x7FFFFFFFFFFFFFFFull;  // an unversioned offer beats any version

bool HasFlag(uint32_t flags, uint32_t flag) { return (flags & flag) != 0; }

}  // namespace

// A file another program holds open without delete sharing reports a sharing
// violation when it is renamed; a mapped or protected one reports access
// denied. Either way it is in use, and what cannot be done now is done at the
// next restart.
bool IsInUseError(DWORD error) { return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION; }

namespace {

// Fills `temp` with the source: extracted from its cabinet, decompressed, or
// copied as it is.
void FillTemporaryCopy(const std::wstring& source, const std::wstring& temp, uint32_t flags,
                       const std::wstring& cabinet) {
    if (!cabinet.empty()) {
        if (!ExtractFileFromCabinet(cabinet, source, temp)) QEL_RAISE(source, ::GetLastError());
        return;
    }
    PWSTR actualSource = nullptr;
    DWORD sourceSize = 0, targetSize = 0;
    UINT compression = FILE_COMPRESSION_NONE;
    const DWORD status =
        ::SetupGetFileCompressionInfoW(source.c_str(), &actualSource, &sourceSize, &targetSize, &compression);
    UniqueLocalMem actualSourceOwner(actualSource);
    if (status != NO_ERROR) QEL_RAISE(source, status);
    if (compression != FILE_COMPRESSION_NONE && !HasFlag(flags, COPYFLG_NODECOMP)) {
        const DWORD result = ::SetupDecompressOrCopyFileW(source.c_str(), temp.c_str(), nullptr);
        if (result != NO_ERROR) QEL_RAISE(source, result);
        return;
    }
    if (!::CopyFileW(source.c_str(), temp.c_str(), FALSE)) QEL_RAISE(source, ::GetLastError());
}

// Before Vista a 64-bit system keeps the counts of 32-bit system files in the
// 32-bit view, under their System32 name.
SharedDllName ApplySysWow64Rule(const std::wstring& path, const char* module) {
    const int version = SetupGetRunningWinVer();
    if (version >= WinVerVista) {
        TraceWrite(TraceDetail, L"SetupGetRunningWinVer -> %d, Found vista OS. Skipping SysWOW64\n", version);
        return {path, 0};
    }
    const UINT wowLength = ::GetSystemWow64DirectoryW(nullptr, 0);
    std::wstring wowFolder(wowLength, L'\0');
    if (wowLength == 0 || ::GetSystemWow64DirectoryW(&wowFolder[0], wowLength) == 0)
        throw BasicException(module, __LINE__, path, ::GetLastError());
    wowFolder.resize(wcslen(wowFolder.c_str()));
    TraceWrite(TraceDetail, L"GetSystemWow64Directory -> %s\n", wowFolder.c_str());

    const std::wstring lowerPath = Lowercase(path);
    const std::wstring lowerWow = Lowercase(wowFolder);
    const size_t at = lowerPath.find(lowerWow);
    if (at == std::wstring::npos) return {path, 0};
    wchar_t systemFolder[MAX_PATH];
    const UINT systemLength = ::GetSystemDirectoryW(systemFolder, MAX_PATH);
    if (systemLength == 0 || systemLength >= MAX_PATH) throw BasicException(module, __LINE__, path, ::GetLastError());
    std::wstring valueName = lowerPath;
    valueName.replace(at, lowerWow.size(), systemFolder);
    return {valueName, KEY_WOW64_32KEY};
}

}  // namespace

void UpdateTransaction::CommitFileInstall(const std::wstring& source, const std::wstring& destination,
                                          uint32_t flags, const std::wstring& cabinet) {
    TraceWrite(TraceDetail, L"CommitFileInstall( \"%s\", \"%s\")\n", source.c_str(), destination.c_str());
    const bool present = FileExists(destination);
    if (present && HasFlag(flags, COPYFLG_NO_OVERWRITE)) {
        TraceWrite(TraceDetail, L"CommitFileInstall: skipping, flags include NO_OVERWRITE\n");
        return;
    }
    if (!present && HasFlag(flags, COPYFLG_REPLACEONLY)) {
        TraceWrite(TraceDetail, L"CommitFileInstall: skipping, flags include REPLACEONLY\n");
        return;
    }
    uint64_t installed = 0;
    if (!GetFileVersionNumber(destination, installed)) installed = 0;
    uint64_t offered = 0;
    if (!GetFileVersionNumber(source, offered)) offered = kUnversioned;
    if (!HasFlag(flags, COPYFLG_NOVERSIONCHECK) && HasFlag(flags, COPYFLG_OVERWRITE_OLDER_ONLY) &&
        installed > offered) {
        TraceWrite(TraceDetail, L"CommitFileInstall: skipping, system version is up to date\n");
        return;
    }

    const std::wstring folder = DirectoryOf(destination);
    if (!FileExists(folder)) {
        LogRollbackRecord(L"CreateDir,%s\n", LogField(folder).c_str());
        CreateDirectoryTree(folder);
    }
    const std::wstring temp = MakeLoggedTempFile(folder);
    LogRollbackRecord(L"CopyFile,%s,%s\n", LogField(source).c_str(), LogField(temp).c_str());
    FillTemporaryCopy(source, temp, flags, cabinet);
    // The temporary file was reached by name once more to fill it: it must
    // still be the plain file this run made, not something put in its place.
    if (!IsPlainFile(temp)) QEL_RAISE(L"the temporary file was replaced: " + temp, ERROR_CANT_ACCESS_FILE);

    MoveResult result = MoveDone;
    if (FileExists(destination)) {
        const std::wstring aside = MakeLoggedTempFile(folder);
        movedAsideFiles.push_back(aside);
        result = MoveFileLogged(destination, aside, true);
    }
    if (HasFlag(flags, COPYFLG_FORCE_FILE_IN_USE) || result == MoveAtRestart)
        result = QueuedMove(temp, destination);
    else if (result == MoveDone)
        result = MoveFileLogged(temp, destination, true);
    if (result == MoveFailed) QEL_RAISE(destination, ::GetLastError());

    if (HasFlag(flags, COPYFLG_REPLACE_BOOT_FILE)) {
        TraceWrite(TraceDetail, L"ReplaceBootFile(\"%s\", \"%s\"), reboot required.\n", source.c_str(),
                   destination.c_str());
        rebootRequired = true;
    }
}

void UpdateTransaction::CommitFileRemove(const std::wstring& path, uint32_t flags) {
    TraceWrite(TraceDetail, L"CommitFileRemove: %s, %x.\n", path.c_str(), flags);
    if (!FileExists(path)) return;
    // A folder where a file is named (a DelFiles line without a name, say) is
    // never removed as a whole: moved aside, it would take everything in it
    // with it. Such a line is passed over.
    if (IsDirectory(path)) {
        TraceWrite(TraceDetail, L"CommitFileRemove: skipping, \"%s\" is a folder\n", path.c_str());
        return;
    }
    if (HasFlag(flags, SHARED_DLL)) ReleaseSharedDllRef(path);
    // Only files the system copied on its own account, with no version
    // check, are ever removed: anything else may belong to someone else.
    const uint32_t keepers = NO_UNINSTALL_RECORD | COPYFLG_REPLACEONLY | COPYFLG_NO_OVERWRITE;
    if ((flags & keepers) != 0 || !HasFlag(flags, COPYFLG_NOVERSIONCHECK)) return;

    const std::wstring aside = MakeLoggedTempFile(DirectoryOf(path));
    if (MoveFileLogged(path, aside, false) == MoveDone) {
        movedAsideFiles.push_back(aside);
        return;
    }
    // The file is in use: it goes at the next restart. The empty temporary
    // file is no longer needed.
    ::DeleteFileW(aside.c_str());
    if (QueuedMove(path, L"") == MoveFailed && rollbackEnabled) QEL_RAISE(path, ::GetLastError());
}

MoveResult UpdateTransaction::MoveFileLogged(const std::wstring& from, const std::wstring& to, bool delayAllowed) {
    // Clears read-only on a file about to be replaced.
    ::SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_NORMAL);
    ::SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    LogRollbackRecord(L"MoveFile,%s,%s\n", LogField(from).c_str(), LogField(to).c_str());
    if (::MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return MoveDone;
    if (!IsInUseError(::GetLastError()) || !delayAllowed) return MoveFailed;
    return QueuedMove(from, to);
}

MoveResult UpdateTransaction::QueuedMove(const std::wstring& from, const std::wstring& to) {
    ::SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!to.empty()) ::SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
    LogRollbackRecord(L"QueuedMove,%s,%s\n", LogField(from).c_str(), LogField(to).c_str());
    const BOOL queued = to.empty() ? ::MoveFileExW(from.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)
                                   : ::MoveFileExW(from.c_str(), to.c_str(),
                                                   MOVEFILE_DELAY_UNTIL_REBOOT | MOVEFILE_REPLACE_EXISTING);
    if (!queued) return MoveFailed;
    TraceWrite(TraceDetail, L"MoveFileEx(\"%s\", \"%s\"), reboot required.\n", from.c_str(), to.c_str());
    rebootRequired = true;
    return MoveAtRestart;
}

SharedDllName SharedDllNameOf(const std::wstring& path, const char* module) {
    return ApplySysWow64Rule(path, module);
}

SharedDllPrior ReadSharedDllCount(const SharedDllName& name) {
    SharedDllPrior prior{name.valueName, name.view, false, 0};
    UniqueKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, KEY_READ | name.view, key.Put()) != ERROR_SUCCESS)
        return prior;
    DWORD count = 0, type = 0, size = sizeof(count);
    if (::RegQueryValueExW(key.Get(), name.valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&count),
                           &size) == ERROR_SUCCESS) {
        prior.existed = true;
        prior.count = count;
    }
    return prior;
}

void IncrementSharedDllCount(const SharedDllName& name, const std::wstring& path, bool presentBefore,
                             const char* module, const wchar_t* message) {
    TraceWrite(TraceDetail, message, name.valueName.c_str(), presentBefore ? 1 : 0);
    UniqueKey key;
    LSTATUS status = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, nullptr, 0,
                                       KEY_READ | KEY_WRITE | name.view, nullptr, key.Put(), nullptr);
    if (status != ERROR_SUCCESS) throw BasicException(module, __LINE__, path, static_cast<DWORD>(status));

    DWORD count = 0, type = 0, size = sizeof(count);
    if (::RegQueryValueExW(key.Get(), name.valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&count),
                           &size) != ERROR_SUCCESS) {
        // A file that was there before the install is taken to have one user
        // besides this one.
        count = presentBefore ? 2 : 1;
    } else if (++count == 0) {
        count = 1;
    }
    status = ::RegSetValueExW(key.Get(), name.valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                              sizeof(count));
    if (status != ERROR_SUCCESS) throw BasicException(module, __LINE__, path, static_cast<DWORD>(status));
}

void RestoreSharedDllCount(const SharedDllPrior& prior) {
    UniqueKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, KEY_READ | KEY_WRITE | prior.view, key.Put()) !=
        ERROR_SUCCESS)
        return;
    if (prior.existed)
        ::RegSetValueExW(key.Get(), prior.valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&prior.count),
                         sizeof(prior.count));
    else
        ::RegDeleteValueW(key.Get(), prior.valueName.c_str());
}

bool DecrementSharedDllCount(const SharedDllName& name, const std::wstring& path) {
    TraceWrite(TraceDetail, L"Adjusting SharedDLLs refcount for %s.\n", path.c_str());
    UniqueKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, KEY_READ | KEY_WRITE | name.view, key.Put()) !=
        ERROR_SUCCESS)
        return true;
    DWORD count = 0, type = 0, size = sizeof(count);
    if (::RegQueryValueExW(key.Get(), name.valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&count),
                           &size) != ERROR_SUCCESS) {
        TraceWrite(TraceDetail, L"Cannot read SharedDLLs refcount.\n");
        return true;
    }
    if (--count != 0) {
        if (::RegSetValueExW(key.Get(), name.valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                             sizeof(count)) != ERROR_SUCCESS)
            TraceWrite(TraceDetail, L"Cannot write new SharedDLLs refcount.\n");
        return false;
    }
    ::RegDeleteValueW(key.Get(), name.valueName.c_str());
    return true;
}

// Each count change is announced with the count as it was, so a rollback, or
// the recovery of a killed run, sets it back.
void UpdateTransaction::AddSharedDllRef(const std::wstring& path, bool presentBefore) {
    const SharedDllName name = SharedDllNameOf(path, kModuleName);
    LogUndoRecord(SharedDllRecord(ReadSharedDllCount(name)));
    IncrementSharedDllCount(name, path, presentBefore, kModuleName,
                            L"Adjusting SharedDLLs refcount for %s (presentOnSystem = %d).\n");
}

void UpdateTransaction::ReleaseSharedDllRef(const std::wstring& path) {
    const SharedDllName name = SharedDllNameOf(path, kModuleName);
    LogUndoRecord(SharedDllRecord(ReadSharedDllCount(name)));
    DecrementSharedDllCount(name, path);
}

}  // namespace qel
