// The file keys of a section: CopyFiles, DelFiles, RegDelFiles and DelDirs.
// Each turns the lines of the sections it names into queued file installs,
// file removals or folder removals; nothing is copied or deleted here.
#include "BasicException.h"
#include "CmdLineKeys.h"
#include "Trace.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "CmdLine";

// The program's own uninstaller; it removes itself by other means.
constexpr wchar_t kOwnUninstaller[] = L"qelwlu00.exe";

void ReplaceAll(std::wstring& text, const std::wstring& token, const std::wstring& replacement) {
    for (size_t at = text.find(token); at != std::wstring::npos; at = text.find(token, at + replacement.size()))
        text.replace(at, token.size(), replacement);
}

// Where a copy line's source comes from: the plain file's folder below the
// program's folder, or the cabinet that holds it.
struct SourceLocation {
    std::wstring subFolder;
    std::wstring cabinet;  // full path; empty for a plain file
};

SourceLocation LocateSource(const InfFile& script, const std::wstring& programFolder, const std::wstring& source) {
    SourceLocation location;
    UINT sourceId = 0;
    // A source that [SourceDisksFiles] does not list is the plain file of that
    // name in the program's folder: no sub-folder and no cabinet. It does not
    // take over the sub-folder or cabinet of the line before, which would pull
    // an unlisted file out of an unrelated cabinet.
    if (!script.GetSourceFileLocation(GetFileNamePart(source), sourceId, location.subFolder)) return location;
    TraceWrite(TraceDetail, L"CopyFiles: srcDir = %s\n", location.subFolder.c_str());

    // Field 2 of the disk's line names the cabinet the disk's files are in. An
    // empty field names no file, so the disk then holds plain files.
    std::wstring cabinetName;
    if (script.GetKeyField(L"SourceDisksNames", FormatText(L"%d", sourceId).c_str(), 2, cabinetName) == InfOk &&
        !cabinetName.empty())
        location.cabinet = JoinPath(programFolder, cabinetName);
    return location;
}

void CopySection(UpdateTransaction& transaction, const InfFile& script, const std::wstring& programFolder,
                 const std::wstring& section) {
    TraceWrite(TraceDetail, L"CopyFiles: section is %s\n", section.c_str());
    // The folder comes from the [DestinationDirs] entry of the section as the
    // key names it, while its lines come from the decorated twin if there is one.
    std::wstring targetDir;
    script.GetTargetPathAsNamed(section, targetDir);
    TraceWrite(TraceDetail, L"CopyFiles: targetDir is %s\n", targetDir.c_str());

    long count = 0;
    if (script.GetLineCount(section, count) != InfOk) return;  // the reader has logged it
    for (DWORD index = 0; index < static_cast<DWORD>(count); ++index) {
        const std::wstring target = RequiredField(script, section, index, 1);
        std::wstring source;
        if (script.GetLineField(section, index, 2, source) != InfOk || source.empty()) source = target;
        TraceWrite(TraceDetail, L"CopyFiles: target = %s, src = %s\n", target.c_str(), source.c_str());

        const SourceLocation location = LocateSource(script, programFolder, source);

        int flags = 0;
        if (script.GetIntField(section, index, 4, flags) != InfOk)
            RaiseLineFault(script, section, index, ScriptFault::MissingField, LineWording::Predicate,
                           L"has no flags in field 4");

        // A cabinet member is named by its name inside the cabinet.
        const std::wstring sourcePath =
            location.cabinet.empty() ? JoinPath(JoinPath(programFolder, location.subFolder), source) : source;
        const std::wstring destinationPath = JoinPath(targetDir, target);
        TraceWrite(TraceDetail, L"CopyFiles: FileInstall( %s, %s, %d )\n", sourcePath.c_str(),
                   destinationPath.c_str(), flags);
        transaction.FileInstall(sourcePath, destinationPath, static_cast<uint32_t>(flags), location.cabinet);
    }
}

// keySection: the section whose DelFiles key names this one.
void DeleteSection(UpdateTransaction& transaction, const InfFile& script, const std::wstring& keySection,
                   const std::wstring& section) {
    std::wstring folder;
    script.GetTargetPath(section, folder);
    long count = 0;
    if (script.GetLineCount(section, count) != InfOk)
        QEL_RAISE_AT(MissingSectionPlace(script, keySection, L"DelFiles", section),
                     L"[" + section + L"] is missing", 0);
    for (DWORD index = 0; index < static_cast<DWORD>(count); ++index)
        transaction.FileRemove(JoinPath(folder, RequiredField(script, section, index, 1)), kOwnFileFlags);
}

// False when the section is missing.
bool FolderSection(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section) {
    long count = 0;
    if (script.GetLineCount(section, count) != InfOk) return false;
    for (DWORD index = 0; index < static_cast<DWORD>(count); ++index) {
        const std::wstring folder = RequiredField(script, section, index, 1);
        // A relative folder would be resolved against whatever folder is
        // current when the clean-up runs.
        if (!IsAbsolutePath(folder))
            RaiseLineFault(script, section, index, ScriptFault::InvalidLine, LineWording::Predicate,
                           L"names a relative folder: " + folder);
        int kind = DirRemoveIfEmpty;
        if (script.GetIntField(section, index, 2, kind) != InfOk) kind = DirRemoveIfEmpty;
        transaction.DirRemove(folder, static_cast<uint32_t>(kind));
    }
    return true;
}

// The values of one registry key under HKLM hold paths of files to remove.
void RegistryListedFiles(UpdateTransaction& transaction, const std::wstring& keyPath, const std::wstring& windowsFolder,
                         const std::wstring& systemFolder) {
    UniqueKey key;
    // The paths become deletions by an elevated process: they are taken only
    // from a key that ordinary users cannot write, and never from one a
    // user's link leads to.
    const LSTATUS opened = OpenKeyWithoutLinks(HKEY_LOCAL_MACHINE, keyPath, KEY_ALL_ACCESS | KEY_WOW64_64KEY,
                                               RegistryLinks::FollowTrusted, key);
    if (opened != ERROR_SUCCESS && opened != kErrorStoppedOnLink) return;
    if (opened == kErrorStoppedOnLink || !OnlyAdministratorsCanChange(key.Get())) {
        TraceWrite(TraceError, L"RegDelFiles: \"%s\" can be changed by users who are not administrators; "
                               L"the files it lists are not removed\n",
                   keyPath.c_str());
        return;
    }
    std::wstring valueName;
    for (DWORD index = 0; EnumValueName(key.Get(), index, valueName) == ERROR_SUCCESS; ++index) {
        std::wstring path;
        const LSTATUS status = QueryStringValue(key.Get(), valueName, path);
        if (status != ERROR_SUCCESS) QEL_RAISE(keyPath + L"\\" + valueName, static_cast<DWORD>(status));
        ReplaceAll(path, L"%WIN_DIR%", windowsFolder);
        ReplaceAll(path, L"%WIN_SYS_DIR%", systemFolder);
        // Driver packages staged in the INF store leave by driver removal,
        // never as plain files.
        if (IsOemInfName(path)) continue;
        const std::wstring lowered = Lowercase(path);
        if (lowered.find(kOwnUninstaller) != std::wstring::npos) continue;
        transaction.FileRemove(lowered, kOwnFileFlags);
    }
}

}  // namespace

void CopyFilesKey(const RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                  const std::wstring& section) {
    std::vector<std::wstring> sections;
    if (script.GetKeyValues(section, L"CopyFiles", sections) != InfOk) return;
    // Sources are taken from the folder of the program, not from that of the script.
    for (const std::wstring& copySection : sections)
        CopySection(transaction, script, context.workingDir, copySection);
}

void DelFilesKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section) {
    std::vector<std::wstring> sections;
    if (script.GetKeyValues(section, L"DelFiles", sections) != InfOk) return;
    for (const std::wstring& deleteSection : sections) DeleteSection(transaction, script, section, deleteSection);
}

void RegDelFilesKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section) {
    const std::wstring systemFolder = SystemFolder();
    std::wstring windowsFolder;
    GetWindowsFolder(windowsFolder);
    std::vector<std::wstring> keys;
    if (script.GetKeyValues(section, L"RegDelFiles", keys) != InfOk) return;
    for (const std::wstring& keyPath : keys) RegistryListedFiles(transaction, keyPath, windowsFolder, systemFolder);
}

void DelDirsKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section) {
    std::vector<std::wstring> sections;
    if (script.GetKeyValues(section, L"DelDirs", sections) != InfOk) return;
    // A missing folder section ends the key: the sections after it are not read.
    for (const std::wstring& folderSection : sections)
        if (!FolderSection(transaction, script, folderSection)) return;
}

}  // namespace qel
