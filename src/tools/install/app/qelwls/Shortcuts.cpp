// Shell shortcuts through the shell link object (IShellLinkW saved through
// IPersistFile), and their localized display names.
#include "Shortcuts.h"

#include "Handles.h"
#include "Trace.h"
#include "Util.h"

#include <shlobj.h>

#include <cwchar>

namespace qel {
namespace {

struct ShortcutStringId {
    const wchar_t* name;
    int id;
    bool anyCase;
};
// Only the read-me name is matched without regard to case; scripts have
// always spelled the others exactly.
constexpr ShortcutStringId kShortcutStringIds[] = {
    {L"STRID_OEM_SC_README", 4749, true},
    {L"STRID_OEM_UTIL_NAME", 4701, false},
    {L"STRID_OEM_SHORTCUT_NAME", 4703, false},
    {L"STRID_ISM_HP", 4494, false},
};

// Exported by shell32 from Vista on only, so it is looked up when needed:
// importing it would keep the program from starting on earlier systems.
using SetLocalizedNameFn = HRESULT(WINAPI*)(PCWSTR path, PCWSTR resourceModule, int resourceId);

}  // namespace

bool LookUpShortcutStringId(const std::wstring& name, int& id) {
    for (const ShortcutStringId& each : kShortcutStringIds) {
        const bool same = each.anyCase ? _wcsicmp(name.c_str(), each.name) == 0 : name == each.name;
        if (same) {
            id = each.id;
            return true;
        }
    }
    return false;
}

HRESULT CreateShortcut(const std::wstring& linkPath, const std::wstring& descriptionBase, const std::wstring& target,
                       const std::wstring& arguments, const std::wstring& workingFolder, const std::wstring& iconFile,
                       uint32_t iconIndex, const std::wstring& stringIdName) {
    // A thread that already holds a multithreaded apartment cannot use the
    // shell link object: the initialisation fails and so does the shortcut.
    ComScope com(COINIT_APARTMENTTHREADED);
    HRESULT hr = com.Result();
    if (FAILED(hr)) return hr;

    ComPtr<IShellLinkW> link;
    hr = ::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, link.PutVoid());
    if (FAILED(hr)) return hr;

    const bool vistaOrLater = SetupGetRunningWinVer() >= WinVerVista;
    int stringId = 0;
    const bool localized = vistaOrLater && !stringIdName.empty() && LookUpShortcutStringId(stringIdName, stringId);

    // The setters' results are not examined: a shortcut with an odd field is
    // still a shortcut, and Save reports what matters.
    link->SetPath(target.c_str());
    link->SetArguments(arguments.c_str());
    // The localized form is the indirect string "<marker><resource file>,-<id>".
    const std::wstring description = localized ? descriptionBase + FormatText(L",-%d", stringId) : descriptionBase;
    link->SetDescription(description.c_str());
    link->SetWorkingDirectory(workingFolder.c_str());
    link->SetIconLocation(iconFile.c_str(), static_cast<int>(iconIndex));

    ComPtr<IPersistFile> file;
    hr = link->QueryInterface(IID_IPersistFile, file.PutVoid());
    if (FAILED(hr)) {
        TraceWrite(TraceNotable, L"Failed to create shortcut. Error code: %ld\n", static_cast<long>(hr));
        return hr;
    }
    TraceWrite(TraceNotable, L"Shortcut File: %s.\n", linkPath.c_str());
    hr = file->Save(linkPath.c_str(), TRUE);
    if (FAILED(hr)) {
        TraceWrite(TraceNotable, L"Failed to save shortcut. Error code: %ld\n", static_cast<long>(hr));
        return hr;
    }
    file->SaveCompleted(linkPath.c_str());

    if (localized) {
        const std::wstring resourceFile = descriptionBase.empty() ? descriptionBase : descriptionBase.substr(1);
        TraceWrite(TraceNotable, L"Resource Dll: %s and Id:%d.\n", resourceFile.c_str(), stringId);
        const auto setLocalizedName = SystemCall<SetLocalizedNameFn>(L"shell32.dll", "SHSetLocalizedName");
        hr = setLocalizedName(linkPath.c_str(), resourceFile.c_str(), stringId);
        if (FAILED(hr)) {
            TraceWrite(TraceNotable, L"Failed to set localized name. Error code: %ld\n", static_cast<long>(hr));
            return hr;
        }
        TraceWrite(TraceNotable, L"Localized name has been set for the shortcut: %s.\n", linkPath.c_str());
    }
    // The interfaces are released before COM is uninitialised: they are
    // declared after the scope.
    return hr;
}

}  // namespace qel
