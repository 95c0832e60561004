// Helpers of the `fat16` tool's tests: running the program in the working
// folder, test data, host trees and raw changes to images.
#pragma once

#include <ctime>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>

#include <stdlib.h>

#include "test_support.h"

namespace fat16tooltest {

using namespace fat16test;

#if defined(_WIN32)
// The program's whole path, taken when the test program starts in its build
// folder: under Wine the build's path "/..." names a folder of the drive
// that holds it, not of the drive the scratch folders are on.
const std::string kTool = full_path(FAT16_TOOL_PATH);
// One word for the command line: in quotes, where backslashes in front of a
// quote (the closing one too) are doubled so that they stay themselves. And
// the shell's empty input.
inline std::string quoted(const std::string &word) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : word) {
        if (c == '\\') {
            backslashes++;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        out += c;
        backslashes = 0;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}
const char kNoInput[] = "NUL";
#else
const std::string kTool = FAT16_TOOL_PATH;
inline std::string quoted(const std::string &word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}
const char kNoInput[] = "/dev/null";
#endif

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

// Runs the tool in the working folder; standard input is empty. `prefix`
// is shell text put before the program (limits, `timeout`).
inline ToolRun tool(const std::string &args, const std::string &prefix = "") {
    CommandResult r =
        run_command(prefix + quoted(kTool) + " " + args + " < " + kNoInput + " > tool-out 2> tool-err");
    return {r.status, read_file("tool-out"), read_file("tool-err")};
}

// Runs the tool with these words, each quoted for the shell.
inline ToolRun tool_words(const std::vector<std::string> &words) {
    std::string args;
    for (const std::string &w : words) args += (args.empty() ? "" : " ") + quoted(w);
    return tool(args);
}

inline std::string bytes_of_size(size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++) s[i] = (char)(i * 31 + seed + i / 509);
    return s;
}

// Every file and folder below `dir`: folders map to "<dir>", files to their bytes.
inline std::map<std::string, std::string> host_tree(const std::string &dir, const std::string &prefix = "") {
    std::map<std::string, std::string> out;
    for (const std::string &name : dir_names(dir)) {
        std::string path = dir + "/" + name, rel = prefix + name;
        if (host_kind(path) == HostKind::DIR) {
            out[rel + "/"] = "<dir>";
            for (const auto &kv : host_tree(path, rel + "/")) out.insert(kv);
        } else {
            out[rel] = read_file(path);
        }
    }
    return out;
}

// mtools reads and writes names beyond ASCII only in a UTF-8 locale.
const std::string kUtf8 = "LC_ALL=C.UTF-8 ";

// Modification times (seconds) of every file and folder below `dir`.
inline std::map<std::string, long> host_times(const std::string &dir, const std::string &prefix = "") {
    std::map<std::string, long> out;
    for (const std::string &name : dir_names(dir)) {
        std::string path = dir + "/" + name, rel = prefix + name;
        long long seconds = host_mtime(path);
        if (seconds == -1) continue;
        out[rel] = (long)seconds;
        if (host_kind(path) == HostKind::DIR)
            for (const auto &kv : host_times(path, rel + "/")) out.insert(kv);
    }
    return out;
}

// Sets the modification (and access) time of `path`.
inline void set_mtime(const std::string &path, time_t seconds) { set_host_mtime(path, seconds); }

// Modification time of the test trees: an even second (FAT keeps times in
// steps of two seconds), 2021-03-06 03:06:40 UTC.
const time_t kTreeTime = 1615000000;

// Gives every file and folder below `root` a time of its own: kTreeTime
// and two seconds more for each, in the order host_times lists them.
inline void stamp_tree_times(const std::string &root) {
    time_t t = kTreeTime;
    for (const auto &kv : host_times(root)) set_mtime(root + "/" + kv.first, t += 2);
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
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    ASSERT_TRUE(file.write((const char *)mbr, 512).flush()) << "cannot write the table into " << path;
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
