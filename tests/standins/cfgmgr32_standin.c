/* cfgmgr32.dll for test prefixes. Wine's configuration manager answers
 * CR_FAILURE for device properties, for locating the root of the device tree
 * and for re-enumeration, and reports every device node as started, removed
 * ones too. This one plays the Windows calls from the device's registry key
 * HKLM\System\CurrentControlSet\Enum\<instance id>; the device instance
 * handles are Wine's own (setupapi maps them to instance ids, which works).
 * Every other export is forwarded to setupapi.dll (CMakeLists.txt), as
 * Wine's own cfgmgr32 does.
 *
 * Test hook, a REG_DWORD of the device's Enum key:
 *   QelStandInNotPresent = 1  the device is a phantom: listed, but not present
 *                             (CM_Get_DevNode_Status and CM_Locate_DevNode
 *                             without the phantom flag answer
 *                             CR_NO_SUCH_DEVINST).
 *
 * Hardware that stays plugged in: each subkey of
 * HKLM\SOFTWARE\QelStandIn\Hardware names a device (Instance) and the values
 * its bus reports (HardwareID, ClassGUID, DeviceDesc). A removed device
 * (DIF_REMOVE deletes its Enum key) whose hardware is still there is found
 * again by a re-enumeration, without a driver, as Windows finds it. */
#define _CFGMGR32_ /* these definitions are the exports, not imports */
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include "StandInLog.h"

/* The root of the device tree. Wine's setupapi numbers the device nodes it
 * has handed out from 0 upwards, per process; this value is far beyond them. */
#define ROOT_DEVINST ((DEVINST)0x524F4F54)
#define ROOT_INSTANCE_ID L"HTREE\\ROOT\\0"

/* The instance id of a device node; FALSE when the handle names none. */
static BOOL InstanceIdOf(DEVINST devInst, WCHAR* id, ULONG chars) {
    if (devInst == ROOT_DEVINST) {
        lstrcpynW(id, ROOT_INSTANCE_ID, chars);
        return TRUE;
    }
    return CM_Get_Device_IDW(devInst, id, chars, 0) == CR_SUCCESS;
}

static BOOL IsPhantom(const WCHAR* instanceId) {
    DWORD flag = 0;
    return ReadEnumDword(instanceId, L"QelStandInNotPresent", &flag) && flag == 1;
}

/* The Enum value that holds a CM_DRP_* property, or NULL for a property that
 * is not kept there. */
static const WCHAR* PropertyValueName(ULONG property) {
    switch (property) {
    case CM_DRP_DEVICEDESC: return L"DeviceDesc";
    case CM_DRP_HARDWAREID: return L"HardwareID";
    case CM_DRP_COMPATIBLEIDS: return L"CompatibleIDs";
    case CM_DRP_SERVICE: return L"Service";
    case CM_DRP_CLASS: return L"Class";
    case CM_DRP_CLASSGUID: return L"ClassGUID";
    case CM_DRP_DRIVER: return L"Driver";
    case CM_DRP_CONFIGFLAGS: return L"ConfigFlags";
    case CM_DRP_MFG: return L"Mfg";
    case CM_DRP_FRIENDLYNAME: return L"FriendlyName";
    case CM_DRP_LOCATION_INFORMATION: return L"LocationInformation";
    case CM_DRP_CAPABILITIES: return L"Capabilities";
    case CM_DRP_UI_NUMBER: return L"UINumber";
    case CM_DRP_UPPERFILTERS: return L"UpperFilters";
    case CM_DRP_LOWERFILTERS: return L"LowerFilters";
    default: return NULL;
    }
}

static CONFIGRET ReadProperty(DEVINST devInst, ULONG property, PULONG type, PVOID buffer, PULONG length, ULONG flags) {
    WCHAR instanceId[MAX_DEVICE_ID_LEN], path[MAX_DEVICE_ID_LEN + 40] = L"System\\CurrentControlSet\\Enum\\";
    const WCHAR* valueName = PropertyValueName(property);
    HKEY key;
    DWORD valueType = 0, size;
    LONG status;

    if (!length) return CR_INVALID_POINTER;
    if (flags) return CR_INVALID_FLAG;
    if (property < CM_DRP_MIN || property > CM_DRP_MAX) return CR_INVALID_PROPERTY;
    if (!InstanceIdOf(devInst, instanceId, MAX_DEVICE_ID_LEN) || devInst == ROOT_DEVINST) return CR_INVALID_DEVNODE;
    if (!valueName) return CR_NO_SUCH_VALUE;
    lstrcatW(path, instanceId);
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return CR_NO_SUCH_DEVINST;
    size = buffer ? *length : 0;
    status = RegQueryValueExW(key, valueName, NULL, &valueType, buffer ? (BYTE*)buffer : NULL, &size);
    RegCloseKey(key);
    if (status == ERROR_FILE_NOT_FOUND) return CR_NO_SUCH_VALUE;
    if (type) *type = valueType;
    *length = size;
    /* No buffer, or one too small: the size needed, in bytes. */
    if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && !buffer)) return CR_BUFFER_SMALL;
    return status == ERROR_SUCCESS ? CR_SUCCESS : CR_REGISTRY_ERROR;
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyW(DEVINST devInst, ULONG property, PULONG type, PVOID buffer,
                                                   PULONG length, ULONG flags) {
    return ReadProperty(devInst, property, type, buffer, length, flags);
}

/* The _Ex forms answer for this machine only. */
CONFIGRET WINAPI CM_Get_DevNode_Registry_Property_ExW(DEVINST devInst, ULONG property, PULONG type, PVOID buffer,
                                                      PULONG length, ULONG flags, HMACHINE machine) {
    return machine ? CR_MACHINE_UNAVAILABLE : ReadProperty(devInst, property, type, buffer, length, flags);
}

CONFIGRET WINAPI CM_Get_DevNode_Status(PULONG status, PULONG problem, DEVINST devInst, ULONG flags) {
    WCHAR instanceId[MAX_DEVICE_ID_LEN];
    const BOOL known = InstanceIdOf(devInst, instanceId, MAX_DEVICE_ID_LEN);
    if (!status || !problem) return CR_INVALID_POINTER;
    if (flags) return CR_INVALID_FLAG;
    if (!known) return CR_INVALID_DEVNODE;
    /* A removed device, or a phantom that Windows keeps listed. */
    if (devInst != ROOT_DEVINST && (!EnumKeyExists(instanceId) || IsPhantom(instanceId))) return CR_NO_SUCH_DEVINST;
    *status = DN_DRIVER_LOADED | DN_STARTED;
    *problem = 0;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_DevNode_Status_Ex(PULONG status, PULONG problem, DEVINST devInst, ULONG flags,
                                          HMACHINE machine) {
    return machine ? CR_MACHINE_UNAVAILABLE : CM_Get_DevNode_Status(status, problem, devInst, flags);
}

static HDEVINFO LocatedDevices(void) {
    static HDEVINFO located = INVALID_HANDLE_VALUE;
    if (located == INVALID_HANDLE_VALUE) located = SetupDiCreateDeviceInfoList(NULL, NULL);
    return located;
}

CONFIGRET WINAPI CM_Locate_DevNodeW(PDEVINST devInst, DEVINSTID_W deviceId, ULONG flags) {
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    CONFIGRET result = CR_NO_SUCH_DEVNODE;
    if (!devInst) return CR_INVALID_POINTER;
    *devInst = 0;
    if (flags & ~CM_LOCATE_DEVNODE_BITS) return CR_INVALID_FLAG;
    if (!deviceId || !*deviceId) {
        *devInst = ROOT_DEVINST;
        return CR_SUCCESS;
    }
    if (!EnumKeyExists(deviceId)) return CR_NO_SUCH_DEVNODE;
    if (!(flags & CM_LOCATE_DEVNODE_PHANTOM) && IsPhantom(deviceId)) return CR_NO_SUCH_DEVNODE;
    /* Wine hands out a device node for each device a list opens and takes
     * it back with the list: the nodes located here live in a list that is
     * kept until the process ends. */
    set = LocatedDevices();
    if (set == INVALID_HANDLE_VALUE) return CR_FAILURE;
    device.cbSize = sizeof(device);
    if (SetupDiOpenDeviceInfoW(set, deviceId, NULL, 0, &device)) {
        *devInst = device.DevInst;
        result = CR_SUCCESS;
    }
    return result;
}

CONFIGRET WINAPI CM_Locate_DevNode_ExW(PDEVINST devInst, DEVINSTID_W deviceId, ULONG flags, HMACHINE machine) {
    return machine ? CR_MACHINE_UNAVAILABLE : CM_Locate_DevNodeW(devInst, deviceId, flags);
}

#define HARDWARE_KEY L"SOFTWARE\\QelStandIn\\Hardware"

static void CopyValue(HKEY from, HKEY to, const WCHAR* name) {
    BYTE data[2048];
    DWORD type = 0, size = sizeof(data);
    if (RegQueryValueExW(from, name, NULL, &type, data, &size) == ERROR_SUCCESS)
        RegSetValueExW(to, name, 0, type, data, size);
}

/* Every device whose hardware is plugged in but that has no Enum key. */
static void FindRemovedHardwareAgain(void) {
    static const WCHAR* const reported[] = {L"HardwareID", L"ClassGUID", L"DeviceDesc"};
    HKEY hardware, entry, device;
    WCHAR name[64], instance[MAX_DEVICE_ID_LEN], path[MAX_DEVICE_ID_LEN + 40];
    DWORD index, length, size, i;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, HARDWARE_KEY, 0, KEY_READ, &hardware) != ERROR_SUCCESS) return;
    for (index = 0, length = 64; RegEnumKeyExW(hardware, index, name, &length, NULL, NULL, NULL, NULL) == ERROR_SUCCESS;
         ++index, length = 64) {
        if (RegOpenKeyExW(hardware, name, 0, KEY_READ, &entry) != ERROR_SUCCESS) continue;
        size = sizeof(instance);
        if (RegQueryValueExW(entry, L"Instance", NULL, NULL, (BYTE*)instance, &size) == ERROR_SUCCESS &&
            !EnumKeyExists(instance)) {
            lstrcpyW(path, L"System\\CurrentControlSet\\Enum\\");
            lstrcatW(path, instance);
            if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, 0, NULL, 0, KEY_WRITE, NULL, &device, NULL) == ERROR_SUCCESS) {
                for (i = 0; i < sizeof(reported) / sizeof(reported[0]); ++i) CopyValue(entry, device, reported[i]);
                RegCloseKey(device);
            }
        }
        RegCloseKey(entry);
    }
    RegCloseKey(hardware);
}

CONFIGRET WINAPI CM_Reenumerate_DevNode(DEVINST devInst, ULONG flags) {
    WCHAR instanceId[MAX_DEVICE_ID_LEN];
    const BOOL known = InstanceIdOf(devInst, instanceId, MAX_DEVICE_ID_LEN);
    if (flags & ~CM_REENUMERATE_BITS) return CR_INVALID_FLAG;
    if (!known) return CR_INVALID_DEVNODE;
    if (devInst == ROOT_DEVINST) FindRemovedHardwareAgain();
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Reenumerate_DevNode_Ex(DEVINST devInst, ULONG flags, HMACHINE machine) {
    return machine ? CR_MACHINE_UNAVAILABLE : CM_Reenumerate_DevNode(devInst, flags);
}

DWORD WINAPI CMP_WaitNoPendingInstallEvents(DWORD timeout) { return WAIT_OBJECT_0; }
