// Helpers shared by the fuzz targets: a small formatted volume in memory,
// restored from a pristine copy for every input, the consistency check that
// must come out clean, and a reader that turns input bytes into choices.
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "fat16.h"
#include "fat16_layout.h"

namespace fuzz {

// A small volume: 12,288 sectors hold 182 clusters of 64 sectors. The
// formatter writes sectors 1 to 9,999 whatever the total, so the memory
// image is never smaller than that.
constexpr uint32_t kVolumeSectors = 12288;
constexpr uint32_t kImageBytes = kVolumeSectors * SECTOR_SIZE;
static_assert(kVolumeSectors >= 10000, "the formatter writes sectors 1 to 9,999");

// The image every input works on, and the state it starts from.
inline uint8_t *work_image() {
    static uint8_t image[kImageBytes];
    return image;
}

inline uint8_t *pristine_image() {
    static uint8_t image[kImageBytes];
    return image;
}

[[noreturn]] inline void die(const char *what) {
    fprintf(stderr, "fuzz harness: %s\n", what);
    fflush(stderr);
    abort();
}

// Formats the pristine image once (an empty volume), then lets `populate`
// change it while mounted: the result is what every input starts from.
template <typename Populate> void prepare_pristine(Populate populate) {
    uint8_t *image = work_image();
    memset(image, 0, kImageBytes);
    if (disk_open_memory(image, kImageBytes) != FS_OK) die("cannot open the memory image");
    fs_format_if_blank(0, FS_TYPE_FAT16, kVolumeSectors);
    if (fs_init() != FS_OK) die("the freshly formatted volume does not mount");
    populate();
    disk_close_image();
    memcpy(pristine_image(), image, kImageBytes);
}

// Puts the pristine image back and resets every global record the library
// keeps between calls: the image device, the mount, the current directory,
// the open-file table, and the listing and walk positions.
// `sectors` is how much of the image can differ from the pristine one (the
// whole of it unless the caller knows better).
inline void reset_volume(uint32_t sectors = kVolumeSectors) {
    if (sectors > kVolumeSectors) sectors = kVolumeSectors;
    memcpy(work_image(), pristine_image(), (size_t)sectors * SECTOR_SIZE);
    disk_close_image();
    if (disk_open_memory(work_image(), kImageBytes) != FS_OK) die("cannot open the memory image");
}

// Ends any listing or walk a previous input left half done, so that a
// continuation in this input never resumes another input's position.
inline void end_listing_and_walk() {
    char path[FS_OUT_PATH_SIZE];
    uint8_t attr = 0;
    for (int i = 0; i < 100000 && fs_walk_tree(path, i == 0 ? 0 : 1, &attr) == FS_OK; i++) {
    }
    for (int i = 0; i < 100000 && fs_list_dir(path, i == 0 ? 0 : 1, &attr) == FS_OK; i++) {
    }
}

// The consistency check with a work area of the size it asks for (a damaged
// boot sector may claim more clusters than the small volume has).
inline FsStatus check_volume(FsCheckReport *report) {
    static std::vector<uint8_t> work;
    work.resize(fs_check_work_size());
    return fs_check(report, work.data(), (uint32_t)work.size());
}

// Runs the consistency check and aborts with its report when it finds a
// problem. `after` says what had just been done.
inline void require_clean_check(const std::string &after) {
    static FsCheckReport report;
    if (check_volume(&report) == FS_OK) return;
    fprintf(stderr, "fs_check found %u problem(s) after %s\n", report.problem_count, after.c_str());
    for (uint32_t i = 0; i < report.problem_count && i < FS_CHECK_MAX_PROBLEMS; i++) {
        const FsProblem &p = report.problems[i];
        fprintf(stderr, "  %s: cluster %u, count %u, at \"%s\"\n", fs_check_problem_text(p.kind), p.cluster,
                p.count, p.path);
    }
    die("the volume is not consistent");
}

// Hands out the input's bytes one choice at a time; zeros once it is used up.
class Reader {
  public:
    Reader(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    size_t left() const { return empty() ? 0 : size_ - pos_; }
    uint8_t byte() { return empty() ? 0 : data_[pos_++]; }
    uint32_t u16() {
        uint32_t lo = byte();
        return lo | (uint32_t)byte() << 8;
    }
    uint32_t u32() {
        uint32_t lo = u16();
        return lo | u16() << 16;
    }
    // A number below `n` (n > 0).
    uint32_t below(uint32_t n) { return n <= 256 ? byte() % n : u16() % n; }
    // Up to `n` raw bytes.
    std::string bytes(size_t n) {
        if (n > left()) n = left();
        std::string s((const char *)data_ + pos_, n);
        pos_ += n;
        return s;
    }
    // Bytes up to the next 0x00 (which is consumed) or the end of the input.
    std::string until_zero() {
        std::string s;
        while (!empty()) {
            uint8_t b = data_[pos_++];
            if (b == 0) break;
            s += (char)b;
        }
        return s;
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

} // namespace fuzz
