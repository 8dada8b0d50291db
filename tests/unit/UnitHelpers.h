// Small helpers shared by the unit tests.
#pragma once

#include "BasicException.h"
#include "TestSupport.h"
#include "Trace.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qeltest {

// Runs fn, which must raise BasicException, and returns what it raised.
template <typename Fn>
qel::BasicException ExpectRaise(Fn fn) {
    try {
        fn();
    } catch (const qel::BasicException& raised) {
        return raised;
    }
    ADD_FAILURE() << "expected a BasicException";
    return qel::BasicException("(none)", 0);
}

// Writes a setup script at path: a [Version] section, then body with every LF
// turned into CR LF. Returns path.
inline std::wstring WriteScript(const std::wstring& path, const std::string& body) {
    std::string text;
    for (char c : "[Version]\nSignature=\"$Windows NT$\"\n" + body) text += c == '\n' ? "\r\n" : std::string(1, c);
    WriteFileBytes(path, text);
    return path;
}

// The diagnostic log lines written while the object lives, without their
// time stamps. The log goes to a file of the test from then on.
class TraceCapture {
public:
    TraceCapture() {
        static const std::wstring folder = MakeScratchFolder(L"trace");
        static int count = 0;
        path_ = folder + L"\\trace" + std::to_wstring(++count) + L".log";
        qel::TraceOpen(path_);
        start_ = ReadFileBytes(path_).size();  // after the "Start" header
    }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        for (const auto& line : SplitCrLfLines(ReadFileBytes(path_).substr(start_)))
            lines.push_back(line.size() > 10 ? line.substr(10) : line);  // "hh:mm:ss: "
        return lines;
    }

private:
    std::wstring path_;
    size_t start_ = 0;
};

}  // namespace qeltest
