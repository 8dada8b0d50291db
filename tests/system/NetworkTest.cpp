// The network side of the product through whole runs of qelwls64.exe: the
// adapter commands (disable, enable, restart by instance id) and the network
// pieces of an install (virtual adapter, filter component, firewall rules),
// with stand-ins for the firewall policy and INetCfg where Wine keeps nothing.
#include "DeviceTestHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

using namespace qeltest;

namespace {

using Strings = std::vector<std::string>;

constexpr wchar_t kEnumRoot[] = L"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\QELTESTNET";
constexpr wchar_t kClassRoot[] = L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
constexpr char kShownId[] = "{8F3B1E2A-5C4D-4E6F-9A0B-1C2D3E4F5A6B}";
constexpr char kHiddenId[] = "{0B1C2D3E-4F5A-4B6C-8D7E-9F0A1B2C3D4E}";

void SetValue(const std::wstring& subkey, const std::wstring& name, DWORD type, const void* data, DWORD size) {
    ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, subkey.c_str(), name.c_str(), type, data, size), ERROR_SUCCESS);
}
void SetText(const std::wstring& subkey, const std::wstring& name, const std::wstring& text) {
    SetValue(subkey, name, REG_SZ, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}
void SetDword(const std::wstring& subkey, const std::wstring& name, DWORD value) {
    SetValue(subkey, name, REG_DWORD, &value, sizeof(value));
}

size_t CountLines(const std::string& log, const std::string& message) {
    const Strings messages = LogMessages(log);
    return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
}

// A stand-in's call record; none when it is missing.
Strings FileLines(const wchar_t* path) { return PathExists(path) ? SplitCrLfLines(ReadFileBytes(path)) : Strings{}; }

// The recorded calls that start with prefix, without it.
Strings CallsStarting(const wchar_t* path, const std::string& prefix) {
    Strings calls;
    for (const std::string& call : FileLines(path))
        if (call.rfind(prefix, 0) == 0) calls.push_back(call.substr(prefix.size()));
    return calls;
}

// A network adapter as Windows lists it: a present device of the network
// class whose driver key holds its instance id and characteristics.
// (Wine lists every device in the Enum key as present.)
void AddAdapter(const std::wstring& instance, const std::string& instanceId, DWORD characteristics) {
    const std::wstring device = std::wstring(kEnumRoot) + L"\\" + instance;
    const std::wstring driverKey = std::wstring(kClassRoot) + L"\\" + instance;
    SetRegMultiString(device, L"HardwareID", std::wstring(L"Root\\qelTestNet") + L'\0');
    SetText(device, L"ClassGUID", kNetClass);
    SetText(device, L"Class", L"Net");
    SetText(device, L"Driver", std::wstring(kNetClass) + L"\\" + instance);
    SetText(driverKey, L"NetCfgInstanceId", Wide(instanceId));
    SetDword(driverKey, L"Characteristics", characteristics);
}
void RemoveAdapters() {
    DeleteRegTree(HKEY_LOCAL_MACHINE, kEnumRoot);
    for (const wchar_t* instance : {L"\\7001", L"\\7002"}) DeleteRegTree(HKEY_LOCAL_MACHINE, kClassRoot + std::wstring(instance));
}

class AdapterCommand : public ::testing::Test {
protected:
    AdapterCommand() : folder_(L"adapter_command") {}
    void SetUp() override {
        RemoveAdapters();
        AddAdapter(L"7001", kShownId, 0x4);   // physical
        AddAdapter(L"7002", kHiddenId, 0x9);  // virtual and hidden
    }
    void TearDown() override { RemoveAdapters(); }
    SetupFolder folder_;
};

// Wine finds the adapter but its property-change call is a stub
// (SetupDiSetClassInstallParams fails), so a found adapter stops at the state
// change; Windows disables or enables it and logs the success line. Either
// way the command ends without a result: the initial 202, no Result line, no
// stored message, and no script looked for.
TEST_F(AdapterCommand, FoundAdapterStopsAtTheStateChangeAndOthersAreNotFound) {
    std::string lowerId = kShownId;
    std::transform(lowerId.begin(), lowerId.end(), lowerId.begin(), ::tolower);
    for (const char* command : {"disabledriver", "ENABLEDRIVER", "restartdriver"}) {
        for (const std::string& id : {lowerId, std::string("{11111111-2222-3333-4444-555555555555}"),
                                      std::string("not-a-guid"), std::string("{8F3B1E2A-5C4D"), std::string(kHiddenId)}) {
            SCOPED_TRACE(std::string(command) + " " + id);
            const bool found = id == lowerId;
            const SetupRunResult run = RunSetupProgram(folder_.Exe(), Wide(std::string(command) + " " + id));
            EXPECT_EQ(run.exitCode, 202u) << run.log;
            EXPECT_EQ(run.out, kVersionLine);
            bool stored = true;
            ReadResultMessage(&stored);
            EXPECT_FALSE(stored);
            EXPECT_EQ(CountLines(run.log, "Adapter is not found."), found ? 0u : 1u) << run.log;
            // A restart whose disable failed neither waits nor enables: its pause
            // comes between the disable and the enable, and no second state
            // change is tried. (Not timed: on a loaded machine any bound on the
            // run's time is flaky.)
            EXPECT_EQ(CountLines(run.log, "SetupDiSetClassInstallParams failed"), found ? 1u : 0u) << run.log;
            EXPECT_TRUE(found || run.log.find("SetupDiSetClassInstallParams") == std::string::npos);
            EXPECT_EQ(run.log.find("successfully"), std::string::npos);
            EXPECT_EQ(run.log.find("Using ini file"), std::string::npos);
        }
    }
}

// --- the network pieces of an install -----------------------------------------

constexpr wchar_t kPolicyServer[] = L"SOFTWARE\\Classes\\CLSID\\{E2B3C97F-6AE1-41AC-817A-F6F92166D7DD}\\InprocServer32";
constexpr wchar_t kRuleServer[] = L"SOFTWARE\\Classes\\CLSID\\{2C5BC43E-3369-4C33-AB0C-BE9469677AF4}\\InprocServer32";
constexpr wchar_t kNetCfgServer[] = L"SOFTWARE\\Classes\\CLSID\\{5B035261-40F9-11D1-AAEC-00805FC1270E}\\InprocServer32";
constexpr wchar_t kFirewallKey[] = L"SOFTWARE\\QelTest\\FirewallStandIn";
constexpr wchar_t kFirewallLog[] = L"C:\\qeltests\\firewall-standin.log";
constexpr wchar_t kNetCfgKey[] = L"SOFTWARE\\QelTest\\NetCfgStandIn";
constexpr wchar_t kFilterComponent[] = L"SOFTWARE\\QelTest\\NetCfgStandIn\\Components\\QELIS_NdisLwf";
constexpr wchar_t kNetCfgLog[] = L"C:\\qeltests\\netcfg-standin.log";
constexpr wchar_t kRootNet[] = L"SYSTEM\\CurrentControlSet\\Enum\\ROOT\\NET";

const char* const kRuleNames[] = {"Linkpad-Incoming Control TCP Rule", "Linkpad-Incoming Data TCP rule",
                                  "Linkpad-Outgoing Ctrl TCP rule",    "Linkpad-Outgoing Data TCP rule",
                                  "Linkpad-Incoming UDP port Rule",    "Linkpad-Outgoing port UDP Rule"};

// What the stand-in keeps of each rule: name|description|program|protocol|
// local ports ("*" when not set)|direction|grouping|profiles|action|enabled.
Strings ExpectedRules() {
    const std::string app = "Linkpad.exe|", sendTo = "LinkpadSendToExplorer.exe|";
    const std::pair<const char*, std::string> rules[] = {
        {"incoming TCP", app + "6|21|1"},   {"incoming TCP", app + "6|49201,49202|1"}, {"outgoing TCP", sendTo + "6|*|2"},
        {"outgoing TCP", sendTo + "6|*|2"}, {"incoming UDP", app + "17|1028|1"},       {"outgoing UDP", app + "17|*|2"}};
    Strings expected;
    for (size_t i = 0; i < 6; ++i)
        expected.push_back(std::string(kRuleNames[i]) + "|Allow " + rules[i].first +
                           " network traffic to Linkpad|C:\\Program Files\\Qel Wireless\\" + rules[i].second +
                           "|Wi-Fi Direct Rule Group|0x7fffffff|1|-1");
    return expected;
}

// The rules the stand-in holds, in the order of the six names.
Strings KeptRules() {
    Strings kept;
    for (const char* name : kRuleNames) {
        const std::wstring rule =
            ReadRegString(HKEY_LOCAL_MACHINE, std::wstring(kFirewallKey) + L"\\Rules\\" + Wide(name), L"Rule");
        if (!rule.empty()) kept.push_back(Utf8(rule));
    }
    return kept;
}

// The paths of the subkeys of HKLM\<key>.
std::vector<std::wstring> SubkeysOf(const std::wstring& key) {
    std::vector<std::wstring> paths;
    qel::UniqueKey opened;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, opened.Put()) != ERROR_SUCCESS) return paths;
    wchar_t name[256];
    for (DWORD index = 0, length = 256;
         ::RegEnumKeyExW(opened.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++index, length = 256)
        paths.push_back(key + L"\\" + name);
    return paths;
}

// The device keys whose hardware ids hold Root\qelVWL (case ignored).
std::vector<std::wstring> VirtualAdapters() {
    std::vector<std::wstring> found;
    for (const std::wstring& device : SubkeysOf(kRootNet))
        for (const std::wstring& id : ReadRegMultiString(HKEY_LOCAL_MACHINE, device, L"HardwareID"))
            if (::lstrcmpiW(id.c_str(), L"Root\\qelVWL") == 0) found.push_back(device);
    return found;
}

// The driver keys of the filter component, which the stand-in keeps where
// Windows keeps those of network components.
std::vector<std::wstring> FilterDriverKeys() {
    std::vector<std::wstring> keys;
    for (const std::wstring& key :
         SubkeysOf(L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E974-E325-11CE-BFC1-08002BE10318}"))
        if (ReadRegString(HKEY_LOCAL_MACHINE, key, L"ComponentId") == L"qelis_ndislwf") keys.push_back(key);
    return keys;
}

// What the network pieces change beside the product: the virtual adapters
// with their driver keys, the filter component with its driver, the INF
// store. (Wine keeps the driver key of a device it removes, which Windows
// deletes: only the driver keys that devices name are compared.)
MachineState SnapshotNetworkMachine() {
    MachineState state = SnapshotMachine();
    for (const std::wstring& device : VirtualAdapters()) {
        AddRegistryBelow(HKEY_LOCAL_MACHINE, device, state.registry);
        const std::wstring driver = ReadRegString(HKEY_LOCAL_MACHINE, device, L"Driver");
        if (!driver.empty())
            AddRegistryBelow(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\Class\\" + driver, state.registry);
    }
    AddRegistryBelow(HKEY_LOCAL_MACHINE, kFilterComponent, state.registry);
    for (const std::wstring& key : FilterDriverKeys()) AddRegistryBelow(HKEY_LOCAL_MACHINE, key, state.registry);
    AddInfStore(state);
    return state;
}

const Strings kUninstallMissingFilter = {"Lock.AcquireWriteLock 5000 QELWLS", "NetCfg.Initialize",
                                         "NetCfg.FindComponent QELIS_NdisLwf", "NetCfg.Uninitialize",
                                         "Lock.ReleaseWriteLock"};
const Strings kUninstallThenInstallFilter = {
    "Lock.AcquireWriteLock 5000 QELWLS", "NetCfg.Initialize", "NetCfg.FindComponent QELIS_NdisLwf",
    "NetCfg.Uninitialize", "Lock.ReleaseWriteLock", "Lock.AcquireWriteLock 5000 QELWLS", "NetCfg.Initialize",
    "NetCfg.QueryNetCfgClass {4D36E974-E325-11CE-BFC1-08002BE10318}", "ClassSetup.Install QELIS_NdisLwf obo=1 flags=0",
    "NetCfg.Apply", "NetCfg.Apply", "NetCfg.Uninitialize", "Lock.ReleaseWriteLock"};

// The stand-ins serve the firewall and INetCfg classes in place of Wine's;
// the machine runs as Windows 7.
class NetworkPieces : public ::testing::Test {
protected:
    void SetUp() override {
        for (Server& server : servers_) {
            server.had = ReadRegString(HKEY_LOCAL_MACHINE, server.key, L"");
            SetText(server.key, L"", TestBinDir() + L"\\" + server.standIn);
            SetText(server.key, L"ThreadingModel", L"Both");
        }
        Reset();
        SetWindowsVersion(L"qelwls64.exe", L"win7");
    }
    void TearDown() override {
        Reset();
        for (const Server& server : servers_) SetText(server.key, L"", server.had);
        SetWindowsVersion(L"qelwls64.exe", L"");
    }
    static void Reset() {
        CleanMachine();
        for (const std::wstring& key : FilterDriverKeys()) DeleteRegTree(HKEY_LOCAL_MACHINE, key);
        for (const std::wstring& device : VirtualAdapters()) DeleteRegTree(HKEY_LOCAL_MACHINE, device);
        for (const wchar_t* key : {kFirewallKey, kNetCfgKey}) DeleteRegTree(HKEY_LOCAL_MACHINE, key);
        for (const wchar_t* log : {kFirewallLog, kNetCfgLog}) ::DeleteFileW(log);
    }
    struct Server {
        const wchar_t *key, *standIn;
        std::wstring had;  // the server before the test
    } servers_[3] = {{kPolicyServer, L"qel_firewallstandin.dll", L""},
                     {kRuleServer, L"qel_firewallstandin.dll", L""},
                     {kNetCfgServer, L"qel_netcfgstandin.dll", L""}};
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
    EXPECT_EQ(FileLines(kNetCfgLog), kUninstallThenInstallFilter);
    ExpectLogLines(run.log, {"Couldn't get an interface pointer to QELIS_NdisLwf.",
                             "Filter driver for pnp id 'QELIS_NdisLwf' has been installed successfully.",
                             "Configure windows firewall settings for Linkpad."});
    EXPECT_TRUE(HklmKeyExists(kFilterComponent));
    bool infStored = false;
    // Windows stores it as oemNN.inf, Wine under its own name.
    for (const std::wstring& oem : FilesMatching(L"C:\\windows\\inf\\*.inf"))
        infStored = infStored || ReadFileBytes(L"C:\\windows\\inf\\" + oem) == ReadFileBytes(package.File(L"QELIS\\qelis.inf"));
    EXPECT_TRUE(infStored) << "the filter INF is in the INF store";
    // The six firewall rules, added in order.
    EXPECT_EQ(CountLines(run.log, "Remove windows firewall settings from Linkpad."), 0u);
    EXPECT_EQ(KeptRules(), ExpectedRules());
    EXPECT_EQ(CallsStarting(kFirewallLog, "Rules.Add "), ExpectedRules());

    // With the adapter present an upgrade only updates its driver.
    run = package.Run(L"upgrade", L"peernet");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "FindDevice(): Found! [Root\\qelVWL]")) << run.log;
    EXPECT_EQ(VirtualAdapters(), adapters);

    for (const wchar_t* log : {kFirewallLog, kNetCfgLog}) ::DeleteFileW(log);
    run = package.Run(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(VirtualAdapters().empty()) << run.log;
    ExpectLogLines(run.log, {"Uninstall Virtual Driver: Root\\qelVWL",
                             "Filter driver for component id 'QELIS_NdisLwf' has been uninstalled successfully.",
                             "Remove windows firewall settings from Linkpad."});
    // Wine's disable is a stub, so "Disabled the device" is not logged
    // here; Windows disables the adapter before removing it.
    EXPECT_EQ(FileLines(kNetCfgLog),
              (Strings{"Lock.AcquireWriteLock 5000 QELWLS", "NetCfg.Initialize", "NetCfg.FindComponent QELIS_NdisLwf",
                       "Component.GetClassGuid QELIS_NdisLwf",
                       "NetCfg.QueryNetCfgClass {4D36E974-E325-11CE-BFC1-08002BE10318}",
                       "ClassSetup.DeInstall QELIS_NdisLwf obo=1", "NetCfg.Apply", "NetCfg.Uninitialize",
                       "Lock.ReleaseWriteLock"}));
    EXPECT_FALSE(HklmKeyExists(kFilterComponent));
    EXPECT_TRUE(KeptRules().empty());
    EXPECT_EQ(CallsStarting(kFirewallLog, "Rules.Remove "), Strings(std::begin(kRuleNames), std::end(kRuleNames)));

    // Nothing left: the next full uninstall says so, changes nothing and
    // logs no failure.
    ::DeleteFileW(kNetCfgLog);
    package.Run(L"apponly_install");
    run = package.Run(L"uninstall");
    EXPECT_TRUE(LogHasLine(run.log, "Virtual driver will not be Uninstalled because it does not exist.")) << run.log;
    EXPECT_EQ(FileLines(kNetCfgLog), kUninstallMissingFilter);
    EXPECT_EQ(run.log.find("failed: 0x"), std::string::npos) << run.log;
}

// "peernet" and "conmgmt" (in that case) need Vista or later; "-qelis" works
// on every version. Without the options nothing of the three happens; a
// missing INF skips its piece.
TEST_F(NetworkPieces, OptionsFollowTheVersionAndAMissingInfSkipsItsPiece) {
    const struct {
        const wchar_t *version, *options;
        bool withoutInfs;
        Strings netCfg;
    } cases[] = {{L"winxp64", L"peernet -qelis conmgmt", false, kUninstallThenInstallFilter},
                 {L"win7", L"", false, {}},
                 {L"win7", L"CONMGMT", false, {}},
                 {L"win7", L"peernet -qelis", true, kUninstallMissingFilter}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Utf8(c.version) + " " + Utf8(c.options));
        Reset();
        SetWindowsVersion(L"qelwls64.exe", c.version);
        SamplePackage package(L"network_options");
        if (c.withoutInfs)
            for (const wchar_t* folder : {L"VWL", L"QELIS"}) DeleteTree(package.File(folder));
        const SetupRunResult run = package.Run(L"apponly_install", c.options);
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        EXPECT_TRUE(VirtualAdapters().empty());
        EXPECT_EQ(run.log.find("Configure windows firewall"), std::string::npos);
        EXPECT_TRUE(FileLines(kFirewallLog).empty());
        EXPECT_EQ(FileLines(kNetCfgLog), c.netCfg);
        if (!c.withoutInfs) continue;
        EXPECT_TRUE(LogHasLine(run.log, "Virtual driver will not be installed because '" +
                                            Utf8(package.File(L"VWL\\qelvwl.inf")) + "' does not exist."))
            << run.log;
        // The filter is still taken away; a missing INF installs nothing.
        EXPECT_EQ(run.log.find("Installing Filter Driver"), std::string::npos);
    }
}

// A rule the firewall refuses ends the adding: the rules before it stay, the
// install still succeeds.
TEST_F(NetworkPieces, RefusedRuleStopsTheAddingAndTheInstallSucceeds) {
    SetText(kFirewallKey, L"FailAdd", Wide(kRuleNames[2]));
    SamplePackage package(L"firewall_refused");
    const SetupRunResult run = package.Run(L"apponly_install", L"conmgmt");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "AddFirewallRules failed: 0x80070005")) << run.log;
    const Strings expected = ExpectedRules();
    EXPECT_EQ(KeptRules(), Strings(expected.begin(), expected.begin() + 2));
    EXPECT_EQ(CallsStarting(kFirewallLog, "Rules.Add ").size(), 3u);
}

// The lock is taken for the uninstall's one try and then for the install's
// first two (it is granted at the third), or never (ten waits, no install,
// and no failure of the run).
TEST_F(NetworkPieces, InstallWaitsForTheWriteLockAndGivesUpAfterTenAttempts) {
    SamplePackage package(L"network_lock");
    for (const auto& [busy, waits] : {std::pair<DWORD, int>{3, 2}, {100, 10}}) {
        SCOPED_TRACE(busy);
        Reset();
        SetDword(kNetCfgKey, L"LockBusy", busy);
        const SetupRunResult run = package.Run(L"apponly_install", L"-qelis");
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        EXPECT_TRUE(LogHasLine(run.log, "QelOtherClient currently holds the lock, try later.")) << run.log;
        for (int attempt = 1; attempt <= waits; ++attempt)
            EXPECT_NE(run.log.find("QelOtherClient currently holds the lock -- #" + std::to_string(attempt) + "."),
                      std::string::npos) << attempt;
        EXPECT_EQ(run.log.find("holds the lock -- #" + std::to_string(waits + 1) + "."), std::string::npos);
        const bool installed = busy == 3;
        EXPECT_EQ(HklmKeyExists(kFilterComponent), installed);
        EXPECT_EQ(LogHasLine(run.log, "Filter driver for pnp id 'QELIS_NdisLwf' has been installed successfully."), installed);
        EXPECT_TRUE(installed || run.log.find("has been installed successfully") == std::string::npos);
        EXPECT_EQ(CallsStarting(kNetCfgLog, "ClassSetup.").empty(), !installed);
    }
}

// A full uninstall that fails in its commit leaves the product installed,
// and so the virtual adapter and the filter too: they go only after the
// commit of the removals succeeded.
TEST_F(NetworkPieces, AFailedFullUninstallKeepsTheVirtualAdapterAndTheFilter) {
    SamplePackage package(L"network_failed_uninstall");
    ASSERT_EQ(package.Run(L"apponly_install", L"peernet -qelis").exitCode, 0u);
    const std::vector<std::wstring> adapters = VirtualAdapters();
    ASSERT_EQ(adapters.size(), 1u);
    ASSERT_TRUE(HklmKeyExists(kFilterComponent));
    // A text appended to a number fails the registry stage.
    WriteFileBytes(package.File(L"qelwls.ini"),
                   std::regex_replace(ReadFileBytes(package.File(L"qelwls.ini")), std::regex("\\[Uninstall\\]\r?\n"),
                                      "[Uninstall]\r\nAddReg=Breaks\r\n") +
                       "\r\n[Breaks]\r\nHKLM,\"SOFTWARE\\Qel\\Number\",N,0x10001,1,,0\r\n"
                       "HKLM,\"SOFTWARE\\Qel\\Number\",N,0x10008,\"x\",,0\r\n");
    ::DeleteFileW(kNetCfgLog);
    const MachineState before = SnapshotMachine();
    const SetupRunResult run = package.Run(L"uninstall");
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    EXPECT_EQ(run.log.find("Uninstall Virtual Driver"), std::string::npos) << run.log;
    EXPECT_EQ(VirtualAdapters(), adapters);
    EXPECT_TRUE(HklmKeyExists(kFilterComponent));
    EXPECT_TRUE(CallsStarting(kNetCfgLog, "ClassSetup.").empty());
    ExpectSameMachine(before, SnapshotMachine());
}

// The sample's adapter and filter are installed; a run brings both anew from
// the packages the driver kit stamps, and its filter install fails (the
// engine refuses it once): the adapter's driver goes back to the sample's,
// the sample's filter is put back, and the new INFs leave the store. Then the
// same run killed at each record it makes, and the next run: the machine is
// as it was every time. (The device stand-ins bind the adapter's driver.)
TEST_F(NetworkPieces, AFailedOrKilledRunOfThePiecesLeavesThemAsTheyWere) {
    InstallDeviceStandIns();
    ASSERT_EQ(SamplePackage(L"network_pieces_first").Run(L"apponly_install", L"peernet -qelis").exitCode, 0u);
    const std::wstring sampleFilterInf = ReadRegString(HKEY_LOCAL_MACHINE, FilterDriverKeys().at(0), L"InfPath");
    SamplePackage package(L"network_pieces_again");
    for (const wchar_t* piece : {L"VWL", L"QELIS"}) CopyTree(TestBinDir() + L"\\wdk\\" + piece, package.File(piece));
    const MachineState before = SnapshotNetworkMachine();

    const auto failOnce = [] { SetDword(kNetCfgKey, L"FailInstall", 1); };
    failOnce();
    const SetupRunResult failed = package.Run(L"upgrade", L"peernet -qelis");
    EXPECT_EQ(failed.exitCode, 200u) << failed.log;
    EXPECT_TRUE(LogHasLine(failed.log, "Couldn't install Filter Driver.")) << failed.log;
    ExpectSameMachine(before, SnapshotNetworkMachine());
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, FilterDriverKeys().at(0), L"InfPath"), sampleFilterInf);

    // Killed at each record up to the failing filter install; the next run
    // finds the engine willing again.
    KilledRuns runs;
    runs.command = L"\"" + package.Exe() + L"\" " + package.Arguments(L"upgrade", L"peernet -qelis");
    runs.prepare = failOnce;
    runs.settle = [] { DeleteRegValue(HKEY_LOCAL_MACHINE, kNetCfgKey, L"FailInstall"); };
    runs.snapshot = SnapshotNetworkMachine;
    ExpectEachKillUndoneByTheNextRun(runs, IdleFolder(), before);
}

// The virtual adapter and the filter as the driver kit stamps their INFs
// (versioned decorations for several architectures and Windows versions):
// on Windows 7 the run takes their 6.1 sections. The same INFs made for
// Windows 10 only have nothing for this system: a run that asks for the
// piece ends before any change, so the filter already installed stays.
// (The device stand-ins bind the adapter's driver: Wine's own reads no
// versioned decoration.)
TEST_F(NetworkPieces, PiecesStampedForSeveralSystemsInstallAndThoseWithoutThisSystemAreRefusedFirst) {
    InstallDeviceStandIns();
    SamplePackage package(L"network_wdk");
    for (const wchar_t* piece : {L"VWL", L"QELIS"}) CopyTree(TestBinDir() + L"\\wdk\\" + piece, package.File(piece));
    SetupRunResult run = package.Run(L"apponly_install", L"peernet -qelis");
    ASSERT_EQ(run.exitCode, 0u) << run.log;
    const std::vector<std::wstring> adapters = VirtualAdapters();
    ASSERT_EQ(adapters.size(), 1u) << run.log;
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, adapters[0], L"Service"), L"qelvwl");
    const std::wstring driver = ReadRegString(HKEY_LOCAL_MACHINE, adapters[0], L"Driver");
    const std::wstring driverKey = L"SYSTEM\\CurrentControlSet\\Control\\Class\\" + driver;
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, driverKey, L"InfSection"), L"QelVwl.ndi");
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, driverKey, L"DriverDesc"), L"Qel Wireless Virtual Adapter");
    EXPECT_EQ(FileLines(kNetCfgLog), kUninstallThenInstallFilter);
    EXPECT_TRUE(LogHasLine(run.log, "Filter driver for pnp id 'QELIS_NdisLwf' has been installed successfully."));

    const auto refused = [&](const wchar_t* piece, const wchar_t* inf, const std::wstring& options,
                             const std::string& line) {
        SCOPED_TRACE(Utf8(piece));
        SamplePackage tenOnly(L"network_wdk_ten");
        for (const wchar_t* each : {L"VWL", L"QELIS"}) CopyTree(TestBinDir() + L"\\wdk\\" + each, tenOnly.File(each));
        const std::wstring path = tenOnly.File(std::wstring(piece) + L"\\" + inf);
        WriteFileBytes(path, std::regex_replace(ReadFileBytes(path), std::regex(", NTamd64\\.6\\.1"), ""));
        ::DeleteFileW(kNetCfgLog);
        const MachineState before = SnapshotMachine();
        const SetupRunResult ended = tenOnly.Run(L"apponly_install", options);
        EXPECT_EQ(ended.exitCode, 100u) << ended.log;
        EXPECT_EQ(ended.out, kVersionLine);
        EXPECT_TRUE(std::regex_match(Utf8(ReadResultMessage()), std::regex("Result,100,SetupErrorNoConfigFile,CmdLine,[0-9]+\n")))
            << Utf8(ReadResultMessage());
        EXPECT_TRUE(LogHasLine(ended.log, std::regex_replace(line, std::regex("PATH"), Utf8(path)))) << ended.log;
        ExpectSameMachine(before, SnapshotMachine());
        EXPECT_EQ(VirtualAdapters(), adapters);
        EXPECT_TRUE(FileLines(kNetCfgLog).empty());
        EXPECT_TRUE(HklmKeyExists(kFilterComponent));
    };
    refused(L"VWL", L"qelvwl.inf", L"peernet",
            "Virtual driver will not be installed because 'PATH' has no model of Root\\qelVWL for x64 Windows 6.1 build "
            "7601.");
    refused(L"QELIS", L"qelis.inf", L"-qelis",
            "Filter driver will not be installed because 'PATH' has no model for x64 Windows 6.1 build 7601.");
}

}  // namespace
