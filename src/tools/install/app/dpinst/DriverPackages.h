// dpinst64.exe, the driver package installer that the setup program runs from
// Vista on: it puts the driver packages (INF files) of a folder into the
// Windows INF store and points the present devices they support at them, and
// takes one package off the machine again. It reports one line per action on
// standard output and sums the run up in its exit code.
#pragma once

#include <windows.h>

#include <string>

namespace dpinst {

// Exit codes.
//
// Install: bits 0-7 hold the number of packages put into the INF store (a
// package already there counts too), bits 8-15 the number of packages with a
// failure (not staged, or a device that did not take the driver), and the top
// byte is 0x40 when a restart is needed to finish. No package staged: low
// byte 0, the failure that caused it printed.
constexpr DWORD kRestartNeeded = 0x40000000;
// Uninstall: 0 when the devices that used the package are removed and the
// package has left the store, otherwise one of these.
constexpr DWORD kUninstallInfUnreadable = 1;   // the INF named cannot be read
constexpr DWORD kUninstallNotInStore = 2;      // no package in the store has its contents
constexpr DWORD kUninstallDeviceRemains = 3;   // a device using the package could not be removed
constexpr DWORD kUninstallStoreRefused = 4;    // the package could not be removed from the store
// Any other command line: the usage text on standard error, nothing done.
constexpr DWORD kUsage = 0x80000000;
// The run broke off (out of memory): what was done is reported. Like kUsage it
// reads as a failure in both modes (low byte 0, not 0).
constexpr DWORD kAborted = 0x80000100;

// Stages every *.inf of the folder and updates the present devices that one
// of its models matches. Returns the install exit code.
DWORD InstallFolder(const std::wstring& folder);
// Removes the devices whose driver comes from the package and the package
// itself. Returns 0 or an uninstall exit code.
DWORD UninstallPackage(const std::wstring& infPath);

}  // namespace dpinst
