// File contents written here read back byte-identical through mtools, and
// files mtools writes read back byte-identical here.
#include "../file/file_test_util.h"

using namespace fat16test;

namespace {

const uint32_t kSizes[] = {0, 1, 511, 512, 513, 32767, 32768, 32769, 40000, 80000};

class FileInterop : public VolumeTest {};

TEST_F(FileInterop, FilesWrittenHereReadBackWithMcopy) {
    REQUIRE_TOOL("mcopy");
    ASSERT_EQ(fs_mkdir("C:\\SUB"), FS_OK);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    int n = 0;
    for (uint32_t size : kSizes) {
        for (const char *where : {"C:\\", "C:\\SUB\\"}) {
            std::string name =
                std::string(where) +
                (n % 2 ? "F" + std::to_string(n) + ".BIN" : "a long file name " + std::to_string(n) + ".bin");
            std::vector<uint8_t> data = pattern(size, ++n);
            ASSERT_EQ(fs_create_file(name.c_str()), FS_OK) << name;
            uint8_t h = fs_open(name.c_str());
            ASSERT_NE(h, 0xFF);
            for (uint32_t done = 0; done < size;) {
                uint32_t part = std::min<uint32_t>(3000, size - done);
                ASSERT_EQ(fs_write(h, data.data() + done, part), part);
                done += part;
            }
            fs_close(h);
            files.push_back({name, data});
        }
    }
    disk_close_image();
    expect_fsck_clean("fat16.img");
    for (auto &[name, data] : files) {
        std::string mpath = "::/" + name.substr(3);
        std::replace(mpath.begin(), mpath.end(), '\\', '/');
        CommandResult r = run_command(kMtoolsEnv + "mcopy -n -i fat16.img '" + mpath + "' out.bin");
        ASSERT_EQ(r.status, 0) << r.output;
        std::string back = read_file("out.bin");
        EXPECT_EQ(back, std::string(data.begin(), data.end())) << name;
        unlink("out.bin");
    }
}

TEST(ForeignFiles, FilesWrittenByMcopyReadBackHere) {
    REQUIRE_TOOL("mcopy");
    ScratchDir scratch;
    make_sparse_file("fat16.img", kImageBytes);
    ASSERT_EQ(disk_open_image(), FS_OK);
    ASSERT_EQ(fs_format_if_blank(0, 6, kImageSectors), FS_OK);
    disk_close_image();
    ASSERT_EQ(run_command(kMtoolsEnv + "mmd -i fat16.img ::/DIR").status, 0);
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    int n = 0;
    for (uint32_t size : kSizes) {
        std::vector<uint8_t> data = pattern(size, 100 + n);
        std::string host = "host" + std::to_string(n);
        write_file(host, std::string(data.begin(), data.end()));
        std::string name =
            n % 2 ? "DIR/FILE" + std::to_string(n) + ".BIN" : "some long name " + std::to_string(n) + ".bin";
        ASSERT_EQ(run_command(kMtoolsEnv + "mcopy -i fat16.img " + host + " '::/" + name + "'").status, 0);
        std::replace(name.begin(), name.end(), '/', '\\');
        files.push_back({"C:\\" + name, data});
        n++;
    }
    ASSERT_EQ(disk_open_image(), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
    for (auto &[name, data] : files) EXPECT_EQ(read_whole(name.c_str()), data) << name;
}

} // namespace
