// The file allocation table and its cluster chains. FAT sectors are read
// through the device layer's window, so a sector read again costs nothing;
// reads use the first copy and every change writes the first copy's sector
// to all copies. A file's new clusters are claimed in the window and reach
// the device with fat_commit, after the file's data.
#include <string.h>

#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_volume.h"

namespace {

const uint32_t ENTRIES_PER_SECTOR = SECTOR_SIZE / 2;
const uint32_t UNADDRESSABLE = 0xFFFFFFFFu;

// No cluster below this one is free (as far as this library has changed the
// FAT since the mount): allocation searches from here, so that filling a
// large volume does not read the whole FAT again for every cluster.
uint32_t free_hint = 2;

uint32_t entry_sector(uint32_t cluster) { return VolumeGeometry.fat1_start + cluster / ENTRIES_PER_SECTOR; }
uint32_t entry_offset(uint32_t cluster) { return (cluster % ENTRIES_PER_SECTOR) * 2; }

// True for the entries the FAT holds for the mounted volume (0 and 1 included).
bool entry_in_range(uint32_t cluster) {
    return fs_is_mounted() && cluster <= VolumeGeometry.cluster_count + 1;
}

#if !FS_READ_ONLY
// The first FAT's sector of `cluster` in the window, for a change that is
// written to every copy of the FAT; null when it cannot be read (a sector
// that was not read is never written back).
uint8_t *change_entry_sector(uint32_t cluster) {
    return disk_window_change(entry_sector(cluster), VolumeGeometry.fat_count,
                              VolumeGeometry.sectors_per_fat);
}

// Sets the entry of `cluster` in the window; the change reaches every copy
// of the FAT when the sector is written. FS_FAIL when it cannot be read.
FsStatus change_entry(uint32_t cluster, uint32_t value) {
    uint8_t *sector = change_entry_sector(cluster);
    if (sector == nullptr) return FS_FAIL;
    le_put(sector + entry_offset(cluster), value, 2);
    return FS_OK;
}

// Sets the entry of `cluster` and writes its sector to every copy now.
FsStatus write_entry(uint32_t cluster, uint32_t value) {
    if (change_entry(cluster, value) != FS_OK) return FS_FAIL;
    return disk_window_write(entry_sector(cluster));
}

// First-fit scan of the first FAT for a free data cluster, from `from` on,
// each FAT sector read once. Entries 0 and 1 are never handed out, even
// when a damaged FAT shows them free.
FsStatus scan_free(uint32_t from, uint32_t *found) {
    uint32_t limit = VolumeGeometry.cluster_count + 2;
    uint32_t n = from < 2 ? 2 : from;
    while (n < limit) {
        const uint8_t *sector = disk_window_read(entry_sector(n));
        if (sector == nullptr) return FS_FAIL;
        uint32_t end = (n / ENTRIES_PER_SECTOR + 1) * ENTRIES_PER_SECTOR;
        if (end > limit) end = limit;
        for (; n < end; n++) {
            uint32_t at = entry_offset(n);
            if (sector[at] == 0 && sector[at + 1] == 0) {
                *found = n;
                return FS_OK;
            }
        }
    }
    return FS_FAIL;
}

// The lowest free data cluster. The search starts at the hint; should a
// change made past this library have freed a cluster below it, a second
// search from the start still finds one before giving up.
FsStatus find_free_cluster(uint32_t *found) {
    const DiskFailMark failures = disk_failures();
    if (scan_free(free_hint, found) == FS_OK) {
        free_hint = *found;
        return FS_OK;
    }
    if (disk_failed_since(failures) || free_hint <= 2) return FS_FAIL;
    if (scan_free(2, found) != FS_OK) return FS_FAIL;
    free_hint = *found;
    return FS_OK;
}

// Frees the chain from `cluster` on in the window, up to its end mark, a
// link to no data cluster, a loop (the walk comes back to an entry it has
// already set to 0) or an unreadable FAT sector. With `write`, each FAT
// sector goes to every copy once, when the walk leaves it; without, the
// changes stay in the window (claims the device never saw).
void free_from(uint32_t cluster, bool write) {
    uint32_t held = UNADDRESSABLE; // the FAT sector changed and not yet written
    for (uint32_t steps = 0; steps < VolumeGeometry.cluster_count + 2 && fat_cluster_valid(cluster);
         steps++) {
        if (write && held != UNADDRESSABLE && held != entry_sector(cluster)) disk_window_write(held);
        uint8_t *sector = change_entry_sector(cluster);
        if (sector == nullptr) break;
        held = entry_sector(cluster);
        uint32_t next = le_get(sector + entry_offset(cluster), 2);
        le_put(sector + entry_offset(cluster), FAT_FREE, 2);
        if (cluster < free_hint) free_hint = cluster;
        cluster = next;
    }
    if (write && held != UNADDRESSABLE) disk_window_write(held);
}

// Takes the lowest free cluster and makes it hold `value` in every copy.
// The cluster is zero-filled before the FAT marks it used, so an
// interruption never leaves a used cluster with stale content.
FsStatus take_free_cluster(uint32_t value, uint32_t *out_cluster) {
    uint32_t n = 0;
    if (find_free_cluster(&n) != FS_OK) return FS_FAIL;
    if (disk_write_zeros(cluster_to_sector(n), VolumeGeometry.sectors_per_cluster) != FS_OK) return FS_FAIL;
    if (write_entry(n, value) != FS_OK) return FS_FAIL;
    *out_cluster = n;
    return FS_OK;
}

#endif

} // namespace

extern "C" {

void fat_forget_free_hint(void) { free_hint = 2; }

uint8_t fat_cluster_valid(uint32_t cluster) {
    return fs_is_mounted() && cluster >= 2 && cluster <= VolumeGeometry.cluster_count + 1;
}

uint32_t cluster_to_sector(uint32_t cluster) {
    // An invalid cluster maps to a sector the device refuses, so that no
    // read or write can land in the system area or outside the volume.
    if (!fat_cluster_valid(cluster)) return UNADDRESSABLE;
    return (cluster - 2) * VolumeGeometry.sectors_per_cluster + VolumeGeometry.first_data_sector;
}

uint8_t fat_is_end_mark(uint32_t value) { return value >= FAT_END_MIN && value <= FAT_END_OF_CHAIN ? 1 : 0; }

uint32_t fat_read_entry(uint32_t cluster) {
    if (!entry_in_range(cluster)) return FAT_END_OF_CHAIN;
    // A sector that cannot be read gives no value at all: taken for an end
    // mark it would make a chain grow in front of its own remaining clusters.
    const uint8_t *sector = disk_window_read(entry_sector(cluster));
    if (sector == nullptr) return FAT_READ_FAILED;
    return le_get(sector + entry_offset(cluster), 2);
}

#if !FS_READ_ONLY
FsStatus fat_alloc_cluster(uint32_t *out_cluster, uint8_t *buffer) {
    if (!fs_is_mounted() || out_cluster == nullptr || buffer == nullptr) return FS_FAIL;
    if (take_free_cluster(FAT_END_OF_CHAIN, out_cluster) != FS_OK) return FS_FAIL;
    memset(buffer, 0, SECTOR_SIZE);
    return FS_OK;
}

FsStatus fat_append_cluster(uint32_t cluster, uint32_t *out_cluster, uint8_t *buffer) {
    if (!fat_cluster_valid(cluster) || out_cluster == nullptr || buffer == nullptr) return FS_FAIL;
    // The new cluster takes over what followed `cluster` (the end mark at the
    // end of a chain) and is linked in last, once it is complete.
    uint32_t next = fat_read_entry(cluster);
    if (next == FAT_READ_FAILED) return FS_FAIL;
    uint32_t n = 0;
    if (take_free_cluster(next, &n) != FS_OK) return FS_FAIL;
    if (write_entry(cluster, n) != FS_OK) return FS_FAIL;
    memset(buffer, 0, SECTOR_SIZE);
    *out_cluster = n;
    return FS_OK;
}

FsStatus fat_free_chain(uint32_t cluster) {
    if (!fat_cluster_valid(cluster)) return FS_FAIL;
    free_from(cluster, true);
    return FS_OK;
}

FsStatus fat_claim_cluster(uint32_t after, uint32_t *out_cluster) {
    if (!fs_is_mounted() || out_cluster == nullptr) return FS_FAIL;
    uint32_t n = 0;
    if (find_free_cluster(&n) != FS_OK || change_entry(n, FAT_END_OF_CHAIN) != FS_OK) return FS_FAIL;
    if (fat_cluster_valid(after) && change_entry(after, n) != FS_OK) {
        change_entry(n, FAT_FREE);
        return FS_FAIL;
    }
    *out_cluster = n;
    return FS_OK;
}

void fat_release_claims(uint32_t first) {
    // Claims are in the window only: freeing them there leaves the device
    // as it was.
    free_from(first, false);
}

FsStatus fat_end_chain_at(uint32_t cluster) {
    if (!fat_cluster_valid(cluster)) return FS_FAIL;
    return change_entry(cluster, FAT_END_OF_CHAIN);
}

FsStatus fat_commit(uint32_t from, uint32_t to) {
    if (!fs_is_mounted()) return FS_FAIL;
    if (!fat_cluster_valid(from) || !fat_cluster_valid(to)) return disk_flush();
    // Everything else first: claimed clusters are reachable from nowhere
    // until the link from the chain's old end is on the device.
    uint32_t old_end = fat_read_entry(from);
    if (old_end == FAT_READ_FAILED || change_entry(from, to) != FS_OK) {
        disk_flush();
        return FS_FAIL;
    }
    if (disk_flush_with_last(entry_sector(from)) == FS_OK) return FS_OK;
    // The link may not have reached the device: the chain keeps its old end
    // in the window too, and the claims are lost clusters at worst.
    change_entry(from, old_end);
    return FS_FAIL;
}

#endif

uint32_t fat_find_prev_cluster(uint32_t cluster) {
    const uint32_t not_found = 255;
    if (!fs_is_mounted()) return not_found;
    uint32_t limit = VolumeGeometry.cluster_count + 2;
    const uint8_t *sector = nullptr;
    for (uint32_t i = 0; i < limit; i++) {
        uint32_t at = entry_offset(i);
        if (at == 0 || sector == nullptr) sector = disk_window_read(entry_sector(i));
        if (sector == nullptr) return not_found;
        if (le_get(sector + at, 2) == cluster) return i;
    }
    return not_found;
}

uint32_t fat_chain_distinct(uint32_t first, uint32_t (*next_of)(uint32_t)) {
    if (!fat_cluster_valid(first)) return 0;
    // The guard recognises a loop when it closes, with no memory of the
    // clusters passed: a chain that ends is read once, and all its clusters
    // are distinct (a chain that comes back to a cluster never ends).
    FatChainGuard guard;
    fat_guard_start(&guard, first);
    uint32_t c = first;
    uint32_t steps = 1;
    for (;;) {
        uint32_t next = next_of(c);
        if (next == FAT_READ_FAILED) {
            // The walk may have passed a loop that has not shown itself yet.
            // None closed while the guard's cluster stood still before, so
            // the first power / 2 + 1 clusters are certainly distinct.
            uint32_t sure = guard.power / 2 + 1;
            return steps < sure ? steps : sure;
        }
        if (!fat_cluster_valid(next)) return steps;
        if (fat_guard_step(&guard, next) != FS_OK) {
            if (next == guard.saved) break; // the loop closed
            // Longer than the volume has clusters: `next` lies in the loop.
            // Its length is measured from there.
            fat_guard_start(&guard, next);
        }
        c = next;
        steps++;
    }
    // The chain loops with `loop` clusters in its loop (or has run longer
    // than the volume has clusters, which only a loop can). Its distinct
    // clusters are those in front of the loop and the loop's: walk a pair,
    // `loop` links apart, from the start until they meet where the loop
    // begins. A FAT sector that cannot be read on this second way ends the
    // chain there, as it would have on the first.
    uint32_t loop = guard.lambda + 1;
    if (loop > steps) loop = steps;
    uint32_t hare = first;
    for (uint32_t k = 0; k < loop; k++) {
        uint32_t next = next_of(hare);
        if (!fat_cluster_valid(next)) return k + 1;
        hare = next;
    }
    uint32_t tortoise = first;
    uint32_t ahead = 0; // clusters in front of the loop
    while (tortoise != hare && ahead < steps) {
        uint32_t next = next_of(tortoise);
        if (!fat_cluster_valid(next)) return ahead + 1;
        tortoise = next;
        next = next_of(hare);
        if (!fat_cluster_valid(next)) return ahead + loop + 1;
        hare = next;
        ahead++;
    }
    return ahead + loop;
}

uint32_t fat_chain_length(uint32_t first) { return fat_chain_distinct(first, fat_read_entry); }

void fat_guard_start(FatChainGuard *guard, uint32_t first_cluster) {
    guard->saved = first_cluster;
    guard->power = 1;
    guard->lambda = 0;
    guard->steps = 0;
}

FsStatus fat_guard_step(FatChainGuard *guard, uint32_t next) {
    guard->steps++;
    if (guard->steps > VolumeGeometry.cluster_count + 2) return FS_FAIL;
    if (next == guard->saved) return FS_FAIL;
    guard->lambda++;
    if (guard->lambda == guard->power) {
        guard->saved = next;
        guard->power *= 2;
        guard->lambda = 0;
    }
    return FS_OK;
}
}
