// Start-up, the early ends of a run and the way every run reports its result:
// the real qelwls64.exe on real scripts.
#include "SetupRun.h"

#include <gtest/gtest.h>

#include <regex>

using namespace qeltest;

namespace {

const std::string kMinimalScript = Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n");

// Every "%s" of text replaced by the folder.
std::string Fill(std::string text, const std::string& folder) {
    for (size_t at; (at = text.find("%s")) != std::string::npos;) text.replace(at, 2, folder);
    return text;
}

class Startup : public ::testing::Test {
protected:
    void TearDown() override { SetWindowsVersion(L"qelwls64.exe", L""); }
};

// Every early end stores its message, naming the check's line, and sends no
// Result line; every later end sends the Result line the message holds.
TEST_F(Startup, EachEndReportsItsResultOnEveryChannel) {
    const char* const noScript = "Result,100,SetupErrorNoConfigFile,CmdLine,[0-9]+\n";
    const char* const badArgs = "Result,102,SetupErrorInvalidArguments\n";
    const char* const badArgsLine = "Result,102,SetupErrorInvalidArguments,,\r\n";
    const struct {
        const char* script;     // qelwls.ini's body, "" for the minimal script, or none
        const wchar_t* inf;     // an optional driver INF, or none; only QELIS's has a [Version] signature
        const char* args;       // after the program; %s stands for the folder
        const wchar_t* version; // Wine's Windows version, or the default
        DWORD code;
        const char* message;    // the registry message as a pattern
        const char* resultLine; // the status line after the Version line
        const char* logLine;
    } cases[] = {
        {nullptr, nullptr, "install", L"", 102, "Result,102,SetupErrorInvalidArguments,CmdLine,[0-9]+\n", "",
         "Invalid arguments"},
        {nullptr, nullptr, "install \"%s\"", L"", 100, noScript, "", nullptr},
        // Without DriverInf in [Install] no command runs, not even the one that skips it.
        {"[Install]\r\nCopyFiles=Files\r\n", nullptr, "apponly_install \"%s\"", L"", 100, noScript, "", nullptr},
        {"", nullptr, "install \"%s\"", L"nt40", 103, "Result,103,\\(null\\),CmdLine,[0-9]+\n", "",
         "Win2K or higher required."},
        // An unknown command still needs a readable script. The folder above
        // the driver INF's holds the optional packages: from Vista on, one that
        // exists but does not open ends the run; before Vista they are not
        // looked at; one that opens is no error.
        {"", L"VWL\\qelvwl.inf", "frobnicate \"%s\"", L"win10", 100, noScript, "", nullptr},
        {"", L"VWL\\qelvwl.inf", "frobnicate \"%s\"", L"winxp64", 102, badArgs, badArgsLine, nullptr},
        {"", L"QELIS\\qelis.inf", "frobnicate \"%s\"", L"win10", 102, badArgs, badArgsLine, "Invalid arguments"},
        // A road that raises: the module and line of the raise on both channels.
        {"", nullptr, "upgrade \"%s\"", L"", 200, "Result,200,SetupErrorInternal,CmdLine,([0-9]+)\n",
         "Result,200,SetupErrorInternal,CmdLine,$1\r\n", "Error: file \"CmdLine\""},
    };
    for (const auto& c : cases) {
        SetupFolder folder(L"ends");
        if (c.script) folder.Write(L"qelwls.ini", *c.script ? Script(c.script) : kMinimalScript);
        if (c.inf) folder.Write(c.inf, (c.inf[0] == L'Q' ? Script("") : "") + "[Strings]\r\nName=x\r\n");
        SetWindowsVersion(L"qelwls64.exe", c.version);
        const std::string args = Fill(c.args, Utf8(folder.Path()));
        SCOPED_TRACE(args + " " + Utf8(c.version));
        const SetupRunResult run = RunSetupProgram(folder.Exe(), Wide(args));
        EXPECT_EQ(run.exitCode, c.code);
        std::smatch message;
        const std::string text = Utf8(run.message);
        ASSERT_TRUE(std::regex_match(text, message, std::regex(c.message))) << text;
        EXPECT_EQ(run.out, kVersionLine + message.format(c.resultLine));
        if (c.logLine) EXPECT_NE(run.log.find(c.logLine), std::string::npos) << run.log;
    }
}

// Which script a command reads from which folder, and the Windows version
// lines. %s stands for the folder; a line starting with "-" must be missing.
TEST_F(Startup, LogNamesTheScriptTheCommandAndTheWindowsVersion) {
    const struct {
        const wchar_t* script;
        const char* args;
        const wchar_t* version;
        std::vector<std::string> lines;
    } cases[] = {
        // The command word ignores case; an empty folder means the program's.
        {L"qelwls.ini", "INSTALL \"\"", L"",
         {"Working Dir: '%s'", "Using ini file: \"%s\\qelwls.ini\"", "qelwls start installing."}},
        {L"qelwlsd.ini", "driveronly_install \"%s\"", L"",
         {"Using ini file: \"%s\\qelwlsd.ini\"", "qelwls start installing driver only."}},
        {L"qelwls.ini", "frobnicate \"%s\"", L"win10",
         {"qelwls detects Win8.1 or greater", "qelwls detects Win10 or greater"}},
        {L"qelwls.ini", "frobnicate \"%s\"", L"win81",
         {"qelwls detects Win8.1 or greater", "-qelwls detects Win10 or greater"}},
        {L"qelwls.ini", "frobnicate \"%s\"", L"win7", {"-qelwls detects Win8.1 or greater"}},
    };
    for (const auto& c : cases) {
        SetupFolder folder(L"log_lines");
        folder.Write(c.script, kMinimalScript);
        SetWindowsVersion(L"qelwls64.exe", c.version);
        const std::string path = Utf8(folder.Path());
        SCOPED_TRACE(c.args + std::string(" ") + Utf8(c.version));
        const SetupRunResult run = RunSetupProgram(folder.Exe(), Wide(Fill(c.args, path)));
        EXPECT_NE(run.exitCode, 100u) << "the script was not found";
        for (const std::string& line : c.lines) {
            const bool missing = line[0] == '-';
            EXPECT_NE(LogHasLine(run.log, Fill(line.substr(missing), path)), missing) << line << "\n" << run.log;
        }
    }
}

// The diagnostic log: headers, order across runs, UTF-8 and the length cut.
TEST_F(Startup, DiagnosticLogAppendsRunsInUtf8AndCutsLongLines) {
    SetupFolder folder(L"Gr\u00fc\u00dfe \u20ac\U0001F4E6");
    folder.Write(L"qelwls.ini", kMinimalScript);
    const std::wstring args = L"frobnicate \"" + folder.Path() + L"\" " + std::wstring(3000, L'x');

    RunSetupProgram(folder.Exe(), args);  // clears the log first
    ASSERT_EQ(RunProgram(L"\"" + folder.Exe() + L"\" " + args).exitCode, 102u);
    const std::string log = ReadFileBytes(DiagnosticLogPath());

    // Each run's lines lie between its Start and End headers, both with its PID.
    const std::string exe = Utf8(folder.Exe());
    const std::regex header("^[0-9]{2}:[0-9]{2}:[0-9]{2}: (Start|End) -- \"" +
                            std::regex_replace(exe, std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                            "\", Version 7\\.35 \\(TOB\\) \\(r\\), PID ([0-9]+)$");
    std::vector<std::string> headerWords, pids;
    for (const std::string& line : SplitCrLfLines(log)) {
        std::smatch match;
        if (!std::regex_match(line, match, header)) continue;
        headerWords.push_back(match[1]);
        pids.push_back(match[2]);
    }
    EXPECT_EQ(headerWords, (std::vector<std::string>{"Start", "End", "Start", "End"}));
    ASSERT_EQ(pids.size(), 4u);
    EXPECT_EQ(pids[0], pids[1]);
    EXPECT_EQ(pids[2], pids[3]);

    // The command line is longer than a line may be: the message is cut at
    // 2047 characters and loses its line end, so the next line follows on.
    const size_t at = log.find("Setup command: '\"" + exe + "\"");
    ASSERT_NE(at, std::string::npos) << "non-ASCII path not found in UTF-8";
    const size_t next = log.find("Working Dir: '", at);
    ASSERT_NE(next, std::string::npos);
    const std::string cut = log.substr(at, next - 10 - at);
    EXPECT_EQ(Wide(cut).size(), 2047u);
    EXPECT_EQ(cut.find("\r\n"), std::string::npos);
    EXPECT_EQ(log.compare(at - 8, 1, ":"), 0) << "the cut line still has its time stamp";
}

}  // namespace
