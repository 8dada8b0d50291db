// Two steps of the uninstall roads outside the transaction: the per-user
// clean-up, which deletes the applications' settings from every user's
// registry hive (loading the hives of users who are not logged on), and
// hiding the tray icon through the adapter's "Control" flag.
#include "BasicException.h"
#include "CmdLineUninstall.h"
#include "Handles.h"
#include "Trace.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "CmdLine";

constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr wchar_t kUserSettings[] = L"\\SOFTWARE\\Ardentix";
constexpr wchar_t kInstallStatus[] = L"SOFTWARE\\Ardentix\\802.11\\InstallStatus";
constexpr wchar_t kNetClass[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}";
constexpr wchar_t kAdapterSettings[] = L"SOFTWARE\\Ardentix\\802.11";
constexpr REGSAM kReadAndSetValue = KEY_READ | KEY_SET_VALUE;  // 0x2001B
// The SID and the hive path live in buffers of this many characters.
constexpr size_t kHiveBufferChars = 128;
constexpr DWORD kProfilePathBytes = 256;

// Enables or disables one privilege of the process token.
bool SetProcessPrivilege(const wchar_t* name, bool enable) {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Put())) return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    if (!::LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid)) return false;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    // Succeeds also when the token lacks the privilege; the last error tells.
    if (!::AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr)) return false;
    return ::GetLastError() == ERROR_SUCCESS;
}

// The hive file of a profile: its folder's "ntuser.dat".
bool HivePathOf(const std::wstring& sid, std::wstring& hivePath) {
    UniqueKey profile;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kProfileList) + L"\\" + sid).c_str(), 0, KEY_READ,
                        profile.Put()) != ERROR_SUCCESS)
        return false;
    wchar_t stored[kProfilePathBytes / sizeof(wchar_t) + 1] = {};
    DWORD bytes = kProfilePathBytes;
    if (::RegQueryValueExW(profile.Get(), L"ProfileImagePath", nullptr, nullptr, reinterpret_cast<BYTE*>(stored),
                           &bytes) != ERROR_SUCCESS)
        return false;
    wchar_t expanded[kHiveBufferChars];
    const DWORD length = ::ExpandEnvironmentStringsW(stored, expanded, kHiveBufferChars);
    if (length == 0 || length > kHiveBufferChars) return false;
    hivePath = expanded;
    const DWORD attributes = ::GetFileAttributesW(hivePath.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) hivePath += L"\\ntuser.dat";
    return hivePath.size() < kHiveBufferChars;
}

}  // namespace

bool UserHiveLoadOrUnload(const std::wstring& sid, bool load) {
    if (sid.empty()) {
        TraceWrite(TraceDetail, L"Empty Sid submitted.\n");
        return false;
    }
    if (sid.size() >= kHiveBufferChars) return false;
    std::wstring hivePath;
    if (!HivePathOf(sid, hivePath)) return false;
    if (load) {
        // A hive already loaded (its user is logged on, or it is a service
        // account's) is the live settings of that user: it is never loaded
        // again and so never unloaded by the clean-up. Windows refuses the
        // second load anyway; asking first keeps the clean-up from ever
        // unloading a hive it did not load.
        UniqueKey loaded;
        if (::RegOpenKeyExW(HKEY_USERS, sid.c_str(), 0, KEY_READ, loaded.Put()) == ERROR_SUCCESS) return false;
    }
    if (!SetProcessPrivilege(SE_RESTORE_NAME, true)) return false;
    const LSTATUS status =
        load ? ::RegLoadKeyW(HKEY_USERS, sid.c_str(), hivePath.c_str()) : ::RegUnLoadKeyW(HKEY_USERS, sid.c_str());
    if (status != ERROR_SUCCESS) return false;
    SetProcessPrivilege(SE_RESTORE_NAME, false);
    return true;
}

void DeleteUserSettings(const std::wstring& sid) {
    // The hive belongs to its user, who may have made links anywhere in it:
    // none is followed on the way, and one in the settings is deleted as a
    // link, never the key it leads to.
    const std::wstring settings = sid + kUserSettings;
    UniqueKey key;
    const LSTATUS opened = OpenKeyWithoutLinks(HKEY_USERS, settings, kReadAndSetValue, RegistryLinks::Refuse, key);
    if (opened == kErrorStoppedOnLink)
        TraceWrite(TraceDetail, L"Unable to open registry key: HKEY_USERS\\%s: a registry link on the way is not followed.\n",
                   settings.c_str());
    if (opened != ERROR_SUCCESS) return;
    for (const wchar_t* subkey : {L"802.11", L"CM"}) {
        const LSTATUS status = DeleteKeyTreeWithoutLinks(key.Get(), subkey, KEY_ALL_ACCESS, RegistryLinks::Refuse);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
            TraceWrite(TraceDetail, L"Unable to delete registry key: HKEY_USERS\\%s\\%s. Error:%ld\n", settings.c_str(),
                       subkey, static_cast<long>(status));
    }
}

namespace {
// A user's hive loaded for the clean-up, unloaded when the scope ends, also
// when the deletion in it fails or throws: a hive left loaded keeps its
// file locked, and the user's next logon fails to load it.
class LoadedUserHive {
public:
    explicit LoadedUserHive(const std::wstring& sid) : sid_(sid), loaded_(UserHiveLoadOrUnload(sid, true)) {}
    ~LoadedUserHive() {
        if (loaded_) UserHiveLoadOrUnload(sid_, false);
    }
    LoadedUserHive(const LoadedUserHive&) = delete;
    LoadedUserHive& operator=(const LoadedUserHive&) = delete;
    bool Loaded() const { return loaded_; }

private:
    std::wstring sid_;
    bool loaded_;
};
}  // namespace

bool PerUserCleanup() {
    UniqueKey profiles;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_READ, profiles.Put()) != ERROR_SUCCESS) {
        TraceWrite(TraceDetail, L"Unable to open registry key: HKEY_LOCAL_MACHINE\\%s.\n", kProfileList);
        return false;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[1024];
        DWORD length = 1024;
        if (::RegEnumKeyExW(profiles.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::wstring sid(name, length);
        const LoadedUserHive hive(sid);
        if (hive.Loaded()) DeleteUserSettings(sid);  // closes its keys before the hive is unloaded
    }
    return true;
}

void HideTrayIcon(UpdateTransaction& transaction) {
    TraceWrite(TraceDetail, L"Hiding Tray Icon...\n");
    const REGSAM view = SetupGetRunningWinVer() < WinVerVista ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    const REGSAM access = KEY_READ | KEY_WRITE | view;

    UniqueKey status;
    LSTATUS result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kInstallStatus, 0, access, status.Put());
    if (result != ERROR_SUCCESS) QEL_RAISE(kInstallStatus, static_cast<DWORD>(result));
    std::wstring driverKey;
    if (QueryStringValue(status.Get(), L"DriverKey", driverKey) != ERROR_SUCCESS) {
        TraceWrite(TraceDetail, L"Failed to get driver registry key.\n");
        return;
    }

    const std::wstring driverKeyPath = JoinPath(kNetClass, driverKey);
    UniqueKey driver;
    result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, driverKeyPath.c_str(), 0, access, driver.Put());
    if (result != ERROR_SUCCESS) QEL_RAISE(driverKeyPath, static_cast<DWORD>(result));
    std::wstring adapterGuid;
    if (QueryStringValue(driver.Get(), L"NetCfgInstanceId", adapterGuid) != ERROR_SUCCESS) {
        TraceWrite(TraceDetail, L"Failed to get the adapter guid.\n");
        return;
    }

    const std::wstring adapterPath = JoinPath(kAdapterSettings, adapterGuid);
    UniqueKey adapter;
    result = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, adapterPath.c_str(), 0, access, adapter.Put());
    if (result != ERROR_SUCCESS) QEL_RAISE(adapterPath, static_cast<DWORD>(result));
    DWORD control = 0, type = 0, bytes = sizeof(control);
    if (::RegQueryValueExW(adapter.Get(), L"Control", nullptr, &type, reinterpret_cast<BYTE*>(&control), &bytes) !=
            ERROR_SUCCESS ||
        bytes != sizeof(control)) {
        TraceWrite(TraceDetail, L"Cannot read control flag.\n");
        return;
    }
    // The flag as it was goes into the rollback log of the commit that
    // follows: if that commit fails, the icon shows again.
    const BYTE* before = reinterpret_cast<const BYTE*>(&control);
    transaction.LogUndoRecord(journal::RegValueRecord{{HKEY_LOCAL_MACHINE, view, adapterPath}, L"Control", type,
                                                      std::vector<BYTE>(before, before + sizeof(control))});
    control &= ~1u;
    if (::RegSetValueExW(adapter.Get(), L"Control", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&control),
                         sizeof(control)) != ERROR_SUCCESS)
        TraceWrite(TraceDetail, L"Cannot clear the control flag.\n");
    else
        TraceWrite(TraceDetail, L"Cleared the control flag to hide tray.\n");
}

}  // namespace qel
