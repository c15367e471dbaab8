// lstrcmpiA: case-insensitive comparison in the user's locale.
#include <strings.h>

#include "backend.h"

namespace ov {

// strcasecmp folds case through the current locale's LC_CTYPE, as lstrcmpiA
// folds through the user's code page.  The result is -1, 0 or 1, as
// lstrcmpiA gives it, and a null string sorts before every other string.
int compare_nocase(const char* a, const char* b) {
    if (a == nullptr || b == nullptr) return a == b ? 0 : (a == nullptr ? -1 : 1);
    int order = strcasecmp(a, b);
    return (order > 0) - (order < 0);
}

}  // namespace ov
