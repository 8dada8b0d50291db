// The sample package through the whole traversal clean -> installed ->
// upgraded -> clean, the partial uninstall, failed installs that must leave
// the machine as they found it, and a destination that is in use.
#include "PackageFixture.h"

#include "Handles.h"

#include <gtest/gtest.h>

#include <regex>

using namespace qeltest;

namespace {

const std::wstring kMonitor = std::wstring(kAppFolder) + L"\\QelMon.exe";

// An install while another program has the monitor open: its file cannot be
// moved now.
SetupRunResult InstallWithMonitorOpen(const SamplePackage& package) {
    qel::UniqueHandle held(
        ::CreateFileW(kMonitor.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_TRUE(held.Valid());
    return package.Run(L"apponly_install");
}

class Package : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override {
        SetWindowsVersion(L"qelwls64.exe", L"");
        RemoveTrayKeys();
        Clean();
    }
    static void Clean() {
        DeleteRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames);
        CleanMachine();
    }
};

TEST_F(Package, InstallUpgradeAndUninstallTraversal) {
    SamplePackage package(L"traversal");
    // Another product already uses the shared library.
    WriteFileBytes(kSharedDll, ReadFileBytes(package.File(L"qelcomm.dll")));
    SetSharedDllCount(kSharedDll, 1);
    // ... and a driver component already lists itself among the components.
    SetRegMultiString(kProductKey, L"Components", std::wstring(L"Driver\0", 7));
    const MachineState clean = SnapshotMachine();

    // clean -> installed
    SetupRunResult run = package.Run(L"apponly_install");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    // Top transaction: 12 file installs and the log's move (2 + 39) and two
    // programs after the changes (20); the tools component's sub-install:
    // 1 file (2 + 3).
    EXPECT_EQ(run.out, kVersionLine +
                           ProgressLines(66, {1, 2, 5, 8, 11, 14, 17, 20, 23, 26, 29, 32, 35, 38, 41, 44, 45, 46, 56, 66}) +
                           "Result,0,SetupSuccess,,\r\n");
    EXPECT_EQ(run.message, L"Result,0,SetupSuccess\n");
    EXPECT_TRUE(LogHasLine(run.log, "qelwls start installing app only."));
    // After the changes: the monitor's first run, waited for, then the tray
    // program through the Task Scheduler (which Wine only stubs: the launch
    // logs its failure and the install goes on; Windows starts airdock.exe).
    EXPECT_TRUE(LogHasLine(run.log, "CommitRunApp( \"" + Utf8(kAppFolder) + "\\QelMon.exe\", \" /firstrun\", 0x00000008 )"))
        << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "Running AIRDOCK.EXE without admin mode.")) << run.log;

    // Each file from its source; the help texts come out of the cabinet. (The
    // uninstall log these copies write is compared whole, record by record,
    // with an earlier build's by the earlier-logs test.)
    const std::wstring app = kAppFolder, source = package.Folder();
    const struct {
        std::wstring from, to;
        std::string bytes;  // none: the source's
    } copies[] = {
        {source + L"\\QelMon.exe", app + L"\\QelMon.exe", {}},
        {source + L"\\readme.txt", app + L"\\readme.txt", {}},
        {source + L"\\dpinst64.exe", app + L"\\dpinst64.exe", {}},
        {source + L"\\docs\\guide.txt", app + L"\\Docs\\guide.txt", {}},
        {L"", app + L"\\Help\\help.txt", "Help: if the adapter does not connect, restart it from the monitor.\n"},
        {L"", app + L"\\Help\\tips.txt", "Tip: keep the adapter's driver up to date.\n"},
        {source + L"\\qelcomm.dll", kSharedDll, {}},
        {source + L"\\qelwlcpl.cpl", kApplet, {}},
        {source + L"\\airdock.exe", kTrayProgram, {}},
        {source + L"\\qelsetup.exe", app + L"\\Uninstall\\qelsetup.exe", {}},
        {source + L"\\qelwls64.exe", app + L"\\Uninstall\\qelwls64.exe", {}},
        {source + L"\\qelwls.ini", app + L"\\Uninstall\\qelwls.ini", {}},
        {source + L"\\tools\\qeltool.txt", app + L"\\Tools\\qeltool.txt", {}},
    };
    for (const auto& copy : copies) {
        ASSERT_TRUE(PathExists(copy.to)) << Utf8(copy.to);
        EXPECT_EQ(ReadFileBytes(copy.to), copy.bytes.empty() ? ReadFileBytes(copy.from) : copy.bytes);
    }
    EXPECT_EQ(SharedDllCount(kSharedDll), 2);
    const std::string log = ReadFileBytes(kUninstallLog);
    EXPECT_TRUE(WindowsTempFiles().empty()) << "rollback logs left behind";

    // The product's registry: uninstall entry, settings, and its name
    // appended to the list of components.
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"DisplayName"), L"Qel Wireless Utilities");
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"DisplayVersion"), L"2.1");
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kProductKey, L"InstallPath"), app);
    EXPECT_EQ(ReadRegMultiString(HKEY_LOCAL_MACHINE, kProductKey, L"Components"),
              (std::vector<std::wstring>{L"Driver", L"Monitor"}));

    // installed -> upgraded: the old log's 13 records become removals, the
    // Upgrade section's 11 files are installed again and its two programs run.
    run = package.Run(L"upgrade");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, kVersionLine +
                           ProgressLines(94, {1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 34, 37, 40, 43, 46, 49, 52, 55, 58, 61, 64, 67,
                                              70, 73, 74, 84, 94}) +
                           "Result,0,SetupSuccess,,\r\n");
    EXPECT_TRUE(PathExists(app + L"\\QelMon.exe"));
    EXPECT_TRUE(PathExists(kApplet));
    EXPECT_FALSE(PathExists(app + L"\\Uninstall\\qelwls.ini")) << "the old log's script copy is removed";
    EXPECT_EQ(ReadFileBytes(kUninstallLog), log) << "an upgrade replays the log, it does not rewrite it";
    EXPECT_EQ(SharedDllCount(kSharedDll), 2);
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"DisplayVersion"), L"2.2");

    // upgraded -> clean: no other user of the setup is counted. The shared
    // library is never removed by the log, and the other product still counts it.
    run = package.Run(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, kVersionLine + ProgressLines(44, {1, 4, 7, 10, 13, 16, 19, 22, 25, 28, 31, 34, 37, 40, 43, 44}) +
                           "Result,0,SetupSuccess,,\r\n");
    EXPECT_TRUE(LogHasLine(run.log, "qelwls start uninstalling."));
    // The script's DelReg takes the product's whole key, the components list with it.
    MachineState expected = clean;
    for (const wchar_t* entry : {L"\\", L"\\Components"}) expected.registry.erase(kProductKey + std::wstring(entry));
    ExpectMachineIs(expected);
}

// Other users of the setup remain: only the applet goes, and the count drops.
// Before Vista the post-uninstall section is committed once more.
TEST_F(Package, PartialUninstallRemovesOnlyTheApplet) {
    SamplePackage package(L"partial");
    for (const auto& [version, progress] : {std::pair(L"win10", ProgressLines(2, {1, 2})),
                                            std::pair(L"winxp64", ProgressLines(2, {1, 2, 1, 2}))}) {
        SCOPED_TRACE(Utf8(version));
        CleanMachine();
        SetWindowsVersion(L"qelwls64.exe", L"");
        ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
        SetSharedDllCount(L"QelSetup", 2);
        WriteTrayKeys(5);  // where hiding the tray icon (before Vista) looks
        FileSnapshot expected = SnapshotInstalledFiles();
        expected.erase(kApplet);

        SetWindowsVersion(L"qelwls64.exe", version);
        const SetupRunResult run = package.Run(L"uninstall");
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        EXPECT_EQ(run.out, kVersionLine + progress + "Result,0,SetupSuccess,,\r\n");
        EXPECT_TRUE(LogHasLine(run.log, "Uninstalling Partially..."));
        EXPECT_EQ(SharedDllCount(L"QelSetup"), 1);
        EXPECT_EQ(SnapshotInstalledFiles(), expected);
    }
}

TEST_F(Package, FailedUninstallGivesTheInstallCountBack) {
    SamplePackage package(L"failed_uninstall");
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    const std::string log = ReadFileBytes(kUninstallLog);
    // A record this build cannot replay (of a kind the log never holds, or
    // of one whose fields cannot be read) makes the uninstall fail before it
    // commits anything; the count it released is reset.
    for (const char* damaged : {"UpdateDriver,PCI\\VEN_1D6A,x.inf,\r\n", "CopyFile,C:\\x.txt,C:\\y.txt,0x4zz\r\n"}) {
        SCOPED_TRACE(damaged);
        WriteFileBytes(kUninstallLog, log + damaged);
        SetSharedDllCount(L"QelSetup", 1);
        const MachineState before = SnapshotMachine();
        ExpectFailedRun(package.Run(L"uninstall"), "Update", "");
        ExpectMachineIs(before);
    }
}

TEST_F(Package, MissingSourceMidListUndoesEverything) {
    SamplePackage package(L"missing_source");
    ::DeleteFileW(package.File(L"docs\\guide.txt").c_str());
    const MachineState before = SnapshotMachine();
    const SetupRunResult run = package.Run(L"apponly_install");
    // Three files went in before the fourth had no source.
    ExpectFailedRun(run, "Update", ProgressLines(66, {1, 2, 5, 8, 11}));
    EXPECT_TRUE(LogHasLine(run.log, "Rollback()"));
    ExpectMachineIs(before);
}

TEST_F(Package, BadLineInALaterSectionChangesNothing) {
    SamplePackage package(L"bad_line");
    WriteFileBytes(package.File(L"qelwls.ini"), ReadFileBytes(package.File(L"qelwls.ini")) +
                                                    "\r\n[Extra]\r\nCopyFiles=BadFiles\r\n[BadFiles]\r\nreadme.txt\r\n");
    const MachineState before = SnapshotMachine();
    // The line without flags stops the run while the sections are read:
    // nothing was committed, so no Progress line went out.
    ExpectFailedRun(package.Run(L"apponly_install", L"Extra"), "CmdLine", "");
    ExpectMachineIs(before);
}

// The tools component is committed after the main files and the log's move:
// its missing source fails the run late. The rollback restores the files and
// the previous uninstall log; with the monitor in use it also takes back the
// restart moves of its run, and only those.
TEST_F(Package, FailureAfterTheLogMovedIntoPlaceRestoresThePreviousInstall) {
    for (const bool inUse : {false, true}) {
        SCOPED_TRACE(inUse ? "monitor in use" : "nothing in use");
        Clean();
        SamplePackage package(inUse ? L"late_failure_in_use" : L"late_failure");
        ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
        SetRegMultiString(kSessionManagerKey, kPendingRenames, std::wstring(L"\\??\\C:\\other.tmp\0\0", 18));
        const MachineState before = SnapshotMachine();
        ASSERT_TRUE(before.files.count(kUninstallLog));

        ::DeleteFileW(package.File(L"tools\\qeltool.txt").c_str());
        const SetupRunResult run = inUse ? InstallWithMonitorOpen(package) : package.Run(L"apponly_install");
        ExpectFailedRun(run, "Update", ProgressLines(66, {1, 2, 5, 8, 11, 14, 17, 20, 23, 26, 29, 32, 35, 38, 41}));
        EXPECT_EQ(LogHasLine(run.log, "Rollback(): restart move of \"" + Utf8(kMonitor) + "\" cancelled"), inUse)
            << run.log;
        ExpectMachineIs(before);
    }
}

TEST_F(Package, DestinationInUseIsReplacedAtTheNextRestart) {
    SamplePackage package(L"in_use");
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    const SetupRunResult run = InstallWithMonitorOpen(package);
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
                   "[^\r]*QueuedMove," + folder + "\\1," + folder + "QelMon\\.exe\r\n"
                   "[^\r]*reboot required\\.\r\n"
                   "[^\r]*QueuedMove," + folder + "\\2,\r\n")))
        << run.log;
    // Windows keeps them in PendingFileRenameOperations: "\??\from" then
    // "!\??\to" (replace existing), or an empty "to" for a deletion, in the
    // order they must run: the old version is deleted after it went aside
    // (the reader cannot tell the last entry's empty "to" from the list end).
    const std::wstring app = std::wstring(kAppFolder) + L"\\";
    EXPECT_EQ(ReadRegMultiString(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames),
              (std::vector<std::wstring>{L"\\??\\" + kMonitor, L"!\\??\\" + app + Wide(match[2]),
                                         L"\\??\\" + app + Wide(match[1]), L"!\\??\\" + kMonitor,
                                         L"\\??\\" + app + Wide(match[2])}));

    // The restart (wineboot -r carries out the registered operations) leaves
    // the package's monitor in place and no old copy beside it.
    EXPECT_EQ(RunProgram(L"wineboot.exe -r").exitCode, 0u);
    EXPECT_EQ(ReadFileBytes(kMonitor), ReadFileBytes(package.File(L"QelMon.exe")));
    EXPECT_TRUE(FilesMatching(app + L"qel*.tmp").empty());
    EXPECT_TRUE(ReadRegMultiString(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames).empty());
}

}  // namespace
