// Which models section of a driver INF a system takes: decorations as
// Windows reads them, the closest of several, and a driver INF read through
// InfFile on both Windows roads.
#include "DriverInf.h"
#include "DriverInfPlatform.h"
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

namespace {

using qel::InfPlatform;

// x64 systems: Windows 10 1809 and 21H2 workstations (terminal services
// suite bit), Windows 7 SP1, Server 2003 x64.
const InfPlatform kWin10_1809{L"amd64", 10, 0, 17763, VER_NT_WORKSTATION, VER_SUITE_SINGLEUSERTS};
const InfPlatform kWin10_1703{L"amd64", 10, 0, 15063, VER_NT_WORKSTATION, VER_SUITE_SINGLEUSERTS};
const InfPlatform kWin7{L"amd64", 6, 1, 7601, VER_NT_WORKSTATION, VER_SUITE_SINGLEUSERTS};
const InfPlatform kServer2003{L"amd64", 5, 2, 3790, VER_NT_SERVER, VER_SUITE_ENTERPRISE};

TEST(InfDecoration, FitsTheSystemsWindowsWouldUseItOn) {
    const struct {
        const wchar_t* decoration;
        bool win10, win10_1703, win7, server2003;
    } cases[] = {
        {L"NTamd64", true, true, true, true},
        {L"ntAMD64", true, true, true, true},  // any case
        {L"NT", true, true, true, true},       // any architecture
        {L"NTamd64.10.0...16299", true, false, false, false},
        {L"NTamd64.10.0", true, true, false, false},
        {L"NTamd64.6.1", true, true, true, false},
        {L"NTamd64.6", true, true, true, false},  // minor left out: 6.0
        {L"NT.6.0", true, true, true, false},
        {L"NTamd64.6.1...7600", true, true, true, false},  // an earlier build of 6.1
        {L"NTamd64.6.1...7602", true, true, false, false},
        {L"NTamd64.11.0", false, false, false, false},  // later than any of them
        {L"NTamd64.10.0.1", true, true, false, false},  // workstations only
        {L"NTamd64.5.2.3", false, false, false, true},                 // servers only
        {L"NTamd64....0x00000100", true, true, true, false},           // needs the terminal services bit
        {L"NTamd64....0x102", false, false, false, false},             // all of the bits asked for
        {L"NTamd64..0x0000002", false, false, false, false},  // a version field in hex is no number
        {L"NTx86", false, false, false, false},
        {L"NTarm64.10.0...16299", false, false, false, false},
        {L"NTia64", false, false, false, false},
        {L"NTamd64x", false, false, false, false},
        {L"Windows", false, false, false, false},
        {L"", false, false, false, false},
        {L"NTamd64.ten", false, false, false, false},
        {L"NTamd64.10.0.1.0x100.16299.1", false, false, false, false},  // one field too many
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qeltest::Utf8(c.decoration));
        const qel::InfDecoration parsed = qel::ParseInfDecoration(c.decoration);
        EXPECT_EQ(qel::DecorationFits(parsed, kWin10_1809), c.win10);
        EXPECT_EQ(qel::DecorationFits(parsed, kWin10_1703), c.win10_1703);
        EXPECT_EQ(qel::DecorationFits(parsed, kWin7), c.win7);
        EXPECT_EQ(qel::DecorationFits(parsed, kServer2003), c.server2003);
    }
}

// Of the decorations that fit, the newest version wins; at equal versions
// the one that names the architecture; the first of equals.
TEST(InfDecoration, TheClosestOfSeveralWins) {
    const std::vector<std::wstring> stamped = {L"NTx86.10.0...16299", L"NTamd64.6.1", L"NT.10.0...16299",
                                               L"NTamd64.10.0...16299", L"NTamd64", L"NTamd64.10.0",
                                               L"NTarm64.10.0...16299"};
    EXPECT_EQ(qel::BestDecoration(stamped, kWin10_1809), 3);
    EXPECT_EQ(qel::BestDecoration(stamped, kWin10_1703), 5);
    EXPECT_EQ(qel::BestDecoration(stamped, kWin7), 1);
    EXPECT_EQ(qel::BestDecoration(stamped, kServer2003), 4);
    EXPECT_EQ(qel::BestDecoration({L"NTx86", L"NTarm64"}, kWin7), -1);
    EXPECT_EQ(qel::BestDecoration({L"NTamd64.6.1", L"ntamd64.6.1"}, kWin7), 0);
    EXPECT_EQ(qel::BestDecoration({L"NTamd64.6.1", L"NTamd64.6.1.1"}, kWin7), 1);

    using Fields = std::vector<std::wstring>;
    EXPECT_EQ(qel::ModelsSectionFor(Fields{L"Std"}, kServer2003), L"Std");  // no decorations: for every system
    EXPECT_EQ(qel::ModelsSectionFor(Fields{L"Std", L""}, kServer2003), L"Std");
    EXPECT_EQ(qel::ModelsSectionFor(Fields{L"Std", L"NTx86", L"NTamd64"}, kServer2003), L"Std.NTamd64");
    EXPECT_EQ(qel::ModelsSectionFor(Fields{L"Std", L"NTamd64.10.0...16299"}, kWin7), L"");
    EXPECT_EQ(qel::ModelsSectionFor(Fields{L"Std", L"NTamd64.10.0...16299"}, kWin10_1809),
              L"Std.NTamd64.10.0...16299");
    EXPECT_EQ(qel::ModelsSectionFor(Fields{}, kWin7), L"");
}

// A package for several makers and systems, read as each road reads it:
// every maker's section for this system, none for a maker without one, and
// a package with no section for the system refused with its name. (The test
// prefix runs as Wine's default, Windows 7 SP1.)
TEST(InfModels, HardwareIdsOfEveryMakerForThisSystem) {
    const std::wstring path = qeltest::WriteScript(
        qeltest::MakeScratchFolder(L"inf-models") + L"\\wdk.inf",
        "[Manufacturer]\n%Qel%=Qel,NTamd64.10.0...16299,NTx86.6.1,NTamd64.6.1,NTamd64.5.2\n"
        "%Kestrel%=Kestrel,NTarm64.10.0...16299,NTamd64.10.0...16299\n"
        "%Old%=Old\n"
        "[Qel.NTamd64.10.0...16299]\n%A%=Inst,PCI\\VEN_1D6A&DEV_0010\n"
        "[Qel.NTx86.6.1]\n%A%=Inst,PCI\\VEN_1D6A&DEV_0086\n"
        "[Qel.NTamd64.6.1]\n%A%=Inst,PCI\\VEN_1D6A&DEV_4360,PCI\\VEN_1D6A&DEV_4360&SUBSYS_1\n"
        "%B%=Inst,USB\\VID_2B9E&PID_BD1E\n"
        "[Qel.NTamd64.5.2]\n%A%=Inst,PCI\\VEN_1D6A&DEV_0052\n"
        "[Kestrel.NTamd64.10.0...16299]\n%C%=Inst,USB\\VID_2B9E&PID_C0DE\n"
        "[Old]\n%D%=Inst,PCI\\VEN_1D6A&DEV_0001\n"
        "[Strings]\nQel=\"Qel\"\nKestrel=\"Kestrel\"\nOld=\"Old\"\nA=\"a\"\nB=\"b\"\nC=\"c\"\nD=\"d\"\n");
    const InfPlatform running = qel::RunningInfPlatform();
    ASSERT_EQ(running.architecture, L"amd64");
    ASSERT_EQ(qel::DescribeInfPlatform(running), L"x64 Windows 6.1 build 7601");

    qel::InfFile inf;
    inf.Open(path, qel::kInfNeutralLanguage);
    std::vector<std::wstring> ids;
    inf.GetModelHardwareIds(ids);
    EXPECT_EQ(ids, (std::vector<std::wstring>{L"PCI\\VEN_1D6A&DEV_4360", L"USB\\VID_2B9E&PID_BD1E",
                                              L"PCI\\VEN_1D6A&DEV_0001"}));

    // The road before Vista reads the package as Server 2003 x64 would.
    qel::AssumeRunningWinVer(qel::WinVerXP);
    inf.GetModelHardwareIds(ids);
    EXPECT_EQ(ids, (std::vector<std::wstring>{L"PCI\\VEN_1D6A&DEV_0052", L"PCI\\VEN_1D6A&DEV_0001"}));

    const std::wstring tenOnly = qeltest::WriteScript(
        qeltest::MakeScratchFolder(L"inf-models-ten") + L"\\ten.inf",
        "[Manufacturer]\nQel=Qel,NTamd64.10.0...16299\n[Qel.NTamd64.10.0...16299]\na=Inst,PCI\\VEN_1D6A&DEV_4360\n");
    qel::InfFile ten;
    ten.Open(tenOnly, qel::kInfNeutralLanguage);
    const qel::BasicException raised = qeltest::ExpectRaise([&] { ten.GetModelHardwareIds(ids); });
    EXPECT_EQ(std::wstring(raised.Description()), tenOnly + L" has no models section for x64 Windows 5.2 build 3790");
    EXPECT_EQ(raised.Error(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
    qel::AssumeRunningWinVer(qel::WinVerUnsupported);
}

}  // namespace
