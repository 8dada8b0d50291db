// The install transaction in-process, on real files of the test prefix: the
// flags and versions that decide whether a file is installed or removed, and
// the replay of a rollback log record by record. Whole runs on the sample
// package (commit and its progress, rollback, uninstall replay, SharedDLLs
// counts, the clean-up) are the system tests' business.
#include "Handles.h"
#include "UnitHelpers.h"
#include "Update.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace {

using qel::UpdateTransaction;
using qeltest::PathExists;
using qeltest::ReadFileBytes;
using qeltest::Utf8;
using qeltest::WriteFileBytes;
using Strings = std::vector<std::string>;

constexpr uint32_t kOlderOnly = COPYFLG_OVERWRITE_OLDER_ONLY;

// The lines of a file without their CR LF; none for a missing file.
Strings Records(const std::wstring& path) {
    return PathExists(path) ? qeltest::SplitCrLfLines(ReadFileBytes(path)) : Strings{};
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

TEST_F(Transaction, BootFileIsCopiedAtOnceAndAsksForARestart) {
    OpenRollbackLog();
    const std::wstring boot = out + L"\\boot.sys";
    t.CommitFileInstall(Source(L"boot.sys", "boot"), boot, COPYFLG_REPLACE_BOOT_FILE, L"");
    EXPECT_EQ(ReadFileBytes(boot), "boot");
    EXPECT_TRUE(t.IsRebootRequired());
}

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
            EXPECT_EQ(qel::DirectoryOf(aside), out) << Utf8(aside);
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
    // Records it does not know are reported and passed over.
    const Strings lines = trace.Lines();
    for (const std::string& record : {std::string(), "NoSuchKind," + s})
        EXPECT_NE(std::find(lines.begin(), lines.end(), "Rollback(): Unknown message \"" + record + "\""), lines.end());

    // Newest first: the temporary copy goes back to t and is deleted, the old
    // file comes back from g; folders the install made are left.
    EXPECT_EQ(FilesIn(out), (std::vector<std::wstring>{L"f.txt", L"q.txt"}));
    EXPECT_EQ(ReadFileBytes(qeltest::Wide(f)), "old");
    EXPECT_EQ(ReadFileBytes(qeltest::Wide(q)), "queued") << "a move registered for the restart stays registered";
    EXPECT_TRUE(PathExists(qeltest::Wide(d)));
    EXPECT_TRUE(PathExists(qeltest::Wide(s)));
    EXPECT_FALSE(PathExists(RollbackLogPath()));
    EXPECT_FALSE(PathExists(uninstallLog));
}

}  // namespace
