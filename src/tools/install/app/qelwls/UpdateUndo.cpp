// The undo records: what the rollback log holds beyond the file and driver
// records, so that a failed or killed run can be undone from the log alone.
// Their string fields are percent-encoded (a path or a registry name may hold
// a comma, a '|', a '%' or a line end); numbers are written "0x%08x" and
// registry data as hexadecimal bytes.
#include "BasicException.h"
#include "Handles.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"

#include <shlwapi.h>

#include <cwchar>

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";

std::wstring Encode(const std::wstring& text) {
    std::wstring encoded;
    encoded.reserve(text.size());
    for (wchar_t c : text) {
        if (c == L'%' || c == L',' || c == L'|' || c < 0x20)
            encoded += FormatText(L"%%%02X", static_cast<unsigned>(c));
        else
            encoded += c;
    }
    return encoded;
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
}

std::wstring Decode(const std::wstring& text) {
    std::wstring decoded;
    decoded.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'%' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 && HexDigit(text[i + 2]) >= 0) {
            decoded += static_cast<wchar_t>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

std::wstring HexBytes(const std::vector<BYTE>& data) {
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring hex;
    hex.reserve(data.size() * 2);
    for (BYTE b : data) {
        hex += digits[b >> 4];
        hex += digits[b & 0xF];
    }
    return hex;
}

std::vector<BYTE> BytesOfHex(const std::wstring& hex) {
    std::vector<BYTE> data;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        const int high = HexDigit(hex[i]), low = HexDigit(hex[i + 1]);
        if (high < 0 || low < 0) break;
        data.push_back(static_cast<BYTE>(high * 16 + low));
    }
    return data;
}

unsigned RootNumber(HKEY root) { return static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(root)); }

// Only the predefined roots are written into records and taken back from
// them: a record can never make the rollback open an arbitrary handle.
bool RootOfNumber(uint32_t number, HKEY& root) {
    if (number < 0x80000000u || number > 0x80000006u) return false;
    root = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(static_cast<LONG>(number)));
    return true;
}

std::wstring RegisterPrefix(const wchar_t* kind, HKEY root, REGSAM view, const std::wstring& subkey) {
    return FormatText(L"%s,0x%08x,0x%08x,", kind, RootNumber(root), static_cast<unsigned>(view)) + Encode(subkey);
}

// Deletes a key with everything below it, in the given view.
void DeleteKeyTree(HKEY root, REGSAM view, const std::wstring& subkey) {
    const size_t slash = subkey.find_last_of(L'\\');
    UniqueKey parent;
    HKEY parentKey = root;
    if (slash != std::wstring::npos) {
        if (::RegOpenKeyExW(root, subkey.substr(0, slash).c_str(), 0, KEY_ALL_ACCESS | view, parent.Put()) !=
            ERROR_SUCCESS)
            return;
        parentKey = parent.Get();
    }
    const std::wstring leaf = slash == std::wstring::npos ? subkey : subkey.substr(slash + 1);
    ::SHDeleteKeyW(parentKey, leaf.c_str());
}

const std::wstring& Field(const std::vector<std::wstring>& fields, size_t index) {
    static const std::wstring empty;
    return index < fields.size() ? fields[index] : empty;
}

}  // namespace

std::wstring SharedDllRecord(const SharedDllPrior& prior) {
    return L"SharedDll," + Encode(prior.valueName) +
           FormatText(L",0x%08x,%d,0x%08x\n", static_cast<unsigned>(prior.view), prior.existed ? 1 : 0, prior.count);
}

std::wstring TempFileRecord(const std::wstring& path) { return L"TempFile," + Encode(path) + L"\n"; }

std::wstring RestoreFileRecord(const std::wstring& path, const std::wstring& copy) {
    return L"RestoreFile," + Encode(path) + L"," + Encode(copy) + L"\n";
}

std::wstring NewLinkRecord(const std::wstring& path) { return L"NewLink," + Encode(path) + L"\n"; }

std::wstring RegValueRecord(HKEY root, REGSAM view, const std::wstring& subkey, const std::wstring& name, DWORD type,
                            const std::vector<BYTE>& data) {
    return RegisterPrefix(L"RegValue", root, view, subkey) + L"," + Encode(name) +
           FormatText(L",0x%08x,", static_cast<unsigned>(type)) + HexBytes(data) + L"\n";
}

std::wstring RegNoValueRecord(HKEY root, REGSAM view, const std::wstring& subkey, const std::wstring& name) {
    return RegisterPrefix(L"RegNoValue", root, view, subkey) + L"," + Encode(name) + L"\n";
}

std::wstring RegNewKeyRecord(HKEY root, REGSAM view, const std::wstring& subkey) {
    return RegisterPrefix(L"RegNewKey", root, view, subkey) + L"\n";
}

std::wstring RegKeyRecord(HKEY root, REGSAM view, const std::wstring& subkey) {
    return RegisterPrefix(L"RegKey", root, view, subkey) + L"\n";
}

std::wstring RegLinkRecord(HKEY root, REGSAM view, const std::wstring& subkey, const std::vector<BYTE>& target) {
    return RegisterPrefix(L"RegLink", root, view, subkey) + L"," + HexBytes(target) + L"\n";
}

bool IsRegistryRecordRoot(HKEY root) {
    HKEY checked = nullptr;
    return RootOfNumber(RootNumber(root), checked) && checked == root;
}

bool UndoRecord(const std::vector<std::wstring>& fields) {
    const std::wstring& kind = Field(fields, 0);
    if (kind == L"RestoreFile") {
        // The copy goes back over whatever has taken the file's place since.
        const std::wstring path = Decode(Field(fields, 1));
        const std::wstring copy = Decode(Field(fields, 2));
        TraceWrite(TraceDetail, L"Rollback(): MoveFile( \"%s\", \"%s\")\n", copy.c_str(), path.c_str());
        ::MoveFileExW(copy.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
        return true;
    }
    if (kind == L"TempFile") {
        // Only while it is still the empty file the run made: once it holds a
        // file moved aside, the MoveFile record has taken care of it.
        const std::wstring path = Decode(Field(fields, 1));
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) &&
            !(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && data.nFileSizeHigh == 0 && data.nFileSizeLow == 0) {
            TraceWrite(TraceDetail, L"Rollback(): DeleteFile( \"%s\" )\n", path.c_str());
            ::DeleteFileW(path.c_str());
        }
        return true;
    }
    if (kind == L"NewLink") {
        // An older link of the same name was moved aside before this record
        // was written; its MoveFile record, older, puts it back afterwards.
        const std::wstring path = Decode(Field(fields, 1));
        if (!path.empty() && !IsDirectory(path)) {
            TraceWrite(TraceDetail, L"Rollback(): DeleteFile( \"%s\" )\n", path.c_str());
            ::DeleteFileW(path.c_str());
        }
        return true;
    }
    if (kind == L"SharedDll") {
        SharedDllPrior prior{Decode(Field(fields, 1)), static_cast<REGSAM>(ParseLogNumber(Field(fields, 2))),
                             ParseLogNumber(Field(fields, 3)) != 0, ParseLogNumber(Field(fields, 4))};
        prior.view &= KEY_WOW64_32KEY | KEY_WOW64_64KEY;
        TraceWrite(TraceDetail, L"Rollback(): SharedDLLs refcount of %s restored.\n", prior.valueName.c_str());
        RestoreSharedDllCount(prior);
        return true;
    }
    if (kind != L"RegValue" && kind != L"RegNoValue" && kind != L"RegNewKey" && kind != L"RegKey" &&
        kind != L"RegLink")
        return false;

    HKEY root = nullptr;
    if (!RootOfNumber(ParseLogNumber(Field(fields, 1)), root)) return false;
    const REGSAM view = ParseLogNumber(Field(fields, 2)) & (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    const std::wstring subkey = Decode(Field(fields, 3));
    if (subkey.empty()) return false;
    if (kind == L"RegNewKey") {
        TraceWrite(TraceDetail, L"Rollback(): RegDeleteKey( \"%s\" )\n", subkey.c_str());
        DeleteKeyTree(root, view, subkey);
        return true;
    }
    UniqueKey key;
    if (kind == L"RegNoValue") {
        const std::wstring name = Decode(Field(fields, 4));
        TraceWrite(TraceDetail, L"Rollback(): RegDeleteValue( \"%s\", \"%s\" )\n", subkey.c_str(), name.c_str());
        if (::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_SET_VALUE | view, key.Put()) == ERROR_SUCCESS)
            ::RegDeleteValueW(key.Get(), name.c_str());
        return true;
    }
    if (kind == L"RegLink") {
        const std::vector<BYTE> target = BytesOfHex(Field(fields, 4));
        TraceWrite(TraceDetail, L"Rollback(): RegCreateLink( \"%s\" )\n", subkey.c_str());
        if (::RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_SET_VALUE | KEY_CREATE_LINK | view,
                              nullptr, key.Put(), nullptr) == ERROR_SUCCESS)
            ::RegSetValueExW(key.Get(), L"SymbolicLinkValue", 0, REG_LINK, target.data(), static_cast<DWORD>(target.size()));
        return true;
    }
    TraceWrite(TraceDetail, L"Rollback(): RegCreateKey( \"%s\" )\n", subkey.c_str());
    if (::RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.Put(), nullptr) !=
        ERROR_SUCCESS)
        return true;
    if (kind == L"RegValue") {
        const std::wstring name = Decode(Field(fields, 4));
        const std::vector<BYTE> data = BytesOfHex(Field(fields, 6));
        TraceWrite(TraceDetail, L"Rollback(): RegSetValue( \"%s\", \"%s\" )\n", subkey.c_str(), name.c_str());
        ::RegSetValueExW(key.Get(), name.c_str(), 0, ParseLogNumber(Field(fields, 5)), data.data(),
                         static_cast<DWORD>(data.size()));
    }
    return true;
}

std::wstring DecodeUndoField(const std::wstring& field) { return Decode(field); }

std::wstring CommittedRecord() { return L"Committed\n"; }

bool IsCommittedRecord(const std::vector<std::wstring>& fields) {
    return fields.size() == 1 && fields[0] == L"Committed";
}

std::wstring CleanupRecord(const DirOp& op) {
    return FormatText(L"Cleanup,%u,", static_cast<unsigned>(op.kind)) + Encode(op.path) + L"\n";
}

bool ReadCleanupRecord(const std::vector<std::wstring>& fields, DirOp& op) {
    if (fields.size() != 3 || fields[0] != L"Cleanup") return false;
    wchar_t* end = nullptr;
    const unsigned long kind = std::wcstoul(fields[1].c_str(), &end, 10);
    if (fields[1].empty() || *end != L'\0') return false;
    op.kind = static_cast<uint32_t>(kind);
    op.path = Decode(fields[2]);
    return !op.path.empty();
}

bool IsUndoRecord(const std::vector<std::wstring>& fields) {
    struct Kind {
        const wchar_t* name;
        size_t fields;  // the kind and everything its line carries
        bool registry;
    };
    static const Kind kinds[] = {
        {L"TempFile", 2, false}, {L"RestoreFile", 3, false}, {L"NewLink", 2, false},  {L"SharedDll", 5, false}, {L"RegValue", 7, true},
        {L"RegNoValue", 5, true}, {L"RegNewKey", 4, true}, {L"RegKey", 4, true},     {L"RegLink", 5, true},
    };
    for (const Kind& kind : kinds) {
        if (Field(fields, 0) != kind.name) continue;
        if (fields.size() < kind.fields) return false;
        if (!kind.registry) return true;
        HKEY root = nullptr;
        return RootOfNumber(ParseLogNumber(fields[1]), root) && !Decode(fields[3]).empty();
    }
    return false;
}

void UpdateTransaction::LogUndoRecord(const std::wstring& line) {
    // Every road of a command opens a rollback log before it changes
    // anything; a transaction used without one has nothing to undo from.
    LogFile& log = RecordLog();
    if (!log.IsOpen()) return;
    if (log.WriteLine(line) != LogOk) QEL_RAISE(log.Path(), ::GetLastError());
}

void UpdateTransaction::LogCommitted(const std::vector<DirOp>& cleanup) {
    LogFile& log = RecordLog();
    if (!log.IsOpen()) return;
    std::vector<std::wstring> records;
    for (const DirOp& op : cleanup) records.push_back(CleanupRecord(op));
    records.push_back(CommittedRecord());
    // Written ahead with one flush, then taken: should the flush fail, the
    // failure's rollback cuts them off again before it reads the log, and
    // undoes the run as after any other failure.
    if (log.WriteAhead(records) != LogOk) QEL_RAISE(log.Path(), ::GetLastError());
    for (const std::wstring& record : records) LogUndoRecord(record);
}

bool UpdateTransaction::MoveAsideQuietly(const std::wstring& path) {
    const std::wstring aside = MakeLoggedTempFile(DirectoryOf(path));
    LogUndoRecord(FormatText(L"MoveFile,%s,%s\n", LogField(path).c_str(), LogField(aside).c_str()));
    ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!::MoveFileExW(path.c_str(), aside.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD error = ::GetLastError();
        ::DeleteFileW(aside.c_str());
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
        LogUndoRecord(TempFileRecord(buffer));
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
