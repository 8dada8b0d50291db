// qelsetup's command line: the installer command to run, how much window to
// show, which exit codes to give, and the words passed on to the installer.
#pragma once

#include <string>
#include <vector>

namespace launcher {

enum class Command { Install, Upgrade, Uninstall };
enum class Display {
    Full,     // the window with its buttons and details
    Passive,  // progress and result only, nothing to press; closes itself
    Quiet,    // no window at all
};

struct Options {
    Command command = Command::Install;
    Display display = Display::Full;
    bool msiCodes = false;  // exit with the codes fleet tools expect
    bool help = false;
    std::vector<std::wstring> passOn;  // section names and option words, in order
};

// Switches begin with "/" and are matched without regard to case; every
// other word is passed on to the installer after the script folder, in
// order. False, with the reason in words, for a command line qelsetup does
// not take (options then holds what was read before the fault).
bool ParseOptions(const std::vector<std::wstring>& arguments, Options& options, std::wstring& error);

// "install", "upgrade" or "uninstall".
const wchar_t* InstallerCommandWord(Command command);

// The installer's command line: the program, the command word, the script
// folder and the passed-on words, each quoted where it needs it.
std::wstring InstallerCommandLine(const std::wstring& installer, const std::wstring& scriptFolder,
                                  const Options& options);

// The words of this process's command line, the program's own left out.
std::vector<std::wstring> CommandLineArguments();

extern const wchar_t kUsage[];

}  // namespace launcher
