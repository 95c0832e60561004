// The directory cursor and the entry reader. The cursor stands on one slot
// of one directory, the root area or a subdirectory's cluster chain; the
// reader returns live entries from it, assembling long names.
#include <string.h>

#include "fat16_disk.h"
#include "fat16_dir.h"
#include "fat16_layout.h"
#include "fat16_volume.h"

extern "C" {
DirCursorState DirCursor;
FoundEntryRecord FoundEntry;
CursorSlotRecord CursorSlot[2];
}

namespace {

const uint32_t END_STATE = SECTOR_SIZE; // cursor offset after the last slot

// Loop guard of the chain the cursor follows. `guard_cluster` is the cluster
// the guard last stepped to; when the cursor stands elsewhere (it was moved
// to another directory) the guard starts afresh from there.
FatChainGuard guard;
uint32_t guard_cluster = 0xFFFFFFFFu;
FatChainGuard saved_guard[2];
uint32_t saved_guard_cluster[2] = {0xFFFFFFFFu, 0xFFFFFFFFu};

// What the entry reader returned last. The reader has no sector buffer of
// its own: it reads the device layer's window in place.
uint8_t last_short[DIR_SLOT_SIZE];
// The long name of that entry is not kept: the reader writes its text into
// the caller's name area, compares that with the name a search wants
// (dir_want_name), and notes the name's length in units (0: none) and
// where its run starts, to read the run again for a caller that wants more.
uint16_t long_count;
uint8_t run_slots;    // slots of the run
uint8_t long_matches; // the long name is the wanted one (1), or may be (MATCH_UNKNOWN)
// Where the reader cut the long name's text in the caller's area at its
// last dot, or TEXT_WHOLE (not cut) or TEXT_ELSEWHERE (not there: too long).
uint16_t long_cut;
const uint16_t TEXT_WHOLE = 0xFFFE;
const uint16_t TEXT_ELSEWHERE = 0xFFFF;
const uint8_t MATCH_UNKNOWN = 2;
DirCursorMark run_mark;

#if !FS_READ_ONLY
// The free-run watch (dir_watch_free_run): while `watching`, the slots the
// reader passes are looked at for the first run of `watch_count` free ones,
// `watch_run` long so far from `watch_start`.
bool watching;
uint32_t watch_count; // 0: nothing watched
uint32_t watch_run;
DirCursorState watch_start;

// The reader passes the slot at the cursor.
void watch_slot(const uint8_t *slot) {
    if (!watching || watch_run >= watch_count) return; // the first run is found
    if (slot[0] == ENTRY_END || slot[0] == ENTRY_FREE) {
        if (watch_run++ == 0) watch_start = DirCursor;
    } else {
        watch_run = 0;
    }
}
#else
void watch_slot(const uint8_t *) {} // a library that only reads creates nothing
#endif

// A name compared with a long name read again, chunk by chunk, last one
// first: its UTF-16 units are taken from its end backwards, each once.
struct Wanted {
    const char *text;
    uint32_t length;
    uint32_t units;   // 0: no name, or one no long name can equal (no UTF-8)
    uint32_t at;      // the units taken so far start at text[at]
    uint16_t pending; // the first half of a pair whose second half was taken
};
Wanted wanted_from_end(const char *name, uint32_t length) {
    uint32_t units = name == nullptr ? 0 : str_utf16_units(name, length);
    return Wanted{name, length, units == 0xFFFFFFFFu ? 0 : units, length, 0};
}

// The name scans want (dir_want_name).
const char *wanted_text;
uint32_t wanted_length;
uint32_t wanted_units;

// The unit before those taken so far (the text is valid UTF-8 and has one).
uint16_t unit_before(Wanted &w) {
    uint16_t unit = w.pending;
    if (unit != 0) {
        w.pending = 0;
        return unit;
    }
    uint32_t start = w.at;
    do start--;
    while (start > 0 && ((uint8_t)w.text[start] & 0xC0) == 0x80);
    uint32_t cp = 0;
    str_utf8_decode(w.text + start, &cp);
    w.at = start;
    if (cp < 0x10000) return (uint16_t)cp;
    cp -= 0x10000;
    w.pending = (uint16_t)(0xD800 + (cp >> 10));
    return (uint16_t)(0xDC00 + (cp & 0x3FF));
}

// True when the `length` units of a chunk (`units`, or ASCII `bytes`)
// equal, without regard to case, the units of `name` before the `after`
// units compared so far.
bool chunk_equals(Wanted &name, const uint16_t *units, const char *bytes, uint32_t length, uint32_t after) {
    if (after + length > name.units) return false;
    for (uint32_t k = length; k-- > 0;) {
        uint16_t have = units != nullptr ? units[k] : (uint8_t)bytes[k];
        uint16_t unit = unit_before(name);
        if (unit != have && str_unicode_upper(unit) != str_unicode_upper(have)) return false;
    }
    return true;
}

// A long name's text made chunk by chunk, last chunk first: each chunk's
// UTF-8 goes in front of the text so far, which ends at out[end]. A low
// surrogate that starts a chunk waits for the chunk before it, which may
// end with its other half.
struct BackText {
    char *out;
    uint32_t start; // the text is out[start .. end)
    uint32_t end;
    uint16_t carry; // 0: none
    bool overflow;
};

// Without `out` (a comparison only) no text is made.
void back_start(BackText &t, char *out, uint32_t room) {
    t.out = out;
    t.start = t.end = room - 1; // and the NUL
    t.carry = 0;
    t.overflow = out == nullptr;
}

void back_units(BackText &t, const uint16_t *units, uint32_t count) {
    if (t.overflow) return;
    char text[3 * (LFN_CHARS + 1) + 1];
    uint32_t bytes = str_utf16_to_utf8(units, count, text, sizeof text);
    if (bytes > t.start) {
        t.overflow = true;
        return;
    }
    t.start -= bytes;
    memcpy(t.out + t.start, text, bytes);
}

void back_put(BackText &t, const uint16_t *chunk, uint32_t length) {
    if (length == 0) return;
    uint16_t units[LFN_CHARS + 1];
    const uint32_t skip = chunk[0] >= 0xDC00 && chunk[0] <= 0xDFFF ? 1 : 0;
    uint32_t n = length - skip;
    memcpy(units, chunk + skip, n * sizeof units[0]);
    if (t.carry != 0) units[n++] = t.carry;
    t.carry = skip ? chunk[0] : 0;
    back_units(t, units, n);
}

// Takes the long-name slot `slot` into a name being read (last chunk
// first): its chunk goes to `text` and, with `name`, is compared with it
// (`*equal`); `*total` counts the units so far. False when the name would
// grow past the units a name may have.
bool take_chunk(const uint8_t *slot, uint32_t *total, BackText &text, Wanted *name, bool *equal) {
#if !defined(__OPTIMIZE_SIZE__)
    // Speed where it is wanted: an ASCII chunk (nearly every one) goes
    // straight from the slot into the text.
    if (text.carry == 0 && !text.overflow && text.start >= LFN_CHARS) {
        char *chunk = text.out + text.start - LFN_CHARS;
        uint32_t length = lfn_slot_ascii(slot, chunk);
        if (length != 0xFFFFFFFFu) {
            if (*total + length > LFN_MAX_NAME) return false;
            if (length < LFN_CHARS) memmove(chunk + LFN_CHARS - length, chunk, length);
            text.start -= length;
            if (name != nullptr)
                *equal = *equal && chunk_equals(*name, nullptr, text.out + text.start, length, *total);
            *total += length;
            return true;
        }
    }
#endif
    uint16_t chunk[LFN_CHARS];
    uint32_t length = lfn_slot_units(slot, chunk);
    if (*total + length > LFN_MAX_NAME) return false;
    if (name != nullptr) *equal = *equal && chunk_equals(*name, chunk, nullptr, length, *total);
    back_put(text, chunk, length);
    *total += length;
    return true;
}

// Ends the text with its NUL at out[0]: its length, or 0xFFFFFFFF when it
// did not fit.
uint32_t back_finish(BackText &t) {
    if (t.carry != 0) back_units(t, &t.carry, 1);
    if (t.overflow) return 0xFFFFFFFFu;
    uint32_t length = t.end - t.start;
    memmove(t.out, t.out + t.start, length);
    t.out[length] = '\0';
    return length;
}

// Follows the chain from the cursor's cluster to the next one. FS_FAIL at
// the chain's end, at a link to no data cluster, or when the chain loops;
// `*next` receives the value read either way. A walk that ended leaves no
// guard behind: the next directory read from that cluster (on this volume
// or the next one) starts a guard of its own.
FsStatus step_cluster(uint32_t *next) {
    if (guard_cluster != DirCursor.cluster) fat_guard_start(&guard, DirCursor.cluster);
    *next = fat_read_entry(DirCursor.cluster);
    if (!fat_cluster_valid(*next) || fat_guard_step(&guard, *next) != FS_OK) {
        guard_cluster = 0xFFFFFFFFu;
        return FS_FAIL;
    }
    guard_cluster = *next;
    return FS_OK;
}

// The cursor's sector in the window; a sector that cannot be read reads as
// an empty one, so that stale bytes are never taken for entries. The
// pointer is good until the next sector transfer.
const uint8_t *reader_sector(void) {
    const uint8_t *sector = disk_window_read(DirCursor.sector);
    return sector != nullptr ? sector : disk_zero_sector();
}

bool slot_is_end(const uint8_t *buffer) {
    return buffer[DirCursor.offset] == 0x00 && buffer[DirCursor.offset + 1] == 0x00;
}

// True when the cursor's sector is the last one of its cluster.
bool at_cluster_end(void) {
    uint32_t first = cluster_to_sector(DirCursor.cluster);
    return DirCursor.sector - first + 1 >= VolumeGeometry.sectors_per_cluster;
}

// Steps 1 to 3 of taking an 8.3 entry: its name, extension and fields.
void take_short_fields(const uint8_t *slot, char *name_out, char *ext_out) {
    // With kept case, the flags other systems set for an all-small name
    // part or extension are applied.
    dir_short_parts(slot, name_out, ext_out, (fs_get_options() & FS_OPT_KEEP_CASE) != 0);
    if (DirCursor.search_kind == KIND_FILE && DirCursor.component_kind == KIND_FILE)
        FoundEntry.size = le_get(slot + DIR_SIZE, 4);
    FoundEntry.first_cluster = le_get(slot + DIR_FIRST_CLUSTER, 2);
    FoundEntry.entry_sector = DirCursor.sector;
    FoundEntry.entry_offset = DirCursor.offset;
}

// Splits a long name at its last '.', looking at most 15 positions back and
// at position 0 only for a one-character name. Returns where it cut
// (TEXT_WHOLE: nowhere).
uint16_t split_long_name(char *name_out, uint32_t len, char *ext_out) {
    ext_out[0] = '\0';
    uint32_t lowest = len > 15 ? len - 15 : 0;
    if (lowest == 0 && len > 1) lowest = 1;
    for (uint32_t p = len; p-- > lowest;) {
        if (name_out[p] == '.') {
            str_copy(name_out + p + 1, ext_out);
            name_out[p] = '\0';
            return (uint16_t)p;
        }
    }
    return TEXT_WHOLE;
}

// How the cursor moved.
enum Step { SAME_SECTOR, NEW_SECTOR, DIRECTORY_END };

// Moves the cursor one slot on, following the chain at a cluster's end;
// the caller brings in a new sector. At the chain's end the cursor's
// cluster holds the value that ended it.
Step advance(void) {
    if (DirCursor.offset >= END_STATE) return DIRECTORY_END;
    DirCursor.offset += DIR_SLOT_SIZE;
    if (DirCursor.offset < END_STATE) return SAME_SECTOR;

    if (DirCursor.in_chain == 0) {
        if (DirCursor.sector + 1 >= VolumeGeometry.root_dir_start + VolumeGeometry.root_dir_sectors)
            return DIRECTORY_END;
        DirCursor.sector++;
    } else if (!fat_cluster_valid(DirCursor.cluster)) {
        return DIRECTORY_END;
    } else if (!at_cluster_end()) {
        DirCursor.sector++;
    } else {
        uint32_t next = 0;
        FsStatus stepped = step_cluster(&next);
        DirCursor.cluster = next; // at the end: the value that ended the chain
        if (stepped != FS_OK) return DIRECTORY_END;
        DirCursor.sector = cluster_to_sector(DirCursor.cluster);
    }
    DirCursor.offset = 0;
    return NEW_SECTOR;
}

// The reader's step: the next slot, its sector in `*sector`. FS_FAIL at an
// end slot or the directory's end.
FsStatus next_slot(const uint8_t **sector) {
    watch_slot(*sector + DirCursor.offset);
    Step step = advance();
    if (step == DIRECTORY_END) return FS_FAIL;
    if (step == NEW_SECTOR) *sector = reader_sector();
    return slot_is_end(*sector) ? FS_FAIL : FS_OK;
}

// Passes over the slot at the cursor. FS_FAIL at the directory's end.
FsStatus pass_over(const uint8_t **sector) {
    FoundEntry.entry_sector = DirCursor.sector;
    FoundEntry.entry_offset = DirCursor.offset;
    return next_slot(sector);
}

// Takes the 8.3 entry at the cursor into FoundEntry and the two outputs,
// and steps past it.
void take_short_name(const uint8_t **sector, char *name_out, char *ext_out) {
    take_short_fields(*sector + DirCursor.offset, name_out, ext_out);
    next_slot(sector);
}

// Ends a long-name read that found no entry: the name being gathered is
// dropped, so that it never reads as a stale one.
FsStatus no_long_name(void) {
    long_count = 0;
    long_matches = 0;
    return FS_FAIL;
}

FsStatus read_long_name(const uint8_t **sector, char *name_out, char *ext_out);

} // namespace

extern "C" {

void dir_cursor_start(uint32_t cluster) {
    guard_cluster = 0xFFFFFFFFu; // a new walk of a chain
    DirCursor.offset = 0;
    if (cluster == 0) {
        DirCursor.in_chain = 0;
        DirCursor.sector = VolumeGeometry.root_dir_start;
    } else {
        DirCursor.in_chain = 1;
        DirCursor.cluster = cluster;
        DirCursor.sector = cluster_to_sector(cluster);
    }
}

FsStatus dir_next_entry(uint8_t *buffer) {
    Step step = advance();
    if (step == DIRECTORY_END) return FS_FAIL;
    if (step == NEW_SECTOR && disk_read_sector(buffer, DirCursor.sector) != FS_OK)
        memset(buffer, 0, SECTOR_SIZE);
    return slot_is_end(buffer) ? FS_FAIL : FS_OK;
}

#if !FS_READ_ONLY
FsStatus dir_advance_or_grow(uint8_t *buffer) {
    const uint32_t last = DirCursor.cluster;
    const bool last_slot = DirCursor.in_chain != 0 && DirCursor.offset + DIR_SLOT_SIZE == END_STATE &&
                           fat_cluster_valid(last) && at_cluster_end();
    Step step = advance();
    if (step == DIRECTORY_END) {
        // Grow only a chain that ends in an end mark; a chain that loops or
        // links to no data cluster is damaged and is left alone, and an
        // unreadable FAT sector says nothing about where it ends. The
        // buffer then holds the new cluster's first sector: zeros, not read.
        uint32_t added = 0;
        if (!last_slot || !fat_is_end_mark(DirCursor.cluster) ||
            fat_append_cluster(last, &added, buffer) != FS_OK)
            return FS_FAIL;
        DirCursor.cluster = added;
        DirCursor.sector = cluster_to_sector(added);
        DirCursor.offset = 0;
        guard_cluster = added;
        return FS_OK;
    }
    if (step == NEW_SECTOR && disk_read_sector(buffer, DirCursor.sector) != FS_OK) return FS_FAIL;
    return FS_OK;
}
#endif

FsStatus dir_take_short_name(uint8_t *buffer, char *name_out, char *ext_out) {
    take_short_fields(buffer + DirCursor.offset, name_out, ext_out);
    dir_next_entry(buffer);
    return FS_OK;
}

} // extern "C"

namespace {

FsStatus read_long_name(const uint8_t **sector, char *name_out, char *ext_out) {
    ext_out[0] = '\0';
    for (;;) {
        // A run of more slots than any name takes, or of more units than a
        // name may have, is longer than any valid name: the entry reads by
        // its alias. The text goes into name_out as it comes.
        uint32_t count = 0;
        uint32_t total = 0;
        bool too_long = false;
        BackText text;
        back_start(text, name_out, LFN_MAX_NAME + 1);
        no_long_name();
        dir_cursor_mark(&run_mark);
        const uint8_t *slot = *sector + DirCursor.offset;
        while (slot[DIR_ATTR] == ATTR_LONG_NAME) {
            too_long =
                too_long || ++count > LFN_MAX_ENTRIES || !take_chunk(slot, &total, text, nullptr, nullptr);
            if (pass_over(sector) != FS_OK) return no_long_name();
            slot = *sector + DirCursor.offset;
        }
        // A run that ends in a free or end slot has no alias: the caller
        // goes on from that slot.
        if (slot[0] == ENTRY_FREE || slot[0] == ENTRY_END) return no_long_name();

        if ((slot[DIR_ATTR] & ATTR_VOLUME_ID) == 0) {
            FoundEntry.first_cluster = le_get(slot + DIR_FIRST_CLUSTER, 2);
            FoundEntry.size = le_get(slot + DIR_SIZE, 4);
            if (!too_long) {
                long_count = (uint16_t)total;
                run_slots = (uint8_t)count;
            }
            // Callers give the reader 256 bytes of name: a name longer in
            // UTF-8 reads there by its alias (dir_last_long_text reads it
            // whole).
            uint32_t bytes = too_long ? 0xFFFFFFFFu : back_finish(text);
            if (bytes == 0xFFFFFFFFu) take_short_fields(slot, name_out, ext_out);
            // The wanted name is compared with the text; where the text did
            // not fit, with the slots read again if a caller asks.
            if (long_count != 0 && long_count == wanted_units)
                long_matches = bytes != 0xFFFFFFFFu ? str_equal_nocase_n(name_out, wanted_text, wanted_length)
                                                    : MATCH_UNKNOWN;
            long_cut = bytes != 0xFFFFFFFFu ? split_long_name(name_out, bytes, ext_out) : TEXT_ELSEWHERE;
            return FS_OK;
        }

        // A label stands where the alias should be: drop the text and go on
        // to the next long-name run or plain entry.
        for (;;) {
            if (pass_over(sector) != FS_OK) return FS_FAIL;
            slot = *sector + DirCursor.offset;
            if (slot[0] == ENTRY_END) return FS_FAIL;
            if (slot[0] == ENTRY_FREE) continue;
            if (slot[DIR_ATTR] == ATTR_LONG_NAME) break; // build anew from here
            if ((slot[DIR_ATTR] & ATTR_VOLUME_ID) == 0) {
                take_short_fields(slot, name_out, ext_out);
                return FS_OK;
            }
        }
    }
}

// Reads the run of the entry returned last again, from its first slot (the
// name's last chunk), as read_long_name takes it. True when the run still
// holds a name of the length the reader found; the cursor stays where it
// was.
bool read_run_again(BackText &text, Wanted *name, bool *equal) {
    if (long_count == 0) return false;
    DirCursorMark here;
    dir_cursor_mark(&here);
    dir_cursor_return(&run_mark);
#if !FS_READ_ONLY
    const bool was_watching = watching; // these slots were passed already
    watching = false;
#endif
    const uint8_t *sector = reader_sector();
    uint32_t total = 0;
    for (uint32_t i = 0; i < run_slots; i++) {
        const uint8_t *slot = sector + DirCursor.offset;
        if (slot[DIR_ATTR] != ATTR_LONG_NAME || !take_chunk(slot, &total, text, name, equal)) break;
        if (i + 1 < run_slots && next_slot(&sector) != FS_OK) break;
    }
    dir_cursor_return(&here);
#if !FS_READ_ONLY
    watching = was_watching;
#endif
    return total == long_count;
}

} // namespace

extern "C" {

FsStatus dir_read_long_name(uint8_t *buffer, char *name_out, char *ext_out) {
    const uint8_t *sector = buffer;
    FsStatus status = read_long_name(&sector, name_out, ext_out);
    if (sector != buffer) memcpy(buffer, sector, SECTOR_SIZE);
    return status;
}

FsStatus dir_read_entry(char *name_out, char *ext_out, uint8_t listing) {
    if (DirCursor.offset >= END_STATE) return FS_FAIL;
    const uint8_t *buffer = reader_sector();
    for (;;) {
        if (DirCursor.offset >= END_STATE) return FS_FAIL;
        const uint8_t *slot = buffer + DirCursor.offset;
        if (slot[0] == ENTRY_END) return FS_FAIL;
        if (slot[0] == ENTRY_FREE) {
            if (pass_over(&buffer) != FS_OK) return FS_FAIL;
            continue;
        }
        uint8_t a = slot[DIR_ATTR];
        if (a == ATTR_LONG_NAME) {
            if (read_long_name(&buffer, name_out, ext_out) != FS_OK) continue; // re-examine where it stopped
            // The alias (never a label: the reader passes those); the buffer
            // holds its sector, and FoundEntry its first cluster.
            slot = buffer + DirCursor.offset;
            FoundEntry.attr = slot[DIR_ATTR];
            FoundEntry.entry_sector = DirCursor.sector;
            FoundEntry.entry_offset = DirCursor.offset;
            memcpy(last_short, slot, DIR_SLOT_SIZE);
            next_slot(&buffer);
            return FS_OK;
        }
        FoundEntry.attr = a;
        bool passed = false;
        if (!listing) {
            // A directory is any entry with the directory bit (and no label
            // bit), whatever other attributes it has.
            if ((a & ATTR_DIRECTORY) && !(a & ATTR_VOLUME_ID))
                passed = DirCursor.search_kind == KIND_FILE && DirCursor.component_kind == KIND_FILE;
            else
                passed = DirCursor.search_kind == KIND_DIR;
        }
        if (passed) {
            if (pass_over(&buffer) != FS_OK) return FS_FAIL;
            continue;
        }
        memcpy(last_short, slot, DIR_SLOT_SIZE);
        no_long_name();
        take_short_name(&buffer, name_out, ext_out);
        return FS_OK;
    }
}

void dir_cursor_mark(DirCursorMark *mark) {
    mark->cursor = DirCursor;
    mark->guard = guard;
    mark->guard_cluster = guard_cluster;
}

void dir_cursor_return(const DirCursorMark *mark) {
    DirCursor = mark->cursor;
    guard = mark->guard;
    guard_cluster = mark->guard_cluster;
}

uint8_t dir_is_dot_entry(const uint8_t *slot) {
    return memcmp(slot, ".          ", 11) == 0 || memcmp(slot, "..         ", 11) == 0 ? 1 : 0;
}

const uint8_t *dir_last_short_entry(void) { return last_short; }
uint32_t dir_last_long_units(void) { return long_count; }

uint8_t dir_last_long_matches(void) {
    if (long_matches == MATCH_UNKNOWN) long_matches = dir_last_long_equals(wanted_text, wanted_length);
    return long_matches;
}

uint8_t dir_last_long_equals(const char *name, uint32_t length) {
    Wanted other = wanted_from_end(name, length);
    BackText none;
    back_start(none, nullptr, 1);
    bool equal = other.units == long_count;
    return read_run_again(none, &other, &equal) && equal ? 1 : 0;
}

FsStatus dir_last_long_text(char *out, uint32_t room) {
    if (room == 0) return FS_FAIL;
    BackText text;
    back_start(text, out, room);
    bool same = read_run_again(text, nullptr, nullptr);
    return back_finish(text) != 0xFFFFFFFFu && same ? FS_OK : FS_FAIL;
}

#if !FS_READ_ONLY
void dir_watch_free_run(uint32_t count) {
    watching = true;
    watch_count = count;
    watch_run = 0;
}

void dir_watch_stop(void) {
    watching = false;
    if (watch_run >= watch_count) return;
    if (DirCursor.offset >= END_STATE)
        watch_count = 0; // no end slot: the search starts again from the first slot
    else if (watch_run == 0)
        watch_start = DirCursor;
}

FsStatus dir_watched_room(void) {
    if (watch_count == 0) return FS_FAIL;
    watch_count = 0; // taken once
    DirCursor.cluster = watch_start.cluster;
    DirCursor.sector = watch_start.sector;
    DirCursor.offset = watch_start.offset;
    return FS_OK;
}
#endif

void dir_want_name(const char *name, uint32_t length) {
    Wanted w = wanted_from_end(name, length);
    wanted_text = w.text;
    wanted_length = w.length;
    wanted_units = w.units;
}

void dir_last_stored_name(char *out, uint32_t room, uint8_t apply_case) {
    const uint8_t *slot = last_short;
    if (long_count > 0 && dir_last_long_text(out, room) == FS_OK) return;
    // Other systems keep an all-lower-case name part or extension of an
    // 8.3 name as capitals with a flag for each.
    char base[DIR_NAME_TEXT_SIZE];
    char ext[DIR_EXT_TEXT_SIZE];
    dir_short_parts(slot, base, ext, apply_case);
    if (str_len(base) + 1 + str_len(ext) + 1 > room) { // no room even for the 8.3 name
        if (room > 0) out[0] = '\0';
        return;
    }
    str_copy(base, out);
    if (ext[0] != '\0') {
        str_append(out, ".");
        str_append(out, ext);
    }
}

void dir_fill_entry(FsEntry *out, char *read_name) {
    const uint8_t *slot = last_short;
    dir_short_name_text(slot, out->short_name);
    if (read_name != nullptr && long_count != 0 && long_cut != TEXT_ELSEWHERE) {
        // The reader's text, put back together: the slots are not read again.
        if (long_cut != TEXT_WHOLE) read_name[long_cut] = '.';
        str_copy(read_name, out->name);
    } else {
        dir_last_stored_name(out->name, FS_NAME_SIZE, 1);
    }
    out->attr = slot[DIR_ATTR];
    out->size = (out->attr & ATTR_DIRECTORY) ? 0 : le_get(slot + DIR_SIZE, 4);
    out->first_cluster = le_get(slot + DIR_FIRST_CLUSTER, 2);
#if FS_WITH_TIMES
    fs_decode_time((uint16_t)le_get(slot + DIR_CREATE_DATE, 2), (uint16_t)le_get(slot + DIR_CREATE_TIME, 2),
                   slot[DIR_CREATE_HUNDREDTHS], &out->created);
    fs_decode_time((uint16_t)le_get(slot + DIR_MODIFY_DATE, 2), (uint16_t)le_get(slot + DIR_MODIFY_TIME, 2),
                   0, &out->modified);
    fs_decode_time((uint16_t)le_get(slot + DIR_ACCESS_DATE, 2), 0, 0, &out->accessed);
#endif
}

void cursor_save(uint8_t slot) {
    if (slot > 1) return;
    CursorSlotRecord &s = CursorSlot[slot];
    s.cluster = DirCursor.cluster;
    s.sector = DirCursor.sector;
    s.offset = DirCursor.offset;
    s.first_cluster = FoundEntry.first_cluster;
    s.in_chain = DirCursor.in_chain;
    s.search_kind = DirCursor.search_kind;
    s.component_kind = DirCursor.component_kind;
    saved_guard[slot] = guard;
    saved_guard_cluster[slot] = guard_cluster;
}

void cursor_restore(uint8_t slot) {
    if (slot > 1) return;
    const CursorSlotRecord &s = CursorSlot[slot];
    DirCursor.cluster = s.cluster;
    DirCursor.sector = s.sector;
    DirCursor.offset = s.offset;
    FoundEntry.first_cluster = s.first_cluster;
    DirCursor.in_chain = s.in_chain;
    DirCursor.search_kind = s.search_kind;
    DirCursor.component_kind = s.component_kind;
    guard = saved_guard[slot];
    guard_cluster = saved_guard_cluster[slot];
}
}
