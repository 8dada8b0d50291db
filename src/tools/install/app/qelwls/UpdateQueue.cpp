// The transaction's records: construction, the queue operations that the key
// handlers call, and the two logs.
#include "BasicException.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";
}  // namespace

UpdateTransaction::UpdateTransaction() = default;

// Sub-installs are owned through subInstalls_ alone, so nothing is destroyed
// twice.
UpdateTransaction::~UpdateTransaction() = default;

void UpdateTransaction::OpenRollbackLog(const std::wstring& path, bool create) {
    if (queueOnly) QEL_RAISE(L"a queue-only transaction has no rollback log: " + path, 0);
    if (rollbackLog.Open(path, create) != LogOk) QEL_RAISE(path, ::GetLastError());
    if (create) TheRunMarker().Add(journal::RunRollbackLogRecord{path});
}

void UpdateTransaction::OpenUninstallLog(const std::wstring& path, bool create) {
    // Reading an existing log (the replay of an upgrade or uninstall) changes
    // nothing; making one would.
    if (queueOnly && create) {
        uninstallLogIsNew = true;
        return;
    }
    if (uninstallLog.Open(path, create) != LogOk) QEL_RAISE(path, ::GetLastError());
    // Its records name files to remove and the program that takes the driver
    // package out, all done with administrator rights: a log someone else
    // could have written is not replayed.
    if (!create) {
        const WriterVerdict verdict = JudgeJournalFileAt(uninstallLog.Handle(), path);
        if (!verdict.onlyAdministrators) {
            uninstallLog.Close();
            QEL_RAISE(FormatText(L"the uninstall log \"%s\" is not trusted: %s", path.c_str(), verdict.reason.c_str()),
                      0);
        }
    }
    uninstallLogIsNew = create;
    if (create) TheRunMarker().Add(journal::RunUninstallLogRecord{path});
}

void UpdateTransaction::FileInstall(const std::wstring& source, const std::wstring& destination, uint32_t flags,
                                    const std::wstring& cabinet) {
    CheckPathLength(source);
    CheckPathLength(destination);
    CheckPathLength(cabinet);
    fileInstalls.push_back(FileOp{destination, source, flags, cabinet});
}

void UpdateTransaction::FileMove(const std::wstring& source, const std::wstring& destination, uint32_t flags) {
    CheckPathLength(source);
    CheckPathLength(destination);
    fileMoves.push_back(FileOp{destination, source, flags, L""});
}

void UpdateTransaction::InfInstall(const std::wstring& infPath, const std::wstring& folder) {
    const std::wstring copied = JoinPath(folder, GetFileNamePart(infPath));
    fileInstalls.push_back(FileOp{copied, infPath, kOwnFileFlags, L""});
    infInstalls.push_back(InfInstallOp{copied, folder});
}

void UpdateTransaction::InfRemove(const std::wstring& infPath, const std::wstring& oemInfName) {
    infRemoves.push_back(InfRemoveOp{infPath, oemInfName});
}

void UpdateTransaction::DriverUpdate(const std::wstring& hardwareId, const std::wstring& infPath) {
    driverUpdates.push_back(DriverUpdateOp{hardwareId, infPath});
}

void UpdateTransaction::DriverUninstall(const std::wstring& oemInfOrPackageFolder) {
    driverUninstalls.push_back(oemInfOrPackageFolder);
}

void UpdateTransaction::FileRemove(const std::wstring& path, uint32_t flags) {
    CheckPathLength(path);
    fileRemoves.push_back(FileOp{L"", path, flags, L""});
}

void UpdateTransaction::RunApp(const std::wstring& program, const std::wstring& arguments, uint32_t flags,
                               bool before) {
    (before ? preRuns : postRuns).push_back(RunOp{program, arguments, flags});
}

void UpdateTransaction::RegistryUpdate(HKEY root, const std::wstring& subkey, const std::wstring& valueName,
                                       uint32_t type, uint32_t flags, const std::vector<BYTE>& data, uint32_t access,
                                       bool add) {
    // A driver key exists only for the devices a driver update reaches; what
    // would be deleted under it is unknowable at queue time.
    if (!add && root == RelativeRoot()) QEL_RAISE(L"HKR\\" + subkey, 0);
    RegOp record{root, subkey, valueName, type, flags, data, access};
    if (!add)
        regDeletes.push_back(std::move(record));
    else if (root == RelativeRoot())
        relativeRegAdds.push_back(std::move(record));
    else
        regAdds.push_back(std::move(record));
}

void UpdateTransaction::LinkAdd(const LinkOp& link) { links.push_back(link); }

void UpdateTransaction::DriverPackageInf(const std::wstring& infName) { driverPackage.infNames.push_back(infName); }

void UpdateTransaction::SetDriverPackageLocation(const std::wstring& dpinstPath, const std::wstring& folder) {
    driverPackage.dpinstPath = dpinstPath;
    driverPackage.folder = folder;
}

void UpdateTransaction::DirRemove(const std::wstring& path, uint32_t kind) {
    CheckPathLength(path);
    dirRemoves.push_back(DirOp{path, kind});
}

LogFile& UpdateTransaction::RecordLog() { return parent_ ? parent_->RecordLog() : rollbackLog; }

void UpdateTransaction::AddSubTransaction(std::unique_ptr<UpdateTransaction> subInstall) {
    subInstall->parent_ = this;
    subInstall->queueOnly = queueOnly;
    subInstalls_.push_back(std::move(subInstall));
}

std::vector<UpdateTransaction*> UpdateTransaction::Tree() {
    std::vector<UpdateTransaction*> tree{this};
    for (const std::unique_ptr<UpdateTransaction>& subInstall : subInstalls_) {
        const std::vector<UpdateTransaction*> below = subInstall->Tree();
        tree.insert(tree.end(), below.begin(), below.end());
    }
    return tree;
}

void UpdateTransaction::LogRollbackRecord(const journal::RollbackRecord& record) {
    if (!rollbackEnabled) {
        // An uninstall replay writes no records of its own accord; its changes
        // are still logged while a rollback log is open, so a failed upgrade
        // or uninstall can put back what it removed.
        LogUndoRecord(record);
        return;
    }
    // No change is made that the log cannot undo: a record that cannot be
    // written stops the step it describes.
    const std::wstring line = journal::Encode(record);
    LogFile& log = RecordLog();
    if (log.WriteLine(line) != LogOk) QEL_RAISE(log.Path(), ::GetLastError());
    TraceWrite(TraceRecord, L"%s", line.c_str());
}

void UpdateTransaction::LogUninstallRecord(const journal::UninstallRecord& record) {
    uninstallLog.WriteLine(journal::Encode(record));
}

}  // namespace qel
