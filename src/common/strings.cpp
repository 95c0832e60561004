// Byte-string routines shared by every layer. Lengths are counted in 32 bits;
// the callers size their buffers, these routines never check room.
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
    for (uint32_t i = 0; s[i] != '\0'; i++) {
        if (s[i] >= 'A' && s[i] <= 'Z') s[i] = (char)(s[i] - 'A' + 'a');
    }
    return FS_OK;
}

FsStatus str_append(char *destination, const char *source) {
    return str_copy(source, destination + str_len(destination));
}
}
