// fat16-driver: brings the volume in "fat16.img" up and reports it.
#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "fat16.h"

namespace {

const uint8_t DRIVE_C = 0;
const uint32_t VOLUME_SECTORS = 0x76000; // 483,328 sectors

// Waits for one character on standard input; at its end, goes on at once.
void pause_for_key() { (void)getchar(); }

} // namespace

int main() {
    if (disk_open_image() != FS_OK) {
        fprintf(stderr, "fat16-driver: cannot open or create fat16.img: %s\n", strerror(errno));
        return 1;
    }
    fs_format_if_blank(DRIVE_C, FS_TYPE_FAT16, VOLUME_SECTORS);
    fs_init();

    uint32_t capacity = 0;
    uint32_t free_space = 0;
    fs_volume_info('c', &capacity, &free_space);
    printf("Volume Capacity: %ld\n", (long)capacity);
    printf("Volume FreeSpace: %ld\n", (long)free_space);
    fflush(stdout);
    pause_for_key();
    return 0;
}
