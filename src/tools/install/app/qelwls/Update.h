// UpdateTransaction: the install transaction that queues every change of a run
// and commits it stage by stage.
#pragma once

#include <string>

namespace qel {

class UpdateTransaction {
public:
    std::wstring driverInfName;  // file name of the package's driver INF

    bool IsRebootRequired() const { return rebootRequired; }
    bool IsRestartDriverRequired() const { return restartDriverRequired; }
    // Undoes this transaction and its sub-installs from their rollback logs.
    void RollbackAll();

    bool rebootRequired = false;
    bool restartDriverRequired = false;
};

}  // namespace qel
