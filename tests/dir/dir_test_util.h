// Building directory slots straight on the image, for reader tests.
#pragma once

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "test_support.h"

namespace fat16test {

inline Slot short_slot(const std::string &name11, uint8_t attr, uint32_t cluster = 0, uint32_t size = 0) {
    Slot s{};
    memcpy(s.data(), name11.data(), 11);
    s[11] = attr;
    s[26] = (uint8_t)cluster;
    s[27] = (uint8_t)(cluster >> 8);
    for (int i = 0; i < 4; i++) s[28 + i] = (uint8_t)(size >> (8 * i));
    return s;
}

// The long-name slots of `name` in on-disk order, for the alias `alias11`.
inline std::vector<Slot> lfn_slots(const std::string &name, const std::string &alias11) {
    std::vector<Slot> run;
    uint32_t n = (uint32_t)(name.size() + 12) / 13;
    std::vector<char> scratch(name.begin(), name.end());
    scratch.resize(13 * n + 13, '\0');
    uint8_t sum = lfn_checksum((const uint8_t *)alias11.data());
    for (uint32_t k = n; k >= 1; k--) {
        Slot s{};
        lfn_fill_entry(s.data(), scratch.data() + 13 * (k - 1), (uint8_t)(k == n ? k | 0x40 : k), sum);
        run.push_back(s);
    }
    return run;
}

// Writes `slots` one after the other from slot `first` of the directory
// whose sectors are listed in `sectors` (16 slots each).
inline void put_slots(const std::vector<uint32_t> &sectors, uint32_t first, const std::vector<Slot> &slots) {
    for (size_t i = 0; i < slots.size(); i++) {
        uint32_t index = first + (uint32_t)i;
        uint32_t sector = sectors.at(index / 16);
        Sector s = read_raw(sector);
        memcpy(s.data() + (index % 16) * 32, slots[i].data(), 32);
        write_raw(sector, s);
    }
}

// 8.3 file entries named by `letter` and a number, for numbers first .. end - 1.
inline std::vector<Slot> numbered_slots(char letter, int first, int end) {
    std::vector<Slot> slots;
    for (int i = first; i < end; i++) {
        char name[24]; // room for any int, though names use 7 digits
        snprintf(name, sizeof name, "%c%07d   ", letter, i);
        slots.push_back(short_slot(name, ATTR_ARCHIVE));
    }
    return slots;
}

inline std::vector<uint32_t> root_sectors() {
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < VolumeGeometry.root_dir_sectors; i++)
        v.push_back(VolumeGeometry.root_dir_start + i);
    return v;
}

inline std::vector<uint32_t> cluster_sectors(const std::vector<uint32_t> &clusters) {
    std::vector<uint32_t> v;
    for (uint32_t c : clusters)
        for (uint32_t i = 0; i < VolumeGeometry.sectors_per_cluster; i++)
            v.push_back(cluster_to_sector(c) + i);
    return v;
}

// A cluster taken from the FAT by the allocator, for a directory or chain
// built straight on the image.
inline uint32_t new_cluster() {
    uint32_t c = 0;
    Sector buf{};
    EXPECT_EQ(fat_alloc_cluster(&c, buf.data()), FS_OK);
    return c;
}

// One entry fs_walk_tree or fs_list_dir gives: its full path and attributes.
struct WalkedEntry {
    std::string path;
    uint8_t attr;
    bool operator==(const WalkedEntry &o) const { return path == o.path && attr == o.attr; }
};
inline std::ostream &operator<<(std::ostream &os, const WalkedEntry &e) {
    return os << e.path << " attr " << (int)e.attr;
}

#if FS_WITH_WALK
// Every entry fs_walk_tree gives from the start of the walk, at most `limit`
// (so that a walk that never ends still ends the test).
inline std::vector<WalkedEntry> walk_all(size_t limit = 100000) {
    std::vector<WalkedEntry> out;
    char path[FS_OUT_PATH_SIZE];
    uint8_t attr = 0;
    for (uint8_t more = 0; out.size() < limit && fs_walk_tree(path, more, &attr) == FS_OK; more = 1)
        out.push_back({path, attr});
    return out;
}
#endif

// Reads every entry the reader returns from the cursor on, as "name|ext".
inline std::vector<std::string> read_all(uint8_t listing, size_t limit = 100000) {
    std::vector<std::string> out;
    char name[256];
    char ext[20];
    while (out.size() < limit && dir_read_entry(name, ext, listing) == FS_OK)
        out.push_back(std::string(name) + "|" + ext);
    return out;
}

} // namespace fat16test
