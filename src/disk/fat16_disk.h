/* The image device: the only code that touches the host file. It moves
 * whole 512-byte sectors between the image and a caller's buffer. */
#ifndef FS_DISK_H
#define FS_DISK_H

#include "fat16_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sectors from here up cannot be addressed (their byte offset does not fit
 * the device's signed 32-bit file offsets). */
#define FS_SECTOR_LIMIT 4194304u /* 2^22 */

/* Size of an image the device creates: 483,328 sectors. */
#define FS_IMAGE_SECTORS 0x76000u

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

/* Opens the image file at `path`. With `create` 0 a missing file is an
 * error; with 1 it is created at full size (483,328 zero sectors), silently.
 * A file that may only be read is opened for reading: every write then
 * fails. */
FsStatus disk_open_image_path(const char *path, uint8_t create);

/* 1 when the open image can only be read. */
uint8_t disk_read_only(void);

/* Uses a caller-owned memory area of `size` bytes as the image (tests and
 * fuzzers). The area is never extended: writes past its end fail. */
FsStatus disk_open_memory(uint8_t *data, uint32_t size);

/* Sector transfers since the image was opened or the counters were reset
 * (benchmarks and tests measure the I/O of an operation with them). */
typedef struct FsDiskCounters {
    uint64_t reads;
    uint64_t writes;
    uint64_t read_errors;  /* transfers that did not move all 512 bytes */
    uint64_t write_errors; /* including writes of sectors that cannot be addressed */
} FsDiskCounters;

void disk_get_counters(FsDiskCounters *out);
void disk_reset_counters(void);

/* Sticky error: FS_FAIL when a sector transfer failed since the last call
 * (or since the image was opened), FS_OK otherwise; the call clears it. */
FsStatus disk_take_error(void);

/* Failed transfers since the image was opened. Operations compare it before
 * and after their work to know whether one of their own transfers failed. */
uint64_t disk_failures(void);

/* Faults for tests: the Nth read or write from now on fails (1: the next
 * one; 0: none), and with `persistent` every later one of that kind too,
 * as on a device that lost its power. A failed write changes nothing. */
typedef struct FsDiskFaults {
    uint64_t fail_read;
    uint64_t fail_write;
    uint8_t persistent;
} FsDiskFaults;

/* Sets the faults to inject; a null pointer removes them. */
void disk_set_faults(const FsDiskFaults *faults);

#ifdef __cplusplus
}
#endif

#endif
