// The Util operations that ask Windows: version numbers, file versions,
// temporary files and folders, cabinets, signatures, rights and registry strings.
#include "Handles.h"
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

namespace {

using qel::JoinPath;
using qeltest::ExpectRaise;
using qeltest::TestBinDir;

// --- the Windows version number ------------------------------------------------

TEST(WindowsVersion, NumberFollowsThePlatformAndVersion) {
    // The probe prints the number, then the manifest-aware checks for 8.1 (6.3)
    // and 10.0. Vista is the boundary of the driver store keys.
    const struct {
        const wchar_t* version;
        const char* line;
    } cases[] = {
        {L"win10", "winver=8 nt=1 6.3=1 10.0=1"},  {L"win81", "winver=8 nt=1 6.3=1 10.0=0"},
        {L"vista", "winver=8 nt=1 6.3=0 10.0=0"},  {L"winxp64", "winver=7 nt=1 6.3=0 10.0=0"},
        {L"win2k", "winver=5 nt=1 6.3=0 10.0=0"},  {L"nt40", "winver=2 nt=1 6.3=0 10.0=0"},
    };
    const wchar_t* probe = L"winver_probe.exe";
    for (const auto& c : cases) {
        qeltest::SetWindowsVersion(probe, c.version);
        const auto run = qeltest::RunProgram(L"\"" + JoinPath(TestBinDir(), probe) + L"\"");
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_EQ(run.out.substr(0, run.out.find("\r\n")), c.line) << qeltest::Utf8(c.version);
    }
    qeltest::SetWindowsVersion(probe, L"");
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
    EXPECT_FALSE(qel::GetFileVersionString(dll, L"NoSuchItem", text));
    EXPECT_EQ(text, L"");

    // A program with a manifest only, and a missing file.
    for (const auto& file : {JoinPath(TestBinDir(), L"winver_probe.exe"), JoinPath(TestBinDir(), L"missing.dll")}) {
        EXPECT_FALSE(qel::GetFileVersionNumber(file, number)) << qeltest::Utf8(file);
        text = L"stale";
        EXPECT_FALSE(qel::GetFileVersionString(file, L"CompanyName", text));
        EXPECT_EQ(text, L"");
    }
}

// --- temporary files, folders and existence ------------------------------------------

TEST(FileSystem, FailuresRaiseWithThePath) {
    const std::wstring root = qeltest::MakeScratchFolder(L"filesystem");
    std::wstring out = L"stale";
    auto raised = ExpectRaise([&] { qel::MakeTempFile(root + L"\\absent", out); });
    EXPECT_STREQ(raised.Module(), "Util");
    EXPECT_STREQ(raised.Description(), (root + L"\\absent").c_str());
    EXPECT_NE(raised.Error(), 0u);
    EXPECT_EQ(out, L"stale");

    qel::CreateDirectoryTree(root + L"\\a\\b");
    qel::CreateDirectoryTree(root + L"\\a\\b");  // already there: fine
    qeltest::WriteFileBytes(root + L"\\file", "x");
    raised = ExpectRaise([&] { qel::CreateDirectoryTree(root + L"\\file\\sub"); });
    EXPECT_STREQ(raised.Module(), "Util");
    EXPECT_STREQ(raised.Description(), (root + L"\\file\\sub").c_str());
    EXPECT_NE(raised.Error(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
}

TEST(FileExists, FilesFoldersAndWildcardsCount) {
    const std::wstring root = qeltest::MakeScratchFolder(L"exists");
    qeltest::WriteFileBytes(root + L"\\sub\\one.txt", "1");
    for (const wchar_t* present : {L"\\sub\\one.txt", L"\\sub", L"\\sub\\*.txt", L"\\sub\\o?e.*"})
        EXPECT_TRUE(qel::FileExists(root + present)) << qeltest::Utf8(present);
    for (const wchar_t* absent : {L"\\sub\\*.dll", L"\\sub\\two.txt", L"\\nosuch\\one.txt"})
        EXPECT_FALSE(qel::FileExists(root + absent)) << qeltest::Utf8(absent);
}

// --- cabinets and signatures -----------------------------------------------------

TEST(ExtractFileFromCabinet, ExtractsOnlyTheNamedFile) {
    const std::wstring cabinet = JoinPath(TestBinDir(), L"fixture.cab");
    const std::wstring originals = JoinPath(TestBinDir(), L"cabinet");
    const std::wstring out = qeltest::MakeScratchFolder(L"cabinet");
    // Names match whatever their case; a file in a sub-folder of the cabinet is
    // named with its folder. The walk is aborted once the file is out; Wine
    // takes the abort as a skip and returns TRUE, Windows stops and returns FALSE.
    const struct {
        const wchar_t* name;
        const wchar_t* original;  // null: not in the cabinet under that name
    } cases[] = {
        {L"ALPHA.txt", L"alpha.txt"}, {L"sub\\Gamma.txt", L"sub\\gamma.txt"}, {L"omega.txt", L"omega.txt"},
        {L"gamma.txt", nullptr},  // its folder is missing
        {L"absent.txt", nullptr},
    };
    int index = 0;
    for (const auto& c : cases) {
        const std::wstring destination = out + L"\\" + std::to_wstring(++index) + L".txt";
        EXPECT_EQ(qel::ExtractFileFromCabinet(cabinet, c.name, destination), c.original != nullptr)
            << qeltest::Utf8(c.name);
        if (c.original)
            EXPECT_EQ(qeltest::ReadFileBytes(destination), qeltest::ReadFileBytes(JoinPath(originals, c.original)));
        else
            EXPECT_FALSE(qeltest::PathExists(destination));
    }
}

TEST(VerifyTrust, UnsignedFileIsNotTrusted) {
    const std::wstring folder = qeltest::MakeScratchFolder(L"trust");
    qeltest::WriteFileBytes(folder + L"\\plain.cat", "not a catalog");
    EXPECT_FALSE(qel::VerifyTrust(folder + L"\\plain.cat"));
    EXPECT_FALSE(qel::VerifyTrust(JoinPath(TestBinDir(), L"qel_versioned.dll")));
}

// --- registry -------------------------------------------------------------------------

TEST(QueryStringValue, CopesWithMissingTerminators) {
    const wchar_t* path = L"Software\\QelUnitTests\\Registry";
    qeltest::DeleteRegTree(HKEY_CURRENT_USER, path);
    const struct {
        const wchar_t* name;
        const wchar_t* data;
        DWORD bytes;
        std::wstring read;
    } cases[] = {
        {L"Plain", L"C:\\Program Files", sizeof(L"C:\\Program Files"), L"C:\\Program Files"},
        {L"Unterminated", L"abcdef", 6 * sizeof(wchar_t), L"abcdef"},
        {L"Empty", L"", 0, L""},
    };
    for (const auto& c : cases)
        ASSERT_EQ(::RegSetKeyValueW(HKEY_CURRENT_USER, path, c.name, REG_SZ, c.data, c.bytes), ERROR_SUCCESS);
    qel::UniqueKey key;
    ASSERT_EQ(::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, key.Put()), ERROR_SUCCESS);
    std::wstring out;
    for (const auto& c : cases) {
        EXPECT_EQ(qel::QueryStringValue(key.Get(), c.name, out), ERROR_SUCCESS) << qeltest::Utf8(c.name);
        EXPECT_EQ(out, c.read);
    }
    out = L"kept";
    EXPECT_EQ(qel::QueryStringValue(key.Get(), L"Missing", out), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(out, L"kept");
    key.Reset();
    qeltest::DeleteRegTree(HKEY_CURRENT_USER, path);
}

}  // namespace
