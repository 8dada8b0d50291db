// qelkit plan: what a command would do on this machine, stage by stage.
#pragma once

#include "KitScript.h"

#include "Update.h"
#include "UpdateStages.h"

#include <array>
#include <string>
#include <utility>
#include <vector>

namespace kit {

// One thing the command would do, as decided against the machine now.
struct PlanRecord {
    std::wstring kind;      // program, registry, driver, file-removal, shared-count, file, move, link, folder
    std::wstring decision;  // copy, replace, replace-at-restart, skip-newer, skip-present, remove, set, ...
    std::wstring text;      // the same for a person, one line
    std::vector<std::pair<std::wstring, std::wstring>> fields;  // the record's particulars, by name
};

struct PlanStage {
    int number = 0;
    std::wstring name;
    uint32_t cost = 0;  // its share of the "Progress" total
    std::vector<PlanRecord> records;
};

struct PlanDocument {
    std::wstring command;
    std::wstring script;
    std::wstring road;
    std::vector<std::wstring> notes;  // what the road decides before it queues
    std::array<PlanStage, qel::kCommitStages> stages;
    std::vector<PlanRecord> cleanup;
    uint32_t total = 0;
    bool restartNeeded = false;
};

// The plan as one JSON document (ASCII).
std::string PlanJson(const PlanDocument& plan);

// Prints the plan (as text, or as JSON). 0: done; 1: the script cannot be
// read or queued (the command would fail before any change); 2: the folder
// does not exist.
int Plan(const std::wstring& folderArgument, Command command, const std::vector<std::wstring>& extra, Road road,
         bool asJson);

}  // namespace kit
