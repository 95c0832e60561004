// Long random sequences of namespace and file operations, checked after
// every step against a model of the tree.
#include "tree_model.h"

using namespace fat16test;

namespace {

class RandomTree : public VolumeTest {};

TEST_F(RandomTree, EveryStepMatchesTheModel) {
    for (uint32_t seed : {1u, 2u, 3u}) {
        ASSERT_EQ(fs_init(), FS_OK);
        TreeModel model(seed);
        for (int step = 0; step < 400; step++) {
            ASSERT_NO_FATAL_FAILURE(model.random_step()) << "seed " << seed << " step " << step;
            ASSERT_NO_FATAL_FAILURE(model.check_walk()) << "seed " << seed << " step " << step;
            if (step % 25 == 0) {
                ASSERT_NO_FATAL_FAILURE(model.check_contents_and_space()) << "step " << step;
            }
        }
        ASSERT_NO_FATAL_FAILURE(model.check_contents_and_space());
        EXPECT_GT(model.node_count(), 20u) << "the sequence should build a real tree";
        // Start the next seed on a fresh volume.
        disk_close_image();
        make_sparse_file("fat16.img", kImageBytes);
        ASSERT_EQ(disk_open_image(), FS_OK);
        ASSERT_EQ(fs_format_if_blank(0, 6, kImageSectors), FS_OK);
    }
}

} // namespace
