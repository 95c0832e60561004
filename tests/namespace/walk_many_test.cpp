// The tree walk on trees of more directories than it keeps the clusters of,
// sound and damaged, and where it goes on in a parent whose entry for the
// child it left was the last slot of a sector or of a cluster.
#include "../dir/dir_test_util.h"

using namespace fat16test;

namespace {

using Walked = std::vector<WalkedEntry>;

class WalkMany : public VolumeTest {
  protected:
    // A directory made straight on the image: its "." and "..", and a file.
    uint32_t raw_directory(uint32_t parent, const char *file11) {
        uint32_t c = new_cluster();
        put_slots(cluster_sectors({c}), 0,
                  {short_slot(".          ", ATTR_DIRECTORY, c),
                   short_slot("..         ", ATTR_DIRECTORY, parent), short_slot(file11, ATTR_ARCHIVE)});
        return c;
    }
    static std::string numbered(const char *prefix, int i) {
        char name[16];
        snprintf(name, sizeof name, "%s%03d", prefix, i);
        return name;
    }
};

TEST_F(WalkMany, SoundTreesOfManyDirectoriesAreWalkedWhole) {
    Walked expected;
    for (int i = 0; i < 200; i++) {
        std::string dir = "C:\\" + numbered("D", i);
        ASSERT_EQ(fs_mkdir(dir.c_str()), FS_OK);
        ASSERT_EQ(fs_create_file((dir + "\\F").c_str()), FS_OK);
        expected.push_back({dir, ATTR_DIRECTORY});
        expected.push_back({dir + "\\F", ATTR_ARCHIVE});
        if (i % 50 == 49) { // a few levels below some of them
            ASSERT_EQ(fs_mkdir((dir + "\\S").c_str()), FS_OK);
            ASSERT_EQ(fs_mkdir((dir + "\\S\\T").c_str()), FS_OK);
            ASSERT_EQ(fs_create_file((dir + "\\S\\T\\G").c_str()), FS_OK);
            expected.push_back({dir + "\\S", ATTR_DIRECTORY});
            expected.push_back({dir + "\\S\\T", ATTR_DIRECTORY});
            expected.push_back({dir + "\\S\\T\\G", ATTR_ARCHIVE});
        }
    }
    EXPECT_EQ(walk_all(), expected);
}

TEST_F(WalkMany, PastTheKeptDirectoriesNoneIsEnteredTwice) {
    Walked expected;
    for (int i = 0; i < 130; i++) {
        std::string dir = "C:\\" + numbered("D", i);
        ASSERT_EQ(fs_mkdir(dir.c_str()), FS_OK);
        expected.push_back({dir, ATTR_DIRECTORY});
    }
    // X is sound; SELF in it names X itself.
    ASSERT_EQ(fs_mkdir("C:\\X"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\X\\XF"), FS_OK);
    const uint32_t x = cluster_of("C:\\X");
    put_slots(cluster_sectors({x}), 3, {short_slot("SELF       ", ATTR_DIRECTORY, x)});
    // Z holds BACK, a second entry for X in another parent.
    ASSERT_EQ(fs_mkdir("C:\\Z"), FS_OK);
    const uint32_t z = cluster_of("C:\\Z");
    put_slots(cluster_sectors({z}), 2, {short_slot("BACK       ", ATTR_DIRECTORY, x)});
    // Y, after X in the root, names X too; W names a directory whose ".."
    // names Z, which holds no entry for it.
    const uint32_t w = raw_directory(z, "WF         ");
    put_slots(root_sectors(), 132,
              {short_slot("Y          ", ATTR_DIRECTORY, x), short_slot("W          ", ATTR_DIRECTORY, w)});
    expected.insert(expected.end(), {{"C:\\X", ATTR_DIRECTORY},
                                     {"C:\\X\\XF", ATTR_ARCHIVE},
                                     {"C:\\X\\SELF", ATTR_DIRECTORY},
                                     {"C:\\Z", ATTR_DIRECTORY},
                                     {"C:\\Z\\BACK", ATTR_DIRECTORY},
                                     {"C:\\Y", ATTR_DIRECTORY},
                                     {"C:\\W", ATTR_DIRECTORY}});
    EXPECT_EQ(walk_all(), expected);
}

TEST_F(WalkMany, GoesOnAfterChildrenInTheLastSlotOfASectorOrACluster) {
    // P spans two clusters: slot 15 ends its first sector, slot 1023 its
    // first cluster (64 sectors of 16 slots); files fill the rest, past
    // the first sector of the second cluster.
    ASSERT_EQ(fs_mkdir("C:\\P"), FS_OK);
    const uint32_t p = cluster_of("C:\\P");
    const uint32_t q = new_cluster();
    set_fat_entry(p, q);
    const uint32_t s15 = raw_directory(p, "IN15       ");
    const uint32_t s1023 = raw_directory(p, "IN1023     ");
    std::vector<Slot> slots;
    Walked expected = {{"C:\\P", ATTR_DIRECTORY}};
    for (int i = 2; i < 1060; i++) {
        if (i == 15 || i == 1023) {
            std::string name = numbered("S", i == 15 ? 15 : 1023 % 1000) + "    ";
            slots.push_back(short_slot(name.substr(0, 11), ATTR_DIRECTORY, i == 15 ? s15 : s1023));
            expected.push_back({"C:\\P\\" + name.substr(0, 4), ATTR_DIRECTORY});
            expected.push_back(
                {"C:\\P\\" + name.substr(0, 4) + (i == 15 ? "\\IN15" : "\\IN1023"), ATTR_ARCHIVE});
            continue;
        }
        std::string name = "F" + std::to_string(10000 + i);
        slots.push_back(short_slot(name + "     ", ATTR_ARCHIVE));
        expected.push_back({"C:\\P\\" + name, ATTR_ARCHIVE});
    }
    put_slots(cluster_sectors({p, q}), 2, slots);
    EXPECT_EQ(walk_all(), expected);
}

} // namespace
