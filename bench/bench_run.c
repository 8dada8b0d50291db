/* qelbench_run.exe: starts one program, waits for it, and reports its wall
 * time and peak memory.
 *
 *   qelbench_run.exe OUTPUT PROGRAM [ARGUMENT...]
 *
 * The program's standard output and standard error go to the file OUTPUT
 * (its status lines, for the benchmark to check). One line on standard output:
 *   elapsed_ms=<ms> exit=<code> peak_working_set=<bytes> peak_pagefile=<bytes>
 * The time runs from just before CreateProcess to the moment the process has
 * ended. Peak memory: Windows keeps a process's peak working set and peak
 * committed bytes (GetProcessMemoryInfo); Wine takes them from the process's
 * /proc counters (VmHWM, the peak resident size), which vanish when the
 * process ends. Both are peaks that only grow, so they are read every 5 ms
 * while the program runs and the last reading stands.
 */
#include <windows.h>
#include <psapi.h>

#include <stdio.h>
#include <wchar.h>

/* Appends one argument to the command line, quoted as the C runtime reads it. */
static void AppendArgument(wchar_t* line, size_t size, const wchar_t* argument) {
    size_t at = wcslen(line);
    if (at && at + 1 < size) line[at++] = L' ';
    const int quote = *argument == L'\0' || wcspbrk(argument, L" \t\"") != NULL;
    if (quote && at + 1 < size) line[at++] = L'"';
    size_t backslashes = 0;
    for (const wchar_t* c = argument; *c && at + 2 < size; ++c) {
        if (*c == L'\\') {
            ++backslashes;
        } else {
            /* Backslashes before a quote are doubled, and the quote escaped. */
            if (*c == L'"')
                for (size_t i = 0; i <= backslashes && at + 2 < size; ++i) line[at++] = L'\\';
            backslashes = 0;
        }
        line[at++] = *c;
    }
    if (quote) {
        for (size_t i = 0; i < backslashes && at + 2 < size; ++i) line[at++] = L'\\';
        if (at + 1 < size) line[at++] = L'"';
    }
    line[at] = L'\0';
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: qelbench_run OUTPUT PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    static wchar_t commandLine[32768];
    for (int i = 2; i < argc; ++i) AppendArgument(commandLine, 32768, argv[i]);

    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), NULL, TRUE};
    HANDLE output = CreateFileW(argv[1], GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL);
    if (output == INVALID_HANDLE_VALUE) {
        fwprintf(stderr, L"qelbench_run: cannot create %ls (error %lu)\n", argv[1], GetLastError());
        return 2;
    }
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               NULL);
    STARTUPINFOW startup;
    ZeroMemory(&startup, sizeof(startup));
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION process;

    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    if (!CreateProcessW(NULL, commandLine, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        fwprintf(stderr, L"qelbench_run: cannot start %ls (error %lu)\n", commandLine, GetLastError());
        return 2;
    }
    SIZE_T peakWorkingSet = 0, peakPagefile = 0;
    for (;;) {
        PROCESS_MEMORY_COUNTERS counters;
        ZeroMemory(&counters, sizeof(counters));
        counters.cb = sizeof(counters);
        if (GetProcessMemoryInfo(process.hProcess, &counters, sizeof(counters))) {
            if (counters.PeakWorkingSetSize > peakWorkingSet) peakWorkingSet = counters.PeakWorkingSetSize;
            if (counters.PeakPagefileUsage > peakPagefile) peakPagefile = counters.PeakPagefileUsage;
        }
        if (WaitForSingleObject(process.hProcess, 5) != WAIT_TIMEOUT) break;
    }
    QueryPerformanceCounter(&end);
    DWORD exitCode = 0;
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(output);
    CloseHandle(input);
    printf("elapsed_ms=%.1f exit=%lu peak_working_set=%llu peak_pagefile=%llu\n",
           (double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)frequency.QuadPart, exitCode,
           (unsigned long long)peakWorkingSet, (unsigned long long)peakPagefile);
    return 0;
}
