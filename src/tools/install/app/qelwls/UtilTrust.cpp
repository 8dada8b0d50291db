// Driver-signature verification and extraction of one file from a cabinet.
#include "Handles.h"
#include "Trace.h"
#include "Util.h"

#include <softpub.h>
#include <wintrust.h>


namespace qel {
namespace {

// The driver-signing policy of Windows.
const GUID kDriverActionVerify = {0xF750E6C3, 0x38EE, 0x11D1, {0x85, 0xE5, 0x00, 0xC0, 0x4F, 0xC2, 0x95, 0xEE}};

struct CabinetWalk {
    std::wstring wantedName;  // lower case
    std::wstring destination;
    bool extracted = false;
};

UINT CALLBACK CabinetCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR /*param2*/) {
    auto* walk = static_cast<CabinetWalk*>(context);
    switch (notification) {
    case SPFILENOTIFY_FILEINCABINET: {
        // Once the file is out the walk is ended; otherwise everything but the
        // wanted file is skipped.
        if (walk->extracted) return FILEOP_ABORT;
        auto* info = reinterpret_cast<FILE_IN_CABINET_INFO_W*>(param1);
        if (Lowercase(info->NameInCabinet) != walk->wantedName) return FILEOP_SKIP;
        // The target buffer holds MAX_PATH characters: a longer target would
        // be cut to the name of another file, so the file is not extracted.
        if (walk->destination.size() >= MAX_PATH) return FILEOP_ABORT;
        lstrcpynW(info->FullTargetName, walk->destination.c_str(), MAX_PATH);
        return FILEOP_DOIT;
    }
    case SPFILENOTIFY_NEEDNEWCABINET:
        TraceWrite(TraceDetail, L"ExtractFileFromCabinet: system is asking for new cabinet\n");
        return FILEOP_SKIP;
    case SPFILENOTIFY_FILEEXTRACTED:
        walk->extracted = true;
        return NO_ERROR;
    default:
        return NO_ERROR;
    }
}

}  // namespace

bool VerifyTrust(const std::wstring& filePath) {
    // The file is opened here, shared for reading, and closed on every path:
    // the check must not keep it from being copied later in the run (the
    // driver package key checks the package's catalog and then stages that
    // very file).
    UniqueHandle file(::CreateFileW(filePath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    WINTRUST_FILE_INFO fileInfo{};
    fileInfo.cbStruct = sizeof(fileInfo);
    fileInfo.pcwszFilePath = filePath.c_str();
    fileInfo.hFile = file ? file.Get() : INVALID_HANDLE_VALUE;

    WINTRUST_DATA trustData{};
    trustData.cbStruct = sizeof(trustData);
    trustData.dwUIChoice = WTD_UI_ALL;
    trustData.fdwRevocationChecks = WTD_REVOKE_NONE;
    trustData.dwUnionChoice = WTD_CHOICE_FILE;
    trustData.pFile = &fileInfo;
    trustData.dwStateAction = WTD_STATEACTION_VERIFY;

    GUID action = kDriverActionVerify;
    const auto winVerifyTrust = SystemCall<decltype(&::WinVerifyTrust)>(L"wintrust.dll", "WinVerifyTrust");
    const LONG result = winVerifyTrust(nullptr, &action, &trustData);
    // The verification keeps its state (and what it opened) until closed.
    trustData.dwStateAction = WTD_STATEACTION_CLOSE;
    winVerifyTrust(nullptr, &action, &trustData);

    wchar_t* text = nullptr;
    ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                     static_cast<DWORD>(result), 0, reinterpret_cast<LPWSTR>(&text), 0, nullptr);
    UniqueLocalMem textOwner(text);
    TraceWrite(TraceDetail, L"VerifyTrust: WinVerifyTrust returned %d: %s", result, text ? text : L"");
    return result == 0;
}

bool ExtractFileFromCabinet(const std::wstring& cabinet, const std::wstring& fileName,
                            const std::wstring& destination) {
    TraceWrite(TraceDetail, L"ExtractFileFromCabinet: cabFile %s, filename %s, dest %s\n", cabinet.c_str(),
               fileName.c_str(), destination.c_str());
    CabinetWalk walk{Lowercase(fileName), destination};
    const BOOL result = ::SetupIterateCabinetW(cabinet.c_str(), 0, CabinetCallback, &walk);
    TraceWrite(TraceDetail, L"ExtractFileFromCabinet: result = %d, extracted = %d\n", result, walk.extracted ? 1 : 0);
    // Once the file is out the walk is aborted on purpose. Windows then
    // reports the walk as failed (Wine does not), so the extracted file, not
    // the walk's result, decides.
    return walk.extracted;
}

}  // namespace qel
