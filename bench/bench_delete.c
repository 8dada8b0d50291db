/* qelbench_delete.exe: the delete baselines of the benchmark.
 *
 *   qelbench_delete.exe [--aside] DEST_ROOT MANIFEST
 *
 * Deletes every file the manifest lists below DEST_ROOT with DeleteFileW and
 * nothing else. With --aside, first moves every file to a new name beside it
 * (MoveFileExW, replacing nothing), then deletes the moved files: the least a
 * removal that can still be undone until its end does. Exit code 0 when every
 * file was deleted, 1 otherwise.
 */
#include "bench_common.h"

int wmain(int argc, wchar_t** argv) {
    const int aside = argc > 1 && wcscmp(argv[1], L"--aside") == 0;
    if (argc < 3 + aside) {
        fwprintf(stderr, L"usage: qelbench_delete [--aside] DEST_ROOT MANIFEST\n");
        return 2;
    }
    const wchar_t* root = argv[1 + aside];
    BenchManifest manifest;
    if (!ReadManifest(argv[2 + aside], &manifest)) return 1;
    wchar_t path[BENCH_PATH_CHARS], moved[BENCH_PATH_CHARS + 8];
    if (aside) {
        for (size_t i = 0; i < manifest.count; ++i) {
            if (!JoinBenchPath(path, root, manifest.paths[i])) return Failed(L"path too long", manifest.paths[i]);
            swprintf(moved, BENCH_PATH_CHARS + 8, L"%ls.del", path);
            if (!MoveFileExW(path, moved, MOVEFILE_WRITE_THROUGH)) return Failed(L"move aside", path);
        }
    }
    for (size_t i = 0; i < manifest.count; ++i) {
        if (!JoinBenchPath(path, root, manifest.paths[i])) return Failed(L"path too long", manifest.paths[i]);
        if (aside) {
            swprintf(moved, BENCH_PATH_CHARS + 8, L"%ls.del", path);
            if (!DeleteFileW(moved)) return Failed(L"delete", moved);
        } else if (!DeleteFileW(path)) {
            return Failed(L"delete", path);
        }
    }
    return 0;
}
