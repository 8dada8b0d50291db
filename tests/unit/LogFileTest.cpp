// LogFile on real files and pipes, and the record fields of the rollback and
// uninstall logs.
#include "Handles.h"
#include "Log.h"
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

namespace {

using qel::LogFile;
using qel::LogStatus;
using qeltest::ReadFileBytes;
using qeltest::WriteFileBytes;

std::wstring LogPath(const std::wstring& name) {
    static const std::wstring folder = qeltest::MakeScratchFolder(L"logfile");
    return folder + L"\\" + name;
}

// Every line ReadLine gives, and the first result that was not a line.
struct ReadResult {
    std::vector<std::wstring> lines;
    LogStatus last = qel::LogOk;
};

ReadResult ReadAll(LogFile& log) {
    ReadResult result;
    std::wstring line;
    while ((result.last = log.ReadLine(line)) == qel::LogOk) result.lines.push_back(line);
    return result;
}

using Lines = std::vector<std::wstring>;

TEST(LogFile, WriteLineStoresUtf8WithCrLfAndFlushesAtOnce) {
    const std::wstring path = LogPath(L"write.log");
    LogFile log;
    ASSERT_EQ(log.Open(path, true), qel::LogOk);
    EXPECT_EQ(log.Path(), path);
    EXPECT_EQ(log.WriteLine(L"CopyFile,a,b\n"), qel::LogOk);
    EXPECT_EQ(ReadFileBytes(path), "CopyFile,a,b\r\n") << "on disk while the file is open";

    EXPECT_EQ(log.WriteLine(L"C:\\Ger\u00e4te\\\u20ac.txt\nzwei\n"), qel::LogOk);
    EXPECT_EQ(log.WriteLine(L"no line end"), qel::LogOk);
    log.Close();
    EXPECT_FALSE(log.IsOpen());
    EXPECT_EQ(ReadFileBytes(path),
              "CopyFile,a,b\r\n"
              "C:\\Ger\xC3\xA4te\\\xE2\x82\xAC.txt\r\nzwei\r\n"
              "no line end");

    // Opening with create starts the file afresh.
    ASSERT_EQ(log.Open(path, true), qel::LogOk);
    log.Close();
    EXPECT_EQ(ReadFileBytes(path), "");
}

TEST(LogFile, ReadLineDropsEveryCrAndNeverGivesALastLineWithoutLf) {
    const std::wstring path = LogPath(L"read.log");
    WriteFileBytes(path, "one\r\n\r\ntw\ro\r\r\n\xC3\xA4\n" "half");
    LogFile log;
    ASSERT_EQ(log.Open(path, false), qel::LogOk);
    const ReadResult read = ReadAll(log);
    EXPECT_EQ(read.lines, (Lines{L"one", L"", L"two", L"\u00e4"}));
    EXPECT_EQ(read.last, qel::LogEnd);
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
    const ReadResult read = ReadAll(log);
    EXPECT_EQ(read.lines, written);
    EXPECT_EQ(read.last, qel::LogEnd);
}

TEST(LogFile, IllFormedUtf8KeepsWhatDecodedBeforeIt) {
    const std::wstring path = LogPath(L"bad-utf8.log");
    WriteFileBytes(path, "ab\xFF" "cd\r\n" "\xC3\xA4\xC3(x\r\n" "next\r\n");
    LogFile log;
    ASSERT_EQ(log.Open(path, false), qel::LogOk);
    EXPECT_EQ(ReadAll(log).lines, (Lines{L"ab", L"\u00e4", L"next"}));
}

TEST(LogFile, MissingFileFailsAndCloseAndDeleteRemovesAnOpenedOne) {
    const std::wstring path = LogPath(L"missing.log");
    LogFile log;
    EXPECT_EQ(log.Open(path, false), qel::LogFailed);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(log.IsOpen());
    std::wstring line;
    EXPECT_EQ(log.ReadLine(line), qel::LogFailed);
    EXPECT_EQ(log.WriteLine(L"x\n"), qel::LogFailed);
    EXPECT_FALSE(qeltest::PathExists(path));
    EXPECT_FALSE(log.CloseAndDelete()) << "nothing to delete";

    LogFile never;
    EXPECT_TRUE(never.CloseAndDelete()) << "no path at all";

    ASSERT_EQ(log.Open(path, true), qel::LogOk);
    ASSERT_EQ(log.WriteLine(L"CreateDir,C:\\x\n"), qel::LogOk);
    EXPECT_TRUE(log.CloseAndDelete());
    EXPECT_FALSE(log.IsOpen());
    EXPECT_FALSE(qeltest::PathExists(path));
}

TEST(LogFile, PipeGivesNoDataWhileEmptyAndEndOnceTheWriterIsGone) {
    qel::UniqueHandle readEnd, writeEnd;
    ASSERT_TRUE(::CreatePipe(readEnd.Put(), writeEnd.Put(), nullptr, 0));
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    ASSERT_TRUE(::SetNamedPipeHandleState(readEnd.Get(), &mode, nullptr, nullptr));
    LogFile log;
    ASSERT_EQ(log.Attach(readEnd.Release()), qel::LogOk);
    EXPECT_TRUE(log.Path().empty());

    std::wstring line;
    EXPECT_EQ(log.ReadLine(line), qel::LogNoData);
    const std::string bytes = "Progress,2,1\r\nProgress,2,";
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(writeEnd.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_EQ(log.ReadLine(line), qel::LogOk);
    EXPECT_EQ(line, L"Progress,2,1");
    EXPECT_EQ(log.ReadLine(line), qel::LogNoData) << "half a line is not given";
    ASSERT_TRUE(::WriteFile(writeEnd.Get(), "2\r\n", 3, &written, nullptr));
    EXPECT_EQ(log.ReadLine(line), qel::LogOk);
    EXPECT_EQ(line, L"Progress,2,2");
    writeEnd.Reset();
    EXPECT_EQ(log.ReadLine(line), qel::LogEnd);
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

TEST(LogRecord, RecordsWithoutCommasInTheirFieldsAreWrittenAsTheyAre) {
    const std::wstring path = L"C:\\Program Files\\Qel Wireless\\Qel Mon (x64) \u00e4.exe";
    EXPECT_EQ(qel::LogField(path), path);
    EXPECT_EQ(qel::LogField(L""), L"");
    std::vector<std::wstring> fields;
    qel::SplitLogRecord(L"QueuedMove,C:\\a.tmp,", fields);
    EXPECT_EQ(fields, (Lines{L"QueuedMove", L"C:\\a.tmp", L""}));
    qel::SplitLogRecord(L"", fields);
    EXPECT_EQ(fields, (Lines{L""}));
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
