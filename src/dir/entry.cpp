// Builders for the two kinds of 32-byte directory slot: the 8.3 entry and
// the long-name entry, with the alias and its checksum.
#include <string.h>

#include "fat16_dir.h"
#include "fat16_layout.h"

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

void dir_short_parts(const uint8_t *slot, char *name_out, char *ext_out) {
    // Only trailing spaces pad a part; a space inside belongs to the name.
    // Bytes from 0x80 up are code page 437, the code page other systems
    // write 8.3 names in by default; a first byte 0x05 stands for 0xE5,
    // which would mark the slot free.
    uint32_t end = 8;
    while (end > 0 && slot[DIR_NAME + end - 1] == ' ') end--;
    uint32_t at = 0;
    for (uint32_t i = 0; i < end; i++) {
        uint8_t b = slot[DIR_NAME + i];
        if (i == 0 && b == DIR_ESCAPED_E5) b = ENTRY_FREE;
        if (b < 0x80)
            name_out[at++] = (char)b;
        else
            at += str_cp437_to_utf8(b, name_out + at);
    }
    name_out[at] = '\0';
    end = 3;
    while (end > 0 && slot[DIR_EXT + end - 1] == ' ') end--;
    at = 0;
    for (uint32_t i = 0; i < end; i++) {
        uint8_t b = slot[DIR_EXT + i];
        if (b < 0x80)
            ext_out[at++] = (char)b;
        else
            at += str_cp437_to_utf8(b, ext_out + at);
    }
    ext_out[at] = '\0';
}

void dir_short_name_text(const uint8_t *slot, char *out) {
    char ext[DIR_EXT_TEXT_SIZE];
    dir_short_parts(slot, out, ext);
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

    slot[LFN_SEQUENCE] = sequence;
    slot[DIR_ATTR] = ATTR_LONG_NAME;
    slot[LFN_RESERVED] = 0;
    slot[LFN_CHECKSUM] = checksum;
    le_put(slot + LFN_FIRST_CLUSTER, 0, 2);
    for (uint32_t k = 0; k < LFN_CHARS; k++) {
        uint8_t c = (uint8_t)chunk[k];
        uint32_t at = lfn_char_offset(k);
        slot[at] = c;
        slot[at + 1] = c == 0xFF ? 0xFF : 0x00;
    }
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
