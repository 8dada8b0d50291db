// The commit's decisions, which qelkit's plan shares: file flags against
// presence and versions, registry flags against what is there, SharedDLLs
// counts, and each stage's share of the commit's total.
#include "UnitHelpers.h"
#include "Update.h"
#include "UpdateDecisions.h"
#include "UpdateStages.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <setupapi.h>

#include <string>
#include <vector>

namespace {

using qel::FileInstallAction;
using qel::FileRemovalAction;
using qel::RegAddAction;
using qel::RegAppendResult;
using qel::RegDeleteAction;

constexpr uint64_t Version(uint16_t major, uint16_t minor) { return (uint64_t{major} << 48) | (uint64_t{minor} << 32); }

constexpr uint32_t kOwn = qel::kOwnFileFlags;  // NOSKIP | NOVERSIONCHECK
constexpr uint32_t kOlderOnly = COPYFLG_OVERWRITE_OLDER_ONLY;
constexpr uint32_t kForce = COPYFLG_FORCE_FILE_IN_USE;

TEST(FileDecisions, InstallFollowsFlagsPresenceAndVersions) {
    constexpr uint64_t kNone = 0, kUnversioned = qel::kUnversionedOffer;
    const struct {
        uint32_t flags;
        bool present;
        uint64_t installed, offered;
        FileInstallAction action;
        bool atRestart = false, restart = false;
    } cases[] = {
        {0, false, kNone, Version(2, 0), FileInstallAction::Copy},
        {0, true, Version(2, 1), Version(2, 0), FileInstallAction::Replace},  // versions not compared
        {COPYFLG_NO_OVERWRITE, true, kNone, Version(2, 0), FileInstallAction::SkipPresent},
        {COPYFLG_NO_OVERWRITE, false, kNone, Version(2, 0), FileInstallAction::Copy},
        {COPYFLG_REPLACEONLY, false, kNone, Version(2, 0), FileInstallAction::SkipAbsent},
        {COPYFLG_REPLACEONLY, true, kNone, Version(2, 0), FileInstallAction::Replace},
        {COPYFLG_REPLACEONLY | COPYFLG_NO_OVERWRITE, true, kNone, Version(2, 0), FileInstallAction::SkipPresent},
        {COPYFLG_REPLACEONLY | COPYFLG_NO_OVERWRITE, false, kNone, Version(2, 0), FileInstallAction::SkipAbsent},
        {kOlderOnly, true, Version(2, 1), Version(2, 0), FileInstallAction::SkipNewer},
        {kOlderOnly, true, Version(2, 0), Version(2, 0), FileInstallAction::Replace},  // equal versions are replaced
        {kOlderOnly, true, Version(1, 9), Version(2, 0), FileInstallAction::Replace},
        {kOlderOnly, true, kNone, Version(2, 0), FileInstallAction::Replace},
        {kOlderOnly, true, Version(9, 9), kUnversioned, FileInstallAction::Replace},
        {kOlderOnly, true, Version(0x8000, 0), kUnversioned, FileInstallAction::SkipNewer},
        {kOlderOnly | COPYFLG_NOVERSIONCHECK, true, Version(2, 1), Version(2, 0), FileInstallAction::Replace},
        {kOlderOnly, false, Version(2, 1), Version(2, 0), FileInstallAction::Copy},  // nothing there to compare
        {kForce, true, kNone, Version(2, 0), FileInstallAction::Replace, true},
        {kForce, false, kNone, Version(2, 0), FileInstallAction::Copy, true},
        {kForce | COPYFLG_NO_OVERWRITE, true, kNone, Version(2, 0), FileInstallAction::SkipPresent},
        {COPYFLG_REPLACE_BOOT_FILE, false, kNone, kUnversioned, FileInstallAction::Copy, false, true},
        {COPYFLG_REPLACE_BOOT_FILE | kOlderOnly, true, Version(3, 0), Version(2, 0), FileInstallAction::SkipNewer},
    };
    for (const auto& c : cases) {
        const qel::FileInstallDecision decision = qel::DecideFileInstall(c.flags, c.present, c.installed, c.offered);
        const std::string row = "flags " + std::to_string(c.flags) + (c.present ? " present" : " absent");
        EXPECT_EQ(decision.action, c.action) << row;
        EXPECT_EQ(decision.atRestart, c.atRestart) << row;
        EXPECT_EQ(decision.restartRequired, c.restart) << row;
        // The versions are read exactly when they can change the answer.
        if (!qel::FileInstallComparesVersions(c.flags, c.present)) {
            EXPECT_EQ(qel::DecideFileInstall(c.flags, c.present, ~0ULL, 0).action, c.action) << row;
        }
    }
}

TEST(FileDecisions, OnlyFilesCopiedOnTheSystemsOwnAccountAreRemoved) {
    const struct {
        uint32_t flags;
        bool present, isFolder;
        FileRemovalAction action;
        bool releases;
    } cases[] = {
        {kOwn, true, false, FileRemovalAction::Remove, false},
        {COPYFLG_NOVERSIONCHECK, true, false, FileRemovalAction::Remove, false},
        {kOwn, false, false, FileRemovalAction::Absent, false},
        {kOwn | qel::SHARED_DLL, false, false, FileRemovalAction::Absent, false},
        {kOwn | qel::SHARED_DLL, true, true, FileRemovalAction::Folder, false},
        {0, true, false, FileRemovalAction::Keep, false},
        {COPYFLG_NOSKIP, true, false, FileRemovalAction::Keep, false},
        {kOwn | COPYFLG_NO_OVERWRITE, true, false, FileRemovalAction::Keep, false},
        {kOwn | COPYFLG_REPLACEONLY, true, false, FileRemovalAction::Keep, false},
        {kOwn | qel::NO_UNINSTALL_RECORD, true, false, FileRemovalAction::Keep, false},
        {kOwn | qel::SHARED_DLL, true, false, FileRemovalAction::Remove, true},
        {qel::SHARED_DLL, true, false, FileRemovalAction::Keep, true},  // the count goes down all the same
    };
    for (const auto& c : cases) {
        const qel::FileRemovalDecision decision = qel::DecideFileRemoval(c.flags, c.present, c.isFolder);
        EXPECT_EQ(decision.action, c.action) << std::hex << c.flags << " present " << c.present;
        EXPECT_EQ(decision.releasesCount, c.releases) << std::hex << c.flags << " present " << c.present;
    }
}

TEST(RegistryDecisions, AdditionsMeetTheValueThereByTheirFlags) {
    constexpr uint32_t kNoClobber = FLG_ADDREG_NOCLOBBER, kAppend = FLG_ADDREG_APPEND,
                       kOverwriteOnly = FLG_ADDREG_OVERWRITEONLY, kKeyOnly = FLG_ADDREG_KEYONLY;
    const struct {
        uint32_t flags;
        RegAddAction absent, present;
    } cases[] = {
        {0, RegAddAction::Write, RegAddAction::Write},
        {FLG_ADDREG_64BITKEY, RegAddAction::Write, RegAddAction::Write},
        {kKeyOnly, RegAddAction::KeyOnly, RegAddAction::KeyOnly},
        {kKeyOnly | kNoClobber | kAppend, RegAddAction::KeyOnly, RegAddAction::KeyOnly},
        {kNoClobber, RegAddAction::Write, RegAddAction::Keep},
        {kOverwriteOnly, RegAddAction::Skip, RegAddAction::Write},
        {kAppend, RegAddAction::Write, RegAddAction::Append},
        {kNoClobber | kAppend, RegAddAction::Write, RegAddAction::Keep},
        {kOverwriteOnly | kAppend, RegAddAction::Skip, RegAddAction::Append},
        {kNoClobber | kOverwriteOnly, RegAddAction::Skip, RegAddAction::Keep},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(qel::DecideRegAdd(c.flags, false), c.absent) << std::hex << c.flags;
        EXPECT_EQ(qel::DecideRegAdd(c.flags, true), c.present) << std::hex << c.flags;
        // The value is looked for only when the answer depends on it.
        EXPECT_EQ(qel::RegAddLooksAtValue(c.flags), c.absent != c.present) << std::hex << c.flags;
    }

    const struct {
        const wchar_t* value;
        uint32_t flags;
        RegDeleteAction action;
    } deletions[] = {
        {L"", 0, RegDeleteAction::Key},
        {L"", FLG_DELREG_MULTI_SZ_DELSTRING, RegDeleteAction::Key},
        {L"Old", 0, RegDeleteAction::Value},
        {L"Old", FLG_DELREG_MULTI_SZ_DELSTRING, RegDeleteAction::PassOver},
        {L"Old", FLG_ADDREG_TYPE_MULTI_SZ, RegDeleteAction::Value},  // not all of its bits
    };
    for (const auto& d : deletions)
        EXPECT_EQ(qel::DecideRegDelete(d.value, d.flags), d.action) << qeltest::Utf8(d.value) << " " << d.flags;

    constexpr REGSAM k32 = KEY_WOW64_32KEY, k64 = KEY_WOW64_64KEY;
    EXPECT_EQ(qel::RegistryViewOf(0, qel::WinVerXP), 0u);
    EXPECT_EQ(qel::RegistryViewOf(FLG_ADDREG_32BITKEY, qel::WinVerXP), k32);
    EXPECT_EQ(qel::RegistryViewOf(FLG_ADDREG_32BITKEY, qel::WinVerVista), 0u);
    EXPECT_EQ(qel::RegistryViewOf(FLG_ADDREG_64BITKEY, qel::WinVerVista), k64);
    EXPECT_EQ(qel::RegistryViewOf(FLG_ADDREG_32BITKEY | FLG_ADDREG_64BITKEY, qel::WinVerXP), k32 | k64);
    EXPECT_TRUE(qel::GrantsInteractiveAccess(1, qel::WinVerVista));
    EXPECT_FALSE(qel::GrantsInteractiveAccess(1, qel::WinVerXP));
    EXPECT_FALSE(qel::GrantsInteractiveAccess(2, qel::WinVerVista));
}

std::vector<BYTE> Bytes(const std::wstring& text) {
    const auto* begin = reinterpret_cast<const BYTE*>(text.data());
    return std::vector<BYTE>(begin, begin + text.size() * sizeof(wchar_t));
}
std::vector<BYTE> Sz(const std::wstring& text) { return Bytes(text + L'\0'); }

TEST(RegistryDecisions, AppendedDataByTheTypeOfTheValueThere) {
    const std::wstring nul(1, L'\0');
    std::vector<BYTE> odd = Sz(L"a");
    odd.push_back(0x41);  // a stray byte after the terminator
    const struct {
        DWORD type;
        std::vector<BYTE> existing, data;
        RegAppendResult result;
        std::vector<BYTE> combined;
    } cases[] = {
        {REG_SZ, Sz(L"a"), Sz(L"b"), RegAppendResult::Combined, Sz(L"a,b")},
        {REG_EXPAND_SZ, Sz(L"%x%"), Sz(L"y"), RegAppendResult::Combined, Sz(L"%x%,y")},
        {REG_SZ, Sz(L""), Sz(L"b"), RegAppendResult::Combined, Sz(L",b")},
        {REG_SZ, Sz(L"ab,c"), Sz(L"a"), RegAppendResult::Combined, Sz(L"ab,c,a")},  // items, not substrings
        {REG_SZ, Sz(L"a,b,c"), Sz(L"b"), RegAppendResult::AlreadyListed, {}},
        {REG_SZ, odd, Sz(L"b"), RegAppendResult::Combined, Sz(L"a,b")},
        {REG_MULTI_SZ, Sz(L"a" + nul), Sz(L"b"), RegAppendResult::Combined, Sz(L"a" + nul + L"b" + nul)},
        {REG_MULTI_SZ, Sz(L"a" + nul), Sz(L"a"), RegAppendResult::Combined, Sz(L"a" + nul + L"a" + nul)},
        {REG_DWORD, {1, 0, 0, 0}, Sz(L"b"), RegAppendResult::NotAppendable, {}},
    };
    int row = 0;
    for (const auto& c : cases) {
        std::vector<BYTE> combined;
        EXPECT_EQ(qel::AppendToValue(c.type, c.existing, c.data, combined), c.result) << "row " << ++row;
        if (c.result == RegAppendResult::Combined) {
            EXPECT_EQ(combined, c.combined) << "row " << row;
        }
    }
}

TEST(SharedCounts, MoveByOneAndAnUncountedFileThereBeforeHasTwoUsers) {
    EXPECT_EQ(qel::SharedCountAfterAdd(false, 0, false), 1u);
    EXPECT_EQ(qel::SharedCountAfterAdd(false, 0, true), 2u);
    EXPECT_EQ(qel::SharedCountAfterAdd(true, 1, false), 2u);
    EXPECT_EQ(qel::SharedCountAfterAdd(true, 1, true), 2u);
    EXPECT_EQ(qel::SharedCountAfterAdd(true, 0, true), 1u);
    EXPECT_EQ(qel::SharedCountAfterAdd(true, 0xFFFFFFFF, false), 1u);  // never wraps to 0

    const struct {
        bool counted;
        DWORD count;
        bool last;
        DWORD after;
    } releases[] = {
        {false, 0, true, 0}, {true, 1, true, 0}, {true, 3, false, 2}, {true, 0, false, 0xFFFFFFFF},
    };
    for (const auto& r : releases) {
        const qel::SharedCountRelease release = qel::SharedCountAfterRelease(r.counted, r.count);
        EXPECT_EQ(release.last, r.last) << r.counted << " " << r.count;
        if (!r.last) {
            EXPECT_EQ(release.after, r.after) << r.count;
        }
    }
}

TEST(ProgramAndDriverDecisions, EndedProgramsAndThePackageInstall) {
    EXPECT_TRUE(qel::PreRunEndsProgram(L"-c"));
    EXPECT_TRUE(qel::PreRunEndsProgram(L"/quiet -close"));
    EXPECT_FALSE(qel::PreRunEndsProgram(L"-C"));
    EXPECT_FALSE(qel::PreRunEndsProgram(L""));

    qel::DriverPackage package;
    EXPECT_FALSE(qel::PackageInstallRuns(L"qelwls64.exe install C:\\pkg", package));
    package.dpinstPath = L"C:\\Program Files\\Qel";
    EXPECT_TRUE(qel::PackageInstallRuns(L"qelwls64.exe install C:\\pkg", package));
    EXPECT_FALSE(qel::PackageInstallRuns(L"qelwls64.exe uninstall C:\\pkg", package));
    EXPECT_TRUE(qel::DriversThroughPackageInstaller(qel::WinVerVista));
    EXPECT_FALSE(qel::DriversThroughPackageInstaller(qel::WinVerXP));
}

// Each stage's share of the total follows the records queued for it; an
// empty transaction costs the two registry stages.
TEST(StageTable, CostsFollowTheQueuedRecords) {
    const auto costs = [](const qel::UpdateTransaction& t) {
        std::vector<uint32_t> shares;
        for (const qel::CommitStage& stage : qel::CommitStages()) shares.push_back(stage.cost(t));
        return shares;
    };
    qel::UpdateTransaction empty;
    EXPECT_EQ(costs(empty), (std::vector<uint32_t>{0, 1, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(empty.Cost(), 2u);

    qel::UpdateTransaction t;
    t.RunApp(L"C:\\a.exe", L"", 0, true);
    t.RunApp(L"C:\\b.exe", L"", 0, false);
    t.RunApp(L"C:\\c.exe", L"", 0, false);
    t.FileRemove(L"C:\\old.txt", 6);
    t.FileInstall(L"C:\\src\\new.txt", L"C:\\dst\\new.txt", 6, L"");
    t.FileMove(L"C:\\dst\\log.tmp", L"C:\\dst\\log.txt", 6);
    t.InfInstall(L"C:\\src\\net.inf", L"C:\\drv");  // a file to stage, and an INF for the store
    t.InfInstall(L"C:\\src\\net2.inf", L"C:\\drv");
    t.DriverUpdate(L"pci\\ven_1", L"C:\\drv\\net.inf");
    t.DriverUpdate(L"pci\\ven_2", L"C:\\drv\\net.inf");  // the update is counted once
    t.InfRemove(L"C:\\drv\\net.inf", L"oem3.inf");
    t.DriverUninstall(L"oem3.inf");
    t.DriverUninstall(L"oem4.inf");
    t.DriverPackageInf(L"net.inf");
    t.DirRemove(L"C:\\dst", qel::DirRemoveTree);
    t.RegistryUpdate(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Qel", L"V", REG_SZ, 0, Sz(L"x"), 0, true);
    t.RegistryUpdate(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Qel", L"W", REG_SZ, 0, {}, 0, false);
    EXPECT_EQ(costs(t), (std::vector<uint32_t>{30, 1, 100 + 10, 3, 3 * 4, 2 * 10 + 200, 1, 2 * 10}));
    EXPECT_EQ(t.Cost(), 30u + 1 + 110 + 3 + 12 + 220 + 1 + 20);
}

}  // namespace
