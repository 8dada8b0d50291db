#include "DevMgrIds.h"

#include <cwchar>

namespace qel {

std::vector<std::wstring> GetDeviceIds(HDEVINFO set, SP_DEVINFO_DATA& device) {
    std::vector<std::wstring> ids;
    for (const DWORD property : {SPDRP_HARDWAREID, SPDRP_COMPATIBLEIDS}) {
        DWORD bytes = 0;
        ::SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, nullptr, 0, &bytes);
        if (bytes == 0) continue;
        // Two spare characters: the list ends with an empty string even when
        // the stored value lacks its terminators.
        std::vector<wchar_t> list(bytes / sizeof(wchar_t) + 2, L'\0');
        if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, reinterpret_cast<BYTE*>(list.data()),
                                                 bytes, nullptr))
            continue;
        for (const wchar_t* id = list.data(); *id; id += wcslen(id) + 1) ids.emplace_back(id);
    }
    return ids;
}

}  // namespace qel
