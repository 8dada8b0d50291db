#include "TestSupport.h"

#include "Handles.h"
#include "Util.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <stdexcept>

namespace qeltest {
namespace {

// Reads a pipe until its writer closes it, on a thread of its own so that a
// child that fills one pipe while we drain the other cannot stall.
DWORD WINAPI DrainPipe(void* context) {
    auto* job = static_cast<std::pair<HANDLE, std::string*>*>(context);
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(job->first, buffer, sizeof(buffer), &read, nullptr) && read > 0) job->second->append(buffer, read);
    return 0;
}

void Fail(const std::string& what) {
    throw std::runtime_error(what + " (error " + std::to_string(::GetLastError()) + ")");
}

}  // namespace

std::wstring TestBinDir() {
    std::wstring path;
    qel::GetModuleDirectory(nullptr, path);
    return path;
}

std::wstring ProductPath() { return qel::JoinPath(TestBinDir(), L"qelwls64.exe"); }

PipedStart::PipedStart(const std::wstring& commandLine, const std::wstring& currentDir, DWORD creationFlags,
                       ProcessResult& result)
    : result_(result) {
    // Under Wine, the first process that needs the desktop window (the shell
    // link object does) starts Wine's desktop process, which keeps that
    // process's standard error: started by a program under test, it would
    // hold the pipe below open and the run would never seem to end. Started
    // here first, it holds only the test's own. Windows has its desktop.
    static const HWND desktop = ::GetDesktopWindow();
    (void)desktop;
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    qel::UniqueHandle inRead, inWrite, outRead, outWrite, errRead, errWrite;
    if (!::CreatePipe(inRead.Put(), inWrite.Put(), &inheritable, 0) ||
        !::CreatePipe(outRead.Put(), outWrite.Put(), &inheritable, 0) ||
        !::CreatePipe(errRead.Put(), errWrite.Put(), &inheritable, 0))
        Fail("CreatePipe");
    ::SetHandleInformation(inWrite.Get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(outRead.Get(), HANDLE_FLAG_INHERIT, 0);
    ::SetHandleInformation(errRead.Get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead.Get();
    startup.hStdOutput = outWrite.Get();
    startup.hStdError = errWrite.Get();
    PROCESS_INFORMATION info{};
    std::wstring mutableCommandLine = commandLine;
    // Wine now and then refuses a start with ERROR_INTERNAL_ERROR (1359) while
    // the machine is loaded; Windows does not. A second try starts it.
    BOOL started = FALSE;
    for (int attempt = 0; attempt < 3 && !started; ++attempt) {
        if (attempt > 0) ::Sleep(200);
        started = ::CreateProcessW(nullptr, &mutableCommandLine[0], nullptr, nullptr, TRUE,
                                   CREATE_NO_WINDOW | creationFlags, nullptr,
                                   currentDir.empty() ? nullptr : currentDir.c_str(), &startup, &info);
        if (!started && ::GetLastError() != ERROR_INTERNAL_ERROR) break;
    }
    if (!started) Fail("CreateProcess " + Utf8(commandLine));
    process_ = info.hProcess;
    thread_ = info.hThread;
    processId_ = info.dwProcessId;
    // Our copies of the child's ends must go, or the pipes never report EOF.
    inRead.Reset();
    outWrite.Reset();
    errWrite.Reset();
    inWrite.Reset();
    outRead_ = outRead.Release();
    errRead_ = errRead.Release();
    outJob_ = {outRead_, &result_.out};
    errJob_ = {errRead_, &result_.err};
    drains_[0] = ::CreateThread(nullptr, 0, DrainPipe, &outJob_, 0, nullptr);
    drains_[1] = ::CreateThread(nullptr, 0, DrainPipe, &errJob_, 0, nullptr);
    if (!drains_[0] || !drains_[1]) Fail("CreateThread");
}

void PipedStart::Finish() {
    ::WaitForMultipleObjects(2, drains_, TRUE, INFINITE);
    ::WaitForSingleObject(process_, INFINITE);
    ::GetExitCodeProcess(process_, &result_.exitCode);
}

PipedStart::~PipedStart() {
    for (HANDLE owned : {drains_[0], drains_[1], outRead_, errRead_, thread_, process_}) qel::UniqueHandle closer(owned);
}

ProcessResult RunProgram(const std::wstring& commandLine, const std::wstring& currentDir) {
    ProcessResult result;
    PipedStart start(commandLine, currentDir, 0, result);
    start.Finish();
    return result;
}

void SetWindowsVersion(const std::wstring& exeName, const std::wstring& version) {
    const std::wstring key = L"Software\\Wine\\AppDefaults\\" + exeName;
    if (version.empty()) {
        DeleteRegTree(HKEY_CURRENT_USER, key);
        return;
    }
    SetRegString(HKEY_CURRENT_USER, key, L"Version", version);
}

std::wstring MakeScratchFolder(const std::wstring& name) {
    const std::wstring folder = L"C:\\qeltests\\" + name;
    DeleteTree(folder);
    qel::CreateDirectoryTree(folder);
    return folder;
}

void DeleteTree(const std::wstring& path) {
    if (!PathExists(path)) return;
    std::wstring from = path;
    from.push_back(L'\0');  // SHFileOperation takes a double-terminated list
    SHFILEOPSTRUCTW operation{};
    operation.wFunc = FO_DELETE;
    operation.pFrom = from.c_str();
    operation.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    ::SHFileOperationW(&operation);
}

std::vector<std::wstring> FilesMatching(const std::wstring& pattern) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    qel::UniqueFindHandle find(::FindFirstFileW(pattern.c_str(), &found));
    if (!find) return names;
    do names.push_back(found.cFileName);
    while (::FindNextFileW(find.Get(), &found));
    return names;
}

std::string ReadFileBytes(const std::wstring& path) {
    qel::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) Fail("open " + Utf8(path));
    std::string bytes;
    char buffer[4096];
    DWORD read = 0;
    while (::ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    qel::CreateDirectoryTree(qel::DirectoryOf(path));
    qel::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!file) Fail("create " + Utf8(path));
    DWORD written = 0;
    if (!::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr))
        Fail("write " + Utf8(path));
}

bool PathExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void CopyFileOrFail(const std::wstring& from, const std::wstring& to) {
    if (!::CopyFileW(from.c_str(), to.c_str(), FALSE)) Fail("copy " + Utf8(from) + " to " + Utf8(to));
}

std::wstring ReadRegString(HKEY root, const std::wstring& subkey, const std::wstring& value, REGSAM view,
                           bool* found) {
    if (found) *found = false;
    qel::UniqueKey key;
    if (::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, key.Put()) != ERROR_SUCCESS) return L"";
    std::wstring text;
    if (qel::QueryStringValue(key.Get(), value, text) != ERROR_SUCCESS) return L"";
    if (found) *found = true;
    return text;
}

RegValue ReadRegValue(HKEY root, const std::wstring& subkey, const std::wstring& name, REGSAM view) {
    RegValue value;
    qel::UniqueKey key;
    if (::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, key.Put()) != ERROR_SUCCESS) return value;
    DWORD size = 0;
    if (::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &value.type, nullptr, &size) != ERROR_SUCCESS)
        return value;
    value.data.resize(size);
    value.found = ::RegQueryValueExW(key.Get(), name.c_str(), nullptr, &value.type, value.data.data(), &size) ==
                  ERROR_SUCCESS;
    return value;
}

void DeleteRegTree(HKEY root, const std::wstring& subkey, REGSAM view) {
    qel::UniqueKey key;
    if (::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_ALL_ACCESS | view, key.Put()) != ERROR_SUCCESS) return;
    ::RegDeleteTreeW(key.Get(), nullptr);
    key.Reset();
    ::RegDeleteKeyExW(root, subkey.c_str(), view, 0);
}

void DeleteRegValue(HKEY root, const std::wstring& subkey, const std::wstring& value, REGSAM view) {
    qel::UniqueKey key;
    if (::RegOpenKeyExW(root, subkey.c_str(), 0, KEY_SET_VALUE | view, key.Put()) == ERROR_SUCCESS)
        ::RegDeleteValueW(key.Get(), value.c_str());
}

std::vector<std::wstring> ReadRegMultiString(HKEY root, const std::wstring& subkey, const std::wstring& value,
                                             REGSAM view) {
    const RegValue read = ReadRegValue(root, subkey, value, view);
    if (!read.found) return {};
    std::wstring data(reinterpret_cast<const wchar_t*>(read.data.data()), read.data.size() / sizeof(wchar_t));
    // Entries end at each NUL; the list ends with an extra one.
    while (!data.empty() && data.back() == L'\0') data.pop_back();
    std::vector<std::wstring> strings;
    for (size_t start = 0, end = 0; end != std::wstring::npos; start = end + 1) {
        end = data.find(L'\0', start);
        strings.push_back(data.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
    }
    return strings;
}

std::wstring TempFolder() {
    wchar_t buffer[MAX_PATH];
    const DWORD length = ::GetTempPathW(MAX_PATH, buffer);
    std::wstring folder(buffer, length);
    if (!folder.empty() && folder.back() == L'\\') folder.pop_back();
    return folder;
}

std::string Utf8(const std::wstring& text) {
    std::string bytes;
    qel::WideToUtf8(text, bytes);
    return bytes;
}

std::wstring Wide(const std::string& utf8) {
    std::wstring text;
    qel::Utf8ToWide(utf8, text);
    return text;
}

std::vector<std::string> SplitCrLfLines(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 2) {
        end = std::min(text.find("\r\n", start), text.size());
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

namespace {
const wchar_t kEnumKey[] = L"System\\CurrentControlSet\\Enum\\";
}  // namespace

void SetRegValue(HKEY root, const std::wstring& subkey, const std::wstring& name, const RegValue& value, REGSAM view) {
    qel::UniqueKey key;
    if (::RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, key.Put(), nullptr) !=
            ERROR_SUCCESS ||
        ::RegSetValueExW(key.Get(), name.c_str(), 0, value.type, value.data.data(),
                         static_cast<DWORD>(value.data.size())) != ERROR_SUCCESS)
        Fail("set registry value " + Utf8(subkey) + "\\" + Utf8(name));
}

void SetRegString(HKEY root, const std::wstring& subkey, const std::wstring& name, const std::wstring& text,
                  REGSAM view) {
    SetRegValue(root, subkey, name, RegSz(text), view);
}

RegValue RegSz(const std::wstring& text, DWORD type) {
    const auto* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    return RegValue{true, type, std::vector<BYTE>(bytes, bytes + (text.size() + 1) * sizeof(wchar_t))};
}

RegValue RegDword(DWORD value) {
    return RegValue{true, REG_DWORD, {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)}};
}

void InstallDeviceStandIns() {
    const std::wstring from = qel::JoinPath(TestBinDir(), L"standins");
    wchar_t system[MAX_PATH];
    ::GetSystemDirectoryW(system, MAX_PATH);
    for (const wchar_t* name : {L"newdev", L"cfgmgr32"}) {
        const std::wstring file = std::wstring(name) + L".dll";
        CopyFileOrFail(qel::JoinPath(from, file), qel::JoinPath(system, file));
        SetRegString(HKEY_CURRENT_USER, L"Software\\Wine\\DllOverrides", name, L"native");
    }
}

const wchar_t* StandInCallLog() { return L"C:\\qel-standin-calls.log"; }

std::vector<std::string> ReadStandInCalls() {
    if (!PathExists(StandInCallLog())) return {};
    return SplitCrLfLines(ReadFileBytes(StandInCallLog()));
}

void AddFakeDevice(const std::wstring& instancePath, const std::vector<std::wstring>& hardwareIds,
                   const std::wstring& classGuid, const std::wstring& description) {
    const std::wstring key = kEnumKey + instancePath;
    std::wstring ids;
    for (const std::wstring& id : hardwareIds) ids += id + L'\0';
    SetRegValue(HKEY_LOCAL_MACHINE, key, L"HardwareID", RegSz(ids, REG_MULTI_SZ));
    SetRegString(HKEY_LOCAL_MACHINE, key, L"ClassGUID", classGuid);
    SetRegString(HKEY_LOCAL_MACHINE, key, L"DeviceDesc", description);
}

namespace {
const wchar_t kPluggedInHardware[] = L"SOFTWARE\\QelStandIn\\Hardware";

// The key under kPluggedInHardware of the device (its instance path with
// "#" for each "\\").
std::wstring PluggedInKey(const std::wstring& instancePath) {
    std::wstring name = instancePath;
    for (wchar_t& c : name)
        if (c == L'\\') c = L'#';
    return std::wstring(kPluggedInHardware) + L"\\" + name;
}
}  // namespace

void KeepFakeDevicePluggedIn(const std::wstring& instancePath) {
    const std::wstring key = PluggedInKey(instancePath);
    SetRegString(HKEY_LOCAL_MACHINE, key, L"Instance", instancePath);
    for (const wchar_t* name : {L"HardwareID", L"ClassGUID", L"DeviceDesc"}) {
        const RegValue value = ReadRegValue(HKEY_LOCAL_MACHINE, kEnumKey + instancePath, name);
        if (value.found) SetRegValue(HKEY_LOCAL_MACHINE, key, name, value);
    }
}

void RemoveFakeDevice(const std::wstring& instancePath) {
    const std::wstring driverKey = DriverKeyPath(instancePath);
    if (!driverKey.empty()) DeleteRegTree(HKEY_LOCAL_MACHINE, driverKey);
    DeleteRegTree(HKEY_LOCAL_MACHINE, kEnumKey + instancePath);
    DeleteRegTree(HKEY_LOCAL_MACHINE, PluggedInKey(instancePath));
}

void SetFakeDeviceValue(const std::wstring& instancePath, const std::wstring& name, DWORD value) {
    SetRegValue(HKEY_LOCAL_MACHINE, kEnumKey + instancePath, name, RegDword(value));
}

std::wstring DriverKeyPath(const std::wstring& instancePath) {
    const std::wstring driver = ReadRegString(HKEY_LOCAL_MACHINE, kEnumKey + instancePath, L"Driver");
    return driver.empty() ? L"" : L"System\\CurrentControlSet\\Control\\Class\\" + driver;
}

}  // namespace qeltest
