/* Shared vocabulary of every layer: status bytes, kinds, slot markers,
 * attributes, the sector buffer type, byte-string routines and the
 * little-endian field helpers. */
#ifndef FS_COMMON_H
#define FS_COMMON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t FsStatus;

#define FS_OK 0x00
#define FS_FAIL 0xFF
#define FS_PATH_TOO_LONG 0xFA
#define FS_LAST_COMPONENT 0xFD
#define FS_BAD_HANDLE 0xFE
#define FS_AT_TOP 0x55

/* What a lookup searches for (DirCursor.search_kind, component_kind). */
#define KIND_FILE 0x03
#define KIND_DIR 0x10

/* First byte of a directory slot. */
#define ENTRY_END 0x00
#define ENTRY_FREE 0xE5

/* Attribute byte of a directory entry. */
#define ATTR_ARCHIVE 0x20
#define ATTR_DIRECTORY 0x10
#define ATTR_VOLUME_ID 0x08
#define ATTR_LONG_NAME 0x0F

/* Origins of fs_seek. */
#define ORIGIN_START 0
#define ORIGIN_CURRENT 1
#define ORIGIN_END 2

/* Bytes in a sector: every transfer moves one whole sector. */
#define FS_SECTOR_SIZE 512u
typedef uint8_t SectorBuffer[512];

/* Longest path the library keeps (CurrentDir.path, walk_path), NUL included. */
#define FS_PATH_MAX 260u

/* Why the last public operation that failed did so. The operations return
 * their status bytes as always; this only adds the reason. */
typedef enum FsError {
    FS_ERR_NONE = 0,
    FS_ERR_NOT_FOUND,
    FS_ERR_NO_PARENT,
    FS_ERR_EXISTS,
    FS_ERR_INVALID_NAME,
    FS_ERR_PATH_TOO_LONG,
    FS_ERR_NOT_DIRECTORY,
    FS_ERR_IS_DIRECTORY,
    FS_ERR_NOT_EMPTY,
    FS_ERR_BUSY,
    FS_ERR_FILE_OPEN,
    FS_ERR_NO_SPACE,
    FS_ERR_DIR_FULL,
    FS_ERR_READ_ONLY,
    FS_ERR_BAD_HANDLE,
    FS_ERR_NO_HANDLE,
    FS_ERR_INVALID_ARGUMENT,
    FS_ERR_NOT_MOUNTED,
    FS_ERR_DAMAGED,
    FS_ERR_IO,
    FS_ERR_VOLUME_SIZE
} FsError;

/* The reason of the last failure; FS_ERR_NONE after a public operation
 * that succeeded. Operations that return a count or a handle set it too. */
FsError fs_last_error(void);
/* A short English text for a reason ("not found"). */
const char *fs_strerror(FsError error);
/* Records a reason (operations call it on their way out). */
void fs_set_error(FsError error);
/* Records `reason` and returns FS_FAIL: the way out of a failed operation. */
FsStatus fs_fail(FsError reason);

/* Byte strings: 8-bit, NUL-terminated. The callers size the buffers; these
 * routines never check room. Each returns FS_OK (str_len: the length). */
/* Copies `source` with its NUL to `destination`. Note: the source comes first. */
FsStatus str_copy(const char *source, char *destination);
/* Bytes before the NUL. */
uint32_t str_len(const char *s);
/* The capital of an ASCII letter a-z; every other byte as it is. */
char str_ascii_upper(char c);
/* Turns the ASCII letters a-z of `s` into capitals, in place. */
FsStatus str_upper(char *s);
/* Turns the ASCII capitals A-Z of `s` into small letters, in place. */
FsStatus str_lower(char *s);
/* Copies `source` to the end of `destination`. */
FsStatus str_append(char *destination, const char *source);
/* 1 when `a` and `b` are the same name without regard to case, else 0.
 * Changes neither. */
uint8_t str_equal_nocase(const char *a, const char *b);

/* Little-endian fields of the on-disk structures, assembled byte by byte. */
static inline uint32_t le_get(const uint8_t *p, unsigned width) {
    uint32_t value = 0;
    while (width > 0) {
        width--;
        value = (value << 8) | p[width];
    }
    return value;
}

static inline void le_put(uint8_t *p, uint32_t value, unsigned width) {
    unsigned i;
    for (i = 0; i < width; i++) {
        p[i] = (uint8_t)(value & 0xFFu);
        value >>= 8;
    }
}

#ifdef __cplusplus
}
#endif

#endif
