// The install transaction in-process, on real files, folders and registry
// values of the test prefix: the queue and its cost, file install and removal
// with the rollback records they leave, the SharedDLLs counts, rollback, the
// uninstall replay and the clean-up. Whole runs of the program on the sample
// package are the system tests' business.
#include "Handles.h"
#include "UnitHelpers.h"
#include "Update.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>
#include <memory>
#include <ostream>
#include <stdexcept>

namespace qel {
bool operator==(const FileOp& a, const FileOp& b) {
    return a.destination == b.destination && a.source == b.source && a.flags == b.flags && a.cabinet == b.cabinet;
}
void PrintTo(const FileOp& op, std::ostream* os) {
    *os << "{dst " << qeltest::Utf8(op.destination) << ", src " << qeltest::Utf8(op.source) << ", flags 0x"
        << std::hex << op.flags << std::dec << ", cab " << qeltest::Utf8(op.cabinet) << "}";
}
bool operator==(const RunOp& a, const RunOp& b) {
    return a.program == b.program && a.arguments == b.arguments && a.flags == b.flags;
}
void PrintTo(const RunOp& op, std::ostream* os) {
    *os << "{" << qeltest::Utf8(op.program) << ", " << qeltest::Utf8(op.arguments) << ", " << op.flags << "}";
}
}  // namespace qel

namespace {

using qel::FileOp;
using qel::UpdateTransaction;
using qeltest::ExpectRaise;
using qeltest::PathExists;
using qeltest::ReadFileBytes;
using qeltest::Utf8;
using qeltest::WriteFileBytes;
using Strings = std::vector<std::string>;

constexpr wchar_t kSharedDllsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
constexpr wchar_t kSessionManagerKey[] = L"System\\CurrentControlSet\\Control\\Session Manager";
constexpr uint32_t kOlderOnly = COPYFLG_OVERWRITE_OLDER_ONLY;

// The lines of a file without their CR LF; none for a missing file.
Strings Records(const std::wstring& path) {
    return PathExists(path) ? qeltest::SplitCrLfLines(ReadFileBytes(path)) : Strings{};
}

Strings Fields(const std::string& record) {
    Strings fields;
    size_t start = 0;
    for (size_t comma; (comma = record.find(',', start)) != std::string::npos; start = comma + 1)
        fields.push_back(record.substr(start, comma - start));
    fields.push_back(record.substr(start));
    return fields;
}

// The names of the files (not folders) in a folder, sorted.
std::vector<std::wstring> FilesIn(const std::wstring& folder) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    qel::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) return names;
    do
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names.push_back(found.cFileName);
    while (::FindNextFileW(find.Get(), &found));
    std::sort(names.begin(), names.end());
    return names;
}

// A temporary file as the transaction makes them: "qel", hex digits, ".tmp",
// in the given folder.
bool IsTempFileIn(const std::wstring& path, const std::wstring& folder) {
    std::wstring name = qel::GetFileNamePart(path);
    std::transform(name.begin(), name.end(), name.begin(), ::towlower);
    return qel::DirectoryOf(path) == folder && name.size() > 7 && name.compare(0, 3, L"qel") == 0 &&
           name.compare(name.size() - 4, 4, L".tmp") == 0;
}

constexpr uint64_t Version(uint16_t major, uint16_t minor, uint16_t build = 0, uint16_t revision = 0) {
    return (uint64_t{major} << 48) | (uint64_t{minor} << 32) | (uint64_t{build} << 16) | revision;
}

// The fixture DLL with its fixed file version set to `version`, and `tag`
// appended after the image so that files of equal version still differ.
std::string VersionedBytes(uint64_t version, const std::string& tag) {
    std::string bytes = ReadFileBytes(qel::JoinPath(qeltest::TestBinDir(), L"qel_versioned.dll"));
    // VS_FIXEDFILEINFO: the signature, the structure version, then the file
    // version's high and low words.
    const size_t at = bytes.find("\xBD\x04\xEF\xFE");
    if (at == std::string::npos) throw std::runtime_error("no VS_FIXEDFILEINFO in qel_versioned.dll");
    const uint32_t words[2] = {static_cast<uint32_t>(version >> 32), static_cast<uint32_t>(version)};
    bytes.replace(at + 8, sizeof(words), reinterpret_cast<const char*>(words), sizeof(words));
    return bytes + tag;
}

// Standard output, where the status lines go, redirected into a file for the
// life of the object. The file is opened in text mode like standard output.
class StdoutCapture {
public:
    explicit StdoutCapture(const std::wstring& path) : path_(path) {
        std::fflush(stdout);
        saved_ = _dup(1);
        const int file = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
        _dup2(file, 1);
        _close(file);
    }
    ~StdoutCapture() { Stop(); }
    std::string Stop() {
        if (saved_ >= 0) {
            std::fflush(stdout);
            _dup2(saved_, 1);
            _close(saved_);
            saved_ = -1;
        }
        return ReadFileBytes(path_);
    }

private:
    std::wstring path_;
    int saved_ = -1;
};

std::string ProgressLines(int total, std::initializer_list<int> done) {
    std::string lines;
    for (int each : done) lines += "Progress," + std::to_string(total) + "," + std::to_string(each) + "\r\n";
    return lines;
}

long long SharedDllCount(const std::wstring& valueName) {
    qel::UniqueKey key;
    DWORD count = 0, size = sizeof(count);
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS ||
        ::RegQueryValueExW(key.Get(), valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&count), &size) !=
            ERROR_SUCCESS)
        return -1;
    return count;
}

void SetSharedDllCount(const std::wstring& valueName, DWORD count) {
    qel::UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSharedDllsKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.Put(),
                                nullptr),
              ERROR_SUCCESS);
    ::RegSetValueExW(key.Get(), valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof(count));
}

// The moves registered for the restart, as stored: NUL-terminated names in
// pairs, an empty target for a deletion, one more NUL at the end.
std::wstring PendingRenames() {
    qel::UniqueKey key;
    DWORD bytes = 0;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_READ, key.Put()) != ERROR_SUCCESS ||
        ::RegQueryValueExW(key.Get(), L"PendingFileRenameOperations", nullptr, nullptr, nullptr, &bytes) !=
            ERROR_SUCCESS)
        return L"";
    std::wstring data(bytes / sizeof(wchar_t), L'\0');
    ::RegQueryValueExW(key.Get(), L"PendingFileRenameOperations", nullptr, nullptr, reinterpret_cast<BYTE*>(&data[0]),
                       &bytes);
    return data;
}

// Moves registered for the restart are carried out at the prefix's next cold
// start; none may be left for the programs that run after this one.
void ClearPendingRenames() {
    qeltest::DeleteRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, L"PendingFileRenameOperations");
}

class Transaction : public ::testing::Test {
protected:
    void SetUp() override {
        folder = qeltest::MakeScratchFolder(L"txn-" + qeltest::Wide(
                                                          ::testing::UnitTest::GetInstance()->current_test_info()->name()));
        logs = folder + L"\\logs";
        out = folder + L"\\out";
        qel::CreateDirectoryTree(logs);
        qel::CreateDirectoryTree(out);
    }

    std::wstring RollbackLogPath() const { return logs + L"\\rollback.log"; }
    void OpenRollbackLog() { t.OpenRollbackLog(RollbackLogPath(), true); }
    Strings RollbackRecords() const { return Records(RollbackLogPath()); }
    std::wstring Source(const std::wstring& name, const std::string& bytes) const {
        const std::wstring path = folder + L"\\src\\" + name;
        WriteFileBytes(path, bytes);
        return path;
    }

    std::wstring folder, logs, out;
    UpdateTransaction t;
};

// --- queue and cost ---------------------------------------------------------------------

TEST(Queue, FreshTransactionWalksItselfOnlyAndCostsTwo) {
    UpdateTransaction t;
    EXPECT_EQ(t.transactions, std::vector<UpdateTransaction*>{&t});
    EXPECT_EQ(t.Cost(), 2u);
    EXPECT_TRUE(t.rollbackEnabled);
    EXPECT_FALSE(t.IsRebootRequired());
    EXPECT_FALSE(t.IsRestartDriverRequired());
}

TEST(Queue, EachKindLandsInItsListAndCountsItsShareOfTheCost) {
    UpdateTransaction t;
    t.InfInstall(L"C:\\pkg\\net.inf", L"C:\\Windows\\drv");
    EXPECT_EQ(t.fileInstalls, (std::vector<FileOp>{{L"C:\\Windows\\drv\\net.inf", L"C:\\pkg\\net.inf", 6, L""}}));
    EXPECT_EQ(t.infInstalls, (std::vector<std::wstring>{L"C:\\Windows\\drv\\net.inf", L"C:\\Windows\\drv"}));
    EXPECT_EQ(t.Cost(), 2u + 3 + 10);

    t.RunApp(L"C:\\pkg\\stop.exe", L"-c", 1, true);
    t.RunApp(L"C:\\pkg\\start.exe", L"/tray", 2, false);
    EXPECT_EQ(t.preRuns, (std::vector<qel::RunOp>{{L"C:\\pkg\\stop.exe", L"-c", 1}}));
    EXPECT_EQ(t.postRuns, (std::vector<qel::RunOp>{{L"C:\\pkg\\start.exe", L"/tray", 2}}));
    t.FileMove(L"C:\\x\\qel1.tmp", L"C:\\x\\qelwls.log", 0);
    t.FileRemove(L"C:\\x\\old.dll", 6);
    EXPECT_EQ(t.fileRemoves, (std::vector<FileOp>{{L"", L"C:\\x\\old.dll", 6, L""}}));
    t.InfRemove(L"C:\\pkg\\net.inf", L"oem3.inf");
    const uint32_t withoutDrivers = 2u + 13 + 30 + 10 + 3 + 3 + 10;
    EXPECT_EQ(t.Cost(), withoutDrivers);

    // Driver removal and driver updates are counted once, however many.
    for (const wchar_t* oem : {L"oem3.inf", L"oem4.inf"}) t.DriverUninstall(oem);
    for (const wchar_t* id : {L"PCI\\VEN_1D6A&DEV_0001", L"PCI\\VEN_1D6A&DEV_0002"})
        t.DriverUpdate(id, L"C:\\Windows\\drv\\net.inf");
    EXPECT_EQ(t.Cost(), withoutDrivers + 100 + 200);

    // Registry values, shortcuts, package INFs and folders cost nothing of their own.
    t.RegistryUpdate(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Qel", L"Path", REG_SZ, 0, {}, 0, true);
    t.RegistryUpdate(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Qel", L"Old", REG_SZ, 0, {}, 0, false);
    t.LinkAdd(qel::LinkOp{});
    t.DriverPackageInf(L"net.inf");
    t.DirRemove(L"C:\\x", qel::DirRemoveTree);
    EXPECT_EQ(t.Cost(), withoutDrivers + 100 + 200);
}

TEST(Queue, HkrDeletionIsRefusedAndHkrAdditionWaitsForTheDriverKey) {
    UpdateTransaction t;
    const std::vector<BYTE> one{1, 0, 0, 0};
    t.RegistryUpdate(qel::RelativeRoot(), L"Parameters", L"Mode", REG_DWORD, 0, one, 0, true);
    t.RegistryUpdate(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Qel", L"Mode", REG_DWORD, 0, one, 0, true);
    const auto raised = ExpectRaise(
        [&] { t.RegistryUpdate(qel::RelativeRoot(), L"Parameters", L"Mode", REG_DWORD, 0, {}, 0, false); });
    EXPECT_STREQ(raised.Module(), "Update");
    EXPECT_TRUE(t.regDeletes.empty());
    ASSERT_EQ(t.relativeRegAdds.size(), 1u);
    EXPECT_EQ(t.relativeRegAdds[0].root, qel::RelativeRoot());
    ASSERT_EQ(t.regAdds.size(), 1u);
    EXPECT_EQ(t.regAdds[0].root, HKEY_LOCAL_MACHINE);
}

TEST_F(Transaction, SubInstallsAreWalkedInOrderAndDestroyedWithTheirOwner) {
    // An open log is held without write sharing: whether a sub-install's log
    // can be opened for writing tells whether the sub-install still lives.
    const auto writable = [](const std::wstring& path) {
        qel::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE,
                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                             OPEN_EXISTING, 0, nullptr));
        return file.Valid();
    };
    auto top = std::make_unique<UpdateTransaction>();
    auto first = std::make_unique<UpdateTransaction>();
    auto second = std::make_unique<UpdateTransaction>();
    first->OpenRollbackLog(logs + L"\\first.log", true);
    second->OpenRollbackLog(logs + L"\\second.log", true);
    second->FileRemove(L"C:\\x\\old.dll", 6);
    UpdateTransaction* const firstAdded = first.get();
    UpdateTransaction* const secondAdded = second.get();
    top->AddSubTransaction(std::move(first));
    top->AddSubTransaction(std::move(second));

    EXPECT_EQ(top->transactions, (std::vector<UpdateTransaction*>{top.get(), firstAdded, secondAdded}));
    EXPECT_EQ(secondAdded->transactions, std::vector<UpdateTransaction*>{secondAdded});
    EXPECT_EQ(top->Cost(), 2u) << "the commit adds up the sub-installs' costs";
    EXPECT_FALSE(writable(logs + L"\\first.log"));

    top.reset();
    EXPECT_TRUE(writable(logs + L"\\first.log"));
    EXPECT_TRUE(writable(logs + L"\\second.log"));
}

// --- commit -------------------------------------------------------------------------------

TEST_F(Transaction, CommitOfNothingReportsBothRegistryStages) {
    StdoutCapture capture(logs + L"\\stdout.txt");
    qel::Commit(t);
    EXPECT_EQ(capture.Stop(), ProgressLines(2, {1, 2}));
}

TEST_F(Transaction, CommitRecordsASkippedFileInTheUninstallLogButNotAnUnrecordedOne) {
    OpenRollbackLog();
    t.OpenUninstallLog(logs + L"\\uninstall.log", true);
    const std::wstring kept = out + L"\\settings.ini", added = out + L"\\added.txt";
    WriteFileBytes(kept, "user settings");
    const std::wstring keptSource = Source(L"settings.ini", "defaults");
    const std::wstring addedSource = Source(L"added.txt", "added");
    t.FileInstall(keptSource, kept, COPYFLG_NO_OVERWRITE, L"");
    t.FileInstall(addedSource, added, qel::NO_UNINSTALL_RECORD | qel::kOwnFileFlags, L"");

    StdoutCapture capture(logs + L"\\stdout.txt");
    qel::Commit(t);
    EXPECT_EQ(capture.Stop(), ProgressLines(8, {1, 4, 7, 8}));

    EXPECT_EQ(ReadFileBytes(kept), "user settings");
    EXPECT_EQ(ReadFileBytes(added), "added");
    EXPECT_EQ(ReadFileBytes(logs + L"\\uninstall.log"),
              "CopyFile," + Utf8(keptSource) + "," + Utf8(kept) + ",0x00000010\r\n");
    const Strings records = RollbackRecords();
    ASSERT_EQ(records.size(), 2u) << "the skipped file has none";
    EXPECT_EQ(Fields(records[0])[0], "CopyFile");
    EXPECT_EQ(Fields(records[0])[1], Utf8(addedSource));
    EXPECT_EQ(records[1], "MoveFile," + Fields(records[0])[2] + "," + Utf8(added));
    t.uninstallLog.Close();
}

TEST_F(Transaction, PathWithACommaIsLoggedAndRemovedByTheUninstallReplay) {
    OpenRollbackLog();
    const std::wstring logPath = logs + L"\\uninstall.log";
    t.OpenUninstallLog(logPath, true);
    const std::wstring source = Source(L"a,b.txt", "comma");
    const std::wstring destination = out + L"\\Qel, Tools\\a,b.txt";
    t.FileInstall(source, destination, qel::kOwnFileFlags, L"");
    {
        StdoutCapture capture(logs + L"\\stdout.txt");
        qel::Commit(t);
    }
    t.uninstallLog.Close();
    ASSERT_EQ(ReadFileBytes(destination), "comma");
    EXPECT_EQ(ReadFileBytes(logPath), "CopyFile," + Utf8(folder) + "\\src\\a|b.txt," + Utf8(out) +
                                          "\\Qel| Tools\\a|b.txt,0x00000006\r\n");

    UpdateTransaction later;
    later.OpenUninstallLog(logPath, false);
    StdoutCapture capture(logs + L"\\stdout2.txt");
    qel::Uninstall(later, false);
    EXPECT_EQ(later.fileRemoves, (std::vector<FileOp>{{L"", destination, 6, L""}}));
    EXPECT_FALSE(PathExists(destination));
}

// --- file install ---------------------------------------------------------------------------

TEST_F(Transaction, InstallFlagsAndVersionsDecideWhetherAFileIsReplaced) {
    enum Kind { Absent, Text, Versioned };
    const struct Case {
        const char* what;
        Kind installed;
        uint64_t installedVersion;
        Kind offered;
        uint64_t offeredVersion;
        uint32_t flags;
        bool replaced;
    } cases[] = {
        {"no flags: versions are not compared", Versioned, Version(2, 1), Versioned, Version(2, 0), 0, true},
        {"older only, installed older", Versioned, Version(1, 9, 9, 9), Versioned, Version(2, 0), kOlderOnly, true},
        {"older only, equal versions", Versioned, Version(2, 0), Versioned, Version(2, 0), kOlderOnly, true},
        {"older only, installed newer", Versioned, Version(2, 1), Versioned, Version(2, 0), kOlderOnly, false},
        {"older only, installed newer in the last part", Versioned, Version(2, 0, 0, 1), Versioned, Version(2, 0),
         kOlderOnly, false},
        {"older only, unversioned destination", Text, 0, Versioned, Version(2, 0), kOlderOnly, true},
        {"older only, unversioned source", Versioned, Version(2, 1), Text, 0, kOlderOnly, true},
        {"older only, unversioned source, installed top bit set", Versioned, Version(0x8000, 0), Text, 0, kOlderOnly,
         false},
        {"NOVERSIONCHECK overrides older only", Versioned, Version(2, 1), Versioned, Version(2, 0),
         kOlderOnly | COPYFLG_NOVERSIONCHECK, true},
        {"NO_OVERWRITE, destination present", Text, 0, Versioned, Version(2, 0), COPYFLG_NO_OVERWRITE, false},
        {"NO_OVERWRITE, destination absent", Absent, 0, Versioned, Version(2, 0), COPYFLG_NO_OVERWRITE, true},
        {"REPLACEONLY, destination absent", Absent, 0, Versioned, Version(2, 0), COPYFLG_REPLACEONLY, false},
        {"REPLACEONLY, destination present", Text, 0, Versioned, Version(2, 0), COPYFLG_REPLACEONLY, true},
    };
    const auto bytesOf = [](Kind kind, uint64_t version, const std::string& tag) {
        return kind == Versioned ? VersionedBytes(version, tag) : "plain text " + tag;
    };
    int index = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring number = std::to_wstring(++index);
        const std::wstring destinationFolder = out + L"\\" + number;
        const std::wstring destination = destinationFolder + L"\\lib.dll";
        qel::CreateDirectoryTree(destinationFolder);
        const std::string installed = bytesOf(c.installed, c.installedVersion, "installed");
        if (c.installed != Absent) WriteFileBytes(destination, installed);
        const std::string offered = bytesOf(c.offered, c.offeredVersion, "offered");
        const std::wstring source = Source(number + L"\\lib.dll", offered);
        const std::wstring rollbackLog = logs + L"\\" + number + L".log";

        UpdateTransaction each;
        each.OpenRollbackLog(rollbackLog, true);
        each.CommitFileInstall(source, destination, c.flags, L"");
        if (c.replaced) {
            EXPECT_EQ(ReadFileBytes(destination), offered);
            EXPECT_EQ(each.movedAsideFiles.size(), c.installed == Absent ? 0u : 1u);
            EXPECT_FALSE(Records(rollbackLog).empty());
        } else {
            if (c.installed == Absent)
                EXPECT_FALSE(PathExists(destination));
            else
                EXPECT_EQ(ReadFileBytes(destination), installed);
            EXPECT_TRUE(each.movedAsideFiles.empty());
            EXPECT_EQ(Records(rollbackLog), Strings{}) << "a skipped file leaves no rollback record";
            EXPECT_EQ(FilesIn(destinationFolder).size(), c.installed == Absent ? 0u : 1u) << "no temporary file";
        }
        EXPECT_FALSE(each.IsRebootRequired());
    }
}

TEST_F(Transaction, NewFileInAMissingFolderIsLoggedCreateDirCopyFileMoveFile) {
    OpenRollbackLog();
    const std::wstring source = Source(L"new.txt", "fresh");
    const std::wstring destinationFolder = out + L"\\deep\\er";
    const std::wstring destination = destinationFolder + L"\\new.txt";
    t.CommitFileInstall(source, destination, qel::kOwnFileFlags, L"");

    EXPECT_EQ(ReadFileBytes(destination), "fresh");
    const Strings records = RollbackRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0], "CreateDir," + Utf8(destinationFolder));
    const Strings copy = Fields(records[1]);
    ASSERT_EQ(copy.size(), 3u);
    EXPECT_EQ(copy[0], "CopyFile");
    EXPECT_EQ(copy[1], Utf8(source));
    EXPECT_TRUE(IsTempFileIn(qeltest::Wide(copy[2]), destinationFolder)) << copy[2];
    EXPECT_EQ(records[2], "MoveFile," + copy[2] + "," + Utf8(destination));
    EXPECT_EQ(FilesIn(destinationFolder), std::vector<std::wstring>{L"new.txt"});
    EXPECT_TRUE(t.movedAsideFiles.empty());
}

TEST_F(Transaction, ReplacedFileIsMovedAsideAndARollbackPutsItBack) {
    OpenRollbackLog();
    const std::wstring uninstallLog = logs + L"\\uninstall.log";
    t.OpenUninstallLog(uninstallLog, true);
    const std::wstring destination = out + L"\\app.txt";
    WriteFileBytes(destination, "old");
    const std::wstring source = Source(L"app.txt", "new");
    t.CommitFileInstall(source, destination, qel::kOwnFileFlags, L"");

    EXPECT_EQ(ReadFileBytes(destination), "new");
    const Strings records = RollbackRecords();
    ASSERT_EQ(records.size(), 3u) << "the folder exists: no CreateDir";
    const Strings copy = Fields(records[0]), aside = Fields(records[1]);
    ASSERT_EQ(copy.size(), 3u);
    ASSERT_EQ(aside.size(), 3u);
    EXPECT_EQ(copy[0] + "," + copy[1], "CopyFile," + Utf8(source));
    EXPECT_EQ(aside[0] + "," + aside[1], "MoveFile," + Utf8(destination));
    EXPECT_EQ(records[2], "MoveFile," + copy[2] + "," + Utf8(destination));
    EXPECT_TRUE(IsTempFileIn(qeltest::Wide(copy[2]), out));
    EXPECT_TRUE(IsTempFileIn(qeltest::Wide(aside[2]), out));
    EXPECT_NE(copy[2], aside[2]);
    EXPECT_EQ(t.movedAsideFiles, std::vector<std::wstring>{qeltest::Wide(aside[2])});
    EXPECT_EQ(ReadFileBytes(t.movedAsideFiles[0]), "old");
    EXPECT_FALSE(PathExists(qeltest::Wide(copy[2])));

    // A failure later in the run undoes the replacement.
    t.Rollback();
    EXPECT_EQ(FilesIn(out), std::vector<std::wstring>{L"app.txt"});
    EXPECT_EQ(ReadFileBytes(destination), "old");
    EXPECT_FALSE(PathExists(RollbackLogPath()));
    EXPECT_FALSE(PathExists(uninstallLog));
    EXPECT_FALSE(t.rollbackLog.IsOpen());
}

TEST_F(Transaction, BootFileIsCopiedAtOnceAndAsksForARestart) {
    OpenRollbackLog();
    const std::wstring boot = out + L"\\boot.sys";
    t.CommitFileInstall(Source(L"boot.sys", "boot"), boot, COPYFLG_REPLACE_BOOT_FILE, L"");
    EXPECT_EQ(ReadFileBytes(boot), "boot");
    EXPECT_TRUE(t.IsRebootRequired());
}

// --- file removal and SharedDLLs -------------------------------------------------------------

TEST_F(Transaction, OnlyFilesCopiedWithoutVersionCheckAndNoKeeperFlagAreRemoved) {
    OpenRollbackLog();
    const struct {
        const char* what;
        uint32_t flags;
        bool removed;
    } cases[] = {
        {"NOSKIP and NOVERSIONCHECK", 6, true},
        {"NOVERSIONCHECK alone", COPYFLG_NOVERSIONCHECK, true},
        {"no flags", 0, false},
        {"NOSKIP alone", COPYFLG_NOSKIP, false},
        {"NO_OVERWRITE", 6 | COPYFLG_NO_OVERWRITE, false},
        {"REPLACEONLY", 6 | COPYFLG_REPLACEONLY, false},
        {"NO_UNINSTALL_RECORD", 6 | qel::NO_UNINSTALL_RECORD, false},
    };
    std::vector<std::wstring> remaining;
    int index = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring name = L"file" + std::to_wstring(++index) + L".txt", path = out + L"\\" + name;
        const std::string bytes = "file " + std::to_string(index);
        WriteFileBytes(path, bytes);
        const size_t recordsBefore = RollbackRecords().size(), asideBefore = t.movedAsideFiles.size();
        t.CommitFileRemove(path, c.flags);
        if (c.removed) {
            EXPECT_FALSE(PathExists(path));
            ASSERT_EQ(t.movedAsideFiles.size(), asideBefore + 1);
            const std::wstring& aside = t.movedAsideFiles.back();
            EXPECT_TRUE(IsTempFileIn(aside, out)) << Utf8(aside);
            EXPECT_EQ(ReadFileBytes(aside), bytes) << "kept until the clean-up";
            EXPECT_EQ(RollbackRecords().back(), "MoveFile," + Utf8(path) + "," + Utf8(aside));
            remaining.push_back(qel::GetFileNamePart(aside));
        } else {
            EXPECT_EQ(ReadFileBytes(path), bytes);
            EXPECT_EQ(t.movedAsideFiles.size(), asideBefore);
            EXPECT_EQ(RollbackRecords().size(), recordsBefore);
            remaining.push_back(name);
        }
    }
    t.CommitFileRemove(out + L"\\missing.txt", 6);
    std::sort(remaining.begin(), remaining.end());
    EXPECT_EQ(FilesIn(out), remaining);
    EXPECT_FALSE(t.IsRebootRequired());
}

TEST_F(Transaction, FileInUseIsRemovedAtTheNextRestart) {
    ClearPendingRenames();
    OpenRollbackLog();
    const std::wstring path = out + L"\\busy.txt";
    WriteFileBytes(path, "busy");
    {
        // Another holder without delete sharing: the move aside is refused.
        qel::UniqueHandle held(
            ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held.Valid());
        t.CommitFileRemove(path, qel::kOwnFileFlags);
    }
    EXPECT_TRUE(t.IsRebootRequired());
    EXPECT_TRUE(t.movedAsideFiles.empty());
    EXPECT_EQ(FilesIn(out), std::vector<std::wstring>{L"busy.txt"}) << "the unused temporary name is deleted";
    const Strings records = RollbackRecords();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(Fields(records[0])[0] + "," + Fields(records[0])[1], "MoveFile," + Utf8(path));
    EXPECT_EQ(records[1], "QueuedMove," + Utf8(path) + ",");
    EXPECT_EQ(PendingRenames(), L"\\??\\" + path + std::wstring(3, L'\0')) << "deleted at the restart";
    ClearPendingRenames();
}

TEST_F(Transaction, SharedDllCountsRiseWithInstallsAndFallWithEveryRemoval) {
    const std::wstring present = out + L"\\present.dll", fresh = out + L"\\fresh.dll", worn = out + L"\\worn.dll";
    for (const auto& path : {present, fresh, worn})
        qeltest::DeleteRegValue(HKEY_LOCAL_MACHINE, kSharedDllsKey, path);

    // A file that was there before the install has another user as well.
    qel::SharedDllPrior prior = qel::AddSharedDllRef(present, true);
    EXPECT_FALSE(prior.existed);
    EXPECT_EQ(SharedDllCount(present), 2);
    qel::AddSharedDllRef(fresh, false);
    EXPECT_EQ(SharedDllCount(fresh), 1);
    prior = qel::AddSharedDllRef(present, false);
    EXPECT_TRUE(prior.existed);
    EXPECT_EQ(prior.count, 2u);
    EXPECT_EQ(SharedDllCount(present), 3);
    SetSharedDllCount(worn, 0xFFFFFFFF);
    qel::AddSharedDllRef(worn, true);
    EXPECT_EQ(SharedDllCount(worn), 1) << "a count that wraps starts again at 1";

    // The count falls even when the flags keep the file; the last user's
    // removal deletes the value.
    OpenRollbackLog();
    WriteFileBytes(present, "shared");
    t.CommitFileRemove(present, qel::SHARED_DLL | COPYFLG_NO_OVERWRITE | 6);
    EXPECT_EQ(SharedDllCount(present), 2);
    t.CommitFileRemove(present, qel::SHARED_DLL);
    EXPECT_EQ(SharedDllCount(present), 1);
    EXPECT_TRUE(PathExists(present));
    t.CommitFileRemove(present, qel::SHARED_DLL | 6);
    EXPECT_EQ(SharedDllCount(present), -1);
    EXPECT_FALSE(PathExists(present));

    // A file that is gone is not counted down.
    t.CommitFileRemove(fresh, qel::SHARED_DLL | 6);
    EXPECT_EQ(SharedDllCount(fresh), 1);
    qel::ReleaseSharedDllRef(fresh);
    EXPECT_EQ(SharedDllCount(fresh), -1);
    qel::ReleaseSharedDllRef(fresh);  // nothing to count down: no error
    qeltest::DeleteRegValue(HKEY_LOCAL_MACHINE, kSharedDllsKey, worn);
}

// --- rollback ---------------------------------------------------------------------------------

TEST_F(Transaction, RollbackReplaysAHandWrittenLogNewestFirst) {
    // The state an install left: the new file f came from the temporary copy
    // t, the old one was moved aside to g; q was registered for the restart.
    const std::string d = Utf8(folder) + "\\made", s = Utf8(folder) + "\\src\\s.txt";
    const std::string f = Utf8(out) + "\\f.txt", g = Utf8(out) + "\\g.tmp", tmp = Utf8(out) + "\\t.tmp";
    const std::string q = Utf8(out) + "\\q.txt";
    qel::CreateDirectoryTree(qeltest::Wide(d));
    WriteFileBytes(qeltest::Wide(s), "new");
    WriteFileBytes(qeltest::Wide(f), "new");
    WriteFileBytes(qeltest::Wide(g), "old");
    WriteFileBytes(qeltest::Wide(q), "queued");
    WriteFileBytes(RollbackLogPath(), "CreateDir," + d + "\r\nCopyFile," + s + "," + tmp + "\r\nNoSuchKind," + s +
                                          "\r\n\r\nMoveFile," + f + "," + g + "\r\nMoveFile," + tmp + "," + f +
                                          "\r\nQueuedMove," + q + "," + f + "\r\n");
    t.OpenRollbackLog(RollbackLogPath(), false);
    const std::wstring uninstallLog = logs + L"\\uninstall.log";
    t.OpenUninstallLog(uninstallLog, true);

    qeltest::TraceCapture trace;
    t.Rollback();
    const Strings expected = {
        "Rollback()",
        "Rollback log line: \"QueuedMove," + q + "," + f + "\"",
        "Rollback(): QueuedMove( \"" + f + "\", \"" + q + "\")",
        "Rollback log line: \"MoveFile," + tmp + "," + f + "\"",
        "Rollback(): MoveFile( \"" + f + "\", \"" + tmp + "\")",
        "Rollback log line: \"MoveFile," + f + "," + g + "\"",
        "Rollback(): MoveFile( \"" + g + "\", \"" + f + "\")",
        "Rollback log line: \"\"",
        "Rollback(): Unknown message \"\"",
        "Rollback log line: \"NoSuchKind," + s + "\"",
        "Rollback(): Unknown message \"NoSuchKind," + s + "\"",
        "Rollback log line: \"CopyFile," + s + "," + tmp + "\"",
        "Rollback(): DeleteFile( \"" + tmp + "\" )",
        "Rollback log line: \"CreateDir," + d + "\"",
    };
    EXPECT_EQ(trace.Lines(), expected);

    EXPECT_EQ(FilesIn(out), (std::vector<std::wstring>{L"f.txt", L"q.txt"}));
    EXPECT_EQ(ReadFileBytes(qeltest::Wide(f)), "old");
    EXPECT_EQ(ReadFileBytes(qeltest::Wide(q)), "queued") << "a move registered for the restart stays registered";
    EXPECT_TRUE(PathExists(qeltest::Wide(d))) << "created folders are left";
    EXPECT_TRUE(PathExists(qeltest::Wide(s)));
    EXPECT_FALSE(PathExists(RollbackLogPath()));
    EXPECT_FALSE(PathExists(uninstallLog));
}

TEST_F(Transaction, RollbackWithoutARollbackLogLeavesTheUninstallLogAlone) {
    const std::wstring uninstallLog = logs + L"\\uninstall.log";
    t.OpenUninstallLog(uninstallLog, true);
    ASSERT_EQ(t.uninstallLog.WriteLine(L"CopyFile,a,b,0x00000006\n"), qel::LogOk);

    qeltest::TraceCapture trace;
    t.Rollback();
    EXPECT_EQ(trace.Lines(), Strings{"Rollback()"});
    EXPECT_TRUE(t.uninstallLog.IsOpen());
    EXPECT_EQ(ReadFileBytes(uninstallLog), "CopyFile,a,b,0x00000006\r\n");
    t.uninstallLog.Close();
}

// --- uninstall replay ---------------------------------------------------------------------------

TEST_F(Transaction, UninstallQueuesTheLogNewestFirstAndCommitsTheRemovals) {
    const std::wstring a = out + L"\\a.dll", b = out + L"\\b.dll", c = out + L"\\c.dll", d = out + L"\\d.log";
    for (const auto& path : {a, b, c, d}) WriteFileBytes(path, Utf8(path));
    const std::wstring logPath = logs + L"\\uninstall.log";
    const std::string log = "CopyFile,src\\a.dll," + Utf8(a) + ",0x00000006\r\n" + "\r\n" + "\t\r\n" +
                            "CopyFile,src\\b.dll," + Utf8(b) + ",0x00000010\r\n" +
                            "CopyFile,src\\c.dll," + Utf8(c) + "\r\n" +
                            "MoveFile," + Utf8(out) + "\\qel1.tmp," + Utf8(d) + "\r\n";
    WriteFileBytes(logPath, log);
    t.OpenUninstallLog(logPath, false);

    qeltest::TraceCapture trace;
    StdoutCapture capture(logs + L"\\stdout.txt");
    qel::Uninstall(t, false);
    EXPECT_EQ(capture.Stop(), ProgressLines(14, {1, 4, 7, 10, 13, 14}));

    EXPECT_EQ(t.fileRemoves, (std::vector<FileOp>{{L"", d, 0, L""}, {L"", c, 0, L""}, {L"", b, 0x10, L""},
                                                  {L"", a, 6, L""}}));
    Strings replay;
    for (const auto& line : trace.Lines())
        if (line.compare(0, 9, "Uninstall") == 0) replay.push_back(line);
    EXPECT_EQ(replay, (Strings{"Uninstall()", "Uninstall(): FileRemove( \"" + Utf8(d) + "\", 0x0 )",
                               "Uninstall(): FileRemove( \"" + Utf8(c) + "\", 0x0 )",
                               "Uninstall(): FileRemove( \"" + Utf8(b) + "\", 0x10 )",
                               "Uninstall(): FileRemove( \"" + Utf8(a) + "\", 0x6 )"}));

    EXPECT_FALSE(PathExists(a));
    ASSERT_EQ(t.movedAsideFiles.size(), 1u);
    EXPECT_TRUE(IsTempFileIn(t.movedAsideFiles[0], out));
    for (const auto& kept : {b, c, d}) EXPECT_EQ(ReadFileBytes(kept), Utf8(kept));
    EXPECT_FALSE(t.rollbackEnabled);
    EXPECT_FALSE(t.uninstallLog.IsOpen());
    EXPECT_EQ(ReadFileBytes(logPath), log) << "the log is read, not changed";
    EXPECT_EQ(RollbackRecords(), Strings{}) << "an uninstall writes no rollback records";
}

TEST_F(Transaction, UninstallRaisesForAnUnknownRecordBeforeCommittingAnything) {
    const std::wstring a = out + L"\\a.dll";
    WriteFileBytes(a, "a");
    const std::wstring logPath = logs + L"\\uninstall.log";
    WriteFileBytes(logPath, "UpdateDriver,PCI\\VEN_1D6A,x.inf,\r\nCopyFile,src\\a.dll," + Utf8(a) + ",0x00000006\r\n");
    t.OpenUninstallLog(logPath, false);

    StdoutCapture capture(logs + L"\\stdout.txt");
    const auto raised = ExpectRaise([&] { qel::Uninstall(t, false); });
    EXPECT_EQ(capture.Stop(), "") << "no stage ran";
    EXPECT_STREQ(raised.Module(), "Update");
    EXPECT_STREQ(raised.Description(), L"UpdateDriver");
    EXPECT_EQ(ReadFileBytes(a), "a");
    EXPECT_TRUE(t.movedAsideFiles.empty());
    t.uninstallLog.Close();
}

// --- clean-up -------------------------------------------------------------------------------------

TEST_F(Transaction, CleanupDeletesWhatTheRunLeftBehind) {
    // The only clean-up of this program: it waits two seconds.
    std::wstring programFiles, windowsFolder;
    qel::GetProgramFilesFolder(programFiles);
    qel::GetWindowsFolder(windowsFolder);
    const std::wstring uninstallEntry =
        L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ardentix 802.11 Network Adapter";
    const std::wstring oemFolder = programFiles + L"\\Kestrel\\Kestrel Wireless WLAN Card";
    const std::wstring driverFiles = programFiles + L"\\Qel Txn Driver";

    OpenRollbackLog();
    const std::wstring removed = out + L"\\removed.txt";
    WriteFileBytes(removed, "removed");
    t.CommitFileRemove(removed, qel::kOwnFileFlags);
    ASSERT_EQ(t.movedAsideFiles.size(), 1u);
    std::wstring leftover;
    qel::MakeTempFile(windowsFolder, leftover);

    const std::wstring empty = folder + L"\\empty", full = folder + L"\\full", tree = folder + L"\\tree";
    const std::wstring link = folder + L"\\menu\\Qel Monitor";
    qel::CreateDirectoryTree(empty);
    WriteFileBytes(full + L"\\x.txt", "x");
    WriteFileBytes(tree + L"\\sub\\y.txt", "y");
    WriteFileBytes(link + L".lnk", "link");
    WriteFileBytes(driverFiles + L"\\z.sys", "z");
    WriteFileBytes(oemFolder + L"\\w.txt", "w");
    t.DirRemove(empty, qel::DirRemoveIfEmpty);
    t.DirRemove(full, qel::DirRemoveIfEmpty);
    t.DirRemove(tree, qel::DirRemoveTree);
    t.DirRemove(link, 2);
    t.DirRemove(driverFiles, qel::DirRemoveTree);
    {
        qel::UniqueKey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, uninstallEntry.c_str(), 0, nullptr, 0,
                                    KEY_WRITE | KEY_WOW64_64KEY, nullptr, key.Put(), nullptr),
                  ERROR_SUCCESS);
    }

    qeltest::TraceCapture trace;
    qel::DoCleanup(t);

    EXPECT_EQ(FilesIn(out), std::vector<std::wstring>{});
    EXPECT_FALSE(PathExists(leftover));
    EXPECT_FALSE(PathExists(empty));
    EXPECT_TRUE(PathExists(full + L"\\x.txt"));
    EXPECT_FALSE(PathExists(tree));
    EXPECT_FALSE(PathExists(link + L".lnk"));
    EXPECT_TRUE(PathExists(driverFiles + L"\\z.sys")) << "the installed driver may still need it";
    EXPECT_FALSE(PathExists(oemFolder));
    EXPECT_FALSE(PathExists(RollbackLogPath()));
    const Strings expected = {
        "DoCleanup(): Removing dir \"" + Utf8(empty) + "\"",
        "DoCleanup(): Removing dir \"" + Utf8(full) + "\"",
        Utf8(full) + " is not removed because the directory is not empty.",
        "DoCleanup(): Removing dir \"" + Utf8(tree) + "\"",
        "DoCleanup(): Removing file \"" + Utf8(link) + "\"",
        "DoCleanup(): Removing dir \"" + Utf8(driverFiles) + "\"",
        Utf8(driverFiles) + " is not removed because driver setup still exists.",
        "DoCleanup(): Removing directory: \"" + Utf8(oemFolder) + "\"",
    };
    EXPECT_EQ(trace.Lines(), expected);

    qeltest::DeleteRegTree(HKEY_LOCAL_MACHINE, uninstallEntry, KEY_WOW64_64KEY);
    qeltest::DeleteTree(driverFiles);
    qeltest::DeleteTree(programFiles + L"\\Kestrel");
}

}  // namespace
