// win32_debug_writer EXIT_CODE [TEXT...]: sends each TEXT with
// OutputDebugStringA, in order, then exits with EXIT_CODE.  A TEXT of
// "{pid}" is sent as this process's id in decimal, so that a case can tell
// the writer's id.  The debuggee of the ovdbgview cases.
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        std::string text = std::strcmp(argv[i], "{pid}") == 0 ? std::to_string(GetCurrentProcessId()) : argv[i];
        OutputDebugStringA(text.c_str());
    }
    return argc > 1 ? std::atoi(argv[1]) : 0;
}
