// The adapter's driver package through the real program: before Vista the INF
// store and the device update (install, upgrade, uninstall, a failure undone),
// from Vista on the driver package installer with its command lines and exit
// codes. The test prefix gets stand-ins for the device binding and the
// configuration manager, which Wine only stubs; fake adapters are present
// hardware written into the Enum key.
#include "PackageFixture.h"

#include "Handles.h"

#include <newdev.h>

#include <gtest/gtest.h>

#include <regex>
#include <tuple>

using namespace qeltest;

namespace {

const wchar_t kNetClass[] = L"{4D36E972-E325-11CE-BFC1-08002BE10318}";
const wchar_t kPciAdapter[] = L"PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028&REV_03\\4&1234&0&00E0";
const wchar_t kUsbAdapter[] = L"USB\\VID_2B9E&PID_BD1E\\0001";
const wchar_t kAppFolderPath[] = L"C:\\Program Files\\QelDrv";
const wchar_t kStore[] = L"C:\\Program Files\\QelDrv\\Driver";
const wchar_t kDriverLog[] = L"C:\\Program Files\\QelDrv\\Uninstall\\qelwls.log";

std::wstring SamplePackageFile(const std::wstring& relative) { return BuiltPackageFolder() + L"\\" + relative; }

bool RegKeyExists(const std::wstring& subkey) {
    qel::UniqueKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

// Binds the devices with the hardware id to an INF as another setup would;
// 0 or the error.
DWORD StandInUpdateDriver(const std::wstring& hardwareId, const std::wstring& inf) {
    qel::UniqueLibrary newdev(::LoadLibraryW(L"C:\\windows\\system32\\newdev.dll"));
    const auto update = reinterpret_cast<decltype(&UpdateDriverForPlugAndPlayDevicesW)>(
        reinterpret_cast<void*>(::GetProcAddress(newdev.Get(), "UpdateDriverForPlugAndPlayDevicesW")));
    BOOL reboot = FALSE;
    if (!update) return ERROR_PROC_NOT_FOUND;
    return update(nullptr, hardwareId.c_str(), inf.c_str(), INSTALLFLAG_FORCE, &reboot) ? 0 : ::GetLastError();
}

// The script of the tests; `withInstaller` also installs the driver package
// installer where [Setup] DefaultInstallPath says.
std::string DriverScript(const std::string& installExtra = "", const std::string& sections = "",
                         bool withInstaller = false) {
    return Script(
        "[Setup]\r\n"
        "UninstallLog=%16422%\\QelDrv\\Uninstall\\qelwls.log\r\n"
        "DefaultInstallPath=%16422%\\QelDrv\r\n"
        "DriverStore=%16422%\\QelDrv\\Driver\r\n"
        "[DestinationDirs]\r\nAppFiles=16422,\"QelDrv\"\r\n"
        "[Install]\r\nDriverInf=Driver\\qelwl.inf\r\nCopyFiles=AppFiles\r\nAddReg=DriverValues\r\n" +
        installExtra +
        "UninstallLog=\r\n"
        "[AppFiles]\r\napp.txt,,,0x4\r\n" + std::string(withInstaller ? "dpinst64.exe,,,0x4\r\n" : "") +
        "[DriverValues]\r\nHKR,,QelTestSetting,0x10001,7,,0\r\n"
        "[Upgrade]\r\nDriverInf=Driver\\qelwl.inf\r\n"
        "[Uninstall]\r\n" +
        sections);
}

// A folder whose script has nothing to do: its run undoes a killed run
// first.
const SetupFolder& IdleFolder() {
    static const SetupFolder idle = [] {
        SetupFolder folder(L"drivers_idle");
        folder.Write(L"qelwls.ini", Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n"));
        return folder;
    }();
    return idle;
}

// The same with a program after the changes that cannot be started: the
// run fails once every change is made.
std::string FailingDriverScript(bool withInstaller = false) {
    return DriverScript("PostRun=Missing\r\n", "[Missing]\r\nC:\\qeltests\\missing.exe,,0\r\n", withInstaller);
}

std::wstring DeviceInf(const std::wstring& instance) {
    const std::wstring key = DriverKeyPath(instance);
    return key.empty() ? L"" : ReadRegString(HKEY_LOCAL_MACHINE, key, L"InfPath");
}

// The adapter as a PCI bus lists it: its most specific id first, down to
// vendor and device, which the package's model names.
void AddPciAdapter() {
    AddFakeDevice(kPciAdapter,
                  {L"PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028&REV_03", L"PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028",
                   L"PCI\\VEN_1D6A&DEV_4360&REV_03", L"PCI\\VEN_1D6A&DEV_4360"},
                  kNetClass, L"Qel adapter");
}

std::wstring InfStore(const std::wstring& name) { return L"C:\\windows\\inf\\" + name; }

const wchar_t kKestrelStick[] = L"USB\\VID_2B9E&PID_C0DE\\0002";

// A second maker's stick that only the newest models sections list.
void AddKestrelStick() {
    AddFakeDevice(kKestrelStick, {L"USB\\VID_2B9E&PID_C0DE&REV_0001", L"USB\\VID_2B9E&PID_C0DE"}, kNetClass,
                  L"USB device");
}

// The adapter's package as the driver kit stamps it today (several makers,
// architectures and Windows versions); `windows10Only` drops its sections
// for Windows 7 and Server 2003.
void CopyWdkPackage(const SetupFolder& folder, bool windows10Only) {
    CopyTree(TestBinDir() + L"\\wdk\\Driver", folder.File(L"Driver"));
    if (!windows10Only) return;
    const std::string inf = ReadFileBytes(folder.File(L"Driver\\qelwl.inf"));
    folder.Write(L"Driver\\qelwl.inf", std::regex_replace(inf, std::regex(", NTamd64\\.6\\.1, NTamd64\\.5\\.2"), ""));
}

// What a driver install can change: the product's folder, the INF store,
// the devices with their driver keys, the setup's install count, and the
// Windows folder's leftovers of a run. (The drivers' services and images
// stay when their devices go, on Windows too; Wine also keeps the driver key
// of a device it removes, which Windows deletes: only the driver keys that
// devices name are compared.)
MachineState SnapshotDriverMachine() {
    MachineState state;
    AddFilesBelow(kAppFolderPath, state.files);
    AddInfStore(state);
    for (const wchar_t* bus : {L"PCI", L"USB"})
        AddRegistryBelow(HKEY_LOCAL_MACHINE, std::wstring(L"SYSTEM\\CurrentControlSet\\Enum\\") + bus, state.registry);
    for (const auto& [path, value] : RegistrySnapshot(state.registry)) {
        const std::wstring suffix = L"\\Driver";
        if (path.size() <= suffix.size() || path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::wstring driver(reinterpret_cast<const wchar_t*>(value.data.data()), value.data.size() / 2);
        AddRegistryBelow(HKEY_LOCAL_MACHINE,
                         L"SYSTEM\\CurrentControlSet\\Control\\Class\\" + std::wstring(driver.c_str()),
                         state.registry);
    }
    state.registry[L"QelSetup"] = ReadRegValue(HKEY_LOCAL_MACHINE, kSharedDllsKey, L"QelSetup");
    state.windowsLeftovers = WindowsLeftovers();
    // The device stand-in's own copy of an INF beside the package stays
    // where a run is killed in the middle of a device install: it is the
    // stand-in's, not the run's.
    for (auto file = state.files.begin(); file != state.files.end();)
        file = file->first.find(L"\\qelstandin") != std::wstring::npos ? state.files.erase(file) : std::next(file);
    return state;
}

// The OEM name a record "CopyInf,<staged INF>,<oem name>" of the log gives.
std::wstring OemNameIn(const std::string& uninstallLog) {
    std::smatch match;
    if (!std::regex_search(uninstallLog, match, std::regex("CopyInf,[^,]+\\\\qelwl\\.inf,(oem[0-9]+\\.inf)\r\n")))
        return L"";
    return Wide(match[1]);
}

// Another maker's INF of the same name in the store. Wine names a copy after
// its own file unless the name is taken, Windows always "oem<N>.inf": with
// the name taken Wine gives the package an OEM name too.
const wchar_t kOtherInf[] = L"C:\\windows\\inf\\qelwl.inf";

class DriverPackage : public ::testing::Test {
protected:
    void SetUp() override {
        InstallDeviceStandIns();
        WriteFileBytes(kOtherInf, "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Printer\r\n");
        folder_ = std::make_unique<SetupFolder>(L"drivers");
        folder_->Write(L"app.txt", "application file\n");
        CopyDriverPackage(L"Driver", "1.0.0.1");
    }
    void TearDown() override {
        SetWindowsVersion(L"qelwls64.exe", L"");
        RemoveFakeDevice(kPciAdapter);
        RemoveFakeDevice(kUsbAdapter);
        RemoveFakeDevice(kKestrelStick);
        SetWindowsVersion(L"dpinst64.exe", L"");
        DeleteTree(kAppFolderPath);
        ::DeleteFileW(kOtherInf);
        folder_.reset();
    }
    // The sample's driver package, with its version line set.
    void CopyDriverPackage(const std::wstring& into, const std::string& version) {
        std::string inf = ReadFileBytes(SamplePackageFile(L"Driver\\qelwl.inf"));
        inf = std::regex_replace(inf, std::regex("DriverVer=[^\r\n]*"), "DriverVer=12/07/2026," + version);
        folder_->Write(into + L"\\qelwl.inf", inf);
        for (const wchar_t* file : {L"qelwl.sys", L"qelwl.cat"})
            CopyFileOrFail(SamplePackageFile(std::wstring(L"Driver\\") + file), folder_->File(into + L"\\" + file));
    }
    // The PCI adapter runs an older package that some other setup put
    // there; the USB adapter is plugged in and has no driver.
    void AddAdapterOnAnOlderPackageAndOneWithoutDriver() {
        AddPciAdapter();
        AddFakeDevice(kUsbAdapter, {L"USB\\VID_2B9E&PID_BD1E&REV_0100", L"USB\\VID_2B9E&PID_BD1E"}, kNetClass,
                      L"Qel USB adapter");
        KeepFakeDevicePluggedIn(kUsbAdapter);
        CopyDriverPackage(L"Older", "0.9.0.0");
        ASSERT_EQ(
            StandInUpdateDriver(L"PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028&REV_03", folder_->File(L"Older\\qelwl.inf")),
            0u);
    }
    // The install of the folder killed at each record.
    KilledRuns KilledInstall() const {
        KilledRuns runs;
        runs.command = L"\"" + folder_->Exe() + L"\" install \"" + folder_->Path() + L"\"";
        runs.snapshot = SnapshotDriverMachine;
        return runs;
    }
    SetupRunResult Run(const std::wstring& command, const std::wstring& more = L"") {
        std::wstring args = command + L" \"" + folder_->Path() + L"\"";
        if (!more.empty()) args += L" " + more;
        return RunSetupProgram(folder_->Exe(), args);
    }
    std::unique_ptr<SetupFolder> folder_;
};

std::string Progress(int total, std::initializer_list<int> done) {
    std::string lines;
    for (int each : done) lines += "Progress," + std::to_string(total) + "," + std::to_string(each) + "\r\n";
    return lines;
}

TEST_F(DriverPackage, BeforeVistaTheInfIsStagedAndThePresentAdapterTakesIt) {
    SetWindowsVersion(L"qelwls64.exe", L"winxp64");
    AddPciAdapter();
    folder_->Write(L"qelwls.ini", DriverScript());

    SetupRunResult run = Run(L"install");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    // Files: catalog, driver image, INF, app.txt, the script (3 each) and the
    // log's move (3); the INF pair (5 + 5); the device update (200); the two
    // registry stages. Stage 6 reports the INF (10), the re-enumeration and
    // the update (100 each).
    EXPECT_EQ(run.out, kVersionLine + Progress(230, {1, 4, 7, 10, 13, 16, 19, 29, 129, 229, 230}) +
                           "Result,0,SetupSuccess,,\r\n");
    const std::string uninstallLog = ReadFileBytes(kDriverLog);
    const std::wstring oem = OemNameIn(uninstallLog);
    ASSERT_FALSE(oem.empty()) << uninstallLog;
    EXPECT_NE(uninstallLog.find("CopyInf," + Utf8(kStore) + "\\qelwl.inf," + Utf8(oem) + "\r\n"), std::string::npos);
    EXPECT_TRUE(PathExists(InfStore(oem)));
    for (const char* line : {"ProcessDrivers: driver catalog is unsigned", "Found pnp ID \"PCI\\VEN_1D6A&DEV_4360\"",
                             "Triggering reenumeration"})
        EXPECT_TRUE(LogHasLine(run.log, line)) << line << "\n" << run.log;
    // Only the present adapter is updated; the SDIO and USB models have no
    // device here.
    EXPECT_TRUE(std::regex_search(run.log, std::regex("CommitDriverUpdate\\(\\): Found device \"pci\\\\ven_1d6a&dev_4360&"
                                                      "subsys_00001028&rev_03\"")))
        << run.log;
    EXPECT_EQ(DeviceInf(kPciAdapter), oem);
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, DriverKeyPath(kPciAdapter), L"QelTestSetting"),
              (RegValue{true, REG_DWORD, {7, 0, 0, 0}}));
    EXPECT_TRUE(RegKeyExists(L"SYSTEM\\CurrentControlSet\\Services\\qelwl"));

    // installed -> clean: the device that uses the OEM INF goes, then the INF.
    // (Wine's SetupDiSetClassInstallParams is a stub that fails, so the
    // device's removal stops there and it stays; Windows removes it.)
    run = Run(L"uninstall");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    for (const std::string& line : {std::string("UninstallDriverMatchingInf(): deviceId matched"),
                                    std::string("RemoveDevInst(): SetupDiSetClassInstallParams failed"),
                                    "RemoveInf( \"" + Utf8(oem) + "\" )"})
        EXPECT_TRUE(LogHasLine(run.log, line)) << line << "\n" << run.log;
    EXPECT_FALSE(PathExists(InfStore(oem)));
    EXPECT_FALSE(PathExists(InfStore(oem.substr(0, oem.size() - 4) + L".pnf")));
    EXPECT_FALSE(PathExists(std::wstring(kStore) + L"\\qelwl.inf"));
}

// A package stamped for Windows 10, 7 and Server 2003 on several
// architectures: before Vista the run reads it as Server 2003 x64 does, so
// the adapter takes the driver of that section and the stick that only the
// newest sections list is not looked for.
TEST_F(DriverPackage, BeforeVistaAPackageForSeveralSystemsBindsTheAdapterByItsServer2003Section) {
    SetWindowsVersion(L"qelwls64.exe", L"winxp64");
    AddPciAdapter();
    AddKestrelStick();
    CopyWdkPackage(*folder_, false);
    folder_->Write(L"qelwls.ini", DriverScript());

    const SetupRunResult run = Run(L"install");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, kVersionLine + Progress(230, {1, 4, 7, 10, 13, 16, 19, 29, 129, 229, 230}) +
                           "Result,0,SetupSuccess,,\r\n");
    std::vector<std::string> found;
    for (const std::string& line : LogMessages(run.log))
        if (line.rfind("Found pnp ID", 0) == 0) found.push_back(line);
    EXPECT_EQ(found, std::vector<std::string>{"Found pnp ID \"PCI\\VEN_1D6A&DEV_4360\""});
    const std::wstring oem = OemNameIn(ReadFileBytes(kDriverLog));
    ASSERT_FALSE(oem.empty());
    EXPECT_EQ(DeviceInf(kPciAdapter), oem);
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, DriverKeyPath(kPciAdapter), L"DriverDesc"), L"Qel Wireless PCIe Adapter");
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, DriverKeyPath(kPciAdapter) + L"\\Ndi", L"Service"), L"qelwl");
    EXPECT_EQ(DriverKeyPath(kKestrelStick), L"");
    EXPECT_EQ(ReadFileBytes(InfStore(oem)), ReadFileBytes(folder_->File(L"Driver\\qelwl.inf")));
}

// From Vista on the package installer reads the package as Windows does: on
// Windows 10 it binds the adapter and the stick; on Windows 7 a package made
// for Windows 10 only has nothing for the system, the installer stages
// nothing, and the run fails and leaves the machine as it was.
TEST_F(DriverPackage, FromVistaAWindows10PackageBindsOnWindows10AndFailsWholeOnWindows7) {
    AddPciAdapter();
    AddKestrelStick();
    CopyWdkPackage(*folder_, true);
    CopyFileOrFail(SamplePackageFile(L"dpinst64.exe"), folder_->File(L"dpinst64.exe"));
    folder_->Write(L"qelwls.ini", DriverScript("", "", true));

    SetWindowsVersion(L"qelwls64.exe", L"win7");
    SetWindowsVersion(L"dpinst64.exe", L"win7");
    const MachineState before = SnapshotDriverMachine();
    SetupRunResult run = Run(L"install");
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    const std::string staged = Utf8(kStore) + "\\qelwl.inf";
    for (const std::string& line : {"DPInst.exe: error: " + staged +
                                        " was not staged: it has no models section for x64 Windows 6.1 build 7601",
                                    std::string("Fail to install driver with DPInst.exe.")})
        EXPECT_TRUE(LogHasLine(run.log, line)) << line << "\n" << run.log;
    const MachineState after = SnapshotDriverMachine();
    EXPECT_TRUE(after == before) << DescribeDifferences(before, after);

    SetWindowsVersion(L"qelwls64.exe", L"win10");
    SetWindowsVersion(L"dpinst64.exe", L"win10");
    run = Run(L"install");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.log, match, std::regex("DPInst.exe: staged [^\r\n]*qelwl.inf as ([^\r\n]+)")))
        << run.log;
    const std::string stored = match[1];
    for (const std::wstring& device : {std::wstring(kPciAdapter), std::wstring(kKestrelStick)}) {
        EXPECT_TRUE(LogHasLine(run.log, "DPInst.exe: updated device " + Utf8(device) + " to " + stored)) << run.log;
        EXPECT_EQ(DeviceInf(device), Wide(stored));
    }
    EXPECT_TRUE(LogHasLine(run.log, "Install driver with DPInst.exe successfully.")) << run.log;

    // installed -> the package and the devices on it gone.
    run = Run(L"uninstall");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    for (const std::wstring& device : {std::wstring(kPciAdapter), std::wstring(kKestrelStick)})
        EXPECT_TRUE(LogHasLine(run.log, "DPInst.exe: removed device " + Utf8(device))) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "Uninstall driver with DPInst.exe successfully.")) << run.log;
    EXPECT_FALSE(PathExists(InfStore(Wide(stored))));
}

TEST_F(DriverPackage, BeforeVistaAnUpgradeReplacesTheInfTheDeviceNoLongerUses) {
    SetWindowsVersion(L"qelwls64.exe", L"winxp64");
    AddPciAdapter();
    folder_->Write(L"qelwls.ini", DriverScript());
    const SetupRunResult install = Run(L"install");
    ASSERT_EQ(install.exitCode, 0u) << install.log;
    const std::wstring oldOem = DeviceInf(kPciAdapter);
    ASSERT_FALSE(oldOem.empty());

    CopyDriverPackage(L"Driver", "2.0.0.0");
    const SetupRunResult run = Run(L"upgrade");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    const std::wstring newOem = DeviceInf(kPciAdapter);
    EXPECT_NE(newOem, oldOem);
    // The replay keeps the old INF while the device uses it; the driver stage
    // removes it once the device has moved to the new one.
    EXPECT_TRUE(PathExists(InfStore(newOem)));
    EXPECT_FALSE(PathExists(InfStore(oldOem)));
}

// Two adapters: one runs an older package that some other setup put there,
// the other has no driver yet. A failure after the driver stage gives the
// first its own driver back and leaves the second without one (removed, and
// found again once the new package has left the store), and the machine is
// as it was.
TEST_F(DriverPackage, AFailureAfterTheDriverStageGivesEachAdapterTheDriverItHad) {
    SetWindowsVersion(L"qelwls64.exe", L"winxp64");
    AddAdapterOnAnOlderPackageAndOneWithoutDriver();
    const std::wstring older = DeviceInf(kPciAdapter);
    const MachineState before = SnapshotDriverMachine();

    folder_->Write(L"qelwls.ini", FailingDriverScript());
    const SetupRunResult run = Run(L"install");
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "RollbackDriverUpdate(): RemoveDevice( \"USB\\VID_2B9E&PID_BD1E&REV_0100\" ), it "
                                    "had no driver"))
        << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "Triggering reenumeration")) << run.log;
    EXPECT_EQ(DeviceInf(kPciAdapter), older) << run.log;
    EXPECT_EQ(DeviceInf(kUsbAdapter), L"") << run.log;
    const MachineState after = SnapshotDriverMachine();
    EXPECT_TRUE(after == before) << DescribeDifferences(before, after);
    EXPECT_FALSE(PathExists(kDriverLog));
}

// The same two adapters; the run is killed at each record it makes, its
// driver steps among them (the new package into the store, each device's
// update, the older package's removal), and the next run, with nothing of
// its own to do, undoes it first: the machine is as it was.
TEST_F(DriverPackage, BeforeVistaARunKilledAtAnyRecordIsUndoneByTheNextRun) {
    SetWindowsVersion(L"qelwls64.exe", L"winxp64");
    AddAdapterOnAnOlderPackageAndOneWithoutDriver();
    // The run fails after its last change, so that every record is made and
    // the machine is as it was for the next kill.
    folder_->Write(L"qelwls.ini", FailingDriverScript());
    ExpectEachKillUndoneByTheNextRun(KilledInstall(), IdleFolder(), SnapshotDriverMachine());
}

// From Vista on the same two adapters and the same failure: before the
// package installer runs, the run logs each device it is about to drive with
// the driver it has, and the packages new to the store. The rollback gives
// the first adapter its older package back (the installer's removal would
// have removed it), leaves the second without a driver, and takes the new
// package out of the store: the machine is as it was. Then the run killed at
// each record it makes, before and after the installer runs.
TEST_F(DriverPackage, FromVistaAFailedOrKilledRunGivesEachAdapterTheDriverItHad) {
    SetWindowsVersion(L"qelwls64.exe", L"win10");
    AddAdapterOnAnOlderPackageAndOneWithoutDriver();
    const std::wstring older = DeviceInf(kPciAdapter);
    CopyFileOrFail(SamplePackageFile(L"dpinst64.exe"), folder_->File(L"dpinst64.exe"));
    folder_->Write(L"qelwls.ini", FailingDriverScript(true));
    const MachineState before = SnapshotDriverMachine();

    const SetupRunResult run = Run(L"install");
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "Install driver with DPInst.exe successfully.")) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "RollbackDriverUpdate(): RemoveDevice( \"USB\\VID_2B9E&PID_BD1E&REV_0100\" ), it "
                                    "had no driver"))
        << run.log;
    EXPECT_EQ(run.log.find("DPInst.exe: removed"), std::string::npos) << run.log;  // no removal of every device
    EXPECT_EQ(DeviceInf(kPciAdapter), older) << run.log;
    MachineState after = SnapshotDriverMachine();
    EXPECT_TRUE(after == before) << DescribeDifferences(before, after);

    ExpectEachKillUndoneByTheNextRun(KilledInstall(), IdleFolder(), before);
}

TEST_F(DriverPackage, FromVistaThePackageInstallerTakesTheFolder) {
    SetWindowsVersion(L"qelwls64.exe", L"win10");
    AddFakeDevice(kUsbAdapter, {L"USB\\VID_2B9E&PID_BD1E&REV_0100", L"USB\\VID_2B9E&PID_BD1E"}, kNetClass,
                  L"Qel USB adapter");
    CopyFileOrFail(SamplePackageFile(L"dpinst64.exe"), folder_->File(L"dpinst64.exe"));
    folder_->Write(L"qelwls.ini", DriverScript("", "", true));

    SetupRunResult run = Run(L"install");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    const std::string dpinst = Utf8(kAppFolderPath) + "\\dpinst64.exe";
    const std::string command = "\"" + dpinst + "\" /a /f /sw /sa /path \"" + Utf8(kStore) + "\"";
    EXPECT_TRUE(LogHasLine(run.log, "DPInst.exe Command: '" + dpinst + " " + command + "'")) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "Install driver with DPInst.exe successfully.")) << run.log;
    // The package folder holds the package's plain files; the INF is not read.
    for (const wchar_t* file : {L"qelwl.inf", L"qelwl.sys", L"qelwl.cat"})
        EXPECT_TRUE(PathExists(std::wstring(kStore) + L"\\" + file)) << Utf8(file);
    EXPECT_FALSE(LogHasLine(run.log, "Found pnp ID \"USB\\VID_2B9E&PID_BD1E\""));
    const std::string record = "CopyInf," + dpinst + "," + Utf8(kStore) + "\r\n";
    EXPECT_NE(ReadFileBytes(kDriverLog).find(record), std::string::npos);
    EXPECT_FALSE(DeviceInf(kUsbAdapter).empty());

    // The installer's removal, once per package INF, after the USB adapter's
    // reset (Wine cannot change a device's state: the sequence stops at its
    // first disable, where Windows would disable, enable and disable it).
    run = Run(L"uninstall");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "DPInst.exe Command: '\"" + dpinst + "\" /u \"" + Utf8(kStore) + "\\qelwl.inf\" /q'"))
        << run.log;
    for (const char* line : {"DnglResetAfterDisable sequence check", "USB device is found.",
                             "Uninstall driver with DPInst.exe successfully."})
        EXPECT_TRUE(LogHasLine(run.log, line)) << line << "\n" << run.log;
    EXPECT_FALSE(RegKeyExists(L"SYSTEM\\CurrentControlSet\\Enum\\" + std::wstring(kUsbAdapter)));
}

// The package INF gone from the package folder (a user cleaning up, a
// damaged disk): the uninstall cannot name the package to the installer, says
// so and goes on, so the product can still be uninstalled.
TEST_F(DriverPackage, FromVistaAnUninstallWhosePackageInfIsGoneStillRemovesTheProduct) {
    SetWindowsVersion(L"qelwls64.exe", L"win10");
    CopyFileOrFail(SamplePackageFile(L"dpinst64.exe"), folder_->File(L"dpinst64.exe"));
    folder_->Write(L"qelwls.ini", DriverScript("", "", true));
    ASSERT_EQ(Run(L"install").exitCode, 0u);
    ASSERT_TRUE(::DeleteFileW((std::wstring(kStore) + L"\\qelwl.inf").c_str()));

    const SetupRunResult run = Run(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "Uninstall Driver inf: '" + Utf8(kStore) +
                                        "\\qelwl.inf' is missing; its package is left in the INF store"))
        << run.log;
    EXPECT_EQ(run.log.find("DPInst.exe: "), std::string::npos) << run.log;  // the installer did not run
    EXPECT_FALSE(PathExists(std::wstring(kAppFolderPath) + L"\\app.txt"));
}

TEST_F(DriverPackage, FromVistaARestartThePackageAsksForEndsWith2) {
    SetWindowsVersion(L"qelwls64.exe", L"win7");
    AddPciAdapter();
    CopyFileOrFail(SamplePackageFile(L"dpinst64.exe"), folder_->File(L"dpinst64.exe"));
    folder_->Write(L"qelwls.ini", DriverScript("", "", true));

    // A restart the package asks for: the driver must be restarted (2).
    SetFakeDeviceValue(kPciAdapter, L"QelStandInReboot", 1);
    SetupRunResult run = Run(L"install");
    EXPECT_EQ(run.exitCode, 2u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "Install driver with DPInst.exe successfully and reboot required.")) << run.log;
    const std::string result = "Result,2,SetupSuccessNeedRestartDriver,,\r\n";
    EXPECT_EQ(run.out.compare(run.out.size() - result.size(), result.size(), result), 0) << run.out;
    // The installer's report goes to the diagnostic log, not to the status
    // channel.
    EXPECT_TRUE(std::regex_search(run.log, std::regex("DPInst.exe: staged [^\r\n]*qelwl.inf as ")));
    EXPECT_EQ(run.out.find("staged"), std::string::npos);
}

// Scripts the driver key cannot use: each ends with 200 before any change.
TEST_F(DriverPackage, BadDriverInputEndsTheRunWithNothingChanged) {
    const std::string noStore = std::regex_replace(DriverScript(), std::regex("DriverStore=[^\r\n]*\r\n"), "");
    const std::string noInstallPath =
        std::regex_replace(DriverScript(), std::regex("DefaultInstallPath=[^\r\n]*\r\n"), "");
    // Windows, script, bytes written over Driver\qelwl.inf (if any), the diagnostic log's error line.
    using Case = std::tuple<const wchar_t*, std::string, std::string, std::string>;
    for (const auto& [version, script, badFile, error] : std::vector<Case>{
             {L"winxp64", noStore, "", "file \"CmdLine\", line [0-9]+, desc \"\\[Setup\\] DriverStore\""},
             {L"win10", noStore, "", "file \"CmdLine\", line [0-9]+, desc \"\\[Setup\\] DriverStore\""},
             {L"win10", noInstallPath, "", "file \"CmdLine\", line [0-9]+, desc \"\\[Setup\\] DefaultInstallPath\""},
             // No SourceDisksFiles and no models section.
             {L"winxp64", DriverScript(), "[Version]\r\nSignature=\"$Windows NT$\"\r\n[Manufacturer]\r\nQel=Models\r\n",
              "file \"DriverInf\", line [0-9]+"},
             {L"winxp64", std::regex_replace(DriverScript(), std::regex("Driver\\\\qelwl"), "Driver\\missing"), "",
              "file \"DriverInf\", line [0-9]+, desc \"[^\"]*missing.inf\""},
             // A package stamped for Windows 10 only has no driver for this system.
             {L"winxp64", DriverScript(),
              std::regex_replace(ReadFileBytes(TestBinDir() + L"\\wdk\\Driver\\qelwl.inf"),
                                 std::regex(", NTamd64\\.6\\.1, NTamd64\\.5\\.2"), ""),
              "file \"DriverInf\", line [0-9]+, desc \"[^\"]*qelwl.inf has no models section for x64 Windows 5\\.2 "
              "build 3790\" last error: 50"},
         }) {
        SetWindowsVersion(L"qelwls64.exe", version);
        folder_->Write(L"qelwls.ini", script);
        if (!badFile.empty()) folder_->Write(L"Driver\\qelwl.inf", badFile);
        const std::vector<std::wstring> storeBefore = FilesMatching(L"C:\\windows\\inf\\oem*.inf");
        const SetupRunResult run = Run(L"install");
        EXPECT_EQ(run.exitCode, 200u) << script << run.log;
        EXPECT_TRUE(std::regex_search(run.log, std::regex("Error: " + error))) << error << "\n" << run.log;
        EXPECT_TRUE(std::regex_search(run.out, std::regex("Result,200,SetupErrorInternal,[A-Za-z]+,[0-9]+\r\n$")))
            << run.out;
        EXPECT_FALSE(PathExists(kAppFolderPath)) << script;
        EXPECT_EQ(FilesMatching(L"C:\\windows\\inf\\oem*.inf"), storeBefore);
        CopyDriverPackage(L"Driver", "1.0.0.1");
    }
}

}  // namespace
