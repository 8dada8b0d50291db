/* newdev.dll for test prefixes. Wine's UpdateDriverForPlugAndPlayDevices
 * returns TRUE whatever happens: for a hardware id no device has, for an INF
 * without a driver for the device, and it never stages the INF or fills the
 * driver key as Windows does. This one plays the Windows call with Wine's own
 * device installer underneath:
 *
 * - every present device whose hardware or compatible ids hold the id
 *   (whole id, any case) is a candidate; none: FALSE, ERROR_NO_SUCH_DEVINST;
 * - the INF goes into the INF store (SetupCopyOEMInfW, copy style 0, so an
 *   identical INF already there is reused under its store name);
 * - each candidate gets a driver list built from that store copy alone, the
 *   best driver selected and installed, the way the system's own update runs
 *   the class installer;
 * - the driver key then holds what Windows writes there and Wine leaves out:
 *   InfPath (the store name), MatchingDeviceId and ComponentId (the id that
 *   matched, lower case), DriverDesc and ProviderName;
 * - a candidate for which the INF has no driver is left alone; when no
 *   candidate took the driver the call fails with ERROR_NO_MORE_ITEMS, the
 *   code Windows ends each device's update with when the single INF it
 *   searched had no matching driver;
 * - the models section of each manufacturer is the one Windows takes for
 *   this system, versioned decorations included (InfModels.h).
 *
 * Test hooks, REG_DWORD values of a candidate's Enum key:
 *   QelStandInFail = n    the call fails with error n and changes nothing;
 *   QelStandInReboot = 1  the call reports that a restart is needed. */
#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>

#include "InfModels.h"
#include "StandInLog.h"

#define INSTALLFLAG_BITS 0x00000007
#define MAX_CANDIDATES 64

/* TRUE when the multi-string list holds id (ordinal comparison, any case). */
static BOOL ListHolds(const WCHAR* list, const WCHAR* id) {
    for (; list && *list; list += lstrlenW(list) + 1)
        if (CompareStringOrdinal(list, -1, id, -1, TRUE) == CSTR_EQUAL) return TRUE;
    return FALSE;
}

/* The device's hardware or compatible ids as a multi-string on the process
 * heap, or NULL when the device has none. */
static WCHAR* ReadIdList(HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
    DWORD size = 0;
    WCHAR* list;
    SetupDiGetDeviceRegistryPropertyW(set, device, property, NULL, NULL, 0, &size);
    if (!size) return NULL;
    list = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size + 2 * sizeof(WCHAR));
    if (list && !SetupDiGetDeviceRegistryPropertyW(set, device, property, NULL, (BYTE*)list, size, NULL)) {
        HeapFree(GetProcessHeap(), 0, list);
        list = NULL;
    }
    return list;
}

static void FreeList(WCHAR* list) {
    if (list) HeapFree(GetProcessHeap(), 0, list);
}

/* The device's first id (hardware ids first, then compatible ids, each in
 * the device's order) that the multi-string list holds, into `out`; FALSE
 * when there is none. */
static BOOL FirstIdListed(HDEVINFO set, SP_DEVINFO_DATA* device, const WCHAR* list, WCHAR* out, int outChars) {
    static const DWORD properties[] = {SPDRP_HARDWAREID, SPDRP_COMPATIBLEIDS};
    BOOL found = FALSE;
    int i;
    for (i = 0; i < 2 && !found; ++i) {
        WCHAR* ids = ReadIdList(set, device, properties[i]);
        const WCHAR* id;
        for (id = ids; id && *id && !found; id += lstrlenW(id) + 1)
            if (ListHolds(list, id)) found = lstrcpynW(out, id, outChars) != NULL;
        FreeList(ids);
    }
    return found;
}

static BOOL DeviceCarries(HDEVINFO set, SP_DEVINFO_DATA* device, const WCHAR* id) {
    WCHAR list[MAX_DEVICE_ID_LEN + 1], found[MAX_DEVICE_ID_LEN];
    lstrcpynW(list, id, MAX_DEVICE_ID_LEN);
    list[lstrlenW(list) + 1] = 0;
    return FirstIdListed(set, device, list, found, MAX_DEVICE_ID_LEN);
}

static void SetString(HKEY key, const WCHAR* name, const WCHAR* value) {
    RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)value, (lstrlenW(value) + 1) * sizeof(WCHAR));
}

/* Where each INF of the store was staged from. */
#define INF_SOURCES_KEY L"SOFTWARE\\QelStandIn\\InfSources"

static void WriteInfSource(const WCHAR* storeName, const WCHAR* source) {
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, INF_SOURCES_KEY, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key, storeName, 0, REG_SZ, (const BYTE*)source, (lstrlenW(source) + 1) * sizeof(WCHAR));
    RegCloseKey(key);
}

static BOOL ReadInfSource(const WCHAR* storeName, WCHAR* source) {
    DWORD size = MAX_PATH * sizeof(WCHAR);
    DWORD type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, INF_SOURCES_KEY, storeName, RRF_RT_REG_SZ, &type, source, &size) != ERROR_SUCCESS)
        return FALSE;
    return GetFileAttributesW(source) != INVALID_FILE_ATTRIBUTES;
}

/* Installs the best driver of the store INF on one device. ERROR_SUCCESS, or
 * the error that stopped it (ERROR_NO_MORE_ITEMS: the INF has no driver for
 * the device, which is then left as it was). */
static DWORD InstallOnDevice(HDEVINFO set, SP_DEVINFO_DATA* device, const WCHAR* storePath, const WCHAR* storeName,
                             const WCHAR* hardwareId, BOOL* reboot) {
    static const DI_FUNCTION steps[] = {
        DIF_SELECTBESTCOMPATDRV, DIF_ALLOW_INSTALL,    DIF_INSTALLDEVICEFILES,         DIF_REGISTER_COINSTALLERS,
        DIF_INSTALLINTERFACES,   DIF_INSTALLDEVICE,    DIF_NEWDEVICEWIZARD_FINISHINSTALL,
    };
    SP_DEVINSTALL_PARAMS_W params;
    SP_DRVINFO_DATA_W driver;
    BYTE detailBuffer[8192];
    SP_DRVINFO_DETAIL_DATA_W* detail = (SP_DRVINFO_DETAIL_DATA_W*)detailBuffer;
    WCHAR matching[MAX_DEVICE_ID_LEN];
    HKEY key;
    size_t i;

    params.cbSize = sizeof(params);
    if (!SetupDiGetDeviceInstallParamsW(set, device, &params)) return GetLastError();
    lstrcpynW(params.DriverPath, storePath, MAX_PATH);
    params.Flags |= DI_ENUMSINGLEINF;
    if (!SetupDiSetDeviceInstallParamsW(set, device, &params)) return GetLastError();
    if (!SetupDiBuildDriverInfoList(set, device, SPDIT_COMPATDRIVER)) return GetLastError();
    driver.cbSize = sizeof(driver);
    if (!SetupDiEnumDriverInfoW(set, device, SPDIT_COMPATDRIVER, 0, &driver)) return ERROR_NO_MORE_ITEMS;

    /* Windows writes the driver key anew for the new driver; Wine keeps an
     * InfSectionExt of the driver before when the new one has none. */
    key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_SET_VALUE);
    if (key != INVALID_HANDLE_VALUE) {
        RegDeleteValueW(key, L"InfSectionExt");
        RegCloseKey(key);
    }

    for (i = 0; i < sizeof(steps) / sizeof(steps[0]); ++i) {
        if (!SetupDiCallClassInstaller(steps[i], set, device) && GetLastError() != ERROR_DI_DO_DEFAULT) {
            const DWORD error = GetLastError();
            return steps[i] == DIF_SELECTBESTCOMPATDRV ? ERROR_NO_MORE_ITEMS : error;
        }
    }

    driver.cbSize = sizeof(driver);
    if (!SetupDiGetSelectedDriverW(set, device, &driver)) return GetLastError();
    ZeroMemory(detailBuffer, sizeof(detailBuffer));
    detail->cbSize = sizeof(*detail);
    if (!SetupDiGetDriverInfoDetailW(set, device, &driver, detail, sizeof(detailBuffer) - 2 * sizeof(WCHAR), NULL))
        detail->HardwareID[0] = 0;
    /* What Windows records as MatchingDeviceId, in lower case. */
    if (!FirstIdListed(set, device, detail->HardwareID, matching, MAX_DEVICE_ID_LEN))
        lstrcpynW(matching, hardwareId, MAX_DEVICE_ID_LEN);
    CharLowerW(matching);

    key = SetupDiOpenDevRegKey(set, device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_SET_VALUE);
    if (key == INVALID_HANDLE_VALUE) return GetLastError();
    SetString(key, L"InfPath", storeName);
    SetString(key, L"MatchingDeviceId", matching);
    SetString(key, L"ComponentId", matching);
    SetString(key, L"DriverDesc", driver.Description);
    SetString(key, L"ProviderName", driver.ProviderName);
    RegCloseKey(key);

    params.cbSize = sizeof(params);
    if (SetupDiGetDeviceInstallParamsW(set, device, &params) && (params.Flags & (DI_NEEDREBOOT | DI_NEEDRESTART)))
        *reboot = TRUE;
    return ERROR_SUCCESS;
}

/* Wine's device install puts the INF it installed from into the store too:
 * the copy with the chosen sections goes again, from the store and beside
 * the package, once the devices have their driver. */
static void RemoveModelsCopy(const WCHAR* copyPath) {
    WCHAR stored[MAX_PATH], pnf[MAX_PATH];
    WCHAR* name = NULL;
    if (!SetupCopyOEMInfW(copyPath, NULL, SPOST_NONE, SP_COPY_NOOVERWRITE, stored, MAX_PATH, NULL, &name) &&
        GetLastError() == ERROR_FILE_EXISTS && name) {
        SetupUninstallOEMInfW(name, SUOI_FORCEDELETE, NULL);
        lstrcpynW(pnf, stored, MAX_PATH);
        if (lstrlenW(pnf) > 4) {
            lstrcpyW(pnf + lstrlenW(pnf) - 4, L".pnf");
            DeleteFileW(pnf);
        }
    }
    DeleteFileW(copyPath);
}

/* Ends a failed update: the list goes, the error stays. */
static BOOL Failed(HDEVINFO set, DWORD error) {
    if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
    SetLastError(error);
    return FALSE;
}

static BOOL UpdateDriver(const WCHAR* hardwareId, const WCHAR* fullInfPath, DWORD installFlags, BOOL* rebootRequired) {
    HDEVINFO set;
    SP_DEVINFO_DATA device;
    DWORD candidates[MAX_CANDIDATES];
    WCHAR instanceIds[MAX_CANDIDATES][MAX_DEVICE_ID_LEN];
    DWORD count = 0, index, updated = 0, error = ERROR_SUCCESS, hook;
    WCHAR storePath[MAX_PATH], mediaFolder[MAX_PATH], installPath[MAX_PATH], modelsCopy[MAX_PATH];
    WCHAR* storeName = NULL;
    WCHAR* slash;
    BOOL reboot = FALSE, translated;

    if (rebootRequired) *rebootRequired = FALSE;
    if (!hardwareId || !*hardwareId || !fullInfPath) return Failed(INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    if (installFlags & ~INSTALLFLAG_BITS) return Failed(INVALID_HANDLE_VALUE, ERROR_INVALID_FLAGS);
    set = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return FALSE;
    device.cbSize = sizeof(device);
    for (index = 0; count < MAX_CANDIDATES && SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        if (!DeviceCarries(set, &device, hardwareId)) continue;
        if (!SetupDiGetDeviceInstanceIdW(set, &device, instanceIds[count], MAX_DEVICE_ID_LEN, NULL)) continue;
        candidates[count++] = index;
    }
    if (!count) return Failed(set, ERROR_NO_SUCH_DEVINST);
    for (index = 0; index < count; ++index)
        if (ReadEnumDword(instanceIds[index], L"QelStandInFail", &hook) && hook) return Failed(set, hook);
    if (GetFileAttributesW(fullInfPath) == INVALID_FILE_ATTRIBUTES) return Failed(set, GetLastError());
    lstrcpynW(mediaFolder, fullInfPath, MAX_PATH);
    slash = wcsrchr(mediaFolder, L'\\');
    if (slash) *slash = 0;
    /* The driver is installed from the INF at its media location, which the
     * store's copy names (Windows keeps it in the compiled INF); Wine finds
     * the identical copy in the store and keeps its name. An INF given by
     * its store path (a device put back on the INF it used before) is
     * installed from the location it was first staged from, which this
     * stand-in records: installed from the store's own copy, Wine looks for
     * the driver files beside it and waits for a disk that never comes. */
    GetWindowsDirectoryW(storePath, MAX_PATH);
    lstrcatW(storePath, L"\\inf");
    if (lstrcmpiW(mediaFolder, storePath) == 0) {
        static WCHAR storeCopy[MAX_PATH];
        lstrcpynW(storeCopy, wcsrchr(fullInfPath, L'\\') + 1, MAX_PATH);
        storeName = storeCopy;
        if (!ReadInfSource(storeName, installPath)) lstrcpynW(installPath, fullInfPath, MAX_PATH);
    } else if (!SetupCopyOEMInfW(fullInfPath, mediaFolder, SPOST_PATH, 0, storePath, MAX_PATH, NULL, &storeName)) {
        return Failed(set, GetLastError());
    } else {
        if (!storeName) storeName = storePath;
        WriteInfSource(storeName, fullInfPath);
        lstrcpynW(installPath, fullInfPath, MAX_PATH);
    }
    if (!storeName) storeName = storePath;
    translated = WriteInfWithChosenModels(installPath, modelsCopy, MAX_PATH);

    for (index = 0; index < count; ++index) {
        DWORD result;
        device.cbSize = sizeof(device);
        if (!SetupDiEnumDeviceInfo(set, candidates[index], &device)) continue;
        result = InstallOnDevice(set, &device, translated ? modelsCopy : installPath, storeName, hardwareId, &reboot);
        if (result != ERROR_SUCCESS) {
            error = result;
            continue;
        }
        ++updated;
        if (ReadEnumDword(instanceIds[index], L"QelStandInReboot", &hook) && hook == 1) reboot = TRUE;
    }
    SetupDiDestroyDeviceInfoList(set);
    if (translated) RemoveModelsCopy(modelsCopy);
    if (!updated) {
        SetLastError(error);
        return FALSE;
    }
    if (rebootRequired) *rebootRequired = reboot;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesW(HWND parent, LPCWSTR hardwareId, LPCWSTR fullInfPath,
                                               DWORD installFlags, PBOOL rebootRequired) {
    LogUpdateCall("UpdateDriverForPlugAndPlayDevicesW", hardwareId, fullInfPath, installFlags);
    return UpdateDriver(hardwareId, fullInfPath, installFlags, rebootRequired);
}

BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND parent, LPCSTR hardwareId, LPCSTR fullInfPath, DWORD installFlags,
                                               PBOOL rebootRequired) {
    WCHAR id[MAX_DEVICE_ID_LEN], path[MAX_PATH];
    const BOOL haveArguments = hardwareId && fullInfPath &&
                               MultiByteToWideChar(CP_ACP, 0, hardwareId, -1, id, MAX_DEVICE_ID_LEN) &&
                               MultiByteToWideChar(CP_ACP, 0, fullInfPath, -1, path, MAX_PATH);
    LogUpdateCall("UpdateDriverForPlugAndPlayDevicesA", haveArguments ? id : NULL, haveArguments ? path : NULL,
                  installFlags);
    if (!haveArguments) {
        if (rebootRequired) *rebootRequired = FALSE;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return UpdateDriver(id, path, installFlags, rebootRequired);
}
