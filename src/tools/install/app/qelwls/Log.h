// LogFile: a file or pipe read and written as UTF-8 lines ending in CR LF. The
// rollback log and the uninstall log are LogFiles, and so are the pipe ends of
// the status channel.
#pragma once

#include "Handles.h"

#include <string>
#include <vector>

namespace qel {

enum LogStatus : int {
    LogOk = 0,
    LogNoData = 1,   // a pipe with nothing to read at the moment
    LogEnd = 2,      // end of data; a last line without LF is never returned
    LogFailed = 3,   // failure, or not open
};

class LogFile {
public:
    LogFile() = default;
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    // Opens (create: CREATE_ALWAYS, else OPEN_EXISTING) for reading and
    // writing, shared for reading and deletion so the file can be moved while
    // it is open. LogFailed leaves the OS error for the caller.
    LogStatus Open(const std::wstring& path, bool create);
    // Adopts an open handle (a pipe end); the path is left as it was.
    LogStatus Attach(HANDLE handle);
    void Close();
    bool IsOpen() const { return handle_.Valid(); }
    const std::wstring& Path() const { return path_; }

    // Writes the text as UTF-8 with every LF turned into CR LF, in one write,
    // then flushes it to disk.
    LogStatus WriteLine(const std::wstring& text);
    // Reads the next line without its line end and without any CR byte.
    LogStatus ReadLine(std::wstring& out);
    void Rewind();
    // Closes the file and deletes it; true when there was no path.
    bool CloseAndDelete();

private:
    void ResetBuffer();

    std::wstring path_;
    std::vector<char> buffer_;   // capacity = buffer_.size()
    size_t chunk_ = 16;          // growth unit and largest single read
    size_t end_ = 0;             // end of the bytes read so far
    size_t scan_ = 0;            // first byte not yet searched for LF
    UniqueHandle handle_;
};

// Record fields. Records are comma-separated with no quoting, so a comma inside
// a field (a path may hold one) is written as '|', a character no Windows path
// or device id can contain, and turned back when the record is split. Records
// whose fields hold no comma are therefore written exactly as they read.
std::wstring LogField(const std::wstring& text);
void SplitLogRecord(const std::wstring& line, std::vector<std::wstring>& fields);
// Numbers are written "0x%08x" and read with base detection.
uint32_t ParseLogNumber(const std::wstring& field);

}  // namespace qel
