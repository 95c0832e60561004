/* Namespace operations: creating, deleting, renaming and removing entries,
 * listing a directory and walking the whole tree; and fs_init, which brings
 * every layer to its starting state. */
#ifndef FS_NAMESPACE_H
#define FS_NAMESPACE_H

#include "fat16_common.h"
#include "fat16_dir.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What this header declares is the library's interface, exported from a
 * shared build of it (which hides everything else). */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

#if FS_WITH_WALK
/* The directory the tree walk is reading, "C:\" at the root. */
extern char walk_path[FS_PATH_MAX];
#endif

/* Room callers give fs_list_dir, fs_walk_tree and fs_find_file for a path. */
#define FS_OUT_PATH_SIZE 520u

/* Resets the library: no options, no clock, no volume mounted, the current
 * directory "C:\", both open-file slots free, no walk in progress; then
 * mounts drive C. Returns fs_mount's status (the reason with it). Call it
 * after opening an image and before every other operation; set options and
 * the clock after it. */
FsStatus fs_init(void);

#if !FS_READ_ONLY /* every call that writes (left out with FS_READ_ONLY 1) */
/* Creates an empty file (attribute archive) or a directory (with its "."
 * and ".." entries in a new zeroed cluster) at `path`. A name that fits 8.3
 * is stored in capitals; others get long-name entries and a free alias.
 * FS_OK when the entry is on the image. FS_FAIL with the reason: "invalid
 * name", "already exists" (any live entry of the directory with that name,
 * long or 8.3, in any case), "parent directory not found", "not a
 * directory", "directory full" (the root), "no space left on the volume",
 * "path too long", "host I/O error" (nothing is then half made: a new
 * directory's cluster is given back). */
FsStatus fs_mkdir(const char *path);
FsStatus fs_create_file(const char *path);

/* Creates the file `path` as fs_create_file does and opens it, without
 * looking it up again: its handle, or FS_FAIL (0xFF) with the reason of
 * the creation or of the open. */
uint8_t fs_open_new(const char *path);

/* Creates an entry `name` with the given attribute, first cluster and size
 * in the directory the last KIND_DIR resolution named. FS_FAIL as
 * fs_create_file. */
FsStatus dir_create_entry(const char *name, uint8_t attr, uint32_t first_cluster, uint32_t size);
/* Finds `count` free slots in a row in the directory the last resolution
 * named, from its first slot, growing a subdirectory at its end. FS_OK with
 * the cursor on the run's first slot; FS_FAIL when the root is full, no
 * cluster is free or a sector cannot be read. */
FsStatus dir_find_free_run(uint32_t count, uint8_t *buffer);
/* Writes the long-name slots of `name` and its alias entry from the cursor
 * on (a run dir_find_free_run found). FS_FAIL when a transfer failed. */
FsStatus dir_write_long_entries(const char *name, uint8_t attr, uint32_t first_cluster, uint8_t *buffer,
                                uint32_t size);

/* Deletes the file `path`: its entry (with its long-name slots), then its
 * clusters. FS_FAIL with the reason: "not found", "is a directory", "file
 * is open", "host I/O error". */
FsStatus fs_delete_file(const char *path);
/* Removes the empty directory `path` and frees its clusters. FS_FAIL with
 * the reason: "not found", "not a directory", "directory not empty",
 * "directory in use as the current directory" (it or one below it is
 * current; the root too), "host I/O error". */
FsStatus fs_rmdir(const char *path);
/* Renames the file `old_path` within its directory to the last component
 * of `new_name`, stored in capitals. Nothing changes when refused: FS_FAIL
 * with "invalid name", "already exists", "not found", "is a directory",
 * "file is open", "no space left on the volume", "host I/O error". */
FsStatus fs_rename(const char *old_path, const char *new_name);
/* Moves or renames the file or directory `old_path` to `new_path`, within
 * its directory or into another one; the last component of `new_path` is
 * the new name (stored as creation stores a name, so with FS_OPT_KEEP_CASE
 * as given). The entry keeps its attributes, times, clusters and size; a
 * moved directory's ".." names its new parent. Nothing changes when
 * refused: FS_FAIL with "not found" (no source), "parent directory not
 * found" (no destination directory), "already exists" (another entry of
 * that name), "a directory cannot move into itself or below itself", "the
 * root directory cannot be moved or removed", "file is open", "directory in
 * use as the current directory" (it or one below it), "invalid name", "no
 * space left on the volume" / "directory full", "host I/O error". The old
 * entry is erased before the new one is written: an interruption leaves at
 * worst an entry without a name, never two entries on one chain. */
FsStatus fs_move(const char *old_path, const char *new_path);
/* Sets the read-only, hidden, system and archive bits of the file or
 * directory `path` to `attributes` (the directory and label bits are left
 * as they are). A read-only file opens read-only and cannot be deleted,
 * renamed or moved until the bit is cleared. FS_FAIL with "invalid
 * argument" for other bits, or the lookup's reason. */
FsStatus fs_set_attributes(const char *path, uint8_t attributes);
#if FS_WITH_TIMES
/* Sets the creation, modification and access times of the file or
 * directory `path`; a null pointer leaves that time as it is (the access
 * time is a date). A time outside 1980..2107 is stored as none. FS_FAIL
 * with the lookup's reason, or "host I/O error". Left out with
 * FS_WITH_TIMES 0. */
FsStatus fs_set_times(const char *path, const FsDateTime *created, const FsDateTime *modified,
                      const FsDateTime *accessed);
#endif

/* Erases the entry just before the cursor and the long-name slots in front
 * of it. FS_OK; FS_FAIL for a null buffer. */
FsStatus dir_remove_entries(uint8_t *buffer);

#endif /* !FS_READ_ONLY */

/* Lists the current directory one entry per call ("." and ".." left out):
 * `continue_flag` 0 starts from its first entry, 1 goes on. FS_OK with the
 * entry's full path in `out_path` (FS_OUT_PATH_SIZE bytes) and its
 * attribute; FS_FAIL at the end (reason "no error") or with the reason.
 * Keeps its place in CursorSlot 0. */
FsStatus fs_list_dir(char *out_path, uint8_t continue_flag, uint8_t *out_attr);
/* Lists the directory `dir_path` ("C:\" or "\" for the root, a relative
 * path from the current directory) one entry per call, "." and ".." and
 * volume labels left out: `continue_flag` 0 starts (and resolves
 * `dir_path`), 1 goes on (`dir_path` is not used). FS_OK with the entry as
 * stored in `out`; FS_FAIL at the end (reason "no error") or with the
 * reason of the lookup. Shares CursorSlot 0 with fs_list_dir. */
FsStatus fs_list_entries(const char *dir_path, uint8_t continue_flag, FsEntry *out);
#if FS_WITH_WALK
/* The walk (left out with FS_WITH_WALK 0). Walks the whole volume depth
 * first, one entry per call: `continue_flag`
 * 0 starts at the root, 1 goes on. FS_OK with the entry's full path in
 * `out_path` (FS_OUT_PATH_SIZE bytes) and its attribute; a directory is
 * returned before its contents. FS_FAIL at the end (reason "no error"), or
 * with "not found" when the walk lost its place because the tree changed.
 * CurrentDir is the same after every call as before it. No directory is
 * entered twice (a cross-linked or self-containing one is returned, not
 * entered); past its first 128 directories a walk enters a directory only
 * from the parent its ".." entry names, through that parent's first entry
 * for it, which every directory of a sound tree is. */
FsStatus fs_walk_tree(char *out_path, uint8_t continue_flag, uint8_t *out_attr);
/* Finds the file `name` in the current directory (`whole_volume` 0) or
 * anywhere on the volume, depth first (1), without regard to case. FS_OK
 * with its path, in the stored names, in `out_path` (FS_OUT_PATH_SIZE
 * bytes); FS_FAIL with "not found", "is a directory" or the lookup's
 * reason. `name` is not changed. */
FsStatus fs_find_file(const char *name, uint8_t whole_volume, char *out_path);
/* The walk's steps: enter the directory walk_path names, and go back to
 * the parent where the walk left it (FS_AT_TOP at the root). */
FsStatus walk_enter_dir(void);
FsStatus walk_leave_dir(void);
#endif /* FS_WITH_WALK */
/* Ends a walk in progress: the next fs_walk_tree must start afresh (a
 * continuation returns the end). One step of fs_init. */
void walk_reset(void);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
