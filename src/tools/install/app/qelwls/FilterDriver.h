// FilterDriver: the product's lightweight network filter, a network service
// component installed and removed through the network configuration engine
// (not the device installer). The engine admits one writer at a time; the
// install waits for its write lock. Like the virtual adapter, this work is
// done directly and is not in the transaction's logs.
#pragma once

#include <windows.h>

#include <string>

namespace qel {

class UpdateTransaction;

constexpr wchar_t kFilterComponentId[] = L"QELIS_NdisLwf";

// Installs the component the INF names; false when the INF is missing or the
// write lock stayed taken. Raises when the engine refuses the install.
bool InstallFilterDriver(UpdateTransaction& transaction, const std::wstring& infPath);
// Removes the component; the engine's result (logged, never raised).
HRESULT UninstallFilterDriver(UpdateTransaction& transaction, const std::wstring& componentId);
// The component id of the INF's first model line for this system.
HRESULT GetInfPnpId(const std::wstring& infPath, std::wstring& id);
// Raises, after a diagnostic line, unless the INF has a model for this
// system: a run that asks for the filter checks its INF before it changes
// anything.
void CheckFilterDriverInf(const std::wstring& infPath);

}  // namespace qel
