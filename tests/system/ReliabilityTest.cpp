// What a failed run promises: nothing crashes on a bad script, nothing the
// run touched is lost, and nothing it made is left behind. Each test is named
// for one promise and checks it through whole runs of qelwls64.exe.
#include "PackageFixture.h"

#include "Handles.h"

#include <gtest/gtest.h>

#include <regex>

using namespace qeltest;

namespace {

constexpr wchar_t kDestination[] = L"C:\\QelReliability";
constexpr wchar_t kPendingKey[] = L"System\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPending[] = L"PendingFileRenameOperations";

void ExpectFailedWith200(const SetupRunResult& run, const std::string& module) {
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("Result,200,SetupErrorInternal," + module + ",[0-9]+\r\n$")))
        << run.out;
}

bool HasProgress(const SetupRunResult& run) { return run.out.find("Progress,") != std::string::npos; }

// The "qel*.tmp" files of a folder.
std::vector<std::wstring> TempFilesIn(const std::wstring& folder) { return FilesMatching(folder + L"\\qel*.tmp"); }

FileSnapshot FilesBelow(const std::wstring& folder) {
    FileSnapshot files;
    AddFilesBelow(folder, files);
    return files;
}

// A script folder of its own with two files to install into C:\QelReliability.
class ScriptRun : public ::testing::Test {
protected:
    ScriptRun() : folder_(L"reliability") {
        folder_.Write(L"a.txt", "file a\r\n");
        folder_.Write(L"b.txt", "file b\r\n");
    }
    void SetUp() override { DeleteTree(kDestination); }
    void TearDown() override { DeleteTree(kDestination); }

    SetupRunResult Install(const std::string& body, const std::wstring& more = L"") {
        folder_.Write(L"qelwls.ini", Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n" + body));
        return RunSetupProgram(folder_.Exe(), L"apponly_install \"" + folder_.Path() + L"\"" + more);
    }
    SetupFolder folder_;
};

TEST_F(ScriptRun, FolderIdsWindowsDoesNotDefineAreRefusedBeforeAnyChange) {
    // SetupAPI faults on ids far out of range and makes up a folder named
    // "unknown" for some others; the run ends while the script is read.
    for (const char* id : {"-2", "-3", "-100", "-2147483648", "0", "99999", "abc"}) {
        for (const char* key : {"CopyFiles", "DelFiles"}) {
            const SetupRunResult run = Install(std::string(key) + "=Files\r\n[DestinationDirs]\r\nFiles=" + id +
                                               ",\"QelReliability\"\r\n[Files]\r\na.txt,,,0x4\r\n");
            ExpectFailedWith200(run, "DriverInf");
            EXPECT_FALSE(HasProgress(run)) << key << " " << id;
            EXPECT_NE(run.log.find(std::string("desc \"[DestinationDirs] of [Files] names the folder id '") + id + "'"),
                      std::string::npos)
                << run.log;
            EXPECT_TRUE(WindowsTempFiles().empty());
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
    SetupRunResult run = Install(body);
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_NE(run.out.find("Progress,15,"), std::string::npos) << run.out;
    EXPECT_EQ(FilesBelow(kDestination),
              (FileSnapshot{{std::wstring(kDestination) + L"\\a.txt", "file a\r\n"},
                            {std::wstring(kDestination) + L"\\b.txt", "file b\r\n"},
                            {std::wstring(kDestination) + L"\\Inner\\c.txt", "file c\r\n"}}));
    EXPECT_TRUE(WindowsTempFiles().empty()) << "every level's rollback log is deleted";

    // A missing source at the innermost level fails the run and undoes all.
    DeleteTree(kDestination);
    ::DeleteFileW(folder_.File(L"c.txt").c_str());
    run = Install(body);
    ExpectFailedWith200(run, "Update");
    EXPECT_FALSE(PathExists(std::wstring(kDestination) + L"\\a.txt"));
    EXPECT_FALSE(PathExists(std::wstring(kDestination) + L"\\b.txt"));
    EXPECT_TRUE(WindowsTempFiles().empty());
}

TEST_F(ScriptRun, AFolderWhereAFileShouldGoIsNeverMoved) {
    const std::wstring folderAsFile = std::wstring(kDestination) + L"\\a.txt";
    WriteFileBytes(folderAsFile + L"\\keep.txt", "user data\r\n");
    const FileSnapshot before = FilesBelow(kDestination);

    // A copy onto a folder ends the run before its first change.
    SetupRunResult run = Install("CopyFiles=Files\r\n[DestinationDirs]\r\nFiles=24,\"QelReliability\"\r\n"
                                 "[Files]\r\nb.txt,,,0x4\r\na.txt,,,0x4\r\n");
    ExpectFailedWith200(run, "Update");
    EXPECT_FALSE(HasProgress(run));
    EXPECT_NE(run.log.find("desc \"the destination is a folder: C:\\QelReliability\\a.txt\""), std::string::npos);
    EXPECT_EQ(FilesBelow(kDestination), before);

    // Deletions that name a folder, or no file at all, are passed over.
    run = Install("DelFiles=Gone\r\n[DestinationDirs]\r\nGone=24,\"QelReliability\"\r\n[Gone]\r\na.txt\r\n\"\"\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "CommitFileRemove: skipping, \"C:\\QelReliability\\a.txt\" is a folder"));
    EXPECT_EQ(FilesBelow(kDestination), before);
    EXPECT_TRUE(WindowsTempFiles().empty());
    EXPECT_TRUE(TempFilesIn(L"C:\\").empty());
}

TEST_F(ScriptRun, PathsTooLongForWindowsLeaveNothingBehind) {
    // A folder path of about 5,000 characters, longer than a log record used
    // to carry: the commit cannot make it, the earlier file is undone, and no
    // temporary file or rollback log stays.
    std::string deep = "QelReliability";
    for (int level = 0; level < 20; ++level) deep += "\\" + std::string(250, 'n');
    const SetupRunResult run = Install("CopyFiles=Near,Far\r\n[DestinationDirs]\r\nNear=24,\"QelReliability\"\r\nFar=24,\"" +
                                       deep + "\"\r\n[Near]\r\nb.txt,,,0x4\r\n[Far]\r\na.txt,,,0x4\r\n");
    ExpectFailedWith200(run, "Update");
    EXPECT_TRUE(FilesBelow(kDestination).empty());
    EXPECT_TRUE(TempFilesIn(kDestination).empty());
    EXPECT_TRUE(WindowsTempFiles().empty());
}

TEST_F(ScriptRun, NoTemporaryFileOutlivesARun) {
    const std::string body = "CopyFiles=Files\r\nUninstallLog=\r\n[Setup]\r\nUninstallLog=C:\\QelReliability\\Log\\u.log\r\n"
                             "[DestinationDirs]\r\nFiles=24,\"QelReliability\"\r\n[Files]\r\na.txt,,,0x4\r\n";
    // [Install] named twice: one uninstall log, no temporary one beside it.
    SetupRunResult run = Install(body, L" Install");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(PathExists(L"C:\\QelReliability\\Log\\u.log"));
    EXPECT_TRUE(TempFilesIn(L"C:\\QelReliability\\Log").empty());
    EXPECT_TRUE(TempFilesIn(kDestination).empty());
    EXPECT_TRUE(WindowsTempFiles().empty());

    // A device name as the destination: whatever the outcome, no temporary
    // file stays in the folder.
    DeleteTree(kDestination);
    run = Install("CopyFiles=Files\r\n[DestinationDirs]\r\nFiles=24,\"QelReliability\"\r\n[Files]\r\nNUL,a.txt,,0x4\r\n");
    EXPECT_TRUE(run.exitCode == 0u || run.exitCode == 200u) << run.log;
    EXPECT_TRUE(TempFilesIn(kDestination).empty());
    EXPECT_TRUE(WindowsTempFiles().empty());
}

class PackageRun : public ::testing::Test {
protected:
    void SetUp() override { CleanMachine(); }
    void TearDown() override {
        DeleteRegValue(HKEY_LOCAL_MACHINE, kPendingKey, kPending);
        CleanMachine();
    }
};

TEST_F(PackageRun, AFailedUpgradeKeepsThePreviousVersion) {
    SamplePackage package(L"failed_upgrade");
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    const MachineState before = SnapshotMachine();
    const std::string log = ReadFileBytes(kUninstallLog);

    // The old files are removed, most new ones are in, then the applet's
    // source is missing.
    ::DeleteFileW(package.File(L"qelwlcpl.cpl").c_str());
    const SetupRunResult run = package.Run(L"upgrade");
    ExpectFailedWith200(run, "Update");
    EXPECT_TRUE(LogHasLine(run.log, "Rollback()"));
    const MachineState after = SnapshotMachine();
    EXPECT_EQ(after, before) << DescribeDifferences(before, after);
    EXPECT_EQ(ReadFileBytes(kUninstallLog), log);
    EXPECT_TRUE(TempFilesIn(kAppFolder).empty());
    EXPECT_TRUE(WindowsTempFiles().empty());
}

TEST_F(PackageRun, AFailedUninstallLeavesTheProductInstalled) {
    SamplePackage package(L"failed_uninstall_late");
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    // The uninstall fails in its last stage, after the files are removed and
    // the product's registry trees deleted: a text appended to a number.
    WriteFileBytes(package.File(L"qelwls.ini"),
                   std::regex_replace(ReadFileBytes(package.File(L"qelwls.ini")), std::regex("\\[Uninstall\\]\r?\n"),
                                      "[Uninstall]\r\nAddReg=Breaks\r\n") +
                       "\r\n[Breaks]\r\nHKLM,\"SOFTWARE\\Qel\\Number\",N,0x10001,1,,0\r\n"
                       "HKLM,\"SOFTWARE\\Qel\\Number\",N,0x10008,\"x\",,0\r\n");
    SetSharedDllCount(L"QelSetup", 1);
    const MachineState before = SnapshotMachine();

    const SetupRunResult run = package.Run(L"uninstall");
    ExpectFailedWith200(run, "Update");
    ASSERT_TRUE(HasProgress(run));
    const MachineState after = SnapshotMachine();
    EXPECT_EQ(after, before) << DescribeDifferences(before, after);
    EXPECT_TRUE(WindowsTempFiles().empty());
}

TEST_F(PackageRun, ARollbackTakesBackTheRestartMovesOfItsRun) {
    SamplePackage package(L"rollback_restart_moves");
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    // Another program's move, registered earlier, must stay.
    const std::wstring foreign(L"\\??\\C:\\other.tmp\0\0", 18);
    SetRegMultiString(kPendingKey, kPending, foreign);
    const RegValue pendingBefore = ReadRegValue(HKEY_LOCAL_MACHINE, kPendingKey, kPending);
    const MachineState before = SnapshotMachine();

    SetupRunResult run;
    {
        // The monitor is in use: its replacement is registered for the
        // restart; then the tools component's missing source fails the run.
        const std::wstring monitor = std::wstring(kAppFolder) + L"\\QelMon.exe";
        qel::UniqueHandle held(
            ::CreateFileW(monitor.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.Valid());
        ::DeleteFileW(package.File(L"tools\\qeltool.txt").c_str());
        run = package.Run(L"apponly_install");
    }
    ExpectFailedWith200(run, "Update");
    EXPECT_TRUE(LogHasLine(run.log, "Rollback(): restart move of \"C:\\Program Files\\Qel Wireless\\QelMon.exe\" "
                                    "cancelled"))
        << run.log;
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kPendingKey, kPending), pendingBefore);
    const MachineState after = SnapshotMachine();
    EXPECT_EQ(after, before) << DescribeDifferences(before, after);
    EXPECT_TRUE(TempFilesIn(kAppFolder).empty());
}

}  // namespace
