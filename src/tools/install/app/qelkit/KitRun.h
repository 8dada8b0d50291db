// qelkit run: the installer started as a setup program starts it, with a
// progress bar and its result in words.
#pragma once

#include "KitScript.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kit {

// "[####------]  40%": the bar and percentage of a "Progress" line, bounded
// to a full bar and 100 % (the done count may pass the total).
std::wstring ProgressLine(uint32_t total, uint32_t done);
// The installer's result in words; for 200 with the module and line of the
// failure. resultLine: the run sent its Result line (a run that ends early,
// with 100 to 103 or 202, sends none; any other run without one was stopped
// on the way).
std::wstring ResultSentence(Command command, int result, const std::wstring& module, int line, bool resultLine);

// Runs the command and returns the installer's result code; 202 for a run
// that was stopped before it sent its result. Refused before the start: a
// folder or script that is not there (100), no qelwls64.exe beside qelkit.exe
// or a start that fails (202).
int Run(Command command, const std::wstring& folderArgument, const std::vector<std::wstring>& extra);

}  // namespace kit
