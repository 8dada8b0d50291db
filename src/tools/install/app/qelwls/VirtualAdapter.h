// VirtualAdapter: the product's software-only network device. No bus reports
// it, so the device is created root-enumerated with its single hardware id
// and the driver is installed on it from the virtual adapter INF. The install
// logs what it is about to change in the rollback log first.
#pragma once

#include <windows.h>

#include <string>

namespace qel {

class UpdateTransaction;

constexpr wchar_t kVirtualAdapterId[] = L"Root\\qelVWL";

// Creates the device, or updates the driver of the one that exists; a
// missing INF only skips the work. Raises when the device installer fails.
void InstallVirtualDriver(UpdateTransaction& transaction, const std::wstring& infPath);
// Raises, after a diagnostic line, unless the INF has a model of the virtual
// adapter for this system: a run that asks for the adapter checks its INF
// before it changes anything.
void CheckVirtualAdapterInf(const std::wstring& infPath);
// True when a present device has the hardware id (case ignored); with
// `remove` that device is disabled and removed (raises when the removal
// fails).
bool FindDevice(const std::wstring& hardwareId, bool remove);
// A new root-enumerated device with the hardware id and the INF's driver;
// false with the OS error of the first failing step.
bool CreateRootDevice(const std::wstring& hardwareId, const std::wstring& infPath, BOOL& rebootRequired);

}  // namespace qel
