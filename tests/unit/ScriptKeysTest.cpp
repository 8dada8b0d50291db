// The file keys and the section processor on real scripts: how sources,
// destinations and folders are resolved, which registry-listed files are
// removed, which sections are refused before anything is queued and the place
// in the script each refusal names, and what a run's context carries from one
// section to the next.
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
    void SetUp() override { context.workingDir = qeltest::TestBinDir(); }
    // The rollback logs live in the Windows folder of the prefix; remove them.
    void TearDown() override { DeleteLogs(transaction); }
    static void DeleteLogs(UpdateTransaction& t) {
        for (UpdateTransaction* each : t.Tree()) {
            each->DeleteRollbackLog();
            each->UninstallLog().CloseAndDelete();
        }
    }

    const InfFile& Open(const std::wstring& path) {
        scripts_.emplace_back().Open(path, qel::kInfNeutralLanguage);
        return scripts_.back();
    }
    const InfFile& Script(const std::wstring& test, const std::string& body) {
        return Open(qeltest::WriteScript(qeltest::MakeScratchFolder(L"keys-" + test) + L"\\qelwls.ini", body));
    }

    qel::RunContext context;
    UpdateTransaction transaction;

private:
    std::list<InfFile> scripts_;
};

// An empty field 2 of a disk line means plain files, no field 2 the program's
// folder; a source sub-path is kept. A copy list takes the folder of the entry
// for its name as listed, a delete list that of its .amd64 twin's entry; a
// missing delete list raises.
TEST_F(ScriptKeys, FileListsResolveSourcesAndDestinations) {
    const InfFile& script = Script(L"lists",
                                   "[Install]\nCopyFiles=Plain\nCopyFiles=Cab,NoSuchSection,Decorated\n"
                                   "[Remove]\nDelFiles=Decorated\nDelFiles=Plain\n[Broken]\nDelFiles=Plain,NoSuch\n"
                                   "[DestinationDirs]\nPlain=10,qel\\plain\nCab=10,qel\\cab\n"
                                   "Decorated=10,qel\\named\nDecorated.amd64=10,qel\\decorated\n"
                                   "[SourceDisksNames]\n1=\"Plain disk\",,,files\n2=\"Cabinet disk\",data.cab,,cabsub\n"
                                   "3=\"Bare disk\"\n"
                                   "[SourceDisksFiles]\na.sys=1\nb.dll=2\nc.exe=3\n"
                                   "[Plain]\nd.sys,drivers\\a.sys,,0\nc.exe,,,0x40000000\n"
                                   "[Cab]\nb.dll,,,0x10\nx.txt,,,0\n"
                                   "[Decorated]\nnever.sys,,,0\n[Decorated.amd64]\nchosen.sys,,,0\n");
    qel::CopyFilesKey(context, transaction, script, L"Install");
    EXPECT_EQ(transaction.FileInstalls(), (Ops{
                                            {Win(L"qel\\plain\\d.sys"), Program(L"files\\drivers\\a.sys"), 0, L""},
                                            {Win(L"qel\\plain\\c.exe"), Program(L"c.exe"), 0x40000000, L""},
                                            {Win(L"qel\\cab\\b.dll"), L"b.dll", 0x10, Program(L"data.cab")},
                                            {Win(L"qel\\cab\\x.txt"), Program(L"x.txt"), 0, L""},
                                            {Win(L"qel\\named\\chosen.sys"), Program(L"chosen.sys"), 0, L""},
                                        }));
    EXPECT_TRUE(transaction.FileRemoves().empty());
    UpdateTransaction removal, broken;
    qel::DelFilesKey(removal, script, L"Remove");
    EXPECT_EQ(removal.FileRemoves(), (Ops{{L"", Win(L"qel\\decorated\\chosen.sys"), 6, L""},
                                        {L"", Win(L"qel\\plain\\d.sys"), 6, L""},
                                        {L"", Win(L"qel\\plain\\c.exe"), 6, L""}}));
    const auto raised = ExpectRaise([&] { qel::DelFilesKey(broken, script, L"Broken"); });
    EXPECT_STREQ(raised.Description(), L"[NoSuch] is missing");
    EXPECT_EQ(broken.FileRemoves().size(), 2u);
}

TEST_F(ScriptKeys, RegDelFilesRemovesListedFilesButNotOemInfsOrTheUninstaller) {
    const wchar_t* keyPath = L"SOFTWARE\\QelTests\\RegDelFiles";
    // Each value is named by its own path and stored without a terminator.
    for (const std::wstring data : {L"%WIN_SYS_DIR%\\Foo.dll", L"%WIN_DIR%\\Qel\\Bar.TXT", L"%WIN_DIR%\\inf\\oem7.inf",
                                    L"C:\\Program Files\\Qel\\QELWLU00.EXE"})
        ASSERT_EQ(::RegSetKeyValueW(HKEY_LOCAL_MACHINE, keyPath, data.c_str(), REG_SZ, data.c_str(),
                                    static_cast<DWORD>(data.size() * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    const InfFile& script = Script(L"regdel", "[Remove]\nRegDelFiles=SOFTWARE\\QelTests\\Missing,"
                                              "SOFTWARE\\QelTests\\RegDelFiles\n");
    qel::RegDelFilesKey(transaction, script, L"Remove");

    std::multiset<std::wstring> removed;  // queued in the registry's order of values
    for (const FileOp& op : transaction.FileRemoves()) {
        EXPECT_EQ(op.flags, 6u);
        removed.insert(op.source);
    }
    EXPECT_EQ(removed, (std::multiset<std::wstring>{qel::Lowercase(SystemFolder() + L"\\Foo.dll"),
                                                    qel::Lowercase(WindowsFolder() + L"\\Qel\\Bar.TXT")}));
    qeltest::DeleteRegTree(HKEY_LOCAL_MACHINE, keyPath, KEY_WOW64_64KEY);
}

// A section that cannot run raises with what its earlier keys queued still
// queued: the uninstall-log key runs after the file keys, and sub-installs
// nest at most 16 deep.
TEST_F(ScriptKeys, SectionsThatCannotRunAreRefused) {
    context.scriptDirArg = qeltest::MakeScratchFolder(L"keys-refused");
    const InfFile& script = Open(qeltest::WriteScript(
        context.scriptDirArg + L"\\self.ini",
        "[Setup]\n[Late]\nUninstallLog=\nDelDirs=Folders\nCopyFiles=Files\nDelFiles=Old\n"
        "[Install]\nSubInstall=self.ini,Install\n[DestinationDirs]\nDefaultDestDir=10\n"
        "[Files]\nf.sys,,,0\n[Old]\nold.sys\n[Folders]\nC:\\qel\\folder\n"));
    const struct { const wchar_t *section, *description; size_t queued; int nested; } cases[] = {
        {L"Late", L"[Setup] UninstallLog is missing", 1, 0},
        {L"Install", L"SubInstall in [Install] nests deeper than 16 sub-installs", 0, 16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qeltest::Utf8(c.section));
        UpdateTransaction t;
        const auto raised = ExpectRaise([&] { qel::ProcessSection(context, t, script, c.section); });
        EXPECT_STREQ(raised.Module(), "CmdLine");
        EXPECT_STREQ(raised.Description(), c.description);
        EXPECT_EQ((std::vector<size_t>{t.FileInstalls().size(), t.FileRemoves().size(), t.DirRemoves().size()}),
                  std::vector<size_t>(3, c.queued));
        EXPECT_TRUE(t.FileMoves().empty());
        EXPECT_FALSE(t.UninstallLog().IsOpen());
        EXPECT_EQ(static_cast<int>(t.Tree().size()) - 1, c.nested) << "one sub-install in each";
        EXPECT_EQ(context.subInstallDepth, 0) << "the nesting count must unwind with the raise";
        DeleteLogs(t);
    }
}

// Every refusal keeps the description the diagnostic log has always shown and
// names its place: the script it is in (a sub-install's own script for a
// fault there), the section, the line as the reader counts a section's lines
// (from 0, comments not counted) or the key, and what the key names.
TEST_F(ScriptKeys, RefusalsNameTheirPlaceInTheScript) {
    const std::wstring folder = qeltest::MakeScratchFolder(L"keys-places");
    context.scriptDirArg = folder;
    const std::wstring main = qeltest::WriteScript(
        folder + L"\\qelwls.ini",
        "[Setup]\n[DestinationDirs]\nDefaultDestDir=77\nFiles=10\nGone=10\n"
        "[Copy]\nCopyFiles=Files\n[Files]\n; not a line of the section\na.txt,,,0\n\nb.txt\n"
        "[Dirs]\nDelDirs=Folders\n[Folders]\nrelative\\x\n"
        "[Reg]\nAddReg=Values\n[Values]\nHKLM,k,v,0,x,,0\nHKXX,k,v,0,x,,0\n"
        "[Short]\nAddReg=Short.Values\n[Short.Values]\nHKLM,k,v,0,x\n"
        "[Kinds]\nConditionalSection=Kind.Rules\n[Kind.Rules]\nBanana,Copy\n"
        "[Run]\nPreRun=Programs\n[Programs]\nprog.exe\n"
        "[Links]\nAddLinks=Link.Lines\n[Link.Lines]\nfolder,name\n"
        "[Remove]\nDelFiles=Gone\n[Gina]\nAddGINA=NoGina\n[Rules]\nConditionalSection=NoRules\n"
        "[BadDest]\nCopyFiles=Elsewhere\n[Elsewhere]\nx.txt,,,0\n[OldGina]\nDelGINA=gina.dll\n"
        "[Log]\nUninstallLog=\n[Absent]\nSubInstall=absent.ini,Install\n"
        "[Loop]\nConditionalSection=Loop.Rules\n[Loop.Rules]\nSupportedApp,Loop\n"
        "[Tools]\nSubInstall=tools.ini,Install\n");
    const std::wstring tools = qeltest::WriteScript(
        folder + L"\\tools.ini",
        "[DestinationDirs]\nDefaultDestDir=10\n[Install]\nCopyFiles=Files\n[Files]\nt.txt,,,0\nu.txt\n");
    const InfFile& script = Open(main);
    const std::wstring absent = folder + L"\\absent.ini";

    using qel::ScriptFault;
    const struct {
        const wchar_t* section;  // the section the processor runs
        const char* module;
        std::wstring description;
        ScriptFault fault;
        std::wstring file, placeSection;
        long lineIndex;
        std::wstring key, names, message;
    } cases[] = {
        {L"Copy", "CmdLine", L"[Files] line 2 has no flags in field 4", ScriptFault::MissingField, main, L"Files", 1,
         L"", L"", L"the line has no flags in field 4"},
        {L"Dirs", "CmdLine", L"[Folders] line 1 names a relative folder: relative\\x", ScriptFault::InvalidLine, main,
         L"Folders", 0, L"", L"", L"the line names a relative folder: relative\\x"},
        {L"Reg", "CmdLine", L"[Values] line 2: unknown root 'HKXX'", ScriptFault::InvalidLine, main, L"Values", 1, L"",
         L"", L"unknown root 'HKXX'"},
        {L"Short", "CmdLine", L"[Short.Values] line 1: field 7 missing or not valid", ScriptFault::MissingField, main,
         L"Short.Values", 0, L"", L"", L"field 7 missing or not valid"},
        {L"Kinds", "CmdLine", L"[Kind.Rules] line 1: unknown kind Banana", ScriptFault::InvalidLine, main,
         L"Kind.Rules", 0, L"", L"", L"unknown kind Banana"},
        {L"Run", "CmdLine", L"[Programs] line 1 needs a program and its arguments", ScriptFault::MissingField, main,
         L"Programs", 0, L"", L"", L"the line needs a program and its arguments"},
        {L"Links", "CmdLine", L"[Link.Lines] line 1 has no field 3", ScriptFault::MissingField, main, L"Link.Lines", 0,
         L"", L"", L"the line has no field 3"},
        {L"Remove", "CmdLine", L"[Gone] is missing", ScriptFault::MissingSection, main, L"Remove", -1, L"DelFiles",
         L"Gone", L"DelFiles names [Gone], which the script does not have"},
        {L"Gina", "CmdLine", L"[NoGina] is missing", ScriptFault::MissingSection, main, L"Gina", -1, L"AddGINA",
         L"NoGina", L"AddGINA names [NoGina], which the script does not have"},
        {L"Rules", "CmdLine", L"[NoRules]", ScriptFault::MissingSection, main, L"Rules", -1, L"ConditionalSection",
         L"NoRules", L"ConditionalSection names [NoRules], which the script does not have"},
        // The entry of the section is missing: DefaultDestDir gives its folder.
        {L"BadDest", "DriverInf",
         L"[DestinationDirs] of [Elsewhere] names the folder id '77', which Windows does not define",
         ScriptFault::UndefinedFolderId, main, L"DestinationDirs", -1, L"DefaultDestDir", L"Elsewhere",
         L"the entry for [Elsewhere] names the folder id '77', which Windows does not define"},
        {L"OldGina", "CmdLine", L"DelGINA in [OldGina] needs a DLL, a function and an argument",
         ScriptFault::IncompleteKey, main, L"OldGina", -1, L"DelGINA", L"",
         L"DelGINA needs a DLL, a function and an argument"},
        {L"Log", "CmdLine", L"[Setup] UninstallLog is missing", ScriptFault::UninstallLogSetting, main, L"Setup", -1,
         L"UninstallLog", L"", L"[Setup] UninstallLog is missing"},
        {L"Absent", "DriverInf", absent, ScriptFault::UnreadableScript, absent, L"", -1, L"", L"",
         L"the file cannot be opened"},
        {L"Loop", "CmdLine", L"ConditionalSection in [Loop] nests deeper than 16 conditional sections",
         ScriptFault::NestsTooDeep, main, L"Loop", -1, L"ConditionalSection", L"",
         L"ConditionalSection nests deeper than 16 conditional sections"},
        {L"Tools", "CmdLine", L"[Files] line 2 has no flags in field 4", ScriptFault::MissingField, tools, L"Files", 1,
         L"", L"", L"the line has no flags in field 4"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(qeltest::Utf8(c.section));
        UpdateTransaction t;
        const auto raised = ExpectRaise([&] { qel::ProcessSection(context, t, script, c.section); });
        EXPECT_STREQ(raised.Module(), c.module);
        EXPECT_EQ(raised.Description() ? std::wstring(raised.Description()) : L"(null)", c.description);
        const qel::ScriptPlace* place = raised.Place();
        ASSERT_NE(place, nullptr);
        EXPECT_EQ(place->fault, c.fault);
        EXPECT_EQ((std::vector<std::wstring>{place->file, place->section, place->key, place->names, place->message}),
                  (std::vector<std::wstring>{c.file, c.placeSection, c.key, c.names, c.message}));
        EXPECT_EQ(place->lineIndex, c.lineIndex);
        DeleteLogs(t);
    }
    EXPECT_EQ(context.conditionalDepth, 0);
}

// A sub-install brings its own driver: once one has run, no DriverInf key runs
// for the rest of the run, not even in the section that held it. The run's
// context carries that from section to section; a new run starts without it,
// and apponly_install starts with it.
TEST_F(ScriptKeys, ASubInstallSkipsDriverInfForTheRestOfTheRun) {
    // From Vista on the key queues the package folder from [Setup]; a test
    // prefix runs as Windows 10.
    ASSERT_GE(qel::SetupGetRunningWinVer(), qel::WinVerVista);
    const std::wstring folder = qeltest::MakeScratchFolder(L"keys-skip");
    context.scriptDirArg = folder;
    qeltest::WriteScript(folder + L"\\tools.ini", "[Nothing]\n");
    const InfFile& script =
        Open(qeltest::WriteScript(folder + L"\\qelwls.ini",
                                  "[Setup]\nDefaultInstallPath=C:\\qel\nDriverStore=C:\\qel\\Driver\n"
                                  "[Both]\nDriverInf=Driver\\none.inf\nSubInstall=tools.ini,Nothing\n"
                                  "[Later]\nDriverInf=Driver\\none.inf\n"));
    const auto driverQueued = [&](qel::RunContext& run, const wchar_t* section) {
        UpdateTransaction t;
        qel::ProcessSection(run, t, script, section);
        DeleteLogs(t);
        return !t.Package().folder.empty();
    };
    qel::RunContext fresh = context;
    EXPECT_TRUE(driverQueued(fresh, L"Later"));
    EXPECT_FALSE(fresh.skipDriverInf);

    qel::RunContext run = context;
    EXPECT_FALSE(driverQueued(run, L"Both"));
    EXPECT_TRUE(run.skipDriverInf);
    EXPECT_FALSE(driverQueued(run, L"Later"));
    EXPECT_EQ(run.subInstallDepth, 0);

    qel::RunContext appOnly = context;
    appOnly.skipDriverInf = true;
    EXPECT_FALSE(driverQueued(appOnly, L"Later"));
}

}  // namespace
