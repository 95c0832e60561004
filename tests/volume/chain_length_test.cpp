// The measure of a chain: distinct clusters up to its end or the first
// cluster it comes back to, for loops of every size behind tails of every
// length, and at most one FAT read per link of a chain that ends.
#include "test_support.h"

using namespace fat16test;

namespace {

class ChainLength : public VolumeTest {
  protected:
    // Links `clusters` one after the other and the last one to `last`.
    void link(const std::vector<uint32_t> &clusters, uint32_t last) {
        for (size_t i = 0; i + 1 < clusters.size(); i++) set_fat_entry(clusters[i], clusters[i + 1]);
        set_fat_entry(clusters.back(), last);
    }
    // `n` clusters spread over the FAT (several sectors of it), in a
    // scrambled order so that the chain goes back and forth.
    static std::vector<uint32_t> spread(uint32_t n) {
        std::vector<uint32_t> out;
        for (uint32_t i = 0; i < n; i++) out.push_back(2 + (i * 2713u) % 7000u);
        return out;
    }
};

TEST_F(ChainLength, LoopsOfEverySizeBehindTailsOfEveryLength) {
    for (uint32_t tail : {0u, 1u, 2u, 3u, 5u, 16u, 100u}) {
        for (uint32_t loop : {1u, 2u, 3u, 4u, 7u, 64u, 129u, 1000u}) {
            std::vector<uint32_t> chain = spread(tail + loop);
            link(chain, chain[tail]); // the last cluster goes back to where the loop begins
            EXPECT_EQ(fat_chain_length(chain[0]), tail + loop) << "tail " << tail << " loop " << loop;
            // Entered inside the loop, the chain is the loop alone.
            EXPECT_EQ(fat_chain_length(chain[tail]), loop) << "tail " << tail << " loop " << loop;
        }
    }
}

TEST_F(ChainLength, ChainsThatEndReadEachLinkOnce) {
    const uint32_t ends[] = {0xFFFF, 0xFFF8, 0xFFF7, 0, 1, 7544, 60000};
    for (uint32_t n : {1u, 2u, 3u, 31u, 500u}) {
        for (uint32_t end : ends) {
            std::vector<uint32_t> chain = spread(n);
            link(chain, end);
            disk_invalidate();
            disk_reset_counters();
            EXPECT_EQ(fat_chain_length(chain[0]), n) << n << " clusters ending in " << end;
            FsDiskCounters counters;
            disk_get_counters(&counters);
            // At most one read a link (fewer where the window still holds the sector).
            EXPECT_LE(counters.reads, n) << n << " clusters ending in " << end;
            EXPECT_GE(counters.reads, 1u) << n << " clusters ending in " << end;
        }
    }
    // A first cluster that is no data cluster has no chain.
    for (uint32_t bad : {0u, 1u, 7544u, 0xFFFFu, 0xFFFFFFFFu}) EXPECT_EQ(fat_chain_length(bad), 0u) << bad;
}

TEST_F(ChainLength, AnUnreadableFatSectorEndsTheChain) {
    // Never more than the clusters in front of the sector that failed.
    std::vector<uint32_t> chain = {10, 11, 600, 601, 602}; // 600 on the FAT's third sector
    link(chain, 0xFFFF);
    FsDiskFaults faults{2, 0, 0}; // the second read: the sector of cluster 600 (after that of 10 and 11)
    disk_set_faults(&faults);
    uint32_t counted = fat_chain_length(10);
    EXPECT_GE(counted, 1u);
    EXPECT_LE(counted, 3u);
    disk_set_faults(nullptr);
    // Whichever read of a looping chain fails, the count stays within the
    // clusters there are.
    link(chain, 11);
    for (uint64_t n = 1; n <= 30; n++) {
        FsDiskFaults again{n, 0, 0};
        disk_set_faults(&again);
        EXPECT_LE(fat_chain_length(10), 5u) << n;
        disk_set_faults(nullptr);
        EXPECT_EQ(fat_chain_length(10), 5u) << n;
    }
}

} // namespace
