/* What the baseline programs of the benchmark share: the manifest of relative
 * paths, path joining and the destination folders made once each. */
#pragma once

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

#define BENCH_PATH_CHARS 1024

typedef struct {
    wchar_t** paths;
    size_t count;
} BenchManifest;

static inline int Failed(const wchar_t* what, const wchar_t* path) {
    fwprintf(stderr, L"qelbench: %ls failed for %ls (error %lu)\n", what, path, GetLastError());
    return 1;
}

/* Reads the whole manifest at once: the baselines spend their time on the
 * files, not on reading their list. */
static inline int ReadManifest(const wchar_t* path, BenchManifest* manifest) {
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return !Failed(L"open manifest", path);
    const DWORD size = GetFileSize(file, NULL);
    char* text = (char*)malloc((size_t)size + 1);
    DWORD read = 0;
    if (!text || !ReadFile(file, text, size, &read, NULL) || read != size) {
        CloseHandle(file);
        return !Failed(L"read manifest", path);
    }
    CloseHandle(file);
    text[size] = '\0';
    size_t lines = 1;
    for (DWORD i = 0; i < size; ++i) lines += text[i] == '\n';
    manifest->paths = (wchar_t**)calloc(lines, sizeof(wchar_t*));
    manifest->count = 0;
    for (char* line = text; *line;) {
        char* end = line + strcspn(line, "\r\n");
        const char next = *end;
        *end = '\0';
        if (*line) {
            const int chars = MultiByteToWideChar(CP_UTF8, 0, line, -1, NULL, 0);
            wchar_t* wide = (wchar_t*)malloc(sizeof(wchar_t) * (size_t)chars);
            MultiByteToWideChar(CP_UTF8, 0, line, -1, wide, chars);
            for (wchar_t* c = wide; *c; ++c)
                if (*c == L'/') *c = L'\\';
            manifest->paths[manifest->count++] = wide;
        }
        line = next ? end + 1 : end;
    }
    free(text);
    return 1;
}

static inline int JoinBenchPath(wchar_t* out, const wchar_t* root, const wchar_t* relative) {
    const int n = _snwprintf(out, BENCH_PATH_CHARS, L"%ls\\%ls", root, relative);
    return n > 0 && n < BENCH_PATH_CHARS;
}

/* The folders made so far; a package has a handful. */
typedef struct {
    wchar_t names[64][BENCH_PATH_CHARS];
    size_t count;
} BenchFolders;

/* Creates the folder of `path` (and the folders above it) the first time it
 * is met. */
static inline int EnsureFolderOf(BenchFolders* folders, const wchar_t* path) {
    wchar_t folder[BENCH_PATH_CHARS];
    wcscpy(folder, path);
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (!slash) return 1;
    *slash = L'\0';
    for (size_t i = 0; i < folders->count; ++i)
        if (wcscmp(folders->names[i], folder) == 0) return 1;
    for (wchar_t* c = folder + 3; *c; ++c) {
        if (*c != L'\\') continue;
        *c = L'\0';
        CreateDirectoryW(folder, NULL);
        *c = L'\\';
    }
    if (!CreateDirectoryW(folder, NULL) && GetLastError() != ERROR_ALREADY_EXISTS) return 0;
    if (folders->count < 64) wcscpy(folders->names[folders->count++], folder);
    return 1;
}
