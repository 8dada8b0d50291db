// The AddReg and DelReg rules: what a script line queues or why it is refused.
// What the commit's flags make of the value already there is decided in one
// place (the decisions test) and shown on the registry by the registry system
// test.
#include "CmdLineKeys.h"
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using qel::RegOp;
using qel::UpdateTransaction;
using qeltest::ExpectRaise;
using Bytes = std::vector<BYTE>;

Bytes Sz(const std::wstring& text) {  // a string as the registry stores it
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return Bytes(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
}

// Runs the DelReg and the AddReg handler on [Install] of a script with body.
void Queue(UpdateTransaction& transaction, const std::string& body) {
    const std::wstring path = qeltest::WriteScript(qeltest::MakeScratchFolder(L"regkeys") + L"\\qelwls.ini", body);
    qel::InfFile script;
    script.Open(path, qel::kInfNeutralLanguage);
    qel::DelRegKey(transaction, script, L"Install");
    qel::AddRegKey(transaction, script, L"Install");
}

// root, subkey, value name, type, flags, data, access
using Record = std::tuple<HKEY, std::wstring, std::wstring, DWORD, uint32_t, Bytes, uint32_t>;
std::vector<Record> Records(const std::vector<RegOp>& ops) {
    std::vector<Record> records;
    for (const RegOp& op : ops)
        records.emplace_back(op.root, op.subkey, op.valueName, op.type, op.flags, op.data, op.access);
    return records;
}

TEST(RegistryHandlers, EveryValueTypeAndRootIsQueuedWithItsExactData) {
    UpdateTransaction t;
    Queue(t, R"([Install]
DelReg=Del
AddReg=Reg.A,Reg.Missing
AddReg=Reg.B
[Del]
HKLM,Software\Qel,Value,2
HKCU,Software\Qel,,0x1F002
[Reg.A]
HKCU,Software\Qel,Text,0,"a, b",,1
HKCR,Qel,Multi,0x10000,one,,0
HKEY_USERS,.Default\Qel,Expand,0x20000,%%SystemRoot%%\qel,,0
HKEY_CURRENT_CONFIG,Qel,Binary,1,de,ad,00,ff
HKR,,DriverValue,0x10001,1,,0
[Reg.B]
HKLM,Software\Qel,None,0x20001,0a,0b,1
HKLM,Software\Qel,Empty,0x20001,,,0
HKLM,,,0,,,0
HKLM,Software\Qel,B,0x20000,res.dll,STRID_ISM_HP,0
HKLM,Software\Qel,C,0x10000,res.dll,strid_oem_sc_readme,0
HKLM,Software\Qel,D,0,res.dll,STRID_OTHER,0
HKLM,Software\Qel,E,0x10001,7,STRID_ISM_HP,0
)");
    const HKEY hklm = HKEY_LOCAL_MACHINE;
    const std::wstring qel = L"Software\\Qel";
    EXPECT_EQ(Records(t.RegAdds()),
              (std::vector<Record>{
                  {HKEY_CURRENT_USER, qel, L"Text", REG_SZ, 0, Sz(L"a, b"), 1},
                  // A multi-string line holds one item with a single terminator.
                  {HKEY_CLASSES_ROOT, L"Qel", L"Multi", REG_MULTI_SZ, 0x10000, Sz(L"one"), 0},
                  {HKEY_USERS, L".Default\\Qel", L"Expand", REG_EXPAND_SZ, 0x20000, Sz(L"%SystemRoot%\\qel"), 0},
                  // Binary data runs to the end of the line, yet field 7 (the
                  // third data byte, read as a number) is the access value;
                  // empty fields are zeros.
                  {HKEY_CURRENT_CONFIG, L"Qel", L"Binary", REG_BINARY, 1, {0xde, 0xad, 0x00, 0xff}, 0},
                  {hklm, qel, L"None", REG_NONE, 0x20001, {0x0a, 0x0b, 0x01}, 1},
                  {hklm, qel, L"Empty", REG_NONE, 0x20001, {0, 0, 0}, 0},
                  {hklm, L"", L"", REG_SZ, 0, Sz(L""), 0},
                  // A known string ID name appends its resource number to string data only.
                  {hklm, qel, L"B", REG_EXPAND_SZ, 0x20000, Sz(L"res.dll,-4494"), 0},
                  {hklm, qel, L"C", REG_MULTI_SZ, 0x10000, Sz(L"res.dll,-4749"), 0},
                  {hklm, qel, L"D", REG_SZ, 0, Sz(L"res.dll"), 0},
                  {hklm, qel, L"E", REG_DWORD, 0x10001, {7, 0, 0, 0}, 0},
              }));
    EXPECT_EQ(Records(t.RegDeletes()), (std::vector<Record>{{hklm, qel, L"Value", REG_NONE, 2, {}, 0},
                                                          {HKEY_CURRENT_USER, qel, L"", REG_NONE, 0x1F002, {}, 0}}));
    EXPECT_EQ(Records(t.RelativeRegAdds()),
              (std::vector<Record>{{qel::RelativeRoot(), L"", L"DriverValue", REG_DWORD, 0x10001, {1, 0, 0, 0}, 0}}));
}

// Each line follows a good one in [Lines]; the description follows
// "[Lines] line 2: " (null: not checked).
TEST(RegistryHandlers, MalformedLinesRaiseAndKeepWhatWasQueuedBefore) {
    const struct { const char *key, *line, *module; const wchar_t* description; } cases[] = {
        {"AddReg", "HKLM,Software\\Qel,V,0,x,", "CmdLine", L"field 7 missing or not valid"},
        {"AddReg", "HKLM,Software\\Qel,V,1,01,02", "CmdLine", L"field 7 missing or not valid"},
        {"AddReg", "HKLM,Software\\Qel,V,0", "CmdLine", L"field 5 missing or not valid"},
        {"AddReg", "HKLM,Software\\Qel,V,none,x,,0", "CmdLine", L"field 4 missing or not valid"},
        {"AddReg", "HKLM,Software\\Qel,V,0x30000,x,,0", "CmdLine", L"unknown value type bits 0x00030000"},
        {"AddReg", "HKLM,Software\\Qel,V,0x10009,1,,0", "CmdLine",
         L"append flag with a non-string type (flags 0x00010009)"},
        {"AddReg", "HKLM,Software\\Qel,V,1,abc,01,02", "DriverInf", nullptr},
        {"DelReg", "HKLM,,V,2", "CmdLine", L"empty subkey"},
        {"DelReg", "HKLM,Software\\Qel,V", "CmdLine", L"field 4 missing or not valid"},
    };
    for (const auto& c : cases) {
        UpdateTransaction t;
        const bool add = std::string(c.key) == "AddReg";
        const std::string good = add ? "HKLM,Software\\Qel,Good,0,x,,0\n" : "HKLM,Software\\Qel,Good,2\n";
        const auto raised =
            ExpectRaise([&] { Queue(t, std::string("[Install]\n") + c.key + "=Lines\n[Lines]\n" + good + c.line); });
        EXPECT_STREQ(raised.Module(), c.module) << c.line;
        if (c.description) {
            EXPECT_EQ(raised.Description(), L"[Lines] line 2: " + std::wstring(c.description)) << c.line;
        }
        EXPECT_EQ(t.RegAdds().size() + t.RegDeletes().size(), 1u) << c.line;
        EXPECT_TRUE(t.RelativeRegAdds().empty()) << c.line;
    }
}

}  // namespace
