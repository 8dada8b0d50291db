#include "DriverInfStore.h"

#include "Handles.h"

#include <setupapi.h>

namespace qel {
namespace {

bool SameTextNoCase(const std::wstring& a, const std::wstring& b) {
    return ::CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

bool IsStoreName(const std::wstring& name) {
    if (name.size() < 8 || !SameTextNoCase(name.substr(0, 3), L"oem") ||
        !SameTextNoCase(name.substr(name.size() - 4), L".inf"))
        return false;
    for (size_t i = 3; i < name.size() - 4; ++i)
        if (name[i] < L'0' || name[i] > L'9') return false;
    return true;
}

bool DeleteIfPresent(const std::wstring& path) {
    return ::DeleteFileW(path.c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

std::wstring InFolder(const std::wstring& folder, const std::wstring& name) {
    return folder.empty() || folder.back() == L'\\' ? folder + name : folder + L"\\" + name;
}

}  // namespace

bool ReadWholeFile(const std::wstring& path, std::string& bytes) {
    bytes.clear();
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    char chunk[8192];
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr)) return false;
        if (read == 0) return true;
        bytes.append(chunk, read);
    }
}

std::wstring FindPackageInStore(const std::wstring& storeFolder, const std::wstring& packageName,
                                const std::string& packageBytes) {
    std::wstring ownName;
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(::FindFirstFileW(InFolder(storeFolder, L"*.inf").c_str(), &found));
    if (!find) return L"";
    do {
        std::string candidate;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || found.nFileSizeHigh != 0 ||
            found.nFileSizeLow != packageBytes.size() || !ReadWholeFile(InFolder(storeFolder, found.cFileName), candidate) ||
            candidate != packageBytes)
            continue;
        if (IsStoreName(found.cFileName)) return found.cFileName;
        if (SameTextNoCase(found.cFileName, packageName)) ownName = found.cFileName;
    } while (::FindNextFileW(find.Get(), &found));
    return ownName;
}

bool RemoveFromStore(const std::wstring& storeFolder, const std::wstring& storeName) {
    const std::wstring infPath = InFolder(storeFolder, storeName);
    const size_t dot = infPath.rfind(L'.');
    const std::wstring pnfPath = (dot == std::wstring::npos ? infPath : infPath.substr(0, dot)) + L".pnf";
    using UninstallFn = BOOL(WINAPI*)(PCWSTR, DWORD, PVOID);
    const HMODULE setupApi = ::GetModuleHandleW(L"setupapi.dll");
    const auto uninstall = setupApi ? reinterpret_cast<UninstallFn>(reinterpret_cast<void*>(
                                          ::GetProcAddress(setupApi, "SetupUninstallOEMInfW")))
                                    : nullptr;
    if (!uninstall) return DeleteIfPresent(infPath) && DeleteIfPresent(pnfPath);
    if (!uninstall(storeName.c_str(), SUOI_FORCEDELETE, nullptr)) return false;
    DeleteIfPresent(pnfPath);
    return true;
}

}  // namespace qel
