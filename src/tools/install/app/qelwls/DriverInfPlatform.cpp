#include "DriverInfPlatform.h"

#include <cwchar>
#include <cwctype>
#include <tuple>

namespace qel {
namespace {

bool SameTextNoCase(const std::wstring& a, const wchar_t* b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b, -1, TRUE) == CSTR_EQUAL;
}

// A field of digits; product types and suite masks are also written in hex
// ("0x00000001"). False for anything else.
bool ParseNumber(const std::wstring& text, bool hexAllowed, DWORD& value) {
    const bool hex = hexAllowed && text.size() > 2 && text[0] == L'0' && (text[1] == L'x' || text[1] == L'X');
    const std::wstring digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.size() > 10) return false;
    for (wchar_t c : digits)
        if (!(hex ? std::iswxdigit(c) : std::iswdigit(c))) return false;
    const unsigned long long parsed = std::wcstoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (parsed > 0xFFFFFFFFull) return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

// A field that may be left empty: true with `present` false when it is.
bool ParseOptional(const std::vector<std::wstring>& fields, size_t index, bool hexAllowed, bool& present,
                   DWORD& value) {
    present = index < fields.size() && !fields[index].empty();
    return !present || ParseNumber(fields[index], hexAllowed, value);
}

// How well a fitting decoration serves the system, larger is better. The
// version comes first: of the sections made for this system's version or an
// earlier one, the newest is the closest match (a section for build 16299
// over one for 10.0, that over one for 6.1, that over one with no version).
// Between equal versions the one that names more (the architecture, the
// product type, the suite) was written for this system more precisely.
auto Closeness(const InfDecoration& d) {
    return std::make_tuple(d.major, d.minor, d.build, !d.architecture.empty(), d.hasProductType, d.hasSuiteMask);
}

}  // namespace

InfDecoration ParseInfDecoration(const std::wstring& decoration) {
    InfDecoration parsed;
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (size_t dot; (dot = decoration.find(L'.', start)) != std::wstring::npos; start = dot + 1)
        fields.push_back(decoration.substr(start, dot - start));
    fields.push_back(decoration.substr(start));
    if (fields.size() > 6 || fields[0].size() < 2 || !SameTextNoCase(fields[0].substr(0, 2), L"NT")) return parsed;
    parsed.architecture = fields[0].substr(2);
    bool hasMajor = false, hasMinor = false;
    if (!ParseOptional(fields, 1, false, hasMajor, parsed.major) ||
        !ParseOptional(fields, 2, false, hasMinor, parsed.minor) ||
        !ParseOptional(fields, 3, true, parsed.hasProductType, parsed.productType) ||
        !ParseOptional(fields, 4, true, parsed.hasSuiteMask, parsed.suiteMask) ||
        !ParseOptional(fields, 5, false, parsed.hasBuild, parsed.build))
        return parsed;
    parsed.hasVersion = hasMajor || hasMinor;
    parsed.valid = true;
    return parsed;
}

bool DecorationFits(const InfDecoration& d, const InfPlatform& platform) {
    if (!d.valid) return false;
    if (!d.architecture.empty() && !SameTextNoCase(d.architecture, platform.architecture.c_str())) return false;
    // A section for a later version than the running one is not for it.
    if (d.hasVersion && std::make_pair(d.major, d.minor) > std::make_pair(platform.major, platform.minor))
        return false;
    if (d.hasProductType && d.productType != platform.productType) return false;
    if (d.hasSuiteMask && (platform.suiteMask & d.suiteMask) != d.suiteMask) return false;
    // The build counts within the same version only: a section for 10.0
    // build 16299 is not for 10.0 build 15063, but serves any later version.
    if (d.hasBuild && std::make_pair(d.major, d.minor) == std::make_pair(platform.major, platform.minor) &&
        d.build > platform.build)
        return false;
    return true;
}

int BestDecoration(const std::vector<std::wstring>& decorations, const InfPlatform& platform) {
    int best = -1;
    InfDecoration bestParsed;
    for (size_t i = 0; i < decorations.size(); ++i) {
        const InfDecoration parsed = ParseInfDecoration(decorations[i]);
        if (!DecorationFits(parsed, platform)) continue;
        // The first of equally close decorations wins.
        if (best < 0 || Closeness(parsed) > Closeness(bestParsed)) {
            best = static_cast<int>(i);
            bestParsed = parsed;
        }
    }
    return best;
}

std::wstring ModelsSectionFor(const std::vector<std::wstring>& lineFields, const InfPlatform& platform) {
    if (lineFields.empty() || lineFields[0].empty()) return L"";
    const std::vector<std::wstring> decorations(lineFields.begin() + 1, lineFields.end());
    bool decorated = false;
    for (const std::wstring& decoration : decorations) decorated = decorated || !decoration.empty();
    if (!decorated) return lineFields[0];
    // A line that lists its platforms offers nothing to another one: its
    // undecorated section, if it has one, is for systems that read no
    // decorations at all.
    const int best = BestDecoration(decorations, platform);
    return best < 0 ? L"" : lineFields[0] + L"." + decorations[best];
}

std::wstring InfStringField(INFCONTEXT& line, DWORD field) {
    DWORD chars = 0;
    if (!::SetupGetStringFieldW(&line, field, nullptr, 0, &chars) || chars == 0) return L"";
    std::wstring text(chars, L'\0');
    if (!::SetupGetStringFieldW(&line, field, &text[0], chars, nullptr)) return L"";
    text.resize(wcsnlen(text.c_str(), text.size()));
    return text;
}

std::vector<std::wstring> ModelsSectionsOf(HINF inf, const InfPlatform& platform,
                                           const std::wstring& manufacturerSection) {
    std::vector<std::wstring> sections;
    INFCONTEXT line;
    if (!::SetupFindFirstLineW(inf, manufacturerSection.c_str(), nullptr, &line)) return sections;
    do {
        std::vector<std::wstring> fields;
        const DWORD count = ::SetupGetFieldCount(&line);
        for (DWORD field = 1; field <= count; ++field) fields.push_back(InfStringField(line, field));
        // A line that is only a name names a models section of that name.
        if (fields.empty()) fields.push_back(InfStringField(line, 0));
        const std::wstring section = ModelsSectionFor(fields, platform);
        if (section.empty() || ::SetupGetLineCountW(inf, section.c_str()) < 0) continue;
        bool listed = false;
        for (const std::wstring& each : sections) listed = listed || SameTextNoCase(each, section.c_str());
        if (!listed) sections.push_back(section);
    } while (::SetupFindNextLine(&line, &line));
    return sections;
}

std::vector<std::wstring> ModelIdsOf(HINF inf, const std::vector<std::wstring>& sections) {
    std::vector<std::wstring> ids;
    for (const std::wstring& section : sections) {
        INFCONTEXT model;
        if (!::SetupFindFirstLineW(inf, section.c_str(), nullptr, &model)) continue;
        do {
            const DWORD count = ::SetupGetFieldCount(&model);
            for (DWORD field = 2; field <= count; ++field) {
                const std::wstring id = InfStringField(model, field);
                bool listed = id.empty();
                for (const std::wstring& each : ids) listed = listed || SameTextNoCase(each, id.c_str());
                if (!listed) ids.push_back(id);
            }
        } while (::SetupFindNextLine(&model, &model));
    }
    return ids;
}

InfPlatform RunningInfPlatform() {
    InfPlatform platform;
#if defined(__aarch64__) || defined(_M_ARM64)
    platform.architecture = L"arm64";
#elif defined(__x86_64__) || defined(_M_X64)
    platform.architecture = L"amd64";
#else
    platform.architecture = L"x86";
#endif
    // RtlGetVersion answers with the system's own numbers; GetVersionEx
    // answers with the version the program's manifest declares it knows.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    const auto getVersion = ntdll ? reinterpret_cast<RtlGetVersionFn>(
                                        reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlGetVersion")))
                                  : nullptr;
    if (!getVersion || getVersion(&info) != 0) return platform;
    platform.major = info.dwMajorVersion;
    platform.minor = info.dwMinorVersion;
    platform.build = info.dwBuildNumber;
    platform.productType = info.wProductType;
    platform.suiteMask = info.wSuiteMask;
    return platform;
}

std::wstring DescribeInfPlatform(const InfPlatform& platform) {
    const std::wstring architecture = SameTextNoCase(platform.architecture, L"amd64") ? L"x64" : platform.architecture;
    return architecture + L" Windows " + std::to_wstring(platform.major) + L"." + std::to_wstring(platform.minor) +
           L" build " + std::to_wstring(platform.build);
}

}  // namespace qel
