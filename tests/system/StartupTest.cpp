// Start-up, the early ends of a run and the way every run reports its result:
// the real qelwls64.exe on real scripts.
#include "SetupRun.h"

#include <gtest/gtest.h>

#include <regex>

using namespace qeltest;

namespace {

const std::string kMinimalScript = Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n");

// "Result,<code>,<name>,CmdLine,<line>\n": an early end names the check's line.
void ExpectEarlyEndMessage(const std::wstring& message, const std::string& codeAndName) {
    EXPECT_TRUE(std::regex_match(Utf8(message), std::regex("Result," + codeAndName + ",CmdLine,[0-9]+\n")))
        << Utf8(message);
}

class Startup : public ::testing::Test {
protected:
    void TearDown() override { SetWindowsVersion(L"qelwls64.exe", L""); }
};

TEST_F(Startup, TooFewArgumentsEndsWith102AndNoResultLine) {
    SetupFolder folder(L"few_args");
    const SetupRunResult run = RunSetupProgram(folder.Exe(), L"install");
    EXPECT_EQ(run.exitCode, 102u);
    EXPECT_EQ(run.out, kVersionLine);
    ExpectEarlyEndMessage(run.message, "102,SetupErrorInvalidArguments");
    EXPECT_TRUE(LogHasLine(run.log, "Invalid arguments"));
}

TEST_F(Startup, MissingScriptEndsWith100) {
    SetupFolder folder(L"no_script");
    const SetupRunResult run = RunSetupProgram(folder.Exe(), L"install \"" + folder.Path() + L"\"");
    EXPECT_EQ(run.exitCode, 100u);
    EXPECT_EQ(run.out, kVersionLine);
    ExpectEarlyEndMessage(run.message, "100,SetupErrorNoConfigFile");
    EXPECT_TRUE(LogHasLine(run.log, "Using ini file: \"" + Utf8(folder.File(L"qelwls.ini")) + "\""));
}

TEST_F(Startup, ScriptWithoutDriverInfEndsWith100EvenForApplicationOnly) {
    SetupFolder folder(L"no_driverinf");
    folder.Write(L"qelwls.ini", Script("[Install]\r\nCopyFiles=Files\r\n"));
    for (const wchar_t* command : {L"install", L"apponly_install"}) {
        const SetupRunResult run = RunSetupProgram(folder.Exe(), std::wstring(command) + L" \"" + folder.Path() + L"\"");
        EXPECT_EQ(run.exitCode, 100u) << Utf8(command);
        EXPECT_EQ(run.out, kVersionLine);
        ExpectEarlyEndMessage(run.message, "100,SetupErrorNoConfigFile");
    }
}

TEST_F(Startup, UnknownCommandNeedsAReadableScriptThenEndsWith102) {
    SetupFolder folder(L"unknown_command");
    folder.Write(L"qelwls.ini", kMinimalScript);
    const SetupRunResult run = RunSetupProgram(folder.Exe(), L"frobnicate \"" + folder.Path() + L"\"");
    EXPECT_EQ(run.exitCode, 102u);
    EXPECT_EQ(run.out, std::string(kVersionLine) + "Result,102,SetupErrorInvalidArguments,,\r\n");
    EXPECT_EQ(run.message, L"Result,102,SetupErrorInvalidArguments\n");
    EXPECT_TRUE(LogHasLine(run.log, "Invalid arguments"));
}

TEST_F(Startup, OptionalDriverInfThatCannotBeOpenedEndsWith100FromVistaOn) {
    SetupFolder folder(L"bad_optional_inf");
    folder.Write(L"qelwls.ini", kMinimalScript);
    // The folder above the driver INF's folder holds the optional packages; an
    // INF without a [Version] signature exists but does not open.
    folder.Write(L"VWL\\qelvwl.inf", "[Strings]\r\nName=x\r\n");
    const std::wstring args = L"frobnicate \"" + folder.Path() + L"\"";

    SetWindowsVersion(L"qelwls64.exe", L"win10");
    SetupRunResult run = RunSetupProgram(folder.Exe(), args);
    EXPECT_EQ(run.exitCode, 100u);
    EXPECT_EQ(run.out, kVersionLine);
    ExpectEarlyEndMessage(run.message, "100,SetupErrorNoConfigFile");

    // Before Vista the optional packages are not looked at.
    SetWindowsVersion(L"qelwls64.exe", L"winxp64");
    run = RunSetupProgram(folder.Exe(), args);
    EXPECT_EQ(run.exitCode, 102u);

    // A missing optional INF is no error, and neither is the filter's that opens.
    SetWindowsVersion(L"qelwls64.exe", L"win10");
    ::DeleteFileW(folder.File(L"VWL\\qelvwl.inf").c_str());
    folder.Write(L"QELIS\\qelis.inf", Script("[Strings]\r\nName=x\r\n"));
    run = RunSetupProgram(folder.Exe(), args);
    EXPECT_EQ(run.exitCode, 102u);
}

TEST_F(Startup, SystemOlderThan2000EndsWith103WithoutAName) {
    SetupFolder folder(L"old_system");
    folder.Write(L"qelwls.ini", kMinimalScript);
    SetWindowsVersion(L"qelwls64.exe", L"nt40");
    const SetupRunResult run = RunSetupProgram(folder.Exe(), L"install \"" + folder.Path() + L"\"");
    EXPECT_EQ(run.exitCode, 103u);
    // The Version line goes out before the version check.
    EXPECT_EQ(run.out, kVersionLine);
    ExpectEarlyEndMessage(run.message, "103,\\(null\\)");
    EXPECT_TRUE(LogHasLine(run.log, "Win2K or higher required."));
    EXPECT_FALSE(LogHasLine(run.log, "Using ini file: \"" + Utf8(folder.File(L"qelwls.ini")) + "\""));
}

TEST_F(Startup, CommandWordIgnoresCaseAndEmptyFolderMeansProgramFolder) {
    SetupFolder folder(L"command_case");
    folder.Write(L"qelwls.ini", kMinimalScript);
    const SetupRunResult run = RunSetupProgram(folder.Exe(), L"INSTALL \"\"");
    EXPECT_TRUE(LogHasLine(run.log, "Working Dir: '" + Utf8(folder.Path()) + "'"));
    EXPECT_TRUE(LogHasLine(run.log, "Using ini file: \"" + Utf8(folder.File(L"qelwls.ini")) + "\""));
    EXPECT_TRUE(LogHasLine(run.log, "qelwls start installing."));
}

TEST_F(Startup, DriverOnlyInstallReadsItsOwnScript) {
    SetupFolder folder(L"driver_only");
    folder.Write(L"qelwlsd.ini", kMinimalScript);
    const SetupRunResult run = RunSetupProgram(folder.Exe(), L"driveronly_install \"" + folder.Path() + L"\"");
    EXPECT_TRUE(LogHasLine(run.log, "Using ini file: \"" + Utf8(folder.File(L"qelwlsd.ini")) + "\""));
    EXPECT_TRUE(LogHasLine(run.log, "qelwls start installing driver only."));
    EXPECT_NE(run.exitCode, 100u);
}

TEST_F(Startup, WindowsVersionLinesFollowTheReportedVersion) {
    SetupFolder folder(L"version_lines");
    folder.Write(L"qelwls.ini", kMinimalScript);
    const std::wstring args = L"frobnicate \"" + folder.Path() + L"\"";

    SetWindowsVersion(L"qelwls64.exe", L"win10");
    SetupRunResult run = RunSetupProgram(folder.Exe(), args);
    EXPECT_TRUE(LogHasLine(run.log, "qelwls detects Win8.1 or greater"));
    EXPECT_TRUE(LogHasLine(run.log, "qelwls detects Win10 or greater"));

    SetWindowsVersion(L"qelwls64.exe", L"win81");
    run = RunSetupProgram(folder.Exe(), args);
    EXPECT_TRUE(LogHasLine(run.log, "qelwls detects Win8.1 or greater"));
    EXPECT_FALSE(LogHasLine(run.log, "qelwls detects Win10 or greater"));

    SetWindowsVersion(L"qelwls64.exe", L"win7");
    run = RunSetupProgram(folder.Exe(), args);
    EXPECT_FALSE(LogHasLine(run.log, "qelwls detects Win8.1 or greater"));
}

TEST_F(Startup, FailedCommandReportsModuleAndLineOnBothChannels) {
    // A road that raises ends through the handlers with 200; the module and
    // line of the raise travel on the status channel and in the message.
    SetupFolder folder(L"failed_command");
    folder.Write(L"qelwls.ini", kMinimalScript);
    const SetupRunResult run = RunSetupProgram(folder.Exe(), L"upgrade \"" + folder.Path() + L"\"");
    EXPECT_EQ(run.exitCode, 200u);
    ASSERT_EQ(run.out.rfind(kVersionLine, 0), 0u) << run.out;
    const std::string resultLine = run.out.substr(sizeof(kVersionLine) - 1);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(resultLine, match, std::regex("(Result,200,SetupErrorInternal,[A-Za-z]+,[0-9]+)\r\n")))
        << run.out;
    EXPECT_EQ(Utf8(run.message), match[1].str() + "\n");
    EXPECT_TRUE(std::regex_search(run.log, std::regex("Error: file \"[A-Za-z]+\", line [0-9]+, desc \".*\" last error: [0-9]+\r\n")));
}

// The diagnostic log: headers, order across runs, UTF-8 and the length cut.
TEST_F(Startup, DiagnosticLogAppendsRunsInUtf8AndCutsLongLines) {
    SetupFolder folder(L"Gr\u00fc\u00dfe \u20ac\U0001F4E6");
    folder.Write(L"qelwls.ini", kMinimalScript);
    const std::string longArgument(3000, 'x');
    const std::wstring args = L"frobnicate \"" + folder.Path() + L"\" " + Wide(longArgument);

    RunSetupProgram(folder.Exe(), args);  // clears the log first
    const ProcessResult second = RunProgram(L"\"" + folder.Exe() + L"\" " + args);
    ASSERT_EQ(second.exitCode, 102u);
    const std::string log = ReadFileBytes(DiagnosticLogPath());

    // Every line ends in CR LF and starts with a time stamp; both runs' lines
    // are there in order, each run between its Start and End headers.
    const std::string exe = Utf8(folder.Exe());
    const std::regex header("^[0-9]{2}:[0-9]{2}:[0-9]{2}: (Start|End) -- \"" +
                            std::regex_replace(exe, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                            "\", Version 7\\.35 \\(TOB\\) \\(r\\), PID ([0-9]+)$");
    std::vector<std::string> headerWords;
    std::vector<std::string> pids;
    for (const std::string& line : SplitCrLfLines(log)) {
        std::smatch match;
        if (std::regex_match(line, match, header)) {
            headerWords.push_back(match[1]);
            pids.push_back(match[2]);
        }
    }
    EXPECT_EQ(headerWords, (std::vector<std::string>{"Start", "End", "Start", "End"}));
    ASSERT_EQ(pids.size(), 4u);
    EXPECT_EQ(pids[0], pids[1]);
    EXPECT_EQ(pids[2], pids[3]);

    // The command line is longer than a line may be: the message is cut at
    // 2047 characters and loses its line end, so the next line follows on.
    const std::string commandLineStart = "Setup command: '\"" + exe + "\"";
    const size_t at = log.find(commandLineStart);
    ASSERT_NE(at, std::string::npos) << "non-ASCII path not found in UTF-8";
    const size_t stampStart = at - 10;
    const size_t next = log.find("Working Dir: '", at);
    ASSERT_NE(next, std::string::npos);
    const std::string cut = log.substr(at, next - 10 - at);
    EXPECT_EQ(Wide(cut).size(), 2047u);
    EXPECT_EQ(cut.find("\r\n"), std::string::npos);
    EXPECT_EQ(log.compare(stampStart + 2, 1, ":"), 0);
}

}  // namespace
