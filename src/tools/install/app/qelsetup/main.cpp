// qelsetup: the setup program a person double-clicks, and the quiet setup
// fleet tools run. It starts the qelwls64.exe beside it the way setup
// programs do, shows its progress and result in a window (or none), and
// exits with the installer's code or, asked to, the codes fleet tools expect.
#include "CmdLine.h"
#include "LauncherSession.h"
#include "LauncherWindow.h"
#include "BasicException.h"
#include "Trace.h"
#include "Util.h"

#include <windows.h>

namespace {
// Standard error is whoever started qelsetup's (a fleet tool's log, say), not
// a setup program's pipe: the engine's greeting there is muted.
qel::TraceQuietStart quietStart __attribute__((init_priority(101)));
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    // The program runs elevated: every library it loads at run time comes
    // from the system folder (it imports only libraries Windows takes from
    // there, and the common controls from the system's side-by-side store).
    if (!qel::RestrictDllSearchToSystemFolder()) return qel::SetupErrorUnknown;
    // qelsetup keeps no diagnostic log of its own: the installer's is the
    // one a person reads in the details.
    qel::TraceDiscard();
    quietStart.GiveBack();

    launcher::Options options;
    std::wstring fault;
    const bool understood = launcher::ParseOptions(launcher::CommandLineArguments(), options, fault);
    launcher::Session session(options);
    if (!understood) {
        session.Refuse(launcher::BadCommandLineOutcome(fault),
                       launcher::ExitCodeFor(qel::SetupErrorInvalidArguments, options.msiCodes));
    } else {
        try {
            session.Start();
        } catch (const qel::BasicException& failure) {
            // The staging of an uninstall failed (a full disk, say).
            session.Refuse(launcher::CannotStartOutcome(failure.Description() ? failure.Description() : L"",
                                                        failure.Error()),
                           launcher::ExitCodeFor(qel::SetupErrorUnknown, options.msiCodes));
        }
    }

    if (options.display == launcher::Display::Quiet) {
        while (session.Poll()) ::Sleep(50);
    } else {
        launcher::ShowSessionWindow(instance, session);
    }
    return session.ExitCode();
}
