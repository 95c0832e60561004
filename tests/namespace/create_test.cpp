// Creating directories and files: the exact slots written, the name rules,
// duplicates and alias tails, growth and full directories.
#include <set>

#include "../dir/dir_test_util.h"

using namespace fat16test;

namespace {

class Create : public VolumeTest {
  protected:
};

TEST_F(Create, ShortFileTakesOneSlotInCapitals) {
    ASSERT_EQ(fs_create_file("readme.txt"), FS_OK);
    Slot s = root_slot(0);
    EXPECT_EQ(slot_name(s), "README  TXT");
    EXPECT_EQ(s[11], ATTR_ARCHIVE);
    for (int i = 12; i < 32; i++) EXPECT_EQ(s[i], 0) << i;
    EXPECT_EQ(root_slot(1)[0], 0);
    // The cursor rests on the slot just written.
    EXPECT_EQ(DirCursor.sector, 513u);
    EXPECT_EQ(DirCursor.offset, 0u);
    EXPECT_EQ(DirCursor.search_kind, KIND_DIR);
}

TEST_F(Create, NineCharactersTakeALongNameSlotAndAnAlias) {
    ASSERT_EQ(fs_create_file("ninechars"), FS_OK);
    Slot l = root_slot(0);
    EXPECT_EQ(l[0], 0x41);
    EXPECT_EQ(l[11], 0x0F);
    EXPECT_EQ(lfn_text(l), "ninechars");
    Slot a = root_slot(1);
    EXPECT_EQ(slot_name(a), "ninech~1   ");
    EXPECT_EQ(l[13], lfn_checksum(a.data()));
}

TEST_F(Create, DirectoryWithALongName) {
    ASSERT_EQ(fs_mkdir("CREATE_FOLDER_TEST"), FS_OK);
    Slot first = root_slot(0), second = root_slot(1), alias = root_slot(2);
    EXPECT_EQ(first[0], 0x42);
    EXPECT_EQ(lfn_text(first), "_TEST");
    EXPECT_EQ(second[0], 0x01);
    EXPECT_EQ(lfn_text(second), "CREATE_FOLDER");
    EXPECT_EQ(slot_name(alias), "CREATE~1   ");
    EXPECT_EQ(alias[11], ATTR_DIRECTORY);
    EXPECT_EQ(first[13], lfn_checksum(alias.data()));
    EXPECT_EQ(second[13], lfn_checksum(alias.data()));
    uint32_t c = alias[26] | (alias[27] << 8);
    EXPECT_EQ(c, 2u);
    EXPECT_EQ(fat_entry(c), 0xFFFFu);
    // Its first sector holds exactly "." and ".." (the parent is the root: 0).
    Sector s = read_raw(cluster_to_sector(c));
    Slot dot = slot_at(cluster_to_sector(c), 0), dotdot = slot_at(cluster_to_sector(c), 32);
    EXPECT_EQ(slot_name(dot), ".          ");
    EXPECT_EQ(slot_name(dotdot), "..         ");
    EXPECT_EQ(dot[11], ATTR_DIRECTORY);
    EXPECT_EQ(dot[26] | (dot[27] << 8), (int)c);
    EXPECT_EQ(dotdot[26] | (dotdot[27] << 8), 0);
    for (int i = 64; i < 512; i++) ASSERT_EQ(s[i], 0) << i;
}

TEST_F(Create, LongFileNameKeepsItsCase) {
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\D\\created_file.txt"), FS_OK);
    uint32_t d = cluster_of("C:\\D");
    uint32_t sector = cluster_to_sector(d);
    Slot first = slot_at(sector, 64), second = slot_at(sector, 96), alias = slot_at(sector, 128);
    EXPECT_EQ(first[0], 0x42);
    EXPECT_EQ(lfn_text(first), "txt");
    EXPECT_EQ(second[0], 0x01);
    EXPECT_EQ(lfn_text(second), "created_file.");
    EXPECT_EQ(slot_name(alias), "create~1txt");
    EXPECT_EQ(alias[11], ATTR_ARCHIVE);
}

TEST_F(Create, SubdirectoryDotDotNamesItsParent) {
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    ASSERT_EQ(fs_mkdir("D\\E"), FS_OK);
    uint32_t d = cluster_of("C:\\D"), e = cluster_of("C:\\D\\E");
    Slot dotdot = slot_at(cluster_to_sector(e), 32);
    EXPECT_EQ((uint32_t)(dotdot[26] | (dotdot[27] << 8)), d);
}

TEST_F(Create, WhereEachPathFormCreates) {
    ASSERT_EQ(fs_mkdir("C:\\A"), FS_OK);
    ASSERT_EQ(fs_chdir("C:\\A", 0), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\ROOT1"), FS_OK);
    ASSERT_EQ(fs_create_file("\\ROOT2"), FS_OK);
    ASSERT_EQ(fs_create_file("INA"), FS_OK);
    ASSERT_EQ(fs_mkdir("b"), FS_OK);
    ASSERT_EQ(fs_create_file("b\\INB"), FS_OK);
    DirCursor.search_kind = KIND_FILE;
    for (const char *p : {"C:\\ROOT1", "C:\\ROOT2", "C:\\A\\INA", "C:\\A\\B\\INB"})
        EXPECT_EQ(path_resolve(p), FS_OK) << p;
}

TEST_F(Create, ExistingNamesAreRefusedWithNothingWritten) {
    ASSERT_EQ(fs_mkdir("DIR"), FS_OK);
    ASSERT_EQ(fs_create_file("FILE.TXT"), FS_OK);
    ASSERT_EQ(fs_create_file("created_file.txt"), FS_OK);
    uint64_t before = sector_writes();
    EXPECT_EQ(fs_mkdir("DIR"), FS_FAIL);
    EXPECT_EQ(fs_mkdir("dir"), FS_FAIL);
    EXPECT_EQ(fs_create_file("file.txt"), FS_FAIL);
    EXPECT_EQ(fs_create_file("CREATED_FILE.TXT"), FS_FAIL);
    // A file and a directory never share a name, in either order.
    EXPECT_EQ(fs_create_file("DIR"), FS_FAIL);
    EXPECT_EQ(fs_mkdir("FILE"), FS_OK); // "FILE" is not "FILE.TXT"
    EXPECT_EQ(fs_create_file("FILE"), FS_FAIL);
    // Nor does a name clash with another entry's alias.
    EXPECT_EQ(fs_create_file("create~1.txt"), FS_FAIL);
    // Only the one new directory: its cluster, two FAT copies, "." and "..", its slot.
    EXPECT_EQ(sector_writes(), before + 64 + 2 + 1 + 1);
}

TEST_F(Create, SharedPrefixesGetTheLowestFreeTail) {
    std::vector<std::string> names;
    for (int i = 0; i < 12; i++) names.push_back("longname_" + std::to_string(100 + i) + ".txt");
    for (const std::string &n : names) ASSERT_EQ(fs_create_file(n.c_str()), FS_OK) << n;
    std::vector<std::string> aliases;
    for (uint32_t slot = 0; slot < 12 * 3; slot += 3) aliases.push_back(slot_name(root_slot(slot + 2)));
    EXPECT_EQ(aliases[0], "longna~1txt");
    EXPECT_EQ(aliases[8], "longna~9txt");
    EXPECT_EQ(aliases[9], "longn~10txt");
    EXPECT_EQ(aliases[11], "longn~12txt");
    // A freed tail is taken again, the lowest first.
    for (uint32_t slot = 3; slot < 6; slot++) {
        Slot erased = root_slot(slot);
        erased[0] = 0xE5;
        put_slots(root_sectors(), slot, {erased});
    }
    ASSERT_EQ(fs_create_file("longname_other.txt"), FS_OK);
    EXPECT_EQ(slot_name(root_slot(5)), "longna~2txt");
    // Another extension is another family.
    ASSERT_EQ(fs_create_file("longname_100.dat"), FS_OK);
    DirCursor.search_kind = KIND_FILE;
    ASSERT_EQ(path_resolve("longname_100.dat"), FS_OK);
    EXPECT_EQ(slot_name(slot_at(FoundEntry.entry_sector, FoundEntry.entry_offset)), "longna~1dat");
}

TEST_F(Create, ThousandLongNamesInOneDirectoryHaveDistinctAliases) {
    ASSERT_EQ(fs_mkdir("OK"), FS_OK);
    for (int i = 0; i < 1000; i++) {
        std::string name = "C:\\OK\\" + std::string(20, 'z') + std::to_string(1000 + i) + ".rar";
        ASSERT_EQ(fs_create_file(name.c_str()), FS_OK) << i;
    }
    std::set<std::string> aliases;
    std::set<std::string> longs;
    dir_cursor_start(cluster_of("C:\\OK"));
    char name[256], ext[20];
    while (dir_read_entry(name, ext, 1) == FS_OK) {
        const uint8_t *e = dir_last_short_entry();
        aliases.insert(std::string(e, e + 11));
        longs.insert(dir_last_long_name());
    }
    EXPECT_EQ(aliases.size(), 1002u); // with "." and ".."
    EXPECT_EQ(longs.size(), 1001u);   // "" for the two dot entries
    EXPECT_EQ(aliases.count("zzzz~999rar"), 1u);
    EXPECT_EQ(aliases.count("zzz~1000rar"), 1u);
}

TEST_F(Create, NamesThatCouldNotBeNamedAgainAreRefused) {
    ASSERT_EQ(fs_mkdir("DIR"), FS_OK);
    uint64_t before = sector_writes();
    const char *refused_files[] = {"C:\\DIR\\",
                                   "bad\x01name",
                                   "tab\tname",
                                   "q?.txt",
                                   "star*",
                                   "pipe|x",
                                   "lt<",
                                   "gt>",
                                   "quote\"",
                                   "del\x7f",
                                   "ff\xff",
                                   "\xe5name",
                                   "colon:x",
                                   ".",
                                   "..",
                                   "...",
                                   "  ",
                                   "\xc3(",
                                   "\xed\xa0\x80 surrogate",
                                   "\xf4\x90\x80\x80 past U+10FFFF",
                                   "\xc0\xaf overlong"};
    for (const char *p : refused_files) EXPECT_EQ(fs_create_file(p), FS_FAIL) << p;
    EXPECT_EQ(fs_mkdir("C:\\DIR\\"), FS_FAIL);
    EXPECT_EQ(fs_mkdir(".. "), FS_FAIL);
    // At most 255 UTF-16 units: 256 letters, or 128 characters beyond
    // U+FFFF (two units each), are too many.
    EXPECT_EQ(fs_create_file(std::string(256, 'n').c_str()), FS_FAIL);
    std::string pairs;
    for (int i = 0; i < 128; i++) pairs += "\xF0\x9F\x98\x80"; // U+1F600
    EXPECT_EQ(fs_create_file(pairs.c_str()), FS_FAIL);
    EXPECT_EQ(fs_create_file(""), FS_FAIL);
    EXPECT_EQ(fs_create_file(nullptr), FS_FAIL);
    EXPECT_EQ(fs_create_file("C:\\"), FS_FAIL);
    EXPECT_EQ(fs_create_file("\\"), FS_FAIL);
    EXPECT_EQ(sector_writes(), before);
}

TEST_F(Create, NamesWithSpacesOrSpecialCharactersBecomeLongNames) {
    ASSERT_EQ(fs_create_file("my file.txt"), FS_OK);
    EXPECT_EQ(lfn_text(root_slot(0)), "my file.txt");
    EXPECT_EQ(slot_name(root_slot(1)), "myfile~1txt");
    ASSERT_EQ(fs_create_file("a+b;c.d"), FS_OK);
    EXPECT_EQ(lfn_text(root_slot(2)), "a+b;c.d");
    EXPECT_EQ(slot_name(root_slot(3)), "a_b_c   d  ");
    // Both are found again by their names.
    DirCursor.search_kind = KIND_FILE;
    EXPECT_EQ(path_resolve("MY FILE.TXT"), FS_OK);
    EXPECT_EQ(path_resolve("a+b;c.d"), FS_OK);
    // A plain name that takes the short alias of "a+b;c.d" gets a tail.
    ASSERT_EQ(fs_create_file("a=b,c.d"), FS_OK);
    EXPECT_EQ(slot_name(root_slot(5)), "a_b_c~1 d  ");
}

TEST_F(Create, TrailingDotMeansNoExtension) {
    ASSERT_EQ(fs_create_file("name."), FS_OK);
    EXPECT_EQ(slot_name(root_slot(0)), "NAME       ");
    EXPECT_EQ(fs_create_file("NAME"), FS_FAIL);
}

TEST_F(Create, LongestNameRoundTrips) {
    std::string name(251, 'L');
    name += ".txt";
    ASSERT_EQ(fs_create_file(name.c_str()), FS_OK);
    EXPECT_EQ(root_slot(0)[0], 0x40 | 20);
    DirCursor.search_kind = KIND_FILE;
    EXPECT_EQ(path_resolve(("\\" + name).c_str()), FS_OK);
    dir_cursor_start(0);
    char n[256], e[20];
    ASSERT_EQ(dir_read_entry(n, e, 1), FS_OK);
    EXPECT_EQ(std::string(dir_last_long_name()), name);
}

TEST_F(Create, RunsContinueIntoANewClusterFromTheOldOne) {
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    uint32_t d = cluster_of("C:\\D");
    // Fill the cluster but its last two slots ("." and ".." take the first two).
    std::vector<Slot> slots = numbered_slots('F', 0, 1024 - 2 - 2);
    put_slots(cluster_sectors({d}), 2, slots);
    // A name of 30 characters takes 4 slots: 2 in the old cluster, 2 in a new one.
    ASSERT_EQ(fs_create_file("C:\\D\\abcdefghijklmnopqrstuvwxyz0123"), FS_OK);
    uint32_t added = fat_read_entry(d);
    ASSERT_TRUE(fat_cluster_valid(added));
    EXPECT_EQ(fat_read_entry(added), 0xFFFFu);
    uint32_t last = cluster_to_sector(d) + 63;
    EXPECT_EQ(slot_at(last, 448)[0], 0x43);
    EXPECT_EQ(slot_at(last, 480)[0], 0x02);
    EXPECT_EQ(slot_at(cluster_to_sector(added), 0)[0], 0x01);
    EXPECT_EQ(slot_name(slot_at(cluster_to_sector(added), 32)), "abcdef~1   ");
    DirCursor.search_kind = KIND_FILE;
    EXPECT_EQ(path_resolve("C:\\D\\ABCDEFGHIJKLMNOPQRSTUVWXYZ0123"), FS_OK);
}

TEST_F(Create, SubdirectoryGrowsPastItsFirstCluster) {
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    ASSERT_EQ(fs_chdir("D", 0), FS_OK);
    for (int i = 0; i < 1023; i++) {
        char n[12];
        snprintf(n, sizeof n, "F%d", i);
        ASSERT_EQ(fs_create_file(n), FS_OK) << i;
    }
    uint32_t d = cluster_of("C:\\D");
    EXPECT_TRUE(fat_cluster_valid(fat_read_entry(d)));
    DirCursor.search_kind = KIND_FILE;
    EXPECT_EQ(path_resolve("F1022"), FS_OK);
    EXPECT_EQ(FoundEntry.entry_sector, cluster_to_sector(fat_read_entry(d)));
}

TEST_F(Create, FullRootRefusesEveryCreationAndKeepsItsClusters) {
    std::vector<Slot> slots = numbered_slots('F', 0, 1024);
    put_slots(root_sectors(), 0, slots);
    uint32_t free_before = free_sectors();
    EXPECT_EQ(fs_create_file("NEW"), FS_FAIL);
    EXPECT_EQ(fs_create_file("a long new name.txt"), FS_FAIL);
    EXPECT_EQ(fs_mkdir("NEWDIR"), FS_FAIL);
    EXPECT_EQ(free_sectors(), free_before); // the new directory's cluster was given back
}

TEST_F(Create, FreedSlotsAreReusedWhenTheRunFits) {
    ASSERT_EQ(fs_create_file("A"), FS_OK);
    ASSERT_EQ(fs_create_file("B"), FS_OK);
    ASSERT_EQ(fs_create_file("C"), FS_OK);
    Slot erased = root_slot(1);
    erased[0] = 0xE5;
    put_slots(root_sectors(), 1, {erased});
    // Two slots do not fit in the one free slot: the name goes after C.
    ASSERT_EQ(fs_create_file("ninechars"), FS_OK);
    EXPECT_EQ(root_slot(1)[0], 0xE5);
    EXPECT_EQ(root_slot(3)[0], 0x41);
    // One slot does.
    ASSERT_EQ(fs_create_file("D"), FS_OK);
    EXPECT_EQ(slot_name(root_slot(1)), "D          ");
}

TEST_F(Create, EntriesOfRunsAcrossSectorBoundariesReadBack) {
    // Fifteen one-slot files, then a name of three slots over sectors 513 and 514.
    for (int i = 0; i < 15; i++) ASSERT_EQ(fs_create_file(("F" + std::to_string(i)).c_str()), FS_OK);
    ASSERT_EQ(fs_create_file("twenty-six-characters-long"), FS_OK);
    EXPECT_EQ(slot_at(513, 480)[0], 0x42);
    EXPECT_EQ(slot_at(514, 0)[0], 0x01);
    EXPECT_EQ(slot_name(slot_at(514, 32)), "twenty~1   ");
    DirCursor.search_kind = KIND_FILE;
    EXPECT_EQ(path_resolve("TWENTY-SIX-CHARACTERS-LONG"), FS_OK);
}

} // namespace
