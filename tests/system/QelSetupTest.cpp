// qelsetup.exe as a person meets it: a real window (a virtual X server, Wine's
// virtual desktop), its controls read while the sample package installs and
// compared with the status lines the installer sends, screenshots of each
// state; the quiet and passive runs with their exit codes; a second instance
// while a run is going; the uninstall that Apps & features starts.
#include "PackageFixture.h"

#include "Handles.h"
#include "LauncherResource.h"
#include "Util.h"
#include "UtilRunLock.h"

#include <gtest/gtest.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <functional>
#include <regex>
#include <set>
#include <thread>

using namespace qeltest;

namespace {

constexpr wchar_t kProduct[] = L"Qel Wireless Utilities";
const std::wstring kSetupCopy = std::wstring(kAppFolder) + L"\\Uninstall\\qelsetup.exe";
const std::wstring kReadme = std::wstring(kAppFolder) + L"\\readme.txt";
constexpr DWORD kRunTimeoutMs = 120000;

// ---- processes ----------------------------------------------------------------

// A program started as Explorer or a fleet tool starts it: no pipes. Ended by
// force when the object goes while it still runs (a failed test).
class Started {
public:
    explicit Started(const std::wstring& commandLine) {
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION info{};
        std::wstring mutableLine = commandLine;
        if (!::CreateProcessW(nullptr, &mutableLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                              &info))
            ADD_FAILURE() << "cannot start " << Utf8(commandLine) << ": " << ::GetLastError();
        process_.Reset(info.hProcess);
        qel::UniqueHandle thread(info.hThread);
        id_ = info.dwProcessId;
    }
    ~Started() {
        if (Running()) ::TerminateProcess(process_.Get(), 0xDEAD);
    }
    DWORD Id() const { return id_; }
    bool Running() const { return process_ && ::WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT; }
    // The exit code, or STILL_ACTIVE when it did not end in time.
    DWORD Wait(DWORD timeoutMs = kRunTimeoutMs) const {
        ::WaitForSingleObject(process_.Get(), timeoutMs);
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeProcess(process_.Get(), &code);
        return code;
    }

private:
    qel::UniqueHandle process_;
    DWORD id_ = 0;
};

std::wstring SetupCommand(const SamplePackage& package, const std::wstring& args) {
    return L"\"" + package.File(L"qelsetup.exe") + L"\"" + (args.empty() ? L"" : L" " + args);
}

// The installer that a qelsetup process started (the only child by that name).
DWORD InstallerOf(DWORD setupId) {
    qel::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = ::Process32FirstW(snapshot.Get(), &entry); more; more = ::Process32NextW(snapshot.Get(), &entry))
        if (entry.th32ParentProcessID == setupId && _wcsicmp(entry.szExeFile, L"qelwls64.exe") == 0)
            return entry.th32ProcessID;
    return 0;
}

// The installer's threads stopped while the object lives: the window then
// shows one state for as long as a test looks at it.
class FrozenInstaller {
public:
    explicit FrozenInstaller(DWORD installerId) {
        qel::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
        THREADENTRY32 entry{};
        entry.dwSize = sizeof(entry);
        for (BOOL more = ::Thread32First(snapshot.Get(), &entry); more;
             more = ::Thread32Next(snapshot.Get(), &entry)) {
            if (entry.th32OwnerProcessID != installerId) continue;
            qel::UniqueHandle thread(::OpenThread(THREAD_SUSPEND_RESUME, FALSE, entry.th32ThreadID));
            if (thread && ::SuspendThread(thread.Get()) != static_cast<DWORD>(-1)) threads_.push_back(std::move(thread));
        }
        EXPECT_FALSE(threads_.empty()) << "no thread of the installer to stop";
    }
    ~FrozenInstaller() {
        for (const qel::UniqueHandle& thread : threads_) ::ResumeThread(thread.Get());
    }

private:
    std::vector<qel::UniqueHandle> threads_;
};

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs = kRunTimeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (::GetTickCount64() > end) return false;
        ::Sleep(10);
    }
    return true;
}

// ---- the window ---------------------------------------------------------------

// The visible top-level windows of a process.
std::vector<HWND> WindowsOf(DWORD processId) {
    struct Search {
        DWORD processId;
        std::vector<HWND> found;
    } search{processId, {}};
    ::EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto* search = reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            if (owner == search->processId && ::IsWindowVisible(window)) search->found.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WindowOf(const Started& setup) {
    HWND window = nullptr;
    WaitUntil(
        [&] {
            const std::vector<HWND> windows = WindowsOf(setup.Id());
            window = windows.empty() ? nullptr : windows.front();
            return window != nullptr;
        },
        30000);
    return window;
}

std::wstring Text(HWND window) {
    wchar_t text[4096] = {};
    DWORD_PTR length = 0;
    ::SendMessageTimeoutW(window, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 5000, &length);
    return std::wstring(text, length);
}
std::wstring Text(HWND dialog, int id) { return Text(::GetDlgItem(dialog, id)); }
bool Shown(HWND dialog, int id) { return ::IsWindowVisible(::GetDlgItem(dialog, id)) != FALSE; }

struct Bar {
    LRESULT low, high, position;
};
Bar ReadBar(HWND dialog) {
    const HWND bar = ::GetDlgItem(dialog, IDC_PROGRESS);
    return {::SendMessageW(bar, PBM_GETRANGE, TRUE, 0), ::SendMessageW(bar, PBM_GETRANGE, FALSE, 0),
            ::SendMessageW(bar, PBM_GETPOS, 0, 0)};
}

// The whole text of the details box (longer than a message buffer).
std::wstring DetailsText(HWND dialog) {
    const HWND box = ::GetDlgItem(dialog, IDC_DETAILS);
    const LRESULT length = ::SendMessageW(box, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    text.resize(static_cast<size_t>(::SendMessageW(box, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]))));
    return text;
}

// A key pressed where the window has its keyboard focus, as a person types.
void PressKey(HWND dialog, WPARAM key) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    ::GetGUIThreadInfo(::GetWindowThreadProcessId(dialog, nullptr), &info);
    const HWND target = info.hwndFocus ? info.hwndFocus : dialog;
    ::PostMessageW(target, WM_KEYDOWN, key, 1);
    ::PostMessageW(target, WM_KEYUP, key, 0xC0000001);
}

void Click(HWND dialog, int id) { ::SendMessageTimeoutW(::GetDlgItem(dialog, id), BM_CLICK, 0, 0, SMTO_NORMAL, 5000, nullptr); }

bool Ended(HWND dialog) { return Shown(dialog, IDOK) || Shown(dialog, IDC_LATER); }

// Asks the harness (tests/wine/gui-run.sh) for a screenshot of the window and
// waits for it: it lands in the test's artifacts as <name>.png.
void Screenshot(const std::wstring& name, HWND window) {
    RECT frame{};
    ::GetWindowRect(window, &frame);
    const std::wstring folder = L"C:\\qelshots";
    ::CreateDirectoryW(folder.c_str(), nullptr);
    const std::wstring done = folder + L"\\" + name + L".done";
    ::DeleteFileW(done.c_str());
    const std::wstring request = folder + L"\\" + name + L".request";
    WriteFileBytes(request + L".part", std::to_string(frame.left) + " " + std::to_string(frame.top) + " " +
                                           std::to_string(frame.right - frame.left) + " " +
                                           std::to_string(frame.bottom - frame.top) + "\n");
    ::MoveFileExW((request + L".part").c_str(), request.c_str(), MOVEFILE_REPLACE_EXISTING);
    EXPECT_TRUE(WaitUntil([&] { return PathExists(done); }, 20000)) << "no screenshot " << Utf8(name);
}

// ---- what the installer sends -------------------------------------------------

struct StatusLines {
    long total = -1;
    std::set<long> done;  // every done count of the Progress lines
};
StatusLines ReadProgress(const std::string& out) {
    StatusLines lines;
    static const std::regex progress("Progress,([0-9]+),([0-9]+)\r\n");
    for (std::sregex_iterator match(out.begin(), out.end(), progress), end; match != end; ++match) {
        lines.total = std::stol((*match)[1]);
        lines.done.insert(std::stol((*match)[2]));
    }
    return lines;
}

// The lines the installer process wrote to the diagnostic log.
std::vector<std::string> RunLogLines(DWORD installerId) {
    const std::string log = ReadFileBytes(DiagnosticLogPath());
    std::vector<std::string> lines;
    const std::string pid = ", PID " + std::to_string(installerId);
    for (const std::string& line : SplitCrLfLines(log)) {
        if (line.find(": Start -- ") != std::string::npos && line.size() > pid.size() &&
            line.compare(line.size() - pid.size(), pid.size(), pid) == 0)
            lines.clear();
        lines.push_back(line);
    }
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    return lines;
}

bool PendingRenamesName(const std::wstring& path) {
    const RegValue pending = ReadRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames);
    if (!pending.found) return false;
    const std::wstring text(reinterpret_cast<const wchar_t*>(pending.data.data()), pending.data.size() / 2);
    return qel::Lowercase(text).find(qel::Lowercase(path)) != std::wstring::npos;
}

class QelSetup : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Wine's desktop process starts with the first program that needs it
        // and keeps that program's standard handles: the test's own.
        ::GetDesktopWindow();
    }
    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    static void Clean() {
        DeleteRegValue(HKEY_LOCAL_MACHINE, kSessionManagerKey, kPendingRenames);
        CleanMachine();
        ::DeleteFileW(DiagnosticLogPath().c_str());
    }
};

// ---- the window through one install ---------------------------------------------

TEST_F(QelSetup, InstallShowsTheInstallersProgressAndResult) {
    SamplePackage package(L"window");
    // What the installer sends for this install, run directly first.
    const SetupRunResult direct = package.Run(L"install");
    ASSERT_EQ(direct.exitCode, 0u) << direct.log;
    const StatusLines expected = ReadProgress(direct.out);
    ASSERT_GT(expected.total, 0) << direct.out;
    Clean();

    // The extra section is passed on: the tools component comes with it.
    Started setup(SetupCommand(package, L"Tools"));
    const HWND dialog = WindowOf(setup);
    ASSERT_TRUE(dialog);
    EXPECT_EQ(Text(dialog), std::wstring(kProduct) + L" Setup");
    EXPECT_EQ(Text(dialog, IDC_PRODUCT), kProduct);
    EXPECT_FALSE(Shown(dialog, IDOK)) << "nothing to close while the installer works";

    // Held in the middle of its work, the window shows the installer's
    // numbers: the total of its Progress lines and a count it sent.
    ASSERT_TRUE(WaitUntil([&] { return Text(dialog, IDC_STAGE).rfind(L"Installing: ", 0) == 0; }))
        << Utf8(Text(dialog, IDC_STAGE));
    const DWORD installer = InstallerOf(setup.Id());
    {
        FrozenInstaller frozen(installer);
        const Bar bar = ReadBar(dialog);
        EXPECT_EQ(bar.low, 0);
        EXPECT_EQ(bar.high, expected.total);
        EXPECT_TRUE(expected.done.count(bar.position)) << bar.position;
        EXPECT_TRUE(std::regex_match(Text(dialog, IDC_STAGE), std::wregex(L"Installing: [0-9]+% done")));
        Screenshot(L"qelsetup-running", dialog);
    }
    // Every state on the way shows one of the counts, never going back.
    LRESULT last = 0;
    while (!Ended(dialog) && setup.Running()) {
        const Bar bar = ReadBar(dialog);
        if (Text(dialog, IDC_STAGE).rfind(L"Installing: ", 0) == 0) {
            EXPECT_EQ(bar.high, expected.total);
            EXPECT_TRUE(expected.done.count(bar.position)) << bar.position;
            EXPECT_GE(bar.position, last);
            last = bar.position;
        }
        ::Sleep(10);
    }
    ASSERT_TRUE(WaitUntil([&] { return Ended(dialog); }));

    EXPECT_EQ(Text(dialog, IDC_STAGE), L"Finished.");
    EXPECT_EQ(Text(dialog, IDC_RESULT), std::wstring(kProduct) + L" has been installed.");
    EXPECT_EQ(ReadBar(dialog).position, expected.total);
    EXPECT_EQ(ReadBar(dialog).high, expected.total);
    EXPECT_FALSE(Shown(dialog, IDC_CAUSE));
    EXPECT_FALSE(Shown(dialog, IDC_RESTART_NOW));
    Screenshot(L"qelsetup-success", dialog);

    // The details: exactly this run's lines of the diagnostic log, from the
    // installer's "Start" line to its "End" line.
    Click(dialog, IDC_DETAILS_TOGGLE);
    EXPECT_TRUE(Shown(dialog, IDC_DETAILS));
    std::string shown;
    for (const std::string& line : RunLogLines(installer)) shown += line + "\r\n";
    EXPECT_EQ(Utf8(DetailsText(dialog)), shown);
    EXPECT_NE(shown.find(", PID " + std::to_string(installer) + "\r\n"), std::string::npos);
    EXPECT_NE(shown.find("End -- "), std::string::npos);
    Screenshot(L"qelsetup-details", dialog);

    // Enter closes it: the focus is on Close; the exit code is the installer's.
    PressKey(dialog, VK_RETURN);
    EXPECT_EQ(setup.Wait(), 0u);

    EXPECT_TRUE(PathExists(std::wstring(kAppFolder) + L"\\Tools\\qeltool.txt"));
    // What Apps & features lists, and the setup's copy it starts.
    EXPECT_EQ(ReadFileBytes(kSetupCopy), ReadFileBytes(package.File(L"qelsetup.exe")));
    EXPECT_EQ(ReadFileBytes(std::wstring(kAppFolder) + L"\\Uninstall\\qelwls64.exe"),
              ReadFileBytes(package.File(L"qelwls64.exe")));
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"UninstallString", KEY_WOW64_64KEY),
              L"\"" + kSetupCopy + L"\" /uninstall");
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"QuietUninstallString", KEY_WOW64_64KEY),
              L"\"" + kSetupCopy + L"\" /uninstall /quiet");
    EXPECT_EQ(ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"DisplayIcon", KEY_WOW64_64KEY), kSetupCopy + L",0");
    for (const wchar_t* flag : {L"NoModify", L"NoRepair"}) {
        const RegValue value = ReadRegValue(HKEY_LOCAL_MACHINE, kUninstallEntry, flag, KEY_WOW64_64KEY);
        EXPECT_TRUE(value.found && value.type == REG_DWORD && value.data == std::vector<BYTE>({1, 0, 0, 0}))
            << Utf8(flag);
    }
    EXPECT_EQ(ReadRegValue(HKEY_LOCAL_MACHINE, kUninstallEntry, L"EstimatedSize", KEY_WOW64_64KEY).type,
              static_cast<DWORD>(REG_DWORD));
}

// ---- restart, failure --------------------------------------------------------------

TEST_F(QelSetup, AFileInUseAsksForARestartAndRestartNowRestarts) {
    SamplePackage package(L"restart");
    ASSERT_EQ(package.Run(L"install").exitCode, 0u);
    WriteFileBytes(kReadme, "the old read-me\n");
    qel::UniqueHandle held(::CreateFileW(kReadme.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                                         nullptr));
    ASSERT_TRUE(held.Valid());

    Started setup(SetupCommand(package, L"Tools"));
    const HWND dialog = WindowOf(setup);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(WaitUntil([&] { return Ended(dialog); }));
    EXPECT_EQ(Text(dialog, IDC_RESULT), std::wstring(kProduct) + L" has been installed, but some files were in use.");
    EXPECT_EQ(Text(dialog, IDC_NEXT),
              L"They are replaced when Windows restarts. Restart now, or later when it suits you.");
    EXPECT_TRUE(Shown(dialog, IDC_RESTART_NOW));
    EXPECT_TRUE(Shown(dialog, IDC_LATER));
    EXPECT_FALSE(Shown(dialog, IDOK));
    EXPECT_TRUE(PendingRenamesName(kReadme));
    Screenshot(L"qelsetup-restart", dialog);

    // Restart now: Windows is asked to restart and carries out the moves
    // registered for it. (Windows ends every program first, the one holding
    // the file too; Wine keeps them running, so the file is let go here.)
    held.Reset();
    Click(dialog, IDC_RESTART_NOW);
    EXPECT_EQ(setup.Wait(), 1u);
    EXPECT_TRUE(WaitUntil([] { return !PendingRenamesName(kReadme); }, 20000));
    EXPECT_EQ(ReadFileBytes(kReadme), ReadFileBytes(package.File(L"readme.txt")));
}

TEST_F(QelSetup, AMissingSourceFailsWithItsCauseAndChangesNothing) {
    SamplePackage package(L"failure");
    ASSERT_TRUE(::DeleteFileW(package.File(L"QelMon.exe").c_str()));
    const MachineState before = SnapshotMachine();

    Started setup(SetupCommand(package, L"Tools"));
    const HWND dialog = WindowOf(setup);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(WaitUntil([&] { return Ended(dialog); }));
    EXPECT_TRUE(std::regex_match(Text(dialog, IDC_RESULT),
                                 std::wregex(L"Setup failed and undid its changes \\(error in Update, line [0-9]+\\)\\.")))
        << Utf8(Text(dialog, IDC_RESULT));
    EXPECT_EQ(Text(dialog, IDC_STAGE), L"Failed.");
    // The cause: the first error line of the run, naming the missing file.
    EXPECT_TRUE(Shown(dialog, IDC_CAUSE));
    const std::wstring cause = Text(dialog, IDC_CAUSE);
    EXPECT_EQ(cause.rfind(L"Cause: ", 0), 0u) << Utf8(cause);
    EXPECT_NE(cause.find(package.File(L"QelMon.exe")), std::wstring::npos) << Utf8(cause);
    Screenshot(L"qelsetup-failure", dialog);

    // Esc closes a window whose run has ended.
    PressKey(dialog, VK_ESCAPE);
    EXPECT_EQ(setup.Wait(), 200u);
    ExpectMachineIs(before);
}

// ---- quiet and passive ----------------------------------------------------------------

// A quiet run: never a window; its exit code.
DWORD RunQuiet(const SamplePackage& package, const std::wstring& args) {
    Started setup(SetupCommand(package, args));
    bool windowSeen = false;
    while (setup.Running()) {
        windowSeen = windowSeen || !WindowsOf(setup.Id()).empty();
        ::Sleep(10);
    }
    EXPECT_FALSE(windowSeen) << Utf8(args);
    return setup.Wait();
}

TEST_F(QelSetup, QuietRunsExitWithTheInstallersCodeOrTheFleetToolsCode) {
    SamplePackage package(L"quiet");
    EXPECT_EQ(RunQuiet(package, L"/quiet Tools"), 0u);
    EXPECT_EQ(RunQuiet(package, L"/QUIET /msicodes Tools"), 0u);
    {
        qel::UniqueHandle held(
            ::CreateFileW(kReadme.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        EXPECT_EQ(RunQuiet(package, L"/quiet Tools"), 1u);
        EXPECT_EQ(RunQuiet(package, L"/msicodes /quiet Tools"), 3010u);

        // Passive: the window without anything to press, gone by itself.
        Started passive(SetupCommand(package, L"/passive /msicodes Tools"));
        const HWND dialog = WindowOf(passive);
        ASSERT_TRUE(dialog);
        EXPECT_FALSE(Shown(dialog, IDC_DETAILS_TOGGLE));
        ASSERT_TRUE(WaitUntil([&] { return Text(dialog, IDC_STAGE) == L"Finished." || !passive.Running(); }));
        for (int button : {IDOK, IDC_LATER, IDC_RESTART_NOW}) EXPECT_FALSE(passive.Running() && Shown(dialog, button));
        EXPECT_EQ(passive.Wait(20000), 3010u);
    }
    CleanMachine();
    ASSERT_TRUE(::DeleteFileW(package.File(L"QelMon.exe").c_str()));
    EXPECT_EQ(RunQuiet(package, L"/quiet Tools"), 200u);
    EXPECT_EQ(RunQuiet(package, L"/quiet /msicodes Tools"), 1603u);
    // qelsetup's own command line, refused before the installer starts: it
    // writes no line to the diagnostic log.
    ::DeleteFileW(DiagnosticLogPath().c_str());
    EXPECT_EQ(RunQuiet(package, L"/quiet /bogus"), 102u);
    EXPECT_EQ(RunQuiet(package, L"/bogus /msicodes /quiet"), 1639u);
    EXPECT_EQ(RunQuiet(package, L"/quiet /install /uninstall"), 102u);
    EXPECT_FALSE(PathExists(DiagnosticLogPath()));
}

// ---- one run at a time -----------------------------------------------------------------

TEST_F(QelSetup, ASecondInstanceIsRefusedWhileARunIsGoing) {
    SamplePackage package(L"second");
    Started first(SetupCommand(package, L"Tools"));
    const HWND dialog = WindowOf(first);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(WaitUntil([&] { return InstallerOf(first.Id()) != 0; }));
    {
        FrozenInstaller frozen(InstallerOf(first.Id()));
        EXPECT_EQ(RunQuiet(package, L"/quiet Tools"), 1618u);
        EXPECT_EQ(RunQuiet(package, L"/quiet /msicodes Tools"), 1618u);
        Started second(SetupCommand(package, L"Tools"));
        const HWND refused = WindowOf(second);
        ASSERT_TRUE(refused);
        EXPECT_EQ(Text(refused, IDC_RESULT), L"Another installation is in progress. Nothing was changed.");
        EXPECT_EQ(Text(refused, IDC_NEXT), L"Wait until it has finished, then start setup again.");
        EXPECT_FALSE(Shown(refused, IDC_PROGRESS));
        EXPECT_FALSE(Shown(refused, IDC_DETAILS_TOGGLE)) << "no run, no details";
        EXPECT_TRUE(Shown(refused, IDOK));
        Screenshot(L"qelsetup-busy", refused);
        Click(refused, IDOK);
        EXPECT_EQ(second.Wait(), 1618u);
    }
    ASSERT_TRUE(WaitUntil([&] { return Ended(dialog); }));
    Click(dialog, IDOK);
    EXPECT_EQ(first.Wait(), 0u);

    // An installer run started by something else holds the machine's run lock.
    {
        qel::RunLock lock;
        std::thread other([] { EXPECT_TRUE(qel::InstallerRunInProgress()); });
        other.join();
        EXPECT_EQ(RunQuiet(package, L"/quiet Tools"), 1618u);
        EXPECT_EQ(RunQuiet(package, L"/quiet /msicodes Tools"), 1618u);
    }
    // A lock whose holder ended without releasing it (killed) holds nothing.
    qel::UniqueHandle abandoned;
    std::thread holder([&abandoned] {
        abandoned.Reset(::CreateMutexW(nullptr, FALSE, qel::kRunLockName));
        ::WaitForSingleObject(abandoned.Get(), INFINITE);
    });
    holder.join();
    EXPECT_FALSE(qel::InstallerRunInProgress());
    EXPECT_EQ(RunQuiet(package, L"/quiet Tools"), 0u);
}

// ---- the uninstall Apps & features starts ----------------------------------------------

TEST_F(QelSetup, TheRegisteredUninstallRemovesEverything) {
    SamplePackage package(L"appsfeatures");
    EXPECT_EQ(RunQuiet(package, L"/quiet Tools"), 0u);
    const std::wstring uninstall =
        ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"UninstallString", KEY_WOW64_64KEY);
    ASSERT_FALSE(uninstall.empty());

    Started setup(uninstall);
    const HWND dialog = WindowOf(setup);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(WaitUntil([&] { return Ended(dialog); }));
    EXPECT_EQ(Text(dialog, IDC_RESULT), std::wstring(kProduct) + L" has been removed.");
    Screenshot(L"qelsetup-removed", dialog);
    Click(dialog, IDOK);
    EXPECT_EQ(setup.Wait(), 0u);

    // The installer ran from a copy in a folder of the Windows folder, gone now.
    const std::string log = ReadFileBytes(DiagnosticLogPath());
    EXPECT_TRUE(LogHasLine(log, "Working Dir: 'C:\\windows\\qelsetup-" + std::to_string(setup.Id()) + "'")) << log;
    EXPECT_TRUE(FilesMatching(L"C:\\windows\\qelsetup-*").empty());
    EXPECT_FALSE(PathExists(kAppFolder));
    EXPECT_FALSE(ReadRegValue(HKEY_LOCAL_MACHINE, kUninstallEntry, L"DisplayName").found);
    // The one thing left: the running copy of qelsetup.exe, moved aside by
    // the uninstall, that could not delete itself; it goes at the next
    // restart, or with the clean-up of the next installer run.
    const std::vector<std::wstring> left = WindowsTempFiles();
    ASSERT_EQ(left.size(), 1u);
    const std::wstring leftover = L"C:\\windows\\" + left.front();
    EXPECT_EQ(ReadFileBytes(leftover), ReadFileBytes(package.File(L"qelsetup.exe")));
    EXPECT_TRUE(PendingRenamesName(leftover));

    // The quiet uninstall of fleet tools: no window, code 0; the install
    // before it swept the leftover away.
    EXPECT_EQ(RunQuiet(package, L"/quiet Tools"), 0u);
    EXPECT_FALSE(PathExists(leftover));
    Started quiet(ReadRegString(HKEY_LOCAL_MACHINE, kUninstallEntry, L"QuietUninstallString", KEY_WOW64_64KEY));
    EXPECT_EQ(quiet.Wait(), 0u);
    EXPECT_FALSE(PathExists(kAppFolder));
}

// Last: the installer killed on the way leaves a run that the next installer
// run undoes.
TEST_F(QelSetup, AnInstallerStoppedOnTheWayIsAFailureWhateverItsExitCode) {
    SamplePackage package(L"stopped");
    Started setup(SetupCommand(package, L"/msicodes Tools"));
    const HWND dialog = WindowOf(setup);
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(WaitUntil([&] { return Text(dialog, IDC_STAGE).rfind(L"Installing: ", 0) == 0; }));
    // Exit code 1 would read "success, restart needed".
    qel::UniqueHandle installer(::OpenProcess(PROCESS_TERMINATE, FALSE, InstallerOf(setup.Id())));
    ASSERT_TRUE(installer.Valid());
    ::TerminateProcess(installer.Get(), 1);
    ASSERT_TRUE(WaitUntil([&] { return Ended(dialog); }));
    EXPECT_EQ(Text(dialog, IDC_RESULT), L"The installer stopped before it finished (exit code 1).");
    EXPECT_EQ(Text(dialog, IDC_STAGE), L"Stopped.");
    Click(dialog, IDOK);
    EXPECT_EQ(setup.Wait(), 1603u);
    EXPECT_EQ(RunQuiet(package, L"/quiet Tools"), 0u);
    EXPECT_NE(ReadFileBytes(DiagnosticLogPath()).find(": Recovery: "), std::string::npos);
}

}  // namespace
