// Logs an earlier build wrote (tests/fixtures/logs), recovered and replayed
// by this one on the machine they were written on: the machine ends as that
// build left it, with the same diagnostic lines and the same listing of
// qelkit recover.
#include "EarlierLogs.h"

#include <gtest/gtest.h>

#include <regex>

using namespace qeltest;

namespace {

std::wstring Fixture(const std::wstring& relative) { return LogFixturesFolder() + L"\\" + relative; }

// The listing with what undoing each run does. Its first line names when the
// run started, its marker's creation time, which is when the test put the
// marker there (Wine keeps no creation time set on a file), so the time is
// put as the fixture has it.
std::string RecoverListing() {
    const std::string listing = RunProgram(L"\"" + TestBinDir() + L"\\qelkit.exe\" recover --verbose").out;
    static const std::regex started(", started [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}, ");
    return std::regex_replace(listing, started, ", started 2026-01-02 03:04:05, ");
}

void ExpectMachine(const DumpRoots& roots, const std::wstring& expectedState) {
    const std::string expected = ReadFileBytes(Fixture(expectedState)), actual = DumpMachine(roots);
    EXPECT_TRUE(actual == expected) << Utf8(expectedState) << "\n" << DumpDifferences(expected, actual);
}

class EarlierLogs : public ::testing::Test {
protected:
    void TearDown() override { LoadMachine(kOddRoots, ""); }
};

// A run killed in its commit is undone, one killed in its clean-up has its
// clean-up finished, by the next script command.
TEST_F(EarlierLogs, KilledRunsAreRecoveredAsBefore) {
    const SetupFolder idle(L"idle");
    for (const wchar_t* scenario : {L"odd-paths\\killed-mid-commit", L"odd-paths\\killed-in-cleanup"}) {
        SCOPED_TRACE(Utf8(scenario));
        const std::wstring folder = std::wstring(scenario) + L"\\";
        LoadMachine(kOddRoots, ReadFileBytes(Fixture(folder + L"at-kill.state")));
        EXPECT_EQ(RecoverListing(), ReadFileBytes(Fixture(folder + L"recover.txt")));
        const SetupRunResult next = idle.InstallScript("");
        EXPECT_EQ(next.exitCode, 0u) << next.log;
        EXPECT_EQ(RecoveryMessages(next.log), ReadFileBytes(Fixture(folder + L"recovery.txt")));
        ExpectMachine(kOddRoots, folder + L"after.state");
    }
}

// The driver records of both roads are read and described as before.
TEST_F(EarlierLogs, DriverRecordsAreDescribedAsBefore) {
    for (const wchar_t* scenario : {L"drivers-before-vista", L"drivers-from-vista"}) {
        SCOPED_TRACE(Utf8(scenario));
        const std::wstring windows = Fixture(std::wstring(scenario) + L"\\windows");
        const std::vector<std::wstring> names = FilesMatching(windows + L"\\qel*");
        ASSERT_EQ(names.size(), 2u);
        for (const std::wstring& name : names) CopyFileOrFail(windows + L"\\" + name, L"C:\\windows\\" + name);
        // The new uninstall log the listing names was there when it was made.
        const std::string listing = ReadFileBytes(Fixture(std::wstring(scenario) + L"\\recover.txt"));
        std::smatch log;
        const bool logLeft = std::regex_search(listing, log, std::regex("the uninstall log the run began, ([^\r]+)"));
        if (logLeft) WriteFileBytes(Wide(log[1]), "");
        EXPECT_EQ(RecoverListing(), listing);
        for (const std::wstring& name : names) ::DeleteFileW((L"C:\\windows\\" + name).c_str());
        if (logLeft) ::DeleteFileW(Wide(log[1]).c_str());
    }
}

// An uninstall replays an earlier uninstall log into the same removals.
TEST_F(EarlierLogs, AnUninstallLogIsReplayedAsBefore) {
    SetupFolder folder(L"odd_paths");
    WriteFileBytes(folder.File(L"qelwls.ini"), ReadFileBytes(Fixture(L"odd-paths\\qelwls.ini")));
    LoadMachine(kOddRoots, ReadFileBytes(Fixture(L"odd-paths\\uninstall\\installed.state")));
    const SetupRunResult uninstall = RunSetupProgram(folder.Exe(), L"uninstall \"" + folder.Path() + L"\"");
    EXPECT_EQ(uninstall.exitCode, 0u) << uninstall.log;
    EXPECT_EQ(ReplayMessages(uninstall.log), ReadFileBytes(Fixture(L"odd-paths\\uninstall\\trace.txt")));
    ExpectMachine(kOddRoots, L"odd-paths\\uninstall\\after.state");
}

// The sample package's uninstall log is written as before (but for the
// temporary name its file had), and the earlier one replays as before.
TEST_F(EarlierLogs, TheSamplePackagesUninstallLogIsWrittenAndReplayedAsBefore) {
    CleanMachine();
    SamplePackage package(L"sample");
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    const std::string earlier = ReadFileBytes(Fixture(L"sample\\uninstall.log"));
    // The sample has since gained the setup program's two copies in its
    // Uninstall folder; every other record is written as it was.
    const std::string settingsLine = "CopyFile,C:\\qeltests\\sample\\qelwls.ini,";
    const size_t settingsAt = earlier.find(settingsLine);
    ASSERT_NE(settingsAt, std::string::npos);
    std::string expected = earlier;
    expected.insert(settingsAt,
                    "CopyFile,C:\\qeltests\\sample\\qelsetup.exe,"
                    "C:\\Program Files\\Qel Wireless\\Uninstall\\qelsetup.exe,0x00000004\r\n"
                    "CopyFile,C:\\qeltests\\sample\\qelwls64.exe,"
                    "C:\\Program Files\\Qel Wireless\\Uninstall\\qelwls64.exe,0x00000004\r\n");
    const std::regex temporaryName("qel[0-9a-f]+\\.tmp");
    EXPECT_EQ(std::regex_replace(ReadFileBytes(kUninstallLog), temporaryName, "qel.tmp"),
              std::regex_replace(expected, temporaryName, "qel.tmp"));
    WriteFileBytes(kUninstallLog, earlier);
    const SetupRunResult uninstall = package.Run(L"uninstall");
    EXPECT_EQ(uninstall.exitCode, 0u) << uninstall.log;
    EXPECT_EQ(ReplayMessages(uninstall.log), ReadFileBytes(Fixture(L"sample\\trace.txt")));
    CleanMachine();
}

}  // namespace
