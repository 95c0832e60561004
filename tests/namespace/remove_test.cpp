// Deleting files, removing directories and renaming.
#include "../dir/dir_test_util.h"
#include "../file/file_test_util.h"

using namespace fat16test;

namespace {

class Remove : public VolumeTest {
  protected:
    bool exists(const char *path, uint8_t kind) {
        DirCursor.search_kind = kind;
        return path_resolve(path) == FS_OK;
    }
    void write_file_data(const char *path, uint32_t size) {
        ASSERT_EQ(fs_create_file(path), FS_OK) << path;
        uint8_t h = fs_open(path);
        std::vector<uint8_t> data = pattern(size);
        ASSERT_EQ(fs_write(h, data.data(), size), size);
        fs_close(h);
    }
    std::vector<Sector> root_area() {
        std::vector<Sector> v;
        for (uint32_t s = 513; s < 577; s++) v.push_back(read_raw(s));
        return v;
    }
};

TEST_F(Remove, LastEntryBecomesEndMarkers) {
    ASSERT_EQ(fs_create_file("FIRST"), FS_OK);
    ASSERT_EQ(fs_create_file("created_file.txt"), FS_OK); // slots 1..3
    ASSERT_EQ(fs_delete_file("CREATED_FILE.TXT"), FS_OK);
    for (uint32_t i = 1; i <= 3; i++) EXPECT_EQ(root_slot(i)[0], 0x00) << i;
    EXPECT_EQ(slot_name(root_slot(0)), "FIRST      ");
    // Bytes other than the first stay as they were.
    EXPECT_EQ(root_slot(3)[1], 'r');
}

TEST_F(Remove, EntryFollowedByAnotherBecomesFreeSlots) {
    ASSERT_EQ(fs_create_file("created_file.txt"), FS_OK); // slots 0..2
    ASSERT_EQ(fs_create_file("AFTER"), FS_OK);            // slot 3
    ASSERT_EQ(fs_delete_file("created_file.txt"), FS_OK);
    for (uint32_t i = 0; i <= 2; i++) EXPECT_EQ(root_slot(i)[0], 0xE5) << i;
    // A deleted slot after the entry also gives 0xE5.
    ASSERT_EQ(fs_create_file("X"), FS_OK); // slot 0
    ASSERT_EQ(fs_delete_file("AFTER"), FS_OK);
    EXPECT_EQ(root_slot(3)[0], 0x00);
    ASSERT_EQ(fs_create_file("Y"), FS_OK); // slot 1
    ASSERT_EQ(fs_delete_file("X"), FS_OK);
    EXPECT_EQ(root_slot(0)[0], 0xE5);
}

TEST_F(Remove, RunsAcrossSectorAndClusterBoundariesAreErasedWhole) {
    for (int i = 0; i < 15; i++) ASSERT_EQ(fs_create_file(("F" + std::to_string(i)).c_str()), FS_OK);
    ASSERT_EQ(fs_create_file("a name of thirty-one characters"), FS_OK); // slots 15..18
    ASSERT_EQ(fs_create_file("LAST"), FS_OK);
    ASSERT_EQ(fs_delete_file("a name of thirty-one characters"), FS_OK);
    EXPECT_EQ(slot_at(513, 480)[0], 0xE5);
    for (uint32_t off = 0; off < 96; off += 32) EXPECT_EQ(slot_at(514, off)[0], 0xE5) << off;
    EXPECT_EQ(slot_name(slot_at(513, 448)), "F14        ");
    // In a subdirectory, across a cluster boundary.
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    uint32_t d = cluster_of("C:\\D");
    std::vector<Slot> slots = numbered_slots('G', 0, 1024 - 2 - 2);
    put_slots(cluster_sectors({d}), 2, slots);
    ASSERT_EQ(fs_create_file("C:\\D\\abcdefghijklmnopqrstuvwxyz0123"), FS_OK);
    uint32_t added = fat_read_entry(d);
    ASSERT_EQ(fs_delete_file("C:\\D\\abcdefghijklmnopqrstuvwxyz0123"), FS_OK);
    uint32_t last = cluster_to_sector(d) + 63;
    EXPECT_EQ(slot_at(last, 448)[0], 0x00);
    EXPECT_EQ(slot_at(last, 480)[0], 0x00);
    EXPECT_EQ(slot_at(cluster_to_sector(added), 0)[0], 0x00);
    EXPECT_EQ(slot_at(cluster_to_sector(added), 32)[0], 0x00);
    EXPECT_EQ(slot_name(slot_at(last, 416)), "G0001019   ");
}

TEST_F(Remove, OnlyTheEntryAndItsRunAreErased) {
    ASSERT_EQ(fs_create_file("a long file name.txt"), FS_OK); // slots 0..2
    ASSERT_EQ(fs_create_file("SHORT"), FS_OK);                // slot 3
    ASSERT_EQ(fs_delete_file("SHORT"), FS_OK);
    EXPECT_EQ(root_slot(3)[0], 0x00);
    EXPECT_EQ(root_slot(0)[0], 0x42);
    EXPECT_EQ(root_slot(2)[0], 'a');
    // Deleted long-name slots right in front of an entry are erased again
    // with the new fill byte.
    std::vector<Slot> slots = lfn_slots("orphaned long name", "ORPHAN~1   ");
    for (Slot &s : slots) s[0] = 0xE5;
    slots.push_back(short_slot("PLAIN      ", ATTR_ARCHIVE));
    put_slots(root_sectors(), 3, slots);
    ASSERT_EQ(fs_delete_file("PLAIN"), FS_OK);
    EXPECT_EQ(root_slot(3)[0], 0x00);
    EXPECT_EQ(root_slot(4)[0], 0x00);
    EXPECT_EQ(root_slot(5)[0], 0x00);
    EXPECT_EQ(root_slot(2)[0], 'a');
}

TEST_F(Remove, DeletingFreesTheChainOfFilesWithData) {
    uint32_t cap = 0, free_before = 0, free_now = 0;
    fs_volume_info('c', &cap, &free_before);
    ASSERT_EQ(fs_create_file("EMPTY"), FS_OK);
    write_file_data("DATA", 70000);
    fs_volume_info('c', &cap, &free_now);
    EXPECT_EQ(free_now, free_before - 3 * 64);
    DirCursor.search_kind = KIND_FILE;
    ASSERT_EQ(path_resolve("DATA"), FS_OK);
    uint32_t first = FoundEntry.first_cluster;
    ASSERT_EQ(fs_delete_file("EMPTY"), FS_OK);
    ASSERT_EQ(fs_delete_file("DATA"), FS_OK);
    fs_volume_info('c', &cap, &free_now);
    EXPECT_EQ(free_now, free_before);
    EXPECT_EQ(fat_entry(first), 0u);
    EXPECT_EQ(fat_entry(first, 1), 0u);
    EXPECT_FALSE(exists("DATA", KIND_FILE));
}

TEST_F(Remove, EntryInTheLastSlotOfItsDirectory) {
    std::vector<Slot> slots = numbered_slots('F', 0, 1023);
    put_slots(root_sectors(), 0, slots);
    ASSERT_EQ(fs_create_file("LASTONE"), FS_OK);
    EXPECT_EQ(slot_name(root_slot(1023)), "LASTONE    ");
    ASSERT_EQ(fs_delete_file("LASTONE"), FS_OK);
    EXPECT_EQ(root_slot(1023)[0], 0x00);
    EXPECT_EQ(slot_name(root_slot(1022)), "F0001022   ");
    // The same at the end of a subdirectory's last cluster, after a long name.
    ASSERT_EQ(fs_delete_file("F0001022"), FS_OK);
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    uint32_t d = cluster_of("C:\\D");
    std::vector<Slot> fill = numbered_slots('G', 0, 1024 - 2 - 2);
    put_slots(cluster_sectors({d}), 2, fill);
    ASSERT_EQ(fs_create_file("C:\\D\\ninechars"), FS_OK); // the last two slots
    ASSERT_EQ(fs_delete_file("C:\\D\\ninechars"), FS_OK);
    uint32_t last = cluster_to_sector(d) + 63;
    EXPECT_EQ(slot_at(last, 448)[0], 0x00);
    EXPECT_EQ(slot_at(last, 480)[0], 0x00);
    EXPECT_EQ(slot_name(slot_at(last, 416)), "G0001019   ");
}

TEST_F(Remove, RmdirNeedsAnEmptyDirectory) {
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    ASSERT_EQ(fs_create_file("D\\ONE"), FS_OK);
    ASSERT_EQ(fs_create_file("D\\TWO"), FS_OK);
    EXPECT_EQ(fs_rmdir("D"), FS_FAIL);
    // Deleted in the order they were made: slot 2 is 0xE5, still empty.
    ASSERT_EQ(fs_delete_file("D\\ONE"), FS_OK);
    EXPECT_EQ(fs_rmdir("D"), FS_FAIL);
    ASSERT_EQ(fs_delete_file("D\\TWO"), FS_OK);
    uint32_t d = cluster_of("C:\\D");
    ASSERT_EQ(fs_rmdir("D"), FS_OK);
    EXPECT_EQ(fat_entry(d), 0u);
    EXPECT_FALSE(exists("C:\\D", KIND_DIR));
    // A live entry anywhere in the chain keeps it, also past the first cluster.
    ASSERT_EQ(fs_mkdir("E"), FS_OK);
    uint32_t e = cluster_of("C:\\E");
    uint32_t more = 0;
    Sector buf{};
    ASSERT_EQ(fat_append_cluster(e, &more, buf.data()), FS_OK);
    std::vector<Slot> free_slots;
    for (int i = 0; i < 1022; i++) {
        Slot s = short_slot("GONE       ", ATTR_ARCHIVE);
        s[0] = 0xE5;
        free_slots.push_back(s);
    }
    free_slots.push_back(short_slot("HIDDEN     ", ATTR_ARCHIVE));
    put_slots(cluster_sectors({e, more}), 2, free_slots);
    EXPECT_EQ(fs_rmdir("E"), FS_FAIL);
}

TEST_F(Remove, RmdirOfADottedNameRemovesNothing) {
    // Lookups of a directory ignore a component's extension: "DOT.D" finds
    // DOT, which must not be removed in its place.
    ASSERT_EQ(fs_mkdir("DOT"), FS_OK);
    EXPECT_EQ(fs_rmdir("DOT.D"), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_NOT_FOUND);
    EXPECT_TRUE(exists("C:\\DOT", KIND_DIR));
    EXPECT_EQ(fs_rmdir("DOT."), FS_OK); // a trailing dot is no extension
}

TEST_F(Remove, RmdirRefusesFilesTheRootAndTheCurrentPath) {
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    ASSERT_EQ(fs_mkdir("A\\B"), FS_OK);
    ASSERT_EQ(fs_create_file("a long file name"), FS_OK);
    ASSERT_EQ(fs_create_file("FILE"), FS_OK);
    EXPECT_EQ(fs_rmdir("a long file name"), FS_FAIL);
    EXPECT_EQ(fs_rmdir("FILE"), FS_FAIL);
    EXPECT_EQ(fs_rmdir("C:\\"), FS_FAIL);
    EXPECT_EQ(fs_rmdir("\\"), FS_FAIL);
    EXPECT_EQ(fs_rmdir(""), FS_FAIL);
    EXPECT_EQ(fs_rmdir(nullptr), FS_FAIL);
    ASSERT_EQ(fs_chdir("C:\\A\\B", 0), FS_OK);
    EXPECT_EQ(fs_rmdir("C:\\A\\B"), FS_FAIL); // the current directory
    ASSERT_EQ(fs_chdir("C:\\A", 0), FS_OK);
    EXPECT_EQ(fs_rmdir("C:\\A"), FS_FAIL); // the current directory, with B inside too
    EXPECT_EQ(fs_rmdir("B"), FS_OK);       // below it: fine
    ASSERT_EQ(fs_chdir("C:\\", 0), FS_OK);
    EXPECT_EQ(fs_rmdir("A"), FS_OK);
}

TEST_F(Remove, DeleteAndRenameRefuseDirectoriesAndOpenFiles) {
    ASSERT_EQ(fs_mkdir("a long directory name"), FS_OK);
    EXPECT_EQ(fs_delete_file("a long directory name"), FS_FAIL);
    EXPECT_EQ(fs_rename("a long directory name", "OTHER"), FS_FAIL);
    EXPECT_TRUE(exists("a long directory name", KIND_DIR));
    ASSERT_EQ(fs_create_file("OPEN1"), FS_OK);
    ASSERT_EQ(fs_create_file("EMPTY2"), FS_OK);
    uint8_t h = fs_open("OPEN1");
    EXPECT_EQ(fs_delete_file("OPEN1"), FS_FAIL);
    EXPECT_EQ(fs_rename("OPEN1", "NEWNAME"), FS_FAIL);
    // Another empty file is another file.
    EXPECT_EQ(fs_rename("EMPTY2", "RENAMED"), FS_OK);
    EXPECT_EQ(fs_delete_file("RENAMED"), FS_OK);
    fs_close(h);
    EXPECT_EQ(fs_delete_file("OPEN1"), FS_OK);
    EXPECT_EQ(fs_delete_file("C:\\"), FS_FAIL);
    EXPECT_EQ(fs_delete_file("MISSING"), FS_FAIL);
}

TEST_F(Remove, RenameKeepsDataAndStoresCapitals) {
    ASSERT_EQ(fs_mkdir("CREATE_FOLDER_TEST"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\CREATE_FOLDER_TEST\\created_file.txt"), FS_OK);
    ASSERT_EQ(fs_rename("C:\\CREATE_FOLDER_TEST\\created_file.txt", "DFDFDFDFDFDFDFDFSDFSDZEMK.TXT"), FS_OK);
    uint32_t d = cluster_of("C:\\CREATE_FOLDER_TEST");
    uint32_t s = cluster_to_sector(d);
    // The old run (slots 2..4) is reused: three long-name slots and the alias.
    EXPECT_EQ(slot_at(s, 64)[0], 0x43);
    EXPECT_EQ(lfn_text(slot_at(s, 64)), "TXT");
    EXPECT_EQ(lfn_text(slot_at(s, 96)), "FDFSDFSDZEMK.");
    EXPECT_EQ(lfn_text(slot_at(s, 128)), "DFDFDFDFDFDFD");
    Slot alias = slot_at(s, 160);
    EXPECT_EQ(slot_name(alias), "DFDFDF~1TXT");
    EXPECT_EQ(alias[11], ATTR_ARCHIVE);
    EXPECT_EQ(alias[26] | alias[27] | alias[28] | alias[29] | alias[30] | alias[31], 0);
    EXPECT_FALSE(exists("C:\\CREATE_FOLDER_TEST\\created_file.txt", KIND_FILE));

    // A file with data keeps its clusters and size.
    write_file_data("lower.c", 40000);
    DirCursor.search_kind = KIND_FILE;
    ASSERT_EQ(path_resolve("lower.c"), FS_OK);
    uint32_t first = FoundEntry.first_cluster;
    ASSERT_EQ(fs_rename("lower.c", "other.h"), FS_OK);
    DirCursor.search_kind = KIND_FILE;
    ASSERT_EQ(path_resolve("OTHER.H"), FS_OK);
    EXPECT_EQ(slot_name(slot_at(FoundEntry.entry_sector, FoundEntry.entry_offset)), "OTHER   H  ");
    EXPECT_EQ(FoundEntry.first_cluster, first);
    EXPECT_EQ(FoundEntry.size, 40000u);
    EXPECT_EQ(read_whole("OTHER.H"), pattern(40000));
    ASSERT_EQ(fs_rename("OTHER.H", "a much longer name.h"), FS_OK);
    EXPECT_EQ(read_whole("A MUCH LONGER NAME.H"), pattern(40000));
}

TEST_F(Remove, RenameRefusalsChangeNothing) {
    ASSERT_EQ(fs_create_file("ONE.TXT"), FS_OK);
    ASSERT_EQ(fs_create_file("TWO.TXT"), FS_OK);
    ASSERT_EQ(fs_mkdir("DIR"), FS_OK);
    ASSERT_EQ(fs_mkdir("a long directory"), FS_OK);
    std::vector<Sector> before = root_area();
    uint64_t w = sector_writes();
    EXPECT_EQ(fs_rename("ONE.TXT", "ONE.TXT"), FS_FAIL);
    EXPECT_EQ(fs_rename("ONE.TXT", "one.txt"), FS_FAIL);
    EXPECT_EQ(fs_rename("ONE.TXT", "TWO.TXT"), FS_FAIL);
    EXPECT_EQ(fs_rename("ONE.TXT", "DIR"), FS_FAIL); // an 8.3 directory's name
    EXPECT_EQ(fs_rename("ONE.TXT", "A LONG DIRECTORY"), FS_FAIL);
    EXPECT_EQ(fs_rename("ONE.TXT", "bad?name"), FS_FAIL);
    EXPECT_EQ(fs_rename("ONE.TXT", "x\xff.html"), FS_FAIL); // no UTF-8
    EXPECT_EQ(fs_rename("ONE.TXT", "C:\\"), FS_FAIL);
    EXPECT_EQ(fs_rename("MISSING", "NEW"), FS_FAIL);
    EXPECT_EQ(fs_rename(nullptr, "NEW"), FS_FAIL);
    EXPECT_EQ(sector_writes(), w);
    EXPECT_EQ(root_area(), before);
}

TEST_F(Remove, RenameWithoutRoomKeepsTheOldEntry) {
    std::vector<Slot> slots = numbered_slots('F', 0, 1023);
    put_slots(root_sectors(), 1, slots); // slots 1..1023
    ASSERT_EQ(fs_create_file("A"), FS_OK);
    uint8_t h = fs_open("A");
    ASSERT_EQ(fs_write(h, (const uint8_t *)"keep", 4), 4u);
    fs_close(h);
    std::vector<Sector> before = root_area();
    EXPECT_EQ(fs_rename("A", "a name that needs three slots"), FS_FAIL);
    EXPECT_EQ(root_area(), before);
    EXPECT_EQ(read_whole("A"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    EXPECT_EQ(fs_rename("A", "B"), FS_OK); // one slot: fits where A was
}

TEST_F(Remove, RenameUsesOnlyTheLastComponentAndTheFilesDirectory) {
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    ASSERT_EQ(fs_create_file("D\\FILE"), FS_OK);
    ASSERT_EQ(fs_rename("D\\FILE", "X:\\ELSEWHERE\\NEWNAME"), FS_OK);
    EXPECT_TRUE(exists("C:\\D\\NEWNAME", KIND_FILE));
    ASSERT_EQ(fs_create_file("\\ROOTFILE"), FS_OK);
    ASSERT_EQ(fs_chdir("D", 0), FS_OK);
    ASSERT_EQ(fs_rename("\\ROOTFILE", "ROOTNEW"), FS_OK);
    EXPECT_TRUE(exists("C:\\ROOTNEW", KIND_FILE));
    ASSERT_EQ(fs_rename("NEWNAME", "local"), FS_OK);
    EXPECT_TRUE(exists("C:\\D\\LOCAL", KIND_FILE));
}

TEST_F(Remove, RenameGivesAFreeAliasTail) {
    ASSERT_EQ(fs_create_file("longname_one.txt"), FS_OK);
    ASSERT_EQ(fs_create_file("SHORT.TXT"), FS_OK);
    ASSERT_EQ(fs_rename("SHORT.TXT", "longname_two.txt"), FS_OK);
    DirCursor.search_kind = KIND_FILE;
    ASSERT_EQ(path_resolve("longname_two.txt"), FS_OK);
    EXPECT_EQ(slot_name(slot_at(FoundEntry.entry_sector, FoundEntry.entry_offset)), "LONGNA~2TXT");
    // A file keeps its own tail when renamed within the family.
    ASSERT_EQ(fs_rename("longname_two.txt", "longname_three.txt"), FS_OK);
    DirCursor.search_kind = KIND_FILE;
    ASSERT_EQ(path_resolve("longname_three.txt"), FS_OK);
    EXPECT_EQ(slot_name(slot_at(FoundEntry.entry_sector, FoundEntry.entry_offset)), "LONGNA~2TXT");
}

} // namespace

namespace {

// Moving files and directories: within a directory and into another one,
// with the entry's fields kept and a moved directory's ".." following it;
// every refusal changes nothing.
#if FS_WITH_TIMES
TEST_F(Remove, MovesKeepEntriesWholeAndRefusalsChangeNothing) {
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    ASSERT_EQ(fs_mkdir("A\\SUB"), FS_OK);
    ASSERT_EQ(fs_mkdir("B"), FS_OK);
    ASSERT_NO_FATAL_FAILURE(write_file_data("A\\DATA.BIN", 40000));
    ASSERT_EQ(fs_create_file("A\\SUB\\deep file.txt"), FS_OK);
    ASSERT_EQ(fs_create_file("OPEN.TXT"), FS_OK);
    FsDateTime when{2021, 6, 15, 10, 30, 44, 0};
    ASSERT_EQ(fs_set_times("A\\DATA.BIN", &when, &when, &when), FS_OK);
    ASSERT_EQ(fs_set_attributes("A\\DATA.BIN", ATTR_HIDDEN | ATTR_ARCHIVE), FS_OK);
    const uint32_t sub = cluster_of("C:\\A\\SUB");
    std::vector<uint8_t> data = read_whole("C:\\A\\DATA.BIN");

    uint8_t h = fs_open("OPEN.TXT");
    ASSERT_NE(h, FS_FAIL);
    ASSERT_EQ(fs_chdir("C:\\B", 0), FS_OK);
    const std::vector<Sector> before = root_area();
    const uint64_t writes = sector_writes();
    const struct {
        const char *from;
        const char *to;
        FsError reason;
    } refused[] = {
        {"C:\\MISSING", "C:\\X", FS_ERR_NOT_FOUND},
        {"C:\\A\\DATA.BIN", "C:\\NOPE\\X", FS_ERR_NO_PARENT},
        {"C:\\A\\DATA.BIN", "C:\\A\\SUB", FS_ERR_EXISTS},
        {"C:\\A\\DATA.BIN", "C:\\A\\sub", FS_ERR_EXISTS}, // names compare without regard to case
        {"C:\\A", "C:\\A\\SUB\\INSIDE", FS_ERR_INTO_ITSELF},
        {"C:\\A", "C:\\A\\NEW", FS_ERR_INTO_ITSELF},
        {"C:\\", "C:\\X", FS_ERR_IS_ROOT},
        {"C:\\OPEN.TXT", "C:\\A\\OPEN.TXT", FS_ERR_FILE_OPEN},
        {"C:\\B", "C:\\A\\B", FS_ERR_BUSY}, // the current directory
        {"C:\\A\\DATA.BIN", "C:\\A\\bad|name", FS_ERR_INVALID_NAME},
        {"C:\\A\\DATA.BIN", "C:\\A\\DATA.BIN\\X", FS_ERR_NOT_DIRECTORY},
    };
    for (const auto &c : refused) {
        EXPECT_EQ(fs_move(c.from, c.to), FS_FAIL) << c.from << " -> " << c.to;
        EXPECT_EQ(fs_last_error(), c.reason)
            << c.from << " -> " << c.to << ": " << fs_strerror(fs_last_error());
    }
    EXPECT_EQ(sector_writes(), writes);
    EXPECT_EQ(root_area(), before);
    fs_close(h);
    ASSERT_EQ(fs_chdir("C:\\", 0), FS_OK);

    // A file into another directory under a new name: data, times and
    // attributes go with it.
    ASSERT_EQ(fs_move("C:\\A\\DATA.BIN", "C:\\B\\moved data.bin"), FS_OK);
    EXPECT_FALSE(exists("C:\\A\\DATA.BIN", KIND_FILE));
    EXPECT_EQ(read_whole("C:\\B\\moved data.bin"), data);
    FsEntry e;
    ASSERT_EQ(fs_stat("C:\\B\\MOVED DATA.BIN", &e), FS_OK);
    EXPECT_STREQ(e.name, "moved data.bin");
    EXPECT_EQ(e.attr, ATTR_HIDDEN | ATTR_ARCHIVE);
    EXPECT_EQ(e.modified.year, 2021);
    EXPECT_EQ(e.modified.second, 44);
    EXPECT_EQ(e.created.minute, 30);
    // A directory with its contents, whose ".." then names its new parent.
    ASSERT_EQ(fs_move("C:\\A\\SUB", "C:\\B\\Sub.dir"), FS_OK);
    EXPECT_EQ(cluster_of("C:\\B\\SUB.DIR"), sub);
    EXPECT_TRUE(exists("C:\\B\\Sub.dir\\deep file.txt", KIND_FILE));
    Sector first = read_raw(cluster_to_sector(sub));
    EXPECT_EQ(first[32 + DIR_FIRST_CLUSTER] | first[32 + DIR_FIRST_CLUSTER + 1] << 8,
              (int)cluster_of("C:\\B"));
    ASSERT_EQ(fs_move("C:\\B\\Sub.dir", "C:\\TOP"), FS_OK); // to the root: ".." is 0
    first = read_raw(cluster_to_sector(sub));
    EXPECT_EQ(first[32 + DIR_FIRST_CLUSTER] | first[32 + DIR_FIRST_CLUSTER + 1] << 8, 0);
    // Within a directory, a change of case only (kept case).
    ASSERT_EQ(fs_set_options(FS_OPT_KEEP_CASE), FS_OK);
    ASSERT_EQ(fs_move("C:\\TOP", "C:\\Top"), FS_OK);
    ASSERT_EQ(fs_stat("C:\\TOP", &e), FS_OK);
    EXPECT_STREQ(e.name, "Top");
    FsCheckReport report;
    EXPECT_EQ(check_volume(&report), FS_OK);
}
#endif

// A read-only file opens only for reading and is neither deleted, renamed
// nor moved until the bit is cleared.
TEST_F(Remove, ReadOnlyFilesRefuseChangesWithTheirReason) {
    ASSERT_NO_FATAL_FAILURE(write_file_data("KEEP.TXT", 100));
    ASSERT_EQ(fs_set_attributes("KEEP.TXT", ATTR_READ_ONLY | ATTR_ARCHIVE), FS_OK);
    uint8_t h = fs_open("KEEP.TXT");
    ASSERT_NE(h, FS_FAIL);
    EXPECT_EQ(fs_write(h, (const uint8_t *)"x", 1), 0u);
    EXPECT_EQ(fs_last_error(), FS_ERR_READ_ONLY);
    fs_close(h);
    EXPECT_EQ(fs_delete_file("KEEP.TXT"), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_READ_ONLY);
    EXPECT_EQ(fs_rename("KEEP.TXT", "OTHER.TXT"), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_READ_ONLY);
    EXPECT_EQ(fs_move("KEEP.TXT", "C:\\OTHER.TXT"), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_READ_ONLY);
    EXPECT_STREQ(fs_strerror(FS_ERR_READ_ONLY), "read-only");
    EXPECT_EQ(fs_set_attributes("KEEP.TXT", ATTR_DIRECTORY), FS_FAIL); // only r, h, s, a
    ASSERT_EQ(fs_set_attributes("KEEP.TXT", 0), FS_OK);
    EXPECT_EQ(fs_delete_file("KEEP.TXT"), FS_OK);
}

} // namespace
