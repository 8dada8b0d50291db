// The journal's bytes: every kind of record written exactly as the logs hold
// it, read back whatever its fields hold, malformed lines refused, and every
// line of the logs an earlier build wrote (tests/fixtures/logs) read and
// written again byte for byte.
#include "Log.h"
#include "MachineDump.h"
#include "UnitHelpers.h"
#include "Update.h"
#include "UpdateJournal.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using namespace qel::journal;
using qeltest::Utf8;

HKEY const kHklm = HKEY_LOCAL_MACHINE;

template <typename Record>
std::wstring LineOf(const Record& record) {
    std::wstring line = Encode(record);
    EXPECT_EQ(line.empty() ? L'\0' : line.back(), L'\n') << Utf8(line);
    if (!line.empty()) line.pop_back();
    return line;
}

// Writes the record, reads it back and writes it again: the same bytes.
template <typename Variant>
void ExpectRoundTrip(const Variant& record) {
    const std::wstring line = LineOf(record);
    const std::optional<Variant> read = Decode<Variant>(line);
    ASSERT_TRUE(read.has_value()) << Utf8(line);
    EXPECT_EQ(read->index(), record.index()) << Utf8(line);
    EXPECT_EQ(Encode(*read), Encode(record));
}

// The logs of an earlier build hold the other kinds and escapes; the test
// below them checks that each of their lines is written again byte for byte.
TEST(Journal, EachKindIsWrittenAsTheLogsHoldIt) {
    const std::pair<RollbackRecord, const wchar_t*> rollback[] = {
        {NewLinkRecord{L"C:\\Menu\\Read\tMe.lnk"}, L"NewLink,C:\\Menu\\Read%09Me.lnk\n"},
        {RegNoValueRecord{{HKEY_CURRENT_USER, 0, L"S\\T"}, L""}, L"RegNoValue,0x80000001,0x00000000,S\\T,\n"},
        {RegKeyRecord{{HKEY_USERS, 0, L"S-1-5-18\\Qel"}}, L"RegKey,0x80000003,0x00000000,S-1-5-18\\Qel\n"},
        {DriverPackagesRecord{L"C:\\P\\Driver, new"}, L"DriverPackages,C:\\P\\Driver| new\n"},
        {NewDriverPackageRecord{L"C:\\P\\Driver\\qelwl.inf"}, L"NewDriverPackage,C:\\P\\Driver\\qelwl.inf\n"},
        {NewDeviceRecord{L"Root\\qelVWL"}, L"NewDevice,Root\\qelVWL\n"},
        {FilterComponentRecord{L"QELIS_NdisLwf", L"C:\\windows\\inf\\oem7.inf"},
         L"FilterComponent,QELIS_NdisLwf,C:\\windows\\inf\\oem7.inf\n"},
        {FilterComponentRecord{L"QELIS_NdisLwf", L""}, L"FilterComponent,QELIS_NdisLwf,\n"},
    };
    for (const auto& [record, line] : rollback) EXPECT_EQ(Encode(record), line);
    EXPECT_EQ(Encode(UninstallRecord{InstalledFileRecord{L"C:\\pkg\\a.txt", L"C:\\P\\a.txt", std::nullopt}}),
              L"CopyFile,C:\\pkg\\a.txt,C:\\P\\a.txt\n");
    EXPECT_EQ(Encode(MarkerRecord{RunCommandRecord{L"\"C:\\pkg\\qelwls64.exe\" install \"C:\\a,b|100%\""}}),
              L"Command,\"C:\\pkg\\qelwls64.exe\" install \"C:\\a%2Cb%7C100%25\"\n");
}

// Text of every kind survives writing, the log file and reading: commas,
// '|', '%', line ends and characters beyond ASCII (of the kinds that keep
// text), and paths as long as Windows can name. A path or device id never
// holds '|': it is read back as the comma it stands for.
TEST(Journal, FieldsComeBackWhateverTheyHold) {
    const std::wstring odd = L"C:\\Qel, 100% W\u00e4re \U0001F4E6|x";
    const std::wstring text = odd + L"\r\n\x01\x7f%41";
    const std::wstring longPath = L"\\\\?\\C:\\" + std::wstring(qel::kMaxPathChars - 7, L'\u00e4');
    const std::vector<BYTE> bytes{0x00, 0x7f, 0x80, 0xff};
    const RollbackRecord rollback[] = {
        CreateDirRecord{longPath}, CopyFileRecord{odd, longPath}, MoveFileRecord{odd, L""}, QueuedMoveRecord{L"", odd},
        CopyInfRecord{odd, odd}, UpdateDriverRecord{odd, odd, odd}, TempFileRecord{text},
        RestoreFileRecord{text, longPath},
        NewLinkRecord{text}, SharedDllRecord{text, 0xFFFFFFFFu, true, 0xFFFFFFFFu},
        RegValueRecord{{HKEY_CLASSES_ROOT, KEY_WOW64_32KEY, text}, text, REG_MULTI_SZ, bytes},
        RegValueRecord{{HKEY_DYN_DATA, 0, L"x"}, L"", REG_NONE, {}}, RegNoValueRecord{{kHklm, 0, text}, text},
        RegNewKeyRecord{{kHklm, 0, text}}, RegKeyRecord{{kHklm, 0, longPath}}, RegLinkRecord{{kHklm, 0, text}, bytes},
        CleanupRecord{0xFFFFFFFFu, text}, CommittedRecord{}, DriverPackagesRecord{longPath},
        NewDriverPackageRecord{odd}, NewDeviceRecord{odd}, FilterComponentRecord{odd, L""},
    };
    for (const RollbackRecord& record : rollback) ExpectRoundTrip(record);
    for (const UninstallRecord& record : {UninstallRecord{InstalledFileRecord{odd, longPath, 0u}},
                                          UninstallRecord{InstalledFileRecord{odd, odd, std::nullopt}},
                                          UninstallRecord{MovedFileRecord{odd, odd}},
                                          UninstallRecord{InstalledInfRecord{odd, L""}}})
        ExpectRoundTrip(record);
    for (const MarkerRecord& record : {MarkerRecord{RunProcessRecord{0xFFFFFFFFu, ~0ull}},
                                       MarkerRecord{RunCommandRecord{odd}},
                                       MarkerRecord{RunRollbackLogRecord{longPath}},
                                       MarkerRecord{RunUninstallLogRecord{odd}}})
        ExpectRoundTrip(record);

    // What a reader gets back, through a log file.
    const std::wstring path = qeltest::MakeScratchFolder(L"journal") + L"\\odd.log";
    qel::LogFile log;
    ASSERT_EQ(log.Open(path, true), qel::LogOk);
    ASSERT_EQ(log.WriteLine(Encode(TempFileRecord{text})), qel::LogOk);
    ASSERT_EQ(log.WriteLine(Encode(MoveFileRecord{odd, longPath})), qel::LogOk);
    log.Rewind();
    std::wstring line;
    ASSERT_EQ(log.ReadLine(line), qel::LogOk);
    const auto temp = Decode<RollbackRecord>(line);
    ASSERT_TRUE(temp && std::holds_alternative<TempFileRecord>(*temp)) << Utf8(line);
    EXPECT_EQ(std::get<TempFileRecord>(*temp).path, text);
    ASSERT_EQ(log.ReadLine(line), qel::LogOk);
    const auto move = Decode<RollbackRecord>(line);
    ASSERT_TRUE(move && std::holds_alternative<MoveFileRecord>(*move)) << Utf8(line);
    EXPECT_EQ(std::get<MoveFileRecord>(*move).from, L"C:\\Qel, 100% W\u00e4re \U0001F4E6,x");
    EXPECT_EQ(std::get<MoveFileRecord>(*move).to, longPath);
    EXPECT_EQ(log.ReadLine(line), qel::LogEnd);

    // A line end inside a path would end the record there.
    for (const wchar_t* broken : {L"C:\\a\nb", L"C:\\a\rb"}) {
        const qel::BasicException raised = qeltest::ExpectRaise([&] { Encode(MoveFileRecord{L"C:\\x", broken}); });
        EXPECT_STREQ(raised.Module(), "Update");
    }
}

// Numbers are read with base detection, data in either case; a CopyFile
// record of the uninstall log may lack its flags.
TEST(Journal, WhatTheReadersAlwaysAcceptedStillReads) {
    const auto shared = Decode<RollbackRecord>(L"SharedDll,QelSetup,512,0x1,010");
    ASSERT_TRUE(shared && std::holds_alternative<SharedDllRecord>(*shared));
    EXPECT_EQ(std::get<SharedDllRecord>(*shared).view, static_cast<REGSAM>(KEY_WOW64_32KEY));
    EXPECT_TRUE(std::get<SharedDllRecord>(*shared).existed);
    EXPECT_EQ(std::get<SharedDllRecord>(*shared).count, 8u);
    const auto value = Decode<RollbackRecord>(L"RegValue,0X80000002,0,S,n,1,AbCd");
    ASSERT_TRUE(value && std::holds_alternative<RegValueRecord>(*value));
    EXPECT_EQ(std::get<RegValueRecord>(*value).key.root, HKEY_LOCAL_MACHINE);
    EXPECT_EQ(std::get<RegValueRecord>(*value).data, (std::vector<BYTE>{0xab, 0xcd}));
    const auto file = Decode<UninstallRecord>(L"CopyFile,C:\\a,C:\\b");
    ASSERT_TRUE(file && std::holds_alternative<InstalledFileRecord>(*file));
    EXPECT_FALSE(std::get<InstalledFileRecord>(*file).flags.has_value());
    EXPECT_EQ(KindOf(L"NoSuchRecord,1,2"), L"NoSuchRecord");
    EXPECT_EQ(KindOf(L"Committed"), L"Committed");
}

// Reads every line of a log an earlier build wrote and writes it again; the
// kinds met go to `kinds`.
template <typename Variant>
void ExpectEveryLineReads(const std::wstring& path, std::set<size_t>& kinds) {
    const std::vector<std::string> lines = qeltest::SplitCrLfLines(qeltest::ReadFileBytes(path));
    EXPECT_FALSE(lines.empty()) << Utf8(path);
    for (const std::string& line : lines) {
        const std::optional<Variant> record = Decode<Variant>(qeltest::Wide(line));
        ASSERT_TRUE(record.has_value()) << Utf8(path) << ": " << line;
        EXPECT_EQ(Utf8(Encode(*record)), line + "\n") << Utf8(path);
        kinds.insert(record->index());
    }
}

TEST(Journal, EveryLineAnEarlierBuildWroteReadsAndIsWrittenAgain) {
    const std::wstring fixtures = qeltest::LogFixturesFolder() + L"\\";
    std::set<size_t> rollbackKinds, uninstallKinds, markerKinds;
    for (const wchar_t* run : {L"odd-paths\\killed-mid-commit", L"odd-paths\\killed-in-cleanup",
                               L"drivers-before-vista", L"drivers-from-vista"}) {
        const std::wstring windows = fixtures + run + L"\\windows\\";
        for (const std::wstring& name : qeltest::FilesMatching(windows + L"qel*.tmp"))
            ExpectEveryLineReads<RollbackRecord>(windows + name, rollbackKinds);
        for (const std::wstring& name : qeltest::FilesMatching(windows + L"qelwls-*.run"))
            ExpectEveryLineReads<MarkerRecord>(windows + name, markerKinds);
    }
    for (const wchar_t* log : {L"odd-paths\\uninstall\\uninstall.log", L"sample\\uninstall.log",
                               L"drivers-before-vista\\uninstall.log"})
        ExpectEveryLineReads<UninstallRecord>(fixtures + log, uninstallKinds);
    // Each kind of each log is among them, but those of the driver steps'
    // announcements, which builds after those logs write.
    const size_t announcementKinds = 4;  // DriverPackages, NewDriverPackage, NewDevice, FilterComponent
    EXPECT_EQ(rollbackKinds.size(), std::variant_size_v<RollbackRecord> - announcementKinds);
    EXPECT_EQ(uninstallKinds.size(), std::variant_size_v<UninstallRecord>);
    // All but the command record, which markers hold since.
    EXPECT_EQ(markerKinds.size(), std::variant_size_v<MarkerRecord> - 1);
}

TEST(Journal, MalformedLinesAreNoRecords) {
    for (const wchar_t* line : {
             L"", L"NoSuchRecord,1,2", L"copyfile,a,b", L"CopyFile,a", L"CopyFile,a,b,c", L"CreateDir",
             L"UpdateDriver,a,b", L"TempFile,a%2", L"TempFile,a%zz", L"TempFile,a|b", L"TempFile,a,b",
             L"SharedDll,a,0x200,1", L"SharedDll,a,0x200,x,0x1", L"SharedDll,a,-1,1,0x1", L"SharedDll,a, 0x1,1,0x1",
             L"SharedDll,a,0x100000000,1,0x1", L"SharedDll,a,0x,1,0x1", L"SharedDll,a,09,1,0x1",
             L"RegValue,0x80000007,0,S,n,1,00", L"RegValue,0x7fffffff,0,S,n,1,00", L"RegValue,,0,S,n,1,00",
             L"RegValue,0x80000002,0,,n,1,00", L"RegValue,0x80000002,0,S,n,1,0", L"RegValue,0x80000002,0,S,n,1,0g",
             L"RegValue,0x80000002,0,S,n,1", L"RegNoValue,0x80000002,0,S", L"RegNewKey,0x80000002,0",
             L"RegKey,0x80000002,0,S,x", L"RegLink,0x80000002,0,S", L"Cleanup,1", L"Cleanup,,C:\\x",
             L"Cleanup,1x,C:\\x", L"Cleanup,0x1,C:\\x", L"Cleanup,1,", L"Cleanup,1,C:\\x,more", L"Committed,",
             L"Committed,1", L"committed", L"Process,1,0x1", L"RollbackLog,C:\\x", L"DriverPackages",
             L"NewDriverPackage,a,b", L"NewDevice", L"FilterComponent,QELIS_NdisLwf"})
        EXPECT_FALSE(Decode<RollbackRecord>(line).has_value()) << Utf8(line);
    for (const wchar_t* line : {L"CopyFile,a", L"CopyFile,a,b,0x1,more", L"CopyFile,a,b,flags", L"MoveFile,a,b,0x1",
                                L"MoveFile,a", L"CopyInf,a", L"UpdateDriver,a,b,c", L"TempFile,a", L"\t"})
        EXPECT_FALSE(Decode<UninstallRecord>(line).has_value()) << Utf8(line);
    for (const wchar_t* line : {L"Process,12", L"Process,x,0x1", L"Process,0x12,0x1", L"Process,12,0x1,3",
                                L"RollbackLog", L"RollbackLog,a,b", L"UninstallLog", L"CopyFile,a,b"})
        EXPECT_FALSE(Decode<MarkerRecord>(line).has_value()) << Utf8(line);
}

}  // namespace
