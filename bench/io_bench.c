/* What reaches the device: sectors read and written and device calls for a
 * firmware's workload on a 128 MiB FAT16 volume (262,144 sectors, 2 KiB
 * clusters, as `mkfs.fat -C -F 16 IMAGE 131072` makes it), in four phases:
 *
 *   append  create \log.bin, 256 writes of 4,096 bytes, close
 *   small   mkdir \d, 300 x (fs_open_new \d\file-NNNN.txt, 3,000 bytes, close)
 *   read    \log.bin in 4,096-byte reads, then every small file
 *   delete  the 300 small files
 *
 * once without write-back (the default) and once with FS_OPT_WRITE_BACK,
 * each on a device with run callbacks and on one without them (one call a
 * sector). The volume lives in memory behind a device of this program's
 * own that counts what it is asked; the library's counters must agree.
 *
 * Usage: io_bench [IMAGE]   (IMAGE: a volume made by mkfs.fat to start
 * from; without it the library formats one with the same geometry) */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fat16.h"

#define VOLUME_SECTORS 262144u
#define SMALL_FILES 300u

/* The device: a memory area; counts sectors and calls itself. */
typedef struct Counted {
    uint8_t *data;
    uint64_t reads, writes, read_calls, write_calls;
} Counted;

static FsStatus c_read(void *context, uint32_t sector, uint8_t *buffer) {
    Counted *c = (Counted *)context;
    memcpy(buffer, c->data + (size_t)sector * 512u, 512u);
    c->reads++;
    c->read_calls++;
    return FS_OK;
}

static FsStatus c_write(void *context, uint32_t sector, const uint8_t *buffer) {
    Counted *c = (Counted *)context;
    memcpy(c->data + (size_t)sector * 512u, buffer, 512u);
    c->writes++;
    c->write_calls++;
    return FS_OK;
}

static FsStatus c_read_run(void *context, uint32_t first, uint32_t count, uint8_t *buffer) {
    Counted *c = (Counted *)context;
    memcpy(buffer, c->data + (size_t)first * 512u, (size_t)count * 512u);
    c->reads += count;
    c->read_calls++;
    return FS_OK;
}

static FsStatus c_write_run(void *context, uint32_t first, uint32_t count, const uint8_t *buffer) {
    Counted *c = (Counted *)context;
    memcpy(c->data + (size_t)first * 512u, buffer, (size_t)count * 512u);
    c->writes += count;
    c->write_calls++;
    return FS_OK;
}

static void die(const char *what) {
    fprintf(stderr, "io_bench: %s: %s\n", what, fs_strerror(fs_last_error()));
    exit(1);
}

static void small_name(char *out, size_t room, unsigned k) { snprintf(out, room, "\\d\\file-%04u.txt", k); }

static void phase_append(const uint8_t *block) {
    uint8_t h = fs_open_new("\\log.bin");
    if (h == FS_FAIL) die("create \\log.bin");
    for (unsigned k = 0; k < 256; k++)
        if (fs_write(h, block, 4096) != 4096) die("append");
    if (fs_close(h) != FS_OK) die("close \\log.bin");
}

static void phase_small(const uint8_t *block) {
    char name[40];
    if (fs_mkdir("\\d") != FS_OK) die("mkdir \\d");
    for (unsigned k = 0; k < SMALL_FILES; k++) {
        small_name(name, sizeof name, k);
        uint8_t h = fs_open_new(name);
        if (h == FS_FAIL) die(name);
        if (fs_write(h, block, 3000) != 3000) die(name);
        if (fs_close(h) != FS_OK) die(name);
    }
}

static void read_whole(const char *path, uint8_t *buffer, uint32_t expected) {
    uint8_t h = fs_open(path);
    if (h == FS_FAIL) die(path);
    uint32_t total = 0, n;
    while ((n = fs_read(h, buffer, 4096)) > 0) total += n;
    if (total != expected) die(path);
    fs_close(h);
}

static void phase_read(uint8_t *buffer) {
    char name[40];
    read_whole("\\log.bin", buffer, 256u * 4096u);
    for (unsigned k = 0; k < SMALL_FILES; k++) {
        small_name(name, sizeof name, k);
        read_whole(name, buffer, 3000);
    }
}

static void phase_delete(void) {
    char name[40];
    for (unsigned k = 0; k < SMALL_FILES; k++) {
        small_name(name, sizeof name, k);
        if (fs_delete_file(name) != FS_OK) die(name);
    }
}

/* Runs the four phases on a copy of `start` and prints a line each. */
static void run(const uint8_t *start, uint8_t *image, int write_back, int runs) {
    static const char *const names[] = {"append", "small", "read", "delete"};
    static uint8_t block[4096], buffer[4096];
    for (unsigned i = 0; i < sizeof block; i++) block[i] = (uint8_t)(i * 13 + 7);
    memcpy(image, start, (size_t)VOLUME_SECTORS * 512u);
    Counted c = {image, 0, 0, 0, 0};
    FsBlockDevice device;
    memset(&device, 0, sizeof device);
    device.context = &c;
    device.sector_count = VOLUME_SECTORS;
    device.read = c_read;
    device.write = c_write;
    if (runs) {
        device.read_sectors = c_read_run;
        device.write_sectors = c_write_run;
    }
    if (disk_open_device(&device) != FS_OK) die("disk_open_device");
    for (int phase = 0; phase < 4; phase++) {
        Counted before = c;
        FsDiskCounters lib;
        disk_reset_counters();
        if (phase == 0) {
            if (fs_init() != FS_OK) die("mount");
            if (write_back) fs_set_options(fs_get_options() | FS_OPT_WRITE_BACK);
            phase_append(block);
        } else if (phase == 1) {
            phase_small(block);
        } else if (phase == 2) {
            phase_read(buffer);
        } else {
            phase_delete();
        }
        disk_get_counters(&lib);
        uint64_t r = c.reads - before.reads, w = c.writes - before.writes;
        uint64_t rc = c.read_calls - before.read_calls, wc = c.write_calls - before.write_calls;
        if (lib.reads != r || lib.writes != w || lib.read_calls != rc || lib.write_calls != wc) {
            fprintf(stderr, "io_bench: the library's counters disagree with the device's\n");
            exit(1);
        }
        printf("%-10s  %-6s  %-7s  %8llu  %8llu  %10llu  %11llu\n", write_back ? "write-back" : "default",
               runs ? "yes" : "no", names[phase], (unsigned long long)r, (unsigned long long)w,
               (unsigned long long)rc, (unsigned long long)wc);
    }
    FsCheckReport report;
    static uint8_t work[65536];
    if (fs_check(&report, work, sizeof work) != FS_OK) {
        fprintf(stderr, "io_bench: the volume is not clean after the workload\n");
        exit(1);
    }
    disk_close_image();
}

int main(int argc, char **argv) {
    size_t bytes = (size_t)VOLUME_SECTORS * 512u;
    uint8_t *start = calloc(bytes, 1);
    uint8_t *image = malloc(bytes);
    if (start == NULL || image == NULL) return 1;
    if (argc > 1) {
        FILE *f = fopen(argv[1], "rb");
        if (f == NULL || fread(start, 1, bytes, f) != bytes) {
            fprintf(stderr, "io_bench: %s: not a volume of %u sectors\n", argv[1], VOLUME_SECTORS);
            return 1;
        }
        fclose(f);
    } else {
        FsFormatOptions o;
        memset(&o, 0, sizeof o);
        o.total_sectors = VOLUME_SECTORS;
        if (disk_open_memory(start, (uint32_t)bytes) != FS_OK || fs_format_volume(&o) != FS_OK) die("format");
        disk_close_image();
    }
    printf("window: %d sectors (FS_WINDOW_SECTORS)\n", FS_WINDOW_SECTORS);
    printf("mode        runs    phase      sectors    sectors  read calls  write calls\n");
    printf("                                  read    written\n");
    for (int write_back = 0; write_back <= 1; write_back++)
        for (int runs = 1; runs >= 0; runs--) run(start, image, write_back, runs);
    free(start);
    free(image);
    return 0;
}
