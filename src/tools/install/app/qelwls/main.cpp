#include "CmdLine.h"

#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    // The program runs elevated: system DLLs come from the system folder only.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return qel::RunSetup(argc, argv);
}
