// Random sequences of writes, seeks, reads and syncs through one or two
// handles on a few files, checked against an in-memory copy of every file,
// with and without write-back.
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

// The parameter: the options the files are written with.
class RandomFiles : public VolumeTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(RandomFiles, MatchTheModelAfterEveryStepAndAfterReopening) {
    const bool write_back = GetParam() & FS_OPT_WRITE_BACK;
    ASSERT_EQ(fs_set_options(GetParam()), FS_OK);
    const std::vector<std::string> paths = {"C:\\R1.BIN", "C:\\a long random file name.dat", "C:\\SUB\\R3"};
    ASSERT_EQ(fs_mkdir("C:\\SUB"), FS_OK);
    for (const std::string &p : paths) ASSERT_EQ(fs_create_file(p.c_str()), FS_OK);
    std::map<std::string, std::vector<uint8_t>> files;
    for (const std::string &p : paths) files[p] = {};

    std::mt19937 rng(20261208);
    auto pick = [&](uint32_t n) { return (uint32_t)(rng() % n); };
    const uint32_t sizes[] = {1, 7, 100, 511, 512, 513, 1024, 4000, 32767, 32768, 32769, 70000};

    for (int round = 0; round < 60; round++) {
        // Open one file, sometimes the same one twice.
        std::vector<ModelHandle> open;
        std::string first = paths[pick(3)];
        std::string second = pick(3) == 0 ? first : paths[pick(3)];
        for (const std::string &p : {first, second}) {
            if (open.size() == 1 && pick(2) == 0) break;
            ModelHandle m;
            m.handle = fs_open(p.c_str());
            ASSERT_NE(m.handle, 0xFF);
            m.path = p;
            m.size = (uint32_t)files[p].size();
            m.read_only = !open.empty() && open[0].path == p;
            EXPECT_EQ(open_files[m.handle].read_only, m.read_only ? 1 : 0);
            open.push_back(m);
        }
        for (int step = 0; step < 25; step++) {
            ModelHandle &m = open[pick((uint32_t)open.size())];
            std::vector<uint8_t> &data = files[m.path];
            switch (pick(4)) {
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
                    ASSERT_EQ(entry_on_image(m.handle).size, (uint32_t)data.size());
                }
                break;
            }
            case 3: { // sync: what the handle wrote is on the image
                ASSERT_EQ(fs_sync(m.handle), FS_OK);
                if (!m.read_only) {
                    ASSERT_EQ(entry_on_image(m.handle).size, (uint32_t)data.size());
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
                // A read-only slot may still hold an old copy of its loaded sector.
                if (!m.read_only) {
                    ASSERT_TRUE(std::equal(back.begin(), back.begin() + got, data.begin() + m.position));
                }
                m.position += got;
                break;
            }
            }
            ASSERT_EQ(open_files[m.handle].position, m.position);
        }
        for (ModelHandle &m : open) ASSERT_EQ(fs_close(m.handle), FS_OK);
        for (const std::string &p : paths) ASSERT_EQ(read_whole(p.c_str()), files[p]) << p;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, RandomFiles, ::testing::Values(0u, FS_OPT_WRITE_BACK),
                         [](const ::testing::TestParamInfo<uint32_t> &info) {
                             return std::string(info.param ? "WriteBack" : "WriteThrough");
                         });

} // namespace
