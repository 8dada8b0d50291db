/* The sample package's tray program stand-in: notes in "airdock.log" in the
   user's temporary folder that it started, with the time, and exits. */
#include <windows.h>
#include <stdio.h>

int main(void) {
    wchar_t path[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, path);
    if (length == 0 || length + 12 >= MAX_PATH) return 1;
    lstrcatW(path, L"airdock.log");
    FILE* log = _wfopen(path, L"a");
    if (!log) return 1;
    SYSTEMTIME now;
    GetLocalTime(&now);
    fprintf(log, "%02d:%02d:%02d: Airdock started\n", now.wHour, now.wMinute, now.wSecond);
    fclose(log);
    return 0;
}
