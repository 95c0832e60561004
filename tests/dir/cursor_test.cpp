// The directory cursor and the entry reader.
#include "dir_test_util.h"

using namespace fat16test;

namespace {

class Cursor : public VolumeTest {
  protected:
    // Fills every slot of `sectors` with numbered 8.3 file entries.
    void fill(const std::vector<uint32_t> &sectors, int start_number) {
        std::vector<Slot> slots;
        for (size_t i = 0; i < sectors.size() * 16; i++) {
            char name[12];
            snprintf(name, sizeof name, "F%07dTXT", start_number + (int)i);
            slots.push_back(short_slot(name, ATTR_ARCHIVE));
        }
        put_slots(sectors, 0, slots);
    }
};

TEST_F(Cursor, EmptyRootEndsAtOnce) {
    dir_cursor_start(0);
    char name[256], ext[20];
    EXPECT_EQ(dir_read_entry(name, ext, 1), FS_FAIL);
    EXPECT_EQ(DirCursor.sector, 513u);
    EXPECT_EQ(DirCursor.offset, 0u);
}

TEST_F(Cursor, FullRootEndsInTheEndStateOfItsLastSector) {
    fill(root_sectors(), 0);
    write_raw(577, filled(0x41)); // the first data sector must never be read as root
    dir_cursor_start(0);
    std::vector<std::string> all = read_all(1);
    ASSERT_EQ(all.size(), 1024u);
    EXPECT_EQ(all.front(), "F0000000|TXT");
    EXPECT_EQ(all.back(), "F0001023|TXT");
    EXPECT_EQ(DirCursor.sector, 576u);
    EXPECT_EQ(DirCursor.offset, 512u);
    char name[256], ext[20];
    EXPECT_EQ(dir_read_entry(name, ext, 1), FS_FAIL); // the end state stays
    EXPECT_EQ(DirCursor.offset, 512u);
}

TEST_F(Cursor, SubdirectoryReadsAcrossClustersAndEndsOnTheEndMark) {
    uint32_t a = new_cluster();
    uint32_t b = 0;
    Sector buf{};
    ASSERT_EQ(fat_append_cluster(a, &b, buf.data()), FS_OK);
    fill(cluster_sectors({a, b}), 0);
    dir_cursor_start(a);
    std::vector<std::string> all = read_all(1);
    ASSERT_EQ(all.size(), 2048u);
    EXPECT_EQ(all[1023], "F0001023|TXT");
    EXPECT_EQ(all[1024], "F0001024|TXT");
    EXPECT_EQ(DirCursor.cluster, 0xFFFFu);
    EXPECT_EQ(DirCursor.offset, 512u);
    EXPECT_EQ(DirCursor.sector, cluster_to_sector(b) + 63);
}

TEST_F(Cursor, LoopingDirectoryChainEnds) {
    uint32_t a = new_cluster();
    uint32_t b = new_cluster();
    set_fat_entry(a, b);
    set_fat_entry(b, a);
    fill(cluster_sectors({a, b}), 0);
    dir_cursor_start(a);
    std::vector<std::string> all = read_all(1, 10000);
    EXPECT_LE(all.size(), 3 * 2048u); // ends where the loop closes, not after 10,000 entries
    EXPECT_GE(all.size(), 2048u);
}

TEST_F(Cursor, AdvanceOrGrowAppendsAClusterToASubdirectoryOnly) {
    uint32_t a = new_cluster();
    Sector buf{};
    DirCursor.in_chain = 1;
    DirCursor.cluster = a;
    DirCursor.sector = cluster_to_sector(a) + 63;
    DirCursor.offset = 480;
    write_raw(cluster_to_sector(a + 1) + 1, filled(0x77)); // garbage in the cluster about to be added
    ASSERT_EQ(dir_advance_or_grow(buf.data()), FS_OK);
    uint32_t added = fat_read_entry(a);
    EXPECT_EQ(DirCursor.cluster, added);
    EXPECT_EQ(DirCursor.sector, cluster_to_sector(added));
    EXPECT_EQ(DirCursor.offset, 0u);
    EXPECT_TRUE(all_bytes(buf, 0));
    EXPECT_EQ(fat_read_entry(added), 0xFFFFu);
    for (uint32_t s = 0; s < 64; s++) ASSERT_TRUE(all_bytes(read_raw(cluster_to_sector(added) + s), 0));

    dir_cursor_start(0);
    DirCursor.sector = 576;
    DirCursor.offset = 480;
    EXPECT_EQ(dir_advance_or_grow(buf.data()), FS_FAIL);
}

TEST_F(Cursor, DamagedChainIsNotGrown) {
    uint32_t a = new_cluster();
    set_fat_entry(a, 0); // a directory chain ending in "free"
    Sector buf{};
    uint32_t free_before = 0, cap = 0;
    fs_volume_info('c', &cap, &free_before);
    dir_cursor_start(a);
    DirCursor.sector = cluster_to_sector(a) + 63;
    DirCursor.offset = 480;
    EXPECT_EQ(dir_advance_or_grow(buf.data()), FS_FAIL);
    uint32_t free_after = 0;
    fs_volume_info('c', &cap, &free_after);
    EXPECT_EQ(free_after, free_before);
}

TEST_F(Cursor, LongNamesAreAssembledAndSplitAtTheLastDot) {
    std::vector<Slot> slots;
    auto add = [&](const std::string &name, const std::string &alias) {
        for (const Slot &s : lfn_slots(name, alias)) slots.push_back(s);
        slots.push_back(short_slot(alias, ATTR_ARCHIVE, 0, 5));
    };
    add("fourteenchars1", "FOURTE~1   ");
    add("archive.tar.gz", "ARCHIV~1GZ ");
    add("name.extension-of-15c", "NAMEEX~1   ");
    add(".hidden", "HIDDEN~1   ");
    put_slots(root_sectors(), 0, slots);
    dir_cursor_start(0);
    std::vector<std::string> all = read_all(1);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0], "fourteenchars1|");
    EXPECT_EQ(all[1], "archive.tar|gz");
    EXPECT_EQ(all[2], "name.extension-of-15c|"); // the dot lies more than 15 back
    EXPECT_EQ(all[3], ".hidden|");               // a leading dot stays in the name
    EXPECT_EQ(last_long_name(), ".hidden");
    EXPECT_EQ(FoundEntry.size, 5u);
}

TEST_F(Cursor, LongestNamesReadWholeAndOverlongRunsReadByTheirAlias) {
    std::string longest(255, 'n');
    std::vector<Slot> slots = lfn_slots(longest, "NNNNNN~1   ");
    slots.push_back(short_slot("NNNNNN~1   ", ATTR_ARCHIVE));
    // 21 long-name slots (a damaged image): more than any name can take.
    std::vector<Slot> overlong = lfn_slots(std::string(273, 'o'), "OOOOOO~1   ");
    ASSERT_EQ(overlong.size(), 21u);
    slots.insert(slots.end(), overlong.begin(), overlong.end());
    slots.push_back(short_slot("OOOOOO~1   ", ATTR_ARCHIVE));
    put_slots(root_sectors(), 0, slots);
    dir_cursor_start(0);
    std::vector<std::string> all = read_all(1);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], longest + "|");
    EXPECT_EQ(all[1], "OOOOOO~1|");
}

TEST_F(Cursor, BrokenRunsAreSkipped) {
    std::vector<Slot> slots;
    // A run whose alias slot is a label: the text is dropped and the next
    // plain entry is returned by its 8.3 name.
    for (const Slot &s : lfn_slots("dropped-name", "DROPPE~1   ")) slots.push_back(s);
    slots.push_back(short_slot("LABEL      ", ATTR_VOLUME_ID));
    slots.push_back(short_slot("PLAIN   TXT", ATTR_ARCHIVE));
    // A run whose alias was deleted.
    for (const Slot &s : lfn_slots("orphan-name", "ORPHAN~1   ")) slots.push_back(s);
    Slot deleted = short_slot("ORPHAN~1   ", ATTR_ARCHIVE);
    deleted[0] = 0xE5;
    slots.push_back(deleted);
    slots.push_back(short_slot("LAST    TXT", ATTR_ARCHIVE));
    put_slots(root_sectors(), 0, slots);
    dir_cursor_start(0);
    std::vector<std::string> all = read_all(1);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0], "PLAIN|TXT");
    EXPECT_EQ(all[1], "LAST|TXT");
}

TEST_F(Cursor, RemovedEntriesArePassedOver) {
    std::vector<Slot> slots;
    for (Slot s : lfn_slots("removed-long-name", "REMOVE~1   ")) {
        s[0] = 0xE5;
        slots.push_back(s);
    }
    Slot gone = short_slot("REMOVE~1   ", ATTR_ARCHIVE);
    gone[0] = 0xE5;
    slots.push_back(gone);
    slots.push_back(short_slot("KEPT       ", ATTR_ARCHIVE));
    put_slots(root_sectors(), 0, slots);
    dir_cursor_start(0);
    EXPECT_EQ(read_all(1), std::vector<std::string>{"KEPT|"});
}

// Which entries lookup mode returns, by search kind and component kind.
TEST_F(Cursor, LookupFilter) {
    std::vector<Slot> slots;
    slots.push_back(short_slot("DIR8       ", ATTR_DIRECTORY));
    slots.push_back(short_slot("LABEL8     ", ATTR_VOLUME_ID));
    slots.push_back(short_slot("FILE8   TXT", ATTR_ARCHIVE));
    for (const Slot &s : lfn_slots("longfile", "LONGFI~1   ")) slots.push_back(s);
    slots.push_back(short_slot("LONGFI~1   ", ATTR_ARCHIVE));
    for (const Slot &s : lfn_slots("longdirectory", "LONGDI~1   ")) slots.push_back(s);
    slots.push_back(short_slot("LONGDI~1   ", ATTR_DIRECTORY));
    put_slots(root_sectors(), 0, slots);

    auto lookup = [](uint8_t search, uint8_t component) {
        DirCursor.search_kind = search;
        DirCursor.component_kind = component;
        dir_cursor_start(0);
        return read_all(0);
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(lookup(KIND_DIR, KIND_DIR), (V{"DIR8|", "longfile|", "longdirectory|"}));
    EXPECT_EQ(lookup(KIND_FILE, KIND_DIR),
              (V{"DIR8|", "LABEL8|", "FILE8|TXT", "longfile|", "longdirectory|"}));
    EXPECT_EQ(lookup(KIND_FILE, KIND_FILE), (V{"LABEL8|", "FILE8|TXT", "longfile|", "longdirectory|"}));
    // Listing mode returns them all.
    dir_cursor_start(0);
    EXPECT_EQ(read_all(1).size(), 5u);
}

TEST_F(Cursor, ShortDirectoryFoundInLookupKeepsTheSize) {
    uint32_t c = new_cluster();
    put_slots(root_sectors(), 0, {short_slot("DIR8       ", ATTR_DIRECTORY, c, 1234)});
    FoundEntry.size = 777;
    DirCursor.search_kind = KIND_DIR;
    ASSERT_EQ(path_resolve("C:\\DIR8"), FS_OK);
    EXPECT_EQ(FoundEntry.size, 777u);
    EXPECT_EQ(FoundEntry.first_cluster, c);
    EXPECT_EQ(FoundEntry.attr, ATTR_DIRECTORY);
    // The cursor stands one slot past the entry.
    EXPECT_EQ(DirCursor.sector, 513u);
    EXPECT_EQ(DirCursor.offset, 32u);
}

TEST_F(Cursor, SaveAndRestoreKeepAPosition) {
    DirCursor = DirCursorState{5, 600, 96, 1, KIND_FILE, KIND_DIR};
    FoundEntry.first_cluster = 42;
    cursor_save(1);
    DirCursor = DirCursorState{};
    FoundEntry.first_cluster = 0;
    cursor_restore(1);
    EXPECT_EQ(DirCursor.cluster, 5u);
    EXPECT_EQ(DirCursor.sector, 600u);
    EXPECT_EQ(DirCursor.offset, 96u);
    EXPECT_EQ(DirCursor.in_chain, 1);
    EXPECT_EQ(DirCursor.search_kind, KIND_FILE);
    EXPECT_EQ(DirCursor.component_kind, KIND_DIR);
    EXPECT_EQ(FoundEntry.first_cluster, 42u);
    EXPECT_EQ(CursorSlot[1].sector, 600u);
}

TEST_F(Cursor, NewDirectoryListsDotEntriesThenEnds) {
    ASSERT_EQ(fs_mkdir("C:\\SUB"), FS_OK);
    DirCursor.search_kind = KIND_DIR;
    ASSERT_EQ(path_resolve("C:\\SUB"), FS_OK);
    dir_cursor_start(FoundEntry.first_cluster);
    EXPECT_EQ(read_all(1), (std::vector<std::string>{".|", "..|"}));
}

} // namespace
