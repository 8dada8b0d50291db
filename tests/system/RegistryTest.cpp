// AddReg and DelReg through whole runs of qelwls64.exe: the registry after a
// successful install, the registry views by Windows version, and runs that
// fail on a registry line.
#include "PackageFixture.h"

#include "Handles.h"

#include <gtest/gtest.h>

#include <regex>


using namespace qeltest;

namespace {

constexpr wchar_t kKey[] = L"Software\\QelRegistryRun";
constexpr wchar_t kDestination[] = L"C:\\QelRegistryApp";

class RegistryRun : public ::testing::Test {
protected:
    RegistryRun() : folder_(L"registry_run") {
        folder_.Write(L"app.txt", "app, new version\r\n");
        folder_.Write(L"new.txt", "only in the package\r\n");
    }
    void SetUp() override { Clean(); }
    void TearDown() override {
        SetWindowsVersion(L"qelwls64.exe", L"");
        Clean();
    }
    static void Clean() {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY}) DeleteRegTree(HKEY_LOCAL_MACHINE, kKey, view);
        DeleteRegTree(HKEY_CURRENT_USER, kKey);
        DeleteTree(kDestination);
    }
    // Two files into C:\QelRegistryApp, then the registry sections the test adds.
    SetupRunResult Install(const std::string& installKeys, const std::string& sections) {
        return folder_.InstallScript("CopyFiles=AppFiles\r\n" + installKeys +
                                     "[SourceDisksNames]\r\n1=\"disk\",,,\r\n[SourceDisksFiles]\r\napp.txt=1\r\n"
                                     "new.txt=1\r\n[DestinationDirs]\r\nAppFiles=24,\"QelRegistryApp\"\r\n"
                                     "[AppFiles]\r\napp.txt,,,0x4\r\nnew.txt,,,0x4\r\n" + sections);
    }
    SetupFolder folder_;
};

TEST_F(RegistryRun, InstallDeletesThenAddsValuesAndKeys) {
    const std::wstring key = kKey;
    SetRegValue(HKEY_LOCAL_MACHINE, key + L"\\Old", L"Gone", RegSz(L"x"));
    SetRegValue(HKEY_LOCAL_MACHINE, key + L"\\Old", L"Stays", RegSz(L"x"));
    SetRegValue(HKEY_LOCAL_MACHINE, key + L"\\Tree\\A\\B", L"V", RegSz(L"x"));
    SetRegValue(HKEY_LOCAL_MACHINE, key + L"\\Tree\\C", L"V", RegSz(L"x"));
    SetRegValue(HKEY_LOCAL_MACHINE, key, L"Kept", RegSz(L"old"));
    SetRegValue(HKEY_LOCAL_MACHINE, key, L"List", RegSz(L"a"));
    SetRegMultiString(key, L"Multi", std::wstring(L"a\0b\0", 4));

    const SetupRunResult run = Install(
        "DelReg=OldValues\r\nAddReg=Values\r\n",
        "[OldValues]\r\n"
        "HKLM,Software\\QelRegistryRun\\Old,Gone,2\r\n"
        "HKLM,Software\\QelRegistryRun\\Old,NotThere,2\r\n"
        "HKLM,Software\\QelRegistryRun\\Absent,V,2\r\n"
        "HKLM,Software\\QelRegistryRun,Multi,0x18002,a\r\n"
        "HKLM,Software\\QelRegistryRun\\Tree,,2\r\n"
        "HKLM,Software\\QelRegistryRun\\Missing,,2\r\n"
        "[Values]\r\n"
        "HKLM,Software\\QelRegistryRun,Path,0,C:\\QelRegistryApp,,0\r\n"
        "HKLM,Software\\QelRegistryRun,Count,0x10001,0x103,,0\r\n"
        "HKLM,Software\\QelRegistryRun,Kept,2,new,,0\r\n"
        "HKLM,Software\\QelRegistryRun,List,8,b,,0\r\n"
        "hkcu,Software\\QelRegistryRun,Name,0,qelres.dll,STRID_OEM_UTIL_NAME,0\r\n"
        "HKLM,Software\\QelRegistryRun\\Tree,,0x10,,,0\r\n"
        "HKR,,DriverOnly,0x10001,1,,0\r\n");

    EXPECT_EQ(run.exitCode, 0u) << run.log;
    // Cost: 2 registry shares and 3 for each file; deletions come before the
    // files, additions after them.
    EXPECT_EQ(run.out, std::string(kVersionLine) +
                           "Progress,8,1\r\nProgress,8,4\r\nProgress,8,7\r\nProgress,8,8\r\n"
                           "Result,0,SetupSuccess,,\r\n");
    EXPECT_EQ(run.message, L"Result,0,SetupSuccess\n");

    // Values and keys that are not there are no error; removing one string
    // from a multi-string value is passed over; the whole tree went, and
    // KEYONLY made the key again, empty. HKR lines wait for a driver update,
    // which an application-only install does not run.
    const std::wstring k = key + L"\\";
    const RegValue isKey{true, 0, {}};
    RegistrySnapshot after;
    AddRegistryBelow(HKEY_LOCAL_MACHINE, key, after);
    EXPECT_EQ(after, (RegistrySnapshot{{k, isKey},
                                       {k + L"Count", RegDword(0x103)},
                                       {k + L"Kept", RegSz(L"old")},
                                       {k + L"List", RegSz(L"a,b")},
                                       {k + L"Multi", RegSz(std::wstring(L"a\0b\0", 4), REG_MULTI_SZ)},
                                       {k + L"Path", RegSz(L"C:\\QelRegistryApp")},
                                       {k + L"Old\\", isKey},
                                       {k + L"Old\\Stays", RegSz(L"x")},
                                       {k + L"Tree\\", isKey}}));
    EXPECT_EQ(ReadRegValue(HKEY_CURRENT_USER, key, L"Name"), RegSz(L"qelres.dll,-4701"));
    // One line per key visited, depth first; the root prints as its lower 32 bits.
    std::vector<std::string> paths;
    const std::regex visit("GSMUDeleteKey: parentKey=0x[0-9A-F]{8}, path='(.*)'");
    std::smatch match;
    for (const std::string& message : LogMessages(run.log))
        if (std::regex_match(message, match, visit)) paths.push_back(match[1]);
    EXPECT_EQ(paths, (std::vector<std::string>{"Software\\QelRegistryRun\\Tree", "A", "B", "C",
                                               "Software\\QelRegistryRun\\Missing"}));
    EXPECT_TRUE(LogHasLine(run.log, "GSMUDeleteKey: parentKey=0x80000002, path='Software\\QelRegistryRun\\Tree'"));
    EXPECT_TRUE(LogHasLine(run.log, "GSMUDeleteKey: 'Software\\QelRegistryRun\\Missing' is not found."));
    EXPECT_EQ(ReadFileBytes(std::wstring(kDestination) + L"\\app.txt"), "app, new version\r\n");
}

// Before XP there are no registry views, and the view flags are dropped; only
// before Vista is the 32-bit flag honoured. "V" starts in both views; `values`
// names the views that hold V, A and B after the run.
TEST_F(RegistryRun, ViewFlagsFollowTheWindowsVersion) {
    const struct {
        const wchar_t* version;
        const char* values;
    } cases[] = {{L"win2k", " V32 A64 B64"}, {L"winxp64", " V64 A64 B32"}, {L"win10", " V32 A64 B64"}};
    for (const auto& c : cases) {
        Clean();
        SetRegValue(HKEY_LOCAL_MACHINE, kKey, L"V", RegSz(L"32"), KEY_WOW64_32KEY);
        SetRegValue(HKEY_LOCAL_MACHINE, kKey, L"V", RegSz(L"64"), KEY_WOW64_64KEY);
        SetWindowsVersion(L"qelwls64.exe", c.version);
        const SetupRunResult run = Install("DelReg=Old\r\nAddReg=Values\r\n",
                                           "[Old]\r\nHKLM,Software\\QelRegistryRun,V,0x4002\r\n[Values]\r\n"
                                           "HKLM,Software\\QelRegistryRun,A,0x1000,x,,0\r\n"
                                           "HKLM,Software\\QelRegistryRun,B,0x4000,x,,0\r\n");
        EXPECT_EQ(run.exitCode, 0u) << run.log;
        std::string values;
        for (const wchar_t* name : {L"V", L"A", L"B"})
            for (const auto& view : {std::make_pair(KEY_WOW64_64KEY, "64"), std::make_pair(KEY_WOW64_32KEY, "32")})
                if (ReadRegValue(HKEY_LOCAL_MACHINE, kKey, name, view.first).found)
                    values += " " + Utf8(name) + view.second;
        EXPECT_EQ(values, c.values) << Utf8(c.version);
    }
}

// A malformed line ends the run while the sections are read, before any
// change; the unit tests list the other malformed lines. A line the commit
// refuses (text appended to a number) ends it after the files: the rollback
// puts them back, and the registry values it had deleted and written too.
TEST_F(RegistryRun, BadLinesEndTheRunWith200) {
    const struct {
        const char* installKeys;
        const char* sections;
        const char* progress;  // the status lines before the Result line
        const char* module;
        const char* description;
    } cases[] = {
        {"AddReg=Values\r\n",
         "[Values]\r\nHKLM,Software\\QelRegistryRun,Good,0,x,,0\r\n"
         "HKEY_LOCAL_MACHINE,Software\\QelRegistryRun,V,0,x,,0\r\n",  // of the long root names only some are known
         "", "CmdLine", "[Values] line 2: unknown root 'HKEY_LOCAL_MACHINE'"},
        {"DelReg=Old\r\nAddReg=Values\r\n",
         "[Old]\r\nHKLM,Software\\QelRegistryRun,Existing,0x20\r\n"
         "[Values]\r\nHKLM,Software\\QelRegistryRun,Good,0,x,,0\r\n",
         "", "CmdLine", "[Old] line 1: flags 0x00000020 not valid for a deletion"},
        {"DelReg=Old\r\n", "[Old]\r\nHKR,Params,Existing,2\r\n", "", "Update", "HKR\\Params"},
        {"DelReg=Old\r\nAddReg=Values\r\n",
         "[Old]\r\nHKLM,Software\\QelRegistryRun,Existing,2\r\n"
         "[Values]\r\nHKLM,Software\\QelRegistryRun,Good,0,x,,0\r\n"
         "HKLM,Software\\QelRegistryRun,Number,8,text,,0\r\n",
         // The commit had deleted "Existing" and added "Good": the rollback
         // puts both back as they were.
         "Progress,8,1\r\nProgress,8,4\r\nProgress,8,7\r\n", "Update", "(null)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sections);
        Clean();
        WriteFileBytes(std::wstring(kDestination) + L"\\app.txt", "app, old version\r\n");
        SetRegValue(HKEY_LOCAL_MACHINE, kKey, L"Existing", RegSz(L"before"));
        SetRegValue(HKEY_LOCAL_MACHINE, kKey, L"Number", RegDword(7));
        const FileSnapshot before = FilesBelow(kDestination);

        const SetupRunResult run = Install(c.installKeys, c.sections);
        ExpectFailedRun(run, c.module, c.progress);
        EXPECT_NE(run.log.find(std::string("desc \"") + c.description + "\" last error: 0\r\n"), std::string::npos)
            << run.log;
        EXPECT_EQ(FilesBelow(kDestination), before);
        EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kKey, L"Existing"), RegSz(L"before"));
        EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, kKey, L"Good").found);
        EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kKey, L"Number"), RegDword(7));
    }
}

}  // namespace
