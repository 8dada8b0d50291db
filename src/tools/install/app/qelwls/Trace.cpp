#include "Trace.h"

#include "Util.h"

#include "Handles.h"

#include <aclapi.h>

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <vector>

namespace qel {

const wchar_t kVersionText[] = L"7.35 (TOB) (r)";

namespace {

constexpr size_t kMaxLineChars = 2048;  // messages are cut at 2047 characters

// The time stamp and the formatted message, as UTF-8.
std::string ComposeLine(const wchar_t* format, va_list args) {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    std::wstring line = FormatText(L"%02u:%02u:%02u: ", now.wHour, now.wMinute, now.wSecond);
    line += FormatMessageV(kMaxLineChars, format, args);
    std::string bytes;
    WideToUtf8(line, bytes);
    return bytes;
}

std::string ComposeLineF(const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::string bytes = ComposeLine(format, args);
    va_end(args);
    return bytes;
}

class TraceWriter {
public:
    // The writer exists before the entry point runs; until the log file is
    // opened its lines go to standard error.
    TraceWriter() : stream_(stderr) { Header(L"Start"); }
    ~TraceWriter() {
        if (!stream_) return;
        Header(L"End");
        if (stream_ != stderr) std::fclose(stream_);
    }
    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    int Open(const std::wstring& path) {
        if (stream_ && stream_ != stderr) std::fclose(stream_);
        stream_ = OpenAppendOnlyToOwnFile(path);
        if (!stream_) return -1;
        Header(L"Start");
        return 0;
    }

    // The log is appended to by an elevated process in a folder others may
    // write (the temporary folder of SYSTEM, or one a user chose through
    // TEMP). A link planted at its name, or a second hard link to another
    // file, would let them choose what that process writes to; a file they
    // made there beforehand stays theirs to read and change, and to swap for
    // a link once the log is known to be open. Such a log is refused, and
    // the run logs to nowhere rather than to their file.
    static FILE* OpenAppendOnlyToOwnFile(const std::wstring& path) {
        UniqueHandle file(::CreateFileW(path.c_str(),
                                        FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file) return nullptr;
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(file.Get(), &info) || info.nNumberOfLinks != 1 ||
            (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
            !OwnedByAdministratorOrSelf(file.Get()))
            return nullptr;
        const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.Get()), _O_APPEND | _O_TEXT);
        if (descriptor < 0) return nullptr;
        file.Release();  // the descriptor owns it now
        FILE* stream = _wfdopen(descriptor, L"at");
        if (!stream) _close(descriptor);
        return stream;
    }

    // An administrator (the Administrators group, the system) or the
    // account of this run made the file.
    static bool OwnedByAdministratorOrSelf(HANDLE file) {
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (::GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                              &descriptor) != ERROR_SUCCESS)
            return false;
        const UniqueLocalMem descriptorOwner(descriptor);
        std::vector<BYTE> account = RunningAccountSid();
        return IsAdministratorSid(owner, account.empty() ? nullptr : account.data());
    }

    void Discard() {
        if (stream_ && stream_ != stderr) std::fclose(stream_);
        stream_ = nullptr;
    }

    void Header(const wchar_t* word) {
        std::wstring exePath;
        GetModulePath(nullptr, exePath);
        Write(ComposeLineF(L"%s -- \"%s\", Version %s, PID %lu\n", word, exePath.c_str(), kVersionText,
                           ::GetCurrentProcessId()));
    }

    void Write(const std::string& bytes) {
        if (!stream_) return;
        // One write and an immediate flush, so the file is complete at every
        // moment, also when the process is ended abruptly.
        std::fwrite(bytes.data(), 1, bytes.size(), stream_);
        std::fflush(stream_);
    }

    HANDLE OsHandle() const {
        if (!stream_) return INVALID_HANDLE_VALUE;
        return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_)));
    }

private:
    FILE* stream_;
};

TraceWriter& Writer() {
    static TraceWriter writer;
    return writer;
}

// Construct the writer during static initialisation so that its "Start"
// header comes before anything the program does.
struct WriterStarter {
    WriterStarter() { Writer(); }
} writerStarter;

}  // namespace

int TraceWrite(unsigned /*level*/, const wchar_t* format, ...) {
    va_list args;
    va_start(args, format);
    const std::string bytes = ComposeLine(format, args);
    va_end(args);
    Writer().Write(bytes);
    return static_cast<int>(bytes.size());
}

int TraceOpen(const std::wstring& path) { return Writer().Open(path); }

void TraceDiscard() { Writer().Discard(); }

void TraceHeader(const wchar_t* word) { Writer().Header(word); }

TraceQuietStart::TraceQuietStart() {
    saved_ = _dup(2);
    const int nul = _open("NUL", _O_WRONLY);
    if (saved_ < 0 || nul < 0) return;
    _dup2(nul, 2);
    _close(nul);
}

void TraceQuietStart::GiveBack() {
    if (saved_ < 0) return;
    _dup2(saved_, 2);
    _close(saved_);
    saved_ = -1;
}

bool TraceIsStartOf(const std::string& line, DWORD processId) {
    const std::string pid = ", PID " + std::to_string(processId);
    return line.find(": Start -- \"") != std::string::npos && line.size() >= pid.size() &&
           line.compare(line.size() - pid.size(), pid.size(), pid) == 0;
}

HANDLE TraceStreamHandle() { return Writer().OsHandle(); }

}  // namespace qel
