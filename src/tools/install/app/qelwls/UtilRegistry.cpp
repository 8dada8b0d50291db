// Registry enumeration and string queries, and the opens, makes and tree
// deletions that never follow a registry link a user made.
#include "BasicException.h"
#include "Util.h"

#include <algorithm>
#include <cstring>

namespace qel {
namespace {
constexpr const char* kModuleName = "Util";
constexpr DWORD kNameChars = 256;
}  // namespace

LSTATUS EnumSubkeyName(HKEY key, DWORD index, std::wstring& out) {
    wchar_t name[kNameChars];
    DWORD length = kNameChars;
    const LSTATUS status = ::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) out.assign(name, length);
    return status;
}

LSTATUS EnumValueName(HKEY key, DWORD index, std::wstring& out) {
    wchar_t name[kNameChars];
    DWORD length = kNameChars;
    const LSTATUS status = ::RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) out.assign(name, length);
    return status;
}

LSTATUS QueryStringValue(HKEY key, const std::wstring& valueName, std::wstring& out) {
    DWORD bytes = 0;
    LSTATUS status = ::RegQueryValueExW(key, valueName.c_str(), nullptr, nullptr, nullptr, &bytes);
    if (status != ERROR_SUCCESS) return status;
    // Room for a terminator the stored data may lack.
    std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    status = ::RegQueryValueExW(key, valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&buffer[0]), &bytes);
    if (status != ERROR_SUCCESS) QEL_RAISE(valueName, static_cast<DWORD>(status));
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
    out.swap(buffer);
    return ERROR_SUCCESS;
}

}  // namespace qel

// --- registry links ------------------------------------------------------------

namespace qel {
namespace {

// A link names the key it leads to in this value.
constexpr wchar_t kLinkValue[] = L"SymbolicLinkValue";

REGSAM ViewOf(REGSAM access) { return access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY); }

bool HoldsLinkValue(HKEY key) {
    DWORD type = 0;
    return ::RegQueryValueExW(key, kLinkValue, nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS && type == REG_LINK;
}

FARPROC NtdllExport(const char* name) {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll ? ::GetProcAddress(ntdll, name) : nullptr;
}

// The key's full name in the registry's own namespace ("\REGISTRY\MACHINE\..."),
// or empty when it cannot be read.
std::wstring KeyObjectName(HKEY key) {
    using NtQueryKeyFn = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
    static const auto ntQueryKey = reinterpret_cast<NtQueryKeyFn>(reinterpret_cast<void*>(NtdllExport("NtQueryKey")));
    constexpr int kKeyNameInformation = 3;
    if (!ntQueryKey) return std::wstring();
    std::vector<BYTE> buffer(1024);
    for (int attempt = 0; attempt < 2; ++attempt) {
        ULONG needed = 0;
        const LONG status = ntQueryKey(key, kKeyNameInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == 0) {
            ULONG bytes = 0;
            std::memcpy(&bytes, buffer.data(), sizeof(bytes));
            bytes = std::min<ULONG>(bytes, static_cast<ULONG>(buffer.size() - sizeof(ULONG)));
            return std::wstring(reinterpret_cast<const wchar_t*>(buffer.data() + sizeof(ULONG)), bytes / sizeof(wchar_t));
        }
        if (needed <= buffer.size()) break;
        buffer.resize(needed);
    }
    return std::wstring();
}

// Deletes the key the handle holds: the key itself, a link as a link. By the
// handle, not by name, so a link put in its place meanwhile is never
// followed.
LSTATUS DeleteOpenedKey(HKEY key) {
    using NtDeleteKeyFn = LONG(WINAPI*)(HANDLE);
    using RtlNtStatusToDosErrorFn = ULONG(WINAPI*)(LONG);
    static const auto ntDeleteKey = reinterpret_cast<NtDeleteKeyFn>(reinterpret_cast<void*>(NtdllExport("NtDeleteKey")));
    static const auto toDosError =
        reinterpret_cast<RtlNtStatusToDosErrorFn>(reinterpret_cast<void*>(NtdllExport("RtlNtStatusToDosError")));
    if (!ntDeleteKey || !toDosError) return ERROR_PROC_NOT_FOUND;
    const LONG status = ntDeleteKey(key);
    return status == 0 ? ERROR_SUCCESS : static_cast<LSTATUS>(toDosError(status));
}

// Splits a registry path into its key names; empty names (doubled or
// surrounding backslashes) are dropped, as the registry drops them.
std::vector<std::wstring> KeyNames(const std::wstring& path) {
    std::vector<std::wstring> names;
    for (size_t start = 0; start <= path.size();) {
        const size_t end = std::min(path.find(L'\\', start), path.size());
        if (end > start) names.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

// One key below `parent`, opened as `links` allows.
LSTATUS OpenStep(HKEY parent, const std::wstring& name, REGSAM access, RegistryLinks links, UniqueKey& out) {
    UniqueKey opened;
    LSTATUS status = ::RegOpenKeyExW(parent, name.c_str(), REG_OPTION_OPEN_LINK,
                                     access | KEY_QUERY_VALUE | READ_CONTROL, opened.Put());
    if (status != ERROR_SUCCESS) return status;
    if (!IsRegistryLink(parent, name, opened.Get(), ViewOf(access))) {
        out = std::move(opened);
        return ERROR_SUCCESS;
    }
    // A link only administrators can change is part of the system (the
    // current control set is one); any other is some user's.
    if (links == RegistryLinks::Refuse || !OnlyAdministratorsCanChange(opened.Get())) return kErrorStoppedOnLink;
    return ::RegOpenKeyExW(parent, name.c_str(), 0, access, out.Put());
}

// The keys on the way are opened to look into them and to make keys below.
REGSAM WayAccess(REGSAM access) { return KEY_READ | KEY_CREATE_SUB_KEY | ViewOf(access); }

// Walks root\\path key by key: `step` (base, name, access, last, out)
// reaches each key from the one before, the keys on the way with WayAccess,
// the last with `access`.
template <typename Step>
LSTATUS WalkKeys(HKEY root, const std::wstring& path, REGSAM access, UniqueKey& out, Step step) {
    const std::vector<std::wstring> names = KeyNames(path);
    if (names.empty()) return ::RegOpenKeyExW(root, L"", 0, access, out.Put());
    UniqueKey current;
    HKEY base = root;
    for (size_t i = 0; i < names.size(); ++i) {
        const bool last = i + 1 == names.size();
        UniqueKey next;
        const LSTATUS status = step(base, names[i], last ? access : WayAccess(access), last, next);
        if (status != ERROR_SUCCESS) return status;
        current = std::move(next);
        base = current.Get();
    }
    out = std::move(current);
    return ERROR_SUCCESS;
}

}  // namespace

bool IsRegistryLink(HKEY root, const std::wstring& path, HKEY opened, REGSAM view) {
    // Only a key with the link flag is followed, and only such a key leads
    // elsewhere: opened the ordinary way it is another key. Any key may hold
    // a value of the link's name and type, which makes it no link.
    if (!HoldsLinkValue(opened)) return false;
    UniqueKey followed;
    if (::RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | view, followed.Put()) != ERROR_SUCCESS)
        return true;  // a link that leads nowhere, or where we may not go
    const std::wstring itself = KeyObjectName(opened), reached = KeyObjectName(followed.Get());
    return itself.empty() || reached.empty() || ::lstrcmpiW(itself.c_str(), reached.c_str()) != 0;
}

LSTATUS OpenKeyOrLink(HKEY root, const std::wstring& path, REGSAM access, RegistryLinks links, UniqueKey& out,
                      bool& isLink) {
    isLink = false;
    return WalkKeys(root, path, access, out, [&](HKEY base, const std::wstring& name, REGSAM stepAccess, bool last,
                                                 UniqueKey& next) {
        if (!last) return OpenStep(base, name, stepAccess, links, next);
        const LSTATUS status =
            ::RegOpenKeyExW(base, name.c_str(), REG_OPTION_OPEN_LINK, stepAccess | KEY_QUERY_VALUE, next.Put());
        if (status == ERROR_SUCCESS) isLink = IsRegistryLink(base, name, next.Get(), ViewOf(access));
        return status;
    });
}

LSTATUS OpenKeyWithoutLinks(HKEY root, const std::wstring& path, REGSAM access, RegistryLinks links, UniqueKey& out) {
    return WalkKeys(root, path, access, out,
                    [&](HKEY base, const std::wstring& name, REGSAM stepAccess, bool, UniqueKey& next) {
                        return OpenStep(base, name, stepAccess, links, next);
                    });
}

LSTATUS CreateKeyWithoutLinks(HKEY root, const std::wstring& path, REGSAM access, RegistryLinks links,
                              UniqueKey& out) {
    return WalkKeys(root, path, access, out,
                    [&](HKEY base, const std::wstring& name, REGSAM stepAccess, bool, UniqueKey& next) {
                        LSTATUS status = ERROR_FILE_NOT_FOUND;
                        // A key that appears between the look and the making
                        // was made by someone else, and may be a link: it is
                        // looked at again. Making a key that exists would
                        // open it, following a link.
                        for (int attempt = 0; attempt < 3 && status == ERROR_FILE_NOT_FOUND; ++attempt) {
                            status = OpenStep(base, name, stepAccess, links, next);
                            if (status != ERROR_FILE_NOT_FOUND) break;
                            DWORD disposition = 0;
                            status = ::RegCreateKeyExW(base, name.c_str(), 0, nullptr, 0, stepAccess, nullptr,
                                                       next.Put(), &disposition);
                            if (status == ERROR_SUCCESS && disposition != REG_CREATED_NEW_KEY) {
                                next.Reset();
                                status = ERROR_FILE_NOT_FOUND;
                            }
                        }
                        return status;
                    });
}

LSTATUS DeleteKeyTreeWithoutLinks(HKEY parent, const std::wstring& path, REGSAM access, RegistryLinks links,
                                  KeyTreeWatcher* watcher) {
    if (watcher) watcher->Entering(parent, path);
    UniqueKey key;
    bool isLink = false;
    LSTATUS status = OpenKeyOrLink(parent, path, access | KEY_READ | DELETE, links, key, isLink);
    if (status != ERROR_SUCCESS) return status;
    if (isLink) return DeleteOpenedKey(key.Get());
    // A key with subkeys cannot be deleted: it is emptied first, always
    // taking the subkey now at index 0.
    for (;;) {
        std::wstring name;
        status = EnumSubkeyName(key.Get(), 0, name);
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) return status;
        status = DeleteKeyTreeWithoutLinks(key.Get(), name, access, links, watcher);
        if (status != ERROR_SUCCESS) {
            if (watcher) watcher->SubkeyFailed(name);
            return status;
        }
    }
    return DeleteOpenedKey(key.Get());
}

}  // namespace qel
