#include "file_delete.h"

namespace ov::del {

// The Win32 codes that mean the file is there but may not be removed: access
// denied, the current directory, write-protected or unready media, sharing
// and lock violations (19 to 36), network access, and the locking codes.
int is_access_class_error(std::uint32_t code) {
    switch (code) {
        case 5:    // ERROR_ACCESS_DENIED
        case 16:   // ERROR_CURRENT_DIRECTORY
        case 65:   // ERROR_NETWORK_ACCESS_DENIED
        case 82:   // ERROR_CANNOT_MAKE
        case 83:   // ERROR_FAIL_I24
        case 108:  // ERROR_DRIVE_LOCKED
        case 132:  // ERROR_SEEK_ON_DEVICE
        case 158:  // ERROR_NOT_LOCKED
        case 167:  // ERROR_LOCK_FAILED
            return 1;
        default:
            // ERROR_WRITE_PROTECT (19) through ERROR_SHARING_BUFFER_EXCEEDED (36).
            return code >= 19 && code <= 36;
    }
}

}  // namespace ov::del
