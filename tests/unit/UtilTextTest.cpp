// Text conversions, comma lists and formatting. The cut of long messages is
// checked on the diagnostic log by the start-up system test.
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

namespace {

using qel::Utf8ToWide;
using qel::WideToUtf8;
using qeltest::ExpectRaise;

std::string Utf8Of(const std::wstring& wide) {
    std::string bytes;
    WideToUtf8(wide, bytes);
    return bytes;
}

TEST(WideToUtf8, EncodesEveryLengthOfSequenceAtItsBounds) {
    const struct {
        std::wstring wide;
        std::string utf8;
    } cases[] = {
        {L"", ""},
        {std::wstring(1, L'\0'), std::string(1, '\0')},
        {L"\u07ff", "\xDF\xBF"},
        {L"\u0800", "\xE0\xA0\x80"},
        {L"\uffff", "\xEF\xBF\xBF"},
        {L"\xD800\xDC00", "\xF0\x90\x80\x80"},  // U+10000 from a surrogate pair: four bytes
        {L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF
        {L"a\xD83D\xDE00" L"b", "a\xF0\x9F\x98\x80" "b"},
    };
    for (const auto& c : cases) EXPECT_EQ(Utf8Of(c.wide), c.utf8) << Utf8Of(c.wide).size();
}

TEST(WideToUtf8, UnpairedSurrogatesRaise) {
    // High at the end, high before an ordinary character, two highs, a lone
    // low, low before high.
    for (const std::wstring wide : {L"ab\xD83D", L"\xD83D" L"x", L"\xD83D\xD83D", L"\xDE00", L"x\xDE00\xD83D"}) {
        std::string out = "untouched";
        const auto raised = ExpectRaise([&] { WideToUtf8(wide, out); });
        EXPECT_STREQ(raised.Module(), "Util");
        EXPECT_EQ(raised.Error(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
        EXPECT_EQ(out, "untouched");
    }
}

// Well-formed input decodes whole (0); decoding stops at the first ill-formed
// sequence (-1), keeping what came before it.
TEST(Utf8ToWide, DecodesUpToTheFirstIllFormedSequence) {
    const struct {
        const char* what;
        std::string utf8;
        int result;
        std::wstring wide;
    } cases[] = {
        {"empty", "", 0, L""},
        {"embedded NUL", std::string("a\0b", 3), 0, std::wstring(L"a\0b", 3)},
        {"2-byte", "\xC3\xA9", 0, L"\u00e9"},
        {"U+FFFF", "\xEF\xBF\xBF", 0, L"\uffff"},
        {"below the surrogates", "\xED\x9F\xBF", 0, L"\ud7ff"},
        {"above the surrogates", "\xEE\x80\x80", 0, L"\ue000"},
        {"U+10FFFF becomes a pair", "\xF4\x8F\xBF\xBF", 0, L"\xDBFF\xDFFF"},
        {"overlong 2-byte", "ab\xC0\xAF", -1, L"ab"},
        {"overlong 2-byte C1", "\xC1\xBF", -1, L""},
        {"overlong 3-byte", "x\xE0\x80\xAF" "y", -1, L"x"},
        {"overlong 4-byte", "\xF0\x8F\xBF\xBF", -1, L""},
        {"truncated 2-byte", "abc\xC3", -1, L"abc"},
        {"truncated 3-byte", "abc\xE2\x82", -1, L"abc"},
        {"truncated 4-byte", "\xC3\xA9\xF0\x9F\x98", -1, L"\u00e9"},
        {"above U+10FFFF", "ok\xF4\x90\x80\x80", -1, L"ok"},
        {"lead byte F5", "\xF5\x80\x80\x80", -1, L""},
        {"encoded high surrogate", "a\xED\xA0\x80", -1, L"a"},
        {"encoded low surrogate", "a\xED\xBF\xBF", -1, L"a"},
        {"stray continuation byte", "ab\x80" "cd", -1, L"ab"},
        {"continuation missing", "a\xC3" "A", -1, L"a"},
        {"continuation above BF", "a\xE2\xC2\xAC", -1, L"a"},
        {"five-byte lead", "a\xF8\x88\x80\x80\x80", -1, L"a"},
        {"byte FF", "\xFF", -1, L""},
    };
    for (const auto& c : cases) {
        std::wstring out = L"old";
        EXPECT_EQ(Utf8ToWide(c.utf8, out), c.result) << c.what;
        EXPECT_EQ(out, c.wide) << c.what;
    }
}

TEST(Utf8ToWide, LongTextRoundTrips) {
    // Long enough to make both conversions grow their buffers several times;
    // four-byte characters grow the UTF-8 side fastest.
    std::wstring wide;
    for (int i = 0; i < 3000; ++i) wide += (i % 3 == 0) ? L"\xD83D\xDE00" : (i % 3 == 1) ? L"\u20ac" : L"z";
    const std::string utf8 = Utf8Of(wide);
    EXPECT_EQ(utf8.size(), 1000u * 4 + 1000u * 3 + 1000u);
    std::wstring back;
    EXPECT_EQ(Utf8ToWide(utf8, back), 0);
    EXPECT_EQ(back, wide);
}

TEST(SplitCommaList, SplitsAtEveryCommaWithoutTrimming) {
    const struct {
        std::wstring text;
        std::vector<std::wstring> entries;
    } cases[] = {
        {L"", {L""}},
        {L"a,b,", {L"a", L"b", L""}},
        {L",,x", {L"", L"", L"x"}},
        {L" a , b ", {L" a ", L" b "}},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> list = {L"stale"};
        qel::SplitCommaList(c.text, list);
        EXPECT_EQ(list, c.entries) << qeltest::Utf8(c.text);
    }
}

TEST(FormatText, UsesTheRuntimesWideConversions) {
    // In a wide format "%s" takes a wide string and "%S" a narrow one, the
    // opposite of C99; the log and status formats are written that way.
    EXPECT_EQ(qel::FormatText(L"%S|%s", "narrow", L"wide"), L"narrow|wide");
    EXPECT_EQ(qel::FormatText(L"%I64x %I64u", 0x123456789abcdef0ULL, 18446744073709551615ULL),
              L"123456789abcdef0 18446744073709551615");
    EXPECT_EQ(qel::FormatText(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)");
    EXPECT_EQ(qel::FormatText(L"0x%04x %lu %d%%", 0x409u, 4294967295UL, -7), L"0x0409 4294967295 -7%");
    EXPECT_EQ(qel::FormatText(L"\u00e9\xD83D\xDE00%s", L"\u20ac"), L"\u00e9\xD83D\xDE00\u20ac");
}

}  // namespace
