// The flags and versions that decide whether the commit installs or removes
// a file, on real files of the test prefix. Whole runs (progress, rollback,
// uninstall replay, SharedDLLs counts, the clean-up) are in the system tests.
#include "Handles.h"
#include "UnitHelpers.h"
#include "Update.h"
#include "UpdateDrivers.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace {

using qel::UpdateTransaction;
using qeltest::PathExists;
using qeltest::ReadFileBytes;
using qeltest::Utf8;
using qeltest::WriteFileBytes;
using Strings = std::vector<std::string>;

constexpr uint32_t kOlderOnly = COPYFLG_OVERWRITE_OLDER_ONLY;

Strings Records(const std::wstring& path) {
    return PathExists(path) ? qeltest::SplitCrLfLines(ReadFileBytes(path)) : Strings{};
}

// The path of a "TempFile,<path>" record.
std::string TempPathOf(const std::string& record) {
    EXPECT_EQ(record.rfind("TempFile,", 0), 0u) << record;
    return record.substr(std::min<size_t>(9, record.size()));
}

// The names of the files (not folders) in a folder, sorted.
std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    for (const std::wstring& name : qeltest::FilesMatching(folder + L"\\*"))
        if (!(::GetFileAttributesW((folder + L"\\" + name).c_str()) & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(name);
    std::sort(names.begin(), names.end());
    return names;
}

constexpr uint64_t Version(uint16_t major, uint16_t minor, uint16_t build = 0, uint16_t revision = 0) {
    return (uint64_t{major} << 48) | (uint64_t{minor} << 32) | (uint64_t{build} << 16) | revision;
}

// The fixture DLL with its fixed file version set to `version`, and `tag`
// appended after the image so that files of equal version still differ.
std::string VersionedBytes(uint64_t version, const std::string& tag) {
    std::string bytes = ReadFileBytes(qel::JoinPath(qeltest::TestBinDir(), L"qel_versioned.dll"));
    // VS_FIXEDFILEINFO: signature, structure version, then the file version's high and low words.
    const size_t at = bytes.find("\xBD\x04\xEF\xFE");
    if (at == std::string::npos) throw std::runtime_error("no VS_FIXEDFILEINFO in qel_versioned.dll");
    const uint32_t words[2] = {static_cast<uint32_t>(version >> 32), static_cast<uint32_t>(version)};
    bytes.replace(at + 8, sizeof(words), reinterpret_cast<const char*>(words), sizeof(words));
    return bytes + tag;
}

class Transaction : public ::testing::Test {
protected:
    void SetUp() override {
        folder = qeltest::MakeScratchFolder(
            L"txn-" + qeltest::Wide(::testing::UnitTest::GetInstance()->current_test_info()->name()));
        out = folder + L"\\out";
        qel::CreateDirectoryTree(folder + L"\\logs");
        qel::CreateDirectoryTree(out);
    }
    std::wstring LogPath(const std::wstring& name) const { return folder + L"\\logs\\" + name + L".log"; }

    std::wstring folder, out;
};

// The versions read from real files, and what the commit does with each
// decision (the flags alone are the decisions test's).
TEST_F(Transaction, InstallFlagsAndVersionsDecideWhetherAFileIsReplaced) {
    constexpr uint64_t kAbsent = ~0ULL, kText = ~1ULL;  // no file, a file without version resource
    const struct {
        uint64_t installed, offered;
        uint32_t flags;
        bool replaced, reboot = false;
    } cases[] = {
        {Version(1, 9, 9, 9), Version(2, 0), kOlderOnly, true},
        {Version(2, 0), Version(2, 0), kOlderOnly, true},
        {Version(2, 1), Version(2, 0), kOlderOnly, false},
        {Version(2, 0, 0, 1), Version(2, 0), kOlderOnly, false},
        {kText, Version(2, 0), kOlderOnly, true},
        {Version(2, 1), kText, kOlderOnly, true},
        {Version(0x8000, 0), kText, kOlderOnly, false},
        {kText, Version(2, 0), COPYFLG_NO_OVERWRITE, false},
        {kAbsent, Version(2, 0), COPYFLG_NO_OVERWRITE, true},
        {kAbsent, Version(2, 0), COPYFLG_REPLACEONLY, false},
        {kAbsent, kText, COPYFLG_REPLACE_BOOT_FILE, true, true},
    };
    const auto bytesOf = [&](uint64_t version, const std::string& tag) {
        return version == kText ? "plain text " + tag : VersionedBytes(version, tag);
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::wstring number = std::to_wstring(++index), log = LogPath(number);
        SCOPED_TRACE("row " + Utf8(number));
        const std::wstring destinationFolder = out + L"\\" + number, destination = destinationFolder + L"\\lib.dll";
        const std::wstring source = folder + L"\\src\\" + number + L"\\lib.dll";
        const std::string installed = c.installed == kAbsent ? "(none)" : bytesOf(c.installed, "installed");
        const std::string offered = bytesOf(c.offered, "offered");
        qel::CreateDirectoryTree(destinationFolder);
        if (c.installed != kAbsent) WriteFileBytes(destination, installed);
        WriteFileBytes(source, offered);

        UpdateTransaction t;
        t.OpenRollbackLog(log, true);
        t.CommitFileInstall(source, destination, c.flags, L"");
        EXPECT_EQ(PathExists(destination) ? ReadFileBytes(destination) : "(none)", c.replaced ? offered : installed);
        EXPECT_EQ(t.MovedAsideFiles().size(), c.replaced && c.installed != kAbsent ? 1u : 0u);
        EXPECT_EQ(Records(log).empty(), !c.replaced) << "a skipped file leaves no rollback record";
        EXPECT_EQ(FilesIn(destinationFolder).size(), (PathExists(destination) ? 1 : 0) + t.MovedAsideFiles().size())
            << "no temporary file";
        EXPECT_EQ(t.IsRebootRequired(), c.reboot);
    }
}

// What reaches the destination: a compressed source (LZ, or a cabinet, of
// which SetupAPI extracts the first member) decompressed unless NODECOMP is
// set, a plain source that merely begins like a compressed one copied as it
// is, and a read-only source installed with normal attributes.
TEST_F(Transaction, SourcesAreDecompressedOrCopiedAndTheirAttributesMadeNormal) {
    // An "SZDD" file of 8 bytes: the header, then one flag byte whose set
    // bits mark the eight bytes after it as literals.
    const std::string text = "hello, w", packed = std::string("SZDD\x88\xf0\x27\x33" "A\0\x08\0\0\0\xff", 15) + text;
    // The sample package's cabinet, and what SetupAPI makes of it.
    const std::wstring cabinetPath = qel::DirectoryOf(qeltest::TestBinDir()) + L"\\examples\\package\\help.cab";
    const std::string cabinet = ReadFileBytes(cabinetPath);
    const std::wstring extracted = folder + L"\\extracted.txt";
    ASSERT_EQ(::SetupDecompressOrCopyFileW(cabinetPath.c_str(), extracted.c_str(), nullptr), 0u);
    const struct { std::string bytes; uint32_t flags; bool readOnly; std::string installed; } cases[] = {
        {packed, 6, false, text},           {cabinet, 6, false, ReadFileBytes(extracted)},
        {packed, 6, true, text},            {cabinet, 6 | COPYFLG_NODECOMP, false, cabinet},
        {packed, 6 | COPYFLG_NODECOMP, false, packed},
        {"MS but plain text", 6, false, "MS but plain text"}, {"read-only text", 6, true, "read-only text"},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::wstring number = std::to_wstring(++index);
        SCOPED_TRACE("row " + Utf8(number));
        const std::wstring source = folder + L"\\src\\" + number + L".txt", destination = out + L"\\" + number + L".txt";
        WriteFileBytes(source, c.bytes);
        {
            const FILETIME old{0, 0x01C07300};  // late 2000, far from the time of the copy
            qel::UniqueHandle file(::CreateFileW(source.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                                                 nullptr));
            ASSERT_TRUE(file && ::SetFileTime(file.Get(), nullptr, nullptr, &old));
        }
        if (c.readOnly) ::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_READONLY);
        UpdateTransaction t;
        t.OpenRollbackLog(LogPath(number), true);
        t.CommitFileInstall(source, destination, c.flags, L"");
        EXPECT_EQ(ReadFileBytes(destination), c.installed);
        EXPECT_EQ(::GetFileAttributesW(destination.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
        if (c.installed == c.bytes) {
            // A copy keeps the source's last-write time, as CopyFileW does.
            WIN32_FILE_ATTRIBUTE_DATA from{}, to{};
            ASSERT_TRUE(::GetFileAttributesExW(source.c_str(), GetFileExInfoStandard, &from));
            ASSERT_TRUE(::GetFileAttributesExW(destination.c_str(), GetFileExInfoStandard, &to));
            EXPECT_EQ(::CompareFileTime(&from.ftLastWriteTime, &to.ftLastWriteTime), 0);
        }
        ::SetFileAttributesW(source.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

// Only files copied without version check and without a flag that keeps
// them are removed: moved aside in their folder, after the temporary name is
// announced and the move recorded, until the clean-up. The same with the file
// stage's listing of the folder (the file then goes to a name that was never
// made first); a read-only file moved aside keeps its attributes, and the
// clean-up's deletion still takes it.
TEST_F(Transaction, RemoveFlagsDecideWhetherAFileIsRemoved) {
    // Which flags keep a file is the decisions test's; here the commit acts on them.
    const struct { uint32_t flags; bool removed, readOnly; } cases[] = {
        {6, true, false}, {6, true, true}, {0, false, false}, {6 | qel::NO_UNINSTALL_RECORD, false, false},
    };
    for (const bool listed : {false, true}) {
        SCOPED_TRACE(listed ? "with a listing" : "without a listing");
        const std::wstring name = listed ? L"listed" : L"asked", where = out + L"\\" + name, log = LogPath(name);
        const auto pathOf = [&](size_t i) { return where + L"\\file" + std::to_wstring(i) + L".txt"; };
        for (size_t i = 0; i < std::size(cases); ++i) {
            WriteFileBytes(pathOf(i), Utf8(qel::GetFileNamePart(pathOf(i))));
            if (cases[i].readOnly) ::SetFileAttributesW(pathOf(i).c_str(), FILE_ATTRIBUTE_READONLY);
        }
        qel::FolderNames names;
        UpdateTransaction t;
        if (listed) t.UseFolderListing(&names);
        t.OpenRollbackLog(log, true);
        std::vector<std::wstring> removed, after;  // after: what the folder holds after the commit
        for (size_t i = 0; i < std::size(cases); ++i) {
            t.CommitFileRemove(pathOf(i), cases[i].flags);
            EXPECT_EQ(PathExists(pathOf(i)), !cases[i].removed) << Utf8(pathOf(i));
            if (cases[i].removed) removed.push_back(pathOf(i));
            else after.push_back(qel::GetFileNamePart(pathOf(i)));
        }
        const size_t remaining = after.size();
        t.CommitFileRemove(where + L"\\missing.txt", 6);
        ASSERT_EQ(t.MovedAsideFiles().size(), removed.size());
        Strings records;
        for (size_t i = 0; i < removed.size(); ++i) {
            const std::wstring& aside = t.MovedAsideFiles()[i];
            EXPECT_EQ(qel::DirectoryOf(aside), where);
            EXPECT_EQ(ReadFileBytes(aside), Utf8(qel::GetFileNamePart(removed[i])));
            records.push_back("TempFile," + Utf8(aside));
            records.push_back("MoveFile," + Utf8(removed[i]) + "," + Utf8(aside));
            after.push_back(qel::GetFileNamePart(aside));
        }
        EXPECT_EQ(Records(log), records);
        std::sort(after.begin(), after.end());
        EXPECT_EQ(FilesIn(where), after);
        EXPECT_FALSE(t.IsRebootRequired());
        for (const auto& aside : t.MovedAsideFiles()) qel::DeleteFileOrDefer(aside);
        EXPECT_EQ(FilesIn(where).size(), remaining);
    }
}

// The listing a file stage answers its questions from: a name in any case,
// and only names no alias or pattern can stand for, in folders of ASCII names,
// until the stage changes them.
TEST_F(Transaction, FolderListingAnswersOnlyWhatItCanTell) {
    WriteFileBytes(out + L"\\Alpha.txt", "a");
    WriteFileBytes(out + L"\\Sub\\inner.txt", "i");
    const std::wstring foreign = folder + L"\\foreign";
    WriteFileBytes(foreign + L"\\\u00e4.txt", "x");
    qel::FolderNames names;
    using N = qel::FolderNames;
    constexpr auto Present = N::Present, Absent = N::Absent, Unknown = N::Unknown;
    const struct { std::wstring path; N::Answer answer; } cases[] = {
        {out + L"\\alpha.txt", Present},         {out + L"\\ALPHA.TXT", Present},
        {out + L"\\sub", Present},               {out + L"\\beta.txt", Absent},
        {out + L"\\missing\\beta.txt", Absent}, {out + L"\\alp*.txt", Unknown},
        {out + L"\\ALPHA~1.TXT", Unknown},       {out + L"\\alpha.txt.", Unknown},
        {out + L"\\\u00c4lpha.txt", Unknown},     {foreign + L"\\a.txt", Unknown},
    };
    for (const auto& c : cases) EXPECT_EQ(names.Lookup(c.path), c.answer) << Utf8(c.path);
    EXPECT_TRUE(names.KnownPlainFile(out + L"\\ALPHA.txt"));
    EXPECT_FALSE(names.KnownPlainFile(out + L"\\Sub"));
    EXPECT_FALSE(names.KnownPlainFile(out + L"\\beta.txt"));
    names.Changed(out + L"\\alpha.txt");
    EXPECT_FALSE(names.KnownPlainFile(out + L"\\alpha.txt"));
    names.Changed(out + L"\\beta.txt");
    EXPECT_EQ(names.Lookup(out + L"\\Beta.txt"), Unknown);
    EXPECT_EQ(names.Lookup(out + L"\\gamma.txt"), Absent);
}

// Whole commits of many new files, then of their removal: the records the
// file stages write ahead end as if each had been written just before its
// change, also when a file in the middle fails (the records after it are cut,
// and the rollback undoes the rest).
TEST_F(Transaction, RecordsWrittenAheadEndAsIfWrittenOneByOne) {
    constexpr int kFiles = 90;  // more than one batch
    const std::wstring made = out + L"\\made";  // a folder the commit makes
    std::vector<std::wstring> sources, destinations;
    for (int i = 0; i < kFiles; ++i) {
        const std::wstring name = L"f" + std::to_wstring(i) + L".txt";
        sources.push_back(folder + L"\\src\\" + name);
        WriteFileBytes(sources.back(), "file " + std::to_string(i));
        destinations.push_back((i % 3 == 0 ? made : out) + L"\\" + name);
    }
    const auto install = [&](const std::wstring& log) {
        UpdateTransaction t;
        t.OpenRollbackLog(log, true);
        for (int i = 0; i < kFiles; ++i) t.FileInstall(sources[i], destinations[i], 6, L"");
        try {
            qel::Commit(t);
        } catch (const qel::BasicException&) {
            t.CutRecordsAhead();  // what the rollback reads: the records not taken are cut first
            const Strings records = Records(log);
            t.Rollback();
            return records;
        }
        return Records(log);
    };
    // The folder the first file needs, then for each file the temporary
    // name, the copy into it, the move into place.
    const auto expectFileRecords = [&](const Strings& records, int files) -> size_t {
        EXPECT_EQ(records.empty() ? std::string() : records[0], "CreateDir," + Utf8(made));
        size_t at = 1;
        for (int i = 0; i < files; ++i, at += 3) {
            SCOPED_TRACE("file " + std::to_string(i));
            if (at + 3 > records.size()) {
                ADD_FAILURE() << "the log ends before file " << i;
                return records.size() + 1;
            }
            const std::string temp = TempPathOf(records[at]);
            EXPECT_EQ(Utf8(qel::DirectoryOf(qeltest::Wide(temp))), Utf8(qel::DirectoryOf(destinations[i])));
            EXPECT_EQ(records[at + 1], "CopyFile," + Utf8(sources[i]) + "," + temp);
            EXPECT_EQ(records[at + 2], "MoveFile," + temp + "," + Utf8(destinations[i]));
        }
        return at;
    };

    // A source missing halfway: the log ends with that file's copy.
    const int failing = 50;
    const std::string kept = ReadFileBytes(sources[failing]);
    ::DeleteFileW(sources[failing].c_str());
    Strings records = install(LogPath(L"failed"));
    const size_t end = expectFileRecords(records, failing);
    ASSERT_EQ(records.size(), end + 2);
    EXPECT_EQ(records[end + 1], "CopyFile," + Utf8(sources[failing]) + "," + TempPathOf(records[end]));
    for (const std::wstring& destination : destinations) EXPECT_FALSE(PathExists(destination)) << Utf8(destination);
    EXPECT_EQ(FilesIn(out), std::vector<std::wstring>{}) << "no temporary file left";
    EXPECT_EQ(FilesIn(made), std::vector<std::wstring>{}) << "no temporary file left";

    // Folders a rollback leaves; this one is made again.
    ASSERT_TRUE(::RemoveDirectoryW(made.c_str()));
    WriteFileBytes(sources[failing], kept);
    records = install(LogPath(L"installed"));
    EXPECT_EQ(expectFileRecords(records, kFiles), records.size());
    for (int i = 0; i < kFiles; ++i) EXPECT_EQ(ReadFileBytes(destinations[i]), ReadFileBytes(sources[i]));

    // The removals, one kept by its flags and one of a file not there.
    UpdateTransaction t;
    t.OpenRollbackLog(LogPath(L"removed"), true);
    for (int i = 0; i < kFiles; ++i) t.FileRemove(destinations[i], i == 7 ? 0 : 6);
    t.FileRemove(out + L"\\missing.txt", 6);
    qel::Commit(t);
    records = Records(LogPath(L"removed"));
    ASSERT_EQ(records.size(), 2u * (kFiles - 1));
    for (int i = 0, at = 0; i < kFiles; ++i) {
        if (i == 7) continue;
        EXPECT_EQ(records[at + 1], "MoveFile," + Utf8(destinations[i]) + "," + TempPathOf(records[at]));
        EXPECT_FALSE(PathExists(destinations[i]));
        at += 2;
    }
    EXPECT_TRUE(PathExists(destinations[7]));
}

// One driver update per device: an id that begins with an earlier entry's id
// (in any case) goes, the first of equal ids stays, the order is kept.
TEST(DriverUpdates, PruneKeepsTheFirstOfEachHardwareIdPrefix) {
    std::vector<qel::DriverUpdateOp> updates{{L"pci\\ven_1d6a&dev_4360", L"a.inf"},
                                             {L"PCI\\VEN_1D6A&DEV_4360&SUBSYS_1", L"b.inf"},
                                             {L"usb\\vid_2b9e&pid_bd1e", L"c.inf"},
                                             {L"pci\\ven_1d6a", L"d.inf"},
                                             {L"usb\\vid_2b9e&pid_bd1e", L"e.inf"}};
    std::vector<std::wstring> kept;
    for (const auto& e : qel::OneUpdatePerDevice(updates)) kept.push_back(e.infPath);
    // d.inf's id is shorter than a.inf's: it stays, being no extension of an earlier one.
    EXPECT_EQ(kept, (std::vector<std::wstring>{L"a.inf", L"c.inf", L"d.inf"}));
}

}  // namespace
