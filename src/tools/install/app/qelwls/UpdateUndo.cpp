// Writing the journal of a transaction: the rollback log's undo records,
// the records written ahead of their changes, the record that closes a run's
// changes, and the temporary files whose names are announced there before
// they are made.
#include "BasicException.h"
#include "Handles.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"
#include "UtilFileChanges.h"

#include <cwchar>

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";
}  // namespace

void UpdateTransaction::LogUndoRecord(const journal::RollbackRecord& record) {
    // Every road of a command opens a rollback log before it changes
    // anything; a transaction used without one has nothing to undo from.
    LogFile& log = RecordLog();
    if (!log.IsOpen()) return;
    if (log.WriteLine(journal::Encode(record)) != LogOk) QEL_RAISE(log.Path(), ::GetLastError());
}

void UpdateTransaction::WriteRecordsAhead(const std::vector<journal::RollbackRecord>& records) {
    std::vector<std::wstring> lines;
    for (const journal::RollbackRecord& record : records) lines.push_back(journal::Encode(record));
    LogFile& log = RecordLog();
    if (log.WriteAhead(lines) != LogOk) QEL_RAISE(log.Path(), ::GetLastError());
}

void UpdateTransaction::LogCommitted(const std::vector<DirOp>& cleanup) {
    if (!RecordLog().IsOpen()) return;
    std::vector<journal::RollbackRecord> records;
    for (const DirOp& op : cleanup) records.push_back(journal::CleanupRecord{op.kind, op.path});
    records.push_back(journal::CommittedRecord{});
    // Written ahead with one flush, then taken: should the flush fail, the
    // failure's rollback cuts them off again before it reads the log, and
    // undoes the run as after any other failure.
    WriteRecordsAhead(records);
    for (const journal::RollbackRecord& record : records) LogUndoRecord(record);
}

bool UpdateTransaction::MoveAsideQuietly(const std::wstring& path) {
    const std::wstring aside = MakeLoggedTempFile(DirectoryOf(path));
    LogUndoRecord(journal::MoveFileRecord{path, aside});
    MakeNormalWithoutLinks(path);
    if (!MoveWithoutLinks(path, aside, true)) {
        const DWORD error = ::GetLastError();
        DeleteFileWithoutLinks(aside);
        ::SetLastError(error);
        return false;
    }
    movedAsideFiles.push_back(aside);
    return true;
}

UINT& UpdateTransaction::LastTempNumber() {
    static UINT number = ::GetTickCount() & 0xFFFF;
    return number;
}

namespace {
std::wstring TempFileName(const std::wstring& folder, UINT number) {
    std::wstring buffer(folder.size() + 16, L'\0');
    if (!::GetTempFileNameW(folder.c_str(), L"qel", number, &buffer[0])) QEL_RAISE(folder, ::GetLastError());
    buffer.resize(wcslen(buffer.c_str()));
    return buffer;
}
}  // namespace

std::wstring UpdateTransaction::MakeLoggedTempFile(const std::wstring& folder, bool* nameOnly) {
    UniqueHandle file;
    return LoggedTempFile(folder, nameOnly, file);
}

std::wstring UpdateTransaction::MakeOpenLoggedTempFile(const std::wstring& folder, UniqueHandle& opened) {
    return LoggedTempFile(folder, nullptr, opened);
}

std::wstring UpdateTransaction::LoggedTempFile(const std::wstring& folder, bool* nameOnly, UniqueHandle& file) {
    // The name is chosen, announced, and only then the file is made, so a
    // run killed at any moment leaves no temporary file the log does not
    // name.
    if (nameOnly) *nameOnly = false;
    UINT& next = LastTempNumber();
    for (int attempt = 0; attempt < 0x10000; ++attempt) {
        next = (next + 1) & 0xFFFF;
        if (next == 0) continue;
        const std::wstring buffer = TempFileName(folder, next);
        const FolderNames::Answer answer = folderNames ? folderNames->Lookup(buffer) : FolderNames::Unknown;
        if (answer == FolderNames::Present ||
            (answer == FolderNames::Unknown && ::GetFileAttributesW(buffer.c_str()) != INVALID_FILE_ATTRIBUTES))
            continue;
        LogUndoRecord(journal::TempFileRecord{buffer});
        if (nameOnly && answer == FolderNames::Absent) {
            folderNames->Changed(buffer);
            *nameOnly = true;
            return buffer;
        }
        file.Reset(::CreateFileW(buffer.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                 nullptr));
        const DWORD error = ::GetLastError();
        if (folderNames) folderNames->Changed(buffer);
        if (file) return buffer;
        if (error != ERROR_FILE_EXISTS) QEL_RAISE(buffer, error);
    }
    QEL_RAISE(folder, ERROR_FILE_EXISTS);
}

std::wstring UpdateTransaction::PredictTempName(const std::wstring& folder, UINT& number) {
    for (int attempt = 0; attempt < 0x10000; ++attempt) {
        number = (number + 1) & 0xFFFF;
        if (number == 0) continue;
        std::wstring name(folder.size() + 16, L'\0');
        if (::GetTempFileNameW(folder.c_str(), L"qel", number, &name[0])) {
            name.resize(wcslen(name.c_str()));
        } else {
            // A folder still to be made has no names yet: the name is the one
            // the number gives in any folder (a guess; a wrong one only
            // costs the records written ahead).
            std::wstring windowsFolder;
            GetWindowsFolder(windowsFolder);
            name.assign(windowsFolder.size() + 16, L'\0');
            if (!::GetTempFileNameW(windowsFolder.c_str(), L"qel", number, &name[0])) return std::wstring();
            name = JoinPath(folder, GetFileNamePart(name.c_str()));
        }
        const FolderNames::Answer answer = folderNames ? folderNames->Lookup(name) : FolderNames::Unknown;
        if (answer == FolderNames::Absent) return name;
        if (answer == FolderNames::Unknown) return std::wstring();
    }
    return std::wstring();
}

bool UpdateTransaction::PathPresent(const std::wstring& path) {
    const FolderNames::Answer answer = folderNames ? folderNames->Lookup(path) : FolderNames::Unknown;
    if (answer == FolderNames::Unknown) return FileExists(path);
    return answer == FolderNames::Present;
}

}  // namespace qel
