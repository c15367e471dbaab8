/* A Linux host linked with libovdelete: the exports are plain C functions.
 *
 *   cc host_linked.c -I/usr/include -lovdelete -o host_linked
 *   ./host_linked DIR
 *
 * Makes DIR/a.tmp and DIR/b.tmp, deletes them with FileDeleteWC, and asks
 * PasteArgs for the editor's template. */
#include <stdio.h>
#include <string.h>

#include "ovdelete.h"

int main(int argc, char** argv) {
    char pattern[4096];
    char buffer[64]; /* the name, its NUL and the 20-character template */
    int i;
    if (argc != 2 || strlen(argv[1]) > 4000) return 2;
    for (i = 0; i < 2; ++i) {
        char path[4096];
        FILE* f;
        snprintf(path, sizeof path, "%s/%c.tmp", argv[1], 'a' + i);
        f = fopen(path, "w");
        if (f == NULL) return 2;
        fclose(f);
    }
    snprintf(pattern, sizeof pattern, "%s/*.tmp", argv[1]);
    printf("FileDeleteWC: %d\n", FileDeleteWC(pattern));
    printf("PasteArgs: 0x%08X %s\n", (unsigned)PasteArgs("FileDeleteWC", buffer), buffer);
    return 0;
}
