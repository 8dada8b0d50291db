// Shortcuts at commit: the links queued by AddLinks are made after the
// registry additions of the same stage. A made link, and an older link it
// replaces, are announced in the rollback log first, so that a failed or
// killed run takes the new link away and puts the old one back.
#include "BasicException.h"
#include "Shortcuts.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";
}  // namespace

std::wstring LinkPathOf(const LinkOp& link) { return JoinPath(link.folder, link.name) + L".lnk"; }

void CommitLinkAdd(UpdateTransaction& t, const LinkOp& link) {
    if (!FileExists(link.folder)) {
        t.LogRollbackRecord(journal::CreateDirRecord{link.folder});
        CreateDirectoryTree(link.folder);
    }
    const std::wstring linkPath = LinkPathOf(link);

    // An older shortcut of the same name is moved aside, not overwritten: a
    // rollback puts it back, the clean-up deletes it after a successful run.
    // Neither record is traced, so the diagnostic log of a successful run
    // reads the same whether a link was there or not.
    if (FileExists(linkPath) && !t.MoveAsideQuietly(linkPath)) QEL_RAISE(linkPath, ::GetLastError());
    t.LogUndoRecord(journal::NewLinkRecord{linkPath});

    // A string-id name that is none of the known ones has no resource to
    // name the link from: the link gets its plain name (field 2) as its
    // description, as before Vista, rather than a resource reference that
    // would show as its description.
    int stringId = 0;
    const bool localized = SetupGetRunningWinVer() >= WinVerVista && !link.localizedName.empty() &&
                           !link.stringIdName.empty();
    const bool known = localized && LookUpShortcutStringId(link.stringIdName, stringId);
    if (localized && !known)
        TraceWrite(TraceNotable, L"CommitLinkAdd: unknown string id \"%s\", \"%s\" gets its plain name\n",
                   link.stringIdName.c_str(), linkPath.c_str());
    const HRESULT hr = known ? CreateShortcut(linkPath, link.localizedName, link.target, link.arguments,
                                              link.workingFolder, link.iconFile, link.iconIndex, link.stringIdName)
                             : CreateShortcut(linkPath, link.name, link.target, link.arguments, link.workingFolder,
                                              link.iconFile, link.iconIndex, L"");
    if (FAILED(hr)) QEL_RAISE(linkPath, static_cast<DWORD>(hr));
}

}  // namespace qel
