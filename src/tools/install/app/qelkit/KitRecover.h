// qelkit recover: the runs that were killed before they finished, and their
// undoing with the installer's own recovery.
#pragma once

namespace kit {

// Lists the interrupted runs, one line each, then with `verbose` what undoing
// each would do; with `apply` undoes them (or finishes the clean-up of a run
// interrupted in it). A run whose process still runs is never touched; a run
// whose logs cannot be read through is left in place. 0 when nothing is left
// to recover, 1 otherwise.
int Recover(bool apply, bool verbose);

}  // namespace kit
