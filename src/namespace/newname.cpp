// Names of new entries. A name is accepted when a long-name entry can hold
// it and lookups can find it again, and only when its directory does not
// already hold it: other FAT tools take two live entries of one name for a
// damaged directory.
#include "newname.h"

#include <string.h>

#include "fat16_dir.h"
#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_volume.h"

#if !FS_READ_ONLY // creating, removing and changing entries write

namespace {

const char FORBIDDEN[] = "\"*/:<>?\\|";
const char NEEDS_LONG_FORM[] = " +,;=[]"; // 8.3 length, but characters an 8.3 entry cannot hold
const uint32_t MAX_TAIL = 999999;
// A directory holds at most 65,536 slots, so the lowest free alias tail is
// never above 65,537: only tails below this are looked for.
const uint32_t TAIL_LIMIT = 65538;
// The tails one scan of the directory tracks: a window of them, one bit
// each. The first scan covers tails 0 to 2,047, which settles every
// directory with fewer than 2,048 entries of the alias's family; a
// directory that takes them all is scanned again for the next window, at
// most 33 times in all.
const uint32_t TAIL_WINDOW = 2048;

struct TailWindow {
    uint32_t first; // the tail of bit 0
    uint8_t taken[TAIL_WINDOW / 8];
};

bool is_lower(char c) { return c >= 'a' && c <= 'z'; }

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }

bool same_bytes_ignoring_case(const uint8_t *a, const char *b, uint32_t n) {
    for (uint32_t i = 0; i < n; i++)
        if (str_ascii_upper((char)a[i]) != str_ascii_upper(b[i])) return false;
    return true;
}

// The 8.3 form of a name that fits one: a name part of 1 to 8 characters
// and at most one '.' followed by up to 3, all of them characters an 8.3
// entry holds (ASCII, none of " + , ; = [ ]"), case as given.
bool fits_short_form(const char *name, uint32_t length, uint8_t *form) {
    memset(form, ' ', 11);
    uint32_t i = 0;
    for (; i < length && name[i] != '.'; i++) {
        if (i == 8) return false;
        form[i] = (uint8_t)name[i];
    }
    if (i == 0) return false;
    if (i < length) {
        const char *ext = name + i + 1;
        uint32_t ext_len = length - i - 1;
        if (ext_len > 3) return false;
        for (uint32_t k = 0; k < ext_len; k++) {
            if (ext[k] == '.') return false;
            form[8 + k] = (uint8_t)ext[k];
        }
    }
    for (uint32_t k = 0; k < length; k++) {
        uint8_t c = (uint8_t)name[k];
        if (c >= 0x80 || strchr(NEEDS_LONG_FORM, c) != nullptr) return false;
    }
    return true;
}

// Copies the 11 bytes of an 8.3 form with its letters in capitals.
void capitals_of(const uint8_t *form, uint8_t *out) {
    for (uint32_t i = 0; i < 11; i++) out[i] = (uint8_t)str_ascii_upper((char)form[i]);
}

// How the letters of one part of an 8.3 form are written: 0 no letters or
// all capitals, 1 all small, 2 mixed.
int part_case(const uint8_t *part, uint32_t n) {
    bool lower = false, upper = false;
    for (uint32_t i = 0; i < n; i++) {
        lower = lower || is_lower((char)part[i]);
        upper = upper || is_upper((char)part[i]);
    }
    return lower && upper ? 2 : lower ? 1 : 0;
}

uint32_t digit_count(uint32_t k) {
    uint32_t d = 1;
    while (k >= 10) {
        k /= 10;
        d++;
    }
    return d;
}

// The family of an alias made by lfn_make_alias: its base may be free as it
// is; its tail, when it has one, is "~1" at bytes 6 and 7.
void family_from_base(AliasFamily *f) {
    uint32_t len = 0;
    while (len < 8 && f->base[len] != ' ') len++;
    f->base_has_tail = len == 8 && f->base[6] == '~' && f->base[7] == '1';
    f->prefix_len = f->base_has_tail ? 6 : len;
    memcpy(f->prefix, f->base, f->prefix_len);
}

// One code point of a name as an 8.3 character: capitals, '_' for what an
// 8.3 name cannot hold (other systems' choice for non-ASCII characters too).
uint8_t alias_char(uint32_t cp) {
    if (cp >= 0x80 || cp < 0x20 || strchr(NEEDS_LONG_FORM, (int)cp) != nullptr) return '_';
    return (uint8_t)str_ascii_upper((char)cp);
}

// Takes the characters of name[at .. end) that an alias keeps (no spaces,
// and no dots when `no_dots`) into `out` as 8.3 characters, at most `room`
// of them. Returns how many it took.
uint32_t alias_chars(const char *name, uint32_t at, uint32_t end, bool no_dots, uint8_t *out, uint32_t room) {
    uint32_t n = 0;
    while (at < end && n < room) {
        uint32_t cp = 0;
        uint32_t step = str_utf8_decode(name + at, &cp);
        at += step == 0 ? 1 : step;
        if (cp == ' ' || (no_dots && cp == '.')) continue;
        out[n++] = alias_char(cp);
    }
    return n;
}

// The family of a name the legacy alias was not made for (several dots, a
// leading dot, a long extension, characters beyond ASCII), as other systems
// build it: leading dots dropped, the base from before the last dot without
// dots and spaces, up to three characters after the last dot, in capitals,
// and always a numeric tail.
void family_of_new_name(const char *name, uint32_t length, AliasFamily *f) {
    uint32_t start = 0;
    while (start < length && name[start] == '.') start++;
    uint32_t last_dot = length;
    for (uint32_t i = length; i-- > start;) {
        if (name[i] == '.') {
            last_dot = i;
            break;
        }
    }
    memset(f->base, ' ', 11);
    uint32_t n = alias_chars(name, start, last_dot, true, f->base, 6);
    if (n == 0) f->base[n++] = '_';
    alias_chars(name, last_dot + 1, length, false, f->base + DIR_EXT, 3);
    f->prefix_len = n;
    memcpy(f->prefix, f->base, n);
    f->base_has_tail = true;
}

// The legacy alias of a long name of at most one '.' and an extension of up
// to 3 ASCII characters, as lfn_make_alias makes it: spaces left out, the
// other characters an 8.3 name cannot hold as '_', letters as given.
void family_of_legacy_name(const char *name, uint32_t length, AliasFamily *f) {
    char cleaned[LFN_MAX_NAME + 2];
    uint32_t n = 0;
    for (uint32_t i = 0; i < length; i++) {
        char c = name[i];
        if (c == ' ') continue;
        cleaned[n++] = strchr(NEEDS_LONG_FORM, c) != nullptr ? '_' : c;
    }
    cleaned[n] = '\0';
    // Nothing left of the name part: the alias starts with '_'.
    if (cleaned[0] == '.' || cleaned[0] == '\0') {
        memmove(cleaned + 1, cleaned, n + 1);
        cleaned[0] = '_';
    }
    lfn_make_alias(cleaned, f->base);
    family_from_base(f);
}

// Marks the tail an existing 8.3 form takes from the family, if it lies in
// the window.
void mark_taken(const AliasFamily *f, const uint8_t *form, TailWindow *window) {
    if (!same_bytes_ignoring_case(form + DIR_EXT, (const char *)f->base + DIR_EXT, 3)) return;
    uint32_t len = 0;
    while (len < 8 && form[len] != ' ') len++;
    if (!f->base_has_tail && len == f->prefix_len && same_bytes_ignoring_case(form, f->prefix, len)) {
        if (window->first == 0) window->taken[0] |= 1;
        return;
    }
    uint32_t tilde = len;
    while (tilde > 0 && form[tilde - 1] != '~') tilde--;
    if (tilde == 0) return;
    tilde--; // index of '~'
    uint32_t digits = len - tilde - 1;
    if (digits == 0 || digits > 6 || form[tilde + 1] == '0') return;
    uint32_t k = 0;
    for (uint32_t i = tilde + 1; i < len; i++) {
        if (form[i] < '0' || form[i] > '9') return;
        k = k * 10 + (form[i] - '0');
    }
    uint32_t keep = f->prefix_len < 7 - digits ? f->prefix_len : 7 - digits;
    if (tilde != keep || !same_bytes_ignoring_case(form, f->prefix, keep)) return;
    if (k < window->first || k - window->first >= TAIL_WINDOW) return;
    k -= window->first;
    window->taken[k / 8] |= (uint8_t)(1u << (k % 8));
}

bool tail_is_taken(const TailWindow &window, uint32_t k) {
    k -= window.first;
    return (window.taken[k / 8] >> (k % 8)) & 1u;
}

// Marks the tails of the window that the family's entries of the target
// directory (from its first slot) take. The entry at (`skip_sector`,
// `skip_offset`) takes none. The first scan also looks for an entry that
// already uses the name (`check_name`, `*used`; compared without regard to
// case, so its capitals do not matter), and stops when it finds one.
void scan_tails(const NewName *name, bool check_name, uint32_t dir_cluster, uint32_t skip_sector,
                uint32_t skip_offset, uint8_t skip_is_free, TailWindow *window, bool *used) {
    dir_cursor_start(dir_cluster);
    char entry_name[LFN_MAX_NAME + 1];
    char entry_ext[20];
    char text[FS_SHORT_NAME_SIZE];
    uint8_t form[11];
    // A name longer than any 8.3 name in UTF-8 can only be a long name.
    const bool wanted_short = check_name && name->length < FS_SHORT_NAME_SIZE;
    if (check_name) dir_want_name(name->text, name->length);
    if (check_name && skip_sector == NEWNAME_NO_SKIP) dir_watch_free_run(name->slots);
    while (!*used && dir_read_entry(entry_name, entry_ext, 1) == FS_OK) {
        const uint8_t *entry = dir_last_short_entry();
        const uint32_t long_count = dir_last_long_units();
        if (entry[DIR_ATTR] & ATTR_VOLUME_ID) continue; // a volume label names no entry
        bool skipped = FoundEntry.entry_sector == skip_sector && FoundEntry.entry_offset == skip_offset;
        if (skipped && skip_is_free) continue;
        if (check_name) {
            if (wanted_short) {
                dir_short_name_text(entry, text);
                if (str_equal_nocase_n(text, name->text, name->length)) *used = true;
            }
            if (dir_last_long_matches()) *used = true;
        }
        if (!name->long_form || skipped) continue;
        mark_taken(&name->family, entry, window);
        // A long name of 8.3 form (of at most 12 bytes) takes its own tail;
        // the reader split it at its last dot (an ASCII name, the only kind
        // of 8.3 form, has as many bytes as units: a missing one was a dot
        // that ended it).
        if (long_count == 0 || long_count > 12) continue;
        uint32_t long_length = str_len(entry_name);
        if (entry_ext[0] != '\0' || long_length + 1 == long_count) {
            entry_name[long_length++] = '.';
            str_copy(entry_ext, entry_name + long_length);
            long_length += str_len(entry_ext);
        }
        if (long_length <= 12 && fits_short_form(entry_name, long_length, form))
            mark_taken(&name->family, form, window);
    }
    if (check_name) dir_watch_stop();
    dir_want_name(nullptr, 0);
}

// The family's alias with tail k (0: the base itself).
void alias_with_tail(const AliasFamily *f, uint32_t k, uint8_t *alias) {
    memcpy(alias, f->base, 11);
    if (k == 0) return;
    uint32_t digits = digit_count(k);
    uint32_t keep = f->prefix_len < 7 - digits ? f->prefix_len : 7 - digits;
    memset(alias, ' ', 8);
    memcpy(alias, f->prefix, keep);
    alias[keep] = '~';
    for (uint32_t i = 0; i < digits; i++) {
        alias[keep + digits - i] = (uint8_t)('0' + k % 10);
        k /= 10;
    }
}

// True for a long name the legacy alias was made for: ASCII, no leading
// '.', at most one '.' and at most 3 characters after it.
bool legacy_name(const char *name, uint32_t length) {
    if (name[0] == '.') return false;
    uint32_t dots = 0;
    uint32_t dot = 0;
    for (uint32_t i = 0; i < length; i++) {
        if ((uint8_t)name[i] >= 0x80) return false;
        if (name[i] == '.') {
            dots++;
            dot = i;
        }
    }
    return dots == 0 || (dots == 1 && length - dot - 1 <= 3);
}

} // namespace

FsStatus newname_prepare(const char *name, uint8_t capitals, NewName *out) {
    if (name == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    uint32_t length = str_len(name);
    // Other systems drop a name's trailing spaces and dots ("name." is NAME).
    while (length > 0 && (name[length - 1] == ' ' || name[length - 1] == '.')) length--;
    if (length == 0 || length >= FS_NAME_SIZE) return fs_fail(FS_ERR_INVALID_NAME);
    for (uint32_t i = 0; i < length; i++) {
        uint8_t c = (uint8_t)name[i];
        if (c < 0x20 || c == 0x7F || strchr(FORBIDDEN, c) != nullptr) return fs_fail(FS_ERR_INVALID_NAME);
    }
    uint32_t units = str_utf16_units(name, length);
    if (units == 0xFFFFFFFFu || units > LFN_MAX_NAME) return fs_fail(FS_ERR_INVALID_NAME);

    const bool keep_case = (fs_get_options() & FS_OPT_KEEP_CASE) != 0;
    out->text = name;
    out->watched = 0;
    out->length = length;
    out->case_flags = 0;
    out->capitals = capitals && !keep_case;
    uint8_t form[11];
    bool short_form = fits_short_form(name, length, form);
    bool mixed_case = false;
    if (short_form && keep_case) {
        // An all-small part is stored in capitals with its flag; a part of
        // mixed case can only be kept in a long name.
        int base = part_case(form + DIR_NAME, 8);
        int ext = part_case(form + DIR_EXT, 3);
        if (base == 2 || ext == 2) {
            short_form = false;
            mixed_case = true;
        } else {
            if (base == 1) out->case_flags |= DIR_CASE_LOWER_BASE;
            if (ext == 1) out->case_flags |= DIR_CASE_LOWER_EXT;
        }
    }
    if (short_form) {
        capitals_of(form, form);
        memcpy(out->short_name, form, 11);
        out->long_form = 0;
        out->slots = 1;
        return FS_OK;
    }
    out->long_form = 1;
    out->slots = (units + LFN_CHARS - 1) / LFN_CHARS + 1;
    if (mixed_case) {
        // "ReadMe.Txt": its alias is its own 8.3 form in capitals, with a
        // tail only when that is taken, as other systems write it.
        capitals_of(form, out->family.base);
        family_from_base(&out->family);
    } else if (legacy_name(name, length)) {
        family_of_legacy_name(name, length, &out->family);
        // Other systems write aliases in capitals; kept case follows them.
        if (keep_case || out->capitals) {
            capitals_of(out->family.base, out->family.base);
            family_from_base(&out->family);
        }
    } else {
        family_of_new_name(name, length, &out->family);
    }
    memcpy(out->short_name, out->family.base, 11);
    return FS_OK;
}

FsStatus newname_check(NewName *name, uint32_t skip_sector, uint32_t skip_offset, uint8_t skip_is_free) {
    const DirCursorState saved_cursor = DirCursor;
    const FoundEntryRecord saved_found = FoundEntry;
    uint32_t dir_cluster = DirCursor.in_chain ? FoundEntry.first_cluster : 0;
    if (DirCursor.in_chain && !fat_cluster_valid(dir_cluster)) return fs_fail(FS_ERR_DAMAGED);

    const AliasFamily &family = name->family;

    const DiskFailMark failures = disk_failures();
    TailWindow window;
    window.first = 0;
    memset(window.taken, 0, sizeof window.taken);
    bool used = false;
    name->watched = skip_sector == NEWNAME_NO_SKIP;
    scan_tails(name, true, dir_cluster, skip_sector, skip_offset, skip_is_free, &window, &used);
    // The lowest free tail, window by window: each further window is
    // another scan of the directory. (A name of 8.3 form has no family.)
    uint32_t chosen = TAIL_LIMIT;
    const uint32_t lowest = name->long_form && family.base_has_tail ? 1 : 0;
    for (uint32_t k = lowest; name->long_form && !used && k < TAIL_LIMIT && k <= MAX_TAIL; k++) {
        // A sector that could not be read may hold the very name or tail.
        if (disk_failed_since(failures)) break;
        if (k - window.first == TAIL_WINDOW) {
            window.first = k;
            memset(window.taken, 0, sizeof window.taken);
            scan_tails(name, false, dir_cluster, skip_sector, skip_offset, skip_is_free, &window, &used);
            if (disk_failed_since(failures)) break;
        }
        if (!tail_is_taken(window, k)) {
            chosen = k;
            break;
        }
    }
    DirCursor = saved_cursor;
    FoundEntry = saved_found;
    if (disk_failed_since(failures)) return fs_fail(FS_ERR_IO);
    if (used) return fs_fail(FS_ERR_EXISTS);
    if (!name->long_form) return FS_OK;
    if (chosen == TAIL_LIMIT) return fs_fail(FS_ERR_DIR_FULL);
    alias_with_tail(&family, chosen, name->short_name);
    return FS_OK;
}

#endif // !FS_READ_ONLY
