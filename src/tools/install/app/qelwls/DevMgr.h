// DevMgr: the small set of operations through which the driver work talks to
// the Windows device installer (SetupAPI's device functions and the
// configuration manager). A device is addressed by its device information set
// and element. Every operation runs on the program's one thread.
#pragma once

#include "DevMgrIds.h"
#include "Handles.h"

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

namespace qel {

// What a removal or a disable asks of the system afterwards.
enum RebootResult : int { RebootFailed = -1, RebootNotNeeded = 0, RebootNeeded = 1 };

// Configuration-manager device property codes the driver work reads.
constexpr ULONG kDevNodeDeviceDesc = 1;  // CM_DRP_DEVICEDESC
constexpr ULONG kDevNodeHardwareId = 2;  // CM_DRP_HARDWAREID

// Every device of every class, present and not present; raises when Windows
// gives no list.
UniqueDevInfo GetAllDevices();
// The element at `index` of the set (its size field set first); false past
// the end of the list.
bool EnumDevice(HDEVINFO set, DWORD index, SP_DEVINFO_DATA& device);

// ConfigFlags: an unreadable value counts as 0.
bool SetConfigFlags(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD bits);
void MarkForReinstall(HDEVINFO set, SP_DEVINFO_DATA& device);  // raises when the write fails
bool IsMarkedForReinstall(HDEVINFO set, SP_DEVINFO_DATA& device);

// The first string of a device-node property; false (with `out` empty) when
// the device has no such property or it cannot be read.
bool GetDevNodeRegistryProperty(HDEVINFO set, SP_DEVINFO_DATA& device, ULONG property, std::wstring& out);
// A value of the device's driver key; false (with `out` empty) when the key
// or the value cannot be read.
bool GetDriverKeyValue(HDEVINFO set, SP_DEVINFO_DATA& device, const wchar_t* valueName, std::wstring& out);
// The device's driver key, or an empty key when the device has none.
UniqueKey OpenDriverKey(HDEVINFO set, SP_DEVINFO_DATA& device, REGSAM access);
// The driver key's path below HKEY_LOCAL_MACHINE; false when the device has
// no driver.
bool GetDriverKeyPath(HDEVINFO set, SP_DEVINFO_DATA& device, std::wstring& out);
// False for a phantom: a device Windows remembers that is not plugged in.
bool IsDevicePresent(const SP_DEVINFO_DATA& device);

RebootResult RemoveDevInst(HDEVINFO set, SP_DEVINFO_DATA& device);
// DIF_REMOVE without class-install parameters: the removal from every
// hardware profile, which is what a removal without parameters is. False
// when Windows refuses it.
bool RemoveDevice(HDEVINFO set, SP_DEVINFO_DATA& device);
RebootResult DisableDevice(HDEVINFO set, SP_DEVINFO_DATA& device);
// Lets Windows find the devices again after driver packages were staged;
// with `closeWindows` the new-hardware dialogs it raises meanwhile are closed.
void Reenumerate(bool closeWindows);
void CloseNewHardwareWindows();

// Points every present device with the hardware id at the INF. The OS error
// of a failed call is left for the caller.
bool UpdateDriverForPlugAndPlayDevices(HWND window, const std::wstring& hardwareId, const std::wstring& infPath,
                                       DWORD installFlags, BOOL& rebootRequired);

// --- one network adapter, by its network-configuration instance id ---------

// What an adapter's driver key says about it.
struct AdapterInfo {
    wchar_t instanceId[80];  // NetCfgInstanceId
    int shown;               // a physical adapter, or a virtual one that is not hidden
    int isVirtual;
};
// Fills `info` from an open driver key; false without a NetCfgInstanceId.
bool ReadAdapterInfo(HKEY driverKey, AdapterInfo& info);
// The index of the shown adapter with this instance id (case ignored) among
// the present network adapters, or -1.
int FindAdapter(const std::wstring& instanceId);
// Enables or disables that adapter; false (logged) when it is not found or
// Windows refuses the change.
bool SetAdapterState(const std::wstring& instanceId, bool enable);

}  // namespace qel
