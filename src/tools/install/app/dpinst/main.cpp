// dpinst64.exe: the driver package installer that ships beside the setup
// program. It accepts exactly two command lines, those the setup program
// builds (switches in this order, any case):
//
//   dpinst64.exe /a /f /sw /sa /path "<package folder>"   install every package of the folder
//   dpinst64.exe /u "<inf path>" /q                        remove one package
//
// Exit codes: DriverPackages.h.
#include "DriverPackages.h"
#include "Support.h"

#include <cstdio>
#include <cwchar>
#include <exception>

namespace {

const wchar_t kUsageText[] =
    L"usage: dpinst64.exe /a /f /sw /sa /path \"<package folder>\"\n"
    L"       dpinst64.exe /u \"<inf path>\" /q\n";

bool IsSwitch(const wchar_t* argument, const wchar_t* name) { return dpinst::SameText(argument, name); }

bool IsInstallCommand(int argc, wchar_t** argv) {
    return argc == 7 && IsSwitch(argv[1], L"/a") && IsSwitch(argv[2], L"/f") && IsSwitch(argv[3], L"/sw") &&
           IsSwitch(argv[4], L"/sa") && IsSwitch(argv[5], L"/path") && argv[6][0] != L'\0';
}

bool IsUninstallCommand(int argc, wchar_t** argv) {
    return argc == 4 && IsSwitch(argv[1], L"/u") && argv[2][0] != L'\0' && IsSwitch(argv[3], L"/q");
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Runs elevated, like the setup program: libraries come from the system
    // folder only, newdev.dll among them.
    if (!dpinst::RestrictDllSearchToSystemFolder()) {
        dpinst::Report(L"error: the library search cannot be restricted to the system folder (error " +
                       dpinst::Hex(::GetLastError()) + L")");
        return static_cast<int>(dpinst::kAborted);
    }
    DWORD code = dpinst::kUsage;
    try {
        if (IsInstallCommand(argc, argv)) {
            code = dpinst::InstallFolder(dpinst::FullPath(argv[6]));
        } else if (IsUninstallCommand(argc, argv)) {
            code = dpinst::UninstallPackage(dpinst::FullPath(argv[2]));
        } else {
            std::fputws(kUsageText, stderr);
            std::fflush(stderr);
            return static_cast<int>(code);
        }
    } catch (const std::exception&) {
        // Out of memory: the run ends with what it has done reported.
        dpinst::Report(L"error: out of memory");
        code = dpinst::kAborted;
    }
    dpinst::Report(L"done: exit code " + dpinst::Hex(code));
    return static_cast<int>(code);
}
