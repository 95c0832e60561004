// The image device: creation, sector transfers, bounds and write-through.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"

using namespace fat16test;

namespace {

uint64_t file_size(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return 0;
    return (uint64_t)st.st_size;
}

TEST(Disk, CreatesFullSizeZeroImageWithProgressMessages) {
    ScratchDir dir;
    testing::internal::CaptureStdout();
    ASSERT_EQ(disk_open_image(), FS_OK);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "make fat16.img in progress!\n" + std::string(484, '#') + "\nmake fat16.img complete\n");
    EXPECT_EQ(file_size("fat16.img"), kImageBytes);
    // Every byte of the new image is zero.
    std::string data = read_file("fat16.img");
    ASSERT_EQ(data.size(), kImageBytes);
    EXPECT_EQ(data.find_first_not_of('\0'), std::string::npos);
}

TEST(Disk, OpensExistingImageUnchangedAndSilently) {
    ScratchDir dir;
    write_file("fat16.img", std::string(1000, 'x'));
    testing::internal::CaptureStdout();
    ASSERT_EQ(disk_open_image(), FS_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(file_size("fat16.img"), 1000u);
    EXPECT_EQ(read_file("fat16.img"), std::string(1000, 'x'));
}

TEST(Disk, ReadsLastSectorAndRefusesTheOneAfter) {
    ScratchDir dir;
    make_sparse_file("fat16.img", kImageBytes);
    ASSERT_EQ(disk_open_image(), FS_OK);
    write_raw(kImageSectors - 1, filled(0x5A));
    Sector s = filled(0x11);
    EXPECT_EQ(disk_read_sector(s.data(), kImageSectors - 1), FS_OK);
    EXPECT_TRUE(all_bytes(s, 0x5A));
    s = filled(0x11);
    EXPECT_EQ(disk_read_sector(s.data(), kImageSectors), FS_FAIL);
    EXPECT_TRUE(all_bytes(s, 0x11));
}

TEST(Disk, ShortReadKeepsArrivedBytesAndLeavesTheRest) {
    ScratchDir dir;
    write_file("fat16.img", std::string(700, 'a'));
    ASSERT_EQ(disk_open_image(), FS_OK);
    Sector s = filled(0x11);
    EXPECT_EQ(disk_read_sector(s.data(), 1), FS_FAIL);
    for (int i = 0; i < 188; i++) ASSERT_EQ(s[i], 'a') << i;
    for (int i = 188; i < 512; i++) ASSERT_EQ(s[i], 0x11) << i;
    s = filled(0x22);
    EXPECT_EQ(disk_read_sector(s.data(), 0), FS_OK);
    EXPECT_TRUE(all_bytes(s, 'a'));
}

TEST(Disk, ReadOfEmptyImageFails) {
    ScratchDir dir;
    write_file("fat16.img", "");
    ASSERT_EQ(disk_open_image(), FS_OK);
    Sector s = filled(0x33);
    EXPECT_EQ(disk_read_sector(s.data(), 0), FS_FAIL);
    EXPECT_TRUE(all_bytes(s, 0x33));
}

TEST(Disk, WritePastEndExtendsTheFile) {
    ScratchDir dir;
    make_sparse_file("fat16.img", 10000 * 512);
    ASSERT_EQ(disk_open_image(), FS_OK);
    write_raw(10000, filled(0x77));
    EXPECT_EQ(file_size("fat16.img"), 10001u * 512);
    EXPECT_TRUE(all_bytes(read_raw(10000), 0x77));
}

TEST(Disk, UnaddressableSectorsNeverAliasOthers) {
    ScratchDir dir;
    make_sparse_file("fat16.img", 10 * 512);
    ASSERT_EQ(disk_open_image(), FS_OK);
    write_raw(1, filled(0x44));
    // 2^22 is the first unaddressable sector; 2^23 + 1 would wrap around to
    // sector 1 in 32-bit byte offsets.
    for (uint32_t sector : {4194304u, 8388609u, 0x80000001u, 0xFFFFFFFFu}) {
        Sector s = filled(0x11);
        EXPECT_EQ(disk_read_sector(s.data(), sector), FS_FAIL) << sector;
        EXPECT_TRUE(all_bytes(s, 0x11)) << sector;
        EXPECT_EQ(disk_write_sector(filled(0x99).data(), sector), FS_FAIL) << sector;
    }
    EXPECT_EQ(file_size("fat16.img"), 10u * 512);
    EXPECT_TRUE(all_bytes(read_raw(1), 0x44));
    // The highest addressable sector is still a sector.
    EXPECT_EQ(disk_write_sector(filled(0x55).data(), 4194303u), FS_OK);
    EXPECT_EQ(file_size("fat16.img"), 4194304ull * 512);
}

TEST(Disk, WithoutImageEverySectorOperationFails) {
    ScratchDir dir;
    disk_close_image();
    Sector s = filled(0x12);
    EXPECT_EQ(disk_read_sector(s.data(), 0), FS_FAIL);
    EXPECT_TRUE(all_bytes(s, 0x12));
    EXPECT_EQ(disk_write_sector(s.data(), 0), FS_FAIL);
    EXPECT_NE(access("fat16.img", F_OK), 0);
}

TEST(Disk, ImageThatCannotBeCreatedIsReported) {
    ScratchDir dir;
    ASSERT_EQ(mkdir("fat16.img", 0755), 0); // a folder where the image should be
    testing::internal::CaptureStdout();
    EXPECT_EQ(disk_open_image(), FS_FAIL);
    testing::internal::GetCapturedStdout();
    Sector s{};
    EXPECT_EQ(disk_read_sector(s.data(), 0), FS_FAIL);
}

TEST(Disk, WritesReachTheHostFileBeforeReturning) {
    ScratchDir dir;
    make_sparse_file("fat16.img", 100 * 512);
    ASSERT_EQ(disk_open_image(), FS_OK);
    write_raw(7, filled(0xC3));
    // Another descriptor, as another process would have, sees the data.
    int fd = open("fat16.img", O_RDONLY);
    ASSERT_GE(fd, 0);
    Sector s{};
    ASSERT_EQ(pread(fd, s.data(), 512, 7 * 512), 512);
    close(fd);
    EXPECT_TRUE(all_bytes(s, 0xC3));
}

TEST(Disk, CloseThenOpenUsesTheFileInTheWorkingDirectory) {
    ScratchDir first;
    write_file("fat16.img", std::string(512, 'A'));
    ASSERT_EQ(disk_open_image(), FS_OK);
    disk_close_image();
    ASSERT_EQ(mkdir("other", 0755), 0);
    ASSERT_EQ(chdir("other"), 0);
    write_file("fat16.img", std::string(512, 'B'));
    ASSERT_EQ(disk_open_image(), FS_OK);
    EXPECT_TRUE(all_bytes(read_raw(0), 'B'));
    ASSERT_EQ(chdir(".."), 0);
}

TEST(Disk, MemoryBackingBehavesLikeAFixedSizeImage) {
    std::vector<uint8_t> memory(3 * 512 + 100, 0);
    ASSERT_EQ(disk_open_memory(memory.data(), (uint32_t)memory.size()), FS_OK);
    write_raw(2, filled(0x66));
    EXPECT_EQ(memory[2 * 512], 0x66);
    Sector s = filled(0x11);
    EXPECT_EQ(disk_read_sector(s.data(), 3), FS_FAIL); // 100 bytes arrive
    EXPECT_EQ(s[99], 0);
    EXPECT_EQ(s[100], 0x11);
    EXPECT_EQ(disk_write_sector(filled(1).data(), 3), FS_FAIL); // cannot extend
    EXPECT_EQ(memory[3 * 512], 0);
    disk_close_image();
    EXPECT_EQ(disk_open_memory(nullptr, 10), FS_FAIL);
}

TEST(Disk, CountsSectorTransfers) {
    std::vector<uint8_t> memory(8 * 512, 0);
    ASSERT_EQ(disk_open_memory(memory.data(), (uint32_t)memory.size()), FS_OK);
    Sector s{};
    disk_read_sector(s.data(), 0);
    disk_read_sector(s.data(), 1);
    disk_write_sector(s.data(), 2);
    FsDiskCounters c{};
    disk_get_counters(&c);
    EXPECT_EQ(c.reads, 2u);
    EXPECT_EQ(c.writes, 1u);
    disk_reset_counters();
    disk_get_counters(&c);
    EXPECT_EQ(c.reads + c.writes, 0u);
    disk_close_image();
}

} // namespace
