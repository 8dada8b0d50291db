// The setup's own install count, kept in SharedDLLs under "QelSetup": the
// parent setup program counts the products that share this installation, and
// an uninstall is full only when it releases the last reference.
#include "CmdLineKeys.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "CmdLine";
}

bool ReleaseInstallRef() { return DecrementSharedDllCount(L"QelSetup", kModuleName); }

void ResetSharedDllRef(const std::wstring& valueName, bool presentBefore) {
    IncrementSharedDllCount(valueName, presentBefore, kModuleName,
                            L"Resetting refcount for %s (presentOnSystem = %d).\n");
}

}  // namespace qel
