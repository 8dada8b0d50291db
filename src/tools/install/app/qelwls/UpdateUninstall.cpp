// The end of a road: replaying the uninstall log into removals, deleting the
// control-panel applet on a partial uninstall, and the clean-up after every
// successful road.
#include "BasicException.h"
#include "Handles.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"
#include "UtilFileChanges.h"

#include <shellapi.h>

#include <algorithm>
#include <deque>

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";
constexpr wchar_t kOemFolder[] = L"\\Kestrel\\Kestrel Wireless WLAN Card";
constexpr wchar_t kUninstallEntry[] =
    L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Ardentix 802.11 Network Adapter";

// The uninstall log's lines, newest first; blank lines and lines of one tab
// are skipped.
std::deque<std::wstring> ReadUninstallLines(LogFile& log) {
    log.Rewind();
    std::deque<std::wstring> lines;
    std::wstring line;
    while (log.ReadLine(line) == LogOk) {
        if (line.empty() || line == L"\t") continue;
        lines.push_front(line);
    }
    return lines;
}

// SHFileOperation's FO_DELETE on a list of paths; the error to report, or 0.
int DeleteWithShell(const std::vector<std::wstring>& paths, FILEOP_FLAGS flags) {
    std::wstring list;
    for (const std::wstring& path : paths) {
        list += path;
        list.push_back(L'\0');
    }
    list.push_back(L'\0');  // the list ends with a second zero
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = list.c_str();
    operation.fFlags = flags;
    const int result = ::SHFileOperationW(&operation);
    if (result == 0 && operation.fAnyOperationsAborted) return ERROR_CANCELLED;
    return result;
}

int DeleteWithShell(const std::wstring& path, FILEOP_FLAGS flags) {
    return DeleteWithShell(std::vector<std::wstring>{path}, flags);
}

// The temporary files of the Windows folder, less the rollback logs of other
// runs: a run that is still going, or one killed and not yet recovered, needs
// its log. With no such run the sweep is the one pattern, as it always was.
std::vector<std::wstring> TemporaryFilesToSweep(const std::wstring& windowsFolder) {
    const std::wstring pattern = JoinPath(windowsFolder, L"qel*.tmp");
    std::vector<std::wstring> keep = RollbackLogsOfOtherRuns();
    if (keep.empty()) return {pattern};
    for (std::wstring& path : keep) path = Lowercase(path);
    std::vector<std::wstring> sweep;
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(::FindFirstFileW(pattern.c_str(), &found));
    if (!find) return sweep;
    do {
        const std::wstring path = JoinPath(windowsFolder, found.cFileName);
        if (std::find(keep.begin(), keep.end(), Lowercase(path)) == keep.end()) sweep.push_back(path);
    } while (::FindNextFileW(find.Get(), &found));
    return sweep;
}

constexpr FILEOP_FLAGS kDeleteTreeFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
constexpr FILEOP_FLAGS kDeleteTempFilesFlags =
    FOF_SILENT | FOF_NOCONFIRMATION | FOF_FILESONLY | FOF_NOERRORUI | FOF_NORECURSION;

// The files the product installed, as the uninstall log's records say.
std::vector<std::wstring> ProductFiles(const std::deque<std::wstring>& lines) {
    std::vector<std::wstring> files;
    for (const std::wstring& line : lines) {
        const std::optional<journal::UninstallRecord> record = journal::Decode<journal::UninstallRecord>(line);
        const auto* file = record ? std::get_if<journal::InstalledFileRecord>(&*record) : nullptr;
        if (file) files.push_back(file->destination);
    }
    return files;
}

// From Vista on an uninstall starts the program a CopyInf record names (the
// driver package installer) with administrator rights. It must be one of the
// files the product installed into its own folders, whatever else the log
// says: any other program of the system folder would run with the
// uninstall's rights as well.
void RequireProductProgram(const journal::UninstallRecord& record, const std::vector<std::wstring>& productFiles) {
    const auto* package = std::get_if<journal::InstalledInfRecord>(&record);
    if (!package || SetupGetRunningWinVer() <= WinVerXP) return;
    for (const std::wstring& file : productFiles)
        if (IsSamePath(package->inf, file)) return;
    QEL_RAISE(FormatText(L"the uninstall log names a program the product did not install: \"%s\"",
                         package->inf.c_str()),
              0);
}

}  // namespace

void Uninstall(UpdateTransaction& t, bool upgrade) {
    TraceWrite(TraceDetail, L"Uninstall()\n");
    t.DisableRollback();
    const std::deque<std::wstring> lines = ReadUninstallLines(t.UninstallLog());
    const std::vector<std::wstring> productFiles = ProductFiles(lines);
    for (const std::wstring& line : lines) {
        const std::optional<journal::UninstallRecord> record = journal::Decode<journal::UninstallRecord>(line);
        // A line of no kind the log holds, or of one whose fields cannot be
        // read, stops the replay before anything is committed: removals
        // guessed from a damaged record could take what the product never
        // installed.
        if (!record) QEL_RAISE(journal::KindOf(line), 0);
        // An upgrade starts no program of the log.
        if (!upgrade) RequireProductProgram(*record, productFiles);
        journal::Replay(t, *record, upgrade);
    }
    t.UninstallLog().Close();
    // Queued only to be looked at: the replay's removals stay in the lists.
    if (t.IsQueueOnly()) return;
    Commit(t);
}

void UninstallCPL(UpdateTransaction& t) {
    TraceWrite(TraceDetail, L"UninstallCPL()\n");
    for (const std::wstring& line : ReadUninstallLines(t.UninstallLog())) {
        const std::optional<journal::UninstallRecord> record = journal::Decode<journal::UninstallRecord>(line);
        const journal::InstalledFileRecord* applet = record ? journal::ControlPanelApplet(*record) : nullptr;
        if (!applet) continue;
        const std::wstring& path = applet->destination;
        TraceWrite(TraceDetail, L"UninstallCPL(): DeleteFile( \"%s\", 0x%x )\n", path.c_str(),
                   applet->flags.value_or(0));
        // Moved aside rather than deleted, so that a failure later in the run
        // can put the applet back; the clean-up deletes it. A file in use
        // stays where it is, as a failed deletion would leave it.
        if (FileExists(path) && !IsDirectory(path)) t.MoveAsideQuietly(path);
    }
    t.UninstallLog().Close();
    Commit(t);
}

namespace {

// One removal of the clean-up: a folder tree, a folder if it is empty, or a
// shortcut.
void RemoveCleanupTarget(const DirOp& op, const std::wstring& programFiles) {
    if (op.kind == DirRemoveTree) {
        TraceWrite(TraceDetail, L"DoCleanup(): Removing dir \"%s\"\n", op.path.c_str());
        // Files under Program Files may still serve the installed driver.
        // The folders are compared in full and without regard to case.
        if (DriverSetupExists() && IsSameOrBelow(op.path, programFiles)) {
            TraceWrite(TraceDetail, L"%s is not removed because driver setup still exists.\n", op.path.c_str());
            return;
        }
        // A tree that is, or holds, a link or junction is left alone: the
        // elevated deletion could reach through it into folders the script
        // never named.
        if (PassesThroughReparsePoint(op.path) || TreeHoldsReparsePoint(op.path) || !IsReachedWithoutLinks(op.path)) {
            TraceWrite(TraceError, L"DoCleanup(): \"%s\" is not removed because it holds a link\n", op.path.c_str());
            return;
        }
        const int result = DeleteWithShell(op.path, kDeleteTreeFlags);
        if (result != 0)
            TraceWrite(TraceDetail, L"DoCleanup(): Unable to remove dir \"%s\" Reason: %d.\n", op.path.c_str(),
                       result);
    } else if (op.kind == DirRemoveIfEmpty) {
        TraceWrite(TraceDetail, L"DoCleanup(): Removing dir \"%s\"\n", op.path.c_str());
        if (!RemoveFolderWithoutLinks(op.path))
            TraceWrite(TraceDetail, L"%s is not removed because the directory is not empty.\n", op.path.c_str());
    } else {
        TraceWrite(TraceDetail, L"DoCleanup(): Removing file \"%s\"\n", op.path.c_str());
        DeleteFileWithoutLinks(op.path + L".lnk");
    }
}

void RemoveOemFolder(const std::wstring& programFiles) {
    const std::wstring oemFolder = programFiles + kOemFolder;
    if (!FileExists(oemFolder)) return;
    TraceWrite(TraceDetail, L"DoCleanup(): Removing directory: \"%s\"\n", oemFolder.c_str());
    const int result = DeleteWithShell(oemFolder, kDeleteTreeFlags);
    if (result != 0)
        TraceWrite(TraceDetail, L"DoCleanup(): Unable to remove directory: %s. Reason: %d.\n", oemFolder.c_str(),
                   result);
}

void DoCleanup(UpdateTransaction& t) {
    std::wstring programFiles;
    GetProgramFilesFolder(programFiles);
    for (const DirOp& op : t.DirRemoves()) RemoveCleanupTarget(op, programFiles);

    // Gives programs that were started or stopped a moment to let go of
    // their files before the leftovers are swept.
    ::Sleep(2000);

    // The sweep takes the run's own rollback log too (it is opened to allow
    // that): a run killed from here on leaves no log, and the OEM folder and
    // the sub-installs' removals by folder stay as they are.
    std::wstring windowsFolder;
    GetWindowsFolder(windowsFolder);
    const std::vector<std::wstring> sweep = TemporaryFilesToSweep(windowsFolder);
    const int tempResult = sweep.empty() ? 0 : DeleteWithShell(sweep, kDeleteTempFilesFlags);
    if (tempResult != 0)
        TraceWrite(TraceDetail, L"DoCleanup(): Some of the temporary files were not removed. Reason: %d.\n",
                   tempResult);

    RemoveOemFolder(programFiles);
    t.DeleteRollbackLog();
}

}  // namespace

void DoCleanupAll(UpdateTransaction& transaction) {
    const std::vector<UpdateTransaction*> tree = transaction.Tree();
    // Before the first deletion: a run that ends from here on (killed, or a
    // failure in the clean-up) has its clean-up finished, not its changes
    // undone, since what it moved aside is about to go. The removals by
    // folder are logged with it, for that finish.
    std::vector<DirOp> removals;
    for (UpdateTransaction* each : tree)
        removals.insert(removals.end(), each->DirRemoves().begin(), each->DirRemoves().end());
    transaction.LogCommitted(removals);
    // The files moved aside go first, every sub-install's with them, while
    // the log that names them is still there.
    for (UpdateTransaction* each : tree)
        for (const std::wstring& aside : each->MovedAsideFiles()) DeleteFileOrDefer(aside);
    for (UpdateTransaction* each : tree) DoCleanup(*each);
}

void FinishCleanupRemovals(const std::vector<DirOp>& cleanup) {
    std::wstring programFiles;
    GetProgramFilesFolder(programFiles);
    for (const DirOp& op : cleanup) RemoveCleanupTarget(op, programFiles);
    RemoveOemFolder(programFiles);
}

void DeleteFileOrDefer(const std::wstring& path) {
    // The files moved aside had their attributes made normal before the
    // move, so the first deletion nearly always succeeds; only when it does
    // not are the attributes cleared and the deletion tried as before.
    if (DeleteFileWithoutLinks(path)) return;
    if (::GetLastError() == kErrorReachedThroughLink) return;
    MakeNormalWithoutLinks(path);
    if (DeleteFileWithoutLinks(path)) return;
    const DWORD error = ::GetLastError();
    if (!IsInUseError(error)) {
        TraceWrite(TraceDetail, L"Failed to delete \"%s\" error: %d.\n", path.c_str(), error);
        return;
    }
    // In use: out of the way now, gone at the next restart.
    std::wstring windowsFolder, temp;
    GetWindowsFolder(windowsFolder);
    MakeTempFile(windowsFolder, temp);
    if (MoveWithoutLinks(path, temp, true))
        ::MoveFileExW(temp.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    else
        ::MoveFileExW(path.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

bool DriverSetupExists() {
    const REGSAM view = SetupGetRunningWinVer() < WinVerVista ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    UniqueKey key;
    return ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kUninstallEntry, 0, KEY_READ | view, key.Put()) == ERROR_SUCCESS;
}

}  // namespace qel
