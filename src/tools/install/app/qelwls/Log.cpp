#include "Log.h"

#include "BasicException.h"
#include "Util.h"

#include <algorithm>

namespace qel {
namespace {
constexpr const char* kModuleName = "Log";
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

void LogFile::Close() {
    // A file left on disk holds only the records taken; a cut that fails
    // leaves records of changes never made, which are undone harmlessly.
    CutLinesAhead();
    handle_.Reset();
}

namespace {
std::wstring Concatenate(const std::vector<std::wstring>& lines) {
    std::wstring text;
    for (const std::wstring& line : lines) text += line;
    return text;
}
}  // namespace

std::string LogFile::ToFileBytes(const std::wstring& text) {
    std::string utf8;
    WideToUtf8(text, utf8);
    std::string bytes;
    bytes.reserve(utf8.size() + 2);
    for (char c : utf8) {
        if (c == '\n') bytes += '\r';
        bytes += c;
    }
    return bytes;
}

bool LogFile::WriteBytes(const std::string& bytes) {
    DWORD written = 0;
    return ::WriteFile(handle_.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

void LogFile::FlushOrRaise() {
    if (!::FlushFileBuffers(handle_.Get())) QEL_RAISE(path_, ::GetLastError());
}

// The writers raise only once their text is gone: a failed flush leaves no
// local of theirs to destroy on the way out. Under Wine, the cleanups of the
// function an exception starts in may run with its frame register lost (seen
// with the tests' debugger attached), and a string destroyed there would be
// read from address zero.
LogStatus LogFile::WriteLine(const std::wstring& text) {
    if (!handle_) return LogFailed;
    if (!ahead_.empty()) {
        if (text == ahead_[aheadTaken_]) {
            aheadEnd_ += static_cast<LONGLONG>(ToFileBytes(text).size());
            if (++aheadTaken_ == ahead_.size()) {
                ahead_.clear();
                aheadTaken_ = 0;
            }
            return LogOk;  // written and flushed with the lines ahead
        }
        if (!CutLinesAhead()) QEL_RAISE(path_, ::GetLastError());
    }
    if (!WriteBytes(ToFileBytes(text))) return LogFailed;
    // Every record is on disk before the change it describes is made.
    if (!deferFlush_) FlushOrRaise();
    return LogOk;
}

LogStatus LogFile::Flush() {
    if (!handle_) return LogFailed;
    FlushOrRaise();
    return LogOk;
}

LogStatus LogFile::WriteAhead(const std::vector<std::wstring>& lines) {
    if (!handle_) return LogFailed;
    if (!CutLinesAhead()) QEL_RAISE(path_, ::GetLastError());
    if (lines.empty()) return LogOk;
    LARGE_INTEGER position{};
    if (!::SetFilePointerEx(handle_.Get(), LARGE_INTEGER{}, &position, FILE_CURRENT)) return LogFailed;
    if (!WriteBytes(ToFileBytes(Concatenate(lines)))) {
        // Whatever part of them got into the file goes again.
        ::SetFilePointerEx(handle_.Get(), position, nullptr, FILE_BEGIN);
        ::SetEndOfFile(handle_.Get());
        return LogFailed;
    }
    ahead_ = lines;
    aheadTaken_ = 0;
    aheadEnd_ = position.QuadPart;
    FlushOrRaise();
    return LogOk;
}

bool LogFile::CutLinesAhead() {
    if (ahead_.empty()) return true;
    ahead_.clear();
    aheadTaken_ = 0;
    if (!handle_) return true;
    // The next record goes where the taken ones end. The cut itself reaches
    // the disk with the next flush: until then the lines cut off are records
    // of changes not made, as they were before the cut.
    LARGE_INTEGER end{};
    end.QuadPart = aheadEnd_;
    return ::SetFilePointerEx(handle_.Get(), end, nullptr, FILE_BEGIN) && ::SetEndOfFile(handle_.Get());
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
    // A reader never sees a line written ahead and not taken.
    if (!CutLinesAhead()) QEL_RAISE(path_, ::GetLastError());
    if (::SetFilePointer(handle_.Get(), 0, nullptr, FILE_BEGIN) != 0) QEL_RAISE(path_, ::GetLastError());
}

bool LogFile::CloseAndDelete() {
    Close();
    if (path_.empty()) return true;
    return ::DeleteFileW(path_.c_str()) != FALSE;
}

}  // namespace qel
