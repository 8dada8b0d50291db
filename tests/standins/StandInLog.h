/* The call log and the test hooks the device stand-ins share.
 *
 * Each device binding of the newdev stand-in appends one line to
 * C:\qel-standin-calls.log (UTF-8, CR LF): the export's name and its
 * arguments, separated by "|"; the configuration manager's calls are not
 * recorded, no test reads them.
 * A line is written with one append, so lines of processes that call at the
 * same time never mix. Numbers are formatted here rather than through the C
 * runtime: the stand-ins need nothing of it. */
#pragma once

#include <windows.h>

#define QEL_STANDIN_LOG_PATH L"C:\\qel-standin-calls.log"

/* "<export>|<hardware id>|<INF path>|0x<flags, 8 hex digits>". */
void LogUpdateCall(const char* exportName, const WCHAR* hardwareId, const WCHAR* infPath, DWORD flags);

/* A REG_DWORD of the device's key HKLM\System\CurrentControlSet\Enum\<id>:
 * TRUE with the value, FALSE when the key or the value is missing. */
BOOL ReadEnumDword(const WCHAR* instanceId, const WCHAR* valueName, DWORD* value);
/* TRUE when the device's Enum key exists. */
BOOL EnumKeyExists(const WCHAR* instanceId);
