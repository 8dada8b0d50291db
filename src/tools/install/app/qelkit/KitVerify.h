// qelkit verify: the installed product against its uninstall log and its
// package.
#pragma once

#include "KitScript.h"

#include <string>
#include <vector>

namespace kit {

// Lists what is not as the install left it: files missing or changed (their
// digest against the package's source), driver packages missing, registry
// values of the script's AddReg lines missing, SharedDLLs counts missing.
// 0: intact; 1: damaged or not installed (or the script cannot be read);
// 2: the folder does not exist.
int Verify(const std::wstring& folderArgument, Command command, const std::vector<std::wstring>& extra);

}  // namespace kit
