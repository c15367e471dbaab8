// win32_debug_writer EXIT_CODE [TEXT...]: sends each TEXT with
// OutputDebugStringA, in order, then exits with EXIT_CODE.  The debuggee
// of the ovdbgview cases.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) OutputDebugStringA(argv[i]);
    return argc > 1 ? std::atoi(argv[1]) : 0;
}
