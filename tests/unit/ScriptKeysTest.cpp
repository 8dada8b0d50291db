// The section processor and the file, sub-install and uninstall-log keys, run
// on real scripts into a real transaction. What a key does is what it queues,
// so the tests compare the queued records field by field.
#include "CmdLine.h"
#include "CmdLineKeys.h"
#include "DriverInf.h"
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <list>
#include <ostream>
#include <set>

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

using qel::FileOp;
using qel::InfFile;
using qel::UpdateTransaction;
using qeltest::ExpectRaise;
using Ops = std::vector<FileOp>;

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

    const InfFile& Open(const std::wstring& path) {
        scripts_.emplace_back().Open(path, qel::kInfNeutralLanguage);
        return scripts_.back();
    }
    const InfFile& Script(const std::wstring& test, const std::string& body) {
        return Open(qeltest::WriteScript(qeltest::MakeScratchFolder(L"keys-" + test) + L"\\qelwls.ini", body));
    }

    UpdateTransaction transaction;

private:
    std::list<InfFile> scripts_;
};

// --- file and folder sections -----------------------------------------------------------

TEST_F(ScriptKeys, CopyLinesQueueSourceDestinationFlagsAndCabinet) {
    const InfFile& script = Script(L"copy",
                                   "[Install]\nCopyFiles=Plain\nCopyFiles=Cab,NoSuchSection,Decorated\n"
                                   "[DestinationDirs]\nDefaultDestDir=11\nPlain=10,qel\\plain\nCab=10,qel\\cab\n"
                                   "Decorated=10,qel\\named\nDecorated.amd64=10,qel\\decorated\n"
                                   "[SourceDisksNames]\n1=\"Plain disk\",,,files\n2=\"Cabinet disk\",data.cab,,cabsub\n"
                                   "3=\"Bare disk\"\n"
                                   "[SourceDisksFiles]\na.sys=1\nb.dll=2\nc.exe=3\n"
                                   "[Plain]\na.sys,,,0x2\nd.sys,drivers\\a.sys,,0\nc.exe,,,0x40000000\n"
                                   "[Cab]\nb.dll,,,0x10\nx.txt,,,0\n"
                                   "[Decorated]\nnever.sys,,,0\n[Decorated.amd64]\nchosen.sys,,,0\n");
    qel::CopyFilesKey(transaction, script, L"Install");
    const Ops expected = {
        // An empty source field means the destination name. Disk 1 has an empty field 2: plain files.
        {Win(L"qel\\plain\\a.sys"), Program(L"files\\a.sys"), 2, L""},
        // A sub-path in the source is kept; the file is looked up by its name part.
        {Win(L"qel\\plain\\d.sys"), Program(L"files\\drivers\\a.sys"), 0, L""},
        // A disk line without field 2 has no cabinet.
        {Win(L"qel\\plain\\c.exe"), Program(L"c.exe"), 0x40000000, L""},
        // A cabinet member is named by its name in the cabinet, which lies in the program's folder.
        {Win(L"qel\\cab\\b.dll"), L"b.dll", 0x10, Program(L"data.cab")},
        // Not listed: the plain file beside the program, not the cabinet of the line before.
        {Win(L"qel\\cab\\x.txt"), Program(L"x.txt"), 0, L""},
        // Lines of the .amd64 twin, folder of the entry for the name as listed; the missing section is skipped.
        {Win(L"qel\\named\\chosen.sys"), Program(L"chosen.sys"), 0, L""},
    };
    EXPECT_EQ(transaction.fileInstalls, expected);
    EXPECT_TRUE(transaction.fileRemoves.empty());
}

TEST_F(ScriptKeys, DeleteAndFolderSectionsQueueRemovals) {
    const InfFile& script =
        Script(L"delete", "[Remove]\nDelFiles=Old\nDelFiles=Old2\nDelDirs=Folders,NoSuch,After\n"
                          "[Broken]\nDelFiles=Old2,NoSuch\n"
                          "[DestinationDirs]\nOld=10,qel\\named\nOld.amd64=10,qel\\decorated\nOld2=10,qel\\old2\n"
                          "[Old]\nnever.dll\n[Old.amd64]\ngone.dll,ignored,0x2\n[Old2]\na.txt\n"
                          "[Folders]\nC:\\qel\\empty\nC:\\qel\\Start Menu\\Link,2\nC:\\qel\\text,abc\n"
                          "[After]\nC:\\qel\\never\n");
    // Unlike a copy list, a delete list takes the folder of the decorated twin's entry.
    qel::DelFilesKey(transaction, script, L"Remove");
    EXPECT_EQ(transaction.fileRemoves,
              (Ops{{L"", Win(L"qel\\decorated\\gone.dll"), 6, L""}, {L"", Win(L"qel\\old2\\a.txt"), 6, L""}}));
    // A missing folder list ends the key quietly; a missing delete list raises.
    qel::DelDirsKey(transaction, script, L"Remove");
    const std::vector<qel::DirOp> folders = {{L"C:\\qel\\empty", 0}, {L"C:\\qel\\Start Menu\\Link", 2},
                                             {L"C:\\qel\\text", 0}};
    EXPECT_EQ(transaction.dirRemoves, folders);
    UpdateTransaction broken;
    const auto raised = ExpectRaise([&] { qel::DelFilesKey(broken, script, L"Broken"); });
    EXPECT_STREQ(raised.Description(), L"[NoSuch] is missing");
    EXPECT_EQ(broken.fileRemoves.size(), 1u);
}

TEST_F(ScriptKeys, RegDelFilesRemovesListedFilesButNotOemInfsOrTheUninstaller) {
    const wchar_t* keyPath = L"SOFTWARE\\QelTests\\RegDelFiles";
    // Each value is named by its own path; only the data counts.
    for (const std::wstring data : {L"%WIN_SYS_DIR%\\Foo.dll", L"%WIN_DIR%\\Qel\\Bar.TXT", L"%WIN_DIR%\\inf\\oem7.inf",
                                    L"C:\\Program Files\\Qel\\QELWLU00.EXE"})
        ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, keyPath, data.c_str(), REG_SZ, data.c_str(),
                                    static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    const InfFile& script = Script(L"regdel", "[Remove]\nRegDelFiles=SOFTWARE\\QelTests\\Missing,"
                                              "SOFTWARE\\QelTests\\RegDelFiles\n");
    qel::RegDelFilesKey(transaction, script, L"Remove");

    std::multiset<std::wstring> removed;  // queued in the registry's order of values
    for (const FileOp& op : transaction.fileRemoves) {
        EXPECT_EQ(op.flags, 6u);
        removed.insert(op.source);
    }
    EXPECT_EQ(removed, (std::multiset<std::wstring>{qel::Lowercase(SystemFolder() + L"\\Foo.dll"),
                                                    qel::Lowercase(WindowsFolder() + L"\\Qel\\Bar.TXT")}));
    qeltest::DeleteRegTree(HKEY_LOCAL_MACHINE, keyPath, KEY_WOW64_64KEY);
}

// --- sub-installs and the uninstall log -------------------------------------------------

TEST_F(ScriptKeys, SubInstallGetsATransactionOfItsOwnAndUninstallLogStartsBesideTheLog) {
    // With an empty script argument the other script is looked for in the program's folder.
    qel::WorkingDir = qeltest::MakeScratchFolder(L"keys-sub-program");
    qeltest::WriteScript(qel::WorkingDir + L"\\other.ini",
                         "[Install]\nCopyFiles=Files\n[DestinationDirs]\nDefaultDestDir=10\n[Files]\nother.sys,,,0\n");
    const std::wstring folder = qeltest::MakeScratchFolder(L"keys-uninstall");
    const std::wstring logFolder = folder + L"\\logs\\deep";
    const std::wstring logPath = logFolder + L"\\qelwls.log";
    // A driver-only script still lands beside the log as qelwls.ini.
    const std::string install = "[Install]\nDriverInf=drv\\drv.inf\nSubInstall=other.ini,Install\nUninstallLog=\n";
    const std::wstring scriptPath = qeltest::WriteScript(
        folder + L"\\qelwlsd.ini", "[Setup]\nUninstallLog=" + qeltest::Utf8(logPath) + "\n" + install);
    const InfFile& script = Open(scriptPath);

    qel::ProcessSections(transaction, script, {L"Install"});  // DriverInf would raise if it ran
    EXPECT_EQ(qel::SkipDriverInf, 1);
    ASSERT_EQ(transaction.transactions.size(), 2u);
    UpdateTransaction& sub = *transaction.transactions[1];
    EXPECT_EQ(sub.fileInstalls, (Ops{{Win(L"other.sys"), Program(L"other.sys"), 0, L""}}));
    EXPECT_NE(sub.rollbackLog.Path(), transaction.rollbackLog.Path());
    EXPECT_FALSE(qel::SubInstallKey(transaction, script, L"NoSuchSection"));

    const std::wstring temporary = transaction.uninstallLog.Path();
    EXPECT_EQ(qel::DirectoryOf(temporary), logFolder);
    EXPECT_EQ(transaction.fileInstalls, (Ops{{logFolder + L"\\qelwls.ini", scriptPath, 6, L""}}));
    EXPECT_EQ(transaction.fileMoves, (Ops{{logPath, temporary, 6, L""}}));
}

// A section that cannot run raises, with what its earlier keys queued still
// queued; which keys ran before the raise shows their fixed order.
TEST_F(ScriptKeys, SectionsThatCannotRunAreRefused) {
    qel::ScriptDirArg = qeltest::MakeScratchFolder(L"keys-refused");
    qeltest::WriteScript(qel::ScriptDirArg + L"\\driver.ini", "[Install]\nDriverInf=x.inf\n");
    const std::vector<std::wstring> unbuilt = {L"DriverInf", L"Install", L"Uninstall", L"UninstallInf"};
    std::string body = "[Setup]\n"
                       "[Late]\nUninstallLog=\nDelDirs=Folders\nCopyFiles=Files\nDelFiles=Old\n"
                       "[Absent]\nSubInstall=absent.ini,Install\n"
                       "[Install]\nSubInstall=self.ini,Install\n"
                       "[SubDriver]\nSubInstall=driver.ini,Install\n"
                       "[DestinationDirs]\nDefaultDestDir=10\n"
                       "[Files]\nf.sys,,,0\n[Old]\nold.sys\n[Folders]\nC:\\qel\\folder\n";
    for (const auto& key : unbuilt) body += "[K_" + qeltest::Utf8(key) + "]\n" + qeltest::Utf8(key) + "=X\n";
    const InfFile& script = Open(qeltest::WriteScript(qel::ScriptDirArg + L"\\self.ini", body));
    // The driver store keys count from Vista on; Wine reports Windows 10 here.
    ASSERT_GT(qel::SetupGetRunningWinVer(), qel::WinVerXP);

    const std::wstring unbuiltKey = L" is not supported by this build";
    struct Refusal {
        std::wstring section, description;
        const char* module;
        size_t installs, removes, folders;
        int nested;  // sub-installs appended, each inside the one before
    };
    std::vector<Refusal> refusals = {
        // The uninstall-log key runs last: everything before it is queued.
        {L"Late", L"[Setup] UninstallLog is missing", "CmdLine", 1, 1, 1, 0},
        {L"Absent", qel::ScriptDirArg + L"\\absent.ini", "DriverInf", 0, 0, 0, 0},
        {L"Install", L"SubInstall in [Install] nests deeper than 16 sub-installs", "CmdLine", 0, 0, 0, 16},
        // Appended before its sections ran, so it is rolled back too. It runs
        // normally: the depth count unwound with the raise before.
        {L"SubDriver", L"key DriverInf in [Install]" + unbuiltKey, "CmdLine", 0, 0, 0, 1},
    };
    for (const auto& key : unbuilt)
        refusals.push_back({L"K_" + key, L"key " + key + L" in [K_" + key + L"]" + unbuiltKey, "CmdLine", 0, 0, 0, 0});

    for (const Refusal& r : refusals) {
        SCOPED_TRACE(qeltest::Utf8(r.section));
        UpdateTransaction t;
        const auto raised = ExpectRaise([&] { qel::ProcessSection(t, script, r.section); });
        EXPECT_STREQ(raised.Module(), r.module);
        EXPECT_EQ(std::wstring(raised.Description() ? raised.Description() : L"(none)"), r.description);
        EXPECT_EQ(t.fileInstalls.size(), r.installs);
        EXPECT_EQ(t.fileRemoves.size(), r.removes);
        EXPECT_EQ(t.dirRemoves.size(), r.folders);
        EXPECT_TRUE(t.fileMoves.empty());
        EXPECT_FALSE(t.uninstallLog.IsOpen());
        int nested = 0;
        for (UpdateTransaction* each = &t; each->transactions.size() == 2; each = each->transactions[1]) ++nested;
        EXPECT_EQ(nested, r.nested);
        DeleteLogs(t);
    }
}

}  // namespace
