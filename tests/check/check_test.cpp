// The consistency check: clean on sound volumes, and each kind of damage
// found where it is.
#include <unistd.h>

#include <functional>
#include <set>

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
    EXPECT_STREQ(report.problems[0].path, "\\same.txt");
    put_slots(root_sectors(), 5, {gone, gone});
    ASSERT_EQ(check_volume(&report), FS_OK);
    // Long names are compared whole, as UTF-16 (x\u0101 and x\u0201 share
    // their low bytes only), and without regard to case as lookups compare
    // them (\u00e9 and \u00c9).
    auto unicode_run = [](std::vector<uint16_t> units, const char *alias11) {
        std::vector<Slot> slots(2);
        lfn_fill_units(slots[0].data(), units.data(), (uint32_t)units.size(), 0x41,
                       lfn_checksum((const uint8_t *)alias11));
        slots[1] = short_slot(alias11, ATTR_ARCHIVE);
        return slots;
    };
    put_slots(root_sectors(), 7, unicode_run({'x', 0x0101}, "X_~1       "));
    put_slots(root_sectors(), 9, unicode_run({'x', 0x0201}, "X_~2       "));
    ASSERT_EQ(check_volume(&report), FS_OK);
    put_slots(root_sectors(), 11, unicode_run({0x00E9, '.', 't'}, "E~1     T  "));
    put_slots(root_sectors(), 13, unicode_run({0x00C9, '.', 'T'}, "E~2     T  "));
    EXPECT_EQ(kinds(), K{FS_PROBLEM_DUPLICATE_NAME});
}

TEST_F(Check, DuplicatesAmongThousandsOfNamesAreFoundExactly) {
    // 8,000 names in one directory: the name filter lets hundreds through,
    // and each is cleared or confirmed by comparing the names themselves.
    ASSERT_EQ(fs_mkdir("BIG"), FS_OK);
    std::vector<uint32_t> chain{cluster_of("C:\\BIG", KIND_DIR)};
    Sector buffer{};
    while (chain.size() < 8) {
        uint32_t next = 0;
        ASSERT_EQ(fat_append_cluster(chain.back(), &next, buffer.data()), FS_OK);
        chain.push_back(next);
    }
    const std::vector<uint32_t> sectors = cluster_sectors(chain);
    put_slots(sectors, 2, numbered_slots('N', 0, 8000));
    ASSERT_EQ(check_volume(&report), FS_OK) << report.problem_count;
    EXPECT_EQ(report.files, 8000u);
    // The last entry takes the first one's name; another becomes a long name
    // that is an earlier 8.3 name in small letters.
    put_slots(sectors, 2 + 7999, {short_slot("N0000000   ", ATTR_ARCHIVE)});
    std::vector<Slot> run = lfn_slots("n0001234", "XX~1       ");
    run.push_back(short_slot("XX~1       ", ATTR_ARCHIVE));
    put_slots(sectors, 2 + 5000, run);
    EXPECT_EQ(kinds(), (K{FS_PROBLEM_DUPLICATE_NAME, FS_PROBLEM_DUPLICATE_NAME}));
    std::set<std::string> paths{report.problems[0].path, report.problems[1].path};
    EXPECT_EQ(paths, (std::set<std::string>{"\\BIG\\N0000000", "\\BIG\\n0001234"}));
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

TEST_F(Check, WritesOnlyInsideItsWorkAreaWhateverItsAlignment) {
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    write_data("A\\F", 70000);
    const uint32_t size = fs_check_work_size();
    std::vector<uint8_t> area(size + 16);
    for (uint32_t offset : {0u, 1u, 3u, 7u}) {
        std::fill(area.begin(), area.end(), 0xA5);
        EXPECT_EQ(fs_check(&report, area.data() + offset, size), FS_OK) << offset;
        for (uint32_t i = 0; i < area.size(); i++)
            if (i < offset || i >= offset + size) {
                ASSERT_EQ(area[i], 0xA5) << offset << " " << i;
            }
    }
    // Missing or too small: refused before anything is read.
    EXPECT_EQ(fs_check(&report, area.data(), size - 1), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_INVALID_ARGUMENT);
    EXPECT_EQ(report.problem_count, 0u);
    EXPECT_EQ(fs_check(&report, nullptr, size), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_INVALID_ARGUMENT);
    fs_unmount();
    EXPECT_EQ(fs_check_work_size(), 0u);
    EXPECT_EQ(fs_check(&report, nullptr, 0), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_NOT_MOUNTED);
    EXPECT_EQ(report.problem_count, 1u);
}

// Damage found on copies of sound images: what the check reports, and what
// fsck.fat -n says about the same image (nullptr: fsck.fat says nothing;
// "": it reports something of its own). Names fsck.fat takes for sound
// must pass here too.
TEST_F(Check, DamageOtherToolsFindAndNamesTheyAccept) {
    ASSERT_EQ(fs_mkdir("SUB"), FS_OK);     // root slot 0, cluster 2: ".", ".." and H.TXT
    write_data("SUB\\H.TXT", 3);           // SUB slot 2
    write_data("H.TXT", 3);                // root slot 1
    write_data("a long name file.txt", 6); // root slots 2 and 3, its alias slot 4
    const uint32_t sub = cluster_of("C:\\SUB", KIND_DIR);
    const std::vector<uint32_t> sub_sectors = cluster_sectors({sub});
    ASSERT_EQ(check_volume(&report), FS_OK);
    const uint32_t saved_end = VolumeGeometry.first_data_sector + 4 * VolumeGeometry.sectors_per_cluster;
    std::vector<Sector> saved;
    for (uint32_t s = 0; s < saved_end; s++) saved.push_back(read_raw(s));
    const std::string image = scratch_->path() + "/fat16.img";

    auto set_boot = [](uint32_t offset, uint32_t value, unsigned width) {
        Sector s = read_raw(0);
        le_put(s.data() + offset, value, width);
        write_raw(0, s);
    };
    auto rename_root = [](uint32_t index, const char *name11) {
        Slot s = root_slot(index);
        memcpy(s.data(), name11, 11);
        put_slots(root_sectors(), index, {s});
    };
    auto poke_slot = [](const std::vector<uint32_t> &sectors, uint32_t index, uint32_t offset,
                        uint8_t value) {
        Sector s = read_raw(sectors[index / 16]);
        s[(index % 16) * 32 + offset] = value;
        write_raw(sectors[index / 16], s);
    };
    struct Damage {
        const char *what;
        std::function<void()> apply;
        K kinds;
        const char *fsck;
    };
    const Damage table[] = {
        {"image cut to 1 MiB",
         [] {
             disk_close_image();
             ASSERT_EQ(truncate("fat16.img", 1 << 20), 0);
             ASSERT_EQ(disk_open_image_path("fat16.img", 0), FS_OK);
         },
         {FS_PROBLEM_SHORT_IMAGE},
         "Failed to read sector"},
        {"total past the image's end",
         [&] { set_boot(BPB_TOTAL_SECTORS_32, kImageSectors + 64, 4); },
         {FS_PROBLEM_SHORT_IMAGE},
         "Failed to read sector"},
        {"300 reserved sectors",
         [&] { set_boot(BPB_RESERVED_SECTORS, 300, 2); },
         {FS_PROBLEM_FAT_HEAD, FS_PROBLEM_FAT_HEAD, FS_PROBLEM_FAT_COPIES_DIFFER},
         "FATs appear to be corrupt"},
        {"FAT head without the media byte",
         [] { set_fat_entry(0, 0xFF00); },
         {FS_PROBLEM_FAT_HEAD, FS_PROBLEM_FAT_HEAD},
         "FATs appear to be corrupt"},
        {"16-bit and 32-bit totals disagree",
         [&] { set_boot(BPB_TOTAL_SECTORS_16, 60000, 2); },
         {FS_PROBLEM_BOOT_SECTOR},
         ""},
        {"directory with first cluster 0",
         [&] { poke_slot(root_sectors(), 0, DIR_FIRST_CLUSTER, 0); },
         {FS_PROBLEM_DIR_ENTRY, FS_PROBLEM_LOST_CLUSTERS},
         "Start does point to root directory"},
        {"directory with a size",
         [&] { poke_slot(root_sectors(), 0, DIR_SIZE, 100); },
         {FS_PROBLEM_DIR_ENTRY},
         "Directory has non-zero size"},
        {"'*' in a name",
         [&] { rename_root(1, "H*      TXT"); },
         {FS_PROBLEM_BAD_NAME},
         "Bad short file name"},
        {"'/' in a name",
         [&] { rename_root(1, "H/      TXT"); },
         {FS_PROBLEM_BAD_NAME},
         "Bad short file name"},
        {"'?' in an extension",
         [&] { rename_root(1, "H       T?T"); },
         {FS_PROBLEM_BAD_NAME},
         "Bad short file name"},
        {"'.' in a name",
         [&] { rename_root(1, "H.X     TXT"); },
         {FS_PROBLEM_BAD_NAME},
         "Bad short file name"},
        {"control byte",
         [&] { rename_root(1, "H\x01      TXT"); },
         {FS_PROBLEM_BAD_NAME},
         "Bad short file name"},
        {"0x05 past the first byte",
         [&] { rename_root(1, "H\x05      TXT"); },
         {FS_PROBLEM_BAD_NAME},
         "Bad short file name"},
        {"0x7F", [&] { rename_root(1, "H\x7f      TXT"); }, {FS_PROBLEM_BAD_NAME}, "Bad short file name"},
        {"leading space",
         [&] { rename_root(1, " H      TXT"); },
         {FS_PROBLEM_BAD_NAME},
         "Bad short file name"},
        {"empty name part",
         [&] { rename_root(1, "        TXT"); },
         {FS_PROBLEM_BAD_NAME},
         "Bad short file name"},
        {"bad byte in an alias",
         [&] { rename_root(4, "alon|n~1txt"); },
         {FS_PROBLEM_LONG_NAME, FS_PROBLEM_BAD_NAME},
         "Bad short file name"},
        {"space inside a name", [&] { rename_root(1, "H X     TXT"); }, {}, nullptr},
        {"small letters", [&] { rename_root(1, "h       txt"); }, {}, nullptr},
        {"+ , ; = [ ]", [&] { rename_root(1, "+,;=[]  TXT"); }, {}, nullptr},
        {"0x05 standing for 0xE5", [&] { rename_root(1, "\x05H      TXT"); }, {}, nullptr},
        {"bytes from 0x80 up", [&] { rename_root(1, "H\xe5\x80\xff    TXT"); }, {}, nullptr},
        {"long-name slot with a reserved byte",
         [&] { poke_slot(root_sectors(), 2, LFN_RESERVED, 1); },
         {FS_PROBLEM_LONG_NAME},
         "Reserved field in VFAT long filename slot is not 0"},
        {"long-name slot with a start cluster",
         [&] { poke_slot(root_sectors(), 3, LFN_FIRST_CLUSTER, 5); },
         {FS_PROBLEM_LONG_NAME},
         "Start cluster field in VFAT long filename slot is not 0"},
        {"\".\" without the directory bit",
         [&] { poke_slot(sub_sectors, 0, DIR_ATTR, ATTR_ARCHIVE); },
         {FS_PROBLEM_DOT_ENTRIES},
         "Invalid '.' entry in the first slot"},
        {"\"..\" without the directory bit",
         [&] { poke_slot(sub_sectors, 1, DIR_ATTR, 0); },
         {FS_PROBLEM_DOT_ENTRIES},
         "Invalid '..' entry in the second slot"},
        {"\".\" in the root",
         [&] { put_slots(root_sectors(), 5, {short_slot(".          ", ATTR_DIRECTORY, sub)}); },
         {FS_PROBLEM_DOT_ENTRIES},
         "Bad short file name (.)"},
        {"\"..\" file further down a subdirectory",
         [&] { put_slots(sub_sectors, 3, {short_slot("..         ", ATTR_ARCHIVE)}); },
         {FS_PROBLEM_DOT_ENTRIES},
         "Bad short file name (..)"},
        {"case byte 0x20 on a file",
         [&] { poke_slot(root_sectors(), 1, DIR_CASE, 0x20); },
         {FS_PROBLEM_BAD_NAME},
         "Bad short file name"},
        {"case byte 0x20 on \".\"",
         [&] { poke_slot(sub_sectors, 0, DIR_CASE, 0x20); },
         {FS_PROBLEM_DOT_ENTRIES},
         "Is a dot with no 8.3 name flag set"},
        {"lower-case flags", [&] { poke_slot(root_sectors(), 1, DIR_CASE, 0x18); }, {}, nullptr},
        {"0xFF in the boot sector's label",
         [&] { set_boot(BS_LABEL + 2, 0xFF, 1); },
         {FS_PROBLEM_BAD_LABEL},
         "stored in boot sector is not valid"},
        {"boot sector's label without a label in the root",
         [&] { set_boot(BS_LABEL, 'X', 1); },
         {FS_PROBLEM_LABEL_MISMATCH},
         "but there is no volume label in root directory"},
        {"'*' in the root directory's label",
         [&] { put_slots(root_sectors(), 5, {short_slot("MY*LABEL   ", ATTR_VOLUME_ID)}); },
         {FS_PROBLEM_BAD_LABEL},
         "stored in root directory is not valid"},
        {"root directory's label, none in the boot sector",
         [&] { put_slots(root_sectors(), 5, {short_slot("MYLABEL    ", ATTR_VOLUME_ID)}); },
         {FS_PROBLEM_LABEL_MISMATCH},
         "stored in boot sector and different"},
        {"volume label in a subdirectory",
         [&] { put_slots(sub_sectors, 3, {short_slot("MYLABEL    ", ATTR_VOLUME_ID)}); },
         {FS_PROBLEM_STRAY_LABEL},
         nullptr},
    };
    const bool fsck = have_tool("fsck.fat");
    for (const Damage &d : table) {
        SCOPED_TRACE(d.what);
        d.apply();
        ASSERT_EQ(fs_init(), FS_OK);
        EXPECT_EQ(kinds(), d.kinds);
        if (fsck) {
            std::string said = fsck_problems(image);
            if (d.fsck == nullptr)
                EXPECT_EQ(said, "");
            else
                EXPECT_NE(said.find(d.fsck), std::string::npos) << said;
        }
        disk_close_image();
        ASSERT_EQ(truncate("fat16.img", (off_t)kImageBytes), 0);
        ASSERT_EQ(disk_open_image_path("fat16.img", 0), FS_OK);
        for (uint32_t s = 0; s < saved_end; s++) write_raw(s, saved[s]);
        ASSERT_EQ(fs_init(), FS_OK);
    }
    if (!fsck) GTEST_SKIP() << "fsck.fat is not installed; its findings were not compared";
}

TEST_F(Check, EveryUnreadableSectorIsReportedAndTheCheckGoesOn) {
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    write_data("D\\F", 1000);
    poke_entry("D\\F", KIND_FILE, 30, 0x10); // a size of over 1 MiB: found after the FAT pass
    const uint32_t fat_sectors = (VolumeGeometry.cluster_count + 2 + 255) / 256;
    // One FAT sector that fails once (reads: boot sector, last sector, then
    // the first FAT from its sector 0): reported, and the tree still checked.
    FsDiskFaults faults{3 + 20, 0, 0};
    disk_set_faults(&faults);
    K k = kinds();
    disk_set_faults(nullptr);
    EXPECT_EQ(k, (K{FS_PROBLEM_IO, FS_PROBLEM_CHAIN_TOO_SHORT}));
    EXPECT_EQ(report.problems[0].cluster, VolumeGeometry.fat1_start + 20);
    EXPECT_EQ(report.files, 1u);
    // Every read from the first FAT on fails: each sector of both FAT copies
    // and of the root directory is reported once, in order.
    faults = {3, 0, 1};
    disk_set_faults(&faults);
    k = kinds();
    disk_set_faults(nullptr);
    ASSERT_EQ(report.problem_count, 2 * fat_sectors + VolumeGeometry.root_dir_sectors);
    for (uint32_t i = 0; i < FS_CHECK_MAX_PROBLEMS; i++) {
        EXPECT_EQ(k[i], FS_PROBLEM_IO);
        uint32_t copy = i / fat_sectors;
        EXPECT_EQ(report.problems[i].cluster,
                  VolumeGeometry.fat1_start + copy * VolumeGeometry.sectors_per_fat + i % fat_sectors);
    }
}

TEST_F(Check, EverySectorOfAnUnreadableDirectoryIsReported) {
    // Two directories, the one walked first with its cluster past the end of
    // a shortened image, the other with a damaged file.
    ASSERT_EQ(fs_mkdir("GOOD"), FS_OK);
    ASSERT_EQ(fs_mkdir("LOST"), FS_OK);
    write_data("GOOD\\F", 1000);
    poke_entry("GOOD\\F", KIND_FILE, 30, 0x10);
    uint32_t lost = cluster_of("C:\\LOST", KIND_DIR);
    Slot good = root_slot(0), gone = root_slot(1);
    put_slots(root_sectors(), 0, {gone, good});
    disk_close_image();
    ASSERT_EQ(truncate("fat16.img", (off_t)cluster_to_sector(lost) * 512), 0);
    ASSERT_EQ(disk_open_image_path("fat16.img", 0), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
    K k = kinds();
    const uint32_t per_cluster = VolumeGeometry.sectors_per_cluster;
    ASSERT_EQ(report.problem_count, 1 + per_cluster + 1);
    EXPECT_EQ(k[0], FS_PROBLEM_SHORT_IMAGE);
    for (uint32_t i = 1; i < FS_CHECK_MAX_PROBLEMS; i++) {
        EXPECT_EQ(k[i], FS_PROBLEM_IO);
        EXPECT_EQ(report.problems[i].cluster, cluster_to_sector(lost) + i - 1);
        EXPECT_STREQ(report.problems[i].path, "\\LOST");
    }
    EXPECT_EQ(report.directories, 2u);
    EXPECT_EQ(report.files, 1u); // GOOD was read after LOST
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
