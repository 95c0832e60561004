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
    for (uint32_t steps = 0; steps < MAX_DIR_SLOTS; steps++) {
        if (offset > 0) {
            offset -= DIR_SLOT_SIZE;
        } else {
            disk_write_sector(buffer, sector);
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
    }
    disk_write_sector(buffer, sector);
}

// Puts back the first bytes a removal changed.
void restore_erased(const ErasedSlots &erased) {
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
        bool dot = memcmp(slot, ".          ", 11) == 0 || memcmp(slot, "..         ", 11) == 0;
        if (slot[0] != ENTRY_FREE && !dot) return false;
        if (dir_next_entry(buffer) != FS_OK) return true; // an end slot or the chain's end
    }
}

// The first clusters of the current directory and of each directory above
// it, by resolving every prefix of CurrentDir.path.
uint32_t current_path_clusters(uint32_t *clusters, uint32_t room) {
    char prefix[FS_PATH_MAX];
    uint32_t count = 0;
    uint32_t len = str_len(CurrentDir.path);
    for (uint32_t i = 4; i <= len && count < room; i++) { // from the first component on
        if (i < len && CurrentDir.path[i] != '\\') continue;
        memcpy(prefix, CurrentDir.path, i);
        prefix[i] = '\0';
        DirCursor.search_kind = KIND_DIR;
        if (path_resolve(prefix) == FS_OK) clusters[count++] = FoundEntry.first_cluster;
    }
    return count;
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
FsStatus finish(uint64_t failures_before) {
    if (disk_failures() != failures_before) return fs_fail(FS_ERR_IO);
    fs_set_error(FS_ERR_NONE);
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
    if (handle_find_by_entry(FoundEntry.entry_sector, FoundEntry.entry_offset, NO_SLOT) == FS_OK)
        return fs_fail(FS_ERR_FILE_OPEN);
    const uint64_t failures = disk_failures();
    SectorBuffer buffer;
    remove_entries(buffer, nullptr);
    if (FoundEntry.first_cluster != 0) fat_free_chain(FoundEntry.first_cluster);
    return finish(failures);
}

FsStatus fs_rmdir(const char *path) {
    if (!path_names_entry(path)) return no_entry(path);
    // A directory lookup does not compare a component's extension, so
    // "DOT.D" would find an empty "DOT"; no directory holds a '.' in its
    // name, so such a path removes nothing.
    uint32_t last = str_len(path);
    while (last > 0 && path[last - 1] != '\\') last--;
    for (const char *c = path + last; *c != '\0'; c++)
        if (*c == '.' && c[1] != '\0') return fs_fail(FS_ERR_NOT_FOUND);
    // The current directory and every directory above it stay.
    uint32_t in_use[FS_PATH_MAX / 2];
    uint32_t in_use_count = current_path_clusters(in_use, FS_PATH_MAX / 2);

    DirCursor.search_kind = KIND_DIR;
    if (path_resolve(path) != FS_OK) return explain(path, KIND_DIR);
    uint32_t first = FoundEntry.first_cluster;
    if (!(FoundEntry.attr & ATTR_DIRECTORY)) return fs_fail(FS_ERR_NOT_DIRECTORY);
    if (!fat_cluster_valid(first)) return fs_fail(FS_ERR_DAMAGED);
    for (uint32_t i = 0; i < in_use_count; i++)
        if (in_use[i] == first) return fs_fail(FS_ERR_BUSY);

    const uint64_t failures = disk_failures();
    const DirCursorState after_entry = DirCursor;
    const FoundEntryRecord found = FoundEntry;
    bool empty = directory_empty(first);
    if (disk_failures() != failures) return fs_fail(FS_ERR_IO); // an unreadable sector proves nothing
    if (!empty) return fs_fail(FS_ERR_NOT_EMPTY);
    DirCursor = after_entry;
    FoundEntry = found;

    SectorBuffer buffer;
    remove_entries(buffer, nullptr);
    fat_free_chain(first);
    return finish(failures);
}

FsStatus fs_rename(const char *old_path, const char *new_name) {
    if (old_path == nullptr || new_name == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (str_len(old_path) > FS_PATH_MAX - 1 || str_len(new_name) > FS_PATH_MAX - 1)
        return fs_fail(FS_ERR_PATH_TOO_LONG);
    char old_copy[FS_PATH_MAX];
    char new_copy[FS_PATH_MAX];
    str_copy(old_path, old_copy);
    str_copy(new_name, new_copy);
    str_upper(old_copy); // the new name is stored in capitals
    str_upper(new_copy);
    if (!path_names_entry(old_copy)) return no_entry(old_copy);

    DirCursor.search_kind = KIND_FILE;
    if (path_resolve(old_copy) != FS_OK) return explain(old_copy, KIND_FILE);
    if (FoundEntry.attr & ATTR_DIRECTORY) return fs_fail(FS_ERR_IS_DIRECTORY);
    if (handle_find_by_entry(FoundEntry.entry_sector, FoundEntry.entry_offset, NO_SLOT) == FS_OK)
        return fs_fail(FS_ERR_FILE_OPEN);
    const uint32_t first_cluster = FoundEntry.first_cluster;
    const uint32_t size = FoundEntry.size;
    const uint32_t old_sector = FoundEntry.entry_sector;
    const uint32_t old_offset = FoundEntry.entry_offset;

    // Only the last component of the new name counts.
    uint32_t cut = str_len(new_copy);
    while (cut > 0 && new_copy[cut - 1] != '\\') cut--;
    const char *component = new_copy + cut;
    char directory[FS_PATH_MAX];
    const char *old_name = nullptr;
    if (path_split(old_copy, directory, &old_name) != FS_OK) return fs_fail(FS_ERR_NOT_FOUND);

    // The new name is checked before anything is erased.
    NewName name;
    if (newname_prepare(component, ATTR_ARCHIVE, &name) != FS_OK) return FS_FAIL;
    DirCursor.search_kind = KIND_DIR;
    if (path_resolve(directory) != FS_OK) return FS_FAIL;
    if (newname_check(&name, old_sector, old_offset) != FS_OK) return FS_FAIL;

    const uint64_t failures = disk_failures();
    DirCursor.search_kind = KIND_FILE;
    if (path_resolve(old_copy) != FS_OK) return FS_FAIL;
    SectorBuffer buffer;
    ErasedSlots erased;
    erased.count = 0;
    remove_entries(buffer, &erased);
    if (disk_failures() != failures) {
        // The old entry may still stand: a new one would share its clusters.
        restore_erased(erased);
        return fs_fail(FS_ERR_IO);
    }

    DirCursor.search_kind = KIND_DIR;
    if (path_resolve(directory) != FS_OK ||
        newname_create(&name, ATTR_ARCHIVE, first_cluster, size) != FS_OK) {
        FsError reason = fs_last_error();
        restore_erased(erased); // no room for the new entry: the file keeps its old one
        return fs_fail(reason);
    }
    return finish(failures);
}
}
