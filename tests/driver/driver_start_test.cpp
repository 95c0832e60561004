// The driver program brings the volume up and reports it.
#include <sys/stat.h>

#include "test_support.h"

using namespace fat16test;

namespace {

const std::string kDriver = FAT16_DRIVER_PATH;

CommandResult run_driver(const std::string &input = "\n\n\n\n") {
    write_file("driver-input", input);
    return run_command("'" + kDriver + "' < driver-input 2>driver-stderr");
}

TEST(DriverStart, FirstRunCreatesFormatsAndReports) {
    ScratchDir dir;
    CommandResult r = run_driver();
    EXPECT_EQ(r.status, 0);
    std::string expected = "make fat16.img in progress!\n" + std::string(484, '#') +
                           "\nmake fat16.img complete\nVolume Capacity: 483328\nVolume FreeSpace: 482688\n";
    EXPECT_EQ(r.output.substr(0, expected.size()), expected);
    struct stat st;
    ASSERT_EQ(stat("fat16.img", &st), 0);
    EXPECT_EQ((uint64_t)st.st_size, kImageBytes);
}

TEST(DriverStart, PartitionedImageReportsZeros) {
    ScratchDir dir;
    make_sparse_file("fat16.img", kImageBytes);
    ASSERT_EQ(disk_open_image(), FS_OK);
    Sector mbr{};
    mbr[446] = 0x80;
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    write_raw(0, mbr);
    disk_close_image();
    CommandResult r = run_driver();
    EXPECT_EQ(r.output.substr(0, 41), "Volume Capacity: 0\nVolume FreeSpace: 0\n");
    ASSERT_EQ(disk_open_image(), FS_OK);
    EXPECT_EQ(read_raw(0), mbr); // nothing was formatted
}

TEST(DriverStart, ImageThatCannotBeOpenedEndsWithStatusOne) {
    ScratchDir dir;
    ASSERT_EQ(mkdir("fat16.img", 0755), 0);
    CommandResult r = run_driver();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.output, "");
    std::string err = read_file("driver-stderr");
    EXPECT_NE(err.find("fat16.img"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

TEST(DriverStart, ClosedInputDoesNotHang) {
    ScratchDir dir;
    CommandResult r = run_command("'" + kDriver + "' < /dev/null 2>/dev/null");
    EXPECT_EQ(r.status, 0);
}

} // namespace
