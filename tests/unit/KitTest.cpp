// The parts of qelkit with many cases: the line of a finding and how findings
// of several readings become one, the JSON text of a plan, the progress line
// and the result sentence of a run, and the line numbers of a script's text
// as the INF reader counts its lines.
#include "CmdLine.h"
#include "KitFindings.h"
#include "KitJson.h"
#include "KitRun.h"
#include "KitScript.h"
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

namespace {

// The same fault found on both roads is one finding for every road; found on
// one road it says so; an error about the same thing takes the place of a
// warning, never the other way round; the count names both levels.
TEST(KitFindings, OneLineEachWithCodeLevelAndRoads) {
    using kit::Finding;
    using kit::Kind;
    using kit::Road;
    const std::vector<Road> both{Road::BeforeVista, Road::VistaOrLater};
    const unsigned xp = kit::RoadBit(Road::BeforeVista), vista = kit::RoadBit(Road::VistaOrLater);
    const std::wstring script = L"C:\\pkg\\qelwls.ini", tools = L"C:\\pkg\\tools.ini";
    kit::Findings findings;
    findings.Add(Finding{Kind::MissingSource, script, 35, L"[Files] a.txt is listed", L"file:a", xp});
    findings.Add(Finding{Kind::MissingSource, script, 35, L"[Files] a.txt is listed", L"file:a", vista});
    findings.Add(Finding{Kind::MissingField, script, 44, L"[Links] the line has no field 8", L"line:8", vista});
    findings.Add(Finding{Kind::SkippedSection, script, 26, L"CopyFiles names [X]: the key skips it", L"section:X", 0});
    findings.Add(Finding{Kind::MissingSection, script, 26, L"CopyFiles names [X]; the command fails", L"section:X", 0});
    findings.Add(Finding{Kind::SkippedSection, script, 26, L"CopyFiles names [X]: the key skips it", L"section:X", 0});
    findings.Add(Finding{Kind::UnknownKey, tools, 3, L"[Install] unknown key 'CopyFile'", L"key:CopyFile", 0});
    findings.Add(Finding{Kind::OptionWordInName, script, 0, L"the script folder holds \"peernet\"", L"option", 0});
    findings.Sort(script);
    std::vector<std::wstring> lines;
    for (const Finding& finding : findings.Items()) lines.push_back(kit::FindingLine(finding, both));
    EXPECT_EQ(lines, (std::vector<std::wstring>{
                         L"C:\\pkg\\qelwls.ini: warning QK4007: the script folder holds \"peernet\"",
                         L"C:\\pkg\\qelwls.ini(26): error QK1006: CopyFiles names [X]; the command fails",
                         L"C:\\pkg\\qelwls.ini(35): error QK1014: [Files] a.txt is listed",
                         L"C:\\pkg\\qelwls.ini(44): error QK1002: [Links] the line has no field 8 (Vista and later only)",
                         L"C:\\pkg\\tools.ini(3): warning QK4001: [Install] unknown key 'CopyFile'",
                     }));
    EXPECT_EQ(kit::CountText(findings), L"3 errors and 2 warnings");
    EXPECT_EQ(kit::CountText(kit::Findings{}), L"no problems");
    kit::Findings one;
    one.Add(Finding{Kind::UnknownKey, script, 3, L"x", L"key:x", 0});
    EXPECT_EQ(kit::CountText(one), L"1 warning");
    EXPECT_FALSE(one.HasErrors());
}

// Codes are stable and unique, and errors and warnings keep their ranges.
TEST(KitFindings, CodesAreUniqueAndLevelsKeepTheirRanges) {
    std::set<int> codes;
    for (const kit::KindInfo& info : kit::Kinds()) {
        EXPECT_TRUE(codes.insert(info.code).second) << info.code;
        EXPECT_EQ(info.level == kit::Level::Error, info.code < 4000) << info.code;
        EXPECT_EQ(&kit::InfoOf(info.kind), &info);
    }
}

TEST(KitJson, NestsSeparatesAndEscapes) {
    kit::JsonWriter json;
    json.BeginObject();
    json.Member(L"path", L"C:\\Program Files\\\"Qel\"\n\t\x01");
    json.Member(L"count", int64_t{-42});
    json.Key(L"list");
    json.BeginArray();
    json.String(L"caf\u00e9 \U0001F600");
    json.BeginObject();
    json.EndObject();
    json.BeginArray();
    json.EndArray();
    json.Bool(true);
    json.EndArray();
    json.Key(L"flag");
    json.Bool(false);
    json.EndObject();
    EXPECT_EQ(json.Text(),
              "{\"path\":\"C:\\\\Program Files\\\\\\\"Qel\\\"\\n\\t\\u0001\",\"count\":-42,"
              "\"list\":[\"caf\\u00e9 \\ud83d\\ude00\",{},[],true],\"flag\":false}");
}

TEST(KitRun, ProgressLineIsBoundedToAFullBar) {
    const std::tuple<uint32_t, uint32_t, const wchar_t*> cases[] = {
        {0, 5, L"[------------------------------]   0%"},
        {100, 0, L"[------------------------------]   0%"},
        {3, 1, L"[##########--------------------]  33%"},
        {200, 199, L"[#############################-]  99%"},
        // Work the total does not count (a driver package per INF) passes it.
        {100, 250, L"[##############################] 100%"},
        {4294967295u, 4294967295u, L"[##############################] 100%"},
    };
    for (const auto& [total, done, line] : cases) EXPECT_EQ(kit::ProgressLine(total, done), line) << total << "/" << done;
}

TEST(KitRun, ResultsInWords) {
    using kit::Command;
    const std::tuple<Command, int, bool, const wchar_t*> cases[] = {
        {Command::Install, 0, true, L"Installed"},
        {Command::AppOnlyInstall, 1, true, L"Installed; restart required"},
        {Command::Uninstall, 2, true, L"Uninstalled; the adapter's driver must be restarted"},
        {Command::Install, 259, true, L"Ended with code 259"},
        // The early ends send no Result line; any other run without one was
        // stopped, whatever its exit code.
        {Command::Install, 101, false, L"Failed: administrator rights are required; nothing was changed"},
        {Command::Install, 202, false, L"Failed and undone: unknown error"},
        {Command::Install, 0, false,
         L"Stopped before it finished (exit code 0): \"qelkit recover\" shows what it left and undoes it"},
        {Command::Install, 1, false,
         L"Stopped before it finished (exit code 1): \"qelkit recover\" shows what it left and undoes it"},
    };
    for (const auto& [command, result, resultLine, sentence] : cases)
        EXPECT_EQ(kit::ResultSentence(command, result, L"", resultLine), sentence) << result << resultLine;
    EXPECT_EQ(kit::ResultSentence(Command::Install, 200, L"", true), L"Failed and undone");
    EXPECT_EQ(kit::ResultSentence(Command::Upgrade, 200, L"C:\\x: no", true), L"Failed and undone: C:\\x: no");
}

// The cause is the failure line's description and its Windows error in
// words; the place in the program that raised it is left out.
TEST(KitRun, TheCauseOfAFailureLine) {
    const std::wstring notFound = qel::SystemErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(kit::FailureCause(L"Error: file \"Update\", line 117, desc \"C:\\pkg\\a.exe\" last error: 2"),
              L"C:\\pkg\\a.exe: " + (notFound.empty() ? L"" : notFound + L" ") + L"(error 2)");
    // A description may hold quotes and the words that delimit it.
    EXPECT_EQ(kit::FailureCause(L"Error: file \"CmdLine\", line 3, desc \"a \" last error: 5\" last error: 0"),
              L"a \" last error: 5");
    EXPECT_EQ(kit::FailureCause(L"Error: file \"CmdLine\", line 3, desc \"(null)\" last error: 0"), L"");
    EXPECT_EQ(kit::FailureCause(L"Administrator privileges required."), L"");
    EXPECT_EQ(kit::FailureCause(L"Error: file \"Update\" desc \"x\""), L"");
}

// Comment and blank lines are no lines; a line continued with a backslash is
// one line where it starts; a section written twice is one section; quotes
// keep commas, semicolons and equals signs; the reader's lines of X come from
// X.amd64 when there is one.
TEST(KitScriptText, LinesAsTheReaderCountsThem) {
    const std::wstring path = qeltest::WriteScript(
        qeltest::MakeScratchFolder(L"kit-text") + L"\\qelwls.ini",
        /* 3 */ "; a comment\n"
        /* 4 */ "[Install]\n"
        /* 5 */ "CopyFiles=A,\"B;still, B\" ; the rest is a comment\n"
        /* 6 */ "\n"
        /* 7 */ "AddReg=R1,\\\n"
        /* 8 */ "  R2\n"
        /* 9 */ "  no key here\n"
        /* 10 */ "[Other]\n"
        /* 11 */ "x=1\n"
        /* 12 */ "[install]\n"
        /* 13 */ "CopyFiles=C\n"
        /* 14 */ "[R1]\n"
        /* 15 */ "HKLM,\"a=b\",v,0,\"x\",,0\n"
        /* 16 */ "[R1.amd64]\n"
        /* 17 */ "  ; nothing\n"
        /* 18 */ "HKLM,k,v,0,\"y\",,0\n");
    kit::ScriptText text;
    ASSERT_TRUE(text.Load(path));
    EXPECT_EQ(text.LineOf(L"Install", 0), 5);
    EXPECT_EQ(text.LineOf(L"INSTALL", 1), 7);
    EXPECT_EQ(text.LineOf(L"Install", 2), 9);
    EXPECT_EQ(text.LineOf(L"Install", 3), 13);
    EXPECT_EQ(text.LineOf(L"Install", 4), 0);
    EXPECT_EQ(text.LineOf(L"R1", 0), 18);
    EXPECT_EQ(text.LineOf(L"Missing", 0), 0);

    EXPECT_EQ(text.KeyLine(L"Install", L"copyfiles"), 5);
    EXPECT_EQ(text.KeyLine(L"Install", L"CopyFiles", L"C"), 13);
    EXPECT_EQ(text.KeyLine(L"Install", L"CopyFiles", L"B;still, B"), 5);
    EXPECT_EQ(text.KeyLine(L"Install", L"AddReg", L"R2"), 7);
    EXPECT_EQ(text.KeyLine(L"Install", L"DelReg"), 0);

    const kit::ScriptText::Section* install = text.Find(L"Install");
    ASSERT_NE(install, nullptr);
    EXPECT_EQ(install->header, 4);
    ASSERT_EQ(install->lines.size(), 4u);
    EXPECT_FALSE(install->lines[2].hasKey);
    EXPECT_EQ(install->lines[1].values, (std::vector<std::wstring>{L"R1", L"R2"}));
    const kit::ScriptText::Section* r1 = text.Find(L"R1");
    ASSERT_NE(r1, nullptr);
    EXPECT_FALSE(r1->lines[0].hasKey);
    EXPECT_EQ(r1->lines[0].values[1], L"a=b");
}

}  // namespace
