// The one exception type of qelwls. It records where it was raised (module and
// source line), what failed (usually a path, key, section or value name) and the
// Windows error code at that moment. A raise about the setup script also carries
// the place in the script it is about. Only the entry point catches it.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace qel {

// What is wrong at a place in a script, for a tool that lists a script's
// problems and tells them apart.
enum class ScriptFault {
    MissingField,         // a line lacks a field it must have
    InvalidLine,          // a line's fields are there but name nothing usable
    InvalidKey,           // a key's value names nothing usable (a folder that is not a full path)
    IncompleteKey,        // a key lacks values it must have
    NestsTooDeep,         // a key reaches its own section again, directly or through others
    MissingSection,       // a key names a section the script does not have
    UndefinedFolderId,    // a [DestinationDirs] entry names a folder id Windows does not define
    UninstallLogSetting,  // [Setup] UninstallLog is missing or not a full path
    SetupSetting,         // another [Setup] key the command needs is missing or not usable
    UnreadableScript,     // a script or INF that cannot be opened
};

// The place in a script that a raise is about.
struct ScriptPlace {
    ScriptPlace(ScriptFault fault, std::wstring file, std::wstring message)
        : fault(fault), file(std::move(file)), message(std::move(message)) {}

    ScriptFault fault;
    std::wstring file;     // full path of the script
    std::wstring section;  // as the handler names it (the reader takes its ".amd64" twin if there is one)
    // The line's position in the section as the reader counts lines (from 0,
    // blank and comment lines not counted); -1 when the fault is not about one
    // line. A tool that shows the line in the file counts it there.
    long lineIndex = -1;
    std::wstring key;      // the key the fault is about; empty for a line of a listed section
    std::wstring names;    // what the key or line names that is at fault: a section or folder entry
    std::wstring message;  // what is wrong, in words that need neither file nor line
};

class BasicException {
public:
    BasicException(const char* module, int line) : line_(line), module_(module) {}
    BasicException(const char* module, int line, std::wstring description, DWORD error)
        : line_(line), module_(module), description_(std::move(description)), error_(error) {}
    BasicException(const char* module, int line, std::wstring description, DWORD error, ScriptPlace place)
        : line_(line), module_(module), description_(std::move(description)), error_(error),
          place_(std::move(place)) {}

    int Line() const { return line_; }
    const char* Module() const { return module_; }
    // Null when the raise carried no description; "%s" then prints "(null)".
    const wchar_t* Description() const { return description_ ? description_->c_str() : nullptr; }
    DWORD Error() const { return error_; }
    // Null when the raise is not about a place in a script.
    const ScriptPlace* Place() const { return place_ ? &*place_ : nullptr; }

private:
    int line_;
    const char* module_;
    std::optional<std::wstring> description_;
    DWORD error_ = 0;
    std::optional<ScriptPlace> place_;
};

}  // namespace qel

// Each source file names its module once:
//   namespace { constexpr const char* kModuleName = "Util"; }
// and raises with QEL_RAISE() or QEL_RAISE(description, error), or about a
// place in a script with QEL_RAISE_AT(place, description, error).
#define QEL_RAISE(...) throw ::qel::BasicException(kModuleName, __LINE__ __VA_OPT__(, ) __VA_ARGS__)
#define QEL_RAISE_AT(place, description, error) \
    throw ::qel::BasicException(kModuleName, __LINE__, description, error, place)
