// Helpers of the `fat16` tool's tests: running the program in the working
// folder, test data, host trees and raw changes to images.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include "test_support.h"

namespace fat16tooltest {

using namespace fat16test;

const std::string kTool = FAT16_TOOL_PATH;

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

// Runs the tool in the working folder; standard input is empty. `prefix`
// is shell text put before the program (limits, `timeout`).
inline ToolRun tool(const std::string &args, const std::string &prefix = "") {
    CommandResult r = run_command(prefix + "'" + kTool + "' " + args + " < /dev/null > tool-out 2> tool-err");
    return {r.status, read_file("tool-out"), read_file("tool-err")};
}

inline std::string bytes_of_size(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)(i * 31 + seed + i / 509);
    return s;
}

// Every file and folder below `dir`: folders map to "<dir>", files to their bytes.
inline std::map<std::string, std::string> host_tree(const std::string &dir, const std::string &prefix = "") {
    std::map<std::string, std::string> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name, rel = prefix + name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            out[rel + "/"] = "<dir>";
            for (const auto &kv : host_tree(path, rel + "/")) out.insert(kv);
        } else {
            out[rel] = read_file(path);
        }
    }
    closedir(d);
    return out;
}

// fsck.fat -n finds nothing wrong with `image` (but the blank label); where
// fsck.fat is missing, says so and checks nothing.
inline void expect_fsck_clean(const std::string &image) {
    if (!have_tool("fsck.fat")) {
        std::cout << "fsck.fat is not installed; " << image << " was not checked with it\n";
        return;
    }
    EXPECT_EQ(fsck_problems(image), "") << image;
}

// fsck.fat -n has nothing at all to say about `image`: exit status 0 and
// no line but its banner and its summary.
inline void expect_fsck_silent(const std::string &image) {
    if (!have_tool("fsck.fat")) {
        std::cout << "fsck.fat is not installed; " << image << " was not checked with it\n";
        return;
    }
    CommandResult r = run_command("fsck.fat -n '" + image + "'");
    EXPECT_EQ(r.status, 0) << image << "\n" << r.output;
    std::istringstream lines(r.output);
    std::string line, said;
    while (std::getline(lines, line))
        if (line.rfind("fsck.fat ", 0) != 0 && line.find(" files, ") == std::string::npos)
            said += line + "\n";
    EXPECT_EQ(said, "") << image;
}

// mtools opens `image` (an image path, with @@OFFSET where the volume lies
// further in) with its own checks on: minfo and mdir succeed.
inline void expect_mtools_opens(const std::string &image) {
    if (!have_tool("minfo") || !have_tool("mdir")) {
        std::cout << "mtools is not installed; " << image << " was not opened with it\n";
        return;
    }
    CommandResult r =
        run_command("minfo -i '" + image + "' :: >/dev/null && mdir -i '" + image + "' :: >/dev/null");
    EXPECT_EQ(r.status, 0) << image << "\n" << r.output;
}

// mtools reads and writes names beyond ASCII only in a UTF-8 locale.
const std::string kUtf8 = "LC_ALL=C.UTF-8 ";

// Modification times (seconds) of every file and folder below `dir`.
inline std::map<std::string, long> host_times(const std::string &dir, const std::string &prefix = "") {
    std::map<std::string, long> out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        std::string path = dir + "/" + name, rel = prefix + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) continue;
        out[rel] = (long)st.st_mtim.tv_sec;
        if (S_ISDIR(st.st_mode))
            for (const auto &kv : host_times(path, rel + "/")) out.insert(kv);
    }
    closedir(d);
    return out;
}

// Sets the modification (and access) time of `path`.
inline void set_mtime(const std::string &path, time_t seconds) {
    struct timespec t[2] = {{seconds, 0}, {seconds, 0}};
    utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW);
}

inline bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// Writes a partition table with one primary partition: entry 1 of type
// `type`, `count` sectors from sector `first`, in a sparse image of
// `file_sectors` sectors (by default just long enough for the partition).
inline void write_partitioned_image(const std::string &path, uint32_t count, uint8_t type = 0x06,
                                    uint32_t first = 2048, uint64_t file_sectors = 0) {
    make_sparse_file(path, (file_sectors != 0 ? file_sectors : (uint64_t)first + count) * 512);
    uint8_t mbr[512] = {0};
    uint8_t *e = mbr + 446;
    e[4] = type;
    le_put(e + 8, first, 4);
    le_put(e + 12, count, 4);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, mbr, 512, 0), 512);
    close(fd);
}

// Overwrites the first long-name character `from` in the root directory's
// slots with `to`, past the library.
inline void patch_root_long_name(char from, uint8_t to) {
    ASSERT_EQ(disk_open_image_path("fat16.img", 0), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
    for (uint32_t i = 0; i < VolumeGeometry.root_entry_count; i++) {
        Slot s = root_slot(i);
        if (s[11] != ATTR_LONG_NAME) continue;
        static const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (int o : offsets) {
            if (s[o] != (uint8_t)from) continue;
            uint32_t sector = VolumeGeometry.root_dir_start + i / 16;
            Sector raw = read_raw(sector);
            raw[(i % 16) * 32 + o] = to;
            write_raw(sector, raw);
            disk_close_image();
            return;
        }
    }
    disk_close_image();
    FAIL() << "no long name holds " << from;
}

} // namespace fat16tooltest
