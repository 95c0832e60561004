// Open files: a table of two slots, each with a one-sector buffer through
// which all of a file's data passes. Every fs_write ends with its data and
// the new size on the image; fs_close writes nothing.
#include <string.h>

#include "fat16_dir.h"
#include "fat16_disk.h"
#include "fat16_file.h"
#include "fat16_layout.h"
#include "fat16_volume.h"

extern "C" {
OpenFile open_files[FS_OPEN_SLOTS];
}

namespace {

const uint32_t NOT_LOADED = 0xFFFF;        // sector_index before the first load
const uint32_t NOTHING_HELD = 0xFFFFFFFFu; // sector_index after a load that failed
const uint8_t NO_SLOT = 0xFF;

// Clusters of each slot's chain: measured when the file is opened (up to a
// loop or a link to no data cluster) and counted up as the slot appends.
// Reads never go past them and flushes never follow a chain beyond them.
uint32_t chain_clusters[FS_OPEN_SLOTS];

bool slot_open(uint8_t slot) { return slot < FS_OPEN_SLOTS && open_files[slot].in_use == 1; }

uint32_t none(FsError reason) {
    fs_set_error(reason);
    return 0;
}

// Why a handle cannot be used now.
FsError unusable(uint8_t handle) { return slot_open(handle) ? FS_ERR_NOT_MOUNTED : FS_ERR_BAD_HANDLE; }

uint32_t cluster_bytes(void) { return (uint32_t)VolumeGeometry.sectors_per_cluster * SECTOR_SIZE; }

// The bytes of the file this slot can read: its size, cut to what its chain holds.
uint32_t readable_bytes(uint8_t slot) {
    uint64_t held = (uint64_t)chain_clusters[slot] * cluster_bytes();
    return held < open_files[slot].size ? (uint32_t)held : open_files[slot].size;
}

// Whether each slot's entry already carries the time of its first write:
// with a clock, the first data of an open file that reaches the image
// stamps the modification time and access date, once per open file.
bool stamped[FS_OPEN_SLOTS];

// Stores a value into the file's 8.3 entry (`width` bytes at `field`),
// writing the sector only when something changes. With `stamp`, the
// modification time and access date become the clock's now in the same
// write.
void update_entry_field(const OpenFile &f, uint32_t field, uint32_t value, unsigned width,
                        bool stamp = false) {
    SectorBuffer scratch;
    if (disk_read_sector(scratch, f.entry_sector) != FS_OK) return;
    uint8_t *slot = scratch + f.entry_offset;
    bool changed = le_get(slot + field, width) != value;
    le_put(slot + field, value, width);
    FsDateTime now;
    if (stamp && fs_clock_now(&now)) {
        dir_put_times(slot, nullptr, &now, &now);
        changed = true;
    }
    if (changed) disk_write_sector(scratch, f.entry_sector);
}

} // namespace

extern "C" {

void file_reset(void) {
    for (uint8_t slot = 0; slot < FS_OPEN_SLOTS; slot++) {
        open_files[slot].in_use = 0;
        open_files[slot].dirty = 0;
    }
}

uint32_t fs_file_size(uint8_t handle) {
    if (!slot_open(handle)) return none(FS_ERR_BAD_HANDLE);
    fs_set_error(FS_ERR_NONE);
    return open_files[handle].size;
}

FsStatus handle_find_by_cluster(uint32_t cluster, uint8_t except_slot) {
    for (uint8_t slot = 0; slot < FS_OPEN_SLOTS; slot++) {
        if (slot == except_slot) continue;
        if (open_files[slot].in_use == 1 && open_files[slot].first_cluster == cluster) return FS_OK;
    }
    return FS_FAIL;
}

FsStatus handle_find_by_entry(uint32_t entry_sector, uint32_t entry_offset, uint8_t except_slot) {
    for (uint8_t slot = 0; slot < FS_OPEN_SLOTS; slot++) {
        if (slot == except_slot) continue;
        const OpenFile &f = open_files[slot];
        if (f.in_use == 1 && f.entry_sector == entry_sector && f.entry_offset == entry_offset) return FS_OK;
    }
    return FS_FAIL;
}

uint8_t handle_alloc(void) {
    for (uint8_t slot = 0; slot < FS_OPEN_SLOTS; slot++) {
        if (open_files[slot].in_use == 0) {
            open_files[slot].in_use = 1;
            open_files[slot].dirty = 0;
            return slot;
        }
    }
    return NO_SLOT;
}

FsStatus handle_release(uint8_t slot) {
    if (!slot_open(slot)) {
        fs_set_error(FS_ERR_BAD_HANDLE);
        return FS_BAD_HANDLE;
    }
    open_files[slot].in_use = 0;
    open_files[slot].dirty = 0;
    return FS_OK;
}

uint8_t fs_open(const char *path) {
    DirCursor.search_kind = KIND_FILE;
    if (path_resolve(path) != FS_OK) {
        path_explain_failure(path, KIND_FILE);
        return FS_FAIL;
    }
    if (!path_names_entry(path) || (FoundEntry.attr & ATTR_DIRECTORY)) return fs_fail(FS_ERR_IS_DIRECTORY);
    return file_open_found();
}

uint8_t file_open_found(void) {
    uint8_t slot = handle_alloc();
    if (slot == NO_SLOT) return fs_fail(FS_ERR_NO_HANDLE);
    OpenFile &f = open_files[slot];
    f.position = 0;
    f.sector_index = NOT_LOADED;
    f.first_cluster = FoundEntry.first_cluster;
    f.write_cluster = f.first_cluster;
    f.write_ordinal = 0;
    f.read_cluster = f.first_cluster;
    f.read_ordinal = 0;
    f.size = FoundEntry.size;
    f.entry_sector = FoundEntry.entry_sector;
    f.entry_offset = FoundEntry.entry_offset;
    f.dirty = 0;
    // A second slot on the same file (the same 8.3 entry) only reads, and
    // so does every slot on a read-only file.
    f.read_only = handle_find_by_entry(f.entry_sector, f.entry_offset, slot) == FS_OK ? 1 : 0;
    if (FoundEntry.attr & ATTR_READ_ONLY) f.read_only = 1;
    stamped[slot] = false;
    // A chain measured across an unreadable FAT sector would look shorter
    // than it is: such a file is not opened.
    const uint64_t failures = disk_failures();
    chain_clusters[slot] = fat_chain_length(f.first_cluster);
    file_load_sector(slot);
    if (disk_failures() != failures) {
        handle_release(slot);
        return fs_fail(FS_ERR_IO);
    }
    fs_set_error(FS_ERR_NONE);
    return slot;
}

FsStatus fs_close(uint8_t handle) {
    if (handle_release(handle) != FS_OK) return FS_FAIL;
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

FsStatus file_load_sector(uint8_t slot) {
    if (!slot_open(slot)) return FS_FAIL;
    OpenFile &f = open_files[slot];
    if (f.sector_index == f.position / SECTOR_SIZE) return FS_OK;
    if (f.dirty && file_flush_sector(slot) != FS_OK) return FS_FAIL;

    f.sector_index = f.position / SECTOR_SIZE;
    uint32_t ordinal = f.sector_index / VolumeGeometry.sectors_per_cluster;
    uint32_t within = f.sector_index % VolumeGeometry.sectors_per_cluster;
    if (ordinal >= chain_clusters[slot]) {
        // Past the chain's end (a write is about to extend the file): nothing
        // to read, and no bytes of another file may stay in the buffer.
        memset(f.buffer, 0, SECTOR_SIZE);
        return FS_OK;
    }
    uint32_t cluster = f.first_cluster;
    uint32_t k = 0;
    if (f.read_ordinal <= ordinal && fat_cluster_valid(f.read_cluster)) {
        cluster = f.read_cluster;
        k = f.read_ordinal;
    }
    for (; k < ordinal; k++) cluster = fat_read_entry(cluster); // within the measured, loop-free chain
    if (!fat_cluster_valid(cluster) ||
        disk_read_sector(f.buffer, cluster_to_sector(cluster) + within) != FS_OK) {
        f.sector_index = NOTHING_HELD;
        memset(f.buffer, 0, SECTOR_SIZE);
        return fs_fail(FS_ERR_IO);
    }
    f.read_cluster = cluster;
    f.read_ordinal = ordinal;
    return FS_OK;
}

FsStatus file_flush_sector(uint8_t slot) {
    if (!slot_open(slot) || !fs_is_mounted()) return fs_fail(unusable(slot));
    OpenFile &f = open_files[slot];
    const uint64_t failures = disk_failures();
    SectorBuffer scratch;
    // Positions never pass the size, and a sound file's size never passes
    // its chain, so a flush needs at most the one cluster after the chain's
    // end. A sector further out means a size that claims more than the chain
    // holds: the gap is not filled (that would allocate cluster after
    // cluster, up to the whole volume, for one sector of data).
    if (f.sector_index / VolumeGeometry.sectors_per_cluster > chain_clusters[slot])
        return fs_fail(FS_ERR_DAMAGED);
    if (f.first_cluster == 0) {
        uint32_t first = 0;
        if (fat_alloc_cluster(&first, scratch) != FS_OK)
            return fs_fail(disk_failures() != failures ? FS_ERR_IO : FS_ERR_NO_SPACE);
        f.first_cluster = first;
        update_entry_field(f, DIR_FIRST_CLUSTER, first, 2);
        f.write_cluster = f.read_cluster = first;
        f.write_ordinal = f.read_ordinal = 0;
        chain_clusters[slot] = 1;
    }
    if (chain_clusters[slot] == 0)
        return fs_fail(FS_ERR_DAMAGED); // a first cluster that names no data cluster

    uint32_t ordinal = f.sector_index / VolumeGeometry.sectors_per_cluster;
    uint32_t within = f.sector_index % VolumeGeometry.sectors_per_cluster;
    uint32_t cluster = f.first_cluster;
    uint32_t k = 0;
    if (f.write_ordinal <= ordinal && fat_cluster_valid(f.write_cluster)) {
        cluster = f.write_cluster;
        k = f.write_ordinal;
    }
    for (; k < ordinal; k++) {
        if (k + 1 < chain_clusters[slot]) {
            cluster = fat_read_entry(cluster);
            continue;
        }
        // Past the chain's last cluster: it must end in an end mark, and a
        // new cluster is appended there. Anything else (a bad-cluster mark,
        // a link to no data cluster, an unreadable FAT sector) is not grown.
        if (!fat_is_end_mark(fat_read_entry(cluster)))
            return fs_fail(disk_failures() != failures ? FS_ERR_IO : FS_ERR_DAMAGED);
        uint32_t added = 0;
        if (fat_append_cluster(cluster, &added, scratch) != FS_OK)
            return fs_fail(disk_failures() != failures ? FS_ERR_IO : FS_ERR_NO_SPACE);
        chain_clusters[slot]++;
        cluster = added;
    }
    if (!fat_cluster_valid(cluster)) return fs_fail(disk_failures() != failures ? FS_ERR_IO : FS_ERR_DAMAGED);
    f.write_cluster = cluster;
    f.write_ordinal = ordinal;
    // The buffer stays dirty until its data and the size are on the image.
    if (disk_write_sector(f.buffer, cluster_to_sector(cluster) + within) != FS_OK) return fs_fail(FS_ERR_IO);
    update_entry_field(f, DIR_SIZE, f.size, 4, !stamped[slot]);
    if (disk_failures() != failures) return fs_fail(FS_ERR_IO);
    stamped[slot] = true;
    f.dirty = 0;
    return FS_OK;
}

FsStatus fs_seek(uint8_t handle, int32_t offset, uint8_t origin) {
    if (!slot_open(handle) || !fs_is_mounted()) return fs_fail(unusable(handle));
    OpenFile &f = open_files[handle];
    uint32_t target = 0;
    switch (origin) {
    case ORIGIN_START:
        if (offset < 0 || (uint32_t)offset >= f.size) return fs_fail(FS_ERR_INVALID_ARGUMENT);
        target = (uint32_t)offset;
        break;
    case ORIGIN_CURRENT:
        target = f.position + (uint32_t)offset; // before the start wraps to a huge value
        if (target >= f.size) return fs_fail(FS_ERR_INVALID_ARGUMENT);
        break;
    case ORIGIN_END:
        if (offset > 0 || (int64_t)f.size + offset < 0) return fs_fail(FS_ERR_INVALID_ARGUMENT);
        target = (uint32_t)((int64_t)f.size + offset);
        break;
    default: return fs_fail(FS_ERR_INVALID_ARGUMENT);
    }
    f.position = target;
    file_load_sector(handle);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

uint32_t fs_read(uint8_t handle, uint8_t *dest, uint32_t count) {
    if (!slot_open(handle) || !fs_is_mounted()) return none(unusable(handle));
    if (dest == nullptr) return none(FS_ERR_INVALID_ARGUMENT);
    fs_set_error(FS_ERR_NONE);
    OpenFile &f = open_files[handle];
    uint32_t limit = readable_bytes(handle);
    if (f.position >= limit) return 0;
    if (count > limit - f.position) count = limit - f.position;
    uint32_t total = 0;
    while (count > 0) {
        if (f.sector_index != f.position / SECTOR_SIZE && file_load_sector(handle) != FS_OK) break;
        uint32_t off = f.position % SECTOR_SIZE;
        uint32_t n = SECTOR_SIZE - off < count ? SECTOR_SIZE - off : count;
        memcpy(dest + total, f.buffer + off, n);
        f.position += n;
        total += n;
        count -= n;
    }
    return total;
}

uint32_t fs_write(uint8_t handle, const uint8_t *src, uint32_t count) {
    if (!slot_open(handle) || !fs_is_mounted()) return none(unusable(handle));
    if (src == nullptr) return none(FS_ERR_INVALID_ARGUMENT);
    OpenFile &f = open_files[handle];
    if (f.read_only) return none(FS_ERR_READ_ONLY);
    fs_set_error(FS_ERR_NONE);
    if (count == 0) return 0;
    if (count > 0xFFFFFFFFu - f.position) count = 0xFFFFFFFFu - f.position; // sizes are 32-bit
    uint32_t total = 0;
    while (count > 0) {
        if (f.sector_index != f.position / SECTOR_SIZE && file_load_sector(handle) != FS_OK) return total;
        uint32_t off = f.position % SECTOR_SIZE;
        uint32_t n = SECTOR_SIZE - off < count ? SECTOR_SIZE - off : count;
        memcpy(f.buffer + off, src + total, n);
        f.dirty = 1;
        f.position += n;
        if (f.position > f.size) f.size = f.position;
        count -= n;
        if (count == 0) return file_flush_sector(handle) == FS_OK ? total + n : total;
        total += n;
    }
    return total;
}
}
