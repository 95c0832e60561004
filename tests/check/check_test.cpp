// The consistency check: clean on sound volumes, and each kind of damage
// found where it is.
#include "../dir/dir_test_util.h"
#include "../file/file_test_util.h"

using namespace fat16test;

namespace {

class Check : public VolumeTest {
  protected:
    FsCheckReport report;
    // The kinds of problem the check reports, in the order found.
    std::vector<int> kinds() {
        std::vector<int> v;
        check_volume(&report);
        for (uint32_t i = 0; i < report.problem_count && i < FS_CHECK_MAX_PROBLEMS; i++)
            v.push_back(report.problems[i].kind);
        return v;
    }
    uint32_t cluster_of(const char *path, uint8_t kind) {
        DirCursor.search_kind = kind;
        EXPECT_EQ(path_resolve(path), FS_OK) << path;
        return FoundEntry.first_cluster;
    }
    void write_data(const char *path, uint32_t size) {
        ASSERT_EQ(fs_create_file(path), FS_OK);
        uint8_t h = fs_open(path);
        std::vector<uint8_t> data = pattern(size);
        ASSERT_EQ(fs_write(h, data.data(), size), size);
        fs_close(h);
    }
    // Changes one byte of the slot holding `path`'s 8.3 entry.
    void poke_entry(const char *path, uint8_t kind, uint32_t offset, uint8_t value) {
        DirCursor.search_kind = kind;
        ASSERT_EQ(path_resolve(path), FS_OK);
        Sector s = read_raw(FoundEntry.entry_sector);
        s[FoundEntry.entry_offset + offset] = value;
        write_raw(FoundEntry.entry_sector, s);
    }
    // Sets an entry in the first FAT only.
    void set_first_fat(uint32_t cluster, uint32_t value) {
        uint32_t sector = VolumeGeometry.fat1_start + cluster / 256;
        Sector s = read_raw(sector);
        s[(cluster % 256) * 2] = (uint8_t)value;
        s[(cluster % 256) * 2 + 1] = (uint8_t)(value >> 8);
        write_raw(sector, s);
    }
};

using K = std::vector<int>;

TEST_F(Check, SoundVolumeIsCleanAndCounted) {
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    ASSERT_EQ(fs_mkdir("A\\a long directory name"), FS_OK);
    write_data("A\\FILE.BIN", 70000);
    write_data("a long file name.txt", 100);
    ASSERT_EQ(fs_create_file("EMPTY"), FS_OK);
    ASSERT_EQ(check_volume(&report), FS_OK);
    EXPECT_EQ(report.problem_count, 0u);
    EXPECT_EQ(report.directories, 2u);
    EXPECT_EQ(report.files, 3u);
    EXPECT_EQ(report.used_clusters, 2u + 3 + 1);
    EXPECT_EQ(report.free_clusters, 7542u - 6);
    EXPECT_EQ(report.lost_clusters, 0u);
    uint32_t capacity = 0, free_space = 0;
    ASSERT_EQ(fs_volume_info('c', &capacity, &free_space), FS_OK);
    EXPECT_EQ(free_space, report.free_clusters * 64);
}

TEST_F(Check, NeverWrites) {
    write_data("F", 1000);
    poke_entry("F", KIND_FILE, 30, 0x10); // a size of over 1 MiB: something to report
    FsDiskCounters before{}, after{};
    disk_get_counters(&before);
    FsCheckReport r;
    EXPECT_EQ(check_volume(&r), FS_FAIL);
    disk_get_counters(&after);
    EXPECT_EQ(after.writes, before.writes);
    EXPECT_GT(after.reads, before.reads);
}

TEST_F(Check, FatCopiesThatDiffer) {
    write_data("F", 1000);
    set_first_fat(3000, 0xFFFF); // in the first FAT only
    K k = kinds();
    ASSERT_FALSE(k.empty());
    EXPECT_EQ(k[0], FS_PROBLEM_FAT_COPIES_DIFFER);
    EXPECT_EQ(report.problems[0].cluster, 3000u);
    EXPECT_EQ(report.problems[0].count, 1u);
}

TEST_F(Check, ChainsOutOfRangeLoopingSharedOrBadlyEnded) {
    write_data("LOOP", 70000);
    uint32_t loop = cluster_of("LOOP", KIND_FILE);
    set_fat_entry(fat_read_entry(loop), loop); // second cluster back to the first
    EXPECT_EQ(kinds(), (K{FS_PROBLEM_CHAIN_LOOP, FS_PROBLEM_CHAIN_TOO_SHORT, FS_PROBLEM_LOST_CLUSTERS}));
    EXPECT_STREQ(report.problems[0].path, "\\LOOP");
    set_fat_entry(fat_read_entry(loop), fat_read_entry(fat_read_entry(loop)) == loop ? 0xFFFF : 0xFFFF);

    ASSERT_EQ(fs_init(), FS_OK);
    write_data("OTHER", 100);
    uint32_t other = cluster_of("OTHER", KIND_FILE);
    poke_entry("OTHER", KIND_FILE, 26, (uint8_t)loop); // OTHER starts inside LOOP's chain
    poke_entry("OTHER", KIND_FILE, 27, (uint8_t)(loop >> 8));
    K k = kinds();
    EXPECT_NE(std::find(k.begin(), k.end(), FS_PROBLEM_CROSS_LINK), k.end());
    EXPECT_NE(std::find(k.begin(), k.end(), FS_PROBLEM_LOST_CLUSTERS), k.end()); // OTHER's own cluster
    (void)other;
}

TEST_F(Check, BadClusterAndBadEnd) {
    write_data("F", 40000);
    uint32_t f = cluster_of("F", KIND_FILE);
    set_fat_entry(f, 0); // the chain runs into a free entry
    K k = kinds();
    EXPECT_EQ(k[0], FS_PROBLEM_BAD_CHAIN_END);
    set_fat_entry(f, 60000); // past the data area
    k = kinds();
    EXPECT_EQ(k[0], FS_PROBLEM_BAD_CLUSTER);
    EXPECT_EQ(report.problems[0].cluster, 60000u);
}

TEST_F(Check, LostClustersAndSizesThatDoNotFitTheChain) {
    set_fat_entry(500, 0xFFFF);
    set_fat_entry(501, 0xFFFF);
    K k = kinds();
    ASSERT_EQ(k, K{FS_PROBLEM_LOST_CLUSTERS});
    EXPECT_EQ(report.problems[0].count, 2u);
    EXPECT_EQ(report.problems[0].cluster, 500u);
    EXPECT_EQ(report.lost_clusters, 2u);
    set_fat_entry(500, 0);
    set_fat_entry(501, 0);

    write_data("SIZE", 40000);
    poke_entry("SIZE", KIND_FILE, 30, 0x01); // size grows past 64 KiB: two clusters are too few
    EXPECT_EQ(kinds(), K{FS_PROBLEM_CHAIN_TOO_SHORT});
    poke_entry("SIZE", KIND_FILE, 30, 0x00);
    poke_entry("SIZE", KIND_FILE, 29, 0x00); // 40,000 & 0xFF: one byte, two clusters
    EXPECT_EQ(kinds(), K{FS_PROBLEM_CHAIN_TOO_LONG});
    EXPECT_EQ(report.problems[0].count, 1u);
}

TEST_F(Check, DotEntries) {
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    ASSERT_EQ(fs_mkdir("D\\E"), FS_OK);
    uint32_t e = cluster_of("C:\\D\\E", KIND_DIR);
    Sector s = read_raw(cluster_to_sector(e));
    s[32 + 26] = 0; // ".." of E names the root instead of D
    write_raw(cluster_to_sector(e), s);
    K k = kinds();
    ASSERT_EQ(k, K{FS_PROBLEM_DOT_ENTRIES});
    EXPECT_STREQ(report.problems[0].path, "\\D\\E");
}

TEST_F(Check, BrokenLongNameRuns) {
    ASSERT_EQ(fs_create_file("a name of twenty-six chars"), FS_OK); // slots 0..2
    ASSERT_EQ(check_volume(&report), FS_OK);
    Slot alias = root_slot(2);
    alias[0] = 'X'; // the checksum no longer matches
    put_slots(root_sectors(), 2, {alias});
    EXPECT_EQ(kinds(), K{FS_PROBLEM_LONG_NAME});
    alias[0] = 'a';
    put_slots(root_sectors(), 2, {alias});
    Slot second = root_slot(1);
    second[0] = 0x03; // out of order
    put_slots(root_sectors(), 1, {second});
    EXPECT_EQ(kinds(), K{FS_PROBLEM_LONG_NAME});
    second[0] = 0x01;
    put_slots(root_sectors(), 1, {second});
    ASSERT_EQ(check_volume(&report), FS_OK);
    // A run with no alias after it.
    std::vector<Slot> orphan = lfn_slots("orphan long name", "ORPHAN~1   ");
    put_slots(root_sectors(), 3, orphan);
    put_slots(root_sectors(), 3 + (uint32_t)orphan.size(), {[] {
                  Slot s{};
                  s[0] = 0xE5;
                  return s;
              }()});
    EXPECT_EQ(kinds(), K{FS_PROBLEM_LONG_NAME});
}

TEST_F(Check, DuplicateNames) {
    ASSERT_EQ(fs_create_file("SAME.TXT"), FS_OK);
    ASSERT_EQ(fs_create_file("other name.txt"), FS_OK);
    // An 8.3 twin, and a long name equal to another entry's 8.3 name.
    put_slots(root_sectors(), 4, {short_slot("SAME    TXT", ATTR_ARCHIVE)}); // after slots 0..3
    EXPECT_EQ(kinds(), K{FS_PROBLEM_DUPLICATE_NAME});
    Slot gone = root_slot(4);
    gone[0] = 0xE5;
    put_slots(root_sectors(), 4, {gone});
    ASSERT_EQ(check_volume(&report), FS_OK);
    std::vector<Slot> run = lfn_slots("same.txt", "SAME~1  TXT");
    run.push_back(short_slot("SAME~1  TXT", ATTR_ARCHIVE));
    put_slots(root_sectors(), 5, run);
    EXPECT_EQ(kinds(), K{FS_PROBLEM_DUPLICATE_NAME});
}

TEST_F(Check, UnmountedOrBrokenBootSector) {
    Sector s = read_raw(0);
    Sector broken = s;
    broken[12] = 0; // bytes per sector 0
    write_raw(0, broken);
    EXPECT_EQ(kinds(), K{FS_PROBLEM_BOOT_SECTOR});
    write_raw(0, s);
    ASSERT_EQ(fs_mount(1), FS_OK);
    ASSERT_EQ(check_volume(&report), FS_OK);
    broken[510] = 0;
    write_raw(0, broken);
    ASSERT_EQ(fs_mount(2), FS_FAIL);
    EXPECT_EQ(kinds(), K{FS_PROBLEM_BOOT_SECTOR});
    EXPECT_EQ(fs_check(nullptr, nullptr, 0), FS_FAIL);
}

TEST_F(Check, UnreadableSectorsAreReported) {
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    FsDiskFaults faults{0, 0, 0};
    faults.fail_read = 20; // somewhere in the FAT pass
    disk_set_faults(&faults);
    K k = kinds();
    disk_set_faults(nullptr);
    EXPECT_EQ(k, K{FS_PROBLEM_IO});
}

TEST_F(Check, DeepAndCrossLinkedDirectoriesEnd) {
    // A directory that holds itself, and one that holds its grandparent.
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    ASSERT_EQ(fs_mkdir("A\\B"), FS_OK);
    uint32_t a = cluster_of("C:\\A", KIND_DIR), b = cluster_of("C:\\A\\B", KIND_DIR);
    put_slots(cluster_sectors({b}), 2, {short_slot("UP         ", ATTR_DIRECTORY, a)});
    put_slots(cluster_sectors({a}), 3, {short_slot("SELF       ", ATTR_DIRECTORY, a)});
    K k = kinds();
    EXPECT_EQ(std::count(k.begin(), k.end(), (int)FS_PROBLEM_CROSS_LINK), 2);
}

} // namespace
