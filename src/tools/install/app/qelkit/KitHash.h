// SHA-256 digests of installed files and of the package's sources, plain or
// in a cabinet, for qelkit verify.
#pragma once

#include <map>
#include <string>

namespace kit {

// The digest of a file's bytes as 64 lower-case hexadecimal digits; empty
// when the file cannot be read.
std::wstring FileSha256(const std::wstring& path);

// The digest of every file a cabinet holds, by lower-case name; empty when
// the cabinet cannot be read. The files are extracted into a folder of
// qelkit's own below the temporary folder, read and deleted again.
std::map<std::wstring, std::wstring> CabinetSha256(const std::wstring& cabinet);

}  // namespace kit
