// Builders for the two kinds of 32-byte directory slot: the 8.3 entry and
// the long-name entry, with the alias and its checksum.
#include <string.h>

#include "fat16_dir.h"

namespace {

// Byte offset of character position k (0..12) within a long-name entry.
uint32_t lfn_char_offset(uint32_t k) {
    if (k < 5) return 1 + 2 * k;
    if (k < 11) return 14 + 2 * (k - 5);
    return 28 + 2 * (k - 11);
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
    memset(entry + 12, 0, DIR_FIRST_CLUSTER - 12);
    le_put(entry + DIR_FIRST_CLUSTER, first_cluster & 0xFFFFu, 2);
    le_put(entry + DIR_SIZE, size, 4);
    return FS_OK;
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
    slot[12] = 0;
    slot[LFN_CHECKSUM] = checksum;
    slot[26] = 0;
    slot[27] = 0;
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
