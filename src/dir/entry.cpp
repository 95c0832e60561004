// Builders for the two kinds of 32-byte directory slot: the 8.3 entry and
// the long-name entry, with the alias and its checksum.
#include <string.h>

#include "fat16_dir.h"
#include "fat16_layout.h"

namespace {

// Writes the `width` bytes of an 8.3 name part without their padding
// spaces (only trailing spaces pad; a space inside belongs to the name) as
// UTF-8 to `out`: bytes from 0x80 up are code page 437, the code page other
// systems write 8.3 names in by default, and a first byte 0x05 of the name
// part stands for 0xE5, which would mark the slot free. `lower` (the part's
// case flag) turns its capitals into small letters.
void part_text(const uint8_t *part, uint32_t width, bool name_part, bool lower, char *out) {
    while (width > 0 && part[width - 1] == ' ') width--;
    uint32_t at = 0;
    for (uint32_t i = 0; i < width; i++) {
        uint8_t b = part[i];
        if (name_part && i == 0 && b == DIR_ESCAPED_E5) b = ENTRY_FREE;
        if (b < 0x80)
            out[at++] = (char)b;
        else
            at += str_cp437_to_utf8(b, out + at);
    }
    out[at] = '\0';
    if (lower) str_lower(out);
}

} // namespace

extern "C" {

FsStatus dir_build_short_entry(uint8_t *entry, const char *name, uint32_t first_cluster, uint32_t size,
                               uint8_t attr) {
    memset(entry + DIR_NAME, ' ', 11);
    uint32_t i = 0;
    for (uint32_t out = 0; name[i] != '\0' && name[i] != '.'; i++) {
        if (out < 8) entry[DIR_NAME + out++] = (uint8_t)name[i];
    }
    if (name[i] == '.') {
        i++;
        // A later '.' is an extension character like any other.
        for (uint32_t out = 0; name[i] != '\0' && out < 3; i++, out++)
            entry[DIR_EXT + out] = (uint8_t)name[i];
    }
    entry[DIR_ATTR] = attr;
    memset(entry + DIR_CASE, 0, DIR_FIRST_CLUSTER - DIR_CASE);
    le_put(entry + DIR_FIRST_CLUSTER, first_cluster & 0xFFFFu, 2);
    le_put(entry + DIR_SIZE, size, 4);
    return FS_OK;
}

void dir_put_times(uint8_t *slot, const FsDateTime *created, const FsDateTime *modified,
                   const FsDateTime *accessed) {
    if (created != nullptr) {
        slot[DIR_CREATE_HUNDREDTHS] = fs_hundredths_field(created);
        le_put(slot + DIR_CREATE_TIME, fs_time_field(created), 2);
        le_put(slot + DIR_CREATE_DATE, fs_date_field(created), 2);
    }
    if (modified != nullptr) {
        le_put(slot + DIR_MODIFY_TIME, fs_time_field(modified), 2);
        le_put(slot + DIR_MODIFY_DATE, fs_date_field(modified), 2);
    }
    if (accessed != nullptr) le_put(slot + DIR_ACCESS_DATE, fs_date_field(accessed), 2);
}

void dir_short_parts(const uint8_t *slot, char *name_out, char *ext_out, uint8_t apply_case) {
    part_text(slot + DIR_NAME, 8, true, apply_case && (slot[DIR_CASE] & DIR_CASE_LOWER_BASE), name_out);
    part_text(slot + DIR_EXT, 3, false, apply_case && (slot[DIR_CASE] & DIR_CASE_LOWER_EXT), ext_out);
}

void dir_short_name_text(const uint8_t *slot, char *out) {
    char ext[DIR_EXT_TEXT_SIZE];
    dir_short_parts(slot, out, ext, 0);
    if (ext[0] == '\0') return;
    uint32_t at = str_len(out);
    out[at++] = '.';
    str_copy(ext, out + at);
}

// Every directory scan reads every long name: the offsets of a slot's
// characters come from a table rather than from lfn_char_offset.
static const uint8_t kSlotOffsets[LFN_CHARS] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};

uint32_t lfn_slot_ascii(const uint8_t *slot, char *out) {
    // The bits that rule out ASCII are gathered and tested once; unrolled
    // where speed is wanted, since scans run this for every slot.
    uint32_t beyond = 0;
    uint32_t n = 0;
#if !defined(__OPTIMIZE_SIZE__)
#pragma GCC unroll 13
#endif
    for (; n < LFN_CHARS; n++) {
        const uint8_t *at = slot + kSlotOffsets[n];
        uint32_t u = (uint32_t)at[0] | (uint32_t)at[1] << 8;
        if (u == 0) break;
        beyond |= u;
        out[n] = (char)u;
    }
    return beyond >= 0x80 ? 0xFFFFFFFFu : n;
}

uint32_t lfn_slot_units(const uint8_t *slot, uint16_t *units) {
    uint32_t n = 0;
    for (; n < LFN_CHARS; n++) {
        const uint8_t *at = slot + kSlotOffsets[n];
        uint16_t u = (uint16_t)(at[0] | at[1] << 8);
        if (u == 0x0000) break;
        units[n] = u;
    }
    return n;
}

void lfn_fill_units(uint8_t *slot, const uint16_t *units, uint32_t count, uint8_t sequence,
                    uint8_t checksum) {
    slot[LFN_SEQUENCE] = sequence;
    slot[DIR_ATTR] = ATTR_LONG_NAME;
    slot[LFN_RESERVED] = 0;
    slot[LFN_CHECKSUM] = checksum;
    le_put(slot + LFN_FIRST_CLUSTER, 0, 2);
    // A chunk shorter than 13 ends in 0x0000 and is padded with 0xFFFF.
    for (uint32_t k = 0; k < LFN_CHARS; k++) {
        uint32_t u = k < count ? units[k] : k == count ? 0x0000u : 0xFFFFu;
        le_put(slot + lfn_char_offset(k), u, 2);
    }
}

uint8_t lfn_checksum(const uint8_t *name11) {
    uint8_t s = 0;
    for (int i = 0; i < 11; i++) s = (uint8_t)(((s >> 1) | (s << 7)) + name11[i]);
    return s;
}

FsStatus lfn_fill_entry(uint8_t *slot, char *chunk, uint8_t sequence, uint8_t checksum) {
    // The window is the caller's 13 bytes from `chunk` on: after the
    // terminator they become 0xFF, which encodes the padding positions.
    uint32_t n = 0;
    while (n < LFN_CHARS && chunk[n] != '\0') n++;
    for (uint32_t k = n + 1; k < LFN_CHARS; k++) chunk[k] = (char)0xFF;

    // Each byte is one character; a 0xFF byte stands for the padding 0xFFFF.
    uint16_t units[LFN_CHARS];
    for (uint32_t k = 0; k < n; k++) units[k] = (uint8_t)chunk[k] == 0xFF ? 0xFFFFu : (uint8_t)chunk[k];
    lfn_fill_units(slot, units, n, sequence, checksum);
    return FS_OK;
}

FsStatus lfn_make_alias(const char *long_name, uint8_t *alias11) {
    memset(alias11, ' ', 11);
    uint32_t i = 0;
    uint32_t out = 0;
    for (; long_name[i] != '\0' && long_name[i] != '.'; i++) {
        if (out < 6) {
            alias11[out++] = (uint8_t)long_name[i];
            if (out == 6) {
                alias11[6] = '~';
                alias11[7] = '1';
            }
        }
    }
    if (long_name[i] == '.') {
        i++;
        for (out = 0; long_name[i] != '\0'; i++, out++) {
            if (out == 3) return FS_FAIL;
            alias11[8 + out] = (uint8_t)long_name[i];
        }
    }
    return FS_OK;
}
}
