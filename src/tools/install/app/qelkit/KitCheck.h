// qelkit check: every fault of a setup script and its package, as a command
// would meet them on either Windows road.
#pragma once

#include "KitScript.h"

#include <string>
#include <vector>

namespace kit {

// Lists the findings on standard output. 0: no error (warnings allowed),
// 1: errors (or no readable script), 2: the folder does not exist.
int Check(const std::wstring& folderArgument, Command command, const std::vector<std::wstring>& extra,
          const std::vector<Road>& roads);

// The kinds of finding with their codes, levels and what to do about them.
void PrintCodes();

}  // namespace kit
