// The library's entry point.  The loader calls it on process and thread
// attach and detach; the library keeps no state that needs setting up or
// tearing down there, so it does nothing and lets every load succeed.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
