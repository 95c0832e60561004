// Long random sequences of namespace and file operations, checked after
// every step against a model of the tree.
#include <stdlib.h>

#include "tree_model.h"

using namespace fat16test;

namespace {

class RandomTree : public VolumeTest {};

// FAT16_TREE_SEEDS=N runs seeds 1 to N instead of the usual three (for
// searching longer by hand).
TEST_F(RandomTree, EveryStepMatchesTheModel) {
    const char *more = getenv("FAT16_TREE_SEEDS");
    const uint32_t seeds = more != nullptr ? (uint32_t)atoi(more) : 3;
    for (uint32_t seed = 1; seed <= seeds; seed++) {
        ASSERT_EQ(fs_init(), FS_OK);
        TreeModel model(seed);
        for (int step = 0; step < 300; step++) {
            ASSERT_NO_FATAL_FAILURE(model.random_step()) << "seed " << seed << " step " << step;
            ASSERT_NO_FATAL_FAILURE(model.check_walk()) << "seed " << seed << " step " << step;
            if (step % 25 == 0) {
                ASSERT_NO_FATAL_FAILURE(model.check_contents_and_space()) << "step " << step;
            }
            if (HasFailure()) FAIL() << "seed " << seed << " step " << step;
        }
        ASSERT_NO_FATAL_FAILURE(model.check_contents_and_space());
        EXPECT_GT(model.node_count(), 20u) << "the sequence should build a real tree";
        // The usual seeds make every kind of name and move the model knows.
        const TreeModel::Tally &t = model.tally();
        if (more == nullptr) {
            EXPECT_GT(t.long_names, 10u);
            EXPECT_GT(t.short_names, 10u);
            EXPECT_GT(t.kept_case, 5u);
            EXPECT_GT(t.moves, 5u);
            EXPECT_GT(t.moves_refused, 5u);
            EXPECT_GT(t.renames, 2u);
            EXPECT_GT(t.by_alias, 5u);
        }
        // Start the next seed on a fresh volume.
        disk_close_image();
        make_sparse_file("fat16.img", kImageBytes);
        ASSERT_EQ(disk_open_image(), FS_OK);
        ASSERT_EQ(fs_format_if_blank(0, 6, kImageSectors), FS_OK);
    }
}

} // namespace
