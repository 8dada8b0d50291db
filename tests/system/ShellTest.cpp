// Shortcuts, the logon GINA chain, the per-user clean-up and the tray icon,
// through whole runs of qelwls64.exe (and, for the settings of a loaded
// hive, the deletion step in-process).
#include "CmdLineKeys.h"
#include "PackageFixture.h"

#include "Handles.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <regex>

using namespace qeltest;

namespace {

constexpr wchar_t kShellRoot[] = L"C:\\QelShell";
constexpr wchar_t kMenu[] = L"C:\\QelShell\\Menu";
constexpr wchar_t kMonitorLink[] = L"C:\\QelShell\\Menu\\Sub\\Qel Monitor.lnk";
constexpr wchar_t kReadMeLink[] = L"C:\\QelShell\\Menu\\Read Me.lnk";
constexpr char kTwoProgressLines[] = "Progress,2,1\r\nProgress,2,2\r\n";

void ExpectFailedWith200(const SetupRunResult& run, const std::string& module) {
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    EXPECT_TRUE(std::regex_search(run.out, std::regex("Result,200,SetupErrorInternal," + module + ",[0-9]+\r\n$")))
        << run.out;
}

size_t CountLines(const std::string& log, const std::string& prefix) {
    size_t count = 0;
    for (const std::string& line : LogMessages(log)) count += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return count;
}

bool IsLinkFile(const std::wstring& path) {
    return PathExists(path) && ReadFileBytes(path).compare(0, 4, std::string("\x4c\0\0\0", 4)) == 0;
}

std::vector<std::wstring> TempFilesIn(const std::wstring& folder) {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    qel::UniqueFindHandle find(::FindFirstFileW((folder + L"\\qel*.tmp").c_str(), &found));
    if (!find) return files;
    do files.push_back(found.cFileName);
    while (::FindNextFileW(find.Get(), &found));
    return files;
}

// A shortcut as the shell reads it back.
struct Link {
    std::wstring target, arguments, workingFolder, iconFile, description;
    int iconIndex = -1;
};

Link ReadLink(const std::wstring& path) {
    Link link;
    qel::ComScope com(COINIT_APARTMENTTHREADED);
    qel::ComPtr<IShellLinkW> shell;
    qel::ComPtr<IPersistFile> file;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, shell.PutVoid())) ||
        FAILED(shell->QueryInterface(IID_IPersistFile, file.PutVoid())) || FAILED(file->Load(path.c_str(), STGM_READ)))
        return link;
    wchar_t text[MAX_PATH * 2];
    if (SUCCEEDED(shell->GetPath(text, MAX_PATH * 2, nullptr, SLGP_RAWPATH))) link.target = text;
    if (SUCCEEDED(shell->GetArguments(text, MAX_PATH * 2))) link.arguments = text;
    if (SUCCEEDED(shell->GetWorkingDirectory(text, MAX_PATH * 2))) link.workingFolder = text;
    if (SUCCEEDED(shell->GetDescription(text, MAX_PATH * 2))) link.description = text;
    if (SUCCEEDED(shell->GetIconLocation(text, MAX_PATH * 2, &link.iconIndex))) link.iconFile = text;
    return link;
}

void ExpectLink(const std::wstring& path, const Link& expected) {
    ASSERT_TRUE(IsLinkFile(path)) << Utf8(path);
    const Link actual = ReadLink(path);
    EXPECT_EQ(actual.target, expected.target) << Utf8(path);
    EXPECT_EQ(actual.arguments, expected.arguments) << Utf8(path);
    EXPECT_EQ(actual.workingFolder, expected.workingFolder) << Utf8(path);
    EXPECT_EQ(actual.iconFile, expected.iconFile) << Utf8(path);
    EXPECT_EQ(actual.iconIndex, expected.iconIndex) << Utf8(path);
    EXPECT_EQ(actual.description, expected.description) << Utf8(path);
}

// A script folder of its own, with the string-resource DLL beside the program.
class Shortcuts : public ::testing::Test {
protected:
    Shortcuts() : folder_(L"shell_links") {
        CopyFileOrFail(TestBinDir() + L"\\qelnames.dll", folder_.File(L"qelnames.dll"));
    }
    void SetUp() override {
        DeleteTree(kShellRoot);
        // Real targets: the shell resolves what it links to.
        WriteFileBytes(std::wstring(kShellRoot) + L"\\QelMon.exe", "monitor");
        WriteFileBytes(std::wstring(kShellRoot) + L"\\readme.txt", "read me");
    }
    void TearDown() override {
        SetWindowsVersion(L"qelwls64.exe", L"");
        DeleteTree(kShellRoot);
        DeleteRegTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Qel");
    }
    SetupRunResult Install(const std::string& body) {
        folder_.Write(L"qelwls.ini", Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n" + body));
        return RunSetupProgram(folder_.Exe(), L"apponly_install \"" + folder_.Path() + L"\"");
    }
    std::string Names() const { return Utf8(folder_.File(L"qelnames.dll")); }
    SetupFolder folder_;
};

TEST_F(Shortcuts, TwoLinksAreMadeReplaceAnOlderOneAndAreTakenBackByARollback) {
    const std::string links =
        "AddLinks=Links\r\n[Links]\r\n"
        "C:\\QelShell\\Menu\\Sub,Qel Monitor,C:\\QelShell\\QelMon.exe,--tray -q,C:\\QelShell\\Work,"
        "C:\\QelShell\\QelMon.exe,3,\"@" + Names() + "\",STRID_OEM_UTIL_NAME\r\n"
        "C:\\QelShell\\Menu,Read Me,C:\\QelShell\\readme.txt,,,,0,,\r\n";
    // An older "Read Me" shortcut is in the way.
    WriteFileBytes(kReadMeLink, "an older link");

    SetupRunResult run = Install(links);
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, kVersionLine + std::string(kTwoProgressLines) + "Result,0,SetupSuccess,,\r\n");
    ExpectLink(kMonitorLink, {L"C:\\QelShell\\QelMon.exe", L"--tray -q", L"C:\\QelShell\\Work",
                              L"C:\\QelShell\\QelMon.exe", L"@" + Wide(Names()) + L",-4701", 3});
    ExpectLink(kReadMeLink, {L"C:\\QelShell\\readme.txt", L"", L"", L"", L"Read Me", 0});
    // Only the folder that had to be made is recorded; "Menu" existed by then.
    EXPECT_TRUE(LogHasLine(run.log, "CreateDir,C:\\QelShell\\Menu\\Sub")) << run.log;
    EXPECT_EQ(CountLines(run.log, "CreateDir,"), 1u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "Shortcut File: C:\\QelShell\\Menu\\Sub\\Qel Monitor.lnk."));
    EXPECT_TRUE(LogHasLine(run.log, "Resource Dll: " + Names() + " and Id:4701."));
    EXPECT_TRUE(LogHasLine(run.log, "Localized name has been set for the shortcut: C:\\QelShell\\Menu\\Sub\\Qel Monitor.lnk."));
    EXPECT_TRUE(LogHasLine(run.log, "Shortcut File: C:\\QelShell\\Menu\\Read Me.lnk."));
    EXPECT_EQ(CountLines(run.log, "Resource Dll:"), 1u);
    EXPECT_EQ(CountLines(run.log, "MoveFile,"), 0u) << "moving the older link aside is not traced";
    // Wine's SHSetLocalizedName succeeds without writing anything; Windows
    // writes a desktop.ini entry that shows string 4701 of qelnames.dll
    // ("Qel Wireless Monitor") as the shortcut's name.
    EXPECT_TRUE(TempFilesIn(kMenu).empty()) << "the older link is deleted with the clean-up";
    EXPECT_TRUE(WindowsTempFiles().empty());

    // Both links are made, then the sub-install's registry stage fails: the
    // new link goes, the replaced one comes back as it was.
    const std::string readMeBefore = ReadFileBytes(kReadMeLink);
    ::DeleteFileW(kMonitorLink);
    folder_.Write(L"sub.ini", Script("[Install]\r\nAddReg=Breaks\r\n[Breaks]\r\n"
                                     "HKLM,\"SOFTWARE\\Qel\\Number\",N,0x10001,1,,0\r\n"
                                     "HKLM,\"SOFTWARE\\Qel\\Number\",N,0x10008,\"x\",,0\r\n"));
    run = Install("SubInstall=sub.ini,Install\r\n" + links);
    ExpectFailedWith200(run, "Update");
    EXPECT_TRUE(LogHasLine(run.log, "Shortcut File: C:\\QelShell\\Menu\\Read Me.lnk.")) << "the links were made";
    EXPECT_FALSE(PathExists(kMonitorLink));
    EXPECT_EQ(ReadFileBytes(kReadMeLink), readMeBefore);
    EXPECT_TRUE(TempFilesIn(kMenu).empty());
    EXPECT_TRUE(TempFilesIn(std::wstring(kMenu) + L"\\Sub").empty());
    EXPECT_TRUE(WindowsTempFiles().empty());
}

TEST_F(Shortcuts, LocalizedNameFieldsDependOnTheWindowsVersion) {
    const std::string seven = "AddLinks=Links\r\n[Links]\r\nC:\\QelShell\\Menu,Read Me,C:\\QelShell\\readme.txt,,,,0\r\n";

    // Before Vista seven fields make a plain link.
    SetWindowsVersion(L"qelwls64.exe", L"winxp64");
    SetupRunResult run = Install(seven);
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    ExpectLink(kReadMeLink, {L"C:\\QelShell\\readme.txt", L"", L"", L"", L"Read Me", 0});
    EXPECT_EQ(CountLines(run.log, "Resource Dll:"), 0u);

    // From Vista on fields 8 and 9 are required: the run ends while the
    // script is read, before any change.
    DeleteTree(kMenu);
    SetWindowsVersion(L"qelwls64.exe", L"win10");
    run = Install(seven);
    ExpectFailedWith200(run, "CmdLine");
    EXPECT_EQ(run.out.find("Progress,"), std::string::npos) << run.out;
    EXPECT_TRUE(std::regex_search(run.log, std::regex("desc \"\\[Links\\] line 1 has no field 8\""))) << run.log;
    EXPECT_FALSE(PathExists(kMenu));

    // The read-me name is matched in any case, the others exactly; a name
    // that matches none gives the plain name as the description.
    struct Case {
        const char* stringIdName;
        const wchar_t* description;  // after the resource reference
        const char* resourceLine;    // empty: no localized name
    };
    for (const Case& each : {Case{"strid_oem_sc_readme", L",-4749", " and Id:4749."},
                             Case{"STRID_OEM_SHORTCUT_NAME", L",-4703", " and Id:4703."},
                             Case{"STRID_ISM_HP", L",-4494", " and Id:4494."},
                             Case{"strid_ism_hp", nullptr, ""}, Case{"STRID_NONE", nullptr, ""}}) {
        DeleteTree(kMenu);
        run = Install("AddLinks=Links\r\n[Links]\r\nC:\\QelShell\\Menu,Read Me,C:\\QelShell\\readme.txt,,,,0,\"@" +
                      Names() + "\"," + each.stringIdName + "\r\n");
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        const std::wstring description =
            each.description ? L"@" + Wide(Names()) + each.description : std::wstring(L"Read Me");
        EXPECT_EQ(ReadLink(kReadMeLink).description, description) << each.stringIdName;
        if (*each.resourceLine)
            EXPECT_TRUE(LogHasLine(run.log, "Resource Dll: " + Names() + each.resourceLine)) << each.stringIdName;
        else
            EXPECT_EQ(CountLines(run.log, "Resource Dll:"), 0u) << each.stringIdName;
    }
}

TEST_F(Shortcuts, LinkLinesWithoutTheirFieldsChangeNothing) {
    for (const char* line : {"C:\\QelShell\\Menu,Read Me,C:\\QelShell\\readme.txt,,,,", "C:\\QelShell\\Menu,Read Me",
                             "C:\\QelShell\\Menu,Read Me,C:\\QelShell\\readme.txt,,,,x,,"}) {
        // The good line before the bad one is queued but never committed.
        const SetupRunResult run = Install(std::string("AddLinks=Links\r\n[Links]\r\nC:\\QelShell\\Menu,Fine,"
                                                       "C:\\QelShell\\readme.txt,,,,0,,\r\n") +
                                           line + "\r\n");
        ExpectFailedWith200(run, "CmdLine");
        EXPECT_EQ(run.out.find("Progress,"), std::string::npos) << line;
        EXPECT_FALSE(PathExists(kMenu)) << line;
        EXPECT_TRUE(WindowsTempFiles().empty());
    }
}

class SamplePackageLinks : public ::testing::Test {
protected:
    void SetUp() override { CleanMachine(); }
    void TearDown() override { CleanMachine(); }
};

TEST_F(SamplePackageLinks, StartMenuLinksComeWithTheInstallAndGoWithTheUninstall) {
    SamplePackage package(L"package_links");
    const SetupRunResult install = package.Run(L"apponly_install");
    ASSERT_EQ(install.exitCode, 0u) << install.log;
    const std::wstring app = kAppFolder, menu = kStartMenuFolder;
    const std::wstring names = L"@" + app + L"\\QelMon.exe";
    ExpectLink(menu + L"\\Qel Monitor.lnk", {app + L"\\QelMon.exe", L"", app, app + L"\\QelMon.exe", names + L",-4701", 0});
    ExpectLink(menu + L"\\Read Me.lnk", {app + L"\\readme.txt", L"", L"", L"", names + L",-4749", 0});
    // The monitor program carries the names the shell shows on Windows.
    qel::UniqueLibrary monitor(::LoadLibraryExW((app + L"\\QelMon.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    wchar_t name[64] = {};
    ASSERT_GT(::LoadStringW(monitor.Get(), 4701, name, 64), 0);
    EXPECT_STREQ(name, L"Qel Wireless Monitor");

    const SetupRunResult uninstall = package.Run(L"uninstall");
    EXPECT_EQ(uninstall.exitCode, 0u) << uninstall.log;
    EXPECT_TRUE(LogHasLine(uninstall.log, "DoCleanup(): Removing file \"" + Utf8(menu) + "\\Qel Monitor\""));
    EXPECT_FALSE(PathExists(menu)) << "both links and then their empty folder are removed";
}

// --- the logon GINA chain ----------------------------------------------------

constexpr wchar_t kSystemGina[] = L"C:\\windows\\system32\\qelgina.dll";
constexpr wchar_t kGinaCalls[] = L"C:\\qeltests\\gina-calls.txt";

class Gina : public ::testing::Test {
protected:
    Gina() : folder_(L"shell_gina") {
        CopyFileOrFail(TestBinDir() + L"\\qelgina.dll", folder_.File(L"qelgina.dll"));
        folder_.Write(L"qelgina.txt", "gina notes\r\n");
    }
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    void Clean() {
        for (const wchar_t* file : {kSystemGina, kGinaCalls, L"C:\\windows\\system32\\qelginacopy.dll",
                                    L"C:\\windows\\system32\\qelgina.txt"})
            ::DeleteFileW(file);
        DeleteTree(L"C:\\QelGina");
    }
    // The script is written in UTF-16 with its byte-order mark, so that a
    // character beyond ASCII reaches the program as that character.
    SetupRunResult Install(const std::string& body) {
        const std::wstring text = Wide(Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n" + body));
        folder_.Write(L"qelwls.ini", std::string("\xff\xfe", 2) +
                                         std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2));
        return RunSetupProgram(folder_.Exe(), L"apponly_install \"" + folder_.Path() + L"\"");
    }
    SetupFolder folder_;
};

TEST_F(Gina, AddGinaCopiesFromTheProgramFolderAndKeepsTheFilesOutOfTheUninstallLog) {
    const SetupRunResult run = Install("AddGINA=GinaFiles\r\nUninstallLog=\r\n"
                                       "[Setup]\r\nUninstallLog=C:\\QelGina\\u.log\r\n"
                                       "[DestinationDirs]\r\nGinaFiles=11\r\n"
                                       "[GinaFiles]\r\nqelginacopy.dll,qelgina.dll\r\nqelgina.txt\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(ReadFileBytes(L"C:\\windows\\system32\\qelginacopy.dll"), ReadFileBytes(folder_.File(L"qelgina.dll")));
    EXPECT_EQ(ReadFileBytes(L"C:\\windows\\system32\\qelgina.txt"), "gina notes\r\n");
    // Only the script's copy beside the log and the log's own move are recorded.
    const std::string log = ReadFileBytes(L"C:\\QelGina\\u.log");
    EXPECT_TRUE(std::regex_match(log, std::regex("CopyFile,[^\r\n]*\\\\qelwls\\.ini,C:\\\\QelGina\\\\qelwls\\.ini,0x00000006\r\n"
                                                 "MoveFile,C:\\\\QelGina\\\\qel[0-9a-f]+\\.tmp,C:\\\\QelGina\\\\u\\.log\r\n")))
        << log;
}

TEST_F(Gina, DelGinaAsksTheDllAndRemovesItOnlyWhenNothingIsChained) {
    const std::string safe = "We are not part of a chain so it is safe to remove the GINA DLL.";
    const std::string chained = "Since we are part of a chain, it is NOT safe to remove the GINA DLL.";

    // Chained: the DLL stays. The argument reaches it as UTF-8.
    CopyFileOrFail(folder_.File(L"qelgina.dll"), kSystemGina);
    SetupRunResult run = Install("DelGINA=%11%\\qelgina.dll,QelGinaIsChained,\"chained-\xc3\xbc\"\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, chained)) << run.log;
    EXPECT_FALSE(LogHasLine(run.log, safe));
    EXPECT_TRUE(PathExists(kSystemGina));
    EXPECT_EQ(ReadFileBytes(kGinaCalls), "chained-\xc3\xbc\r\n");

    // Not chained: it is removed, through the commit's logged removal.
    run = Install("DelGINA=%11%\\qelgina.dll,QelGinaIsChained,alone\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, safe)) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "CommitFileRemove: C:\\windows\\system32\\qelgina.dll, 6."));
    EXPECT_FALSE(PathExists(kSystemGina));
    EXPECT_TRUE(TempFilesIn(L"C:\\windows\\system32").empty());

    // Gone already, no such function, or outside the system folder: nothing
    // is asked or removed, and neither decision is logged.
    const SetupRunResult gone = Install("DelGINA=%11%\\qelgina.dll,QelGinaIsChained,alone\r\n");
    EXPECT_EQ(gone.exitCode, 0u) << gone.log;
    CopyFileOrFail(folder_.File(L"qelgina.dll"), kSystemGina);
    const SetupRunResult noFunction = Install("DelGINA=%11%\\qelgina.dll,NoSuchQuery,alone\r\n");
    EXPECT_EQ(noFunction.exitCode, 0u) << noFunction.log;
    const SetupRunResult elsewhere = Install("DelGINA=" + Utf8(folder_.File(L"qelgina.dll")) + ",QelGinaIsChained,alone\r\n");
    EXPECT_EQ(elsewhere.exitCode, 0u) << elsewhere.log;
    for (const SetupRunResult* each : {&gone, &noFunction, &elsewhere}) {
        EXPECT_FALSE(LogHasLine(each->log, safe));
        EXPECT_FALSE(LogHasLine(each->log, chained));
        EXPECT_EQ(CountLines(each->log, "CommitFileRemove:"), 0u);
    }
    EXPECT_TRUE(PathExists(kSystemGina));
    EXPECT_TRUE(PathExists(folder_.File(L"qelgina.dll")));
    EXPECT_EQ(ReadFileBytes(kGinaCalls), "chained-\xc3\xbc\r\nalone\r\n") << "only the two runs above asked";

    // A line without its argument ends the run before any change.
    run = Install("DelGINA=%11%\\qelgina.dll,QelGinaIsChained\r\n");
    ExpectFailedWith200(run, "CmdLine");
    EXPECT_EQ(run.out.find("Progress,"), std::string::npos);
    EXPECT_TRUE(PathExists(kSystemGina));
}

// --- per-user clean-up -------------------------------------------------------

constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr wchar_t kScratch[] = L"SOFTWARE\\QelHiveScratch";
// Not logged on, with settings; not logged on, without; logged on (its hive
// is loaded); a profile whose hive file is missing.
constexpr wchar_t kWithSettings[] = L"S-1-5-21-7-7-7-1001";
constexpr wchar_t kWithout[] = L"S-1-5-21-7-7-7-1002";
constexpr wchar_t kLoggedOn[] = L"S-1-5-21-7-7-7-1003";
constexpr wchar_t kNoHive[] = L"S-1-5-21-7-7-7-1004";

bool EnablePrivilege(const wchar_t* name) {
    qel::UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Put())) return false;
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    return ::LookupPrivilegeValueW(nullptr, name, &privileges.Privileges[0].Luid) &&
           ::AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr) &&
           ::GetLastError() == ERROR_SUCCESS;
}

// A hive file holding the given keys, each with a value "v", made from a
// scratch key (Wine saves its own text format, which it loads back).
void SaveHive(const std::wstring& file, const std::vector<std::wstring>& keys) {
    DeleteRegTree(HKEY_LOCAL_MACHINE, kScratch);
    for (const std::wstring& each : keys) {
        qel::UniqueKey key;
        ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kScratch) + L"\\" + each).c_str(), 0, nullptr, 0,
                                    KEY_WRITE, nullptr, key.Put(), nullptr),
                  ERROR_SUCCESS);
        ::RegSetValueExW(key.Get(), L"v", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1"), 4);
    }
    qel::UniqueKey scratch;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kScratch, 0, KEY_READ, scratch.Put()), ERROR_SUCCESS);
    ::DeleteFileW(file.c_str());
    ASSERT_EQ(::RegSaveKeyW(scratch.Get(), file.c_str(), nullptr), ERROR_SUCCESS);
    scratch.Reset();
    DeleteRegTree(HKEY_LOCAL_MACHINE, kScratch);
}

void AddProfile(const std::wstring& sid, const std::wstring& imagePath) {
    qel::UniqueKey key;
    ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, (std::wstring(kProfileList) + L"\\" + sid).c_str(), 0, nullptr, 0, KEY_WRITE,
                      nullptr, key.Put(), nullptr);
    ::RegSetValueExW(key.Get(), L"ProfileImagePath", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(imagePath.c_str()),
                     static_cast<DWORD>((imagePath.size() + 1) * sizeof(wchar_t)));
}

bool UserKeyExists(const std::wstring& sid, const std::wstring& subkey = L"") {
    qel::UniqueKey key;
    return ::RegOpenKeyExW(HKEY_USERS, (sid + subkey).c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

class UserCleanup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(EnablePrivilege(SE_BACKUP_NAME));
        ASSERT_TRUE(EnablePrivilege(SE_RESTORE_NAME));
        Clean();
        for (const wchar_t* name : {L"a", L"b", L"c", L"d"}) ::CreateDirectoryW((std::wstring(L"C:\\qelprof\\") + name).c_str(), nullptr);
    }
    void TearDown() override { Clean(); }
    void Clean() {
        for (const wchar_t* sid : {kWithSettings, kWithout, kLoggedOn, kNoHive}) {
            if (UserKeyExists(sid)) ::RegUnLoadKeyW(HKEY_USERS, sid);
            DeleteRegTree(HKEY_LOCAL_MACHINE, std::wstring(kProfileList) + L"\\" + sid);
        }
        ::CreateDirectoryW(L"C:\\qelprof", nullptr);
        DeleteTree(L"C:\\qelprof");
        ::CreateDirectoryW(L"C:\\qelprof", nullptr);
    }
};

TEST_F(UserCleanup, EveryHiveThatIsNotLoadedIsLoadedCleanedAndUnloaded) {
    const std::vector<std::wstring> settings{L"SOFTWARE\\Ardentix\\802.11\\Profiles", L"SOFTWARE\\Ardentix\\CM",
                                             L"SOFTWARE\\Ardentix\\Keep"};
    SaveHive(L"C:\\qelprof\\a\\ntuser.dat", settings);
    SaveHive(L"C:\\qelprof\\b\\ntuser.dat", {L"SOFTWARE\\Other"});
    SaveHive(L"C:\\qelprof\\c\\ntuser.dat", settings);
    const std::string hiveA = ReadFileBytes(L"C:\\qelprof\\a\\ntuser.dat");
    // Environment variables are expanded, a folder gets "ntuser.dat".
    AddProfile(kWithSettings, L"%SystemDrive%\\qelprof\\a");
    AddProfile(kWithout, L"C:\\qelprof\\b");
    AddProfile(kLoggedOn, L"C:\\qelprof\\c");
    AddProfile(kNoHive, L"C:\\qelprof\\d");
    ASSERT_EQ(::RegLoadKeyW(HKEY_USERS, kLoggedOn, L"C:\\qelprof\\c\\ntuser.dat"), ERROR_SUCCESS);

    CleanMachine();
    SamplePackage package(L"user_cleanup");
    ASSERT_EQ(package.Run(L"apponly_install").exitCode, 0u);
    const SetupRunResult run = package.Run(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(CountLines(run.log, "Unable to "), 0u) << run.log;
    EXPECT_EQ(CountLines(run.log, "Empty Sid"), 0u) << run.log;
    // The logged-on user's live settings are left as they are.
    EXPECT_TRUE(UserKeyExists(kLoggedOn, L"\\SOFTWARE\\Ardentix\\802.11\\Profiles"));
    EXPECT_TRUE(UserKeyExists(kLoggedOn, L"\\SOFTWARE\\Ardentix\\CM"));
    // The others were unloaded again (or never loaded). Wine does not write
    // a loaded hive back, so the deletion itself is shown below on a loaded
    // hive; on Windows a.dat would lose 802.11 and CM and keep Keep.
    for (const wchar_t* sid : {kWithSettings, kWithout, kNoHive}) EXPECT_FALSE(UserKeyExists(sid)) << Utf8(sid);
    EXPECT_EQ(ReadFileBytes(L"C:\\qelprof\\a\\ntuser.dat"), hiveA);
    CleanMachine();
}

TEST_F(UserCleanup, OnlyTheTwoSettingsKeysOfTheUserGo) {
    SaveHive(L"C:\\qelprof\\a\\ntuser.dat",
             {L"SOFTWARE\\Ardentix\\802.11\\Profiles\\Home", L"SOFTWARE\\Ardentix\\CM", L"SOFTWARE\\Ardentix\\Keep",
              L"SOFTWARE\\Other\\802.11"});
    SaveHive(L"C:\\qelprof\\b\\ntuser.dat", {L"SOFTWARE\\Ardentix\\Keep"});
    ASSERT_EQ(::RegLoadKeyW(HKEY_USERS, kWithSettings, L"C:\\qelprof\\a\\ntuser.dat"), ERROR_SUCCESS);
    ASSERT_EQ(::RegLoadKeyW(HKEY_USERS, kWithout, L"C:\\qelprof\\b\\ntuser.dat"), ERROR_SUCCESS);

    qel::DeleteUserSettings(kWithSettings);
    qel::DeleteUserSettings(kWithout);  // neither key: nothing to do, nothing to report
    qel::DeleteUserSettings(kNoHive);   // no settings key at all

    EXPECT_FALSE(UserKeyExists(kWithSettings, L"\\SOFTWARE\\Ardentix\\802.11"));
    EXPECT_FALSE(UserKeyExists(kWithSettings, L"\\SOFTWARE\\Ardentix\\CM"));
    EXPECT_TRUE(UserKeyExists(kWithSettings, L"\\SOFTWARE\\Ardentix\\Keep"));
    EXPECT_TRUE(UserKeyExists(kWithSettings, L"\\SOFTWARE\\Other\\802.11"));
    EXPECT_TRUE(UserKeyExists(kWithout, L"\\SOFTWARE\\Ardentix\\Keep"));

    // A hive the clean-up did not load is never loaded (or unloaded) by it.
    EXPECT_FALSE(qel::UserHiveLoadOrUnload(kWithSettings, true));
    EXPECT_FALSE(qel::UserHiveLoadOrUnload(L"", true));
    EXPECT_TRUE(UserKeyExists(kWithSettings, L"\\SOFTWARE\\Ardentix\\Keep"));
}

// --- the tray icon -------------------------------------------------------------

class TrayIcon : public ::testing::Test {
protected:
    void SetUp() override {
        CleanMachine();
        RemoveTrayKeys();
        ASSERT_EQ(package_.Run(L"apponly_install").exitCode, 0u);
        SetWindowsVersion(L"qelwls64.exe", L"winxp64");
    }
    void TearDown() override {
        SetWindowsVersion(L"qelwls64.exe", L"");
        RemoveTrayKeys();
        CleanMachine();
    }
    // A partial uninstall: other users of the setup remain.
    SetupRunResult PartialUninstall() {
        SetSharedDllCount(L"QelSetup", 2);
        return package_.Run(L"uninstall");
    }
    static RegValue Control() { return ReadRegValue(HKEY_LOCAL_MACHINE, kTrayAdapterKey, L"Control", KEY_WOW64_32KEY); }
    static RegValue Dword(DWORD value) {
        const BYTE* bytes = reinterpret_cast<const BYTE*>(&value);
        return RegValue{true, REG_DWORD, std::vector<BYTE>(bytes, bytes + 4)};
    }
    SamplePackage package_{L"tray_icon"};
};

TEST_F(TrayIcon, APartialUninstallBeforeVistaClearsBitZeroOfControl) {
    for (DWORD before : {5u, 4u}) {
        WriteTrayKeys(before);
        const SetupRunResult run = PartialUninstall();
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        EXPECT_TRUE(LogHasLine(run.log, "Hiding Tray Icon..."));
        EXPECT_TRUE(LogHasLine(run.log, "Cleared the control flag to hide tray.")) << run.log;
        EXPECT_EQ(Control(), Dword(4)) << before;
    }
    // From Vista on the flag is left alone.
    WriteTrayKeys(5);
    SetWindowsVersion(L"qelwls64.exe", L"win10");
    const SetupRunResult run = PartialUninstall();
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_FALSE(LogHasLine(run.log, "Hiding Tray Icon..."));
    EXPECT_EQ(Control(), Dword(5));
}

TEST_F(TrayIcon, AMissingValueIsLoggedAndAMissingKeyFailsTheRun) {
    const std::wstring status = kTrayInstallStatus, driver = kTrayDriverKey, adapter = kTrayAdapterKey;
    struct Case {
        std::wstring key, value;  // what is removed; no value: the whole key
        const char* line;         // logged, or nullptr: the run fails
    };
    for (const Case& each : {Case{status, L"DriverKey", "Failed to get driver registry key."},
                             Case{driver, L"NetCfgInstanceId", "Failed to get the adapter guid."},
                             Case{adapter, L"Control", "Cannot read control flag."}, Case{status, L"", nullptr},
                             Case{driver, L"", nullptr}, Case{adapter, L"", nullptr}}) {
        RemoveTrayKeys();
        WriteTrayKeys(5);
        if (each.value.empty())
            DeleteRegTree(HKEY_LOCAL_MACHINE, each.key, KEY_WOW64_32KEY);
        else
            DeleteRegValue(HKEY_LOCAL_MACHINE, each.key, each.value, KEY_WOW64_32KEY);
        const SetupRunResult run = PartialUninstall();
        if (each.line) {
            EXPECT_EQ(run.exitCode, 0u) << run.log;
            EXPECT_TRUE(LogHasLine(run.log, each.line)) << run.log;
        } else {
            ExpectFailedWith200(run, "CmdLine");
            EXPECT_NE(run.log.find("desc \"" + Utf8(each.key) + "\" last error: 2"), std::string::npos) << run.log;
        }
        EXPECT_FALSE(LogHasLine(run.log, "Cleared the control flag to hide tray."));
        if (each.key != adapter) {
            EXPECT_EQ(Control(), Dword(5)) << Utf8(each.key);
        }
    }
}

TEST_F(TrayIcon, AFailedPostUninstallShowsTheIconAgain) {
    WriteTrayKeys(5);
    WriteFileBytes(package_.File(L"qelwls.ini"),
                   std::regex_replace(ReadFileBytes(package_.File(L"qelwls.ini")),
                                      std::regex("\\[PostUninstPart\\]\r?\n"), "[PostUninstPart]\r\nAddReg=Breaks\r\n") +
                       "\r\n[Breaks]\r\nHKLM,\"SOFTWARE\\Qel\\Number\",N,0x10001,1,,0\r\n"
                       "HKLM,\"SOFTWARE\\Qel\\Number\",N,0x10008,\"x\",,0\r\n");
    const SetupRunResult run = PartialUninstall();
    ExpectFailedWith200(run, "Update");
    EXPECT_TRUE(LogHasLine(run.log, "Cleared the control flag to hide tray.")) << run.log;
    EXPECT_EQ(Control(), Dword(5));
}

}  // namespace
