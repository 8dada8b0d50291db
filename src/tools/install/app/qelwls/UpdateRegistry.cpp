// Registry changes at commit: deletions (stage 2), additions (stage 7).
#include "BasicException.h"
#include "Update.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";
}

void UpdateTransaction::CommitRegDelete(HKEY, const std::wstring& subkey, const std::wstring&, uint32_t) {
    QEL_RAISE(L"registry deletion is not supported by this build: " + subkey, 0);
}

void UpdateTransaction::CommitRegAdd(HKEY, const std::wstring& subkey, const std::wstring&, uint32_t, uint32_t,
                                     const std::vector<BYTE>&, uint32_t) {
    QEL_RAISE(L"registry addition is not supported by this build: " + subkey, 0);
}

bool UpdateTransaction::GSMUDeleteKey(HKEY, const std::wstring&, uint32_t) { return false; }

}  // namespace qel
