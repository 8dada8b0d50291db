// Small helpers shared by the unit tests.
#pragma once

#include "BasicException.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace qeltest
