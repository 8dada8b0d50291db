#include "UtilRunLock.h"

#include "BasicException.h"

#include <cwchar>
#include <string>

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

namespace {
// The variable a lock holder's programs inherit: the holder's process id.
constexpr wchar_t kRunHolderVariable[] = L"QELWLS_RUN_HOLDER";
}  // namespace

void LetProgramsWorkInsideThisRun() {
    ::SetEnvironmentVariableW(kRunHolderVariable, std::to_wstring(::GetCurrentProcessId()).c_str());
}

bool StartedInsideRun() {
    wchar_t value[16] = {};
    const DWORD length = ::GetEnvironmentVariableW(kRunHolderVariable, value, 16);
    if (length == 0 || length >= 16) return false;
    wchar_t* end = nullptr;
    const unsigned long holder = std::wcstoul(value, &end, 10);
    if (*end != L'\0' || holder == 0 || holder == ::GetCurrentProcessId()) return false;
    // Only the holder's descendants inherit the variable; a holder that has
    // ended holds nothing, and its lock is free (or abandoned) to be taken.
    UniqueHandle process(::OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(holder)));
    return process && ::WaitForSingleObject(process.Get(), 0) == WAIT_TIMEOUT;
}

std::unique_ptr<NamedMutexHold> TakeRunLock(const std::function<void()>& beforeWaiting) {
    if (StartedInsideRun()) return nullptr;
    auto lock = std::make_unique<NamedMutexHold>(kRunLockName, 0);
    if (!lock->Held()) {
        beforeWaiting();
        lock = std::make_unique<RunLock>();
    }
    LetProgramsWorkInsideThisRun();
    return lock;
}

bool InstallerRunInProgress() {
    if (StartedInsideRun()) return false;
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
