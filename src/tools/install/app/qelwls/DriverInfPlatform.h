// Which models section of a driver INF serves this system. A [Manufacturer]
// line names a models section and, after it, the platforms it has sections
// for ("%Mfg%=Std,NTamd64.10.0...16299,NTx86,NTarm64"): each such decoration
// is NT[architecture][.major[.minor[.product type[.suite mask[.build]]]]],
// any field may be left empty, and the section it stands for is the models
// name, a dot and the decoration. Windows takes, per line, the decoration
// that fits the running system best. The installer and the driver package
// installer both choose with this file, so that they always agree on the
// devices a package drives.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <string>
#include <vector>

namespace qel {

// The system a models section is chosen for.
struct InfPlatform {
    std::wstring architecture;  // as decorations spell it: "amd64", "x86", "arm64"
    DWORD major = 0;
    DWORD minor = 0;
    DWORD build = 0;
    DWORD productType = 0;  // VER_NT_WORKSTATION, VER_NT_DOMAIN_CONTROLLER, VER_NT_SERVER
    DWORD suiteMask = 0;    // VER_SUITE_* bits
};

// What one decoration asks of a system; an empty field asks nothing.
struct InfDecoration {
    bool valid = false;  // begins with "NT" and every field given is a number
    std::wstring architecture;
    bool hasVersion = false;
    DWORD major = 0, minor = 0;
    bool hasProductType = false;
    DWORD productType = 0;
    bool hasSuiteMask = false;
    DWORD suiteMask = 0;
    bool hasBuild = false;
    DWORD build = 0;
};

InfDecoration ParseInfDecoration(const std::wstring& decoration);
bool DecorationFits(const InfDecoration& decoration, const InfPlatform& platform);
// The index of the decoration that fits the platform best, or -1 when none
// fits.
int BestDecoration(const std::vector<std::wstring>& decorations, const InfPlatform& platform);
// The models section a [Manufacturer] line gives this platform, from the
// line's fields 1 onwards (the models name, then its decorations). A line
// without decorations names its models section as it is, for every system.
// Empty when the line lists decorations and none fits, or names no section.
std::wstring ModelsSectionFor(const std::vector<std::wstring>& lineFields, const InfPlatform& platform);

// A string field of an INF line (%strkey% tokens replaced); empty when the
// line has no such field.
std::wstring InfStringField(INFCONTEXT& line, DWORD field);
// The models sections the lines of the INF's manufacturer section (normally
// [Manufacturer]) give the platform, in file order, each once, and only
// those the INF has. None when no line has one for it.
std::vector<std::wstring> ModelsSectionsOf(HINF inf, const InfPlatform& platform,
                                           const std::wstring& manufacturerSection = L"Manufacturer");

// The hardware and compatible ids (fields 2 onwards of each model line) of
// the models sections, each once (case ignored), in file order.
std::vector<std::wstring> ModelIdsOf(HINF inf, const std::vector<std::wstring>& sections);

// The running system as Windows itself knows it (not the version a program
// manifest is shown), for the architecture this program is built for.
InfPlatform RunningInfPlatform();
// "x64 Windows 10.0 build 19045": the system named in messages.
std::wstring DescribeInfPlatform(const InfPlatform& platform);

}  // namespace qel
