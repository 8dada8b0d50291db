// dpinst64.exe on its own over Wine's device installer and the device
// stand-ins: staging and binding, the exit code's bits, removal, refused
// command lines; and the stand-ins' own contract, which the driver tests rely on.
// Wine names a staged INF after the file (a second, different file of the
// same name becomes oem<n>.inf); Windows always names it oem<n>.inf. The
// tests read the store name from the report line and check the store by it.
#include "DeviceTestHelpers.h"

#include <cfgmgr32.h>
#include <newdev.h>
#include <setupapi.h>

#include <gtest/gtest.h>


using namespace qeltest;

namespace {

const wchar_t kEnumKey[] = L"System\\CurrentControlSet\\Enum\\";

ProcessResult RunDpinst(const std::wstring& arguments) {
    return RunProgram(L"\"" + TestBinDir() + L"\\dpinst64.exe\"" + (arguments.empty() ? L"" : L" " + arguments));
}

ProcessResult Install(const std::wstring& folder) { return RunDpinst(L"/a /f /sw /sa /path \"" + folder + L"\""); }
ProcessResult Uninstall(const std::wstring& inf) { return RunDpinst(L"/u \"" + inf + L"\" /q"); }

std::wstring InStore(const std::string& name) { return L"C:\\windows\\inf\\" + Wide(name); }

std::wstring Pnf(const std::wstring& infPath) { return infPath.substr(0, infPath.size() - 4) + L".pnf"; }

// A Net-class driver package for the adapter: one models section for x64
// with the given model lines ("%Desc%=section,id[,id...]"), a placeholder .sys
// and a demand-start service. No CatalogFile: Wine's catalog lookups crash on
// a catalog that is not one.
std::string AdapterInf(const std::string& modelLines, const std::string& service, const std::string& desc) {
    return "[Version]\r\nSignature=\"$Windows NT$\"\r\nClass=Net\r\n"
           "ClassGuid={4D36E972-E325-11CE-BFC1-08002BE10318}\r\nProvider=%Qel%\r\nDriverVer=01/02/2023,1.2.3.4\r\n"
           "[SourceDisksNames]\r\n1=\"Qel adapter disk\",,,\r\n"
           "[SourceDisksFiles]\r\n" + service + ".sys=1\r\n"
           "[DestinationDirs]\r\nDefaultDestDir=12\r\n"
           "[Manufacturer]\r\n%Qel%=QelModels,NTamd64\r\n"
           "[QelModels.NTamd64]\r\n" + modelLines +
           "[QelAdapter.NT]\r\nCharacteristics=0x84\r\nBusType=5\r\nCopyFiles=QelAdapterFiles\r\nAddReg=QelAdapterReg\r\n"
           "[QelAdapterFiles]\r\n" + service + ".sys\r\n"
           "[QelAdapterReg]\r\nHKR,,QelParam,,\"1\"\r\n"
           "[QelAdapter.NT.Services]\r\nAddService=" + service + ",2,QelAdapterService\r\n"
           "[QelAdapterService]\r\nServiceType=1\r\nStartType=3\r\nErrorControl=1\r\n"
           "ServiceBinary=%12%\\" + service + ".sys\r\n"
           "[Strings]\r\nQel=\"Qel\"\r\nDesc=\"" + desc + "\"\r\n";
}

// The package folder's INF `name` with the models lines, and the placeholder
// .sys of its service; the INF's path.
std::wstring WritePackage(const std::wstring& folder, const std::wstring& name, const std::string& modelLines,
                          const std::string& service, const std::string& desc = "Qel Wireless PCIe Adapter") {
    WriteFileBytes(folder + L"\\" + Wide(service) + L".sys", "placeholder");
    const std::wstring inf = folder + L"\\" + name;
    WriteFileBytes(inf, AdapterInf(modelLines, service, desc));
    return inf;
}

// The ids a PCI bus lists for the maker's device, most specific first; the
// full adapter also reports its subsystem alone and its revision alone.
void AddPciDevice(const std::wstring& instance, const std::wstring& device, bool full = false) {
    const std::wstring id = L"PCI\\VEN_1D6A&DEV_" + device;
    AddFakeDevice(instance,
                  full ? std::vector<std::wstring>{id + L"&SUBSYS_00001028&REV_03", id + L"&SUBSYS_00001028",
                                                   id + L"&REV_03", id}
                       : std::vector<std::wstring>{id + L"&SUBSYS_00001028&REV_03", id},
                  kNetClass, L"Network controller");
}

// The store name the report line "staged <path> as <name>" gives.
std::string StoreNameOf(const std::string& out, const std::wstring& path) {
    const std::string prefix = "staged " + Utf8(path) + " as ";
    for (const std::string& line : SplitCrLfLines(out))
        if (line.compare(0, prefix.size(), prefix) == 0) return line.substr(prefix.size());
    return "";
}

std::string UpdateCall(const std::string& id, const std::wstring& inf) {
    return "UpdateDriverForPlugAndPlayDevicesW|" + id + "|" + Utf8(inf) + "|0x00000001";
}

// The INF and its compiled twin in the store, or neither.
void ExpectInStore(const std::string& name, bool there) {
    EXPECT_EQ(PathExists(InStore(name)), there) << name;
    EXPECT_EQ(PathExists(Pnf(InStore(name))), there) << name;
}

class Dpinst : public ::testing::Test {
protected:
    static void SetUpTestSuite() { InstallDeviceStandIns(); }
    void SetUp() override { ::DeleteFileW(StandInCallLog()); }
};

// A present adapter that one of two packages supports.
// clean -> both packages staged, the adapter on the first -> the adapter's
// package removed with the adapter -> the other package removed.
TEST_F(Dpinst, InstallsAFolderThenUninstallsEachPackage) {
    const std::wstring adapter = L"PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028&REV_03\\4&1D6A&0&00E0";
    AddPciDevice(adapter, L"4360", true);
    const std::wstring folder = MakeScratchFolder(L"dpinst-folder");
    const std::wstring adapterInf =
        WritePackage(folder, L"qeladapter.inf",
                     "%Desc%=QelAdapter,PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028,PCI\\VEN_1D6A&DEV_4360\r\n"
                     "%Desc%=QelAdapter,PCI\\VEN_1D6A&DEV_43A0\r\n", "qeladapt");
    const std::wstring otherInf = WritePackage(folder, L"qelusbonly.inf", "%Desc%=QelAdapter,USB\\VID_2B9E&PID_0001\r\n",
                                               "qelusb", "Qel Wireless USB Adapter");

    const ProcessResult installed = Install(folder);
    EXPECT_EQ(installed.exitCode, 0x00000002u) << installed.out;
    const std::string adapterStored = StoreNameOf(installed.out, adapterInf);
    const std::string otherStored = StoreNameOf(installed.out, otherInf);
    ASSERT_TRUE(!adapterStored.empty() && !otherStored.empty()) << installed.out;
    EXPECT_EQ(installed.out, "staged " + Utf8(adapterInf) + " as " + adapterStored + "\r\n" + "updated device " +
                                 Utf8(adapter) + " to " + adapterStored + "\r\n" + "staged " + Utf8(otherInf) + " as " +
                                 otherStored + "\r\n" + "no present device matches a model of " + otherStored +
                                 "\r\n" + "done: exit code 0x00000002\r\n");
    EXPECT_EQ(installed.err, "");
    EXPECT_EQ(ReadFileBytes(InStore(adapterStored)), ReadFileBytes(adapterInf));
    EXPECT_EQ(ReadFileBytes(InStore(otherStored)), ReadFileBytes(otherInf));
    ExpectInStore(adapterStored, true);
    ExpectInStore(otherStored, true);
    // The adapter's first id that a model lists is the one the update asks for.
    EXPECT_EQ(ReadStandInCalls(),
              std::vector<std::string>{UpdateCall("PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028", adapterInf)});
    const std::wstring driverKey = DriverKeyPath(adapter);
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, driverKey, L"InfPath"), Wide(adapterStored));
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, driverKey, L"MatchingDeviceId"),
              L"pci\\ven_1d6a&dev_4360&subsys_00001028");
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kEnumKey + adapter, L"Service"), L"qeladapt");
    // The same folder again: the packages keep their store names.
    EXPECT_EQ(Install(folder).out, installed.out);

    // installed -> the adapter's package gone with the adapter. (Wine keeps
    // the driver key, the service and the .sys; Windows deletes the driver key.)
    ProcessResult run = Uninstall(adapterInf);
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_EQ(run.out, "found " + Utf8(adapterInf) + " in the store as " + adapterStored + "\r\n" + "removed device " +
                           Utf8(adapter) + "\r\n" + "removed " + adapterStored + " from the store\r\n" +
                           "done: exit code 0x00000000\r\n");
    bool found = true;
    ReadRegString(HKEY_LOCAL_MACHINE, kEnumKey + adapter, L"ClassGUID", 0, &found);
    EXPECT_FALSE(found) << "the adapter is still enumerated";
    ExpectInStore(adapterStored, false);
    ExpectInStore(otherStored, true);

    // A package that is not (any more) in the store, and one that cannot be read.
    run = Uninstall(adapterInf);
    EXPECT_EQ(run.exitCode, 2u);
    EXPECT_EQ(run.out, "error: " + Utf8(adapterInf) + " is not in the INF store\r\ndone: exit code 0x00000002\r\n");
    run = Uninstall(folder + L"\\missing.inf");
    EXPECT_EQ(run.exitCode, 1u);
    EXPECT_EQ(SplitCrLfLines(run.out)[0], "error: " + Utf8(folder) + "\\missing.inf cannot be read (error 0x00000002)");

    // -> clean: the package no device uses leaves on its own.
    run = Uninstall(otherInf);
    EXPECT_EQ(run.exitCode, 0u) << run.out;
    EXPECT_EQ(run.out, "found " + Utf8(otherInf) + " in the store as " + otherStored + "\r\n" + "removed " +
                           otherStored + " from the store\r\n" + "done: exit code 0x00000000\r\n");
    ExpectInStore(otherStored, false);
    RemoveFakeDevice(adapter);
}

// Restart requests set the top byte; a device that refuses the driver counts
// its package as failed (bits 8-15) while the package stays staged.
TEST_F(Dpinst, ExitCodeCarriesRestartAndFailures) {
    const std::wstring first = L"PCI\\VEN_1D6A&DEV_4361&SUBSYS_00001028&REV_03\\4&1D6A&0&00E1";
    const std::wstring second = L"PCI\\VEN_1D6A&DEV_4362&SUBSYS_00001028&REV_03\\4&1D6A&0&00E2";
    AddPciDevice(first, L"4361");
    AddPciDevice(second, L"4362");
    SetFakeDeviceValue(first, L"QelStandInReboot", 1);
    SetFakeDeviceValue(second, L"QelStandInFail", ERROR_ACCESS_DENIED);
    const std::wstring inf = WritePackage(MakeScratchFolder(L"dpinst-restart"), L"qelrestart.inf",
                                          "%Desc%=QelAdapter,PCI\\VEN_1D6A&DEV_4361\r\n"
                                          "%Desc%=QelAdapter,PCI\\VEN_1D6A&DEV_4362\r\n", "qelrestart");

    const ProcessResult run = Install(inf.substr(0, inf.rfind(L'\\')));
    EXPECT_EQ(run.exitCode, 0x40000101u) << run.out;
    const std::string stored = StoreNameOf(run.out, inf);
    ASSERT_FALSE(stored.empty()) << run.out;
    EXPECT_EQ(run.out, "staged " + Utf8(inf) + " as " + stored + "\r\n" + "updated device " + Utf8(first) + " to " +
                           stored + "\r\n"
                           "a restart is needed to finish the update of the devices with id PCI\\VEN_1D6A&DEV_4361\r\n"
                           "error: the devices with id PCI\\VEN_1D6A&DEV_4362 did not take " + stored +
                           " (error 0x00000005)\r\n"
                           "done: exit code 0x40000101\r\n");
    // The refused device kept no driver; the other one took it.
    EXPECT_EQ(DriverKeyPath(second), L"");
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, DriverKeyPath(first), L"InfPath"), Wide(stored));

    EXPECT_EQ(Uninstall(inf).exitCode, 0u);
    RemoveFakeDevice(first);
    RemoveFakeDevice(second);
}

// The adapter's package as the driver kit stamps it: two makers, each with
// models sections for several architectures and Windows versions only.
// (Wine's default system is Windows 7; the program is shown Windows 10 first.)
// Windows 10 takes the newest x64 section of each maker; Windows 7 the one
// for 6.1, which has no model of the second maker's stick. (A package with
// nothing for the system fails the driver test's install on Windows 7.)
TEST_F(Dpinst, TakesTheModelsSectionsOfThisSystemFromAPackageStampedForSeveral) {
    const std::wstring adapter = L"PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028&REV_03\\4&1D6A&0&00F0";
    const std::wstring stick = L"USB\\VID_2B9E&PID_C0DE\\0002";
    AddPciDevice(adapter, L"4360", true);
    AddFakeDevice(stick, {L"USB\\VID_2B9E&PID_C0DE&REV_0001", L"USB\\VID_2B9E&PID_C0DE"}, kNetClass, L"USB device");
    const std::wstring folder = MakeScratchFolder(L"dpinst-wdk");
    CopyTree(TestBinDir() + L"\\wdk\\Driver", folder);
    const std::wstring inf = folder + L"\\qelwl.inf";

    SetWindowsVersion(L"dpinst64.exe", L"win10");
    ProcessResult run = Install(folder);
    EXPECT_EQ(run.exitCode, 0x00000001u) << run.out;
    const std::string stored = StoreNameOf(run.out, inf);
    ASSERT_FALSE(stored.empty()) << run.out;
    EXPECT_EQ(run.out, "staged " + Utf8(inf) + " as " + stored + "\r\n" + "updated device " + Utf8(adapter) + " to " +
                           stored + "\r\n" + "updated device " + Utf8(stick) + " to " + stored + "\r\n" +
                           "done: exit code 0x00000001\r\n");
    // The adapter's first id that a model lists is a compatible id of the
    // newest section.
    EXPECT_EQ(ReadStandInCalls(), (std::vector<std::string>{UpdateCall("PCI\\VEN_1D6A&DEV_4360&SUBSYS_00001028", inf),
                                                            UpdateCall("USB\\VID_2B9E&PID_C0DE", inf)}));
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, DriverKeyPath(adapter), L"InfPath"), Wide(stored));
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, DriverKeyPath(stick), L"InfPath"), Wide(stored));
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, DriverKeyPath(stick), L"DriverDesc"), L"Kestrel Wireless USB Stick");
    EXPECT_EQ(ReadFileBytes(InStore(stored)), ReadFileBytes(inf));

    // Windows 7: the section for 6.1, which lists the adapter by its vendor
    // and device only, and no stick.
    SetWindowsVersion(L"dpinst64.exe", L"win7");
    ::DeleteFileW(StandInCallLog());
    run = Install(folder);
    EXPECT_EQ(run.exitCode, 0x00000001u) << run.out;
    EXPECT_EQ(run.out, "staged " + Utf8(inf) + " as " + stored + "\r\n" + "updated device " + Utf8(adapter) + " to " +
                           stored + "\r\n" + "done: exit code 0x00000001\r\n");
    EXPECT_EQ(ReadStandInCalls(), std::vector<std::string>{UpdateCall("PCI\\VEN_1D6A&DEV_4360", inf)});

    SetWindowsVersion(L"dpinst64.exe", L"");

    // Nothing of the stand-in's own is left beside the package or in the store.
    EXPECT_TRUE(FilesMatching(folder + L"\\qelstandin*").empty());
    EXPECT_TRUE(FilesMatching(L"C:\\windows\\inf\\qelstandin*").empty());
    EXPECT_EQ(Uninstall(inf).exitCode, 0u);
    RemoveFakeDevice(adapter);
    RemoveFakeDevice(stick);
}

TEST_F(Dpinst, FolderWithoutPackagesInstallsNone) {
    const std::wstring folder = MakeScratchFolder(L"dpinst-empty");
    WriteFileBytes(folder + L"\\readme.txt", "no driver here");
    // Switches in any case.
    const ProcessResult run = RunDpinst(L"/A /F /SW /SA /PATH \"" + folder + L"\"");
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(run.out, "error: no driver package (*.inf) in " + Utf8(folder) + "\r\ndone: exit code 0x00000000\r\n");
}

TEST_F(Dpinst, AnyOtherCommandLineGetsTheUsage) {
    const std::string usage =
        "usage: dpinst64.exe /a /f /sw /sa /path \"<package folder>\"\r\n"
        "       dpinst64.exe /u \"<inf path>\" /q\r\n";
    for (const wchar_t* arguments :
         {L"", L"/a /f /sw /sa /path", L"/a /f /sw /sa /path \"\"", L"/a /f /sw /sa /path C:\\x extra",
          L"/f /a /sw /sa /path C:\\x", L"/a /f /sw /sa /dir C:\\x", L"/u C:\\x.inf", L"/u C:\\x.inf /q /q",
          L"/q C:\\x.inf /u", L"/u \"\" /q", L"/x"}) {
        const ProcessResult run = RunDpinst(arguments);
        EXPECT_EQ(run.exitCode, 0x80000000u) << Utf8(arguments);
        EXPECT_EQ(run.err, usage) << Utf8(arguments);
        EXPECT_EQ(run.out, "") << Utf8(arguments);
    }
}

// What the setup program's driver tests rely on from the stand-ins and that
// no run of it shows on its own: an export forwarded to setupapi, a phantom
// device, and the update's errors.
TEST_F(Dpinst, StandInsPlayTheWindowsContract) {
    const std::wstring device = L"PCI\\VEN_1D6A&DEV_4363&SUBSYS_00001028&REV_03\\4&1D6A&0&00E3";
    AddPciDevice(device, L"4363");
    // The override set above applies to libraries this process loads from now on.
    qel::UniqueLibrary cfgmgr(::LoadLibraryW(L"C:\\windows\\system32\\cfgmgr32.dll"));
    qel::UniqueLibrary newdev(::LoadLibraryW(L"C:\\windows\\system32\\newdev.dll"));
    ASSERT_TRUE(cfgmgr && newdev);
#define QEL_PROC(library, fn) \
    reinterpret_cast<decltype(&fn)>(reinterpret_cast<void*>(::GetProcAddress(library.Get(), #fn)))
    const auto status = QEL_PROC(cfgmgr, CM_Get_DevNode_Status);
    const auto locate = QEL_PROC(cfgmgr, CM_Locate_DevNodeW);
    const auto deviceId = QEL_PROC(cfgmgr, CM_Get_Device_IDW);
    const auto update = QEL_PROC(newdev, UpdateDriverForPlugAndPlayDevicesW);
#undef QEL_PROC
    ASSERT_TRUE(status && locate && deviceId && update);

    qel::UniqueDevInfo set(::SetupDiCreateDeviceInfoList(nullptr, nullptr));
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(::SetupDiOpenDeviceInfoW(set.Get(), device.c_str(), nullptr, 0, &data));

    // Forwarded to setupapi, as Wine's own cfgmgr32 does.
    wchar_t idText[MAX_DEVICE_ID_LEN] = L"";
    EXPECT_EQ(deviceId(data.DevInst, idText, MAX_DEVICE_ID_LEN, 0), CR_SUCCESS);
    EXPECT_EQ(std::wstring(idText), device);

    ULONG devStatus = 0, problem = 0xDEAD;
    EXPECT_EQ(status(&devStatus, &problem, data.DevInst, 0), CR_SUCCESS);
    EXPECT_EQ(devStatus, static_cast<ULONG>(DN_DRIVER_LOADED | DN_STARTED));
    EXPECT_EQ(problem, 0u);
    SetFakeDeviceValue(device, L"QelStandInNotPresent", 1);  // a phantom
    EXPECT_EQ(status(&devStatus, &problem, data.DevInst, 0), CR_NO_SUCH_DEVINST);

    DEVINST located = 0;
    EXPECT_EQ(locate(&located, const_cast<wchar_t*>(device.c_str()), CM_LOCATE_DEVNODE_NORMAL), CR_NO_SUCH_DEVNODE);
    EXPECT_EQ(locate(&located, const_cast<wchar_t*>(device.c_str()), CM_LOCATE_DEVNODE_PHANTOM), CR_SUCCESS);
    // Wine numbers the nodes per opening, so the node is checked by its id.
    EXPECT_EQ(deviceId(located, idText, MAX_DEVICE_ID_LEN, 0), CR_SUCCESS);
    EXPECT_EQ(std::wstring(idText), device);

    const std::wstring inf = WritePackage(MakeScratchFolder(L"dpinst-standins"), L"qelnone.inf",
                                          "%Desc%=QelAdapter,PCI\\VEN_1D6A&DEV_FFFF\r\n", "qelnone");
    BOOL reboot = TRUE;
    ::SetLastError(0);
    EXPECT_FALSE(update(nullptr, L"PCI\\VEN_1D6A&DEV_FFFF", inf.c_str(), INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_DEVINST));
    EXPECT_FALSE(reboot);
    // The device is there, the INF has no driver for it: Windows' code for
    // "no better driver", and the device is left without one.
    ::SetLastError(0);
    EXPECT_FALSE(update(nullptr, L"pci\\ven_1d6a&dev_4363", inf.c_str(), INSTALLFLAG_FORCE, &reboot));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(DriverKeyPath(device), L"");
    RemoveFakeDevice(device);
    ::SetupUninstallOEMInfW(L"qelnone.inf", SUOI_FORCEDELETE, nullptr);  // staged by the second update
}

}  // namespace
