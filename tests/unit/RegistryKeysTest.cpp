// The AddReg and DelReg keys: the handlers on real scripts (what they queue,
// what they refuse) and the commit side on the prefix's real registry.
#include "CmdLineKeys.h"
#include "Handles.h"
#include "Trace.h"
#include "UnitHelpers.h"
#include "Util.h"

#include <aclapi.h>
#include <sddl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <tuple>

namespace {

using qel::RegOp;
using qel::UpdateTransaction;
using qeltest::ExpectRaise;
using Bytes = std::vector<BYTE>;

const HKEY kHkr = qel::RelativeRoot();

Bytes Sz(const std::wstring& text) {  // a string as the registry stores it
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return Bytes(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
}
Bytes MultiSz(const std::wstring& items) {  // "a|b" -> a NUL b NUL NUL
    std::wstring text = items + L'|';
    for (auto& c : text)
        if (c == L'|') c = L'\0';
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return Bytes(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
}

// Writes a script (LF becomes CR LF) into a scratch folder and opens it.
void OpenScript(qel::InfFile& script, const std::wstring& name, const std::string& body) {
    std::string crlf;
    for (char c : "[Version]\nSignature=\"$Windows NT$\"\n" + body) crlf += c == '\n' ? "\r\n" : std::string(1, c);
    const std::wstring path = qeltest::MakeScratchFolder(L"regkeys-" + name) + L"\\qelwls.ini";
    qeltest::WriteFileBytes(path, crlf);
    script.Open(path, qel::kInfNeutralLanguage);
}

// The diagnostic log lines written while the object lives, without time stamps.
class TraceCapture {
public:
    TraceCapture() : path_(qeltest::MakeScratchFolder(L"regkeys-trace") + L"\\trace.log") {
        qel::TraceOpen(path_);
    }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (const auto& line : qeltest::SplitCrLfLines(qeltest::ReadFileBytes(path_)))
            lines.push_back(line.size() > 10 ? line.substr(10) : line);  // "hh:mm:ss: "
        return lines;
    }
    bool Has(const std::string& line) const {
        const auto lines = Lines();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

private:
    std::wstring path_;
};

// --- handlers: what a script line queues ----------------------------------------------

class RegistryHandlers : public ::testing::Test {
protected:
    // Runs the DelReg and then the AddReg handler on [Install] of the script.
    void Run(const std::string& body) {
        std::wstring name = qeltest::Wide(::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::replace(name.begin(), name.end(), L'/', L'-');  // a parameterised test's name
        OpenScript(script_, name, body);
        qel::DelRegKey(transaction_, script_, L"Install");
        qel::AddRegKey(transaction_, script_, L"Install");
    }
    UpdateTransaction transaction_;
    qel::InfFile script_;
};

void ExpectRecord(const RegOp& op, HKEY root, const std::wstring& subkey, const std::wstring& name, DWORD type,
                  uint32_t flags, const Bytes& data, uint32_t access) {
    EXPECT_EQ(op.root, root) << qeltest::Utf8(name);
    EXPECT_EQ(op.subkey, subkey) << qeltest::Utf8(name);
    EXPECT_EQ(op.valueName, name);
    EXPECT_EQ(op.type, type) << qeltest::Utf8(name);
    EXPECT_EQ(op.flags, flags) << qeltest::Utf8(name);
    EXPECT_EQ(op.data, data) << qeltest::Utf8(name);
    EXPECT_EQ(op.access, access) << qeltest::Utf8(name);
}

TEST_F(RegistryHandlers, EveryValueTypeAndRootIsQueuedWithItsExactData) {
    Run(R"([Install]
AddReg=Reg.A,Reg.Missing
AddReg=Reg.B
[Reg.A]
hklm,Software\Qel,Dword,0x10001,0x10,,0
HKCU,Software\Qel,Text,0,"a, b",,1
HKCR,Qel,Multi,0x10000,one,,0
HKEY_USERS,.Default\Qel,Expand,0x20000,%%SystemRoot%%\qel,,0
HKEY_CURRENT_CONFIG,Qel,Binary,1,de,ad,00,ff
[Reg.B]
HKLM,Software\Qel,None,0x20001,0a,0b,1
HKLM,,,0,,,0
HKLM,Software\Qel,Views,0x5000,x,,0
)");
    ASSERT_EQ(transaction_.regAdds.size(), 8u);
    const auto& adds = transaction_.regAdds;
    ExpectRecord(adds[0], HKEY_LOCAL_MACHINE, L"Software\\Qel", L"Dword", REG_DWORD, 0x10001, {0x10, 0, 0, 0}, 0);
    ExpectRecord(adds[1], HKEY_CURRENT_USER, L"Software\\Qel", L"Text", REG_SZ, 0, Sz(L"a, b"), 1);
    // A multi-string line holds one item with a single terminator.
    ExpectRecord(adds[2], HKEY_CLASSES_ROOT, L"Qel", L"Multi", REG_MULTI_SZ, 0x10000, Sz(L"one"), 0);
    ExpectRecord(adds[3], HKEY_USERS, L".Default\\Qel", L"Expand", REG_EXPAND_SZ, 0x20000, Sz(L"%SystemRoot%\\qel"),
                 0);
    // Binary data runs to the end of the line, yet field 7 (the third data
    // byte, read as a number) is the access value.
    ExpectRecord(adds[4], HKEY_CURRENT_CONFIG, L"Qel", L"Binary", REG_BINARY, 1, {0xde, 0xad, 0x00, 0xff}, 0);
    ExpectRecord(adds[5], HKEY_LOCAL_MACHINE, L"Software\\Qel", L"None", REG_NONE, 0x20001, {0x0a, 0x0b, 0x01}, 1);
    ExpectRecord(adds[6], HKEY_LOCAL_MACHINE, L"", L"", REG_SZ, 0, Sz(L""), 0);
    // From XP on the view flags stay.
    ExpectRecord(adds[7], HKEY_LOCAL_MACHINE, L"Software\\Qel", L"Views", REG_SZ, 0x5000, Sz(L"x"), 0);
    EXPECT_TRUE(transaction_.regDeletes.empty());
    EXPECT_TRUE(transaction_.relativeRegAdds.empty());
}

TEST_F(RegistryHandlers, StringIdNamesAppendTheirIdToStringsOnly) {
    Run(R"([Install]
AddReg=Reg
[Reg]
HKLM,Software\Qel,A,0,res.dll,STRID_OEM_SHORTCUT_NAME,0
HKLM,Software\Qel,B,0,res.dll,strid_oem_util_name,0
HKLM,Software\Qel,C,0x20000,res.dll,STRID_ISM_HP,0
HKLM,Software\Qel,D,0x10000,res.dll,STRID_OEM_SC_README,0
HKLM,Software\Qel,E,0,res.dll,STRID_OTHER,0
HKLM,Software\Qel,F,0x10001,7,STRID_ISM_HP,0
)");
    const auto& adds = transaction_.regAdds;
    ASSERT_EQ(adds.size(), 6u);
    EXPECT_EQ(adds[0].data, Sz(L"res.dll,-4703"));
    EXPECT_EQ(adds[1].data, Sz(L"res.dll,-4701"));
    EXPECT_EQ(adds[2].data, Sz(L"res.dll,-4494"));
    EXPECT_EQ(adds[3].data, Sz(L"res.dll,-4749"));
    EXPECT_EQ(adds[4].data, Sz(L"res.dll"));
    EXPECT_EQ(adds[5].data, Bytes({7, 0, 0, 0}));
}

TEST_F(RegistryHandlers, DeletionsAndRelativeAdditionsGoToTheirOwnLists) {
    Run(R"([Install]
DelReg=Del
AddReg=Reg
[Del]
HKLM,Software\Qel,Value,2
HKCU,Software\Qel,,0x1F002
[Reg]
HKR,,DriverValue,0x10001,1,,0
HKLM,Software\Qel,Plain,0,x,,0
)");
    ASSERT_EQ(transaction_.regDeletes.size(), 2u);
    ExpectRecord(transaction_.regDeletes[0], HKEY_LOCAL_MACHINE, L"Software\\Qel", L"Value", REG_NONE, 2, {}, 0);
    ExpectRecord(transaction_.regDeletes[1], HKEY_CURRENT_USER, L"Software\\Qel", L"", REG_NONE, 0x1F002, {}, 0);
    ASSERT_EQ(transaction_.relativeRegAdds.size(), 1u);
    ExpectRecord(transaction_.relativeRegAdds[0], kHkr, L"", L"DriverValue", REG_DWORD, 0x10001, {1, 0, 0, 0}, 0);
    ASSERT_EQ(transaction_.regAdds.size(), 1u);
    EXPECT_EQ(transaction_.regAdds[0].valueName, L"Plain");
}

// A malformed line raises naming its section and position; the good line
// before it stays queued.
struct MalformedLine {
    const char* title;
    const char* key;
    const char* line;
    const char* module;
    const wchar_t* description;  // null: not checked
};

class MalformedLines : public RegistryHandlers, public ::testing::WithParamInterface<MalformedLine> {};

TEST_P(MalformedLines, RaiseAndKeepWhatWasQueuedBefore) {
    const MalformedLine& c = GetParam();
    const std::string add = std::string(c.key) == "AddReg" ? "HKLM,Software\\Qel,Good,0,x,,0\n" : "";
    const std::string del = add.empty() ? "HKLM,Software\\Qel,Good,2\n" : "";
    const auto raised = ExpectRaise([&] {
        Run(std::string("[Install]\n") + c.key + "=Lines\n[Lines]\n" + add + del + c.line + "\n");
    });
    EXPECT_STREQ(raised.Module(), c.module);
    if (c.description) {
        EXPECT_STREQ(raised.Description(), c.description);
    }
    EXPECT_EQ(transaction_.regAdds.size() + transaction_.regDeletes.size(), 1u);
    EXPECT_TRUE(transaction_.relativeRegAdds.empty());
}

INSTANTIATE_TEST_SUITE_P(
    RegistryHandlers, MalformedLines,
    ::testing::Values(
        MalformedLine{"MissingField7", "AddReg", "HKLM,Software\\Qel,V,0,x,", "CmdLine",
                      L"[Lines] line 2: field 7 missing or not valid"},
        MalformedLine{"BinaryShortOfField7", "AddReg", "HKLM,Software\\Qel,V,1,01,02", "CmdLine",
                      L"[Lines] line 2: field 7 missing or not valid"},
        MalformedLine{"MissingValue", "AddReg", "HKLM,Software\\Qel,V,0", "CmdLine",
                      L"[Lines] line 2: field 5 missing or not valid"},
        MalformedLine{"FlagsNotANumber", "AddReg", "HKLM,Software\\Qel,V,none,x,,0", "CmdLine",
                      L"[Lines] line 2: field 4 missing or not valid"},
        MalformedLine{"UnknownRoot", "AddReg", "HKEY_LOCAL_MACHINE,Software\\Qel,V,0,x,,0", "CmdLine",
                      L"[Lines] line 2: unknown root 'HKEY_LOCAL_MACHINE'"},
        MalformedLine{"BadTypeBits", "AddReg", "HKLM,Software\\Qel,V,0x30000,x,,0", "CmdLine",
                      L"[Lines] line 2: unknown value type bits 0x00030000"},
        MalformedLine{"AppendDword", "AddReg", "HKLM,Software\\Qel,V,0x10009,1,,0", "CmdLine",
                      L"[Lines] line 2: append flag with a non-string type (flags 0x00010009)"},
        MalformedLine{"BadBinary", "AddReg", "HKLM,Software\\Qel,V,1,abc,01,02", "DriverInf", nullptr},
        MalformedLine{"DelRegFlags", "DelReg", "HKLM,Software\\Qel,V,4", "CmdLine",
                      L"[Lines] line 2: flags 0x00000004 not valid for a deletion"},
        MalformedLine{"DelRegEmptySubkey", "DelReg", "HKLM,,V,2", "CmdLine", L"[Lines] line 2: empty subkey"},
        MalformedLine{"DelRegWithoutFlags", "DelReg", "HKLM,Software\\Qel,V", "CmdLine",
                      L"[Lines] line 2: field 4 missing or not valid"},
        MalformedLine{"DelRegUnderHkr", "DelReg", "HKR,Sub,V,2", "Update", L"HKR\\Sub"}),
    [](const ::testing::TestParamInfo<MalformedLine>& info) { return std::string(info.param.title); });

// Registry views by Windows version. Before XP there are none: the handlers
// clear the view flags. Before Vista the commit honours the 32-bit flag. The
// version is that of the running program, so this test runs itself again as a
// child under the version Wine is told to report for it.
constexpr char kChildReport[] = "queued flags: ";
const std::wstring kChildKey = L"Software\\QelRegistryTest\\Child";

TEST(RegistryByVersionChild, DISABLED_QueueAndCommit) {
    qel::InfFile script;
    OpenScript(script, L"child", R"([Install]
DelReg=Del
AddReg=Reg
[Del]
HKLM,Software\QelRegistryTest\Child,V,0x4002
[Reg]
HKLM,Software\QelRegistryTest\Child,A,0x1000,x,,0
HKLM,Software\QelRegistryTest\Child,B,0x4000,x,,0
)");
    UpdateTransaction transaction;
    qel::DelRegKey(transaction, script, L"Install");
    qel::AddRegKey(transaction, script, L"Install");
    ASSERT_EQ(transaction.regAdds.size(), 2u);
    ASSERT_EQ(transaction.regDeletes.size(), 1u);
    for (const RegOp& op : transaction.regDeletes) transaction.CommitRegDelete(op.root, op.subkey, op.valueName, op.flags);
    for (const RegOp& op : transaction.regAdds)
        transaction.CommitRegAdd(op.root, op.subkey, op.valueName, op.type, op.flags, op.data, op.access);
    std::printf("%s0x%X 0x%X 0x%X\n", kChildReport, transaction.regDeletes[0].flags, transaction.regAdds[0].flags,
                transaction.regAdds[1].flags);
}

class RegistryByVersion : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override {
        qeltest::SetWindowsVersion(L"unit_registry.exe", L"");
        Clean();
    }
    static void Clean() {
        for (REGSAM view : {KEY_WOW64_64KEY, KEY_WOW64_32KEY})
            qeltest::DeleteRegTree(HKEY_LOCAL_MACHINE, L"Software\\QelRegistryTest", view);
    }
    // Puts "V" into both views, runs the child, and returns its report line.
    static std::string ChildUnder(const std::wstring& version);
    static bool Has(const wchar_t* name, REGSAM view);
};

TEST_F(RegistryByVersion, Windows2000HasNoViews) {
    EXPECT_EQ(ChildUnder(L"win2k"), "0x2 0x0 0x0");
    EXPECT_FALSE(Has(L"V", KEY_WOW64_64KEY));
    EXPECT_TRUE(Has(L"V", KEY_WOW64_32KEY));
    EXPECT_TRUE(Has(L"B", KEY_WOW64_64KEY));
    EXPECT_FALSE(Has(L"B", KEY_WOW64_32KEY));
}

TEST_F(RegistryByVersion, XpHonoursTheThirtyTwoBitView) {
    EXPECT_EQ(ChildUnder(L"winxp64"), "0x4002 0x1000 0x4000");
    EXPECT_TRUE(Has(L"V", KEY_WOW64_64KEY));
    EXPECT_FALSE(Has(L"V", KEY_WOW64_32KEY));
    EXPECT_TRUE(Has(L"A", KEY_WOW64_64KEY));
    EXPECT_FALSE(Has(L"A", KEY_WOW64_32KEY));
    EXPECT_FALSE(Has(L"B", KEY_WOW64_64KEY));
    EXPECT_TRUE(Has(L"B", KEY_WOW64_32KEY));
}

// --- commit: the registry after CommitRegAdd / CommitRegDelete -------------------------

const std::wstring kBase = L"Software\\QelRegistryTest";

using Value = qeltest::RegValue;
using qeltest::ReadRegValue;


bool KeyExists(HKEY root, const std::wstring& subkey, REGSAM view = 0) {
    qel::UniqueKey key;
    return ::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, key.Put()) == ERROR_SUCCESS;
}

void SetValue(const std::wstring& subkey, const std::wstring& name, DWORD type, const Bytes& data,
              REGSAM view = 0) {
    qel::UniqueKey key;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr,
                                key.Put(), nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(::RegSetValueExW(key.Get(), name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
}

std::string RegistryByVersion::ChildUnder(const std::wstring& version) {
    SetValue(kChildKey, L"V", REG_SZ, Sz(L"32"), KEY_WOW64_32KEY);
    SetValue(kChildKey, L"V", REG_SZ, Sz(L"64"), KEY_WOW64_64KEY);
    qeltest::SetWindowsVersion(L"unit_registry.exe", version);
    const auto run = qeltest::RunProgram(L"\"" + qeltest::TestBinDir() + L"\\unit_registry.exe\" "
                                         L"--gtest_also_run_disabled_tests "
                                         L"--gtest_filter=RegistryByVersionChild.DISABLED_QueueAndCommit");
    const size_t at = run.out.find(kChildReport);
    if (run.exitCode != 0 || at == std::string::npos) return "child failed: " + run.out;
    const size_t from = at + sizeof(kChildReport) - 1;
    return run.out.substr(from, run.out.find('\r', from) - from);
}

bool RegistryByVersion::Has(const wchar_t* name, REGSAM view) {
    return ReadRegValue(HKEY_LOCAL_MACHINE, kChildKey, name, view).found;
}

class RegistryCommit : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        qeltest::DeleteRegTree(HKEY_LOCAL_MACHINE, kBase, KEY_WOW64_64KEY);
        qeltest::DeleteRegTree(HKEY_LOCAL_MACHINE, kBase, KEY_WOW64_32KEY);
        qeltest::DeleteRegTree(HKEY_CURRENT_USER, kBase);
    }
    void Add(const std::wstring& name, DWORD type, uint32_t flags, const Bytes& data, uint32_t access = 0) {
        transaction_.CommitRegAdd(HKEY_LOCAL_MACHINE, kBase, name, type, flags, data, access);
    }
    Value Read(const std::wstring& name) { return ReadRegValue(HKEY_LOCAL_MACHINE, kBase, name); }
    UpdateTransaction transaction_;
};

TEST_F(RegistryCommit, QueuedRecordsOfEveryTypeLandByteForByte) {
    qel::InfFile script;
    OpenScript(script, L"commit-types", R"([Install]
AddReg=Reg
[Reg]
HKLM,Software\QelRegistryTest,Sz,0,text,,0
HKLM,Software\QelRegistryTest,Expand,0x20000,%%TEMP%%\x,,0
HKLM,Software\QelRegistryTest,Multi,0x10000,one,,0
HKLM,Software\QelRegistryTest,Binary,1,01,02,03,04
HKLM,Software\QelRegistryTest,None,0x20001,,,0
HKLM,Software\QelRegistryTest,Dword,0x10001,0x12345678,,0
HKLM,Software\QelRegistryTest\Sub,,0,default,,0
)");
    qel::AddRegKey(transaction_, script, L"Install");
    for (const RegOp& op : transaction_.regAdds)
        transaction_.CommitRegAdd(op.root, op.subkey, op.valueName, op.type, op.flags, op.data, op.access);

    const struct {
        const wchar_t* name;
        DWORD type;
        Bytes data;
    } expected[] = {
        {L"Sz", REG_SZ, Sz(L"text")},
        {L"Expand", REG_EXPAND_SZ, Sz(L"%TEMP%\\x")},
        {L"Multi", REG_MULTI_SZ, Sz(L"one")},
        {L"Binary", REG_BINARY, {1, 2, 3, 4}},
        {L"None", REG_NONE, {0, 0, 0}},  // empty hex fields, field 7 among them
        {L"Dword", REG_DWORD, {0x78, 0x56, 0x34, 0x12}},
    };
    for (const auto& e : expected) {
        const Value value = Read(e.name);
        EXPECT_TRUE(value.found) << qeltest::Utf8(e.name);
        EXPECT_EQ(value.type, e.type) << qeltest::Utf8(e.name);
        EXPECT_EQ(value.data, e.data) << qeltest::Utf8(e.name);
    }
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kBase + L"\\Sub", L"").data, Sz(L"default"));
}

TEST_F(RegistryCommit, NoClobberAndOverwriteOnlyLookAtTheExistingValue) {
    Add(L"Kept", REG_SZ, FLG_ADDREG_NOCLOBBER, Sz(L"first"));
    Add(L"Kept", REG_SZ, FLG_ADDREG_NOCLOBBER, Sz(L"second"));
    EXPECT_EQ(Read(L"Kept").data, Sz(L"first"));

    Add(L"Replaced", REG_SZ, FLG_ADDREG_OVERWRITEONLY, Sz(L"never"));
    EXPECT_FALSE(Read(L"Replaced").found);
    SetValue(kBase, L"Replaced", REG_DWORD, {1, 0, 0, 0});
    Add(L"Replaced", REG_SZ, FLG_ADDREG_OVERWRITEONLY, Sz(L"new"));
    EXPECT_EQ(Read(L"Replaced").type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(Read(L"Replaced").data, Sz(L"new"));
}

TEST_F(RegistryCommit, AppendAddsAMissingItemOnly) {
    SetValue(kBase, L"Has", REG_SZ, Sz(L"a,b,c"));
    SetValue(kBase, L"One", REG_EXPAND_SZ, Sz(L"a"));
    SetValue(kBase, L"Empty", REG_SZ, Sz(L""));
    SetValue(kBase, L"Multi", REG_MULTI_SZ, MultiSz(L"a|b"));
    SetValue(kBase, L"Number", REG_DWORD, {5, 0, 0, 0});

    Add(L"Has", REG_SZ, FLG_ADDREG_APPEND, Sz(L"b"));
    EXPECT_EQ(Read(L"Has").data, Sz(L"a,b,c"));
    Add(L"One", REG_EXPAND_SZ, FLG_ADDREG_APPEND, Sz(L"b"));
    EXPECT_EQ(Read(L"One").data, Sz(L"a,b"));
    EXPECT_EQ(Read(L"One").type, static_cast<DWORD>(REG_EXPAND_SZ));
    Add(L"Empty", REG_SZ, FLG_ADDREG_APPEND, Sz(L"b"));
    EXPECT_EQ(Read(L"Empty").data, Sz(L",b"));
    Add(L"Missing", REG_SZ, FLG_ADDREG_APPEND, Sz(L"b"));
    EXPECT_EQ(Read(L"Missing").data, Sz(L"b"));
    // A multi-string grows by the new item, present or not.
    Add(L"Multi", REG_MULTI_SZ, FLG_ADDREG_APPEND, Sz(L"a"));
    EXPECT_EQ(Read(L"Multi").data, MultiSz(L"a|b|a"));

    const auto raised = ExpectRaise([&] { Add(L"Number", REG_SZ, FLG_ADDREG_APPEND, Sz(L"b")); });
    EXPECT_STREQ(raised.Module(), "Update");
    EXPECT_EQ(Read(L"Number").data, Bytes({5, 0, 0, 0}));
}

// The DACL of a key: its ACEs as (SID text, flags, mask).
std::vector<std::tuple<std::wstring, int, DWORD>> Dacl(const std::wstring& subkey) {
    std::vector<std::tuple<std::wstring, int, DWORD>> aces;
    qel::UniqueKey key;
    if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, READ_CONTROL, key.Put()) != ERROR_SUCCESS) return aces;
    PACL dacl = nullptr;
    qel::UniqueLocalMem descriptor;
    if (::GetSecurityInfo(key.Get(), SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr,
                          reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.Put())) != ERROR_SUCCESS ||
        !dacl)
        return aces;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!::GetAce(dacl, i, reinterpret_cast<void**>(&ace))) break;
        wchar_t* sid = nullptr;
        ::ConvertSidToStringSidW(&ace->SidStart, &sid);
        aces.emplace_back(sid ? sid : L"?", ace->Header.AceFlags, ace->Mask);
        ::LocalFree(sid);
    }
    return aces;
}

TEST_F(RegistryCommit, AccessValueOneGivesInteractiveUsersTheKey) {
    const std::wstring granted = kBase + L"\\Granted";
    transaction_.CommitRegAdd(HKEY_LOCAL_MACHINE, granted, L"V", REG_SZ, 0, Sz(L"x"), 1);
    const auto aces = Dacl(granted);
    ASSERT_EQ(aces.size(), 1u);
    EXPECT_EQ(aces[0], std::make_tuple(std::wstring(L"S-1-5-4"), OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                       static_cast<DWORD>(0x1FFFFF)));

    // KEYONLY creates the key and stops: no value, no new DACL.
    const std::wstring keyOnly = kBase + L"\\KeyOnly";
    const std::wstring plain = kBase + L"\\Plain";
    transaction_.CommitRegAdd(HKEY_LOCAL_MACHINE, keyOnly, L"V", REG_SZ, FLG_ADDREG_KEYONLY, Sz(L"x"), 1);
    transaction_.CommitRegAdd(HKEY_LOCAL_MACHINE, plain, L"V", REG_SZ, 0, Sz(L"x"), 0);
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, keyOnly));
    EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, keyOnly, L"V").found);
    EXPECT_EQ(Dacl(keyOnly), Dacl(plain));
    EXPECT_NE(Dacl(plain), aces);

    // The grant always names HKLM\<subkey>, whatever the record's root.
    transaction_.CommitRegAdd(HKEY_CURRENT_USER, kBase + L"\\User", L"V", REG_SZ, 0, Sz(L"x"), 1);
    EXPECT_EQ(Dacl(kBase + L"\\User"), aces);
}

TEST_F(RegistryCommit, RelativeRootIsRefused) {
    const auto raised = ExpectRaise([&] {
        transaction_.CommitRegAdd(kHkr, kBase, L"V", REG_SZ, 0, Sz(L"x"), 0);
    });
    EXPECT_STREQ(raised.Module(), "Update");
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kBase));
}

TEST_F(RegistryCommit, ViewFlagsFromVistaOn) {
    // The 64-bit flag opens the 64-bit view; the 32-bit flag is not honoured
    // from Vista on, so its value lands in the 64-bit view as well.
    Add(L"Wide", REG_SZ, FLG_ADDREG_64BITKEY, Sz(L"64"));
    Add(L"Narrow", REG_SZ, FLG_ADDREG_32BITKEY, Sz(L"32"));
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kBase, L"Wide", KEY_WOW64_64KEY).data, Sz(L"64"));
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kBase, L"Narrow", KEY_WOW64_64KEY).data, Sz(L"32"));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kBase, KEY_WOW64_32KEY));

    // Wine keeps the two views of HKLM\Software apart, as Windows does: a
    // deletion in the 64-bit view leaves the 32-bit copy.
    SetValue(kBase, L"Both", REG_SZ, Sz(L"32"), KEY_WOW64_32KEY);
    SetValue(kBase, L"Both", REG_SZ, Sz(L"64"), KEY_WOW64_64KEY);
    transaction_.CommitRegDelete(HKEY_LOCAL_MACHINE, kBase, L"Both", FLG_DELREG_64BITKEY);
    EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, kBase, L"Both", KEY_WOW64_64KEY).found);
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kBase, L"Both", KEY_WOW64_32KEY).data, Sz(L"32"));
}

TEST_F(RegistryCommit, DeletingAValueLeavesTheRestAndMissingOnesAreNoError) {
    SetValue(kBase, L"Gone", REG_SZ, Sz(L"x"));
    SetValue(kBase, L"Multi", REG_MULTI_SZ, MultiSz(L"a|b"));
    transaction_.CommitRegDelete(HKEY_LOCAL_MACHINE, kBase, L"Gone", 2);
    transaction_.CommitRegDelete(HKEY_LOCAL_MACHINE, kBase, L"Gone", 2);
    transaction_.CommitRegDelete(HKEY_LOCAL_MACHINE, kBase + L"\\Absent", L"Gone", 2);
    // Removing one string from a multi-string value is not carried out.
    transaction_.CommitRegDelete(HKEY_LOCAL_MACHINE, kBase, L"Multi", FLG_DELREG_MULTI_SZ_DELSTRING);
    EXPECT_FALSE(Read(L"Gone").found);
    EXPECT_EQ(Read(L"Multi").data, MultiSz(L"a|b"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kBase));

    EXPECT_STREQ(ExpectRaise([&] { transaction_.CommitRegDelete(HKEY_LOCAL_MACHINE, L"", L"V", 2); }).Module(),
                 "Update");
    EXPECT_STREQ(ExpectRaise([&] { transaction_.GSMUDeleteKey(HKEY_LOCAL_MACHINE, L"", 0); }).Module(), "Update");
}

TEST_F(RegistryCommit, DeletingAKeyRemovesItsTreeDepthFirst) {
    SetValue(kBase + L"\\Tree\\B\\C", L"V", REG_SZ, Sz(L"x"));
    SetValue(kBase + L"\\Tree\\D", L"V", REG_SZ, Sz(L"x"));
    SetValue(kBase + L"\\Tree", L"V", REG_SZ, Sz(L"x"));
    SetValue(kBase + L"\\Sibling", L"V", REG_SZ, Sz(L"x"));
    TraceCapture trace;
    transaction_.CommitRegDelete(HKEY_LOCAL_MACHINE, kBase + L"\\Tree", L"", 2);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kBase + L"\\Tree"));
    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kBase + L"\\Sibling"));

    // One line per key, parents before children; the root prints as its
    // lower 32 bits, the opened keys as whatever handle they had.
    std::vector<std::string> paths;
    const std::regex line("GSMUDeleteKey: parentKey=0x[0-9A-F]{8}, path='(.*)'");
    for (const auto& text : trace.Lines()) {
        std::smatch match;
        if (std::regex_match(text, match, line)) paths.push_back(match[1]);
    }
    EXPECT_EQ(paths, (std::vector<std::string>{qeltest::Utf8(kBase) + "\\Tree", "B", "C", "D"}));
    EXPECT_TRUE(trace.Has("GSMUDeleteKey: parentKey=0x80000002, path='" + qeltest::Utf8(kBase) + "\\Tree'"));

    // A key that is not there: its line, and no error.
    transaction_.CommitRegDelete(HKEY_LOCAL_MACHINE, kBase + L"\\Tree", L"", 2);
    EXPECT_TRUE(trace.Has("GSMUDeleteKey: '" + qeltest::Utf8(kBase) + "\\Tree' is not found."));
}

}  // namespace
