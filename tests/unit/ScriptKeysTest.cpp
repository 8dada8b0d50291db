// The section processor and the file, sub-install and uninstall-log keys, run
// on real scripts into a real transaction. What a key does is what it queues,
// so the tests compare the queued records field by field.
#include "CmdLine.h"
#include "CmdLineKeys.h"
#include "DriverInf.h"
#include "Trace.h"
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <memory>
#include <ostream>

namespace qel {
bool operator==(const FileOp& a, const FileOp& b) {
    return a.destination == b.destination && a.source == b.source && a.flags == b.flags && a.cabinet == b.cabinet;
}
void PrintTo(const FileOp& op, std::ostream* os) {
    *os << "{src " << qeltest::Utf8(op.source) << ", dst " << qeltest::Utf8(op.destination) << ", flags 0x"
        << std::hex << op.flags << std::dec << ", cab " << qeltest::Utf8(op.cabinet) << "}";
}
bool operator==(const DirOp& a, const DirOp& b) { return a.path == b.path && a.kind == b.kind; }
void PrintTo(const DirOp& op, std::ostream* os) { *os << "{" << qeltest::Utf8(op.path) << ", " << op.kind << "}"; }
}  // namespace qel

namespace {

using qel::DirOp;
using qel::FileOp;
using qel::InfFile;
using qel::UpdateTransaction;
using qeltest::ExpectRaise;
using Ops = std::vector<FileOp>;

constexpr char kVersionSection[] = "[Version]\nSignature=\"$Windows NT$\"\n";

std::wstring WindowsFolder() {
    std::wstring folder;
    qel::GetWindowsFolder(folder);
    return folder;
}

std::wstring SystemFolder() {
    wchar_t folder[MAX_PATH];
    return std::wstring(folder, ::GetSystemDirectoryW(folder, MAX_PATH));
}

std::wstring Program(const std::wstring& name) { return qel::JoinPath(qeltest::TestBinDir(), name); }
std::wstring Win(const std::wstring& name) { return qel::JoinPath(WindowsFolder(), name); }

// A temporary name as MakeTempFile makes it: "qel", hex digits, ".tmp".
bool IsTempName(const std::wstring& path) {
    std::wstring name = qel::GetFileNamePart(path);
    std::transform(name.begin(), name.end(), name.begin(), ::towlower);
    return name.size() > 7 && name.compare(0, 3, L"qel") == 0 && name.compare(name.size() - 4, 4, L".tmp") == 0;
}

class ScriptKeys : public ::testing::Test {
protected:
    void SetUp() override {
        qel::SkipDriverInf = 0;
        qel::ScriptDirArg.clear();
        qel::WorkingDir = qeltest::TestBinDir();
    }
    // The rollback logs live in the Windows folder of the prefix; remove them.
    void TearDown() override { DeleteLogs(transaction); }
    static void DeleteLogs(UpdateTransaction& t) {
        for (UpdateTransaction* each : t.transactions) {
            if (each != &t) DeleteLogs(*each);
        }
        t.rollbackLog.CloseAndDelete();
        t.uninstallLog.CloseAndDelete();
    }

    // Writes the script ([Version] first, LF as CR LF) and returns its path.
    static std::wstring WriteScript(const std::wstring& path, const std::string& body) {
        std::string text;
        for (char c : std::string(kVersionSection) + body) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
        qeltest::WriteFileBytes(path, text);
        return path;
    }
    const InfFile& Open(const std::wstring& path) {
        scripts_.push_back(std::make_unique<InfFile>());
        scripts_.back()->Open(path, qel::kInfNeutralLanguage);
        return *scripts_.back();
    }
    const InfFile& Script(const std::wstring& test, const std::string& body) {
        return Open(WriteScript(qeltest::MakeScratchFolder(L"keys-" + test) + L"\\qelwls.ini", body));
    }

    UpdateTransaction transaction;

private:
    std::vector<std::unique_ptr<InfFile>> scripts_;
};

// --- copy sections ------------------------------------------------------------------

constexpr char kCopyScript[] = R"([Install]
CopyFiles=Plain
CopyFiles=Cab,NoSuchSection,Decorated

[DestinationDirs]
DefaultDestDir=11
Plain=10,qel\plain
Cab=10,qel\cab
Decorated=10,qel\named
Decorated.amd64=10,qel\decorated

[SourceDisksNames]
1="Plain disk",,,files
2="Cabinet disk",data.cab,,cabsub
3="Bare disk"

[SourceDisksFiles]
a.sys=1
d.sys=1
e.dll=1,sub2
b.dll=2
c.exe=3

[Plain]
a.sys,,,0x2
renamed.sys,a.sys,,4
d.sys,drivers\d.sys,,0
c.exe,,,0x40000000
e.dll,,,1

[Cab]
b.dll,,,0x10
x.txt,,,0

[Decorated]
never.sys,,,0
[Decorated.amd64]
chosen.sys,,,0

[Broken]
CopyFiles=NoFlags
[NoFlags]
good.sys,,,2
bad.sys,src.sys
)";

TEST_F(ScriptKeys, CopyLinesQueueSourceDestinationFlagsAndCabinet) {
    const InfFile& script = Script(L"copy", kCopyScript);
    qel::CopyFilesKey(transaction, script, L"Install");
    const Ops expected = {
        // An empty source field means the destination name. Disk 1 has an empty field 2: plain files.
        {Win(L"qel\\plain\\a.sys"), Program(L"files\\a.sys"), 2, L""},
        {Win(L"qel\\plain\\renamed.sys"), Program(L"files\\a.sys"), 4, L""},
        // A sub-path in the source is kept; the file is looked up by its name part.
        {Win(L"qel\\plain\\d.sys"), Program(L"files\\drivers\\d.sys"), 0, L""},
        // A disk line without field 2 has no cabinet.
        {Win(L"qel\\plain\\c.exe"), Program(L"c.exe"), 0x40000000, L""},
        // Windows appends the [SourceDisksFiles] sub-folder too (files\sub2); Wine returns the disk's only.
        {Win(L"qel\\plain\\e.dll"), Program(L"files\\e.dll"), 1, L""},
        // A cabinet member is named by its name in the cabinet, which lies in the program's folder.
        {Win(L"qel\\cab\\b.dll"), L"b.dll", 0x10, Program(L"data.cab")},
        // Not listed: the plain file beside the program, not the cabinet of the line before.
        {Win(L"qel\\cab\\x.txt"), Program(L"x.txt"), 0, L""},
        // Lines of the .amd64 twin, folder of the entry for the name as listed; the missing section is skipped.
        {Win(L"qel\\named\\chosen.sys"), Program(L"chosen.sys"), 0, L""},
    };
    EXPECT_EQ(transaction.fileInstalls, expected);
    EXPECT_TRUE(transaction.fileRemoves.empty());

    // A line without flags raises; the lines before it stay queued.
    UpdateTransaction broken;
    const auto raised = ExpectRaise([&] { qel::CopyFilesKey(broken, script, L"Broken"); });
    EXPECT_STREQ(raised.Module(), "CmdLine");
    EXPECT_STREQ(raised.Description(), L"[NoFlags] line 2 has no flags in field 4");
    EXPECT_EQ(broken.fileInstalls, (Ops{{qel::JoinPath(SystemFolder(), L"good.sys"), Program(L"good.sys"), 2, L""}}));
}

TEST_F(ScriptKeys, CopyFilesTracesEachStep) {
    const InfFile& script = Script(L"copy-trace", std::string(kCopyScript) + "[One]\nCopyFiles=Cab\n");
    const std::wstring log = qeltest::MakeScratchFolder(L"keys-trace") + L"\\trace.log";
    qel::TraceOpen(log);
    const size_t start = qeltest::ReadFileBytes(log).size();  // after the header
    qel::CopyFilesKey(transaction, script, L"One");
    std::vector<std::string> lines;
    for (const std::string& line : qeltest::SplitCrLfLines(qeltest::ReadFileBytes(log).substr(start)))
        if (!line.empty()) lines.push_back(line.substr(10));  // "hh:mm:ss: "
    const std::string win = qeltest::Utf8(WindowsFolder()), program = qeltest::Utf8(qeltest::TestBinDir());
    const std::vector<std::string> expected = {
        "CopyFiles: section is Cab",
        "CopyFiles: targetDir is " + win + "\\qel\\cab",
        "CopyFiles: target = b.dll, src = b.dll",
        "CopyFiles: srcDir = cabsub",
        "CopyFiles: FileInstall( b.dll, " + win + "\\qel\\cab\\b.dll, 16 )",
        "CopyFiles: target = x.txt, src = x.txt",
        "CopyFiles: FileInstall( " + program + "\\x.txt, " + win + "\\qel\\cab\\x.txt, 0 )",
    };
    EXPECT_EQ(lines, expected);
}

// --- delete and folder sections -----------------------------------------------------

TEST_F(ScriptKeys, DeleteSectionsQueueRemovalsWithOwnFlags) {
    const InfFile& script = Script(L"delete", R"([Remove]
DelFiles=Old
DelFiles=Old2
[Broken]
DelFiles=Old2,NoSuch
[DestinationDirs]
Old=10,qel\old-named
Old.amd64=10,qel\old-decorated
Old2=10,qel\old2
[Old]
never.dll
[Old.amd64]
gone.dll,ignored,0x2
[Old2]
a.txt
b.txt
)");
    qel::DelFilesKey(transaction, script, L"Remove");
    // Unlike a copy list, a delete list takes the folder of the decorated twin's entry.
    const Ops expected = {
        {L"", Win(L"qel\\old-decorated\\gone.dll"), 6, L""},
        {L"", Win(L"qel\\old2\\a.txt"), 6, L""},
        {L"", Win(L"qel\\old2\\b.txt"), 6, L""},
    };
    EXPECT_EQ(transaction.fileRemoves, expected);

    UpdateTransaction broken;
    const auto raised = ExpectRaise([&] { qel::DelFilesKey(broken, script, L"Broken"); });
    EXPECT_STREQ(raised.Description(), L"[NoSuch] is missing");
    EXPECT_EQ(broken.fileRemoves.size(), 2u);
}

TEST_F(ScriptKeys, DelDirsQueuesFoldersAndStopsAtAMissingSection) {
    const InfFile& script = Script(L"deldirs", R"([Dirs]
DelDirs=Folders,NoSuch,After
[Folders]
C:\qel\empty
C:\qel\tree,1
C:\qel\Start Menu\Link,2
C:\qel\text,abc
[After]
C:\qel\never
)");
    qel::DelDirsKey(transaction, script, L"Dirs");
    const std::vector<DirOp> expected = {
        {L"C:\\qel\\empty", 0}, {L"C:\\qel\\tree", 1}, {L"C:\\qel\\Start Menu\\Link", 2}, {L"C:\\qel\\text", 0}};
    EXPECT_EQ(transaction.dirRemoves, expected);
}

TEST_F(ScriptKeys, RegDelFilesRemovesListedFilesButNotOemInfsOrTheUninstaller) {
    const wchar_t* keyPath = L"SOFTWARE\\QelTests\\RegDelFiles";
    qel::UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                nullptr, key.Put(), nullptr),
              ERROR_SUCCESS);
    auto set = [&](const wchar_t* name, const std::wstring& data) {
        ::RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                         static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    };
    set(L"system", L"%WIN_SYS_DIR%\\Foo.dll");
    set(L"windows", L"%WIN_DIR%\\Qel\\Bar.TXT");
    set(L"inf", L"%WIN_DIR%\\inf\\oem7.inf");
    set(L"uninstaller", L"C:\\Program Files\\Qel\\QELWLU00.EXE");

    const InfFile& script = Script(L"regdel", "[Remove]\nRegDelFiles=SOFTWARE\\QelTests\\Missing,"
                                              "SOFTWARE\\QelTests\\RegDelFiles\n");
    qel::RegDelFilesKey(transaction, script, L"Remove");

    std::vector<std::wstring> expected = {SystemFolder() + L"\\Foo.dll", WindowsFolder() + L"\\Qel\\Bar.TXT"};
    for (auto& path : expected) ::CharLowerBuffW(&path[0], static_cast<DWORD>(path.size()));
    std::vector<std::wstring> removed;
    for (const FileOp& op : transaction.fileRemoves) {
        EXPECT_EQ(op.flags, 6u);
        removed.push_back(op.source);
    }
    std::sort(expected.begin(), expected.end());
    std::sort(removed.begin(), removed.end());  // in value enumeration order, which is the registry's
    EXPECT_EQ(removed, expected);
    qeltest::DeleteRegTree(HKEY_LOCAL_MACHINE, keyPath, KEY_WOW64_64KEY);
}

// --- the section processor -------------------------------------------------------------

TEST_F(ScriptKeys, ProcessSectionsStartsARollbackLogAndRunsTheSectionsInOrder) {
    const InfFile& script = Script(L"sections", R"([First]
CopyFiles=F1
[Second]
CopyFiles=F2
[DestinationDirs]
DefaultDestDir=10
[F1]
one.sys,,,0
[F2]
two.sys,,,0
)");
    qel::ProcessSections(transaction, script, {L"Second", L"Missing", L"First"});
    const std::wstring& log = transaction.rollbackLog.Path();
    EXPECT_TRUE(transaction.rollbackLog.IsOpen());
    EXPECT_EQ(qel::DirectoryOf(log), WindowsFolder());
    EXPECT_TRUE(IsTempName(log)) << qeltest::Utf8(log);
    EXPECT_EQ(qeltest::ReadFileBytes(log), "");
    const Ops expected = {{Win(L"two.sys"), Program(L"two.sys"), 0, L""}, {Win(L"one.sys"), Program(L"one.sys"), 0, L""}};
    EXPECT_EQ(transaction.fileInstalls, expected);
}

// Which keys have run when a later one raises shows the order of the keys.
TEST_F(ScriptKeys, KeysRunInTheirFixedOrderWhateverTheOrderInTheSection) {
    const InfFile& script = Script(L"order", R"([Early]
DelFiles=Old
PreRun=Programs
[DelMissing]
CopyFiles=Files
DelFiles=NoSuch
[Late]
UninstallLog=
DelDirs=Folders
AddLinks=Links
CopyFiles=Files
DelFiles=Old
[DestinationDirs]
DefaultDestDir=10
[Files]
f.sys,,,0
[Old]
old.sys
[Folders]
C:\qel\folder
)");
    UpdateTransaction early, delMissing;
    auto raised = ExpectRaise([&] { qel::ProcessSection(early, script, L"Early"); });
    EXPECT_STREQ(raised.Module(), "CmdLine");
    EXPECT_STREQ(raised.Description(), L"key PreRun in [Early] is not supported by this build");
    EXPECT_TRUE(early.fileRemoves.empty());

    raised = ExpectRaise([&] { qel::ProcessSection(delMissing, script, L"DelMissing"); });
    EXPECT_STREQ(raised.Description(), L"[NoSuch] is missing");
    EXPECT_TRUE(delMissing.fileInstalls.empty());

    raised = ExpectRaise([&] { qel::ProcessSection(transaction, script, L"Late"); });
    EXPECT_STREQ(raised.Description(), L"key AddLinks in [Late] is not supported by this build");
    EXPECT_EQ(transaction.fileRemoves.size(), 1u);
    EXPECT_EQ(transaction.fileInstalls.size(), 1u);
    EXPECT_TRUE(transaction.dirRemoves.empty());
    EXPECT_FALSE(transaction.uninstallLog.IsOpen());
}

TEST_F(ScriptKeys, KeysWithoutAHandlerAreRefused) {
    const std::vector<std::wstring> keys = {L"ConditionalSection", L"DelGINA", L"AddGINA", L"PostRun",
                                            L"DriverInf", L"Install", L"Uninstall", L"UninstallInf"};
    std::string body;
    for (const auto& key : keys) body += "[K_" + qeltest::Utf8(key) + "]\n" + qeltest::Utf8(key) + "=X\n";
    const InfFile& script = Script(L"refused", body);
    // The driver store keys count from Vista on; Wine reports Windows 10 here.
    ASSERT_GT(qel::SetupGetRunningWinVer(), qel::WinVerXP);
    for (const auto& key : keys) {
        const std::wstring section = L"K_" + key;
        const auto raised = ExpectRaise([&] { qel::ProcessSection(transaction, script, section); });
        EXPECT_EQ(std::wstring(raised.Description() ? raised.Description() : L"(none)"),
                  L"key " + key + L" in [" + section + L"] is not supported by this build");
    }
    qel::SkipDriverInf = 1;  // as after apponly_install or a sub-install
    qel::ProcessSection(transaction, script, L"K_DriverInf");
}

// --- sub-installs ------------------------------------------------------------------------

constexpr char kOtherScript[] = R"([Install]
CopyFiles=Files
[DestinationDirs]
DefaultDestDir=10
[Files]
other.sys,,,0
)";

TEST_F(ScriptKeys, SubInstallRunsTheOtherScriptInATransactionOfItsOwn) {
    // With an empty script argument the other script is looked for in the program's folder.
    qel::WorkingDir = qeltest::MakeScratchFolder(L"keys-sub-program");
    WriteScript(qel::WorkingDir + L"\\other.ini", kOtherScript);
    const InfFile& script = Script(L"sub-main", "[Install]\nDriverInf=drv\\drv.inf\nSubInstall=other.ini,Install\n");

    qel::ProcessSections(transaction, script, {L"Install"});  // DriverInf would raise if it ran
    EXPECT_EQ(qel::SkipDriverInf, 1);
    ASSERT_EQ(transaction.transactions.size(), 2u);
    UpdateTransaction& sub = *transaction.transactions[1];
    EXPECT_EQ(sub.fileInstalls, (Ops{{Win(L"other.sys"), Program(L"other.sys"), 0, L""}}));
    EXPECT_TRUE(transaction.fileInstalls.empty());
    EXPECT_TRUE(sub.rollbackLog.IsOpen());
    EXPECT_EQ(qel::DirectoryOf(sub.rollbackLog.Path()), WindowsFolder());
    EXPECT_NE(sub.rollbackLog.Path(), transaction.rollbackLog.Path());
}

TEST_F(ScriptKeys, SubInstallLooksBesideTheScriptArgumentAndMayRunNoSection) {
    qel::ScriptDirArg = qeltest::MakeScratchFolder(L"keys-sub-arg-folder");
    WriteScript(qel::ScriptDirArg + L"\\other.ini", kOtherScript);
    const InfFile& script =
        Script(L"sub-arg", "[Install]\nSubInstall=other.ini\n[Absent]\nSubInstall=absent.ini,Install\n");

    EXPECT_TRUE(qel::SubInstallKey(transaction, script, L"Install"));
    ASSERT_EQ(transaction.transactions.size(), 2u);
    const UpdateTransaction& sub = *transaction.transactions[1];
    EXPECT_TRUE(sub.rollbackLog.IsOpen());
    EXPECT_TRUE(sub.fileInstalls.empty());

    EXPECT_FALSE(qel::SubInstallKey(transaction, script, L"NoSuchSection"));
    const auto raised = ExpectRaise([&] { qel::SubInstallKey(transaction, script, L"Absent"); });
    EXPECT_STREQ(raised.Module(), "DriverInf");
    EXPECT_EQ(std::wstring(raised.Description()), qel::ScriptDirArg + L"\\absent.ini");
    EXPECT_EQ(transaction.transactions.size(), 2u);
}

TEST_F(ScriptKeys, SubInstallSectionsStillRunDriverInfWhenTheFlagWasClear) {
    qel::ScriptDirArg = qeltest::MakeScratchFolder(L"keys-sub-driver-folder");
    WriteScript(qel::ScriptDirArg + L"\\other.ini", "[Install]\nDriverInf=x.inf\n");
    const InfFile& script = Script(L"sub-driver", "[Install]\nSubInstall=other.ini,Install\n");

    const auto raised = ExpectRaise([&] { qel::ProcessSection(transaction, script, L"Install"); });
    EXPECT_STREQ(raised.Description(), L"key DriverInf in [Install] is not supported by this build");
    EXPECT_EQ(transaction.transactions.size(), 2u);  // appended before its sections ran, so it is rolled back too
}

TEST_F(ScriptKeys, ASelfNamingSubInstallStopsAtTheDepthLimit) {
    qel::ScriptDirArg = qeltest::MakeScratchFolder(L"keys-sub-self");
    const InfFile& script =
        Open(WriteScript(qel::ScriptDirArg + L"\\self.ini", "[Install]\nSubInstall=self.ini,Install\n"));
    const auto raised = ExpectRaise([&] { qel::ProcessSection(transaction, script, L"Install"); });
    EXPECT_STREQ(raised.Description(), L"SubInstall in [Install] nests deeper than 16 sub-installs");
    int depth = 0;
    for (UpdateTransaction* t = &transaction; t->transactions.size() == 2; t = t->transactions[1]) ++depth;
    EXPECT_EQ(depth, 16);

    // The count unwinds with the raise: a later sub-install runs normally.
    WriteScript(qel::ScriptDirArg + L"\\other.ini", kOtherScript);
    UpdateTransaction later;
    const InfFile& caller = Script(L"sub-self-later", "[Install]\nSubInstall=other.ini,Install\n");
    EXPECT_TRUE(qel::SubInstallKey(later, caller, L"Install"));
    DeleteLogs(later);
}

// --- the uninstall log -------------------------------------------------------------------

TEST_F(ScriptKeys, UninstallLogStartsBesideTheFinalLogWithTheScriptCopiedAsQelwlsIni) {
    const std::wstring folder = qeltest::MakeScratchFolder(L"keys-uninstall");
    const std::wstring logFolder = folder + L"\\logs\\deep";
    const std::wstring logPath = logFolder + L"\\qelwls.log";
    // A driver-only script still lands beside the log as qelwls.ini.
    const std::wstring scriptPath = WriteScript(
        folder + L"\\qelwlsd.ini", "[Setup]\nUninstallLog=" + qeltest::Utf8(logPath) + "\n[Install]\nUninstallLog=\n");
    const InfFile& script = Open(scriptPath);

    qel::ProcessSection(transaction, script, L"Install");
    EXPECT_TRUE(qeltest::PathExists(logFolder));
    const std::wstring temporary = transaction.uninstallLog.Path();
    EXPECT_TRUE(transaction.uninstallLog.IsOpen());
    EXPECT_EQ(qel::DirectoryOf(temporary), logFolder);
    EXPECT_TRUE(IsTempName(temporary)) << qeltest::Utf8(temporary);
    EXPECT_TRUE(qeltest::PathExists(temporary));
    EXPECT_EQ(transaction.fileInstalls, (Ops{{logFolder + L"\\qelwls.ini", scriptPath, 6, L""}}));
    EXPECT_EQ(transaction.fileMoves, (Ops{{logPath, temporary, 6, L""}}));
}

TEST_F(ScriptKeys, UninstallLogWithoutASetupPathIsRefusedBeforeAnyChange) {
    const InfFile& script = Script(L"uninstall-nopath", "[Setup]\n[Install]\nUninstallLog=\n");
    const auto raised = ExpectRaise([&] { qel::UninstallLogKey(transaction, script, L"Install"); });
    EXPECT_STREQ(raised.Module(), "CmdLine");
    EXPECT_STREQ(raised.Description(), L"[Setup] UninstallLog is missing");
    EXPECT_FALSE(transaction.uninstallLog.IsOpen());
    EXPECT_TRUE(transaction.fileInstalls.empty());
    EXPECT_TRUE(transaction.fileMoves.empty());
}

}  // namespace
