/* OVDELETE: wildcard file deletion for Quonvel scripts.
 *
 * A host loads the library at run time (OVDELETE.dll on Windows,
 * libovdelete.so on Linux) and resolves the two exports by name; on Windows
 * they also have the ordinals PasteArgs = 2 and FileDeleteWC = 3.  Both use
 * the __stdcall (WINAPI) convention on 32-bit Windows.  All text is 8-bit,
 * NUL-terminated, in the ANSI code page.
 */
#ifndef OVDELETE_H
#define OVDELETE_H

#if defined(_WIN32) && !defined(_WIN64)
#define OVDELETE_CALL __stdcall
#else
#define OVDELETE_CALL
#endif

#if defined(OVDELETE_BUILDING)
#if defined(_WIN32)
#define OVDELETE_API __declspec(dllexport)
#else
#define OVDELETE_API __attribute__((visibility("default")))
#endif
#else
#define OVDELETE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Deletes every file that the pattern matches.  The pattern is a path whose
 * last component may hold the wildcards '*' and '?'; '\' and '/' both
 * separate components.  Entries that are plain directories are skipped.
 * Stops at the first deletion the system refuses.  Returns 1 when every
 * match was dealt with, 0 when nothing matched or a deletion was refused;
 * the reason goes to the diagnostic logger.  Files deleted before a
 * refusal stay deleted.  NULL returns 0. */
OVDELETE_API int OVDELETE_CALL FileDeleteWC(const char* pattern);

/* The script editor's argument template.  Copies name into buffer; for
 * "FileDeleteWC" (any case) appends "( WildCard_String );" and returns
 * 0x001D000F, for any other name returns 0.  The buffer must hold the name
 * and its NUL plus 20 characters (33 bytes for the known name).  A NULL
 * name or buffer returns 0 and writes nothing. */
OVDELETE_API int OVDELETE_CALL PasteArgs(const char* name, char* buffer);

typedef int(OVDELETE_CALL* FileDeleteWC_fn)(const char* pattern);
typedef int(OVDELETE_CALL* PasteArgs_fn)(const char* name, char* buffer);

#define OVDELETE_PASTE_ARGS_KNOWN 0x001D000F
#define OVDELETE_ORDINAL_PASTE_ARGS 2
#define OVDELETE_ORDINAL_FILE_DELETE_WC 3

#ifdef __cplusplus
}
#endif

#endif /* OVDELETE_H */
