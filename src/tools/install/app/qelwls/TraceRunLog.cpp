#include "TraceRunLog.h"

#include "Handles.h"
#include "Trace.h"
#include "Util.h"

#include <cwchar>

namespace qel {

RunLogFollower::RunLogFollower(std::wstring logPath) : path_(std::move(logPath)) {}

std::wstring RunLogFollower::InstallerLogPath() {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    return JoinPath(std::wstring(temp, length <= MAX_PATH ? length : 0), L"qelwl.log");
}

namespace {
UniqueHandle OpenShared(const std::wstring& path) {
    // The installer holds the file open for appending while it runs.
    return UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}
}  // namespace

void RunLogFollower::Begin() {
    offset_ = 0;
    pending_.clear();
    started_ = false;
    lines_.clear();
    UniqueHandle file = OpenShared(path_);
    LARGE_INTEGER size{};
    if (file && ::GetFileSizeEx(file.Get(), &size)) offset_ = static_cast<unsigned long long>(size.QuadPart);
}

bool RunLogFollower::Poll(DWORD processId) {
    UniqueHandle file = OpenShared(path_);
    if (!file) return false;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.Get(), &size)) return false;
    // A log emptied or replaced since Begin: the run's lines start anew.
    if (static_cast<unsigned long long>(size.QuadPart) < offset_) {
        offset_ = 0;
        pending_.clear();
    }
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset_);
    if (!::SetFilePointerEx(file.Get(), position, nullptr, FILE_BEGIN)) return false;
    char chunk[16384];
    DWORD read = 0;
    while (::ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0) {
        pending_.append(chunk, read);
        offset_ += read;
    }
    bool added = false;
    size_t start = 0;
    for (size_t end = pending_.find('\n'); end != std::string::npos;
         start = end + 1, end = pending_.find('\n', start)) {
        std::string line = pending_.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!started_) {
            if (!TraceIsStartOf(line, processId)) continue;
            started_ = true;
        }
        std::wstring text;
        Utf8ToWide(line, text);
        lines_.push_back(std::move(text));
        added = true;
    }
    pending_.erase(0, start);
    return added;
}

std::wstring WithoutTimeStamp(const std::wstring& line) {
    // "HH:MM:SS: "
    if (line.size() >= 10 && line[2] == L':' && line[5] == L':' && line[8] == L':' && line[9] == L' ')
        return line.substr(10);
    return line;
}

bool IsErrorLine(const std::wstring& message) {
    // The caught failure ("Error: file ..."), and the lines of the early ends
    // that end a run before any change.
    static const wchar_t* const kEarlyEnds[] = {L"Administrator privileges required.", L"Win2K or higher required.",
                                                L"Invalid arguments", L"Memory allocation error", L"Unknown error"};
    if (message.rfind(L"Error", 0) == 0) return true;
    for (const wchar_t* line : kEarlyEnds)
        if (message == line) return true;
    return false;
}

std::wstring ExplainErrorLine(const std::wstring& message) {
    // "... last error: 2" ends the caught failure's line: the number in words.
    static const std::wstring kLastError = L" last error: ";
    const size_t at = message.rfind(kLastError);
    if (at == std::wstring::npos) return message;
    const unsigned long error = std::wcstoul(message.c_str() + at + kLastError.size(), nullptr, 10);
    if (error == 0) return message;
    const std::wstring words = SystemErrorText(error);
    return words.empty() ? message : message + L" (" + words + L")";
}

bool ParseFailureLine(const std::wstring& message, FailureLine& failure) {
    // The description may hold anything, quotes included: it is the text
    // between the first "desc \"" and the last "\" last error: ".
    static const std::wstring kStart = L"Error: file \"", kLine = L"\", line ", kDesc = L", desc \"",
                              kLastError = L"\" last error: ";
    if (message.compare(0, kStart.size(), kStart) != 0) return false;
    const size_t moduleEnd = message.find(kLine, kStart.size());
    const size_t desc = moduleEnd == std::wstring::npos ? moduleEnd : message.find(kDesc, moduleEnd);
    const size_t lastError = message.rfind(kLastError);
    if (desc == std::wstring::npos || lastError == std::wstring::npos || lastError < desc + kDesc.size())
        return false;
    failure.module = message.substr(kStart.size(), moduleEnd - kStart.size());
    failure.line = static_cast<int>(std::wcstol(message.c_str() + moduleEnd + kLine.size(), nullptr, 10));
    failure.description = message.substr(desc + kDesc.size(), lastError - desc - kDesc.size());
    failure.error = static_cast<DWORD>(std::wcstoul(message.c_str() + lastError + kLastError.size(), nullptr, 10));
    return true;
}

std::wstring RunLogFollower::FirstErrorLine() const {
    for (const std::wstring& line : lines_) {
        const std::wstring message = WithoutTimeStamp(line);
        if (IsErrorLine(message)) return ExplainErrorLine(message);
    }
    return L"";
}

}  // namespace qel
