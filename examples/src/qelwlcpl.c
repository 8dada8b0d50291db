/* The sample package's control-panel applet: it announces no applets. */
#include <windows.h>

__declspec(dllexport) LONG CALLBACK CPlApplet(HWND window, UINT message, LPARAM param1, LPARAM param2) {
    (void)window; (void)message; (void)param1; (void)param2;
    return 0;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance; (void)reason; (void)reserved;
    return TRUE;
}
