/* A Windows host that loads OVDELETE.dll at run time and resolves the
 * exports by name and by ordinal.  On 32-bit Windows both are __stdcall
 * (WINAPI); the typedefs in ovdelete.h carry the convention.
 *
 *   i686-w64-mingw32-gcc host_windows.c -I include -o host_windows.exe
 *   host_windows.exe C:\path\to\OVDELETE.dll "C:\data\*.tmp"
 */
#include <windows.h>
#include <stdio.h>

#include "ovdelete.h"

int main(int argc, char** argv) {
    HMODULE library;
    FileDeleteWC_fn by_name, by_ordinal;
    PasteArgs_fn paste_args;
    char buffer[64];
    if (argc != 3) return 2;
    library = LoadLibraryA(argv[1]);
    if (library == NULL) {
        fprintf(stderr, "cannot load %s: error %lu\n", argv[1], GetLastError());
        return 2;
    }
    /* GetProcAddress returns a FARPROC; the cast through a function of no
     * arguments says the change of type is meant. */
    by_name = (FileDeleteWC_fn)(void (*)(void))GetProcAddress(library, "FileDeleteWC");
    by_ordinal = (FileDeleteWC_fn)(void (*)(void))GetProcAddress(library,
                                                                 MAKEINTRESOURCEA(OVDELETE_ORDINAL_FILE_DELETE_WC));
    paste_args = (PasteArgs_fn)(void (*)(void))GetProcAddress(library, MAKEINTRESOURCEA(OVDELETE_ORDINAL_PASTE_ARGS));
    if (by_name == NULL || by_name != by_ordinal || paste_args == NULL) return 2;
    printf("FileDeleteWC: %d\n", by_name(argv[2]));
    printf("PasteArgs: 0x%08X %s\n", (unsigned)paste_args("FileDeleteWC", buffer), buffer);
    FreeLibrary(library);
    return 0;
}
