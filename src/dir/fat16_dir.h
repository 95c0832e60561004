/* Directories and paths: the on-disk entry formats, the directory cursor
 * with its entry reader, path resolution and the current directory. */
#ifndef FS_DIR_H
#define FS_DIR_H

#include "fat16_common.h"
#include "fat16_volume.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What this header declares is the library's interface, exported from a
 * shared build of it (which hides everything else). */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* Bytes a name takes in UTF-8 at most, with its NUL: 255 UTF-16 units. */
#define FS_NAME_SIZE 768u
/* Bytes of an 8.3 name as UTF-8 text "NAME.EXT" with its NUL. */
#define FS_SHORT_NAME_SIZE 40u

/* One directory entry as stored, for programs (fs_stat, fs_list_entries). */
typedef struct FsEntry {
    char name[FS_NAME_SIZE]; /* the long name, or the 8.3 name "NAME.EXT" with its case flags applied */
    char short_name[FS_SHORT_NAME_SIZE]; /* the 8.3 name or alias as stored, "NAME.EXT" */
    uint8_t attr;                        /* ATTR_ bits; read-only 0x01, hidden 0x02, system 0x04 */
    uint32_t size;                       /* bytes (0 for a directory) */
    uint32_t first_cluster;              /* 0 for an empty file and for the root */
#if FS_WITH_TIMES
    FsDateTime created; /* all 0 where the entry records no time */
    FsDateTime modified;
    FsDateTime accessed; /* a date only */
#endif
} FsEntry;

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

/* Builds the 32-byte 8.3 entry of `name` ("NAME.EXT", up to 8 and 3
 * characters are kept) in `entry`: attribute, zero times, the low 16 bits of
 * `first_cluster`, `size`. FS_OK. */
FsStatus dir_build_short_entry(uint8_t *entry, const char *name, uint32_t first_cluster, uint32_t size,
                               uint8_t attr);
/* The checksum of an 11-byte 8.3 name that every long-name slot of its run
 * carries. */
uint8_t lfn_checksum(const uint8_t *name11);
/* Fills a long-name slot with the 13 characters from `chunk` (bytes after
 * its NUL become 0xFF padding in `chunk` itself), the sequence number and
 * the checksum. FS_OK. */
FsStatus lfn_fill_entry(uint8_t *slot, char *chunk, uint8_t sequence, uint8_t checksum);
/* The 11-byte alias of `long_name`: up to six characters of the name part,
 * "~1" when it is longer, and the extension. FS_FAIL when the extension has
 * more than 3 characters (the alias is then incomplete). */
FsStatus lfn_make_alias(const char *long_name, uint8_t *alias11);
/* Writes the times given (null: that one stays) into the fields of an 8.3
 * slot: creation date, time and hundredths; modification date and time;
 * access date. */
void dir_put_times(uint8_t *slot, const FsDateTime *created, const FsDateTime *modified,
                   const FsDateTime *accessed);
/* The name part and the extension of an 8.3 slot without their padding
 * spaces, as UTF-8 (bytes from 0x80 up are code page 437): `name_out` 25
 * bytes, `ext_out` 10. With `apply_case`, a part whose case flag is set
 * (DIR_CASE) comes in small letters, as other systems show it. */
void dir_short_parts(const uint8_t *slot, char *name_out, char *ext_out, uint8_t apply_case);
/* The 8.3 name of a slot as "NAME.EXT" ("NAME" without an extension) in
 * `out` (FS_SHORT_NAME_SIZE bytes), as stored. */
void dir_short_name_text(const uint8_t *slot, char *out);
/* The UTF-16 characters of a long-name slot up to its terminator (at most
 * 13) in `units`; returns their count. */
uint32_t lfn_slot_units(const uint8_t *slot, uint16_t *units);
/* The same characters as bytes in `out` (13 bytes of room) when every one
 * is ASCII (the common case, with no conversion); returns their count, or
 * 0xFFFFFFFF when one is beyond ASCII (then lfn_slot_units reads the slot). */
uint32_t lfn_slot_ascii(const uint8_t *slot, char *out);
/* Fills a long-name slot with `count` (at most 13) UTF-16 characters, the
 * terminator and 0xFFFF padding after a shorter chunk, the sequence number
 * and the checksum. */
void lfn_fill_units(uint8_t *slot, const uint16_t *units, uint32_t count, uint8_t sequence, uint8_t checksum);

/* Directory cursor and entry reader. All of them move DirCursor. */

/* Steps the cursor to the next slot of its directory, loading the next
 * sector into `buffer` when it crosses one and following the chain at a
 * cluster's end. FS_OK on a slot that is not an end slot; FS_FAIL at an end
 * slot or the directory's end (the cursor then stands after its last slot). */
FsStatus dir_next_entry(uint8_t *buffer);
#if !FS_READ_ONLY
/* As dir_next_entry, but at the end of a subdirectory's chain (an end mark
 * just read) appends a zeroed cluster and goes on in it; end slots do not
 * stop it. FS_FAIL at the end of the root area, on a damaged chain, when no
 * cluster is free or a sector cannot be read. */
FsStatus dir_advance_or_grow(uint8_t *buffer);
#endif
/* Reads the next live entry from the cursor on, assembling a long name:
 * FS_OK with the name and extension in `name_out` (256 bytes) and `ext_out`
 * (20), FoundEntry describing the entry and the cursor one slot past its
 * 8.3 slot. Without `listing` it passes over what the search
 * (DirCursor.search_kind) cannot want: volume labels, and entries of the
 * other kind. FS_FAIL at the directory's end. */
FsStatus dir_read_entry(char *name_out, char *ext_out, uint8_t listing);
/* Takes the 8.3 entry at the cursor (its sector in `buffer`) into
 * FoundEntry and the two outputs, and steps past it. FS_OK. */
FsStatus dir_take_short_name(uint8_t *buffer, char *name_out, char *ext_out);
/* Reads the long-name run at the cursor and the entry after it. FS_OK with
 * the cursor on the entry's 8.3 slot; FS_FAIL when the run has no entry
 * (the cursor stands where the reader must go on). */
FsStatus dir_read_long_name(uint8_t *buffer, char *name_out, char *ext_out);
/* Saves the cursor (and FoundEntry.first_cluster) in slot 0 or 1, and puts
 * it back. Other slot numbers do nothing. */
void cursor_save(uint8_t slot);
void cursor_restore(uint8_t slot);

/* The entry dir_read_entry returned last: its 8.3 slot (the alias for a
 * long name), and the length of its long name in UTF-16 units (0 when it
 * has none). */
const uint8_t *dir_last_short_entry(void);
uint32_t dir_last_long_units(void);
/* Its long name as UTF-8 with a NUL in `out` (`room` bytes; 768 hold any):
 * the reader keeps no copy and reads the name's slots again (from the
 * window, where they mostly are still). FS_FAIL when the entry has no long
 * name, it does not fit, or the slots no longer hold it. */
FsStatus dir_last_long_text(char *out, uint32_t room);
#if !FS_READ_ONLY /* left out with FS_READ_ONLY 1: nothing is created */
/* Watches, from the directory's first slot on, the slots dir_read_entry
 * passes for the first run of `count` free ones (first byte 0x00 or 0xE5),
 * so that a creation that reads the whole directory to check its name
 * need not read it again to find room. Slots read again for a caller (the
 * long-name calls below) are not looked at twice. */
void dir_watch_free_run(uint32_t count);
/* Ends the watch where the reading stopped (the cursor's slot). */
void dir_watch_stop(void);
/* Puts the cursor, once after a watch and while its directory is unchanged,
 * where the search for room goes on: the run the watch found, else the
 * free slots it saw last before the end slot where the reading stopped, or
 * that slot. FS_FAIL when there was no watch or the reading stopped at the
 * directory's end (the search starts from its first slot). */
FsStatus dir_watched_room(void);
#endif

/* The name the entries read are compared with, without regard to case:
 * the `length` bytes at `name` (null: none). The reader compares each long
 * name's text once it is read. The caller keeps the text until it sets
 * another name or null. */
void dir_want_name(const char *name, uint32_t length);
/* 1 when the long name of the entry read last is the wanted name (a name
 * longer than the reader's 256-byte area is compared here, its slots read
 * again). */
uint8_t dir_last_long_matches(void);
/* 1 when its long name is the `length` bytes at `name`, without regard to
 * case (its slots read again). */
uint8_t dir_last_long_equals(const char *name, uint32_t length);
/* The name of the entry dir_read_entry returned last as stored: its long
 * name, or its 8.3 name "NAME.EXT", with its case flags applied when
 * `apply_case` is 1 (the 8.3 name also where the long name does not fit
 * `room` bytes). */
void dir_last_stored_name(char *out, uint32_t room, uint8_t apply_case);
/* Fills `out` from the entry dir_read_entry returned last. With
 * `read_name`, the name area that read filled (which this changes), its
 * long name comes from there, not from its slots read again. */
void dir_fill_entry(FsEntry *out, char *read_name);

/* 1 when `slot` is a "." or ".." entry. */
uint8_t dir_is_dot_entry(const uint8_t *slot);

/* A place of the cursor, with its chain guard, to come back to. */
typedef struct DirCursorMark {
    DirCursorState cursor;
    FatChainGuard guard;
    uint32_t guard_cluster;
} DirCursorMark;
/* Remembers where the cursor stands, and puts it back there. */
void dir_cursor_mark(DirCursorMark *mark);
void dir_cursor_return(const DirCursorMark *mark);

/* Puts the cursor on the first slot of a directory: the root area when
 * `cluster` is 0, else the subdirectory whose chain starts at `cluster`. */
void dir_cursor_start(uint32_t cluster);

/* Paths and the current directory. */

/* Sets the current directory to the root ("C:\"). One step of fs_init. */
void dir_reset(void);

/* Resolves `path` (absolute "C:\A\B", rooted "\A" or relative to the
 * current directory) for DirCursor.search_kind: FS_OK with FoundEntry
 * describing the last component's entry and the cursor one slot past it
 * (for a path without a component, the cursor on the first slot of that
 * directory). A drive prefix mounts that letter. FS_FAIL with the reason
 * ("not found", "not a directory", "invalid name", "host I/O error", "no
 * volume mounted"); FS_PATH_TOO_LONG past 260 UTF-16 units. */
FsStatus path_resolve(const char *path);
/* Resolves the components of `rest` from where the cursor stands. */
FsStatus path_walk(char *rest);
/* Splits the component at `pos` into name and extension (at its first
 * '.'), and says how many bytes it took: FS_OK with more to come,
 * FS_LAST_COMPONENT for the last one, FS_FAIL when a part is too long. */
FsStatus path_next_component(const char *pos, char *name, char *ext, uint8_t *consumed);
/* Reads the directory from the cursor on for an entry of `name` and `ext`.
 * FS_OK on the first match; FS_FAIL at the directory's end. */
FsStatus dir_find_name(char *name, char *ext);
/* FS_OK when `a` and `b` are one name without regard to case, else FS_FAIL.
 * Changes neither. */
FsStatus name_compare(const char *a, const char *b);
/* Makes `path` the current directory (FS_OK), or with `up` its parent
 * (FS_AT_TOP at the root; `path` is not used). FS_FAIL with the reason when
 * the path names no directory; FS_PATH_TOO_LONG when the new path would not
 * fit 260 bytes. The current directory stays on failure. */
FsStatus fs_chdir(const char *path, uint8_t up);

/* The entry `path` names, file or directory, as stored. For the root
 * ("C:\" or "\") a directory with an empty name and cluster 0. FS_OK with
 * `out` filled; FS_FAIL with the reason of the lookup. Moves the cursor. */
FsStatus fs_stat(const char *path, FsEntry *out);

/* 1 when the path has a component to name an entry by; 0 for the empty
 * path, a drive prefix alone ("C:\") and a backslash alone. */
uint8_t path_names_entry(const char *path);

#if FS_WITH_LABEL /* labels (left out with FS_WITH_LABEL 0) */
/* Bytes of a volume label as UTF-8 with its NUL. */
#define FS_LABEL_SIZE 36u
/* The volume's label in `out` (FS_LABEL_SIZE bytes): the root's label
 * entry, or else the boot sector's field; "" when there is none. FS_FAIL
 * with "no volume mounted" or "host I/O error". */
FsStatus fs_get_label(char *out);
#if !FS_READ_ONLY /* left out with FS_READ_ONLY 1 */
/* Sets the label to `label` (up to 11 characters, stored in capitals) in
 * both places; "" removes the root's entry and writes "NO NAME" into the
 * boot sector. FS_FAIL with "invalid name" (see fs_label_form), "directory
 * full" (no free root slot for a new entry), "host I/O error". */
FsStatus fs_set_label(const char *label);
#endif

/* The volume id (serial number) of the boot sector. FS_FAIL with "not
 * found" when the boot sector has no extended record to hold one, "no volume
 * mounted" or "host I/O error". */
FsStatus fs_get_volume_id(uint32_t *id);
#endif

/* 1 when the entry the last resolution of `path` found carries the path's
 * last component as its whole name (long or 8.3), not only as the name
 * part of a directory component ("FOO.TXT" finds the directory FOO). */
uint8_t path_found_by_whole_name(const char *path);

/* Resolves `path` to the file or directory it names wholly: a file search
 * first, then a directory search (a file search passes over 8.3
 * directories). FS_OK with FoundEntry and the reader's last entry
 * describing it and `*kind` (when not null) the search that found it;
 * FS_FAIL with the reason ("not found" for an entry named by its name part
 * only). */
FsStatus path_find_entry(const char *path, uint8_t *kind);

/* The length of a path as the limits count it: UTF-16 units (bytes for a
 * path that is no UTF-8). Paths hold at most FS_PATH_MAX - 1 of them. */
uint32_t path_length(const char *path);
/* The length, counted as path_length counts, of the absolute path ("C:\A")
 * the first `length` bytes of `path` stand for, from the current directory
 * for a relative path. */
uint32_t path_absolute_length(const char *path, uint32_t length);

/* Splits `path` at its last component: `*name` points at it, and the
 * directory that holds it is named by the first `*parent_length` bytes of
 * `path` ("C:\", "\", "C:\A"; 0: the current directory). FS_FAIL when the
 * last component follows an empty one ("C:\\NAME"), which no lookup could
 * find again. */
FsStatus path_split_name(const char *path, uint32_t *parent_length, const char **name);

/* Resolves for KIND_DIR the directory the first `parent_length` bytes of
 * `path` name (0: the current directory), reading the path in place. FS_OK
 * as path_resolve; on failure, with `explain_failure`, the reason says
 * "parent directory not found" or "not a directory". */
FsStatus path_resolve_parent(const char *path, uint32_t parent_length, uint8_t explain_failure);

/* After a lookup of `path` for `wanted_kind` failed with "not found":
 * makes the recorded reason "is a directory" or "not a directory" when the
 * path names an entry of the other kind. Moves the cursor. */
void path_explain_failure(const char *path, uint8_t wanted_kind);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
