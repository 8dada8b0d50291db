// Steps of the uninstall roads beside the transaction's replay: the release
// of the setup's install count, which decides between a full and a partial
// uninstall, the tray icon hidden before a partial one, and every user's
// settings deleted after a full one.
#pragma once

#include "Update.h"

#include <string>

namespace qel {

// The setup's own install count ("QelSetup" in SharedDLLs). True when this
// was the last reference (full uninstall). The release is announced in the
// transaction's rollback log with the count as it was, which `countBefore`
// receives.
bool ReleaseInstallRef(UpdateTransaction& transaction, SharedDllPrior& countBefore);

// Raises when one of its keys cannot be opened. The flag as it was is written
// to the transaction's rollback log, if one is open.
void HideTrayIcon(UpdateTransaction& transaction);

// Never raises; false when the profile list cannot be opened.
bool PerUserCleanup();
bool UserHiveLoadOrUnload(const std::wstring& sid, bool load);
// Deletes "802.11" and "CM" below HKEY_USERS\<sid>\SOFTWARE\Ardentix of a
// loaded hive; failures other than a missing key are logged.
void DeleteUserSettings(const std::wstring& sid);

}  // namespace qel
