// The window a person installs and uninstalls with.
#pragma once

#include "LauncherSession.h"

#include <windows.h>

namespace launcher {

// Shows the session and drives it until the person closes the window (or,
// passive, until it closes itself after the end). A session that has already
// ended (a refusal) is shown with its outcome.
void ShowSessionWindow(HINSTANCE instance, Session& session);

// Asks Windows to restart now, as the person chose; programs with unsaved
// work may still object. The OS error, or 0.
DWORD RestartWindows();

}  // namespace launcher
