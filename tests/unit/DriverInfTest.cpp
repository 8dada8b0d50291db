// InfFile on real INF files: platform decoration, statuses for what is absent,
// field access and localized opens.
#include "DriverInf.h"
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

namespace {

using qel::InfFile;
using qel::kInfNeutralLanguage;
using qeltest::ExpectRaise;
using qeltest::TraceCapture;
using Strings = std::vector<std::wstring>;

std::wstring WriteInf(const std::wstring& name, const std::string& body) {
    return qeltest::WriteScript(qeltest::MakeScratchFolder(L"inf-" + name) + L"\\" + name + L".inf", body);
}

// One script for the tests of the reader's rules, opened once.
class InfScript : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        inf_.Open(WriteInf(L"script",
                           "[Install]\nCopyFiles=Files.App,Files.Help\nAddReg=Reg.App\ncopyfiles=Files.Extra\n"
                           "[CopyFiles]\nA=plain\nOnlyPlain=1\n[CopyFiles.amd64]\nA=decorated\nB=second\n"
                           "[Empty]\nZ=1\n[Empty.amd64]\n"
                           "[Twice.amd64]\nK=once\n[Twice.amd64.amd64]\nK=twice\n"
                           "[Data]\nText=%Mfg%,\"quoted, comma\",plain ; comment\nNums=0x10,0x80000040,abc,-5\n"
                           "Gaps=a,,c\nValues=1,2\n"
                           "[Strings]\nMfg=\"Qel Maker\"\n"),
                  kInfNeutralLanguage);
    }
    static InfFile inf_;
};
InfFile InfScript::inf_;

TEST_F(InfScript, DecoratedSectionReplacesThePlainOne) {
    std::wstring out;
    EXPECT_EQ(inf_.GetKeyField(L"CopyFiles", L"A", 1, out), qel::InfOk);
    EXPECT_EQ(out, L"decorated");
    EXPECT_EQ(inf_.GetKeyField(L"CopyFiles", L"OnlyPlain", 1, out), qel::InfLineMissing);

    // An empty decorated section still wins.
    long count = -1;
    EXPECT_EQ(inf_.GetLineCount(L"Empty", count), qel::InfOk);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(inf_.GetKeyField(L"Empty", L"Z", 1, out), qel::InfLineMissing);

    // The decoration is tried again on the decorated name.
    EXPECT_EQ(inf_.GetKeyField(L"Twice", L"K", 1, out), qel::InfOk);
    EXPECT_EQ(out, L"twice");
}

TEST_F(InfScript, KeyValuesCollectEveryLineWithTheKey) {
    Strings list = {L"stale"};
    EXPECT_EQ(inf_.GetKeyValues(L"Install", L"CopyFiles", list), qel::InfOk);
    EXPECT_EQ(list, (Strings{L"Files.App", L"Files.Help", L"Files.Extra"}));
    list = {L"stale"};
    EXPECT_EQ(inf_.GetKeyValues(L"Install", L"DelReg", list), qel::InfLineMissing);
    EXPECT_TRUE(list.empty());
}

TEST_F(InfScript, MissingSectionIsAStatus) {
    TraceCapture trace;
    long count = 42;
    EXPECT_EQ(inf_.GetLineCount(L"Absent", count), qel::InfSectionMissing);
    EXPECT_EQ(count, 42);
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"[Absent] section is missing."}));

    // SetupAPI reports a missing section as a missing line to line lookups
    // (Windows does the same), so these give InfLineMissing and log nothing.
    INFCONTEXT context;
    EXPECT_EQ(inf_.FindFirstLine(L"Absent", L"Key", context), qel::InfLineMissing);
    EXPECT_EQ(inf_.GetLineByIndex(L"Absent", 0, context), qel::InfLineMissing);
    Strings list = {L"stale"};
    EXPECT_NE(inf_.GetKeyValues(L"Absent", L"Key", list), qel::InfOk);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(trace.Lines().size(), 1u);
}

TEST_F(InfScript, FieldStatusesKeepOrClearTheOutString) {
    std::wstring out = L"stale";
    EXPECT_EQ(inf_.GetLineText(L"Data", L"Text", out), qel::InfOk);
    EXPECT_EQ(out, L"Qel Maker,quoted, comma,plain");
    out = L"stale";
    EXPECT_EQ(inf_.GetLineText(L"Data", L"Nothing", out), qel::InfLineMissing);
    EXPECT_EQ(out, L"");
    EXPECT_EQ(inf_.GetKeyField(L"Data", L"Gaps", 2, out), qel::InfOk);
    EXPECT_EQ(out, L"");

    // Past the last field or line: a status, and the out-string keeps its text,
    // also when an earlier call left an unrelated error behind.
    INFCONTEXT context;
    ASSERT_EQ(inf_.FindFirstLine(L"Data", L"Values", context), qel::InfOk);
    out = L"kept";
    EXPECT_EQ(inf_.GetField(context, 3, out), qel::InfFieldMissing);
    EXPECT_EQ(out, L"kept");
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(inf_.GetField(context, 9, out), qel::InfFieldMissing);
    EXPECT_EQ(inf_.GetLineField(L"Data", 4, 0, out), qel::InfLineMissing);
    EXPECT_EQ(out, L"kept");
    // By position ([Data] lines: Text, Nums, Gaps, Values); field -1 is the whole line.
    EXPECT_EQ(inf_.GetLineField(L"Data", 3, -1, out), qel::InfOk);
    EXPECT_EQ(out, L"1,2");
    EXPECT_EQ(inf_.GetLineField(L"Data", 3, 5, out), qel::InfFieldMissing);
    EXPECT_EQ(out, L"1,2");
}

TEST_F(InfScript, IntegerFields) {
    const struct {
        DWORD line, field;
        qel::InfStatus status;
        int value;
    } cases[] = {
        {1, 1, qel::InfOk, 16},                             // 0x10
        {1, 2, qel::InfOk, static_cast<int>(0x80000040u)},  // flags past INT_MAX
        {1, 4, qel::InfOk, -5},
        {1, 3, qel::InfFieldMissing, 7},  // abc: not a number
        {1, 9, qel::InfFieldMissing, 7},  // past the end
        {99, 1, qel::InfLineMissing, 7},
    };
    for (const auto& c : cases) {
        int value = 7;
        EXPECT_EQ(inf_.GetIntField(L"Data", c.line, c.field, value), c.status) << c.line << "," << c.field;
        EXPECT_EQ(value, c.value) << c.line << "," << c.field;
    }
}

// A language other than the neutral one is the thread locale for the open
// only, also when the open fails; the neutral one leaves the locale alone.
// (Wine ignores [Strings.LLLL], so what the locale selects is not visible here.)
TEST(InfLanguage, LocalizedOpenSetsTheThreadLocaleForTheOpenOnly) {
    const std::wstring path = WriteInf(L"language", "[Install]\nKey=1\n");
    const LCID locale = ::GetThreadLocale(), english = MAKELCID(0x0409, SORT_DEFAULT);
    const LCID german = MAKELCID(0x0407, SORT_DEFAULT);
    TraceCapture trace;
    InfFile neutral, localized, missing;
    neutral.Open(path, kInfNeutralLanguage);
    EXPECT_EQ(::GetThreadLocale(), locale);
    ASSERT_TRUE(::SetThreadLocale(english));
    localized.Open(path, 0x0407);
    EXPECT_EQ(::GetThreadLocale(), english);
    ASSERT_TRUE(::SetThreadLocale(german));
    ExpectRaise([&] { missing.Open(path + L".absent", 0x0409); });
    EXPECT_EQ(::GetThreadLocale(), german);
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"Current thread locale 0x0409, setting to 0x0407",
                                                       "Current thread locale 0x0407, setting to 0x0409"}));
    ::SetThreadLocale(locale);
}

}  // namespace
