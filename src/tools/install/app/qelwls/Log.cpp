#include "Log.h"

#include "BasicException.h"
#include "Util.h"

#include <algorithm>
#include <cwchar>

namespace qel {
namespace {
constexpr const char* kModuleName = "Log";
constexpr wchar_t kEscapedComma = L'|';
}  // namespace

void LogFile::ResetBuffer() {
    if (buffer_.empty()) buffer_.resize(2 * chunk_);
    end_ = 0;
    scan_ = 0;
}

LogStatus LogFile::Open(const std::wstring& path, bool create) {
    path_ = path;
    handle_.Reset();
    // Shared for reading and deletion: the uninstall log is moved to its final
    // name while it is open, and later records follow it there.
    handle_.Reset(::CreateFileW(path.c_str(), FILE_GENERIC_READ | FILE_GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, create ? CREATE_ALWAYS : OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle_) return LogFailed;
    ResetBuffer();
    return LogOk;
}

LogStatus LogFile::Attach(HANDLE handle) {
    handle_.Reset(handle);
    ResetBuffer();
    return LogOk;
}

void LogFile::Close() { handle_.Reset(); }

LogStatus LogFile::WriteLine(const std::wstring& text) {
    if (!handle_) return LogFailed;
    std::string utf8;
    WideToUtf8(text, utf8);
    std::string bytes;
    bytes.reserve(utf8.size() + 2);
    for (char c : utf8) {
        if (c == '\n') bytes += '\r';
        bytes += c;
    }
    DWORD written = 0;
    if (!::WriteFile(handle_.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size())
        return LogFailed;
    // Every record is on disk before the change it describes is made.
    if (!::FlushFileBuffers(handle_.Get())) QEL_RAISE(path_, ::GetLastError());
    return LogOk;
}

LogStatus LogFile::ReadLine(std::wstring& out) {
    if (!handle_) return LogFailed;
    for (;;) {
        const auto lineEnd = std::find(buffer_.begin() + scan_, buffer_.begin() + end_, '\n');
        if (lineEnd != buffer_.begin() + end_) {
            std::string line;
            for (auto it = buffer_.begin(); it != lineEnd; ++it)
                if (*it != '\r') line += *it;
            // A decoding error keeps what was decoded before it.
            Utf8ToWide(line, out);
            const size_t consumed = static_cast<size_t>(lineEnd - buffer_.begin()) + 1;
            std::copy(buffer_.begin() + consumed, buffer_.begin() + end_, buffer_.begin());
            end_ -= consumed;
            scan_ = 0;
            return LogOk;
        }
        scan_ = end_;
        if (buffer_.size() - end_ < chunk_) buffer_.resize(buffer_.size() * 2);
        const DWORD wanted = static_cast<DWORD>(std::min(buffer_.size() - end_, chunk_));
        DWORD read = 0;
        if (!::ReadFile(handle_.Get(), buffer_.data() + end_, wanted, &read, nullptr)) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_BROKEN_PIPE) return LogEnd;
            if (error == ERROR_NO_DATA) return LogNoData;
            return LogFailed;
        }
        if (read == 0) return LogEnd;
        end_ += read;
    }
}

void LogFile::Rewind() {
    if (::SetFilePointer(handle_.Get(), 0, nullptr, FILE_BEGIN) != 0) QEL_RAISE(path_, ::GetLastError());
}

bool LogFile::CloseAndDelete() {
    Close();
    if (path_.empty()) return true;
    return ::DeleteFileW(path_.c_str()) != FALSE;
}

std::wstring LogField(const std::wstring& text) {
    std::wstring field = text;
    std::replace(field.begin(), field.end(), L',', kEscapedComma);
    return field;
}

void SplitLogRecord(const std::wstring& line, std::vector<std::wstring>& fields) {
    SplitCommaList(line, fields);
    for (std::wstring& field : fields) std::replace(field.begin(), field.end(), kEscapedComma, L',');
}

uint32_t ParseLogNumber(const std::wstring& field) {
    return static_cast<uint32_t>(std::wcstoul(field.c_str(), nullptr, 0));
}

}  // namespace qel
