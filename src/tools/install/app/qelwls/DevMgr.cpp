// DevMgr: device installer and configuration manager operations on one device
// of a device information set. The configuration manager and newdev are
// loaded from the system folder when first needed: neither is on every
// system's known-DLL list, and the package folder beside the program may be
// writable by the user who unpacked it.
#include "DevMgr.h"

#include "BasicException.h"
#include "Trace.h"
#include "Util.h"

#include <cfgmgr32.h>
#include <tlhelp32.h>

#include <cwchar>
#include <vector>

namespace qel {
namespace {
constexpr const char* kModuleName = "DevMgr";

constexpr DWORD kConfigFlagReinstall = 0x20;     // CONFIGFLAG_REINSTALL
constexpr DWORD kConfigFlagFailedInstall = 0x40;  // CONFIGFLAG_FAILEDINSTALL
constexpr DWORD kNeedRestartOrReboot = DI_NEEDRESTART | DI_NEEDREBOOT;
constexpr int kMaxHardwareWindowWaits = 600;  // 100 ms each

const wchar_t kConfigManager[] = L"cfgmgr32.dll";

using GetDevNodeRegistryPropertyFn = CONFIGRET(WINAPI*)(DEVINST, ULONG, PULONG, PVOID, PULONG, ULONG);
using GetDevNodeStatusFn = CONFIGRET(WINAPI*)(PULONG, PULONG, DEVINST, ULONG);
using LocateDevNodeFn = CONFIGRET(WINAPI*)(PDEVINST, DEVINSTID_W, ULONG);
using ReenumerateDevNodeFn = CONFIGRET(WINAPI*)(DEVINST, ULONG);
using WaitNoPendingInstallEventsFn = DWORD(WINAPI*)(DWORD);
using UpdateDriverFn = BOOL(WINAPI*)(HWND, LPCWSTR, LPCWSTR, DWORD, PBOOL);

bool ReadConfigFlags(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD& flags) {
    flags = 0;
    DWORD size = 0;
    if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_CONFIGFLAGS, nullptr,
                                             reinterpret_cast<BYTE*>(&flags), sizeof(flags), &size) ||
        size != sizeof(flags)) {
        flags = 0;
        return false;
    }
    return true;
}

// Sets the class-install parameters, calls the class installer and reads
// back whether the change needs a restart; `operation` names the caller in
// the log lines.
RebootResult CallClassInstaller(HDEVINFO set, SP_DEVINFO_DATA& device, SP_CLASSINSTALL_HEADER& params,
                                DWORD paramsSize, const wchar_t* operation) {
    if (!::SetupDiSetClassInstallParamsW(set, &device, &params, paramsSize)) {
        TraceWrite(TraceError, L"%s(): SetupDiSetClassInstallParams failed\nGetLastError() 0x%08x\n", operation,
                   ::GetLastError());
        return RebootFailed;
    }
    if (!::SetupDiCallClassInstaller(params.InstallFunction, set, &device)) {
        TraceWrite(TraceError, L"%s(): SetupDiCallClassInstaller failed\nGetLastError() 0x%08x\n", operation,
                   ::GetLastError());
        return RebootFailed;
    }
    SP_DEVINSTALL_PARAMS_W install{};
    install.cbSize = sizeof(install);
    if (!::SetupDiGetDeviceInstallParamsW(set, &device, &install)) {
        TraceWrite(TraceError, L"%s(): SetupDiGetDeviceInstallParams failed\nGetLastError() 0x%08x\n", operation,
                   ::GetLastError());
        return RebootFailed;
    }
    if ((install.Flags & kNeedRestartOrReboot) != 0) {
        TraceWrite(TraceDetail, L"%s(): Reboot Required\n", operation);
        return RebootNeeded;
    }
    return RebootNotNeeded;
}

bool SameNameNoCase(const wchar_t* a, const wchar_t* b) { return ::lstrcmpiW(a, b) == 0; }

// A dialog of the new-hardware wizard: a "#32770" window of a rundll32
// process that has newdev loaded.
bool IsNewHardwareWindow(HWND window) {
    wchar_t className[7] = {};
    if (::GetClassNameW(window, className, 7) == 0 || std::wstring(className) != L"#32770") return false;
    DWORD processId = 0;
    if (::GetWindowThreadProcessId(window, &processId) == 0 || processId == 0) return false;
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
    if (!snapshot) return false;
    MODULEENTRY32W module{};
    module.dwSize = sizeof(module);
    if (!::Module32FirstW(snapshot.Get(), &module) || !SameNameNoCase(module.szModule, L"rundll32.exe")) return false;
    while (::Module32NextW(snapshot.Get(), &module)) {
        if (SameNameNoCase(module.szModule, L"newdev.dll")) return true;
    }
    return false;
}

BOOL CALLBACK CloseIfNewHardwareWindow(HWND window, LPARAM) {
    if (!IsNewHardwareWindow(window)) return TRUE;
    ::Sleep(100);
    // The title only goes to the log; a longer one is cut.
    wchar_t title[65] = {};
    ::GetWindowTextW(window, title, 65);
    TraceWrite(TraceDetail, L"Sending WM_CLOSE to window 0x%x title \"%s\"\n",
               static_cast<unsigned>(reinterpret_cast<ULONG_PTR>(window)), title);
    ::SendMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}
}  // namespace

UniqueDevInfo GetAllDevices() {
    UniqueDevInfo devices(::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    if (!devices) QEL_RAISE(L"SetupDiGetClassDevs", ::GetLastError());
    return devices;
}

bool EnumDevice(HDEVINFO set, DWORD index, SP_DEVINFO_DATA& device) {
    device = SP_DEVINFO_DATA{};
    device.cbSize = sizeof(device);
    return ::SetupDiEnumDeviceInfo(set, index, &device) != FALSE;
}

bool SetConfigFlags(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD bits) {
    DWORD flags = 0;
    ReadConfigFlags(set, device, flags);
    flags |= bits;
    return ::SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_CONFIGFLAGS, reinterpret_cast<const BYTE*>(&flags),
                                               sizeof(flags)) != FALSE;
}

void MarkForReinstall(HDEVINFO set, SP_DEVINFO_DATA& device) {
    if (!SetConfigFlags(set, device, kConfigFlagReinstall)) QEL_RAISE(L"ConfigFlags", ::GetLastError());
}

bool IsMarkedForReinstall(HDEVINFO set, SP_DEVINFO_DATA& device) {
    DWORD flags = 0;
    return ReadConfigFlags(set, device, flags) && (flags & kConfigFlagReinstall) != 0;
}

bool GetDevNodeRegistryProperty(HDEVINFO, SP_DEVINFO_DATA& device, ULONG property, std::wstring& out) {
    out.clear();
    const auto getProperty =
        SystemCall<GetDevNodeRegistryPropertyFn>(kConfigManager, "CM_Get_DevNode_Registry_PropertyW");
    ULONG size = 0;
    if (getProperty(device.DevInst, property, nullptr, nullptr, &size, 0) != CR_BUFFER_SMALL) return false;
    std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1, L'\0');
    if (getProperty(device.DevInst, property, nullptr, buffer.data(), &size, 0) != CR_SUCCESS) {
        TraceWrite(TraceError, L"GetDevNodeRegistryProperty(): CM_Get_DevNode_Registry_Property failed\n");
        return false;
    }
    // A multi-string yields its first string.
    out = buffer.data();
    return true;
}

UniqueKey OpenDriverKey(HDEVINFO set, SP_DEVINFO_DATA& device, REGSAM access) {
    const HKEY key = ::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, access);
    return UniqueKey(key == INVALID_HANDLE_VALUE ? nullptr : key);
}

bool GetDriverKeyValue(HDEVINFO set, SP_DEVINFO_DATA& device, const wchar_t* valueName, std::wstring& out) {
    out.clear();
    UniqueKey key = OpenDriverKey(set, device, KEY_READ);
    if (!key) return false;
    if (QueryStringValue(key.Get(), valueName, out) != ERROR_SUCCESS) {
        out.clear();
        return false;
    }
    return true;
}

bool GetDriverKeyPath(HDEVINFO set, SP_DEVINFO_DATA& device, std::wstring& out) {
    out.clear();
    wchar_t driver[256] = {};
    if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DRIVER, nullptr, reinterpret_cast<BYTE*>(driver),
                                             sizeof(driver) - sizeof(wchar_t), nullptr) ||
        driver[0] == L'\0')
        return false;
    out = std::wstring(L"SYSTEM\\CurrentControlSet\\Control\\Class\\") + driver;
    return true;
}

bool IsDevicePresent(const SP_DEVINFO_DATA& device) {
    ULONG status = 0;
    ULONG problem = 0;
    return SystemCall<GetDevNodeStatusFn>(kConfigManager, "CM_Get_DevNode_Status")(&status, &problem, device.DevInst,
                                                                                     0) == CR_SUCCESS;
}

RebootResult RemoveDevInst(HDEVINFO set, SP_DEVINFO_DATA& device) {
    SP_REMOVEDEVICE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    params.HwProfile = 0;
    return CallClassInstaller(set, device, params.ClassInstallHeader, sizeof(params), L"RemoveDevInst");
}

bool RemoveDevice(HDEVINFO set, SP_DEVINFO_DATA& device) {
    return ::SetupDiCallClassInstaller(DIF_REMOVE, set, &device) != FALSE;
}

RebootResult DisableDevice(HDEVINFO set, SP_DEVINFO_DATA& device) {
    if (!SetConfigFlags(set, device, kConfigFlagFailedInstall)) return RebootFailed;
    SP_PROPCHANGE_PARAMS params{};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
    params.StateChange = DICS_DISABLE;
    params.Scope = DICS_FLAG_GLOBAL;
    params.HwProfile = 0;
    return CallClassInstaller(set, device, params.ClassInstallHeader, sizeof(params), L"DisableDevice");
}

void Reenumerate(bool closeWindows) {
    if (closeWindows) CloseNewHardwareWindows();
    TraceWrite(TraceDetail, L"Triggering reenumeration\n");
    DEVINST root = 0;
    if (SystemCall<LocateDevNodeFn>(kConfigManager, "CM_Locate_DevNodeW")(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL) !=
        CR_SUCCESS)
        return;
    if (SystemCall<ReenumerateDevNodeFn>(kConfigManager, "CM_Reenumerate_DevNode")(root, CM_REENUMERATE_SYNCHRONOUS) ==
            CR_SUCCESS &&
        closeWindows)
        CloseNewHardwareWindows();
}

void CloseNewHardwareWindows() {
    const auto waitNoPendingInstallEvents =
        SystemCall<WaitNoPendingInstallEventsFn>(kConfigManager, "CMP_WaitNoPendingInstallEvents");
    for (int wait = 0; wait < kMaxHardwareWindowWaits; ++wait) {
        if (waitNoPendingInstallEvents(100) != WAIT_TIMEOUT) return;
        ::EnumWindows(CloseIfNewHardwareWindow, 0);
    }
}

bool UpdateDriverForPlugAndPlayDevices(HWND window, const std::wstring& hardwareId, const std::wstring& infPath,
                                       DWORD installFlags, BOOL& rebootRequired) {
    rebootRequired = FALSE;
    BOOL updated = FALSE;
    DWORD error = ERROR_SUCCESS;
    {
        const LoadedLibrary newdev(L"newdev.dll");
        const auto update = reinterpret_cast<UpdateDriverFn>(
            reinterpret_cast<void*>(newdev.Export("UpdateDriverForPlugAndPlayDevicesW")));
        if (!update) QEL_RAISE(L"UpdateDriverForPlugAndPlayDevicesW", ::GetLastError());
        updated = update(window, hardwareId.c_str(), infPath.c_str(), installFlags, &rebootRequired);
        error = ::GetLastError();
    }
    // The caller reads the error of a failed call; freeing the library must
    // not change it.
    ::SetLastError(error);
    return updated != FALSE;
}

}  // namespace qel
