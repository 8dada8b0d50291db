// Path text: joining, splitting and recognising store INF names.
#include "UnitHelpers.h"
#include "Util.h"

#include <gtest/gtest.h>

namespace {

using qeltest::Utf8;

TEST(AppendPath, PutsExactlyOneBackslashBetweenFolderAndName) {
    const struct {
        std::wstring folder, name, joined;
    } cases[] = {
        {L"C:\\a", L"b.txt", L"C:\\a\\b.txt"},
        {L"C:\\a\\", L"b.txt", L"C:\\a\\b.txt"},
        {L"C:\\a", L"\\b.txt", L"C:\\a\\b.txt"},
        {L"C:\\a\\", L"\\b.txt", L"C:\\a\\b.txt"},
        {L"C:\\", L"sub\\b.txt", L"C:\\sub\\b.txt"},
        {L"", L"b.txt", L"b.txt"},
        {L"", L"\\b.txt", L"\\b.txt"},  // nothing is added to an empty folder
        {L"C:\\a", L"", L"C:\\a"},
        {L"C:\\a\\", L"", L"C:\\a\\"},
        {L"C:/a/b", L"c", L"C:\\a\\b\\c"},  // the folder's slashes become backslashes
        {L"C:/a/", L"\\c", L"C:\\a\\c"},
        {L"C:/a/b", L"", L"C:\\a\\b"},     // also when there is no name
        {L"\\\\server\\share", L"x", L"\\\\server\\share\\x"},
    };
    for (const auto& c : cases) {
        std::wstring folder = c.folder;
        qel::AppendPath(folder, c.name);
        EXPECT_EQ(folder, c.joined) << Utf8(c.folder) << " + " << Utf8(c.name);
        EXPECT_EQ(qel::JoinPath(c.folder, c.name), c.joined);
    }
}

TEST(PathParts, FolderIsBeforeAndNameAfterTheLastBackslash) {
    const struct {
        std::wstring path, folder, name;
    } cases[] = {
        {L"C:\\a\\b.txt", L"C:\\a", L"b.txt"},
        {L"C:/a/b/c.txt", L"C:\\a\\b", L"c.txt"},
        {L"C:\\a\\", L"C:\\a", L""},
        {L"C:\\b.txt", L"C:", L"b.txt"},
        {L"b.txt", L"b.txt", L"b.txt"},  // no backslash: the folder part is the path unchanged
        {L"", L"", L""},
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

TEST(IsOemInfName, IsOemFollowedByANumberInTheFileName) {
    const struct {
        std::wstring path;
        bool oem;
    } cases[] = {
        {L"oem12.inf", true},
        {L"OEM12.INF", true},
        {L"C:\\Windows\\INF\\Oem7.Inf", true},
        {L"C:/Windows/INF/oem0.pnf", true},
        {L"oem3.cat", true},  // the extension plays no part
        {L"oem42", true},
        {L"oemx.inf", false},
        {L"oem.inf", false},
        {L"myoem1.inf", false},
        {L"C:\\oem1\\driver.inf", false},  // only the file name counts
        {L"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(qel::IsOemInfName(c.path), c.oem) << Utf8(c.path);
}

TEST(GetFullPath, ResolvesAgainstTheCurrentFolderAndTurnsSlashes) {
    const std::wstring folder = qeltest::MakeScratchFolder(L"fullpath");
    ASSERT_TRUE(::SetCurrentDirectoryW(folder.c_str()));
    std::wstring out = L"stale";
    EXPECT_EQ(qel::GetFullPath(L"sub/../x.inf", out), 0);
    EXPECT_EQ(out, folder + L"\\x.inf");
    EXPECT_EQ(qel::GetFullPath(L"C:/a/b", out), 0);
    EXPECT_EQ(out, L"C:\\a\\b");
    // Longer than MAX_PATH: the buffer is grown to the reported size.
    const std::wstring deep = L"C:\\" + std::wstring(300, L'd') + L"\\f.txt";
    EXPECT_EQ(qel::GetFullPath(deep, out), 0);
    EXPECT_EQ(out, deep);
    EXPECT_EQ(qel::GetFullPath(L"", out), -1);
    EXPECT_EQ(out, L"");
    ::SetCurrentDirectoryW(L"C:\\");
}

}  // namespace
