// The library's boundary towards the host: its two exports.  Nothing here
// or anywhere else in the library runs when it is loaded or unloaded.
#define OVDELETE_BUILDING 1
#include "ovdelete.h"

#include "file_delete.h"
#include "platform.h"

namespace {
constexpr char known_function[] = "FileDeleteWC";
constexpr char argument_template[] = "( WildCard_String );";
}  // namespace

extern "C" OVDELETE_API int OVDELETE_CALL FileDeleteWC(const char* pattern) {
    return ov::del::delete_matching_files(pattern);
}

extern "C" OVDELETE_API int OVDELETE_CALL PasteArgs(const char* name, char* buffer) {
    if (name == nullptr || buffer == nullptr) return 0;
    // The buffer's capacity is not passed; room for the name and the
    // template is the host's obligation.
    char* out = buffer;
    for (const char* p = name; (*out = *p) != '\0'; ++p) ++out;
    if (ov::compare_nocase(name, known_function) != 0) return 0;
    for (const char* p = argument_template; (*out = *p) != '\0'; ++p) ++out;
    return OVDELETE_PASTE_ARGS_KNOWN;
}
