// Running qelwls64.exe the way a setup program does, from a scratch folder of
// its own, and reading back everything a run leaves: exit code, status lines,
// the registry message and the diagnostic log.
#pragma once

#include "TestSupport.h"

#include <string>
#include <vector>

namespace qeltest {

constexpr char kVersionLine[] = "Version,1,7.35 (TOB) (r)\r\n";

struct SetupRunResult;

// A folder C:\qeltests\<name> holding a copy of qelwls64.exe, so that "the
// program's folder" is the test's own.
class SetupFolder {
public:
    explicit SetupFolder(const std::wstring& name);
    const std::wstring& Path() const { return folder_; }
    std::wstring Exe() const { return folder_ + L"\\qelwls64.exe"; }
    std::wstring File(const std::wstring& relative) const { return folder_ + L"\\" + relative; }
    // Writes a script (or any text file) below the folder, as UTF-8 bytes.
    void Write(const std::wstring& relative, const std::string& text) const;
    // Writes qelwls.ini, whose [Install] holds the DriverInf key every
    // command needs and then body (more keys, then more sections), and runs
    // apponly_install on the folder, `more` after it.
    SetupRunResult InstallScript(const std::string& body, const std::wstring& more = L"") const;

private:
    std::wstring folder_;
};

struct SetupRunResult {
    DWORD exitCode = 0;
    std::string out;      // status lines, byte for byte
    std::string err;
    std::wstring message; // HKCU\SOFTWARE\QelSetup "Message"
    std::string log;      // the diagnostic log, as left after the run
};

// Clears the diagnostic log and the message, starts `exe args`, and collects
// the results.
SetupRunResult RunSetupProgram(const std::wstring& exe, const std::wstring& args);

std::wstring DiagnosticLogPath();
std::wstring ReadResultMessage(bool* found = nullptr);

// The log's lines with their "HH:MM:SS: " stamps removed (CR LF split).
std::vector<std::string> LogMessages(const std::string& log);
bool LogHasLine(const std::string& log, const std::string& message);

// A script with the [Version] signature SetupAPI needs and the given body.
std::string Script(const std::string& body);

// "Progress,<total>,<done>\r\n" for each count done.
std::string ProgressLines(int total, std::initializer_list<int> done);
constexpr char kAnyProgress[] = "(Progress,[0-9]+,[0-9]+\r\n)*";

// A run that failed in `module`: exit code 200; on standard output the Version
// line, the progress (a pattern) and "Result,200,SetupErrorInternal,<module>,
// <line>"; the same result as the registry message; and the diagnostic log's
// Error line naming that module and line.
void ExpectFailedRun(const SetupRunResult& run, const std::string& module, const std::string& progress = kAnyProgress);

}  // namespace qeltest
