// Existence checks, temporary files and folder trees.
#include "BasicException.h"
#include "Handles.h"
#include "Util.h"

#include <shlobj.h>

namespace qel {
namespace {
constexpr const char* kModuleName = "Util";
}

bool FileExists(const std::wstring& path) {
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(::FindFirstFileW(path.c_str(), &found));
    return find.Valid();
}

void MakeTempFile(const std::wstring& folder, std::wstring& out) {
    std::wstring buffer(folder.size() + 16, L'\0');
    if (!::GetTempFileNameW(folder.c_str(), L"qel", 0, &buffer[0])) QEL_RAISE(folder, ::GetLastError());
    buffer.resize(wcslen(buffer.c_str()));
    out.swap(buffer);
}

void CreateDirectoryTree(const std::wstring& path) {
    const int result = ::SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) QEL_RAISE(path, static_cast<DWORD>(result));
}

}  // namespace qel
