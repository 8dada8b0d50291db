// The adapter's driver package through the real program: before Vista the INF
// store and the device update (install, upgrade, uninstall, a failure undone),
// from Vista on the driver package installer with its command lines and exit
// codes. The test prefix gets stand-ins for the device binding and the
// configuration manager, which Wine only stubs; fake adapters are present
// hardware written into the Enum key.
#include "DeviceTestHelpers.h"

#include <newdev.h>

#include <gtest/gtest.h>

#include <regex>
#include <tuple>

using namespace qeltest;

namespace {

const wchar_t kPciAdapter[] = L"PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028&REV_03\\4&1234&0&00E0";
const wchar_t kUsbAdapter[] = L"USB\\VID_2B9E&PID_BD1E\\0001";
const wchar_t kAppFolderPath[] = L"C:\\Program Files\\QelDrv";
const wchar_t kStore[] = L"C:\\Program Files\\QelDrv\\Driver";
const wchar_t kDriverLog[] = L"C:\\Program Files\\QelDrv\\Uninstall\\qelwls.log";

std::wstring SamplePackageFile(const std::wstring& relative) { return BuiltPackageFolder() + L"\\" + relative; }

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
// installer where [Setup] DefaultInstallPath says, and a `failing` one starts
// a program after the changes that cannot be started: the run fails once
// every change is made.
std::string DriverScript(bool withInstaller = false, bool failing = false) {
    return Script(
        "[Setup]\r\n"
        "UninstallLog=%16422%\\QelDrv\\Uninstall\\qelwls.log\r\n"
        "DefaultInstallPath=%16422%\\QelDrv\r\n"
        "DriverStore=%16422%\\QelDrv\\Driver\r\n"
        "[DestinationDirs]\r\nAppFiles=16422,\"QelDrv\"\r\n"
        "[Install]\r\nDriverInf=Driver\\qelwl.inf\r\nCopyFiles=AppFiles\r\nAddReg=DriverValues\r\n" +
        std::string(failing ? "PostRun=Missing\r\n" : "") + "UninstallLog=\r\n"
        "[AppFiles]\r\napp.txt,,,0x4\r\n" + std::string(withInstaller ? "dpinst64.exe,,,0x4\r\n" : "") +
        "[DriverValues]\r\nHKR,,QelTestSetting,0x10001,7,,0\r\n"
        "[Upgrade]\r\nDriverInf=Driver\\qelwl.inf\r\n"
        "[Uninstall]\r\n" + std::string(failing ? "[Missing]\r\nC:\\qeltests\\missing.exe,,0\r\n" : ""));
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
    folder.Write(L"Driver\\qelwl.inf", ForWindows10Only(inf));
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
    // Windows as the program sees it, and the script of the tests: from
    // Vista on with the driver package installer beside the product.
    void PrepareRun(const wchar_t* version, bool failing = false) {
        const bool fromVista = std::wstring(version) != L"winxp64";
        SetWindowsVersion(L"qelwls64.exe", version);
        if (fromVista) CopyFileOrFail(SamplePackageFile(L"dpinst64.exe"), folder_->File(L"dpinst64.exe"));
        folder_->Write(L"qelwls.ini", DriverScript(fromVista, failing));
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
    SetupRunResult Run(const std::wstring& command) {
        return RunSetupProgram(folder_->Exe(), command + L" \"" + folder_->Path() + L"\"");
    }
    std::unique_ptr<SetupFolder> folder_;
};

// The status lines of the install before Vista. Files: catalog, driver image,
// INF, app.txt, the script (3 each) and the log's move (3); the INF pair
// (5 + 5); the device update (200); the two registry stages. Stage 6 reports
// the INF (10), the re-enumeration and the update (100 each).
std::string BeforeVistaInstallOut() {
    std::string lines = kVersionLine;
    for (int done : {1, 4, 7, 10, 13, 16, 19, 29, 129, 229, 230}) lines += "Progress,230," + std::to_string(done) + "\r\n";
    return lines + "Result,0,SetupSuccess,,\r\n";
}

// The rollback's line for the USB adapter that had no driver before the run.
const char kUsbAdapterRemoved[] =
    "RollbackDriverUpdate(): RemoveDevice( \"USB\\VID_2B9E&PID_BD1E&REV_0100\" ), it had no driver";

TEST_F(DriverPackage, BeforeVistaTheInfIsStagedAndThePresentAdapterTakesIt) {
    PrepareRun(L"winxp64");
    AddPciAdapter();

    SetupRunResult run = Run(L"install");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, BeforeVistaInstallOut());
    const std::string uninstallLog = ReadFileBytes(kDriverLog);
    const std::wstring oem = OemNameIn(uninstallLog);
    ASSERT_FALSE(oem.empty()) << uninstallLog;
    EXPECT_NE(uninstallLog.find("CopyInf," + Utf8(kStore) + "\\qelwl.inf," + Utf8(oem) + "\r\n"), std::string::npos);
    EXPECT_TRUE(PathExists(InfStore(oem)));
    ExpectLogLines(run.log, {"ProcessDrivers: driver catalog is unsigned", "Found pnp ID \"PCI\\VEN_1D6A&DEV_4360\"",
                             "Triggering reenumeration"});
    // Only the present adapter is updated; the SDIO and USB models have no
    // device here.
    EXPECT_TRUE(std::regex_search(run.log, std::regex("CommitDriverUpdate\\(\\): Found device \"pci\\\\ven_1d6a&dev_4360&"
                                                      "subsys_00001028&rev_03\"")))
        << run.log;
    EXPECT_EQ(DeviceInf(kPciAdapter), oem);
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, DriverKeyPath(kPciAdapter), L"QelTestSetting"),
              (RegValue{true, REG_DWORD, {7, 0, 0, 0}}));
    EXPECT_TRUE(HklmKeyExists(L"SYSTEM\\CurrentControlSet\\Services\\qelwl"));

    // installed -> clean: the device that uses the OEM INF goes, then the INF.
    // (Wine's SetupDiSetClassInstallParams is a stub that fails, so the
    // device's removal stops there and it stays; Windows removes it.)
    run = Run(L"uninstall");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    ExpectLogLines(run.log, {"UninstallDriverMatchingInf(): deviceId matched",
                             "RemoveDevInst(): SetupDiSetClassInstallParams failed",
                             "RemoveInf( \"" + Utf8(oem) + "\" )"});
    EXPECT_FALSE(PathExists(InfStore(oem)));
    EXPECT_FALSE(PathExists(InfStore(oem.substr(0, oem.size() - 4) + L".pnf")));
    EXPECT_FALSE(PathExists(std::wstring(kStore) + L"\\qelwl.inf"));
}

// A package stamped for Windows 10, 7 and Server 2003 on several
// architectures: before Vista the run reads it as Server 2003 x64 does, so
// the adapter takes the driver of that section and the stick that only the
// newest sections list is not looked for.
TEST_F(DriverPackage, BeforeVistaAPackageForSeveralSystemsBindsTheAdapterByItsServer2003Section) {
    PrepareRun(L"winxp64");
    AddPciAdapter();
    AddKestrelStick();
    CopyWdkPackage(*folder_, false);

    const SetupRunResult run = Run(L"install");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, BeforeVistaInstallOut());
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

    PrepareRun(L"win7");
    SetWindowsVersion(L"dpinst64.exe", L"win7");
    const MachineState before = SnapshotDriverMachine();
    SetupRunResult run = Run(L"install");
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    ExpectLogLines(run.log, {"DPInst.exe: error: " + Utf8(kStore) +
                                 "\\qelwl.inf was not staged: it has no models section for x64 Windows 6.1 build 7601",
                             "Fail to install driver with DPInst.exe."});
    ExpectSameMachine(before, SnapshotDriverMachine());

    SetWindowsVersion(L"qelwls64.exe", L"win10");
    SetWindowsVersion(L"dpinst64.exe", L"win10");
    run = Run(L"install");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.log, match, std::regex("DPInst.exe: staged [^\r\n]*qelwl.inf as ([^\r\n]+)")))
        << run.log;
    const std::string stored = match[1];
    for (const std::wstring& device : {std::wstring(kPciAdapter), std::wstring(kKestrelStick)}) {
        ExpectLogLines(run.log, {"DPInst.exe: updated device " + Utf8(device) + " to " + stored});
        EXPECT_EQ(DeviceInf(device), Wide(stored));
    }
    ExpectLogLines(run.log, {"Install driver with DPInst.exe successfully."});

    // installed -> the package and the devices on it gone.
    run = Run(L"uninstall");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    ExpectLogLines(run.log, {"DPInst.exe: removed device " + Utf8(kPciAdapter),
                             "DPInst.exe: removed device " + Utf8(kKestrelStick),
                             "Uninstall driver with DPInst.exe successfully."});
    EXPECT_FALSE(PathExists(InfStore(Wide(stored))));
}

TEST_F(DriverPackage, BeforeVistaAnUpgradeReplacesTheInfTheDeviceNoLongerUses) {
    PrepareRun(L"winxp64");
    AddPciAdapter();
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
    AddAdapterOnAnOlderPackageAndOneWithoutDriver();
    const std::wstring older = DeviceInf(kPciAdapter);
    const MachineState before = SnapshotDriverMachine();

    PrepareRun(L"winxp64", true);
    const SetupRunResult run = Run(L"install");
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    ExpectLogLines(run.log, {kUsbAdapterRemoved, "Triggering reenumeration"});
    EXPECT_EQ(DeviceInf(kPciAdapter), older) << run.log;
    EXPECT_EQ(DeviceInf(kUsbAdapter), L"") << run.log;
    ExpectSameMachine(before, SnapshotDriverMachine());
    EXPECT_FALSE(PathExists(kDriverLog));
}

// The same two adapters; the run is killed at each record it makes, its
// driver steps among them (the new package into the store, each device's
// update, the older package's removal), and the next run, with nothing of
// its own to do, undoes it first: the machine is as it was.
TEST_F(DriverPackage, BeforeVistaARunKilledAtAnyRecordIsUndoneByTheNextRun) {
    AddAdapterOnAnOlderPackageAndOneWithoutDriver();
    // The run fails after its last change, so that every record is made and
    // the machine is as it was for the next kill.
    PrepareRun(L"winxp64", true);
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
    AddAdapterOnAnOlderPackageAndOneWithoutDriver();
    const std::wstring older = DeviceInf(kPciAdapter);
    PrepareRun(L"win10", true);
    const MachineState before = SnapshotDriverMachine();

    const SetupRunResult run = Run(L"install");
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    ExpectLogLines(run.log, {"Install driver with DPInst.exe successfully.", kUsbAdapterRemoved});
    EXPECT_EQ(run.log.find("DPInst.exe: removed"), std::string::npos) << run.log;  // no removal of every device
    EXPECT_EQ(DeviceInf(kPciAdapter), older) << run.log;
    ExpectSameMachine(before, SnapshotDriverMachine());

    ExpectEachKillUndoneByTheNextRun(KilledInstall(), IdleFolder(), before);
}

TEST_F(DriverPackage, FromVistaThePackageInstallerTakesTheFolder) {
    PrepareRun(L"win10");
    AddFakeDevice(kUsbAdapter, {L"USB\\VID_2B9E&PID_BD1E&REV_0100", L"USB\\VID_2B9E&PID_BD1E"}, kNetClass,
                  L"Qel USB adapter");

    SetupRunResult run = Run(L"install");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    const std::string dpinst = Utf8(kAppFolderPath) + "\\dpinst64.exe";
    const std::string command = "\"" + dpinst + "\" /a /f /sw /sa /path \"" + Utf8(kStore) + "\"";
    ExpectLogLines(run.log, {"DPInst.exe Command: '" + dpinst + " " + command + "'",
                             "Install driver with DPInst.exe successfully."});
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
    ExpectLogLines(run.log, {"DPInst.exe Command: '\"" + dpinst + "\" /u \"" + Utf8(kStore) + "\\qelwl.inf\" /q'",
                             "DnglResetAfterDisable sequence check", "USB device is found.",
                             "Uninstall driver with DPInst.exe successfully."});
    EXPECT_FALSE(HklmKeyExists(L"SYSTEM\\CurrentControlSet\\Enum\\" + std::wstring(kUsbAdapter)));
}

// A restart the package asks for ends the install with 2 (the driver must
// be restarted). Then the package INF gone from the package folder (a user
// cleaning up, a damaged disk): the uninstall cannot name the package to the
// installer, says so and goes on, so the product can still be uninstalled.
TEST_F(DriverPackage, FromVistaARestartEndsWith2AndAnUninstallWithoutThePackageInfStillRemovesTheProduct) {
    PrepareRun(L"win7");
    AddPciAdapter();
    SetFakeDeviceValue(kPciAdapter, L"QelStandInReboot", 1);
    SetupRunResult run = Run(L"install");
    EXPECT_EQ(run.exitCode, 2u) << run.log;
    ExpectLogLines(run.log, {"Install driver with DPInst.exe successfully and reboot required."});
    const std::string result = "Result,2,SetupSuccessNeedRestartDriver,,\r\n";
    EXPECT_EQ(run.out.compare(run.out.size() - result.size(), result.size(), result), 0) << run.out;
    // The installer's report goes to the diagnostic log, not to the status
    // channel.
    EXPECT_TRUE(std::regex_search(run.log, std::regex("DPInst.exe: staged [^\r\n]*qelwl.inf as ")));
    EXPECT_EQ(run.out.find("staged"), std::string::npos);

    ASSERT_TRUE(::DeleteFileW((std::wstring(kStore) + L"\\qelwl.inf").c_str()));
    run = Run(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    ExpectLogLines(run.log, {"Uninstall Driver inf: '" + Utf8(kStore) +
                             "\\qelwl.inf' is missing; its package is left in the INF store"});
    EXPECT_EQ(run.log.find("DPInst.exe: "), std::string::npos) << run.log;  // the installer did not run
    EXPECT_FALSE(PathExists(std::wstring(kAppFolderPath) + L"\\app.txt"));
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
             {L"winxp64", DriverScript(), ForWindows10Only(ReadFileBytes(TestBinDir() + L"\\wdk\\Driver\\qelwl.inf")),
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
