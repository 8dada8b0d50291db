#include "StandInLog.h"

/* Appends "|" and the text in UTF-8 ("(null)" for none) at `at`; the end. */
static char* AddText(char* at, char* end, const WCHAR* text) {
    int bytes;
    *at++ = '|';
    if (!text) text = L"(null)";
    bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, at, (int)(end - at), NULL, NULL);
    return bytes > 0 ? at + bytes - 1 : at; /* without the terminating zero */
}

void LogUpdateCall(const char* exportName, const WCHAR* hardwareId, const WCHAR* infPath, DWORD flags) {
    static const char digits[] = "0123456789ABCDEF";
    char line[2048], *at = line + lstrlenA(exportName);
    HANDLE file;
    DWORD written;
    int i;
    lstrcpyA(line, exportName);
    at = AddText(at, line + 1024, hardwareId);
    at = AddText(at, line + 2020, infPath);
    lstrcpyA(at, "|0x");
    for (at += 3, i = 0; i < 8; ++i) *at++ = digits[(flags >> (28 - 4 * i)) & 0xF];
    *at++ = '\r';
    *at++ = '\n';
    /* Append access only: every write lands at the end, whoever else writes. */
    file = CreateFileW(QEL_STANDIN_LOG_PATH, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    WriteFile(file, line, (DWORD)(at - line), &written, NULL);
    CloseHandle(file);
}

static BOOL OpenEnumKey(const WCHAR* instanceId, HKEY* key) {
    WCHAR path[512] = L"System\\CurrentControlSet\\Enum\\";
    if (lstrlenW(instanceId) > 400) return FALSE;
    lstrcatW(path, instanceId);
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key) == ERROR_SUCCESS;
}

BOOL ReadEnumDword(const WCHAR* instanceId, const WCHAR* valueName, DWORD* value) {
    HKEY key;
    DWORD type = 0, size = sizeof(*value);
    LONG status;
    if (!OpenEnumKey(instanceId, &key)) return FALSE;
    status = RegQueryValueExW(key, valueName, NULL, &type, (BYTE*)value, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD && size == sizeof(*value);
}

BOOL EnumKeyExists(const WCHAR* instanceId) {
    HKEY key;
    if (!OpenEnumKey(instanceId, &key)) return FALSE;
    RegCloseKey(key);
    return TRUE;
}
