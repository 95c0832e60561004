// The image device. All host I/O of the library happens here: one image,
// either the host file "fat16.img" or a memory area given by a test.
//
// The host file is mapped shared into memory, so a sector transfer is a copy
// to or from the host's page cache: every write is in the file (visible to
// every process that reads it, and kept if this one is killed) before it
// returns. Writes go through the mapping only when the file's blocks are
// allocated, so that a full host disk can never turn a write into a fault;
// otherwise they, and every transfer outside the mapped length, use
// positioned reads and writes on the descriptor.
#include "fat16_disk.h"
#include "fat16_layout.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kImageName[] = "fat16.img";
const uint32_t kProgressEvery = 1000; // one '#' per this many sectors created

enum Backing { BACKING_NONE, BACKING_FILE, BACKING_MEMORY };

Backing backing = BACKING_NONE;
int image_fd = -1;
uint8_t *map_base = nullptr; // the file's bytes 0 .. map_length - 1
uint64_t map_length = 0;
bool map_writes = false;
bool read_only = false;
uint8_t *memory_data = nullptr;
uint32_t memory_size = 0;
FsDiskCounters counters;
uint64_t failures = 0; // failed transfers since the image was opened
bool sticky_error = false;
FsDiskFaults faults;
uint64_t reads_seen = 0; // transfers counted for the injected faults
uint64_t writes_seen = 0;

// True when the injected faults make this transfer fail.
bool injected(uint64_t *seen, uint64_t nth) {
    if (nth == 0) return false;
    (*seen)++;
    return *seen == nth || (faults.persistent && *seen > nth);
}

FsStatus note_result(FsStatus status, uint64_t *errors) {
    if (status != FS_OK) {
        (*errors)++;
        failures++;
        sticky_error = true;
    }
    return status;
}

bool addressable(uint32_t sector) { return sector < FS_SECTOR_LIMIT; }

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

// Creates an image file of 483,328 zero sectors; with `report`, with the
// progress messages on standard output, one '#' for every 1,000 sectors.
int create_image(const char *path, bool report) {
    int fd = open(path, O_RDWR | O_CREAT | O_TRUNC, 0666);
    if (fd < 0) return -1;
    if (report) {
        fputs("make fat16.img in progress!\n", stdout);
        for (uint32_t i = 0; i < FS_IMAGE_SECTORS; i += kProgressEvery) fputc('#', stdout);
        fflush(stdout);
    }
    if (!fill_with_zeros(fd, (off_t)FS_IMAGE_SECTORS * SECTOR_SIZE)) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    if (report) {
        fputs("\nmake fat16.img complete\n", stdout);
        fflush(stdout);
    }
    return fd;
}

// How the host file is reached: FAT16_DISK_IO=pread (no mapping) or
// mapped-reads (writes through the descriptor) select the slower ways for
// measurements; the default maps reads and writes.
void map_image(int fd) {
    const char *mode = getenv("FAT16_DISK_IO");
    if (mode != nullptr && strcmp(mode, "pread") == 0) return;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0) return;
    int protection = read_only ? PROT_READ : PROT_READ | PROT_WRITE;
    void *base = mmap(nullptr, (size_t)st.st_size, protection, MAP_SHARED, fd, 0);
    if (base == MAP_FAILED) return;
    map_base = (uint8_t *)base;
    map_length = (uint64_t)st.st_size;
    // Blocks that are already there, or reserved now, cannot run out later.
    if (read_only) return;
    bool allocated = (uint64_t)st.st_blocks * 512 >= map_length || posix_fallocate(fd, 0, st.st_size) == 0;
    map_writes = allocated && !(mode != nullptr && strcmp(mode, "mapped-reads") == 0);
}

void unmap_image(void) {
    if (map_base != nullptr) munmap(map_base, (size_t)map_length);
    map_base = nullptr;
    map_length = 0;
    map_writes = false;
}

void use_file(int fd, bool only_reads) {
    image_fd = fd;
    backing = BACKING_FILE;
    read_only = only_reads;
    map_image(fd);
}

bool in_map(uint32_t sector) { return (uint64_t)(sector + 1) * SECTOR_SIZE <= map_length; }

FsStatus file_read(uint8_t *buffer, uint32_t sector) {
    if (in_map(sector)) {
        memcpy(buffer, map_base + (uint64_t)sector * SECTOR_SIZE, SECTOR_SIZE);
        return FS_OK;
    }
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
    if (map_writes && in_map(sector)) {
        memcpy(map_base + (uint64_t)sector * SECTOR_SIZE, buffer, SECTOR_SIZE);
        return FS_OK;
    }
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
    if (fd < 0) fd = create_image(kImageName, true);
    if (fd < 0) return FS_FAIL;
    use_file(fd, false);
    return FS_OK;
}

FsStatus disk_open_image_path(const char *path, uint8_t create) {
    disk_close_image();
    if (path == nullptr || path[0] == '\0') return FS_FAIL;
    int fd = open(path, O_RDWR);
    bool only_reads = false;
    if (fd < 0 && (errno == EACCES || errno == EROFS || errno == EPERM)) {
        fd = open(path, O_RDONLY);
        only_reads = fd >= 0;
    }
    if (fd < 0 && errno == ENOENT && create) fd = create_image(path, false);
    if (fd < 0) return FS_FAIL;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return FS_FAIL;
    }
    use_file(fd, only_reads);
    return FS_OK;
}

uint8_t disk_read_only(void) { return read_only ? 1 : 0; }

FsStatus disk_open_memory(uint8_t *data, uint32_t size) {
    disk_close_image();
    if (data == nullptr) return FS_FAIL;
    memory_data = data;
    memory_size = size;
    backing = BACKING_MEMORY;
    return FS_OK;
}

void disk_close_image(void) {
    unmap_image();
    if (image_fd >= 0) close(image_fd);
    image_fd = -1;
    memory_data = nullptr;
    memory_size = 0;
    backing = BACKING_NONE;
    read_only = false;
    disk_reset_counters();
    failures = 0;
    sticky_error = false;
}

void disk_get_counters(FsDiskCounters *out) {
    if (out != nullptr) *out = counters;
}

void disk_reset_counters(void) { counters = FsDiskCounters{0, 0, 0, 0}; }

FsStatus disk_take_error(void) {
    bool had = sticky_error;
    sticky_error = false;
    return had ? FS_FAIL : FS_OK;
}

uint64_t disk_failures(void) { return failures; }

void disk_set_faults(const FsDiskFaults *wanted) {
    faults = wanted != nullptr ? *wanted : FsDiskFaults{0, 0, 0};
    reads_seen = 0;
    writes_seen = 0;
}

FsStatus disk_read_sector(uint8_t *buffer, uint32_t sector) {
    if (buffer == nullptr || backing == BACKING_NONE) return FS_FAIL;
    counters.reads++;
    FsStatus status = FS_FAIL;
    if (!addressable(sector) || injected(&reads_seen, faults.fail_read)) {
        status = FS_FAIL;
    } else if (backing == BACKING_FILE) {
        status = file_read(buffer, sector);
    } else {
        status = memory_read(buffer, sector);
    }
    return note_result(status, &counters.read_errors);
}

FsStatus disk_write_sector(const uint8_t *buffer, uint32_t sector) {
    if (buffer == nullptr || backing == BACKING_NONE) return FS_FAIL;
    counters.writes++;
    FsStatus status = FS_FAIL;
    if (!addressable(sector) || read_only || injected(&writes_seen, faults.fail_write)) {
        status = FS_FAIL;
    } else if (backing == BACKING_FILE) {
        status = file_write(buffer, sector);
    } else {
        status = memory_write(buffer, sector);
    }
    return note_result(status, &counters.write_errors);
}
}
