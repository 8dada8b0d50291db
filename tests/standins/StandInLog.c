#include "StandInLog.h"

static void Append(StandInLine* line, const char* bytes, int count) {
    const int room = (int)sizeof(line->text) - 3 - line->length; /* CR LF NUL stay possible */
    if (count > room) count = room;
    if (count <= 0) return;
    CopyMemory(line->text + line->length, bytes, count);
    line->length += count;
}

void LineBegin(StandInLine* line, const char* exportName) {
    line->length = 0;
    Append(line, exportName, lstrlenA(exportName));
}

void LineAddText(StandInLine* line, const WCHAR* text) {
    char utf8[1024];
    int bytes;
    Append(line, "|", 1);
    if (!text) {
        Append(line, "(null)", 6);
        return;
    }
    bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof(utf8), NULL, NULL);
    if (bytes > 0) Append(line, utf8, bytes - 1); /* without the terminating zero */
}

void LineAddHex(StandInLine* line, DWORD value) {
    static const char digits[] = "0123456789ABCDEF";
    char text[11] = "|0x";
    int i;
    for (i = 0; i < 8; ++i) text[3 + i] = digits[(value >> (28 - 4 * i)) & 0xF];
    Append(line, text, 11);
}

void LineAddDecimal(StandInLine* line, DWORD value) {
    char text[12];
    int start = sizeof(text);
    do {
        text[--start] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    text[--start] = '|';
    Append(line, text + start, (int)sizeof(text) - start);
}

void LineWrite(StandInLine* line) {
    HANDLE file;
    DWORD written;
    line->text[line->length++] = '\r';
    line->text[line->length++] = '\n';
    /* Append access only: every write lands at the end, whoever else writes. */
    file = CreateFileW(QEL_STANDIN_LOG_PATH, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return;
    WriteFile(file, line->text, (DWORD)line->length, &written, NULL);
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
