#include "KitHash.h"

#include "Handles.h"
#include "KitOutput.h"
#include "Util.h"

#include <setupapi.h>

namespace kit {

std::wstring FileSha256(const std::wstring& path) {
    qel::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                         OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return L"";
    qel::UniqueCryptProvider provider;
    qel::UniqueCryptHash hash;
    if (!::CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        !::CryptCreateHash(provider.Get(), CALG_SHA_256, 0, 0, hash.Put()))
        return L"";
    BYTE chunk[65536];
    DWORD read = 0;
    while (::ReadFile(file.Get(), chunk, sizeof(chunk), &read, nullptr) && read > 0)
        if (!::CryptHashData(hash.Get(), chunk, read, 0)) return L"";
    BYTE digest[32];
    DWORD size = sizeof(digest);
    if (!::CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &size, 0) || size != sizeof(digest)) return L"";
    std::wstring hex;
    for (BYTE b : digest) hex += Format(L"%02x", b);
    return hex;
}

std::map<std::wstring, std::wstring> CabinetSha256(const std::wstring& cabinet) {
    std::map<std::wstring, std::wstring> digests;
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
    if (length == 0 || length > MAX_PATH) return digests;
    const std::wstring folder =
        qel::JoinPath(std::wstring(temp, length), Format(L"qelkit-%lu", static_cast<unsigned long>(::GetCurrentProcessId())));
    if (!::CreateDirectoryW(folder.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS) return digests;
    // Each member is extracted on its own, read and deleted before the next.
    struct Extraction {
        std::wstring folder;
        std::wstring current;  // the member being extracted
        std::map<std::wstring, std::wstring>* digests;
    } extraction{folder, L"", &digests};
    const auto each = [](PVOID context, UINT notification, UINT_PTR param1, UINT_PTR) -> UINT {
        auto& state = *static_cast<Extraction*>(context);
        if (notification == SPFILENOTIFY_FILEINCABINET) {
            auto* info = reinterpret_cast<FILE_IN_CABINET_INFO_W*>(param1);
            state.current = qel::Lowercase(info->NameInCabinet);
            // Members in sub-folders of the cabinet are taken by their name.
            const std::wstring target = qel::JoinPath(state.folder, L"member.bin");
            if (target.size() >= MAX_PATH) return FILEOP_SKIP;
            lstrcpynW(info->FullTargetName, target.c_str(), MAX_PATH);
            return FILEOP_DOIT;
        }
        if (notification == SPFILENOTIFY_FILEEXTRACTED) {
            const auto* done = reinterpret_cast<const FILEPATHS_W*>(param1);
            if (done->Win32Error == NO_ERROR) (*state.digests)[state.current] = FileSha256(done->Target);
            ::DeleteFileW(done->Target);
        }
        return NO_ERROR;
    };
    ::SetupIterateCabinetW(cabinet.c_str(), 0, each, &extraction);
    ::RemoveDirectoryW(folder.c_str());
    return digests;
}

}  // namespace kit
