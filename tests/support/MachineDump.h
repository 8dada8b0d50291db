// A part of the test prefix written out as text, and made again from it: the
// files and folders below some folders, some files of the Windows folder, some
// registry trees and values under HKEY_LOCAL_MACHINE (links kept as links).
// The logs of tests/fixtures/logs come with such dumps: what the prefix held
// when the run that wrote them was killed, and what that build's recovery
// left.
//
// One entry a line, sorted, fields separated by tabs:
//   dir    <path>
//   file   <path>  <bytes>
//   key    <HKLM\path>
//   value  <HKLM\path>  <name>  <type>  <bytes>
// Bytes are text as it is, except '%', control characters and (in data that
// is not UTF-8 as a whole) every byte above 0x7F, which are written %HH.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace qeltest {

struct DumpRoots {
    std::vector<std::wstring> folders;         // every file and folder below each
    std::vector<std::wstring> windowsPatterns; // files of C:\windows by pattern, e.g. L"qel*.tmp"
    std::vector<std::wstring> keys;            // trees under HKLM (64-bit view)
    std::vector<std::pair<std::wstring, std::wstring>> values;  // single values: HKLM key, name
};

std::string DumpMachine(const DumpRoots& roots);
// Clears everything the roots cover, then makes what the dump holds.
void LoadMachine(const DumpRoots& roots, const std::string& dump);
// The lines only one of the two dumps holds, "-" expected and "+" actual.
std::string DumpDifferences(const std::string& expected, const std::string& actual);

// The folder of tests/fixtures/logs in the source tree, as the prefix sees it.
std::wstring LogFixturesFolder();

}  // namespace qeltest
