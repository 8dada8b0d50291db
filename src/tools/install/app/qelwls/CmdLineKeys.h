// The section processor and the setup-script key handlers. Handlers read the
// script and queue records in the transaction; none of them changes the system.
#pragma once

#include "DriverInf.h"
#include "Update.h"

#include <string>
#include <vector>

namespace qel {

// Runs every key handler on one section, in the fixed key order.
void ProcessSection(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
// Starts the transaction's rollback log in the Windows folder, unless it has one.
void StartRollbackLog(UpdateTransaction& transaction);
// Starts the rollback log and runs the sections in turn.
void ProcessSections(UpdateTransaction& transaction, const InfFile& script, const std::vector<std::wstring>& sections);

// File keys.
void CopyFilesKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
void DelFilesKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
void RegDelFilesKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
void DelDirsKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);

// Registry keys.
void AddRegKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
void DelRegKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);

// Sub-installs and the uninstall log. SubInstallKey is true when a sub-install ran.
bool SubInstallKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
void UninstallLogKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section);
// The full path of [Setup] UninstallLog; its folder is created.
void GetUninstallLogPath(const InfFile& script, std::wstring& out);

// The setup's own install count ("QelSetup" in SharedDLLs).
// The release is announced in the transaction's rollback log with the count
// as it was.
bool ReleaseInstallRef(UpdateTransaction& transaction);

}  // namespace qel
