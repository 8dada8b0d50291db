/* qelbench_delete.exe: the raw delete baseline of the benchmark.
 *
 *   qelbench_delete.exe DEST_ROOT MANIFEST
 *
 * Deletes every file the manifest lists below DEST_ROOT with DeleteFileW and
 * nothing else. Exit code 0 when every file was deleted, 1 otherwise.
 */
#include "bench_common.h"

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: qelbench_delete DEST_ROOT MANIFEST\n");
        return 2;
    }
    BenchManifest manifest;
    if (!ReadManifest(argv[2], &manifest)) return 1;
    wchar_t path[BENCH_PATH_CHARS];
    for (size_t i = 0; i < manifest.count; ++i) {
        if (!JoinBenchPath(path, argv[1], manifest.paths[i])) return Failed(L"path too long", manifest.paths[i]);
        if (!DeleteFileW(path)) return Failed(L"delete", path);
    }
    return 0;
}
