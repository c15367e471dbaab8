// DeleteFileA by path, for the tools and the tests.
#include "backend.h"
#include "tools_platform.h"

namespace ov {

// DeleteFileA by path.
int delete_file(const char* path) { return DeleteFileA(path) ? 1 : 0; }

}  // namespace ov
