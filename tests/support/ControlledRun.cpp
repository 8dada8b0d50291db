#include "ControlledRun.h"

#include "Handles.h"
#include "TestSupport.h"

#include <tlhelp32.h>

#include <cstring>
#include <stdexcept>
#include <utility>

namespace qeltest {
namespace {

constexpr BYTE kBreakpointOpcode = 0xCC;  // int3
constexpr DWORD kTrapFlag = 0x100;
constexpr DWORD64 kTebLastErrorOffset = 0x68;  // TEB.LastErrorValue on x64

// The documented head of THREAD_BASIC_INFORMATION (ThreadBasicInformation = 0).
struct ThreadBasicInformation {
    LONG exitStatus;
    void* tebBaseAddress;
    HANDLE uniqueProcess;
    HANDLE uniqueThread;
    ULONG_PTR affinityMask;
    LONG priority;
    LONG basePriority;
};
using NtQueryInformationThreadFn = LONG(NTAPI*)(HANDLE, int, void*, ULONG, ULONG*);

void Fail(const std::string& what) {
    throw std::runtime_error(what + " (error " + std::to_string(::GetLastError()) + ")");
}

// The image file handle of a process or DLL load event is the debugger's to close.
void CloseImageFile(HANDLE file) { qel::UniqueHandle owned(file); }

// Where FlushFileBuffers lives: kernelbase.dll where kernel32 only forwards to
// it (Windows 7 and later, and Wine), else kernel32.dll.
struct FlushFunction {
    std::wstring module;
    DWORD64 rva = 0;
};

FlushFunction LocateFlushFunction() {
    for (const wchar_t* name : {L"kernelbase.dll", L"kernel32.dll"}) {
        const HMODULE module = ::GetModuleHandleW(name);
        if (!module) continue;
        const auto address = reinterpret_cast<DWORD64>(::GetProcAddress(module, "FlushFileBuffers"));
        if (address) return {name, address - reinterpret_cast<DWORD64>(module)};
    }
    Fail("FlushFileBuffers not found");
    return {};
}

// The load address of a module in another process, by file name.
DWORD64 ModuleBase(DWORD processId, const std::wstring& name) {
    qel::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, processId));
    if (!snapshot) Fail("CreateToolhelp32Snapshot");
    MODULEENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Module32FirstW(snapshot.Get(), &entry); more; more = ::Module32NextW(snapshot.Get(), &entry))
        if (::lstrcmpiW(entry.szModule, name.c_str()) == 0) return reinterpret_cast<DWORD64>(entry.modBaseAddr);
    Fail("module not loaded in the debugged process: " + Utf8(name));
    return 0;
}

// One debugged process and the breakpoint on its FlushFileBuffers entry.
class FlushBreakpoint {
public:
    FlushBreakpoint(HANDLE process, DWORD processId, RecordAction action, int atRecord, DWORD failError,
                    const std::function<void()>& whilePaused)
        : process_(process), processId_(processId), action_(action), atRecord_(atRecord), failError_(failError),
          whilePaused_(whilePaused) {}

    // Runs the debug loop until the process has ended.
    void Run(ControlledRunResult& result) {
        for (;;) {
            DEBUG_EVENT event{};
            if (!::WaitForDebugEvent(&event, INFINITE)) Fail("WaitForDebugEvent");
            DWORD continueStatus = DBG_CONTINUE;
            switch (event.dwDebugEventCode) {
            case CREATE_PROCESS_DEBUG_EVENT:
                CloseImageFile(event.u.CreateProcessInfo.hFile);
                break;
            case LOAD_DLL_DEBUG_EVENT:
                CloseImageFile(event.u.LoadDll.hFile);
                break;
            case EXCEPTION_DEBUG_EVENT:
                continueStatus = OnException(event.dwThreadId, event.u.Exception.ExceptionRecord);
                break;
            case EXIT_PROCESS_DEBUG_EVENT:
                result.exitCode = event.u.ExitProcess.dwExitCode;
                break;
            default:
                break;
            }
            if (!::ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus)) Fail("ContinueDebugEvent");
            if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) break;
        }
        result.flushes = hits_;
        result.intervened = intervened_;
    }

private:
    DWORD OnException(DWORD threadId, const EXCEPTION_RECORD& record) {
        const auto address = reinterpret_cast<DWORD64>(record.ExceptionAddress);
        if (record.ExceptionCode == EXCEPTION_BREAKPOINT && !loaderBreakpointSeen_) {
            // The loader stops once every static import is in place: the
            // moment to plant.
            loaderBreakpointSeen_ = true;
            Arm();
            return DBG_CONTINUE;
        }
        if (record.ExceptionCode == EXCEPTION_BREAKPOINT && armed_ && address == target_) return OnHit(threadId);
        if (record.ExceptionCode == EXCEPTION_SINGLE_STEP && threadId == steppingThread_) {
            steppingThread_ = 0;
            qel::UniqueHandle thread = OpenThreadOrFail(threadId);
            CONTEXT context = GetContext(thread.Get());
            context.EFlags &= ~kTrapFlag;
            SetContext(thread.Get(), context);
            if (armed_) WriteByte(target_, kBreakpointOpcode);
            return DBG_CONTINUE;
        }
        return DBG_EXCEPTION_NOT_HANDLED;  // the program's own exceptions take their course
    }

    void Arm() {
        const FlushFunction function = LocateFlushFunction();
        target_ = ModuleBase(processId_, function.module) + function.rva;
        // The same file is loaded in both processes: the code must match ours.
        const auto* ours = reinterpret_cast<const BYTE*>(
            reinterpret_cast<DWORD64>(::GetModuleHandleW(function.module.c_str())) + function.rva);
        BYTE theirs[16];
        if (!::ReadProcessMemory(process_, reinterpret_cast<void*>(target_), theirs, sizeof(theirs), nullptr))
            Fail("ReadProcessMemory FlushFileBuffers");
        if (std::memcmp(ours, theirs, sizeof(theirs)) != 0) Fail("FlushFileBuffers differs in the debugged process");
        original_ = theirs[0];
        WriteByte(target_, kBreakpointOpcode);
        armed_ = true;
    }

    DWORD OnHit(DWORD threadId) {
        ++hits_;
        if (hits_ == atRecord_ && action_ == RecordAction::Pause) {
            // The debug event holds every thread of the program until it is
            // continued below.
            intervened_ = true;
            if (whilePaused_) whilePaused_();
        }
        if (hits_ == atRecord_ && action_ == RecordAction::Kill) {
            intervened_ = true;
            if (!::TerminateProcess(process_, kKilledExitCode)) Fail("TerminateProcess");
            return DBG_CONTINUE;  // the remaining events lead to the process's exit
        }
        qel::UniqueHandle thread = OpenThreadOrFail(threadId);
        CONTEXT context = GetContext(thread.Get());
        // The int3 has run: the instruction pointer is one past it.
        if (context.Rip == target_ + 1) context.Rip = target_;
        if (context.Rip != target_) Fail("unexpected instruction pointer at the breakpoint");
        WriteByte(target_, original_);
        if (hits_ == atRecord_ && action_ == RecordAction::Fail) {
            intervened_ = true;
            armed_ = false;
            // Return FALSE to the caller as the function would: pop the return
            // address, and leave the error where GetLastError reads it.
            DWORD64 returnAddress = 0;
            if (!::ReadProcessMemory(process_, reinterpret_cast<void*>(context.Rsp), &returnAddress,
                                     sizeof(returnAddress), nullptr))
                Fail("ReadProcessMemory return address");
            context.Rip = returnAddress;
            context.Rsp += sizeof(returnAddress);
            context.Rax = FALSE;
            SetLastErrorOf(thread.Get(), failError_);
        } else {
            // Run the original instruction alone, then plant again.
            context.EFlags |= kTrapFlag;
            steppingThread_ = threadId;
        }
        SetContext(thread.Get(), context);
        return DBG_CONTINUE;
    }

    void WriteByte(DWORD64 address, BYTE value) {
        if (!::WriteProcessMemory(process_, reinterpret_cast<void*>(address), &value, 1, nullptr))
            Fail("WriteProcessMemory");
        ::FlushInstructionCache(process_, reinterpret_cast<void*>(address), 1);
    }

    void SetLastErrorOf(HANDLE thread, DWORD error) {
        static const auto query = reinterpret_cast<NtQueryInformationThreadFn>(
            ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread"));
        ThreadBasicInformation information{};
        if (!query || query(thread, 0, &information, sizeof(information), nullptr) != 0)
            Fail("NtQueryInformationThread");
        const DWORD64 slot = reinterpret_cast<DWORD64>(information.tebBaseAddress) + kTebLastErrorOffset;
        if (!::WriteProcessMemory(process_, reinterpret_cast<void*>(slot), &error, sizeof(error), nullptr))
            Fail("WriteProcessMemory last error");
    }

    static qel::UniqueHandle OpenThreadOrFail(DWORD threadId) {
        qel::UniqueHandle thread(::OpenThread(
            THREAD_GET_CONTEXT | THREAD_SET_CONTEXT | THREAD_QUERY_INFORMATION, FALSE, threadId));
        if (!thread) Fail("OpenThread");
        return thread;
    }
    static CONTEXT GetContext(HANDLE thread) {
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
        if (!::GetThreadContext(thread, &context)) Fail("GetThreadContext");
        return context;
    }
    static void SetContext(HANDLE thread, CONTEXT& context) {
        context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
        if (!::SetThreadContext(thread, &context)) Fail("SetThreadContext");
    }

    HANDLE process_;
    DWORD processId_;
    RecordAction action_;
    int atRecord_;
    DWORD failError_;
    std::function<void()> whilePaused_;
    DWORD64 target_ = 0;
    BYTE original_ = 0;
    bool loaderBreakpointSeen_ = false;
    bool armed_ = false;
    DWORD steppingThread_ = 0;
    int hits_ = 0;
    bool intervened_ = false;
};

}  // namespace

ControlledRunResult RunControlled(const std::wstring& commandLine, RecordAction action, int atRecord,
                                  DWORD failError, const std::wstring& currentDir,
                                  const std::function<void()>& whilePaused) {
    // The debug loop must run on the thread that started the process; the
    // pipes drain on threads of their own.
    ProcessResult output;
    PipedStart start(commandLine, currentDir, DEBUG_ONLY_THIS_PROCESS, output);
    ControlledRunResult result;
    FlushBreakpoint breakpoint(start.Process(), start.ProcessId(), action, atRecord, failError, whilePaused);
    try {
        breakpoint.Run(result);
    } catch (...) {
        // Do not leave a stopped process behind holding the pipes open.
        ::TerminateProcess(start.Process(), kKilledExitCode);
        ::DebugActiveProcessStop(start.ProcessId());
        start.Finish();
        throw;
    }
    start.Finish();
    result.out = output.out;
    result.err = output.err;
    return result;
}

}  // namespace qeltest
