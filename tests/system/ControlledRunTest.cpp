// The controlled run on a small program that flushes one line per record:
// counting a whole run, then killing it or failing its flush at each record.
#include "ControlledRun.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace qeltest;

namespace {

constexpr int kLines = 5;

std::string Lines(int count) {
    std::string text;
    for (int i = 1; i <= count; ++i) text += "line " + std::to_string(i) + "\r\n";
    return text;
}

class ControlledRun : public ::testing::Test {
protected:
    void SetUp() override { file_ = MakeScratchFolder(L"controlled_run") + L"\\records.txt"; }

    ControlledRunResult Run(RecordAction action, int atRecord, DWORD failError = ERROR_DISK_FULL) {
        return RunControlled(L"\"" + TestBinDir() + L"\\flush_writer.exe\" \"" + file_ + L"\" " +
                                 std::to_wstring(kLines),
                             action, atRecord, failError);
    }

    std::wstring file_;
};

TEST_F(ControlledRun, CountsEveryFlushOfAWholeRun) {
    for (int beyond : {0, kLines + 1}) {
        SCOPED_TRACE(beyond);
        const ControlledRunResult run = Run(RecordAction::Kill, beyond);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.out, Lines(kLines));
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.flushes, kLines);
        EXPECT_FALSE(run.intervened);
        EXPECT_EQ(ReadFileBytes(file_), Lines(kLines));
    }
}

TEST_F(ControlledRun, KillStopsTheProgramInsideTheKthFlush) {
    for (int k = 1; k <= kLines; ++k) {
        SCOPED_TRACE(k);
        const ControlledRunResult run = Run(RecordAction::Kill, k);
        EXPECT_EQ(run.exitCode, kKilledExitCode);
        EXPECT_EQ(run.out, Lines(k - 1));
        EXPECT_EQ(run.flushes, k);
        EXPECT_TRUE(run.intervened);
        // The k-th record was written but its flush never ran.
        EXPECT_EQ(ReadFileBytes(file_), Lines(k));
    }
}

TEST_F(ControlledRun, FailMakesTheKthFlushReturnTheChosenError) {
    for (int k = 1; k <= kLines; ++k) {
        SCOPED_TRACE(k);
        const DWORD error = k % 2 ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
        const ControlledRunResult run = Run(RecordAction::Fail, k, error);
        EXPECT_EQ(run.exitCode, 3u);
        EXPECT_EQ(run.out, Lines(k - 1) + "flush failed " + std::to_string(error) + "\r\n");
        EXPECT_EQ(run.err, "");
        EXPECT_EQ(run.flushes, k);
        EXPECT_TRUE(run.intervened);
        EXPECT_EQ(ReadFileBytes(file_), Lines(k));
    }
}

}  // namespace
