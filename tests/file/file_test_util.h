// Helpers of the open-file tests.
#pragma once

#include <string>
#include <vector>

#include "test_support.h"

namespace fat16test {

// Deterministic bytes: a counter mixed with a seed.
inline std::vector<uint8_t> pattern(size_t n, uint32_t seed = 1) {
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 12345;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345;
        v[i] = (uint8_t)(x >> 16);
    }
    return v;
}

// The file's 8.3 entry as it is on the image now (`slots`: the table the
// handle indexes).
struct EntryOnImage {
    uint32_t first_cluster;
    uint32_t size;
};
inline EntryOnImage entry_on_image(uint8_t handle, const OpenFile *slots = open_files) {
    Slot s = slot_at(slots[handle].entry_sector, slots[handle].entry_offset);
    return {(uint32_t)(s[26] | (s[27] << 8)),
            (uint32_t)(s[28] | (s[29] << 8) | (s[30] << 16) | ((uint32_t)s[31] << 24))};
}

// Reads the whole file at `path` through a fresh handle.
inline std::vector<uint8_t> read_whole(const char *path) {
    uint8_t h = fs_open(path);
    EXPECT_NE(h, 0xFF) << path;
    std::vector<uint8_t> data;
    if (h == 0xFF) return data;
    std::vector<uint8_t> chunk(50000);
    for (;;) {
        uint32_t n = fs_read(h, chunk.data(), (uint32_t)chunk.size());
        data.insert(data.end(), chunk.begin(), chunk.begin() + n);
        if (n != chunk.size()) break;
    }
    fs_close(h);
    return data;
}

inline uint32_t chain_length(uint32_t first) {
    uint32_t n = 0;
    for (uint32_t c = first; c >= 2 && c < 0xFFF0 && n < 100000; c = fat_read_entry(c)) n++;
    return n;
}

} // namespace fat16test
