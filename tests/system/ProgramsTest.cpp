// Programs run before and after the changes, conditional sections with
// older packages, and the tray program's launch without elevation, through
// whole runs of qelwls64.exe on real scripts.
#include "PackageFixture.h"

#include "Handles.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <regex>

using namespace qeltest;

namespace {

constexpr wchar_t kMarkKey[] = L"SOFTWARE\\QelProgramsRun";
constexpr wchar_t kOldFolder[] = L"C:\\QelOld";
constexpr wchar_t kOldProgram[] = L"C:\\QelOld\\olduninst.exe";
constexpr wchar_t kOldEntry[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QelOldWireless";
constexpr wchar_t kSchedulerServer[] = L"SOFTWARE\\Classes\\CLSID\\{0F87369F-A4E5-4CFC-BD3E-73E6154572DD}\\InprocServer32";
constexpr wchar_t kStandInKey[] = L"SOFTWARE\\QelTest\\TaskStandIn";
constexpr wchar_t kStandInLog[] = L"C:\\qeltests\\task-standin.log";

std::string Progress(int total, std::initializer_list<int> done) {
    std::string lines;
    for (int each : done) lines += "Progress," + std::to_string(total) + "," + std::to_string(each) + "\r\n";
    return lines;
}

std::vector<std::string> Lines(const std::wstring& path) {
    return PathExists(path) ? SplitCrLfLines(ReadFileBytes(path)) : std::vector<std::string>{};
}

// Waits up to `ms` for a record file to hold `count` lines.
std::vector<std::string> AwaitLines(const std::wstring& path, size_t count, DWORD ms = 20000) {
    for (DWORD waited = 0; Lines(path).size() < count && waited < ms; waited += 100) ::Sleep(100);
    return Lines(path);
}

void SetString(HKEY root, const std::wstring& subkey, const std::wstring& name, const std::wstring& value,
               REGSAM view = 0) {
    qel::UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, key.Put(), nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExW(key.Get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool Marked(const std::wstring& name) { return ReadRegValue(HKEY_LOCAL_MACHINE, kMarkKey, name).found; }

void ExpectInternalError(const SetupRunResult& run, const std::string& module) {
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    ASSERT_EQ(run.out.rfind(kVersionLine, 0), 0u) << run.out;
    EXPECT_TRUE(std::regex_match(run.out.substr(std::strlen(kVersionLine)),
                                 std::regex("(Progress,[0-9]+,[0-9]+\r\n)*Result,200,SetupErrorInternal," + module +
                                            ",[0-9]+\r\n")))
        << run.out;
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
        DeleteTree(L"C:\\QelProgramsApp");
    }
    std::wstring Probe() const { return folder_.File(L"probe.exe"); }
    std::string ProbeField() const { return "\"" + Utf8(Probe()) + "\""; }
    std::string Record(const std::string& name) const { return Utf8(folder_.File(Wide(name))); }
    SetupRunResult Install(const std::string& keys, const std::string& sections) {
        folder_.Write(L"qelwls.ini", Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n" + keys + sections));
        return RunSetupProgram(folder_.Exe(), L"apponly_install \"" + folder_.Path() + L"\"");
    }
    SetupFolder folder_;
};

TEST_F(ProgramsRun, PreAndPostRunsGetTheirCommandLinesHandlesAndCosts) {
    const SetupRunResult run = Install(
        "PreRun=Before\r\nPostRun=After\r\n",
        "[Before]\r\n" + ProbeField() + ",\"record=" + Record("before.txt") + " talk\"\r\n"
        "[After]\r\n" + ProbeField() + ",\"record=" + Record("after.txt") + "\",0x8\r\n" +
        ProbeField() + ",\"record=" + Record("detached.txt") + "\",0x1\r\n");

    EXPECT_EQ(run.exitCode, 0u) << run.log;
    // 30 for the pre-run, 10 for each post-run, 1 for each registry stage.
    // The pre-run's output went through the setup's own standard output.
    EXPECT_EQ(run.out, std::string(kVersionLine) + "probe output\r\n" + Progress(52, {30, 31, 32, 42, 52}) +
                           "Result,0,SetupSuccess,,\r\n");
    EXPECT_NE(run.err.find("probe error\r\n"), std::string::npos) << run.err;

    // The command line is the arguments behind one blank; a waited-for
    // program gets the setup's three standard handles.
    EXPECT_EQ(Lines(folder_.File(L"before.txt")),
              (std::vector<std::string>{"start| record=" + Record("before.txt") + " talk|in=pipe|out=pipe|err=pipe",
                                        "end|0x00000000"}));
    EXPECT_EQ(Lines(folder_.File(L"after.txt")).at(0),
              "start| record=" + Record("after.txt") + "|in=pipe|out=pipe|err=pipe");
    // A program that is not waited for gets none of them.
    const std::vector<std::string> detached = AwaitLines(folder_.File(L"detached.txt"), 2);
    ASSERT_EQ(detached.size(), 2u);
    EXPECT_EQ(detached[0].find("pipe"), std::string::npos) << detached[0];

    EXPECT_TRUE(LogHasLine(run.log, "CommitRunApp( \"" + Utf8(Probe()) + "\", \" record=" + Record("before.txt") +
                                        " talk\", 0x00000000 )"))
        << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "CommitRunApp( \"" + Utf8(Probe()) + "\", \" record=" + Record("detached.txt") +
                                        "\", 0x00000001 )"));
}

TEST_F(ProgramsRun, ExitCodeOneAsksForARestartAndSkipsLaterPrograms) {
    const SetupRunResult run = Install(
        "PostRun=After\r\n",
        "[After]\r\n" + ProbeField() + ",\"exit=1 record=" + Record("one.txt") + "\",0x8\r\n" +
        ProbeField() + ",\"record=" + Record("skipped.txt") + "\",0xA\r\n" +
        // Not examined: an exit code of 1 means nothing then.
        ProbeField() + ",\"exit=1 record=" + Record("plain.txt") + "\",0x2\r\n");

    EXPECT_EQ(run.exitCode, 1u) << run.log;
    EXPECT_EQ(run.out, std::string(kVersionLine) + Progress(32, {1, 2, 12, 22, 32}) +
                           "Result,1,SetupSuccessNeedReboot,,\r\n");
    EXPECT_EQ(run.message, L"Result,1,SetupSuccessNeedReboot\n");
    EXPECT_TRUE(LogHasLine(run.log, "CommitRunApp( \" exit=1 record=" + Record("one.txt") + "\" reboot required."));
    EXPECT_EQ(Lines(folder_.File(L"one.txt")).size(), 2u);
    // Skipped without a trace once a restart is needed.
    EXPECT_FALSE(PathExists(folder_.File(L"skipped.txt")));
    EXPECT_FALSE(PathExists(folder_.File(L"plain.txt")));
    EXPECT_EQ(run.log.find("skipped.txt"), std::string::npos);
}

TEST_F(ProgramsRun, NoWaitWithExaminedExitCodeReadsStillActive) {
    const SetupRunResult run =
        Install("PostRun=After\r\n",
                "[After]\r\n" + ProbeField() + ",\"sleep=10000 exit=1 record=" + Record("slow.txt") + "\",0x9\r\n");
    // The program is still running (259): no restart request.
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, std::string(kVersionLine) + Progress(12, {1, 2, 12}) + "Result,0,SetupSuccess,,\r\n");
    // The setup ended well before the program's ten seconds were up (its
    // clean-up alone pauses 2 s; a loaded machine adds to that). Its
    // log's stamps tell: under Wine the output pipe stays open until the
    // program ends (Windows closes it with the setup), so the run's return
    // does not.
    const std::vector<std::string> lines = SplitCrLfLines(run.log);
    auto seconds = [](const std::string& line) {
        return std::stoi(line.substr(0, 2)) * 3600 + std::stoi(line.substr(3, 2)) * 60 + std::stoi(line.substr(6, 2));
    };
    const auto started = std::find_if(lines.begin(), lines.end(),
                                      [](const std::string& line) { return line.find("CommitRunApp(") != std::string::npos; });
    ASSERT_NE(started, lines.end()) << run.log;
    ASSERT_NE(lines.back().find("End --"), std::string::npos) << run.log;
    EXPECT_LE(seconds(lines.back()) - seconds(*started), 6) << "the setup waited for the program\n" << run.log;
    EXPECT_EQ(AwaitLines(folder_.File(L"slow.txt"), 2).size(), 2u);
}

TEST_F(ProgramsRun, AStartFailureRollsBackUnlessItIsIgnored) {
    const std::string copy = "CopyFiles=AppFiles\r\n";
    const std::string files = "[DestinationDirs]\r\nAppFiles=24,\"QelProgramsApp\"\r\n[AppFiles]\r\napp.txt,,,0x4\r\n";
    const std::string missing = Utf8(folder_.File(L"missing.exe"));
    const std::string errorLine = "Error 2 running \"" + missing + ",  x\".";

    SetupRunResult run = Install(copy + "PostRun=After\r\n", files + "[After]\r\n\"" + missing + "\",x,0x4\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, errorLine)) << run.log;
    EXPECT_TRUE(PathExists(L"C:\\QelProgramsApp\\app.txt"));

    DeleteTree(L"C:\\QelProgramsApp");
    run = Install(copy + "PostRun=After\r\n", files + "[After]\r\n\"" + missing + "\",x,0x8\r\n");
    ExpectInternalError(run, "Update");
    EXPECT_EQ(run.out.rfind(std::string(kVersionLine) + Progress(15, {1, 4, 5}) + "Result,200,", 0), 0u) << run.out;
    EXPECT_TRUE(LogHasLine(run.log, errorLine));
    EXPECT_FALSE(PathExists(L"C:\\QelProgramsApp\\app.txt")) << "the installed file was not rolled back";
}

// The driver package installer's exit codes, through a program whose
// arguments name it the way the driver stage starts it.
TEST_F(ProgramsRun, DriverPackageInstallerCodes) {
    const std::wstring dpinst = folder_.File(L"dpinst64.exe");
    CopyFileOrFail(Probe(), dpinst);
    struct Case {
        const char* switches;
        const char* code;
        DWORD result;
        std::vector<std::string> lines;
    } cases[] = {
        {"/a /f /sw /sa /path x", "0x40000001", 2,
         {"DPInst.exe returned code 0x40000001", "Install driver with DPInst.exe successfully and reboot required."}},
        {"/a /f /sw /sa /path x", "0xC0000001", 0,
         {"DPInst.exe returned code 0xc0000001", "Install driver with DPInst.exe successfully."}},
        {"/a /f /sw /sa /path x", "0x00000100", 200,
         {"DPInst.exe returned code 0x00000100", "Fail to install driver with DPInst.exe."}},
        {"/u x\\qelwl.inf /q", "0", 0, {"Uninstall driver with DPInst.exe successfully."}},
        {"/u x\\qelwl.inf /q", "3", 0, {"Fail to uninstall driver with DPInst.exe."}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.switches) + " exit " + c.code);
        const std::string arguments = Utf8(dpinst) + " " + c.switches + " exit=" + c.code;
        const SetupRunResult run =
            Install("PostRun=Driver\r\n", "[Driver]\r\n\"" + Utf8(dpinst) + "\",\"" + arguments + "\",0x8\r\n");
        EXPECT_EQ(run.exitCode, c.result) << run.log;
        for (const std::string& line : c.lines) EXPECT_TRUE(LogHasLine(run.log, line)) << line << "\n" << run.log;
        if (c.result == 200) ExpectInternalError(run, "Update");
    }
}

TEST_F(ProgramsRun, DashCEndsTheRunningProgramAndStartsNothing) {
    const std::wstring victim = folder_.File(L"qelvictim.exe");
    CopyFileOrFail(Probe(), victim);
    const std::wstring record = folder_.File(L"victim.txt");
    std::wstring commandLine = L"\"" + victim + L"\" sleep=60000 exit=7 record=" + record;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    ASSERT_TRUE(::CreateProcessW(victim.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                 nullptr, &startup, &info));
    qel::UniqueHandle process(info.hProcess), thread(info.hThread);
    ASSERT_EQ(AwaitLines(record, 1).size(), 1u);

    const SetupRunResult run =
        Install("PreRun=Stop\r\n", "[Stop]\r\n\"" + Utf8(victim) + "\",\"-c record=" + Utf8(record) + "\"\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, std::string(kVersionLine) + Progress(32, {30, 31, 32}) + "Result,0,SetupSuccess,,\r\n");
    ASSERT_EQ(::WaitForSingleObject(process.Get(), 10000), WAIT_OBJECT_0) << "the running program was not ended";
    DWORD code = 99;
    ::GetExitCodeProcess(process.Get(), &code);
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(Lines(record).size(), 1u) << "a program was started";
    EXPECT_EQ(run.log.find("CommitRunApp("), std::string::npos);
}

TEST_F(ProgramsRun, MalformedLinesEndTheRunWhileTheScriptIsRead) {
    const std::string key = "\"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QelOldWireless\"";
    const std::string cases[] = {
        "PreRun=Run\r\n[Run]\r\n" + ProbeField() + "\r\n",
        "PostRun=Run\r\n[Run]\r\n,x\r\n",
        "ConditionalSection=Rules\r\n[Rules]\r\nupgrade,," + key + ",UninstallString,,,,0,0\r\n",
        "ConditionalSection=Rules\r\n[Rules]\r\nNewerApp,Marks\r\n",
        "ConditionalSection=Rules\r\n[Rules]\r\nUpgrade,Marks," + key + ",UninstallString\r\n",
        "ConditionalSection=Rules\r\n[Rules]\r\nUpgrade,Marks," + key + ",UninstallString,,,,five,0\r\n",
        "ConditionalSection=Rules\r\n[Rules]\r\nSupportedApp\r\n",
        "ConditionalSection=NoSuchRules\r\n",
        "ConditionalSection=Rules\r\n[Rules]\r\nSupportedApp,Loop\r\n[Loop]\r\nConditionalSection=Rules\r\n",
    };
    for (const std::string& body : cases) {
        SCOPED_TRACE(body);
        // A mark that a run reaching its commit would write.
        const size_t cut = body.find("\r\n");
        const SetupRunResult run = Install(body.substr(0, cut + 2) + "AddReg=Marks\r\n",
                                           body.substr(cut + 2) + "[Marks]\r\nHKLM,SOFTWARE\\QelProgramsRun,Done,0,1,,0\r\n");
        EXPECT_EQ(run.out.find("Progress"), std::string::npos) << run.out;
        ExpectInternalError(run, "CmdLine");
        EXPECT_FALSE(Marked(L"Done"));
    }
}

// An older package of the product, found through the command in its
// uninstall entry: its program is qel_runprobe.exe, version 5.0.0.0.
class OlderPackage : public ProgramsRun {
protected:
    void SetUp() override {
        ProgramsRun::SetUp();
        CleanOld();
        ::CreateDirectoryW(kOldFolder, nullptr);
        CopyFileOrFail(TestBinDir() + L"\\qel_runprobe.exe", kOldProgram);
    }
    void TearDown() override {
        CleanOld();
        ProgramsRun::TearDown();
    }
    static void CleanOld() {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) DeleteRegTree(HKEY_LOCAL_MACHINE, kOldEntry, view);
        DeleteTree(kOldFolder);
    }
    static void Register(REGSAM view) { SetString(HKEY_LOCAL_MACHINE, kOldEntry, L"UninstallString", kOldProgram, view); }
    // Two upgrade rules and two application rules; each section they run
    // leaves its mark.
    SetupRunResult InstallWithRules(const std::string& firstRule) {
        const std::string key = "\"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QelOldWireless\"";
        return Install("ConditionalSection=Old,Apps\r\n",
                       "[Old]\r\n" + firstRule + "\r\nUpgrade,Second," + key + ",UninstallString,,,,0,0\r\n"
                       "[Apps]\r\nSupportedApp,AppOne\r\nUnsupportedDriver,AppTwo\r\n"
                       "[First]\r\nAddReg=MarkFirst\r\n[Second]\r\nAddReg=MarkSecond\r\n"
                       "[AppOne]\r\nAddReg=MarkOne\r\n[AppTwo]\r\nAddReg=MarkTwo\r\n"
                       "[MarkFirst]\r\nHKLM,SOFTWARE\\QelProgramsRun,First,0,1,,0\r\n"
                       "[MarkSecond]\r\nHKLM,SOFTWARE\\QelProgramsRun,Second,0,1,,0\r\n"
                       "[MarkOne]\r\nHKLM,SOFTWARE\\QelProgramsRun,One,0,1,,0\r\n"
                       "[MarkTwo]\r\nHKLM,SOFTWARE\\QelProgramsRun,Two,0,1,,0\r\n");
    }
    static std::string UpgradeRun(const std::string& key, const std::string& limit) {
        return "UpgradeRun,First,\"" + key + "\",UninstallString,,,\"Qel Old Company\"," + limit;
    }
    std::wstring Ran() const { return std::wstring(kOldProgram) + L".ran"; }
};

constexpr char kEntryPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QelOldWireless";

TEST_F(OlderPackage, UpToTheVersionLimitItsCommandRunsFirst) {
    Register(0);
    // Limits as major/minor in field 8, build/revision in field 9: exactly
    // 5.0.0.0, and 5.1.0.0 above it.
    for (const char* limit : {"0x00050000,0", "0x00050001,0"}) {
        SCOPED_TRACE(limit);
        ::DeleteFileW(Ran().c_str());
        DeleteRegTree(HKEY_LOCAL_MACHINE, kMarkKey);
        const SetupRunResult run = InstallWithRules(UpgradeRun(kEntryPath, limit));
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        EXPECT_EQ(run.out, std::string(kVersionLine) + Progress(32, {30, 31, 32}) + "Result,0,SetupSuccess,,\r\n");
        // The first matching upgrade rule ends its section; every
        // application rule runs.
        EXPECT_TRUE(Marked(L"First"));
        EXPECT_FALSE(Marked(L"Second"));
        EXPECT_TRUE(Marked(L"One"));
        EXPECT_TRUE(Marked(L"Two"));
        const std::string program = Utf8(kOldProgram);
        EXPECT_TRUE(LogHasLine(run.log, "PackagePresent( \"" + std::string(kEntryPath) +
                                            "\", \"UninstallString\", \"" + program +
                                            "\", \"\", \"Qel Old Company\", 0x0005000000000000 )"))
            << run.log;
        EXPECT_TRUE(LogHasLine(run.log, "ProcessUpgradePackages() running upgrade \"" + program + "\"."));
        EXPECT_TRUE(LogHasLine(run.log, "CommitRunApp( \"" + program + "\", \"\", 0x0000000c )"));
        const std::vector<std::string> ran = Lines(Ran());
        ASSERT_EQ(ran.size(), 2u) << "the old package's command did not run";
        EXPECT_EQ(ran[1], "end|0x00000000");
    }
}

TEST_F(OlderPackage, AboveTheLimitOrFromAnotherCompanyItIsNotThere) {
    Register(0);
    for (const std::string& rule : {UpgradeRun(kEntryPath, "0x00040009,0xFFFF"),
                                    "UpgradeRun,First,\"" + std::string(kEntryPath) +
                                        "\",UninstallString,,,\"Other Company\",0,0"}) {
        SCOPED_TRACE(rule);
        DeleteRegTree(HKEY_LOCAL_MACHINE, kMarkKey);
        const SetupRunResult run = InstallWithRules(rule);
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        // The second rule, without a limit, takes it; nothing is queued to run.
        EXPECT_EQ(run.out, std::string(kVersionLine) + Progress(2, {1, 2}) + "Result,0,SetupSuccess,,\r\n");
        EXPECT_FALSE(Marked(L"First"));
        EXPECT_TRUE(Marked(L"Second"));
        EXPECT_TRUE(Marked(L"One"));
        EXPECT_FALSE(PathExists(Ran()));
    }
}

// The rule's key path is opened as written: a 32-bit package's entry is
// reached through the 32-bit view's own path.
TEST_F(OlderPackage, RegistryViewsAreReachedThroughTheKeyPath) {
    Register(KEY_WOW64_32KEY);
    const std::string wowPath = "SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QelOldWireless";
    SetupRunResult run = InstallWithRules(UpgradeRun(kEntryPath, "0,0"));
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_FALSE(Marked(L"First"));
    EXPECT_FALSE(Marked(L"Second"));

    run = InstallWithRules(UpgradeRun(wowPath, "0,0"));
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(Marked(L"First"));
    EXPECT_EQ(Lines(Ran()).size(), 2u);
}

// The tray program: a path with "AIRDOCK.EXE" goes through the Task
// Scheduler; one in lower case is an ordinary program.
class TrayLaunch : public ProgramsRun {
protected:
    void SetUp() override {
        ProgramsRun::SetUp();
        original_ = ReadRegString(HKEY_LOCAL_MACHINE, kSchedulerServer, L"");
        ::DeleteFileW(kStandInLog);
        DeleteRegTree(HKEY_LOCAL_MACHINE, kStandInKey);
    }
    void TearDown() override {
        SetString(HKEY_LOCAL_MACHINE, kSchedulerServer, L"", original_);
        DeleteRegTree(HKEY_LOCAL_MACHINE, kStandInKey);
        ProgramsRun::TearDown();
    }
    // The stand-in serves the scheduler's class for the rest of the test.
    static void UseStandIn(const std::wstring& failAt = L"") {
        SetString(HKEY_LOCAL_MACHINE, kSchedulerServer, L"", TestBinDir() + L"\\qel_taskstandin.dll");
        SetString(HKEY_LOCAL_MACHINE, kSchedulerServer, L"ThreadingModel", L"Both");
        SetString(HKEY_LOCAL_MACHINE, kStandInKey, L"FailAt", failAt);
    }
    SetupRunResult InstallTray() {
        return Install("PostRun=Tray\r\n", "[Tray]\r\n\"" + Utf8(folder_.File(L"AIRDOCK.EXE")) + "\",x,0x8\r\n");
    }
    std::wstring original_;
};

// The calls of a launch as the stand-in logs them.
const std::vector<std::string> kLaunchCalls = {
    "Service.Connect vt=0,0,0,0",
    "Service.GetFolder \\",
    "Folder.DeleteTask ArdentixWirelessClient",
    "Service.NewTask 0",
    "Definition.get_RegistrationInfo",
    "Registration.put_Author Author Name",
    "Definition.get_Principal",
    "Principal.put_Id Principal1",
    "Principal.put_LogonType 3",
    "Principal.put_RunLevel 0",
    "Definition.get_Settings",
    "Settings.put_StartWhenAvailable true",
    "Definition.get_Triggers",
    "Triggers.Create 7",
    "QueryInterface.IRegistrationTrigger",
    "Trigger.put_Id Trigger1",
    "Trigger.put_Delay PT1S",
    "Definition.get_Actions",
    "Actions.Create 0",
    "QueryInterface.IExecAction",
    "Action.put_Path airdock.exe",
    "Folder.RegisterTaskDefinition ArdentixWirelessClient flags=6 user=vt0 password=vt0 logon=3 sddl=vt8:''",
};

TEST_F(TrayLaunch, WinesSchedulerRefusesTheRunLevelAndTheCommitGoesOn) {
    const SetupRunResult run = InstallTray();
    // Windows registers the task; Wine answers E_NOTIMPL for the logon type
    // (passed over) and the run level (the end of the attempt).
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, std::string(kVersionLine) + Progress(12, {1, 2, 12}) + "Result,0,SetupSuccess,,\r\n");
    const std::vector<std::string> messages = LogMessages(run.log);
    const auto first = std::find(messages.begin(), messages.end(),
                                 "CommitRunApp( \"" + Utf8(folder_.File(L"AIRDOCK.EXE")) + "\", \" x\", 0x00000008 )");
    ASSERT_NE(first, messages.end()) << run.log;
    EXPECT_EQ(std::vector<std::string>(first + 1, std::min(first + 5, messages.end())),
              (std::vector<std::string>{"Running AIRDOCK.EXE without admin mode.", "CreateProcessWithoutAdmin()",
                                        "Cannot put principal logon type: 80004001",
                                        "Cannot put principal run level: 80004001"}));
}

TEST_F(TrayLaunch, ALowerCasePathIsStartedDirectly) {
    CopyFileOrFail(Probe(), folder_.File(L"airdock.exe"));
    const SetupRunResult run =
        Install("PostRun=Tray\r\n", "[Tray]\r\n\"" + Utf8(folder_.File(L"airdock.exe")) + "\",\"record=" +
                                        Record("tray.txt") + "\",0\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(Lines(folder_.File(L"tray.txt")).size(), 2u);
    EXPECT_EQ(run.log.find("CreateProcessWithoutAdmin()"), std::string::npos);
}

TEST_F(TrayLaunch, EveryFailingStepIsLoggedWithItsResultAndTheCommitGoesOn) {
    // The stand-in fails a call with E_ACCESSDENIED, a query for an
    // interface with E_NOINTERFACE.
    struct Step {
        const char* call;
        const char* message;
    } steps[] = {
        {"Service.Connect", "ITaskService::Connect failed"},
        {"Service.GetFolder", "Cannot get Root Folder pointer"},
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
        {"Definition.get_Actions", "Cannot get Task collection pointer"},
        {"Actions.Create", "Cannot create action"},
        {"QueryInterface.IExecAction", "QueryInterface call failed for IExecAction: 80004002"},
        {"Action.put_Path", "Cannot put the action executable path"},
        {"Folder.RegisterTaskDefinition", "Error saving the Task"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.call);
        ::DeleteFileW(kStandInLog);
        UseStandIn(Wide(step.call));
        const SetupRunResult run = InstallTray();
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        const std::string message = step.message;
        EXPECT_TRUE(LogHasLine(run.log, message.find(": ") == std::string::npos ? message + ": 80070005" : message))
            << run.log;
        EXPECT_EQ(run.log.find("Success!"), std::string::npos);
        // The attempt ends at the failing call.
        const std::vector<std::string> calls = Lines(kStandInLog);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().substr(0, std::strlen(step.call)), step.call);
    }
}

TEST_F(TrayLaunch, RegisteredTaskStartsTheTrayProgramFromTheSystemFolder) {
    // The three failures that are passed over, in one run.
    UseStandIn(L"Principal.put_Id,Principal.put_LogonType,Trigger.put_Id");
    const std::wstring installed = L"C:\\windows\\system32\\airdock.exe";
    CopyFileOrFail(Probe(), installed);
    const SetupRunResult run = InstallTray();
    ::DeleteFileW(installed.c_str());

    EXPECT_EQ(run.exitCode, 0u) << run.log;
    for (const char* line : {"Cannot put the principal ID: 80070005", "Cannot put principal logon type: 80070005",
                             "Cannot put trigger ID: 80070005", "Success! Task successfully registered",
                             "Success! Task successfully deleted."})
        EXPECT_TRUE(LogHasLine(run.log, line)) << line << "\n" << run.log;
    std::vector<std::string> expected = kLaunchCalls;
    expected.push_back("Launch started C:\\windows\\system32\\airdock.exe");
    expected.push_back("Folder.DeleteTask ArdentixWirelessClient");
    EXPECT_EQ(Lines(kStandInLog), expected);
}

}  // namespace
