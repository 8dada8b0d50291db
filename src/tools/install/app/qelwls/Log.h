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
    // The open file, for a look at it (its permissions); the LogFile keeps it.
    HANDLE Handle() const { return handle_.Get(); }

    // Writes the text as UTF-8 with every LF turned into CR LF, in one write,
    // then flushes it to disk (unless flushing is deferred). Text that is the
    // next line written ahead is not written again: that line is taken as
    // written now. Any other text first cuts the lines written ahead off the
    // file.
    LogStatus WriteLine(const std::wstring& text);
    // While deferred, WriteLine leaves its lines to the next Flush.
    void DeferFlush(bool defer) { deferFlush_ = defer; }
    // Flushes what was written to disk; a failure raises, as in WriteLine.
    LogStatus Flush();

    // Lines written ahead: several records, each ending in LF, written and
    // flushed at once before the changes they describe are made, so that a
    // run of changes costs one flush instead of one each. The writer then
    // writes each record with WriteLine just before its change, as always,
    // which takes the line written ahead; the first record that differs (the
    // run took another way, or failed) cuts the lines not yet taken off the
    // file, so the file always ends up holding exactly the records written
    // with WriteLine. Until they are cut, a line not yet taken describes a
    // change not yet made; the file's readers undo such a record harmlessly
    // (see the writers). LogFailed when the file is not open.
    LogStatus WriteAhead(const std::vector<std::wstring>& lines);
    bool HasLinesAhead() const { return !ahead_.empty(); }
    // Cuts the lines written ahead and not taken off the file; false, with
    // the OS error kept, when the file could not be cut.
    bool CutLinesAhead();
    // Reads the next line without its line end and without any CR byte.
    LogStatus ReadLine(std::wstring& out);
    void Rewind();
    // Closes the file and deletes it; true when there was no path.
    bool CloseAndDelete();

private:
    void ResetBuffer();
    static std::string ToFileBytes(const std::wstring& text);
    bool WriteBytes(const std::string& bytes);
    // Flushes the file to disk; a failure raises.
    void FlushOrRaise();

    std::wstring path_;
    std::vector<char> buffer_;   // capacity = buffer_.size()
    size_t chunk_ = 16;          // growth unit and largest single read
    size_t end_ = 0;             // end of the bytes read so far
    size_t scan_ = 0;            // first byte not yet searched for LF
    UniqueHandle handle_;
    bool deferFlush_ = false;
    std::vector<std::wstring> ahead_;  // lines written ahead, not yet taken
    size_t aheadTaken_ = 0;            // how many of them were taken
    LONGLONG aheadEnd_ = 0;            // where the taken ones end in the file
};

}  // namespace qel
