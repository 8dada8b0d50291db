// The one exception type of qelwls. It records where it was raised (module and
// source line), what failed (usually a path, key, section or value name) and the
// Windows error code at that moment. Only the entry point catches it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace qel {

class BasicException {
public:
    BasicException(const char* module, int line) : line_(line), module_(module) {}
    BasicException(const char* module, int line, std::wstring description, DWORD error)
        : line_(line), module_(module), description_(std::move(description)), error_(error) {}

    int Line() const { return line_; }
    const char* Module() const { return module_; }
    // Null when the raise carried no description; "%s" then prints "(null)".
    const wchar_t* Description() const { return description_ ? description_->c_str() : nullptr; }
    DWORD Error() const { return error_; }

private:
    int line_;
    const char* module_;
    std::optional<std::wstring> description_;
    DWORD error_ = 0;
};

}  // namespace qel

// Each source file names its module once:
//   namespace { constexpr const char* kModuleName = "Util"; }
// and raises with QEL_RAISE() or QEL_RAISE(description, error).
#define QEL_RAISE(...) throw ::qel::BasicException(kModuleName, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
