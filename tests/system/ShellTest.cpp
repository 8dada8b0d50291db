// Shortcuts, the logon GINA chain, the per-user clean-up and the tray icon,
// through whole runs of qelwls64.exe (the per-user deletion also in-process).
#include "CmdLineUninstall.h"
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
constexpr wchar_t kSystemGina[] = L"C:\\windows\\system32\\qelginacopy.dll";
constexpr wchar_t kGinaCalls[] = L"C:\\qeltests\\gina-calls.txt";
using Strings = std::vector<std::string>;
using Link = std::vector<std::wstring>;

Strings LogLinesStarting(const std::string& log, const Strings& prefixes) {
    Strings lines;
    for (const std::string& line : LogMessages(log))
        for (const std::string& prefix : prefixes)
            if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    return lines;
}

// A shortcut as the shell reads it back: target, arguments, working folder,
// icon file, icon index, description; nothing when it is not a shortcut.
Link ReadLink(const std::wstring& path) {
    qel::ComScope com(COINIT_APARTMENTTHREADED);
    qel::ComPtr<IShellLinkW> shell;
    qel::ComPtr<IPersistFile> file;
    if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, shell.PutVoid())) ||
        FAILED(shell->QueryInterface(IID_IPersistFile, file.PutVoid())) || FAILED(file->Load(path.c_str(), STGM_READ)))
        return {};
    constexpr int kSize = MAX_PATH * 2;
    wchar_t text[5][kSize] = {};
    int index = -1;
    for (HRESULT hr : {shell->GetPath(text[0], kSize, nullptr, SLGP_RAWPATH), shell->GetArguments(text[1], kSize),
                       shell->GetWorkingDirectory(text[2], kSize), shell->GetIconLocation(text[3], kSize, &index),
                       shell->GetDescription(text[4], kSize)})
        if (FAILED(hr)) return {L"?"};
    return {text[0], text[1], text[2], text[3], std::to_wstring(index), text[4]};
}

// A script folder with the string-resource DLL and the GINA-style DLL.
class ShellKeys : public ::testing::Test {
protected:
    ShellKeys() : folder_(L"shell_keys") {
        for (const wchar_t* dll : {L"qelnames.dll", L"qelgina.dll"}) CopyFileOrFail(TestBinDir() + L"\\" + dll, folder_.File(dll));
        folder_.Write(L"qelgina.txt", "gina notes\r\n");
    }
    void SetUp() override {
        TearDown();
        // Real targets: the shell resolves what it links to.
        WriteFileBytes(std::wstring(kShellRoot) + L"\\QelMon.exe", "monitor");
        WriteFileBytes(std::wstring(kShellRoot) + L"\\readme.txt", "read me");
    }
    void TearDown() override {
        SetWindowsVersion(L"qelwls64.exe", L"");
        for (const wchar_t* file : {kSystemGina, kGinaCalls, L"C:\\windows\\system32\\qelgina.txt"}) ::DeleteFileW(file);
        for (const wchar_t* folder : {kShellRoot, L"C:\\QelGina"}) DeleteTree(folder);
        DeleteRegTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Qel");
    }
    // UTF-16 with its byte-order mark, so that non-ASCII text arrives intact.
    SetupRunResult Install(const std::string& body) {
        const std::wstring text = Wide(Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n" + body));
        folder_.Write(L"qelwls.ini", std::string("\xff\xfe", 2) +
                                         std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2));
        return RunSetupProgram(folder_.Exe(), L"apponly_install \"" + folder_.Path() + L"\"");
    }
    SetupRunResult InstallLinks(const std::string& lines) { return Install("AddLinks=Links\r\n[Links]\r\n" + lines); }
    std::string Names() const { return Utf8(folder_.File(L"qelnames.dll")); }
    SetupFolder folder_;
};

TEST_F(ShellKeys, TwoLinksAreMadeReplaceAnOlderOneAndAreTakenBackByARollback) {
    const std::string links =
        "C:\\QelShell\\Menu\\Sub,Qel Monitor,C:\\QelShell\\QelMon.exe,--tray -q,C:\\QelShell\\Work,"
        "C:\\QelShell\\QelMon.exe,3,\"@" + Names() + "\",STRID_OEM_UTIL_NAME\r\n"
        "C:\\QelShell\\Menu,Read Me,C:\\QelShell\\readme.txt,,,,0,,\r\n";
    WriteFileBytes(kReadMeLink, "an older link");

    SetupRunResult run = InstallLinks(links);
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(run.out, kVersionLine + std::string("Progress,2,1\r\nProgress,2,2\r\nResult,0,SetupSuccess,,\r\n"));
    EXPECT_EQ(ReadLink(kMonitorLink), (Link{L"C:\\QelShell\\QelMon.exe", L"--tray -q", L"C:\\QelShell\\Work",
                                            L"C:\\QelShell\\QelMon.exe", L"3", L"@" + Wide(Names()) + L",-4701"}));
    EXPECT_EQ(ReadLink(kReadMeLink), (Link{L"C:\\QelShell\\readme.txt", L"", L"", L"", L"0", L"Read Me"}));
    // Only the folder that had to be made is traced, not the older link's
    // move aside. Wine's SHSetLocalizedName writes nothing (Windows shows
    // string 4701 of qelnames.dll as the name).
    EXPECT_EQ(LogLinesStarting(run.log, {"CreateDir,", "MoveFile,", "Shortcut File:", "Resource Dll:", "Localized name"}),
              (Strings{"CreateDir,C:\\QelShell\\Menu\\Sub", "Shortcut File: C:\\QelShell\\Menu\\Sub\\Qel Monitor.lnk.",
                       "Resource Dll: " + Names() + " and Id:4701.",
                       "Localized name has been set for the shortcut: C:\\QelShell\\Menu\\Sub\\Qel Monitor.lnk.",
                       "Shortcut File: C:\\QelShell\\Menu\\Read Me.lnk."}));
    // The older link went with the clean-up: no temporary file is left.
    FileSnapshot files = FilesBelow(kShellRoot);
    EXPECT_EQ(files.size(), 4u);
    EXPECT_TRUE(files.count(kMonitorLink) && files.count(kReadMeLink));
    EXPECT_TRUE(WindowsTempFiles().empty());

    // The sub-install's registry stage fails after both links: the new link
    // goes, the replaced one comes back.
    ::DeleteFileW(kMonitorLink);
    files.erase(kMonitorLink);
    folder_.Write(L"sub.ini", WithFailingRegistryLine(Script("[Install]\r\n"), "[Install]"));
    run = Install("SubInstall=sub.ini,Install\r\nAddLinks=Links\r\n[Links]\r\n" + links);
    ExpectFailedRun(run, "Update");
    EXPECT_TRUE(LogHasLine(run.log, "Shortcut File: C:\\QelShell\\Menu\\Read Me.lnk.")) << "the links were made";
    EXPECT_EQ(FilesBelow(kShellRoot), files);
    EXPECT_TRUE(WindowsTempFiles().empty());
}

// Fields 8 and 9 (the localized name's file and string id) are read, and
// required, from Vista on: a line without one ends the run while the script
// is read. The read-me id is matched in any case, the others exactly; no
// match gives the plain name.
// A folder where a shortcut goes, with a user's file in it: moved aside as
// an older shortcut is, it would go with the run's temporary files. The run
// ends before its first change instead.
TEST_F(ShellKeys, AFolderWhereAShortcutGoesEndsTheRunBeforeAnyChange) {
    WriteFileBytes(std::wstring(kReadMeLink) + L"\\keep.txt", "user data\r\n");
    const FileSnapshot before = FilesBelow(kShellRoot);
    const SetupRunResult run = InstallLinks("C:\\QelShell\\Menu,Read Me,C:\\QelShell\\readme.txt,,,,0,,\r\n");
    ExpectFailedRun(run, "Update", "");
    EXPECT_NE(run.log.find("desc \"the destination is a folder: " + Utf8(kReadMeLink) + "\""), std::string::npos)
        << run.log;
    EXPECT_EQ(FilesBelow(kShellRoot), before);
    EXPECT_TRUE(WindowsTempFiles().empty());
}

TEST_F(ShellKeys, LocalizedNamesAndLinesWithoutTheirFields) {
    const std::string readMe = "C:\\QelShell\\Menu,Read Me,C:\\QelShell\\readme.txt,,,,", names = "0,\"@" + Names() + "\",";
    struct Case {
        const wchar_t* version;
        std::string line;
        const char* id;  // of the name; "": no localized name; nullptr: the run fails
    };
    for (const Case& each : {Case{L"winxp64", readMe + "0", ""}, Case{L"win10", readMe + names + "strid_oem_sc_readme", "4749"},
                             Case{L"win10", readMe + names + "STRID_ISM_HP", "4494"},
                             Case{L"win10", readMe + names + "strid_ism_hp", ""}, Case{L"win10", readMe + names + "STRID_NONE", ""},
                             Case{L"win10", readMe + "0", nullptr}, Case{L"win10", readMe, nullptr},
                             Case{L"win10", "C:\\QelShell\\Menu,Read Me", nullptr}, Case{L"win10", readMe + "x,,", nullptr}}) {
        SCOPED_TRACE(Utf8(each.version) + " " + each.line);
        DeleteTree(kMenu);
        SetWindowsVersion(L"qelwls64.exe", each.version);
        const SetupRunResult run = InstallLinks("C:\\QelShell\\Menu,Fine,C:\\QelShell\\readme.txt,,,,0,,\r\n" + each.line + "\r\n");
        if (!each.id) {
            ExpectFailedRun(run, "CmdLine", "");
            EXPECT_FALSE(PathExists(kMenu));
            EXPECT_TRUE(WindowsTempFiles().empty());
            EXPECT_TRUE(each.line != readMe + "0" || run.log.find("desc \"[Links] line 2 has no field 8\"") != std::string::npos)
                << run.log;
            continue;
        }
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        const std::string id = each.id;
        EXPECT_EQ(ReadLink(kReadMeLink), (Link{L"C:\\QelShell\\readme.txt", L"", L"", L"", L"0",
                                               id.empty() ? L"Read Me" : L"@" + Wide(Names()) + L",-" + Wide(id)}));
        EXPECT_EQ(LogLinesStarting(run.log, {"Resource Dll:"}),
                  id.empty() ? Strings{} : Strings{"Resource Dll: " + Names() + " and Id:" + id + "."});
    }
}

// AddGINA copies from the program's folder; DelGINA asks the DLL and removes
// it only when nothing is chained to it.
TEST_F(ShellKeys, GinaFilesAreAddedAndRemovedOnlyWhenNothingIsChained) {
    SetupRunResult run = Install("AddGINA=GinaFiles\r\nUninstallLog=\r\n[Setup]\r\nUninstallLog=C:\\QelGina\\u.log\r\n"
                                 "[DestinationDirs]\r\nGinaFiles=11\r\n"
                                 "[GinaFiles]\r\nqelginacopy.dll,qelgina.dll\r\nqelgina.txt\r\n");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_EQ(ReadFileBytes(kSystemGina), ReadFileBytes(folder_.File(L"qelgina.dll")));
    EXPECT_EQ(ReadFileBytes(L"C:\\windows\\system32\\qelgina.txt"), "gina notes\r\n");
    // The GINA files stay out of the uninstall log.
    const std::string log = ReadFileBytes(L"C:\\QelGina\\u.log");
    EXPECT_TRUE(std::regex_match(log, std::regex("CopyFile,[^\r\n]*\\\\qelwls\\.ini,C:\\\\QelGina\\\\qelwls\\.ini,0x00000006\r\n"
                                                 "MoveFile,C:\\\\QelGina\\\\qel[0-9a-f]+\\.tmp,C:\\\\QelGina\\\\u\\.log\r\n")))
        << log;

    const std::string safe = "We are not part of a chain so it is safe to remove the GINA DLL.";
    const std::string chained = "Since we are part of a chain, it is NOT safe to remove the GINA DLL.";
    // Chained: the DLL stays (the argument reaches it as UTF-8). Not chained:
    // the commit removes it. Then gone already, no such function, outside the
    // system folder: nothing is asked, removed or logged.
    const struct {
        std::string line;
        Strings decisions;
        bool stays;
    } runs[] = {{"%11%\\qelginacopy.dll,QelGinaIsChained,\"chained-\xc3\xbc\"", {chained}, true},
                {"%11%\\qelginacopy.dll,QelGinaIsChained,alone", {safe, "CommitFileRemove: " + Utf8(kSystemGina) + ", 6."}, false},
                {"%11%\\qelginacopy.dll,QelGinaIsChained,alone", {}, false},
                {"%11%\\qelginacopy.dll,NoSuchQuery,alone", {}, true},
                {Utf8(folder_.File(L"qelgina.dll")) + ",QelGinaIsChained,alone", {}, true}};
    for (const auto& each : runs) {
        SCOPED_TRACE(each.line);
        run = Install("DelGINA=" + each.line + "\r\n");
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        EXPECT_EQ(LogLinesStarting(run.log, {safe, chained, "CommitFileRemove:"}), each.decisions) << run.log;
        EXPECT_EQ(PathExists(kSystemGina), each.stays);
        EXPECT_TRUE(FilesMatching(L"C:\\windows\\system32\\qel*.tmp").empty());
        if (each.decisions.empty()) CopyFileOrFail(folder_.File(L"qelgina.dll"), kSystemGina);
    }
    EXPECT_TRUE(PathExists(folder_.File(L"qelgina.dll")));
    EXPECT_EQ(ReadFileBytes(kGinaCalls), "chained-\xc3\xbc\r\nalone\r\n") << "only the first two DelGINA runs asked";

    // A line without its argument ends the run before any change.
    ExpectFailedRun(Install("DelGINA=%11%\\qelginacopy.dll,QelGinaIsChained\r\n"), "CmdLine", "");
    EXPECT_TRUE(PathExists(kSystemGina));
}

// --- the sample package: links, per-user clean-up, tray icon ---------------

constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
constexpr wchar_t kScratch[] = L"SOFTWARE\\QelHiveScratch";
// Not logged on, with settings; without; logged on (hive loaded); no hive file.
constexpr wchar_t kWithSettings[] = L"S-1-5-21-7-7-7-1001";
constexpr wchar_t kWithout[] = L"S-1-5-21-7-7-7-1002";
constexpr wchar_t kLoggedOn[] = L"S-1-5-21-7-7-7-1003";
constexpr wchar_t kNoHive[] = L"S-1-5-21-7-7-7-1004";

// A hive file holding the given keys (Wine saves its own text format).
void SaveHive(const std::wstring& file, const std::vector<std::wstring>& keys) {
    DeleteRegTree(HKEY_LOCAL_MACHINE, kScratch);
    for (const std::wstring& each : keys) SetRegString(HKEY_LOCAL_MACHINE, std::wstring(kScratch) + L"\\" + each, L"v", L"1");
    qel::UniqueKey scratch;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kScratch, 0, KEY_READ, scratch.Put()), ERROR_SUCCESS);
    ::DeleteFileW(file.c_str());
    ASSERT_EQ(::RegSaveKeyW(scratch.Get(), file.c_str(), nullptr), ERROR_SUCCESS);
    scratch.Reset();
    DeleteRegTree(HKEY_LOCAL_MACHINE, kScratch);
}

bool UserKeyExists(const std::wstring& sid, const std::wstring& subkey = L"") {
    qel::UniqueKey key;
    return ::RegOpenKeyExW(HKEY_USERS, (sid + subkey).c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

// The sample package installed; no test profiles, no tray settings.
class SamplePackageShell : public ::testing::Test {
protected:
    void SetUp() override {
        qel::UniqueHandle token;
        ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Put()));
        for (const wchar_t* privilege : {SE_BACKUP_NAME, SE_RESTORE_NAME}) {  // to load and save hives
            TOKEN_PRIVILEGES privileges{1, {{{}, SE_PRIVILEGE_ENABLED}}};
            ASSERT_TRUE(::LookupPrivilegeValueW(nullptr, privilege, &privileges.Privileges[0].Luid) &&
                        ::AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr) &&
                        ::GetLastError() == ERROR_SUCCESS);
        }
        TearDown();
        for (const wchar_t* name : {L"a", L"b", L"c", L"d"}) ::CreateDirectoryW((std::wstring(L"C:\\qelprof\\") + name).c_str(), nullptr);
        ASSERT_EQ(package_.Run(L"apponly_install").exitCode, 0u);
    }
    void TearDown() override {
        SetWindowsVersion(L"qelwls64.exe", L"");
        RemoveTrayKeys();
        CleanMachine();
        for (const wchar_t* sid : {kWithSettings, kWithout, kLoggedOn, kNoHive}) {
            if (UserKeyExists(sid)) ::RegUnLoadKeyW(HKEY_USERS, sid);
            DeleteRegTree(HKEY_LOCAL_MACHINE, std::wstring(kProfileList) + L"\\" + sid);
        }
        DeleteTree(L"C:\\qelprof");
        ::CreateDirectoryW(L"C:\\qelprof", nullptr);
    }
    // A partial uninstall: other users of the setup remain.
    SetupRunResult PartialUninstall(const wchar_t* version) {
        SetWindowsVersion(L"qelwls64.exe", version);
        SetSharedDllCount(L"QelSetup", 2);
        return package_.Run(L"uninstall");
    }
    static RegValue Control() { return ReadRegValue(HKEY_LOCAL_MACHINE, kTrayAdapterKey, L"Control", KEY_WOW64_32KEY); }
    SamplePackage package_{L"shell_package"};
};

// installed -> uninstalled: the Start menu links go, and every user's hive
// that is not loaded is loaded, cleaned and unloaded.
TEST_F(SamplePackageShell, TheUninstallRemovesTheLinksAndCleansEveryUser) {
    const std::wstring app = kAppFolder, menu = kStartMenuFolder, names = L"@" + app + L"\\QelMon.exe";
    EXPECT_EQ(ReadLink(menu + L"\\Qel Monitor.lnk"),
              (Link{app + L"\\QelMon.exe", L"", app, app + L"\\QelMon.exe", L"0", names + L",-4701"}));
    EXPECT_EQ(ReadLink(menu + L"\\Read Me.lnk"), (Link{app + L"\\readme.txt", L"", L"", L"", L"0", names + L",-4749"}));

    const std::vector<std::wstring> settings{L"SOFTWARE\\Ardentix\\802.11\\Profiles\\Home", L"SOFTWARE\\Ardentix\\CM",
                                             L"SOFTWARE\\Ardentix\\Keep", L"SOFTWARE\\Other\\802.11"};
    SaveHive(L"C:\\qelprof\\a\\ntuser.dat", settings);
    SaveHive(L"C:\\qelprof\\b\\ntuser.dat", {L"SOFTWARE\\Ardentix\\Keep"});
    SaveHive(L"C:\\qelprof\\c\\ntuser.dat", settings);
    const std::string hiveA = ReadFileBytes(L"C:\\qelprof\\a\\ntuser.dat");
    // Environment variables are expanded, a folder gets "ntuser.dat".
    const std::pair<const wchar_t*, const wchar_t*> profiles[] = {
        {kWithSettings, L"%SystemDrive%\\qelprof\\a"}, {kWithout, L"C:\\qelprof\\b"},
        {kLoggedOn, L"C:\\qelprof\\c"}, {kNoHive, L"C:\\qelprof\\d"}};
    for (const auto& [sid, image] : profiles)
        SetRegValue(HKEY_LOCAL_MACHINE, std::wstring(kProfileList) + L"\\" + sid, L"ProfileImagePath",
                    RegSz(image, REG_EXPAND_SZ));
    ASSERT_EQ(::RegLoadKeyW(HKEY_USERS, kLoggedOn, L"C:\\qelprof\\c\\ntuser.dat"), ERROR_SUCCESS);

    const SetupRunResult run = package_.Run(L"uninstall");
    EXPECT_EQ(run.exitCode, 0u) << run.log;
    EXPECT_TRUE(LogHasLine(run.log, "DoCleanup(): Removing file \"" + Utf8(menu) + "\\Qel Monitor\""));
    EXPECT_FALSE(PathExists(menu)) << "both links and then their empty folder are removed";
    EXPECT_TRUE(LogLinesStarting(run.log, {"Unable to ", "Empty Sid"}).empty()) << run.log;
    // The logged-on user's live settings are left as they are.
    EXPECT_TRUE(UserKeyExists(kLoggedOn, L"\\SOFTWARE\\Ardentix\\802.11\\Profiles"));
    EXPECT_TRUE(UserKeyExists(kLoggedOn, L"\\SOFTWARE\\Ardentix\\CM"));
    // The others were unloaded again (or never loaded).
    for (const wchar_t* sid : {kWithSettings, kWithout, kNoHive}) EXPECT_FALSE(UserKeyExists(sid)) << Utf8(sid);
    EXPECT_EQ(ReadFileBytes(L"C:\\qelprof\\a\\ntuser.dat"), hiveA);

    // Wine does not write a loaded hive back, so the deletion itself is shown
    // in-process on loaded hives: only the two settings keys of a user go.
    ASSERT_EQ(::RegLoadKeyW(HKEY_USERS, kWithSettings, L"C:\\qelprof\\a\\ntuser.dat"), ERROR_SUCCESS);
    ASSERT_EQ(::RegLoadKeyW(HKEY_USERS, kWithout, L"C:\\qelprof\\b\\ntuser.dat"), ERROR_SUCCESS);
    qel::DeleteUserSettings(kWithSettings);
    qel::DeleteUserSettings(kWithout);  // neither key: nothing to do, nothing to report
    qel::DeleteUserSettings(kNoHive);   // no settings key at all
    const std::tuple<const wchar_t*, const wchar_t*, bool> keys[] = {
        {kWithSettings, L"\\SOFTWARE\\Ardentix\\802.11", false}, {kWithSettings, L"\\SOFTWARE\\Ardentix\\CM", false},
        {kWithSettings, L"\\SOFTWARE\\Ardentix\\Keep", true}, {kWithSettings, L"\\SOFTWARE\\Other\\802.11", true},
        {kWithout, L"\\SOFTWARE\\Ardentix\\Keep", true}};
    for (const auto& [sid, key, stays] : keys) EXPECT_EQ(UserKeyExists(sid, key), stays) << Utf8(sid) << Utf8(key);
    // A hive the clean-up did not load is never loaded (or unloaded) by it.
    EXPECT_FALSE(qel::UserHiveLoadOrUnload(kWithSettings, true));
    EXPECT_FALSE(qel::UserHiveLoadOrUnload(L"", true));
    EXPECT_TRUE(UserKeyExists(kWithSettings, L"\\SOFTWARE\\Ardentix\\Keep"));
}

// Before Vista a partial uninstall clears bit 0 of the adapter's Control. A
// missing value on the way is logged, a missing key fails the run, a failed
// commit after it sets the bit again.
TEST_F(SamplePackageShell, APartialUninstallBeforeVistaHidesTheTrayIcon) {
    const std::wstring status = kTrayInstallStatus, driver = kTrayDriverKey, adapter = kTrayAdapterKey;
    const char* cleared = "Cleared the control flag to hide tray.";
    struct Case {
        const wchar_t* version;
        DWORD before;
        std::wstring key, value;  // what is removed first; no value: the whole key
        const char* line;         // logged, or nullptr: the run fails naming the key
        RegValue after;
    };
    for (const Case& each : {Case{L"winxp64", 5, L"", L"", cleared, RegDword(4)}, Case{L"winxp64", 4, L"", L"", cleared, RegDword(4)},
                             Case{L"win10", 5, L"", L"", "", RegDword(5)},
                             Case{L"winxp64", 5, status, L"DriverKey", "Failed to get driver registry key.", RegDword(5)},
                             Case{L"winxp64", 5, driver, L"NetCfgInstanceId", "Failed to get the adapter guid.", RegDword(5)},
                             Case{L"winxp64", 5, adapter, L"Control", "Cannot read control flag.", RegValue{}},
                             Case{L"winxp64", 5, status, L"", nullptr, RegDword(5)},
                             Case{L"winxp64", 5, driver, L"", nullptr, RegDword(5)},
                             Case{L"winxp64", 5, adapter, L"", nullptr, RegValue{}}}) {
        SCOPED_TRACE(Utf8(std::wstring(each.version) + L" " + each.key + L" " + each.value));
        RemoveTrayKeys();
        WriteTrayKeys(each.before);
        if (!each.key.empty() && each.value.empty()) DeleteRegTree(HKEY_LOCAL_MACHINE, each.key, KEY_WOW64_32KEY);
        if (!each.value.empty()) DeleteRegValue(HKEY_LOCAL_MACHINE, each.key, each.value, KEY_WOW64_32KEY);
        const SetupRunResult run = PartialUninstall(each.version);
        if (each.line) {
            EXPECT_EQ(run.exitCode, 0u) << run.log;
            EXPECT_TRUE(!*each.line || LogHasLine(run.log, each.line)) << run.log;
        } else {
            ExpectFailedRun(run, "CmdLine");
            EXPECT_NE(run.log.find("desc \"" + Utf8(each.key) + "\" last error: 2"), std::string::npos) << run.log;
        }
        EXPECT_EQ(LogHasLine(run.log, "Hiding Tray Icon..."), std::wstring(each.version) == L"winxp64");
        EXPECT_EQ(LogHasLine(run.log, cleared), each.line == cleared);
        EXPECT_EQ(Control(), each.after);
        // A failed run gives the install count back, though the clean-up
        // before the tray step has ended the log that released it.
        EXPECT_EQ(SharedDllCount(L"QelSetup"), each.line ? 1 : 2);
    }

    WriteTrayKeys(5);
    WriteFileBytes(package_.File(L"qelwls.ini"),
                   WithFailingRegistryLine(ReadFileBytes(package_.File(L"qelwls.ini")), "[PostUninstPart]"));
    const SetupRunResult run = PartialUninstall(L"winxp64");
    ExpectFailedRun(run, "Update");
    EXPECT_TRUE(LogHasLine(run.log, cleared)) << run.log;
    EXPECT_EQ(Control(), RegDword(5));
    EXPECT_EQ(SharedDllCount(L"QelSetup"), 2);
}

}  // namespace
