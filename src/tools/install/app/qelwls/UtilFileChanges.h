// Moves and deletions that follow no link. The file or folder is opened by
// handle without following a reparse point, checked through that handle to be
// no link and to lie where its path says (no link, junction or mount point on
// the way), and changed through the same handle. One reached through a link
// is left as it is: false with kErrorReachedThroughLink and a diagnostic line.
// Otherwise the results and errors are those of MoveFileExW (with
// MOVEFILE_WRITE_THROUGH, and MOVEFILE_REPLACE_EXISTING for `replace`),
// DeleteFileW and RemoveDirectoryW. Before Vista, which has no rename by
// handle, they are those calls.
#pragma once

#include <windows.h>

#include <string>

namespace qel {

constexpr DWORD kErrorReachedThroughLink = ERROR_CANT_ACCESS_FILE;
bool MoveWithoutLinks(const std::wstring& from, const std::wstring& to, bool replace);
bool DeleteFileWithoutLinks(const std::wstring& path);
bool RemoveFolderWithoutLinks(const std::wstring& path);
// Clears read-only and every other attribute (SetFileAttributesW with
// FILE_ATTRIBUTE_NORMAL) of the file or folder, through a checked handle.
bool MakeNormalWithoutLinks(const std::wstring& path);
// The file or folder, opened by handle, is no link and lies where its path
// says; true too when it cannot be opened (nothing is reached through a link).
bool IsReachedWithoutLinks(const std::wstring& path);

}  // namespace qel
