// The commit's stages in one table: each stage's name, the rule of its share
// in the commit's total cost, and the step that carries it out. The commit
// runs the table in order; qelkit numbers, names and costs the stages of a
// plan from the same table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qel {

class UpdateTransaction;

// What each step of a stage adds to the progress. A stage's cost counts its
// steps with the same amounts, so that the progress of a commit ends at its
// total where every counted step has work to do.
constexpr uint32_t kCostPreRun = 30;             // a program run before the changes, or ended
constexpr uint32_t kCostRegistryStage = 1;       // each registry stage, once per transaction
constexpr uint32_t kCostDriverUninstall = 100;   // the devices' removal (before Vista), or one package's
                                                 // removal by the package installer (from Vista on)
constexpr uint32_t kCostInfRemove = 10;          // an INF taken out of the INF store
constexpr uint32_t kCostFile = 3;                // a file removed, installed or moved
constexpr uint32_t kCostInfInstall = 10;         // an INF put into the INF store
constexpr uint32_t kCostReenumerate = 100;       // the devices enumerated again before their update
constexpr uint32_t kCostDriverUpdate = 100;      // the devices' driver update
constexpr uint32_t kCostPostRun = 10;            // a program run after the changes
// The package installer's install from Vista on reports this amount, which
// no cost counts: the total then ends below what is done.
constexpr uint32_t kProgressDriverPackageInstall = 100;

// The progress of one commit: "Progress" lines on the status channel, each
// with the commit's total and what is done so far. Done is never clamped to
// the total: some steps count work that has nothing to do on this system,
// others add work the total does not count.
class CommitProgress {
public:
    explicit CommitProgress(uint32_t total) : total_(total) {}
    // Adds the step's amount and reports.
    void Advance(uint32_t amount);

private:
    uint32_t total_;
    uint32_t done_ = 0;
};

// The stages by name, for those that describe one stage or another. The
// order that counts is the table's.
enum class CommitStageId : size_t {
    ProgramsBefore,
    RegistryDeletions,
    DriverRemoval,
    FileRemovals,
    Files,
    Drivers,
    RegistryAdditionsAndLinks,
    ProgramsAfter,
};
constexpr size_t kCommitStages = 8;

struct CommitStage {
    CommitStageId id;
    const wchar_t* name;
    // One transaction's share of the commit's total.
    uint32_t (*cost)(const UpdateTransaction&);
    // Carries out one transaction's records of the stage.
    void (*run)(UpdateTransaction&, CommitProgress&);
};

// The stages in the order the commit runs them, each over all transactions
// before the next begins; a stage's number is its place here, counted from 1.
const std::array<CommitStage, kCommitStages>& CommitStages();

}  // namespace qel
