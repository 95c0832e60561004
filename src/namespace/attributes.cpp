// An entry's attributes and times, as programs set them: the bits other
// systems give meaning to, and the three times an entry records.
#include <string.h>

#include "fat16_dir.h"
#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_namespace.h"
#include "fat16_volume.h"

#if !FS_READ_ONLY // creating, removing and changing entries write

namespace {

// The attribute bits a program may set: read-only, hidden, system, archive.
const uint8_t SETTABLE = ATTR_READ_ONLY | ATTR_HIDDEN | ATTR_SYSTEM | ATTR_ARCHIVE;

// Resolves `path` to a file or a directory, named wholly. FS_OK with
// FoundEntry describing it.
FsStatus find_entry(const char *path) {
    if (path == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (!path_names_entry(path)) return fs_fail(path[0] == '\0' ? FS_ERR_INVALID_NAME : FS_ERR_IS_ROOT);
    return path_find_entry(path, nullptr);
}

// What changes in the found entry's 8.3 slot.
struct Change {
    bool attributes;
    uint8_t attr;
    const FsDateTime *created;
    const FsDateTime *modified;
    const FsDateTime *accessed;
};

// Reads the found entry's sector, changes its slot and writes it back: a
// buffer of its own, after the lookup's frames are gone.
FsStatus change_found_entry(const Change &c) {
    SectorBuffer sector;
    if (disk_read_sector(sector, FoundEntry.entry_sector) != FS_OK) return fs_fail(FS_ERR_IO);
    uint8_t *slot = sector + FoundEntry.entry_offset;
    // The directory and label bits stay as they are.
    if (c.attributes) slot[DIR_ATTR] = (uint8_t)((slot[DIR_ATTR] & ~SETTABLE) | c.attr);
#if FS_WITH_TIMES
    dir_put_times(slot, c.created, c.modified, c.accessed);
#endif
    if (disk_write_sector(sector, FoundEntry.entry_sector) != FS_OK) return fs_fail(FS_ERR_IO);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

} // namespace

extern "C" {

FsStatus fs_set_attributes(const char *path, uint8_t attributes) {
    if (attributes & ~SETTABLE) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (find_entry(path) != FS_OK) return FS_FAIL;
    return change_found_entry(Change{true, attributes, nullptr, nullptr, nullptr});
}

#if FS_WITH_TIMES
FsStatus fs_set_times(const char *path, const FsDateTime *created, const FsDateTime *modified,
                      const FsDateTime *accessed) {
    if (find_entry(path) != FS_OK) return FS_FAIL;
    return change_found_entry(Change{false, 0, created, modified, accessed});
}
#endif
}

#endif // !FS_READ_ONLY
