// Where an uninstall runs the installer from. The copy of the setup that the
// product keeps (the one Apps & features starts) lies in a folder that the
// uninstall removes, and a running program's file cannot be deleted: run from
// there, the installer would leave its own file behind and call for a
// restart. So an uninstall runs a copy of the installer and of the scripts
// beside it, made for this run in a new folder of the Windows folder, which
// only administrators can change (like the installer's own rollback logs
// there), never in the user's temporary folder. The folder goes when the run
// has ended.
#pragma once

#include <string>

namespace launcher {

class StagedInstaller {
public:
    // Copies qelwls64.exe and the scripts (*.ini) of packageFolder into the
    // run's folder; raises when that cannot be done.
    explicit StagedInstaller(const std::wstring& packageFolder);
    // Removes the copies and the folder (what cannot go yet is left to the
    // sweep of a later run).
    ~StagedInstaller();
    StagedInstaller(const StagedInstaller&) = delete;
    StagedInstaller& operator=(const StagedInstaller&) = delete;

    const std::wstring& Folder() const { return folder_; }

private:
    std::wstring folder_;
};

// The staging folders of earlier runs that ended without removing theirs
// (killed, powered off) are removed; a copy that is still running stays. Only
// called while no other qelsetup runs.
void SweepStagingFolders();

}  // namespace launcher
