#include "InfModels.h"

#include <setupapi.h>

#define MAX_LINES 32
#define FIELD_CHARS 256

typedef struct OsVersion {
    DWORD major, minor, build, productType, suiteMask;
} OsVersion;

typedef LONG(WINAPI* RtlGetVersionFn)(OSVERSIONINFOEXW*);

static void RunningVersion(OsVersion* os) {
    OSVERSIONINFOEXW info;
    RtlGetVersionFn get = (RtlGetVersionFn)(void*)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion");
    ZeroMemory(os, sizeof(*os));
    ZeroMemory(&info, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(info);
    if (!get || get(&info) != 0) return;
    os->major = info.dwMajorVersion;
    os->minor = info.dwMinorVersion;
    os->build = info.dwBuildNumber;
    os->productType = info.wProductType;
    os->suiteMask = info.wSuiteMask;
}

/* Reads one dot-separated number of a decoration at *p (hex with 0x), moving
 * past it and its dot. Returns 0 for an empty field, 1 for a number, -1 for
 * anything else. */
static int NextNumber(const WCHAR** p, DWORD* value) {
    const WCHAR* s = *p;
    DWORD v = 0;
    int digits = 0, base = 10;
    if (s[0] == L'0' && (s[1] == L'x' || s[1] == L'X')) {
        base = 16;
        s += 2;
    }
    for (;; ++s, ++digits) {
        int d;
        if (*s >= L'0' && *s <= L'9') d = *s - L'0';
        else if (base == 16 && *s >= L'a' && *s <= L'f') d = *s - L'a' + 10;
        else if (base == 16 && *s >= L'A' && *s <= L'F') d = *s - L'A' + 10;
        else break;
        v = v * base + d;
    }
    if (*s != 0 && *s != L'.') return -1;
    *p = *s ? s + 1 : s;
    *value = v;
    return digits ? 1 : (base == 16 ? -1 : 0);
}

/* Scores a decoration NT[arch][.major[.minor[.type[.suite[.build]]]]] for
 * the running x64 system: -1 when it does not fit, otherwise larger the
 * closer it is (version first, then the fields it names). */
static LONGLONG Score(const WCHAR* decoration, const OsVersion* os) {
    const WCHAR* p = decoration;
    DWORD fields[5] = {0, 0, 0, 0, 0};
    int given[5] = {0, 0, 0, 0, 0}, i, named = 0;
    if (CompareStringOrdinal(p, 2, L"NT", 2, TRUE) != CSTR_EQUAL) return -1;
    p += 2;
    if (*p && *p != L'.') {
        if (CompareStringOrdinal(p, 5, L"amd64", 5, TRUE) != CSTR_EQUAL || (p[5] && p[5] != L'.')) return -1;
        p += 5;
        named++;
    }
    if (*p == L'.') ++p;
    for (i = 0; i < 5 && *p; ++i) {
        given[i] = NextNumber(&p, &fields[i]);
        if (given[i] < 0) return -1;
    }
    if (*p) return -1;
    if ((given[0] || given[1]) && (fields[0] > os->major || (fields[0] == os->major && fields[1] > os->minor)))
        return -1;
    if (given[2] && fields[2] != os->productType) return -1;
    if (given[3] && (os->suiteMask & fields[3]) != fields[3]) return -1;
    if (given[4] && fields[0] == os->major && fields[1] == os->minor && fields[4] > os->build) return -1;
    named += given[2] + given[3];
    return ((LONGLONG)fields[0] << 40) + ((LONGLONG)fields[1] << 32) + ((LONGLONG)(fields[4] & 0xFFFFFFF) << 4) + named;
}

typedef struct Line {
    WCHAR name[FIELD_CHARS];
    WCHAR section[FIELD_CHARS * 2];
} Line;

/* The chosen section of every [Manufacturer] line; FALSE when no line
 * lists a decoration. */
static BOOL ChooseSections(const WCHAR* infPath, Line* lines, int* count) {
    OsVersion os;
    INFCONTEXT context;
    BOOL decorated = FALSE;
    HINF inf = SetupOpenInfFileW(infPath, NULL, INF_STYLE_WIN4, NULL);
    *count = 0;
    if (inf == INVALID_HANDLE_VALUE) return FALSE;
    RunningVersion(&os);
    if (SetupFindFirstLineW(inf, L"Manufacturer", NULL, &context)) {
        do {
            Line* line = &lines[*count];
            WCHAR models[FIELD_CHARS], field[FIELD_CHARS];
            LONGLONG best = -1;
            DWORD i, n = SetupGetFieldCount(&context);
            if (*count == MAX_LINES) break;
            if (!SetupGetStringFieldW(&context, 0, line->name, FIELD_CHARS, NULL) ||
                !SetupGetStringFieldW(&context, 1, models, FIELD_CHARS, NULL))
                continue;
            lstrcpyW(line->section, models);
            for (i = 2; i <= n; ++i) {
                LONGLONG score;
                if (!SetupGetStringFieldW(&context, i, field, FIELD_CHARS, NULL) || !field[0]) continue;
                decorated = TRUE;
                score = Score(field, &os);
                if (score <= best) continue;
                best = score;
                wsprintfW(line->section, L"%s.%s", models, field);
            }
            if (n >= 2 && best < 0) line->section[0] = 0; /* nothing for this system */
            ++*count;
        } while (SetupFindNextLine(&context, &context));
    }
    SetupCloseInfFile(inf);
    return decorated;
}

static BOOL StartsSection(const char* line, const char* end) {
    while (line < end && (*line == ' ' || *line == '\t')) ++line;
    return line < end && *line == '[';
}

static BOOL IsManufacturerHeader(const char* line, const char* end) {
    static const char header[] = "[manufacturer]";
    int i;
    while (line < end && (*line == ' ' || *line == '\t')) ++line;
    for (i = 0; header[i]; ++i)
        if (line + i >= end || (char)(line[i] | 0x20) != (char)(header[i] | 0x20)) return FALSE;
    return TRUE;
}

static BOOL WriteAll(HANDLE file, const void* bytes, DWORD count) {
    DWORD written;
    return WriteFile(file, bytes, count, &written, NULL) && written == count;
}

BOOL WriteInfWithChosenModels(const WCHAR* infPath, WCHAR* copyPath, DWORD copyChars) {
    static Line lines[MAX_LINES];
    int count, i;
    HANDLE in, out;
    DWORD size, read;
    char* text;
    const char *p, *end;
    BOOL inManufacturer = FALSE, ok = TRUE;
    WCHAR* slash;

    if (!ChooseSections(infPath, lines, &count)) return FALSE;
    in = CreateFileW(infPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (in == INVALID_HANDLE_VALUE) return FALSE;
    size = GetFileSize(in, NULL);
    text = HeapAlloc(GetProcessHeap(), 0, size + 1);
    if (!text || !ReadFile(in, text, size, &read, NULL) || read != size) {
        CloseHandle(in);
        if (text) HeapFree(GetProcessHeap(), 0, text);
        return FALSE;
    }
    CloseHandle(in);

    lstrcpynW(copyPath, infPath, copyChars);
    slash = wcsrchr(copyPath, L'\\');
    if (!slash || (DWORD)(slash - copyPath) + 24 >= copyChars) {
        HeapFree(GetProcessHeap(), 0, text);
        return FALSE;
    }
    wsprintfW(slash + 1, L"qelstandin%lu.inf", GetCurrentProcessId());
    out = CreateFileW(copyPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (out == INVALID_HANDLE_VALUE) {
        HeapFree(GetProcessHeap(), 0, text);
        return FALSE;
    }
    /* Line by line; the lines of [Manufacturer] give way to the chosen
     * sections, each under its maker's name in quotes. */
    for (p = text, end = text + size; p < end && ok;) {
        const char* next = p;
        while (next < end && *next != '\n') ++next;
        if (next < end) ++next;
        if (StartsSection(p, next)) inManufacturer = IsManufacturerHeader(p, next);
        if (!inManufacturer || StartsSection(p, next)) {
            ok = WriteAll(out, p, (DWORD)(next - p));
            if (inManufacturer) {
                ok = ok && WriteAll(out, "\r\n", 2);
                for (i = 0; i < count && ok; ++i) {
                    char name[FIELD_CHARS * 3], section[FIELD_CHARS * 6], line[FIELD_CHARS * 10];
                    if (!lines[i].section[0]) continue;
                    WideCharToMultiByte(CP_UTF8, 0, lines[i].name, -1, name, sizeof(name), NULL, NULL);
                    WideCharToMultiByte(CP_UTF8, 0, lines[i].section, -1, section, sizeof(section), NULL, NULL);
                    wsprintfA(line, "\"%s\"=%s\r\n", name, section);
                    ok = WriteAll(out, line, lstrlenA(line));
                }
            }
        }
        p = next;
    }
    CloseHandle(out);
    HeapFree(GetProcessHeap(), 0, text);
    if (!ok) DeleteFileW(copyPath);
    return ok;
}

BOOL InfHasModel(const WCHAR* infPath, const WCHAR* id, WCHAR* installSection, DWORD sectionChars) {
    static Line lines[MAX_LINES];
    int count, i;
    BOOL found = FALSE;
    HINF inf;
    ChooseSections(infPath, lines, &count);
    inf = SetupOpenInfFileW(infPath, NULL, INF_STYLE_WIN4, NULL);
    if (inf == INVALID_HANDLE_VALUE) return FALSE;
    for (i = 0; i < count && !found; ++i) {
        INFCONTEXT model;
        if (!lines[i].section[0] || !SetupFindFirstLineW(inf, lines[i].section, NULL, &model)) continue;
        do {
            WCHAR field[FIELD_CHARS];
            DWORD f, n = SetupGetFieldCount(&model);
            for (f = 2; f <= n && !found; ++f)
                found = SetupGetStringFieldW(&model, f, field, FIELD_CHARS, NULL) &&
                        CompareStringOrdinal(field, -1, id, -1, TRUE) == CSTR_EQUAL;
            if (found) SetupGetStringFieldW(&model, 1, installSection, sectionChars, NULL);
        } while (!found && SetupFindNextLine(&model, &model));
    }
    SetupCloseInfFile(inf);
    return found;
}
