// After a random sequence of operations the image is sound for fsck.fat,
// mdir lists the model's tree, and the free space agrees with fsck.fat.
#include <regex>

#include "../namespace/tree_model.h"

using namespace fat16test;

namespace {

class RandomTreeInterop : public VolumeTest {};

TEST_F(RandomTreeInterop, ImageAfterRandomOperationsIsSoundForOtherTools) {
    REQUIRE_TOOL("fsck.fat");
    REQUIRE_TOOL("mdir");
    TreeModel model(99);
    for (int step = 0; step < 600; step++) ASSERT_NO_FATAL_FAILURE(model.random_step()) << step;
    ASSERT_GT(model.node_count(), 20u);
    uint32_t capacity = 0, free_space = 0;
    ASSERT_EQ(fs_volume_info('c', &capacity, &free_space), FS_OK);
    disk_close_image();

    EXPECT_EQ(fsck_problems("fat16.img"), "");
    CommandResult r = run_command("fsck.fat -n fat16.img");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.output, m, std::regex("(\\d+)/(\\d+) clusters"))) << r.output;
    EXPECT_EQ(free_space, (std::stoul(m[2]) - std::stoul(m[1])) * 64);
    std::vector<std::string> listed = mdir_paths("fat16.img");
    EXPECT_EQ(std::set<std::string>(listed.begin(), listed.end()), model.mtools_paths());
}

} // namespace
