// Undoing a failed run from the rollback log, newest record first.
#include "Trace.h"
#include "Update.h"

namespace qel {

void RollbackAll(UpdateTransaction& transaction) {
    for (UpdateTransaction* each : transaction.transactions) each->Rollback();
}

void UpdateTransaction::Rollback() {
    TraceWrite(TraceDetail, L"Rollback()\n");
    if (!rollbackLog.IsOpen()) return;
}

}  // namespace qel
