// Open files: a table of FS_OPEN_FILES slots, each with a one-sector buffer
// (with FS_TINY, a place in the window) for the sector that a write or read
// only partly covers. Whole sectors move
// between the caller's memory and the device in runs over consecutive
// clusters. A file's new clusters are claimed in the sector window and
// linked once its data is on the device: without write-back every fs_write
// ends with its data, its FAT links and its size there, in that order.
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

// The table handles index: the built-in one, or the caller's
// (fs_use_open_files).
OpenFile *table = open_files;
uint8_t table_slots = FS_OPEN_SLOTS;

const uint32_t NOTHING_HELD = 0xFFFFFFFFu; // sector_index when the buffer holds none of the file's
const uint32_t NO_SECTOR = 0xFFFFFFFFu;    // fresh_sector when no claimed sector waits for data
const uint8_t NO_SLOT = 0xFF;

bool slot_open(uint8_t slot) { return slot < table_slots && table[slot].in_use == 1; }

#if !FS_READ_ONLY
uint8_t slot_of(const OpenFile &f) { return (uint8_t)(&f - table); }

FsStatus write_held(uint8_t slot);
#endif

uint32_t none(FsError reason) {
    fs_set_error(reason);
    return 0;
}

// FS_OK when the handle is a slot in use on a mounted volume; else FS_FAIL
// with the reason.
FsStatus check_handle(uint8_t handle) {
    if (!slot_open(handle)) return fs_fail(FS_ERR_BAD_HANDLE);
    return fs_is_mounted() ? FS_OK : fs_fail(FS_ERR_NOT_MOUNTED);
}

#if !FS_READ_ONLY
bool write_back(void) { return (fs_get_options() & FS_OPT_WRITE_BACK) != 0; }
#endif

uint32_t per_cluster(void) { return VolumeGeometry.sectors_per_cluster; }

// The sectors that `bytes` bytes take (in 32 bits, even for the largest
// size).
uint32_t sectors_for(uint32_t bytes) { return bytes / SECTOR_SIZE + (bytes % SECTOR_SIZE != 0); }

// The bytes this slot can read: its size, cut to what its chain holds and
// the sector its buffer holds beyond it (written back later).
uint32_t readable_bytes(const OpenFile &f) {
    uint32_t held = f.chain_clusters * per_cluster(); // sectors
    if (f.dirty && f.sector_index + 1 > held) held = f.sector_index + 1;
    return held < sectors_for(f.size) ? held * SECTOR_SIZE : f.size;
}

// The link after `cluster` as the slot sees its chain: claims not yet
// linked on the device follow the chain's old end.
uint32_t next_cluster(const OpenFile &f, uint32_t cluster) {
    if (f.link_to != 0 && f.link_from != 0 && cluster == f.link_from) return f.link_to;
    return fat_read_entry(cluster);
}

// The cluster at `ordinal` of the slot's chain (below chain_clusters, a
// measured, loop-free chain), from the place a cache pair remembers when it
// lies before; the pair then remembers this one. 0 when a link cannot be
// read or leads nowhere.
uint32_t cluster_at(OpenFile &f, uint32_t ordinal, uint32_t *cached_cluster, uint32_t *cached_ordinal) {
    uint32_t cluster = f.first_cluster;
    uint32_t k = 0;
    if (*cached_ordinal <= ordinal && fat_cluster_valid(*cached_cluster)) {
        cluster = *cached_cluster;
        k = *cached_ordinal;
    }
    for (; k < ordinal; k++) {
        cluster = next_cluster(f, cluster);
        if (!fat_cluster_valid(cluster)) return 0;
    }
    *cached_cluster = cluster;
    *cached_ordinal = ordinal;
    return cluster;
}

// Both caches start from the first cluster again (after the chain changed
// under them).
void rewind_caches(OpenFile &f) {
    f.write_cluster = f.read_cluster = f.first_cluster;
    f.write_ordinal = f.read_ordinal = 0;
}

#if !FS_READ_ONLY
// The clusters that `bytes` bytes take.
uint32_t clusters_for(uint32_t bytes) { return (sectors_for(bytes) + per_cluster() - 1) / per_cluster(); }

// The chain's last cluster (the write cache usually stands there or close).
uint32_t last_cluster(OpenFile &f) {
    if (f.chain_clusters == 0) return 0;
    return cluster_at(f, f.chain_clusters - 1, &f.write_cluster, &f.write_ordinal);
}

// Claims one cluster after the chain's end. The chain must end in an end
// mark (or in a claim of this slot); its old end is linked at the commit.
FsStatus extend_chain(OpenFile &f, DiskFailMark failures, uint32_t *out) {
    uint32_t after = 0; // a claim of this slot to link the new one from
    uint32_t last = 0;
    if (f.first_cluster != 0) {
        if (f.chain_clusters == 0)
            return fs_fail(FS_ERR_DAMAGED); // a first cluster that names no data cluster
        last = last_cluster(f);
        if (last == 0) return disk_fail_since(failures, FS_ERR_DAMAGED);
        if (f.link_to != 0) {
            after = last;
        } else if (!fat_is_end_mark(fat_read_entry(last))) {
            // A bad-cluster mark, a link to no data cluster or an unreadable
            // FAT sector: such a chain is not grown.
            return disk_fail_since(failures, FS_ERR_DAMAGED);
        }
    }
    uint32_t added = 0;
    if (fat_claim_cluster(after, &added) != FS_OK) return disk_fail_since(failures, FS_ERR_NO_SPACE);
    if (f.link_to == 0) {
        f.base_clusters = f.chain_clusters;
        f.link_from = last;
        f.link_to = added;
    }
    if (f.first_cluster == 0) {
        f.first_cluster = added;
        f.write_cluster = f.read_cluster = added;
        f.write_ordinal = f.read_ordinal = 0;
        f.entry_stale = 1;
    }
    if (f.fresh_sector == NO_SECTOR) f.fresh_sector = f.chain_clusters * per_cluster();
    f.chain_clusters++;
    *out = added;
    return FS_OK;
}

// The cluster that holds file sector ordinal `ordinal` for a write: one of
// the chain, or a new one right after it. A sector further out means a
// size that claims more than the chain holds: the gap is not filled (that
// would allocate cluster after cluster for one sector of data).
FsStatus cluster_for_write(OpenFile &f, uint32_t ordinal, DiskFailMark failures, uint32_t *out) {
    if (ordinal < f.chain_clusters) {
        *out = cluster_at(f, ordinal, &f.write_cluster, &f.write_ordinal);
        return *out != 0 ? FS_OK : disk_fail_since(failures, FS_ERR_DAMAGED);
    }
    if (ordinal > f.chain_clusters) return fs_fail(FS_ERR_DAMAGED);
    if (extend_chain(f, failures, out) != FS_OK) return FS_FAIL;
    f.write_cluster = *out;
    f.write_ordinal = ordinal;
    return FS_OK;
}

// File sectors first .. first + count - 1 are on the device now.
void note_written(OpenFile &f, uint32_t first, uint32_t count) {
    if (f.fresh_sector != NO_SECTOR && f.fresh_sector < first + count) f.fresh_sector = first + count;
}

// Gives back the claims past the chain's first `keep` clusters (at least
// the clusters it had before its claims), in the window.
void release_claims_past(OpenFile &f, uint32_t keep) {
    if (f.link_to == 0 || keep >= f.chain_clusters) return;
    if (keep <= f.base_clusters) {
        keep = f.base_clusters;
        fat_release_claims(f.link_to);
        if (f.link_from == 0) f.first_cluster = 0;
        f.link_to = 0;
        f.link_from = 0;
    } else {
        uint32_t last = cluster_at(f, keep - 1, &f.write_cluster, &f.write_ordinal);
        fat_release_claims(fat_read_entry(last));
        fat_end_chain_at(last);
    }
    f.chain_clusters = keep;
    rewind_caches(f);
    if (f.fresh_sector != NO_SECTOR && f.fresh_sector >= keep * per_cluster()) f.fresh_sector = NO_SECTOR;
}

// Gives back the claims past what the slot's size needs, after a transfer
// failed: the chain keeps no cluster that holds none of the file's bytes.
void trim_claims(OpenFile &f) { release_claims_past(f, clusters_for(f.size)); }

// After a commit failed: the claims may not have reached the device. They
// are given back (what the window still holds of them), and the slot goes
// back to what the device has: its old chain and the size its entry holds.
void forget_claims(OpenFile &f) {
    if (f.link_to == 0) return;
    release_claims_past(f, f.base_clusters);
    f.size = f.entry_size;
    if (f.position > f.size) f.position = f.size;
    f.dirty = 0;
    f.sector_index = NOTHING_HELD;
}

#if FS_TINY
uint32_t device_sector(OpenFile &f, uint32_t s);

// Writes the change the window holds of the slot's sector (the window may
// have written it already, giving up its place).
FsStatus write_held(uint8_t slot) {
    OpenFile &f = table[slot];
    if (!f.dirty) return FS_OK;
    uint32_t at = device_sector(f, f.sector_index);
    if (at == 0 || disk_window_write(at) != FS_OK) {
        trim_claims(f);
        return fs_fail(FS_ERR_IO);
    }
    f.dirty = 0;
    return FS_OK;
}
#else
// Writes the slot's buffer to its sector, claiming the cluster it needs.
// Only the data: the metadata waits for the commit.
FsStatus write_held(uint8_t slot) {
    OpenFile &f = table[slot];
    const DiskFailMark failures = disk_failures();
    uint32_t ordinal = f.sector_index / per_cluster();
    uint32_t cluster = 0;
    if (cluster_for_write(f, ordinal, failures, &cluster) != FS_OK) return FS_FAIL;
    // The buffer stays dirty until its data is on the device.
    uint32_t within = f.sector_index % per_cluster();
    if (disk_write_sectors(f.buffer, cluster_to_sector(cluster) + within, 1) != FS_OK) {
        trim_claims(f);
        return fs_fail(FS_ERR_IO);
    }
    note_written(f, f.sector_index, 1);
    f.dirty = 0;
    return FS_OK;
}
#endif

// Stores the size and first cluster into the file's 8.3 entry, writing the
// sector only when something changes. The first time for the slot with a
// clock, the modification time and access date become now in the same
// write.
FsStatus write_entry(OpenFile &f, uint32_t size) {
    const uint8_t *sector = disk_window_read(f.entry_sector);
    if (sector == nullptr) return FS_FAIL;
    const uint8_t *slot = sector + f.entry_offset;
    FsDateTime now;
    bool stamp = !f.stamped && fs_clock_now(&now);
    if (!stamp && le_get(slot + DIR_SIZE, 4) == size &&
        le_get(slot + DIR_FIRST_CLUSTER, 2) == f.first_cluster)
        return FS_OK;
    uint8_t *changed = disk_window_change(f.entry_sector, 1, 0);
    if (changed == nullptr) return FS_FAIL;
    uint8_t *entry = changed + f.entry_offset;
    le_put(entry + DIR_FIRST_CLUSTER, f.first_cluster & 0xFFFFu, 2);
    le_put(entry + DIR_SIZE, size, 4);
    if (stamp) dir_put_times(entry, nullptr, &now, &now);
    return disk_window_write(f.entry_sector);
}

// Writes zeros to the claimed sectors that got no data, up to the chain's
// end, so that no stale bytes of another file stay in the file's slack.
FsStatus zero_fresh(OpenFile &f) {
    if (f.fresh_sector == NO_SECTOR) return FS_OK;
    uint32_t end = f.chain_clusters * per_cluster();
    for (uint32_t s = f.fresh_sector; s < end;) {
        uint32_t cluster = cluster_at(f, s / per_cluster(), &f.write_cluster, &f.write_ordinal);
        uint32_t count = per_cluster() - s % per_cluster();
        if (cluster == 0 || disk_write_zeros(cluster_to_sector(cluster) + s % per_cluster(), count) != FS_OK)
            return FS_FAIL;
        s += count;
        f.fresh_sector = s;
    }
    f.fresh_sector = NO_SECTOR;
    return FS_OK;
}

#endif

#if !FS_READ_ONLY
// Whether the slot holds anything that is not on the device yet.
bool pending(const OpenFile &f) {
    return f.dirty || f.link_to != 0 || f.fresh_sector != NO_SECTOR || f.entry_stale ||
           f.entry_size != f.size;
}
#endif

// Handles that share a file exist only in a caller's table: the code that
// keeps them in step is reached through this pointer, which
// fs_use_open_files sets (`before`: settle, else share), so that a
// program that never calls it does not link that code.
#if !FS_READ_ONLY
FsStatus (*in_step)(uint8_t slot, bool before) = nullptr;

void share(uint8_t slot) {
    if (in_step != nullptr) in_step(slot, false);
}

FsStatus settle(uint8_t slot) { return in_step != nullptr ? in_step(slot, true) : FS_OK; }
#else
// Handles that only read never change their file: there is nothing to keep
// in step.
FsStatus settle(uint8_t) { return FS_OK; }
#endif

#if !FS_READ_ONLY
// Makes what the slot holds durable, in the order a power cut needs: the
// held sector, zeros in the claimed sectors that got no data, the FAT
// changes and the link from the chain's old end, then the entry.
FsStatus sync_own(uint8_t slot) {
    OpenFile &f = table[slot];
    const DiskFailMark failures = disk_failures();
    FsError reason = FS_ERR_NONE;
    if (f.dirty && write_held(slot) != FS_OK) reason = fs_last_error();
    if (zero_fresh(f) != FS_OK && reason == FS_ERR_NONE) reason = FS_ERR_IO;
    if (f.link_to != 0) {
        // Never an entry that names clusters the FAT does not link yet.
        if (fat_commit(f.link_from, f.link_to) != FS_OK) {
            forget_claims(f);
            return fs_fail(FS_ERR_IO);
        }
        f.link_to = 0;
        f.link_from = 0;
    }
    if (f.entry_stale || f.entry_size != f.size) {
        // A held sector that could not be written keeps its bytes out of the size.
        uint32_t size = f.size;
        if (f.dirty && f.sector_index != NOTHING_HELD) {
            if (f.sector_index < sectors_for(size)) {
                uint32_t held_start = f.sector_index * SECTOR_SIZE;
                size = held_start > f.entry_size ? held_start : f.entry_size;
            }
        }
        if (write_entry(f, size) != FS_OK || disk_failed_since(failures)) return fs_fail(FS_ERR_IO);
        f.stamped = 1;
        f.entry_size = size;
        f.entry_stale = 0;
    }
    if (reason != FS_ERR_NONE) return fs_fail(reason);
    return disk_failed_since(failures) ? fs_fail(FS_ERR_IO) : FS_OK;
}

// sync_own, and the other slots on the file take over what it left.
FsStatus sync_slot(uint8_t slot) {
    FsStatus status = sync_own(slot);
    share(slot);
    return status;
}

// The end of a public call on the slot: without write-back, what it left
// goes to the device.
FsStatus end_call(uint8_t slot) {
    if (write_back() || !pending(table[slot])) return FS_OK;
    return sync_slot(slot);
}

#endif

// Whether handles on one file share it (a caller's table); in the built-in
// table a second handle only reads, with the size and chain it opened with.
bool shared_files(void) { return table != open_files; }

#if !FS_READ_ONLY
// Whether two slots hold the same file (its 8.3 entry).
bool same_file(const OpenFile &a, const OpenFile &b) {
    return a.entry_sector == b.entry_sector && a.entry_offset == b.entry_offset;
}

// Several slots on one file share its size and chain: after a slot changed
// them, the others take them over. They hold nothing pending then (settle
// synced them before this slot worked), and they take nothing to write
// either: what this slot holds is its own to sync, and settle syncs it
// before another slot works. Their caches start from the first cluster
// again, and a clean buffer is read again: this slot may have written its
// sector.
void share_now(uint8_t slot) {
    const OpenFile &f = table[slot];
    for (uint8_t t = 0; t < table_slots; t++) {
        OpenFile &o = table[t];
        if (t == slot || !slot_open(t) || !same_file(o, f) || pending(o)) continue;
        o.size = o.entry_size = f.size;
        o.first_cluster = f.first_cluster;
        o.chain_clusters = o.base_clusters = f.chain_clusters;
        rewind_caches(o);
        o.sector_index = NOTHING_HELD;
        if (o.position > o.size) o.position = o.size;
    }
}

// Before a slot works on its file: what the other slots on it hold goes to
// the device (and to this slot, by share). FS_FAIL when that failed.
FsStatus settle_now(uint8_t slot) {
    for (uint8_t t = 0; t < table_slots; t++) {
        if (t == slot || !slot_open(t) || !same_file(table[t], table[slot]) || !pending(table[t])) continue;
        if (sync_slot(t) != FS_OK) return FS_FAIL;
    }
    return FS_OK;
}

FsStatus keep_in_step(uint8_t slot, bool before) {
    if (before) return settle_now(slot);
    share_now(slot);
    return FS_OK;
}
#endif

// Whether file sector `s` holds no data yet: past the chain, claimed and
// never written, or wholly past the size. It reads as zeros, unread.
bool unwritten(const OpenFile &f, uint32_t s) {
    return s / per_cluster() >= f.chain_clusters || (f.fresh_sector != NO_SECTOR && s >= f.fresh_sector) ||
           s >= sectors_for(f.size);
}

#if FS_TINY
// With FS_TINY the slots have no sector buffer: the sector a slot holds
// lives in the window, at its place on the device, and is read again when
// the window gave it up (writing out a change it held). A sector that holds
// no data yet gets its place when it is first changed: its cluster is
// claimed then, and the place starts as zeros, not read.
uint32_t device_sector(OpenFile &f, uint32_t s) {
    uint32_t cluster = cluster_at(f, s / per_cluster(), &f.read_cluster, &f.read_ordinal);
    return cluster == 0 ? 0 : cluster_to_sector(cluster) + s % per_cluster();
}

// The bytes of the held sector, good until the next transfer; null when
// they cannot be read.
const uint8_t *held_bytes(OpenFile &f) {
    if (unwritten(f, f.sector_index)) return disk_zero_sector();
    uint32_t at = device_sector(f, f.sector_index);
    return at != 0 ? disk_window_read(at) : nullptr;
}

#if !FS_READ_ONLY
// The held sector's bytes to change at once; null (with the reason) when
// no cluster could be claimed for it or it cannot be read.
uint8_t *held_to_change(uint8_t slot) {
    OpenFile &f = table[slot];
    const uint32_t s = f.sector_index;
    const DiskFailMark failures = disk_failures();
    const bool fresh = unwritten(f, s);
    uint32_t cluster = 0;
    if (cluster_for_write(f, s / per_cluster(), failures, &cluster) != FS_OK) return nullptr;
    uint32_t at = cluster_to_sector(cluster) + s % per_cluster();
    uint8_t *bytes = fresh ? disk_window_fresh(at) : disk_window_change(at, 1, 0);
    if (bytes == nullptr) {
        fs_set_error(FS_ERR_IO);
        return nullptr;
    }
    if (fresh) note_written(f, s, 1); // its place in the window is the file's now
    return bytes;
}
#endif

// Makes the slot hold file sector `s`, in the window: the change the slot
// holds of another sector is written first. FS_FAIL when it cannot be read.
FsStatus hold_sector(uint8_t slot, uint32_t s) {
    OpenFile &f = table[slot];
    if (f.sector_index != s) {
#if !FS_READ_ONLY
        if (f.dirty && write_held(slot) != FS_OK) return FS_FAIL;
#endif
        f.sector_index = s;
    }
    if (held_bytes(f) != nullptr) return FS_OK;
    f.sector_index = NOTHING_HELD;
    f.dirty = 0; // a change the window gave up was written then
    return fs_fail(FS_ERR_IO);
}
#else
const uint8_t *held_bytes(OpenFile &f) { return f.buffer; }
#if !FS_READ_ONLY
uint8_t *held_to_change(uint8_t slot) { return table[slot].buffer; }
#endif

// Makes the buffer hold file sector `s`: the dirty sector it holds is
// written first. A sector that holds no data yet is not read: zeros.
FsStatus hold_sector(uint8_t slot, uint32_t s) {
    OpenFile &f = table[slot];
    if (f.sector_index == s) return FS_OK;
#if !FS_READ_ONLY
    if (f.dirty && write_held(slot) != FS_OK) return FS_FAIL;
#endif
    f.sector_index = s;
    if (unwritten(f, s)) {
        memset(f.buffer, 0, SECTOR_SIZE);
        return FS_OK;
    }
    uint32_t cluster = cluster_at(f, s / per_cluster(), &f.read_cluster, &f.read_ordinal);
    if (cluster == 0 ||
        disk_read_sectors(f.buffer, cluster_to_sector(cluster) + s % per_cluster(), 1) != FS_OK) {
        f.sector_index = NOTHING_HELD;
        memset(f.buffer, 0, SECTOR_SIZE);
        return fs_fail(FS_ERR_IO);
    }
    return FS_OK;
}
#endif

// After a run of whole sectors, the buffer holds the run's last one, as it
// would had the sectors passed through it (with FS_TINY the slot holds
// none: the window has its copy if it holds the sector).
void keep_last_of_run(OpenFile &f, const uint8_t *run, uint32_t first, uint32_t count) {
    f.dirty = 0;
#if FS_TINY
    (void)run;
    (void)first;
    (void)count;
    f.sector_index = NOTHING_HELD;
#else
    memcpy(f.buffer, run + (count - 1) * SECTOR_SIZE, SECTOR_SIZE);
    f.sector_index = first + count - 1;
#endif
}

// The run of whole sectors from file sector `s` for at most `wanted`
// sectors over consecutive clusters of the chain, claiming clusters past
// its end for a write. FS_OK with the device sector and the length; FS_FAIL
// when not even the first cluster is there.
FsStatus find_run(OpenFile &f, uint32_t s, uint32_t wanted, bool for_write, DiskFailMark failures,
                  uint32_t *device_sector, uint32_t *length) {
    uint32_t ordinal = s / per_cluster();
    uint32_t cluster = 0;
#if FS_READ_ONLY
    (void)for_write; // read-only slots only read
#else
    if (for_write) {
        if (cluster_for_write(f, ordinal, failures, &cluster) != FS_OK) return FS_FAIL;
    } else
#endif
    {
        cluster = cluster_at(f, ordinal, &f.read_cluster, &f.read_ordinal);
        if (cluster == 0) return disk_fail_since(failures, FS_ERR_IO);
    }
    *device_sector = cluster_to_sector(cluster) + s % per_cluster();
    uint32_t n = per_cluster() - s % per_cluster();
    while (n < wanted) {
        uint32_t next = 0;
        ordinal++;
#if !FS_READ_ONLY
        if (for_write) {
            DiskFailMark before = disk_failures();
            if (cluster_for_write(f, ordinal, before, &next) != FS_OK) {
                fs_set_error(FS_ERR_NONE); // the next piece meets the failure again
                break;
            }
        } else
#endif
        {
            if (ordinal >= f.chain_clusters) break;
            next = cluster_at(f, ordinal, &f.read_cluster, &f.read_ordinal);
        }
        if (next != cluster + 1) break;
        cluster = next;
        n += per_cluster();
    }
    *length = n < wanted ? n : wanted;
    return FS_OK;
}

#if !FS_READ_ONLY
// Writes `count` bytes (at most the rest of the sector) at the position
// through the buffer. Returns the bytes taken; 0 when the buffer could not
// be made to hold the sector.
uint32_t write_piece(uint8_t slot, const uint8_t *src, uint32_t count) {
    OpenFile &f = table[slot];
    uint32_t off = f.position % SECTOR_SIZE;
    uint32_t n = SECTOR_SIZE - off < count ? SECTOR_SIZE - off : count;
    if (hold_sector(slot, f.position / SECTOR_SIZE) != FS_OK) return 0;
    uint8_t *bytes = held_to_change(slot);
    if (bytes == nullptr) return 0;
    memcpy(bytes + off, src, n);
    f.dirty = 1;
    if (!f.stamped) f.entry_stale = 1; // the first write stamps the entry's time
    f.position += n;
    if (f.position > f.size) f.size = f.position;
    return n;
}

// Shrinks the slot's file to `size` bytes, durably, in the order a cut
// needs: the entry's size first, then the chain's new end mark, then the
// clusters past it freed (a cut leaves at most a chain too long for its
// size, or lost clusters). Nothing is pending: the slot was synced.
FsStatus shrink(OpenFile &f, uint32_t size) {
    const DiskFailMark failures = disk_failures();
    uint32_t keep = clusters_for(size);
    uint32_t cut = 0; // the first cluster given up
    uint32_t last = 0;
    if (keep == 0) {
        cut = f.first_cluster;
        f.first_cluster = 0;
    } else if (keep < f.chain_clusters) {
        last = cluster_at(f, keep - 1, &f.write_cluster, &f.write_ordinal);
        if (last == 0) return disk_fail_since(failures, FS_ERR_DAMAGED);
        cut = next_cluster(f, last);
    }
    f.size = size;
    f.entry_stale = 1;
    if (sync_own(slot_of(f)) != FS_OK) return FS_FAIL;
    if (fat_cluster_valid(cut)) {
        if (last != 0 && (fat_end_chain_at(last) != FS_OK || fat_commit(0, 0) != FS_OK))
            return disk_fail_since(failures, FS_ERR_IO);
        fat_free_chain(cut);
        if (keep < f.chain_clusters) f.chain_clusters = f.base_clusters = keep;
    }
    rewind_caches(f);
    if (f.sector_index != NOTHING_HELD && f.sector_index >= sectors_for(size)) f.sector_index = NOTHING_HELD;
    return disk_failed_since(failures) ? fs_fail(FS_ERR_IO) : FS_OK;
}

// Grows the slot's file to `size` bytes of zeros: the old last sector's
// rest in the buffer, zeros over the chain's sectors past the old size, and
// claimed clusters for the rest, which the sync fills with zeros.
FsStatus grow(uint8_t slot, uint32_t size) {
    OpenFile &f = table[slot];
    const DiskFailMark failures = disk_failures();
    uint32_t old = f.size;
    if (old % SECTOR_SIZE != 0) {
        uint8_t *bytes = hold_sector(slot, old / SECTOR_SIZE) == FS_OK ? held_to_change(slot) : nullptr;
        if (bytes == nullptr) return FS_FAIL;
        memset(bytes + old % SECTOR_SIZE, 0, SECTOR_SIZE - old % SECTOR_SIZE);
        f.dirty = 1;
    }
    uint32_t from = sectors_for(old);
    uint32_t need = sectors_for(size);
    uint32_t in_chain = f.chain_clusters * per_cluster();
    for (uint32_t s = from; s < need && s < in_chain;) {
        uint32_t cluster = cluster_at(f, s / per_cluster(), &f.write_cluster, &f.write_ordinal);
        uint32_t count = per_cluster() - s % per_cluster();
        if (count > need - s) count = need - s;
        if (cluster == 0) return disk_fail_since(failures, FS_ERR_DAMAGED);
        if (disk_write_zeros(cluster_to_sector(cluster) + s % per_cluster(), count) != FS_OK)
            return fs_fail(FS_ERR_IO);
        if (f.sector_index >= s && f.sector_index < s + count && !f.dirty) f.sector_index = NOTHING_HELD;
        s += count;
    }
    while (f.chain_clusters * per_cluster() < need) {
        uint32_t added = 0;
        if (extend_chain(f, failures, &added) != FS_OK) {
            trim_claims(f);
            return FS_FAIL;
        }
    }
    f.size = size;
    return FS_OK;
}

#endif

} // namespace

extern "C" {

void file_reset(void) {
    for (uint8_t slot = 0; slot < table_slots; slot++) {
        table[slot].in_use = 0;
        table[slot].dirty = 0;
    }
}

FsStatus file_sync_all(void) {
    FsStatus status = FS_OK;
#if !FS_READ_ONLY
    for (uint8_t slot = 0; slot < table_slots; slot++)
        if (slot_open(slot) && fs_is_mounted() && pending(table[slot]) && sync_slot(slot) != FS_OK)
            status = FS_FAIL;
#endif
    return status;
}

uint32_t fs_file_size(uint8_t handle) {
    if (!slot_open(handle)) return none(FS_ERR_BAD_HANDLE);
    fs_set_error(FS_ERR_NONE);
    return table[handle].size;
}

FsStatus handle_find_by_cluster(uint32_t cluster, uint8_t except_slot) {
    for (uint8_t slot = 0; slot < table_slots; slot++) {
        if (slot == except_slot) continue;
        if (table[slot].in_use == 1 && table[slot].first_cluster == cluster) return FS_OK;
    }
    return FS_FAIL;
}

FsStatus handle_find_by_entry(uint32_t entry_sector, uint32_t entry_offset, uint8_t except_slot) {
    for (uint8_t slot = 0; slot < table_slots; slot++) {
        if (slot == except_slot) continue;
        const OpenFile &f = table[slot];
        if (f.in_use == 1 && f.entry_sector == entry_sector && f.entry_offset == entry_offset) return FS_OK;
    }
    return FS_FAIL;
}

uint8_t handle_alloc(void) {
    for (uint8_t slot = 0; slot < table_slots; slot++) {
        if (table[slot].in_use == 0) {
            table[slot].in_use = 1;
            table[slot].dirty = 0;
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
    table[slot].in_use = 0;
    table[slot].dirty = 0;
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
    OpenFile &f = table[slot];
    f.position = 0;
    f.sector_index = NOTHING_HELD;
    f.first_cluster = FoundEntry.first_cluster;
    rewind_caches(f);
    f.size = FoundEntry.size;
    f.entry_size = FoundEntry.size;
    f.entry_sector = FoundEntry.entry_sector;
    f.entry_offset = FoundEntry.entry_offset;
    f.dirty = 0;
    f.link_from = 0;
    f.link_to = 0;
    f.fresh_sector = NO_SECTOR;
    f.entry_stale = 0;
    // In the built-in table a second slot on the same file (the same 8.3
    // entry) only reads; every slot on a read-only file only reads.
    f.read_only = FS_READ_ONLY ||
                  (!shared_files() && handle_find_by_entry(f.entry_sector, f.entry_offset, slot) == FS_OK);
    if (FoundEntry.attr & ATTR_READ_ONLY) f.read_only = 1;
    f.stamped = 0;
    // A chain measured across an unreadable FAT sector would look shorter
    // than it is: such a file is not opened.
    const DiskFailMark failures = disk_failures();
    f.chain_clusters = fat_chain_length(f.first_cluster);
    f.base_clusters = f.chain_clusters;
    if (settle(slot) == FS_OK) hold_sector(slot, 0);
    if (disk_failed_since(failures)) {
        handle_release(slot);
        return fs_fail(FS_ERR_IO);
    }
    fs_set_error(FS_ERR_NONE);
    return slot;
}

FsStatus fs_close(uint8_t handle) {
    if (!slot_open(handle)) return fs_fail(FS_ERR_BAD_HANDLE);
    FsStatus synced = FS_OK;
#if !FS_READ_ONLY
    if (fs_is_mounted() && pending(table[handle])) synced = sync_slot(handle);
#endif
    FsError reason = fs_last_error();
    handle_release(handle);
    if (synced != FS_OK) return fs_fail(reason);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

FsStatus fs_sync(uint8_t handle) {
    if (check_handle(handle) != FS_OK) return FS_FAIL;
    if (settle(handle) != FS_OK) return FS_FAIL;
#if !FS_READ_ONLY
    if (pending(table[handle]) && sync_slot(handle) != FS_OK) return FS_FAIL;
#endif
    if (disk_sync() != FS_OK) return fs_fail(FS_ERR_IO);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

#if !FS_READ_ONLY
FsStatus fs_truncate(uint8_t handle, uint32_t size) {
    if (check_handle(handle) != FS_OK) return FS_FAIL;
    OpenFile &f = table[handle];
    if (f.read_only) return fs_fail(FS_ERR_READ_ONLY);
    if (settle(handle) != FS_OK || sync_slot(handle) != FS_OK) return FS_FAIL;
    FsStatus status = FS_OK;
    if (size < f.size) {
        status = shrink(f, size);
    } else if (size > f.size) {
        status = grow(handle, size);
        if (status == FS_OK) {
            if (!f.stamped) f.entry_stale = 1;
            status = sync_own(handle);
        }
    }
    if (f.position > f.size) f.position = f.size;
    share(handle);
    if (status != FS_OK) return FS_FAIL;
    if (disk_sync() != FS_OK) return fs_fail(FS_ERR_IO);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

#endif

FsStatus fs_use_open_files(OpenFile *slots, uint8_t count) {
    if (slots == nullptr ? count != 0 : count == 0 || count > FS_MAX_OPEN_SLOTS)
        return fs_fail(FS_ERR_INVALID_ARGUMENT);
    for (uint8_t slot = 0; slot < table_slots; slot++)
        if (slot_open(slot)) return fs_fail(FS_ERR_FILE_OPEN);
    if (slots == nullptr) {
        table = open_files;
        table_slots = FS_OPEN_SLOTS;
#if !FS_READ_ONLY
        in_step = nullptr;
#endif
    } else {
        memset(slots, 0, (size_t)count * sizeof(OpenFile));
        table = slots;
        table_slots = count;
#if !FS_READ_ONLY
        in_step = keep_in_step;
#endif
    }
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

FsStatus file_load_sector(uint8_t slot) {
    if (!slot_open(slot)) return FS_FAIL;
    return hold_sector(slot, table[slot].position / SECTOR_SIZE);
}

#if !FS_READ_ONLY
FsStatus file_flush_sector(uint8_t slot) {
    if (check_handle(slot) != FS_OK) return FS_FAIL;
    if (write_held(slot) != FS_OK) return FS_FAIL;
    return end_call(slot);
}

#endif

FsStatus fs_seek(uint8_t handle, int32_t offset, uint8_t origin) {
    if (check_handle(handle) != FS_OK) return FS_FAIL;
    if (settle(handle) != FS_OK) return FS_FAIL;
    OpenFile &f = table[handle];
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
    // The sector of the new position is brought in; a held sector that
    // cannot be written yet stays held, and the next transfer tries again.
#if FS_READ_ONLY
    hold_sector(handle, target / SECTOR_SIZE);
#else
    if (hold_sector(handle, target / SECTOR_SIZE) == FS_OK) end_call(handle);
#endif
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

uint32_t fs_read(uint8_t handle, uint8_t *dest, uint32_t count) {
    if (check_handle(handle) != FS_OK) return 0;
    if (dest == nullptr) return none(FS_ERR_INVALID_ARGUMENT);
    if (settle(handle) != FS_OK) return 0;
    fs_set_error(FS_ERR_NONE);
    OpenFile &f = table[handle];
    uint32_t limit = readable_bytes(f);
    if (f.position >= limit) return 0;
    if (count > limit - f.position) count = limit - f.position;
    const DiskFailMark failures = disk_failures();
    uint32_t total = 0;
    while (count > 0) {
        uint32_t s = f.position / SECTOR_SIZE;
        uint32_t off = f.position % SECTOR_SIZE;
        uint32_t n = 0;
        if (off != 0 || count < SECTOR_SIZE || s == f.sector_index || s / per_cluster() >= f.chain_clusters) {
            const uint8_t *bytes = hold_sector(handle, s) == FS_OK ? held_bytes(f) : nullptr;
            if (bytes == nullptr) break;
            n = SECTOR_SIZE - off < count ? SECTOR_SIZE - off : count;
            memcpy(dest + total, bytes + off, n);
        } else {
            // Whole sectors straight into the caller's memory. The held
            // sector is never among them (it is taken from the buffer, which
            // may hold bytes not yet written), so the run stops before it.
            uint32_t wanted = count / SECTOR_SIZE;
            if (f.sector_index > s && f.sector_index - s < wanted) wanted = f.sector_index - s;
            uint32_t at = 0;
            uint32_t length = 0;
            if (find_run(f, s, wanted, false, failures, &at, &length) != FS_OK) break;
            if (disk_read_sectors(dest + total, at, length) != FS_OK) {
                // The run failed somewhere: what comes before still counts,
                // found sector by sector.
                uint32_t good = 0;
                while (good < length &&
                       disk_read_sectors(dest + total + good * SECTOR_SIZE, at + good, 1) == FS_OK)
                    good++;
                f.position += good * SECTOR_SIZE;
                total += good * SECTOR_SIZE;
                fs_set_error(FS_ERR_IO);
                break;
            }
            if (!f.dirty) keep_last_of_run(f, dest + total, s, length);
            n = length * SECTOR_SIZE;
        }
        f.position += n;
        total += n;
        count -= n;
    }
    FsError reason = fs_last_error();
#if !FS_READ_ONLY
    if (end_call(handle) != FS_OK && reason == FS_ERR_NONE) reason = fs_last_error();
#endif
    if (reason == FS_ERR_NONE && disk_failed_since(failures)) reason = FS_ERR_IO;
    fs_set_error(reason);
    return total;
}

#if !FS_READ_ONLY
uint32_t fs_write(uint8_t handle, const uint8_t *src, uint32_t count) {
    if (check_handle(handle) != FS_OK) return 0;
    if (src == nullptr) return none(FS_ERR_INVALID_ARGUMENT);
    OpenFile &f = table[handle];
    if (f.read_only) return none(FS_ERR_READ_ONLY);
    if (settle(handle) != FS_OK) return 0;
    fs_set_error(FS_ERR_NONE);
    if (count == 0) return 0;
    if (count > 0xFFFFFFFFu - f.position) count = 0xFFFFFFFFu - f.position; // sizes are 32-bit
    const DiskFailMark failures = disk_failures();
    const uint32_t start = f.position;
    uint32_t total = 0;
    uint32_t buffered = 0; // bytes of this call in the held sector, not yet on the device
    while (count > 0) {
        uint32_t s = f.position / SECTOR_SIZE;
        if (f.position % SECTOR_SIZE != 0 || count < SECTOR_SIZE) {
            uint32_t n = write_piece(handle, src + total, count);
            if (n == 0) break;
            total += n;
            count -= n;
            if (count == 0) {
                buffered = n; // the call's last piece waits in the buffer
                break;
            }
            // A sector the piece filled goes out before the next piece (its
            // bytes are counted: they wait in the buffer when it fails).
            if (write_held(handle) != FS_OK) break;
            continue;
        }
        // Whole sectors straight from the caller's memory, a run at a time.
        if (f.dirty && f.sector_index != s && write_held(handle) != FS_OK) break;
        uint32_t at = 0;
        uint32_t length = 0;
        if (find_run(f, s, count / SECTOR_SIZE, true, failures, &at, &length) != FS_OK) {
            if (fs_last_error() == FS_ERR_IO) break;
            // No cluster for the sector (a full volume, a chain that may not
            // grow): its bytes wait in the buffer, counted unless they are
            // the call's last, and the call ends.
            // With FS_TINY a sector has nowhere to wait: its bytes are not
            // taken.
            FsError reason = fs_last_error();
#if !FS_TINY
            f.sector_index = s;
            memcpy(f.buffer, src + total, SECTOR_SIZE);
            f.dirty = 1;
            f.position += SECTOR_SIZE;
            if (f.position > f.size) f.size = f.position;
            if (count > SECTOR_SIZE) total += SECTOR_SIZE;
#endif
            end_call(handle);
            share(handle);
            fs_set_error(reason);
            return total;
        }
        if (disk_write_sectors(src + total, at, length) != FS_OK) {
            trim_claims(f);
            fs_set_error(FS_ERR_IO);
            break;
        }
        note_written(f, s, length);
        keep_last_of_run(f, src + total, s, length);
        if (!f.stamped) f.entry_stale = 1;
        uint32_t n = length * SECTOR_SIZE;
        f.position += n;
        if (f.position > f.size) f.size = f.position;
        total += n;
        count -= n;
        buffered = 0;
    }
    FsError reason = fs_last_error();
    if (end_call(handle) != FS_OK) {
        if (reason == FS_ERR_NONE) reason = fs_last_error();
        if (f.dirty) total -= buffered; // the held sector found no place on the device
        // Nothing past the size the entry holds counts (a commit that failed
        // took the file back to it).
        uint32_t kept = f.entry_size > start ? f.entry_size - start : 0;
        if (f.entry_size < start + total && total > kept) total = kept;
    }
    if (reason == FS_ERR_NONE && disk_failed_since(failures)) reason = FS_ERR_IO;
    share(handle);
    fs_set_error(reason);
    return total;
}
#endif
}
