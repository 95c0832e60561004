/* Directories and paths: the on-disk entry formats, the directory cursor
 * with its entry reader, path resolution and the current directory. */
#ifndef FAT16_DIR_H
#define FAT16_DIR_H

#include "fat16_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Layout of a 32-byte directory slot. */
#define DIR_SLOT_SIZE 32u
#define DIR_SLOTS_PER_SECTOR 16u
#define DIR_NAME 0 /* 8 bytes, space padded */
#define DIR_EXT 8  /* 3 bytes, space padded */
#define DIR_ATTR 11
#define DIR_FIRST_CLUSTER 26 /* 16 bits */
#define DIR_SIZE 28          /* 32 bits */

/* Long-name entry fields. */
#define LFN_SEQUENCE 0
#define LFN_CHECKSUM 13
#define LFN_LAST_FLAG 0x40u
#define LFN_CHARS 13u       /* characters per long-name entry */
#define LFN_MAX_ENTRIES 20u /* a 255-character name */
#define LFN_MAX_NAME 255u

/* Where the cursor stands: one slot of one directory. `offset` 512 is the
 * end state after the directory's last slot. */
typedef struct DirCursorState {
    uint32_t cluster;
    uint32_t sector;
    uint32_t offset;
    uint8_t in_chain; /* 1: a subdirectory's cluster chain; 0: the root area */
    uint8_t search_kind;
    uint8_t component_kind;
} DirCursorState;

/* What the entry reader found last. */
typedef struct FoundEntryRecord {
    uint32_t first_cluster;
    uint32_t size;
    uint32_t entry_sector; /* the entry's 8.3 slot (its alias for a long name) */
    uint32_t entry_offset;
    uint8_t attr;
} FoundEntryRecord;

typedef struct CursorSlotRecord {
    uint32_t cluster;
    uint32_t sector;
    uint32_t offset;
    uint32_t first_cluster;
    uint8_t in_chain;
    uint8_t search_kind;
    uint8_t component_kind;
} CursorSlotRecord;

typedef struct CurrentDirRecord {
    char path[FS_PATH_MAX]; /* "C:\" at the root, else no trailing backslash */
    uint32_t first_cluster;
    uint8_t in_subdir;
} CurrentDirRecord;

extern DirCursorState DirCursor;
extern FoundEntryRecord FoundEntry;
extern CursorSlotRecord CursorSlot[2];
extern CurrentDirRecord CurrentDir;

/* Entry formats. */
FsStatus dir_build_short_entry(uint8_t *entry, const char *name, uint32_t first_cluster, uint32_t size,
                               uint8_t attr);
uint8_t lfn_checksum(const uint8_t *name11);
FsStatus lfn_fill_entry(uint8_t *slot, char *chunk, uint8_t sequence, uint8_t checksum);
FsStatus lfn_make_alias(const char *long_name, uint8_t *alias11);

/* Directory cursor and entry reader. */
FsStatus dir_next_entry(uint8_t *buffer);
FsStatus dir_advance_or_grow(uint8_t *buffer);
FsStatus dir_read_entry(char *name_out, char *ext_out, uint8_t listing);
FsStatus dir_take_short_name(uint8_t *buffer, char *name_out, char *ext_out);
FsStatus dir_read_long_name(uint8_t *buffer, char *name_out, char *ext_out);
void cursor_save(uint8_t slot);
void cursor_restore(uint8_t slot);

/* The entry dir_read_entry returned last: its 8.3 slot (the alias for a
 * long name), and its whole long name ("" when it has none). */
const uint8_t *dir_last_short_entry(void);
const char *dir_last_long_name(void);

/* Puts the cursor on the first slot of a directory: the root area when
 * `cluster` is 0, else the subdirectory whose chain starts at `cluster`. */
void dir_cursor_start(uint32_t cluster);

/* Paths and the current directory. */
FsStatus path_resolve(const char *path);
FsStatus path_walk(char *rest);
FsStatus path_next_component(const char *pos, char *name, char *ext, uint8_t *consumed);
FsStatus dir_find_name(char *name, char *ext);
FsStatus name_compare(char *a, char *b);
FsStatus fs_chdir(const char *path, uint8_t up);

/* 1 when the path has a component to name an entry by; 0 for the empty
 * path, a drive prefix alone ("C:\") and a backslash alone. */
uint8_t path_names_entry(const char *path);

/* After a lookup of `path` for `wanted_kind` failed with "not found":
 * makes the recorded reason "is a directory" or "not a directory" when the
 * path names an entry of the other kind. Moves the cursor. */
void path_explain_failure(const char *path, uint8_t wanted_kind);

#ifdef __cplusplus
}
#endif

#endif
