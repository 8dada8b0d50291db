// Programs run before and after the changes, conditional sections with older
// packages, and the tray program's launch without elevation, through whole runs.
#include "PackageFixture.h"

#include "Handles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace qeltest;

namespace {

using Strings = std::vector<std::string>;
constexpr wchar_t kMarkKey[] = L"SOFTWARE\\QelProgramsRun";
constexpr wchar_t kOldProgram[] = L"C:\\QelOld\\olduninst.exe";
constexpr char kOldEntry[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QelOldWireless";
constexpr wchar_t kSchedulerServer[] = L"SOFTWARE\\Classes\\CLSID\\{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}\\InprocServer32";
constexpr wchar_t kStandInKey[] = L"SOFTWARE\\QelTest\\TaskStandIn";
constexpr wchar_t kStandInLog[] = L"C:\\qeltests\\task-standin.log";

// A record file's lines, once it holds `count` of them (or 20 s have passed).
Strings Lines(const std::wstring& path, size_t count = 0) {
    Strings lines;
    for (int tries = 0; tries < 200; ++tries, ::Sleep(100))
        if ((lines = PathExists(path) ? SplitCrLfLines(ReadFileBytes(path)) : Strings{}).size() >= count) break;
    return lines;
}

bool Marked(const std::wstring& name) { return ReadRegValue(HKEY_LOCAL_MACHINE, kMarkKey, name).found; }

// A section whose registry stage writes the mark `name`.
std::string MarkingSection(const std::string& name) {
    return "[" + name + "]\r\nAddReg=Mark" + name + "\r\n[Mark" + name + "]\r\nHKLM,SOFTWARE\\QelProgramsRun," + name +
           ",0,1,,0\r\n";
}

// The log's line for a program the commit starts.
std::string RunLine(const std::string& program, const std::string& arguments, const char* flags) {
    return "CommitRunApp( \"" + program + "\", \"" + arguments + "\", " + flags + " )";
}

class ProgramsRun : public ::testing::Test {
protected:
    ProgramsRun() : folder_(L"programs_run") {
        CopyFileOrFail(TestBinDir() + L"\\qel_runprobe.exe", Probe());
        folder_.Write(L"app.txt", "app\r\n");
    }
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        DeleteRegTree(HKEY_LOCAL_MACHINE, kMarkKey);
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) DeleteRegTree(HKEY_LOCAL_MACHINE, Wide(kOldEntry), view);
        for (const wchar_t* folder : {L"C:\\QelProgramsApp", L"C:\\QelOld"}) DeleteTree(folder);
    }
    std::wstring Probe() const { return folder_.File(L"probe.exe"); }
    std::string Record(const std::string& name) const { return Utf8(folder_.File(Wide(name))); }
    // A script line that runs the probe with these words and flags.
    std::string ProbeLine(const std::string& words, const std::string& flags = "") const {
        return "\"" + Utf8(Probe()) + "\",\"" + words + "\"" + (flags.empty() ? "" : "," + flags) + "\r\n";
    }
    SetupRunResult Install(const std::string& keys, const std::string& sections) {
        return folder_.InstallScript(keys + sections);
    }
    SetupFolder folder_;
};

// Flags: 0x1 no wait, 0x2 skipped once a restart is needed, 0x4 a start
// failure is ignored, 0x8 the exit code is examined (1 asks for a restart).
TEST_F(ProgramsRun, PreAndPostRunsGetTheirCommandLinesHandlesCostsAndExitCodes) {
    const SetupRunResult run = Install(
        "PreRun=Before\r\nPostRun=After\r\n",
        "[Before]\r\n" + ProbeLine("record=" + Record("before.txt") + " talk") + "[After]\r\n" +
            ProbeLine("record=" + Record("detached.txt"), "0x1") +
            ProbeLine("sleep=10000 exit=1 record=" + Record("slow.txt"), "0x9") +
            ProbeLine("exit=1 record=" + Record("one.txt"), "0x8") + ProbeLine("record=" + Record("skipped.txt"), "0xA") +
            ProbeLine("exit=1 record=" + Record("plain.txt"), "0x2"));

    // 30 for the pre-run, 10 for each post-run (skipped ones too), 1 for
    // each registry stage; the pre-run's output goes through the setup's.
    EXPECT_EQ(run.exitCode, 1u) << run.log;
    EXPECT_EQ(run.out, std::string(kVersionLine) + "probe output\r\n" + ProgressLines(82, {30, 31, 32, 42, 52, 62, 72, 82}) +
                           "Result,1,SetupSuccessNeedReboot,,\r\n");
    EXPECT_NE(run.err.find("probe error\r\n"), std::string::npos) << run.err;

    // The command line is the arguments behind one blank; only a waited-for
    // program gets the setup's standard handles.
    EXPECT_EQ(Lines(folder_.File(L"before.txt")),
              (Strings{"start| record=" + Record("before.txt") + " talk|in=pipe|out=pipe|err=pipe", "end|0x00000000"}));
    EXPECT_EQ(Lines(folder_.File(L"one.txt")),
              (Strings{"start| exit=1 record=" + Record("one.txt") + "|in=pipe|out=pipe|err=pipe", "end|0x00000001"}));
    const Strings detached = Lines(folder_.File(L"detached.txt"), 2);
    ASSERT_EQ(detached.size(), 2u);
    EXPECT_EQ(detached[0].find("pipe"), std::string::npos) << detached[0];
    EXPECT_TRUE(LogHasLine(run.log, RunLine(Utf8(Probe()), " record=" + Record("before.txt") + " talk", "0x00000000")))
        << run.log;
    EXPECT_TRUE(LogHasLine(run.log, RunLine(Utf8(Probe()), " record=" + Record("detached.txt"), "0x00000001")));
    // Exit code 1 of an examined program asks for a restart; the skipped
    // programs after it leave no trace.
    EXPECT_TRUE(LogHasLine(run.log, "CommitRunApp( \" exit=1 record=" + Record("one.txt") + "\" reboot required."));
    EXPECT_FALSE(PathExists(folder_.File(L"skipped.txt")) || PathExists(folder_.File(L"plain.txt")));
    EXPECT_EQ(run.log.find("skipped.txt"), std::string::npos);

    // Not waited for but examined, the slow program reads as still active
    // (259): no restart from it, and the setup ends well before its ten
    // seconds (the clean-up alone pauses 2 s). The log's stamps tell: under
    // Wine the output pipe stays open until the program ends.
    const Strings lines = SplitCrLfLines(run.log);
    auto seconds = [](const std::string& line) {
        return std::stoi(line.substr(0, 2)) * 3600 + std::stoi(line.substr(3, 2)) * 60 + std::stoi(line.substr(6, 2));
    };
    const auto started = std::find_if(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("CommitRunApp(") != std::string::npos && line.find("slow.txt") != std::string::npos;
    });
    ASSERT_TRUE(started != lines.end() && lines.back().find("End --") != std::string::npos) << run.log;
    EXPECT_LE(seconds(lines.back()) - seconds(*started), 6) << "the setup waited for the program\n" << run.log;
    EXPECT_EQ(run.log.find("slow.txt\" reboot required."), std::string::npos);
    EXPECT_EQ(Lines(folder_.File(L"slow.txt"), 2).size(), 2u);
}

// A program after the changes that cannot be started, or whose exit code
// fails the run, rolls the installed file back; flag 0x4 ignores a start
// failure. The driver package installer is known by its arguments: the low
// byte of its code counts the packages installed, only a top byte of 0x40
// asks for a restart. (The restart and a good removal are shown with the
// real installer by the driver system test.)
TEST_F(ProgramsRun, StartFailuresAndDriverPackageInstallerCodes) {
    const std::string missing = Utf8(folder_.File(L"missing.exe")), dpinst = Utf8(folder_.File(L"dpinst64.exe"));
    CopyFileOrFail(Probe(), Wide(dpinst));
    auto dpinstLine = [&](const std::string& words) { return "\"" + dpinst + "\",\"" + dpinst + " " + words + "\",0x8"; };
    const struct {
        std::string line;
        DWORD result;
        Strings logged;
    } cases[] = {
        {"\"" + missing + "\",x,0x4", 0, {"Error 2 running \"" + missing + ",  x\"."}},
        {"\"" + missing + "\",x,0x8", 200, {"Error 2 running \"" + missing + ",  x\"."}},
        {dpinstLine("/a /f /sw /sa /path x exit=0xC0000001"), 0,
         {"DPInst.exe returned code 0xc0000001", "Install driver with DPInst.exe successfully."}},
        {dpinstLine("/a /f /sw /sa /path x exit=0x00000100"), 200,
         {"DPInst.exe returned code 0x00000100", "Fail to install driver with DPInst.exe."}},
        {dpinstLine("/u x\\qelwl.inf /q exit=3"), 0, {"Fail to uninstall driver with DPInst.exe."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        Clean();
        const SetupRunResult run = Install("CopyFiles=AppFiles\r\nPostRun=After\r\n",
                                           "[DestinationDirs]\r\nAppFiles=24,\"QelProgramsApp\"\r\n[AppFiles]\r\napp.txt,,,0x4\r\n"
                                           "[After]\r\n" + c.line + "\r\n");
        for (const std::string& line : c.logged) EXPECT_TRUE(LogHasLine(run.log, line)) << line << "\n" << run.log;
        EXPECT_EQ(PathExists(L"C:\\QelProgramsApp\\app.txt"), c.result == 0) << "the installed file is rolled back";
        if (c.result == 0)
            EXPECT_EQ(run.exitCode, 0u) << run.log;
        else
            ExpectFailedRun(run, "Update", ProgressLines(15, {1, 4, 5}));
    }
}

TEST_F(ProgramsRun, DashCEndsTheRunningProgramAndStartsNothing) {
    const std::wstring victim = folder_.File(L"qelvictim.exe"), record = folder_.File(L"victim.txt");
    CopyFileOrFail(Probe(), victim);
    ProcessResult ended;
    PipedStart running(L"\"" + victim + L"\" sleep=60000 exit=7 record=" + record, L"", 0, ended);
    ASSERT_EQ(Lines(record, 1).size(), 1u);

    const SetupRunResult run =
        Install("PreRun=Stop\r\n", "[Stop]\r\n\"" + Utf8(victim) + "\",\"-c record=" + Utf8(record) + "\"\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, std::string(kVersionLine) + ProgressLines(32, {30, 31, 32}) + "Result,0,SetupSuccess,,\r\n");
    ASSERT_EQ(::WaitForSingleObject(running.Process(), 10000), WAIT_OBJECT_0) << "the running program was not ended";
    running.Finish();
    EXPECT_EQ(ended.exitCode, 0u);
    EXPECT_EQ(Lines(record).size(), 1u) << "a program was started";
    EXPECT_EQ(run.log.find("CommitRunApp("), std::string::npos);
}

TEST_F(ProgramsRun, MalformedLinesEndTheRunWhileTheScriptIsRead) {
    const std::string key = "\"" + std::string(kOldEntry) + "\"";
    // The script keys test names the place of more such lines.
    for (const std::string& body : {
             std::string("PostRun=Run\r\n[Run]\r\n,x\r\n"),
             "ConditionalSection=Rules\r\n[Rules]\r\nupgrade,," + key + ",UninstallString,,,,0,0\r\n",
             std::string("ConditionalSection=Rules\r\n[Rules]\r\nNewerApp,Marks\r\n"),
             "ConditionalSection=Rules\r\n[Rules]\r\nUpgrade,Marks," + key + ",UninstallString\r\n",
             "ConditionalSection=Rules\r\n[Rules]\r\nUpgrade,Marks," + key + ",UninstallString,,,,five,0\r\n",
             std::string("ConditionalSection=Rules\r\n[Rules]\r\nSupportedApp\r\n")}) {
        SCOPED_TRACE(body);
        // A mark that a run reaching its commit would write.
        const size_t cut = body.find("\r\n");
        const SetupRunResult run = Install(body.substr(0, cut + 2) + "AddReg=Marks\r\n",
                                           body.substr(cut + 2) + "[Marks]\r\nHKLM,SOFTWARE\\QelProgramsRun,Done,0,1,,0\r\n");
        ExpectFailedRun(run, "CmdLine", "");
        EXPECT_FALSE(Marked(L"Done"));
    }
}

// An older package (qel_runprobe.exe, version 5.0.0.0) found through its
// uninstall entry. The first matching upgrade rule ends its section; every
// application rule runs. The rule's key path is opened as written: a 32-bit
// entry is reached through the 32-bit view's own path.
TEST_F(ProgramsRun, UpgradeRulesFindAnOlderPackageUpToTheirLimit) {
    const std::string entry = kOldEntry, wowEntry = "SOFTWARE\\Wow6432Node" + entry.substr(8);
    auto rule = [](const std::string& key, const std::string& company, const std::string& limit) {
        return "UpgradeRun,First,\"" + key + "\",UninstallString,,,\"" + company + "\"," + limit;
    };
    struct Case {
        REGSAM view;
        std::string rule;
        bool first, second;  // which upgrade section runs
    } cases[] = {
        // Limits (major/minor, build/revision): 5.0.0.0, 5.1.0.0, 4.9.255.255.
        {0, rule(entry, "Qel Old Company", "0x00050000,0"), true, false},
        {0, rule(entry, "Qel Old Company", "0x00050001,0"), true, false},
        {0, rule(entry, "Qel Old Company", "0x00040009,0xFFFF"), false, true},
        {0, rule(entry, "Other Company", "0,0"), false, true},
        {KEY_WOW64_32KEY, rule(entry, "Qel Old Company", "0,0"), false, false},
        {KEY_WOW64_32KEY, rule(wowEntry, "Qel Old Company", "0,0"), true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rule + (c.view ? " (32-bit entry)" : ""));
        Clean();
        WriteFileBytes(kOldProgram, ReadFileBytes(Probe()));
        SetRegString(HKEY_LOCAL_MACHINE, Wide(entry), L"UninstallString", kOldProgram, c.view);

        const SetupRunResult run = Install(
            "ConditionalSection=Old,Apps\r\n",
            "[Old]\r\n" + c.rule + "\r\nUpgrade,Second,\"" + entry + "\",UninstallString,,,,0,0\r\n"
            "[Apps]\r\nSupportedApp,One\r\nUnsupportedDriver,Two\r\n" +
                MarkingSection("First") + MarkingSection("Second") + MarkingSection("One") + MarkingSection("Two"));
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        EXPECT_EQ(run.out, std::string(kVersionLine) + (c.first ? ProgressLines(32, {30, 31, 32}) : ProgressLines(2, {1, 2})) +
                               "Result,0,SetupSuccess,,\r\n");
        EXPECT_EQ(Marked(L"First"), c.first);
        EXPECT_EQ(Marked(L"Second"), c.second);
        EXPECT_TRUE(Marked(L"One") && Marked(L"Two"));
        // The old package's command ran before the changes.
        const std::wstring ran = std::wstring(kOldProgram) + L".ran";
        EXPECT_EQ(Lines(ran).size(), c.first ? 2u : 0u);
        if (!c.first) continue;
        EXPECT_EQ(Lines(ran).back(), "end|0x00000000");
        const std::string program = Utf8(kOldProgram), key = c.view ? wowEntry : entry;
        EXPECT_TRUE(LogHasLine(run.log, "PackagePresent( \"" + key + "\", \"UninstallString\", \"" + program +
                                            "\", \"\", \"Qel Old Company\", 0x0005000000000000 )"))
            << run.log;
        EXPECT_TRUE(LogHasLine(run.log, "ProcessUpgradePackages() running upgrade \"" + program + "\"."));
        EXPECT_TRUE(LogHasLine(run.log, RunLine(program, "", "0x0000000c")));
    }
}

// The tray program: a path with "AIRDOCK.EXE" goes through the Task
// Scheduler, which finds it in the system folder; one in lower case is an
// ordinary program.
class TrayLaunch : public ProgramsRun {
protected:
    void SetUp() override {
        ProgramsRun::SetUp();
        original_ = ReadRegString(HKEY_LOCAL_MACHINE, kSchedulerServer, L"");
        CopyFileOrFail(Probe(), kTrayProgram);
    }
    void TearDown() override {
        ::DeleteFileW(kTrayProgram);
        SetRegString(HKEY_LOCAL_MACHINE, kSchedulerServer, L"", original_);
        DeleteRegTree(HKEY_LOCAL_MACHINE, kStandInKey);
        ProgramsRun::TearDown();
    }
    // The stand-in serves the scheduler's class; the calls named fail.
    static void UseStandIn(const std::wstring& failAt) {
        ::DeleteFileW(kStandInLog);
        SetRegString(HKEY_LOCAL_MACHINE, kSchedulerServer, L"", TestBinDir() + L"\\qel_taskstandin.dll");
        SetRegString(HKEY_LOCAL_MACHINE, kSchedulerServer, L"ThreadingModel", L"Both");
        SetRegString(HKEY_LOCAL_MACHINE, kStandInKey, L"FailAt", failAt);
    }
    SetupRunResult InstallTray() {
        return Install("PostRun=Tray\r\n", "[Tray]\r\n\"" + Utf8(folder_.File(L"AIRDOCK.EXE")) + "\",x,0x8\r\n");
    }
    std::wstring original_;
};

TEST_F(TrayLaunch, WinesSchedulerRefusesTheRunLevelAndALowerCasePathIsStartedDirectly) {
    CopyFileOrFail(Probe(), folder_.File(L"airdock.exe"));
    const SetupRunResult run =
        Install("PostRun=Tray\r\n", "[Tray]\r\n\"" + Utf8(folder_.File(L"AIRDOCK.EXE")) + "\",x,0x8\r\n\"" +
                                        Utf8(folder_.File(L"airdock.exe")) + "\",\"record=" + Record("tray.txt") + "\",0\r\n");
    // Wine answers E_NOTIMPL for the logon type (passed over) and the run
    // level (the end of the attempt; Windows registers the task).
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, std::string(kVersionLine) + ProgressLines(22, {1, 2, 12, 22}) + "Result,0,SetupSuccess,,\r\n");
    const Strings messages = LogMessages(run.log);
    const auto first = std::find(messages.begin(), messages.end(), RunLine(Utf8(folder_.File(L"AIRDOCK.EXE")), " x", "0x00000008"));
    ASSERT_NE(first, messages.end()) << run.log;
    EXPECT_EQ(Strings(first + 1, std::min(first + 6, messages.end())),
              (Strings{"Running AIRDOCK.EXE without admin mode.", "CreateProcessWithoutAdmin()",
                       "Cannot put principal logon type: 80004001", "Cannot put principal run level: 80004001",
                       RunLine(Utf8(folder_.File(L"airdock.exe")), " record=" + Record("tray.txt"), "0x00000000")}));
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "CreateProcessWithoutAdmin()"), 1);
    EXPECT_EQ(Lines(folder_.File(L"tray.txt"), 2).size(), 2u);
}

TEST_F(TrayLaunch, EveryFailingStepIsLoggedWithItsResultAndTheCommitGoesOn) {
    // The stand-in fails a call with E_ACCESSDENIED, a query with E_NOINTERFACE.
    const std::pair<const char*, const char*> steps[] = {
        {"Service.Connect", "ITaskService::Connect failed"}, {"Service.GetFolder", "Cannot get Root Folder pointer"},
        {"Service.NewTask", "Failed to create a task definition"},
        {"Definition.get_RegistrationInfo", "Cannot get identification pointer"},
        {"Registration.put_Author", "Cannot put identification info"},
        {"Definition.get_Principal", "Cannot get principal pointer"},
        {"Principal.put_RunLevel", "Cannot put principal run level"},
        {"Definition.get_Settings", "Cannot get settings pointer"},
        {"Settings.put_StartWhenAvailable", "Cannot put setting info"},
        {"Definition.get_Triggers", "Cannot get trigger collection"},
        {"Triggers.Create", "Cannot create a registration trigger"},
        {"QueryInterface.IRegistrationTrigger", "QueryInterface call failed on IRegistrationTrigger: 80004002"},
        {"Trigger.put_Delay", "Cannot put registration trigger delay"},
        {"Definition.get_Actions", "Cannot get Task collection pointer"}, {"Actions.Create", "Cannot create action"},
        {"QueryInterface.IExecAction", "QueryInterface call failed for IExecAction: 80004002"},
        {"Action.put_Path", "Cannot put the action executable path"},
        {"Folder.RegisterTaskDefinition", "Error saving the Task"},
    };
    for (const auto& [call, text] : steps) {
        SCOPED_TRACE(call);
        UseStandIn(Wide(call));
        const SetupRunResult run = InstallTray();
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        const std::string message = text;
        EXPECT_TRUE(LogHasLine(run.log, message.find(": ") == std::string::npos ? message + ": 80070005" : message))
            << run.log;
        EXPECT_EQ(run.log.find("Success!"), std::string::npos);
        const Strings calls = Lines(kStandInLog);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().substr(0, std::strlen(call)), call) << "the attempt ends at the failing call";
    }
}

// The failures that are passed over, in one run: the task is registered, it
// starts the tray program from the system folder, and it is deleted again.
TEST_F(TrayLaunch, RegisteredTaskStartsTheTrayProgramFromTheSystemFolder) {
    UseStandIn(L"Principal.put_Id,Principal.put_LogonType,Trigger.put_Id");
    const SetupRunResult run = InstallTray();

    EXPECT_EQ(run.exitCode, 0u) << run.log;
    for (const char* line : {"Cannot put the principal ID: 80070005", "Cannot put principal logon type: 80070005",
                             "Cannot put trigger ID: 80070005", "Success! Task successfully registered",
                             "Success! Task successfully deleted."})
        EXPECT_TRUE(LogHasLine(run.log, line)) << line << "\n" << run.log;
    EXPECT_EQ(Lines(kStandInLog),
              (Strings{"Service.Connect vt=0,0,0,0", "Service.GetFolder \\", "Folder.DeleteTask ArdentixWirelessClient",
                       "Service.NewTask 0", "Definition.get_RegistrationInfo", "Registration.put_Author Author Name",
                       "Definition.get_Principal", "Principal.put_Id Principal1", "Principal.put_LogonType 3",
                       "Principal.put_RunLevel 0", "Definition.get_Settings", "Settings.put_StartWhenAvailable true",
                       "Definition.get_Triggers", "Triggers.Create 7", "QueryInterface.IRegistrationTrigger",
                       "Trigger.put_Id Trigger1", "Trigger.put_Delay PT1S", "Definition.get_Actions", "Actions.Create 0",
                       "QueryInterface.IExecAction", "Action.put_Path airdock.exe",
                       "Folder.RegisterTaskDefinition ArdentixWirelessClient flags=6 user=vt0 password=vt0 logon=3 "
                       "sddl=vt8:''",
                       "Launch started C:\\windows\\system32\\airdock.exe", "Folder.DeleteTask ArdentixWirelessClient"}));
}


// Missing from the system folder, the program the task names by its bare name
// would be looked for along the search path, in folders users can write: no
// task is made, and the commit goes on.
TEST_F(TrayLaunch, WithoutTheTrayProgramInTheSystemFolderNoTaskIsMade) {
    UseStandIn(L"");
    ::DeleteFileW(kTrayProgram);
    const SetupRunResult run = InstallTray();
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    const Strings messages = LogMessages(run.log);
    const auto launch = std::find(messages.begin(), messages.end(), "CreateProcessWithoutAdmin()");
    ASSERT_NE(launch, messages.end()) << run.log;
    ASSERT_NE(launch + 1, messages.end());
    EXPECT_EQ(launch[1], Utf8(kTrayProgram) + " is not in the system folder; no task is made to start it.");
    EXPECT_FALSE(PathExists(kStandInLog)) << "the Task Scheduler was asked";
}

}  // namespace
