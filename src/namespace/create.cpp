// Creating directories and files: the entry goes into the first run of free
// slots of its directory, as one 8.3 entry or as long-name entries followed
// by an alias.
#include <string.h>

#include "fat16_dir.h"
#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_namespace.h"
#include "fat16_volume.h"
#include "newname.h"

namespace {

const uint32_t NO_SKIP = 0xFFFFFFFFu;

// The alias dir_write_long_entries stores when creation has chosen one.
const uint8_t *chosen_alias = nullptr;

// The "." and ".." entries that open every new directory's first sector.
void build_dot_entries(uint8_t *sector, uint32_t self, uint32_t parent) {
    for (uint32_t i = 0; i < 2; i++) {
        uint8_t *e = sector + i * DIR_SLOT_SIZE;
        memset(e, ' ', 11);
        e[0] = '.';
        if (i == 1) e[1] = '.';
        e[DIR_ATTR] = ATTR_DIRECTORY;
        memset(e + 12, 0, DIR_SLOT_SIZE - 12);
        le_put(e + DIR_FIRST_CLUSTER, i == 0 ? self : parent, 2);
    }
}

// A parent that does not resolve is reported as such, or as a file.
FsStatus parent_failed(const char *parent) {
    path_explain_failure(parent, KIND_DIR);
    if (fs_last_error() == FS_ERR_NOT_FOUND) fs_set_error(FS_ERR_NO_PARENT);
    return FS_FAIL;
}

// Shared steps of fs_create_file and fs_mkdir.
FsStatus create_path(const char *path, uint8_t attr) {
    if (path == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    uint32_t len = str_len(path);
    if (len == 0) return fs_fail(FS_ERR_INVALID_NAME);
    if (len > FS_PATH_MAX - 1) return fs_fail(FS_ERR_PATH_TOO_LONG);
    char copy[FS_PATH_MAX];
    str_copy(path, copy);

    // Split off the last component; the rest names the parent.
    const char *name = nullptr;
    char parent[FS_PATH_MAX];
    if (path_split(copy, parent, &name) != FS_OK) return fs_fail(FS_ERR_NO_PARENT);

    // The name must be one lookups can find, and its directory must not hold
    // it yet: newname_check refuses any live entry of that name, of either
    // kind, so no separate lookup of the whole path is needed.
    NewName new_name;
    if (newname_prepare(name, attr, &new_name) != FS_OK) return FS_FAIL;
    DirCursor.search_kind = KIND_DIR;
    if (path_resolve(parent) != FS_OK) return parent_failed(parent);
    if (newname_check(&new_name, NO_SKIP, NO_SKIP) != FS_OK) return FS_FAIL;
    return newname_create(&new_name, attr, 0, 0);
}

// Writes the entry once its run has been found; FS_FAIL when a transfer failed.
FsStatus write_entry(const NewName *name, uint8_t attr, uint32_t first_cluster, uint32_t size,
                     uint8_t *buffer) {
    if (name->long_form) {
        chosen_alias = name->alias;
        FsStatus written = dir_write_long_entries(name->text, attr, first_cluster, buffer, size);
        chosen_alias = nullptr;
        return written;
    }
    uint8_t entry[DIR_SLOT_SIZE];
    dir_build_short_entry(entry, name->text, first_cluster, size, attr);
    if (disk_read_sector(buffer, DirCursor.sector) != FS_OK) return FS_FAIL;
    memcpy(buffer + DirCursor.offset, entry, DIR_SLOT_SIZE);
    return disk_write_sector(buffer, DirCursor.sector);
}

} // namespace

FsStatus newname_create(const NewName *name, uint8_t attr, uint32_t first_cluster, uint32_t size) {
    const uint64_t failures = disk_failures();
    SectorBuffer buffer;
    uint32_t new_dir = 0;
    if (attr & ATTR_DIRECTORY) {
        uint32_t parent = DirCursor.in_chain ? FoundEntry.first_cluster : 0;
        if (fat_alloc_cluster(&new_dir, buffer) != FS_OK)
            return fs_fail(disk_failures() != failures ? FS_ERR_IO : FS_ERR_NO_SPACE);
        build_dot_entries(buffer, new_dir, parent);
        disk_write_sector(buffer, cluster_to_sector(new_dir));
        first_cluster = new_dir;
    }
    const uint8_t in_root = DirCursor.in_chain == 0;
    if (dir_find_free_run(name->slots, buffer) != FS_OK) {
        // No room for the entry: the new directory's cluster is not kept.
        if (new_dir != 0) fat_free_chain(new_dir);
        if (disk_failures() != failures) return fs_fail(FS_ERR_IO);
        return fs_fail(in_root ? FS_ERR_DIR_FULL : FS_ERR_NO_SPACE);
    }
    if (write_entry(name, attr, first_cluster, size, buffer) != FS_OK || disk_failures() != failures)
        return fs_fail(FS_ERR_IO);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

extern "C" {

FsStatus fs_create_file(const char *path) { return create_path(path, ATTR_ARCHIVE); }

FsStatus fs_mkdir(const char *path) { return create_path(path, ATTR_DIRECTORY); }

FsStatus dir_create_entry(const char *name, uint8_t attr, uint32_t first_cluster, uint32_t size) {
    if (!fs_is_mounted()) return fs_fail(FS_ERR_NOT_MOUNTED);
    NewName new_name;
    if (newname_prepare(name, attr, &new_name) != FS_OK) return FS_FAIL;
    if (newname_check(&new_name, NO_SKIP, NO_SKIP) != FS_OK) return FS_FAIL;
    return newname_create(&new_name, attr, first_cluster, size);
}

FsStatus dir_find_free_run(uint32_t count, uint8_t *buffer) {
    if (count == 0 || buffer == nullptr) return FS_FAIL;
    if (DirCursor.in_chain) {
        if (!fat_cluster_valid(FoundEntry.first_cluster)) return FS_FAIL;
        dir_cursor_start(FoundEntry.first_cluster);
    } else {
        dir_cursor_start(0);
    }
    if (disk_read_sector(buffer, DirCursor.sector) != FS_OK) return FS_FAIL;

    // First fit: 0x00 and 0xE5 slots are both free, and the run may cross
    // sector and cluster boundaries (a subdirectory grows at its end).
    DirCursorState start = DirCursor;
    uint32_t run = 0;
    for (;;) {
        uint8_t first = buffer[DirCursor.offset];
        bool free_slot = first == ENTRY_END || first == ENTRY_FREE;
        if (free_slot && ++run == count) {
            DirCursor.cluster = start.cluster;
            DirCursor.sector = start.sector;
            DirCursor.offset = start.offset;
            return FS_OK;
        }
        if (dir_advance_or_grow(buffer) != FS_OK) return FS_FAIL;
        if (!free_slot) {
            start = DirCursor;
            run = 0;
        }
    }
}

FsStatus dir_write_long_entries(const char *name, uint8_t attr, uint32_t first_cluster, uint8_t *buffer,
                                uint32_t size) {
    uint32_t len = str_len(name);
    if (len == 0 || len > LFN_MAX_NAME) return FS_FAIL;
    uint32_t n = (len + LFN_CHARS - 1) / LFN_CHARS;
    uint8_t alias[11];
    if (chosen_alias != nullptr)
        memcpy(alias, chosen_alias, 11);
    else
        lfn_make_alias(name, alias);
    uint8_t checksum = lfn_checksum(alias);

    // lfn_fill_entry pads the 13-byte window after the name's end.
    char scratch[LFN_MAX_ENTRIES * LFN_CHARS + LFN_CHARS];
    str_copy(name, scratch);
    // A sector that could not be read is never written back: its other slots
    // would be lost.
    const uint64_t failures = disk_failures();
    if (disk_read_sector(buffer, DirCursor.sector) != FS_OK) return FS_FAIL;
    for (uint32_t k = n; k >= 1; k--) {
        uint8_t sequence = (uint8_t)(k == n ? k | LFN_LAST_FLAG : k);
        lfn_fill_entry(buffer + DirCursor.offset, scratch + LFN_CHARS * (k - 1), sequence, checksum);
        disk_write_sector(buffer, DirCursor.sector);
        dir_next_entry(buffer); // the run is known to be free: its status does not matter
        if (disk_failures() != failures) return FS_FAIL;
    }
    if (DirCursor.offset >= SECTOR_SIZE) return FS_FAIL; // the run was not there after all
    uint8_t *e = buffer + DirCursor.offset;
    memcpy(e, alias, 11);
    e[DIR_ATTR] = attr;
    memset(e + 12, 0, DIR_FIRST_CLUSTER - 12);
    le_put(e + DIR_FIRST_CLUSTER, first_cluster & 0xFFFFu, 2);
    le_put(e + DIR_SIZE, size, 4);
    disk_write_sector(buffer, DirCursor.sector);
    return FS_OK;
}
}
