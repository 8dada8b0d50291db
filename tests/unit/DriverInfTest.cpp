// InfFile on a real script: which of a section and its .amd64 twin is read,
// and integer fields that do not fit a signed int.
#include "DriverInf.h"
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

namespace {

using qel::InfFile;

// The twin replaces the plain section, also when empty; the decoration is
// tried again on the decorated name. Flags past INT_MAX keep their bits; what
// is no number is a missing field and leaves the value alone.
TEST(InfScript, DecoratedSectionsAndIntegerFields) {
    InfFile inf;
    inf.Open(qeltest::WriteScript(qeltest::MakeScratchFolder(L"inf-script") + L"\\script.inf",
                                  "[CopyFiles]\nA=plain\nOnlyPlain=1\n[CopyFiles.amd64]\nA=decorated\n"
                                  "[Empty]\nZ=1\n[Empty.amd64]\n"
                                  "[Twice.amd64]\nK=once\n[Twice.amd64.amd64]\nK=twice\n"
                                  "[Data]\nNums=0x10,0x80000040,abc,-5,0xFFFFFFFF,2147483647,-2147483648\n"),
             qel::kInfNeutralLanguage);
    const struct { const wchar_t *section, *key; qel::InfStatus status; const wchar_t* value; } keys[] = {
        {L"CopyFiles", L"A", qel::InfOk, L"decorated"},
        {L"CopyFiles", L"OnlyPlain", qel::InfLineMissing, L""},
        {L"Empty", L"Z", qel::InfLineMissing, L""},
        {L"Twice", L"K", qel::InfOk, L"twice"},
    };
    for (const auto& c : keys) {
        std::wstring out;
        EXPECT_EQ(inf.GetKeyField(c.section, c.key, 1, out), c.status) << qeltest::Utf8(c.section);
        EXPECT_EQ(out, c.value);
    }
    long count = -1;
    EXPECT_EQ(inf.GetLineCount(L"Empty", count), qel::InfOk);
    EXPECT_EQ(count, 0);

    const struct { DWORD line, field; qel::InfStatus status; int value; } fields[] = {
        {0, 1, qel::InfOk, 16},         {0, 2, qel::InfOk, static_cast<int>(0x80000040u)},
        {0, 3, qel::InfFieldMissing, 7}, {0, 4, qel::InfOk, -5},
        {0, 5, qel::InfOk, -1},          {0, 6, qel::InfOk, 2147483647},
        {0, 7, qel::InfOk, static_cast<int>(0x80000000u)},
        {0, 9, qel::InfFieldMissing, 7}, {99, 1, qel::InfLineMissing, 7},
    };
    for (const auto& c : fields) {
        int value = 7;
        EXPECT_EQ(inf.GetIntField(L"Data", c.line, c.field, value), c.status) << c.line << "," << c.field;
        EXPECT_EQ(value, c.value) << c.line << "," << c.field;
    }
}

// Where a file comes from is SetupAPI's answer, also when [SourceDisksFiles]
// is read once for all names: for names in any case, the first line of a
// name, the platform's section before the plain one, lines whose disk or
// sub-folder differ, a disk that is no number and names not listed. A script
// whose names go beyond ASCII is asked name by name.
TEST(SourceFiles, LocationsAreSetupApisAnswers) {
    const std::wstring folder = qeltest::MakeScratchFolder(L"inf-sources");
    const std::string body =
        "[SourceDisksNames]\n1=\"one\",,,\n2=\"two\",,,sub\n3=\"three\",pack.cab,,deep\\er\n"
        "[SourceDisksFiles]\nA.TXT=1\nb.txt=2\nb.txt=1\nc.txt=2,own\nd.txt=3\ne.txt=x\nf.txt=9\ng.txt=1,,123\n"
        "h.txt=2\nPlat.txt=1\n"
        "[SourceDisksFiles.amd64]\nplat.TXT=3\n";
    const std::vector<std::wstring> names = {L"a.txt", L"A.TXT", L"b.txt", L"c.txt", L"d.txt", L"e.txt", L"f.txt",
                                             L"g.txt", L"h.txt", L"plat.txt", L"none.txt", L"", L"\u00e4.txt"};
    for (const char* extra : {"", "\u00e4.txt=2\n"}) {
        const std::wstring path = qeltest::WriteScript(folder + L"\\script" + std::to_wstring(*extra != 0) + L".inf",
                                                       body + extra);
        InfFile inf;
        inf.Open(path, qel::kInfNeutralLanguage);
        qel::UniqueInf oracle(::SetupOpenInfFileW(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr));
        ASSERT_TRUE(oracle.Valid());
        for (const std::wstring& name : names) {
            SCOPED_TRACE(qeltest::Utf8(name) + (*extra ? " (names beyond ASCII)" : ""));
            UINT expectedId = 0;
            wchar_t expectedFolder[MAX_PATH] = {};
            const bool expected = ::SetupGetSourceFileLocationW(oracle.Get(), nullptr, name.c_str(), &expectedId,
                                                                expectedFolder, MAX_PATH, nullptr) != FALSE;
            UINT id = 0;
            std::wstring subFolder = L"unchanged";
            EXPECT_EQ(inf.GetSourceFileLocation(name, id, subFolder), expected);
            if (expected) {
                EXPECT_EQ(id, expectedId);
                EXPECT_EQ(subFolder, expectedFolder);
            }
        }
    }
}

}  // namespace
