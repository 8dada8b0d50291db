#include "UtilRunLock.h"

#include "BasicException.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "Util";
}  // namespace

const wchar_t kRunLockName[] = L"Global\\qelwls-run";

NamedMutexHold::NamedMutexHold(const wchar_t* name, DWORD waitMs) {
    // Made if missing, opened if it exists; made without being taken, so the
    // wait below is the one place that takes it.
    mutex_.Reset(::CreateMutexW(nullptr, FALSE, name));
    if (!mutex_) QEL_RAISE(name, ::GetLastError());
    const DWORD waited = ::WaitForSingleObject(mutex_.Get(), waitMs);
    if (waited == WAIT_FAILED) QEL_RAISE(name, ::GetLastError());
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    tookOver_ = waited == WAIT_ABANDONED;
}

NamedMutexHold::~NamedMutexHold() {
    if (held_) ::ReleaseMutex(mutex_.Get());
}

bool InstallerRunInProgress() {
    UniqueHandle mutex(::OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, kRunLockName));
    if (!mutex) return ::GetLastError() != ERROR_FILE_NOT_FOUND;
    const DWORD waited = ::WaitForSingleObject(mutex.Get(), 0);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        ::ReleaseMutex(mutex.Get());
        return false;
    }
    return true;
}

}  // namespace qel
