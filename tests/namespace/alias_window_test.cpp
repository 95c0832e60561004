// The lowest free alias tail of a directory whose family of aliases takes
// more tails than one scan of the directory tracks: the tails are looked
// for window by window, and a sector that cannot be read in any scan makes
// the creation fail instead of choosing a tail that may be taken.
#include "../dir/dir_test_util.h"

using namespace fat16test;

namespace {

// The 8.3 name of tail `k` of the family of "abcdefghij.txt": ABCDEF~1,
// ABCDE~10, ABCD~100, ABC~1000 ... with the extension TXT.
std::string tail_name(uint32_t k) {
    std::string tail = "~" + std::to_string(k);
    std::string name = std::string("ABCDEF").substr(0, std::min<size_t>(6, 8 - tail.size())) + tail;
    name.resize(8, ' ');
    return name + "TXT";
}

// A directory `path` whose chain holds `clusters` clusters, with 8.3
// entries for every tail from 1 to `last` but `free_tail`.
void make_family(const char *path, uint32_t clusters, uint32_t last, uint32_t free_tail) {
    ASSERT_EQ(fs_mkdir(path), FS_OK);
    std::vector<uint32_t> chain = {cluster_of(path)};
    while (chain.size() < clusters) {
        uint32_t added = 0;
        Sector scratch{};
        ASSERT_EQ(fat_append_cluster(chain.back(), &added, scratch.data()), FS_OK);
        chain.push_back(added);
    }
    std::vector<Slot> slots;
    for (uint32_t k = 1; k <= last; k++)
        if (k != free_tail) slots.push_back(short_slot(tail_name(k), ATTR_ARCHIVE));
    put_slots(cluster_sectors(chain), 2, slots);
}

// The 8.3 name the entry at `path` carries, "NAME.EXT" as stored.
std::string alias_of(const std::string &path) {
    FsEntry entry;
    EXPECT_EQ(fs_stat(path.c_str(), &entry), FS_OK) << path;
    return entry.short_name;
}

class AliasWindow : public VolumeTest {};

TEST_F(AliasWindow, TheLowestFreeTailPastTheFirstWindow) {
    ASSERT_NO_FATAL_FAILURE(make_family("C:\\SECOND", 3, 2100, 2077));
    ASSERT_EQ(fs_create_file("C:\\SECOND\\abcdefghij.txt"), FS_OK);
    EXPECT_EQ(alias_of("C:\\SECOND\\abcdefghij.txt"), "abc~2077.txt");
    // The tail just taken is taken now: the next one is the first past the family.
    ASSERT_EQ(fs_create_file("C:\\SECOND\\abcdefghijk.txt"), FS_OK);
    EXPECT_EQ(alias_of("C:\\SECOND\\abcdefghijk.txt"), "abc~2101.txt");
}

TEST_F(AliasWindow, EveryTailOfTwoWindowsTaken) {
    ASSERT_NO_FATAL_FAILURE(make_family("C:\\THIRD", 5, 4200, 0));
    ASSERT_EQ(fs_create_file("C:\\THIRD\\abcdefghij.txt"), FS_OK);
    EXPECT_EQ(alias_of("C:\\THIRD\\abcdefghij.txt"), "abc~4201.txt");
    // A tail freed in the first window is found again by the first scan.
    ASSERT_EQ(fs_delete_file("C:\\THIRD\\ABCD~123.TXT"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\THIRD\\abcdefghijk.txt"), FS_OK);
    EXPECT_EQ(alias_of("C:\\THIRD\\abcdefghijk.txt"), "abcd~123.txt");
}

TEST(AliasWindowFaults, AnUnreadableSectorInAnyScanRefusesTheName) {
    std::vector<uint8_t> image;
    ASSERT_NO_FATAL_FAILURE(format_memory_volume(&image, 10000));
    ASSERT_NO_FATAL_FAILURE(make_family("C:\\SECOND", 3, 2100, 2077));
    const std::vector<uint8_t> before = image;
    const char *path = "C:\\SECOND\\abcdefghij.txt";

    // Reads of the creation fail in turn (every fifth, so each scan of the
    // directory fails at some 26 places); whatever the creation then does,
    // it never takes a tail that another entry holds.
    FsDiskFaults none{0, 0, 0};
    disk_set_faults(&none);
    ASSERT_EQ(fs_create_file(path), FS_OK);
    const uint64_t reads = fault_device_reads();
    ASSERT_GT(reads, 2u * 132u); // at least two scans of the directory's 132 sectors
    for (uint64_t n = 1; n <= reads; n += 5) {
        image = before; // the same bytes at the same address: the device still sees them
        ASSERT_EQ(fs_init(), FS_OK);
        FsDiskFaults faults{n, 0, 0};
        disk_set_faults(&faults);
        FsStatus made = fs_create_file(path);
        FsError reason = fs_last_error();
        disk_set_faults(nullptr);
        if (made != FS_OK) {
            EXPECT_EQ(reason, FS_ERR_IO) << "read " << n;
            continue;
        }
        EXPECT_EQ(alias_of(path), "abc~2077.txt") << "read " << n;
    }
}

} // namespace
