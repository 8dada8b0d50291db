// LogFile reading real files, and the record fields of the rollback and
// uninstall logs.
#include "Log.h"
#include "UnitHelpers.h"

#include <gtest/gtest.h>

namespace {

using qel::LogFile;
using qel::LogStatus;
using qeltest::WriteFileBytes;

std::wstring LogPath(const std::wstring& name) {
    static const std::wstring folder = qeltest::MakeScratchFolder(L"logfile");
    return folder + L"\\" + name;
}

using Lines = std::vector<std::wstring>;

// Every line ReadLine gives; what ends them must be the end of the file.
Lines ReadAll(LogFile& log) {
    Lines lines;
    std::wstring line;
    LogStatus status;
    while ((status = log.ReadLine(line)) == qel::LogOk) lines.push_back(line);
    EXPECT_EQ(status, qel::LogEnd);
    return lines;
}

TEST(LogFile, ReadLineDropsEveryCrAndNeverGivesALastLineWithoutLf) {
    const std::wstring path = LogPath(L"read.log");
    // An ill-formed sequence keeps what was decoded before it.
    WriteFileBytes(path, "one\r\n\r\ntw\ro\r\r\n\xC3\xA4\n" "ok\xC0\xAFlost\n" "half");
    LogFile log;
    ASSERT_EQ(log.Open(path, false), qel::LogOk);
    EXPECT_EQ(ReadAll(log), (Lines{L"one", L"", L"two", L"\u00e4", L"ok"}));
    std::wstring line = L"stale";
    EXPECT_EQ(log.ReadLine(line), qel::LogEnd) << "the unfinished line is never given";
    EXPECT_EQ(line, L"stale");
}

TEST(LogFile, LinesLongerThanTheReadChunkGrowTheBuffer) {
    // The reader starts with 32 bytes and reads 16 at a time; two-byte
    // characters after an odd prefix straddle the chunk boundaries.
    Lines written;
    for (size_t length : {1u, 15u, 16u, 17u, 31u, 32u, 33u, 64u, 100u, 1000u}) {
        written.push_back(std::wstring(length, L'x'));
        written.push_back(L"y" + std::wstring(length, L'\u00fc'));
    }
    const std::wstring path = LogPath(L"long.log");
    LogFile log;
    ASSERT_EQ(log.Open(path, true), qel::LogOk);
    for (const auto& line : written) ASSERT_EQ(log.WriteLine(line + L"\n"), qel::LogOk);
    log.Rewind();
    EXPECT_EQ(ReadAll(log), written);
}

// --- record fields ---------------------------------------------------------------------

TEST(LogRecord, CommaInAPathSurvivesWritingAndSplitting) {
    const std::wstring source = L"C:\\pkg\\a,b\\x.dll";
    const std::wstring destination = L"C:\\Program Files\\Q, R,\\x.dll";
    const std::wstring record =
        L"CopyFile," + qel::LogField(source) + L"," + qel::LogField(destination) + L",0x00000006";
    EXPECT_EQ(record, L"CopyFile,C:\\pkg\\a|b\\x.dll,C:\\Program Files\\Q| R|\\x.dll,0x00000006");
    std::vector<std::wstring> fields;
    qel::SplitLogRecord(record, fields);
    EXPECT_EQ(fields, (Lines{L"CopyFile", source, destination, L"0x00000006"}));
}

TEST(LogRecord, NumbersAreReadWithBaseDetection) {
    EXPECT_EQ(qel::ParseLogNumber(L"0x80000040"), 0x80000040u);
    EXPECT_EQ(qel::ParseLogNumber(L"0x00000006"), 6u);
    EXPECT_EQ(qel::ParseLogNumber(L"0XFFFFFFFF"), 0xFFFFFFFFu);
    EXPECT_EQ(qel::ParseLogNumber(L"16"), 16u);
    EXPECT_EQ(qel::ParseLogNumber(L""), 0u);
    EXPECT_EQ(qel::ParseLogNumber(L"junk"), 0u);
}

}  // namespace
