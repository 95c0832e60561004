// The loop guard of the directory cursor belongs to one walk of one chain:
// what a walk that ended (at a loop or at the chain's end) left behind never
// cuts short a later walk of a directory from the same cluster.
#include "dir_test_util.h"

using namespace fat16test;

namespace {

class CursorGuard : public VolumeTest {
  protected:
    // `n` erased slots: the reader passes over them to the next cluster.
    static std::vector<Slot> erased(uint32_t n) {
        Slot free_slot{};
        free_slot[0] = ENTRY_FREE;
        return std::vector<Slot>(n, free_slot);
    }
    // The names fs_list_entries gives for `dir`.
    std::vector<std::string> listing(const char *dir) {
        std::vector<std::string> names;
        FsEntry entry;
        for (uint8_t more = 0; names.size() < 100000 && fs_list_entries(dir, more, &entry) == FS_OK; more = 1)
            names.push_back(entry.name);
        return names;
    }
};

TEST_F(CursorGuard, AWalkThatMetALoopLeavesNothingForTheNextWalk) {
    ASSERT_EQ(fs_mkdir("A"), FS_OK);
    const uint32_t a = cluster_of("C:\\A");
    const uint32_t b = new_cluster();
    // A's chain a -> b -> a loops; the first slot of b holds a file.
    set_fat_entry(a, b);
    set_fat_entry(b, a);
    put_slots(cluster_sectors({a, b}), 2, erased(1022));
    put_slots(cluster_sectors({a, b}), 1024, {short_slot("INB        ", ATTR_ARCHIVE)});
    put_slots(cluster_sectors({a, b}), 1025, erased(1023));
    // The listing goes round until the guard sees the loop.
    std::vector<std::string> looped = listing("C:\\A");
    EXPECT_GE(std::count(looped.begin(), looped.end(), "INB"), 1);
    // Mended: a -> b, then the end. The listing must reach b again.
    set_fat_entry(b, 0xFFFF);
    EXPECT_EQ(listing("C:\\A"), std::vector<std::string>{"INB"});
}

TEST_F(CursorGuard, AChainReadToItsEndLeavesNothingForTheNextWalk) {
    // D over clusters c -> d -> e is read to its end. Then the same clusters
    // hold another directory's chain, e -> d (as on a volume made afresh,
    // or after a repair): it is no loop, and both of its clusters are read.
    ASSERT_EQ(fs_mkdir("D"), FS_OK);
    const uint32_t c = cluster_of("C:\\D");
    const uint32_t d = new_cluster();
    const uint32_t e = new_cluster();
    set_fat_entry(c, d);
    set_fat_entry(d, e);
    put_slots(cluster_sectors({c, d, e}), 2, erased(2046));
    put_slots(cluster_sectors({c, d, e}), 2048, {short_slot("IND        ", ATTR_ARCHIVE)});
    EXPECT_EQ(listing("C:\\D"), std::vector<std::string>{"IND"});

    put_slots(root_sectors(), 1, {short_slot("E          ", ATTR_DIRECTORY, e)});
    set_fat_entry(e, d);
    set_fat_entry(d, 0xFFFF);
    put_slots(cluster_sectors({e, d}), 0,
              {short_slot(".          ", ATTR_DIRECTORY, e), short_slot("..         ", ATTR_DIRECTORY, 0)});
    put_slots(cluster_sectors({e, d}), 2, erased(1022));
    put_slots(cluster_sectors({e, d}), 1024, {short_slot("INE        ", ATTR_ARCHIVE)});
    EXPECT_EQ(listing("C:\\E"), std::vector<std::string>{"INE"});
}

} // namespace
