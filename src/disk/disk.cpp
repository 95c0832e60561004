// The image device. All host I/O of the library happens here: one image,
// either the host file "fat16.img" (positioned reads and writes on a file
// descriptor, so every write is in the host's page cache, visible to other
// processes and kept if this one dies, before it returns) or a memory area
// given by a test.
#include "fat16_disk.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

const char kImageName[] = "fat16.img";
const uint32_t kProgressEvery = 1000; // one '#' per this many sectors created

enum Backing { BACKING_NONE, BACKING_FILE, BACKING_MEMORY };

Backing backing = BACKING_NONE;
int image_fd = -1;
uint8_t *memory_data = nullptr;
uint32_t memory_size = 0;
DiskCounters counters;

bool addressable(uint32_t sector) { return sector < DISK_SECTOR_LIMIT; }

// Fills a freshly created, empty image file with zeros up to `bytes`.
// Reserving the blocks up front (rather than leaving a sparse file) means a
// later sector write cannot fail for lack of space on the host.
bool fill_with_zeros(int fd, off_t bytes) {
    if (posix_fallocate(fd, 0, bytes) == 0) return true;
    static const uint8_t zeros[64 * 1024] = {0};
    off_t done = 0;
    while (done < bytes) {
        size_t chunk = sizeof zeros;
        if ((off_t)chunk > bytes - done) chunk = (size_t)(bytes - done);
        ssize_t n = pwrite(fd, zeros, chunk, done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += n;
    }
    return true;
}

// Creates the image: progress messages on standard output, one '#' for every
// 1,000 sectors (484 in all), and a file of 483,328 zero sectors.
int create_image(void) {
    int fd = open(kImageName, O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return -1;
    fputs("make fat16.img in progress!\n", stdout);
    for (uint32_t i = 0; i < DISK_IMAGE_SECTORS; i += kProgressEvery) fputc('#', stdout);
    fflush(stdout);
    if (!fill_with_zeros(fd, (off_t)DISK_IMAGE_SECTORS * SECTOR_SIZE)) {
        close(fd);
        return -1;
    }
    fputs("\nmake fat16.img complete\n", stdout);
    fflush(stdout);
    return fd;
}

FsStatus file_read(uint8_t *buffer, uint32_t sector) {
    off_t at = (off_t)sector * SECTOR_SIZE;
    uint32_t got = 0;
    while (got < SECTOR_SIZE) {
        ssize_t n = pread(image_fd, buffer + got, SECTOR_SIZE - got, at + got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return FS_FAIL; // end of file or host error: a short read
        got += (uint32_t)n;
    }
    return FS_OK;
}

FsStatus file_write(const uint8_t *buffer, uint32_t sector) {
    off_t at = (off_t)sector * SECTOR_SIZE;
    uint32_t put = 0;
    while (put < SECTOR_SIZE) {
        ssize_t n = pwrite(image_fd, buffer + put, SECTOR_SIZE - put, at + put);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return FS_FAIL;
        put += (uint32_t)n;
    }
    return FS_OK;
}

FsStatus memory_read(uint8_t *buffer, uint32_t sector) {
    uint64_t at = (uint64_t)sector * SECTOR_SIZE;
    if (at >= memory_size) return FS_FAIL;
    uint64_t avail = memory_size - at;
    if (avail < SECTOR_SIZE) {
        memcpy(buffer, memory_data + at, (size_t)avail);
        return FS_FAIL;
    }
    memcpy(buffer, memory_data + at, SECTOR_SIZE);
    return FS_OK;
}

FsStatus memory_write(const uint8_t *buffer, uint32_t sector) {
    uint64_t at = (uint64_t)sector * SECTOR_SIZE;
    if (at + SECTOR_SIZE > memory_size) return FS_FAIL;
    memcpy(memory_data + at, buffer, SECTOR_SIZE);
    return FS_OK;
}

} // namespace

extern "C" {

FsStatus disk_open_image(void) {
    disk_close_image();
    int fd = open(kImageName, O_RDWR);
    if (fd < 0) fd = create_image();
    if (fd < 0) return FS_FAIL;
    image_fd = fd;
    backing = BACKING_FILE;
    return FS_OK;
}

FsStatus disk_open_memory(uint8_t *data, uint32_t size) {
    disk_close_image();
    if (data == nullptr) return FS_FAIL;
    memory_data = data;
    memory_size = size;
    backing = BACKING_MEMORY;
    return FS_OK;
}

void disk_close_image(void) {
    if (image_fd >= 0) close(image_fd);
    image_fd = -1;
    memory_data = nullptr;
    memory_size = 0;
    backing = BACKING_NONE;
    disk_reset_counters();
}

void disk_get_counters(DiskCounters *out) {
    if (out != nullptr) *out = counters;
}

void disk_reset_counters(void) { counters = DiskCounters{0, 0}; }

FsStatus disk_read_sector(uint8_t *buffer, uint32_t sector) {
    if (buffer == nullptr || !addressable(sector)) return FS_FAIL;
    counters.reads++;
    switch (backing) {
    case BACKING_FILE: return file_read(buffer, sector);
    case BACKING_MEMORY: return memory_read(buffer, sector);
    default: return FS_FAIL;
    }
}

FsStatus disk_write_sector(const uint8_t *buffer, uint32_t sector) {
    if (buffer == nullptr || !addressable(sector)) return FS_FAIL;
    counters.writes++;
    switch (backing) {
    case BACKING_FILE: return file_write(buffer, sector);
    case BACKING_MEMORY: return memory_write(buffer, sector);
    default: return FS_FAIL;
    }
}
}
