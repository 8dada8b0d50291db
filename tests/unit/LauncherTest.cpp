// The parts of qelsetup with many cases: its command line, the installer's
// command line it builds, the exit codes for fleet tools, and finding this
// run's lines in a diagnostic log that every run appends to.
#include "CmdLine.h"
#include "TraceRunLog.h"
#include "LauncherOptions.h"
#include "UnitHelpers.h"

#include <gtest/gtest.h>

using namespace qeltest;

namespace {

using launcher::Command;
using launcher::Display;

TEST(LauncherOptions, SwitchesAndWordsPassedOn) {
    const struct {
        std::vector<std::wstring> words;
        Command command;
        Display display;
        bool msiCodes;
        std::vector<std::wstring> passOn;
    } cases[] = {
        {{}, Command::Install, Display::Full, false, {}},
        {{L"/UNINSTALL", L"/Quiet"}, Command::Uninstall, Display::Quiet, false, {}},
        {{L"/upgrade", L"/passive", L"/msicodes"}, Command::Upgrade, Display::Passive, true, {}},
        // Section names and option words keep their order and their case;
        // "-qelis" is the installer's option word, not a switch.
        {{L"Tools", L"/install", L"-qelis", L"peernet", L"Extra Section"},
         Command::Install,
         Display::Full,
         false,
         {L"Tools", L"-qelis", L"peernet", L"Extra Section"}},
        // The same switch twice is no contradiction.
        {{L"/quiet", L"/quiet", L"/install", L"/Install"}, Command::Install, Display::Quiet, false, {}},
    };
    for (const auto& each : cases) {
        launcher::Options options;
        std::wstring error;
        EXPECT_TRUE(launcher::ParseOptions(each.words, options, error)) << Utf8(error);
        EXPECT_EQ(options.command, each.command);
        EXPECT_EQ(options.display, each.display);
        EXPECT_EQ(options.msiCodes, each.msiCodes);
        EXPECT_EQ(options.passOn, each.passOn);
    }
}

TEST(LauncherOptions, FaultsAreReportedAsTheRestOfTheLineAsks) {
    const struct {
        std::vector<std::wstring> words;
        const wchar_t* error;
        Display display;
        bool msiCodes;
    } cases[] = {
        {{L"/bogus"}, L"unknown switch /bogus", Display::Full, false},
        // Switches after the fault still count: a fleet tool's /quiet and
        // /msicodes decide how the fault is reported.
        {{L"/bogus", L"/msicodes", L"/quiet"}, L"unknown switch /bogus", Display::Quiet, true},
        {{L"/install", L"/uninstall", L"/x"}, L"only one of /install, /upgrade and /uninstall can be given",
         Display::Full, false},
        {{L"/passive", L"/quiet"}, L"/passive and /quiet cannot be given together", Display::Quiet, false},
        {{L""}, L"an empty word cannot be passed on to the installer", Display::Full, false},
        {{L"/"}, L"unknown switch /", Display::Full, false},
    };
    for (const auto& each : cases) {
        launcher::Options options;
        std::wstring error;
        EXPECT_FALSE(launcher::ParseOptions(each.words, options, error));
        EXPECT_EQ(error, each.error);
        EXPECT_EQ(options.display, each.display) << Utf8(each.error);
        EXPECT_EQ(options.msiCodes, each.msiCodes) << Utf8(each.error);
    }
}

TEST(LauncherOptions, InstallerCommandLineQuotesWhatNeedsIt) {
    launcher::Options options;
    options.command = Command::Uninstall;
    options.passOn = {L"Tools", L"two words", L"end\\"};
    EXPECT_EQ(launcher::InstallerCommandLine(L"C:\\Program Files\\Qel\\qelwls64.exe", L"C:\\Program Files\\Qel", options),
              L"\"C:\\Program Files\\Qel\\qelwls64.exe\" uninstall \"C:\\Program Files\\Qel\" Tools \"two words\" end\\");
    options.command = Command::Install;
    options.passOn.clear();
    EXPECT_EQ(launcher::InstallerCommandLine(L"C:\\pkg\\qelwls64.exe", L"C:\\pkg\\", options),
              L"C:\\pkg\\qelwls64.exe install C:\\pkg\\");
}

// The codes the quiet runs of the qelsetup system test do not meet.
TEST(LauncherExitCodes, FleetToolsCodesForEveryResult) {
    const std::pair<int, int> cases[] = {
        {qel::SetupSuccessNeedRestartDriver, 3010}, {qel::SetupErrorNoConfigFile, 1603},
        {qel::SetupErrorUnsupportedPlatform, 1603}, {259, 1603}, {-1, 1603},
    };
    for (const auto& [result, msi] : cases) EXPECT_EQ(qel::MsiExitCode(result), msi) << result;
}

// ---- this run's lines of the diagnostic log ----------------------------------------

class RunLog : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = MakeScratchFolder(L"runlog") + L"\\qelwl.log";
        Append("10:00:00: Start -- \"C:\\old\\qelwls64.exe\", Version 7.35 (TOB) (r), PID 77\r\n"
               "10:00:01: an earlier run of the same process id\r\n"
               "10:00:02: End -- \"C:\\old\\qelwls64.exe\", Version 7.35 (TOB) (r), PID 77\r\n");
    }
    void Append(const std::string& bytes) {
        WriteFileBytes(path_, (PathExists(path_) ? ReadFileBytes(path_) : std::string()) + bytes);
    }
    std::wstring path_;
};

TEST_F(RunLog, TheRunsLinesStartAtItsHeaderAfterBegin) {
    qel::RunLogFollower follower(path_);
    follower.Begin();
    EXPECT_FALSE(follower.Poll(77)) << "the earlier run's lines are not this run's";
    // Another program's lines, then this run's header and a line cut in two.
    Append("10:01:00: Start -- \"C:\\x\\qelkit.exe\", Version 7.35 (TOB) (r), PID 5\r\n"
           "10:01:00: Start -- \"C:\\pkg\\qelwls64.exe\", Version 7.35 (TOB) (r), PID 77\r\n"
           "10:01:01: Using ini file: \"C:\\pkg\\qel");
    EXPECT_TRUE(follower.Poll(77));
    EXPECT_EQ(follower.Lines(),
              std::vector<std::wstring>{L"10:01:00: Start -- \"C:\\pkg\\qelwls64.exe\", Version 7.35 (TOB) (r), PID 77"});
    Append("wls.ini\"\r\n10:01:02: caf\xc3\xa9\r\n");
    EXPECT_TRUE(follower.Poll(77));
    EXPECT_FALSE(follower.Poll(77));
    ASSERT_EQ(follower.Lines().size(), 3u);
    EXPECT_EQ(follower.Lines()[1], L"10:01:01: Using ini file: \"C:\\pkg\\qelwls.ini\"");
    EXPECT_EQ(follower.Lines()[2], L"10:01:02: caf\u00e9");
}

TEST_F(RunLog, ALogEmptiedSinceBeginIsReadFromItsStart) {
    qel::RunLogFollower follower(path_);
    follower.Begin();
    ASSERT_TRUE(::DeleteFileW(path_.c_str()));
    EXPECT_FALSE(follower.Poll(9)) << "no log yet";
    Append("11:00:00: Start -- \"C:\\pkg\\qelwls64.exe\", Version 7.35 (TOB) (r), PID 9\r\n");
    EXPECT_TRUE(follower.Poll(9));
    EXPECT_EQ(follower.Lines().size(), 1u);
}

TEST_F(RunLog, TheCauseIsTheFailureLineWithItsErrorInWords) {
    qel::RunLogFollower follower(path_);
    follower.Begin();
    // A folder named like a failure is not one.
    Append("12:00:00: Start -- \"C:\\failed error\\qelwls64.exe\", Version 7.35 (TOB) (r), PID 4\r\n"
           "12:00:01: Using ini file: \"C:\\failed error\\qelwls.ini\"\r\n"
           "12:00:02: CommitFileInstall( \"C:\\failed error\\QelMon.exe\", \"C:\\App\\QelMon.exe\")\r\n"
           "12:00:03: Error: file \"Update\", line 46, desc \"C:\\failed error\\QelMon.exe\" last error: 2\r\n"
           "12:00:04: Rollback()\r\n");
    follower.Poll(4);
    const std::wstring cause = follower.FirstErrorLine();
    const std::wstring line = L"Error: file \"Update\", line 46, desc \"C:\\failed error\\QelMon.exe\" last error: 2 (";
    EXPECT_EQ(cause.compare(0, line.size(), line), 0) << Utf8(cause);
    EXPECT_GT(cause.size(), line.size() + 1);
    EXPECT_EQ(cause.back(), L')');

    // The early ends name their cause in a line of their own.
    EXPECT_TRUE(qel::IsErrorLine(L"Administrator privileges required."));
    EXPECT_TRUE(qel::IsErrorLine(L"Invalid arguments"));
    EXPECT_FALSE(qel::IsErrorLine(L"DoCleanup(): Unable to remove dir \"C:\\x\" Reason: 5."));
    EXPECT_EQ(qel::ExplainErrorLine(L"Error: file \"CmdLine\", line 3, desc \"(null)\" last error: 0"),
              L"Error: file \"CmdLine\", line 3, desc \"(null)\" last error: 0");
}

}  // namespace
