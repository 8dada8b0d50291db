// Registry changes at commit: deletions (stage 2) and additions (stage 7), and
// the deletion of key trees. Before each change an undo record keeps what was
// there (a value, a deleted key tree) or what is new (a key, a value), so a
// rollback leaves the registry as the run found it.
#include "BasicException.h"
#include "Handles.h"
#include "Trace.h"
#include "Update.h"
#include "UpdateDecisions.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";

// The access every key of a record is opened or created with.
REGSAM RecordAccess(uint32_t flags) { return KEY_ALL_ACCESS | RegistryViewOf(flags, SetupGetRunningWinVer()); }

// A registry link names the key it leads to in this value.
constexpr wchar_t kLinkValue[] = L"SymbolicLinkValue";

// What is said of a key that is reached only through a link a user can change.
constexpr wchar_t kBeyondUsersLink[] = L" lies beyond a registry link that users can change";

REGSAM ViewOf(REGSAM access) { return access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY); }

// A value's type and data; false when it does not exist or cannot be read.
bool ReadValue(HKEY key, const std::wstring& name, DWORD& type, std::vector<BYTE>& data) {
    DWORD size = 0;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (::RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return false;
        data.resize(size);
        const LSTATUS status = ::RegQueryValueExW(key, name.c_str(), nullptr, &type, data.data(), &size);
        if (status == ERROR_SUCCESS) {
            data.resize(size);
            return true;
        }
        if (status != ERROR_MORE_DATA) return false;
    }
    return false;
}

// Undo records for a key tree about to be deleted: every key and every value
// below root\path, so that a rollback builds the tree again.
void LogKeyTree(UpdateTransaction& t, HKEY root, REGSAM view, const std::wstring& path) {
    UniqueKey key;
    bool isLink = false;
    if (OpenKeyOrLink(root, path, KEY_READ | view, RegistryLinks::FollowTrusted, key, isLink) != ERROR_SUCCESS) return;
    if (isLink) {
        DWORD type = 0;
        std::vector<BYTE> target;
        if (ReadValue(key.Get(), kLinkValue, type, target))
            t.LogUndoRecord(journal::RegLinkRecord{{root, view, path}, target});
        return;
    }
    t.LogUndoRecord(journal::RegKeyRecord{{root, view, path}});
    std::wstring name;
    for (DWORD index = 0; EnumValueName(key.Get(), index, name) == ERROR_SUCCESS; ++index) {
        DWORD type = 0;
        std::vector<BYTE> data;
        if (ReadValue(key.Get(), name, type, data))
            t.LogUndoRecord(journal::RegValueRecord{{root, view, path}, name, type, data});
    }
    for (DWORD index = 0; EnumSubkeyName(key.Get(), index, name) == ERROR_SUCCESS; ++index)
        LogKeyTree(t, root, view, path + L"\\" + name);
}

// An undo record for the first key of root\subkey that does not exist yet,
// which creating the whole path is about to make.
void LogNewKeys(UpdateTransaction& t, HKEY root, REGSAM view, const std::wstring& subkey) {
    for (size_t end = subkey.find(L'\\');; end = subkey.find(L'\\', end + 1)) {
        const std::wstring prefix = subkey.substr(0, end);
        UniqueKey key;
        if (!prefix.empty() &&
            ::RegOpenKeyExW(root, prefix.c_str(), 0, KEY_READ | view, key.Put()) == ERROR_FILE_NOT_FOUND) {
            t.LogUndoRecord(journal::RegNewKeyRecord{{root, view, prefix}});
            return;
        }
        if (end == std::wstring::npos) return;
    }
}

// An undo record for a value about to be written or deleted: its old data,
// or that it did not exist.
void LogValueBefore(UpdateTransaction& t, HKEY root, REGSAM view, const std::wstring& subkey, HKEY key,
                    const std::wstring& name) {
    DWORD type = 0;
    std::vector<BYTE> data;
    if (ReadValue(key, name, type, data))
        t.LogUndoRecord(journal::RegValueRecord{{root, view, subkey}, name, type, data});
    else
        t.LogUndoRecord(journal::RegNoValueRecord{{root, view, subkey}, name});
}

}  // namespace

void UpdateTransaction::CommitRegDelete(HKEY root, const std::wstring& subkey, const std::wstring& valueName,
                                        uint32_t flags) {
    if (subkey.empty()) QEL_RAISE();
    const bool undoable = journal::IsRegistryRecordRoot(root);
    switch (DecideRegDelete(valueName, flags)) {
    case RegDeleteAction::Key:
        if (undoable) LogKeyTree(*this, root, ViewOf(RecordAccess(flags)), subkey);
        // A key that is already gone is what a deletion wants.
        if (!GSMUDeleteKey(root, subkey, flags))
            TraceWrite(TraceDetail, L"GSMUDeleteKey: '%s' is not found.\n", subkey.c_str());
        return;
    case RegDeleteAction::PassOver:
        return;
    case RegDeleteAction::Value:
        break;
    }

    UniqueKey key;
    const LSTATUS opened = OpenKeyWithoutLinks(root, subkey, RecordAccess(flags), RegistryLinks::FollowTrusted, key);
    if (opened == ERROR_FILE_NOT_FOUND) return;
    if (opened == kErrorStoppedOnLink) QEL_RAISE(subkey + kBeyondUsersLink, static_cast<DWORD>(opened));
    if (opened != ERROR_SUCCESS) QEL_RAISE();
    if (undoable) {
        DWORD type = 0;
        std::vector<BYTE> data;
        if (ReadValue(key.Get(), valueName, type, data))
            LogUndoRecord(journal::RegValueRecord{{root, ViewOf(RecordAccess(flags)), subkey}, valueName, type, data});
    }
    const LSTATUS deleted = ::RegDeleteValueW(key.Get(), valueName.c_str());
    if (deleted != ERROR_SUCCESS && deleted != ERROR_FILE_NOT_FOUND) QEL_RAISE();
}

bool UpdateTransaction::GSMUDeleteKey(HKEY parent, const std::wstring& path, uint32_t flags) {
    // Every key of the tree, the top one first, gets its line as it is
    // reached; a subkey that stays ends the deletion.
    class Trace : public KeyTreeWatcher {
    public:
        void Entering(HKEY key, const std::wstring& name) override {
            TraceWrite(TraceDetail, L"GSMUDeleteKey: parentKey=0x%08X, path='%s'\n",
                       static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(key)), name.c_str());
        }
        void SubkeyFailed(const std::wstring& name) override {
            TraceWrite(TraceDetail, L"GSMUDeleteKey: Failed to delete key '%s'\n", name.c_str());
        }
    } trace;
    if (path.empty()) {
        trace.Entering(parent, path);
        QEL_RAISE();
    }
    // A link in the tree is deleted as a link; one on the way to it that a
    // user can change is not followed, and nothing is deleted.
    const LSTATUS status =
        DeleteKeyTreeWithoutLinks(parent, path, RecordAccess(flags), RegistryLinks::FollowTrusted, &trace);
    if (status == kErrorStoppedOnLink)
        TraceWrite(TraceError, L"GSMUDeleteKey: '%s'%s; it is not deleted\n", path.c_str(), kBeyondUsersLink);
    return status == ERROR_SUCCESS;
}

void UpdateTransaction::CommitRegAdd(HKEY root, const std::wstring& subkey, const std::wstring& valueName,
                                     uint32_t type, uint32_t flags, const std::vector<BYTE>& data, uint32_t access) {
    // "HKR" stands for the driver keys of the devices a driver update reaches;
    // only that update can supply one.
    if (root == RelativeRoot()) QEL_RAISE();

    const bool undoable = journal::IsRegistryRecordRoot(root);
    const REGSAM view = ViewOf(RecordAccess(flags));
    if (undoable) LogNewKeys(*this, root, view, subkey);
    UniqueKey key;
    // A value written through a link a user made would land in a key of the
    // user's choosing, with the rights of this program.
    const LSTATUS created = CreateKeyWithoutLinks(root, subkey, RecordAccess(flags), RegistryLinks::FollowTrusted, key);
    if (created == kErrorStoppedOnLink) QEL_RAISE(subkey + kBeyondUsersLink, static_cast<DWORD>(created));
    if (created != ERROR_SUCCESS) QEL_RAISE();
    bool exists = false;
    DWORD existingType = 0;
    DWORD existingSize = 0;
    if (RegAddLooksAtValue(flags)) {
        const LSTATUS queried =
            ::RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, &existingType, nullptr, &existingSize);
        if (queried != ERROR_SUCCESS && queried != ERROR_FILE_NOT_FOUND) QEL_RAISE();
        exists = queried == ERROR_SUCCESS;
    }
    std::vector<BYTE> combined;
    const std::vector<BYTE>* toWrite = &data;
    switch (DecideRegAdd(flags, exists)) {
    case RegAddAction::KeyOnly:
    case RegAddAction::Keep:
    case RegAddAction::Skip:
        return;
    case RegAddAction::Write:
        break;
    case RegAddAction::Append: {
        // One spare character, so that the buffer is never empty.
        std::vector<BYTE> existing(existingSize + sizeof(wchar_t));
        DWORD readSize = existingSize;
        if (::RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, &existingType, existing.data(), &readSize) !=
            ERROR_SUCCESS)
            QEL_RAISE();
        existing.resize(readSize);
        const RegAppendResult appended = AppendToValue(existingType, existing, data, combined);
        if (appended == RegAppendResult::NotAppendable) QEL_RAISE();
        if (appended == RegAppendResult::AlreadyListed) return;
        toWrite = &combined;
        break;
    }
    }

    if (undoable) LogValueBefore(*this, root, view, subkey, key.Get(), valueName);
    if (::RegSetValueExW(key.Get(), valueName.c_str(), 0, type, toWrite->data(),
                         static_cast<DWORD>(toWrite->size())) != ERROR_SUCCESS)
        QEL_RAISE();

    if (GrantsInteractiveAccess(access, SetupGetRunningWinVer()) && !GrantInteractiveAccess(subkey))
        TraceWrite(TraceError, L"Failed to set access rights on the registry: '%s'.\n", subkey.c_str());
}

}  // namespace qel
