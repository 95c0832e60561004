// Volumes inside an MBR partition: formatting at an offset and mounting.
#include <sys/stat.h>
#include <unistd.h>

#include "test_support.h"
#include "../file/file_test_util.h"

using namespace fat16test;

namespace {

const uint32_t kStart = 2048;
const uint32_t kVolume = 483328;

// Sector 0 with one partition table entry.
Sector mbr(uint8_t type, uint32_t first, uint32_t count, uint32_t entry = 0) {
    Sector s{};
    uint8_t *e = s.data() + 446 + 16 * entry;
    e[0] = 0x00;
    e[4] = type;
    for (int i = 0; i < 4; i++) {
        e[8 + i] = (uint8_t)(first >> (8 * i));
        e[12 + i] = (uint8_t)(count >> (8 * i));
    }
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

class Partition : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch = new ScratchDir();
        make_sparse_file("fat16.img", uint64_t{kStart + kVolume} * 512);
        ASSERT_EQ(disk_open_image_path("fat16.img", 0), FS_OK);
        write_raw(0, mbr(0x06, kStart, kVolume));
        ASSERT_EQ(fs_format_at(kStart, kVolume), FS_OK);
    }
    void TearDown() override { delete scratch; }
    ScratchDir *scratch = nullptr;
};

TEST_F(Partition, FormattedAtAnOffsetAndMountedThroughTheTable) {
    EXPECT_EQ(fs_init(), FS_FAIL); // sector 0 is a partition table
    EXPECT_EQ(fs_last_error(), FS_ERR_DAMAGED);
    ASSERT_EQ(fs_mount_partition(0, 1), FS_OK);
    EXPECT_EQ(VolumeGeometry.partition_start, kStart);
    EXPECT_EQ(VolumeGeometry.fat1_start, kStart + 1);
    EXPECT_EQ(VolumeGeometry.root_dir_start, kStart + 513);
    EXPECT_EQ(VolumeGeometry.first_data_sector, kStart + 577);
    EXPECT_EQ(VolumeGeometry.cluster_count, 7542u);
    // The boot sector names the sectors in front of the volume.
    Sector boot = read_raw(kStart);
    EXPECT_EQ(boot[28] | (boot[29] << 8), (int)kStart);
    // Everything works inside the partition and nothing lands in front of it.
    ASSERT_EQ(fs_mkdir("C:\\DIR"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\DIR\\a long file name.bin"), FS_OK);
    uint8_t h = fs_open("C:\\DIR\\a long file name.bin");
    std::vector<uint8_t> data = pattern(70000);
    ASSERT_EQ(fs_write(h, data.data(), 70000), 70000u);
    fs_close(h);
    EXPECT_EQ(read_whole("C:\\DIR\\a long file name.bin"), data);
    for (uint32_t s = 1; s < kStart; s += 97) ASSERT_TRUE(all_bytes(read_raw(s), 0)) << s;
    static FsCheckReport report;
    EXPECT_EQ(check_volume(&report), FS_OK);
    EXPECT_EQ(report.files, 1u);
    // Another letter keeps the same partition; fs_init goes back to sector 0.
    EXPECT_EQ(fs_mount(1), FS_OK);
    EXPECT_EQ(VolumeGeometry.partition_start, kStart);
    EXPECT_EQ(read_whole("D:\\DIR\\a long file name.bin"), data);
    EXPECT_EQ(fs_init(), FS_FAIL);
    EXPECT_EQ(fs_is_mounted(), 0);
}

TEST_F(Partition, OtherToolsReadThePartition) {
    REQUIRE_TOOL("mdir");
    ASSERT_EQ(fs_mount_partition(0, 1), FS_OK);
    ASSERT_EQ(fs_mkdir("C:\\FROM HERE"), FS_OK);
    disk_close_image();
    CommandResult r =
        run_command(kMtoolsEnv + "mdir -/ -b -i 'fat16.img@@" + std::to_string(kStart * 512) + "' ::");
    EXPECT_NE(r.output.find("::/FROM HERE/"), std::string::npos) << r.output;
    if (have_tool("fsck.fat")) {
        // The partition on its own, as fsck.fat takes no offset.
        run_command("dd if=fat16.img of=part.img bs=1M iflag=skip_bytes,count_bytes skip=" +
                    std::to_string(kStart * 512) + " count=" + std::to_string(uint64_t{kVolume} * 512) +
                    " conv=sparse status=none");
        EXPECT_EQ(fsck_problems("part.img"), "");
    }
}

TEST_F(Partition, RefusedTablesAndPartitions) {
    EXPECT_EQ(fs_mount_partition(0, 0), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(fs_mount_partition(0, 5), FS_FAIL);
    EXPECT_EQ(fs_mount_partition(0, 2), FS_FAIL); // an empty entry
    EXPECT_EQ(fs_last_error(), FS_ERR_INVALID_ARGUMENT);
    // The type byte does not matter: a FAT32 type holding a FAT16 volume
    // mounts (other tools write 0x0B, 0xEF or 0x83 for FAT too).
    write_raw(0, mbr(0x0B, kStart, kVolume));
    EXPECT_EQ(fs_mount_partition(0, 1), FS_OK);
    write_raw(0, mbr(0x0E, kStart, kVolume - 1)); // the volume does not fit its partition
    EXPECT_EQ(fs_mount_partition(0, 1), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_DAMAGED);
    write_raw(0, mbr(0x04, 0, kVolume)); // a partition over the table itself
    EXPECT_EQ(fs_mount_partition(0, 1), FS_FAIL);
    Sector unsigned_table = mbr(0x06, kStart, kVolume);
    unsigned_table[511] = 0;
    write_raw(0, unsigned_table);
    EXPECT_EQ(fs_mount_partition(0, 1), FS_FAIL);
    write_raw(0, mbr(0x06, kStart, kVolume, 3)); // the fourth entry
    EXPECT_EQ(fs_mount_partition(0, 4), FS_OK);
    EXPECT_EQ(fs_is_mounted(), 1);
}

TEST(ImageByPath, OpenOrCreateAnyImage) {
    ScratchDir dir;
    EXPECT_EQ(disk_open_image_path("missing.img", 0), FS_FAIL);
    EXPECT_EQ(access("missing.img", F_OK), -1);
    testing::internal::CaptureStdout();
    ASSERT_EQ(disk_open_image_path("new.img", 1), FS_OK);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), ""); // silently
    struct stat st;
    ASSERT_EQ(stat("new.img", &st), 0);
    EXPECT_EQ((uint64_t)st.st_size, kImageBytes);
    EXPECT_EQ(disk_read_only(), 0);
    disk_close_image();
    ASSERT_TRUE(make_dir("folder.img"));
    EXPECT_EQ(disk_open_image_path("folder.img", 1), FS_FAIL); // not a regular file
    EXPECT_EQ(disk_open_image_path("", 1), FS_FAIL);
    EXPECT_EQ(disk_open_image_path(nullptr, 1), FS_FAIL);
    // A file this process may only read is opened for reading.
    write_file("ro.img", std::string(1024, 'r'));
    ASSERT_EQ(chmod("ro.img", 0444), 0);
#if defined(_WIN32)
    // Wine run by root keeps the read-only attribute as permissions, which
    // root may pass over.
    if (FILE *writable = fopen("ro.img", "rb+")) {
        fclose(writable);
        GTEST_SKIP() << "this process may write read-only files; read-only open not tested";
    }
#else
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root, which may write any file; read-only open not tested";
#endif
    ASSERT_EQ(disk_open_image_path("ro.img", 0), FS_OK);
    EXPECT_EQ(disk_read_only(), 1);
    EXPECT_TRUE(all_bytes(read_raw(1), 'r'));
    EXPECT_EQ(disk_write_sector(filled(0).data(), 0), FS_FAIL);
    EXPECT_EQ(disk_take_error(), FS_FAIL);
    disk_close_image();
    EXPECT_EQ(read_file("ro.img"), std::string(1024, 'r'));
}

} // namespace
