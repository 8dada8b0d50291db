// Registry enumeration and string queries.
#include "BasicException.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "Util";
constexpr DWORD kNameChars = 256;
}  // namespace

LSTATUS EnumSubkeyName(HKEY key, DWORD index, std::wstring& out) {
    wchar_t name[kNameChars];
    DWORD length = kNameChars;
    const LSTATUS status = ::RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) out.assign(name, length);
    return status;
}

LSTATUS EnumValueName(HKEY key, DWORD index, std::wstring& out) {
    wchar_t name[kNameChars];
    DWORD length = kNameChars;
    const LSTATUS status = ::RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_SUCCESS) out.assign(name, length);
    return status;
}

LSTATUS QueryStringValue(HKEY key, const std::wstring& valueName, std::wstring& out) {
    DWORD bytes = 0;
    LSTATUS status = ::RegQueryValueExW(key, valueName.c_str(), nullptr, nullptr, nullptr, &bytes);
    if (status != ERROR_SUCCESS) return status;
    // Room for a terminator the stored data may lack.
    std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    status = ::RegQueryValueExW(key, valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(&buffer[0]), &bytes);
    if (status != ERROR_SUCCESS) QEL_RAISE(valueName, static_cast<DWORD>(status));
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
    out.swap(buffer);
    return ERROR_SUCCESS;
}

}  // namespace qel
