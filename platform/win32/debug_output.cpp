// OutputDebugStringA: with a debugger attached the text arrives there as an
// OUTPUT_DEBUG_STRING_EVENT; otherwise it goes to a DBWIN listener, if one
// runs, and is dropped when none does.
#include "backend.h"

namespace ov::backend {

void output_debug_string(const char* text) noexcept { OutputDebugStringA(text); }

}  // namespace ov::backend
