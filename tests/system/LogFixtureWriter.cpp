// Writes tests/fixtures/logs: logs of killed runs, uninstall logs and the
// machine state around them, made by the build this program is built with.
// The fixtures are what a later build must still recover and replay, so they
// are written once, by the build whose logs they keep, and never again by a
// later one: this program refuses a folder that is already there. Run it on
// its own (it is no part of the suite):
//   cmake --build build --target log_fixture_writer
//   tests/wine/wine-run.sh build/bin/log_fixture_writer.exe
#include "ControlledRun.h"
#include "EarlierLogs.h"

#include "Handles.h"
#include "Util.h"

#include <newdev.h>

#include <gtest/gtest.h>

#include <functional>
#include <regex>

using namespace qeltest;

namespace {

std::wstring FixtureFolder(const std::wstring& name) { return LogFixturesFolder() + L"\\" + name; }

void WriteFixture(const std::wstring& scenario, const std::wstring& file, const std::string& bytes) {
    WriteFileBytes(FixtureFolder(scenario) + L"\\" + file, bytes);
}

// The marker and rollback logs a killed run left in the Windows folder, kept
// under <scenario>\windows as they are.
void KeepWindowsLeftovers(const std::wstring& scenario) {
    for (const std::wstring& name : WindowsLeftovers())
        WriteFixture(scenario, L"windows\\" + name, ReadFileBytes(L"C:\\windows\\" + name));
}

// The last record of the rollback log that the killed run's marker names.
std::string LastRecordOfKilledRun() {
    for (const std::wstring& name : FilesMatching(L"C:\\windows\\qelwls-*.run"))
        for (const std::string& line : SplitCrLfLines(ReadFileBytes(L"C:\\windows\\" + name)))
            if (line.rfind("RollbackLog,", 0) == 0) {
                const std::vector<std::string> records = SplitCrLfLines(ReadFileBytes(Wide(line.substr(12))));
                return records.empty() ? std::string() : records.back();
            }
    return std::string();
}

std::string Utf16Script(const std::string& body) {
    const std::wstring text = Wide(Script(body));
    return std::string("\xff\xfe", 2) + std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

// An ended run's logs, listed and then recovered by this build: the listing
// and the recovery's messages are kept.
struct Recovered {
    std::string listing, messages;
};
Recovered ListAndRecover() {
    Recovered result;
    result.listing = RunProgram(L"\"" + TestBinDir() + L"\\qelkit.exe\" recover").out;
    SetupFolder idle(L"idle");
    idle.Write(L"qelwls.ini", Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n"));
    result.messages = RecoveryMessages(RunSetupProgram(idle.Exe(), L"apponly_install \"" + idle.Path() + L"\"").log);
    return result;
}

// Runs the command on a machine that `prepare` makes, killed at the latest
// flush whose last rollback record `wanted` accepts; a run killed elsewhere
// is recovered and the machine made again.
// `release` lets go of what `prepare` holds, after each run.
void KillWhere(const std::function<void()>& prepare, const std::function<void()>& release,
               const std::wstring& commandLine, const std::function<bool(const std::string&)>& wanted) {
    prepare();
    const int flushes = RunControlled(commandLine, RecordAction::None, 0).flushes;
    release();
    for (int k = flushes; k >= 1; --k) {
        prepare();
        ASSERT_EQ(RunControlled(commandLine, RecordAction::Kill, k).exitCode, kKilledExitCode);
        release();
        if (wanted(LastRecordOfKilledRun())) return;
        ListAndRecover();
    }
    FAIL() << "no kill left the wanted record last";
}

// --- a script whose paths and names hold commas, percent signs and
// characters beyond ASCII, installed over an earlier version ---------------
const char kOddScript[] =
    "[Setup]\r\n"
    "UninstallLog=\"%16422%\\Qel, 100%% W\xc3\xa4re\\Uninstall\\qelwls.log\"\r\n"
    "[DestinationDirs]\r\n"
    "AppFiles=16422,\"Qel, 100%% W\xc3\xa4re\"\r\n"
    "OldFiles=16422,\"Qel, 100%% W\xc3\xa4re\"\r\n"
    "NewFiles=16422,\"Qel, 100%% W\xc3\xa4re\\N\xc3\xa9w \xe2\x9a\x99 1%%\"\r\n"
    "SharedFiles=16427,\"Qel, 100%% W\xc3\xa4re\"\r\n"
    "[Install]\r\n"
    "DriverInf=Driver\\qelwl.inf\r\n"
    "DelFiles=OldFiles\r\n"
    "CopyFiles=AppFiles,NewFiles,SharedFiles\r\n"
    "DelReg=RegRemove\r\n"
    "AddReg=RegAdd\r\n"
    "AddLinks=Links\r\n"
    "DelDirs=Dirs\r\n"
    "UninstallLog=\r\n"
    "[OldFiles]\r\n\"old, 1%%.txt\"\r\n"
    "[AppFiles]\r\n"
    "a.txt,,,0x4\r\n"
    "b.txt,,,0x0\r\n"
    "\"c, d.txt\",,,0x6\r\n"
    "\"in use.txt\",,,0x4\r\n"
    "kept.txt,,,0x10\r\n"
    "quiet.txt,,,0x40000004\r\n"
    "[NewFiles]\r\n\"100%% e.txt\",,,0x4\r\n"
    "[SharedFiles]\r\n\"qelshared, 1.dll\",,,0x80000004\r\n"
    "[RegRemove]\r\n"
    "HKLM,\"SOFTWARE\\QelJournal\\Old, 1%%\",,0\r\n"
    "HKLM,\"SOFTWARE\\QelJournal\\W\xc3\xa4re\",\"gone, 1\",0\r\n"
    "[RegAdd]\r\n"
    "HKLM,\"SOFTWARE\\QelJournal\\W\xc3\xa4re\",\"a,b|c%%d\",0,\"new text\",,0\r\n"
    "HKLM,\"SOFTWARE\\QelJournal\\W\xc3\xa4re\",Changed,0x10001,2,,0\r\n"
    "HKLM,\"SOFTWARE\\QelJournal\\W\xc3\xa4re\\New, 1%%\\Deeper\",Number,0x10001,5,,0\r\n"
    "[Links]\r\n"
    "\"%16407%\\Qel, 100%% W\xc3\xa4re\",\"W\xc3\xa4re, 1\",\"%16422%\\Qel, 100%% W\xc3\xa4re\\a.txt\",,,,0,,\r\n"
    "[Dirs]\r\n"
    "\"%16422%\\Qel, 100%% W\xc3\xa4re\\Old tree, 1%%\",1\r\n"
    "\"%16422%\\Qel, 100%% W\xc3\xa4re\\Empty \xc3\xbc\",0\r\n"
    "\"%16407%\\Qel, 100%% W\xc3\xa4re\\Gone \xc3\xbc\",2\r\n"
    "[Uninstall]\r\nDelReg=UninstallReg\r\n"
    "[UninstallReg]\r\nHKLM,\"SOFTWARE\\QelJournal\\W\xc3\xa4re\\New, 1%%\",,0\r\n";

// What the earlier version left: files to replace, remove and keep, an old
// uninstall log and shortcut, folders and a shortcut for the clean-up, a key
// tree (with a registry link) and a value to delete, a value to change, and
// the shared file's count.
const char kOddBefore[] =
    "dir\tC:\\Program Files\\Common Files\\Qel, 100% W\xc3\xa4re\n"
    "dir\tC:\\Program Files\\Qel, 100% W\xc3\xa4re\\Empty \xc3\xbc\n"
    "file\tC:\\Program Files\\Qel, 100% W\xc3\xa4re\\b.txt\told b%0D%0A\n"
    "file\tC:\\Program Files\\Qel, 100% W\xc3\xa4re\\in use.txt\told in use%0D%0A\n"
    "file\tC:\\Program Files\\Qel, 100% W\xc3\xa4re\\kept.txt\told kept%0D%0A\n"
    "file\tC:\\Program Files\\Qel, 100% W\xc3\xa4re\\old, 1%.txt\told file%0D%0A\n"
    "file\tC:\\Program Files\\Qel, 100% W\xc3\xa4re\\Old tree, 1%\\x.txt\ttree file%0D%0A\n"
    "file\tC:\\Program Files\\Qel, 100% W\xc3\xa4re\\Uninstall\\qelwls.log\t"
    "CopyFile,C:\\old\\a.txt,C:\\Program Files\\Qel| 100%25 W\xc3\xa4re\\a.txt,0x00000004%0D%0A\n"
    "file\tC:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Qel, 100% W\xc3\xa4re\\Gone \xc3\xbc.lnk\t"
    "a link to remove\n"
    "file\tC:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Qel, 100% W\xc3\xa4re\\W\xc3\xa4re, 1.lnk\t"
    "an older link\n"
    "key\tHKLM\\SOFTWARE\\QelJournal\\Old, 1%\\Sub \xc3\xbc\n"
    "value\tHKLM\\SOFTWARE\\QelJournal\\Old, 1%\\Sub \xc3\xbc\tbin, 1%\t3\t%01%02%FF\n"
    "key\tHKLM\\SOFTWARE\\QelJournal\\Old, 1%\\Link\n"
    "value\tHKLM\\SOFTWARE\\QelJournal\\Old, 1%\\Link\tSymbolicLinkValue\t6\t"
    "\\%00R%00e%00g%00i%00s%00t%00r%00y%00\\%00M%00a%00c%00h%00i%00n%00e%00\\%00S%00O%00F%00T%00W%00A%00R%00E%00\\%00"
    "Q%00e%00l%00T%00a%00r%00g%00e%00t%00\n"
    "value\tHKLM\\SOFTWARE\\QelJournal\\Old, 1%\tv,1\t1\tx%00%00%00\n"
    "value\tHKLM\\SOFTWARE\\QelJournal\\W\xc3\xa4re\tgone, 1\t1\tb%00y%00e%00%00%00\n"
    "value\tHKLM\\SOFTWARE\\QelJournal\\W\xc3\xa4re\tChanged\t4\t%01%00%00%00\n"
    "value\tHKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs\t"
    "C:\\Program Files\\Common Files\\Qel, 100% W\xc3\xa4re\\qelshared, 1.dll\t4\t%01%00%00%00\n";

class OddPaths {
public:
    OddPaths() : folder_(L"odd_paths") {
        folder_.Write(L"qelwls.ini", Utf16Script(kOddScript));
        for (const char* name : {"a.txt", "b.txt", "c, d.txt", "in use.txt", "kept.txt", "quiet.txt", "100% e.txt",
                                 "qelshared, 1.dll"})
            folder_.Write(Wide(name), std::string("new ") + name + "\r\n");
    }
    void Prepare() const { LoadMachine(kOddRoots, kOddBefore); }
    std::wstring Command(const wchar_t* command) const {
        return L"\"" + folder_.Exe() + L"\" " + command + L" \"" + folder_.Path() + L"\"";
    }
    SetupRunResult Run(const wchar_t* command) const {
        return RunSetupProgram(folder_.Exe(), std::wstring(command) + L" \"" + folder_.Path() + L"\"");
    }
    // The install, killed where `wanted` says, with a file it replaces held
    // open by another program.
    void KillInstall(const std::wstring& scenario, const std::function<bool(const std::string&)>& wanted) const {
        qel::UniqueHandle held;
        const auto prepare = [&] {
            Prepare();
            held.Reset(::CreateFileW((kOddApp + L"\\in use.txt").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
        };
        KillWhere(prepare, [&] { held.Reset(); }, Command(L"apponly_install"), wanted);
        WriteFixture(scenario, L"at-kill.state", DumpMachine(kOddRoots));
        KeepWindowsLeftovers(scenario);
        const Recovered recovered = ListAndRecover();
        WriteFixture(scenario, L"recover.txt", recovered.listing);
        WriteFixture(scenario, L"recovery.txt", recovered.messages);
        WriteFixture(scenario, L"after.state", DumpMachine(kOddRoots));
    }

private:
    SetupFolder folder_;
};

TEST(LogFixtures, OddPaths) {
    ASSERT_FALSE(PathExists(FixtureFolder(L"odd-paths"))) << "fixtures are written once, by the build they keep";
    OddPaths odd;
    WriteFixture(L"odd-paths", L"qelwls.ini", Utf16Script(kOddScript));
    WriteFixture(L"odd-paths", L"before.state", kOddBefore);
    odd.KillInstall(L"odd-paths\\killed-mid-commit",
                    [](const std::string& last) { return last.rfind("NewLink,", 0) == 0; });
    odd.KillInstall(L"odd-paths\\killed-in-cleanup", [](const std::string& last) { return last == "Committed"; });

    // Installed whole, then uninstalled: the uninstall log replayed.
    odd.Prepare();
    const SetupRunResult install = odd.Run(L"apponly_install");
    ASSERT_EQ(install.exitCode, 0u) << install.log;
    const std::wstring scenario = L"odd-paths\\uninstall";
    WriteFixture(scenario, L"installed.state", DumpMachine(kOddRoots));
    WriteFixture(scenario, L"uninstall.log", ReadFileBytes(kOddApp + L"\\Uninstall\\qelwls.log"));
    const SetupRunResult uninstall = odd.Run(L"uninstall");
    ASSERT_EQ(uninstall.exitCode, 0u) << uninstall.log;
    WriteFixture(scenario, L"trace.txt", ReplayMessages(uninstall.log));
    WriteFixture(scenario, L"after.state", DumpMachine(kOddRoots));
    LoadMachine(kOddRoots, "");
}

TEST(LogFixtures, SamplePackage) {
    ASSERT_FALSE(PathExists(FixtureFolder(L"sample"))) << "fixtures are written once, by the build they keep";
    CleanMachine();
    SamplePackage package(L"sample");
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    WriteFixture(L"sample", L"uninstall.log", ReadFileBytes(kUninstallLog));
    const SetupRunResult uninstall = package.Run(L"uninstall");
    ASSERT_EQ(uninstall.exitCode, 0u) << uninstall.log;
    WriteFixture(L"sample", L"trace.txt", ReplayMessages(uninstall.log));
    CleanMachine();
}

// --- the driver package on both roads, with the device stand-ins ------------
const wchar_t kNetClass[] = L"{4D36E972-E325-11CE-BFC1-08002BE10318}";
const wchar_t kPciAdapter[] = L"PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028&REV_03\\4&1234&0&00E0";
const wchar_t kDriverLog[] = L"C:\\Program Files\\QelDrv\\Uninstall\\qelwls.log";

// The driver script of the driver tests; a failing program after the
// changes makes every run roll back, so that each kill starts from the same
// machine.
std::string DriverScript(bool failing, bool withInstaller) {
    return Script(std::string("[Setup]\r\n"
                              "UninstallLog=%16422%\\QelDrv\\Uninstall\\qelwls.log\r\n"
                              "DefaultInstallPath=%16422%\\QelDrv\r\n"
                              "DriverStore=%16422%\\QelDrv\\Driver\r\n"
                              "[DestinationDirs]\r\nAppFiles=16422,\"QelDrv\"\r\n"
                              "[Install]\r\nDriverInf=Driver\\qelwl.inf\r\nCopyFiles=AppFiles\r\n"
                              "AddReg=DriverValues\r\n") +
                  (failing ? "PostRun=Missing\r\n" : "") +
                  "UninstallLog=\r\n"
                  "[AppFiles]\r\napp.txt,,,0x4\r\n" + (withInstaller ? "dpinst64.exe,,,0x4\r\n" : "") +
                  "[DriverValues]\r\nHKR,,QelTestSetting,0x10001,7,,0\r\n"
                  "[Missing]\r\nmissing.exe,,0\r\n[Uninstall]\r\n");
}

class Drivers {
public:
    Drivers() : folder_(L"drivers") {
        InstallDeviceStandIns();
        WriteFileBytes(L"C:\\windows\\inf\\qelwl.inf", "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\n");
        folder_.Write(L"app.txt", "application file\n");
        CopyFileOrFail(BuiltPackageFolder() + L"\\dpinst64.exe", folder_.File(L"dpinst64.exe"));
        CopyPackage(L"Driver", "1.0.0.1");
        CopyPackage(L"Older", "0.9.0.0");
        AddFakeDevice(kPciAdapter,
                      {L"PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028&REV_03", L"PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028",
                       L"PCI\\VEN_1D6A&DEV_4360&REV_03", L"PCI\\VEN_1D6A&DEV_4360"},
                      kNetClass, L"Qel adapter");
        // The adapter runs an older package that some other setup put there.
        qel::UniqueLibrary newdev(::LoadLibraryW(L"C:\\windows\\system32\\newdev.dll"));
        const auto update = reinterpret_cast<decltype(&UpdateDriverForPlugAndPlayDevicesW)>(
            reinterpret_cast<void*>(::GetProcAddress(newdev.Get(), "UpdateDriverForPlugAndPlayDevicesW")));
        BOOL reboot = FALSE;
        EXPECT_TRUE(update && update(nullptr, L"PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028&REV_03",
                                     folder_.File(L"Older\\qelwl.inf").c_str(), INSTALLFLAG_FORCE, &reboot));
    }
    // A failing install killed at its last record, listed and recovered.
    void KillInstall(const std::wstring& scenario, bool withInstaller) {
        folder_.Write(L"qelwls.ini", DriverScript(true, withInstaller));
        const std::wstring command = L"\"" + folder_.Exe() + L"\" install \"" + folder_.Path() + L"\"";
        KillWhere([] {}, [] {}, command, [](const std::string& last) { return last != "Committed"; });
        KeepWindowsLeftovers(scenario);
        WriteFixture(scenario, L"recover.txt", ListAndRecover().listing);
    }
    SetupRunResult Run(const wchar_t* command) {
        folder_.Write(L"qelwls.ini", DriverScript(false, false));
        return RunSetupProgram(folder_.Exe(), std::wstring(command) + L" \"" + folder_.Path() + L"\"");
    }

private:
    void CopyPackage(const std::wstring& into, const std::string& version) {
        std::string inf = ReadFileBytes(BuiltPackageFolder() + L"\\Driver\\qelwl.inf");
        inf = std::regex_replace(inf, std::regex("DriverVer=[^\r\n]*"), "DriverVer=12/07/2026," + version);
        folder_.Write(into + L"\\qelwl.inf", inf);
        for (const wchar_t* file : {L"qelwl.sys", L"qelwl.cat"})
            CopyFileOrFail(BuiltPackageFolder() + L"\\Driver\\" + file, folder_.File(into + L"\\" + file));
    }
    SetupFolder folder_;
};

// Before Vista the device updates and the copies kept of replaced INFs, and
// the uninstall log of a whole install; from Vista on the package
// installer's record.
TEST(LogFixtures, Drivers) {
    for (const bool fromVista : {false, true}) {
        const std::wstring scenario = fromVista ? L"drivers-from-vista" : L"drivers-before-vista";
        ASSERT_FALSE(PathExists(FixtureFolder(scenario))) << "fixtures are written once, by the build they keep";
        SetWindowsVersion(L"qelwls64.exe", fromVista ? L"win10" : L"winxp64");
        Drivers drivers;
        drivers.KillInstall(scenario, fromVista);
        if (fromVista) continue;
        ASSERT_EQ(drivers.Run(L"install").exitCode, 0u);
        WriteFixture(scenario, L"uninstall.log", ReadFileBytes(kDriverLog));
        EXPECT_EQ(drivers.Run(L"uninstall").exitCode, 0u);
    }
    SetWindowsVersion(L"qelwls64.exe", L"");
}

}  // namespace
