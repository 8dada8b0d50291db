// The AddReg and DelReg keys.
#include "BasicException.h"
#include "CmdLineKeys.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "CmdLine";

void RefuseIfPresent(const InfFile& script, const std::wstring& section, const wchar_t* key) {
    std::vector<std::wstring> values;
    if (script.GetKeyValues(section, key, values) == InfOk)
        QEL_RAISE(std::wstring(L"key ") + key + L" in [" + section + L"] is not supported by this build", 0);
}
}  // namespace

void AddRegKey(UpdateTransaction&, const InfFile& script, const std::wstring& section) {
    RefuseIfPresent(script, section, L"AddReg");
}

void DelRegKey(UpdateTransaction&, const InfFile& script, const std::wstring& section) {
    RefuseIfPresent(script, section, L"DelReg");
}

}  // namespace qel
