/* The call log and the test hooks the device stand-ins share.
 *
 * Every call of a stand-in appends one line to C:\qel-standin-calls.log
 * (UTF-8, CR LF): the export's name and its arguments, separated by "|".
 * A line is built piece by piece and written with one append, so lines of
 * processes that call at the same time never mix. Numbers are formatted here
 * rather than through the C runtime: the stand-ins need nothing of it. */
#pragma once

#include <windows.h>

#define QEL_STANDIN_LOG_PATH L"C:\\qel-standin-calls.log"

typedef struct StandInLine {
    char text[2048];
    int length;
} StandInLine;

void LineBegin(StandInLine* line, const char* exportName);
/* "|" and the text; a null text is written as "(null)". */
void LineAddText(StandInLine* line, const WCHAR* text);
void LineAddHex(StandInLine* line, DWORD value); /* "|0x0000001A" */
void LineAddDecimal(StandInLine* line, DWORD value);
void LineWrite(StandInLine* line);

/* A REG_DWORD of the device's key HKLM\System\CurrentControlSet\Enum\<id>:
 * TRUE with the value, FALSE when the key or the value is missing. */
BOOL ReadEnumDword(const WCHAR* instanceId, const WCHAR* valueName, DWORD* value);
/* TRUE when the device's Enum key exists. */
BOOL EnumKeyExists(const WCHAR* instanceId);
