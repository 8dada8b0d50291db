#include "LauncherStaging.h"

#include "BasicException.h"
#include "Handles.h"
#include "Util.h"

#include <vector>

namespace launcher {
namespace {
constexpr const char* kModuleName = "Launcher";
constexpr wchar_t kStagingPrefix[] = L"qelsetup-";

std::wstring WindowsFolder() {
    std::wstring folder;
    qel::GetWindowsFolder(folder);
    return folder;
}

// The plain files of a folder that match a pattern ("*", "*.ini").
std::vector<std::wstring> FilesOf(const std::wstring& folder, const wchar_t* pattern) {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found;
    qel::UniqueFindHandle find(::FindFirstFileW(qel::JoinPath(folder, pattern).c_str(), &found));
    if (!find) return files;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) files.push_back(found.cFileName);
    } while (::FindNextFileW(find.Get(), &found));
    return files;
}

// Deletes the files of a staging folder and the folder; what is in use stays.
// A folder that is a link is never followed.
void RemoveStagingFolder(const std::wstring& folder) {
    if (qel::IsReparsePoint(folder)) return;
    for (const std::wstring& name : FilesOf(folder, L"*")) ::DeleteFileW(qel::JoinPath(folder, name).c_str());
    ::RemoveDirectoryW(folder.c_str());
}

}  // namespace

StagedInstaller::StagedInstaller(const std::wstring& packageFolder) {
    folder_ = qel::JoinPath(WindowsFolder(), kStagingPrefix + std::to_wstring(::GetCurrentProcessId()));
    // A folder of this name is left by an earlier process with the same id,
    // which has ended.
    RemoveStagingFolder(folder_);
    if (!::CreateDirectoryW(folder_.c_str(), nullptr)) QEL_RAISE(folder_, ::GetLastError());
    std::vector<std::wstring> names = FilesOf(packageFolder, L"*.ini");
    names.push_back(L"qelwls64.exe");
    for (const std::wstring& name : names) {
        const std::wstring target = qel::JoinPath(folder_, name);
        if (!::CopyFileW(qel::JoinPath(packageFolder, name).c_str(), target.c_str(), TRUE)) {
            const DWORD error = ::GetLastError();
            RemoveStagingFolder(folder_);
            QEL_RAISE(target, error);
        }
    }
}

StagedInstaller::~StagedInstaller() { RemoveStagingFolder(folder_); }

void SweepStagingFolders() {
    const std::wstring windows = WindowsFolder();
    WIN32_FIND_DATAW found;
    qel::UniqueFindHandle find(::FindFirstFileW(qel::JoinPath(windows, std::wstring(kStagingPrefix) + L"*").c_str(),
                                                &found));
    if (!find) return;
    std::vector<std::wstring> folders;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) folders.push_back(found.cFileName);
    } while (::FindNextFileW(find.Get(), &found));
    for (const std::wstring& name : folders) RemoveStagingFolder(qel::JoinPath(windows, name));
}

}  // namespace launcher
