// One network adapter named by its NetCfgInstanceId: found among the present
// network-class devices through its driver key, then disabled or enabled by
// the device installer. Only adapters a user sees are candidates, so the
// hidden virtual miniports of other filter stacks are never touched.
#include "DevMgr.h"

#include "Trace.h"
#include "UpdateDrivers.h"

namespace qel {
namespace {
constexpr DWORD kNcfVirtual = 0x1;
constexpr DWORD kNcfPhysical = 0x4;
constexpr DWORD kNcfHidden = 0x8;
constexpr DWORD kDriverKeyRead = 0x20019;  // KEY_READ
const GUID kNetworkClass = {0x4D36E972, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

// Only a device with a driver has a driver key worth opening.
bool HasDriver(HDEVINFO set, SP_DEVINFO_DATA& device) {
    BYTE driver[512] = {};
    return ::SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DRIVER, nullptr, driver, sizeof(driver), nullptr) !=
           FALSE;
}
}  // namespace

bool ReadAdapterInfo(HKEY driverKey, AdapterInfo& info) {
    DWORD size = sizeof(info.instanceId);
    if (::RegQueryValueExW(driverKey, L"NetCfgInstanceId", nullptr, nullptr, reinterpret_cast<BYTE*>(info.instanceId),
                           &size) != ERROR_SUCCESS)
        return false;
    // A value that filled the field exactly has no terminator of its own.
    info.instanceId[sizeof(info.instanceId) / sizeof(wchar_t) - 1] = L'\0';
    DWORD characteristics = 0;
    size = sizeof(characteristics);
    if (::RegQueryValueExW(driverKey, L"Characteristics", nullptr, nullptr, reinterpret_cast<BYTE*>(&characteristics),
                           &size) == ERROR_SUCCESS) {
        if ((characteristics & kNcfPhysical) != 0) {
            info.shown = 1;
        } else if ((characteristics & kNcfVirtual) != 0 && (characteristics & kNcfHidden) == 0) {
            info.shown = 1;
            info.isVirtual = 1;
        }
    }
    return true;
}

int FindAdapter(const std::wstring& instanceId) {
    UniqueDevInfo adapters(::SetupDiGetClassDevsW(&kNetworkClass, nullptr, nullptr, DIGCF_PRESENT));
    if (!adapters) {
        TraceWrite(TraceDetail, L"SetupDiGetClassDevs failed\n");
        return -1;
    }
    SP_DEVINFO_DATA device;
    for (DWORD index = 0; EnumDevice(adapters.Get(), index, device); ++index) {
        AdapterInfo info{};
        if (!HasDriver(adapters.Get(), device)) continue;
        UniqueKey driverKey = OpenDriverKey(adapters.Get(), device, kDriverKeyRead);
        if (!driverKey) continue;
        if (!ReadAdapterInfo(driverKey.Get(), info)) TraceWrite(TraceDetail, L"Unable to process adapter\n");
        if (info.shown == 1 && ::lstrcmpiW(info.instanceId, instanceId.c_str()) == 0) return static_cast<int>(index);
    }
    return -1;
}

bool SetAdapterState(const std::wstring& instanceId, bool enable) {
    const int index = FindAdapter(instanceId);
    if (index == -1) {
        TraceWrite(TraceDetail, L"Adapter is not found.\n");
        return false;
    }
    return ChangeNetAdapterState(static_cast<DWORD>(index), enable);
}

}  // namespace qel
