#include "CmdLine.h"
#include "Util.h"

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    // The program runs elevated: every library it loads comes from the system
    // folder. Where Windows refuses that, the program does not run at all.
    if (!qel::RestrictDllSearchToSystemFolder()) return qel::SetupErrorUnknown;
    return qel::RunSetup(argc, argv);
}
