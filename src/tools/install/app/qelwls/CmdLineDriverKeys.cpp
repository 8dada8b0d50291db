// The driver package keys: DriverInf, which queues the package files to be
// staged into the driver store folder (and before Vista the INF install and
// the devices to update), and the package INF names that the driver package
// installer removes on Vista and later.
#include "BasicException.h"
#include "CmdLineContext.h"
#include "CmdLineKeys.h"
#include "Handles.h"
#include "Trace.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "CmdLine";

// Package files are always copied over what is there: the package is
// staged whole, whatever versions the folder held.
constexpr uint32_t kPackageFileFlags = kOwnFileFlags;

std::wstring RequiredSetupValue(const InfFile& script, const wchar_t* key) {
    std::wstring value;
    if (script.GetLineText(L"Setup", key, value) != InfOk) {
        const std::wstring name = std::wstring(L"[Setup] ") + key;
        QEL_RAISE_AT(KeyPlace(script, ScriptFault::SetupSetting, L"Setup", key, name + L" is missing"), name, 0);
    }
    return value;
}

// A folder of [Setup]: the package is staged there and the driver package
// installer started from there, elevated. A relative one would be taken from
// whatever folder is current.
std::wstring RequiredSetupFolder(const InfFile& script, const wchar_t* key) {
    std::wstring folder = RequiredSetupValue(script, key);
    if (!IsAbsolutePath(folder)) {
        const std::wstring fault = std::wstring(key) + L" is not a full path: " + folder;
        QEL_RAISE_AT(KeyPlace(script, ScriptFault::InvalidKey, L"Setup", key, fault), L"[Setup] " + fault, 0);
    }
    return folder;
}

void GetCatalogPath(const InfFile& driverInf, std::wstring& out) {
    std::wstring name;
    driverInf.GetLineText(L"Version", L"CatalogFile", name);
    driverInf.GetDirectory(out);
    AppendPath(out, name);
}

void QueueCatalog(UpdateTransaction& t, const InfFile& driverInf, const wchar_t* key, const std::wstring& sourceFolder,
                  const std::wstring& folder) {
    std::wstring name;
    if (driverInf.GetLineText(L"Version", key, name) != InfOk) return;
    t.FileInstall(JoinPath(sourceFolder, name), JoinPath(folder, name), kPackageFileFlags, L"");
}

void QueuePackageFiles(UpdateTransaction& t, const InfFile& driverInf, const std::wstring& folder) {
    std::wstring sourceFolder;
    driverInf.GetDirectory(sourceFolder);
    QueueCatalog(t, driverInf, L"CatalogFile", sourceFolder, folder);
    QueueCatalog(t, driverInf, L"CatalogFile.NTamd64", sourceFolder, folder);
    std::vector<std::wstring> names;
    driverInf.GetSourceDisksFiles(names);
    for (const std::wstring& name : names)
        t.FileInstall(JoinPath(sourceFolder, name), JoinPath(folder, name), kPackageFileFlags, L"");
    std::wstring infPath;
    driverInf.GetPath(infPath);
    t.InfInstall(infPath, folder);
}

void QueuePnpIds(UpdateTransaction& t, const InfFile& driverInf, const std::wstring& folder) {
    std::wstring infPath;
    driverInf.GetPath(infPath);
    const std::wstring stagedInf = JoinPath(folder, GetFileNamePart(infPath));
    std::vector<std::wstring> ids;
    driverInf.GetModelHardwareIds(ids);
    for (const std::wstring& id : ids) {
        TraceWrite(TraceDetail, L"Found pnp ID \"%s\"\n", id.c_str());
        t.DriverUpdate(id, stagedInf);
    }
}

// From Vista on the driver package installer takes the whole package folder;
// the INF itself is not read here.
void QueuePackageFolder(const RunContext& context, UpdateTransaction& t, const InfFile& script,
                        const std::wstring& driverInf) {
    const std::wstring dpinstFolder = GetDefaultInstallPath(script);
    std::wstring packageFolder;
    GetDriverStore(script, packageFolder);
    t.SetDriverPackageLocation(dpinstFolder, packageFolder);
    std::wstring sourceFolder = driverInf;
    GetDirectoryPart(sourceFolder);
    sourceFolder = JoinPath(context.workingDir, sourceFolder);
    std::wstring folder;
    GetDriverStore(script, folder);

    WIN32_FIND_DATAW entry{};
    UniqueFindHandle find(::FindFirstFileW(JoinPath(sourceFolder, L"*.*").c_str(), &entry));
    if (!find) return;  // nothing to stage is no error
    do {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) continue;
        t.FileInstall(sourceFolder + L"\\" + entry.cFileName, folder + L"\\" + entry.cFileName, kPackageFileFlags,
                      L"");
    } while (::FindNextFileW(find.Get(), &entry));
}

void QueueInfInstall(const RunContext& context, UpdateTransaction& t, const InfFile& script,
                     const std::wstring& driverInfValue) {
    InfFile driverInf;
    driverInf.Open(JoinPath(context.workingDir, driverInfValue), kInfNeutralLanguage);
    std::wstring folder;
    GetDriverStore(script, folder);
    std::wstring catalog;
    GetCatalogPath(driverInf, catalog);
    TraceWrite(TraceDetail, L"ProcessDrivers: catalog file is %s\n", catalog.c_str());
    t.SetDriverPackageSigned(VerifyTrust(catalog));
    TraceWrite(TraceDetail, L"ProcessDrivers: driver catalog is %s\n", t.Package().isSigned ? L"signed" : L"unsigned");
    QueuePackageFiles(t, driverInf, folder);
    QueuePnpIds(t, driverInf, folder);
}
}  // namespace

std::wstring GetDefaultInstallPath(const InfFile& script) { return RequiredSetupFolder(script, L"DefaultInstallPath"); }

void GetDriverStore(const InfFile& script, std::wstring& out) { out = RequiredSetupFolder(script, L"DriverStore"); }

void CheckSetupFolders(const InfFile& script) {
    for (const wchar_t* key : {L"DefaultInstallPath", L"DriverStore"}) {
        std::wstring value;
        if (script.GetLineText(L"Setup", key, value) == InfOk) RequiredSetupFolder(script, key);
    }
}

void ProcessDrivers(const RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                    const std::wstring& section) {
    std::wstring driverInf;
    if (script.GetLineText(section, L"DriverInf", driverInf) != InfOk) return;
    if (SetupGetRunningWinVer() > WinVerXP)
        QueuePackageFolder(context, transaction, script, driverInf);
    else
        QueueInfInstall(context, transaction, script, driverInf);
}

void ProcessUninstallInf(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section) {
    if (section != L"Install" && section != L"Uninstall") return;
    std::vector<std::wstring> names;
    if (script.GetKeyValues(L"Uninstall", L"UninstallInf", names) != InfOk) {
        names.clear();
        std::wstring driverInf;
        script.GetLineText(L"Install", L"DriverInf", driverInf);
        names.push_back(GetFileNamePart(driverInf));
    }
    for (const std::wstring& name : names) transaction.DriverPackageInf(name);
}

}  // namespace qel
