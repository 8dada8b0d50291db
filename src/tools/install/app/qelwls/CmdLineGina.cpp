// The logon GINA chain: AddGINA copies the package's GINA files, DelGINA
// removes the GINA DLL at uninstall unless the DLL itself answers that
// another GINA is chained to it.
#include "BasicException.h"
#include "CmdLineKeys.h"
#include "Handles.h"
#include "Trace.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "CmdLine";

// The DLL's answer: non-zero when another GINA depends on it.
using ChainQueryFn = LONG(WINAPI*)(const char* argument);

// The full path of the GINA DLL the key names, or empty when it lies outside
// the system folder. Winlogon takes its GINA from the system folder, and the
// program runs elevated: a DLL anywhere else (a user's or a temporary folder)
// is never loaded, and is treated like one that is not there. A bare name is
// taken to be in the system folder.
std::wstring SystemGinaPath(const std::wstring& named) {
    const std::wstring systemFolder = SystemFolder();
    const std::wstring path = named.find_first_of(L"\\/:") == std::wstring::npos ? JoinPath(systemFolder, named) : named;
    std::wstring full;
    if (GetFullPath(path, full) != 0) return std::wstring();
    if (::lstrcmpiW(DirectoryOf(full).c_str(), systemFolder.c_str()) != 0) return std::wstring();
    return full;
}

}  // namespace

void AddGinaKey(const RunContext& context, UpdateTransaction& transaction, const InfFile& script,
                const std::wstring& section) {
    std::vector<std::wstring> fileSections;
    if (script.GetKeyValues(section, L"AddGINA", fileSections) != InfOk) return;
    // Sources are taken from the folder of the program.
    const std::wstring& programFolder = context.workingDir;
    for (const std::wstring& fileSection : fileSections) {
        long count = 0;
        if (script.GetLineCount(fileSection, count) != InfOk)
            QEL_RAISE_AT(MissingSectionPlace(script, section, L"AddGINA", fileSection),
                         L"[" + fileSection + L"] is missing", 0);
        std::wstring targetFolder;
        script.GetTargetPath(fileSection, targetFolder);
        for (DWORD index = 0; index < static_cast<DWORD>(count); ++index) {
            const std::wstring destination = RequiredField(script, fileSection, index, 1);
            std::wstring source;
            if (script.GetLineField(fileSection, index, 2, source) != InfOk || source.empty()) source = destination;
            // Kept out of the uninstall log: an uninstall never removes the
            // GINA files by itself, only DelGINA does, after asking the DLL.
            transaction.FileInstall(JoinPath(programFolder, source), JoinPath(targetFolder, destination),
                                    NO_UNINSTALL_RECORD, L"");
        }
    }
}

void DelGinaKey(UpdateTransaction& transaction, const InfFile& script, const std::wstring& section) {
    std::wstring dllPath;
    if (script.GetKeyField(section, L"DelGINA", 1, dllPath) != InfOk) return;
    std::wstring queryName, argument;
    if (script.GetKeyField(section, L"DelGINA", 2, queryName) != InfOk ||
        script.GetKeyField(section, L"DelGINA", 3, argument) != InfOk)
        QEL_RAISE_AT(KeyPlace(script, ScriptFault::IncompleteKey, section, L"DelGINA",
                              L"DelGINA needs a DLL, a function and an argument"),
                     L"DelGINA in [" + section + L"] needs a DLL, a function and an argument", 0);
    std::string narrowQueryName, narrowArgument;
    WideToUtf8(queryName, narrowQueryName);
    WideToUtf8(argument, narrowArgument);

    const std::wstring fullPath = SystemGinaPath(dllPath);
    if (fullPath.empty()) {
        TraceWrite(TraceDetail, L"DelGINA: \"%s\" is not in the system folder; it is not loaded or removed.\n",
                   dllPath.c_str());
        return;
    }
    // A tool that only reads the script (to check it or to show what a
    // command would do) never loads or calls code the script names: it may
    // be looking at a script it does not trust. It keeps the call instead.
    // The installer itself makes it while the script is read, as the key's
    // diagnostic lines and the removal's place among the queued records
    // have it: the DLL lies in the system folder, which only administrators
    // can write, and a script the installer runs names programs it starts
    // with its own rights anyway.
    if (transaction.IsQueueOnly()) {
        transaction.KeepGinaQuery(GinaQuery{fullPath, queryName, argument, section, transaction.FileRemoves().size()});
        return;
    }
    // A DLL that is already gone, or cannot be loaded, has nothing to remove.
    const UniqueLibrary gina(::LoadLibraryExW(fullPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!gina) return;
    const auto query =
        reinterpret_cast<ChainQueryFn>(reinterpret_cast<void*>(::GetProcAddress(gina.Get(), narrowQueryName.c_str())));
    if (!query) return;
    if (query(narrowArgument.c_str()) != 0) {
        TraceWrite(TraceDetail, L"Since we are part of a chain, it is NOT safe to remove the GINA DLL.\n");
        return;
    }
    TraceWrite(TraceDetail, L"We are not part of a chain so it is safe to remove the GINA DLL.\n");
    transaction.FileRemove(fullPath, kOwnFileFlags);
}

}  // namespace qel
