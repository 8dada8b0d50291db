#include "PackageFixture.h"

#include "ControlledRun.h"
#include "Handles.h"

#include <gtest/gtest.h>
#include "Util.h"

namespace qeltest {

std::wstring BuiltPackageFolder() { return qel::DirectoryOf(TestBinDir()) + L"\\examples\\package"; }

SamplePackage::SamplePackage(const std::wstring& name) : folder_(MakeScratchFolder(name)) {
    CopyTree(BuiltPackageFolder(), folder_);
}

std::wstring SamplePackage::Arguments(const std::wstring& command, const std::wstring& more) const {
    std::wstring args = command + L" \"" + folder_ + L"\"";
    if (command == L"install" || command == L"apponly_install") args += L" Tools";
    if (!more.empty()) args += L" " + more;
    return args;
}

SetupRunResult SamplePackage::Run(const std::wstring& command, const std::wstring& more) const {
    return RunSetupProgram(Exe(), Arguments(command, more));
}

void AddFilesBelow(const std::wstring& folder, FileSnapshot& snapshot) {
    WIN32_FIND_DATAW found;
    qel::UniqueFindHandle find(::FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!find) return;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring path = folder + L"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            AddFilesBelow(path, snapshot);
        else
            snapshot[path] = ReadFileBytes(path);
    } while (::FindNextFileW(find.Get(), &found));
}

FileSnapshot FilesBelow(const std::wstring& folder) {
    FileSnapshot files;
    AddFilesBelow(folder, files);
    return files;
}

void CopyTree(const std::wstring& from, const std::wstring& to) {
    FileSnapshot files;
    AddFilesBelow(from, files);
    for (const auto& [path, bytes] : files) WriteFileBytes(to + path.substr(from.size()), bytes);
}

FileSnapshot SnapshotInstalledFiles() {
    FileSnapshot snapshot;
    AddFilesBelow(kAppFolder, snapshot);
    AddFilesBelow(kSharedFolder, snapshot);
    AddFilesBelow(kStartMenuFolder, snapshot);
    for (const wchar_t* file : {kApplet, kTrayProgram})
        if (PathExists(file)) snapshot[file] = ReadFileBytes(file);
    return snapshot;
}

long long SharedDllCount(const std::wstring& valueName) {
    const RegValue count = ReadRegValue(HKEY_LOCAL_MACHINE, kSharedDllsKey, valueName);
    return count.found && count.data.size() == sizeof(DWORD) ? *reinterpret_cast<const DWORD*>(count.data.data()) : -1;
}

void SetSharedDllCount(const std::wstring& valueName, DWORD count) {
    SetRegValue(HKEY_LOCAL_MACHINE, kSharedDllsKey, valueName, RegDword(count));
}

void RemoveSharedDllCount(const std::wstring& valueName) {
    DeleteRegValue(HKEY_LOCAL_MACHINE, kSharedDllsKey, valueName);
}

void SetRegMultiString(const std::wstring& subkey, const std::wstring& value, const std::wstring& strings) {
    SetRegValue(HKEY_LOCAL_MACHINE, subkey, value, RegSz(strings, REG_MULTI_SZ));
}

std::vector<std::wstring> WindowsTempFiles() { return FilesMatching(L"C:\\windows\\qel*.tmp"); }

void ExpectNoTempFiles(std::initializer_list<std::wstring> folders) {
    EXPECT_TRUE(WindowsTempFiles().empty());
    for (const std::wstring& folder : folders) EXPECT_TRUE(FilesMatching(folder + L"\\qel*.tmp").empty()) << Utf8(folder);
}

std::vector<std::wstring> WindowsLeftovers() {
    std::vector<std::wstring> files = WindowsTempFiles();
    for (const std::wstring& marker : FilesMatching(L"C:\\windows\\qelwls-*.run")) files.push_back(marker);
    return files;
}

void AddRegistryBelow(HKEY root, const std::wstring& subkey, RegistrySnapshot& snapshot, REGSAM view) {
    qel::UniqueKey key;
    if (::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, key.Put()) != ERROR_SUCCESS) return;
    snapshot[subkey + L"\\"] = RegValue{true, 0, {}};
    wchar_t name[16384];
    for (DWORD index = 0;; ++index) {
        DWORD length = 16384;
        if (::RegEnumValueW(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        snapshot[subkey + L"\\" + name] = ReadRegValue(root, subkey, name, view);
    }
    for (DWORD index = 0;; ++index) {
        DWORD length = 16384;
        if (::RegEnumKeyExW(key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        AddRegistryBelow(root, subkey + L"\\" + name, snapshot, view);
    }
}

MachineState SnapshotMachine() {
    MachineState state;
    state.files = SnapshotInstalledFiles();
    AddRegistryBelow(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Qel", state.registry);
    AddRegistryBelow(HKEY_LOCAL_MACHINE, kUninstallEntry, state.registry);
    for (const std::wstring& name : {std::wstring(kSharedDll), std::wstring(L"QelSetup")}) {
        const RegValue count = ReadRegValue(HKEY_LOCAL_MACHINE, kSharedDllsKey, name);
        if (count.found) state.registry[std::wstring(kSharedDllsKey) + L"\\" + name] = count;
    }
    state.pendingRenames = ReadRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames);
    state.windowsLeftovers = WindowsLeftovers();
    return state;
}

void AddInfStore(MachineState& state) {
    const std::wstring store = L"C:\\windows\\inf\\";
    for (const std::wstring& name : FilesMatching(store + L"*.inf"))
        if (name.rfind(L"qelstandin", 0) != 0) state.files[store + name] = ReadFileBytes(store + name);
    for (const std::wstring& name : FilesMatching(store + L"*.pnf"))
        if (name.rfind(L"qelstandin", 0) != 0) state.files[store + name] = "(compiled INF)";
}

void RestoreMachine(const MachineState& state) {
    CleanMachine();
    for (const std::wstring& name : WindowsLeftovers()) ::DeleteFileW((L"C:\\windows\\" + name).c_str());
    for (const auto& [path, bytes] : state.files) WriteFileBytes(path, bytes);
    for (const auto& [path, value] : state.registry) {
        const size_t slash = path.find_last_of(L'\\');
        qel::UniqueKey key;
        ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.substr(0, slash).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                          key.Put(), nullptr);
        if (slash + 1 < path.size()) SetRegValue(HKEY_LOCAL_MACHINE, path.substr(0, slash), path.substr(slash + 1), value);
    }
    DeleteRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames);
    if (state.pendingRenames.found)
        SetRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames, state.pendingRenames);
}

std::string DescribeDifferences(const MachineState& expected, const MachineState& actual) {
    std::string text;
    for (const auto& [path, bytes] : expected.files) {
        const auto found = actual.files.find(path);
        if (found == actual.files.end()) text += "file gone: " + Utf8(path) + "\n";
        else if (found->second != bytes) text += "file changed: " + Utf8(path) + "\n";
    }
    for (const auto& [path, bytes] : actual.files)
        if (!expected.files.count(path)) text += "file added: " + Utf8(path) + "\n";
    for (const auto& [path, value] : expected.registry) {
        const auto found = actual.registry.find(path);
        if (found == actual.registry.end()) text += "registry gone: " + Utf8(path) + "\n";
        else if (found->second.type != value.type || found->second.data != value.data)
            text += "registry changed: " + Utf8(path) + "\n";
    }
    for (const auto& [path, value] : actual.registry)
        if (!expected.registry.count(path)) text += "registry added: " + Utf8(path) + "\n";
    if (!(expected.pendingRenames == actual.pendingRenames)) text += "restart moves changed\n";
    if (expected.windowsLeftovers != actual.windowsLeftovers) {
        for (const std::wstring& name : actual.windowsLeftovers) text += "in the Windows folder: " + Utf8(name) + "\n";
        for (const std::wstring& name : expected.windowsLeftovers) text += "expected in it: " + Utf8(name) + "\n";
    }
    return text;
}

void ExpectMachineIs(const MachineState& expected, const std::string& where) {
    const MachineState actual = SnapshotMachine();
    EXPECT_TRUE(actual == expected) << where << "\n" << DescribeDifferences(expected, actual);
}

std::string WithFailingRegistryLine(const std::string& script, const std::string& section) {
    std::string changed = script;
    const size_t header = changed.find(section), lineEnd = changed.find('\n', header);
    if (header == std::string::npos || lineEnd == std::string::npos) return script;
    changed.insert(lineEnd + 1, "AddReg=Breaks\r\n");
    return changed + "\r\n[Breaks]\r\nHKLM,\"SOFTWARE\\Qel\\Number\",N,0x10001,1,,0\r\n"
                     "HKLM,\"SOFTWARE\\Qel\\Number\",N,0x10008,\"x\",,0\r\n";
}

void ExpectEachKillUndoneByTheNextRun(const KilledRuns& runs, const SetupFolder& next, const MachineState& before) {
    runs.prepare();
    const ControlledRunResult whole = RunControlled(runs.command, RecordAction::None, 0);
    ASSERT_EQ(whole.exitCode, 200u);
    for (int k = 1; k <= whole.flushes; ++k) {
        const std::string where = "killed at record " + std::to_string(k) + " of " + std::to_string(whole.flushes);
        runs.prepare();
        ::DeleteFileW(DiagnosticLogPath().c_str());
        ASSERT_EQ(RunControlled(runs.command, RecordAction::Kill, k).exitCode, kKilledExitCode) << where;
        runs.settle();
        // From its failure on the run undoes itself: a kill there is not a
        // kill of its steps (the next run still recovers it).
        const bool inItsRollback = LogHasLine(ReadFileBytes(DiagnosticLogPath()), "Rollback()");
        const SetupRunResult recovered = RunSetupProgram(next.Exe(), L"apponly_install \"" + next.Path() + L"\"");
        EXPECT_EQ(recovered.exitCode, 0u) << where << recovered.log;
        if (inItsRollback) return;
        const MachineState after = runs.snapshot();
        EXPECT_TRUE(after == before) << where << "\n" << DescribeDifferences(before, after) << recovered.log;
        if (::testing::Test::HasFailure()) return;
    }
}

void CleanMachine() {
    DeleteTree(kAppFolder);
    DeleteTree(kSharedFolder);
    DeleteTree(kStartMenuFolder);
    ::DeleteFileW(kApplet);
    ::DeleteFileW(kTrayProgram);
    RemoveSharedDllCount(kSharedDll);
    RemoveSharedDllCount(L"QelSetup");
    DeleteRegTree(HKEY_LOCAL_MACHINE, kUninstallEntry);
    DeleteRegTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Qel");
}

void WriteTrayKeys(DWORD control) {
    SetRegString(HKEY_LOCAL_MACHINE, kTrayInstallStatus, L"DriverKey", L"0042", KEY_WOW64_32KEY);
    SetRegString(HKEY_LOCAL_MACHINE, kTrayDriverKey, L"NetCfgInstanceId", L"{5A1D3F1C-0E5B-4C8A-9F1E-2B6C7D8E9F00}",
                 KEY_WOW64_32KEY);
    SetRegValue(HKEY_LOCAL_MACHINE, kTrayAdapterKey, L"Control", RegDword(control), KEY_WOW64_32KEY);
}

void RemoveTrayKeys() {
    DeleteRegTree(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Ardentix", KEY_WOW64_32KEY);
    DeleteRegTree(HKEY_LOCAL_MACHINE, kTrayDriverKey, KEY_WOW64_32KEY);
}

}  // namespace qeltest
