// What a failed run promises: nothing crashes on a bad script, nothing the
// run touched is lost, and nothing it made is left behind. Each test is named
// for one promise and checks it through whole runs of qelwls64.exe.
#include "PackageFixture.h"

#include <gtest/gtest.h>

#include <memory>

#include "UtilRunLock.h"

using namespace qeltest;

namespace {

constexpr wchar_t kDestination[] = L"C:\\QelReliability";

// A script folder of its own with two files to install into C:\QelReliability.
class ScriptRun : public ::testing::Test {
protected:
    ScriptRun() : folder_(L"reliability") {
        folder_.Write(L"a.txt", "file a\r\n");
        folder_.Write(L"b.txt", "file b\r\n");
    }
    void SetUp() override { DeleteTree(kDestination); }
    void TearDown() override { DeleteTree(kDestination); }
    SetupFolder folder_;
};

TEST_F(ScriptRun, FolderIdsWindowsDoesNotDefineAreRefusedBeforeAnyChange) {
    // SetupAPI faults on ids far out of range and makes up a folder named
    // "unknown" for some others; the run ends while the script is read.
    for (const char* id : {"-2", "-3", "-100", "-2147483648", "0", "99999", "abc"}) {
        for (const char* key : {"CopyFiles", "DelFiles"}) {
            const SetupRunResult run = folder_.InstallScript(std::string(key) + "=Files\r\n[DestinationDirs]\r\nFiles=" + id +
                                               ",\"QelReliability\"\r\n[Files]\r\na.txt,,,0x4\r\n");
            SCOPED_TRACE(std::string(key) + " " + id);
            ExpectFailedRun(run, "DriverInf", "");
            EXPECT_NE(run.log.find(std::string("desc \"[DestinationDirs] of [Files] names the folder id '") + id + "'"),
                      std::string::npos)
                << run.log;
            ExpectNoTempFiles();
        }
    }
}

TEST_F(ScriptRun, NestedSubInstallsAreInstalledAndUndoneWithTheRest) {
    folder_.Write(L"outer.ini", Script("[DestinationDirs]\r\nFiles=24,\"QelReliability\"\r\n"
                                       "[Install]\r\nSubInstall=inner.ini,Install\r\nCopyFiles=Files\r\n"
                                       "[Files]\r\nb.txt,,,0x4\r\n"));
    folder_.Write(L"inner.ini", Script("[DestinationDirs]\r\nFiles=24,\"QelReliability\\Inner\"\r\n"
                                       "[Install]\r\nCopyFiles=Files\r\n[Files]\r\nc.txt,,,0x4\r\n"));
    folder_.Write(L"c.txt", "file c\r\n");
    const std::string body = "SubInstall=outer.ini,Install\r\nCopyFiles=Files\r\n"
                             "[DestinationDirs]\r\nFiles=24,\"QelReliability\"\r\n[Files]\r\na.txt,,,0x4\r\n";

    // All three levels are committed: 2 + 3 each, in the order they were added.
    SetupRunResult run = folder_.InstallScript(body);
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_NE(run.out.find("Progress,15,"), std::string::npos) << run.out;
    EXPECT_EQ(FilesBelow(kDestination),
              (FileSnapshot{{std::wstring(kDestination) + L"\\a.txt", "file a\r\n"},
                            {std::wstring(kDestination) + L"\\b.txt", "file b\r\n"},
                            {std::wstring(kDestination) + L"\\Inner\\c.txt", "file c\r\n"}}));
    ExpectNoTempFiles();  // every level's rollback log is deleted

    // A missing source at the innermost level fails the run and undoes all.
    DeleteTree(kDestination);
    ::DeleteFileW(folder_.File(L"c.txt").c_str());
    run = folder_.InstallScript(body);
    ExpectFailedRun(run, "Update");
    EXPECT_TRUE(FilesBelow(kDestination).empty());
    ExpectNoTempFiles();
}

TEST_F(ScriptRun, AFolderWhereAFileShouldGoIsNeverMoved) {
    const std::wstring folderAsFile = std::wstring(kDestination) + L"\\a.txt";
    WriteFileBytes(folderAsFile + L"\\keep.txt", "user data\r\n");
    const FileSnapshot before = FilesBelow(kDestination);

    // A copy onto a folder ends the run before its first change.
    SetupRunResult run = folder_.InstallScript("CopyFiles=Files\r\n[DestinationDirs]\r\nFiles=24,\"QelReliability\"\r\n"
                                 "[Files]\r\nb.txt,,,0x4\r\na.txt,,,0x4\r\n");
    ExpectFailedRun(run, "Update", "");
    EXPECT_NE(run.log.find("desc \"the destination is a folder: C:\\QelReliability\\a.txt\""), std::string::npos);
    EXPECT_EQ(FilesBelow(kDestination), before);

    // Deletions that name a folder, or no file at all, are passed over.
    run = folder_.InstallScript("DelFiles=Gone\r\n[DestinationDirs]\r\nGone=24,\"QelReliability\"\r\n[Gone]\r\na.txt\r\n\"\"\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "CommitFileRemove: skipping, \"C:\\QelReliability\\a.txt\" is a folder"));
    EXPECT_EQ(FilesBelow(kDestination), before);
    ExpectNoTempFiles({L"C:"});
}

TEST_F(ScriptRun, PathsTooLongForWindowsLeaveNothingBehind) {
    // A folder path of about 5,000 characters, longer than a log record used
    // to carry: the commit cannot make it, the earlier file is undone, and no
    // temporary file or rollback log stays.
    std::string deep = "QelReliability";
    for (int level = 0; level < 20; ++level) deep += "\\" + std::string(250, 'n');
    const SetupRunResult run = folder_.InstallScript("CopyFiles=Near,Far\r\n[DestinationDirs]\r\nNear=24,\"QelReliability\"\r\nFar=24,\"" +
                                       deep + "\"\r\n[Near]\r\nb.txt,,,0x4\r\n[Far]\r\na.txt,,,0x4\r\n");
    ExpectFailedRun(run, "Update");
    EXPECT_TRUE(FilesBelow(kDestination).empty());
    ExpectNoTempFiles({kDestination});
}

TEST_F(ScriptRun, NoTemporaryFileOutlivesARun) {
    const std::string body = "CopyFiles=Files\r\nUninstallLog=\r\n[Setup]\r\nUninstallLog=C:\\QelReliability\\Log\\u.log\r\n"
                             "[DestinationDirs]\r\nFiles=24,\"QelReliability\"\r\n[Files]\r\na.txt,,,0x4\r\n";
    // [Install] named twice: one uninstall log, no temporary one beside it.
    SetupRunResult run = folder_.InstallScript(body, L" Install");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(PathExists(L"C:\\QelReliability\\Log\\u.log"));
    ExpectNoTempFiles({kDestination, L"C:\\QelReliability\\Log"});

    // A device name as the destination: whatever the outcome, no temporary
    // file stays in the folder.
    DeleteTree(kDestination);
    run = folder_.InstallScript("CopyFiles=Files\r\n[DestinationDirs]\r\nFiles=24,\"QelReliability\"\r\n[Files]\r\nNUL,a.txt,,0x4\r\n");
    EXPECT_TRUE(run.exitCode == 0u || run.exitCode == 200u) << run.log;
    ExpectNoTempFiles({kDestination});
}

// Runs that meet on one machine: a product of many files installed by one
// run, then started again as a new version by several at once.
class RunsAtOnce : public ::testing::Test {
protected:
    static constexpr int kFiles = 120;
    RunsAtOnce() : folder_(L"runs_at_once") {}
    void SetUp() override { DeleteTree(kDestination); }
    void TearDown() override { DeleteTree(kDestination); }

    // Writes version `version` of the package: every file says which it is.
    void WritePackage(const std::string& version) {
        std::string files;
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "f" + std::to_string(i) + ".dat";
            folder_.Write(Wide(name), version + " " + name + "\r\n");
            files += name + ",,,0x4\r\n";
        }
        folder_.Write(L"qelwls.ini", Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\nCopyFiles=Files\r\n"
                                            "[DestinationDirs]\r\nFiles=24,\"QelReliability\"\r\n[Files]\r\n" +
                                            files));
    }
    std::wstring CommandLine() const { return L"\"" + folder_.Exe() + L"\" apponly_install \"" + folder_.Path() + L"\""; }

    // The product holds exactly version `version`, with nothing beside it.
    void ExpectProductIs(const std::string& version) {
        FileSnapshot expected;
        for (int i = 0; i < kFiles; ++i) {
            const std::string name = "f" + std::to_string(i) + ".dat";
            expected[std::wstring(kDestination) + L"\\" + Wide(name)] = version + " " + name + "\r\n";
        }
        EXPECT_EQ(FilesBelow(kDestination), expected);
        ExpectNoTempFiles({kDestination});
    }
    SetupFolder folder_;
};

// Another run holds the machine: this one says it waits, changes nothing
// until the other has ended, then installs as if it had come later.
TEST_F(RunsAtOnce, ARunWaitsForTheRunThatIsWorking) {
    WritePackage("v1");
    ASSERT_EQ(RunSetupProgram(folder_.Exe(), L"apponly_install \"" + folder_.Path() + L"\"").exitCode, 0u);
    WritePackage("v2");
    auto otherRun = std::make_unique<qel::NamedMutexHold>(qel::kRunLockName, 0);
    ASSERT_TRUE(otherRun->Held());

    ProcessResult result;
    PipedStart run(CommandLine(), L"", 0, result);
    std::string log;
    for (int waited = 0; waited < 600 && !LogHasLine(log, "Another run of qelwls is working; waiting for it to end.");
         ++waited) {
        ::Sleep(100);
        if (PathExists(DiagnosticLogPath())) log = ReadFileBytes(DiagnosticLogPath());
    }
    ASSERT_TRUE(LogHasLine(log, "Another run of qelwls is working; waiting for it to end.")) << log;
    ::Sleep(500);
    ExpectProductIs("v1");

    otherRun.reset();
    run.Finish();
    EXPECT_EQ(result.exitCode, 0u);
    log = ReadFileBytes(DiagnosticLogPath());
    EXPECT_TRUE(LogHasLine(log, "The other run of qelwls has ended; going on.")) << log;
    ExpectProductIs("v2");
}

// Two runs of a new version started at the same moment over the installed
// product: both succeed, one after the other, and the product is the new
// version, whole.
TEST_F(RunsAtOnce, TwoRunsStartedTogetherBothInstallTheNewVersion) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        DeleteTree(kDestination);
        WritePackage("v1");
        ASSERT_EQ(RunSetupProgram(folder_.Exe(), L"apponly_install \"" + folder_.Path() + L"\"").exitCode, 0u);
        WritePackage("v2");
        ProcessResult first, second;
        {
            PipedStart one(CommandLine(), L"", 0, first);
            PipedStart two(CommandLine(), L"", 0, second);
            one.Finish();
            two.Finish();
        }
        EXPECT_EQ(first.exitCode, 0u) << first.out;
        EXPECT_EQ(second.exitCode, 0u) << second.out;
        ExpectProductIs("v2");
    }
}

// A program the run starts and waits for may be this installer again (an
// upgrade runs the old version's uninstall command): it works inside the run
// that started it instead of waiting for that run to end.
TEST_F(RunsAtOnce, AnInstallerTheRunStartsDoesNotWaitForIt) {
    SetupFolder inner(L"runs_at_once_inner");
    inner.Write(L"a.txt", "inner\r\n");
    inner.Write(L"qelwls.ini", Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\nCopyFiles=Files\r\n"
                                      "[DestinationDirs]\r\nFiles=24,\"QelReliability\\Inner\"\r\n"
                                      "[Files]\r\na.txt,,,0x4\r\n"));
    folder_.Write(L"qelwls.ini", Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\nPostRun=Inner\r\n[Inner]\r\n\"" +
                                        Utf8(inner.Exe()) + "\",\"apponly_install " + Utf8(inner.Path()) +
                                        "\",0x8\r\n"));
    ProcessResult result;
    PipedStart run(CommandLine(), L"", 0, result);
    if (::WaitForSingleObject(run.Process(), 120000) == WAIT_TIMEOUT) {
        ::TerminateProcess(run.Process(), 1);
        FAIL() << "the run waited for the installer it started";
    }
    run.Finish();
    EXPECT_EQ(result.exitCode, 0u) << result.out;
    EXPECT_EQ(ReadFileBytes(std::wstring(kDestination) + L"\\Inner\\a.txt"), "inner\r\n");
}

}  // namespace
