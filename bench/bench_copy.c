/* qelbench_copy.exe: the two copy baselines of the benchmark.
 *
 *   qelbench_copy.exe safe  SOURCE_ROOT DEST_ROOT MANIFEST LOG
 *   qelbench_copy.exe plain SOURCE_ROOT DEST_ROOT MANIFEST
 *
 * MANIFEST lists one relative path a line (ASCII, LF or CR LF); each file is
 * copied from SOURCE_ROOT to the same place below DEST_ROOT.
 * "safe" is the least a careful installer does: per file one log line written
 * and flushed to disk, a copy to a temporary name beside the destination and
 * a move into place. "plain" is CopyFileW alone. Both create the destination
 * folders as they meet them, each once. Exit code 0 when every file was
 * copied, 1 otherwise (with the failing path on standard error).
 */
#include "bench_common.h"

static HANDLE logFile = INVALID_HANDLE_VALUE;

/* One log line, on disk before the copy it announces. */
static int LogLine(const wchar_t* source, const wchar_t* destination) {
    char line[3 * BENCH_PATH_CHARS];
    int size = WideCharToMultiByte(CP_UTF8, 0, source, -1, line, BENCH_PATH_CHARS, NULL, NULL);
    if (size == 0) return 0;
    line[size - 1] = ',';
    int more = WideCharToMultiByte(CP_UTF8, 0, destination, -1, line + size, BENCH_PATH_CHARS, NULL, NULL);
    if (more == 0) return 0;
    size += more - 1;
    line[size++] = '\r';
    line[size++] = '\n';
    DWORD written = 0;
    return WriteFile(logFile, line, (DWORD)size, &written, NULL) && written == (DWORD)size &&
           FlushFileBuffers(logFile);
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 5 || (wcscmp(argv[1], L"safe") != 0 && wcscmp(argv[1], L"plain") != 0) ||
        (wcscmp(argv[1], L"safe") == 0 && argc < 6)) {
        fwprintf(stderr, L"usage: qelbench_copy safe|plain SOURCE_ROOT DEST_ROOT MANIFEST [LOG]\n");
        return 2;
    }
    const int safe = wcscmp(argv[1], L"safe") == 0;
    BenchManifest manifest;
    if (!ReadManifest(argv[4], &manifest)) return 1;
    if (safe) {
        logFile = CreateFileW(argv[5], GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (logFile == INVALID_HANDLE_VALUE) return Failed(L"log", argv[5]);
    }
    static BenchFolders folders;
    wchar_t source[BENCH_PATH_CHARS], destination[BENCH_PATH_CHARS], temporary[BENCH_PATH_CHARS];
    for (size_t i = 0; i < manifest.count; ++i) {
        if (!JoinBenchPath(source, argv[2], manifest.paths[i]) || !JoinBenchPath(destination, argv[3], manifest.paths[i]))
            return Failed(L"path too long", manifest.paths[i]);
        if (!EnsureFolderOf(&folders, destination)) return Failed(L"create folder", destination);
        if (!safe) {
            if (!CopyFileW(source, destination, FALSE)) return Failed(L"copy", destination);
            continue;
        }
        if (_snwprintf(temporary, BENCH_PATH_CHARS, L"%ls.qbt", destination) < 0) return Failed(L"path", destination);
        if (!LogLine(source, destination)) return Failed(L"log line", destination);
        if (!CopyFileW(source, temporary, FALSE)) return Failed(L"copy", temporary);
        if (!MoveFileExW(temporary, destination, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return Failed(L"move", destination);
    }
    if (safe) CloseHandle(logFile);
    return 0;
}
