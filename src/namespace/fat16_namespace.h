/* Namespace operations: creating, deleting, renaming and removing entries,
 * listing a directory and walking the whole tree. */
#ifndef FAT16_NAMESPACE_H
#define FAT16_NAMESPACE_H

#include "fat16_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The directory the tree walk is reading, "C:\" at the root. */
extern char walk_path[FS_PATH_MAX];

/* Room callers give fs_list_dir, fs_walk_tree and fs_find_file for a path. */
#define FS_OUT_PATH_SIZE 520u

FsStatus fs_mkdir(const char *path);
FsStatus fs_create_file(const char *path);
FsStatus dir_create_entry(const char *name, uint8_t attr, uint32_t first_cluster, uint32_t size);
FsStatus dir_find_free_run(uint32_t count, uint8_t *buffer);
FsStatus dir_write_long_entries(const char *name, uint8_t attr, uint32_t first_cluster, uint8_t *buffer,
                                uint32_t size);
FsStatus fs_delete_file(const char *path);
FsStatus fs_rmdir(const char *path);
FsStatus fs_rename(const char *old_path, const char *new_name);
FsStatus dir_remove_entries(uint8_t *buffer);
FsStatus fs_list_dir(char *out_path, uint8_t continue_flag, uint8_t *out_attr);
FsStatus fs_walk_tree(char *out_path, uint8_t continue_flag, uint8_t *out_attr);
FsStatus fs_find_file(char *name, uint8_t whole_volume, char *out_path);
FsStatus walk_enter_dir(void);
FsStatus walk_leave_dir(void);

#ifdef __cplusplus
}
#endif

#endif
