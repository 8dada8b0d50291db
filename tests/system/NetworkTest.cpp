// The network side of the product through whole runs of qelwls64.exe: the
// adapter commands (disable, enable, restart by instance id) and the firewall
// rules of an install, with a stand-in for the firewall policy where Wine
// keeps nothing.
#include "PackageFixture.h"

#include "Handles.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace qeltest;

namespace {

using Strings = std::vector<std::string>;

constexpr wchar_t kNetClass[] = L"{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr wchar_t kEnumRoot[] = L"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\QELTESTNET";
constexpr wchar_t kClassRoot[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kShownId[] = "{8F3B1E2A-5C4D-4E6F-9A0B-1C2D3E4F5A6B}";
constexpr char kHiddenId[] = "{0B1C2D3E-4F5A-4B6C-8D7E-9F0A1B2C3D4E}";

void SetValue(const std::wstring& subkey, const std::wstring& name, DWORD type, const void* data, DWORD size) {
    qel::UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, key.Put(),
                                nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
}
void SetText(const std::wstring& subkey, const std::wstring& name, const std::wstring& text) {
    SetValue(subkey, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// A network adapter as Windows lists it: a present device of the network
// class whose driver key holds its instance id and characteristics.
// (Wine lists every device in the Enum key as present, see the notes on the
// device installer.)
void AddAdapter(const std::wstring& instance, const std::string& instanceId, DWORD characteristics) {
    const std::wstring device = std::wstring(kEnumRoot) + L"\\" + instance;
    const std::wstring driver = std::wstring(kNetClass) + L"\\" + instance;
    SetRegMultiString(device, L"HardwareID", std::wstring(L"Root\\qelTestNet") + L'\0');
    SetText(device, L"ClassGUID", kNetClass);
    SetText(device, L"Class", L"Net");
    SetText(device, L"Driver", driver);
    const std::wstring driverKey = std::wstring(kClassRoot) + L"\\" + instance;
    SetText(driverKey, L"NetCfgInstanceId", Wide(instanceId));
    SetValue(driverKey, L"Characteristics", REG_DWORD, &characteristics, sizeof(characteristics));
}
void RemoveAdapters() {
    DeleteRegTree(HKEY_LOCAL_MACHINE, kEnumRoot);
    for (const wchar_t* instance : {L"\\7001", L"\\7002"}) DeleteRegTree(HKEY_LOCAL_MACHINE, kClassRoot + std::wstring(instance));
}

size_t CountLines(const std::string& log, const std::string& message) {
    const Strings messages = LogMessages(log);
    return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
}

class AdapterCommand : public ::testing::Test {
protected:
    AdapterCommand() : folder_(L"adapter_command") {}
    void SetUp() override {
        RemoveAdapters();
        AddAdapter(L"7001", kShownId, 0x4);    // physical
        AddAdapter(L"7002", kHiddenId, 0x9);   // virtual and hidden
    }
    void TearDown() override { RemoveAdapters(); }
    SetupRunResult Run(const std::string& command, const std::string& instanceId) {
        return RunSetupProgram(folder_.Exe(), Wide(command + " " + instanceId));
    }
    // These commands end without a result: the initial 202, no Result line and
    // no stored message.
    static void ExpectNoResult(const SetupRunResult& run) {
        EXPECT_EQ(run.exitCode, 202u) << run.log;
        EXPECT_EQ(run.out, kVersionLine);
        bool found = true;
        ReadResultMessage(&found);
        EXPECT_FALSE(found);
    }
    SetupFolder folder_;
};

// Wine finds the adapter but its property-change call is a stub
// (SetupDiSetClassInstallParams fails), so every command stops at the state
// change. Windows disables or enables the adapter and logs the success line.
TEST_F(AdapterCommand, FoundAdapterReachesTheStateChangeAndAFailedDisableEndsARestart) {
    for (const char* command : {"disabledriver", "ENABLEDRIVER", "restartdriver"}) {
        SCOPED_TRACE(command);
        std::string lowerId = kShownId;
        std::transform(lowerId.begin(), lowerId.end(), lowerId.begin(), ::tolower);
        const DWORD started = ::GetTickCount();
        const SetupRunResult run = Run(command, lowerId);
        ExpectNoResult(run);
        EXPECT_EQ(CountLines(run.log, "Adapter is not found."), 0u) << run.log;
        // A restart whose disable failed neither waits nor enables.
        EXPECT_EQ(CountLines(run.log, "SetupDiSetClassInstallParams failed"), 1u) << run.log;
        EXPECT_LT(::GetTickCount() - started, 3000u);
        for (const char* success : {"Restart driver successfully.", "Disable driver successfully.",
                                    "Enable driver successfully."})
            EXPECT_EQ(CountLines(run.log, success), 0u);
        // The script is never looked for.
        EXPECT_EQ(run.log.find("Using ini file"), std::string::npos);
    }
}

TEST_F(AdapterCommand, MissingMalformedOrHiddenAdapterIsNotFound) {
    const char* ids[] = {"{11111111-2222-3333-4444-555555555555}", "not-a-guid", "{8F3B1E2A-5C4D", kHiddenId};
    for (const char* command : {"restartdriver", "disabledriver", "enabledriver"}) {
        for (const char* id : ids) {
            SCOPED_TRACE(std::string(command) + " " + id);
            const SetupRunResult run = Run(command, id);
            ExpectNoResult(run);
            EXPECT_EQ(CountLines(run.log, "Adapter is not found."), 1u) << run.log;
            EXPECT_EQ(run.log.find("SetupDiSetClassInstallParams failed"), std::string::npos);
            EXPECT_EQ(run.log.find("successfully"), std::string::npos);
        }
    }
}

// --- firewall rules ----------------------------------------------------------

constexpr wchar_t kPolicyServer[] = L"SOFTWARE\\Classes\\CLSID\\{E2B3C97F-6AE1-41AC-817A-F6F92166D7DD}\\InprocServer32";
constexpr wchar_t kRuleServer[] = L"SOFTWARE\\Classes\\CLSID\\{2C5BC43E-3369-4C33-AB0C-BE9469677AF4}\\InprocServer32";
constexpr wchar_t kFirewallKey[] = L"SOFTWARE\\QelTest\\FirewallStandIn";
constexpr wchar_t kFirewallRules[] = L"SOFTWARE\\QelTest\\FirewallStandIn\\Rules";
constexpr wchar_t kFirewallLog[] = L"C:\\qeltests\\firewall-standin.log";

const char* const kRuleNames[] = {"Linkpad-Incoming Control TCP Rule", "Linkpad-Incoming Data TCP rule",
                                  "Linkpad-Outgoing Ctrl TCP rule",    "Linkpad-Outgoing Data TCP rule",
                                  "Linkpad-Incoming UDP port Rule",    "Linkpad-Outgoing port UDP Rule"};

// What the stand-in keeps of each rule: name|description|program|protocol|
// local ports ("*" when not set)|direction|grouping|profiles|action|enabled.
Strings ExpectedRules() {
    const std::string app = "C:\\Program Files\\Qel Wireless\\Linkpad.exe";
    const std::string sendTo = "C:\\Program Files\\Qel Wireless\\LinkpadSendToExplorer.exe";
    const std::string tail = "|Wi-Fi Direct Rule Group|0x7fffffff|1|-1";
    return {std::string(kRuleNames[0]) + "|Allow incoming TCP network traffic to Linkpad|" + app + "|6|21|1" + tail,
            std::string(kRuleNames[1]) + "|Allow incoming TCP network traffic to Linkpad|" + app + "|6|49201,49202|1" +
                tail,
            std::string(kRuleNames[2]) + "|Allow outgoing TCP network traffic to Linkpad|" + sendTo + "|6|*|2" + tail,
            std::string(kRuleNames[3]) + "|Allow outgoing TCP network traffic to Linkpad|" + sendTo + "|6|*|2" + tail,
            std::string(kRuleNames[4]) + "|Allow incoming UDP network traffic to Linkpad|" + app + "|17|1028|1" + tail,
            std::string(kRuleNames[5]) + "|Allow outgoing UDP network traffic to Linkpad|" + app + "|17|*|2" + tail};
}

// The rules the stand-in holds, in the order of the six names.
Strings KeptRules() {
    Strings kept;
    for (const char* name : kRuleNames) {
        const std::wstring rule = ReadRegString(HKEY_LOCAL_MACHINE, std::wstring(kFirewallRules) + L"\\" + Wide(name), L"Rule");
        if (!rule.empty()) kept.push_back(Utf8(rule));
    }
    return kept;
}

Strings StandInCalls() {
    return PathExists(kFirewallLog) ? SplitCrLfLines(ReadFileBytes(kFirewallLog)) : Strings{};
}

class FirewallRules : public ::testing::Test {
protected:
    void SetUp() override {
        CleanMachine();
        policyServer_ = ReadRegString(HKEY_LOCAL_MACHINE, kPolicyServer, L"");
        ruleServer_ = ReadRegString(HKEY_LOCAL_MACHINE, kRuleServer, L"");
        // The stand-in serves both classes in place of Wine's.
        for (const wchar_t* server : {kPolicyServer, kRuleServer}) {
            SetText(server, L"", TestBinDir() + L"\\qel_firewallstandin.dll");
            SetText(server, L"ThreadingModel", L"Both");
        }
        DeleteRegTree(HKEY_LOCAL_MACHINE, kFirewallKey);
        ::DeleteFileW(kFirewallLog);
    }
    void TearDown() override {
        SetText(kPolicyServer, L"", policyServer_);
        SetText(kRuleServer, L"", ruleServer_);
        DeleteRegTree(HKEY_LOCAL_MACHINE, kFirewallKey);
        SetWindowsVersion(L"qelwls64.exe", L"");
        CleanMachine();
    }
    std::wstring policyServer_, ruleServer_;
};

TEST_F(FirewallRules, InstallWithConmgmtAddsTheSixRulesAndUninstallRemovesThemByName) {
    SetWindowsVersion(L"qelwls64.exe", L"win7");
    SamplePackage package(L"firewall_rules");
    SetupRunResult run = package.Run(L"apponly_install", L"conmgmt");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "Configure windows firewall settings for Linkpad.")) << run.log;
    EXPECT_EQ(KeptRules(), ExpectedRules());
    Strings adds;
    for (const std::string& call : StandInCalls())
        if (call.rfind("Rules.Add ", 0) == 0) adds.push_back(call.substr(10));
    EXPECT_EQ(adds, ExpectedRules());
    EXPECT_EQ(CountLines(run.log, "Remove windows firewall settings from Linkpad."), 0u);

    ::DeleteFileW(kFirewallLog);
    run = package.Run(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "Remove windows firewall settings from Linkpad.")) << run.log;
    EXPECT_TRUE(KeptRules().empty());
    Strings removes;
    for (const std::string& call : StandInCalls())
        if (call.rfind("Rules.Remove ", 0) == 0) removes.push_back(call.substr(13));
    EXPECT_EQ(removes, Strings(std::begin(kRuleNames), std::end(kRuleNames)));
    // A second removal finds nothing and logs no failure.
    run = package.Run(L"uninstall");
    EXPECT_EQ(run.log.find("failed: 0x"), std::string::npos) << run.log;
}

TEST_F(FirewallRules, NoRulesWithoutTheOptionOrBeforeVista) {
    for (const auto& [version, more] : {std::pair<const wchar_t*, const wchar_t*>{L"win7", L""}, {L"winxp64", L"conmgmt"},
                                        {L"win7", L"CONMGMT"}}) {
        SCOPED_TRACE(Utf8(version) + " " + Utf8(more));
        SetWindowsVersion(L"qelwls64.exe", version);
        SamplePackage package(L"firewall_none");
        const SetupRunResult run = package.Run(L"apponly_install", more);
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        EXPECT_EQ(run.log.find("Configure windows firewall"), std::string::npos);
        EXPECT_TRUE(StandInCalls().empty());
        CleanMachine();
    }
}

// A rule the firewall refuses ends the adding: the rules before it stay, the
// install still succeeds.
TEST_F(FirewallRules, RefusedRuleStopsTheAddingAndTheInstallSucceeds) {
    SetWindowsVersion(L"qelwls64.exe", L"win7");
    SetText(kFirewallKey, L"FailAdd", Wide(kRuleNames[2]));
    SamplePackage package(L"firewall_refused");
    const SetupRunResult run = package.Run(L"apponly_install", L"conmgmt");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "AddFirewallRules failed: 0x80070005")) << run.log;
    const Strings expected = ExpectedRules();
    EXPECT_EQ(KeptRules(), Strings(expected.begin(), expected.begin() + 2));
    size_t adds = 0;
    for (const std::string& call : StandInCalls()) adds += call.rfind("Rules.Add ", 0) == 0;
    EXPECT_EQ(adds, 3u);
}

// --- the virtual adapter and the filter component ---------------------------

constexpr wchar_t kNetCfgServer[] = L"SOFTWARE\\Classes\\CLSID\\{5B035261-40F9-11D1-AAEC-00805FC1270E}\\InprocServer32";
constexpr wchar_t kNetCfgKey[] = L"SOFTWARE\\QelTest\\NetCfgStandIn";
constexpr wchar_t kFilterComponent[] = L"SOFTWARE\\QelTest\\NetCfgStandIn\\Components\\QELIS_NdisLwf";
constexpr wchar_t kNetCfgLog[] = L"C:\\qeltests\\netcfg-standin.log";
constexpr wchar_t kRootNet[] = L"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\NET";

bool KeyExists(const std::wstring& subkey) {
    qel::UniqueKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

// The device keys whose hardware ids hold Root\qelVWL (case ignored).
std::vector<std::wstring> VirtualAdapters() {
    std::vector<std::wstring> found;
    qel::UniqueKey root;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kRootNet, 0, KEY_READ, root.Put()) != ERROR_SUCCESS) return found;
    wchar_t name[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        if (::RegEnumKeyExW(root.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        const std::wstring device = std::wstring(kRootNet) + L"\\" + name;
        for (const std::wstring& id : ReadRegMultiString(HKEY_LOCAL_MACHINE, device, L"HardwareID"))
            if (::lstrcmpiW(id.c_str(), L"Root\\qelVWL") == 0) found.push_back(device);
    }
    return found;
}

Strings NetCfgCalls() { return PathExists(kNetCfgLog) ? SplitCrLfLines(ReadFileBytes(kNetCfgLog)) : Strings{}; }

const Strings kUninstallMissingFilter = {"Lock.AcquireWriteLock 5000 QELWLS", "NetCfg.Initialize",
                                         "NetCfg.FindComponent QELIS_NdisLwf", "NetCfg.Uninitialize",
                                         "Lock.ReleaseWriteLock"};
const Strings kInstallFilter = {"Lock.AcquireWriteLock 5000 QELWLS",
                                "NetCfg.Initialize",
                                "NetCfg.QueryNetCfgClass {4D36E974-E325-11CE-BFC1-08002BE10318}",
                                "ClassSetup.Install QELIS_NdisLwf obo=1 flags=0",
                                "NetCfg.Apply",
                                "NetCfg.Apply",
                                "NetCfg.Uninitialize",
                                "Lock.ReleaseWriteLock"};

Strings Concat(Strings a, const Strings& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class NetworkPieces : public FirewallRules {
protected:
    void SetUp() override {
        FirewallRules::SetUp();
        netCfgServer_ = ReadRegString(HKEY_LOCAL_MACHINE, kNetCfgServer, L"");
        SetText(kNetCfgServer, L"", TestBinDir() + L"\\qel_netcfgstandin.dll");
        SetText(kNetCfgServer, L"ThreadingModel", L"Both");
        DeleteRegTree(HKEY_LOCAL_MACHINE, kNetCfgKey);
        ::DeleteFileW(kNetCfgLog);
        SetWindowsVersion(L"qelwls64.exe", L"win7");
    }
    void TearDown() override {
        for (const std::wstring& device : VirtualAdapters()) DeleteRegTree(HKEY_LOCAL_MACHINE, device);
        SetText(kNetCfgServer, L"", netCfgServer_);
        DeleteRegTree(HKEY_LOCAL_MACHINE, kNetCfgKey);
        FirewallRules::TearDown();
    }
    void SetLockBusy(DWORD count) { SetValue(kNetCfgKey, L"LockBusy", REG_DWORD, &count, sizeof(count)); }
    std::wstring netCfgServer_;
};

TEST_F(NetworkPieces, InstallWithTheOptionsAddsAllThreeAndAFullUninstallTakesThemAway) {
    SamplePackage package(L"network_all");
    const std::string vwlInf = Utf8(package.File(L"VWL\\qelvwl.inf"));
    SetupRunResult run = package.Run(L"apponly_install", L"peernet -qelis conmgmt");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "InstallVirtualDriver(): Virtual Driver: " + vwlInf + ", Root\\qelVWL")) << run.log;
    // The virtual adapter: one root-enumerated device with the INF's driver.
    std::vector<std::wstring> adapters = VirtualAdapters();
    ASSERT_EQ(adapters.size(), 1u) << run.log;
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, adapters[0], L"Service"), L"qelvwl");
    const std::wstring driver = ReadRegString(HKEY_LOCAL_MACHINE, adapters[0], L"Driver");
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Class\\" + driver, L"InfSection"),
              L"QelVwl_Inst");
    // The filter: uninstalled (not there yet), then installed from the INF.
    EXPECT_EQ(NetCfgCalls(), Concat(kUninstallMissingFilter, kInstallFilter));
    EXPECT_TRUE(LogHasLine(run.log, "Couldn't get an interface pointer to QELIS_NdisLwf."));
    EXPECT_TRUE(LogHasLine(run.log, "Filter driver for pnp id 'QELIS_NdisLwf' has been installed successfully."));
    EXPECT_TRUE(KeyExists(kFilterComponent));
    bool infStored = false;
    // Windows stores it as oemNN.inf, Wine under its own name.
    for (const std::wstring& oem : FilesMatching(L"C:\\windows\\inf\\*.inf"))
        infStored = infStored || ReadFileBytes(L"C:\\windows\\inf\\" + oem) == ReadFileBytes(package.File(L"QELIS\\qelis.inf"));
    EXPECT_TRUE(infStored) << "the filter INF is in the INF store";
    EXPECT_EQ(KeptRules(), ExpectedRules());

    // With the adapter present an upgrade only updates its driver.
    run = package.Run(L"upgrade", L"peernet");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "FindDevice(): Found! [Root\\qelVWL]")) << run.log;
    EXPECT_EQ(VirtualAdapters(), adapters);

    ::DeleteFileW(kNetCfgLog);
    run = package.Run(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(VirtualAdapters().empty()) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "Uninstall Virtual Driver: Root\\qelVWL"));
    // Wine's disable is a stub, so "Disabled the device" is not logged
    // here; Windows disables the adapter before removing it.
    EXPECT_EQ(NetCfgCalls(),
              (Strings{"Lock.AcquireWriteLock 5000 QELWLS", "NetCfg.Initialize", "NetCfg.FindComponent QELIS_NdisLwf",
                       "Component.GetClassGuid QELIS_NdisLwf",
                       "NetCfg.QueryNetCfgClass {4D36E974-E325-11CE-BFC1-08002BE10318}",
                       "ClassSetup.DeInstall QELIS_NdisLwf obo=1", "NetCfg.Apply", "NetCfg.Uninitialize",
                       "Lock.ReleaseWriteLock"}));
    EXPECT_TRUE(LogHasLine(run.log, "Filter driver for component id 'QELIS_NdisLwf' has been uninstalled successfully."));
    EXPECT_FALSE(KeyExists(kFilterComponent));
    EXPECT_TRUE(KeptRules().empty());

    // Nothing left: the next full uninstall says so and changes nothing.
    ::DeleteFileW(kNetCfgLog);
    package.Run(L"apponly_install");
    run = package.Run(L"uninstall");
    EXPECT_TRUE(LogHasLine(run.log, "Virtual driver will not be Uninstalled because it does not exist.")) << run.log;
    EXPECT_EQ(NetCfgCalls(), kUninstallMissingFilter);
}

// "peernet" and "conmgmt" need Vista or later; "-qelis" works on every
// version. Without the options nothing of the three happens.
TEST_F(NetworkPieces, OptionsFollowTheVersionAndAMissingInfSkipsItsPiece) {
    {
        SetWindowsVersion(L"qelwls64.exe", L"winxp64");
        SamplePackage package(L"network_xp");
        const SetupRunResult run = package.Run(L"apponly_install", L"peernet -qelis conmgmt");
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        EXPECT_TRUE(VirtualAdapters().empty());
        EXPECT_TRUE(StandInCalls().empty());
        EXPECT_EQ(NetCfgCalls(), Concat(kUninstallMissingFilter, kInstallFilter));
    }
    CleanMachine();
    DeleteRegTree(HKEY_LOCAL_MACHINE, kNetCfgKey);
    ::DeleteFileW(kNetCfgLog);
    {
        SetWindowsVersion(L"qelwls64.exe", L"win7");
        SamplePackage package(L"network_none");
        const SetupRunResult run = package.Run(L"apponly_install");
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        EXPECT_TRUE(VirtualAdapters().empty());
        EXPECT_TRUE(StandInCalls().empty());
        EXPECT_TRUE(NetCfgCalls().empty());
    }
    CleanMachine();
    {
        SamplePackage package(L"network_noinf");
        DeleteTree(package.File(L"VWL"));
        DeleteTree(package.File(L"QELIS"));
        const SetupRunResult run = package.Run(L"apponly_install", L"peernet -qelis");
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        EXPECT_TRUE(LogHasLine(run.log, "Virtual driver will not be installed because '" +
                                            Utf8(package.File(L"VWL\\qelvwl.inf")) + "' does not exist."))
            << run.log;
        EXPECT_TRUE(VirtualAdapters().empty());
        // The filter is still taken away; a missing INF installs nothing.
        EXPECT_EQ(NetCfgCalls(), kUninstallMissingFilter);
        EXPECT_EQ(run.log.find("Installing Filter Driver"), std::string::npos);
    }
}

TEST_F(NetworkPieces, InstallWaitsForTheWriteLockAndGivesUpAfterTenAttempts) {
    SamplePackage package(L"network_lock");
    // Taken for the uninstall's one try and the install's first two.
    SetLockBusy(3);
    SetupRunResult run = package.Run(L"apponly_install", L"-qelis");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "QelOtherClient currently holds the lock, try later.")) << run.log;
    for (const char* attempt : {"#1.", "#2."})
        EXPECT_NE(run.log.find(std::string("QelOtherClient currently holds the lock -- ") + attempt), std::string::npos);
    EXPECT_EQ(run.log.find("holds the lock -- #3."), std::string::npos);
    EXPECT_TRUE(KeyExists(kFilterComponent));
    package.Run(L"uninstall");
    CleanMachine();
    DeleteRegTree(HKEY_LOCAL_MACHINE, kNetCfgKey);
    ::DeleteFileW(kNetCfgLog);

    // Never granted: ten waits, no install and no failure of the run.
    SetLockBusy(100);
    run = package.Run(L"apponly_install", L"-qelis");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    for (int attempt = 1; attempt <= 10; ++attempt)
        EXPECT_NE(run.log.find("holds the lock -- #" + std::to_string(attempt) + "."), std::string::npos) << attempt;
    EXPECT_EQ(run.log.find("holds the lock -- #11."), std::string::npos);
    EXPECT_EQ(run.log.find("has been installed successfully"), std::string::npos);
    EXPECT_FALSE(KeyExists(kFilterComponent));
    Strings installs;
    for (const std::string& call : NetCfgCalls())
        if (call.rfind("ClassSetup.", 0) == 0) installs.push_back(call);
    EXPECT_TRUE(installs.empty());
}

}  // namespace
