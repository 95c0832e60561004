// Taking names out of directories: deleting files, removing empty
// directories, and renaming a file in place.
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

const uint8_t NO_SLOT = 0xFF;
// A directory holds at most 65,536 slots: no backward walk takes more steps.
const uint32_t MAX_DIR_SLOTS = 65536;

// Slots one removal erased, with the first byte each had, so that a rename
// that cannot place its new entry puts the old one back.
struct ErasedSlots {
    uint32_t count;
    uint32_t sector[LFN_MAX_ENTRIES + 2];
    uint32_t offset[LFN_MAX_ENTRIES + 2];
    uint8_t first_byte[LFN_MAX_ENTRIES + 2];
};

bool in_root_area(uint32_t sector) {
    return sector >= VolumeGeometry.root_dir_start &&
           sector < VolumeGeometry.root_dir_start + VolumeGeometry.root_dir_sectors;
}

// The data cluster that holds `sector`.
uint32_t cluster_of_sector(uint32_t sector) {
    if (sector < VolumeGeometry.first_data_sector || VolumeGeometry.sectors_per_cluster == 0) return 0;
    return (sector - VolumeGeometry.first_data_sector) / VolumeGeometry.sectors_per_cluster + 2;
}

void note_erased(ErasedSlots *erased, uint32_t sector, uint32_t offset, uint8_t first) {
    if (erased == nullptr || erased->count >= LFN_MAX_ENTRIES + 2) return;
    erased->sector[erased->count] = sector;
    erased->offset[erased->count] = offset;
    erased->first_byte[erased->count] = first;
    erased->count++;
}

// Erases the entry just before the cursor and the long-name slots in front
// of it, walking backwards across sectors and clusters. The cursor stays.
void remove_entries(uint8_t *buffer, ErasedSlots *erased) {
    uint32_t sector = DirCursor.sector;
    uint32_t offset = DirCursor.offset;
    const bool root = in_root_area(sector);
    uint32_t cluster = root ? 0 : cluster_of_sector(sector);
    if (disk_read_sector(buffer, sector) != FS_OK) return;
    // The fill byte: the end marker when nothing live follows the entry.
    // After the directory's last slot (offset 512) no slot follows at all.
    uint8_t fill = (offset >= SECTOR_SIZE || buffer[offset] == ENTRY_END) ? ENTRY_END : ENTRY_FREE;
    if (offset > SECTOR_SIZE) offset = SECTOR_SIZE;
    bool entry_erased = false;
    bool changed = false; // only a sector that erased something is written back
    for (uint32_t steps = 0; steps < MAX_DIR_SLOTS; steps++) {
        if (offset > 0) {
            offset -= DIR_SLOT_SIZE;
        } else {
            if (changed) disk_write_sector(buffer, sector);
            changed = false;
            if (root) {
                if (sector == VolumeGeometry.root_dir_start) return;
                sector--;
            } else if (sector == cluster_to_sector(cluster)) {
                // Back into the cluster before this one in the chain.
                uint32_t prev = fat_find_prev_cluster(cluster);
                if (!fat_cluster_valid(prev) || fat_read_entry(prev) != cluster) return;
                cluster = prev;
                sector = cluster_to_sector(cluster) + VolumeGeometry.sectors_per_cluster - 1;
            } else {
                sector--;
            }
            offset = SECTOR_SIZE - DIR_SLOT_SIZE;
            if (disk_read_sector(buffer, sector) != FS_OK) return;
        }
        uint8_t *slot = buffer + offset;
        if (slot[DIR_ATTR] != ATTR_LONG_NAME) {
            if (entry_erased) break; // the slot in front of the run keeps its content
            entry_erased = true;
        }
        note_erased(erased, sector, offset, slot[0]);
        slot[0] = fill;
        changed = true;
    }
    if (changed) disk_write_sector(buffer, sector);
}

// Erases the entry the last lookup found (the cursor stands one slot past
// it), with a buffer of its own, after the lookup's frames are gone.
FS_OWN_FRAME void erase_found_entry(void) {
    SectorBuffer buffer;
    remove_entries(buffer, nullptr);
}

// As erase_found_entry, noting what it erased in `erased`.
FS_OWN_FRAME void erase_noting(ErasedSlots *erased) {
    SectorBuffer buffer;
    erased->count = 0;
    remove_entries(buffer, erased);
}

// Puts back the first bytes a removal changed.
FS_OWN_FRAME void restore_erased(const ErasedSlots &erased) {
    SectorBuffer sector;
    for (uint32_t i = 0; i < erased.count; i++) {
        if (disk_read_sector(sector, erased.sector[i]) != FS_OK) continue;
        sector[erased.offset[i]] = erased.first_byte[i];
        disk_write_sector(sector, erased.sector[i]);
    }
}

// True when no slot of the directory's chain but "." and ".." holds a live
// entry. The scan stops at the first end marker.
bool directory_empty(uint32_t first_cluster) {
    SectorBuffer buffer;
    dir_cursor_start(first_cluster);
    if (disk_read_sector(buffer, DirCursor.sector) != FS_OK) return false;
    for (;;) {
        const uint8_t *slot = buffer + DirCursor.offset;
        if (slot[0] == ENTRY_END) return true;
        if (slot[0] != ENTRY_FREE && !dir_is_dot_entry(slot)) return false;
        if (dir_next_entry(buffer) != FS_OK) return true; // an end slot or the chain's end
    }
}

// True when the directory whose first cluster is `cluster` is the current
// directory or one above it, found by resolving every prefix of
// CurrentDir.path (in place). Moves the cursor.
bool in_current_path(uint32_t cluster) {
    uint32_t len = str_len(CurrentDir.path);
    for (uint32_t i = 4; i <= len; i++) { // from the first component on
        if (i < len && CurrentDir.path[i] != '\\') continue;
        if (path_resolve_parent(CurrentDir.path, i, 0) == FS_OK && FoundEntry.first_cluster == cluster)
            return true;
    }
    return false;
}

// Why a path that names no entry (empty, or a root) cannot be removed or renamed.
FsStatus no_entry(const char *path) {
    if (path == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    return fs_fail(path[0] == '\0' ? FS_ERR_INVALID_NAME : FS_ERR_BUSY);
}

// A lookup that failed, with "not found" turned into the more telling
// reason when the path names an entry of the other kind.
FsStatus explain(const char *path, uint8_t wanted_kind) {
    path_explain_failure(path, wanted_kind);
    return FS_FAIL;
}

// The end of an operation that wrote: FS_FAIL when one of its transfers failed.
FsStatus finish(DiskFailMark failures_before) {
    if (disk_failed_since(failures_before)) return fs_fail(FS_ERR_IO);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

const uint32_t NO_PARENT = 0xFFFFFFFFu;

// The cluster the ".." entry of the directory `dir` names (0: the root);
// NO_PARENT when `dir` is no data cluster, its second slot is no "..", or
// its first sector cannot be read (then `*unreadable` is set).
uint32_t parent_of(uint32_t dir, bool *unreadable) {
    if (!fat_cluster_valid(dir)) return NO_PARENT;
    const uint8_t *sector = disk_window_read(cluster_to_sector(dir));
    if (sector == nullptr) {
        *unreadable = true;
        return NO_PARENT;
    }
    const uint8_t *dotdot = sector + DIR_SLOT_SIZE;
    if (memcmp(dotdot, "..         ", 11) != 0) return NO_PARENT;
    return le_get(dotdot + DIR_FIRST_CLUSTER, 2);
}

// True when the directory whose first cluster is `dir` (0: the root) is
// `ancestor` or lies below it, found by following ".." entries up to the
// root. `*unreadable` is set when a sector on the way could not be read.
bool lies_within(uint32_t dir, uint32_t ancestor, bool *unreadable) {
    for (uint32_t steps = 0; dir != 0 && steps <= VolumeGeometry.cluster_count; steps++) {
        if (dir == ancestor) return true;
        dir = parent_of(dir, unreadable);
        if (dir == NO_PARENT) return false;
    }
    return false;
}

// The length of the name of the entry dir_read_entry returned last, as
// path lengths count it.
uint32_t last_name_length(void) {
    uint32_t units = dir_last_long_units();
    if (units > 0) return units;
    char text[FS_SHORT_NAME_SIZE];
    dir_short_name_text(dir_last_short_entry(), text);
    return path_length(text);
}

// Reads the directory the cursor stands in for its next entry other than
// "." and "..", labels included.
FsStatus next_named_entry(char *name, char *ext) {
    for (;;) {
        if (dir_read_entry(name, ext, 1) != FS_OK) return FS_FAIL;
        if (!dir_is_dot_entry(dir_last_short_entry())) return FS_OK;
    }
}

// FS_OK when every entry below the directory `top` has a path of at most
// `room` units after the directory's own ("\A\B.TXT" counts 8); else
// "path too long". Depth first with no stack: a directory's ".." leads back
// up, where the entry that names it is found again by its cluster. Each
// level adds at least two units, so `room` bounds the depth; a bound on the
// entries read ends the walk on a damaged tree (a ".." that leads elsewhere,
// two entries on one chain) with "damaged volume".
FS_OWN_FRAME FsStatus paths_below_fit(uint32_t top, uint32_t room) {
    char name[LFN_MAX_NAME + 1];
    char ext[20];
    const DiskFailMark failures = disk_failures();
    const uint32_t max_reads = (VolumeGeometry.cluster_count + 2) * 2 * VolumeGeometry.sectors_per_cluster *
                               (SECTOR_SIZE / DIR_SLOT_SIZE);
    uint32_t dir = top;
    uint32_t units = 0; // of the path from `top` to `dir`
    dir_cursor_start(dir);
    for (uint32_t reads = 0; reads < max_reads; reads++) {
        if (next_named_entry(name, ext) == FS_OK) {
            uint32_t end = units + 1 + last_name_length();
            if (end > room) return fs_fail(FS_ERR_PATH_TOO_LONG);
            if ((FoundEntry.attr & ATTR_DIRECTORY) && fat_cluster_valid(FoundEntry.first_cluster)) {
                dir = FoundEntry.first_cluster;
                units = end;
                dir_cursor_start(dir);
            }
            continue;
        }
        if (disk_failed_since(failures)) return fs_fail(FS_ERR_IO);
        if (dir == top) return FS_OK;
        // Up: the parent's entry for `dir`, and on after it.
        bool unreadable = false;
        uint32_t parent = parent_of(dir, &unreadable);
        if (unreadable) return fs_fail(FS_ERR_IO);
        if (parent == NO_PARENT) return fs_fail(FS_ERR_DAMAGED);
        dir_cursor_start(parent);
        for (;;) {
            if (next_named_entry(name, ext) != FS_OK) return fs_fail(FS_ERR_DAMAGED);
            if ((FoundEntry.attr & ATTR_DIRECTORY) && FoundEntry.first_cluster == dir) break;
        }
        units -= 1 + last_name_length();
        dir = parent;
    }
    return fs_fail(FS_ERR_DAMAGED);
}

// Points the ".." entry of the directory `dir` at `parent` (0: the root).
FS_OWN_FRAME void set_parent_entry(uint32_t dir, uint32_t parent) {
    SectorBuffer sector;
    uint32_t first = cluster_to_sector(dir);
    if (disk_read_sector(sector, first) != FS_OK) return; // never write back what was not read
    uint8_t *dotdot = sector + DIR_SLOT_SIZE;
    if (!dir_is_dot_entry(dotdot) || le_get(dotdot + DIR_FIRST_CLUSTER, 2) == parent) return;
    le_put(dotdot + DIR_FIRST_CLUSTER, parent, 2);
    disk_write_sector(sector, first);
}

// What a move or rename found at its source.
struct Source {
    uint8_t slot[DIR_SLOT_SIZE]; // the 8.3 entry (the alias of a long name)
    uint32_t sector;
    uint32_t offset;
    uint8_t kind; // the search that found it, to find it again
};

// Takes the entry the last resolution found as the source.
FS_OWN_FRAME FsStatus take_source(Source *src, uint8_t kind) {
    SectorBuffer sector;
    if (disk_read_sector(sector, FoundEntry.entry_sector) != FS_OK) return fs_fail(FS_ERR_IO);
    memcpy(src->slot, sector + FoundEntry.entry_offset, DIR_SLOT_SIZE);
    src->sector = FoundEntry.entry_sector;
    src->offset = FoundEntry.entry_offset;
    src->kind = kind;
    return FS_OK;
}

// Gives the source entry the name `name` in the directory the first
// `dir_length` bytes of `dir_path` name (already checked by newname_check): the old entry is erased first and
// the new one written after, so an interruption never leaves two entries on one chain. When the new entry
// finds no room the old one is put back.
FsStatus relocate(const char *old_path, const Source &src, const char *dir_path, uint32_t dir_length,
                  const NewName &name) {
    const DiskFailMark failures = disk_failures();
    DirCursor.search_kind = src.kind;
    if (path_resolve(old_path) != FS_OK || FoundEntry.entry_sector != src.sector ||
        FoundEntry.entry_offset != src.offset)
        return FS_FAIL;
    ErasedSlots erased;
    erase_noting(&erased);
    if (disk_failed_since(failures)) {
        // The old entry may still stand: a new one would share its clusters.
        restore_erased(erased);
        return fs_fail(FS_ERR_IO);
    }
    if (path_resolve_parent(dir_path, dir_length, 0) != FS_OK ||
        newname_create(&name, src.slot, 0, 0, 0) != FS_OK) {
        FsError reason = fs_last_error();
        restore_erased(erased); // no room for the new entry: it keeps its old one
        return fs_fail(reason);
    }
    return FS_OK;
}

} // namespace

extern "C" {

FsStatus dir_remove_entries(uint8_t *buffer) {
    if (buffer == nullptr) return FS_FAIL;
    remove_entries(buffer, nullptr);
    return FS_OK;
}

FsStatus fs_delete_file(const char *path) {
    if (!path_names_entry(path)) return no_entry(path);
    DirCursor.search_kind = KIND_FILE;
    if (path_resolve(path) != FS_OK) return explain(path, KIND_FILE);
    if (FoundEntry.attr & ATTR_DIRECTORY) return fs_fail(FS_ERR_IS_DIRECTORY);
    if (FoundEntry.attr & ATTR_READ_ONLY) return fs_fail(FS_ERR_READ_ONLY);
    if (handle_find_by_entry(FoundEntry.entry_sector, FoundEntry.entry_offset, NO_SLOT) == FS_OK)
        return fs_fail(FS_ERR_FILE_OPEN);
    const DiskFailMark failures = disk_failures();
    erase_found_entry();
    if (FoundEntry.first_cluster != 0) fat_free_chain(FoundEntry.first_cluster);
    return finish(failures);
}

FsStatus fs_rmdir(const char *path) {
    if (!path_names_entry(path)) return no_entry(path);
    DirCursor.search_kind = KIND_DIR;
    if (path_resolve(path) != FS_OK) return explain(path, KIND_DIR);
    // A directory component may also match a directory by its name part
    // alone ("FOO.TXT" finds FOO): what is removed must be named wholly.
    if (!path_found_by_whole_name(path)) return fs_fail(FS_ERR_NOT_FOUND);
    uint32_t first = FoundEntry.first_cluster;
    if (!(FoundEntry.attr & ATTR_DIRECTORY)) return fs_fail(FS_ERR_NOT_DIRECTORY);
    if (!fat_cluster_valid(first)) return fs_fail(FS_ERR_DAMAGED);
    const DirCursorState after_entry = DirCursor;
    const FoundEntryRecord found = FoundEntry;
    // The current directory and every directory above it stay.
    if (in_current_path(first)) return fs_fail(FS_ERR_BUSY);

    const DiskFailMark failures = disk_failures();
    bool empty = directory_empty(first);
    if (disk_failed_since(failures)) return fs_fail(FS_ERR_IO); // an unreadable sector proves nothing
    if (!empty) return fs_fail(FS_ERR_NOT_EMPTY);
    DirCursor = after_entry;
    FoundEntry = found;
    erase_found_entry();
    fat_free_chain(first);
    return finish(failures);
}

FsStatus fs_rename(const char *old_path, const char *new_name) {
    if (old_path == nullptr || new_name == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (!fs_long_paths() &&
        (path_length(old_path) > FS_PATH_MAX - 1 || path_length(new_name) > FS_PATH_MAX - 1))
        return fs_fail(FS_ERR_PATH_TOO_LONG);
    if (!path_names_entry(old_path)) return no_entry(old_path);

    DirCursor.search_kind = KIND_FILE;
    if (path_resolve(old_path) != FS_OK) return explain(old_path, KIND_FILE);
    if (FoundEntry.attr & ATTR_DIRECTORY) return fs_fail(FS_ERR_IS_DIRECTORY);
    if (FoundEntry.attr & ATTR_READ_ONLY) return fs_fail(FS_ERR_READ_ONLY);
    if (handle_find_by_entry(FoundEntry.entry_sector, FoundEntry.entry_offset, NO_SLOT) == FS_OK)
        return fs_fail(FS_ERR_FILE_OPEN);
    Source src;
    if (take_source(&src, KIND_FILE) != FS_OK) return FS_FAIL;

    // Only the last component of the new name counts; without kept case it
    // is stored in capitals.
    uint32_t cut = str_len(new_name);
    while (cut > 0 && new_name[cut - 1] != '\\') cut--;
    uint32_t dir_length = 0;
    const char *old_name = nullptr;
    if (path_split_name(old_path, &dir_length, &old_name) != FS_OK) return fs_fail(FS_ERR_NOT_FOUND);

    // The new name is checked before anything is erased.
    NewName name;
    if (newname_prepare(new_name + cut, 1, &name) != FS_OK) return FS_FAIL;
    // The file must stay reachable by a path of the length lookups take.
    if (!fs_long_paths() && path_absolute_length(old_path, str_len(old_path)) - path_length(old_name) +
                                    path_length(new_name + cut) >
                                FS_PATH_MAX - 1)
        return fs_fail(FS_ERR_PATH_TOO_LONG);
    if (path_resolve_parent(old_path, dir_length, 0) != FS_OK) return FS_FAIL;
    if (newname_check(&name, src.sector, src.offset, 0) != FS_OK) return FS_FAIL;
    const DiskFailMark failures = disk_failures();
    if (relocate(old_path, src, old_path, dir_length, name) != FS_OK) return FS_FAIL;
    return finish(failures);
}

FsStatus fs_move(const char *old_path, const char *new_path) {
    if (old_path == nullptr || new_path == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (!fs_long_paths() &&
        (path_length(old_path) > FS_PATH_MAX - 1 || path_length(new_path) > FS_PATH_MAX - 1))
        return fs_fail(FS_ERR_PATH_TOO_LONG);
    if (!path_names_entry(old_path))
        return fs_fail(old_path[0] == '\0' ? FS_ERR_INVALID_NAME : FS_ERR_IS_ROOT);
    if (!path_names_entry(new_path))
        return fs_fail(new_path[0] == '\0' ? FS_ERR_INVALID_NAME : FS_ERR_EXISTS);

    // The source: a file or a directory, named wholly.
    uint8_t kind = KIND_FILE;
    if (path_find_entry(old_path, &kind) != FS_OK) return FS_FAIL;
    const bool is_dir = (FoundEntry.attr & ATTR_DIRECTORY) != 0;
    const uint32_t moved = FoundEntry.first_cluster;
    if (!is_dir && (FoundEntry.attr & ATTR_READ_ONLY)) return fs_fail(FS_ERR_READ_ONLY);
    if (!is_dir && handle_find_by_entry(FoundEntry.entry_sector, FoundEntry.entry_offset, NO_SLOT) == FS_OK)
        return fs_fail(FS_ERR_FILE_OPEN);
    if (is_dir && !fat_cluster_valid(moved)) return fs_fail(FS_ERR_DAMAGED);
    Source src;
    if (take_source(&src, kind) != FS_OK) return FS_FAIL;
    // The current directory and those above it keep their paths.
    if (is_dir && in_current_path(moved)) return fs_fail(FS_ERR_BUSY);

    // The destination: an existing directory, and a name free in it.
    uint32_t dir_length = 0;
    const char *name_text = nullptr;
    if (path_split_name(new_path, &dir_length, &name_text) != FS_OK) return fs_fail(FS_ERR_NO_PARENT);
    NewName name;
    if (newname_prepare(name_text, 0, &name) != FS_OK) return FS_FAIL;
    if (path_resolve_parent(new_path, dir_length, 1) != FS_OK) return FS_FAIL;
    const uint32_t target = DirCursor.in_chain ? FoundEntry.first_cluster : 0;
    if (is_dir) {
        bool unreadable = false;
        bool within = lies_within(target, moved, &unreadable);
        if (unreadable) return fs_fail(FS_ERR_IO);
        if (within) return fs_fail(FS_ERR_INTO_ITSELF);
    }
    if (newname_check(&name, src.sector, src.offset, 1) != FS_OK) return FS_FAIL;
    // Everything below a moved directory must stay reachable by a path of
    // the length lookups take.
    if (is_dir && !fs_long_paths()) {
        uint32_t base = path_absolute_length(new_path, str_len(new_path));
        if (base > FS_PATH_MAX - 1) return fs_fail(FS_ERR_PATH_TOO_LONG);
        if (paths_below_fit(moved, FS_PATH_MAX - 1 - base) != FS_OK) return FS_FAIL;
    }

    const DiskFailMark failures = disk_failures();
    if (relocate(old_path, src, new_path, dir_length, name) != FS_OK) return FS_FAIL;
    // A directory that changed parents names its new one in "..".
    if (is_dir) set_parent_entry(moved, target);
    return finish(failures);
}
}

#endif // !FS_READ_ONLY
