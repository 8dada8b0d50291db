#include "LauncherWindow.h"

#include "Handles.h"
#include "LauncherResource.h"
#include "Util.h"

#include <commctrl.h>

#include <algorithm>

namespace launcher {
namespace {

constexpr UINT_PTR kPollTimer = 1;
constexpr UINT kPollMs = 50;
constexpr UINT_PTR kPassiveCloseTimer = 2;
constexpr UINT kPassiveCloseMs = 3000;  // long enough to read the result
constexpr UINT kRebuildFonts = WM_APP + 1;

class SetupWindow {
public:
    SetupWindow(Session& session) : session_(session) {}

    INT_PTR Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

private:
    void Init(HWND window);
    void BuildFonts();
    void Poll();
    void ShowProgress();
    void AppendDetails();
    void ShowEnd();
    void ToggleDetails();
    void OnCommand(WORD id);
    void Show(int id, bool visible) { ::ShowWindow(Item(id), visible ? SW_SHOW : SW_HIDE); }
    HWND Item(int id) const { return ::GetDlgItem(window_, id); }
    void SetText(int id, const std::wstring& text) { ::SetDlgItemTextW(window_, id, text.c_str()); }
    bool Passive() const { return session_.GetOptions().display == Display::Passive; }
    void Close() { ::DestroyWindow(window_); }

    Session& session_;
    HWND window_ = nullptr;
    qel::UniqueFont productFont_;
    bool marquee_ = false;
    size_t detailLines_ = 0;   // lines of the log already in the details box
    bool detailsShown_ = false;
    int expandBy_ = 0;          // pixels the details box adds to the window's height
    uint32_t shownTotal_ = UINT32_MAX, shownDone_ = UINT32_MAX;
};

void SetupWindow::Init(HWND window) {
    window_ = window;
    const std::wstring& product = session_.ProductName();
    const std::wstring title = product == kUnnamedProduct ? L"Setup" : product + L" Setup";
    ::SetWindowTextW(window_, title.c_str());
    const HINSTANCE module = ::GetModuleHandleW(nullptr);
    for (const auto& [which, metric] : {std::pair{ICON_BIG, SM_CXICON}, std::pair{ICON_SMALL, SM_CXSMICON}}) {
        const int side = ::GetSystemMetrics(metric);
        // Icons loaded from the program's resources are shared: not freed.
        const HANDLE icon = ::LoadImageW(module, MAKEINTRESOURCEW(IDI_SETUP), IMAGE_ICON, side, side, LR_SHARED);
        ::SendMessageW(window_, WM_SETICON, which, reinterpret_cast<LPARAM>(icon));
    }
    SetText(IDC_PRODUCT, product);
    BuildFonts();
    for (int id : {IDC_RESTART_NOW, IDC_LATER, IDOK, IDC_CAUSE}) Show(id, false);
    if (Passive()) Show(IDC_DETAILS_TOGGLE, false);
    ::SendMessageW(Item(IDC_DETAILS), EM_SETLIMITTEXT, 0, 0);  // as much as the log holds

    RECT box{};
    ::GetWindowRect(Item(IDC_DETAILS), &box);
    RECT gap{0, 0, 0, 7};
    ::MapDialogRect(window_, &gap);
    expandBy_ = (box.bottom - box.top) + gap.bottom;

    if (session_.Ended()) {
        ShowEnd();
        return;
    }
    // Until the installer counts its work, the bar only says it is busy.
    ::SetWindowLongPtrW(Item(IDC_PROGRESS), GWL_STYLE,
                        ::GetWindowLongPtrW(Item(IDC_PROGRESS), GWL_STYLE) | PBS_MARQUEE);
    ::SendMessageW(Item(IDC_PROGRESS), PBM_SETMARQUEE, TRUE, 30);
    marquee_ = true;
    // Closing while the installer changes the machine would leave a person
    // without its result; the installer is never stopped from here.
    ::EnableMenuItem(::GetSystemMenu(window_, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    SetText(IDC_RESULT, WaitText(session_.GetOptions().command, product));
    ShowProgress();
    ::SetTimer(window_, kPollTimer, kPollMs, nullptr);
}

void SetupWindow::BuildFonts() {
    // The product's name stands out: the dialog's font, larger and bold. The
    // dialog's font already has the monitor's scale.
    LOGFONTW font{};
    const HFONT dialogFont = reinterpret_cast<HFONT>(::SendMessageW(window_, WM_GETFONT, 0, 0));
    if (!dialogFont || !::GetObjectW(dialogFont, sizeof(font), &font)) return;
    font.lfHeight = font.lfHeight * 3 / 2;
    font.lfWeight = FW_BOLD;
    qel::UniqueFont bold(::CreateFontIndirectW(&font));
    if (!bold) return;
    ::SendMessageW(Item(IDC_PRODUCT), WM_SETFONT, reinterpret_cast<WPARAM>(bold.Get()), TRUE);
    productFont_ = std::move(bold);
}

void SetupWindow::ShowProgress() {
    const RunState& state = session_.State();
    SetText(IDC_STAGE, StageText(session_.GetOptions().command, state));
    if (state.phase != Phase::Working && state.phase != Phase::Finishing) return;
    if (state.total == shownTotal_ && state.done == shownDone_) return;
    const HWND bar = Item(IDC_PROGRESS);
    if (marquee_) {
        ::SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
        ::SetWindowLongPtrW(bar, GWL_STYLE, ::GetWindowLongPtrW(bar, GWL_STYLE) & ~PBS_MARQUEE);
        marquee_ = false;
    }
    // The bar's numbers are ints; the counts are not expected to come near.
    const uint32_t limit = 0x7FFFFFFF;
    const int total = static_cast<int>(std::min(state.total, limit));
    ::SendMessageW(bar, PBM_SETRANGE32, 0, total);
    ::SendMessageW(bar, PBM_SETPOS, static_cast<int>(std::min(BoundedDone(state.total, state.done), limit)), 0);
    shownTotal_ = state.total;
    shownDone_ = state.done;
}

void SetupWindow::AppendDetails() {
    const std::vector<std::wstring>& lines = session_.Log().Lines();
    if (lines.size() == detailLines_) return;
    std::wstring text;
    for (size_t i = detailLines_; i < lines.size(); ++i) text += lines[i] + L"\r\n";
    detailLines_ = lines.size();
    const HWND box = Item(IDC_DETAILS);
    const LRESULT end = ::GetWindowTextLengthW(box);
    ::SendMessageW(box, EM_SETSEL, end, end);
    ::SendMessageW(box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
}

void SetupWindow::Poll() {
    const bool going = session_.Poll();
    ShowProgress();
    AppendDetails();
    if (going) return;
    ::KillTimer(window_, kPollTimer);
    ShowEnd();
}

void SetupWindow::ShowEnd() {
    const Outcome& outcome = session_.FinalOutcome();
    const HWND bar = Item(IDC_PROGRESS);
    if (marquee_) {
        ::SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
        ::SetWindowLongPtrW(bar, GWL_STYLE, ::GetWindowLongPtrW(bar, GWL_STYLE) & ~PBS_MARQUEE);
        marquee_ = false;
    }
    if (!session_.RunStarted()) {
        // Refused before any run: there is no progress and no log to show.
        Show(IDC_STAGE, false);
        Show(IDC_PROGRESS, false);
        Show(IDC_DETAILS_TOGGLE, false);
    } else if (outcome.failed) {
        SetText(IDC_STAGE, session_.State().stopped ? L"Stopped." : L"Failed.");
        ::SendMessageW(bar, PBM_SETSTATE, PBST_ERROR, 0);
    } else {
        SetText(IDC_STAGE, L"Finished.");
        // Work the total did not count may end short of it.
        LRESULT high = ::SendMessageW(bar, PBM_GETRANGE, FALSE, 0);
        if (high <= 0) {
            ::SendMessageW(bar, PBM_SETRANGE32, 0, 1);
            high = 1;
        }
        ::SendMessageW(bar, PBM_SETPOS, high, 0);
    }
    SetText(IDC_RESULT, outcome.headline);
    SetText(IDC_NEXT, outcome.nextStep);
    const std::wstring cause = outcome.failed ? session_.Log().FirstErrorLine() : L"";
    if (!cause.empty()) {
        SetText(IDC_CAUSE, L"Cause: " + cause);
        Show(IDC_CAUSE, true);
    } else {
        // What to do next follows the result without a gap.
        RECT place{};
        ::GetWindowRect(Item(IDC_CAUSE), &place);
        ::MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&place), 2);
        ::SetWindowPos(Item(IDC_NEXT), nullptr, place.left, place.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    }
    ::EnableMenuItem(::GetSystemMenu(window_, FALSE), SC_CLOSE, MF_BYCOMMAND | MF_ENABLED);
    if (Passive()) {
        // Nothing to press: the window goes by itself; a restart is left to
        // whoever started setup.
        ::SetTimer(window_, kPassiveCloseTimer, kPassiveCloseMs, nullptr);
        return;
    }
    const int defaultButton = outcome.restart ? IDC_LATER : IDOK;
    if (outcome.restart) {
        Show(IDC_RESTART_NOW, true);
        Show(IDC_LATER, true);
        // "Later" is the default: Enter pressed by habit loses no one's
        // unsaved work.
        ::SendMessageW(Item(IDC_RESTART_NOW), BM_SETSTYLE, BS_PUSHBUTTON, TRUE);
    } else {
        Show(IDOK, true);
    }
    ::SendMessageW(window_, DM_SETDEFID, defaultButton, 0);
    ::SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(Item(defaultButton)), TRUE);
}

void SetupWindow::ToggleDetails() {
    detailsShown_ = !detailsShown_;
    RECT frame{};
    ::GetWindowRect(window_, &frame);
    const int height = (frame.bottom - frame.top) + (detailsShown_ ? expandBy_ : -expandBy_);
    // The grown window stays on its monitor: it moves up as far as needed.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    int top = frame.top;
    if (::GetMonitorInfoW(::MonitorFromWindow(window_, MONITOR_DEFAULTTONEAREST), &monitor) &&
        top + height > monitor.rcWork.bottom)
        top = std::max<int>(monitor.rcWork.top, monitor.rcWork.bottom - height);
    ::SetWindowPos(window_, nullptr, frame.left, top, frame.right - frame.left, height, SWP_NOZORDER);
    Show(IDC_DETAILS, detailsShown_);
    SetText(IDC_DETAILS_TOGGLE, detailsShown_ ? L"&Details <<" : L"&Details >>");
    if (detailsShown_) {
        const HWND box = Item(IDC_DETAILS);
        const LRESULT end = ::GetWindowTextLengthW(box);
        ::SendMessageW(box, EM_SETSEL, end, end);
        ::SendMessageW(box, EM_SCROLLCARET, 0, 0);
    }
}

void SetupWindow::OnCommand(WORD id) {
    switch (id) {
    case IDC_DETAILS_TOGGLE: ToggleDetails(); return;
    case IDC_RESTART_NOW:
        if (const DWORD error = RestartWindows()) {
            SetText(IDC_NEXT, qel::FormatText(L"Windows did not restart (error %lu). Restart it from the Start menu "
                                              L"when it suits you.",
                                              error));
            return;
        }
        Close();
        return;
    case IDOK:
    case IDCANCEL:  // Esc and the close box
    case IDC_LATER:
        if (!session_.Ended()) {
            ::MessageBeep(MB_OK);
            return;
        }
        Close();
        return;
    default: return;
    }
}

INT_PTR SetupWindow::Handle(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG: Init(window); return FALSE;  // the focus is set by Init
    case WM_TIMER:
        if (wParam == kPollTimer) Poll();
        if (wParam == kPassiveCloseTimer) Close();
        return TRUE;
    case WM_COMMAND: OnCommand(LOWORD(wParam)); return TRUE;
    case WM_CLOSE: OnCommand(IDCANCEL); return TRUE;
    case WM_DPICHANGED: {
        // Moved to a monitor of another scale: the system rescales the
        // dialog and its font; the window takes the size it suggests and the
        // product's font is made anew from the dialog's once that is done.
        const RECT* suggested = reinterpret_cast<const RECT*>(lParam);
        ::SetWindowPos(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                       suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        ::PostMessageW(window, kRebuildFonts, 0, 0);
        return TRUE;
    }
    case kRebuildFonts: BuildFonts(); return TRUE;
    case WM_DESTROY: ::PostQuitMessage(0); return TRUE;
    default: return FALSE;
    }
}

INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) ::SetWindowLongPtrW(window, DWLP_USER, lParam);
    auto* setup = reinterpret_cast<SetupWindow*>(::GetWindowLongPtrW(window, DWLP_USER));
    return setup ? setup->Handle(window, message, wParam, lParam) : FALSE;
}

}  // namespace

void ShowSessionWindow(HINSTANCE instance, Session& session) {
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    ::InitCommonControlsEx(&controls);
    SetupWindow setup(session);
    const HWND window =
        ::CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_SETUP), nullptr, DialogProc, reinterpret_cast<LPARAM>(&setup));
    if (!window) {
        // No window can be made (no desktop): the run goes on unseen.
        while (session.Poll()) ::Sleep(kPollMs);
        return;
    }
    ::ShowWindow(window, SW_SHOWNORMAL);
    ::SetForegroundWindow(window);
    MSG message;
    while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (::IsDialogMessageW(window, &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

DWORD RestartWindows() {
    qel::UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.Put()))
        return ::GetLastError();
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!::LookupPrivilegeValueW(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) return ::GetLastError();
    ::AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr);
    if (::GetLastError() != ERROR_SUCCESS) return ::GetLastError();
    // Not forced: programs are asked and may keep their unsaved work.
    if (!::ExitWindowsEx(EWX_REBOOT, SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_MINOR_INSTALLATION |
                                         SHTDN_REASON_FLAG_PLANNED))
        return ::GetLastError();
    return 0;
}

}  // namespace launcher
