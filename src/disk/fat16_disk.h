/* The image device: the only code that touches the host file. It moves
 * whole 512-byte sectors between the image and a caller's buffer. */
#ifndef FAT16_DISK_H
#define FAT16_DISK_H

#include "fat16_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sectors from here up cannot be addressed (their byte offset does not fit
 * the device's signed 32-bit file offsets). */
#define DISK_SECTOR_LIMIT 4194304u /* 2^22 */

/* Size of an image the device creates: 483,328 sectors. */
#define DISK_IMAGE_SECTORS 0x76000u

/* Opens "fat16.img" in the working directory, creating it zero-filled at
 * full size (with progress messages) when it does not exist. FS_FAIL when it
 * can be neither opened nor created. */
FsStatus disk_open_image(void);

/* FS_OK when all 512 bytes were transferred. A read that fails leaves the
 * bytes that did arrive at the start of the buffer and the rest unchanged;
 * a write of an unaddressable sector writes nothing. Writes reach the host
 * file before they return. */
FsStatus disk_read_sector(uint8_t *buffer, uint32_t sector);
FsStatus disk_write_sector(const uint8_t *buffer, uint32_t sector);

/* Closes the image so that a later disk_open_image opens the file then in
 * the working directory. */
void disk_close_image(void);

/* Uses a caller-owned memory area of `size` bytes as the image (tests and
 * fuzzers). The area is never extended: writes past its end fail. */
FsStatus disk_open_memory(uint8_t *data, uint32_t size);

/* Sector transfers since the image was opened or the counters were reset
 * (benchmarks and tests measure the I/O of an operation with them). */
typedef struct DiskCounters {
    uint64_t reads;
    uint64_t writes;
} DiskCounters;

void disk_get_counters(DiskCounters *out);
void disk_reset_counters(void);

#ifdef __cplusplus
}
#endif

#endif
