// The file allocation table and its cluster chains. The FAT lives only on
// the image: every access reads the sectors it needs, reads use the first
// copy and every change is written to all copies.
#include <string.h>

#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_volume.h"

namespace {

const uint32_t ENTRIES_PER_SECTOR = SECTOR_SIZE / 2;
const uint32_t UNADDRESSABLE = 0xFFFFFFFFu;

const uint8_t zero_sector[SECTOR_SIZE] = {0};

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

// Writes the first copy's FAT sector `sector` (already changed in `buffer`)
// and copies it over the same sector of every further copy.
void write_fat_sector_all_copies(const uint8_t *buffer, uint32_t sector) {
    for (uint32_t k = 0; k < VolumeGeometry.fat_count; k++)
        disk_write_sector(buffer, sector + k * VolumeGeometry.sectors_per_fat);
}

// Zero-fills every sector of `cluster`.
void zero_cluster(uint32_t cluster) {
    uint32_t first = cluster_to_sector(cluster);
    for (uint32_t k = 0; k < VolumeGeometry.sectors_per_cluster; k++)
        disk_write_sector(zero_sector, first + k);
}

// First-fit scan of the first FAT for a free data cluster, from `from` on.
// On success `buffer` holds the FAT sector of the cluster found. Entries 0
// and 1 are never handed out, even when a damaged FAT shows them free.
FsStatus scan_free(uint32_t from, uint8_t *buffer, uint32_t *found) {
    uint32_t limit = VolumeGeometry.cluster_count + 2;
    const uint32_t first = from < 2 ? 2 : from;
    for (uint32_t n = first; n < limit; n++) {
        uint32_t at = entry_offset(n);
        if ((at == 0 || n == first) && disk_read_sector(buffer, entry_sector(n)) != FS_OK) return FS_FAIL;
        if (buffer[at] == 0 && buffer[at + 1] == 0) {
            *found = n;
            return FS_OK;
        }
    }
    return FS_FAIL;
}

// The lowest free data cluster. The search starts at the hint; should a
// change made past this library have freed a cluster below it, a second
// search from the start still finds one before giving up.
FsStatus find_free_cluster(uint8_t *buffer, uint32_t *found) {
    const uint64_t failures = disk_failures();
    if (scan_free(free_hint, buffer, found) == FS_OK) {
        free_hint = *found;
        return FS_OK;
    }
    if (disk_failures() != failures || free_hint <= 2) return FS_FAIL;
    if (scan_free(2, buffer, found) != FS_OK) return FS_FAIL;
    free_hint = *found;
    return FS_OK;
}

// Sets the entry of `cluster` to `value` in every FAT copy, reading each
// copy's sector first so that the rest of it is kept as that copy has it.
void set_entry_all_copies(uint32_t cluster, uint32_t value, uint8_t *buffer) {
    for (uint32_t k = 0; k < VolumeGeometry.fat_count; k++) {
        uint32_t sector = entry_sector(cluster) + k * VolumeGeometry.sectors_per_fat;
        if (disk_read_sector(buffer, sector) != FS_OK) continue; // never write back a sector not read
        le_put(buffer + entry_offset(cluster), value, 2);
        disk_write_sector(buffer, sector);
    }
}

// Takes the lowest free cluster and makes it hold `value` in every copy.
// The cluster is zero-filled before the FAT marks it used, so an
// interruption never leaves a used cluster with stale content.
FsStatus take_free_cluster(uint32_t value, uint32_t *out_cluster, uint8_t *buffer) {
    uint32_t n = 0;
    if (find_free_cluster(buffer, &n) != FS_OK) return FS_FAIL;
    zero_cluster(n);
    le_put(buffer + entry_offset(n), value, 2);
    write_fat_sector_all_copies(buffer, entry_sector(n));
    *out_cluster = n;
    return FS_OK;
}

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
    SectorBuffer sector;
    // A sector that cannot be read gives no value at all: taken for an end
    // mark it would make a chain grow in front of its own remaining clusters.
    if (disk_read_sector(sector, entry_sector(cluster)) != FS_OK) return FAT_READ_FAILED;
    return le_get(sector + entry_offset(cluster), 2);
}

FsStatus fat_alloc_cluster(uint32_t *out_cluster, uint8_t *buffer) {
    if (!fs_is_mounted() || out_cluster == nullptr || buffer == nullptr) return FS_FAIL;
    if (take_free_cluster(FAT_END_OF_CHAIN, out_cluster, buffer) != FS_OK) return FS_FAIL;
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
    if (take_free_cluster(next, &n, buffer) != FS_OK) return FS_FAIL;
    set_entry_all_copies(cluster, n, buffer);
    memset(buffer, 0, SECTOR_SIZE);
    *out_cluster = n;
    return FS_OK;
}

FsStatus fat_free_chain(uint32_t cluster) {
    if (!fat_cluster_valid(cluster)) return FS_FAIL;
    SectorBuffer sector;
    // Freeing as it goes also ends a chain that loops: the walk comes back
    // to an entry it has already set to 0.
    for (uint32_t steps = 0; steps < VolumeGeometry.cluster_count + 2 && fat_cluster_valid(cluster);
         steps++) {
        uint32_t t = entry_sector(cluster);
        if (disk_read_sector(sector, t) != FS_OK) break;
        uint32_t next = le_get(sector + entry_offset(cluster), 2);
        le_put(sector + entry_offset(cluster), FAT_FREE, 2);
        write_fat_sector_all_copies(sector, t);
        if (cluster < free_hint) free_hint = cluster;
        cluster = next;
    }
    return FS_OK;
}

uint32_t fat_find_prev_cluster(uint32_t cluster) {
    const uint32_t not_found = 255;
    if (!fs_is_mounted()) return not_found;
    SectorBuffer sector;
    uint32_t limit = VolumeGeometry.cluster_count + 2;
    for (uint32_t i = 0; i < limit; i++) {
        uint32_t at = entry_offset(i);
        if (at == 0 && disk_read_sector(sector, entry_sector(i)) != FS_OK) return not_found;
        if (le_get(sector + at, 2) == cluster) return i;
    }
    return not_found;
}

uint32_t fat_chain_length(uint32_t first) {
    if (!fat_cluster_valid(first)) return 0;
    // Brent's cycle detection, with no memory of the clusters passed: the
    // hare follows the chain, the tortoise waits at powers of two. A chain
    // that ends reads each of its links once, and all its clusters are
    // distinct (a chain that comes back to a cluster never ends).
    uint32_t tortoise = first;
    uint32_t hare = fat_read_entry(first);
    uint32_t power = 1;
    uint32_t loop = 1; // links since the tortoise last moved
    uint32_t steps = 1;
    while (hare != tortoise) {
        if (hare == FAT_READ_FAILED) {
            // The hare may have passed a loop that has not shown itself yet.
            // No loop closed while the tortoise stood still before, so the
            // first power / 2 + 1 clusters are certainly distinct.
            return steps < power / 2 + 1 ? steps : power / 2 + 1;
        }
        if (!fat_cluster_valid(hare)) return steps;
        if (loop == power) {
            tortoise = hare;
            power *= 2;
            loop = 0;
        }
        hare = fat_read_entry(hare);
        loop++;
        steps++;
    }
    // The chain loops with `loop` clusters in its loop. Its distinct
    // clusters are those in front of the loop and the loop's: walk a second
    // pair, `loop` links apart, from the start until they meet where the
    // loop begins. A FAT sector that cannot be read on this second way ends
    // the chain there, as it would have on the first.
    hare = first;
    for (uint32_t k = 0; k < loop; k++) {
        uint32_t next = fat_read_entry(hare);
        if (!fat_cluster_valid(next)) return k + 1;
        hare = next;
    }
    tortoise = first;
    uint32_t ahead = 0; // clusters in front of the loop
    while (tortoise != hare && ahead < steps) {
        uint32_t next = fat_read_entry(tortoise);
        if (!fat_cluster_valid(next)) return ahead + 1;
        tortoise = next;
        next = fat_read_entry(hare);
        if (!fat_cluster_valid(next)) return ahead + loop + 1;
        hare = next;
        ahead++;
    }
    return ahead + loop;
}

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
