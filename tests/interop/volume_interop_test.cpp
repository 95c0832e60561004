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

// Volumes of many sizes and options: fsck.fat finds nothing at all, mtools
// opens them with its checks on and reports the geometry asked for, and
// mkfs.fat given the same choices makes the same layout.
TEST(FormatVolume, ManySizesAndOptionsReadAsOtherToolsWriteThem) {
    REQUIRE_TOOL("fsck.fat");
    REQUIRE_TOOL("minfo");
    REQUIRE_TOOL("mkfs.fat");
    struct Case {
        uint32_t sectors;
        uint32_t per_cluster; // 0: chosen
        uint32_t root;        // 0: 512
        uint32_t fats;
        uint32_t reserved;
        const char *label;
        uint32_t want_per_cluster;
    };
    const Case cases[] = {
        {4200, 0, 0, 0, 0, nullptr, 1},       // 2 MiB
        {32768, 0, 0, 0, 0, "SD CARD", 4},    // 16 MiB, as mkfs.fat chooses
        {131072, 2, 256, 1, 0, "ONE FAT", 2}, // 64 MiB, one FAT, a small root
        {524288, 0, 1024, 2, 8, nullptr, 8},  // 256 MiB, more reserved sectors
        {2097152, 32, 0, 0, 0, "BIG", 32},    // 1 GiB, 16 KiB clusters
        {4194303, 0, 0, 0, 0, nullptr, 128},  // the largest the library addresses: 64 KiB clusters
    };
    for (const Case &c : cases) {
        std::string context = std::to_string(c.sectors) + " sectors";
        ScratchDir dir;
        make_sparse_file("mine.img", uint64_t{c.sectors} * 512);
        ASSERT_EQ(disk_open_image_path("mine.img", 0), FS_OK);
        FsFormatOptions o{};
        o.total_sectors = c.sectors;
        o.sectors_per_cluster = c.per_cluster;
        o.root_entries = c.root;
        o.fat_count = c.fats;
        o.reserved_sectors = c.reserved;
        o.label = c.label;
        o.volume_id_given = 1;
        o.volume_id = 0x1234ABCD;
        ASSERT_EQ(fs_format_volume(&o), FS_OK) << context;
        ASSERT_EQ(fs_init(), FS_OK) << context;
        EXPECT_EQ(VolumeGeometry.sectors_per_cluster, c.want_per_cluster) << context;
        disk_close_image();

        {
            SCOPED_TRACE(context);
            expect_fsck_silent("mine.img");
        }
        CommandResult info = run_command("minfo -i mine.img ::");
        ASSERT_EQ(info.status, 0) << context << "\n" << info.output;
        EXPECT_EQ(field(info.output, "cluster size: (\\d+) sectors"), std::to_string(c.want_per_cluster))
            << context;
        EXPECT_EQ(field(info.output, "fats: (\\d+)"), std::to_string(c.fats != 0 ? c.fats : 2)) << context;
        EXPECT_EQ(field(info.output, "serial number: ([0-9A-F]+)"), "1234ABCD") << context;
        if (c.label != nullptr) {
            CommandResult label = run_command("mlabel -s -i mine.img ::");
            EXPECT_NE(label.output.find(c.label), std::string::npos) << context << label.output;
        }

        // mkfs.fat with the same choices: the same FAT size and clusters.
        make_sparse_file("theirs.img", uint64_t{c.sectors} * 512);
        std::string options = "-F 16 -s " + std::to_string(c.want_per_cluster) + " -r " +
                              std::to_string(c.root != 0 ? c.root : 512) + " -f " +
                              std::to_string(c.fats != 0 ? c.fats : 2) + " -R " +
                              std::to_string(c.reserved != 0 ? c.reserved : 1) + " -a";
        CommandResult mk = run_command("mkfs.fat " + options + " theirs.img");
        ASSERT_EQ(mk.status, 0) << context << "\n" << mk.output;
        std::string mine = host_sector("mine.img", 0), theirs = host_sector("theirs.img", 0);
        for (int offset : {11, 13, 14, 16, 17, 19, 21, 22, 32}) {
            int width = offset == 13 || offset == 16 || offset == 21 ? 1 : offset == 32 ? 4 : 2;
            EXPECT_EQ(mine.substr(offset, width), theirs.substr(offset, width))
                << context << ": boot sector field at " << offset;
        }
    }
}

} // namespace
