// A run's lines of the installer's diagnostic log ("qelwl.log" in the
// temporary folder, which every run appends to), read as they are written by
// a program that started the installer (qelsetup, qelkit run), and the line
// that tells why a run failed.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qel {

class RunLogFollower {
public:
    explicit RunLogFollower(std::wstring logPath);
    // The log of the installer that this process starts: the same temporary
    // folder, since the installer inherits the environment.
    static std::wstring InstallerLogPath();

    // Notes where the log ends now: the run's lines come after this point.
    void Begin();
    // Reads what was added since the last call. Lines before the "Start"
    // header of processId are another program's; a line not yet ended waits.
    // True when new lines of the run came.
    bool Poll(DWORD processId);

    const std::vector<std::wstring>& Lines() const { return lines_; }
    // The first line of the run that reports a failure, without its time
    // stamp and with its Windows error in words; empty when there is none.
    std::wstring FirstErrorLine() const;

private:
    std::wstring path_;
    unsigned long long offset_ = 0;  // bytes of the file read (or passed over) so far
    std::string pending_;            // the start of a line not yet ended
    bool started_ = false;           // the run's "Start" header was read
    std::vector<std::wstring> lines_;
};

// A log line without its "HH:MM:SS: " stamp.
std::wstring WithoutTimeStamp(const std::wstring& line);
// Whether a line of the diagnostic log (without its stamp) reports the
// failure that ended a run.
bool IsErrorLine(const std::wstring& message);
// The line with the text of the Windows error that ends it, if any.
std::wstring ExplainErrorLine(const std::wstring& message);

// The line of the caught failure, taken apart:
// Error: file "<module>", line <line>, desc "<description>" last error: <error>
struct FailureLine {
    std::wstring module;
    int line = 0;
    std::wstring description;  // "(null)" when the failure carried none
    DWORD error = 0;
};
bool ParseFailureLine(const std::wstring& message, FailureLine& failure);

}  // namespace qel
