/* The mounted volume: boot sector, format, mount, volume report, and the
 * file allocation table with its cluster chains. */
#ifndef FAT16_VOLUME_H
#define FAT16_VOLUME_H

#include "fat16_common.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct VolumeGeometryRecord {
    uint8_t drive_letter; /* 'C' + drive index; 0xFF after fs_init until a mount */
    uint8_t fs_type;      /* 6 once a mount has succeeded */
    uint32_t partition_start;
    uint32_t total_sectors;
    uint32_t first_data_sector; /* first sector of cluster 2 */
    uint32_t fat1_start;
    uint32_t fat2_start;
    uint32_t root_dir_start;
    uint32_t root_dir_sectors;
    uint32_t cluster_count; /* valid clusters are 2 .. cluster_count + 1 */
    uint32_t data_sectors;
    uint32_t bytes_per_sector;
    uint8_t sectors_per_cluster;
    uint32_t reserved_sectors;
    uint8_t fat_count;
    uint32_t root_entry_count;
    uint32_t total_sectors_16;
    uint8_t media;
    uint32_t sectors_per_fat;
} VolumeGeometryRecord;

extern VolumeGeometryRecord VolumeGeometry;

/* File-system type byte of FAT16, the only type this library formats. */
#define FS_TYPE_FAT16 6

/* Largest cluster count a FAT16 volume may have. */
#define FAT16_MAX_CLUSTERS 65524u

/* FAT entry values. */
#define FAT_FREE 0x0000u
#define FAT_END_OF_CHAIN 0xFFFFu

FsStatus fs_init(void);
FsStatus fs_mount(uint8_t drive_index);
void fs_compute_geometry(void);
FsStatus fs_format_if_blank(uint8_t drive_index, uint8_t fs_type, uint32_t total_sectors);
void fs_write_boot_sector(uint32_t total_sectors, uint8_t drive_index);
void fs_init_fats(uint8_t drive_index);
FsStatus fs_volume_info(char letter, uint32_t *capacity, uint32_t *free_space);

/* 1 while a mount has succeeded and no later mount has failed. Operations
 * that need the volume refuse while this is 0. */
uint8_t fs_is_mounted(void);

/* 1 when `sector` is a FAT16 boot sector the library can mount: the 55 AA
 * signature and a usable BPB (512-byte sectors, a power-of-two cluster
 * size, a FAT for every cluster, a data area inside the total). */
uint8_t fs_boot_sector_valid(const uint8_t *sector);

/* Mounts primary partition `partition` (1 to 4) of an image whose sector 0
 * holds a partition table, when that partition is FAT16 (type 0x04, 0x06 or
 * 0x0E), under the letter 'C' + drive_index. Later mounts of other letters
 * use the same partition until fs_init. */
FsStatus fs_mount_partition(uint8_t drive_index, uint8_t partition);

/* Formats a volume of `total_sectors` starting at `first_sector` with the
 * formatter's layout, whatever the image holds there. FS_FAIL when a write
 * failed. */
FsStatus fs_format_at(uint32_t first_sector, uint32_t total_sectors);

/* 1 when `cluster` is a data cluster of the mounted volume. */
uint8_t fat_cluster_valid(uint32_t cluster);

uint32_t cluster_to_sector(uint32_t cluster);
uint32_t fat_read_entry(uint32_t cluster);
FsStatus fat_alloc_cluster(uint32_t *out_cluster, uint8_t *buffer);
FsStatus fat_append_cluster(uint32_t cluster, uint32_t *out_cluster, uint8_t *buffer);
FsStatus fat_free_chain(uint32_t cluster);
uint32_t fat_find_prev_cluster(uint32_t cluster);

/* Number of distinct clusters of the chain that starts at `first`: it ends
 * at a value outside the data clusters or where the chain comes back to a
 * cluster it already passed. 0 when `first` is no data cluster. */
uint32_t fat_chain_length(uint32_t first);

/* Loop guard for walking a cluster chain one link at a time (Brent's cycle
 * detection): a chain that loops is recognised when the loop closes, and no
 * walk ever takes more than cluster_count + 2 steps. */
typedef struct FatChainGuard {
    uint32_t saved;  /* the cluster the walk compares against */
    uint32_t power;  /* steps until `saved` moves on */
    uint32_t lambda; /* steps since `saved` was taken */
    uint32_t steps;  /* links followed so far */
} FatChainGuard;

void fat_guard_start(FatChainGuard *guard, uint32_t first_cluster);
/* Call for every link followed to `next`; FS_FAIL when the chain loops or
 * has run longer than the volume has clusters. */
FsStatus fat_guard_step(FatChainGuard *guard, uint32_t next);

#ifdef __cplusplus
}
#endif

#endif
