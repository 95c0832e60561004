// The reason of the last failure of a public operation, and the options
// set for the library.
#include "fat16_common.h"

namespace {

FsError last_error = FS_ERR_NONE;
uint32_t options = 0;
const uint32_t KNOWN_OPTIONS = FS_OPT_KEEP_CASE | FS_OPT_WRITE_BACK | FS_OPT_LONG_PATHS;

const char *const error_texts[] = {
    "no error",
    "not found",
    "parent directory not found",
    "already exists",
    "invalid name",
    "path too long",
    "not a directory",
    "is a directory",
    "directory not empty",
    "directory in use as the current directory",
    "file is open",
    "no space left on the volume",
    "directory full",
    "read-only",
    "bad handle",
    "both open-file slots are in use",
    "invalid argument",
    "no volume mounted",
    "damaged volume",
    "host I/O error",
    "size not usable for a FAT16 volume",
    "a directory cannot move into itself or below itself",
    "the root directory cannot be moved or removed",
};

} // namespace

extern "C" {

FsError fs_last_error(void) { return last_error; }

FsStatus fs_set_options(uint32_t wanted) {
    if (wanted & ~KNOWN_OPTIONS) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    options = wanted;
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

uint32_t fs_get_options(void) { return options; }

uint8_t fs_long_paths(void) { return (options & FS_OPT_LONG_PATHS) != 0; }

void fs_set_error(FsError error) { last_error = error; }

FsStatus fs_fail(FsError reason) {
    last_error = reason;
    return FS_FAIL;
}

const char *fs_strerror(FsError error) {
    unsigned index = (unsigned)error;
    if (index >= sizeof error_texts / sizeof error_texts[0]) return "unknown error";
    return error_texts[index];
}
}
