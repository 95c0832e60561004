// Listing, the tree walk and file search, on sound and on damaged trees.
#include "../dir/dir_test_util.h"

using namespace fat16test;

namespace {

using Listed = WalkedEntry;

class Walk : public VolumeTest {
  protected:
    std::vector<Listed> list_all(size_t limit = 10000) {
        std::vector<Listed> out;
        char path[FS_OUT_PATH_SIZE];
        uint8_t attr = 0;
        for (uint8_t more = 0; out.size() < limit && fs_list_dir(path, more, &attr) == FS_OK; more = 1)
            out.push_back({path, attr});
        return out;
    }
    // "." and ".." for a directory made straight on the image.
    void dot_entries(uint32_t self, uint32_t parent) {
        put_slots(cluster_sectors({self}), 0,
                  {short_slot(".          ", ATTR_DIRECTORY, self),
                   short_slot("..         ", ATTR_DIRECTORY, parent)});
    }
};

using L = std::vector<Listed>;

TEST_F(Walk, ListingOfAnEmptySubdirectoryEndsAtOnce) {
    ASSERT_EQ(fs_mkdir("EMPTY"), FS_OK);
    ASSERT_EQ(fs_chdir("EMPTY", 0), FS_OK);
    EXPECT_EQ(list_all(), L{});
}

TEST_F(Walk, ListingGivesFullPathsInSlotOrder) {
    ASSERT_EQ(fs_mkdir("CREATE_FOLDER_TEST"), FS_OK);
    ASSERT_EQ(fs_create_file("readme.txt"), FS_OK);
    ASSERT_EQ(fs_create_file("NOEXT"), FS_OK);
    EXPECT_EQ(list_all(),
              (L{{"C:\\CREATE_FOLDER_TEST", 0x10}, {"C:\\README.TXT", 0x20}, {"C:\\NOEXT", 0x20}}));
    ASSERT_EQ(fs_create_file("C:\\CREATE_FOLDER_TEST\\created_file.txt"), FS_OK);
    ASSERT_EQ(fs_chdir("CREATE_FOLDER_TEST", 0), FS_OK);
    EXPECT_EQ(list_all(), (L{{"C:\\CREATE_FOLDER_TEST\\created_file.txt", 0x20}}));
    // A new file can come before older ones when it reuses their slots.
    ASSERT_EQ(fs_chdir(" ", 1), FS_OK);
    ASSERT_EQ(fs_delete_file("C:\\README.TXT"), FS_OK);
    ASSERT_EQ(fs_create_file("NEW.C"), FS_OK);
    L root = list_all();
    ASSERT_EQ(root.size(), 3u);
    EXPECT_EQ(root[1].path, "C:\\NEW.C");
}

TEST_F(Walk, ListingPassesOverNamesEndingInADot) {
    put_slots(root_sectors(), 0,
              {short_slot("ABC.    TXT", ATTR_ARCHIVE), short_slot("PLAIN   TXT", ATTR_ARCHIVE)});
    EXPECT_EQ(list_all(), (L{{"C:\\PLAIN.TXT", 0x20}}));
    // The walk does return such a file.
    EXPECT_EQ(walk_all(), (L{{"C:\\ABC..TXT", 0x20}, {"C:\\PLAIN.TXT", 0x20}}));
}

TEST_F(Walk, ListingRestartsAndStaysEndedAfterItsEnd) {
    ASSERT_EQ(fs_create_file("A"), FS_OK);
    ASSERT_EQ(fs_create_file("B"), FS_OK);
    char path[FS_OUT_PATH_SIZE];
    uint8_t attr;
    ASSERT_EQ(fs_list_dir(path, 0, &attr), FS_OK);
    EXPECT_STREQ(path, "C:\\A");
    ASSERT_EQ(fs_list_dir(path, 0, &attr), FS_OK); // starting again
    EXPECT_STREQ(path, "C:\\A");
    ASSERT_EQ(fs_list_dir(path, 1, &attr), FS_OK);
    EXPECT_STREQ(path, "C:\\B");
    EXPECT_EQ(fs_list_dir(path, 1, &attr), FS_FAIL);
    EXPECT_EQ(fs_list_dir(path, 1, &attr), FS_FAIL);
    EXPECT_EQ(fs_list_dir(nullptr, 0, &attr), FS_FAIL);
    EXPECT_EQ(fs_list_dir(path, 0, nullptr), FS_FAIL);
}

TEST_F(Walk, FreshVolumeWalkEndsAtOnce) { EXPECT_EQ(walk_all(), L{}); }

TEST_F(Walk, PreOrderDepthFirst) {
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    ASSERT_EQ(fs_create_file("F"), FS_OK);
    ASSERT_EQ(fs_create_file("A\\G"), FS_OK);
    ASSERT_EQ(fs_mkdir("A\\B"), FS_OK);
    ASSERT_EQ(fs_create_file("A\\B\\H.TXT"), FS_OK);
    EXPECT_EQ(walk_all(), (L{{"C:\\A", 0x10},
                             {"C:\\A\\G", 0x20},
                             {"C:\\A\\B", 0x10},
                             {"C:\\A\\B\\H.TXT", 0x20},
                             {"C:\\F", 0x20}}));
    EXPECT_STREQ(walk_path, "C:\\");
    EXPECT_EQ(CurrentDir.in_subdir, 0);
    char path[FS_OUT_PATH_SIZE];
    uint8_t attr;
    EXPECT_EQ(fs_walk_tree(path, 1, &attr), FS_FAIL); // stays ended
}

TEST_F(Walk, TwentySixNestedDirectories) {
    std::string path = "a";
    for (char c = 'a'; c <= 'z'; c++) {
        if (c > 'a') path += std::string("\\") + c;
        ASSERT_EQ(fs_mkdir(path.c_str()), FS_OK) << path;
    }
    L all = walk_all();
    ASSERT_EQ(all.size(), 26u);
    std::string expect = "C:";
    for (char c = 'A'; c <= 'Z'; c++) {
        expect += std::string("\\") + c;
        EXPECT_EQ(all[c - 'A'].path, expect);
        EXPECT_EQ(all[c - 'A'].attr, 0x10);
    }
}

TEST_F(Walk, RelativePathsKeepTheCallersCurrentDirectoryDuringAndAfterAWalk) {
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    ASSERT_EQ(fs_mkdir("A\\SUB"), FS_OK);
    ASSERT_EQ(fs_create_file("A\\Y.TXT"), FS_OK);
    ASSERT_EQ(fs_create_file("Y.TXT"), FS_OK);
    FsEntry entry;
    ASSERT_EQ(fs_stat("C:\\A\\Y.TXT", &entry), FS_OK);
    const uint32_t y_in_a = FoundEntry.entry_sector;
    ASSERT_EQ(fs_chdir("C:\\A", 0), FS_OK);
    const CurrentDirRecord before = CurrentDir;
    char path[FS_OUT_PATH_SIZE];
    uint8_t attr;
    ASSERT_EQ(fs_walk_tree(path, 0, &attr), FS_OK); // returns A and enters it
    EXPECT_STREQ(path, "C:\\A");
    EXPECT_EQ(memcmp(&before, &CurrentDir, sizeof before), 0);
    ASSERT_EQ(fs_walk_tree(path, 1, &attr), FS_OK); // enters SUB
    EXPECT_STREQ(path, "C:\\A\\SUB");
    EXPECT_EQ(memcmp(&before, &CurrentDir, sizeof before), 0);
    uint8_t h = fs_open("Y.TXT"); // between two walk calls: still C:\A
    ASSERT_NE(h, FS_FAIL);
    EXPECT_EQ(open_files[h].entry_sector, y_in_a);
    fs_close(h);
    while (fs_walk_tree(path, 1, &attr) == FS_OK) {
    }
    EXPECT_EQ(memcmp(&before, &CurrentDir, sizeof before), 0);
    // After a complete walk a relative name still means C:\A\Y.TXT.
    ASSERT_EQ(fs_delete_file("Y.TXT"), FS_OK);
    EXPECT_EQ(fs_stat("C:\\Y.TXT", &entry), FS_OK);
    EXPECT_EQ(fs_stat("C:\\A\\Y.TXT", &entry), FS_FAIL);
}

TEST_F(Walk, FindFileInTheCurrentDirectoryOrAnywhere) {
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    ASSERT_EQ(fs_mkdir("A\\B"), FS_OK);
    ASSERT_EQ(fs_create_file("A\\B\\deep_file.txt"), FS_OK);
    ASSERT_EQ(fs_create_file("TOP.TXT"), FS_OK);
    ASSERT_EQ(fs_mkdir("a long directory"), FS_OK);
    char out[FS_OUT_PATH_SIZE];
    EXPECT_EQ(fs_find_file("top.txt", 0, out), FS_OK);
    EXPECT_STREQ(out, "C:\\TOP.TXT"); // the stored name
    char deep[] = "DEEP_file.TXT";
    EXPECT_EQ(fs_find_file(deep, 0, out), FS_FAIL);
    EXPECT_STREQ(out, "C:\\DEEP_file.TXT"); // the path it tried
    EXPECT_EQ(fs_find_file(deep, 1, out), FS_OK);
    EXPECT_STREQ(out, "C:\\A\\B\\deep_file.txt");
    EXPECT_STREQ(deep, "DEEP_file.TXT"); // the caller's name is left alone
    char missing[] = "missing";
    EXPECT_EQ(fs_find_file(missing, 1, out), FS_FAIL);
    char dir[] = "a long directory";
    EXPECT_EQ(fs_find_file(dir, 0, out), FS_FAIL); // a directory is no file
    EXPECT_EQ(fs_find_file(dir, 1, out), FS_FAIL);
    std::string huge(600, 'x');
    EXPECT_EQ(fs_find_file(huge.data(), 0, out), FS_FAIL);
}

TEST_F(Walk, DirectoriesPointingAtThemselvesOrAnAncestorAreReturnedNotEntered) {
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    uint32_t a = cluster_of("C:\\A");
    put_slots(cluster_sectors({a}), 2,
              {short_slot("SELF       ", ATTR_DIRECTORY, a), short_slot("FILE       ", ATTR_ARCHIVE)});
    ASSERT_EQ(fs_mkdir("A\\B"), FS_OK);
    uint32_t b = cluster_of("C:\\A\\B");
    put_slots(cluster_sectors({b}), 2, {short_slot("UP         ", ATTR_DIRECTORY, a)});
    EXPECT_EQ(walk_all(), (L{{"C:\\A", 0x10},
                             {"C:\\A\\SELF", 0x10},
                             {"C:\\A\\FILE", 0x20},
                             {"C:\\A\\B", 0x10},
                             {"C:\\A\\B\\UP", 0x10}}));
}

TEST_F(Walk, SameNamedDirectoriesEndAndAreEachListed) {
    ASSERT_EQ(fs_mkdir("TWIN"), FS_OK);
    ASSERT_EQ(fs_create_file("TWIN\\IN1"), FS_OK);
    uint32_t second = new_cluster();
    dot_entries(second, 0);
    put_slots(cluster_sectors({second}), 2, {short_slot("IN2        ", ATTR_ARCHIVE)});
    // A directory with an extension keeps it in its path and is entered; a
    // plain twin of the first name, linked to the same cluster, is listed
    // but not entered again.
    put_slots(root_sectors(), 1,
              {short_slot("TWIN    EXT", ATTR_DIRECTORY, second),
               short_slot("TWIN       ", ATTR_DIRECTORY, second), short_slot("AFTER      ", ATTR_ARCHIVE)});
    L all = walk_all();
    EXPECT_EQ(all, (L{{"C:\\TWIN", 0x10},
                      {"C:\\TWIN\\IN1", 0x20},
                      {"C:\\TWIN.EXT", 0x10},
                      {"C:\\TWIN.EXT\\IN2", 0x20},
                      {"C:\\TWIN", 0x10},
                      {"C:\\AFTER", 0x20}}));
}

TEST_F(Walk, CrossLinkedDirectoriesAreEnteredOnce) {
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    ASSERT_EQ(fs_create_file("A\\X"), FS_OK);
    uint32_t a = cluster_of("C:\\A");
    put_slots(root_sectors(), 1, {short_slot("B          ", ATTR_DIRECTORY, a)});
    EXPECT_EQ(walk_all(), (L{{"C:\\A", 0x10}, {"C:\\A\\X", 0x20}, {"C:\\B", 0x10}}));
}

TEST_F(Walk, DeepTreesOnDamagedImagesAreNotOverrun) {
    // A chain of directories, each holding the next, 200 levels deep: paths
    // stop growing at the limit and the walk still ends.
    uint32_t parent = 0;
    std::vector<uint32_t> clusters;
    for (int i = 0; i < 200; i++) clusters.push_back(new_cluster());
    for (int i = 0; i < 200; i++) {
        dot_entries(clusters[i], parent);
        if (i + 1 < 200)
            put_slots(cluster_sectors({clusters[i]}), 2,
                      {short_slot("LEVEL      ", ATTR_DIRECTORY, clusters[i + 1])});
        parent = clusters[i];
    }
    put_slots(root_sectors(), 0, {short_slot("LEVEL      ", ATTR_DIRECTORY, clusters[0])});
    L all = walk_all();
    ASSERT_FALSE(all.empty());
    for (const Listed &l : all) EXPECT_LE(l.path.size(), 259u + 1 + 8);
    EXPECT_LT(all.size(), 200u);
}

TEST_F(Walk, EmptyNamedDirectoriesAreNotEntered) {
    uint32_t c = new_cluster();
    dot_entries(c, 0);
    put_slots(cluster_sectors({c}), 2, {short_slot("INSIDE     ", ATTR_ARCHIVE)});
    put_slots(root_sectors(), 0,
              {short_slot("           ", ATTR_DIRECTORY, c), short_slot("NEXT       ", ATTR_ARCHIVE)});
    EXPECT_EQ(walk_all(), (L{{"C:\\", 0x10}, {"C:\\NEXT", 0x20}}));
}

TEST_F(Walk, ARemovedParentPositionEndsTheStep) {
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    ASSERT_EQ(fs_mkdir("A\\B"), FS_OK);
    ASSERT_EQ(fs_create_file("A\\B\\F"), FS_OK);
    ASSERT_EQ(fs_create_file("Z"), FS_OK);
    char path[FS_OUT_PATH_SIZE];
    uint8_t attr;
    ASSERT_EQ(fs_walk_tree(path, 0, &attr), FS_OK); // C:\A
    ASSERT_EQ(fs_walk_tree(path, 1, &attr), FS_OK); // C:\A\B
    ASSERT_EQ(fs_walk_tree(path, 1, &attr), FS_OK); // C:\A\B\F
    EXPECT_STREQ(path, "C:\\A\\B\\F");
    // B goes away before the walk comes back to A.
    ASSERT_EQ(fs_delete_file("C:\\A\\B\\F"), FS_OK);
    ASSERT_EQ(fs_rmdir("C:\\A\\B"), FS_OK);
    EXPECT_EQ(fs_walk_tree(path, 1, &attr), FS_FAIL);
}

TEST_F(Walk, LoopingDirectoryChainEndsTheWalk) {
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    uint32_t a = cluster_of("C:\\A");
    uint32_t b = new_cluster();
    set_fat_entry(a, b);
    set_fat_entry(b, a);
    std::vector<Slot> slots = numbered_slots('F', 0, 2048 - 2);
    put_slots(cluster_sectors({a, b}), 2, slots);
    L all = walk_all(20000);
    EXPECT_LT(all.size(), 20000u);
}

} // namespace
