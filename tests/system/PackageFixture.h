// The sample package copied into a scratch folder with qelwls64.exe, and the
// machine state an install of it touches: the files below the folders it
// installs to, its uninstall log, the SharedDLLs counts.
#pragma once

#include "SetupRun.h"

#include <functional>
#include <map>
#include <string>

namespace qeltest {

constexpr wchar_t kAppFolder[] = L"C:\\Program Files\\Qel Wireless";
constexpr wchar_t kSharedFolder[] = L"C:\\Program Files\\Common Files\\Qel Shared";
constexpr wchar_t kSharedDll[] = L"C:\\Program Files\\Common Files\\Qel Shared\\qelcomm.dll";
constexpr wchar_t kApplet[] = L"C:\\windows\\system32\\qelwlcpl.cpl";
constexpr wchar_t kTrayProgram[] = L"C:\\windows\\system32\\airdock.exe";
constexpr wchar_t kUninstallLog[] = L"C:\\Program Files\\Qel Wireless\\Uninstall\\qelwls.log";
constexpr wchar_t kProductKey[] = L"SOFTWARE\\Qel\\Wireless";
constexpr wchar_t kUninstallEntry[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QelWirelessUtilities";
constexpr wchar_t kSharedDllsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
constexpr wchar_t kStartMenuFolder[] = L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Qel Wireless";

// The package as the build lays it out, beside the test programs.
std::wstring BuiltPackageFolder();

class SamplePackage {
public:
    explicit SamplePackage(const std::wstring& name);
    const std::wstring& Folder() const { return folder_; }
    std::wstring Exe() const { return folder_ + L"\\qelwls64.exe"; }
    std::wstring File(const std::wstring& relative) const { return folder_ + L"\\" + relative; }
    // "<command> "<folder>" [more]"; an install command also names the
    // optional tools component (the extra section Tools), as a setup
    // program that installs everything does.
    std::wstring Arguments(const std::wstring& command, const std::wstring& more = L"") const;
    SetupRunResult Run(const std::wstring& command, const std::wstring& more = L"") const;

private:
    std::wstring folder_;
};

// Every file below the folders the package installs to (and the applet),
// with its bytes: what a failed run must leave exactly as it found it.
using FileSnapshot = std::map<std::wstring, std::string>;
FileSnapshot SnapshotInstalledFiles();

// Files (not folders) below a folder, recursively, with their bytes.
void AddFilesBelow(const std::wstring& folder, FileSnapshot& snapshot);
FileSnapshot FilesBelow(const std::wstring& folder);
void CopyTree(const std::wstring& from, const std::wstring& to);

// A REG_DWORD in SharedDLLs, or -1 when the value is missing.
long long SharedDllCount(const std::wstring& valueName);
void SetSharedDllCount(const std::wstring& valueName, DWORD count);
void RemoveSharedDllCount(const std::wstring& valueName);

// Writes a REG_MULTI_SZ under HKLM; `strings` holds the NUL-separated items.
void SetRegMultiString(const std::wstring& subkey, const std::wstring& value, const std::wstring& strings);

// Every value below root\subkey (and every key, as "<key>\\" with no data),
// by path: what a failed run must leave as it found it.
using RegistrySnapshot = std::map<std::wstring, RegValue>;
void AddRegistryBelow(HKEY root, const std::wstring& subkey, RegistrySnapshot& snapshot, REGSAM view = 0);

constexpr wchar_t kSessionManagerKey[] = L"System\\CurrentControlSet\\Control\\Session Manager";
constexpr wchar_t kPendingRenames[] = L"PendingFileRenameOperations";

// What a run on the sample package can change: its files, its registry keys,
// the SharedDLLs counts of the package (and of the setup), the moves
// registered for the next restart, and the Windows folder's temporary files
// and run markers.
struct MachineState {
    FileSnapshot files;
    RegistrySnapshot registry;
    RegValue pendingRenames;
    std::vector<std::wstring> windowsLeftovers;
    bool operator==(const MachineState& other) const {
        return files == other.files && registry == other.registry && pendingRenames == other.pendingRenames &&
               windowsLeftovers == other.windowsLeftovers;
    }
};
MachineState SnapshotMachine();
// Adds the INF store to a state: each INF with its bytes, each compiled .pnf
// by its presence (the store rebuilds it when it likes). The device
// stand-in's own copies are left out: a run killed in the middle of a
// device install leaves them, where Windows has none.
void AddInfStore(MachineState& state);
// Puts the machine back into a state taken before.
void RestoreMachine(const MachineState& state);
// The differences, one per line, for a failure message.
std::string DescribeDifferences(const MachineState& expected, const MachineState& actual);
// The machine now, compared with the state expected; `where` heads a failure.
void ExpectMachineIs(const MachineState& expected, const std::string& where = "");

// The script with a registry line that the commit refuses (text appended to
// a number) added to `section` ("[Uninstall]"): a run of it fails late, in
// its registry stage, after its file changes.
std::string WithFailingRegistryLine(const std::string& script, const std::string& section);

// Windows-folder temporary files ("qel*.tmp"): rollback logs and friends.
std::vector<std::wstring> WindowsTempFiles();
// The same and the run markers ("qelwls-*.run").
std::vector<std::wstring> WindowsLeftovers();
// No "qel*.tmp" (a rollback log, a copy on its way) in the Windows folder or
// in the folders given.
void ExpectNoTempFiles(std::initializer_list<std::wstring> folders = {});

// How a run is killed and what must follow.
struct KilledRuns {
    std::wstring command;  // the run; it fails after its last change, so that
                           // a whole run leaves the machine as it was
    std::function<void()> prepare = [] {};  // before each run of it
    std::function<void()> settle = [] {};   // after each kill
    std::function<MachineState()> snapshot;
};
// Kills the run at each record it flushes up to the point where it fails and
// undoes itself, and runs `next` after each kill: a command with nothing of
// its own to do, which undoes the killed run first. The machine, as the
// snapshot sees it, must then be `before` each time.
void ExpectEachKillUndoneByTheNextRun(const KilledRuns& runs, const SetupFolder& next, const MachineState& before);

// Removes everything an install of the sample package can leave.
void CleanMachine();

// The adapter's settings that hiding the tray icon reads, in the registry
// view used before Vista: InstallStatus names the driver key, the driver key
// names the adapter, the adapter's key holds "Control".
constexpr wchar_t kTrayInstallStatus[] = L"SOFTWARE\\Ardentix\\802.11\\InstallStatus";
constexpr wchar_t kTrayDriverKey[] =
    L"SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e972-e325-11ce-bfc1-08002be10318}\\0042";
constexpr wchar_t kTrayAdapterKey[] = L"SOFTWARE\\Ardentix\\802.11\\{5A1D3F1C-0E5B-4C8A-9F1E-2B6C7D8E9F00}";
void WriteTrayKeys(DWORD control);
void RemoveTrayKeys();

}  // namespace qeltest
