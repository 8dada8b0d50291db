// The commit side of PreRun and PostRun: starting a program, waiting for it,
// judging its exit code (the driver package installer's codes among them),
// and ending a running program before its files are replaced. A program
// that ran cannot be undone; programs run before any change and after all
// of them, so a rollback never has one to take back halfway.
#include "BasicException.h"
#include "DriverInf.h"
#include "Handles.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"

#include <tlhelp32.h>

#include <cstdio>

namespace qel {
namespace {
constexpr const char* kModuleName = "Update";

constexpr uint32_t kRunNoWait = 0x1;
constexpr uint32_t kRunSkipAfterReboot = 0x2;
constexpr uint32_t kRunIgnoreStartFailure = 0x4;
constexpr uint32_t kRunExamineExitCode = 0x8;

constexpr DWORD kWaitVista = 600000;  // 10 minutes from Vista on
constexpr DWORD kWaitOlder = 300000;  // 5 minutes before
constexpr DWORD kExitCodeUnknown = 202;

bool Contains(const std::wstring& text, const wchar_t* part) { return text.find(part) != std::wstring::npos; }

void JudgeExitCode(UpdateTransaction& t, const std::wstring& program, const std::wstring& arguments, DWORD code) {
    if (!Contains(arguments, L"dpinst")) {
        if (code == 1) {
            TraceWrite(TraceDetail, L"CommitRunApp( \"%s\" reboot required.\n", arguments.c_str());
            t.rebootRequired = true;
        }
        return;
    }
    if (!Contains(arguments, L"/u")) {
        // The driver package installer: the low byte counts the packages it
        // installed, the top byte carries its status bits.
        TraceWrite(TraceDetail, L"DPInst.exe returned code 0x%08x\n", code);
        if ((code & 0xFF) == 0) {
            TraceWrite(TraceDetail, L"Fail to install driver with DPInst.exe.\n");
            QEL_RAISE(program, code);
        }
        if ((code >> 24) == 0x40) {
            TraceWrite(TraceDetail, L"Install driver with DPInst.exe successfully and reboot required.\n");
            t.restartDriverRequired = true;
        } else {
            TraceWrite(TraceDetail, L"Install driver with DPInst.exe successfully.\n");
        }
        return;
    }
    if (code == 0) {
        UninstallDriverMatchingInfs(t, t.packageInfPath);
        TraceWrite(TraceDetail, L"Uninstall driver with DPInst.exe successfully.\n");
    } else {
        TraceWrite(TraceDetail, L"Fail to uninstall driver with DPInst.exe.\n");
    }
}

constexpr const wchar_t* kAdapterBusIds[] = {L"pci\\ven_1d6a", L"sd\\vid_03c7", L"usb\\vid_2b9e"};

// A value of a device's driver key; empty when the key or value is missing.
std::wstring DriverKeyValue(HDEVINFO set, SP_DEVINFO_DATA& device, const wchar_t* name) {
    UniqueKey key(::SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_READ));
    if (!key || key.Get() == INVALID_HANDLE_VALUE) {
        key.Release();
        return L"";
    }
    std::wstring value;
    if (QueryStringValue(key.Get(), name, value) != ERROR_SUCCESS) value.clear();
    return value;
}
}  // namespace

void UninstallDriverMatchingInfs(UpdateTransaction& t, const std::wstring& infPath) {
    // The first device of the adapter (by its bus ids) that the package INF
    // lists, present or not.
    UniqueDevInfo devices(::SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES));
    if (!devices) return;
    std::vector<std::wstring> listed;  // the INF's hardware ids, read at the first adapter device
    std::wstring id;
    bool found = false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; !found && ::SetupDiEnumDeviceInfo(devices.Get(), index, &device); ++index) {
        id = DriverKeyValue(devices.Get(), device, L"MatchingDeviceId");
        if (id.empty()) id = DriverKeyValue(devices.Get(), device, L"ComponentId");
        id = Lowercase(id);
        bool adapter = false;
        for (const wchar_t* bus : kAdapterBusIds) adapter = adapter || Contains(id, bus);
        if (!adapter) continue;
        if (listed.empty()) {
            InfFile inf;
            inf.Open(infPath, kInfNeutralLanguage);
            inf.GetModelHardwareIds(listed);
        }
        for (const std::wstring& each : listed) found = found || Lowercase(each) == id;
    }
    if (!found) return;
    TraceWrite(TraceDetail, L"MatchingDeviceId = %s\n", id.c_str());
    TraceWrite(TraceDetail, L"Driver registry is removed.\n");
    // Removing the device node belongs to the device work, which this build
    // does not have: stop rather than leave the device half removed.
    QEL_RAISE(L"removing device " + id + L" is not supported by this build", 0);
}

void CommitRunApp(UpdateTransaction& t, const std::wstring& program, const std::wstring& arguments, uint32_t flags) {
    if ((flags & kRunSkipAfterReboot) != 0 && t.rebootRequired) return;
    TraceWrite(TraceNotable, L"CommitRunApp( \"%s\", \"%s\", 0x%08x )\n", program.c_str(), arguments.c_str(), flags);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    const bool wait = (flags & kRunNoWait) == 0;
    if (wait) {
        // The program writes to the same channels as the setup; what the
        // setup still holds in its buffers goes out first.
        std::fflush(stderr);
        std::fflush(stdout);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
        startup.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    }

    UniqueHandle process;
    UniqueHandle thread;
    if (Contains(program, L"AIRDOCK.EXE")) {
        // The tray program runs as the logged-on user, not elevated like the
        // setup; the scheduler starts it, so there is no process to wait for.
        TraceWrite(TraceNotable, L"Running AIRDOCK.EXE without admin mode.\n");
        CreateProcessWithoutAdmin();
    } else {
        std::wstring commandLine = arguments;  // CreateProcessW may write to it
        PROCESS_INFORMATION info{};
        if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, wait ? TRUE : FALSE,
                              CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info)) {
            const DWORD error = ::GetLastError();
            TraceWrite(TraceNotable, L"Error %u running \"%s, %s\".\n", error, program.c_str(), arguments.c_str());
            if ((flags & kRunIgnoreStartFailure) != 0) return;
            QEL_RAISE(program, error);
        }
        process.Reset(info.hProcess);
        thread.Reset(info.hThread);
    }

    if (wait && process) {
        const DWORD timeout = SetupGetRunningWinVer() >= WinVerVista ? kWaitVista : kWaitOlder;
        // A program that does not end in time is left running.
        if (::WaitForSingleObject(process.Get(), timeout) == WAIT_TIMEOUT)
            TraceWrite(TraceNotable, L"WAIT_TIMEOUT while running \"%s\".\n", arguments.c_str());
    }
    if ((flags & kRunExamineExitCode) != 0) {
        DWORD code = kExitCodeUnknown;
        if (!process || !::GetExitCodeProcess(process.Get(), &code)) code = kExitCodeUnknown;
        JudgeExitCode(t, program, arguments, code);
    }
}

void TerminateProgram(const std::wstring& programPath) {
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    const std::wstring path = Lowercase(programPath);
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
        const std::wstring name = Lowercase(entry.szExeFile);
        // An empty name would occur in every path.
        if (name.empty() || path.find(name) == std::wstring::npos) continue;
        UniqueHandle process(::OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID));
        if (process) ::TerminateProcess(process.Get(), 0);
        return;
    }
}

}  // namespace qel
