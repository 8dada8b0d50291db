// Libraries that are not on the system's known-DLL list (version, wintrust)
// are never imported: Windows would look for them in the program's folder
// first, before any code runs, and a package folder is often writable by the
// user who unpacked it. They are loaded here by their full path in the system
// folder when first needed and kept until the process ends.
#include "BasicException.h"
#include "Handles.h"
#include "Util.h"

#include <map>

namespace qel {
namespace {
constexpr const char* kModuleName = "Util";
}

FARPROC GetSystemLibraryExport(const wchar_t* library, const char* name) {
    static std::map<std::wstring, UniqueLibrary> loaded;
    auto found = loaded.find(library);
    if (found == loaded.end()) {
        const std::wstring path = JoinPath(SystemFolder(), library);
        UniqueLibrary module(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
        if (!module) QEL_RAISE(path, ::GetLastError());
        found = loaded.emplace(library, std::move(module)).first;
    }
    const FARPROC function = ::GetProcAddress(found->second.Get(), name);
    if (!function) QEL_RAISE(FormatText(L"%s!%S", library, name), ::GetLastError());
    return function;
}

struct LoadedModule {
    UniqueLibrary handle;
};

LoadedLibrary::LoadedLibrary(const wchar_t* name) : module_(std::make_unique<LoadedModule>()) {
    const std::wstring path = JoinPath(SystemFolder(), name);
    module_->handle.Reset(::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module_->handle) QEL_RAISE(name, 0);
}

LoadedLibrary::~LoadedLibrary() = default;

FARPROC LoadedLibrary::Export(const char* name) const { return ::GetProcAddress(module_->handle.Get(), name); }

bool RestrictDllSearchToSystemFolder() {
    // Missing before Windows 7 with its loader update; there the libraries
    // above are loaded by full path anyway, and the program's folder is only
    // taken out of the search path.
    using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
    const HMODULE kernel32 = ::GetModuleHandleW(L"kernel32.dll");
    const auto setDefaultDllDirectories = kernel32 ? reinterpret_cast<SetDefaultDllDirectoriesFn>(
                                                         reinterpret_cast<void*>(::GetProcAddress(kernel32, "SetDefaultDllDirectories")))
                                                   : nullptr;
    if (setDefaultDllDirectories) return setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32) != FALSE;
    return ::SetDllDirectoryW(L"") != FALSE;
}

}  // namespace qel
