// Creating directories and files: the exact slots written, the name rules,
// duplicates and alias tails, growth and full directories.
#include <set>

#include "../dir/dir_test_util.h"
#include "../file/file_test_util.h"

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
        longs.insert(last_long_name());
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
    EXPECT_EQ(last_long_name(), name);
}

TEST_F(Create, RunsContinueIntoANewClusterFromTheOldOne) {
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    uint32_t d = cluster_of("C:\\D");
    // Fill the cluster but its last two slots ("." and ".." take the first two).
    std::vector<Slot> slots = numbered_slots('F', 0, 1024 - 2 - 2);
    put_slots(cluster_sectors({d}), 2, slots);
    // A name of 30 characters takes 4 slots: 2 in the old cluster, 2 in a new one.
    disk_reset_counters();
    ASSERT_EQ(fs_create_file("C:\\D\\abcdefghijklmnopqrstuvwxyz0123"), FS_OK);
#if FS_WINDOW_SECTORS > 0
    // One reading of the directory checks the name and finds the room: its
    // 64 sectors once each, and a few of the root and the FAT.
    FsDiskCounters counters{};
    disk_get_counters(&counters);
    EXPECT_LE(counters.reads, 64u + 5u);
#endif
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
    // A listing gives the name whole from the one reading of the root: its
    // run's first sector is not read again for it.
    disk_invalidate();
    disk_reset_counters();
    FsEntry e;
    std::string last;
    for (uint8_t more = 0; fs_list_entries("C:\\", more, &e) == FS_OK; more = 1) last = e.name;
    EXPECT_EQ(last, "twenty-six-characters-long");
#if FS_WINDOW_SECTORS > 0
    FsDiskCounters counters{};
    disk_get_counters(&counters);
    EXPECT_EQ(counters.reads, 2u); // root sectors 513 and 514
#endif
}

} // namespace

namespace {

// The 8.3 slot of the entry `path` names, and its long name as UTF-8.
struct Stored {
    std::string short11;
    uint8_t case_flags;
    std::string long_name;
};
Stored stored(const char *path) {
    FsEntry e;
    EXPECT_EQ(fs_stat(path, &e), FS_OK) << path;
    Slot s = slot_at(FoundEntry.entry_sector, FoundEntry.entry_offset);
    return {std::string(s.begin(), s.begin() + 11), s[DIR_CASE], last_long_name()};
}

// Every name a long-name entry can hold is stored as other systems store
// it and found again by its whole name, in any case, and by its alias.
TEST_F(Create, NamesAreStoredAsGivenAndFoundByWholeNameOrAlias) {
    // 290 bytes of UTF-8 in 130 units: more than the reader's 256-byte name
    // area, so the whole name comes from its slots read again.
    std::string wide, wide_capitals;
    for (int i = 0; i < 100; i++) wide += "\xC3\xA9", wide_capitals += "\xC3\x89";
    for (int i = 0; i < 30; i++) wide += "\xE6\x97\xA5", wide_capitals += "\xE6\x97\xA5";
    const struct {
        const char *name;
        bool keep_case;
        bool dir;
        const char *short11; // the 8.3 entry or alias as stored
        uint8_t flags;
        const char *long_name; // "" for a plain 8.3 entry
        const char *other_case;
    } cases[] = {
        {"a.txt", true, false, "A       TXT", 0x18, "", "A.TXT"},
        {"a.txt", false, false, "A       TXT", 0x00, "", "a.TXT"}, // without kept case: capitals
        {"readme.TXT", true, false, "README  TXT", 0x08, "", "README.txt"},
        {"Docs", true, true, "DOCS       ", 0x00, "Docs", "DOCS"},
        {"AbCdEfGh", true, false, "ABCDEFGH   ", 0x00, "AbCdEfGh", "abcdefgh"}, // alias without a tail
        {"ReadMe.Txt", true, false, "README  TXT", 0x00, "ReadMe.Txt", "readme.txt"},
        {"Mixed Case.txt", true, false, "MIXEDC~1TXT", 0x00, "Mixed Case.txt", "MIXED CASE.TXT"},
        {"Mixed Case.txt", false, false, "MixedC~1txt", 0x00, "Mixed Case.txt", "mixed case.TXT"},
        {"index.html", false, false, "INDEX~1 HTM", 0x00, "index.html", "INDEX.HTML"},
        {"jquery.min.js", false, false, "JQUERY~1JS ", 0x00, "jquery.min.js", "JQUERY.MIN.JS"},
        {".gitignore", false, false, "GITIGN~1   ", 0x00, ".gitignore", ".GITIGNORE"},
        {"v1.2", false, true, "V1      2  ", 0x00, "", "V1.2"},
        {"archive.tar.gz", false, false, "ARCHIV~1GZ ", 0x00, "archive.tar.gz", "ARCHIVE.TAR.GZ"},
        {"a..b", false, true, "A~1     B  ", 0x00, "a..b", "A..B"},
        {"caf\xC3\xA9.txt", false, false, "CAF_~1  TXT", 0x00, "caf\xC3\xA9.txt", "CAF\xC3\x89.TXT"},
        {"\xE6\x97\xA5\xE6\x9C\xAC.txt", false, false, "__~1    TXT", 0x00, "\xE6\x97\xA5\xE6\x9C\xAC.txt",
         "\xE6\x97\xA5\xE6\x9C\xAC.TXT"},
        {"\xF0\x9F\x98\x80 smile.png", false, false, "_SMILE~1PNG", 0x00, "\xF0\x9F\x98\x80 smile.png",
         "\xF0\x9F\x98\x80 SMILE.PNG"},
        // The pair's halves are units 12 and 13: in two slots.
        {"abcdefghijkl\xF0\x9F\x98\x80.txt", false, false, "ABCDEF~1TXT", 0x00,
         "abcdefghijkl\xF0\x9F\x98\x80.txt", "ABCDEFGHIJKL\xF0\x9F\x98\x80.TXT"},
        {wide.c_str(), false, false, "______~1   ", 0x00, wide.c_str(), wide_capitals.c_str()},
    };
    ASSERT_EQ(fs_mkdir("K"), FS_OK);
    ASSERT_EQ(fs_mkdir("P"), FS_OK);
    for (const auto &c : cases) {
        ASSERT_EQ(fs_set_options(c.keep_case ? FS_OPT_KEEP_CASE : 0), FS_OK);
        std::string dir = c.keep_case ? "C:\\K\\" : "C:\\P\\";
        std::string path = dir + c.name;
        ASSERT_EQ(c.dir ? fs_mkdir(path.c_str()) : fs_create_file(path.c_str()), FS_OK) << path;
        Stored s = stored((dir + c.other_case).c_str());
        EXPECT_EQ(s.short11, c.short11) << path;
        EXPECT_EQ(s.case_flags, c.flags) << path;
        EXPECT_EQ(s.long_name, c.long_name) << path;
        // The listing gives the name back exactly as it was given.
        FsEntry e;
        ASSERT_EQ(fs_stat(path.c_str(), &e), FS_OK);
        std::string given = c.name;
        if (!c.keep_case && c.long_name[0] == '\0') // a plain 8.3 entry without kept case: capitals
            for (char &ch : given) ch = (char)toupper((unsigned char)ch);
        EXPECT_EQ(e.name, given) << path;
        // The alias names the entry too, and the name cannot be made twice.
        char alias[FS_SHORT_NAME_SIZE];
        dir_short_name_text((const uint8_t *)c.short11, alias);
        EXPECT_EQ(stored((dir + alias).c_str()).short11, c.short11) << path;
        EXPECT_EQ(c.dir ? fs_mkdir((dir + c.other_case).c_str())
                        : fs_create_file((dir + c.other_case).c_str()),
                  FS_FAIL)
            << path;
        EXPECT_EQ(fs_last_error(), FS_ERR_EXISTS) << path;
        ASSERT_EQ(c.dir ? fs_rmdir(path.c_str()) : fs_delete_file(path.c_str()), FS_OK) << path;
    }
    // Paths through dotted directories resolve, as files and directories.
    ASSERT_EQ(fs_mkdir("C:\\v1.2"), FS_OK);
    ASSERT_EQ(fs_mkdir("C:\\v1.2\\my.dir"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\v1.2\\my.dir\\.profile"), FS_OK);
    FsEntry e;
    EXPECT_EQ(fs_stat("c:\\V1.2\\MY.DIR\\.PROFILE", &e), FS_OK);
    EXPECT_STREQ(e.name, ".profile");
    FsCheckReport report;
    EXPECT_EQ(check_volume(&report), FS_OK);
}

// Names written by other systems: code page 437 in 8.3 names, and long
// names holding half a surrogate pair, read as UTF-8.
TEST_F(Create, ForeignNamesReadAsUtf8) {
    put_slots(root_sectors(), 0, {short_slot("CAF\x82    TXT", ATTR_ARCHIVE)}); // 0x82: é
    Slot flagged = short_slot("R\x90SUM\x90  TXT", ATTR_ARCHIVE); // 0x90: É, small by its flags
    flagged[DIR_CASE] = DIR_CASE_LOWER_BASE | DIR_CASE_LOWER_EXT;
    put_slots(root_sectors(), 3, {flagged});
    std::vector<Slot> run = lfn_slots("xAB", "BROKEN  TXT");
    run[0][1 + 2] = 0x00; // the first character becomes U+D800: a pair's first half alone
    run[0][1 + 3] = 0xD8;
    run.push_back(short_slot("BROKEN  TXT", ATTR_ARCHIVE));
    put_slots(root_sectors(), 1, run);
    FsEntry e;
    ASSERT_EQ(fs_stat("C:\\caf\xC3\xA9.txt", &e), FS_OK);
    EXPECT_STREQ(e.name, "CAF\xC3\xA9.TXT");
    ASSERT_EQ(fs_stat("C:\\r\xC3\xA9sum\xC3\xA9.txt", &e), FS_OK);
    EXPECT_STREQ(e.name, "r\xC3\xA9sum\xC3\xA9.txt");
    ASSERT_EQ(fs_stat("C:\\BROKEN.TXT", &e), FS_OK);
    EXPECT_STREQ(e.name, "x\xEF\xBF\xBD"
                         "B");
}

// With a clock, creation stamps all three times and the first write of an
// open file the modification time; without one every time stays zero.
// Labels live in the boot sector and in the root.
#if FS_WITH_TIMES && FS_WITH_LABEL
TEST_F(Create, TimesFromTheClockAndTheVolumeLabel) {
    ASSERT_EQ(fs_create_file("NOCLOCK"), FS_OK);
    uint8_t h = fs_open("NOCLOCK");
    ASSERT_EQ(fs_write(h, (const uint8_t *)"abc", 3), 3u);
    fs_close(h);
    FsEntry e;
    ASSERT_EQ(fs_stat("NOCLOCK", &e), FS_OK);
    EXPECT_EQ(e.created.year, 0);
    EXPECT_EQ(e.modified.year, 0);
    static FsDateTime now{2024, 2, 29, 23, 59, 59, 50};
    fs_set_clock([](FsDateTime *t) { *t = now; });
    ASSERT_EQ(fs_mkdir("STAMPED"), FS_OK);
    ASSERT_EQ(fs_stat("STAMPED", &e), FS_OK);
    EXPECT_EQ(e.created.year, 2024);
    EXPECT_EQ(e.created.second, 59); // the odd second kept in the hundredths
    EXPECT_EQ(e.created.hundredths, 50);
    EXPECT_EQ(e.modified.second, 58); // two-second steps
    EXPECT_EQ(e.accessed.day, 29);
    now.year = 2025;
    h = fs_open("NOCLOCK");
    ASSERT_EQ(fs_seek(h, 0, ORIGIN_END), FS_OK);
    const uint64_t writes = sector_writes();
    ASSERT_EQ(fs_write(h, (const uint8_t *)"def", 3), 3u);
    EXPECT_EQ(sector_writes() - writes, 2u); // data and entry: the stamp rides along
    fs_close(h);
    ASSERT_EQ(fs_stat("NOCLOCK", &e), FS_OK);
    EXPECT_EQ(e.modified.year, 2025);
    EXPECT_EQ(e.created.year, 0);

    char label[FS_LABEL_SIZE];
    ASSERT_EQ(fs_get_label(label), FS_OK);
    EXPECT_STREQ(label, "");
    ASSERT_EQ(fs_set_label("My Card"), FS_OK);
    ASSERT_EQ(fs_get_label(label), FS_OK);
    EXPECT_STREQ(label, "MY CARD");
    Slot entry = root_slot(2); // the first free slot of the root
    EXPECT_EQ(slot_name(entry), "MY CARD    ");
    EXPECT_EQ(entry[DIR_ATTR], ATTR_VOLUME_ID);
    EXPECT_EQ(memcmp(read_raw(0).data() + 43, "MY CARD    ", 11), 0);
    EXPECT_EQ(fs_set_label("bad.label"), FS_FAIL);
    EXPECT_EQ(fs_set_label("TWELVE CHARS"), FS_FAIL);
    ASSERT_EQ(fs_set_label(""), FS_OK);
    ASSERT_EQ(fs_get_label(label), FS_OK);
    EXPECT_STREQ(label, "");
    EXPECT_EQ(memcmp(read_raw(0).data() + 43, "NO NAME    ", 11), 0);
    fs_set_clock(nullptr);
}
#endif

} // namespace

namespace {

// fs_open_new creates a file and opens it without a second lookup: the
// handle is that of the new entry, and what creation refuses it refuses.
TEST_F(Create, OpenNewCreatesAndOpensInOneCall) {
    ASSERT_EQ(fs_mkdir("DIR"), FS_OK);
    for (const char *path : {"C:\\DIR\\SHORT.TXT", "C:\\DIR\\a long name of the new file.txt"}) {
        uint8_t h = fs_open_new(path);
        ASSERT_NE(h, FS_FAIL) << path;
        EXPECT_EQ(fs_write(h, (const uint8_t *)"new data", 8), 8u);
        EXPECT_EQ(fs_close(h), FS_OK);
        EXPECT_EQ(read_whole(path), std::vector<uint8_t>({'n', 'e', 'w', ' ', 'd', 'a', 't', 'a'}));
        FsEntry e;
        ASSERT_EQ(fs_stat(path, &e), FS_OK);
        EXPECT_EQ(e.size, 8u);
    }
    EXPECT_EQ(fs_open_new("C:\\DIR\\SHORT.TXT"), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_EXISTS);
    EXPECT_EQ(fs_open_new("C:\\NOPE\\X"), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_NO_PARENT);
    uint8_t a = fs_open_new("C:\\A"), b = fs_open_new("C:\\B");
    EXPECT_EQ(fs_open_new("C:\\C"), FS_FAIL); // both slots in use: the file is made, not opened
    EXPECT_EQ(fs_last_error(), FS_ERR_NO_HANDLE);
    FsEntry e;
    EXPECT_EQ(fs_stat("C:\\C", &e), FS_OK);
    fs_close(a);
    fs_close(b);
}

} // namespace
