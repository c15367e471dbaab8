// Linked into every Windows test program.  cmake/wine-run.sh names a file in
// OV_WINE_RUN_STARTED before it starts a program under Wine; creating it is
// the first thing the program's own code does, and tells the script that the
// program ran, so that a later death of its Wine process is reported and
// never retried.  The variable is then removed: programs this one starts are
// not the one the script started.
#include <windows.h>

namespace {

__attribute__((constructor(101))) void note_program_start() {
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("OV_WINE_RUN_STARTED", path, sizeof path);
    if (length == 0 || length >= sizeof path) return;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    SetEnvironmentVariableA("OV_WINE_RUN_STARTED", nullptr);
}

}  // namespace
