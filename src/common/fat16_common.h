/* Shared vocabulary of every layer: status bytes, kinds, slot markers,
 * attributes, the sector buffer type, byte-string routines and the
 * little-endian field helpers. */
#ifndef FS_COMMON_H
#define FS_COMMON_H

#include <stdint.h>

#include "fat16_config.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What this header declares is the library's interface, exported from a
 * shared build of it (which hides everything else). */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
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
#define ATTR_READ_ONLY 0x01
#define ATTR_HIDDEN 0x02
#define ATTR_SYSTEM 0x04

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
    FS_ERR_VOLUME_SIZE,
    FS_ERR_INTO_ITSELF,
    FS_ERR_IS_ROOT
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

/* Options of the library (fs_set_options); all off after fs_init. */
/* Names that fit an 8.3 entry keep their case: an all-small name part or
 * extension is stored in capitals with the case flags other systems read,
 * mixed case as a long name; renamed and moved entries keep the given case. */
#define FS_OPT_KEEP_CASE 0x01u
/* Write-back: what an open file writes (its last partial sector, its FAT
 * links, its size and first cluster in its entry) stays in RAM until
 * fs_sync, fs_close, or the window needs the FAT sector; whole sectors of
 * data still go to the device as they are written. A power cut then loses
 * what was not synced, never more, and never another file's data. Without
 * it (the default) every fs_write ends with its data and size on the
 * device. Creating, deleting, renaming, moving, attributes, times and
 * labels are on the device at their return either way. */
#define FS_OPT_WRITE_BACK 0x02u
/* Long paths: every call that takes a path takes one of any length (each
 * component still at most 255 UTF-16 units), resolved in place, for trees
 * other tools wrote deeper than 259 units. fs_chdir and the walk keep
 * their 260-byte records and refuse longer paths as without it. Without it
 * (the default) paths hold at most 259 units, and a move that would put an
 * entry below the moved directory past that is refused ("path too long"),
 * as is a rename whose result would be: no entry becomes unreachable. */
#define FS_OPT_LONG_PATHS 0x04u
/* Whether FS_OPT_LONG_PATHS is on. */
uint8_t fs_long_paths(void);

/* Sets the options (FS_OPT_ bits). FS_OK; FS_FAIL with "invalid argument",
 * and nothing changed, for a bit the library does not know. */
FsStatus fs_set_options(uint32_t options);
/* The options in force. */
uint32_t fs_get_options(void);

/* A date and time as the volume keeps them: years 1980 to 2107, seconds in
 * steps of two in the time field (the hundredths of a creation time add
 * the odd second). All fields 0: no time recorded. */
typedef struct FsDateTime {
    uint16_t year;
    uint8_t month;  /* 1 to 12 */
    uint8_t day;    /* 1 to 31 */
    uint8_t hour;   /* 0 to 23 */
    uint8_t minute; /* 0 to 59 */
    uint8_t second; /* 0 to 59 */
    uint8_t hundredths;
} FsDateTime;

#if FS_WITH_TIMES
/* A clock the program gives the library: fills `now` with the local time. */
typedef void (*FsClock)(FsDateTime *now);

/* Sets the clock (null: none, as after fs_init). Without a clock every time
 * field the library writes is zero. Left out with FS_WITH_TIMES 0. */
void fs_set_clock(FsClock clock);
/* Reads the clock into `now`: 1 when there is one, else 0 with `now` zero. */
uint8_t fs_clock_now(FsDateTime *now);
#else
/* Without times there is never a clock: what would stamp entries is gone. */
static inline uint8_t fs_clock_now(FsDateTime *now) {
    now->year = 0;
    now->month = now->day = now->hour = now->minute = now->second = now->hundredths = 0;
    return 0;
}
#endif
/* The 16-bit date and time fields of `t` as FAT stores them (0 for a time
 * outside 1980..2107), and the hundredths field (0 to 199). */
uint16_t fs_date_field(const FsDateTime *t);
uint16_t fs_time_field(const FsDateTime *t);
uint8_t fs_hundredths_field(const FsDateTime *t);
/* The date and time of FAT fields (`hundredths` 0 for fields without
 * them); all zero for a date field of 0. */
void fs_decode_time(uint16_t date, uint16_t time, uint8_t hundredths, FsDateTime *out);

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
/* Turns the capitals of UTF-8 `s` into small letters, in place: A-Z, and
 * beyond ASCII every capital whose small letter takes as many bytes. */
FsStatus str_lower(char *s);
/* Copies `source` to the end of `destination`. */
FsStatus str_append(char *destination, const char *source);
/* 1 when `a` and `b` are the same name without regard to case, else 0:
 * UTF-8 text compared code point by code point after ASCII and the simple
 * one-to-one upper-case mappings of the Basic Multilingual Plane ("é.txt"
 * and "É.TXT" are one name). A byte that starts no valid UTF-8 sequence
 * equals only itself. Changes neither. */
uint8_t str_equal_nocase(const char *a, const char *b);
/* As str_equal_nocase, with `b` the `length` bytes at `b` (no NUL needed). */
uint8_t str_equal_nocase_n(const char *a, const char *b, uint32_t length);

/* Unicode text. Names at the interface are UTF-8. */
/* The code point of the UTF-8 sequence at `s` in `*cp` and its length in
 * bytes (1 to 4); 0 for a byte that starts no valid sequence (overlong
 * forms, surrogates and values past U+10FFFF are invalid). */
uint32_t str_utf8_decode(const char *s, uint32_t *cp);
/* Writes code point `cp` as UTF-8 to `out` (up to 4 bytes, no NUL) and
 * returns its length; a surrogate or a value past U+10FFFF becomes U+FFFD. */
uint32_t str_utf8_encode(uint32_t cp, char *out);
/* UTF-16 units of the first `length` bytes of `s`, or 0xFFFFFFFF when they
 * are no valid UTF-8. */
uint32_t str_utf16_units(const char *s, uint32_t length);
/* The simple upper-case mapping of `cp` (ASCII and the Basic Multilingual
 * Plane); other code points map to themselves. */
uint32_t str_unicode_upper(uint32_t cp);
/* Writes `count` UTF-16 units as UTF-8 with a NUL to `out` (`room` bytes):
 * an unpaired surrogate becomes U+FFFD. Returns the bytes before the NUL,
 * or 0xFFFFFFFF (with `out` unfinished) when they do not fit. */
uint32_t str_utf16_to_utf8(const uint16_t *units, uint32_t count, char *out, uint32_t room);
/* Writes the first `length` bytes of UTF-8 `s` as UTF-16 units to `units`
 * (room for `room`), a pair of surrogates beyond U+FFFF. Returns the count,
 * or 0xFFFFFFFF when the text is no valid UTF-8 or does not fit. */
uint32_t str_utf8_to_utf16(const char *s, uint32_t length, uint16_t *units, uint32_t room);
/* The small letter of capital `cp` (the mappings str_unicode_upper knows,
 * read backwards); other code points map to themselves. */
uint32_t str_unicode_lower(uint32_t cp);
/* Writes byte `byte` of code page 437 as UTF-8 to `out` (up to 3 bytes, no
 * NUL) and returns its length. */
uint32_t str_cp437_to_utf8(uint8_t byte, char *out);

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

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
