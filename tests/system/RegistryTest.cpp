// AddReg and DelReg through whole runs of qelwls64.exe: the registry after a
// successful install, and runs that fail on a registry line.
#include "PackageFixture.h"

#include "Handles.h"

#include <gtest/gtest.h>

#include <regex>

using namespace qeltest;

namespace {

constexpr wchar_t kKey[] = L"Software\\QelRegistryRun";
constexpr wchar_t kDestination[] = L"C:\\QelRegistryApp";

// Two files into C:\QelRegistryApp, then the registry sections the test adds.
std::string RegistryScript(const std::string& installKeys, const std::string& sections) {
    return Script("[SourceDisksNames]\r\n1=\"disk\",,,\r\n"
                  "[SourceDisksFiles]\r\napp.txt=1\r\nnew.txt=1\r\n"
                  "[DestinationDirs]\r\nAppFiles=24,\"QelRegistryApp\"\r\n"
                  "[Install]\r\nDriverInf=Driver\\qelwl.inf\r\nCopyFiles=AppFiles\r\n" +
                  installKeys + "[AppFiles]\r\napp.txt,,,0x4\r\nnew.txt,,,0x4\r\n" + sections);
}

using Value = RegValue;


std::vector<BYTE> Sz(const std::wstring& text) {
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
}

bool KeyExists(HKEY root, const std::wstring& subkey) {
    qel::UniqueKey key;
    return ::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS;
}

void SetString(const std::wstring& subkey, const std::wstring& name, const std::wstring& text) {
    qel::UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Put(),
                                nullptr),
              ERROR_SUCCESS);
    const auto data = Sz(text);
    ASSERT_EQ(::RegSetValueExW(key.Get(), name.c_str(), 0, REG_SZ, data.data(), static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
}

// Result 200 on both channels, its module and line matching the log's Error
// line, and the description the raise carried.
void ExpectFailedRun(const SetupRunResult& run, const std::string& statusBefore, const std::string& module,
                     const std::string& description) {
    EXPECT_EQ(run.exitCode, 200u);
    std::smatch line;
    ASSERT_TRUE(std::regex_search(run.log, line, std::regex("Error: file \"" + module + "\", line ([0-9]+), desc \"" +
                                                            std::regex_replace(description, std::regex(R"([\\\[\]()'])"),
                                                                               R"(\$&)") +
                                                            "\" last error: 0\r\n")))
        << run.log;
    const std::string result = "Result,200,SetupErrorInternal," + module + "," + line[1].str();
    EXPECT_EQ(run.out, statusBefore + result + "\r\n");
    EXPECT_EQ(Utf8(run.message), result + "\n");
}

class RegistryRun : public ::testing::Test {
protected:
    RegistryRun() : folder_(L"registry_run") {
        folder_.Write(L"app.txt", "app, new version\r\n");
        folder_.Write(L"new.txt", "only in the package\r\n");
    }
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        DeleteRegTree(HKEY_LOCAL_MACHINE, kKey);
        DeleteRegTree(HKEY_CURRENT_USER, kKey);
        DeleteTree(kDestination);
    }
    SetupRunResult Install(const std::string& script) {
        folder_.Write(L"qelwls.ini", script);
        return RunSetupProgram(folder_.Exe(), L"apponly_install \"" + folder_.Path() + L"\"");
    }
    static FileSnapshot Destination() {
        FileSnapshot files;
        AddFilesBelow(kDestination, files);
        return files;
    }
    SetupFolder folder_;
};

TEST_F(RegistryRun, InstallDeletesThenAddsValuesAndKeys) {
    const std::wstring key = kKey;
    SetString(key + L"\\Old", L"Gone", L"x");
    SetString(key + L"\\Old", L"Stays", L"x");
    SetString(key + L"\\Tree\\Sub\\Leaf", L"V", L"x");
    SetString(key, L"Kept", L"old");
    SetString(key, L"List", L"a");

    const SetupRunResult run = Install(RegistryScript(
        "DelReg=OldValues\r\nAddReg=Values\r\n",
        "[OldValues]\r\n"
        "HKLM,Software\\QelRegistryRun\\Old,Gone,2\r\n"
        "HKLM,Software\\QelRegistryRun\\Tree,,2\r\n"
        "HKLM,Software\\QelRegistryRun\\Missing,,2\r\n"
        "[Values]\r\n"
        "HKLM,Software\\QelRegistryRun,Path,0,C:\\QelRegistryApp,,0\r\n"
        "HKLM,Software\\QelRegistryRun,Count,0x10001,0x103,,0\r\n"
        "HKLM,Software\\QelRegistryRun,Kept,2,new,,0\r\n"
        "HKLM,Software\\QelRegistryRun,List,8,b,,0\r\n"
        "hkcu,Software\\QelRegistryRun,Name,0,qelres.dll,STRID_OEM_UTIL_NAME,0\r\n"
        "HKLM,Software\\QelRegistryRun\\Tree,,0x10,,,0\r\n"
        "HKR,,DriverOnly,0x10001,1,,0\r\n"));

    EXPECT_EQ(run.exitCode, 0u) << run.log;
    // Cost: 2 registry shares and 3 for each file; deletions come before the
    // files, additions after them.
    EXPECT_EQ(run.out, std::string(kVersionLine) +
                           "Progress,8,1\r\nProgress,8,4\r\nProgress,8,7\r\nProgress,8,8\r\n"
                           "Result,0,SetupSuccess,,\r\n");
    EXPECT_EQ(run.message, L"Result,0,SetupSuccess\n");

    EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, key + L"\\Old", L"Gone").found);
    EXPECT_TRUE(ReadRegValue(HKEY_LOCAL_MACHINE, key + L"\\Old", L"Stays").found);
    // The whole tree went, and KEYONLY made the key again, empty.
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, key + L"\\Tree"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, key + L"\\Tree\\Sub"));
    EXPECT_TRUE(LogHasLine(run.log, "GSMUDeleteKey: parentKey=0x80000002, path='Software\\QelRegistryRun\\Tree'"));
    EXPECT_TRUE(LogHasLine(run.log, "GSMUDeleteKey: 'Software\\QelRegistryRun\\Missing' is not found."));

    const Value path = ReadRegValue(HKEY_LOCAL_MACHINE, key, L"Path");
    EXPECT_EQ(path.type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(path.data, Sz(L"C:\\QelRegistryApp"));
    const Value count = ReadRegValue(HKEY_LOCAL_MACHINE, key, L"Count");
    EXPECT_EQ(count.type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(count.data, std::vector<BYTE>({0x03, 0x01, 0, 0}));
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, key, L"Kept").data, Sz(L"old"));
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, key, L"List").data, Sz(L"a,b"));
    EXPECT_EQ(ReadRegValue(HKEY_CURRENT_USER, key, L"Name").data, Sz(L"qelres.dll,-4701"));
    // HKR lines wait for a driver update, which an application-only install
    // does not run.
    EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, key, L"DriverOnly").found);

    EXPECT_EQ(ReadFileBytes(std::wstring(kDestination) + L"\\app.txt"), "app, new version\r\n");
}

// A malformed line ends the run while the sections are read: nothing is
// committed, so neither a file nor a registry value changes.
struct BadLine {
    const char* title;
    const char* installKeys;
    const char* sections;
    const char* module;
    const char* description;
};

class RegistryRunBadLine : public RegistryRun, public ::testing::WithParamInterface<BadLine> {};

TEST_P(RegistryRunBadLine, EndsWith200BeforeAnyChange) {
    const BadLine& c = GetParam();
    qeltest::WriteFileBytes(std::wstring(kDestination) + L"\\app.txt", "app, old version\r\n");
    SetString(kKey, L"Existing", L"before");
    const FileSnapshot before = Destination();

    const SetupRunResult run = Install(RegistryScript(c.installKeys, c.sections));
    ExpectFailedRun(run, kVersionLine, c.module, c.description);
    EXPECT_EQ(Destination(), before);
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kKey, L"Existing").data, Sz(L"before"));
    EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, kKey, L"Good").found);
}

INSTANTIATE_TEST_SUITE_P(
    RegistryRun, RegistryRunBadLine,
    ::testing::Values(
        BadLine{"UnknownRoot", "AddReg=Values\r\n",
                "[Values]\r\nHKLM,Software\\QelRegistryRun,Good,0,x,,0\r\nHKXX,Software\\QelRegistryRun,V,0,x,,0\r\n",
                "CmdLine", "[Values] line 2: unknown root 'HKXX'"},
        BadLine{"AccessFieldMissing", "AddReg=Values\r\n",
                "[Values]\r\nHKLM,Software\\QelRegistryRun,Good,0,x,,0\r\nHKLM,Software\\QelRegistryRun,V,0,x\r\n",
                "CmdLine", "[Values] line 2: field 7 missing or not valid"},
        BadLine{"DeletionFlags", "DelReg=Old\r\nAddReg=Values\r\n",
                "[Old]\r\nHKLM,Software\\QelRegistryRun,Existing,0x20\r\n"
                "[Values]\r\nHKLM,Software\\QelRegistryRun,Good,0,x,,0\r\n",
                "CmdLine", "[Old] line 1: flags 0x00000020 not valid for a deletion"},
        BadLine{"DeletionUnderHkr", "DelReg=Old\r\n", "[Old]\r\nHKR,Params,Existing,2\r\n", "Update",
                "HKR\\Params"}),
    [](const ::testing::TestParamInfo<BadLine>& info) { return std::string(info.param.title); });

// A registry line that fails at commit, after the files were installed: the
// rollback puts the files back, but registry changes are not undone.
TEST_F(RegistryRun, CommitFailureRollsBackFilesButNotTheRegistry) {
    qeltest::WriteFileBytes(std::wstring(kDestination) + L"\\app.txt", "app, old version\r\n");
    const FileSnapshot before = Destination();
    SetString(kKey, L"Deleted", L"x");
    {
        qel::UniqueKey key;
        ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_SET_VALUE, key.Put()), ERROR_SUCCESS);
        const DWORD number = 7;
        ::RegSetValueExW(key.Get(), L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
    }

    // Appending text to a DWORD value is refused only when the commit finds it.
    const SetupRunResult run = Install(RegistryScript(
        "DelReg=Old\r\nAddReg=Values\r\n",
        "[Old]\r\nHKLM,Software\\QelRegistryRun,Deleted,2\r\n"
        "[Values]\r\nHKLM,Software\\QelRegistryRun,Added,0,x,,0\r\n"
        "HKLM,Software\\QelRegistryRun,Number,8,text,,0\r\n"));

    EXPECT_EQ(run.exitCode, 200u) << run.log;
    const std::regex status("Version,1,7\\.35 \\(TOB\\) \\(r\\)\r\nProgress,8,1\r\nProgress,8,4\r\nProgress,8,7\r\n"
                            "Result,200,SetupErrorInternal,Update,[0-9]+\r\n");
    EXPECT_TRUE(std::regex_match(run.out, status)) << run.out;
    EXPECT_TRUE(std::regex_search(run.log, std::regex("Error: file \"Update\", line [0-9]+, desc \"\\(null\\)\"")));
    EXPECT_EQ(Destination(), before);
    // What stages 2 and 7 changed before the failure stays changed.
    EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, kKey, L"Deleted").found);
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kKey, L"Added").data, Sz(L"x"));
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kKey, L"Number").data, std::vector<BYTE>({7, 0, 0, 0}));
}

}  // namespace
