// Creating directories and files: the entry goes into the first run of free
// slots of its directory, as one 8.3 entry or as long-name entries followed
// by an alias.
#include <string.h>

#include "fat16_dir.h"
#include "fat16_disk.h"
#include "fat16_file.h"
#include "fat16_layout.h"
#include "fat16_namespace.h"
#include "fat16_volume.h"
#include "newname.h"

#if !FS_READ_ONLY // creating, removing and changing entries write

namespace {

// With a clock, a new entry's creation, modification and access times are
// now; without one they stay zero.
void stamp_creation(uint8_t *entry) {
    FsDateTime now;
    if (fs_clock_now(&now)) dir_put_times(entry, &now, &now, &now);
}

// The "." and ".." entries that open every new directory's first sector.
void build_dot_entries(uint8_t *sector, uint32_t self, uint32_t parent) {
    for (uint32_t i = 0; i < 2; i++) {
        uint8_t *e = sector + i * DIR_SLOT_SIZE;
        memset(e, ' ', 11);
        e[0] = '.';
        if (i == 1) e[1] = '.';
        e[DIR_ATTR] = ATTR_DIRECTORY;
        memset(e + DIR_CASE, 0, DIR_SLOT_SIZE - DIR_CASE);
        le_put(e + DIR_FIRST_CLUSTER, i == 0 ? self : parent, 2);
        stamp_creation(e);
    }
}

// Shared steps of fs_create_file and fs_mkdir.
FsStatus create_path(const char *path, uint8_t attr) {
    if (path == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (path[0] == '\0') return fs_fail(FS_ERR_INVALID_NAME);
    if (!fs_long_paths() && path_length(path) > FS_PATH_MAX - 1) return fs_fail(FS_ERR_PATH_TOO_LONG);

    // Split off the last component; the rest names the parent.
    const char *name = nullptr;
    uint32_t parent_length = 0;
    if (path_split_name(path, &parent_length, &name) != FS_OK) return fs_fail(FS_ERR_NO_PARENT);

    // The name must be one lookups can find, and its directory must not hold
    // it yet: newname_check refuses any live entry of that name, of either
    // kind, so no separate lookup of the whole path is needed.
    NewName new_name;
    if (newname_prepare(name, 0, &new_name) != FS_OK) return FS_FAIL;
    if (path_resolve_parent(path, parent_length, 1) != FS_OK) return FS_FAIL;
    if (newname_check(&new_name, NEWNAME_NO_SKIP, NEWNAME_NO_SKIP, 0) != FS_OK) return FS_FAIL;
    return newname_create(&new_name, nullptr, attr, 0, 0);
}

// The 8.3 slot of a new entry: `name11`, then either the fields of `model`
// or the attribute, first cluster and size given with every other field zero.
void build_entry(uint8_t *entry, const uint8_t *name11, uint8_t case_flags, const uint8_t *model,
                 uint8_t attr, uint32_t first_cluster, uint32_t size) {
    memcpy(entry + DIR_NAME, name11, 11);
    if (model != nullptr) {
        memcpy(entry + DIR_ATTR, model + DIR_ATTR, DIR_SLOT_SIZE - DIR_ATTR);
    } else {
        entry[DIR_ATTR] = attr;
        memset(entry + DIR_CASE, 0, DIR_FIRST_CLUSTER - DIR_CASE);
        le_put(entry + DIR_FIRST_CLUSTER, first_cluster & 0xFFFFu, 2);
        le_put(entry + DIR_SIZE, size, 4);
        stamp_creation(entry);
    }
    entry[DIR_CASE] = case_flags;
}

// Where the UTF-16 units of a long name come from: its UTF-8 text (ASCII
// letters in capitals with `capitals`), or, for a name that is no UTF-8,
// its bytes, one unit each. The units are made a slot's worth at a time,
// so that no frame holds the whole name's 510 bytes.
struct UnitSource {
    const char *text;
    uint32_t length;
    bool capitals;
    bool bytes;
};

// Units `first` to `first` + 12 of the name into `out`; how many there were.
// Its own frame: write_long_run, which deep calls pass through, stays small.
FS_OWN_FRAME uint32_t units_from(const UnitSource &src, uint32_t first, uint16_t *out) {
    uint32_t unit = 0;
    uint32_t taken = 0;
    for (uint32_t at = 0; at < src.length && taken < LFN_CHARS;) {
        uint16_t pair[2];
        uint32_t n = 1;
        uint32_t cp = (uint8_t)src.text[at];
        uint32_t bytes = src.bytes ? 1 : str_utf8_decode(src.text + at, &cp);
        if (bytes == 0) break; // a name checked before holds no such byte
        at += bytes;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            pair[0] = (uint16_t)(0xD800 + (cp >> 10));
            pair[1] = (uint16_t)(0xDC00 + (cp & 0x3FF));
            n = 2;
        } else {
            pair[0] = (uint16_t)(src.capitals && cp < 0x80 ? (uint8_t)str_ascii_upper((char)cp) : cp);
        }
        for (uint32_t i = 0; i < n; i++, unit++)
            if (unit >= first && taken < LFN_CHARS) out[taken++] = pair[i];
    }
    return taken;
}

// Writes the `count` units of the long-name slots and then `entry` (the
// alias slot) from the cursor on, through a run of free slots
// dir_find_free_run found, one write a sector: a sector the run leaves is
// written before the next one is read, and the alias's sector last. A
// sector that could not be read is never written back: its other slots
// would be lost. FS_FAIL when a transfer failed.
FsStatus write_long_run(const UnitSource &src, uint32_t count, const uint8_t *entry, uint8_t *buffer) {
    uint32_t n = (count + LFN_CHARS - 1) / LFN_CHARS;
    uint8_t checksum = lfn_checksum(entry);
    const DiskFailMark failures = disk_failures();
    if (disk_read_sector(buffer, DirCursor.sector) != FS_OK) return FS_FAIL;
    for (uint32_t k = n; k >= 1; k--) {
        uint8_t sequence = (uint8_t)(k == n ? k | LFN_LAST_FLAG : k);
        uint16_t units[LFN_CHARS];
        uint32_t chunk = units_from(src, LFN_CHARS * (k - 1), units);
        lfn_fill_units(buffer + DirCursor.offset, units, chunk, sequence, checksum);
        if (DirCursor.offset + DIR_SLOT_SIZE >= SECTOR_SIZE) disk_write_sector(buffer, DirCursor.sector);
        dir_next_entry(buffer); // the run is known to be free: its status does not matter
        if (disk_failed_since(failures)) return FS_FAIL;
    }
    if (DirCursor.offset >= SECTOR_SIZE) return FS_FAIL; // the run was not there after all
    memcpy(buffer + DirCursor.offset, entry, DIR_SLOT_SIZE);
    disk_write_sector(buffer, DirCursor.sector);
    return FS_OK;
}

// Writes the entry once its run has been found; FS_FAIL when a transfer failed.
FS_OWN_FRAME FsStatus write_entry(const NewName *name, const uint8_t *model, uint8_t attr,
                                  uint32_t first_cluster, uint32_t size, uint8_t *buffer) {
    uint8_t entry[DIR_SLOT_SIZE];
    build_entry(entry, name->short_name, name->long_form ? 0 : name->case_flags, model, attr, first_cluster,
                size);
    if (name->long_form) {
        uint32_t count = str_utf16_units(name->text, name->length);
        if (count == 0 || count > LFN_MAX_NAME) return FS_FAIL; // newname_prepare let no such name through
        return write_long_run(UnitSource{name->text, name->length, name->capitals != 0, false}, count, entry,
                              buffer);
    }
    if (disk_read_sector(buffer, DirCursor.sector) != FS_OK) return FS_FAIL;
    memcpy(buffer + DirCursor.offset, entry, DIR_SLOT_SIZE);
    return disk_write_sector(buffer, DirCursor.sector);
}

// The first run of `count` free slots from the cursor on: 0x00 and 0xE5
// slots are both free, and the run may cross sector and cluster boundaries
// (a subdirectory grows at its end). FS_OK with the cursor on its first
// slot.
FsStatus free_run_from(uint32_t count, uint8_t *buffer) {
    if (disk_read_sector(buffer, DirCursor.sector) != FS_OK) return FS_FAIL;
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

// Room for the new entry, first fit: from where the check's reading of the
// directory saw it, else from the directory's first slot.
FsStatus find_room(const NewName *name, uint8_t *buffer) {
    if (name->watched && dir_watched_room() == FS_OK) return free_run_from(name->slots, buffer);
    return dir_find_free_run(name->slots, buffer);
}

} // namespace

FsStatus newname_create(const NewName *name, const uint8_t *model, uint8_t attr, uint32_t first_cluster,
                        uint32_t size) {
    const DiskFailMark failures = disk_failures();
    SectorBuffer buffer;
    uint32_t new_dir = 0;
    if ((attr & ATTR_DIRECTORY) && model == nullptr) {
        uint32_t parent = DirCursor.in_chain ? FoundEntry.first_cluster : 0;
        if (fat_alloc_cluster(&new_dir, buffer) != FS_OK) return disk_fail_since(failures, FS_ERR_NO_SPACE);
        build_dot_entries(buffer, new_dir, parent);
        disk_write_sector(buffer, cluster_to_sector(new_dir));
        first_cluster = new_dir;
    }
    const uint8_t in_root = DirCursor.in_chain == 0;
    if (find_room(name, buffer) != FS_OK) {
        // No room for the entry: the new directory's cluster is not kept.
        if (new_dir != 0) fat_free_chain(new_dir);
        if (disk_failed_since(failures)) return fs_fail(FS_ERR_IO);
        return fs_fail(in_root ? FS_ERR_DIR_FULL : FS_ERR_NO_SPACE);
    }
    if (write_entry(name, model, attr, first_cluster, size, buffer) != FS_OK || disk_failed_since(failures))
        return fs_fail(FS_ERR_IO);
    // FoundEntry describes the new entry, as a lookup of it would.
    const uint8_t *entry = buffer + DirCursor.offset;
    FoundEntry.entry_sector = DirCursor.sector;
    FoundEntry.entry_offset = DirCursor.offset;
    FoundEntry.first_cluster = le_get(entry + DIR_FIRST_CLUSTER, 2);
    FoundEntry.size = le_get(entry + DIR_SIZE, 4);
    FoundEntry.attr = entry[DIR_ATTR];
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

extern "C" {

FsStatus fs_create_file(const char *path) { return create_path(path, ATTR_ARCHIVE); }

FsStatus fs_mkdir(const char *path) { return create_path(path, ATTR_DIRECTORY); }

uint8_t fs_open_new(const char *path) {
    if (create_path(path, ATTR_ARCHIVE) != FS_OK) return FS_FAIL;
    return file_open_found();
}

FsStatus dir_create_entry(const char *name, uint8_t attr, uint32_t first_cluster, uint32_t size) {
    if (!fs_is_mounted()) return fs_fail(FS_ERR_NOT_MOUNTED);
    NewName new_name;
    if (newname_prepare(name, 0, &new_name) != FS_OK) return FS_FAIL;
    if (newname_check(&new_name, NEWNAME_NO_SKIP, NEWNAME_NO_SKIP, 0) != FS_OK) return FS_FAIL;
    return newname_create(&new_name, nullptr, attr, first_cluster, size);
}

FsStatus dir_find_free_run(uint32_t count, uint8_t *buffer) {
    if (count == 0 || buffer == nullptr) return FS_FAIL;
    if (DirCursor.in_chain) {
        if (!fat_cluster_valid(FoundEntry.first_cluster)) return FS_FAIL;
        dir_cursor_start(FoundEntry.first_cluster);
    } else {
        dir_cursor_start(0);
    }
    return free_run_from(count, buffer);
}

FsStatus dir_write_long_entries(const char *name, uint8_t attr, uint32_t first_cluster, uint8_t *buffer,
                                uint32_t size) {
    uint32_t len = str_len(name);
    if (len == 0 || len > LFN_MAX_NAME || buffer == nullptr) return FS_FAIL;
    uint8_t alias[11];
    lfn_make_alias(name, alias);
    uint8_t entry[DIR_SLOT_SIZE];
    build_entry(entry, alias, 0, nullptr, attr, first_cluster, size);
    // A name that is no UTF-8 keeps its bytes, one character each.
    uint32_t count = str_utf16_units(name, len);
    const bool bytes = count == 0xFFFFFFFFu || count > LFN_MAX_NAME;
    return write_long_run(UnitSource{name, len, false, bytes}, bytes ? len : count, entry, buffer);
}
}

#endif // !FS_READ_ONLY
