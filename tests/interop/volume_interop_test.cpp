// Volumes formatted here read correctly in other FAT tools, and volumes
// those tools format mount here with the free space they report.
#include <regex>

#include "test_support.h"

using namespace fat16test;

namespace {

const std::string &kMtools = kMtoolsEnv;

std::string field(const std::string &text, const std::string &pattern) {
    std::smatch m;
    std::regex re(pattern);
    if (std::regex_search(text, m, re)) return m[1];
    return "";
}

uint32_t free_space_here() {
    uint32_t capacity = 0, free_space = 0;
    EXPECT_EQ(fs_volume_info('c', &capacity, &free_space), FS_OK);
    EXPECT_EQ(capacity, kImageSectors);
    return free_space;
}

class VolumeInterop : public VolumeTest {};

TEST_F(VolumeInterop, FormattedImagePassesFsckWithOnlyTheBlankLabelNoted) {
    REQUIRE_TOOL("fsck.fat");
    CommandResult r = run_command("fsck.fat -n fat16.img");
    EXPECT_NE(r.output.find("0 files, 0/7542 clusters"), std::string::npos) << r.output;
    EXPECT_EQ(fsck_problems("fat16.img"), "");
}

TEST_F(VolumeInterop, MinfoReportsTheSameGeometry) {
    REQUIRE_TOOL("minfo");
    CommandResult r = run_command(kMtools + "minfo -i fat16.img ::");
    ASSERT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(field(r.output, "sector size: (\\d+) bytes"), "512");
    EXPECT_EQ(field(r.output, "cluster size: (\\d+) sectors"), "64");
    EXPECT_EQ(field(r.output, "reserved \\(boot\\) sectors: (\\d+)"), "1");
    EXPECT_EQ(field(r.output, "fats: (\\d+)"), "2");
    EXPECT_EQ(field(r.output, "max available root directory slots: (\\d+)"), "1024");
    EXPECT_EQ(field(r.output, "sectors per fat: (\\d+)"), "256");
    EXPECT_EQ(field(r.output, "big size: (\\d+) sectors"), "483328");
    EXPECT_EQ(field(r.output, "serial number: ([0-9A-F]+)"), "A88FD2B9");
    CommandResult dir = run_command(kMtools + "mdir -i fat16.img ::");
    EXPECT_NE(dir.output.find("247 136 256 bytes free"), std::string::npos) << dir.output;
}

TEST(ForeignVolume, MkfsFatImageMountsWithItsFreeSpace) {
    REQUIRE_TOOL("mkfs.fat");
    ScratchDir dir;
    make_sparse_file("fat16.img", kImageBytes);
    CommandResult mk = run_command("mkfs.fat -F 16 -s 64 -r 1024 -f 2 fat16.img");
    ASSERT_EQ(mk.status, 0) << mk.output;
    // Leave a used cluster behind so the count is not trivially "all free".
    run_command(kMtools + "mmd -i fat16.img ::/SOMEDIR");
    CommandResult fsck = run_command("fsck.fat -n fat16.img");
    std::string used = field(fsck.output, "(\\d+)/\\d+ clusters");
    std::string total = field(fsck.output, "\\d+/(\\d+) clusters");
    ASSERT_FALSE(total.empty()) << fsck.output;
    ASSERT_EQ(disk_open_image(), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
    EXPECT_EQ(VolumeGeometry.cluster_count, (uint32_t)std::stoul(total));
    EXPECT_EQ(free_space_here(), (std::stoul(total) - std::stoul(used)) * 64);
}

TEST(ForeignVolume, MformatImageMountsWithItsFreeSpace) {
    REQUIRE_TOOL("mformat");
    ScratchDir dir;
    make_sparse_file("fat16.img", kImageBytes);
    CommandResult mk = run_command(kMtools + "mformat -T 483328 -c 64 -r 64 -L 256 -i fat16.img ::");
    ASSERT_EQ(mk.status, 0) << mk.output;
    CommandResult dir_listing = run_command(kMtools + "mdir -i fat16.img ::");
    std::string free_bytes = field(dir_listing.output, "([0-9 ]+) bytes free");
    free_bytes.erase(std::remove(free_bytes.begin(), free_bytes.end(), ' '), free_bytes.end());
    ASSERT_FALSE(free_bytes.empty()) << dir_listing.output;
    ASSERT_EQ(disk_open_image(), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK); // byte 446 of this boot sector is 0x80
    EXPECT_EQ(uint64_t{free_space_here()} * 512, std::stoull(free_bytes));
}

} // namespace
