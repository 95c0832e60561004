// Format, mount, the volume report and the byte-string routines.
#include <cstring>

#include "test_support.h"

using namespace fat16test;

namespace {

// Sector 0 as the formatter writes it for `total` sectors.
Sector expected_boot_sector(uint32_t total) {
    Sector s{};
    const uint8_t head[] = {0xEB, 0x3C, 0x90, 'v',  'e',  'l',  'm',  'a',  'r',  'o',  'd',  0x00,
                            0x02, 0x40, 0x01, 0x00, 0x02, 0x00, 0x04, 0x00, 0x00, 0xF8, 0x00, 0x01};
    memcpy(s.data(), head, sizeof head);
    s[32] = (uint8_t)total;
    s[33] = (uint8_t)(total >> 8);
    s[34] = (uint8_t)(total >> 16);
    s[35] = (uint8_t)(total >> 24);
    s[38] = 0x29;
    s[39] = 0xB9;
    s[40] = 0xD2;
    s[41] = 0x8F;
    s[42] = 0xA8;
    memset(s.data() + 43, ' ', 11);
    memcpy(s.data() + 54, "FAT16   ", 8);
    memset(s.data() + 62, ' ', 448);
    s[510] = 0x55;
    s[511] = 0xAA;
    return s;
}

class Format : public VolumeTest {};

TEST_F(Format, BootSectorIsByteForByteTheTemplate) {
    Sector s = read_raw(0);
    EXPECT_EQ(s, expected_boot_sector(kImageSectors));
    for (int i = 24; i < 32; i++) EXPECT_EQ(s[i], 0) << i;
    EXPECT_EQ(s[446], 0x20);
    EXPECT_EQ(s[450], 0x20);
}

TEST_F(Format, FatHeadsAndClearedSystemArea) {
    for (uint32_t head : {1u, 257u}) {
        Sector s = read_raw(head);
        EXPECT_EQ(s[0], 0xF8);
        EXPECT_EQ(s[1], 0xFF);
        EXPECT_EQ(s[2], 0xFF);
        EXPECT_EQ(s[3], 0xFF);
        for (int i = 4; i < 512; i++) ASSERT_EQ(s[i], 0) << "sector " << head << " byte " << i;
    }
    for (uint32_t n = 2; n < 10000; n++) {
        if (n == 257) continue;
        ASSERT_TRUE(all_bytes(read_raw(n), 0)) << "sector " << n;
    }
}

TEST(FormatOnly, LeavesSector10000AndGeometryAlone) {
    ScratchDir dir;
    make_sparse_file("fat16.img", kImageBytes);
    ASSERT_EQ(disk_open_image(), FS_OK);
    ASSERT_EQ(fs_init(), FS_FAIL); // blank image: nothing to mount
    write_raw(10000, filled(0xAB));
    write_raw(500, filled(0xCD));
    VolumeGeometryRecord before = VolumeGeometry;
    ASSERT_EQ(fs_format_if_blank(0, 6, kImageSectors), FS_OK);
    EXPECT_TRUE(all_bytes(read_raw(10000), 0xAB));
    EXPECT_TRUE(all_bytes(read_raw(500), 0));
    EXPECT_EQ(memcmp(&before, &VolumeGeometry, sizeof before), 0);
}

TEST(FormatOnly, SignedOrUnsupportedImagesAreLeftAlone) {
    ScratchDir dir;
    make_sparse_file("fat16.img", kImageBytes);
    ASSERT_EQ(disk_open_image(), FS_OK);
    // Another type than FAT16 writes nothing.
    EXPECT_EQ(fs_format_if_blank(0, 4, kImageSectors), FS_OK);
    EXPECT_TRUE(all_bytes(read_raw(0), 0));
    // A signature is enough to count as formatted, whatever else sector 0 holds.
    Sector garbage = filled(0x3C);
    garbage[510] = 0x55;
    garbage[511] = 0xAA;
    write_raw(0, garbage);
    write_raw(1, filled(0x3D));
    EXPECT_EQ(fs_format_if_blank(0, 6, kImageSectors), FS_OK);
    EXPECT_EQ(read_raw(0), garbage);
    EXPECT_TRUE(all_bytes(read_raw(1), 0x3D));
}

TEST(FormatOnly, StoresAnyTotalWithTheFixedLayout) {
    ScratchDir dir;
    make_sparse_file("fat16.img", 100000ull * 512);
    ASSERT_EQ(disk_open_image(), FS_OK);
    ASSERT_EQ(fs_format_if_blank(0, 6, 100000), FS_OK);
    EXPECT_EQ(read_raw(0), expected_boot_sector(100000));
    ASSERT_EQ(fs_init(), FS_OK);
    EXPECT_EQ(VolumeGeometry.total_sectors, 100000u);
    EXPECT_EQ(VolumeGeometry.cluster_count, (100000u - 577) / 64);
}

// Formatting writes inside the volume only: nothing in front of it, nothing
// after it, and a size its layout does not fit writes nothing at all.
TEST(FormatOnly, WritesOnlyInsideTheVolume) {
    const uint32_t kTail = 16; // sectors after the volume, as of a next partition
    enum How { IF_BLANK, AT, VOLUME };
    struct Case {
        uint32_t first;
        uint32_t total;
        How how;
        bool formats;
    };
    uint32_t min_at = 0, max_at = 0;
    fs_format_at_limits(&min_at, &max_at);
    EXPECT_EQ(min_at, 577u + 4085 * 64);
    EXPECT_EQ(max_at, 577u + 65525 * 64 - 1);
    const Case cases[] = {
        {0, 641, IF_BLANK, true},      // one cluster: the smallest the fixed layout fits
        {0, 5000, IF_BLANK, true},     // fewer sectors than the 9,999 the formatter clears
        {0, 640, IF_BLANK, false},     // not one whole cluster
        {0, 300, IF_BLANK, false},     // not even the FATs
        {2048, min_at, AT, true},      // a partition of the smallest FAT16 size
        {2048, min_at - 1, AT, false}, // one sector short of 4,085 clusters
        {63, 4200, VOLUME, true},      // 2 MiB: single-sector clusters
        {63, 4100, VOLUME, false},     // too few clusters even of one sector
        {2048, 40000, VOLUME, true},   // a small partition with a label
    };
    for (const Case &c : cases) {
        std::string context = std::to_string(c.first) + "+" + std::to_string(c.total);
        std::vector<uint8_t> image((size_t)(c.first + c.total + kTail) * 512, 0xA5);
        if (c.how == IF_BLANK) memset(image.data(), 0, 512); // blank sector 0
        ASSERT_EQ(disk_open_memory(image.data(), (uint32_t)image.size()), FS_OK);
        FsFormatOptions options{};
        options.first_sector = c.first;
        options.total_sectors = c.total;
        options.label = "Card";
        FsStatus status = c.how == IF_BLANK ? fs_format_if_blank(0, 6, c.total)
                          : c.how == AT     ? fs_format_at(c.first, c.total)
                                            : fs_format_volume(&options);
        EXPECT_EQ(status, c.formats ? FS_OK : FS_FAIL) << context;
        if (!c.formats) {
            EXPECT_EQ(fs_last_error(), FS_ERR_VOLUME_SIZE) << context;
        }
        size_t begin = (size_t)c.first * 512, end = (size_t)(c.first + c.total) * 512;
        for (size_t i = c.how == IF_BLANK ? 512 : 0; i < image.size(); i++) {
            bool inside = i >= begin && i < end;
            if (!c.formats || !inside) {
                ASSERT_EQ(image[i], 0xA5) << context << ": byte " << i;
            }
        }
        if (c.formats && c.first != 0) {
            ASSERT_EQ(fs_mount_at(0, c.first, c.total), FS_OK) << context;
            char label[FS_LABEL_SIZE];
            if (c.how == VOLUME) {
                EXPECT_EQ(fs_get_label(label), FS_OK);
                EXPECT_STREQ(label, "CARD") << context;
            }
            ASSERT_EQ(fs_mkdir("C:\\Inside"), FS_OK) << context;
        }
        disk_close_image();
    }
}

TEST(FormatOnly, ShortImageIsNeitherFormattedNorMounted) {
    ScratchDir dir;
    write_file("fat16.img", std::string(300, '\0'));
    ASSERT_EQ(disk_open_image(), FS_OK);
    EXPECT_EQ(fs_format_if_blank(0, 6, kImageSectors), FS_OK);
    EXPECT_EQ(read_file("fat16.img"), std::string(300, '\0'));
    VolumeGeometry.drive_letter = 'Q';
    EXPECT_EQ(fs_mount(0), FS_FAIL);
    EXPECT_EQ(VolumeGeometry.drive_letter, 'Q');
}

class Mount : public VolumeTest {};

TEST_F(Mount, DerivesTheLayout) {
    const VolumeGeometryRecord &g = VolumeGeometry;
    EXPECT_EQ(g.drive_letter, 'C');
    EXPECT_EQ(g.fs_type, 6);
    EXPECT_EQ(g.total_sectors, kImageSectors);
    EXPECT_EQ(g.root_dir_sectors, 64u);
    EXPECT_EQ(g.first_data_sector, 577u);
    EXPECT_EQ(g.root_dir_start, 513u);
    EXPECT_EQ(g.data_sectors, 482751u);
    EXPECT_EQ(g.cluster_count, 7542u);
    EXPECT_EQ(g.fat1_start, 1u);
    EXPECT_EQ(g.fat2_start, 257u);
    EXPECT_EQ(g.bytes_per_sector, 512u);
    EXPECT_EQ(g.sectors_per_cluster, 64);
    EXPECT_EQ(g.reserved_sectors, 1u);
    EXPECT_EQ(g.fat_count, 2);
    EXPECT_EQ(g.root_entry_count, 1024u);
    EXPECT_EQ(g.total_sectors_16, 0xFFFFu);
    EXPECT_EQ(g.media, 0xF8);
    EXPECT_EQ(g.sectors_per_fat, 256u);
    EXPECT_EQ(std::string(CurrentDir.path), "C:\\");
    EXPECT_EQ(CurrentDir.in_subdir, 0);
}

TEST_F(Mount, SameIndexTwiceReadsSectorZeroOnce) {
    disk_reset_counters();
    EXPECT_EQ(fs_mount(0), FS_OK);
    EXPECT_EQ(fs_mount(0), FS_OK);
    FsDiskCounters c{};
    disk_get_counters(&c);
    EXPECT_EQ(c.reads, 0u);
    EXPECT_EQ(fs_mount(1), FS_OK); // another letter reads sector 0 again
    disk_get_counters(&c);
    EXPECT_EQ(c.reads, 1u);
    EXPECT_EQ(VolumeGeometry.drive_letter, 'D');
}

TEST_F(Mount, IndexesBelowCNeverTakeTheShortcut) {
    disk_reset_counters();
    EXPECT_EQ(fs_mount(254), FS_OK);
    EXPECT_EQ(VolumeGeometry.drive_letter, 'A');
    EXPECT_EQ(fs_mount(254), FS_OK);
    EXPECT_EQ(fs_mount(255), FS_OK);
    EXPECT_EQ(VolumeGeometry.drive_letter, 'B');
    FsDiskCounters c{};
    disk_get_counters(&c);
    EXPECT_EQ(c.reads, 3u);
}

TEST_F(Mount, PartitionTableIsRefusedWithNothingChanged) {
    Sector mbr{};
    mbr[446] = 0x80;
    mbr[450] = 0x06;
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    write_raw(0, mbr);
    EXPECT_EQ(fs_mount(1), FS_FAIL);
    EXPECT_EQ(VolumeGeometry.drive_letter, 'C'); // the earlier mount stands
    EXPECT_EQ(fs_mount(0), FS_OK);
    mbr[446] = 0x00;
    write_raw(0, mbr);
    EXPECT_EQ(fs_mount(2), FS_FAIL);
    EXPECT_EQ(VolumeGeometry.drive_letter, 'C');
}

TEST_F(Mount, BootSectorOfOtherToolsMountsWhateverByte446Holds) {
    Sector s = read_raw(0);
    for (uint8_t v : {0x00, 0x80}) {
        s[446] = v;
        write_raw(0, s);
        EXPECT_EQ(fs_mount(1), FS_OK) << (int)v;
        EXPECT_EQ(fs_mount(0), FS_OK);
    }
    // The same with a near jump (E9) instead of a short one.
    s[0] = 0xE9;
    s[2] = 0x00;
    write_raw(0, s);
    EXPECT_EQ(fs_mount(1), FS_OK);
}

TEST_F(Mount, FailedSignatureLeavesNoVolumeMounted) {
    Sector s = read_raw(0);
    Sector broken = s;
    broken[511] = 0x00;
    broken[450] = 0x06;
    write_raw(0, broken);
    EXPECT_EQ(fs_mount(1), FS_FAIL);
    EXPECT_EQ(VolumeGeometry.drive_letter, 'D');
    EXPECT_EQ(VolumeGeometry.fs_type, 6);
    EXPECT_EQ(fs_is_mounted(), 0);
    // The shortcut does not stand for a failed mount: sector 0 is read again.
    disk_reset_counters();
    EXPECT_EQ(fs_mount(1), FS_FAIL);
    FsDiskCounters c{};
    disk_get_counters(&c);
    EXPECT_EQ(c.reads, 1u);
    // Nothing that needs a volume works, and nothing is written.
    uint32_t capacity = 1, free_space = 1;
    disk_reset_counters();
    EXPECT_EQ(fs_volume_info('d', &capacity, &free_space), FS_FAIL);
    EXPECT_EQ(capacity, 0u);
    EXPECT_EQ(free_space, 0u);
    uint32_t cluster = 0;
    Sector buf{};
    EXPECT_EQ(fat_alloc_cluster(&cluster, buf.data()), FS_FAIL);
    disk_get_counters(&c);
    EXPECT_EQ(c.writes, 0u);
    // Once sector 0 is sound again the next mount succeeds.
    write_raw(0, s);
    EXPECT_EQ(fs_mount(1), FS_OK);
    EXPECT_EQ(fs_is_mounted(), 1);
}

struct BpbCase {
    const char *what;
    uint32_t offset;
    uint32_t width;
    uint32_t value;
};

TEST_F(Mount, RefusesBootSectorsTheLibraryCannotWorkWith) {
    const BpbCase cases[] = {
        {"bytes per sector 1024", 11, 2, 1024},
        {"bytes per sector 0", 11, 2, 0},
        {"no sectors per cluster", 13, 1, 0},
        {"sectors per cluster not a power of two", 13, 1, 3},
        {"no reserved sector", 14, 2, 0},
        {"no FAT copy", 16, 1, 0},
        {"no root entries", 17, 2, 0},
        {"no sectors per FAT", 22, 2, 0},
        {"FAT too small for the clusters", 22, 2, 20},
        {"data area past the total", 32, 4, 577},
        {"total too large", 32, 4, 4194305},
        {"too many clusters", 13, 1, 1}, // 482,751 one-sector clusters
    };
    const Sector good = read_raw(0);
    for (const BpbCase &c : cases) {
        Sector s = good;
        for (uint32_t i = 0; i < c.width; i++) s[c.offset + i] = (uint8_t)(c.value >> (8 * i));
        write_raw(0, s);
        EXPECT_EQ(fs_mount(1), FS_FAIL) << c.what;
        EXPECT_EQ(fs_is_mounted(), 0) << c.what;
        write_raw(0, good);
        ASSERT_EQ(fs_mount(0), FS_OK) << c.what;
    }
}

TEST_F(Mount, SixteenBitTotalIsUsedWhenTheWideOneIsZero) {
    Sector s = read_raw(0);
    s[32] = s[33] = s[34] = s[35] = 0;
    s[19] = 0x40; // 40,000 sectors
    s[20] = 0x9C;
    write_raw(0, s);
    ASSERT_EQ(fs_mount(1), FS_OK);
    EXPECT_EQ(VolumeGeometry.total_sectors, 40000u);
    EXPECT_EQ(VolumeGeometry.cluster_count, (40000u - 577) / 64);
}

TEST_F(Mount, ComputeGeometryNeverDividesByZero) {
    VolumeGeometryRecord saved = VolumeGeometry;
    memset(&VolumeGeometry, 0, sizeof VolumeGeometry);
    fs_compute_geometry();
    EXPECT_EQ(VolumeGeometry.cluster_count, 0u);
    EXPECT_EQ(VolumeGeometry.root_dir_sectors, 0u);
    VolumeGeometry = saved;
}

class VolumeInfo : public VolumeTest {};

TEST_F(VolumeInfo, ReportsCapacityAndFreeSectors) {
    uint32_t capacity = 0, free_space = 0;
    EXPECT_EQ(fs_volume_info('c', &capacity, &free_space), FS_OK);
    EXPECT_EQ(capacity, 483328u);
    EXPECT_EQ(free_space, 482688u);
    // Every letter C to F names the same image and stays mounted.
    EXPECT_EQ(fs_volume_info('d', &capacity, &free_space), FS_OK);
    EXPECT_EQ(capacity, 483328u);
    EXPECT_EQ(free_space, 482688u);
    EXPECT_EQ(VolumeGeometry.drive_letter, 'D');
    EXPECT_EQ(fs_volume_info('F', &capacity, &free_space), FS_OK);
    // A used cluster is not free.
    set_fat_entry(100, 0xFFFF);
    EXPECT_EQ(fs_volume_info('C', &capacity, &free_space), FS_OK);
    EXPECT_EQ(free_space, 482688u - 64);
}

TEST_F(VolumeInfo, OtherLettersFailWithoutTouchingOutputs) {
    for (char letter : {'g', 'B', 'a', 'G', '\0', 'z'}) {
        uint32_t capacity = 7, free_space = 9;
        EXPECT_EQ(fs_volume_info(letter, &capacity, &free_space), FS_FAIL) << letter;
        EXPECT_EQ(capacity, 7u);
        EXPECT_EQ(free_space, 9u);
    }
    EXPECT_EQ(VolumeGeometry.drive_letter, 'C');
}

TEST(Strings, CopyLengthUpperAppend) {
    char buf[16];
    memset(buf, 'x', sizeof buf);
    EXPECT_EQ(str_copy("", buf), FS_OK);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'x'); // a single NUL, nothing more
    str_copy("aBz{", buf);
    EXPECT_EQ(str_len(buf), 4u);
    EXPECT_EQ(str_upper(buf), FS_OK);
    EXPECT_STREQ(buf, "ABZ{");
    EXPECT_EQ(str_append(buf, "\\q"), FS_OK);
    EXPECT_STREQ(buf, "ABZ{\\q");
    char high[] = {(char)0xE1, 'a', 0};
    str_upper(high);
    EXPECT_EQ((uint8_t)high[0], 0xE1); // only ASCII letters change
    EXPECT_EQ(high[1], 'A');
}

} // namespace
