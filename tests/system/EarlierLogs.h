// What the logs of tests/fixtures/logs were written with and are compared
// by: the part of the machine the odd-paths script touches, and the
// diagnostic messages of a recovery and of an uninstall replay.
#pragma once

#include "MachineDump.h"
#include "PackageFixture.h"

#include <string>
#include <vector>

namespace qeltest {

// A script whose paths and names hold commas, percent signs and characters
// beyond ASCII (tests/fixtures/logs/odd-paths/qelwls.ini).
inline const std::wstring kOddApp = L"C:\\Program Files\\Qel, 100% W\u00e4re";
inline const DumpRoots kOddRoots{
    {kOddApp, L"C:\\Program Files\\Common Files\\Qel, 100% W\u00e4re",
     L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Qel, 100% W\u00e4re"},
    {L"qel*.tmp", L"qelwls-*.run"},
    {L"SOFTWARE\\QelJournal"},
    {{kSharedDllsKey, L"C:\\Program Files\\Common Files\\Qel, 100% W\u00e4re\\qelshared, 1.dll"},
     {kSharedDllsKey, L"QelSetup"},
     {kSessionManagerKey, kPendingRenames}}};

inline std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

// The messages of a recovery, from its first "Recovery:" line to the one
// that says it is done.
inline std::string RecoveryMessages(const std::string& log) {
    std::vector<std::string> kept;
    for (const std::string& message : LogMessages(log)) {
        if (kept.empty() && message.rfind("Recovery:", 0) != 0) continue;
        kept.push_back(message);
        if (message.find(" is undone") != std::string::npos || message.find(" is finished") != std::string::npos) break;
    }
    return JoinLines(kept);
}

// The messages of an uninstall replay and of the removals it queued.
inline std::string ReplayMessages(const std::string& log) {
    std::vector<std::string> kept;
    for (const std::string& message : LogMessages(log))
        if (message.rfind("Uninstall", 0) == 0 || message.rfind("CommitFileRemove", 0) == 0) kept.push_back(message);
    return JoinLines(kept);
}

}  // namespace qeltest
