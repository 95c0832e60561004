// A read-only consistency check of the mounted volume: the boot sector and
// the image's length, the FAT copies and their heads, every chain (in range,
// loop-free, not shared, ending in an end mark), lost clusters, file sizes
// against their chains, directory entries, "." and "..", 8.3 names,
// long-name runs and duplicate names. Nothing here writes to the image.
//
// All memory but a few pointers is the caller's work area: a fixed part
// (sector buffers, the names of two entries, the path, a name filter, the
// directory stack) and two bitmaps of one bit per cluster. The FAT is read
// through a one-sector cache instead of being copied, and a directory the
// walk comes back to is read again from its recorded position.
#include "fat16_check.h"

#include <stddef.h>
#include <string.h>

#include "fat16_dir.h"
#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_volume.h"

#if FS_WITH_CHECK

namespace {

const uint32_t FAT_ENTRIES_PER_SECTOR = SECTOR_SIZE / 2;
const uint32_t MAX_FAT_SECTORS = (FS_MAX_CLUSTERS + 2 + FAT_ENTRIES_PER_SECTOR - 1) / FAT_ENTRIES_PER_SECTOR;
const uint32_t MAX_DEPTH = 256;      // directories nested deeper are reported, not followed
const uint32_t FILTER_BITS = 32768;  // the name filter of one directory (4 KB)
const uint32_t MAX_CANDIDATES = 512; // names the filter let through, confirmed in one pass
// A directory holds at most 65,536 slots; names past them (only a damaged
// chain has any) are not compared, which bounds the confirming passes.
const uint32_t MAX_COMPARED_SLOTS = 65536;
const uint32_t LONG_UNITS = LFN_MAX_ENTRIES * LFN_CHARS;
const uint32_t NO_SECTOR = 0xFFFFFFFFu;
// A FAT entry 0 is the media byte with all bits above it set.
const uint32_t FAT_HEAD_HIGH = 0xFF00u;
// A bit of an 8.3 entry's case byte that no system sets: fsck.fat renames
// an entry that carries it ("bad short file name", "is a dot with no 8.3
// name flag set"). The lower-case bits and the others it leaves alone.
const uint8_t CASE_BYTE_REFUSED = 0x20u;
const uint32_t LABEL_LENGTH = 11;

// A candidate's `place`: the ordinal of its entry's first slot in the
// directory (its long-name run, or its 8.3 slot) and two flags.
const uint32_t CANDIDATE_LONG = 0x80000000u; // the name is the entry's long name
const uint32_t CANDIDATE_SEEN = 0x40000000u; // an earlier entry with the name was found
const uint32_t CANDIDATE_SLOT = 0x3FFFFFFFu;

// One entry's names as the check reads and compares them. The long name
// stays in UTF-16 until its text is needed (a report, a comparison).
struct EntryNames {
    uint16_t units[LONG_UNITS];          // the long-name run being read
    uint32_t long_length;                // units of the whole run; 0: no long name
    bool long_ready;                     // long_name holds the units as UTF-8
    char long_name[FS_NAME_SIZE];        // UTF-8
    char short_name[FS_SHORT_NAME_SIZE]; // "NAME.EXT" as UTF-8
};

// A name the filter had seen before in its directory: compared with every
// earlier entry in the next confirming pass.
struct Candidate {
    uint32_t hash; // the upper half of the name's hash
    uint32_t place;
};

// Where the walk left a directory to enter one of its subdirectories.
struct Level {
    uint32_t ordinal;     // the slot to go on from
    uint16_t first;       // the directory's first cluster (0: the root)
    uint16_t path_length; // of the directory's own path
    bool read_all;        // no sector of it has failed so far
};

struct Work {
    SectorBuffer fat_sector; // one sector of the first FAT
    uint32_t fat_sector_number;
    uint8_t fat_unreadable[MAX_FAT_SECTORS / 8 + 1]; // sectors of the first FAT that failed
    SectorBuffer dir_sector;                         // the directory being scanned, walked or confirmed
    SectorBuffer other_sector; // the boot sector, a FAT copy, an entry read by its position
    EntryNames names;
    EntryNames other;
    char path[FS_CHECK_PATH_SIZE];
    uint8_t filter[FILTER_BITS / 8];
    uint8_t root_label[LABEL_LENGTH]; // the root directory's label entry
    bool has_root_label;
    uint8_t boot_label[LABEL_LENGTH]; // of an extended boot sector
    bool has_boot_label;
    Candidate candidates[MAX_CANDIDATES];
    uint32_t candidate_count;
    Level levels[MAX_DEPTH];
};

Work *w;
uint8_t *claimed;  // clusters reached from an entry
uint8_t *to_enter; // first clusters of directories the walk has yet to enter
FsCheckReport *report;
bool scan_read_all;            // the directory being scanned: no sector of it has failed
EntryNames *current = nullptr; // the entry whose problems are being reported

bool bit(const uint8_t *map, uint32_t n) { return (map[n / 8] >> (n % 8)) & 1u; }
void set_bit(uint8_t *map, uint32_t n) { map[n / 8] |= (uint8_t)(1u << (n % 8)); }
void clear_bit(uint8_t *map, uint32_t n) { map[n / 8] &= (uint8_t) ~(1u << (n % 8)); }

uint32_t bitmap_bytes(void) { return (VolumeGeometry.cluster_count + 2 + 7) / 8; }

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
    uint32_t len = str_len(w->path);
    uint32_t room = FS_CHECK_PATH_SIZE - 1 - len;
    if (room > 1) {
        w->path[len] = '\\';
        copy_bounded(w->path + len + 1, name, room);
    }
    return len;
}

// The entry's long name as UTF-8; "" when it has none.
const char *long_text(EntryNames *n) {
    if (!n->long_ready) {
        // At most 255 units: their UTF-8 always fits FS_NAME_SIZE.
        if (str_utf16_to_utf8(n->units, n->long_length, n->long_name, FS_NAME_SIZE) == 0xFFFFFFFFu)
            n->long_name[0] = '\0';
        n->long_ready = true;
    }
    return n->long_name;
}

// The entry's long name when it has one, else its 8.3 name.
const char *entry_name(EntryNames *n) { return n->long_length > 0 ? long_text(n) : n->short_name; }

// A problem of the entry `current`, at its own path.
void entry_problem(FsProblemKind kind, uint32_t cluster, uint32_t count) {
    uint32_t back = push_name(entry_name(current));
    problem(kind, cluster, count, w->path);
    w->path[back] = '\0';
}

// The entry of `cluster` in the first FAT, through the one-sector cache;
// FAT_READ_FAILED when its sector cannot be read (reported once) or the
// cluster has no entry.
uint32_t fat_value(uint32_t cluster) {
    if (cluster >= VolumeGeometry.cluster_count + 2) return FAT_READ_FAILED;
    uint32_t index = cluster / FAT_ENTRIES_PER_SECTOR;
    uint32_t sector = VolumeGeometry.fat1_start + index;
    if (w->fat_sector_number != sector) {
        if (bit(w->fat_unreadable, index)) return FAT_READ_FAILED;
        w->fat_sector_number = sector;
        if (disk_read_sector(w->fat_sector, sector) != FS_OK) {
            w->fat_sector_number = NO_SECTOR;
            set_bit(w->fat_unreadable, index);
            problem(FS_PROBLEM_IO, sector, 1, "");
            return FAT_READ_FAILED;
        }
    }
    return le_get(w->fat_sector + (cluster % FAT_ENTRIES_PER_SECTOR) * 2, 2);
}

// Clusters of the chain from `first` up to where it leaves the data
// clusters or comes back to one it passed. Reading a directory stops there,
// so a looping chain is read once.
uint32_t chain_distinct(uint32_t first) { return fat_chain_distinct(first, fat_value); }

// True when `cluster` is among the first `length` clusters of the chain
// from `first`.
bool in_chain(uint32_t first, uint32_t cluster, uint32_t length) {
    uint32_t c = first;
    for (uint32_t i = 0; i < length; i++, c = fat_value(c))
        if (c == cluster) return true;
    return false;
}

// Claims the chain that starts at `first` for the entry `current`: reports
// what is wrong with it and returns how many clusters it holds before that.
// `*complete` is false when an unreadable FAT sector cut the walk short.
uint32_t claim_chain(uint32_t first, bool *complete) {
    *complete = true;
    uint32_t length = 0;
    uint32_t c = first;
    for (;;) {
        if (!fat_cluster_valid(c)) {
            entry_problem(FS_PROBLEM_BAD_CLUSTER, c, 1);
            break;
        }
        if (bit(claimed, c)) {
            entry_problem(in_chain(first, c, length) ? FS_PROBLEM_CHAIN_LOOP : FS_PROBLEM_CROSS_LINK, c, 1);
            break;
        }
        set_bit(claimed, c);
        length++;
        uint32_t next = fat_value(c);
        if (next == FAT_READ_FAILED) {
            *complete = false;
            break;
        }
        if (fat_is_end_mark(next)) break;
        if (next < 2 || next == FAT_BAD_CLUSTER) {
            entry_problem(FS_PROBLEM_BAD_CHAIN_END, c, 1);
            break;
        }
        c = next; // a value past the last cluster is reported at the next step
    }
    return length;
}

// Reads the directory that starts at `first` (0: the root) slot by slot.
// It keeps positions only: it can be put anywhere again with reader_seek.
struct SlotReader {
    uint32_t first;
    uint32_t cluster;
    uint32_t limit; // clusters of the chain it may read
    uint32_t clusters_seen;
    uint32_t sector_index; // within the root area or the cluster
    uint32_t slot;         // next slot of the sector
    uint32_t ordinal;      // of the next slot within the directory
    uint8_t *sector;
    bool *read_all;     // the directory's flag: cleared at a failed sector
    bool report_always; // reports every failed sector (the scan), else only the first
    bool loaded;
    bool ended;
    bool gap; // a sector was passed over unread since the caller last looked
};

uint32_t reader_sector(const SlotReader *r) {
    if (r->first == 0) return VolumeGeometry.root_dir_start + r->sector_index;
    return cluster_to_sector(r->cluster) + r->sector_index;
}

// Puts the reader on slot `ordinal` of the directory that starts at `first`.
void reader_seek(SlotReader *r, uint32_t first, uint32_t ordinal, uint8_t *buffer, bool *read_all,
                 bool report_always) {
    r->first = first;
    r->sector = buffer;
    r->read_all = read_all;
    r->report_always = report_always;
    r->loaded = false;
    r->ended = false;
    r->gap = false;
    r->ordinal = ordinal;
    r->slot = ordinal % DIR_SLOTS_PER_SECTOR;
    r->cluster = first;
    r->limit = 0;
    r->clusters_seen = 0;
    uint32_t sector = ordinal / DIR_SLOTS_PER_SECTOR;
    if (first == 0) {
        r->sector_index = sector;
        r->ended = sector >= VolumeGeometry.root_dir_sectors;
        return;
    }
    uint32_t per_cluster = VolumeGeometry.sectors_per_cluster;
    uint32_t cluster_index = sector / per_cluster;
    r->limit = chain_distinct(first);
    r->sector_index = sector % per_cluster;
    r->clusters_seen = cluster_index + 1;
    r->ended = cluster_index >= r->limit;
    for (uint32_t i = 0; i < cluster_index && !r->ended; i++) {
        r->cluster = fat_value(r->cluster);
        r->ended = !fat_cluster_valid(r->cluster);
    }
}

// Moves to the next sector; false at the directory's end.
bool reader_advance(SlotReader *r) {
    r->slot = 0;
    r->loaded = false;
    r->sector_index++;
    if (r->first == 0) return r->sector_index < VolumeGeometry.root_dir_sectors;
    if (r->sector_index < VolumeGeometry.sectors_per_cluster) return true;
    if (r->clusters_seen >= r->limit) return false;
    uint32_t next = fat_value(r->cluster);
    if (!fat_cluster_valid(next)) return false;
    r->cluster = next;
    r->sector_index = 0;
    r->clusters_seen++;
    return true;
}

// The next slot, or null at the directory's end. A sector that cannot be
// read is reported, passed over and flagged in `gap`.
const uint8_t *reader_next(SlotReader *r) {
    for (;;) {
        if (r->ended) return nullptr;
        if (r->slot == DIR_SLOTS_PER_SECTOR && !reader_advance(r)) {
            r->ended = true;
            return nullptr;
        }
        if (!r->loaded) {
            uint32_t sector = reader_sector(r);
            if (disk_read_sector(r->sector, sector) != FS_OK) {
                if (r->report_always || *r->read_all) problem(FS_PROBLEM_IO, sector, 1, w->path);
                *r->read_all = false;
                r->gap = true;
                r->ordinal += DIR_SLOTS_PER_SECTOR - r->slot;
                r->slot = DIR_SLOTS_PER_SECTOR;
                continue;
            }
            r->loaded = true;
        }
        r->ordinal++;
        return r->sector + DIR_SLOT_SIZE * r->slot++;
    }
}

// Follows a long-name run slot by slot; the 8.3 entry after it gets the
// long name when the run is whole.
struct RunState {
    bool pending;
    bool broken;
    uint32_t expected; // the sequence number the next slot must carry
    uint8_t checksum;
    uint32_t length; // UTF-16 units
    uint32_t start;  // ordinal of the run's first slot
};

void run_reset(RunState *run) {
    run->pending = false;
    run->broken = false;
    run->expected = 0;
    run->checksum = 0;
    run->length = 0;
    run->start = 0;
}

void run_add(RunState *run, const uint8_t *slot, uint32_t ordinal, uint16_t *units) {
    uint32_t seq = slot[LFN_SEQUENCE];
    uint32_t number = seq & LFN_SEQUENCE_MASK;
    if (seq & LFN_LAST_FLAG) {
        run->broken = run->pending; // a new run before the old one had its entry
        run->pending = true;
        run->expected = number;
        run->checksum = slot[LFN_CHECKSUM];
        run->length = 0;
        run->start = ordinal;
    } else if (!run->pending || number != run->expected || slot[LFN_CHECKSUM] != run->checksum) {
        run->pending = true;
        run->broken = true;
    }
    if (number == 0 || number > LFN_MAX_ENTRIES) run->broken = true;
    if (run->broken) return;
    uint32_t n = lfn_slot_units(slot, units + (number - 1) * LFN_CHARS);
    if (seq & LFN_LAST_FLAG)
        run->length = (number - 1) * LFN_CHARS + n;
    else if (n < LFN_CHARS)
        run->broken = true; // only the last chunk may be short
    run->expected = number - 1;
}

// Takes the names of the 8.3 entry `slot` after the run in front of it;
// with `report_broken`, a run that does not belong to it is reported.
// Returns the ordinal of the run's first slot (meaningful with a long name).
uint32_t take_names(EntryNames *n, RunState *run, const uint8_t *slot, bool report_broken) {
    uint32_t start = run->start;
    n->long_length = 0;
    n->long_ready = false;
    if (run->pending) {
        bool whole = !run->broken && run->expected == 0 && lfn_checksum(slot) == run->checksum;
        // A run longer than any name is read by its alias, as lookups do.
        if (whole && run->length <= LFN_MAX_NAME) n->long_length = run->length;
        if (!whole && report_broken) problem(FS_PROBLEM_LONG_NAME, 0, 1, w->path);
    }
    run_reset(run);
    dir_short_name_text(slot, n->short_name);
    return start;
}

// Reads the entry whose first slot (its run, or its 8.3 slot) is `ordinal`
// of directory `first` into `n`. False when that is no entry, or a sector
// of it cannot be read (`read_all`: the directory's flag).
bool read_entry_at(uint32_t first, uint32_t ordinal, EntryNames *n, bool *read_all) {
    SlotReader r;
    reader_seek(&r, first, ordinal, w->other_sector, read_all, false);
    RunState run;
    run_reset(&run);
    for (uint32_t i = 0; i <= LFN_MAX_ENTRIES; i++) {
        const uint8_t *slot = reader_next(&r);
        if (slot == nullptr || r.gap || slot[0] == ENTRY_END || slot[0] == ENTRY_FREE) return false;
        if (slot[DIR_ATTR] != ATTR_LONG_NAME) {
            take_names(n, &run, slot, false);
            return true;
        }
        run_add(&run, slot, r.ordinal - 1, n->units);
    }
    return false;
}

// True for an 8.3 name other tools refuse: a byte below 0x20 (but 0x05 as
// the first, which stands for 0xE5), 0x7F, " * . / : < > ? \ |, or a space
// in front (an empty name part included). Spaces inside a name, small
// letters and + , ; = [ ] are written by some systems and read by all, so
// they pass.
bool bad_short_name(const uint8_t *slot) {
    static const char forbidden[] = "\"*./:<>?\\|";
    if (slot[DIR_NAME] == ' ' || (slot[DIR_CASE] & CASE_BYTE_REFUSED)) return true;
    for (uint32_t i = 0; i < 11; i++) {
        uint8_t b = slot[DIR_NAME + i];
        if (b < 0x20 && !(i == 0 && b == DIR_ESCAPED_E5)) return true;
        if (b == 0x7F || (b != 0 && memchr(forbidden, b, sizeof forbidden - 1) != nullptr)) return true;
    }
    return false;
}

// True for a label other tools refuse, in the boot sector or the root
// directory: a space in front (an empty label included), a byte below 0x20
// or from 0x80 on, or one of " * + , . / : ; < = > ? [ \ ] |.
bool bad_label(const uint8_t *label) {
    if (label[0] == ' ') return true;
    for (uint32_t i = 0; i < LABEL_LENGTH; i++)
        if (label[i] >= 0x80 || fs_label_char_refused(label[i])) return true;
    return false;
}

// A label of 11 spaces: the driver's fixed layout writes it in the boot
// sector for "no label", where other systems write "NO NAME".
bool blank_label(const uint8_t *label) {
    for (uint32_t i = 0; i < LABEL_LENGTH; i++)
        if (label[i] != ' ') return false;
    return true;
}

// Hashes of names: FNV-1a over the code points after the case mapping
// str_equal_nocase compares them by, so that names it calls equal hash
// alike whether they come as UTF-8 or UTF-16, then mixed.
const uint64_t HASH_START = 1469598103934665603ull;

uint64_t hash_step(uint64_t h, uint32_t cp) { return (h ^ str_unicode_upper(cp)) * 1099511628211ull; }

uint64_t hash_finish(uint64_t h) {
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDull;
    h ^= h >> 33;
    return h;
}

uint64_t hash_text(const char *name) {
    uint64_t h = HASH_START;
    while (*name != '\0') {
        uint32_t cp = (uint8_t)*name;
        uint32_t n = 1;
        if (cp >= 0x80) {
            n = str_utf8_decode(name, &cp);
            if (n == 0) { // a stray byte equals only itself
                cp = 0x110000u + (uint8_t)*name;
                n = 1;
            }
        }
        h = hash_step(h, cp);
        name += n;
    }
    return hash_finish(h);
}

// The same over UTF-16 units, read as str_utf16_to_utf8 writes them.
uint64_t hash_units(const uint16_t *units, uint32_t count) {
    uint64_t h = HASH_START;
    for (uint32_t i = 0; i < count; i++) {
        uint32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00u);
            i++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD; // half of a pair
        }
        h = hash_step(h, cp);
    }
    return hash_finish(h);
}

// The hashes of an entry's names; `long_hash` is meaningful when the entry
// has a long name that is not the same name as its 8.3 name.
struct NameHashes {
    uint64_t short_hash;
    uint64_t long_hash;
    bool two_names;
};

void hash_names(EntryNames *n, NameHashes *h) {
    h->short_hash = hash_text(n->short_name);
    h->long_hash = 0;
    h->two_names = false;
    if (n->long_length == 0) return;
    h->long_hash = hash_units(n->units, n->long_length);
    h->two_names = h->long_hash != h->short_hash || !str_equal_nocase(long_text(n), n->short_name);
}

// Notes one name of the directory being scanned; a name whose bits the
// filter has all seen becomes a candidate for the confirming pass.
void note_name(uint64_t h, uint32_t place) {
    uint32_t a = (uint32_t)h & (FILTER_BITS - 1);
    uint32_t b = (uint32_t)(h >> 16) & (FILTER_BITS - 1);
    uint32_t c = (uint32_t)(h >> 48) & (FILTER_BITS - 1);
    bool seen = bit(w->filter, a) && bit(w->filter, b) && bit(w->filter, c);
    set_bit(w->filter, a);
    set_bit(w->filter, b);
    set_bit(w->filter, c);
    if (!seen) return;
    Candidate &k = w->candidates[w->candidate_count++];
    k.hash = (uint32_t)(h >> 32);
    k.place = place;
}

// Compares one name of the entry `n`, whose 8.3 slot is `ordinal`, with
// every candidate of the same hash that comes after it, exactly.
void match_name(uint32_t first, EntryNames *n, bool long_name, uint64_t h, uint32_t ordinal) {
    uint32_t hash = (uint32_t)(h >> 32);
    uint32_t lo = 0;
    uint32_t hi = w->candidate_count;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        if (w->candidates[mid].hash < hash)
            lo = mid + 1;
        else
            hi = mid;
    }
    for (uint32_t i = lo; i < w->candidate_count && w->candidates[i].hash == hash; i++) {
        Candidate &k = w->candidates[i];
        if ((k.place & CANDIDATE_SEEN) || (k.place & CANDIDATE_SLOT) <= ordinal) continue;
        if (!read_entry_at(first, k.place & CANDIDATE_SLOT, &w->other, &scan_read_all)) continue;
        const char *other = (k.place & CANDIDATE_LONG) ? long_text(&w->other) : w->other.short_name;
        if (other[0] == '\0' || !str_equal_nocase(other, long_name ? long_text(n) : n->short_name)) continue;
        k.place |= CANDIDATE_SEEN;
        uint32_t back = push_name(other);
        problem(FS_PROBLEM_DUPLICATE_NAME, first, 1, w->path);
        w->path[back] = '\0';
    }
}

// Moves candidate `i` down the heap of the first `count` candidates.
void sift_down(Candidate *c, uint32_t i, uint32_t count) {
    for (;;) {
        uint32_t largest = i;
        uint32_t left = 2 * i + 1;
        if (left < count && c[left].hash > c[largest].hash) largest = left;
        if (left + 1 < count && c[left + 1].hash > c[largest].hash) largest = left + 1;
        if (largest == i) return;
        Candidate t = c[i];
        c[i] = c[largest];
        c[largest] = t;
        i = largest;
    }
}

// Sorts the candidates by hash (heapsort), for match_name's search.
void sort_candidates(Candidate *c, uint32_t count) {
    for (uint32_t i = count / 2; i > 0; i--) sift_down(c, i - 1, count);
    for (uint32_t end = count; end > 1; end--) {
        Candidate t = c[0];
        c[0] = c[end - 1];
        c[end - 1] = t;
        sift_down(c, 0, end - 1);
    }
}

// Reads the directory again up to the last candidate and reports each
// candidate that an earlier entry really shares its name with.
void confirm_candidates(uint32_t first) {
    Candidate *c = w->candidates;
    uint32_t count = w->candidate_count;
    uint32_t end = 0;
    sort_candidates(c, count);
    for (uint32_t i = 0; i < count; i++)
        if ((c[i].place & CANDIDATE_SLOT) > end) end = c[i].place & CANDIDATE_SLOT;
    SlotReader r;
    reader_seek(&r, first, 0, w->dir_sector, &scan_read_all, false);
    RunState run;
    run_reset(&run);
    for (const uint8_t *slot; (slot = reader_next(&r)) != nullptr;) {
        if (r.gap) {
            r.gap = false;
            run_reset(&run);
        }
        uint32_t ordinal = r.ordinal - 1;
        if (ordinal >= end || slot[0] == ENTRY_END) break;
        if (slot[0] == ENTRY_FREE || dir_is_dot_entry(slot)) {
            run_reset(&run);
            continue;
        }
        if (slot[DIR_ATTR] == ATTR_LONG_NAME) {
            run_add(&run, slot, ordinal, w->names.units);
            continue;
        }
        take_names(&w->names, &run, slot, false);
        if (slot[DIR_ATTR] & ATTR_VOLUME_ID) continue;
        NameHashes h;
        hash_names(&w->names, &h);
        match_name(first, &w->names, false, h.short_hash, ordinal);
        if (h.two_names) match_name(first, &w->names, true, h.long_hash, ordinal);
    }
    w->candidate_count = 0;
}

void check_file_chain(const uint8_t *slot, uint32_t cluster) {
    uint32_t size = le_get(slot + DIR_SIZE, 4);
    uint32_t bytes_per_cluster = (uint32_t)VolumeGeometry.sectors_per_cluster * SECTOR_SIZE;
    uint32_t needed = (uint32_t)(((uint64_t)size + bytes_per_cluster - 1) / bytes_per_cluster);
    bool complete = true;
    uint32_t held = cluster == 0 ? 0 : claim_chain(cluster, &complete);
    if (!complete) return; // the unreadable FAT sector is reported already
    if (held > needed) entry_problem(FS_PROBLEM_CHAIN_TOO_LONG, cluster, held - needed);
    if (held < needed && (cluster == 0 || fat_cluster_valid(cluster)))
        entry_problem(FS_PROBLEM_CHAIN_TOO_SHORT, cluster, needed - held);
}

void check_directory_entry(const uint8_t *slot, uint32_t cluster) {
    // A directory's size field is 0 and its chain starts at a data cluster
    // (cluster 0 would name the root).
    if (cluster == 0 || le_get(slot + DIR_SIZE, 4) != 0) entry_problem(FS_PROBLEM_DIR_ENTRY, cluster, 1);
    if (cluster == 0) return;
    bool fresh = fat_cluster_valid(cluster) && !bit(claimed, cluster);
    bool complete = true;
    claim_chain(cluster, &complete);
    if (fresh) set_bit(to_enter, cluster);
}

// The first two slots of subdirectory `first`: "." naming itself and ".."
// naming `parent` (0: the root), both directories.
void check_dot_slot(const uint8_t *slot, uint32_t ordinal, uint32_t first, uint32_t parent) {
    const char *dot = ordinal == 0 ? ".          " : "..         ";
    uint32_t want = ordinal == 0 ? first : parent;
    if (memcmp(slot, dot, 11) != 0 || !(slot[DIR_ATTR] & ATTR_DIRECTORY) ||
        (slot[DIR_CASE] & CASE_BYTE_REFUSED) || le_get(slot + DIR_FIRST_CLUSTER, 2) != want)
        problem(FS_PROBLEM_DOT_ENTRIES, first, 1, w->path);
}

// First pass over one directory: its slots, names, runs, "." and "..", and
// the chains of its entries. Subdirectories are marked for entering.
// Returns whether every sector of it could be read.
bool scan_directory(uint32_t first, uint32_t parent) {
    scan_read_all = true;
    memset(w->filter, 0, sizeof w->filter);
    w->candidate_count = 0;
    SlotReader r;
    reader_seek(&r, first, 0, w->dir_sector, &scan_read_all, true);
    RunState run;
    run_reset(&run);
    for (const uint8_t *slot; (slot = reader_next(&r)) != nullptr;) {
        if (r.gap) { // a run cut by an unreadable sector is no damage of its own
            r.gap = false;
            run_reset(&run);
        }
        uint32_t ordinal = r.ordinal - 1;
        if (first != 0 && ordinal < 2) {
            check_dot_slot(slot, ordinal, first, parent);
            if (dir_is_dot_entry(slot)) { // ends a run in front of it, as any 8.3 entry does
                take_names(&w->names, &run, slot, true);
                continue;
            }
        }
        if (slot[0] == ENTRY_END) break;
        if (slot[0] == ENTRY_FREE) {
            if (run.pending) problem(FS_PROBLEM_LONG_NAME, 0, 1, w->path);
            run_reset(&run);
            continue;
        }
        if (slot[DIR_ATTR] == ATTR_LONG_NAME) {
            if (slot[LFN_RESERVED] != 0 || le_get(slot + LFN_FIRST_CLUSTER, 2) != 0)
                problem(FS_PROBLEM_LONG_NAME, 0, 1, w->path);
            run_add(&run, slot, ordinal, w->names.units);
            continue;
        }
        uint32_t start = take_names(&w->names, &run, slot, true);
        uint8_t attr = slot[DIR_ATTR];
        if (dir_is_dot_entry(slot)) { // only the first two slots of a subdirectory
            problem(FS_PROBLEM_DOT_ENTRIES, first, 1, w->path);
            continue;
        }
        current = &w->names;
        if (attr & ATTR_VOLUME_ID) { // a label: its name follows other rules
            if (first != 0) entry_problem(FS_PROBLEM_STRAY_LABEL, 0, 1);
            if (first == 0 && !w->has_root_label) {
                if (bad_label(slot + DIR_NAME)) entry_problem(FS_PROBLEM_BAD_LABEL, 0, 1);
                memcpy(w->root_label, slot + DIR_NAME, LABEL_LENGTH);
                w->has_root_label = true;
            }
            current = nullptr;
            continue;
        }
        if (bad_short_name(slot)) entry_problem(FS_PROBLEM_BAD_NAME, 0, 1);
        if (ordinal < MAX_COMPARED_SLOTS) {
            NameHashes h;
            hash_names(&w->names, &h);
            note_name(h.short_hash, ordinal);
            if (h.two_names) note_name(h.long_hash, start | CANDIDATE_LONG);
        }
        uint32_t cluster = le_get(slot + DIR_FIRST_CLUSTER, 2);
        if (attr & ATTR_DIRECTORY) {
            report->directories++;
            check_directory_entry(slot, cluster);
        } else {
            report->files++;
            check_file_chain(slot, cluster);
        }
        current = nullptr;
        if (w->candidate_count + 2 > MAX_CANDIDATES) { // room for the next entry's two names
            uint32_t resume = r.ordinal;
            confirm_candidates(first);
            reader_seek(&r, first, resume, w->dir_sector, &scan_read_all, true);
        }
    }
    if (run.pending) problem(FS_PROBLEM_LONG_NAME, 0, 1, w->path);
    if (w->candidate_count > 0) confirm_candidates(first);
    return scan_read_all;
}

// Where a long-name run in front of an entry starts, for the walk, which
// reads a name only for the subdirectories it enters (read_entry_at then
// applies every rule of the run from its first slot). A run that began
// while another was unfinished is broken whatever its own slots hold.
struct RunMark {
    bool pending;
    bool broken;
    uint32_t start;
};

void mark_slot(RunMark *m, const uint8_t *slot, uint32_t ordinal) {
    if (slot[LFN_SEQUENCE] & LFN_LAST_FLAG) {
        m->broken = m->pending;
        m->pending = true;
        m->start = ordinal;
    } else if (!m->pending) {
        m->pending = true;
        m->broken = true;
    }
}

// Checks the whole tree, depth first: each directory is scanned when it is
// entered, then read again to enter the subdirectories it owns.
void check_tree(void) {
    Level *levels = w->levels;
    w->path[0] = '\0';
    levels[0].first = 0;
    levels[0].path_length = 0;
    levels[0].read_all = scan_directory(0, 0);
    uint32_t depth = 0;
    SlotReader r;
    reader_seek(&r, 0, 0, w->dir_sector, &levels[0].read_all, false);
    RunMark mark = {false, false, 0};
    for (;;) {
        const uint8_t *slot = reader_next(&r);
        if (r.gap) {
            r.gap = false;
            mark.pending = false;
        }
        if (slot == nullptr || slot[0] == ENTRY_END) {
            if (depth == 0) return;
            depth--;
            w->path[levels[depth].path_length] = '\0';
            reader_seek(&r, levels[depth].first, levels[depth].ordinal, w->dir_sector,
                        &levels[depth].read_all, false);
            mark.pending = false;
            continue;
        }
        uint32_t ordinal = r.ordinal - 1;
        if (slot[0] == ENTRY_FREE) {
            mark.pending = false;
            continue;
        }
        if (slot[DIR_ATTR] == ATTR_LONG_NAME) {
            mark_slot(&mark, slot, ordinal);
            continue;
        }
        uint32_t start = mark.pending && !mark.broken ? mark.start : ordinal;
        mark.pending = false;
        uint32_t cluster = le_get(slot + DIR_FIRST_CLUSTER, 2);
        if (!(slot[DIR_ATTR] & ATTR_DIRECTORY) || (slot[DIR_ATTR] & ATTR_VOLUME_ID) ||
            dir_is_dot_entry(slot) || !fat_cluster_valid(cluster) || !bit(to_enter, cluster))
            continue;
        clear_bit(to_enter, cluster); // each directory is entered once
        if (start == ordinal ||
            !read_entry_at(levels[depth].first, start, &w->other, &levels[depth].read_all)) {
            w->other.long_length = 0;
            dir_short_name_text(slot, w->other.short_name);
        }
        uint32_t back = push_name(entry_name(&w->other));
        if (depth + 1 >= MAX_DEPTH) {
            problem(FS_PROBLEM_TOO_DEEP, cluster, 1, w->path);
            w->path[back] = '\0';
            continue;
        }
        levels[depth].ordinal = r.ordinal;
        bool read_all = scan_directory(cluster, levels[depth].first);
        depth++;
        levels[depth].first = (uint16_t)cluster;
        levels[depth].path_length = (uint16_t)str_len(w->path);
        levels[depth].read_all = read_all;
        reader_seek(&r, cluster, 0, w->dir_sector, &levels[depth].read_all, false);
        mark.pending = false;
    }
}

// Entry 0 of a FAT copy whose first sector is `sector`.
void check_fat_head(uint32_t sector, uint32_t entry0) {
    if (entry0 != (FAT_HEAD_HIGH | VolumeGeometry.media)) problem(FS_PROBLEM_FAT_HEAD, sector, 1, "");
}

// Every sector of every FAT copy that holds entries, each copy's head, and
// every further copy against the first. Entry 1 holds the flags other
// systems set and clear for a clean shutdown; it is not compared with a
// rule, as fsck.fat does not.
void check_fats(void) {
    uint32_t entries = VolumeGeometry.cluster_count + 2;
    uint32_t sectors = (entries + FAT_ENTRIES_PER_SECTOR - 1) / FAT_ENTRIES_PER_SECTOR;
    for (uint32_t s = 0; s < sectors; s++) fat_value(s * FAT_ENTRIES_PER_SECTOR); // reports failures
    if (!bit(w->fat_unreadable, 0)) check_fat_head(VolumeGeometry.fat1_start, fat_value(0));
    for (uint32_t k = 1; k < VolumeGeometry.fat_count; k++) {
        uint32_t start = VolumeGeometry.fat1_start + k * VolumeGeometry.sectors_per_fat;
        uint32_t first_diff = 0;
        uint32_t diffs = 0;
        for (uint32_t s = 0; s < sectors; s++) {
            if (disk_read_sector(w->other_sector, start + s) != FS_OK) {
                problem(FS_PROBLEM_IO, start + s, 1, "");
                continue;
            }
            if (s == 0) check_fat_head(start, le_get(w->other_sector, 2));
            if (bit(w->fat_unreadable, s)) continue;
            uint32_t base = s * FAT_ENTRIES_PER_SECTOR;
            for (uint32_t n = base; n < entries && n < base + FAT_ENTRIES_PER_SECTOR; n++)
                if (le_get(w->other_sector + (n - base) * 2, 2) != fat_value(n) && diffs++ == 0)
                    first_diff = n;
        }
        if (diffs > 0) problem(FS_PROBLEM_FAT_COPIES_DIFFER, first_diff, diffs, "");
    }
}

// The boot sector: false when it no longer passes the mount rules (the
// check cannot go on). Two totals that disagree are reported; the mount
// used the 32-bit one.
bool check_boot_sector(void) {
    uint32_t sector = VolumeGeometry.partition_start;
    if (disk_read_sector(w->other_sector, sector) != FS_OK) {
        problem(FS_PROBLEM_IO, sector, 1, "");
        return false;
    }
    if (!fs_boot_sector_valid(w->other_sector)) {
        problem(FS_PROBLEM_BOOT_SECTOR, 0, 1, "");
        return false;
    }
    // The label of an extended boot sector: valid, and the same as the
    // root directory's label ("NO NAME" when the root has none), which the
    // walk finds later (check_labels).
    if (w->other_sector[BS_EXT_SIGNATURE] == BS_EXTENDED) {
        memcpy(w->boot_label, w->other_sector + BS_LABEL, LABEL_LENGTH);
        w->has_boot_label = true;
        if (!blank_label(w->boot_label) && bad_label(w->boot_label))
            problem(FS_PROBLEM_BAD_LABEL, 0, 1, "boot sector");
    }
    uint32_t total16 = le_get(w->other_sector + BPB_TOTAL_SECTORS_16, 2);
    uint32_t total32 = le_get(w->other_sector + BPB_TOTAL_SECTORS_32, 4);
    if (total16 != 0 && total32 != 0 && total16 != total32) problem(FS_PROBLEM_BOOT_SECTOR, 0, 1, "");
    // An image cut short: its volume's last sector is missing.
    uint32_t last = VolumeGeometry.partition_start + VolumeGeometry.total_sectors - 1;
    if (disk_read_sector(w->other_sector, last) != FS_OK) problem(FS_PROBLEM_SHORT_IMAGE, last, 1, "");
    return true;
}

// The boot sector's label against the root directory's.
void check_labels(void) {
    const uint8_t *boot = w->boot_label;
    if (!w->has_boot_label || (!blank_label(boot) && bad_label(boot)) ||
        (w->has_root_label && bad_label(w->root_label)))
        return; // a label that is not valid is reported already
    if (!w->has_root_label && blank_label(boot)) return;
    const uint8_t *want = w->has_root_label ? w->root_label : (const uint8_t *)BS_NO_LABEL;
    if (memcmp(boot, want, LABEL_LENGTH) != 0) problem(FS_PROBLEM_LABEL_MISMATCH, 0, 1, "");
}

// Used, free and lost clusters, from the claims and the first FAT.
void count_clusters(void) {
    uint32_t lost = 0;
    uint32_t first_lost = 0;
    for (uint32_t c = 2; c <= VolumeGeometry.cluster_count + 1; c++) {
        if (bit(claimed, c)) {
            report->used_clusters++;
            continue;
        }
        uint32_t value = fat_value(c);
        if (value == FAT_FREE) {
            report->free_clusters++;
        } else if (value != FAT_BAD_CLUSTER && value != FAT_READ_FAILED) { // marked bad, or unknown
            if (lost++ == 0) first_lost = c;
        }
    }
    report->lost_clusters = lost;
    if (lost > 0) problem(FS_PROBLEM_LOST_CLUSTERS, first_lost, lost, "");
}

} // namespace

extern "C" {

uint32_t fs_check_work_size(void) {
    if (!fs_is_mounted()) return 0;
    return (uint32_t)(alignof(Work) - 1 + sizeof(Work) + 2 * bitmap_bytes());
}

FsStatus fs_check(FsCheckReport *out, void *work, uint32_t work_size) {
    if (out == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    memset(out, 0, sizeof *out);
    report = out;
    if (!fs_is_mounted()) {
        problem(FS_PROBLEM_BOOT_SECTOR, 0, 1, "");
        return fs_fail(FS_ERR_NOT_MOUNTED);
    }
    if (work == nullptr || work_size < fs_check_work_size()) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    uintptr_t at = (uintptr_t)work;
    w = (Work *)((at + alignof(Work) - 1) & ~(uintptr_t)(alignof(Work) - 1));
    claimed = (uint8_t *)(w + 1);
    to_enter = claimed + bitmap_bytes();
    memset(claimed, 0, 2 * bitmap_bytes());
    memset(w->fat_unreadable, 0, sizeof w->fat_unreadable);
    w->fat_sector_number = NO_SECTOR;
    w->candidate_count = 0;
    w->has_root_label = false;
    w->has_boot_label = false;
    if (check_boot_sector()) {
        check_fats();
        check_tree();
        check_labels();
        count_clusters();
    }
    w = nullptr; // nothing of the caller's memory is kept
    claimed = nullptr;
    to_enter = nullptr;
    report = nullptr;
    if (out->problem_count != 0) return fs_fail(FS_ERR_DAMAGED);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

const char *fs_check_problem_text(uint8_t kind) {
    switch (kind) {
    case FS_PROBLEM_BOOT_SECTOR:
        return "boot sector fails the mount rules or its two sector totals disagree, or no volume is mounted";
    case FS_PROBLEM_FAT_COPIES_DIFFER: return "FAT copies differ";
    case FS_PROBLEM_BAD_CLUSTER: return "cluster outside the data area";
    case FS_PROBLEM_CHAIN_LOOP: return "cluster chain loops";
    case FS_PROBLEM_CROSS_LINK: return "cluster shared by two chains";
    case FS_PROBLEM_BAD_CHAIN_END: return "cluster chain runs into a free, reserved or bad-cluster entry";
    case FS_PROBLEM_LOST_CLUSTERS: return "clusters in use that no entry reaches";
    case FS_PROBLEM_CHAIN_TOO_LONG: return "file holds more clusters than its size needs";
    case FS_PROBLEM_CHAIN_TOO_SHORT: return "file holds fewer clusters than its size needs";
    case FS_PROBLEM_DOT_ENTRIES:
        return "\".\" or \"..\" entry missing, wrong, out of place or with case flag 0x20";
    case FS_PROBLEM_LONG_NAME:
        return "long-name entries out of order, unfinished, with a wrong checksum or non-zero reserved "
               "fields";
    case FS_PROBLEM_DUPLICATE_NAME: return "two entries share a name";
    case FS_PROBLEM_TOO_DEEP: return "directories nested too deep to check";
    case FS_PROBLEM_IO: return "sector could not be read";
    case FS_PROBLEM_SHORT_IMAGE: return "the volume reaches past the end of the image";
    case FS_PROBLEM_FAT_HEAD: return "FAT copy does not begin with the media byte";
    case FS_PROBLEM_BAD_NAME:
        return "8.3 name holds a character FAT forbids, starts with a space or has case flag 0x20";
    case FS_PROBLEM_BAD_LABEL:
        return "volume label holds a character a label cannot hold, or starts with a space";
    case FS_PROBLEM_LABEL_MISMATCH: return "boot sector's label differs from the root directory's";
    case FS_PROBLEM_DIR_ENTRY: return "directory entry with a size, or without a first cluster";
    case FS_PROBLEM_STRAY_LABEL: return "volume label outside the root directory";
    default: return "unknown problem";
    }
}
}

#endif // FS_WITH_CHECK
