// Power cuts: the workload runs on a device that stops writing after its Nth
// sector write, for every N, with and without write-back. After each cut
// the image mounts, every step that had returned before the cut has its
// effect (a write step closes its file, which syncs it), and the
// consistency check finds at most what an interrupted operation can leave
// behind. FAT16_POWER_CUT_N=N replays one cut.
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

// The parameter: the options the workload runs with.
class PowerCut : public ::testing::TestWithParam<uint32_t> {
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
        EXPECT_EQ(fs_set_options(GetParam()), FS_OK);
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

TEST_P(PowerCut, EveryCutLeavesCompletedStepsIntact) {
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
TEST_P(PowerCut, TornWritesAtTheCut) {
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

// With write-back, a file keeps what its last sync made durable while it
// is written on between syncs and other files come and go: a cut anywhere
// loses what was not synced, never more, and no other file.
TEST(PowerCutWriteBack, ACutLosesOnlyWhatWasNotSynced) {
    std::vector<uint8_t> image;
    ASSERT_NO_FATAL_FAILURE(format_memory_volume(&image, kSectors));
    const std::vector<uint8_t> kept = pattern(9000, 1), a = pattern(48000, 2), b = pattern(3000, 3);
    uint8_t h = fs_open_new("C:\\KEPT.BIN");
    ASSERT_EQ(fs_write(h, kept.data(), 9000), 9000u);
    ASSERT_EQ(fs_close(h), FS_OK);
    const std::vector<uint8_t> pristine = image;

    // The sequence; each stage notes the writes done when it returned.
    auto sequence = [&](std::vector<uint64_t> *marks) {
        auto mark = [&] {
            FsDiskCounters c{};
            disk_get_counters(&c);
            marks->push_back(c.writes);
        };
        fs_set_options(FS_OPT_WRITE_BACK);
        uint8_t f = fs_open_new("C:\\A.BIN");
        fs_write(f, a.data(), 5000);
        fs_sync(f);
        mark(); // 0: A holds 5,000 bytes
        fs_write(f, a.data() + 5000, 40000);
        uint8_t g = fs_open_new("C:\\a long name for B.txt");
        fs_write(g, b.data(), 3000);
        fs_close(g);
        mark(); // 1: B is whole; A still 5,000
        fs_write(f, a.data() + 45000, 3000);
        fs_close(f);
        mark(); // 2: A is whole
    };
    std::vector<uint64_t> ends;
    ASSERT_EQ(disk_open_memory(image.data(), (uint32_t)image.size()), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
    disk_reset_counters();
    sequence(&ends);
    ASSERT_EQ(ends.size(), 3u);
    for (uint64_t n = 1; n <= ends.back(); n++) {
        image = pristine;
        ASSERT_EQ(disk_open_memory(image.data(), (uint32_t)image.size()), FS_OK);
        ASSERT_EQ(fs_init(), FS_OK);
        disk_reset_counters();
        FsDiskFaults faults{0, n, 1, 0};
        disk_set_faults(&faults);
        std::vector<uint64_t> marks;
        sequence(&marks);
        disk_set_faults(nullptr);
        ASSERT_EQ(fs_init(), FS_OK) << n;
        std::string context = "cut before write " + std::to_string(n);
        EXPECT_EQ(read_whole("C:\\KEPT.BIN"), kept) << context;
        std::vector<uint8_t> got_a;
        DirCursor.search_kind = KIND_FILE;
        if (path_resolve("C:\\A.BIN") == FS_OK) got_a = read_whole("C:\\A.BIN");
        if (n > ends[2]) {
            EXPECT_EQ(got_a, a) << context;
        } else if (n > ends[0]) {
            EXPECT_EQ(got_a, std::vector<uint8_t>(a.begin(), a.begin() + 5000)) << context;
        } else {
            EXPECT_TRUE(got_a.empty() || got_a == std::vector<uint8_t>(a.begin(), a.begin() + 5000))
                << context;
        }
        if (n > ends[1]) {
            EXPECT_EQ(read_whole("C:\\a long name for B.txt"), b) << context;
        }
        static FsCheckReport report;
        check_volume(&report);
        // Both files may be in flight: the cut can fall in either's commit.
        for (uint32_t i = 0; i < report.problem_count && i < FS_CHECK_MAX_PROBLEMS; i++) {
            uint8_t k = report.problems[i].kind;
            EXPECT_TRUE(left_by_a_cut(k, true))
                << context << ": " << fs_check_problem_text(k) << " at " << report.problems[i].path;
        }
    }
    disk_close_image();
}

INSTANTIATE_TEST_SUITE_P(Modes, PowerCut, ::testing::Values(0u, FS_OPT_WRITE_BACK),
                         [](const ::testing::TestParamInfo<uint32_t> &info) {
                             return std::string(info.param ? "WriteBack" : "WriteThrough");
                         });

} // namespace
