/* A program that gives the library a block device of its own: a region of
 * a larger host file, here a volume that starts 1 MiB into "region.img"
 * behind a header the volume must never touch (as a partition starts
 * behind a partition table). It formats a FAT16 volume there, makes
 * folders and a file, reads the file back, lists what it made and checks
 * that the header is still there. Exit status 0 when all of it worked.
 *
 * Usage: region_device [IMAGE]    (IMAGE defaults to region.img) */
#include <stdio.h>
#include <string.h>

#include "fat16.h"

#define HEADER_BYTES 1048576L /* in front of the volume */
#define VOLUME_SECTORS 16384u /* 8 MiB */
#define HEADER_TEXT "not part of the volume"

/* The device's context: the file, and where in it the volume starts. */
typedef struct Region {
    FILE *file;
    long first_byte;
} Region;

static FsStatus region_read(void *context, uint32_t sector, uint8_t *buffer) {
    Region *region = (Region *)context;
    if (fseek(region->file, region->first_byte + (long)sector * 512L, SEEK_SET) != 0) return FS_FAIL;
    return fread(buffer, 1, 512, region->file) == 512 ? FS_OK : FS_FAIL;
}

static FsStatus region_write(void *context, uint32_t sector, const uint8_t *buffer) {
    Region *region = (Region *)context;
    if (fseek(region->file, region->first_byte + (long)sector * 512L, SEEK_SET) != 0) return FS_FAIL;
    return fwrite(buffer, 1, 512, region->file) == 512 ? FS_OK : FS_FAIL;
}

/* Runs of sectors in one call: one seek and one transfer for a whole run
 * (the library moves file data this way where a device offers it). */
static FsStatus region_read_run(void *context, uint32_t first, uint32_t count, uint8_t *buffer) {
    Region *region = (Region *)context;
    if (fseek(region->file, region->first_byte + (long)first * 512L, SEEK_SET) != 0) return FS_FAIL;
    return fread(buffer, 512, count, region->file) == count ? FS_OK : FS_FAIL;
}

static FsStatus region_write_run(void *context, uint32_t first, uint32_t count, const uint8_t *buffer) {
    Region *region = (Region *)context;
    if (fseek(region->file, region->first_byte + (long)first * 512L, SEEK_SET) != 0) return FS_FAIL;
    return fwrite(buffer, 512, count, region->file) == count ? FS_OK : FS_FAIL;
}

static FsStatus region_sync(void *context) {
    Region *region = (Region *)context;
    return fflush(region->file) == 0 ? FS_OK : FS_FAIL;
}

static int fail(const char *what) {
    fprintf(stderr, "region_device: %s: %s\n", what, fs_strerror(fs_last_error()));
    return 1;
}

/* Prints the entries of directory `path`, one a line. */
static int list(const char *path) {
    FsEntry entry;
    uint8_t more = 0;
    printf("%s\n", path);
    while (fs_list_entries(path, more, &entry) == FS_OK) {
        if (entry.attr & ATTR_DIRECTORY)
            printf("  %-12s <dir>\n", entry.name);
        else
            printf("  %-12s %lu bytes\n", entry.name, (unsigned long)entry.size);
        more = 1;
    }
    return fs_last_error() == FS_ERR_NONE ? 0 : fail(path);
}

int main(int argc, char **argv) {
    const char *image = argc > 1 ? argv[1] : "region.img";
    static const char text[] = "Written through a device of the program's own.\n";
    char back[sizeof text];
    char header[sizeof HEADER_TEXT];
    Region region;
    FsBlockDevice device;
    FsFormatOptions options;
    uint32_t capacity = 0, free_space = 0;
    uint8_t handle;
    int status = 0;

    /* The host file: the header, then room for the whole volume. */
    region.file = fopen(image, "w+b");
    region.first_byte = HEADER_BYTES;
    if (region.file == NULL) {
        perror(image);
        return 1;
    }
    if (fputs(HEADER_TEXT, region.file) < 0 ||
        fseek(region.file, HEADER_BYTES + VOLUME_SECTORS * 512L - 1, SEEK_SET) != 0 ||
        fputc(0, region.file) == EOF) {
        perror(image);
        fclose(region.file);
        return 1;
    }

    /* The device: a table of callbacks with the region as their context.
     * Zeroed first, so that callbacks it does not set are null. */
    memset(&device, 0, sizeof device);
    device.context = &region;
    device.sector_count = VOLUME_SECTORS;
    device.read = region_read;
    device.write = region_write;
    device.sync = region_sync;
    device.read_sectors = region_read_run;
    device.write_sectors = region_write_run;
    if (disk_open_device(&device) != FS_OK) return fail("disk_open_device");

    memset(&options, 0, sizeof options);
    options.total_sectors = VOLUME_SECTORS;
    options.label = "EXAMPLE";
    if (fs_format_volume(&options) != FS_OK) return fail("fs_format_volume");
    if (fs_init() != FS_OK) return fail("fs_init");
    fs_set_options(FS_OPT_KEEP_CASE); /* "readme.txt" stays small, as other systems keep it */
    printf("formatted %u sectors at byte %ld of %s\n", VOLUME_SECTORS, HEADER_BYTES, image);

    if (fs_mkdir("C:\\DOCS") != FS_OK) return fail("C:\\DOCS");
    if (fs_mkdir("C:\\DOCS\\Notes of 2026") != FS_OK) return fail("C:\\DOCS\\Notes of 2026");
    if (fs_create_file("C:\\DOCS\\readme.txt") != FS_OK) return fail("C:\\DOCS\\readme.txt");
    handle = fs_open("C:\\DOCS\\readme.txt");
    if (handle == FS_FAIL) return fail("fs_open");
    if (fs_write(handle, (const uint8_t *)text, sizeof text - 1) != sizeof text - 1) return fail("fs_write");
    fs_close(handle);

    handle = fs_open("C:\\DOCS\\readme.txt");
    if (handle == FS_FAIL) return fail("fs_open");
    memset(back, 0, sizeof back);
    if (fs_read(handle, (uint8_t *)back, sizeof back) != sizeof text - 1) return fail("fs_read");
    fs_close(handle);
    if (strcmp(back, text) != 0) {
        fprintf(stderr, "region_device: the file read back differs\n");
        return 1;
    }
    printf("read back: %s", back);

    status |= list("C:\\");
    status |= list("C:\\DOCS");
    if (fs_volume_info('C', &capacity, &free_space) != FS_OK) return fail("fs_volume_info");
    printf("%lu of %lu sectors free\n", (unsigned long)free_space, (unsigned long)capacity);

    /* Done: the writes on the file, the device let go, the header untouched. */
    if (disk_sync() != FS_OK) return fail("disk_sync");
    disk_close_image();
    if (fseek(region.file, 0, SEEK_SET) != 0 ||
        fread(header, 1, sizeof header - 1, region.file) != sizeof header - 1) {
        perror(image);
        status = 1;
    }
    header[sizeof header - 1] = '\0';
    if (strcmp(header, HEADER_TEXT) != 0) {
        fprintf(stderr, "region_device: the header in front of the volume changed\n");
        status = 1;
    }
    fclose(region.file);
    return status;
}
