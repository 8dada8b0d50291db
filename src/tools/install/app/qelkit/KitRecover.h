// qelkit recover: the runs that were killed before they finished, and their
// undoing with the installer's own recovery.
#pragma once

namespace kit {

// Lists the interrupted runs and what undoing each would do; with `apply`
// undoes them. A run whose process still runs is never touched; a run whose
// logs cannot be read through is left in place. 0 when nothing is left to
// recover, 1 otherwise.
int Recover(bool apply);

}  // namespace kit
