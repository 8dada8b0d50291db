// The Util operations that ask Windows: version numbers, file versions,
// temporary files and folders, cabinets, signatures, rights and registry strings.
#include "Handles.h"
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using qel::JoinPath;
using qeltest::ExpectRaise;
using qeltest::TestBinDir;

std::wstring Quoted(const std::wstring& path) { return L"\"" + path + L"\""; }

// --- the Windows version number ------------------------------------------------

class WindowsVersion : public ::testing::Test {
protected:
    static constexpr const wchar_t* kProbe = L"winver_probe.exe";
    void TearDown() override { qeltest::SetWindowsVersion(kProbe, L""); }

    // The probe's first line under the version Wine reports for it ("" for the
    // prefix's default).
    static std::string ProbeUnder(const std::wstring& version) {
        qeltest::SetWindowsVersion(kProbe, version);
        const auto run = qeltest::RunProgram(Quoted(JoinPath(TestBinDir(), kProbe)));
        EXPECT_EQ(run.exitCode, 0u);
        return run.out.substr(0, run.out.find("\r\n"));
    }
};

TEST_F(WindowsVersion, NumberFollowsThePlatformAndVersion) {
    // The later tests ask the manifest-aware checks for 8.1 (6.3) and 10.0.
    EXPECT_EQ(ProbeUnder(L"win10"), "winver=8 nt=1 6.3=1 10.0=1");
    EXPECT_EQ(ProbeUnder(L""), "winver=8 nt=1 6.3=0 10.0=0");  // the test prefix's default is Windows 7
    EXPECT_EQ(ProbeUnder(L"win81"), "winver=8 nt=1 6.3=1 10.0=0");
    EXPECT_EQ(ProbeUnder(L"win7"), "winver=8 nt=1 6.3=0 10.0=0");
    EXPECT_EQ(ProbeUnder(L"vista"), "winver=8 nt=1 6.3=0 10.0=0");
    EXPECT_EQ(ProbeUnder(L"winxp64"), "winver=7 nt=1 6.3=0 10.0=0");
    EXPECT_EQ(ProbeUnder(L"win2k"), "winver=5 nt=1 6.3=0 10.0=0");
    EXPECT_EQ(ProbeUnder(L"nt40"), "winver=2 nt=1 6.3=0 10.0=0");
}

TEST(GetModulePath, PathLongerThanMaxPathIsReadWhole) {
    // A DLL loaded from a folder deeper than 260 characters, made level by
    // level (the shell's folder-tree call stops at MAX_PATH).
    std::wstring folder = qeltest::MakeScratchFolder(L"longmodule");
    while (folder.size() < 300) {
        folder = JoinPath(folder, std::wstring(40, L'm'));
        ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    }
    const std::wstring dll = JoinPath(folder, L"qel_versioned.dll");
    qeltest::CopyFileOrFail(JoinPath(TestBinDir(), L"qel_versioned.dll"), dll);
    qel::UniqueLibrary module(::LoadLibraryW(dll.c_str()));
    ASSERT_TRUE(module.Valid()) << ::GetLastError();
    std::wstring out;
    qel::GetModulePath(module.Get(), out);
    EXPECT_EQ(out, dll);
    qel::GetModuleDirectory(module.Get(), out);
    EXPECT_EQ(out, folder);
}

// --- file versions -----------------------------------------------------------------

TEST(FileVersion, ReadsTheFixedVersionAndTheFirstTranslationsStrings) {
    const std::wstring dll = JoinPath(TestBinDir(), L"qel_versioned.dll");
    uint64_t number = 0;
    ASSERT_TRUE(qel::GetFileVersionNumber(dll, number));
    EXPECT_EQ(number, 0x0001000200030004ULL);

    std::wstring text = L"stale";
    EXPECT_TRUE(qel::GetFileVersionString(dll, L"CompanyName", text));
    EXPECT_EQ(text, L"Qel Testfirma");  // the German block is listed first
    EXPECT_TRUE(qel::GetFileVersionString(dll, L"FileVersion", text));
    EXPECT_EQ(text, L"1.2.3.4");
    text = L"stale";
    EXPECT_FALSE(qel::GetFileVersionString(dll, L"NoSuchItem", text));
    EXPECT_EQ(text, L"");
}

TEST(FileVersion, FileWithoutVersionResourceIsFalse) {
    // A program with a manifest only; a missing file is the same.
    for (const auto& file : {JoinPath(TestBinDir(), L"winver_probe.exe"), JoinPath(TestBinDir(), L"missing.dll")}) {
        uint64_t number = 42;
        EXPECT_FALSE(qel::GetFileVersionNumber(file, number)) << qeltest::Utf8(file);
        std::wstring text = L"stale";
        EXPECT_FALSE(qel::GetFileVersionString(file, L"CompanyName", text));
        EXPECT_EQ(text, L"");
    }
}

// --- temporary files, folders and existence ------------------------------------------

TEST(MakeTempFile, CreatesAnEmptyQelFileInTheFolder) {
    const std::wstring folder = qeltest::MakeScratchFolder(L"tempfile");
    std::wstring first, second;
    qel::MakeTempFile(folder, first);
    qel::MakeTempFile(folder, second);
    EXPECT_NE(first, second);
    for (const auto& path : {first, second}) {
        EXPECT_EQ(qel::DirectoryOf(path), folder);
        const std::wstring name = qel::Lowercase(qel::GetFileNamePart(path));
        // qel, the unique number in up to four hex digits (no leading zeros), .tmp
        EXPECT_TRUE(std::regex_match(name, std::wregex(L"qel[0-9a-f]{1,4}\\.tmp"))) << qeltest::Utf8(name);
        EXPECT_EQ(qeltest::ReadFileBytes(path), "");
    }
}

TEST(MakeTempFile, MissingFolderRaisesWithTheFolder) {
    const std::wstring folder = qeltest::MakeScratchFolder(L"tempfile-missing") + L"\\absent";
    std::wstring out = L"stale";
    const auto raised = ExpectRaise([&] { qel::MakeTempFile(folder, out); });
    EXPECT_STREQ(raised.Module(), "Util");
    EXPECT_STREQ(raised.Description(), folder.c_str());
    EXPECT_NE(raised.Error(), 0u);
    EXPECT_EQ(out, L"stale");
}

TEST(CreateDirectoryTree, CreatesNestedFoldersAcceptsExistingOnesAndRaisesOtherwise) {
    const std::wstring root = qeltest::MakeScratchFolder(L"tree");
    const std::wstring nested = root + L"\\a\\b\\c";
    qel::CreateDirectoryTree(nested);
    EXPECT_TRUE(qeltest::PathExists(nested));
    qel::CreateDirectoryTree(nested);  // already there: fine

    qeltest::WriteFileBytes(root + L"\\file", "x");
    const std::wstring underFile = root + L"\\file\\sub";
    const auto raised = ExpectRaise([&] { qel::CreateDirectoryTree(underFile); });
    EXPECT_STREQ(raised.Module(), "Util");
    EXPECT_STREQ(raised.Description(), underFile.c_str());
    EXPECT_NE(raised.Error(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST(FileExists, FilesFoldersAndWildcardsCount) {
    const std::wstring root = qeltest::MakeScratchFolder(L"exists");
    qeltest::WriteFileBytes(root + L"\\sub\\one.txt", "1");
    EXPECT_TRUE(qel::FileExists(root + L"\\sub\\one.txt"));
    EXPECT_TRUE(qel::FileExists(root + L"\\sub"));
    EXPECT_TRUE(qel::FileExists(root + L"\\sub\\*.txt"));
    EXPECT_TRUE(qel::FileExists(root + L"\\sub\\o?e.*"));
    EXPECT_FALSE(qel::FileExists(root + L"\\sub\\*.dll"));
    EXPECT_FALSE(qel::FileExists(root + L"\\sub\\two.txt"));
    EXPECT_FALSE(qel::FileExists(root + L"\\nosuch\\one.txt"));
}

// --- cabinets and signatures -----------------------------------------------------

TEST(ExtractFileFromCabinet, ExtractsOnlyTheNamedFile) {
    const std::wstring cabinet = JoinPath(TestBinDir(), L"fixture.cab");
    const std::wstring originals = JoinPath(TestBinDir(), L"cabinet");
    const std::wstring out = qeltest::MakeScratchFolder(L"cabinet");

    // Names match whatever their case; a file in a sub-folder of the cabinet is
    // named with its folder. The walk is aborted once the file is out; Wine
    // takes the abort as a skip and returns TRUE, Windows stops and returns FALSE.
    EXPECT_TRUE(qel::ExtractFileFromCabinet(cabinet, L"ALPHA.txt", out + L"\\first.txt"));
    EXPECT_EQ(qeltest::ReadFileBytes(out + L"\\first.txt"), qeltest::ReadFileBytes(originals + L"\\alpha.txt"));
    EXPECT_TRUE(qel::ExtractFileFromCabinet(cabinet, L"sub\\Gamma.txt", out + L"\\gamma.txt"));
    EXPECT_EQ(qeltest::ReadFileBytes(out + L"\\gamma.txt"), qeltest::ReadFileBytes(originals + L"\\sub\\gamma.txt"));
    EXPECT_TRUE(qel::ExtractFileFromCabinet(cabinet, L"omega.txt", out + L"\\omega.txt"));
    EXPECT_EQ(qeltest::ReadFileBytes(out + L"\\omega.txt"), qeltest::ReadFileBytes(originals + L"\\omega.txt"));

    EXPECT_FALSE(qel::ExtractFileFromCabinet(cabinet, L"gamma.txt", out + L"\\bare.txt"));  // folder missing
    qeltest::TraceCapture trace;
    EXPECT_FALSE(qel::ExtractFileFromCabinet(cabinet, L"absent.txt", out + L"\\absent.txt"));
    EXPECT_EQ(trace.Lines(), (std::vector<std::string>{
                                 "ExtractFileFromCabinet: cabFile " + qeltest::Utf8(cabinet) +
                                     ", filename absent.txt, dest " + qeltest::Utf8(out) + "\\absent.txt",
                                 "ExtractFileFromCabinet: result = 1, extracted = 0",
                             }));
    EXPECT_FALSE(qeltest::PathExists(out + L"\\bare.txt"));
    EXPECT_FALSE(qeltest::PathExists(out + L"\\absent.txt"));

}

TEST(VerifyTrust, UnsignedFileIsNotTrusted) {
    const std::wstring folder = qeltest::MakeScratchFolder(L"trust");
    qeltest::WriteFileBytes(folder + L"\\plain.cat", "not a catalog");
    EXPECT_FALSE(qel::VerifyTrust(folder + L"\\plain.cat"));
    EXPECT_FALSE(qel::VerifyTrust(JoinPath(TestBinDir(), L"qel_versioned.dll")));
}

// --- registry -------------------------------------------------------------------------

class RegistryRead : public ::testing::Test {
protected:
    static constexpr const wchar_t* kKey = L"Software\\QelUnitTests\\Registry";
    void SetUp() override {
        qeltest::DeleteRegTree(HKEY_CURRENT_USER, kKey);
        ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key_.Put(),
                                    nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        key_.Reset();
        qeltest::DeleteRegTree(HKEY_CURRENT_USER, kKey);
    }
    void SetRaw(const wchar_t* name, DWORD type, const void* data, DWORD bytes) {
        ASSERT_EQ(::RegSetValueExW(key_.Get(), name, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
    }
    qel::UniqueKey key_;
};

TEST_F(RegistryRead, QueryStringValueCopesWithMissingTerminators) {
    SetRaw(L"Plain", REG_SZ, L"C:\\Program Files", sizeof(L"C:\\Program Files"));
    SetRaw(L"Unterminated", REG_SZ, L"abcdef", 6 * sizeof(wchar_t));
    SetRaw(L"Empty", REG_SZ, L"", 0);
    std::wstring out;
    EXPECT_EQ(qel::QueryStringValue(key_.Get(), L"Plain", out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"C:\\Program Files");
    EXPECT_EQ(qel::QueryStringValue(key_.Get(), L"Unterminated", out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"abcdef");
    EXPECT_EQ(qel::QueryStringValue(key_.Get(), L"Empty", out), ERROR_SUCCESS);
    EXPECT_EQ(out, L"");
    out = L"kept";
    EXPECT_EQ(qel::QueryStringValue(key_.Get(), L"Missing", out), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(out, L"kept");
}

}  // namespace
