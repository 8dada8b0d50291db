// Path text: joining, splitting, recognising store INF names, and the
// canonical form paths are compared in.
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

namespace {

using qeltest::Utf8;

// Exactly one backslash between folder and name; the folder's slashes turn.
TEST(PathText, AppendPath) {
    const struct { std::wstring folder, name, joined; } cases[] = {
        {L"C:\\a", L"b.txt", L"C:\\a\\b.txt"},       {L"C:\\a\\", L"b.txt", L"C:\\a\\b.txt"},
        {L"C:\\a", L"\\b.txt", L"C:\\a\\b.txt"},     {L"C:\\a\\", L"\\b.txt", L"C:\\a\\b.txt"},
        {L"C:\\", L"sub\\b.txt", L"C:\\sub\\b.txt"}, {L"", L"b.txt", L"b.txt"},
        {L"", L"\\b.txt", L"\\b.txt"},               {L"C:\\a", L"", L"C:\\a"},
        {L"C:\\a\\", L"", L"C:\\a\\"},               {L"C:/a/b", L"c", L"C:\\a\\b\\c"},
        {L"C:/a/", L"\\c", L"C:\\a\\c"},             {L"C:/a/b", L"", L"C:\\a\\b"},
        {L"\\\\server\\share", L"x", L"\\\\server\\share\\x"},
    };
    for (const auto& c : cases) {
        std::wstring folder = c.folder;
        qel::AppendPath(folder, c.name);
        EXPECT_EQ(folder, c.joined) << Utf8(c.folder) << " + " << Utf8(c.name);
        EXPECT_EQ(qel::JoinPath(c.folder, c.name), c.joined);
    }
}

// Folder before and name after the last backslash; without one the folder
// part is the path unchanged.
TEST(PathText, FolderAndNameParts) {
    const struct { std::wstring path, folder, name; } cases[] = {
        {L"C:\\a\\b.txt", L"C:\\a", L"b.txt"},   {L"C:/a/b/c.txt", L"C:\\a\\b", L"c.txt"},
        {L"C:\\a\\", L"C:\\a", L""},             {L"C:\\b.txt", L"C:", L"b.txt"},
        {L"b.txt", L"b.txt", L"b.txt"},          {L"", L"", L""},
        {L"\\\\server\\share", L"\\\\server", L"share"},
    };
    for (const auto& c : cases) {
        std::wstring path = c.path;
        qel::GetDirectoryPart(path);
        EXPECT_EQ(path, c.folder) << Utf8(c.path);
        EXPECT_EQ(qel::DirectoryOf(c.path), c.folder);
        EXPECT_EQ(qel::GetFileNamePart(c.path), c.name) << Utf8(c.path);
    }
}

// "oem" and a number in the file name, whatever the case and extension.
TEST(PathText, IsOemInfName) {
    const struct { std::wstring path; bool oem; } cases[] = {
        {L"oem12.inf", true},   {L"OEM12.INF", true}, {L"C:\\Windows\\INF\\Oem7.Inf", true},
        {L"C:/Windows/INF/oem0.pnf", true},           {L"oem3.cat", true},
        {L"oem42", true},       {L"oemx.inf", false}, {L"oem.inf", false},
        {L"myoem1.inf", false}, {L"", false},         {L"C:\\oem1\\driver.inf", false},
    };
    for (const auto& c : cases) EXPECT_EQ(qel::IsOemInfName(c.path), c.oem) << Utf8(c.path);
}


// The form paths are compared in: literal and device prefixes off, "." and
// ".." resolved, short (8.3) names of what exists made long, the rest kept.
TEST(PathText, CanonicalPath) {
    const std::wstring folder = qeltest::MakeScratchFolder(L"Canonical Long Folder Name") + L"\\Second Long Name";
    ASSERT_TRUE(::CreateDirectoryW(folder.c_str(), nullptr));
    wchar_t shortForm[MAX_PATH] = {};
    ASSERT_GT(::GetShortPathNameW(folder.c_str(), shortForm, MAX_PATH), 0u);
    ASSERT_NE(std::wstring(shortForm), folder) << "no short names on this disk";
    const struct { std::wstring path, canonical; } cases[] = {
        {L"\\\\?\\C:\\windows\\system32", L"C:\\windows\\system32"},
        {L"\\\\.\\C:\\windows", L"C:\\windows"},
        {L"\\??\\C:\\windows", L"C:\\windows"},
        {L"\\\\?\\UNC\\server\\share\\x", L"\\\\server\\share\\x"},
        {L"C:/windows/./system32/../system32", L"C:\\windows\\system32"},
        {shortForm, folder},
        {std::wstring(shortForm) + L"\\not here\\x.txt", folder + L"\\not here\\x.txt"},
        {L"\\\\?\\" + std::wstring(shortForm) + L"\\..", qel::DirectoryOf(folder)},
        {L"", L""},
    };
    for (const auto& c : cases) EXPECT_EQ(qel::CanonicalPath(c.path), c.canonical) << Utf8(c.path);

    wchar_t shortProgramFiles[MAX_PATH] = {};
    ASSERT_GT(::GetShortPathNameW(L"C:\\Program Files", shortProgramFiles, MAX_PATH), 0u);
    const std::wstring programFiles = L"C:\\Program Files";
    const struct { std::wstring path, folder; bool below; } guard[] = {
        {std::wstring(shortProgramFiles) + L"\\Qel", programFiles, true},
        {L"\\\\?\\C:\\PROGRAM FILES\\Qel\\x", programFiles, true},
        {L"C:\\Program Files", shortProgramFiles, true},
        {L"C:\\Program Files\\..\\Qel", programFiles, false},
        {L"C:\\Program Files (x86)\\Qel", programFiles, false},
        {L"C:\\Program Filesx", programFiles, false},
    };
    for (const auto& c : guard)
        EXPECT_EQ(qel::IsSameOrBelow(c.path, c.folder), c.below) << Utf8(c.path) << " below " << Utf8(c.folder);
    EXPECT_TRUE(qel::IsSamePath(L"c:\\WINDOWS\\system32\\", L"\\\\?\\C:\\windows\\System32\\"));
    qeltest::DeleteTree(qel::DirectoryOf(folder));
}

}  // namespace
