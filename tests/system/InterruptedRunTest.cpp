// Failures and kills at every record of a real run of the sample package. The
// program runs unmodified under the test's own debugger, which stops it at its
// k-th flushed log record: there either that flush fails (a disk that fills
// up) or the process is killed (a power cut, a task manager). Every failed run
// must leave the machine as it found it; every killed run must be undone by
// the next run, before that run does anything of its own.
#include "ControlledRun.h"
#include "PackageFixture.h"

#include <gtest/gtest.h>

#include <regex>

using namespace qeltest;

namespace {

// The last record of the rollback log that a killed run's marker names.
std::string LastRecordOfKilledRun() {
    for (const std::wstring& name : WindowsLeftovers()) {
        if (name.rfind(L"qelwls-", 0) != 0) continue;
        for (const std::string& line : SplitCrLfLines(ReadFileBytes(L"C:\\windows\\" + name))) {
            if (line.rfind("RollbackLog,", 0) != 0) continue;
            const std::vector<std::string> records = SplitCrLfLines(ReadFileBytes(Wide(line.substr(12))));
            return records.empty() ? std::string() : records.back();
        }
    }
    return std::string();
}

class InterruptedRun : public ::testing::Test {
protected:
    void SetUp() override { CleanMachine(); }
    void TearDown() override { CleanMachine(); }

    // Every record here costs a whole run of its own: the setup's copies in
    // the product's folder (plain files like the others, only larger) are
    // left out of the sample's script.
    static void LeaveOutSetupCopies(const SamplePackage& package) {
        std::string script = ReadFileBytes(package.File(L"qelwls.ini"));
        for (size_t at; (at = script.find(",SetupFiles")) != std::string::npos;) script.erase(at, 11);
        WriteFileBytes(package.File(L"qelwls.ini"), script);
    }

    // The sample package installed once, with another product counting the
    // shared library and the setup: the state every case starts from.
    static void InstallOnce(const SamplePackage& package) {
        SetSharedDllCount(kSharedDll, 1);
        ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
        SetSharedDllCount(L"QelSetup", 1);
    }

    // The records a whole successful run of the command flushes; the machine
    // is then installed afresh.
    static int CountRecords(const SamplePackage& package, const std::wstring& command) {
        CleanMachine();
        InstallOnce(package);
        const ControlledRunResult whole = Run(package, command, RecordAction::None, 0);
        EXPECT_EQ(whole.exitCode, 0u) << Utf8(command);
        CleanMachine();
        InstallOnce(package);
        return whole.flushes;
    }

    static ControlledRunResult Run(const SamplePackage& package, const std::wstring& command, RecordAction action,
                                   int atRecord) {
        ::DeleteFileW(DiagnosticLogPath().c_str());
        return RunControlled(L"\"" + package.Exe() + L"\" " + package.Arguments(command), action,
                             atRecord);
    }
};

// Each road of the sample package fails at each of its records in turn.
TEST_F(InterruptedRun, AFailureAtAnyRecordLeavesTheMachineAsItWas) {
    SamplePackage package(L"fail_at_record");
    LeaveOutSetupCopies(package);
    for (const wchar_t* command : {L"apponly_install", L"upgrade", L"uninstall"}) {
        const int records = CountRecords(package, command);
        ASSERT_GT(records, 10) << Utf8(command);
        MachineState before = SnapshotMachine();
        for (int k = 1; k <= records; ++k) {
            const ControlledRunResult run = Run(package, command, RecordAction::Fail, k);
            const std::string where = Utf8(command) + " failing at record " + std::to_string(k);
            ASSERT_TRUE(run.intervened) << where;
            if (run.exitCode <= 1 && k > 1) {
                // Not one of the installer's records: the tray program's launch
                // goes through the Task Scheduler, which writes its task file
                // in the installer's process and gives up when that fails, as
                // the launch allows. The run succeeded; the machine is
                // installed afresh for the next record.
                EXPECT_NE(run.out.find("Result,"), std::string::npos) << where << run.out;
                CleanMachine();
                InstallOnce(package);
                before = SnapshotMachine();
                continue;
            }
            EXPECT_EQ(run.exitCode, 200u) << where;
            EXPECT_NE(run.out.find("Result,200,SetupErrorInternal,"), std::string::npos) << where << run.out;
            ExpectMachineIs(before, where);
            if (::testing::Test::HasFailure()) return;
        }
    }
}

// Many new files in two new folders: the records of their changes go to disk
// in batches written ahead of the changes, so the run flushes fewer records
// than it makes files. A run killed at any of those flushes is undone by the
// next run, records of changes never made included.
TEST_F(InterruptedRun, RecordsWrittenAheadOfManyFilesAreUndoneFromAnyKill) {
    constexpr int kFiles = 60;
    SetupFolder many(L"many_files");
    std::string listed, sectionA, sectionB;
    for (int i = 0; i < kFiles; ++i) {
        const std::string name = "f" + std::to_string(i) + ".txt";
        many.Write(Wide(name), "file " + std::to_string(i) + "\r\n");
        listed += name + "=1\r\n";
        (i % 2 ? sectionB : sectionA) += name + ",,,0x4\r\n";
    }
    many.Write(L"qelwls.ini",
               Script("[Setup]\r\nUninstallLog=%16422%\\Qel Wireless\\Uninstall\\qelwls.log\r\n"
                      "[SourceDisksNames]\r\n1=\"disk\",,,\r\n[SourceDisksFiles]\r\n" + listed +
                      "[DestinationDirs]\r\nA=16422,\"Qel Wireless\\Many\\A\"\r\nB=16422,\"Qel Wireless\\Many\\B\"\r\n"
                      "[Install]\r\nDriverInf=Driver\\qelwl.inf\r\nCopyFiles=A,B\r\nUninstallLog=\r\n"
                      "[A]\r\n" + sectionA + "[B]\r\n" + sectionB));
    const SetupFolder idle(L"idle_after_many");
    const auto run = [&](RecordAction action, int k) {
        ::DeleteFileW(DiagnosticLogPath().c_str());
        return RunControlled(L"\"" + many.Exe() + L"\" apponly_install \"" + many.Path() + L"\"", action, k);
    };

    // A run of an earlier test left behind is recovered first, so that the
    // state compared against is this test's own.
    ASSERT_EQ(idle.InstallScript("").exitCode, 0u);
    const MachineState before = SnapshotMachine();
    const ControlledRunResult whole = run(RecordAction::None, 0);
    ASSERT_EQ(whole.exitCode, 0u);
    ASSERT_TRUE(PathExists(std::wstring(kAppFolder) + L"\\Many\\B\\f59.txt"));
    // One by one, each file's temporary name, copy, move and uninstall
    // record would be four flushes.
    EXPECT_LT(whole.flushes, kFiles / 2);

    // Each run starts without the folders an earlier one made, so that it
    // flushes the same records.
    for (int k = 1; k < whole.flushes; ++k) {
        CleanMachine();
        const std::string where = "killed at record " + std::to_string(k);
        ASSERT_EQ(run(RecordAction::Kill, k).exitCode, kKilledExitCode) << where;
        const SetupRunResult next = idle.InstallScript("");
        EXPECT_EQ(next.exitCode, 0u) << where << next.log;
        EXPECT_NE(next.log.find("is undone"), std::string::npos) << where << next.log;
        ExpectMachineIs(before, where);
        if (::testing::Test::HasFailure()) return;
    }
}

// A run killed at several points of its commit is undone by the next script
// command, which says so in the diagnostic log.
TEST_F(InterruptedRun, AKilledRunIsUndoneByTheNextRun) {
    SamplePackage package(L"kill_at_record");
    LeaveOutSetupCopies(package);
    // The next run: a script with nothing to do, so that what it leaves is
    // what the recovery left.
    const SetupFolder idle(L"idle_run");

    for (const wchar_t* command : {L"apponly_install", L"upgrade", L"uninstall"}) {
        const int records = CountRecords(package, command);
        const MachineState before = SnapshotMachine();
        for (int k : {1, 2, records / 4, records / 2, records * 3 / 4, records - 1}) {
            const std::string where = Utf8(command) + " killed at record " + std::to_string(k);
            const ControlledRunResult killed = Run(package, command, RecordAction::Kill, k);
            ASSERT_EQ(killed.exitCode, kKilledExitCode) << where;
            EXPECT_EQ(WindowsLeftovers().size(), 1u + WindowsTempFiles().size()) << where << ": the killed run's marker stays";

            const SetupRunResult next = idle.InstallScript("");
            EXPECT_EQ(next.exitCode, 0u) << where << next.log;
            EXPECT_NE(next.log.find("did not finish; undoing it from its logs"), std::string::npos) << where;
            EXPECT_NE(next.log.find("is undone"), std::string::npos) << where << next.log;
            ExpectMachineIs(before, where);
            if (::testing::Test::HasFailure()) return;
        }
    }
}

// A run killed once its changes were complete, in its clean-up (what it
// moved aside about to be deleted, or partly deleted already), keeps its
// changes: the next run finishes that clean-up. Undoing the run then would
// bring back only the files not yet deleted, leaving neither version.
TEST_F(InterruptedRun, ARunKilledInItsCleanUpKeepsItsChanges) {
    SamplePackage package(L"kill_in_cleanup");
    LeaveOutSetupCopies(package);
    const SetupFolder idle(L"idle_after_cleanup");

    for (const wchar_t* command : {L"apponly_install", L"upgrade"}) {
        const int records = CountRecords(package, command);
        ASSERT_EQ(Run(package, command, RecordAction::None, 0).exitCode, 0u);
        const MachineState done = SnapshotMachine();
        CleanMachine();
        InstallOnce(package);
        int finished = 0;
        for (int k = records; k >= 1; --k) {
            const std::string where = Utf8(command) + " killed at record " + std::to_string(k);
            ASSERT_EQ(Run(package, command, RecordAction::Kill, k).exitCode, kKilledExitCode) << where;
            if (LastRecordOfKilledRun() != "Committed") break;  // an earlier kill: undone, as tested above
            const SetupRunResult next = idle.InstallScript("");
            EXPECT_EQ(next.exitCode, 0u) << where << next.log;
            EXPECT_NE(next.log.find("had made all its changes; finishing its clean-up"), std::string::npos)
                << where << next.log;
            EXPECT_NE(next.log.find("is finished"), std::string::npos) << where << next.log;
            // Two runs differ only where a run's own moment is written: the
            // uninstall log names its temporary name, a shortcut holds its
            // target's file times. Those are compared by presence.
            const auto ofTheRun = [](MachineState state) {
                static const std::wregex stamped(L".*(\\.lnk|\\\\qelwls\\.log)", std::regex::icase);
                for (auto& [path, bytes] : state.files)
                    if (std::regex_match(path, stamped)) bytes.clear();
                return state;
            };
            const MachineState after = ofTheRun(SnapshotMachine());
            EXPECT_TRUE(after == ofTheRun(done)) << where << "\n" << DescribeDifferences(ofTheRun(done), after);
            if (::testing::Test::HasFailure()) return;
            ++finished;
            CleanMachine();
            InstallOnce(package);
        }
        EXPECT_GT(finished, 0) << Utf8(command) << ": no kill came after the changes were complete";
        idle.InstallScript("");
        CleanMachine();
    }
}

}  // namespace
