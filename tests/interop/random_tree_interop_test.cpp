// After a random sequence of operations the image is sound for fsck.fat,
// mdir lists the model's tree under the names as stored, mcopy copies out
// every file's bytes, and the free space agrees with fsck.fat.
#include <stdlib.h>

#include <algorithm>
#include <regex>

#include "../namespace/tree_model.h"

using namespace fat16test;

namespace {

class RandomTreeInterop : public VolumeTest {};

TEST_F(RandomTreeInterop, ImageAfterRandomOperationsIsSoundForOtherTools) {
    REQUIRE_TOOL("fsck.fat");
    REQUIRE_TOOL("mdir");
    REQUIRE_TOOL("mcopy");
    TreeModel model(99);
    for (int step = 0; step < 600; step++) ASSERT_NO_FATAL_FAILURE(model.random_step()) << step;
    ASSERT_GT(model.node_count(), 20u);
    ASSERT_NO_FATAL_FAILURE(model.check_walk());
    ASSERT_NO_FATAL_FAILURE(model.check_contents_and_space());
    uint32_t capacity = 0, free_space = 0;
    ASSERT_EQ(fs_volume_info('c', &capacity, &free_space), FS_OK);
    disk_close_image();

    EXPECT_EQ(fsck_problems("fat16.img"), "");
    CommandResult r = run_command("fsck.fat -n fat16.img");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.output, m, std::regex("(\\d+)/(\\d+) clusters"))) << r.output;
    EXPECT_EQ(free_space, (std::stoul(m[2]) - std::stoul(m[1])) * 64);

    // mtools gives names beyond ASCII as UTF-8 only in a UTF-8 locale.
    ScopedEnv utf8("LC_ALL", "C.UTF-8");
    std::vector<std::string> listed = mdir_paths("fat16.img");
    std::sort(listed.begin(), listed.end());
    // mtools 4.0 turns each UTF-16 unit of a long name into a character of
    // its own, so a character beyond U+FFFF, stored as a surrogate pair,
    // prints as "__"; every other name must print exactly as stored.
    std::set<std::string> exact = model.mtools_paths(false);
    std::set<std::string> halves = model.mtools_paths(true);
    if (std::vector<std::string>(exact.begin(), exact.end()) != listed) {
        std::vector<std::string> shown(halves.begin(), halves.end());
        EXPECT_EQ(listed, shown)
            << "mdir lists other names than the model holds (or two look alike to mtools)";
    }

    // mcopy finds every file by its long name and reads its bytes; names
    // mtools cannot show (above) are left out.
    ASSERT_EQ(system("mkdir -p out"), 0);
    r = run_command(kMtoolsEnv + "mcopy -s -n -i fat16.img '::*' out/");
    EXPECT_EQ(r.status, 0) << r.output;
    size_t compared = 0;
    for (const auto &[path, data] : model.files()) {
        bool beyond = std::any_of(path.begin(), path.end(), [](char c) { return (uint8_t)c >= 0xF0; });
        if (beyond) continue;
        std::string copied = read_file("out/" + path);
        EXPECT_TRUE(copied == std::string(data.begin(), data.end())) << path;
        compared++;
    }
    EXPECT_GT(compared, 20u);
}

} // namespace
