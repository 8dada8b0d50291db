// The setup's own install count, kept in SharedDLLs under "QelSetup": the
// parent setup program counts the products that share this installation, and
// an uninstall is full only when it releases the last reference.
#include "CmdLineUninstall.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "CmdLine";
}

bool ReleaseInstallRef(UpdateTransaction& transaction, SharedDllPrior& countBefore) {
    constexpr wchar_t kInstallCount[] = L"QelSetup";
    const SharedDllName name = SharedDllNameOf(kInstallCount, kModuleName);
    countBefore = ReadSharedDllCount(name);
    transaction.LogUndoRecord(countBefore);
    return DecrementSharedDllCount(name, kInstallCount);
}

}  // namespace qel
