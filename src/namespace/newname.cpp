// Names of new entries. A name is accepted only when a lookup can find it
// again, and only when its directory does not already hold it: other FAT
// tools take two live entries of one name for a damaged directory.
#include "newname.h"

#include <string.h>

#include "fat16_dir.h"
#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_volume.h"

namespace {

const char FORBIDDEN[] = "\"*/:<>?\\|";
const char NEEDS_LONG_FORM[] = " +,;=[]"; // fit an 8.3 entry by length but not by character
const uint32_t MAX_TAIL = 999999;
// A directory holds at most 65,536 slots, so the lowest free alias tail is
// never above 65,537: only tails below this are tracked.
const uint32_t TAIL_LIMIT = 65538;
uint8_t tail_taken[TAIL_LIMIT / 8 + 1];

bool same_bytes_ignoring_case(const uint8_t *a, const char *b, uint32_t n) {
    for (uint32_t i = 0; i < n; i++)
        if (str_ascii_upper((char)a[i]) != str_ascii_upper(b[i])) return false;
    return true;
}

// The 8.3 form of a name that fits one: a name part of 1 to 8 characters
// and at most one '.' followed by up to 3.
bool fits_short_form(const char *name, uint8_t *form) {
    memset(form, ' ', 11);
    uint32_t i = 0;
    for (; name[i] != '\0' && name[i] != '.'; i++) {
        if (i == 8) return false;
        form[i] = (uint8_t)name[i];
    }
    if (i == 0) return false;
    if (name[i] == '.') {
        const char *ext = name + i + 1;
        for (uint32_t k = 0; ext[k] != '\0'; k++) {
            if (k == 3 || ext[k] == '.') return false;
            form[8 + k] = (uint8_t)ext[k];
        }
    }
    return true;
}

uint32_t digit_count(uint32_t k) {
    uint32_t d = 1;
    while (k >= 10) {
        k /= 10;
        d++;
    }
    return d;
}

// The alias family of a long-form name: the base that lfn_make_alias gives,
// split into the name prefix the tails attach to and the extension.
struct AliasFamily {
    uint8_t base[11];
    char prefix[8];
    uint32_t prefix_len;
    bool base_has_tail; // the base already ends in "~1"
};

void family_from_base(AliasFamily *f) {
    uint32_t len = 0;
    while (len < 8 && f->base[len] != ' ') len++;
    f->base_has_tail = len == 8 && f->base[6] == '~' && f->base[7] == '1';
    f->prefix_len = f->base_has_tail ? 6 : len;
    memcpy(f->prefix, f->base, f->prefix_len);
}

// Marks the tail an existing 8.3 form takes from the family, if any.
void mark_taken(const AliasFamily *f, const uint8_t *form) {
    if (!same_bytes_ignoring_case(form + DIR_EXT, (const char *)f->base + DIR_EXT, 3)) return;
    uint32_t len = 0;
    while (len < 8 && form[len] != ' ') len++;
    if (!f->base_has_tail && len == f->prefix_len && same_bytes_ignoring_case(form, f->prefix, len)) {
        tail_taken[0] |= 1;
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
    if (k < TAIL_LIMIT) tail_taken[k / 8] |= (uint8_t)(1u << (k % 8));
}

bool tail_is_taken(uint32_t k) { return (tail_taken[k / 8] >> (k % 8)) & 1u; }

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

} // namespace

FsStatus newname_prepare(const char *name, uint8_t attr, NewName *out) {
    if (name == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    uint32_t len = 0;
    uint32_t dots = 0;
    uint32_t first_dot = 0;
    bool special = false;
    for (; name[len] != '\0'; len++) {
        if (len == LFN_MAX_NAME) return fs_fail(FS_ERR_INVALID_NAME);
        uint8_t c = (uint8_t)name[len];
        if (c < 0x20 || c == 0x7F || c == 0xFF || strchr(FORBIDDEN, c) != nullptr)
            return fs_fail(FS_ERR_INVALID_NAME);
        if (strchr(NEEDS_LONG_FORM, c) != nullptr) special = true;
        if (c == '.' && dots++ == 0) first_dot = len;
    }
    // An empty name, or one whose first byte reads as the free-slot marker.
    if (len == 0 || (uint8_t)name[0] == ENTRY_FREE) return fs_fail(FS_ERR_INVALID_NAME);
    if (attr & ATTR_DIRECTORY) {
        if (dots > 0) return fs_fail(FS_ERR_INVALID_NAME);
    } else {
        if (name[0] == '.' || dots > 1) return fs_fail(FS_ERR_INVALID_NAME);
        if (dots == 1 && len - first_dot - 1 > 3) return fs_fail(FS_ERR_INVALID_NAME);
    }
    str_copy(name, out->text);
    if (dots == 1 && first_dot == len - 1) { // "name." is the name without extension
        out->text[--len] = '\0';
        dots = 0;
    }
    uint32_t name_part = dots == 1 ? first_dot : len;
    out->long_form = (name_part > 8 || special) ? 1 : 0;
    if (!out->long_form) {
        out->slots = 1;
        str_upper(out->text); // 8.3 names are stored in capitals
        return FS_OK;
    }
    out->slots = (len + LFN_CHARS - 1) / LFN_CHARS + 1;
    // The alias leaves out spaces and turns the other characters an 8.3
    // name cannot hold into '_'.
    char cleaned[LFN_MAX_NAME + 2];
    uint32_t n = 0;
    for (uint32_t i = 0; i < len; i++) {
        char c = out->text[i];
        if (c == ' ') continue;
        cleaned[n++] = strchr(NEEDS_LONG_FORM, c) != nullptr ? '_' : c;
    }
    cleaned[n] = '\0';
    // Nothing left of the name part, or a first byte that would make the
    // alias slot read as a free one (" \xE5..." loses its space).
    if (cleaned[0] == '.' || cleaned[0] == '\0' || (uint8_t)cleaned[0] == ENTRY_FREE) {
        memmove(cleaned + 1, cleaned, n + 1);
        cleaned[0] = '_';
    }
    lfn_make_alias(cleaned, out->alias);
    return FS_OK;
}

FsStatus newname_check(NewName *name, uint32_t skip_sector, uint32_t skip_offset) {
    const DirCursorState saved_cursor = DirCursor;
    const FoundEntryRecord saved_found = FoundEntry;
    uint32_t dir_cluster = DirCursor.in_chain ? FoundEntry.first_cluster : 0;
    if (DirCursor.in_chain && !fat_cluster_valid(dir_cluster)) return fs_fail(FS_ERR_DAMAGED);

    AliasFamily family;
    memcpy(family.base, name->alias, 11);
    family_from_base(&family);
    memset(tail_taken, 0, sizeof tail_taken);

    const uint64_t failures = disk_failures();
    dir_cursor_start(dir_cluster);
    bool used = false;
    char entry_name[LFN_MAX_NAME + 1];
    char entry_ext[20];
    char text[LFN_MAX_NAME + 1];
    uint8_t form[11];
    while (!used && dir_read_entry(entry_name, entry_ext, 1) == FS_OK) {
        const uint8_t *entry = dir_last_short_entry();
        const char *long_name = dir_last_long_name();
        if (entry[DIR_ATTR] & ATTR_VOLUME_ID) continue; // a volume label names no entry
        dir_short_name_text(entry, text);
        if (str_equal_nocase(text, name->text)) used = true;
        if (long_name[0] != '\0' && str_equal_nocase(long_name, name->text)) used = true;
        if (!name->long_form) continue;
        if (FoundEntry.entry_sector == skip_sector && FoundEntry.entry_offset == skip_offset) continue;
        mark_taken(&family, entry);
        if (long_name[0] != '\0' && fits_short_form(long_name, form)) mark_taken(&family, form);
    }
    DirCursor = saved_cursor;
    FoundEntry = saved_found;
    // A sector that could not be read may hold the very name: refuse.
    if (disk_failures() != failures) return fs_fail(FS_ERR_IO);
    if (used) return fs_fail(FS_ERR_EXISTS);
    if (!name->long_form) return FS_OK;
    for (uint32_t k = family.base_has_tail ? 1 : 0; k < TAIL_LIMIT && k <= MAX_TAIL; k++) {
        if (!tail_is_taken(k)) {
            alias_with_tail(&family, k, name->alias);
            return FS_OK;
        }
    }
    return fs_fail(FS_ERR_DIR_FULL);
}
