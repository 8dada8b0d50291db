// InfFile on real INF files: platform decoration, statuses for what is absent,
// field access, [DestinationDirs], driver INF columns and localized opens.
#include "DriverInf.h"
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>
#include <shlobj.h>

namespace {

using qel::InfFile;
using qel::kInfNeutralLanguage;
using qeltest::ExpectRaise;
using qeltest::TraceCapture;
using Strings = std::vector<std::wstring>;

constexpr char kVersionSection[] = "[Version]\nSignature=\"$Windows NT$\"\n";

// Writes an INF (the [Version] section first, LF turned into CR LF) into a
// scratch folder of the test and returns its path.
std::wstring WriteInf(const std::wstring& name, const std::string& body, bool withVersion = true) {
    const std::string text = (withVersion ? kVersionSection : "") + body;
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::wstring path = qeltest::MakeScratchFolder(L"inf-" + name) + L"\\" + name + L".inf";
    qeltest::WriteFileBytes(path, crlf);
    return path;
}

// --- opening ------------------------------------------------------------------------

TEST(InfOpen, MissingFileRaisesWithThePathAsGiven) {
    const std::wstring folder = qeltest::MakeScratchFolder(L"inf-missing");
    const std::wstring asGiven = folder + L"/sub/../missing.inf";  // not the full path
    InfFile inf;
    const auto raised = ExpectRaise([&] { inf.Open(asGiven, kInfNeutralLanguage); });
    EXPECT_STREQ(raised.Module(), "DriverInf");
    EXPECT_STREQ(raised.Description(), asGiven.c_str());
    EXPECT_EQ(raised.Error(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(InfOpen, NeedsTheWindowsNtSignature) {
    const std::wstring path = WriteInf(L"nosignature", "[Install]\nCopyFiles=A\n", false);
    InfFile inf;
    const auto raised = ExpectRaise([&] { inf.Open(path, kInfNeutralLanguage); });
    EXPECT_STREQ(raised.Description(), path.c_str());
    EXPECT_EQ(raised.Error(), static_cast<DWORD>(ERROR_WRONG_INF_STYLE));
}

TEST(InfOpen, PathAndDirectoryAreTheFullPath) {
    const std::wstring path = WriteInf(L"paths", "[Install]\n");
    std::wstring slashed = path;
    for (auto& c : slashed)
        if (c == L'\\') c = L'/';
    InfFile unopened;
    std::wstring out = L"stale";
    ExpectRaise([&] { unopened.GetPath(out); });
    ExpectRaise([&] { unopened.GetDirectory(out); });
    EXPECT_EQ(out, L"");

    InfFile inf;
    inf.Open(slashed, kInfNeutralLanguage);
    inf.GetPath(out);
    EXPECT_EQ(out, path);
    inf.GetDirectory(out);
    EXPECT_EQ(out, qel::DirectoryOf(path));
}

// --- sections, lines and fields ------------------------------------------------------

class InfScript : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::wstring path = WriteInf(L"script", R"(
[Install]
CopyFiles=Files.App,Files.Help
AddReg=Reg.App
copyfiles=Files.Extra

[CopyFiles]
A=plain
OnlyPlain=1
[CopyFiles.amd64]
A=decorated
B=second

[Empty]
Z=1
[Empty.amd64]

[Twice.amd64]
K=once
[Twice.amd64.amd64]
K=twice

[Data]
Text=%Mfg%,"quoted, comma",plain ; comment
Nums=0x10,42,abc,-5,,12abc
Bin=01,ff,0a
Gaps=a,,c
Values=1,2

[Strings]
Mfg="Qel Maker"
)");
        inf_ = new InfFile;
        inf_->Open(path, kInfNeutralLanguage);
    }
    static void TearDownTestSuite() { delete inf_; }

    static InfFile* inf_;
};
InfFile* InfScript::inf_ = nullptr;

TEST_F(InfScript, DecoratedSectionReplacesThePlainOne) {
    std::wstring out;
    EXPECT_EQ(inf_->GetKeyField(L"CopyFiles", L"A", 1, out), qel::InfOk);
    EXPECT_EQ(out, L"decorated");
    EXPECT_EQ(inf_->GetKeyField(L"CopyFiles", L"OnlyPlain", 1, out), qel::InfLineMissing);
    long count = -1;
    EXPECT_EQ(inf_->GetLineCount(L"CopyFiles", count), qel::InfOk);
    EXPECT_EQ(count, 2);
    Strings keys;
    EXPECT_EQ(inf_->GetColumn(L"CopyFiles", 0, keys), qel::InfOk);
    EXPECT_EQ(keys, (Strings{L"A", L"B"}));

    // An empty decorated section still wins.
    EXPECT_EQ(inf_->GetLineCount(L"Empty", count), qel::InfOk);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(inf_->GetKeyField(L"Empty", L"Z", 1, out), qel::InfLineMissing);

    // The decoration is tried again on the decorated name.
    EXPECT_EQ(inf_->GetKeyField(L"Twice", L"K", 1, out), qel::InfOk);
    EXPECT_EQ(out, L"twice");

    EXPECT_TRUE(inf_->SectionExists(L"Empty.amd64"));
    EXPECT_FALSE(inf_->SectionExists(L"Absent"));
}

TEST_F(InfScript, MissingSectionIsAStatus) {
    TraceCapture trace;
    long count = 42;
    EXPECT_EQ(inf_->GetLineCount(L"Absent", count), qel::InfSectionMissing);
    EXPECT_EQ(count, 42);
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"[Absent] section is missing."}));

    // SetupAPI reports a missing section as a missing line to line lookups
    // (Windows does the same), so these give InfLineMissing and log nothing.
    INFCONTEXT context;
    EXPECT_EQ(inf_->FindFirstLine(L"Absent", L"Key", context), qel::InfLineMissing);
    EXPECT_EQ(inf_->GetLineByIndex(L"Absent", 0, context), qel::InfLineMissing);
    std::vector<std::wstring> list = {L"stale"};
    EXPECT_NE(inf_->GetKeyValues(L"Absent", L"Key", list), qel::InfOk);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(trace.Lines().size(), 1u);
}

TEST_F(InfScript, KeyValuesCollectEveryLineWithTheKey) {
    Strings list = {L"stale"};
    EXPECT_EQ(inf_->GetKeyValues(L"Install", L"CopyFiles", list), qel::InfOk);
    EXPECT_EQ(list, (Strings{L"Files.App", L"Files.Help", L"Files.Extra"}));
    EXPECT_EQ(inf_->GetKeyValues(L"Install", L"AddReg", list), qel::InfOk);
    EXPECT_EQ(list, (Strings{L"Reg.App"}));
    list = {L"stale"};
    EXPECT_EQ(inf_->GetKeyValues(L"Install", L"DelReg", list), qel::InfLineMissing);
    EXPECT_TRUE(list.empty());
}

TEST_F(InfScript, StringFieldsAndLineText) {
    std::wstring out;
    EXPECT_EQ(inf_->GetKeyField(L"Data", L"Text", 0, out), qel::InfOk);
    EXPECT_EQ(out, L"Text");  // field 0 is the key
    EXPECT_EQ(inf_->GetKeyField(L"Data", L"Text", 1, out), qel::InfOk);
    EXPECT_EQ(out, L"Qel Maker");
    EXPECT_EQ(inf_->GetKeyField(L"Data", L"Text", 2, out), qel::InfOk);
    EXPECT_EQ(out, L"quoted, comma");
    EXPECT_EQ(inf_->GetKeyField(L"Data", L"Gaps", 2, out), qel::InfOk);
    EXPECT_EQ(out, L"");
    EXPECT_EQ(inf_->GetLineText(L"Data", L"Text", out), qel::InfOk);
    EXPECT_EQ(out, L"Qel Maker,quoted, comma,plain");
    out = L"stale";
    EXPECT_EQ(inf_->GetLineText(L"Data", L"Nothing", out), qel::InfLineMissing);
    EXPECT_EQ(out, L"");

    // Past the last field: a status, and the out-string keeps its text.
    INFCONTEXT context;
    ASSERT_EQ(inf_->FindFirstLine(L"Data", L"Values", context), qel::InfOk);
    out = L"kept";
    EXPECT_EQ(inf_->GetField(context, 3, out), qel::InfFieldMissing);
    EXPECT_EQ(out, L"kept");
    // Also when an earlier call left an unrelated error behind.
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(inf_->GetField(context, 9, out), qel::InfFieldMissing);
    EXPECT_EQ(inf_->GetField(context, 2, out), qel::InfOk);
    EXPECT_EQ(out, L"2");
}

TEST_F(InfScript, LineFieldsByPosition) {
    // [Data] lines: Text, Nums, Bin, Gaps, Values.
    std::wstring out = L"kept";
    EXPECT_EQ(inf_->GetLineField(L"Data", 5, 0, out), qel::InfLineMissing);
    EXPECT_EQ(out, L"kept");
    EXPECT_EQ(inf_->GetLineField(L"Data", 4, -1, out), qel::InfOk);
    EXPECT_EQ(out, L"1,2");
    EXPECT_EQ(inf_->GetLineField(L"Data", 4, 5, out), qel::InfFieldMissing);
    EXPECT_EQ(out, L"1,2");

    Strings column;
    EXPECT_EQ(inf_->GetColumn(L"Data", 0, column), qel::InfOk);
    EXPECT_EQ(column, (Strings{L"Text", L"Nums", L"Bin", L"Gaps", L"Values"}));
    EXPECT_EQ(inf_->GetColumn(L"Data", -1, column), qel::InfOk);
    EXPECT_EQ(column[4], L"1,2");
    // Values has no field 3: the lines before it are kept.
    EXPECT_EQ(inf_->GetColumn(L"Data", 3, column), qel::InfFieldMissing);
    EXPECT_EQ(column, (Strings{L"plain", L"abc", L"0a", L"c"}));
    column = {L"stale"};
    EXPECT_EQ(inf_->GetColumn(L"Absent", 0, column), qel::InfSectionMissing);
    EXPECT_TRUE(column.empty());
}

TEST_F(InfScript, IntegerFields) {
    const struct {
        DWORD field;
        qel::InfStatus status;
        int value;
    } cases[] = {
        {1, qel::InfOk, 16},           // 0x10
        {2, qel::InfOk, 42},
        {3, qel::InfFieldMissing, 7},  // abc: not a number
        {4, qel::InfOk, -5},
        {6, qel::InfFieldMissing, 7},  // 12abc
        {9, qel::InfFieldMissing, 7},  // past the end
    };
    for (const auto& c : cases) {
        int value = 7;
        EXPECT_EQ(inf_->GetIntField(L"Data", 1, c.field, value), c.status) << c.field;
        EXPECT_EQ(value, c.value) << c.field;
    }
    int value = 7;
    EXPECT_EQ(inf_->GetIntField(L"Data", 99, 1, value), qel::InfLineMissing);
}

TEST_F(InfScript, BinaryFields) {
    std::vector<BYTE> bytes;
    EXPECT_EQ(inf_->GetBinaryField(L"Data", 2, 1, bytes), qel::InfOk);
    EXPECT_EQ(bytes, (std::vector<BYTE>{0x01, 0xFF, 0x0A}));
    EXPECT_EQ(inf_->GetBinaryField(L"Data", 2, 3, bytes), qel::InfOk);  // from field 3 on
    EXPECT_EQ(bytes, (std::vector<BYTE>{0x0A}));
    const auto raised = ExpectRaise([&] { inf_->GetBinaryField(L"Data", 2, 5, bytes); });
    EXPECT_STREQ(raised.Module(), "DriverInf");
    EXPECT_EQ(inf_->GetBinaryField(L"Data", 99, 1, bytes), qel::InfLineMissing);
}

// --- driver INF reading -----------------------------------------------------------------

std::wstring KnownFolder(int csidl) {
    wchar_t buffer[MAX_PATH];
    EXPECT_TRUE(::SHGetSpecialFolderPathW(nullptr, buffer, csidl, FALSE));
    return buffer;
}

TEST(InfDriver, TargetPathsComeFromDestinationDirs) {
    const std::wstring path = WriteInf(L"destdirs", R"(
[DestinationDirs]
DefaultDestDir=11
Files.App=16422,"Qel App"
Files.Drv=12
Files.Win.amd64=10,qel
[Files.App]
[Files.Win]
[Files.Win.amd64]
)");
    InfFile inf;
    inf.Open(path, kInfNeutralLanguage);
    const std::wstring windows = KnownFolder(CSIDL_WINDOWS), system = KnownFolder(CSIDL_SYSTEM);
    std::wstring out;
    inf.GetTargetPath(L"Files.App", out);
    EXPECT_EQ(_wcsicmp(out.c_str(), (KnownFolder(CSIDL_PROGRAM_FILES) + L"\\Qel App").c_str()), 0)
        << qeltest::Utf8(out);
    inf.GetTargetPath(L"Files.Drv", out);
    EXPECT_EQ(_wcsicmp(out.c_str(), (system + L"\\drivers").c_str()), 0) << qeltest::Utf8(out);
    inf.GetTargetPath(L"Files.Win", out);  // through Files.Win.amd64
    EXPECT_EQ(_wcsicmp(out.c_str(), (windows + L"\\qel").c_str()), 0) << qeltest::Utf8(out);
    inf.GetTargetPath(L"Unlisted", out);
    EXPECT_EQ(_wcsicmp(out.c_str(), system.c_str()), 0) << qeltest::Utf8(out);
}

TEST(InfDriver, SourceDisksFilesPreferTheDecoratedSection) {
    InfFile plain;
    plain.Open(WriteInf(L"sdf-plain", "[SourceDisksFiles]\nqel.sys=1\nqelco.dll=1,sub\n"), kInfNeutralLanguage);
    Strings files;
    plain.GetSourceDisksFiles(files);
    EXPECT_EQ(files, (Strings{L"qel.sys", L"qelco.dll"}));

    InfFile decorated;
    decorated.Open(WriteInf(L"sdf-amd64", "[SourceDisksFiles]\nqel.sys=1\n[SourceDisksFiles.amd64]\nqel64.sys=1\n"),
                   kInfNeutralLanguage);
    decorated.GetSourceDisksFiles(files);
    EXPECT_EQ(files, (Strings{L"qel64.sys"}));

    InfFile none;
    none.Open(WriteInf(L"sdf-none", "[Install]\n"), kInfNeutralLanguage);
    // Like every failed read past Open, without a description.
    const auto raised = ExpectRaise([&] { none.GetSourceDisksFiles(files); });
    EXPECT_STREQ(raised.Module(), "DriverInf");
    EXPECT_EQ(raised.Description(), nullptr);
}

TEST(InfDriver, ModelHardwareIdsAreTheFirstIdOfEveryModel) {
    InfFile inf;
    inf.Open(WriteInf(L"models", R"(
[Manufacturer]
%Mfg%=QelModels,NTamd64
[QelModels]
%Wrong%=Wrong.Install,USB\VID_FFFF&PID_FFFF
[QelModels.NTamd64]
%Dev1%=Qel.Install,USB\VID_1234&PID_0001,USB\VID_1234
%Dev2%=Qel.Install,PCI\VEN_1234&DEV_0002
[Strings]
Mfg="Qel"
Dev1="Qel USB adapter"
Dev2="Qel PCI adapter"
Wrong="Wrong"
)"),
             kInfNeutralLanguage);
    Strings ids = {L"stale"};
    inf.GetModelHardwareIds(ids);
    EXPECT_EQ(ids, (Strings{L"USB\\VID_1234&PID_0001", L"PCI\\VEN_1234&DEV_0002"}));

    InfFile missing;
    missing.Open(WriteInf(L"models-missing", "[Manufacturer]\n%Mfg%=Absent,NTamd64\n[Strings]\nMfg=Qel\n"),
                 kInfNeutralLanguage);
    const auto raised = ExpectRaise([&] { missing.GetModelHardwareIds(ids); });
    EXPECT_STREQ(raised.Module(), "DriverInf");
    EXPECT_EQ(raised.Description(), nullptr);
}

// --- languages ---------------------------------------------------------------------------

class InfLanguage : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = WriteInf(L"language", R"(
[Install]
Greeting=%Greeting%
[Strings]
Greeting="Hello"
[Strings.0407]
Greeting="Hallo"
)");
        locale_ = ::GetThreadLocale();
    }
    void TearDown() override { ::SetThreadLocale(locale_); }

    std::wstring Greeting(InfFile& inf) {
        std::wstring out;
        EXPECT_EQ(inf.GetKeyField(L"Install", L"Greeting", 1, out), qel::InfOk);
        return out;
    }

    std::wstring path_;
    LCID locale_ = 0;
};

TEST_F(InfLanguage, NeutralLanguageLeavesTheThreadLocaleAlone) {
    TraceCapture trace;
    InfFile inf;
    inf.Open(path_, kInfNeutralLanguage);
    EXPECT_EQ(::GetThreadLocale(), locale_);
    EXPECT_TRUE(trace.Lines().empty());
    EXPECT_EQ(Greeting(inf), L"Hello");
}

TEST_F(InfLanguage, OtherLanguageIsSetForTheOpenOnly) {
    const LCID english = MAKELCID(0x0409, SORT_DEFAULT);
    ASSERT_TRUE(::SetThreadLocale(english));
    TraceCapture trace;
    InfFile inf;
    inf.Open(path_, 0x0407);
    EXPECT_EQ(::GetThreadLocale(), english);
    // Wine ignores [Strings.LLLL] and always takes [Strings]; Windows would give "Hallo" here.
    EXPECT_EQ(Greeting(inf), L"Hello");

    // The locale is set back also when the open fails.
    const LCID german = MAKELCID(0x0407, SORT_DEFAULT);
    ASSERT_TRUE(::SetThreadLocale(german));
    InfFile missing;
    ExpectRaise([&] { missing.Open(path_ + L".absent", 0x0409); });
    EXPECT_EQ(::GetThreadLocale(), german);
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{"Current thread locale 0x0409, setting to 0x0407",
                                                       "Current thread locale 0x0407, setting to 0x0409"}));
}

}  // namespace
