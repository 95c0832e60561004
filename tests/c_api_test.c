/* A C11 program on the library's header: proves the interface is usable
 * from C (linkage, records, constants) on a small volume kept in memory. */
#include <stdio.h>
#include <string.h>

#include "fat16.h"

#define VOLUME_SECTORS 12000u

static uint8_t image[VOLUME_SECTORS * 512u];

int main(void) {
    uint32_t capacity = 0;
    uint32_t free_space = 0;
    if (disk_open_memory(image, (uint32_t)sizeof image) != FS_OK) return 1;
    fs_format_if_blank(0, 6, VOLUME_SECTORS);
    if (fs_init() != FS_OK) return 2;
    if (VolumeGeometry.drive_letter != 'C' || strcmp(CurrentDir.path, "C:\\") != 0) return 3;
    if (fs_volume_info('c', &capacity, &free_space) != FS_OK) return 4;
    if (capacity != VOLUME_SECTORS) return 5;
    if (free_space != ((VOLUME_SECTORS - 577u) / 64u) * 64u) return 6;
    if (cluster_to_sector(2) != 577u) return 7;
    {
        SectorBuffer buffer;
        uint32_t cluster = 0;
        if (fat_alloc_cluster(&cluster, buffer) != FS_OK || cluster != 2) return 8;
        if (fat_read_entry(cluster) != 0xFFFFu) return 9;
    }
    puts("C interface works");
    return 0;
}
