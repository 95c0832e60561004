// The host image file as a device: the only code of the library that
// touches a host file, and the only one that reads the environment or
// prints (the messages of creating "fat16.img").
//
// Where the host has mmap (POSIX), the file is mapped shared, so a sector
// transfer is a copy to or from the host's file cache: every write is in the
// file (visible to every process that reads it, and kept if this one is
// killed) before it returns. A write through the mapping into a hole of a
// sparse file could find the host disk full and fault, so the blocks of a
// 64 KiB region are reserved (posix_fallocate) the first time the region is
// written: the image stays sparse, and a full disk makes that one write
// fail with ENOSPC. Without mmap (or without posix_fallocate, for writes)
// the file is read and written with positioned reads and writes, or with
// stdio where those are missing too.
//
// disk_open_image_file also opens a block device (a card, a partition, a
// loop device): its size comes from the device and whole sectors move with
// positioned reads and writes, never through a mapping. There, and for a
// file opened with FS_IMAGE_FIXED_SIZE, the device ends where the file or
// device ends: a write past it fails instead of growing the file.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fat16_disk.h"
#include "fat16_layout.h"

#if FAT16_HAVE_MMAP
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h> // BLKGETSIZE64
#endif
#endif

namespace {

const char kImageName[] = "fat16.img";
const uint32_t kProgressEvery = 1000; // one '#' per this many sectors created

bool read_only = false;
FsBlockDevice file_device;
uint64_t image_bytes = 0;  // the file's or device's length when it was opened
bool block_device = false; // a block device, not a regular file
bool fixed_size = false;   // writes stay inside image_bytes

void report_creation_start(void) {
    fputs("make fat16.img in progress!\n", stdout);
    for (uint32_t i = 0; i < FS_IMAGE_SECTORS; i += kProgressEvery) fputc('#', stdout);
    fflush(stdout);
}

void report_creation_end(void) {
    fputs("\nmake fat16.img complete\n", stdout);
    fflush(stdout);
}

#if FAT16_HAVE_MMAP

// Regions whose blocks are reserved, one bit each.
const uint32_t kRegionSectors = 128; // 64 KiB
uint8_t reserved_regions[FS_SECTOR_LIMIT / kRegionSectors / 8];

int image_fd = -1;
uint8_t *map_base = nullptr; // the file's bytes 0 .. map_length - 1
uint64_t map_length = 0;
bool map_writes = false;

// `count` sectors from `sector` on with pread and pwrite.
FsStatus positioned_read(uint32_t sector, uint32_t count, uint8_t *buffer) {
    off_t at = (off_t)sector * SECTOR_SIZE;
    uint64_t bytes = (uint64_t)count * SECTOR_SIZE;
    uint64_t got = 0;
    while (got < bytes) {
        ssize_t n = pread(image_fd, buffer + got, (size_t)(bytes - got), at + (off_t)got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return FS_FAIL; // end of file or host error: a short read
        got += (uint64_t)n;
    }
    return FS_OK;
}

FsStatus positioned_write(uint32_t sector, uint32_t count, const uint8_t *buffer) {
    off_t at = (off_t)sector * SECTOR_SIZE;
    uint64_t bytes = (uint64_t)count * SECTOR_SIZE;
    uint64_t put = 0;
    while (put < bytes) {
        ssize_t n = pwrite(image_fd, buffer + put, (size_t)(bytes - put), at + (off_t)put);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return FS_FAIL;
        put += (uint64_t)n;
    }
    return FS_OK;
}

bool in_map(uint32_t sector, uint32_t count) {
    return ((uint64_t)sector + count) * SECTOR_SIZE <= map_length;
}

// Reserves the blocks of the region of `sector` before the mapping writes
// there. False when the host refuses (ENOSPC: the disk is full); a host
// file system that cannot reserve makes writes go through pwrite instead.
bool reserve_region(uint32_t sector) {
    uint32_t region = sector / kRegionSectors;
    if (reserved_regions[region / 8] & (1u << (region % 8))) return true;
#if FAT16_HAVE_POSIX_FALLOCATE
    uint64_t start = (uint64_t)region * kRegionSectors * SECTOR_SIZE;
    uint64_t length = kRegionSectors * SECTOR_SIZE;
    if (start + length > map_length) length = map_length - start;
    int r = posix_fallocate(image_fd, (off_t)start, (off_t)length);
    if (r == EOPNOTSUPP || r == EINVAL) {
        map_writes = false;
        return true;
    }
    if (r != 0) {
        errno = r;
        return false;
    }
#endif
    reserved_regions[region / 8] |= (uint8_t)(1u << (region % 8));
    return true;
}

FsStatus file_read_run(void *, uint32_t first, uint32_t count, uint8_t *buffer) {
    if (in_map(first, count)) {
        memcpy(buffer, map_base + (uint64_t)first * SECTOR_SIZE, (size_t)count * SECTOR_SIZE);
        return FS_OK;
    }
    return positioned_read(first, count, buffer);
}

FsStatus file_write_run(void *, uint32_t first, uint32_t count, const uint8_t *buffer) {
    if (read_only) return FS_FAIL;
    if (map_writes && in_map(first, count)) {
        for (uint32_t s = first; s < first + count; s += kRegionSectors - s % kRegionSectors)
            if (!reserve_region(s)) return FS_FAIL;
        if (map_writes) {
            memcpy(map_base + (uint64_t)first * SECTOR_SIZE, buffer, (size_t)count * SECTOR_SIZE);
            return FS_OK;
        }
    }
    return positioned_write(first, count, buffer);
}

FsStatus file_read(void *context, uint32_t sector, uint8_t *buffer) {
    return file_read_run(context, sector, 1, buffer);
}

FsStatus file_write(void *context, uint32_t sector, const uint8_t *buffer) {
    return file_write_run(context, sector, 1, buffer);
}

FsStatus file_sync(void *) {
    if (map_base != nullptr && msync(map_base, (size_t)map_length, MS_SYNC) != 0) return FS_FAIL;
    return fsync(image_fd) == 0 ? FS_OK : FS_FAIL;
}

// How the file is reached: FAT16_DISK_IO=pread (no mapping) or
// mapped-reads (writes through the descriptor) select the slower ways for
// measurements; the default maps reads and writes.
void map_image(void) {
    const char *mode = getenv("FAT16_DISK_IO");
    if (mode != nullptr && strcmp(mode, "pread") == 0) return;
    struct stat st;
    if (fstat(image_fd, &st) != 0 || st.st_size <= 0) return;
    int protection = read_only ? PROT_READ : PROT_READ | PROT_WRITE;
    void *base = mmap(nullptr, (size_t)st.st_size, protection, MAP_SHARED, image_fd, 0);
    if (base == MAP_FAILED) return;
    map_base = (uint8_t *)base;
    map_length = (uint64_t)st.st_size;
    map_writes = !read_only && !(mode != nullptr && strcmp(mode, "mapped-reads") == 0);
#if !FAT16_HAVE_POSIX_FALLOCATE
    map_writes = false; // nothing could reserve the blocks of a sparse file
#endif
}

void release_file(void) {
    if (map_base != nullptr) munmap(map_base, (size_t)map_length);
    map_base = nullptr;
    map_length = 0;
    map_writes = false;
    if (image_fd >= 0) close(image_fd);
    image_fd = -1;
    read_only = false;
    image_bytes = 0;
    block_device = false;
    fixed_size = false;
    memset(reserved_regions, 0, sizeof reserved_regions);
}

bool open_host(const char *path, bool writable) {
    image_fd = open(path, writable ? O_RDWR : O_RDONLY);
    return image_fd >= 0;
}

// Creates an image file of 483,328 zero sectors, sparse: the host keeps
// only what is written later. With `report`, with the progress messages.
bool create_image(const char *path, bool report) {
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return false;
    if (report) report_creation_start();
    if (ftruncate(fd, (off_t)FS_IMAGE_SECTORS * SECTOR_SIZE) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return false;
    }
    if (report) report_creation_end();
    image_fd = fd;
    return true;
}

// Bytes of the block device open as image_fd; false when the host cannot
// tell.
bool device_bytes(uint64_t *out) {
#if defined(BLKGETSIZE64)
    uint64_t bytes = 0;
    if (ioctl(image_fd, BLKGETSIZE64, &bytes) == 0) {
        *out = bytes;
        return true;
    }
#endif
    off_t end = lseek(image_fd, 0, SEEK_END);
    if (end < 0) return false;
    *out = (uint64_t)end;
    return true;
}

// Takes the opened file as the image: a regular file, or with `devices` a
// block device too, which is reached without a mapping.
bool start_using(bool only_reads, bool devices) {
    struct stat st;
    int error = EINVAL; // a file of another kind
    bool usable = false;
    uint64_t bytes = 0;
    if (fstat(image_fd, &st) != 0) {
        error = errno;
    } else if (S_ISREG(st.st_mode)) {
        usable = true;
        bytes = (uint64_t)st.st_size;
    } else if (devices && S_ISBLK(st.st_mode)) {
        usable = device_bytes(&bytes);
        if (!usable) error = errno;
    }
    if (!usable) {
        close(image_fd);
        image_fd = -1;
        errno = error;
        return false;
    }
    read_only = only_reads;
    image_bytes = bytes;
    block_device = S_ISBLK(st.st_mode);
    if (!block_device) map_image();
    return true;
}

#else // stdio: hosts without mmap (Windows among them)

FILE *image = nullptr;

bool seek_to(uint32_t sector) {
#if defined(_WIN32)
    return _fseeki64(image, (long long)sector * SECTOR_SIZE, SEEK_SET) == 0;
#else
    return fseek(image, (long)sector * SECTOR_SIZE, SEEK_SET) == 0;
#endif
}

FsStatus file_read_run(void *, uint32_t first, uint32_t count, uint8_t *buffer) {
    if (!seek_to(first)) return FS_FAIL;
    size_t bytes = (size_t)count * SECTOR_SIZE;
    return fread(buffer, 1, bytes, image) == bytes ? FS_OK : FS_FAIL;
}

FsStatus file_write_run(void *, uint32_t first, uint32_t count, const uint8_t *buffer) {
    if (read_only || !seek_to(first)) return FS_FAIL;
    // Flushed at once: a write is in the host's file before it returns.
    size_t bytes = (size_t)count * SECTOR_SIZE;
    if (fwrite(buffer, 1, bytes, image) != bytes || fflush(image) != 0) return FS_FAIL;
    return FS_OK;
}

FsStatus file_read(void *context, uint32_t sector, uint8_t *buffer) {
    return file_read_run(context, sector, 1, buffer);
}

FsStatus file_write(void *context, uint32_t sector, const uint8_t *buffer) {
    return file_write_run(context, sector, 1, buffer);
}

FsStatus file_sync(void *) { return fflush(image) == 0 ? FS_OK : FS_FAIL; }

void release_file(void) {
    if (image != nullptr) fclose(image);
    image = nullptr;
    read_only = false;
    image_bytes = 0;
    fixed_size = false;
}

bool open_host(const char *path, bool writable) {
    image = fopen(path, writable ? "rb+" : "rb");
    return image != nullptr;
}

// Creates the image: its last byte written, the rest left to the host
// (sparse where its file system can).
bool create_image(const char *path, bool report) {
    image = fopen(path, "wb+");
    if (image == nullptr) return false;
    if (report) report_creation_start();
    static const uint8_t zero = 0;
    bool ok = seek_to(FS_IMAGE_SECTORS - 1) && fseek(image, SECTOR_SIZE - 1, SEEK_CUR) == 0 &&
              fwrite(&zero, 1, 1, image) == 1 && fflush(image) == 0;
    if (!ok) {
        fclose(image);
        image = nullptr;
        return false;
    }
    if (report) report_creation_end();
    return true;
}

// Takes the opened file as the image (block devices are not reached
// through stdio).
bool start_using(bool only_reads, bool) {
    read_only = only_reads;
#if defined(_WIN32)
    bool sized = _fseeki64(image, 0, SEEK_END) == 0;
    long long end = sized ? _ftelli64(image) : -1;
#else
    bool sized = fseek(image, 0, SEEK_END) == 0;
    long long end = sized ? (long long)ftell(image) : -1;
#endif
    image_bytes = end > 0 ? (uint64_t)end : 0;
    return true;
}

#endif

// Opens the host file at `path` (writable where the host allows and
// FS_IMAGE_READ_ONLY is not asked for, else for reading only; made when
// missing and `create`) as the device in use.
FsStatus open_path(const char *path, bool create, bool report, uint32_t flags) {
    disk_close_image();
    if (path == nullptr || path[0] == '\0') return FS_FAIL;
    bool only_reads = (flags & FS_IMAGE_READ_ONLY) != 0;
    bool opened = open_host(path, !only_reads);
    if (!opened && !only_reads && (errno == EACCES || errno == EROFS || errno == EPERM))
        opened = only_reads = open_host(path, false);
    if (!opened && errno == ENOENT && create) opened = create_image(path, report);
    if (!opened || !start_using(only_reads, (flags & FS_IMAGE_DEVICES) != 0)) return FS_FAIL;
    file_device.context = nullptr;
    // A file grows when written past its end, unless its size is fixed; a
    // device ends where it ends.
    fixed_size = block_device || (flags & FS_IMAGE_FIXED_SIZE) != 0;
    uint64_t sectors = image_bytes / SECTOR_SIZE;
    file_device.sector_count = fixed_size && sectors < FS_SECTOR_LIMIT ? (uint32_t)sectors : FS_SECTOR_LIMIT;
    file_device.read = file_read;
    file_device.write = file_write;
    file_device.sync = file_sync;
    file_device.read_sectors = file_read_run;
    file_device.write_sectors = file_write_run;
    disk_set_release(release_file);
    return disk_open_device(&file_device);
}

} // namespace

extern "C" {

FsStatus disk_open_image(void) { return open_path(kImageName, true, true, 0); }

FsStatus disk_open_image_path(const char *path, uint8_t create) {
    return open_path(path, create != 0, false, 0);
}

FsStatus disk_open_image_file(const char *path, uint32_t flags) {
    return open_path(path, false, false, flags);
}

uint8_t disk_read_only(void) { return disk_device() == &file_device && read_only ? 1 : 0; }

uint64_t disk_image_bytes(void) { return disk_device() == &file_device ? image_bytes : 0; }

uint8_t disk_image_is_device(void) { return disk_device() == &file_device && block_device ? 1 : 0; }
}
