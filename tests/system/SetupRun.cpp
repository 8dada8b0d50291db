#include "SetupRun.h"

#include "Util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace qeltest {

SetupFolder::SetupFolder(const std::wstring& name) : folder_(MakeScratchFolder(name)) {
    CopyFileOrFail(ProductPath(), Exe());
}

void SetupFolder::Write(const std::wstring& relative, const std::string& text) const {
    WriteFileBytes(File(relative), text);
}

SetupRunResult SetupFolder::InstallScript(const std::string& body, const std::wstring& more) const {
    Write(L"qelwls.ini", Script("[Install]\r\nDriverInf=Driver\\qelwl.inf\r\n" + body));
    return RunSetupProgram(Exe(), L"apponly_install \"" + folder_ + L"\"" + more);
}

std::wstring DiagnosticLogPath() { return TempFolder() + L"\\qelwl.log"; }

std::wstring ReadResultMessage(bool* found) {
    return ReadRegString(HKEY_CURRENT_USER, L"SOFTWARE\\QelSetup", L"Message", KEY_WOW64_32KEY, found);
}

SetupRunResult RunSetupProgram(const std::wstring& exe, const std::wstring& args) {
    ::DeleteFileW(DiagnosticLogPath().c_str());
    DeleteRegTree(HKEY_CURRENT_USER, L"SOFTWARE\\QelSetup", KEY_WOW64_32KEY);
    const ProcessResult process = RunProgram(L"\"" + exe + L"\" " + args);
    SetupRunResult result;
    result.exitCode = process.exitCode;
    result.out = process.out;
    result.err = process.err;
    result.message = ReadResultMessage();
    if (PathExists(DiagnosticLogPath())) result.log = ReadFileBytes(DiagnosticLogPath());
    return result;
}

std::vector<std::string> LogMessages(const std::string& log) {
    static const std::regex stamp("^[0-9]{2}:[0-9]{2}:[0-9]{2}: ");
    std::vector<std::string> messages;
    for (const std::string& line : SplitCrLfLines(log)) messages.push_back(std::regex_replace(line, stamp, ""));
    return messages;
}

bool LogHasLine(const std::string& log, const std::string& message) {
    const std::vector<std::string> messages = LogMessages(log);
    return std::find(messages.begin(), messages.end(), message) != messages.end();
}

std::string Script(const std::string& body) {
    return "[Version]\r\nSignature=\"$Windows NT$\"\r\n\r\n" + body;
}

std::string ProgressLines(int total, std::initializer_list<int> done) {
    std::string lines;
    for (int each : done) lines += "Progress," + std::to_string(total) + "," + std::to_string(each) + "\r\n";
    return lines;
}

void ExpectFailedRun(const SetupRunResult& run, const std::string& module, const std::string& progress) {
    EXPECT_EQ(run.exitCode, 200u) << run.log;
    ASSERT_EQ(run.out.rfind(kVersionLine, 0), 0u) << run.out;
    std::smatch result;
    const std::string status = run.out.substr(sizeof(kVersionLine) - 1);
    ASSERT_TRUE(std::regex_match(status, result,
                                 std::regex(progress + "(Result,200,SetupErrorInternal," + module + ",([0-9]+))\r\n")))
        << run.out;
    EXPECT_EQ(Utf8(run.message), result[result.size() - 2].str() + "\n");
    EXPECT_TRUE(std::regex_search(
        run.log, std::regex("Error: file \"" + module + "\", line " + result[result.size() - 1].str() + ", desc")))
        << run.log;
}

}  // namespace qeltest
