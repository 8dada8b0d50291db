// The sample package through the whole traversal clean -> installed ->
// upgraded -> clean, the partial uninstall, failed installs that must leave
// the machine as they found it, and a destination that is in use.
#include "PackageFixture.h"

#include "Handles.h"

#include <gtest/gtest.h>

#include <regex>

using namespace qeltest;

namespace {

std::string ProgressLines(int total, std::initializer_list<int> done) {
    std::string lines;
    for (int each : done) lines += "Progress," + std::to_string(total) + "," + std::to_string(each) + "\r\n";
    return lines;
}

// "Result,200,SetupErrorInternal,<module>,<line>" on both channels.
void ExpectInternalError(const SetupRunResult& run, const std::string& statusBefore, const std::string& module) {
    EXPECT_EQ(run.exitCode, 200u);
    ASSERT_EQ(run.out.compare(0, statusBefore.size(), statusBefore), 0) << run.out;
    const std::string resultLine = run.out.substr(statusBefore.size());
    EXPECT_TRUE(std::regex_match(resultLine, std::regex("Result,200,SetupErrorInternal," + module + ",[0-9]+\r\n")))
        << resultLine;
    EXPECT_EQ(Utf8(run.message), resultLine.substr(0, resultLine.size() - 2) + "\n");
    EXPECT_TRUE(std::regex_search(run.log, std::regex("Error: file \"" + module + "\", line [0-9]+, desc")));
}


class Package : public ::testing::Test {
protected:
    void SetUp() override { CleanMachine(); }
    void TearDown() override {
        SetWindowsVersion(L"qelwls64.exe", L"");
        RemoveTrayKeys();
        CleanMachine();
    }
};

TEST_F(Package, InstallUpgradeAndUninstallTraversal) {
    SamplePackage package(L"traversal");
    const std::string pkg = Utf8(package.Folder());
    // Another product already uses the shared library.
    WriteFileBytes(kSharedDll, ReadFileBytes(package.File(L"qelcomm.dll")));
    SetSharedDllCount(kSharedDll, 1);
    // ... and a driver component already lists itself among the components.
    const std::wstring components(L"Driver\0", 7);
    SetRegMultiString(kProductKey, L"Components", components);

    // clean -> installed
    SetupRunResult run = package.Run(L"apponly_install");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    // Top transaction: 10 file installs and the log's move (2 + 33) and two
    // programs after the changes (20); the tools component's sub-install:
    // 1 file (2 + 3).
    EXPECT_EQ(run.out, kVersionLine +
                           ProgressLines(60, {1, 2, 5, 8, 11, 14, 17, 20, 23, 26, 29, 32, 35, 38, 39, 40, 50, 60}) +
                           "Result,0,SetupSuccess,,\r\n");
    EXPECT_EQ(run.message, L"Result,0,SetupSuccess\n");
    EXPECT_TRUE(LogHasLine(run.log, "qelwls start installing app only."));
    // After the changes: the monitor's first run, waited for, then the tray
    // program through the Task Scheduler (which Wine only stubs: the launch
    // logs its failure and the install goes on; Windows starts airdock.exe).
    EXPECT_TRUE(LogHasLine(run.log, "CommitRunApp( \"" + Utf8(kAppFolder) + "\\QelMon.exe\", \" /firstrun\", 0x00000008 )"))
        << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "Running AIRDOCK.EXE without admin mode.")) << run.log;

    const std::wstring app = kAppFolder;
    for (const auto& [installed, shipped] : std::vector<std::pair<std::wstring, std::wstring>>{
             {app + L"\\QelMon.exe", L"QelMon.exe"},
             {app + L"\\readme.txt", L"readme.txt"},
             {app + L"\\Docs\\guide.txt", L"docs\\guide.txt"},
             {app + L"\\Tools\\qeltool.txt", L"tools\\qeltool.txt"},
             {app + L"\\Uninstall\\qelwls.ini", L"qelwls.ini"},
             {kSharedDll, L"qelcomm.dll"},
             {kApplet, L"qelwlcpl.cpl"}}) {
        ASSERT_TRUE(PathExists(installed)) << Utf8(installed);
        EXPECT_EQ(ReadFileBytes(installed), ReadFileBytes(package.File(shipped)));
    }
    // The help texts come out of the cabinet.
    EXPECT_EQ(ReadFileBytes(app + L"\\Help\\help.txt"),
              "Help: if the adapter does not connect, restart it from the monitor.\n");
    EXPECT_EQ(ReadFileBytes(app + L"\\Help\\tips.txt"), "Tip: keep the adapter's driver up to date.\n");
    EXPECT_EQ(SharedDllCount(kSharedDll), 2);

    const std::string log = ReadFileBytes(kUninstallLog);
    const std::string appFolder = "C:\\Program Files\\Qel Wireless";
    const std::string expectedCopies =
        "CopyFile," + pkg + "\\QelMon.exe," + appFolder + "\\QelMon.exe,0x00000004\r\n" +
        "CopyFile," + pkg + "\\readme.txt," + appFolder + "\\readme.txt,0x00000004\r\n" +
        "CopyFile," + pkg + "\\dpinst64.exe," + appFolder + "\\dpinst64.exe,0x00000004\r\n" +
        "CopyFile," + pkg + "\\docs\\guide.txt," + appFolder + "\\Docs\\guide.txt,0x00000004\r\n" +
        "CopyFile,help.txt," + appFolder + "\\Help\\help.txt,0x00000004\r\n" +
        "CopyFile,tips.txt," + appFolder + "\\Help\\tips.txt,0x00000004\r\n" +
        "CopyFile," + pkg + "\\qelcomm.dll,C:\\Program Files\\Common Files\\Qel Shared\\qelcomm.dll,0x80000040\r\n" +
        "CopyFile," + pkg + "\\qelwlcpl.cpl,C:\\windows\\system32\\qelwlcpl.cpl,0x00000004\r\n" +
        "CopyFile," + pkg + "\\airdock.exe,C:\\windows\\system32\\airdock.exe,0x00000004\r\n" +
        "CopyFile," + pkg + "\\qelwls.ini," + appFolder + "\\Uninstall\\qelwls.ini,0x00000006\r\n";
    ASSERT_EQ(log.compare(0, expectedCopies.size(), expectedCopies), 0) << log;
    EXPECT_TRUE(std::regex_match(log.substr(expectedCopies.size()),
                                 std::regex("MoveFile,C:\\\\Program Files\\\\Qel Wireless\\\\Uninstall\\\\qel[0-9a-f]+\\.tmp,"
                                            "C:\\\\Program Files\\\\Qel Wireless\\\\Uninstall\\\\qelwls\\.log\r\n")))
        << log;
    EXPECT_TRUE(WindowsTempFiles().empty()) << "rollback logs left behind";

    // The product's registry: uninstall entry, settings, and its name
    // appended to the list of components.
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"DisplayName"), L"Qel Wireless Utilities");
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"DisplayVersion"), L"2.1");
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kProductKey, L"InstallPath"), app);
    EXPECT_EQ(ReadRegMultiString(HKEY_LOCAL_MACHINE, kProductKey, L"Components"),
              (std::vector<std::wstring>{L"Driver", L"Monitor"}));

    // installed -> upgraded: the old log's 11 records become removals, the
    // Upgrade section's 9 files are installed again and its two programs run.
    run = package.Run(L"upgrade");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, kVersionLine +
                           ProgressLines(82, {1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 34, 37, 40, 43, 46, 49, 52, 55, 58, 61, 62, 72, 82}) +
                           "Result,0,SetupSuccess,,\r\n");
    EXPECT_TRUE(PathExists(app + L"\\QelMon.exe"));
    EXPECT_TRUE(PathExists(kApplet));
    EXPECT_FALSE(PathExists(app + L"\\Uninstall\\qelwls.ini")) << "the old log's script copy is removed";
    EXPECT_EQ(ReadFileBytes(kUninstallLog), log) << "an upgrade replays the log, it does not rewrite it";
    EXPECT_EQ(SharedDllCount(kSharedDll), 2);
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"DisplayVersion"), L"2.2");

    // upgraded -> clean: no other user of the setup is counted.
    run = package.Run(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, kVersionLine + ProgressLines(38, {1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 34, 37, 38}) +
                           "Result,0,SetupSuccess,,\r\n");
    EXPECT_TRUE(LogHasLine(run.log, "qelwls start uninstalling."));
    EXPECT_FALSE(PathExists(kAppFolder));
    EXPECT_FALSE(PathExists(kApplet));
    // The shared library is never removed by the log, and the other product
    // still counts it.
    EXPECT_TRUE(PathExists(kSharedDll));
    EXPECT_EQ(SharedDllCount(kSharedDll), 1);
    EXPECT_TRUE(WindowsTempFiles().empty());
    bool found = true;
    ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"DisplayName", 0, &found);
    EXPECT_FALSE(found) << "the uninstall entry is deleted";
    ReadRegString(HKEY_LOCAL_MACHINE, kProductKey + std::wstring(L"\\Settings"), L"PollSeconds", 0, &found);
    EXPECT_FALSE(found) << "the settings tree is deleted";
}

// Other users of the setup remain: only the applet goes, and the count drops.
void ExpectPartialUninstall(const std::wstring& windowsVersion, const std::string& expectedProgress) {
    SamplePackage package(L"partial_" + windowsVersion);
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    SetSharedDllCount(L"QelSetup", 2);
    // The driver's settings, where hiding the tray icon (before Vista) looks.
    WriteTrayKeys(5);
    const FileSnapshot before = SnapshotInstalledFiles();

    SetWindowsVersion(L"qelwls64.exe", windowsVersion);
    const SetupRunResult run = package.Run(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, kVersionLine + expectedProgress + "Result,0,SetupSuccess,,\r\n");
    EXPECT_TRUE(LogHasLine(run.log, "Uninstalling Partially..."));
    EXPECT_EQ(SharedDllCount(L"QelSetup"), 1);

    FileSnapshot expected = before;
    expected.erase(kApplet);
    EXPECT_EQ(SnapshotInstalledFiles(), expected);
}

TEST_F(Package, PartialUninstallFromVistaOn) { ExpectPartialUninstall(L"win10", ProgressLines(2, {1, 2})); }

TEST_F(Package, PartialUninstallBeforeVistaAlsoRunsPostUninstPart) {
    // Before Vista the post-uninstall section is committed once more.
    ExpectPartialUninstall(L"winxp64", ProgressLines(2, {1, 2, 1, 2}));
}

TEST_F(Package, FailedUninstallGivesTheInstallCountBack) {
    SamplePackage package(L"failed_uninstall");
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    // A record this build cannot replay makes the uninstall fail before it
    // commits anything.
    std::string log = ReadFileBytes(kUninstallLog);
    WriteFileBytes(kUninstallLog, log + "UpdateDriver,PCI\\VEN_1D6A,x.inf,\r\n");
    SetSharedDllCount(L"QelSetup", 1);
    const FileSnapshot before = SnapshotInstalledFiles();

    const SetupRunResult run = package.Run(L"uninstall");
    ExpectInternalError(run, kVersionLine, "Update");
    EXPECT_EQ(SharedDllCount(L"QelSetup"), 1) << "the released count is reset";
    EXPECT_EQ(SnapshotInstalledFiles(), before);
}

TEST_F(Package, MissingSourceMidListUndoesEverything) {
    SamplePackage package(L"missing_source");
    ::DeleteFileW(package.File(L"docs\\guide.txt").c_str());
    const FileSnapshot before = SnapshotInstalledFiles();

    const SetupRunResult run = package.Run(L"apponly_install");
    // Three files went in before the fourth had no source.
    ExpectInternalError(run, kVersionLine + ProgressLines(60, {1, 2, 5, 8, 11}), "Update");
    EXPECT_EQ(SnapshotInstalledFiles(), before);
    EXPECT_FALSE(PathExists(kUninstallLog));
    EXPECT_EQ(SharedDllCount(kSharedDll), -1);
    EXPECT_TRUE(WindowsTempFiles().empty()) << "the rollback logs are deleted";
    EXPECT_TRUE(LogHasLine(run.log, "Rollback()"));
}

TEST_F(Package, BadLineInALaterSectionChangesNothing) {
    SamplePackage package(L"bad_line");
    WriteFileBytes(package.File(L"qelwls.ini"), ReadFileBytes(package.File(L"qelwls.ini")) +
                                                    "\r\n[Extra]\r\nCopyFiles=BadFiles\r\n[BadFiles]\r\nreadme.txt\r\n");
    const FileSnapshot before = SnapshotInstalledFiles();

    const SetupRunResult run = package.Run(L"apponly_install", L"Extra");
    // The line without flags stops the run while the sections are read:
    // nothing was committed, so no Progress line went out.
    ExpectInternalError(run, kVersionLine, "CmdLine");
    EXPECT_EQ(SnapshotInstalledFiles(), before);
    EXPECT_TRUE(WindowsTempFiles().empty());
}

TEST_F(Package, FailureAfterTheLogMovedIntoPlaceRestoresThePreviousInstall) {
    SamplePackage package(L"late_failure");
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    const FileSnapshot before = SnapshotInstalledFiles();
    const long long sharedCount = SharedDllCount(kSharedDll);
    ASSERT_TRUE(before.count(kUninstallLog));

    // The tools component is committed after the main files and the log's
    // move: its missing source fails the run late.
    ::DeleteFileW(package.File(L"tools\\qeltool.txt").c_str());
    const SetupRunResult run = package.Run(L"apponly_install");
    ExpectInternalError(run, kVersionLine + ProgressLines(60, {1, 2, 5, 8, 11, 14, 17, 20, 23, 26, 29, 32, 35}), "Update");
    EXPECT_EQ(SnapshotInstalledFiles(), before) << "files and the previous uninstall log are back";
    EXPECT_EQ(SharedDllCount(kSharedDll), sharedCount);
    EXPECT_TRUE(WindowsTempFiles().empty());
}

TEST_F(Package, DestinationInUseIsReplacedAtTheNextRestart) {
    SamplePackage package(L"in_use");
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    const std::wstring monitor = std::wstring(kAppFolder) + L"\\QelMon.exe";
    const std::wstring pendingKey = L"System\\CurrentControlSet\\Control\\Session Manager";
    DeleteRegValue(HKEY_LOCAL_MACHINE, pendingKey, L"PendingFileRenameOperations");

    SetupRunResult run;
    {
        // Another program has the monitor open: its file cannot be moved now.
        qel::UniqueHandle held(::CreateFileW(monitor.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                             nullptr));
        ASSERT_TRUE(held.Valid());
        run = package.Run(L"apponly_install");
    }
    EXPECT_EQ(run.exitCode, 1u) << run.log;
    ASSERT_GE(run.out.size(), 35u);
    EXPECT_EQ(run.out.substr(run.out.size() - 35), "Result,1,SetupSuccessNeedReboot,,\r\n");
    EXPECT_EQ(run.message, L"Result,1,SetupSuccessNeedReboot\n");

    // The rollback records (traced to the diagnostic log): the copy to a
    // temporary file, the move aside that failed, and the two moves that
    // were registered for the restart instead.
    const std::string folder = "C:\\\\Program Files\\\\Qel Wireless\\\\";
    std::smatch match;
    ASSERT_TRUE(std::regex_search(
        run.log, match,
        std::regex("CopyFile,[^,\r]*QelMon\\.exe," + folder + "(qel[0-9a-f]+\\.tmp)\r\n"
                   "[^\r]*MoveFile," + folder + "QelMon\\.exe," + folder + "(qel[0-9a-f]+\\.tmp)\r\n"
                   "[^\r]*QueuedMove," + folder + "QelMon\\.exe," + folder + "\\2\r\n"
                   "[^\r]*reboot required\\.\r\n"
                   "[^\r]*QueuedMove," + folder + "\\1," + folder + "QelMon\\.exe\r\n")))
        << run.log;
    const std::wstring newCopy = std::wstring(kAppFolder) + L"\\" + Wide(match[1]);
    const std::wstring aside = std::wstring(kAppFolder) + L"\\" + Wide(match[2]);

    // Windows keeps them in PendingFileRenameOperations: "\??\from" then
    // "!\??\to" (replace existing), in the order they must run.
    const std::vector<std::wstring> pending =
        ReadRegMultiString(HKEY_LOCAL_MACHINE, pendingKey, L"PendingFileRenameOperations");
    const std::vector<std::wstring> expected{L"\\??\\" + monitor, L"!\\??\\" + aside, L"\\??\\" + newCopy,
                                             L"!\\??\\" + monitor};
    EXPECT_EQ(pending, expected);
    DeleteRegValue(HKEY_LOCAL_MACHINE, pendingKey, L"PendingFileRenameOperations");
}

}  // namespace
