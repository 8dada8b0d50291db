// Files at commit: install through a temporary copy beside the destination,
// removal by moving aside, moves that wait for the next restart when a file is
// in use, and the SharedDLLs reference counts.
#include "BasicException.h"
#include "Handles.h"
#include "Trace.h"
#include "Update.h"
#include "UpdateDecisions.h"
#include "Util.h"
#include "UtilFileChanges.h"

#include <setupapi.h>

#include <cwchar>
#include <unordered_set>


namespace qel {
namespace {
constexpr const char* kModuleName = "Update";
constexpr wchar_t kSharedDllsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";

bool HasFlag(uint32_t flags, uint32_t flag) { return (flags & flag) != 0; }

// A move or copy that may not replace anything met a name taken.
bool IsNameTakenError(DWORD error) { return error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS; }

}  // namespace

// A file another program holds open without delete sharing reports a sharing
// violation when it is renamed; a mapped or protected one reports access
// denied. Either way it is in use, and what cannot be done now is done at the
// next restart.
bool IsInUseError(DWORD error) { return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION; }

namespace {

// Fills `temp` from the source as SetupAPI says: decompressed, or copied as
// it is.
void FillFromSource(const std::wstring& source, const std::wstring& temp, uint32_t flags) {
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

// Copies the source into the temporary file through the handle that made
// it, as CopyFileW would (the source's last-write time kept), and makes its
// attributes normal as the move into place would. The file is the one this
// run made and never reached by name again, so it needs no check that it is
// still plain. False, with nothing said, where SetupAPI's own way must fill
// it instead: a source whose first bytes are those of a kind of file SetupAPI
// decompresses (LZ files "SZDD" and "KWAJ", cabinets "MSCF"), one that cannot
// be opened or read, a write that fails, or a system without the call that
// sets the file's times and attributes through its handle (before Vista). So
// every answer and every failure stays the one SetupAPI or the copy gives.
bool CopyIntoOpenFile(const std::wstring& source, HANDLE target) {
    using SetInformationFn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
    static const auto setInformation = reinterpret_cast<SetInformationFn>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), "SetFileInformationByHandle")));
    if (!setInformation) return false;
    UniqueHandle input(::CreateFileW(source.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!input) return false;
    FILETIME lastWrite{};
    if (!::GetFileTime(input.Get(), nullptr, nullptr, &lastWrite)) return false;
    static std::vector<char> buffer(1 << 20);
    for (bool first = true;; first = false) {
        DWORD read = 0;
        if (!::ReadFile(input.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr)) return false;
        if (read == 0) break;
        if (first && read >= 2) {
            const std::string start(buffer.data(), 2);
            if (start == "SZ" || start == "KW" || start == "MS") return false;
        }
        DWORD written = 0;
        if (!::WriteFile(target, buffer.data(), read, &written, nullptr) || written != read) return false;
    }
    FILE_BASIC_INFO basic{};
    basic.LastWriteTime.LowPart = lastWrite.dwLowDateTime;
    basic.LastWriteTime.HighPart = static_cast<LONG>(lastWrite.dwHighDateTime);
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return setInformation(target, FileBasicInfo, &basic, sizeof(basic)) != FALSE;
}

// Fills `temp` with the source: extracted from its cabinet, decompressed, or
// copied as it is. `opened`, when it holds the temporary file, is used for a
// plain copy and closed. True when the file's attributes were made normal
// on the way.
bool FillTemporaryCopy(const std::wstring& source, const std::wstring& temp, UniqueHandle& opened, uint32_t flags,
                       const std::wstring& cabinet) {
    if (!cabinet.empty()) {
        opened.Reset();
        if (!ExtractFileFromCabinet(cabinet, source, temp)) QEL_RAISE(source, ::GetLastError());
    } else {
        if (opened && CopyIntoOpenFile(source, opened.Get())) {
            opened.Reset();
            return true;
        }
        opened.Reset();
        // SetupAPI's way, from an empty file as MakeLoggedTempFile made it (a
        // decompression writes over what is there without cutting it).
        UniqueHandle emptied(::CreateFileW(temp.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, TRUNCATE_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
        emptied.Reset();
        FillFromSource(source, temp, flags);
    }
    // The temporary file was reached by name once more to fill it: it must
    // still be the plain file this run made, not something put in its place.
    if (!IsPlainFile(temp)) QEL_RAISE(L"the temporary file was replaced: " + temp, ERROR_CANT_ACCESS_FILE);
    return false;
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

// A name that only an entry of the same letters, in any case, can answer:
// no wildcard (a pattern), no "~" (a short name may stand for another), no
// trailing dot or space (Windows drops them).
bool IsPlainName(const std::wstring& name) {
    if (name.empty() || name == L"." || name == L".." || name.back() == L'.' || name.back() == L' ') return false;
    for (wchar_t c : name)
        if (c < 0x20 || c > 0x7E || std::wcschr(L"\\/:*?\"<>|~", c) != nullptr) return false;
    return true;
}

}  // namespace

FolderNames::Folder& FolderNames::Listing(const std::wstring& folderPath) {
    const auto known = folders_.find(folderPath);
    if (known != folders_.end()) return known->second;
    Folder& folder = folders_[folderPath];
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(::FindFirstFileW(JoinPath(folderPath, L"*").c_str(), &found));
    if (!find) {
        // A folder that is not there holds nothing (yet); one that cannot be
        // listed is asked about name by name.
        const DWORD error = ::GetLastError();
        if ((error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) &&
            ::GetFileAttributesW(folderPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
            const DWORD missing = ::GetLastError();
            folder.listed = missing == ERROR_FILE_NOT_FOUND || missing == ERROR_PATH_NOT_FOUND;
        }
        return folder;
    }
    do {
        for (const wchar_t* name : {found.cFileName, found.cAlternateFileName}) {
            if (!IsAsciiText(name)) {
                // A name beyond ASCII may match an ASCII one in some case
                // mapping: such a folder is asked about name by name.
                folder.names.clear();
                folder.notPlain.clear();
                return folder;
            }
            if (*name == L'\0') continue;
            folder.names.insert(AsciiLowercase(name));
            if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0)
                folder.notPlain.insert(AsciiLowercase(name));
        }
    } while (::FindNextFileW(find.Get(), &found));
    if (::GetLastError() != ERROR_NO_MORE_FILES) {
        folder.names.clear();
        folder.notPlain.clear();
        return folder;
    }
    folder.listed = true;
    return folder;
}

FolderNames::Answer FolderNames::Lookup(const std::wstring& path) {
    const std::wstring name = GetFileNamePart(path);
    const std::wstring folderPath = DirectoryOf(path);
    if (!IsPlainName(name) || folderPath.size() >= path.size()) return Unknown;
    const Folder& folder = Listing(folderPath);
    if (!folder.listed) return Unknown;
    const std::wstring key = AsciiLowercase(name);
    if (folder.changed.count(key) != 0) return Unknown;
    return folder.names.count(key) != 0 ? Present : Absent;
}

bool FolderNames::KnownPlainFile(const std::wstring& path) {
    return Lookup(path) == Present &&
           Listing(DirectoryOf(path)).notPlain.count(AsciiLowercase(GetFileNamePart(path))) == 0;
}

void FolderNames::Changed(const std::wstring& path) {
    // The folders above it too: making a folder may make its parents.
    for (std::wstring at = path;;) {
        const std::wstring folderPath = DirectoryOf(at);
        if (folderPath.size() >= at.size()) return;
        folders_[folderPath].changed.insert(AsciiLowercase(GetFileNamePart(at)));
        at = folderPath;
    }
}

void UpdateTransaction::CommitFileInstall(const std::wstring& source, const std::wstring& destination,
                                          uint32_t flags, const std::wstring& cabinet) {
    CommitFileInstall(source, destination, flags, cabinet, FileExists(destination));
}

void UpdateTransaction::CommitFileInstall(const std::wstring& source, const std::wstring& destination,
                                          uint32_t flags, const std::wstring& cabinet, bool present) {
    TraceWrite(TraceDetail, L"CommitFileInstall( \"%s\", \"%s\")\n", source.c_str(), destination.c_str());
    uint64_t installed = 0, offered = kUnversionedOffer;
    if (FileInstallComparesVersions(flags, present)) {
        if (!GetFileVersionNumber(destination, installed)) installed = 0;
        if (!GetFileVersionNumber(source, offered)) offered = kUnversionedOffer;
    }
    const FileInstallDecision decision = DecideFileInstall(flags, present, installed, offered);
    switch (decision.action) {
    case FileInstallAction::SkipPresent:
        TraceWrite(TraceDetail, L"CommitFileInstall: skipping, flags include NO_OVERWRITE\n");
        return;
    case FileInstallAction::SkipAbsent:
        TraceWrite(TraceDetail, L"CommitFileInstall: skipping, flags include REPLACEONLY\n");
        return;
    case FileInstallAction::SkipNewer:
        TraceWrite(TraceDetail, L"CommitFileInstall: skipping, system version is up to date\n");
        return;
    case FileInstallAction::Copy:
    case FileInstallAction::Replace:
        break;
    }

    const std::wstring folder = DirectoryOf(destination);
    if (!folderNames || !folderNames->FolderKnown(folder)) {
        if (!FileExists(folder)) {
            LogRollbackRecord(journal::CreateDirRecord{folder});
            CreateDirectoryTree(folder);
            if (folderNames) folderNames->Changed(folder);
        }
        if (folderNames) folderNames->FolderFound(folder);
    }
    UniqueHandle opened;
    const std::wstring temp = MakeOpenLoggedTempFile(folder, opened);
    LogRollbackRecord(journal::CopyFileRecord{source, temp});
    const bool tempNormal = FillTemporaryCopy(source, temp, opened, flags, cabinet);

    // Nothing this install did can have made or removed the destination.
    MoveResult result = MoveDone;
    std::wstring asideAtRestart;
    if (present) {
        const std::wstring aside = MakeLoggedTempFile(folder);
        movedAsideFiles.push_back(aside);
        result = MoveFileLogged(destination, aside, true, MoveToIsPlain);
        if (result == MoveAtRestart) asideAtRestart = aside;
    }
    if (decision.atRestart || result == MoveAtRestart)
        result = QueuedMove(temp, destination);
    else if (result == MoveDone)
        result = MoveFileLogged(temp, destination, true,
                                (tempNormal ? MoveFromIsNormal : 0u) | (present ? 0u : MoveToIsPlain));
    if (result == MoveFailed) QEL_RAISE(destination, ::GetLastError());
    // A file in use goes aside only at the restart, long after the clean-up
    // that deletes what was moved aside: the restart deletes it as well,
    // after the two moves (it makes them in the order they were registered).
    if (!asideAtRestart.empty() && QueuedMove(asideAtRestart, L"") == MoveFailed)
        QEL_RAISE(asideAtRestart, ::GetLastError());

    if (decision.restartRequired) {
        TraceWrite(TraceDetail, L"ReplaceBootFile(\"%s\", \"%s\"), reboot required.\n", source.c_str(),
                   destination.c_str());
        rebootRequired = true;
    }
}

void UpdateTransaction::CommitFileRemove(const std::wstring& path, uint32_t flags) {
    TraceWrite(TraceDetail, L"CommitFileRemove: %s, %x.\n", path.c_str(), flags);
    const bool present = PathPresent(path);
    const bool isFolder = present && !(folderNames && folderNames->KnownPlainFile(path)) && IsDirectory(path);
    const FileRemovalDecision decision = DecideFileRemoval(flags, present, isFolder);
    if (decision.action == FileRemovalAction::Folder) {
        // A DelFiles line without a name, say: moved aside, the folder would
        // take everything in it with it.
        TraceWrite(TraceDetail, L"CommitFileRemove: skipping, \"%s\" is a folder\n", path.c_str());
        return;
    }
    if (decision.releasesCount) ReleaseSharedDllRef(path);
    if (decision.action != FileRemovalAction::Remove) return;

    // The file goes to a free name straight away when the listing knows
    // one; should the name be taken since, to an empty file made for it.
    bool nameOnly = false;
    std::wstring aside = MakeLoggedTempFile(DirectoryOf(path), &nameOnly);
    // A file moved aside keeps its attributes: the clean-up's deletion
    // clears them where it must, and a rollback puts the file back as it was.
    MoveResult moved =
        MoveFileLogged(path, aside, false, MoveFromIsNormal | MoveToIsPlain | (nameOnly ? MoveToIsFree : 0u));
    if (moved == MoveFailed && nameOnly && IsNameTakenError(::GetLastError())) {
        aside = MakeLoggedTempFile(DirectoryOf(path));
        nameOnly = false;
        moved = MoveFileLogged(path, aside, false, MoveFromIsNormal | MoveToIsPlain);
    }
    if (folderNames) folderNames->Changed(path);
    // Reached through a link since the check before the commit: the removal
    // fails, rather than waiting for the restart to follow the link.
    if (moved == MoveFailed && ::GetLastError() == kErrorReachedThroughLink) QEL_RAISE(path, kErrorReachedThroughLink);
    if (moved == MoveDone) {
        movedAsideFiles.push_back(aside);
        return;
    }
    // The file is in use: it goes at the next restart. The empty temporary
    // file, if one was made, is no longer needed.
    // A deletion at the restart needs the file writable.
    if (!nameOnly) DeleteFileWithoutLinks(aside);
    MakeNormalWithoutLinks(path);
    if (QueuedMove(path, L"") == MoveFailed && rollbackEnabled) QEL_RAISE(path, ::GetLastError());
}

// Records written ahead. The file stages write the records of up to
// kFilesAhead files with one flush: of each new file the CreateDir of its
// folder if that is still to be made, the TempFile of its temporary copy, the
// CopyFile into it and the MoveFile into place; of each removal the TempFile
// of the name it is moved aside to and that MoveFile. Each record is still on
// disk before its change, and the commit then writes them as always, taking
// each from the lines ahead (LogFile::WriteAhead); a run that goes another
// way, or fails, cuts those not taken before anything else is written or
// read. Only a run killed on the way leaves records of changes it never made,
// and undoing those undoes nothing: a CreateDir is never undone; the CopyFile
// and TempFile records delete a temporary file the run never made (TempFile
// only an empty one); the MoveFile into place of a new file finds no
// destination to move back; the MoveFile of a removal finds the file still in
// place and does not move over it. Not written ahead: the records of a file
// that replaces another (undone before the old file was moved aside, the
// MoveFile into place would move the old file away), those of SharedDLLs
// counts (read when they change) and of moves at the next restart.
namespace {
constexpr size_t kFilesAhead = 256;
}

void UpdateTransaction::WriteFileInstallRecordsAhead(size_t first) {
    LogFile& log = RecordLog();
    if (!folderNames || !log.IsOpen() || log.HasLinesAhead()) return;
    std::vector<journal::RollbackRecord> records;
    UINT number = LastTempNumber();
    std::unordered_set<std::wstring> foldersFound;
    for (size_t index = first; index < fileInstalls.size() && index < first + kFilesAhead; ++index) {
        const FileOp& op = fileInstalls[index];
        // Only files that are not there yet, and that go into place now.
        if (folderNames->Lookup(op.destination) != FolderNames::Absent) break;
        const FileInstallDecision decision = DecideFileInstall(op.flags, false, 0, kUnversionedOffer);
        if (!decision.Installs()) continue;  // skipped without a record
        if (decision.atRestart) break;
        // A folder still to be made is announced before the first file in it.
        const std::wstring folder = DirectoryOf(op.destination);
        if (!folderNames->FolderKnown(folder) && foldersFound.insert(folder).second && !FileExists(folder))
            records.push_back(journal::CreateDirRecord{folder});
        const std::wstring temp = PredictTempName(folder, number);
        if (temp.empty()) break;
        records.push_back(journal::TempFileRecord{temp});
        records.push_back(journal::CopyFileRecord{op.source, temp});
        records.push_back(journal::MoveFileRecord{temp, op.destination});
        // Its count is read and recorded after the install.
        if (HasFlag(op.flags, SHARED_DLL)) break;
    }
    if (records.size() > 1) WriteRecordsAhead(records);
}

void UpdateTransaction::WriteFileRemoveRecordsAhead(size_t first) {
    LogFile& log = RecordLog();
    if (!folderNames || !log.IsOpen() || log.HasLinesAhead()) return;
    std::vector<journal::RollbackRecord> records;
    UINT number = LastTempNumber();
    for (size_t index = first; index < fileRemoves.size() && index < first + kFilesAhead; ++index) {
        const FileOp& op = fileRemoves[index];
        if (HasFlag(op.flags, SHARED_DLL)) break;
        const FolderNames::Answer answer = folderNames->Lookup(op.source);
        if (answer == FolderNames::Unknown) break;
        const bool present = answer == FolderNames::Present;
        const bool isFolder = present && !folderNames->KnownPlainFile(op.source) && IsDirectory(op.source);
        if (DecideFileRemoval(op.flags, present, isFolder).action != FileRemovalAction::Remove)
            continue;  // nothing is removed, and nothing recorded
        const std::wstring aside = PredictTempName(DirectoryOf(op.source), number);
        if (aside.empty()) break;
        records.push_back(journal::TempFileRecord{aside});
        records.push_back(journal::MoveFileRecord{op.source, aside});
    }
    if (records.size() > 1) WriteRecordsAhead(records);
}

void UpdateTransaction::CutRecordsAhead() {
    LogFile& log = RecordLog();
    if (log.HasLinesAhead() && !log.CutLinesAhead()) QEL_RAISE(log.Path(), ::GetLastError());
}

MoveResult UpdateTransaction::MoveFileLogged(const std::wstring& from, const std::wstring& to, bool delayAllowed,
                                             unsigned known) {
    // Clears read-only on a file about to be replaced.
    if ((known & MoveFromIsNormal) == 0) MakeNormalWithoutLinks(from);
    if ((known & (MoveToIsPlain | MoveToIsFree)) == 0) MakeNormalWithoutLinks(to);
    LogRollbackRecord(journal::MoveFileRecord{from, to});
    const bool replace = (known & MoveToIsFree) == 0;
    if (MoveWithoutLinks(from, to, replace)) return MoveDone;
    if (!IsInUseError(::GetLastError()) || !delayAllowed) return MoveFailed;
    return QueuedMove(from, to);
}

MoveResult UpdateTransaction::QueuedMove(const std::wstring& from, const std::wstring& to) {
    MakeNormalWithoutLinks(from);
    if (!to.empty()) MakeNormalWithoutLinks(to);
    LogRollbackRecord(journal::QueuedMoveRecord{from, to});
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
    const bool counted = ::RegQueryValueExW(key.Get(), name.valueName.c_str(), nullptr, &type,
                                            reinterpret_cast<BYTE*>(&count), &size) == ERROR_SUCCESS;
    count = SharedCountAfterAdd(counted, count, presentBefore);
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
    const SharedCountRelease release = SharedCountAfterRelease(true, count);
    if (!release.last) {
        if (::RegSetValueExW(key.Get(), name.valueName.c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&release.after), sizeof(release.after)) != ERROR_SUCCESS)
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
    LogUndoRecord(ReadSharedDllCount(name));
    IncrementSharedDllCount(name, path, presentBefore, kModuleName,
                            L"Adjusting SharedDLLs refcount for %s (presentOnSystem = %d).\n");
}

void UpdateTransaction::ReleaseSharedDllRef(const std::wstring& path) {
    const SharedDllName name = SharedDllNameOf(path, kModuleName);
    LogUndoRecord(ReadSharedDllCount(name));
    DecrementSharedDllCount(name, path);
}

}  // namespace qel
