// Text conversions, comma lists and formatting.
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using qel::Utf8ToWide;
using qel::WideToUtf8;
using qeltest::ExpectRaise;

std::string Utf8Of(const std::wstring& wide) {
    std::string bytes;
    WideToUtf8(wide, bytes);
    return bytes;
}

TEST(WideToUtf8, EncodesEveryLengthOfSequence) {
    const struct {
        std::wstring wide;
        std::string utf8;
    } cases[] = {
        {L"", ""},
        {L"A~", "A~"},
        {std::wstring(1, L'\0'), std::string(1, '\0')},
        {L"\u00e9", "\xC3\xA9"},
        {L"\u07ff", "\xDF\xBF"},
        {L"\u0800", "\xE0\xA0\x80"},
        {L"\u20ac", "\xE2\x82\xAC"},
        {L"\uffff", "\xEF\xBF\xBF"},
        {L"\xD83D\xDE00", "\xF0\x9F\x98\x80"},      // U+1F600 from a surrogate pair: four bytes
        {L"\xD800\xDC00", "\xF0\x90\x80\x80"},      // U+10000
        {L"\xDBFF\xDFFF", "\xF4\x8F\xBF\xBF"},      // U+10FFFF
        {L"a\xD83D\xDE00" L"b", "a\xF0\x9F\x98\x80" "b"},
    };
    for (const auto& c : cases) EXPECT_EQ(Utf8Of(c.wide), c.utf8) << Utf8Of(c.wide).size();
}

TEST(WideToUtf8, UnpairedSurrogatesRaise) {
    const std::wstring broken[] = {
        L"ab\xD83D",          // high surrogate at the end
        L"\xD83D" L"x",       // high surrogate followed by an ordinary character
        L"\xD83D\xD83D",      // two high surrogates
        L"\xDE00",            // lone low surrogate
        L"x\xDE00\xD83D",     // low before high
    };
    for (const auto& wide : broken) {
        std::string out = "untouched";
        const auto raised = ExpectRaise([&] { WideToUtf8(wide, out); });
        EXPECT_STREQ(raised.Module(), "Util");
        EXPECT_EQ(raised.Error(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
        EXPECT_EQ(out, "untouched");
    }
}

TEST(Utf8ToWide, DecodesWellFormedInput) {
    const struct {
        std::string utf8;
        std::wstring wide;
    } cases[] = {
        {"", L""},
        {std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
        {"\xC3\xA9", L"\u00e9"},
        {"\xE2\x82\xAC", L"\u20ac"},
        {"\xEF\xBF\xBF", L"\uffff"},
        {"\xED\x9F\xBF", L"\ud7ff"},                    // just below the surrogate range
        {"\xEE\x80\x80", L"\ue000"},                    // just above it
        {"\xF0\x9F\x98\x80", L"\xD83D\xDE00"},          // U+1F600 becomes a surrogate pair
        {"\xF4\x8F\xBF\xBF", L"\xDBFF\xDFFF"},          // U+10FFFF
    };
    for (const auto& c : cases) {
        std::wstring out = L"old";
        EXPECT_EQ(Utf8ToWide(c.utf8, out), 0);
        EXPECT_EQ(out, c.wide);
    }
}

TEST(Utf8ToWide, StopsAtTheFirstIllFormedSequenceKeepingWhatCameBefore) {
    const struct {
        const char* what;
        std::string utf8;
        std::wstring decodedBefore;
    } cases[] = {
        {"overlong 2-byte", "ab\xC0\xAF", L"ab"},
        {"overlong 2-byte C1", "\xC1\xBF", L""},
        {"overlong 3-byte", "x\xE0\x80\xAF" "y", L"x"},
        {"overlong 4-byte", "\xF0\x8F\xBF\xBF", L""},
        {"truncated 2-byte", "abc\xC3", L"abc"},
        {"truncated 3-byte", "abc\xE2\x82", L"abc"},
        {"truncated 4-byte", "\xC3\xA9\xF0\x9F\x98", L"\u00e9"},
        {"above U+10FFFF", "ok\xF4\x90\x80\x80", L"ok"},
        {"lead byte F5", "\xF5\x80\x80\x80", L""},
        {"encoded high surrogate", "a\xED\xA0\x80", L"a"},
        {"encoded low surrogate", "a\xED\xBF\xBF", L"a"},
        {"stray continuation byte", "ab\x80" "cd", L"ab"},
        {"continuation missing", "a\xC3" "A", L"a"},
        {"continuation above BF", "a\xE2\xC2\xAC", L"a"},
        {"five-byte lead", "a\xF8\x88\x80\x80\x80", L"a"},
        {"byte FF", "\xFF", L""},
    };
    for (const auto& c : cases) {
        std::wstring out = L"old";
        EXPECT_EQ(Utf8ToWide(c.utf8, out), -1) << c.what;
        EXPECT_EQ(out, c.decodedBefore) << c.what;
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
        {L"one", {L"one"}},
        {L"a,b,c", {L"a", L"b", L"c"}},
        {L"a,b,", {L"a", L"b", L""}},
        {L",", {L"", L""}},
        {L",,x", {L"", L"", L"x"}},
        {L" a , b ", {L" a ", L" b "}},
    };
    for (const auto& c : cases) {
        std::vector<std::wstring> list = {L"stale"};
        qel::SplitCommaList(c.text, list);
        EXPECT_EQ(list, c.entries) << qeltest::Utf8(c.text);
    }
}

std::wstring FormatCut(size_t maxChars, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring text = qel::FormatMessageV(maxChars, format, args);
    va_end(args);
    return text;
}

TEST(FormatText, UsesTheRuntimesWideConversions) {
    // In a wide format "%s" takes a wide string and "%S" a narrow one, the
    // opposite of C99; the log and status formats are written that way.
    EXPECT_EQ(qel::FormatText(L"[%s] section is missing.\n", L"Install"), L"[Install] section is missing.\n");
    EXPECT_EQ(qel::FormatText(L"%S|%s", "narrow", L"wide"), L"narrow|wide");
    EXPECT_EQ(qel::FormatText(L"%I64x %I64u", 0x123456789abcdef0ULL, 18446744073709551615ULL),
              L"123456789abcdef0 18446744073709551615");
    EXPECT_EQ(qel::FormatText(L"%s", static_cast<const wchar_t*>(nullptr)), L"(null)");
    EXPECT_EQ(qel::FormatText(L"0x%04x %lu %d%%", 0x409u, 4294967295UL, -7), L"0x0409 4294967295 -7%");
    EXPECT_EQ(qel::FormatText(L"\u00e9\xD83D\xDE00%s", L"\u20ac"), L"\u00e9\xD83D\xDE00\u20ac");
}

TEST(FormatText, CutsAtOneLessThanTheLimit) {
    EXPECT_EQ(FormatCut(8, L"%s", L"1234567"), L"1234567");   // fits exactly
    EXPECT_EQ(FormatCut(8, L"%s", L"12345678"), L"1234567");  // one too many
    EXPECT_EQ(FormatCut(8, L"%s-%d", L"abcdef", 12345), L"abcdef-");
    EXPECT_EQ(FormatCut(2, L"%d", 99), L"9");
    // A long message comes out whole up to the default limit.
    const std::wstring long3000(3000, L'x');
    EXPECT_EQ(qel::FormatText(L"%s", long3000.c_str()), long3000);
}

}  // namespace
