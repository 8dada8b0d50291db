/* The sample package's shared library, used by several products. */
#include <windows.h>

__declspec(dllexport) int QelCommVersion(void) { return 0x00030002; }

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance; (void)reason; (void)reserved;
    return TRUE;
}
