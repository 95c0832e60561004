// Cluster chains: allocation, linking, freeing and bounds on damaged FATs.
#include "test_support.h"

using namespace fat16test;

namespace {

class Fat : public VolumeTest {
  protected:
    uint32_t alloc() {
        uint32_t c = 0;
        Sector buf = filled(0x99);
        EXPECT_EQ(fat_alloc_cluster(&c, buf.data()), FS_OK);
        EXPECT_TRUE(all_bytes(buf, 0)); // the buffer ends as a zero sector
        return c;
    }
    uint32_t append(uint32_t after) {
        uint32_t c = 0;
        Sector buf = filled(0x99);
        EXPECT_EQ(fat_append_cluster(after, &c, buf.data()), FS_OK);
        EXPECT_TRUE(all_bytes(buf, 0));
        return c;
    }
    void expect_entry(uint32_t cluster, uint32_t value) {
        EXPECT_EQ(fat_entry(cluster, 0), value) << "cluster " << cluster << " first FAT";
        EXPECT_EQ(fat_entry(cluster, 1), value) << "cluster " << cluster << " second FAT";
    }
    // Marks every data cluster used, straight in both FATs.
    void fill_fat() {
        for (uint32_t copy = 0; copy < 2; copy++)
            for (uint32_t s = 0; s < 256; s++) {
                Sector sector = filled(0xFF);
                if (s == 0) sector[0] = 0xF8;
                write_raw(1 + copy * 256 + s, sector);
            }
        // Entries past cluster_count + 1 are zero in the last FAT sector.
        for (uint32_t copy = 0; copy < 2; copy++) {
            Sector last = read_raw(1 + copy * 256 + 7543 / 256);
            for (uint32_t n = 7544; n < 7680; n++) last[(n % 256) * 2] = last[(n % 256) * 2 + 1] = 0;
            write_raw(1 + copy * 256 + 7543 / 256, last);
        }
    }
};

TEST_F(Fat, ClusterToSector) {
    EXPECT_EQ(cluster_to_sector(2), 577u);
    EXPECT_EQ(cluster_to_sector(3), 641u);
    EXPECT_EQ(cluster_to_sector(7543), 577u + 7541u * 64);
    // No sector is ever computed for a cluster outside the data area.
    for (uint32_t bad : {0u, 1u, 7544u, 0xFFFFu, 0xFFFFFFFFu})
        EXPECT_GE(cluster_to_sector(bad), FS_SECTOR_LIMIT);
}

TEST_F(Fat, FirstAllocationIsClusterTwoZeroFilled) {
    for (uint32_t s = 577; s <= 641; s++) write_raw(s, filled(0xEE));
    EXPECT_EQ(alloc(), 2u);
    for (uint32_t head : {1u, 257u}) {
        Sector s = read_raw(head);
        const uint8_t expect[] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
        for (int i = 0; i < 7; i++) EXPECT_EQ(s[i], expect[i]) << head << ":" << i;
    }
    for (uint32_t s = 577; s <= 640; s++) ASSERT_TRUE(all_bytes(read_raw(s), 0)) << s;
    EXPECT_TRUE(all_bytes(read_raw(641), 0xEE)); // the next cluster is untouched
}

TEST_F(Fat, FreedClustersAreReusedLowestFirst) {
    EXPECT_EQ(alloc(), 2u);
    EXPECT_EQ(alloc(), 3u);
    EXPECT_EQ(alloc(), 4u);
    EXPECT_EQ(fat_free_chain(3), FS_OK);
    expect_entry(3, 0);
    EXPECT_EQ(alloc(), 3u);
    EXPECT_EQ(alloc(), 5u);
}

TEST_F(Fat, AppendAtTheEndOfAChain) {
    uint32_t c = alloc();
    uint32_t n = append(c);
    EXPECT_EQ(n, 3u);
    expect_entry(c, n);
    expect_entry(n, 0xFFFF);
    EXPECT_EQ(fat_read_entry(c), n);
}

TEST_F(Fat, AppendInTheMiddleInserts) {
    EXPECT_EQ(alloc(), 2u);
    EXPECT_EQ(append(2), 3u); // 2 -> 3 -> end
    EXPECT_EQ(append(2), 4u); // 2 -> 4 -> 3 -> end
    expect_entry(2, 4);
    expect_entry(4, 3);
    expect_entry(3, 0xFFFF);
}

TEST_F(Fat, AppendAcrossFatSectorBoundary) {
    // Cluster 255 is the last entry of the first FAT sector; the next free
    // one lies in the second.
    for (uint32_t c = 2; c <= 255; c++) set_fat_entry(c, 0xFFFF);
    EXPECT_EQ(append(255), 256u);
    expect_entry(255, 256);
    expect_entry(256, 0xFFFF);
}

TEST_F(Fat, FullFatRefusesBothAllocators) {
    fill_fat();
    uint32_t out = 12345;
    Sector buf{};
    EXPECT_EQ(fat_alloc_cluster(&out, buf.data()), FS_FAIL);
    EXPECT_EQ(out, 12345u);
    EXPECT_EQ(fat_append_cluster(2, &out, buf.data()), FS_FAIL);
    EXPECT_EQ(out, 12345u);
    // Entries 7,544 .. 7,679 of the last FAT sector are zero but never handed out.
    EXPECT_EQ(fat_entry(7544), 0u);
    EXPECT_EQ(fat_entry(7543), 0xFFFFu);
    set_fat_entry(7543, 0);
    EXPECT_EQ(fat_alloc_cluster(&out, buf.data()), FS_OK);
    EXPECT_EQ(out, 7543u);
}

TEST_F(Fat, FreeChainStopsAtTheEndMark) {
    set_fat_entry(5, 9);
    set_fat_entry(9, 0xFFFF);
    set_fat_entry(10, 0xFFFF);
    EXPECT_EQ(fat_free_chain(5), FS_OK);
    expect_entry(5, 0);
    expect_entry(9, 0);
    expect_entry(10, 0xFFFF);
}

TEST_F(Fat, FindPreviousCluster) {
    set_fat_entry(5, 9);
    set_fat_entry(9, 0xFFFF);
    EXPECT_EQ(fat_find_prev_cluster(9), 5u);
    EXPECT_EQ(fat_find_prev_cluster(5), 255u);
}

TEST_F(Fat, DamagedFatsNeverHandOutEntriesZeroAndOne) {
    set_fat_entry(0, 0);
    set_fat_entry(1, 0);
    EXPECT_EQ(alloc(), 2u);
    EXPECT_EQ(fat_entry(0), 0u); // not touched
    EXPECT_EQ(fat_entry(1), 0u);
}

TEST_F(Fat, DamagedChainsStopInsteadOfLoopingOrWritingOutside) {
    // A loop 5 -> 6 -> 5 is freed once around.
    set_fat_entry(5, 6);
    set_fat_entry(6, 5);
    EXPECT_EQ(fat_free_chain(5), FS_OK);
    expect_entry(5, 0);
    expect_entry(6, 0);
    // A chain that runs into entry 1 or past the clusters stops there.
    set_fat_entry(7, 1);
    EXPECT_EQ(fat_free_chain(7), FS_OK);
    expect_entry(1, 0xFFFF);
    set_fat_entry(8, 60000);
    EXPECT_EQ(fat_free_chain(8), FS_OK);
    expect_entry(8, 0);
    // Clusters outside the data area are refused or read as an end.
    Sector buf{};
    uint32_t out = 0;
    EXPECT_EQ(fat_free_chain(0), FS_FAIL);
    EXPECT_EQ(fat_free_chain(1), FS_FAIL);
    EXPECT_EQ(fat_free_chain(7544), FS_FAIL);
    EXPECT_EQ(fat_append_cluster(0, &out, buf.data()), FS_FAIL);
    EXPECT_EQ(fat_append_cluster(9000, &out, buf.data()), FS_FAIL);
    EXPECT_EQ(fat_read_entry(7544), 0xFFFFu);
    EXPECT_EQ(fat_read_entry(0xFFFFFFFFu), 0xFFFFu);
    EXPECT_EQ(fat_read_entry(0), 0xFFF8u);
}

TEST_F(Fat, ChainGuardSpotsLoopsWhenTheyClose) {
    // 2 -> 3 -> 4 -> 5 -> 3: the guard fails within a few turns of the loop.
    set_fat_entry(2, 3);
    set_fat_entry(3, 4);
    set_fat_entry(4, 5);
    set_fat_entry(5, 3);
    FatChainGuard guard;
    fat_guard_start(&guard, 2);
    uint32_t c = 2;
    int steps = 0;
    while (steps < 100) {
        c = fat_read_entry(c);
        steps++;
        if (fat_guard_step(&guard, c) != FS_OK) break;
    }
    EXPECT_LT(steps, 12);
    // A straight chain of every cluster passes.
    fat_guard_start(&guard, 2);
    for (uint32_t n = 3; n <= 7543; n++) ASSERT_EQ(fat_guard_step(&guard, n), FS_OK) << n;
}

} // namespace
