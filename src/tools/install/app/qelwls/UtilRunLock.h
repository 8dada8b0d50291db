// One installer run at a time on a machine: a named mutex in the global
// namespace, held by a run while it changes the system, and the test a front
// end makes before it starts one. A mutex belongs to the thread that took it:
// a lock is released on the thread that acquired it.
#pragma once

#include "Handles.h"

#include <functional>
#include <memory>

namespace qel {

// The machine-wide lock of installer runs.
extern const wchar_t kRunLockName[];

// A named mutex held while the object lives, released when it goes.
class NamedMutexHold {
public:
    // Tries to take the mutex `name`, waiting at most waitMs (INFINITE: until
    // it is free). A mutex whose holder ended without releasing it (killed,
    // crashed) is taken over. Raises when the mutex cannot be made or opened.
    NamedMutexHold(const wchar_t* name, DWORD waitMs);
    ~NamedMutexHold();
    NamedMutexHold(const NamedMutexHold&) = delete;
    NamedMutexHold& operator=(const NamedMutexHold&) = delete;

    bool Held() const { return held_; }
    // The previous holder ended without releasing it.
    bool TookOver() const { return tookOver_; }

private:
    UniqueHandle mutex_;
    bool held_ = false;
    bool tookOver_ = false;
};

// The run lock, waited for until it is free.
class RunLock : public NamedMutexHold {
public:
    RunLock() : NamedMutexHold(kRunLockName, INFINITE) {}
};

// The run lock for work that changes the machine: taken at once when free;
// otherwise `beforeWaiting` is called and the lock waited for until the run
// that holds it ends. None (nullptr) in a process started inside that run
// (below), which must not wait for it.
std::unique_ptr<NamedMutexHold> TakeRunLock(const std::function<void()>& beforeWaiting);

// Whether an installer run holds the run lock now; does not wait. A lock left
// by a run that ended without releasing it is no run in progress. A lock that
// exists but cannot be opened counts as held: nothing but a run makes it. The
// run this process was started inside (see below) is no other run.
bool InstallerRunInProgress();

// A run that holds the lock may start programs and wait for them; an upgrade
// runs the old package's uninstall command, which may be this installer (or
// the setup program that starts it). Such a program works inside the run
// that started it: waiting for that run's lock would wait for ever. The
// holder names itself in an environment variable its programs inherit;
// StartedInsideRun() is true in a descendant while that holder still runs.
void LetProgramsWorkInsideThisRun();
bool StartedInsideRun();

}  // namespace qel
