// The line and record grammar of the rollback and uninstall logs: lines read
// back from real files, and the comma escapes of the record fields.
#include "Log.h"
#include "UnitHelpers.h"

#include <gtest/gtest.h>

namespace {

using qel::LogFile;
using Lines = std::vector<std::wstring>;

std::wstring LogPath(const std::wstring& name) {
    static const std::wstring folder = qeltest::MakeScratchFolder(L"logfile");
    return folder + L"\\" + name;
}

// Every line ReadLine gives; what ends them must be the end of the file.
Lines ReadAll(LogFile& log) {
    Lines lines;
    std::wstring line;
    qel::LogStatus status;
    while ((status = log.ReadLine(line)) == qel::LogOk) lines.push_back(line);
    EXPECT_EQ(status, qel::LogEnd);
    return lines;
}

// Every CR goes; a line without LF at the end is never given; an ill-formed
// sequence keeps what was decoded before it. The reader starts with 32 bytes
// and reads 16 at a time: longer lines grow the buffer, and two-byte
// characters after an odd prefix straddle the chunk boundaries.
TEST(LogFile, ReadLineDropsEveryCrAndNeverGivesALastLineWithoutLf) {
    const std::wstring path = LogPath(L"read.log");
    Lines expected{L"one", L"", L"two", L"\u00e4", L"ok"};
    std::string bytes = "one\r\n\r\ntw\ro\r\r\n\xC3\xA4\n" "ok\xC0\xAFlost\n";
    for (size_t length : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 64u, 100u, 1000u}) {
        for (const std::wstring& line : {std::wstring(length, L'x'), L"y" + std::wstring(length, L'\u00fc')}) {
            expected.push_back(line);
            bytes += qeltest::Utf8(line) + "\n";
        }
    }
    qeltest::WriteFileBytes(path, bytes + "half");
    LogFile log;
    ASSERT_EQ(log.Open(path, false), qel::LogOk);
    EXPECT_EQ(ReadAll(log), expected);
    std::wstring line = L"stale";
    EXPECT_EQ(log.ReadLine(line), qel::LogEnd);
    EXPECT_EQ(line, L"stale");
}

// Lines written ahead are taken one by one by the same writes that follow;
// the first write that differs, a reader and a close cut the rest, so the
// file always ends as if every record had been written on its own.
TEST(LogFile, LinesWrittenAheadAreTakenInOrderAndTheRestCut) {
    const std::wstring path = LogPath(L"ahead.log");
    const auto fileLines = [&] { return qeltest::SplitCrLfLines(qeltest::ReadFileBytes(path)); };
    using Bytes = std::vector<std::string>;
    LogFile log;
    ASSERT_EQ(log.Open(path, true), qel::LogOk);
    ASSERT_EQ(log.WriteLine(L"a\n"), qel::LogOk);
    ASSERT_EQ(log.WriteAhead({L"b\n", L"c\u00e4\n", L"d\n"}), qel::LogOk);
    EXPECT_EQ(fileLines(), (Bytes{"a", "b", "c\xC3\xA4", "d"})) << "on disk before the changes";
    ASSERT_EQ(log.WriteLine(L"b\n"), qel::LogOk);
    ASSERT_EQ(log.WriteLine(L"c\u00e4\n"), qel::LogOk);
    EXPECT_TRUE(log.HasLinesAhead());
    ASSERT_EQ(log.WriteLine(L"x\n"), qel::LogOk);
    EXPECT_FALSE(log.HasLinesAhead());
    EXPECT_EQ(fileLines(), (Bytes{"a", "b", "c\xC3\xA4", "x"}));

    // All taken: the next write goes after them.
    ASSERT_EQ(log.WriteAhead({L"y\n"}), qel::LogOk);
    ASSERT_EQ(log.WriteLine(L"y\n"), qel::LogOk);
    ASSERT_EQ(log.WriteLine(L"z\n"), qel::LogOk);
    EXPECT_EQ(fileLines(), (Bytes{"a", "b", "c\xC3\xA4", "x", "y", "z"}));

    // A reader sees only what was taken.
    ASSERT_EQ(log.WriteAhead({L"p\n", L"q\n"}), qel::LogOk);
    ASSERT_EQ(log.WriteLine(L"p\n"), qel::LogOk);
    log.Rewind();
    EXPECT_EQ(ReadAll(log), (Lines{L"a", L"b", L"c\u00e4", L"x", L"y", L"z", L"p"}));

    ASSERT_EQ(log.WriteAhead({L"r\n"}), qel::LogOk);
    log.Close();
    EXPECT_EQ(fileLines().size(), 7u) << "closed without the line ahead";
    EXPECT_EQ(log.WriteAhead({L"s\n"}), qel::LogFailed);
}

}  // namespace
