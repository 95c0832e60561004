// Random sequences of writes, seeks, reads and syncs through one or two
// handles on a few files, checked against an in-memory copy of every file,
// with and without write-back; and with a table of the test's own, up to
// four handles that all write, sharing their files, and truncations.
#include <map>
#include <random>

#include "file_test_util.h"

using namespace fat16test;

namespace {

struct ModelHandle {
    uint8_t handle = 0xFF;
    std::string path;
    uint32_t position = 0;
    uint32_t size = 0; // the size this handle knows
    bool read_only = false;
};

struct Mode {
    uint32_t options; // the options the files are written with
    bool own_table;   // handles in a table of the test's own (fs_use_open_files)
};

class RandomFiles : public VolumeTest, public ::testing::WithParamInterface<Mode> {
  protected:
    void TearDown() override {
        fs_init();
        fs_use_open_files(nullptr, 0);
        VolumeTest::TearDown();
    }
};

TEST_P(RandomFiles, MatchTheModelAfterEveryStepAndAfterReopening) {
    const bool write_back = GetParam().options & FS_OPT_WRITE_BACK;
    const bool shared = GetParam().own_table;
    OpenFile table[6];
    if (shared) {
        ASSERT_EQ(fs_use_open_files(table, 6), FS_OK);
    }
    const OpenFile *slots = shared ? table : open_files;
    ASSERT_EQ(fs_set_options(GetParam().options), FS_OK);
    const std::vector<std::string> paths = {"C:\\R1.BIN", "C:\\a long random file name.dat", "C:\\SUB\\R3"};
    ASSERT_EQ(fs_mkdir("C:\\SUB"), FS_OK);
    for (const std::string &p : paths) ASSERT_EQ(fs_create_file(p.c_str()), FS_OK);
    std::map<std::string, std::vector<uint8_t>> files;
    for (const std::string &p : paths) files[p] = {};

    std::mt19937 rng(20261208);
    auto pick = [&](uint32_t n) { return (uint32_t)(rng() % n); };
    const uint32_t sizes[] = {1, 7, 100, 511, 512, 513, 1024, 4000, 32767, 32768, 32769, 70000};

    for (int round = 0; round < 60; round++) {
        // Open one file, sometimes the same one twice (or more in a table
        // of the test's own).
        std::vector<ModelHandle> open;
        const uint32_t wanted = shared ? 1 + pick(4) : 1 + pick(2);
        std::string first = paths[pick(3)];
        while (open.size() < wanted) {
            std::string p = pick(3) == 0 ? first : paths[pick(3)];
            ModelHandle m;
            m.handle = fs_open(p.c_str());
            ASSERT_NE(m.handle, 0xFF);
            m.path = p;
            m.size = (uint32_t)files[p].size();
            m.read_only = !shared && !open.empty() && open[0].path == p;
            EXPECT_EQ(slots[m.handle].read_only, m.read_only ? 1 : 0);
            open.push_back(m);
        }
        for (int step = 0; step < 25; step++) {
            ModelHandle &m = open[pick((uint32_t)open.size())];
            std::vector<uint8_t> &data = files[m.path];
            if (shared) m.size = (uint32_t)data.size(); // what another handle did shows
            switch (pick(shared ? 5 : 4)) {
            case 4: { // truncate: shrink or grow; other handles' positions stay within
                uint32_t n = pick(3) == 0 ? 0 : (uint32_t)pick((uint32_t)data.size() * 2 + 2000);
                ASSERT_EQ(fs_truncate(m.handle, n), FS_OK);
                data.resize(n, 0);
                for (ModelHandle &o : open)
                    if (o.path == m.path) o.position = std::min(o.position, n);
                ASSERT_EQ(entry_on_image(m.handle, slots).size, n);
                break;
            }
            case 0: { // write
                uint32_t n = sizes[pick(12)];
                std::vector<uint8_t> bytes = pattern(n, rng());
                uint32_t written = fs_write(m.handle, bytes.data(), n);
                if (m.read_only) {
                    ASSERT_EQ(written, 0u);
                    break;
                }
                ASSERT_EQ(written, n);
                if (data.size() < m.position + n) data.resize(m.position + n);
                std::copy(bytes.begin(), bytes.end(), data.begin() + m.position);
                m.position += n;
                m.size = std::max(m.size, m.position);
                // Without write-back every write ends with its size on the image.
                if (!write_back) {
                    ASSERT_EQ(entry_on_image(m.handle, slots).size, (uint32_t)data.size());
                }
                break;
            }
            case 3: { // sync: what the handle wrote is on the image
                ASSERT_EQ(fs_sync(m.handle), FS_OK);
                if (!m.read_only) {
                    ASSERT_EQ(entry_on_image(m.handle, slots).size, (uint32_t)data.size());
                }
                break;
            }
            case 1: { // seek
                uint8_t origin = (uint8_t)pick(3);
                int64_t offset = 0;
                int64_t target = 0;
                if (origin == ORIGIN_START) {
                    offset = (int64_t)pick(m.size + 2) - 1;
                    target = offset;
                } else if (origin == ORIGIN_CURRENT) {
                    offset = (int64_t)pick(m.size + 2) - 1 - m.position;
                    target = m.position + offset;
                } else {
                    offset = -(int64_t)pick(m.size + 2) + (pick(4) == 0 ? 1 : 0);
                    target = m.size + offset;
                }
                bool ok = origin == ORIGIN_END ? offset <= 0 && target >= 0 : target >= 0 && target < m.size;
                ASSERT_EQ(fs_seek(m.handle, (int32_t)offset, origin), ok ? FS_OK : FS_FAIL);
                if (ok) m.position = (uint32_t)target;
                break;
            }
            default: { // read
                uint32_t n = sizes[pick(12)];
                std::vector<uint8_t> back(n);
                uint32_t got = fs_read(m.handle, back.data(), n);
                uint32_t expect = m.position >= m.size ? 0 : std::min(n, m.size - m.position);
                ASSERT_EQ(got, expect);
                // A read-only slot of the built-in table may still hold an old
                // copy of its loaded sector.
                if (!m.read_only) {
                    ASSERT_TRUE(std::equal(back.begin(), back.begin() + got, data.begin() + m.position));
                }
                m.position += got;
                break;
            }
            }
            ASSERT_EQ(slots[m.handle].position, m.position);
        }
        for (ModelHandle &m : open) ASSERT_EQ(fs_close(m.handle), FS_OK);
        for (const std::string &p : paths) ASSERT_EQ(read_whole(p.c_str()), files[p]) << p;
        FsCheckReport report;
        ASSERT_EQ(check_volume(&report), FS_OK) << "round " << round; // no lost or shared clusters
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, RandomFiles,
                         ::testing::Values(Mode{0u, false}, Mode{FS_OPT_WRITE_BACK, false}, Mode{0u, true},
                                           Mode{FS_OPT_WRITE_BACK, true}),
                         [](const ::testing::TestParamInfo<Mode> &info) {
                             return std::string(info.param.options ? "WriteBack" : "WriteThrough") +
                                    (info.param.own_table ? "SharedHandles" : "");
                         });

} // namespace
