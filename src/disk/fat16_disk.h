/* The block device under the volume. The library moves whole 512-byte
 * sectors through a device: a table of callbacks with a context that a
 * program gives it (an SD card, a flash translation layer, a region of a
 * larger image), or one of the two devices the library brings, a host image
 * file and a memory area. Every sector transfer of the library goes through
 * disk_read_sector and disk_write_sector. */
#ifndef FS_DISK_H
#define FS_DISK_H

#include "fat16_common.h"

#ifdef __cplusplus
extern "C" {
#endif

/* What this header declares is the library's interface, exported from a
 * shared build of it (which hides everything else). */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* Sectors from here up cannot be addressed (their byte offset does not fit
 * a signed 32-bit offset, and volumes of FAT16 never need them). */
#define FS_SECTOR_LIMIT 4194304u /* 2^22 */

/* Size of an image the host file device creates: 483,328 sectors. */
#define FS_IMAGE_SECTORS 0x76000u

/* A block device of 512-byte sectors. Callbacks a device does not offer
 * are null: zero the whole record before filling it in (a record filled
 * field by field in a program written before read_sectors and
 * write_sectors existed must now set those two as well). */
typedef struct FsBlockDevice {
    void *context;         /* handed back to every callback */
    uint32_t sector_count; /* 512-byte sectors the device holds */
    /* Reads sector `sector` into `buffer`: FS_OK when all 512 bytes came,
     * else FS_FAIL (the buffer may then hold part of the sector). */
    FsStatus (*read)(void *context, uint32_t sector, uint8_t *buffer);
    /* Writes `buffer` to sector `sector`: FS_OK when it is on the device. */
    FsStatus (*write)(void *context, uint32_t sector, const uint8_t *buffer);
    /* Makes every write so far durable; may be null. */
    FsStatus (*sync)(void *context);
    /* Optional runs (null: the library moves a run one sector at a time
     * through read and write). They move `count` (at least 1) consecutive
     * sectors from `first` on, count * 512 bytes of `buffer`, in one call,
     * which is how SD cards and most block devices are fastest: FS_OK when
     * every sector moved; FS_FAIL otherwise, and then the library takes
     * none of the run as done (a read's buffer may hold part of it, a write
     * may have put some of its sectors on the device). The library never
     * asks for a sector at or past sector_count. */
    FsStatus (*read_sectors)(void *context, uint32_t first, uint32_t count, uint8_t *buffer);
    FsStatus (*write_sectors)(void *context, uint32_t first, uint32_t count, const uint8_t *buffer);
} FsBlockDevice;

/* Devices may give read_sectors and write_sectors (this version of the
 * library knows the two callbacks at the end of FsBlockDevice). */
#define FS_HAVE_SECTOR_RUNS 1

/* Uses `device` for every sector transfer from now on; the library keeps
 * the pointer, so the device must stay valid until another device is
 * opened or disk_close_image. Changes the window holds are written to the
 * device in use before, and the window starts empty. The transfer
 * counters, the count of failed transfers and the sticky error start
 * afresh. FS_FAIL for a null device or one without read or write
 * callbacks. */
FsStatus disk_open_device(const FsBlockDevice *device);

/* The device in use, or null when none is open. */
const FsBlockDevice *disk_device(void);

/* Moves sector `sector` of the device into or out of `buffer`. FS_OK when
 * all 512 bytes were transferred. Without a device, for a null buffer, and
 * for a sector at or past the device's sector_count or FS_SECTOR_LIMIT
 * (unaddressable) they fail without calling the device: a failed read
 * leaves the buffer as the device left it (unchanged for an unaddressable
 * sector), an unaddressable write writes nothing. Every failure counts (see
 * disk_failures) and sets the sticky error. Both go through the sector
 * window: a read of a sector the window holds is a copy and moves nothing,
 * a read that moves the sector leaves a copy in the window, and a write
 * reaches the device at once (write-through) and refreshes the window's
 * copy, so the window never holds stale bytes of what the library wrote. */
FsStatus disk_read_sector(uint8_t *buffer, uint32_t sector);
FsStatus disk_write_sector(const uint8_t *buffer, uint32_t sector);

/* Runs of `count` consecutive sectors from `first` (file data): one device
 * call where the device has run callbacks. They pass the window by (data
 * would only push FAT and directory sectors out of it) but stay consistent
 * with it: a changed sector the window holds in the run is written out
 * first, and a write refreshes the window's copies. FS_FAIL, counted as
 * one failed transfer, when any sector could not be moved, for count 0, a
 * null buffer, or a run reaching an unaddressable sector (nothing is then
 * asked of the device). */
FsStatus disk_read_sectors(uint8_t *buffer, uint32_t first, uint32_t count);
FsStatus disk_write_sectors(const uint8_t *buffer, uint32_t first, uint32_t count);
/* Writes `count` sectors of zeros from `first`, in runs of up to
 * FS_ZERO_SECTORS sectors. FS_FAIL as disk_write_sectors. */
FsStatus disk_write_zeros(uint32_t first, uint32_t count);

/* The sector window: FS_WINDOW_SECTORS sectors (fat16_config.h) of FAT and
 * directory sectors, kept between operations so that a sector read again
 * costs nothing. Sectors are written through at once unless a caller asks
 * to keep a change (disk_window_change); such a change reaches the device
 * when disk_window_write or disk_flush writes it, or when its place in the
 * window is needed (a changed sector is given up last). Pointers into the
 * window stay valid until the next call of a disk_ function that moves
 * sectors (any read, write, run, window call, flush or invalidation). */

/* The window's copy of `sector`, read from the device when the window does
 * not hold it; null (with the failure counted) when it cannot be read.
 * Read-only: change a sector through disk_window_change. */
const uint8_t *disk_window_read(uint32_t sector);
/* As disk_window_read, for changing the sector in place: the caller changes
 * the bytes at once (before any other disk_ call) and the change is kept in
 * the window until it is written. The sector is written to `copies`
 * places (at least 1): `sector`, `sector` + `stride`, `sector` + 2 *
 * `stride` and so on, as the copies of a FAT (`stride` below 65,536). A read of any of those places
 * writes the change out first. Null when the sector cannot be read. */
uint8_t *disk_window_change(uint32_t sector, uint8_t copies, uint32_t stride);
/* As disk_window_change for a sector whose bytes do not matter (one to be
 * written whole, or a file sector that holds no data yet): its place is
 * zeros, not read. Null without a device. */
uint8_t *disk_window_fresh(uint32_t sector);
/* Writes the window's changed copy of `sector` to all its places now.
 * FS_OK (also when the window holds no change of it); FS_FAIL when a write
 * failed: the window then forgets the sector and its change, since what
 * the device holds there is not known (never written later, out of order). */
FsStatus disk_window_write(uint32_t sector);
/* Writes every change the window holds. FS_OK, or FS_FAIL when a write
 * failed (as disk_window_write, those changes are dropped). */
FsStatus disk_flush(void);
/* As disk_flush, with the change of `last` written after every other one
 * (the write that makes the others reachable), and not at all (it stays in
 * the window, for the caller to undo) when another write failed. */
FsStatus disk_flush_with_last(uint32_t last);
/* Writes every change the window holds, then forgets every sector, so that
 * the next read of each reaches the device. For programs (and tests) that
 * change the device past the library; mounting does it too. */
void disk_invalidate(void);
/* Sectors first .. first + count - 1 (the first FAT) leave the window
 * after the others: among sectors without a change, one outside them is
 * given up first. Opening a device forgets the range. */
void disk_window_favour(uint32_t first, uint32_t count);
/* 512 zero bytes, for readers that take a sector that cannot be read as an
 * empty one. */
const uint8_t *disk_zero_sector(void);

/* Writes the changes the window holds, then asks the device to make its
 * writes durable (FS_OK when it has no sync callback). */
FsStatus disk_sync(void);

/* Writes the changes the window holds, then stops using the device;
 * closes the host image file when the host file device holds one, so that
 * a later disk_open_image opens the file then in the working directory. */
void disk_close_image(void);

/* The host image file, a device the library brings on hosts (not built for
 * microcontrollers). Images stay sparse where the host file system allows;
 * a host that runs out of space makes a write fail, never the program. */

/* Opens "fat16.img" in the working directory, creating it at full size
 * (483,328 zero sectors) with progress messages on standard output when it
 * does not exist. FS_FAIL when it can be neither opened nor created. */
FsStatus disk_open_image(void);

/* Opens the image file at `path`. With `create` 0 a missing file is an
 * error; with 1 it is created at full size (483,328 zero sectors), silently.
 * A file that may only be read is opened for reading: every write then
 * fails. FS_FAIL (errno says why) when it cannot be opened or is no
 * regular file. */
FsStatus disk_open_image_path(const char *path, uint8_t create);

/* 1 when the open image file can only be read. */
uint8_t disk_read_only(void);

/* Flags of disk_open_image_file. */
#define FS_IMAGE_READ_ONLY 0x01u /* open for reading only: every write fails */
#define FS_IMAGE_FIXED_SIZE                                                                                  \
    0x02u /* the device ends where the file ends: a write past it                                            \
             fails instead of growing the file */
#define FS_IMAGE_DEVICES                                                                                     \
    0x04u /* a block device may be opened too (POSIX hosts): its size                                        \
             comes from the device, its size is fixed, and whole                                             \
             sectors move with positioned reads and writes */

/* Opens the existing image file (or, with FS_IMAGE_DEVICES, block device)
 * at `path` as the device in use. Without FS_IMAGE_READ_ONLY it is opened
 * for writing where the host allows, else for reading only, as
 * disk_open_image_path does. FS_FAIL (errno says why; EINVAL for a file of
 * another kind) when it cannot be opened. */
FsStatus disk_open_image_file(const char *path, uint32_t flags);

/* Bytes the open image file or block device held when it was opened; 0
 * when none is open. */
uint64_t disk_image_bytes(void);

/* 1 when the open image is a block device. */
uint8_t disk_image_is_device(void);

/* A caller-owned memory area as a device. */
typedef struct FsMemoryDevice {
    FsBlockDevice device; /* its context is this record */
    uint8_t *data;
    uint32_t size;
} FsMemoryDevice;

/* Makes `memory` a device over the `size` bytes at `data` and returns it,
 * for disk_open_device or a device that forwards to it. sector_count is
 * size / 512 rounded up: a last partial sector reads its bytes and fails,
 * and never takes a write. The area is never extended. */
const FsBlockDevice *disk_memory_device(FsMemoryDevice *memory, uint8_t *data, uint32_t size);

/* Uses a caller-owned memory area of `size` bytes as the image (tests,
 * fuzzers, RAM disks), through the library's own memory device. */
FsStatus disk_open_memory(uint8_t *data, uint32_t size);

/* Sector transfers since the device was opened or the counters were reset
 * (benchmarks and tests measure the I/O of an operation with them). */
typedef struct FsDiskCounters {
    uint64_t reads;        /* sectors moved from the device */
    uint64_t writes;       /* sectors moved to the device */
    uint64_t read_errors;  /* transfers that did not move all their bytes */
    uint64_t write_errors; /* including writes of sectors that cannot be addressed */
    uint64_t read_calls;   /* device calls that read: one a sector, or one a run */
    uint64_t write_calls;  /* device calls that wrote */
} FsDiskCounters;

/* Copies the counters to `out` (nothing for a null pointer); sets them to 0. */
void disk_get_counters(FsDiskCounters *out);
void disk_reset_counters(void);

/* Sticky error: FS_FAIL when a sector transfer failed since the last call
 * (or since the device was opened), FS_OK otherwise; the call clears it. */
FsStatus disk_take_error(void);

/* A count of failed transfers, taken as a mark: 32 bits, since only whether
 * it moved during one call matters (it would take four billion failures in
 * that call to wrap it back). */
typedef uint32_t DiskFailMark;
/* Failed transfers since the device was opened: an operation takes it as
 * a mark when it starts, and asks disk_failed_since at the end whether one
 * of its own transfers failed. */
DiskFailMark disk_failures(void);
/* 1 when a transfer failed since `mark` (a disk_failures value) was taken. */
uint8_t disk_failed_since(DiskFailMark mark);
/* The way out of an operation: FS_FAIL with the reason "host I/O error"
 * when one of its transfers failed since `mark`, else with `reason`. */
FsStatus disk_fail_since(DiskFailMark mark, FsError reason);

/* For the library's own devices: a function that releases what a device
 * holds (the host file), called once by disk_close_image or when the next
 * such device is registered; null for none. */
void disk_set_release(void (*release)(void));

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
