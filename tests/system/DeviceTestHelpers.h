// What the driver, network and driver package installer tests share: the
// network class, a key's presence, a run's log lines, an unchanged machine,
// an idle run and the driver kit's package cut down to Windows 10.
#pragma once

#include "PackageFixture.h"

#include "Handles.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <regex>

namespace qeltest {

constexpr wchar_t kNetClass[] = L"{4D36E972-E325-11CE-BFC1-08002BE10318}";

inline bool HklmKeyExists(const std::wstring& subkey) {
    qel::UniqueKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

// Each message is a line of the diagnostic log.
inline void ExpectLogLines(const std::string& log, std::initializer_list<std::string> messages) {
    for (const std::string& message : messages) EXPECT_TRUE(LogHasLine(log, message)) << message << "\n" << log;
}

inline void ExpectSameMachine(const MachineState& before, const MachineState& after) {
    EXPECT_TRUE(after == before) << DescribeDifferences(before, after);
}

// A folder whose script has nothing to do: its run undoes a killed run
// first.
inline const SetupFolder& IdleFolder() {
    static const SetupFolder idle(L"idle");
    idle.Write(L"qelwls.ini", Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n"));
    return idle;
}

// The driver kit's adapter INF without its sections for Windows 7 and
// Server 2003: a package made for Windows 10 only.
inline std::string ForWindows10Only(const std::string& inf) {
    return std::regex_replace(inf, std::regex(", NTamd64\\.6\\.1, NTamd64\\.5\\.2"), "");
}

}  // namespace qeltest
