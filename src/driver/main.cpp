// fat16-driver: brings the volume in "fat16.img" up, reports it, exercises
// the file system from end to end and copies the whole volume tree out into
// the working folder.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#if defined(_WIN32)
#include <direct.h>
#endif

#include "fat16.h"

namespace {

const uint8_t DRIVE_C = 0;
const uint32_t VOLUME_SECTORS = 0x76000; // 483,328 sectors
const char SOURCE_NAME[] = "readed.rar";
const uint32_t CHUNK_IN = 40000;     // bytes read from the source per fs_write
const uint32_t CHUNK_OUT = 50000;    // bytes per fs_read during the export
const uint32_t EXPORT_DATA_AT = 400; // export data goes here in the work buffer, after the path
const int PASSES = 40;
const int FILES_PER_PASS = 25;
const size_t NAME_INDEX = 6; // first character after "c:\ok\"

// The path of the files made in "OK"; its characters count up as files are made.
char file_path[] = "c:\\ok\\"
                   "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
                   "AAAAAAAAAAAAAAA"
                   "aaaaaaaaa"
                   ".rar";

// Entry paths come back at the start; export data is read in after them.
uint8_t work[65536];

// Makes a host folder; an existing one is fine.
void make_host_folder(const char *path) {
#if defined(_WIN32)
    _mkdir(path);
#else
    mkdir(path, 0777);
#endif
}

// Waits for one character on standard input; at its end, goes on at once.
void pause_for_key() { (void)getchar(); }

int fail(const char *what, const char *name) {
    fprintf(stderr, "fat16-driver: %s %s: %s\n", what, name, strerror(errno));
    return 1;
}

// Prints every entry of the current directory.
void list_current_directory() {
    char *path = (char *)work;
    uint8_t attr = 0;
    for (uint8_t more = 0; fs_list_dir(path, more, &attr) == FS_OK; more = 1)
        printf("\nreaded entry=%s Attr = %x", path, (unsigned)attr);
}

// The two directory trees of the exercise: one with a long name, and 26
// nested levels a\b\...\z below the current directory.
void make_directories() {
    fs_mkdir("CREATE_FOLDER_TEST");
    fs_mkdir("CREATE_FOLDER_TEST");
    char nested[2 * 26];
    size_t len = 0;
    for (int level = 0; level < 26; level++) {
        if (level > 0) nested[len++] = '\\';
        nested[len++] = (char)('a' + level);
        nested[len] = '\0';
        fs_mkdir(nested);
    }
}

// Fills one newly made file with the whole source. 0, or 1 when the source
// cannot be opened.
int fill_from_source(const char *path) {
    uint8_t handle = fs_open(path);
    FILE *source = fopen(SOURCE_NAME, "rb");
    if (source == nullptr) {
        if (handle != FS_FAIL) fs_close(handle);
        return fail("cannot open", SOURCE_NAME);
    }
    if (handle != FS_FAIL) {
        printf("\nOpen File %s successfully", path);
        for (;;) {
            printf("x");
            size_t n = fread(work, 1, CHUNK_IN, source);
            fs_write(handle, work, (uint32_t)n);
            if (n < CHUNK_IN) break;
        }
        fs_close(handle);
    }
    if (ferror(source)) {
        fclose(source);
        return fail("cannot read", SOURCE_NAME);
    }
    fclose(source);
    return 0;
}

// 1,000 files with 112-character names in "OK", each a copy of the source.
int make_files() {
    fs_mkdir("OK");
    for (int pass = 0; pass < PASSES; pass++) {
        for (int step = 0; step < FILES_PER_PASS; step++) {
            if (fs_create_file(file_path) != FS_OK) {
                printf("Create file %s failed\n", file_path);
            } else {
                printf("Create file %s successfully\n", file_path);
                if (fill_from_source(file_path) != 0) return 1;
            }
            file_path[NAME_INDEX + pass]++;
        }
    }
    return 0;
}

// True when a path component from the volume is safe as a host file name:
// not empty, not "." or "..", no '/' and no control bytes.
bool safe_component(const char *begin, const char *end) {
    size_t len = (size_t)(end - begin);
    if (len == 0 || (len == 1 && begin[0] == '.') || (len == 2 && begin[0] == '.' && begin[1] == '.'))
        return false;
    for (const char *p = begin; p < end; p++)
        if (*p == '/' || (unsigned char)*p < 0x20) return false;
    return true;
}

// The host path of a volume path "C:\A\B": "A/B", relative to the working
// folder. False when a component would lead outside it.
bool host_path_of(const char *volume_path, char *host) {
    const char *rest = volume_path + 3;
    const char *begin = rest;
    for (const char *p = rest;; p++) {
        if (*p == '\\' || *p == '\0') {
            if (!safe_component(begin, p)) return false;
            begin = p + 1;
        }
        if (*p == '\0') break;
    }
    strcpy(host, rest);
    for (char *p = host; *p != '\0'; p++)
        if (*p == '\\') *p = '/';
    return true;
}

// Copies one volume file to the host. 0, or 1 when the host file cannot be
// created or written.
int export_file(const char *volume_path, const char *host) {
    FILE *out = fopen(host, "wb+");
    if (out == nullptr) return fail("cannot create", host);
    uint8_t handle = fs_open(volume_path);
    bool written = true;
    if (handle != FS_FAIL) {
        for (;;) {
            uint32_t n = fs_read(handle, work + EXPORT_DATA_AT, CHUNK_OUT);
            printf("\nreaded chars = %ld ", (long)n);
            if (fwrite(work + EXPORT_DATA_AT, 1, n, out) != n) written = false;
            if (n != CHUNK_OUT) break;
        }
        fs_close(handle);
    }
    if (fclose(out) != 0) written = false;
    return written ? 0 : fail("cannot write", host);
}

// Walks the whole volume and recreates it under the working folder.
int export_tree() {
    char *path = (char *)work;
    char host[FS_OUT_PATH_SIZE];
    char skipped[FS_OUT_PATH_SIZE] = ""; // a directory passed over, with everything under it
    size_t skipped_len = 0;
    uint8_t attr = 0;
    for (uint8_t more = 0; fs_walk_tree(path, more, &attr) == FS_OK; more = 1) {
        printf("\nreaded entry=%s Attr = %x", path, (unsigned)attr);
        if (skipped_len > 0 && strncmp(path, skipped, skipped_len) == 0 && path[skipped_len] == '\\')
            continue;
        if (!host_path_of(path, host)) {
            fprintf(stderr, "fat16-driver: not exported, the name is unsafe on the host: %s\n", path);
            if (attr & ATTR_DIRECTORY) {
                strcpy(skipped, path);
                skipped_len = strlen(skipped);
            }
            continue;
        }
        if (attr & ATTR_DIRECTORY) {
            make_host_folder(host);
            continue;
        }
        if (export_file(path, host) != 0) return 1;
    }
    return 0;
}

// The run's sector transfers, for benchmarks: written to the file named by
// FAT16_DRIVER_STATS when it is set, never to standard output.
void write_stats() {
    const char *target = getenv("FAT16_DRIVER_STATS");
    if (target == nullptr) return;
    FsDiskCounters counters{};
    disk_get_counters(&counters);
    FILE *out = fopen(target, "w");
    if (out == nullptr) return;
    fprintf(out, "sector_reads %llu\nsector_writes %llu\n", (unsigned long long)counters.reads,
            (unsigned long long)counters.writes);
    // Memory at the end: the process's own (anonymous) pages apart from the
    // pages of the mapped image, which belong to the host's file cache.
    FILE *status = fopen("/proc/self/status", "r");
    if (status != nullptr) {
        char line[256];
        while (fgets(line, sizeof line, status) != nullptr) {
            if (strncmp(line, "RssAnon:", 8) == 0 || strncmp(line, "RssFile:", 8) == 0 ||
                strncmp(line, "VmHWM:", 6) == 0)
                fputs(line, out);
        }
        fclose(status);
    }
    fclose(out);
}

int run() {
    if (disk_open_image() != FS_OK) return fail("cannot open or create", "fat16.img");
    fs_format_if_blank(DRIVE_C, FS_TYPE_FAT16, VOLUME_SECTORS);
    fs_init();

    uint32_t capacity = 0;
    uint32_t free_space = 0;
    fs_volume_info('c', &capacity, &free_space);
    printf("Volume Capacity: %ld\n", (long)capacity);
    printf("Volume FreeSpace: %ld\n", (long)free_space);
    fflush(stdout);
    pause_for_key();

    make_directories();
    fs_create_file("C:\\CREATE_FOLDER_TEST\\created_file.txt");
    fs_create_file("C:\\CREATE_FOLDER_TEST\\created_file.txt");
    fs_rename("C:\\CREATE_FOLDER_TEST\\created_file.txt", "DFDFDFDFDFDFDFDFSDFSDZEMK.TXT");
    fs_chdir("CREATE_FOLDER_TEST", 0);
    list_current_directory();
    fflush(stdout);
    pause_for_key();
    fs_chdir(" ", 1);
    list_current_directory();
    fflush(stdout);
    pause_for_key();

    if (make_files() != 0) return 1;
    if (export_tree() != 0) return 1;
    fflush(stdout);
    pause_for_key();
    return 0;
}

} // namespace

int main() {
    int status = run();
    // Data that never reached the image is a failed run, whatever it printed.
    if (status == 0 && disk_take_error() != FS_OK) {
        fprintf(stderr, "fat16-driver: a sector transfer to or from fat16.img failed\n");
        status = 1;
    }
    write_stats();
    return status;
}
