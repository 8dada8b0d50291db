#include "LauncherLog.h"

#include "Handles.h"
#include "Trace.h"
#include "Util.h"

namespace launcher {

RunLogFollower::RunLogFollower(std::wstring logPath) : path_(std::move(logPath)) {}

std::wstring RunLogFollower::InstallerLogPath() {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    return qel::JoinPath(std::wstring(temp, length <= MAX_PATH ? length : 0), L"qelwl.log");
}

namespace {
qel::UniqueHandle OpenShared(const std::wstring& path) {
    // The installer holds the file open for appending while it runs.
    return qel::UniqueHandle(::CreateFileW(path.c_str(), GENERIC_READ,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}
}  // namespace

void RunLogFollower::Begin() {
    offset_ = 0;
    pending_.clear();
    started_ = false;
    lines_.clear();
    qel::UniqueHandle file = OpenShared(path_);
    LARGE_INTEGER size{};
    if (file && ::GetFileSizeEx(file.Get(), &size)) offset_ = static_cast<unsigned long long>(size.QuadPart);
}

bool RunLogFollower::Poll(DWORD processId) {
    qel::UniqueHandle file = OpenShared(path_);
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
            if (!qel::TraceIsStartOf(line, processId)) continue;
            started_ = true;
        }
        std::wstring text;
        qel::Utf8ToWide(line, text);
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
    const std::wstring lower = qel::AsciiLowercase(message);
    for (const wchar_t* word : {L"error", L"fail", L"unable", L"required", L"not found", L"invalid", L"denied"})
        if (lower.find(word) != std::wstring::npos) return true;
    return false;
}

std::wstring RunLogFollower::FirstErrorLine() const {
    for (const std::wstring& line : lines_) {
        const std::wstring message = WithoutTimeStamp(line);
        if (IsErrorLine(message)) return message;
    }
    return L"";
}

}  // namespace launcher
