// The faults a command of the installer would hit with a package, found
// before anything is changed: what check lists and plan shows before its plan.
#pragma once

#include "KitFindings.h"
#include "KitScript.h"

#include <memory>
#include <string>
#include <vector>

namespace qel {
class UpdateTransaction;
}

namespace kit {

struct FindRequest {
    std::wstring folderArgument;  // the script folder as the command line gives it
    Command command = Command::Install;
    std::vector<std::wstring> extra;  // the sections after [Install]
    std::vector<Road> roads;          // the Windows roads to read the script for
};

// Reads the script as the command would, on each road, and sets what it
// queues against the package and this machine. Changes nothing. With
// `commandOrder`, an install command's records of the first road, read in
// the command's order, are handed over when they read through (else null):
// what plan describes.
Findings FindProblems(Package& package, const FindRequest& request,
                      std::unique_ptr<qel::UpdateTransaction>* commandOrder = nullptr);

// Prints the findings, one line each, then a line that counts them:
// "<script>: 2 errors and 1 warning for install (both Windows roads)".
void PrintFindings(const Findings& findings, const Package& package, const FindRequest& request);

}  // namespace kit
