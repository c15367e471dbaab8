// lstrcmpiA: compares with the user's locale, case-insensitively, by word
// sort rules (CompareStringA with NORM_IGNORECASE).
#include "backend.h"

namespace ov {

int compare_nocase(const char* a, const char* b) { return lstrcmpiA(a, b); }

}  // namespace ov
