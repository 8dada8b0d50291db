// qelkit run: the installer started as a setup program starts it, with a
// progress bar, its result in words and, when it failed, what failed.
#pragma once

#include "KitScript.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kit {

// "[####------]  40%": the bar and percentage of a "Progress" line, bounded
// to a full bar and 100 % (the done count may pass the total).
std::wstring ProgressLine(uint32_t total, uint32_t done);
// The installer's result in words. cause: what failed, from the run's
// failure line (empty when there is none). resultLine: the run sent its
// Result line (a run that ends early, with 100 to 103 or 202, sends none;
// any other run without one was stopped on the way).
std::wstring ResultSentence(Command command, int result, const std::wstring& cause, bool resultLine);
// What failed, from the caught failure's line of the diagnostic log (its
// time stamp cut): the description and the Windows error in words. Empty for
// any other line. The place in the program that raised it stays in the log.
std::wstring FailureCause(const std::wstring& message);

// For fleet tools, given right after the word "run".
struct RunOptions {
    // Exit with the codes of the Windows installer (0, 3010, 1603, 1618,
    // 1639) instead of the installer's own.
    bool msiExitCodes = false;
    // A file the run's diagnostic lines are appended to; empty: none.
    std::wstring logFile;
};

// Runs the command and returns the installer's result code (mapped when the
// options ask for it); 202 for a run that was stopped before it sent its
// result. Refused before the start: a folder or script that is not there
// (100), no qelwls64.exe beside qelkit.exe or a start that fails (202), and
// another installer run in progress (1618, whichever codes).
int Run(Command command, const std::wstring& folderArgument, const std::vector<std::wstring>& extra,
        const RunOptions& options);
// What a run refused before it started exits with: `result`, mapped when the
// options ask for it; the reason is appended to the options' log file.
int RefuseRun(int result, const std::wstring& reason, const RunOptions& options);

}  // namespace kit
