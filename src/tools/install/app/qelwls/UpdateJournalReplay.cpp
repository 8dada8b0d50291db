// What the replay of an uninstall log does with each record: an uninstall
// (and the first half of an upgrade) turns it into queued removals, a
// partial uninstall only deletes the control-panel applet it names.
#include "UpdateJournal.h"

#include "Trace.h"
#include "Update.h"
#include "UpdateDrivers.h"
#include "Util.h"

namespace qel {
namespace journal {
namespace {
constexpr wchar_t kControlPanelApplet[] = L"qelwlcpl.cpl";

void FileRemoval(UpdateTransaction& t, const std::wstring& path, uint32_t flags) {
    TraceWrite(TraceDetail, L"Uninstall(): FileRemove( \"%s\", 0x%x )\n", path.c_str(), flags);
    t.FileRemove(path, flags);
}

// --- CopyFile: removed as its flags allow ----------------------------------
void ReplayKind(const InstalledFileRecord& r, UpdateTransaction& t, bool) {
    FileRemoval(t, r.destination, r.flags.value_or(0));
}

// --- MoveFile: no flags, so the removal removes nothing ------------------------
void ReplayKind(const MovedFileRecord& r, UpdateTransaction& t, bool) { FileRemoval(t, r.destination, 0); }

// --- CopyInf: the package is uninstalled and taken out of the store ------------
void ReplayKind(const InstalledInfRecord& r, UpdateTransaction& t, bool upgrade) {
    TraceWrite(TraceDetail, L"Uninstall(): RemoveInf( \"%s\", \"%s\")\n", r.inf.c_str(), r.installed.c_str());
    if (upgrade) {
        // An upgrade keeps the package while a device still uses it. It is
        // removed at once, not queued: a replay that is only looked at
        // leaves it.
        if (!t.IsQueueOnly()) RemoveInfUnlessUsed(r.installed);
        return;
    }
    if (SetupGetRunningWinVer() > WinVerXP) t.SetDriverPackageLocation(r.inf, r.installed);
    t.DriverUninstall(r.installed);
    t.InfRemove(r.inf, r.installed);
}

}  // namespace

void Replay(UpdateTransaction& transaction, const UninstallRecord& record, bool upgrade) {
    std::visit([&](const auto& kind) { ReplayKind(kind, transaction, upgrade); }, record);
}

const InstalledFileRecord* ControlPanelApplet(const UninstallRecord& record) {
    const auto* file = std::get_if<InstalledFileRecord>(&record);
    if (!file || Lowercase(file->destination).find(kControlPanelApplet) == std::wstring::npos) return nullptr;
    return file;
}

}  // namespace journal
}  // namespace qel
