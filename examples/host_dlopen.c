/* A Linux host that loads libovdelete at run time, as a scripting host
 * loads its extensions, and resolves the exports by name.
 *
 *   cc host_dlopen.c -I/usr/include -ldl -o host_dlopen
 *   ./host_dlopen /usr/lib/x86_64-linux-gnu/libovdelete.so.1 'DIR/a*.tmp'
 */
#include <dlfcn.h>
#include <stdio.h>

#include "ovdelete.h"

int main(int argc, char** argv) {
    void* library;
    FileDeleteWC_fn file_delete;
    PasteArgs_fn paste_args;
    char buffer[64];
    if (argc != 3) return 2;
    library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    file_delete = (FileDeleteWC_fn)dlsym(library, "FileDeleteWC");
    paste_args = (PasteArgs_fn)dlsym(library, "PasteArgs");
    if (file_delete == NULL || paste_args == NULL) return 2;
    printf("FileDeleteWC: %d\n", file_delete(argv[2]));
    printf("PasteArgs: 0x%08X %s\n", (unsigned)paste_args("filedeletewc", buffer), buffer);
    dlclose(library);
    return 0;
}
