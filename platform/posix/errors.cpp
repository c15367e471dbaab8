// The thread's last error and the translation of errno into Win32 codes.
#include <cerrno>

#include "backend.h"

namespace ov {

namespace {
// Constant-initialised and trivially destructible: no TLS constructor runs.
thread_local std::uint32_t last_error = err::success;
}  // namespace

void set_last_error(std::uint32_t code) { last_error = code; }

namespace backend {

std::uint32_t get_last_error() noexcept { return last_error; }

void set_error_from_errno(int error) noexcept { set_last_error(translate_errno(error)); }

// Each errno gets the code Windows reports for the same situation.  Callers
// that know more (a missing directory rather than a missing file, a dead
// window) override the result themselves.
std::uint32_t translate_errno(int error) noexcept {
    switch (error) {
        case 0:
            return err::success;
        case ENOENT:  // no such file: ERROR_FILE_NOT_FOUND
            return err::file_not_found;
        case ENOTDIR:  // a directory component is not one: ERROR_PATH_NOT_FOUND
            return err::path_not_found;
        case EACCES:  // permission bits: ERROR_ACCESS_DENIED
        case EPERM:   // not permitted (sticky directory, immutable file)
        case EISDIR:  // a directory where a file was expected, as DeleteFileA
            return err::access_denied;
        case EROFS:  // read-only file system: ERROR_WRITE_PROTECT
            return err::write_protect;
        case ETXTBSY:  // in use in a way that forbids the change:
        case EBUSY:    // ERROR_SHARING_VIOLATION
            return err::sharing_violation;
        case ENAMETOOLONG:  // ERROR_FILENAME_EXCED_RANGE
            return err::filename_exced_range;
        case ELOOP:  // too many symbolic links: ERROR_CANT_RESOLVE_FILENAME
            return err::cant_resolve_filename;
        case ENOSPC:  // no space, or the user's quota is spent:
        case EDQUOT:  // ERROR_DISK_FULL
            return err::disk_full;
        case EIO:  // the device failed: ERROR_NOT_READY
            return err::not_ready;
        case EMFILE:  // descriptor tables full: ERROR_TOO_MANY_OPEN_FILES
        case ENFILE:
            return err::too_many_open_files;
        case ENOMEM:  // ERROR_NOT_ENOUGH_MEMORY
            return err::not_enough_memory;
        case EEXIST:  // ERROR_ALREADY_EXISTS
            return err::already_exists;
        case ENOTEMPTY:  // ERROR_DIR_NOT_EMPTY
            return err::dir_not_empty;
        case EBADF:  // a descriptor that is not open: ERROR_INVALID_HANDLE
            return err::invalid_handle;
        case EINVAL:  // ERROR_INVALID_PARAMETER
            return err::invalid_parameter;
        case ETIMEDOUT:  // ERROR_TIMEOUT
            return err::timeout;
        default:  // anything else: ERROR_GEN_FAILURE, never success
            return error_gen_failure;
    }
}

}  // namespace backend
}  // namespace ov
