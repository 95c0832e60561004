// Trees of directories and names made here read back through other FAT
// tools, and trees they make resolve here.
#include <algorithm>
#include <set>

#include "test_support.h"

using namespace fat16test;

namespace {

class TreeInterop : public VolumeTest {};

TEST_F(TreeInterop, TreeMadeHerePassesFsckAndListsEveryName) {
    REQUIRE_TOOL("fsck.fat");
    REQUIRE_TOOL("mdir");
    std::set<std::string> expected;
    auto dir = [&](const std::string &path) {
        ASSERT_EQ(fs_mkdir(("C:\\" + path).c_str()), FS_OK) << path;
        std::string p = path;
        std::replace(p.begin(), p.end(), '\\', '/');
        expected.insert("::/" + p + "/");
    };
    auto file = [&](const std::string &path, std::string listed = "") {
        ASSERT_EQ(fs_create_file(("C:\\" + path).c_str()), FS_OK) << path;
        std::string p = listed.empty() ? path : listed;
        std::replace(p.begin(), p.end(), '\\', '/');
        expected.insert("::/" + p);
    };
    dir("SHORT");
    dir("SHORT\\NESTED");
    dir("SHORT\\NESTED\\DEEPER");
    dir("A directory with a long name");
    file("README.TXT");
    file("lower.c", "LOWER.C");
    file("SHORT\\NESTED\\DEEPER\\FILE");
    file("thirteen_char");                // 13
    file("fourteen_chars");               // 14
    file("twenty-six-characters-long");   // 26
    file(std::string(251, 'L') + ".txt"); // 255
    file("A directory with a long name\\with spaces and+plus.txt");
    dir("MANY");
    for (int i = 0; i < 850; i++) file("MANY\\zzzzzzzz_shared_" + std::to_string(i) + ".rar");
    disk_close_image();

    EXPECT_EQ(fsck_problems("fat16.img"), "");
    std::vector<std::string> listed = mdir_paths("fat16.img");
    std::set<std::string> seen(listed.begin(), listed.end());
    EXPECT_EQ(seen, expected);
}

TEST(ForeignTree, TreeMadeByMtoolsResolvesHere) {
    REQUIRE_TOOL("mmd");
    REQUIRE_TOOL("mcopy");
    ScratchDir scratch;
    make_sparse_file("fat16.img", kImageBytes);
    ASSERT_EQ(disk_open_image(), FS_OK);
    ASSERT_EQ(fs_format_if_blank(0, 6, kImageSectors), FS_OK);
    disk_close_image();
    const std::string m = kMtoolsEnv;
    const std::vector<std::string> dirs = {"TOP", "TOP/Sub Directory", "TOP/Sub Directory/DEEP", "lowerdir"};
    const std::vector<std::string> files = {"TOP/EMPTY.TXT", "TOP/Sub Directory/a long file name.txt",
                                            "TOP/Sub Directory/DEEP/X", "lowerdir/small.c", "ROOTFILE.BIN"};
    for (const std::string &d : dirs)
        ASSERT_EQ(run_command(m + "mmd -i fat16.img '::/" + d + "'").status, 0) << d;
    write_file("empty-host-file", "");
    for (const std::string &f : files)
        ASSERT_EQ(run_command(m + "mcopy -i fat16.img empty-host-file '::/" + f + "'").status, 0) << f;

    ASSERT_EQ(disk_open_image(), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
    auto to_path = [](std::string p) {
        std::replace(p.begin(), p.end(), '/', '\\');
        return "C:\\" + p;
    };
    for (const std::string &d : dirs) {
        DirCursor.search_kind = KIND_DIR;
        EXPECT_EQ(path_resolve(to_path(d).c_str()), FS_OK) << d;
        EXPECT_TRUE(FoundEntry.attr & ATTR_DIRECTORY) << d;
    }
    for (const std::string &f : files) {
        DirCursor.search_kind = KIND_FILE;
        EXPECT_EQ(path_resolve(to_path(f).c_str()), FS_OK) << f;
        EXPECT_FALSE(FoundEntry.attr & ATTR_DIRECTORY) << f;
        EXPECT_EQ(FoundEntry.size, 0u) << f;
    }
    static FsCheckReport report;
    EXPECT_EQ(check_volume(&report), FS_OK);
    EXPECT_EQ(report.directories, 4u);
    EXPECT_EQ(report.files, 5u);
    // Creating next to them keeps the image clean for fsck.
    ASSERT_EQ(fs_create_file("C:\\TOP\\Sub Directory\\made here.txt"), FS_OK);
    ASSERT_EQ(fs_create_file("C:\\TOP\\Sub Directory\\a long file name2.txt"), FS_OK);
    EXPECT_EQ(fs_create_file("C:\\TOP\\SUB DIRECTORY\\A LONG FILE NAME.TXT"), FS_FAIL);
    disk_close_image();
    expect_fsck_clean("fat16.img");
}

} // namespace
