// Helpers for tests that run inside a Wine prefix: starting programs on pipes
// the way a setup program starts qelwls64.exe, scratch folders, file bytes,
// registry reads and Wine's per-program Windows version.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace qeltest {

// The folder of the running test program; qelwls64.exe and the fixture
// programs are built into the same folder.
std::wstring TestBinDir();
std::wstring ProductPath();

struct ProcessResult {
    DWORD exitCode = 0;
    std::string out;  // standard output, byte for byte
    std::string err;  // standard error
};

// Starts commandLine with its three standard handles on pipes, collects both
// output streams until the process ends, and returns its exit code.
ProcessResult RunProgram(const std::wstring& commandLine, const std::wstring& currentDir = L"");

// The start that RunProgram makes, for callers that watch the process on the
// way (creationFlags are added to CREATE_NO_WINDOW). Standard input is closed;
// the two output pipes are read on threads of their own into out and err
// until the child closes them.
class PipedStart {
public:
    PipedStart(const std::wstring& commandLine, const std::wstring& currentDir, DWORD creationFlags,
               ProcessResult& result);
    ~PipedStart();
    PipedStart(const PipedStart&) = delete;
    PipedStart& operator=(const PipedStart&) = delete;
    HANDLE Process() const { return process_; }
    DWORD ProcessId() const { return processId_; }
    // Waits until both pipes are drained and the process has ended, and
    // reads its exit code into the result.
    void Finish();

private:
    HANDLE process_ = nullptr, thread_ = nullptr;
    DWORD processId_ = 0;
    HANDLE outRead_ = nullptr, errRead_ = nullptr;
    HANDLE drains_[2] = {};
    std::pair<HANDLE, std::string*> outJob_, errJob_;
    ProcessResult& result_;
};

// Sets (or, with an empty version, removes) the Windows version Wine reports
// to programs of this file name, e.g. L"win2k", L"winxp64", L"win10".
void SetWindowsVersion(const std::wstring& exeName, const std::wstring& version);

// A fresh, empty folder C:\qeltests\<name>.
std::wstring MakeScratchFolder(const std::wstring& name);
void DeleteTree(const std::wstring& path);

std::string ReadFileBytes(const std::wstring& path);
// The names of the files a pattern ("C:\\x\\qel*.tmp") matches.
std::vector<std::wstring> FilesMatching(const std::wstring& pattern);
void WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool PathExists(const std::wstring& path);
void CopyFileOrFail(const std::wstring& from, const std::wstring& to);

// The string value, or an empty optional-like result: found is false when the
// key or value is missing.
std::wstring ReadRegString(HKEY root, const std::wstring& subkey, const std::wstring& value, REGSAM view = 0,
                           bool* found = nullptr);
// A registry value's type and raw bytes; found is false when the key or the
// value is missing.
struct RegValue {
    bool found = false;
    DWORD type = 0;
    std::vector<BYTE> data;
    bool operator==(const RegValue& other) const {
        return found == other.found && type == other.type && data == other.data;
    }
};
RegValue ReadRegValue(HKEY root, const std::wstring& subkey, const std::wstring& name, REGSAM view = 0);
void DeleteRegTree(HKEY root, const std::wstring& subkey, REGSAM view = 0);
void DeleteRegValue(HKEY root, const std::wstring& subkey, const std::wstring& value, REGSAM view = 0);
// Creates the key as needed and writes the value; a failure ends the test.
void SetRegValue(HKEY root, const std::wstring& subkey, const std::wstring& name, const RegValue& value,
                 REGSAM view = 0);
void SetRegString(HKEY root, const std::wstring& subkey, const std::wstring& name, const std::wstring& text,
                  REGSAM view = 0);
// Values as the registry stores them: a string with its terminator (a
// multi-string's items joined by NULs in text), a DWORD.
RegValue RegSz(const std::wstring& text, DWORD type = REG_SZ);
RegValue RegDword(DWORD value);
// The strings of a REG_MULTI_SZ value (empty entries kept), or none.
std::vector<std::wstring> ReadRegMultiString(HKEY root, const std::wstring& subkey, const std::wstring& value,
                                             REGSAM view = 0);

std::wstring TempFolder();  // GetTempPathW without the trailing backslash

std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& utf8);

// Splits text at "\r\n"; a last piece without a line end is kept.
std::vector<std::string> SplitCrLfLines(const std::string& text);

// --- devices -----------------------------------------------------------------
// Wine only stubs parts of the device installer (newdev.dll's driver update,
// most of cfgmgr32.dll). The stand-ins of tests/standins play the Windows
// behaviour; this copies them over the prefix's system32 copies and sets
// Wine's DLL override "native" for both, so that every program started
// afterwards loads them. Each call of a stand-in appends one line to
// StandInCallLog().
void InstallDeviceStandIns();
const wchar_t* StandInCallLog();  // C:\qel-standin-calls.log
std::vector<std::string> ReadStandInCalls();  // its lines; none when it is missing

// A device that Wine enumerates as present hardware: the key
// HKLM\System\CurrentControlSet\Enum\<instancePath> (for example
// PCI\VEN_1D6A&DEV_4360&SUBSYS_00001028&REV_03\4&1d6a&0&00E0) with HardwareID
// (REG_MULTI_SZ, in the order given), ClassGUID and DeviceDesc.
void AddFakeDevice(const std::wstring& instancePath, const std::vector<std::wstring>& hardwareIds,
                   const std::wstring& classGuid, const std::wstring& description);
// The device's hardware stays plugged in: when a device installer removes
// the device, the configuration-manager stand-in's re-enumeration of the
// device tree finds it again, with the values its Enum key holds now and
// without a driver, as Windows finds hardware that is still there.
void KeepFakeDevicePluggedIn(const std::wstring& instancePath);
// Removes the device's Enum key and the driver key it names, if any, and
// unplugs it.
void RemoveFakeDevice(const std::wstring& instancePath);
// A REG_DWORD in the device's Enum key; the stand-ins' test hooks are such
// values (QelStandInFail, QelStandInReboot, QelStandInNotPresent).
void SetFakeDeviceValue(const std::wstring& instancePath, const std::wstring& name, DWORD value);
// HKLM\System\CurrentControlSet\Control\Class\<Driver value>, the device's
// driver key; empty when the device has no driver.
std::wstring DriverKeyPath(const std::wstring& instancePath);

}  // namespace qeltest
