// Byte-string routines shared by every layer. Lengths are counted in 32 bits;
// the callers size their buffers, these routines never check room.
#include <string.h>

#include "fat16_common.h"

extern "C" {

FsStatus str_copy(const char *source, char *destination) {
    uint32_t i = 0;
    while (source[i] != '\0') {
        destination[i] = source[i];
        i++;
    }
    destination[i] = '\0';
    return FS_OK;
}

uint32_t str_len(const char *s) {
    uint32_t n = 0;
    while (s[n] != '\0') n++;
    return n;
}

char str_ascii_upper(char c) { return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c; }

FsStatus str_upper(char *s) {
    for (uint32_t i = 0; s[i] != '\0'; i++) s[i] = str_ascii_upper(s[i]);
    return FS_OK;
}

FsStatus str_lower(char *s) {
    for (uint32_t i = 0; s[i] != '\0';) {
        if ((uint8_t)s[i] < 0x80) {
            if (s[i] >= 'A' && s[i] <= 'Z') s[i] = (char)(s[i] - 'A' + 'a');
            i++;
            continue;
        }
        // UTF-8: a capital whose small letter takes as many bytes is
        // replaced in place (those of Latin, Greek and Cyrillic all do).
        uint32_t cp = 0;
        uint32_t n = str_utf8_decode(s + i, &cp);
        if (n == 0) {
            i++;
            continue;
        }
        char bytes[4];
        if (str_utf8_encode(str_unicode_lower(cp), bytes) == n) memcpy(s + i, bytes, n);
        i += n;
    }
    return FS_OK;
}

FsStatus str_append(char *destination, const char *source) {
    return str_copy(source, destination + str_len(destination));
}
}
