// FilterDriver: the product's lightweight network filter, a network service
// component installed and removed through the network configuration engine
// (not the device installer). The engine admits one writer at a time; the
// install waits for its write lock. The reinstall of an install's "-qelis"
// announces the component as it was in the rollback log first.
#pragma once

#include <windows.h>

#include <string>

namespace qel {

class UpdateTransaction;

constexpr wchar_t kFilterComponentId[] = L"QELIS_NdisLwf";

// Installs the component the INF names; false when the INF is missing or the
// write lock stayed taken. Raises when the engine refuses the install.
bool InstallFilterDriver(UpdateTransaction& transaction, const std::wstring& infPath);
// The reinstall an install's "-qelis" asks for: the component as it is (and
// the INF, if new to the store) logged in the rollback log first, then
// UninstallFilterDriver and InstallFilterDriver.
void ReinstallFilterDriver(UpdateTransaction& transaction, const std::wstring& infPath);
// Removes the component; the engine's result (logged, never raised).
HRESULT UninstallFilterDriver(UpdateTransaction& transaction, const std::wstring& componentId);
// The component id of the INF's first model line for this system.
HRESULT GetInfPnpId(const std::wstring& infPath, std::wstring& id);
// The store INF the installed component's driver comes from (the InfPath of
// the network component's driver key, as Windows keeps it), as a full path;
// empty when the component is not installed.
std::wstring InstalledComponentInf(const std::wstring& componentId);
// The undo of a replaced component: puts it back on the driver of
// `previousInf` (a store INF), or removes it when that is empty; nothing when
// it is so already. Raises as the install does.
void RestoreFilterDriver(UpdateTransaction& transaction, const std::wstring& componentId,
                         const std::wstring& previousInf);
// Raises, after a diagnostic line, unless the INF has a model for this
// system: a run that asks for the filter checks its INF before it changes
// anything.
void CheckFilterDriverInf(const std::wstring& infPath);

}  // namespace qel
