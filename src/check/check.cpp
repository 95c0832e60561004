// A read-only consistency check of the mounted volume: the boot sector, the
// FAT copies, every chain (in range, loop-free, not shared, ending in an end
// mark), lost clusters, file sizes against their chains, "." and "..",
// long-name runs and duplicate names. Nothing here writes to the image.
#include "fat16_check.h"

#include <string.h>

#include <algorithm>

#include "fat16_dir.h"
#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_volume.h"

namespace {

const uint32_t MAX_ENTRIES = FS_MAX_CLUSTERS + 2;
const uint32_t BITMAP_BYTES = MAX_ENTRIES / 8 + 1;
const uint32_t MAX_DEPTH = 256;   // directories nested deeper are reported, not followed
const uint32_t MAX_NAMES = 65536; // names compared for duplicates in one directory

// The first FAT, read once.
uint16_t fat[MAX_ENTRIES];
// Clusters reached from an entry; clusters of the chain being claimed; first
// clusters of directories this check has yet to enter.
uint8_t claimed[BITMAP_BYTES];
uint8_t in_chain[BITMAP_BYTES];
uint8_t to_enter[BITMAP_BYTES];
uint64_t name_hashes[MAX_NAMES];

FsCheckReport *report;
char path[FS_CHECK_PATH_SIZE];

bool bit(const uint8_t *map, uint32_t n) { return (map[n / 8] >> (n % 8)) & 1u; }
void set_bit(uint8_t *map, uint32_t n) { map[n / 8] |= (uint8_t)(1u << (n % 8)); }
void clear_bit(uint8_t *map, uint32_t n) { map[n / 8] &= (uint8_t) ~(1u << (n % 8)); }

bool data_cluster(uint32_t c) { return c >= 2 && c <= VolumeGeometry.cluster_count + 1; }

// Copies at most `room` - 1 bytes of `from` and ends `to` with a NUL.
void copy_bounded(char *to, const char *from, uint32_t room) {
    uint32_t n = 0;
    for (; n + 1 < room && from[n] != '\0'; n++) to[n] = from[n];
    to[n] = '\0';
}

void problem(FsProblemKind kind, uint32_t cluster, uint32_t count, const char *where) {
    if (report->problem_count < FS_CHECK_MAX_PROBLEMS) {
        FsProblem &p = report->problems[report->problem_count];
        p.kind = (uint8_t)kind;
        p.cluster = cluster;
        p.count = count;
        copy_bounded(p.path, where, FS_CHECK_PATH_SIZE);
    }
    report->problem_count++;
}

// Appends "\name" to the path being built; returns the length to cut back to.
uint32_t push_name(const char *name) {
    uint32_t len = (uint32_t)strlen(path);
    uint32_t room = FS_CHECK_PATH_SIZE - 1 - len;
    if (room > 1) {
        path[len] = '\\';
        copy_bounded(path + len + 1, name, room);
    }
    return len;
}

uint64_t name_hash(const char *name) {
    uint64_t h = 1469598103934665603ull;
    for (; *name != '\0'; name++) {
        char c = *name;
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
        h = (h ^ (uint8_t)c) * 1099511628211ull;
    }
    return h;
}

// "NAME.EXT" of an 8.3 slot, each part without its padding.
void short_text(const uint8_t *entry, char *out) {
    uint32_t n = 0;
    uint32_t end = 8;
    while (end > 0 && entry[end - 1] == ' ') end--;
    for (uint32_t i = 0; i < end; i++) out[n++] = (char)entry[i];
    uint32_t ext_end = 3;
    while (ext_end > 0 && entry[8 + ext_end - 1] == ' ') ext_end--;
    if (ext_end > 0) {
        out[n++] = '.';
        for (uint32_t i = 0; i < ext_end; i++) out[n++] = (char)entry[8 + i];
    }
    out[n] = '\0';
}

// Claims the chain that starts at `first` for the entry at `path`: reports
// what is wrong with it and returns how many clusters it holds before that.
uint32_t claim_chain(uint32_t first) {
    uint32_t length = 0;
    uint32_t c = first;
    for (;;) {
        if (!data_cluster(c)) {
            problem(FS_PROBLEM_BAD_CLUSTER, c, 1, path);
            break;
        }
        if (bit(claimed, c)) {
            problem(bit(in_chain, c) ? FS_PROBLEM_CHAIN_LOOP : FS_PROBLEM_CROSS_LINK, c, 1, path);
            break;
        }
        set_bit(claimed, c);
        set_bit(in_chain, c);
        length++;
        uint32_t next = fat[c];
        if (next >= 0xFFF8u) break; // the end mark
        if (next < 2 || next == 0xFFF7u) {
            problem(FS_PROBLEM_BAD_CHAIN_END, c, 1, path);
            break;
        }
        c = next;
    }
    c = first;
    for (uint32_t i = 0; i < length; i++, c = fat[c]) clear_bit(in_chain, c);
    return length;
}

// Reads the directory that starts at `first` (0: the root) slot by slot.
struct SlotReader {
    uint32_t first;
    uint32_t cluster;
    uint32_t sector_index; // within the root area or the cluster
    uint32_t slot;
    uint32_t clusters_seen;
    SectorBuffer sector;
    bool loaded;
};

void reader_start(SlotReader *r, uint32_t first) {
    r->first = first;
    r->cluster = first;
    r->sector_index = 0;
    r->slot = 0;
    r->clusters_seen = 1;
    r->loaded = false;
}

uint32_t reader_sector(const SlotReader *r) {
    if (r->first == 0) return VolumeGeometry.root_dir_start + r->sector_index;
    return cluster_to_sector(r->cluster) + r->sector_index;
}

// The next slot, or null at the directory's end.
const uint8_t *reader_next(SlotReader *r) {
    if (r->slot == DIR_SLOTS_PER_SECTOR) {
        r->slot = 0;
        r->sector_index++;
        r->loaded = false;
        if (r->first == 0) {
            if (r->sector_index >= VolumeGeometry.root_dir_sectors) return nullptr;
        } else if (r->sector_index >= VolumeGeometry.sectors_per_cluster) {
            uint32_t next = fat[r->cluster];
            // The chain was claimed already: follow only its sound part.
            if (!data_cluster(next) || r->clusters_seen > VolumeGeometry.cluster_count) return nullptr;
            r->cluster = next;
            r->sector_index = 0;
            r->clusters_seen++;
        }
    }
    if (!r->loaded) {
        if (disk_read_sector(r->sector, reader_sector(r)) != FS_OK) {
            problem(FS_PROBLEM_IO, r->cluster, 1, path);
            return nullptr;
        }
        r->loaded = true;
    }
    return r->sector + DIR_SLOT_SIZE * r->slot++;
}

// Follows long-name runs slot by slot and gives each 8.3 entry its long
// name when the run in front of it is whole.
struct RunState {
    bool pending;
    bool broken;
    uint32_t expected; // the sequence number the next slot must carry
    uint8_t checksum;
    uint32_t length;
    char text[LFN_MAX_ENTRIES * LFN_CHARS + 1];
};

void run_reset(RunState *run) {
    run->pending = false;
    run->broken = false;
    run->length = 0;
}

void run_add(RunState *run, const uint8_t *slot) {
    static const uint8_t offsets[LFN_CHARS] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    uint32_t seq = slot[LFN_SEQUENCE];
    uint32_t ordinal = seq & 0x3Fu;
    if (seq & LFN_LAST_FLAG) {
        run->broken = run->pending; // a new run before the old one had its alias
        run->pending = true;
        run->expected = ordinal;
        run->checksum = slot[LFN_CHECKSUM];
        run->length = 0;
        if (ordinal == 0 || ordinal > LFN_MAX_ENTRIES) run->broken = true;
    } else if (!run->pending || ordinal != run->expected || slot[LFN_CHECKSUM] != run->checksum) {
        run->pending = true;
        run->broken = true;
    }
    if (run->broken || ordinal == 0 || ordinal > LFN_MAX_ENTRIES) return;
    char *at = run->text + (ordinal - 1) * LFN_CHARS;
    uint32_t n = 0;
    while (n < LFN_CHARS && slot[offsets[n]] != 0) {
        at[n] = (char)slot[offsets[n]];
        n++;
    }
    if (seq & LFN_LAST_FLAG)
        run->length = (ordinal - 1) * LFN_CHARS + n;
    else if (n < LFN_CHARS)
        run->broken = true; // only the last chunk may be short
    run->expected = ordinal - 1;
}

// The long name of the 8.3 entry `slot` ("" when it has none); reports a
// run that does not belong to it.
void run_finish(RunState *run, const uint8_t *slot, char *long_name, bool report_problems) {
    long_name[0] = '\0';
    if (run->pending) {
        bool whole = !run->broken && run->expected == 0 && lfn_checksum(slot) == run->checksum;
        if (whole) {
            memcpy(long_name, run->text, run->length);
            long_name[run->length] = '\0';
        } else if (report_problems) {
            problem(FS_PROBLEM_LONG_NAME, 0, 1, path);
        }
    }
    run_reset(run);
}

bool is_dot_entry(const uint8_t *slot) {
    return memcmp(slot, ".          ", 11) == 0 || memcmp(slot, "..         ", 11) == 0;
}

// First pass over one directory: its names, its runs, its "." and "..",
// and the chains of its entries. Subdirectories are marked for entering.
void scan_directory(uint32_t first, uint32_t parent) {
    SlotReader reader;
    reader_start(&reader, first);
    RunState run;
    run_reset(&run);
    uint32_t names = 0;
    uint32_t index = 0;
    char long_name[LFN_MAX_NAME + 1];
    char text[LFN_MAX_NAME + 1];
    for (const uint8_t *slot; (slot = reader_next(&reader)) != nullptr; index++) {
        if (first != 0 && index < 2) {
            // "." names the directory itself, ".." its parent (0: the root).
            const char *dot = index == 0 ? ".          " : "..         ";
            uint32_t want = index == 0 ? first : parent;
            if (memcmp(slot, dot, 11) != 0 || !(slot[DIR_ATTR] & ATTR_DIRECTORY) ||
                le_get(slot + DIR_FIRST_CLUSTER, 2) != want)
                problem(FS_PROBLEM_DOT_ENTRIES, first, 1, path);
            if (memcmp(slot, dot, 11) == 0) continue;
        }
        if (slot[0] == ENTRY_END) break;
        if (slot[0] == ENTRY_FREE) {
            if (run.pending) problem(FS_PROBLEM_LONG_NAME, 0, 1, path);
            run_reset(&run);
            continue;
        }
        if (slot[DIR_ATTR] == ATTR_LONG_NAME) {
            run_add(&run, slot);
            continue;
        }
        run_finish(&run, slot, long_name, true);
        uint8_t attr = slot[DIR_ATTR];
        if ((attr & ATTR_VOLUME_ID) || is_dot_entry(slot)) continue; // a label, or a stray dot entry
        short_text(slot, text);
        uint64_t short_hash = name_hash(text);
        if (names < MAX_NAMES) name_hashes[names++] = short_hash;
        if (long_name[0] != '\0' && name_hash(long_name) != short_hash && names < MAX_NAMES)
            name_hashes[names++] = name_hash(long_name);

        uint32_t back = push_name(long_name[0] != '\0' ? long_name : text);
        uint32_t cluster = le_get(slot + DIR_FIRST_CLUSTER, 2);
        if (attr & ATTR_DIRECTORY) {
            report->directories++;
            bool fresh = data_cluster(cluster) && !bit(claimed, cluster);
            claim_chain(cluster);
            if (fresh) set_bit(to_enter, cluster);
        } else {
            report->files++;
            uint32_t size = le_get(slot + DIR_SIZE, 4);
            uint32_t bytes_per_cluster = (uint32_t)VolumeGeometry.sectors_per_cluster * SECTOR_SIZE;
            uint32_t needed = (uint32_t)(((uint64_t)size + bytes_per_cluster - 1) / bytes_per_cluster);
            uint32_t held = cluster == 0 ? 0 : claim_chain(cluster);
            if (held > needed) problem(FS_PROBLEM_CHAIN_TOO_LONG, cluster, held - needed, path);
            if (held < needed && (cluster == 0 || data_cluster(cluster)))
                problem(FS_PROBLEM_CHAIN_TOO_SHORT, cluster, needed - held, path);
        }
        path[back] = '\0';
    }
    if (run.pending) problem(FS_PROBLEM_LONG_NAME, 0, 1, path);
    std::sort(name_hashes, name_hashes + names);
    for (uint32_t i = 1; i < names; i++)
        if (name_hashes[i] == name_hashes[i - 1]) problem(FS_PROBLEM_DUPLICATE_NAME, first, 1, path);
}

// Where the second pass over a directory stands while a child is checked.
struct Level {
    SlotReader reader;
    RunState run;
    uint32_t path_length; // of this directory's own path
};

Level levels[MAX_DEPTH];

// Checks the whole tree, depth first: each directory is scanned when it is
// entered, then read again to enter the subdirectories it owns.
void check_tree(void) {
    path[0] = '\0';
    scan_directory(0, 0);
    uint32_t depth = 0;
    reader_start(&levels[0].reader, 0);
    run_reset(&levels[0].run);
    levels[0].path_length = 0;
    char long_name[LFN_MAX_NAME + 1];
    char text[LFN_MAX_NAME + 1];
    for (;;) {
        Level &level = levels[depth];
        const uint8_t *slot = reader_next(&level.reader);
        if (slot == nullptr || slot[0] == ENTRY_END) {
            if (depth == 0) return;
            depth--;
            path[levels[depth].path_length] = '\0';
            levels[depth].reader.loaded = false; // its sector is read again
            continue;
        }
        if (slot[0] == ENTRY_FREE) {
            run_reset(&level.run);
            continue;
        }
        if (slot[DIR_ATTR] == ATTR_LONG_NAME) {
            run_add(&level.run, slot);
            continue;
        }
        run_finish(&level.run, slot, long_name, false);
        uint32_t cluster = le_get(slot + DIR_FIRST_CLUSTER, 2);
        if (!(slot[DIR_ATTR] & ATTR_DIRECTORY) || (slot[DIR_ATTR] & ATTR_VOLUME_ID) || is_dot_entry(slot) ||
            !data_cluster(cluster) || !bit(to_enter, cluster))
            continue;
        clear_bit(to_enter, cluster); // each directory is entered once
        short_text(slot, text);
        uint32_t parent = level.reader.first;
        uint32_t back = push_name(long_name[0] != '\0' ? long_name : text);
        if (depth + 1 >= MAX_DEPTH) {
            problem(FS_PROBLEM_TOO_DEEP, cluster, 1, path);
            path[back] = '\0';
            continue;
        }
        scan_directory(cluster, parent);
        depth++;
        reader_start(&levels[depth].reader, cluster);
        run_reset(&levels[depth].run);
        levels[depth].path_length = (uint32_t)strlen(path);
    }
}

bool load_fat(void) {
    SectorBuffer sector;
    uint32_t entries = VolumeGeometry.cluster_count + 2;
    for (uint32_t n = 0; n < entries; n++) {
        if (n % 256 == 0 && disk_read_sector(sector, VolumeGeometry.fat1_start + n / 256) != FS_OK) {
            problem(FS_PROBLEM_IO, n, 1, "");
            return false;
        }
        fat[n] = (uint16_t)le_get(sector + (n % 256) * 2, 2);
    }
    return true;
}

// Every further FAT copy against the first, over the entries in use.
void compare_fat_copies(void) {
    SectorBuffer sector;
    uint32_t entries = VolumeGeometry.cluster_count + 2;
    for (uint32_t k = 1; k < VolumeGeometry.fat_count; k++) {
        uint32_t first_diff = 0;
        uint32_t diffs = 0;
        uint32_t start = VolumeGeometry.fat1_start + k * VolumeGeometry.sectors_per_fat;
        for (uint32_t n = 0; n < entries; n++) {
            if (n % 256 == 0 && disk_read_sector(sector, start + n / 256) != FS_OK) {
                problem(FS_PROBLEM_IO, n, 1, "");
                return;
            }
            if (le_get(sector + (n % 256) * 2, 2) != fat[n] && diffs++ == 0) first_diff = n;
        }
        if (diffs > 0) problem(FS_PROBLEM_FAT_COPIES_DIFFER, first_diff, diffs, "");
    }
}

} // namespace

extern "C" {

FsStatus fs_check(FsCheckReport *out) {
    if (out == nullptr) return FS_FAIL;
    memset(out, 0, sizeof *out);
    report = out;
    if (!fs_is_mounted()) {
        problem(FS_PROBLEM_BOOT_SECTOR, 0, 1, "");
        return FS_FAIL;
    }
    SectorBuffer boot;
    if (disk_read_sector(boot, VolumeGeometry.partition_start) != FS_OK || !fs_boot_sector_valid(boot)) {
        problem(FS_PROBLEM_BOOT_SECTOR, 0, 1, "");
        return FS_FAIL;
    }
    if (!load_fat()) return FS_FAIL;
    compare_fat_copies();
    memset(claimed, 0, sizeof claimed);
    memset(in_chain, 0, sizeof in_chain);
    memset(to_enter, 0, sizeof to_enter);
    check_tree();

    uint32_t lost = 0;
    uint32_t first_lost = 0;
    for (uint32_t c = 2; c <= VolumeGeometry.cluster_count + 1; c++) {
        if (bit(claimed, c)) {
            out->used_clusters++;
        } else if (fat[c] == 0) {
            out->free_clusters++;
        } else if (fat[c] != 0xFFF7u) { // a cluster marked bad belongs to no chain
            if (lost++ == 0) first_lost = c;
        }
    }
    out->lost_clusters = lost;
    if (lost > 0) problem(FS_PROBLEM_LOST_CLUSTERS, first_lost, lost, "");
    return out->problem_count == 0 ? FS_OK : FS_FAIL;
}

const char *fs_check_problem_text(uint8_t kind) {
    switch (kind) {
    case FS_PROBLEM_BOOT_SECTOR: return "boot sector fails the mount rules, or no volume is mounted";
    case FS_PROBLEM_FAT_COPIES_DIFFER: return "FAT copies differ";
    case FS_PROBLEM_BAD_CLUSTER: return "cluster outside the data area";
    case FS_PROBLEM_CHAIN_LOOP: return "cluster chain loops";
    case FS_PROBLEM_CROSS_LINK: return "cluster shared by two chains";
    case FS_PROBLEM_BAD_CHAIN_END: return "cluster chain runs into a free or reserved entry";
    case FS_PROBLEM_LOST_CLUSTERS: return "clusters in use that no entry reaches";
    case FS_PROBLEM_CHAIN_TOO_LONG: return "file holds more clusters than its size needs";
    case FS_PROBLEM_CHAIN_TOO_SHORT: return "file holds fewer clusters than its size needs";
    case FS_PROBLEM_DOT_ENTRIES: return "\".\" or \"..\" entry missing or wrong";
    case FS_PROBLEM_LONG_NAME: return "long-name entries out of order, unfinished or with a wrong checksum";
    case FS_PROBLEM_DUPLICATE_NAME: return "two entries share a name";
    case FS_PROBLEM_TOO_DEEP: return "directories nested too deep to check";
    case FS_PROBLEM_IO: return "sector could not be read";
    default: return "unknown problem";
    }
}
}
