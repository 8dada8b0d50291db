#include "LauncherOptions.h"

#include "Handles.h"
#include "Util.h"

#include <shellapi.h>

namespace launcher {
namespace {

bool IsSwitch(const std::wstring& word, const wchar_t* name) {
    return word.size() > 1 && word[0] == L'/' && ::CompareStringOrdinal(word.c_str() + 1, -1, name, -1, TRUE) ==
                                                      CSTR_EQUAL;
}

}  // namespace

const wchar_t kUsage[] =
    L"qelsetup [/install | /upgrade | /uninstall] [/passive | /quiet] [/msicodes] [word ...]\n"
    L"\n"
    L"/install (the default), /upgrade, /uninstall: what the installer does with the setup script beside it.\n"
    L"/passive: progress only, nothing to press; the window closes itself.\n"
    L"/quiet: no window at all.\n"
    L"/msicodes: exit with 0, 3010 (restart needed), 1603 (failed), 1618 (another install is running) or "
    L"1639 (bad command line) instead of the installer's own code.\n"
    L"Other words (section names, option words) are passed on to the installer.";

bool ParseOptions(const std::vector<std::wstring>& arguments, Options& options, std::wstring& error) {
    // Every word is read, also after a fault, so that /quiet and /msicodes
    // decide how the fault is reported wherever they stand; the first fault
    // is the one reported.
    error.clear();
    bool commandGiven = false;
    bool displayGiven = false;
    auto fault = [&error](const std::wstring& text) {
        if (error.empty()) error = text;
    };
    for (const std::wstring& word : arguments) {
        if (IsSwitch(word, L"install") || IsSwitch(word, L"upgrade") || IsSwitch(word, L"uninstall")) {
            const Command command = IsSwitch(word, L"install")   ? Command::Install
                                    : IsSwitch(word, L"upgrade") ? Command::Upgrade
                                                                 : Command::Uninstall;
            if (commandGiven && command != options.command)
                fault(L"only one of /install, /upgrade and /uninstall can be given");
            commandGiven = true;
            options.command = command;
        } else if (IsSwitch(word, L"passive") || IsSwitch(word, L"quiet")) {
            const Display display = IsSwitch(word, L"quiet") ? Display::Quiet : Display::Passive;
            if (displayGiven && display != options.display) {
                fault(L"/passive and /quiet cannot be given together");
                options.display = Display::Quiet;  // no window for a command line asking for less of one
                continue;
            }
            displayGiven = true;
            options.display = display;
        } else if (IsSwitch(word, L"msicodes")) {
            options.msiCodes = true;
        } else if (IsSwitch(word, L"?") || IsSwitch(word, L"help")) {
            options.help = true;
        } else if (!word.empty() && word[0] == L'/') {
            fault(L"unknown switch " + word);
        } else if (word.empty()) {
            // It would stand where the installer reads a section name.
            fault(L"an empty word cannot be passed on to the installer");
        } else {
            options.passOn.push_back(word);
        }
    }
    return error.empty();
}

const wchar_t* InstallerCommandWord(Command command) {
    switch (command) {
    case Command::Upgrade: return L"upgrade";
    case Command::Uninstall: return L"uninstall";
    default: return L"install";
    }
}

std::wstring InstallerCommandLine(const std::wstring& installer, const std::wstring& scriptFolder,
                                  const Options& options) {
    std::wstring commandLine = qel::QuoteArgument(installer) + L" " + InstallerCommandWord(options.command) + L" " +
                               qel::QuoteArgument(scriptFolder);
    for (const std::wstring& word : options.passOn) commandLine += L" " + qel::QuoteArgument(word);
    return commandLine;
}

std::vector<std::wstring> CommandLineArguments() {
    int count = 0;
    wchar_t** words = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    qel::UniqueLocalMem owner(reinterpret_cast<HLOCAL>(words));
    std::vector<std::wstring> arguments;
    for (int i = 1; words && i < count; ++i) arguments.emplace_back(words[i]);
    return arguments;
}

}  // namespace launcher
