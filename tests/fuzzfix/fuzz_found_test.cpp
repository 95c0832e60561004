// Faults the fuzzers found (fuzz/), each as the behaviour the library keeps
// now. The inputs that found them are replayed from fuzz/regressions.
#include <vector>

#include "test_support.h"

using namespace fat16test;

namespace {

class FuzzFound : public VolumeTest {
  protected:
    bool found(const char *path, uint8_t kind) {
        DirCursor.search_kind = kind;
        return path_resolve(path) == FS_OK;
    }
    // Overwrites the size field of the file's 8.3 entry on the image.
    void set_size_on_image(const char *path, uint32_t size) {
        ASSERT_TRUE(found(path, KIND_FILE)) << path;
        Sector s = read_raw(FoundEntry.entry_sector);
        for (int i = 0; i < 4; i++) s[FoundEntry.entry_offset + 28 + i] = (uint8_t)(size >> (8 * i));
        write_raw(FoundEntry.entry_sector, s);
    }
};

// "C:\\NAME" holds an empty component, which every lookup refuses; creation
// took the root as its parent and made an entry no path could reach by
// that name.
TEST_F(FuzzFound, CreationRefusesAnEmptyComponentBeforeTheName) {
    ASSERT_EQ(fs_mkdir("C:\\DIR"), FS_OK);
    uint64_t before = sector_writes();
    for (const char *p : {"C:\\\\NAME", "\\\\NAME", "DIR\\\\NAME", "C:\\DIR\\\\NAME"}) {
        EXPECT_EQ(fs_create_file(p), FS_FAIL) << p;
        EXPECT_EQ(fs_last_error(), FS_ERR_NO_PARENT) << p;
        EXPECT_EQ(fs_mkdir(p), FS_FAIL) << p;
        EXPECT_FALSE(found(p, KIND_FILE)) << p;
    }
    EXPECT_EQ(sector_writes(), before);
    EXPECT_FALSE(found("C:\\NAME", KIND_FILE));
    // One separator: created, and found again by the same path.
    for (const char *p : {"C:\\NAME", "\\OTHER", "DIR\\NAME"}) {
        ASSERT_EQ(fs_create_file(p), FS_OK) << p;
        EXPECT_TRUE(found(p, KIND_FILE)) << p;
    }
}

// A size field that claims far more than the chain holds let a seek to the
// end and a write there allocate (and zero-fill) one cluster after another,
// each found by a new scan of the FAT, until the volume was full: one write
// of a few bytes took minutes on a large volume. Now a flush appends only
// the one cluster that follows the chain's end.
TEST_F(FuzzFound, AWriteFarPastAShortChainAllocatesNothing) {
    ASSERT_EQ(fs_create_file("C:\\LIAR"), FS_OK);
    uint8_t h = fs_open("C:\\LIAR");
    std::vector<uint8_t> data(1000, 0x5A);
    ASSERT_EQ(fs_write(h, data.data(), 1000), 1000u);
    ASSERT_EQ(fs_close(h), FS_OK);
    set_size_on_image("C:\\LIAR", 200000000); // thousands of clusters, the chain has one
    uint32_t free_before = free_sectors();
    h = fs_open("C:\\LIAR");
    ASSERT_NE(h, FS_FAIL);
    ASSERT_EQ(fs_seek(h, 0, ORIGIN_END), FS_OK);
    EXPECT_EQ(fs_write(h, data.data(), 10), 0u);
    EXPECT_EQ(fs_last_error(), FS_ERR_DAMAGED);
    EXPECT_EQ(free_sectors(), free_before);
    // The refused sector stays in the slot, as after any failed flush, and
    // the close that drops it says so; with a fresh slot, a write right
    // after the chain's end still appends the one new cluster.
    EXPECT_EQ(fs_close(h), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_DAMAGED);
    h = fs_open("C:\\LIAR");
    ASSERT_EQ(fs_seek(h, 32768 + 100, ORIGIN_START), FS_OK);
    EXPECT_EQ(fs_write(h, data.data(), 10), 10u);
    EXPECT_EQ(free_sectors(), free_before - VolumeGeometry.sectors_per_cluster);
    ASSERT_EQ(fs_close(h), FS_OK);
}

// A long name whose alias lost its leading spaces and then began with byte
// 0xE5, the free-slot marker: the alias slot read as free, the new entry
// could not be found, and its long-name slots were left without an alias.
TEST_F(FuzzFound, AnAliasNeverBeginsWithTheFreeSlotMarker) {
    // Bytes 0xE5 that are no UTF-8 make no name at all.
    EXPECT_EQ(fs_create_file(" \xE5\xE5\xE5\xE5\xE5\xE5\xE5\xE5.txt"), FS_FAIL);
    EXPECT_EQ(fs_last_error(), FS_ERR_INVALID_NAME);
    // "å" is U+00E5: a character beyond ASCII becomes '_' in the alias.
    const char *name = " \xC3\xA5\xC3\xA5\xC3\xA5\xC3\xA5\xC3\xA5\xC3\xA5.txt";
    ASSERT_EQ(fs_create_file(name), FS_OK);
    ASSERT_TRUE(found(name, KIND_FILE));
    Slot alias = slot_at(FoundEntry.entry_sector, FoundEntry.entry_offset);
    EXPECT_EQ(slot_name(alias), "______~1TXT");
    // The same name again is refused, and a renamed file takes the same care.
    EXPECT_EQ(fs_create_file(name), FS_FAIL);
    ASSERT_EQ(fs_create_file("PLAIN.TXT"), FS_OK);
    ASSERT_EQ(fs_rename("PLAIN.TXT", "  \xC3\xA5\xC3\xA5 second.c"), FS_OK);
    EXPECT_TRUE(found("  \xC3\x85\xC3\x85 SECOND.C", KIND_FILE)); // stored in capitals: "ÅÅ" is found too
    FsCheckReport report;
    EXPECT_EQ(check_volume(&report), FS_OK) << fs_check_problem_text(report.problems[0].kind);
}

} // namespace
