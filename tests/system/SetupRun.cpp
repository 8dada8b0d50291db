#include "SetupRun.h"

#include "Util.h"

#include <algorithm>
#include <regex>

namespace qeltest {

SetupFolder::SetupFolder(const std::wstring& name) : folder_(MakeScratchFolder(name)) {
    CopyFileOrFail(ProductPath(), Exe());
}

void SetupFolder::Write(const std::wstring& relative, const std::string& text) const {
    WriteFileBytes(File(relative), text);
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

}  // namespace qeltest
