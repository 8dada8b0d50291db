// qelkit check: every problem of a setup script, as a command reads it.
#pragma once

#include "KitScript.h"

#include <string>
#include <vector>

namespace kit {

// Lists the problems on standard output. 0: none, 1: problems (or no
// readable script), 2: the folder does not exist.
int Check(const std::wstring& folderArgument, Command command, const std::vector<std::wstring>& extra,
          const std::vector<Road>& roads);

}  // namespace kit
