// Result codes, their names and the result message in the registry.
#include "BasicException.h"
#include "CmdLine.h"
#include "Handles.h"
#include "Trace.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "CmdLine";

struct ResultName {
    int code;
    const wchar_t* name;
};
// The lookup table, in the order it is searched.
constexpr ResultName kResultNames[] = {
    {SetupSuccess, L"SetupSuccess"},
    {SetupSuccessNeedReboot, L"SetupSuccessNeedReboot"},
    {SetupSuccessNeedRestartDriver, L"SetupSuccessNeedRestartDriver"},
    {SetupErrorNoConfigFile, L"SetupErrorNoConfigFile"},
    {SetupErrorInsuficientPrivileges, L"SetupErrorInsuficientPrivileges"},
    {SetupErrorInvalidArguments, L"SetupErrorInvalidArguments"},
    {SetupErrorInternal, L"SetupErrorInternal"},
    {SetupErrorNoMemory, L"SetupErrorNoMemory"},
    {SetupErrorUnknown, L"SetupErrorUnknown"},
};

constexpr wchar_t kMessageKey[] = L"SOFTWARE\\QelSetup";
// Read and write, in the 32-bit view the setup programs that read it use.
constexpr REGSAM kMessageAccess = KEY_READ | KEY_WRITE | KEY_WOW64_32KEY;
}  // namespace

const wchar_t* GetResultName(int code) {
    for (const ResultName& entry : kResultNames)
        if (entry.code == code) return entry.name;
    return nullptr;
}

bool EndsWithoutResultLine(int exitCode) {
    return (exitCode >= SetupErrorNoConfigFile && exitCode <= SetupErrorUnsupportedPlatform) ||
           exitCode == SetupErrorUnknown;
}

int MsiExitCode(int setupResult) {
    switch (setupResult) {
    case SetupSuccess: return 0;
    // The new driver is in place but runs only once the adapter's driver is
    // restarted, which a restart of the machine does. A fleet tool reads 3010
    // as "schedule a restart"; 0 would leave the old driver running with
    // nobody told.
    case SetupSuccessNeedReboot:
    case SetupSuccessNeedRestartDriver: return 3010;
    case SetupErrorInvalidArguments: return 1639;
    default: return 1603;
    }
}

void RegWriteMessage(const std::wstring& message) {
    UniqueKey key;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kMessageKey, 0, kMessageAccess, key.Put()) != ERROR_SUCCESS) {
        LSTATUS status = ::RegCreateKeyExW(HKEY_CURRENT_USER, kMessageKey, 0, nullptr, 0, kMessageAccess, nullptr,
                                           key.Put(), nullptr);
        if (status != ERROR_SUCCESS) {
            TraceWrite(TraceDetail, L"RegWriteMessage() Failed to create registry key\n");
            QEL_RAISE(kMessageKey, static_cast<DWORD>(status));
        }
        status = ::RegOpenKeyExW(HKEY_CURRENT_USER, kMessageKey, 0, kMessageAccess, key.Put());
        if (status != ERROR_SUCCESS) {
            TraceWrite(TraceDetail, L"RegWriteMessage() Failed to open registry key\n");
            QEL_RAISE(kMessageKey, static_cast<DWORD>(status));
        }
    }
    const DWORD bytes = static_cast<DWORD>((message.size() + 1) * sizeof(wchar_t));
    const LSTATUS status =
        ::RegSetValueExW(key.Get(), L"Message", 0, REG_SZ, reinterpret_cast<const BYTE*>(message.c_str()), bytes);
    if (status != ERROR_SUCCESS) {
        TraceWrite(TraceDetail, L"RegWriteMessage() Failed to set registry key\n");
        QEL_RAISE(L"Message", static_cast<DWORD>(status));
    }
}

}  // namespace qel
