/* Open files: the open-file table (FS_OPEN_FILES slots, two by default)
 * and the transfer of file data: whole sectors in runs between the
 * caller's memory and the device, the sector a transfer only partly covers
 * through each slot's one-sector buffer (with FS_TINY, the sector window). */
#ifndef FS_FILE_H
#define FS_FILE_H

#include "fat16_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What this header declares is the library's interface, exported from a
 * shared build of it (which hides everything else). */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* Slots of the open-file table: FS_OPEN_FILES of fat16_config.h (2). */
#define FS_OPEN_SLOTS ((unsigned)FS_OPEN_FILES)

typedef struct OpenFile {
    uint8_t in_use;
    uint32_t sector_index; /* file sector held in `buffer`; 0xFFFF before the first load */
    uint32_t write_cluster;
    uint32_t write_ordinal;
    uint32_t read_cluster;
    uint32_t read_ordinal;
#if !FS_TINY
    SectorBuffer buffer; /* with FS_TINY the sector is held in the window */
#endif
    uint32_t size;
    uint32_t position;
    uint32_t first_cluster;
    uint8_t read_only;
    uint8_t dirty;
    uint32_t entry_sector; /* the file's 8.3 slot (its alias for a long name) */
    uint32_t entry_offset;
    /* The library's own bookkeeping of the slot. */
    uint32_t chain_clusters; /* clusters of the chain: measured at open, counted up as it grows */
    uint32_t base_clusters;  /* clusters the chain had before its claims not yet linked */
    uint32_t link_from;    /* the chain's old last cluster, to be linked to link_to (0: the entry names it) */
    uint32_t link_to;      /* the first cluster claimed since the last commit; 0: none */
    uint32_t fresh_sector; /* file sectors from here to the chain's end were claimed and hold no data yet */
    uint32_t entry_size;   /* the size the entry on the device holds */
    uint8_t entry_stale;   /* the entry on the device lags the size or first cluster */
    uint8_t stamped;       /* the entry carries the time of this slot's first write */
} OpenFile;

/* The built-in table. */
extern OpenFile open_files[FS_OPEN_SLOTS];

/* Slots a caller's table may have at most (handles 0 to 252; 0xFF is
 * FS_FAIL). */
#define FS_MAX_OPEN_SLOTS 253u

/* Makes handles index the caller's table of `count` slots (1 to 253) from
 * now on, for programs that hold many files open (a mount); null and 0 go
 * back to the built-in table. The caller owns the memory (no heap is used)
 * and keeps it until it switches back; this clears it. In a caller's table
 * every handle on a file may write: the handles on one file share its size
 * and chain, and what one writes the others read. FS_OK; FS_FAIL with
 * "invalid argument" (a count of 0 or above 253 with a table, or not 0
 * without) or "file is open" while a handle of the present table is in
 * use. */
FsStatus fs_use_open_files(OpenFile *slots, uint8_t count);

/* Frees both slots. Nothing is written: an open file's writes are on the
 * device already, unless write-back kept them (fs_init syncs first). One
 * step of fs_init. */
void file_reset(void);
/* Makes what every open file holds durable (fs_sync of each); FS_FAIL when
 * one could not be written. */
FsStatus file_sync_all(void);

/* FS_OK when a slot in use, other than `except_slot` (0xFF: none), holds a
 * file whose first cluster is `cluster`; else FS_FAIL. */
FsStatus handle_find_by_cluster(uint32_t cluster, uint8_t except_slot);
/* FS_OK when a slot in use, other than `except_slot` (0xFF: none), holds the
 * file whose 8.3 entry lies at (`entry_sector`, `entry_offset`). */
FsStatus handle_find_by_entry(uint32_t entry_sector, uint32_t entry_offset, uint8_t except_slot);
/* Takes the first free slot and returns it (0 or 1), or 0xFF when both are
 * in use. */
uint8_t handle_alloc(void);
/* Frees a slot in use: FS_OK, or FS_BAD_HANDLE. */
FsStatus handle_release(uint8_t slot);

/* Opens the file `path` and returns its handle (0 or 1, or an index of the
 * caller's table), positioned at 0. In the built-in table a second handle
 * on a file that is open already only reads. FS_FAIL (0xFF)
 * with the reason: "not found", "is a directory", "both open-file slots are
 * in use", "host I/O error" (its chain or first sector could not be read). */
uint8_t fs_open(const char *path);
/* Opens the file FoundEntry describes (a lookup or a creation just found
 * or wrote it), as fs_open does after its lookup. */
uint8_t file_open_found(void);
/* Writes what the handle still holds (anything only after a failed write,
 * or with FS_OPT_WRITE_BACK) and frees it. FS_OK; FS_FAIL with "bad
 * handle", or with the reason of the write that failed ("no space left on
 * the volume", "host I/O error"), the handle freed all the same. */
FsStatus fs_close(uint8_t handle);
/* Makes everything written through the handle (in a caller's table,
 * through every handle on its file) durable: its last partial
 * sector, the zeros of its last cluster's unused sectors, its FAT links
 * (every copy) and its entry's size, first cluster and time, in that
 * order, then the device's own sync. Without FS_OPT_WRITE_BACK only the
 * device's sync is left to do. FS_OK; FS_FAIL with "bad handle", "no space
 * left on the volume" (the held sector found no cluster), "damaged volume"
 * or "host I/O error". */
FsStatus fs_sync(uint8_t handle);
#if !FS_READ_ONLY /* left out with FS_READ_ONLY 1 */
/* Makes the file `size` bytes long: a shrink frees the clusters past the
 * new end in every FAT copy (the entry's size is written first, so a cut
 * leaves at most a chain too long or lost clusters); a growth adds bytes
 * that read as zeros. Durable at return (the device's sync included), in
 * either write mode; the position stays, cut to the new size. FS_OK;
 * FS_FAIL with "bad handle", "read-only" (a read-only file, or a second
 * handle of the built-in table), "no space left on the volume" (nothing
 * grown), "damaged volume" or "host I/O error". */
FsStatus fs_truncate(uint8_t handle, uint32_t size);
#endif
/* The file's size in bytes as the handle knows it (with what it has
 * written); 0 with "bad handle" for a handle not in use. */
uint32_t fs_file_size(uint8_t handle);
/* Makes the slot's buffer hold the sector of its position, writing a dirty
 * buffer first. FS_FAIL when that write or the read failed. */
FsStatus file_load_sector(uint8_t slot);
#if !FS_READ_ONLY
/* Writes the slot's buffer to its sector of the file (claiming the first
 * cluster, or appending one at the chain's end mark, as needed) and, unless
 * FS_OPT_WRITE_BACK is on, the FAT links and the size into the entry.
 * FS_FAIL with "no space left on the volume", "damaged volume" (a chain
 * that does not end in an end mark, or a size past its chain) or "host I/O
 * error". */
FsStatus file_flush_sector(uint8_t slot);
#endif
/* Moves the position to `offset` from the start, the current position or
 * the end (ORIGIN_). The target must lie inside the file (before its size;
 * from the end, at most the size back). FS_OK; FS_FAIL with "invalid
 * argument" or "bad handle". */
FsStatus fs_seek(uint8_t handle, int32_t offset, uint8_t origin);
/* Reads up to `count` bytes from the position into `dest`, never past the
 * size nor past the file's chain. Whole sectors of consecutive clusters
 * come from the device in one run straight into `dest`. Returns the bytes
 * read; fewer with a reason ("host I/O error", "bad handle") when a read
 * failed. */
uint32_t fs_read(uint8_t handle, uint8_t *dest, uint32_t count);
#if !FS_READ_ONLY /* left out with FS_READ_ONLY 1 */
/* Writes `count` bytes at the position, growing the file. Whole sectors go
 * from `src` to the device in runs over consecutive clusters; a new
 * cluster's sectors are written once, with their data, and the ones the
 * call leaves unused with zeros at its end. Without FS_OPT_WRITE_BACK every
 * call ends with its data, then the FAT links (every copy), then the size
 * and first cluster on the device; a call cut short by a power loss leaves
 * the file as it was before the call, with at most clusters that no entry
 * names or that lie past its size. Returns the bytes written; fewer with
 * the reason ("no space left on the volume", "handle is read-only",
 * "damaged volume", "host I/O error"). */
uint32_t fs_write(uint8_t handle, const uint8_t *src, uint32_t count);
#endif

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
