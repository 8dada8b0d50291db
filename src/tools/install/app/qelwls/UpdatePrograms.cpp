// The commit side of PreRun and PostRun: starting a program, waiting for it,
// judging its exit code (the driver package installer's codes among them),
// and ending a running program before its files are replaced. A program
// that ran cannot be undone; programs run before any change and after all
// of them, so a rollback never has one to take back halfway.
#include "BasicException.h"
#include "Handles.h"
#include "Trace.h"
#include "Update.h"
#include "Util.h"

#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

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
            t.SetRebootRequired(true);
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
            t.SetRestartDriverRequired();
        } else {
            TraceWrite(TraceDetail, L"Install driver with DPInst.exe successfully.\n");
        }
        return;
    }
    if (code == 0) {
        UninstallDriverMatchingInfs(t, t.Package().infPath);
        TraceWrite(TraceDetail, L"Uninstall driver with DPInst.exe successfully.\n");
    } else {
        TraceWrite(TraceDetail, L"Fail to uninstall driver with DPInst.exe.\n");
    }
}

// The driver package installer reports what it did on its standard output.
// Its lines go to the diagnostic log, where a user looks for them after a
// failed driver install, and not to the setup's standard output: that is the
// parent's status channel, which carries only the setup's own lines.
class OutputToLog {
public:
    OutputToLog() {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE read = nullptr;
        HANDLE write = nullptr;
        if (!::CreatePipe(&read, &write, &inheritable, 0)) return;
        read_.Reset(read);
        write_.Reset(write);
        ::SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
    }
    // The child's end; null when no pipe could be made (the child then
    // writes where the setup writes).
    HANDLE ChildEnd() const { return write_.Get(); }
    // Once the child holds its end, the setup's copy goes, so that the pipe
    // ends with the child.
    void ChildStarted() { write_.Reset(); }
    // Moves what the child has written so far into the log, line by line.
    void Drain() {
        DWORD available = 0;
        while (read_ && ::PeekNamedPipe(read_.Get(), nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            char buffer[512];
            DWORD got = 0;
            if (!::ReadFile(read_.Get(), buffer, sizeof(buffer), &got, nullptr) || got == 0) break;
            pending_.append(buffer, got);
            for (size_t end; (end = pending_.find('\n')) != std::string::npos; pending_.erase(0, end + 1))
                WriteLine(pending_.substr(0, end));
        }
    }
    void Finish() {
        Drain();
        if (!pending_.empty()) WriteLine(pending_);
        pending_.clear();
    }

private:
    static void WriteLine(std::string line) {
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
        std::wstring wide;
        Utf8ToWide(line, wide);
        TraceWrite(TraceDetail, L"DPInst.exe: %s\n", wide.c_str());
    }

    UniqueHandle read_;
    UniqueHandle write_;
    std::string pending_;
};

// Waits for the program within the time-out, moving its output along.
bool WaitForProgram(HANDLE process, DWORD timeout, OutputToLog* output) {
    if (!output) return ::WaitForSingleObject(process, timeout) != WAIT_TIMEOUT;
    constexpr DWORD kSlice = 50;
    for (DWORD waited = 0;; waited += kSlice) {
        const DWORD result = ::WaitForSingleObject(process, waited < timeout ? kSlice : 0);
        output->Drain();
        if (result != WAIT_TIMEOUT) break;
        if (waited >= timeout) return false;
    }
    output->Finish();
    return true;
}
}  // namespace

void CommitRunApp(UpdateTransaction& t, const std::wstring& program, const std::wstring& arguments, uint32_t flags) {
    if ((flags & kRunSkipAfterReboot) != 0 && t.IsRebootRequired()) return;
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
    std::unique_ptr<OutputToLog> output;
    if (wait && Contains(arguments, L"dpinst")) {
        output = std::make_unique<OutputToLog>();
        if (output->ChildEnd())
            startup.hStdOutput = output->ChildEnd();
        else
            output.reset();
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
        if (output) output->ChildStarted();
    }

    if (wait && process) {
        const DWORD timeout = SetupGetRunningWinVer() >= WinVerVista ? kWaitVista : kWaitOlder;
        // A program that does not end in time is left running.
        if (!WaitForProgram(process.Get(), timeout, output.get()))
            TraceWrite(TraceNotable, L"WAIT_TIMEOUT while running \"%s\".\n", arguments.c_str());
    }
    if ((flags & kRunExamineExitCode) != 0) {
        DWORD code = kExitCodeUnknown;
        if (!process || !::GetExitCodeProcess(process.Get(), &code)) code = kExitCodeUnknown;
        JudgeExitCode(t, program, arguments, code);
    }
}

namespace {
// The path of the program a process runs (its first module), or empty when
// it cannot be read: a process of the system, or one that has ended.
std::wstring ProcessImagePath(DWORD processId) {
    UniqueHandle modules(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
    if (!modules) return std::wstring();
    MODULEENTRY32W module{};
    module.dwSize = sizeof(module);
    if (!::Module32FirstW(modules.Get(), &module)) return std::wstring();
    return module.szExePath;
}
}  // namespace

void TerminateProgram(const std::wstring& programPath) {
    // The process that runs the program itself, found by its full path, not
    // the first whose name occurs somewhere in that path ("on.exe" in
    // "...\\QelMon.exe"): ending an unrelated process loses its user's work.
    const std::wstring program = CanonicalPath(programPath);
    if (program.empty()) return;
    // Only processes that carry the program's file name (long, or short if
    // it was started by its short path) are looked at closer.
    std::vector<std::wstring> names{GetFileNamePart(program)};
    wchar_t shortPath[MAX_PATH];
    const DWORD shortLength = ::GetShortPathNameW(program.c_str(), shortPath, MAX_PATH);
    if (shortLength > 0 && shortLength < MAX_PATH) names.push_back(GetFileNamePart(shortPath));
    UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry)) {
        if (std::none_of(names.begin(), names.end(),
                         [&](const std::wstring& name) { return ::lstrcmpiW(name.c_str(), entry.szExeFile) == 0; }))
            continue;
        // Opened before its path is read: while the handle is held, the
        // process id cannot pass to another process.
        UniqueHandle process(::OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID));
        if (!process || !IsSamePath(ProcessImagePath(entry.th32ProcessID), program)) continue;
        ::TerminateProcess(process.Get(), 0);
        return;
    }
}

}  // namespace qel
