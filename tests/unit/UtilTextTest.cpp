// UTF-8 conversions at every sequence length and the runtime's wide printf
// conversions.
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

namespace {

using qel::Utf8ToWide;
using qel::WideToUtf8;
using testing::PrintToString;

TEST(Utf8, WellFormedTextConvertsBothWays) {
    struct Case { std::wstring wide; std::string utf8; };
    std::vector<Case> cases = {
        {L"", ""},                          {std::wstring(1, L'\0'), std::string(1, '\0')},
        {L"\u00e9", "\xC3\xA9"},            {L"\u07ff", "\xDF\xBF"},
        {L"\u0800", "\xE0\xA0\x80"},        {L"\ud7ff", "\xED\x9F\xBF"},
        {L"\ue000", "\xEE\x80\x80"},        {L"\uffff", "\xEF\xBF\xBF"},
        {L"\xD800\xDC00", "\xF0\x90\x80\x80"}, {L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},
        {L"a\xD83D\xDE00" L"b", "a\xF0\x9F\x98\x80" "b"},
        {L"", ""},  // long enough to grow both buffers several times
    };
    for (int i = 0; i < 1000; ++i) {
        cases.back().wide += L"\xD83D\xDE00\u20acz";
        cases.back().utf8 += "\xF0\x9F\x98\x80\xE2\x82\xACz";
    }
    for (const auto& c : cases) {
        std::string utf8;
        WideToUtf8(c.wide, utf8);
        EXPECT_EQ(utf8, c.utf8);
        std::wstring wide = L"old";
        EXPECT_EQ(Utf8ToWide(c.utf8, wide), 0) << PrintToString(c.utf8);
        EXPECT_EQ(wide, c.wide) << PrintToString(c.utf8);
    }
}

TEST(Utf8, UnpairedSurrogatesRaiseAndLeaveTheOutput) {
    for (const std::wstring wide : {L"ab\xD83D", L"\xD83D" L"x", L"\xD83D\xD83D", L"\xDE00", L"x\xDE00\xD83D"}) {
        std::string out = "untouched";
        const auto raised = qeltest::ExpectRaise([&] { WideToUtf8(wide, out); });
        EXPECT_STREQ(raised.Module(), "Util");
        EXPECT_EQ(raised.Error(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
        EXPECT_EQ(out, "untouched");
    }
}

// Decoding stops at the first ill-formed sequence (-1) and keeps what came before.
TEST(Utf8, IllFormedSequencesEndTheDecoding) {
    const struct { std::string utf8; std::wstring kept; } cases[] = {
        {"ab\xC0\xAF", L"ab"},           {"\xC1\xBF", L""},
        {"x\xE0\x80\xAF" "y", L"x"},     {"\xF0\x8F\xBF\xBF", L""},
        {"abc\xC3", L"abc"},             {"abc\xE2\x82", L"abc"},
        {"\xC3\xA9\xF0\x9F\x98", L"\u00e9"}, {"ok\xF4\x90\x80\x80", L"ok"},
        {"\xF5\x80\x80\x80", L""},       {"a\xED\xA0\x80", L"a"},
        {"a\xED\xBF\xBF", L"a"},         {"ab\x80" "cd", L"ab"},
        {"a\xC3" "A", L"a"},             {"a\xE2\xC2\xAC", L"a"},
        {"a\xF8\x88\x80\x80\x80", L"a"}, {"\xFF", L""},
    };
    for (const auto& c : cases) {
        std::wstring out = L"old";
        EXPECT_EQ(Utf8ToWide(c.utf8, out), -1) << PrintToString(c.utf8);
        EXPECT_EQ(out, c.kept) << PrintToString(c.utf8);
    }
}

// In a wide format "%s" takes a wide string and "%S" a narrow one, the
// opposite of C99; the log and status formats are written that way.
TEST(FormatText, UsesTheRuntimesWideConversions) {
    EXPECT_EQ(qel::FormatText(L"%S|%s|%s|%I64x %I64u|0x%04x %lu %d%%|\u00e9\xD83D\xDE00%s", "narrow", L"wide",
                              static_cast<const wchar_t*>(nullptr), 0x123456789abcdef0ULL, 18446744073709551615ULL,
                              0x409u, 4294967295UL, -7, L"\u20ac"),
              L"narrow|wide|(null)|123456789abcdef0 18446744073709551615|0x0409 4294967295 -7%|"
              L"\u00e9\xD83D\xDE00\u20ac");
}

}  // namespace
