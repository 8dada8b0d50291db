// Start-up, the early ends of a run and the way every run reports its result:
// the real qelwls64.exe on real scripts.
#include "SetupRun.h"

#include <gtest/gtest.h>

#include <regex>

using namespace qeltest;

namespace {

const std::string kMinimalScript = Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n");

class Startup : public ::testing::Test {
protected:
    void TearDown() override { SetWindowsVersion(L"qelwls64.exe", L""); }
};

// Every early end stores its message, naming the check's line, and sends no
// Result line; every later end sends the Result line the message holds.
TEST_F(Startup, EachEndReportsItsResultOnEveryChannel) {
    const struct {
        const char* script;     // qelwls.ini's body, "" for the minimal script, or none
        const wchar_t* args;    // after the program; %s stands for the folder
        const wchar_t* version; // Wine's Windows version, or the default
        DWORD code;
        const char* message;    // the registry message as a pattern
        const char* resultLine; // the status line after the Version line
        const char* logLine;
    } cases[] = {
        {nullptr, L"install", L"", 102, "Result,102,SetupErrorInvalidArguments,CmdLine,[0-9]+\n", "",
         "Invalid arguments"},
        {nullptr, L"install \"%s\"", L"", 100, "Result,100,SetupErrorNoConfigFile,CmdLine,[0-9]+\n", "", nullptr},
        // Without DriverInf in [Install] no command runs, not even the one that skips it.
        {"[Install]\r\nCopyFiles=Files\r\n", L"apponly_install \"%s\"", L"", 100,
         "Result,100,SetupErrorNoConfigFile,CmdLine,[0-9]+\n", "", nullptr},
        {"", L"install \"%s\"", L"nt40", 103, "Result,103,\\(null\\),CmdLine,[0-9]+\n", "",
         "Win2K or higher required."},
        // An unknown command still needs a readable script.
        {"", L"frobnicate \"%s\"", L"", 102, "Result,102,SetupErrorInvalidArguments\n",
         "Result,102,SetupErrorInvalidArguments,,\r\n", "Invalid arguments"},
        // A road that raises: the module and line of the raise on both channels.
        {"", L"upgrade \"%s\"", L"", 200, "Result,200,SetupErrorInternal,CmdLine,([0-9]+)\n",
         "Result,200,SetupErrorInternal,CmdLine,$1\r\n", "Error: file \"CmdLine\""},
    };
    for (const auto& c : cases) {
        SetupFolder folder(L"ends");
        if (c.script) folder.Write(L"qelwls.ini", *c.script ? Script(c.script) : kMinimalScript);
        SetWindowsVersion(L"qelwls64.exe", c.version);
        std::wstring args = c.args;
        const size_t at = args.find(L"%s");
        if (at != std::wstring::npos) args.replace(at, 2, folder.Path());
        const SetupRunResult run = RunSetupProgram(folder.Exe(), args);
        SCOPED_TRACE(Utf8(args));
        EXPECT_EQ(run.exitCode, c.code);
        std::smatch message;
        const std::string text = Utf8(run.message);
        ASSERT_TRUE(std::regex_match(text, message, std::regex(c.message))) << text;
        EXPECT_EQ(run.out, kVersionLine + message.format(c.resultLine));
        if (c.logLine) EXPECT_NE(run.log.find(c.logLine), std::string::npos) << run.log;
    }
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
    EXPECT_TRUE(std::regex_match(Utf8(run.message), std::regex("Result,100,SetupErrorNoConfigFile,CmdLine,[0-9]+\n")));

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
