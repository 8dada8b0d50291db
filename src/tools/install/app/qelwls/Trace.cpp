#include "Trace.h"

#include "Util.h"

#include <cstdio>
#include <io.h>

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
        stream_ = _wfopen(path.c_str(), L"at");
        if (!stream_) return -1;
        Header(L"Start");
        return 0;
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

void TraceHeader(const wchar_t* word) { Writer().Header(word); }

HANDLE TraceStreamHandle() { return Writer().OsHandle(); }

}  // namespace qel
