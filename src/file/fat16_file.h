/* Open files: the two-slot open-file table and the transfer of file data
 * through each slot's one-sector buffer. */
#ifndef FAT16_FILE_H
#define FAT16_FILE_H

#include "fat16_common.h"

#ifdef __cplusplus
extern "C" {
#endif

#define FS_OPEN_SLOTS 2u

typedef struct OpenFile {
    uint8_t in_use;
    uint32_t sector_index; /* file sector held in `buffer`; 0xFFFF before the first load */
    uint32_t write_cluster;
    uint32_t write_ordinal;
    uint32_t read_cluster;
    uint32_t read_ordinal;
    SectorBuffer buffer;
    uint32_t size;
    uint32_t position;
    uint32_t first_cluster;
    uint8_t read_only;
    uint8_t dirty;
    uint32_t entry_sector; /* the file's 8.3 slot (its alias for a long name) */
    uint32_t entry_offset;
} OpenFile;

extern OpenFile open_files[FS_OPEN_SLOTS];

FsStatus handle_find_by_cluster(uint32_t cluster, uint8_t except_slot);
/* FS_OK when a slot in use, other than `except_slot` (0xFF: none), holds the
 * file whose 8.3 entry lies at (`entry_sector`, `entry_offset`). */
FsStatus handle_find_by_entry(uint32_t entry_sector, uint32_t entry_offset, uint8_t except_slot);
uint8_t handle_alloc(void);
FsStatus handle_release(uint8_t slot);
uint8_t fs_open(const char *path);
FsStatus fs_close(uint8_t handle);
FsStatus file_load_sector(uint8_t slot);
FsStatus file_flush_sector(uint8_t slot);
FsStatus fs_seek(uint8_t handle, int32_t offset, uint8_t origin);
uint32_t fs_read(uint8_t handle, uint8_t *dest, uint32_t count);
uint32_t fs_write(uint8_t handle, const uint8_t *src, uint32_t count);

#ifdef __cplusplus
}
#endif

#endif
