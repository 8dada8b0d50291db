// The diagnostic log: one timestamped UTF-8 line per event, appended to
// "qelwl.log" in the temporary folder. Until the entry point opens that file the
// lines go to standard error. Every line is written whatever its level.
#pragma once

#include <windows.h>

#include <string>

namespace qel {

// Levels: 0 errors and major steps, 1 notable details, 2 the ordinary trace,
// 3 a rollback-log record echoed as it was written.
enum TraceLevel : unsigned { TraceError = 0, TraceNotable = 1, TraceDetail = 2, TraceRecord = 3 };

extern const wchar_t kVersionText[];  // "7.35 (TOB) (r)"

// Writes one line (the caller's format supplies the line end); returns the
// number of bytes in the line, also when no stream is open.
int TraceWrite(unsigned level, const wchar_t* format, ...);
// Switches the log to the file at path (appended, text mode). 0, or -1 when the
// file cannot be opened; lines are then dropped.
int TraceOpen(const std::wstring& path);
void TraceHeader(const wchar_t* word);
// Drops every line from now on, the "End" header included: for a program
// that only looks at the machine and keeps no diagnostic log.
void TraceDiscard();
// The engine's diagnostic writer greets standard error with a "Start" line
// while static objects are made, before the entry point: the installer's
// parent reads that. A program whose standard error is its user's (a tool,
// a window) defines one of these with init_priority(101), so that it is made
// first: standard error then stands on NUL until GiveBack, which the entry
// point calls first thing.
class TraceQuietStart {
public:
    TraceQuietStart();
    void GiveBack();

private:
    int saved_ = -1;
};

// Whether a line of the log file (CR LF already cut off) is the "Start"
// header of the process with this id: where that run's lines begin. Process
// ids are reused, so a reader takes the last such header.
bool TraceIsStartOf(const std::string& line, DWORD processId);
// The operating-system handle of the current stream, or INVALID_HANDLE_VALUE
// when lines are being dropped.
HANDLE TraceStreamHandle();

}  // namespace qel
