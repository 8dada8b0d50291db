// The launch without elevation: the setup runs elevated, the tray program
// must run as the logged-on user at the normal run level. A scheduled task
// with a registration trigger starts it in the interactive session and is
// deleted again once it fired.
//
// Where the tray program lies: the task's exec action names it by its bare
// file name, which the Task Scheduler resolves through the search path of
// the system. A package installs it into the system folder (folder id 11),
// which is on that path for every user and writable only by administrators,
// so that no user can put another program there under its name; without it
// there, no task is made.
#include "Handles.h"
#include "Trace.h"
#include "Util.h"

#include <taskschd.h>

// The registration trigger's own interface, which the toolchain's headers
// lack: ITrigger followed by the delay property.
struct IRegistrationTrigger : public ITrigger {
    virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR* delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
};

namespace qel {
namespace {

constexpr GUID kClsidTaskScheduler = {0x0F87369F, 0xA4E5, 0x4CFC, {0xBD, 0x3E, 0x73, 0xE6, 0x15, 0x45, 0x72, 0xDD}};
constexpr GUID kIidTaskService = {0x2FABA4C7, 0x4DA9, 0x4013, {0x96, 0x97, 0x20, 0xCC, 0x3F, 0xD4, 0x0F, 0x85}};
constexpr GUID kIidRegistrationTrigger = {0x4C8FEC3A, 0xC218, 0x4E0C, {0xB2, 0x3D, 0x62, 0x90, 0x24, 0xDB, 0x91, 0xA2}};
constexpr GUID kIidExecAction = {0x4C3D624D, 0xFD6B, 0x49A3, {0xB9, 0xB7, 0x09, 0xCB, 0x3C, 0xD3, 0xF0, 0x47}};

constexpr wchar_t kTaskName[] = L"ArdentixWirelessClient";
constexpr wchar_t kTrayProgram[] = L"airdock.exe";
constexpr DWORD kTriggerWaitMs = 10000;  // the trigger fires one second after registration

// A BSTR for the length of a call.
class Bstr {
public:
    explicit Bstr(const wchar_t* text) : value_(::SysAllocString(text)) {}
    operator BSTR() const { return value_.Get(); }

private:
    UniqueBstr value_;
};

// A VARIANT cleared at the end of the scope.
class Variant {
public:
    Variant() { ::VariantInit(&value_); }
    explicit Variant(const wchar_t* text) {
        ::VariantInit(&value_);
        value_.vt = VT_BSTR;
        value_.bstrVal = ::SysAllocString(text);
    }
    ~Variant() { ::VariantClear(&value_); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    const VARIANT& Get() const { return value_; }

private:
    VARIANT value_;
};

// Writes the step's message with the HRESULT when the step failed.
bool Failed(HRESULT hr, const wchar_t* format) {
    if (SUCCEEDED(hr)) return false;
    TraceWrite(TraceNotable, format, static_cast<unsigned>(hr));
    return true;
}

// Steps 4 to 14, with COM initialised; every object is released on return,
// before COM is uninitialised.
int RegisterTrayTask() {
    ComPtr<ITaskService> service;
    HRESULT hr = ::CoCreateInstance(kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, kIidTaskService,
                                    service.PutVoid());
    if (Failed(hr, L"Failed to create an instance of ITaskService: %x\n")) return 1;
    const Variant empty;
    hr = service->Connect(empty.Get(), empty.Get(), empty.Get(), empty.Get());
    if (Failed(hr, L"ITaskService::Connect failed: %x\n")) return 1;

    ComPtr<ITaskFolder> root;
    hr = service->GetFolder(Bstr(L"\\"), root.Put());
    if (Failed(hr, L"Cannot get Root Folder pointer: %x\n")) return 1;
    // A task left by an earlier run would be updated in place; start clean.
    root->DeleteTask(Bstr(kTaskName), 0);

    ComPtr<ITaskDefinition> task;
    hr = service->NewTask(0, task.Put());
    if (Failed(hr, L"Failed to create a task definition: %x\n")) return 1;

    ComPtr<IRegistrationInfo> registration;
    hr = task->get_RegistrationInfo(registration.Put());
    if (Failed(hr, L"Cannot get identification pointer: %x\n")) return 1;
    hr = registration->put_Author(Bstr(L"Author Name"));
    if (Failed(hr, L"Cannot put identification info: %x\n")) return 1;

    ComPtr<IPrincipal> principal;
    hr = task->get_Principal(principal.Put());
    if (Failed(hr, L"Cannot get principal pointer: %x\n")) return 1;
    Failed(principal->put_Id(Bstr(L"Principal1")), L"Cannot put the principal ID: %x\n");
    Failed(principal->put_LogonType(TASK_LOGON_INTERACTIVE_TOKEN), L"Cannot put principal logon type: %x\n");
    hr = principal->put_RunLevel(TASK_RUNLEVEL_LUA);
    if (Failed(hr, L"Cannot put principal run level: %x\n")) return 1;

    ComPtr<ITaskSettings> settings;
    hr = task->get_Settings(settings.Put());
    if (Failed(hr, L"Cannot get settings pointer: %x\n")) return 1;
    hr = settings->put_StartWhenAvailable(VARIANT_TRUE);
    if (Failed(hr, L"Cannot put setting info: %x\n")) return 1;

    ComPtr<ITriggerCollection> triggers;
    hr = task->get_Triggers(triggers.Put());
    if (Failed(hr, L"Cannot get trigger collection: %x\n")) return 1;
    ComPtr<ITrigger> trigger;
    hr = triggers->Create(TASK_TRIGGER_REGISTRATION, trigger.Put());
    if (Failed(hr, L"Cannot create a registration trigger: %x\n")) return 1;
    ComPtr<IRegistrationTrigger> registrationTrigger;
    hr = trigger->QueryInterface(kIidRegistrationTrigger, registrationTrigger.PutVoid());
    if (Failed(hr, L"QueryInterface call failed on IRegistrationTrigger: %x\n")) return 1;
    Failed(registrationTrigger->put_Id(Bstr(L"Trigger1")), L"Cannot put trigger ID: %x\n");
    hr = registrationTrigger->put_Delay(Bstr(L"PT1S"));
    if (Failed(hr, L"Cannot put registration trigger delay: %x\n")) return 1;

    ComPtr<IActionCollection> actions;
    hr = task->get_Actions(actions.Put());
    if (Failed(hr, L"Cannot get Task collection pointer: %x\n")) return 1;
    ComPtr<IAction> action;
    hr = actions->Create(TASK_ACTION_EXEC, action.Put());
    if (Failed(hr, L"Cannot create action: %x\n")) return 1;
    ComPtr<IExecAction> execAction;
    hr = action->QueryInterface(kIidExecAction, execAction.PutVoid());
    if (Failed(hr, L"QueryInterface call failed for IExecAction: %x\n")) return 1;
    hr = execAction->put_Path(Bstr(kTrayProgram));
    if (Failed(hr, L"Cannot put the action executable path: %x\n")) return 1;

    ComPtr<IRegisteredTask> registered;
    const Variant noSecurity(L"");
    hr = root->RegisterTaskDefinition(Bstr(kTaskName), task.Get(), TASK_CREATE_OR_UPDATE, empty.Get(), empty.Get(),
                                      TASK_LOGON_INTERACTIVE_TOKEN, noSecurity.Get(), registered.Put());
    if (Failed(hr, L"Error saving the Task: %x\n")) return 1;

    TraceWrite(TraceNotable, L"Success! Task successfully registered\n");
    ::Sleep(kTriggerWaitMs);
    root->DeleteTask(Bstr(kTaskName), 0);
    TraceWrite(TraceNotable, L"Success! Task successfully deleted.\n");
    return 0;
}
}  // namespace

int CreateProcessWithoutAdmin() {
    TraceWrite(TraceNotable, L"CreateProcessWithoutAdmin()\n");
    // The task names the program by its bare name, which the Task Scheduler
    // looks for along the search path: were it missing from the system
    // folder, a program of that name in any folder on the path, some of
    // them writable by users, would be started in its place.
    const std::wstring trayProgram = JoinPath(SystemFolder(), kTrayProgram);
    const DWORD attributes = ::GetFileAttributesW(trayProgram.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        TraceWrite(TraceNotable, L"%s is not in the system folder; no task is made to start it.\n", trayProgram.c_str());
        return 1;
    }
    const ComScope com(COINIT_MULTITHREADED);
    if (FAILED(com.Result())) {
        TraceWrite(TraceNotable, L"CoInitializeEx failed: %x\n", static_cast<unsigned>(com.Result()));
        return 1;
    }
    const HRESULT hr = ::CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                              RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    if (Failed(hr, L"CoInitializeSecurity failed: %x\n")) return 1;
    return RegisterTrayTask();
}

}  // namespace qel
