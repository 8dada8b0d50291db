// Moves and deletions that follow no link. The program runs elevated in
// folders an ordinary user may be able to change: a folder on the way swapped
// for a junction, or a file for a link, between the check before the commit
// and the change would aim the change at whatever the link leads to. So every
// move and deletion opens the file or folder by handle without following a
// reparse point, checks through that handle that it is no link and lies where
// its path says, and changes it through the same handle: the object checked
// is the object changed.
#include "Handles.h"
#include "Trace.h"
#include "Util.h"
#include "UtilFileChanges.h"

#include <map>
#include <mutex>
#include <vector>

namespace qel {
namespace {

using GetInformationFn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);
using SetInformationFn = BOOL(WINAPI*)(HANDLE, FILE_INFO_BY_HANDLE_CLASS, LPVOID, DWORD);

// Both arrived with Vista; looked up so the program still starts before it.
struct ByHandleCalls {
    GetInformationFn get = nullptr;
    SetInformationFn set = nullptr;
    bool Present() const { return get && set; }
};

const ByHandleCalls& Calls() {
    static const ByHandleCalls calls = [] {
        const HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
        ByHandleCalls found;
        found.get = reinterpret_cast<GetInformationFn>(
            reinterpret_cast<void*>(::GetProcAddress(kernel, "GetFileInformationByHandleEx")));
        found.set = reinterpret_cast<SetInformationFn>(
            reinterpret_cast<void*>(::GetProcAddress(kernel, "SetFileInformationByHandle")));
        return found;
    }();
    return calls;
}

// The name of the opened object within its volume, as the file system
// resolved it ("\Program Files\Qel\a.dll"): every link on the way resolved.
bool NameOnVolume(HANDLE handle, std::wstring& out) {
    // Room for most names at once; a longer one is asked again in full.
    std::vector<DWORD> buffer(2 + MAX_PATH);  // DWORDs, aligned for FILE_NAME_INFO
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer.data());
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (Calls().get(handle, FileNameInfo, buffer.data(), static_cast<DWORD>(buffer.size() * sizeof(DWORD)))) {
            out.assign(info->FileName, info->FileNameLength / sizeof(wchar_t));
            return true;
        }
        if (::GetLastError() != ERROR_MORE_DATA) return false;
        buffer.assign(2 + info->FileNameLength / sizeof(DWORD) + 1, 0);
    }
    return false;
}

// "X:\" or "\\server\share\": the part of a full path that names the volume.
size_t RootLength(const std::wstring& path) {
    if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return 3;
    const bool unc = path.size() > 2 && path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' && path[2] != L'.';
    if (!unc) return 0;
    const size_t server = path.find(L'\\', 2);
    const size_t share = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    return share == std::wstring::npos ? 0 : share + 1;
}

// Where a root lies on its volume: "\" for a drive, the folder a substituted
// drive stands for, the share's own name for a network path. Asked once per
// root: only an administrator changes what a drive letter of this session
// stands for.
std::wstring NameOfRoot(const std::wstring& root) {
    static std::mutex guard;
    static std::map<std::wstring, std::wstring> names;
    const std::wstring key = Lowercase(root);
    std::lock_guard<std::mutex> lock(guard);
    const auto known = names.find(key);
    if (known != names.end()) return known->second;
    UniqueHandle handle(::CreateFileW(root.c_str(), FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring name;
    if (!handle || !NameOnVolume(handle.Get(), name)) return L"\\";
    if (name.empty() || name.back() != L'\\') name += L'\\';
    return names.emplace(key, name).first->second;
}

// The opened object's name equals the one its path gives on that volume.
bool NameMatches(const std::wstring& actual, const std::wstring& path) {
    std::wstring text = path;
    while (text.size() > 3 && text.back() == L'\\') text.pop_back();
    const size_t root = RootLength(text);
    if (root == 0) return false;
    const std::wstring expected = NameOfRoot(text.substr(0, root)) + text.substr(root);
    return actual.size() == expected.size() && ::lstrcmpiW(actual.c_str(), expected.c_str()) == 0;
}

// The object is no link and lies where its path says: no link, junction or
// mount point anywhere on the way. The path's text first; only when that
// differs its canonical form (short names, "\\?\", "..": the same object in
// other text).
bool IsWhereItsPathSays(HANDLE handle, const std::wstring& path) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!Calls().get(handle, FileAttributeTagInfo, &tag, sizeof(tag))) return false;
    if (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
    std::wstring actual;
    if (!NameOnVolume(handle, actual)) return false;
    if (NameMatches(actual, path)) return true;
    const std::wstring canonical = CanonicalPath(path);
    return !canonical.empty() && NameMatches(actual, canonical);
}

enum class ObjectKind { File, Folder, Either };

// Opens the object to be moved or deleted, never following a link at its
// name; empty with the error of the open, or ERROR_CANT_ACCESS_FILE when it
// is a link or lies elsewhere than its path says. Wine follows the link at
// the name even so (it shows a link to a folder by its attributes, and none
// to a file), but reports the name the object was reached by: a link on the
// way, or at the name, is found by that.
UniqueHandle OpenChecked(const std::wstring& path, ObjectKind kind, DWORD access, DWORD extraFlags) {
    const DWORD flags = FILE_FLAG_OPEN_REPARSE_POINT | extraFlags |
                        (kind == ObjectKind::File ? 0u : static_cast<DWORD>(FILE_FLAG_BACKUP_SEMANTICS));
    // The access and sharing of MoveFileExW and DeleteFileW: a file another
    // program holds without delete sharing gives their sharing violation.
    UniqueHandle handle(::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      flags, nullptr));
    if (!handle) return handle;
    if (!IsWhereItsPathSays(handle.Get(), path)) {
        TraceWrite(TraceError, L"\"%s\" is reached through a link; it is not changed\n", path.c_str());
        ::SetLastError(ERROR_CANT_ACCESS_FILE);
        return UniqueHandle();
    }
    return handle;
}

UniqueHandle OpenForChange(const std::wstring& path, ObjectKind kind, DWORD extraFlags = 0) {
    return OpenChecked(path, kind, DELETE, extraFlags);
}

bool SetDeleted(HANDLE handle) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return Calls().set(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

}  // namespace

bool MoveWithoutLinks(const std::wstring& from, const std::wstring& to, bool replace) {
    // Before Vista there is no rename by handle: the check before the commit
    // is all there is.
    if (!Calls().Present())
        return ::MoveFileExW(from.c_str(), to.c_str(),
                             (replace ? MOVEFILE_REPLACE_EXISTING : 0u) | MOVEFILE_WRITE_THROUGH) != FALSE;
    const UniqueHandle handle = OpenForChange(from, ObjectKind::Either, FILE_FLAG_WRITE_THROUGH);
    if (!handle) return false;
    // Where the move goes is checked too: its folder a link would put the
    // file somewhere the script never named.
    std::wstring toFolder = DirectoryOf(to);
    if (Lowercase(toFolder) != Lowercase(DirectoryOf(from))) {
        if (toFolder.size() == 2) toFolder += L'\\';  // a drive's root
        const UniqueHandle folder = OpenChecked(toFolder, ObjectKind::Folder, 0, 0);
        if (!folder && ::GetLastError() == ERROR_CANT_ACCESS_FILE) return false;
    }
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + (to.size() + 1) * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = replace ? TRUE : FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    wmemcpy(rename->FileName, to.c_str(), to.size() + 1);
    return Calls().set(handle.Get(), FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != FALSE;
}

bool DeleteFileWithoutLinks(const std::wstring& path) {
    if (!Calls().Present()) return ::DeleteFileW(path.c_str()) != FALSE;
    // Without backup semantics a folder does not open, with DeleteFileW's
    // access denied.
    const UniqueHandle handle = OpenForChange(path, ObjectKind::File);
    return handle && SetDeleted(handle.Get());
}

bool RemoveFolderWithoutLinks(const std::wstring& path) {
    if (!Calls().Present()) return ::RemoveDirectoryW(path.c_str()) != FALSE;
    const UniqueHandle handle = OpenForChange(path, ObjectKind::Folder);
    if (!handle) return false;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!Calls().get(handle.Get(), FileAttributeTagInfo, &tag, sizeof(tag))) return false;
    if (!(tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        ::SetLastError(ERROR_DIRECTORY);
        return false;
    }
    return SetDeleted(handle.Get());
}

bool MakeNormalWithoutLinks(const std::wstring& path) {
    if (!Calls().Present()) return ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL) != FALSE;
    // Attribute access alone, which no other program's sharing refuses: a
    // file in use has its read-only cleared before its move at the restart.
    const UniqueHandle handle = OpenChecked(path, ObjectKind::Either, FILE_WRITE_ATTRIBUTES, 0);
    if (!handle) return false;
    FILE_BASIC_INFO basic{};  // times of zero are left as they are
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return Calls().set(handle.Get(), FileBasicInfo, &basic, sizeof(basic)) != FALSE;
}

bool IsReachedWithoutLinks(const std::wstring& path) {
    if (!Calls().Present()) return !PassesThroughReparsePoint(path);
    const UniqueHandle handle = OpenChecked(path, ObjectKind::Either, 0, 0);
    return handle || ::GetLastError() != ERROR_CANT_ACCESS_FILE;
}

}  // namespace qel
