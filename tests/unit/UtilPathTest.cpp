// Path text: joining, splitting and recognising store INF names.
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

}  // namespace
