// Power cuts: the workload runs on a device that stops writing after its Nth
// sector write, for every N. After each cut the image mounts, every step that
// had returned before the cut has its effect, and the consistency check finds
// at most what an interrupted operation can leave behind.
// FAT16_POWER_CUT_N=N replays one cut.
#include <cstdlib>

#include "../dir/dir_test_util.h"
#include "workload.h"

using namespace fat16test;

namespace {

const uint32_t kSectors = 12000;

#if defined(__SANITIZE_ADDRESS__)
const uint32_t kStride = 5; // under the sanitizers every fifth cut
#else
const uint32_t kStride = 1;
#endif

class PowerCut : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(format_memory_volume(&image, kSectors));
        // BIG is full, so a new name grows it by a cluster (with no end
        // marker in front of that cluster).
        ASSERT_EQ(fs_mkdir("C:\\BIG"), FS_OK);
        DirCursor.search_kind = KIND_DIR;
        ASSERT_EQ(path_resolve("C:\\BIG"), FS_OK);
        uint32_t big = FoundEntry.first_cluster;
        std::vector<Slot> slots = numbered_slots('F', 0, 1022);
        put_slots(cluster_sectors({big}), 2, slots);
        // Free clusters hold what deleted files left: entries that would
        // cross-link, should an unfinished allocation ever expose them.
        Sector stale{};
        for (uint32_t i = 0; i < 16; i++) {
            Slot s = short_slot("STALE   DAT", ATTR_ARCHIVE, big, 100);
            std::copy(s.begin(), s.end(), stale.begin() + 32 * i);
        }
        for (uint32_t s = cluster_to_sector(big + 1); s < kSectors; s++) write_raw(s, stale);
        pristine = image;
        steps = power_cut_workload();
    }
    void TearDown() override { disk_close_image(); }

    // Runs the workload on a fresh copy; with `cut` > 0 the cut-th write and
    // every later one fail. Returns the device's write count after each step.
    std::vector<uint64_t> run(uint64_t cut, std::vector<bool> *results = nullptr, uint32_t torn = 0) {
        image = pristine;
        EXPECT_EQ(disk_open_memory(image.data(), (uint32_t)image.size()), FS_OK);
        EXPECT_EQ(fs_init(), FS_OK);
        disk_reset_counters();
        FsDiskFaults faults{0, cut, 1, torn};
        disk_set_faults(cut > 0 ? &faults : nullptr);
        std::vector<uint64_t> ends;
        for (uint32_t i = 0; i < steps.size(); i++) {
            bool ok = run_step(steps[i], i);
            if (results != nullptr) results->push_back(ok);
            FsDiskCounters c{};
            disk_get_counters(&c);
            ends.push_back(c.writes);
        }
        disk_set_faults(nullptr);
        return ends;
    }

    // What the image must show after a cut that let `landed` writes through.
    void verify(uint64_t landed, const std::vector<uint64_t> &ends,
                const std::vector<int> &also_allowed = {}) {
        uint32_t done = 0;
        while (done < steps.size() && ends[done] <= landed) done++;
        verify_interrupted(steps, done, also_allowed);
    }

    std::vector<uint8_t> image;
    std::vector<uint8_t> pristine;
    std::vector<Step> steps;
};

TEST_F(PowerCut, EveryCutLeavesCompletedStepsIntact) {
    std::vector<bool> results;
    std::vector<uint64_t> ends = run(0, &results);
    for (uint32_t i = 0; i < steps.size(); i++) ASSERT_TRUE(results[i]) << "step " << i;
    ASSERT_NO_FATAL_FAILURE(verify(ends.back(), ends));
    static FsCheckReport report;
    ASSERT_EQ(check_volume(&report), FS_OK);
    const uint64_t total = ends.back();
    ASSERT_GT(total, 500u);

    uint64_t first = 1, last = total, stride = kStride;
    if (const char *one = getenv("FAT16_POWER_CUT_N")) {
        first = last = std::strtoull(one, nullptr, 10);
        stride = 1;
    }
    for (uint64_t n = first; n <= last; n += stride) {
        run(n);
        ASSERT_NO_FATAL_FAILURE(verify(n - 1, ends))
            << "cut before write " << n << " (replay: FAT16_POWER_CUT_N=" << n << ")";
    }
}

// The same cuts on a device that tears the sector it is writing: the new
// bytes up to the tear, the old ones after it. A tear between 32-byte slots
// keeps every promise; a tear inside a slot may also leave the entry being
// written with a damaged 8.3 name.
TEST_F(PowerCut, TornWritesAtTheCut) {
    std::vector<uint64_t> ends = run(0);
    const uint64_t total = ends.back();
    const struct {
        uint32_t torn;
        std::vector<int> also_allowed;
    } tears[] = {{256, {}}, {32, {}}, {100, {FS_PROBLEM_BAD_NAME}}, {101, {FS_PROBLEM_BAD_NAME}}};
    for (const auto &t : tears) {
        for (uint64_t n = 1; n <= total; n += kStride) {
            run(n, nullptr, t.torn);
            ASSERT_NO_FATAL_FAILURE(verify(n - 1, ends, t.also_allowed))
                << "write " << n << " torn after " << t.torn << " bytes";
        }
    }
}

} // namespace
