#include "Update.h"

namespace qel {

void UpdateTransaction::RollbackAll() {
    // Nothing is queued or changed before the commit exists.
}

}  // namespace qel
