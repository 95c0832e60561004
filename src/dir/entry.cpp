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
    uint32_t end = 8;
    while (end > 0 && slot[DIR_NAME + end - 1] == ' ') end--;
    memcpy(name_out, slot + DIR_NAME, end);
    name_out[end] = '\0';
    end = 3;
    while (end > 0 && slot[DIR_EXT + end - 1] == ' ') end--;
    memcpy(ext_out, slot + DIR_EXT, end);
    ext_out[end] = '\0';
}

void dir_short_name_text(const uint8_t *slot, char *out) {
    char ext[4];
    dir_short_parts(slot, out, ext);
    if (ext[0] == '\0') return;
    str_append(out, ".");
    str_append(out, ext);
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
