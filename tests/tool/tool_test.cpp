// The `fat16` tool end to end: trees in and out, every refusal with its
// reason and exit status, images read back by other FAT tools, partitioned
// images, the export guard and data that could not be moved.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "tool_support.h"

using namespace fat16test;
using namespace fat16tooltest;

namespace {

// A tree with nested folders, long and 8.3 names (8.3 ones in capitals) and
// sizes around sector and cluster boundaries.
void make_tree(const std::string &root) {
    ASSERT_EQ(run_command("mkdir -p '" + root + "/NESTED/DEEPER/DEEPEST' '" + root +
                          "/A folder with a long name/EMPTYDIR'")
                  .status,
              0);
    const size_t sizes[] = {0, 1, 511, 512, 513, 32767, 32768, 32769, 70000};
    unsigned seed = 1;
    for (size_t n : sizes) {
        write_file(root + "/S" + std::to_string(n) + ".BIN", bytes_of_size(n, seed++));
        write_file(root + "/NESTED/DEEPER/Size of " + std::to_string(n) + " bytes.dat",
                   bytes_of_size(n, seed++));
    }
    write_file(root + "/EMPTY", "");
    write_file(root + "/README.TXT", "read me\n");
    write_file(root + "/A folder with a long name/Mixed Case, long name + symbols.txt", "mixed\n");
    write_file(root + "/NESTED/DEEPER/DEEPEST/" + std::string(120, 'n') + ".c", bytes_of_size(700, 9));
}

class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch_ = new ScratchDir();
        ToolRun r = tool("format");
        ASSERT_EQ(r.status, 0) << r.err;
    }
    void TearDown() override { delete scratch_; }
    ScratchDir *scratch_ = nullptr;
};

TEST_F(ToolTest, TreeRoundTripsThroughImportExportAndPutGet) {
    ASSERT_NO_FATAL_FAILURE(make_tree("src"));
    const auto expected = host_tree("src");

    ToolRun r = tool("import src");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, ""); // no terminal, so no progress line
    r = tool("export out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("out"), expected);

    // The same tree below a directory, with put -r and get -r.
    r = tool("put -r src /COPY");
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool("get -r /COPY back");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("back"), expected);
    // Into an existing host directory the copy keeps its name.
    ASSERT_EQ(mkdir("into", 0777), 0);
    r = tool("get -r 'c:\\copy\\nested' into");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file("into/NESTED/DEEPER/Size of 70000 bytes.dat"), bytes_of_size(70000, 18));

    r = tool("info");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "files            44 (680792 bytes)")) << r.out;
    EXPECT_TRUE(contains(r.out, "directories      11")) << r.out;

    expect_fsck_clean("fat16.img");
    if (have_tool("mcopy")) {
        ASSERT_EQ(run_command(kMtoolsEnv + "mcopy -s -n -i fat16.img ::/COPY mout").status, 0);
        EXPECT_EQ(host_tree("mout"), expected);
    } else {
        std::cout << "mcopy is not installed; the image was not read back with it\n";
    }
    r = tool("check");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(ToolTest, TreeThatMcopyPutsInComesOutWithGet) {
    REQUIRE_TOOL("mcopy");
    ASSERT_NO_FATAL_FAILURE(make_tree("src"));
    // mtools keeps small 8.3 names with case flags instead of long names.
    write_file("src/lower.txt", "lower\n");
    write_file("src/NESTED/mixed.C", "mixed\n");
    ASSERT_EQ(mkdir("src/lowdir", 0777), 0);
    write_file("src/lowdir/x.bin", bytes_of_size(40000, 3));
    ASSERT_EQ(run_command(kMtoolsEnv + "mcopy -s -i fat16.img src ::/").status, 0);
    ToolRun r = tool("get -r /src out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("out"), host_tree("src"));
    r = tool("ls -l /src/lowdir");
    EXPECT_EQ(r.out, "----a      40000  x.bin\n");
}

TEST_F(ToolTest, CommandsOnSingleEntries) {
    write_file("HELLO.TXT", "hello");
    ToolRun r = tool("mkdir -p /A/B/C docs/../D");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(tool("put HELLO.TXT /A/B").status, 0);
    ASSERT_EQ(tool("put HELLO.TXT C:/A/NAMED.TXT").status, 0);
    EXPECT_EQ(tool("cat a/b/hello.txt /A/NAMED.TXT").out, "hellohello");
    r = tool("ls -l /A");
    EXPECT_EQ(r.out, "d----             B/\n----a          5  NAMED.TXT\n");
    r = tool("tree /A");
    EXPECT_EQ(r.out, "/A\n|-- B/\n|   |-- C/\n|   `-- HELLO.TXT\n`-- NAMED.TXT\n2 directories, 2 files\n");
    EXPECT_EQ(tool("mv /A/NAMED.TXT RENAMED.TXT").status, 0);
    EXPECT_EQ(tool("mv '/A/RENAMED.TXT' 'long new name.txt'").status, 0);
    EXPECT_EQ(tool("ls /A").out, "B/\nLONG NEW NAME.TXT\n");
    EXPECT_EQ(tool("rm '/A/long new name.txt' /A/B/HELLO.TXT").status, 0);
    EXPECT_EQ(tool("rmdir /A/B/C /A/B /A /D").status, 0);
    EXPECT_EQ(tool("ls").out, "");
    // Replacing files takes -f on both sides.
    ASSERT_EQ(tool("put HELLO.TXT /").status, 0);
    write_file("HELLO.TXT", "new");
    EXPECT_EQ(tool("put -f HELLO.TXT /").status, 0);
    EXPECT_EQ(tool("get -f /HELLO.TXT HELLO.TXT").status, 0);
    EXPECT_EQ(read_file("HELLO.TXT"), "new");
    expect_fsck_clean("fat16.img");
}

// Each refusal: its exit status and the reasons on standard error (one
// run may refuse several paths).
struct Refusal {
    const char *args;
    int status;
    std::vector<std::string> messages;
};

TEST_F(ToolTest, RefusalsGiveTheirReasonAndStatus) {
    write_file("HELLO.TXT", "hello");
    write_file("page.html", "x");
    write_file(".profile", "x");
    write_file("lower.txt", "x");
    write_file("caf\xC3\xA9.txt", "x");
    write_file("name.", "x");
    ASSERT_EQ(tool("mkdir /FULL /DIR").status, 0);
    ASSERT_EQ(tool("put HELLO.TXT /FULL").status, 0);
    const Refusal cases[] = {
        {"", 2, {"fat16: missing COMMAND"}},
        {"frobnicate", 2, {"fat16: unknown command frobnicate"}},
        {"--bogus ls", 2, {"unknown option --bogus"}},
        {"-p 5 ls", 2, {"the partition N is 1, 2, 3 or 4"}},
        {"ls -z", 2, {"fat16: ls: unknown option -z\nTry 'fat16 ls --help'."}},
        {"ls / /DIR", 2, {"one PATH at most"}},
        {"mv /HELLO.TXT", 2, {"needs PATH and NEWNAME"}},
        {"put HELLO.TXT", 2, {"needs HOSTPATH... and DEST"}},
        {"format --sectors 262016", 2, {"--sectors must be 262017 to 4194176 sectors"}},
        {"format --sectors 4194177", 2, {"--sectors must be"}},
        {"format --sectors 12ab", 2, {"--sectors takes a whole number"}},
        {"format", 1, {"fat16: format: fat16.img: already holds a volume (--force"}},
        {"-i missing.img ls",
         1,
         {"fat16: ls: missing.img: cannot open the image: No such file or directory"}},
        {"mkdir A/B /DIR /HAS.DOT /dir",
         1,
         {"fat16: mkdir: A/B: parent directory not found\n", "fat16: mkdir: /DIR: already exists\n",
          "fat16: mkdir: /HAS.DOT: invalid name (a directory name may not hold '.')\n",
          "fat16: mkdir: /dir: already exists\n"}},
        {"rmdir /FULL / /FULL/HELLO.TXT",
         1,
         {"fat16: rmdir: /FULL: directory not empty\n",
          "fat16: rmdir: /: the root directory cannot be removed\n",
          "fat16: rmdir: /FULL/HELLO.TXT: not a directory\n"}},
        {"rm /DIR /NOPE.TXT /NOPE/X.TXT",
         1,
         {"fat16: rm: /DIR: is a directory", "fat16: rm: /NOPE.TXT: not found\n",
          "fat16: rm: /NOPE/X.TXT: parent directory not found\n"}},
        {"mv /DIR NEW", 1, {"fat16: mv: /DIR: is a directory (the library renames files only)"}},
        {"mv /FULL/HELLO.TXT A/B", 1, {"not a path"}},
        {"mv /FULL/HELLO.TXT BAD.HTML",
         1,
         {"fat16: mv: BAD.HTML: invalid name (a file name's extension may have"}},
        {"mv /FULL/HELLO.TXT hello.txt", 1, {"fat16: mv: hello.txt: already exists"}},
        {"ls D:/", 1, {"no such drive"}},
        {"ls /NOPE", 1, {"fat16: ls: /NOPE: not found"}},
        {"cat /DIR /FULL", 1, {"fat16: cat: /DIR: is a directory\n", "fat16: cat: /FULL: is a directory\n"}},
        {"get /DIR out", 1, {"fat16: get: /DIR: is a directory (-r copies directories)"}},
        {"get /FULL/HELLO.TXT /DIR/X /nonexistent", 1, {"fat16: get: /nonexistent: not a directory"}},
        {"put HELLO.TXT /FULL", 1, {"/FULL/HELLO.TXT already exists (-f replaces it)"}},
        {"put page.html .profile lower.txt caf\xC3\xA9.txt name. . /",
         1,
         {"fat16: put: page.html: invalid name (a file name's extension may have at most 3 characters)\n",
          "fat16: put: .profile: invalid name (a file name may not begin with '.')\n",
          "fat16: put: lower.txt: would be stored in capitals as LOWER.TXT", "non-ASCII",
          "fat16: put: name.: a final '.' is dropped",
          "fat16: put: .: is a directory (-r copies directories)"}},
        {"put HELLO.TXT /FULL/HELLO.TXT/X", 1, {"fat16: put: /FULL/HELLO.TXT/X: not a directory"}},
        {"import nothere", 1, {"fat16: import: nothere: not a directory"}},
    };
    for (const Refusal &c : cases) {
        ToolRun r = tool(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        for (const std::string &m : c.messages) EXPECT_TRUE(contains(r.err, m)) << c.args << "\n" << r.err;
    }
    // Nothing was changed by the refusals.
    EXPECT_EQ(tool("ls").out, "FULL/\nDIR/\n");
    expect_fsck_clean("fat16.img");
}

TEST_F(ToolTest, ImportGoesOnPastRefusedNamesAndStopsWhenTheRootIsFull) {
    ASSERT_EQ(mkdir("src", 0777), 0);
    write_file("src/GOOD.TXT", "good");
    write_file("src/index.html", "refused");
    ASSERT_EQ(symlink("GOOD.TXT", "src/LINK"), 0);
    ToolRun r = tool("import src");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "fat16: import: src/index.html: invalid name")) << r.err;
    EXPECT_TRUE(contains(r.err, "fat16: import: src/LINK: not copied")) << r.err;
    EXPECT_EQ(tool("ls").out, "GOOD.TXT\n");
    ASSERT_EQ(mkdir("full", 0777), 0);
    for (int i = 0; i < 1024; i++) write_file("full/F" + std::to_string(1000 + i), "");
    r = tool("import full");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "directory full")) << r.err;
    expect_fsck_clean("fat16.img");
}

TEST(ToolVolume, NoSpaceLeftRemovesThePartialCopy) {
    REQUIRE_TOOL("mkfs.fat");
    ScratchDir dir;
    ASSERT_EQ(run_command("mkfs.fat -F 16 -s 4 -C small.img 10240 >/dev/null").status, 0);
    write_file("BIG.BIN", bytes_of_size(11 << 20, 5));
    write_file("SMALL.BIN", "small");
    ToolRun r = tool("-i small.img put BIG.BIN SMALL.BIN /");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "fat16: put: BIG.BIN: stored")) << r.err;
    EXPECT_TRUE(contains(r.err, "no space left on the volume (the partial copy was removed)")) << r.err;
    // The transfer stopped: SMALL.BIN was not tried.
    EXPECT_EQ(tool("-i small.img ls").out, "");
    expect_fsck_clean("small.img");
}

TEST(ToolVolume, DataThatCannotBeReadEndsInAMessage) {
    ScratchDir dir;
    ASSERT_EQ(tool("format").status, 0);
    write_file("DATA.BIN", bytes_of_size(70000, 7));
    ASSERT_EQ(tool("put DATA.BIN /").status, 0);
    // Cut the image inside the file's first cluster (sector 577 on).
    ASSERT_EQ(truncate("fat16.img", 580 * 512), 0);
    ToolRun r = tool("get /DATA.BIN copy.bin");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "read 1536 of 70000 bytes: host I/O error (the partial copy was removed)"))
        << r.err;
    EXPECT_NE(access("copy.bin", F_OK), 0);
    r = tool("cat /DATA.BIN");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "read 1536 of 70000 bytes")) << r.err;
}

TEST_F(ToolTest, NamesTheLibraryCannotLookUpAreReportedAndLeftAlone) {
    REQUIRE_TOOL("mcopy");
    // Another tool's directory "dot.d" beside an empty "DOT": the library's
    // lookup of "dot.d" would reach "DOT".
    ASSERT_EQ(run_command("mkdir -p src/dot.d src/DOT && echo in > src/dot.d/IN.TXT").status, 0);
    write_file("src/page.html", "<p>");
    ASSERT_EQ(run_command(kMtoolsEnv + "mcopy -s -i fat16.img src/dot.d src/DOT src/page.html ::/").status,
              0);
    write_file("HELLO.TXT", "hello");
    EXPECT_EQ(tool("ls").out, "dot.d/\nDOT/\npage.html\n");
    ToolRun r = tool("rmdir /dot.d");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err,
                         "fat16: rmdir: /dot.d: cannot be used: the library's lookup of this name leads "
                         "to another directory (a directory name may not hold '.')"))
        << r.err;
    EXPECT_EQ(tool("put HELLO.TXT /dot.d").status, 1);
    EXPECT_EQ(tool("mkdir /dot.d/NEW").status, 1);
    EXPECT_EQ(tool("ls /dot.d").status, 1);
    r = tool("get -r / out");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "fat16: get: /dot.d: cannot be read:")) << r.err;
    EXPECT_TRUE(
        contains(r.err, "fat16: get: /page.html: cannot be read: invalid name (a file name's extension"))
        << r.err;
    // DOT was neither removed nor filled.
    r = tool("ls /DOT");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(host_tree("out"), (std::map<std::string, std::string>{{"dot.d/", "<dir>"}, {"DOT/", "<dir>"}}));
}

TEST(ToolImage, MountFailuresExplainThemselves) {
    ScratchDir dir;
    make_sparse_file("blank.img", 1 << 20);
    ToolRun r = tool("-i blank.img info");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        contains(r.err, "fat16: info: blank.img: the image holds no volume (make one with 'fat16 format')"))
        << r.err;
    // A blank image is formatted without --force and grows to the volume's size.
    r = tool("-i blank.img format");
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat("blank.img", &st), 0);
    EXPECT_EQ(st.st_size, (off_t)kImageBytes);
    r = tool("-i blank.img -p 1 ls");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "not a partition table (leave out -p)")) << r.err;
}

TEST_F(ToolTest, ExportPassesOverNamesThatWouldLeaveTheDestination) {
    ASSERT_EQ(mkdir("src", 0777), 0);
    ASSERT_EQ(mkdir("src/dir_with_X_slash", 0777), 0);
    write_file("src/dir_with_X_slash/INSIDE.TXT", "inside");
    write_file("src/file_with_Y_control.txt", "control");
    write_file("src/SAFE.TXT", "safe");
    ASSERT_EQ(tool("import src").status, 0);
    ASSERT_NO_FATAL_FAILURE(patch_root_long_name('X', '/'));
    ASSERT_NO_FATAL_FAILURE(patch_root_long_name('Y', 0x01));

    ToolRun r = tool("export out");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "warning: /dir_with_/_slash: not copied")) << r.err;
    EXPECT_TRUE(contains(r.err, "warning: /file_with_\\x01_control.txt: not copied")) << r.err;
    std::map<std::string, std::string> expected = {{"SAFE.TXT", "safe"}};
    EXPECT_EQ(host_tree("out"), expected);
    // Nothing was made beside it either.
    EXPECT_EQ(run_command("ls").output, "fat16.img\nout\nsrc\ntool-err\ntool-out\n");
}

TEST(ToolPartition, FormatsAndUsesAPartitionOfAWrittenTable) {
    ScratchDir dir;
    ASSERT_NO_FATAL_FAILURE(write_partitioned_image("disk.img", 270000));
    ToolRun r = tool("-i disk.img ls");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "holds a partition table: choose a partition with -p N")) << r.err;
    r = tool("-i disk.img -p 2 ls");
    EXPECT_TRUE(contains(r.err, "partition 2 does not exist")) << r.err;
    r = tool("-i disk.img -p 1 format --sectors 270001");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "is more than partition 1 holds (270000 sectors)")) << r.err;
    r = tool("-i disk.img -p 1 format");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tool("-i disk.img -p 1 format").status, 1);
    ASSERT_NO_FATAL_FAILURE(make_tree("src"));
    ASSERT_EQ(tool("-i disk.img -p 1 import src").status, 0);
    ASSERT_EQ(tool("-i disk.img -p 1 export out").status, 0);
    EXPECT_EQ(host_tree("out"), host_tree("src"));
    r = tool("-i disk.img -p 1 info");
    EXPECT_TRUE(contains(r.out, "partition        1 (sectors 2048 to 272047)")) << r.out;
    // The table is still there, and other tools read the partition the same.
    EXPECT_EQ(tool("-i disk.img ls").status, 1);
    if (have_tool("mcopy")) {
        ASSERT_EQ(run_command(kMtoolsEnv + "mcopy -s -n -i disk.img@@1048576 ::/NESTED mout").status, 0);
        EXPECT_EQ(read_file("mout/DEEPER/Size of 32769 bytes.dat"),
                  read_file("src/NESTED/DEEPER/Size of 32769 bytes.dat"));
    }
    if (have_tool("fsck.fat")) {
        ASSERT_EQ(run_command("dd if=disk.img of=part.img bs=1M skip=1 2>/dev/null").status, 0);
        expect_fsck_clean("part.img");
    }
}

TEST(ToolPartition, ReadsAndWritesAPartitionMadeBySfdiskAndMkfs) {
    REQUIRE_TOOL("sfdisk");
    REQUIRE_TOOL("mkfs.fat");
    REQUIRE_TOOL("mcopy");
    ScratchDir dir;
    make_sparse_file("disk.img", (2048 + 40960) * 512ull);
    ASSERT_EQ(run_command("echo 'start=2048, size=40960, type=6' | sfdisk -q disk.img").status, 0);
    ASSERT_EQ(run_command("mkfs.fat -F 16 --offset 2048 disk.img 20480 >/dev/null").status, 0);
    write_file("IN.TXT", "into the partition\n");
    ASSERT_EQ(run_command(kMtoolsEnv + "mcopy -i disk.img@@1048576 IN.TXT ::/FROMM.TXT").status, 0);
    ToolRun r = tool("-i disk.img -p 1 put IN.TXT /");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tool("-i disk.img -p 1 cat /FROMM.TXT").out, "into the partition\n");
    r = tool("-i disk.img -p 1 check");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(run_command(kMtoolsEnv + "mtype -i disk.img@@1048576 ::/IN.TXT").output,
              "into the partition\n");
}

TEST_F(ToolTest, CheckListsProblems) {
    ASSERT_EQ(tool("mkdir /A").status, 0);
    // The second FAT (sector 257 of this layout) no longer matches the first.
    int fd = open("fat16.img", O_WRONLY);
    ASSERT_GE(fd, 0);
    uint8_t junk[2] = {0x34, 0x12};
    ASSERT_EQ(pwrite(fd, junk, 2, 257 * 512 + 2 * 3), 2);
    close(fd);
    ToolRun r = tool("check");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "FAT copies differ")) << r.out;
    EXPECT_TRUE(contains(r.err, "fat16: check: fat16.img: 1 problem found")) << r.err;
}

TEST(ToolFormat, SmallestVolumeIsFat16ForOtherTools) {
    REQUIRE_TOOL("fsck.fat");
    ScratchDir dir;
    ToolRun r = tool("-i small.img format --sectors 262017");
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat("small.img", &st), 0);
    EXPECT_EQ(st.st_size, 262017 * 512);
    write_file("X.BIN", bytes_of_size(100000, 4));
    ASSERT_EQ(tool("-i small.img put X.BIN /").status, 0);
    expect_fsck_clean("small.img");
    CommandResult info = run_command("fsck.fat -n -v small.img");
    EXPECT_TRUE(contains(info.output, "2 FATs, 16 bit entries")) << info.output;
    EXPECT_TRUE(contains(info.output, "4085 data clusters")) << info.output;
}

TEST(ToolHelp, EveryCommandExplainsItself) {
    ScratchDir dir;
    ToolRun r = tool("--help");
    EXPECT_EQ(r.status, 0);
    const char *commands[] = {"format", "info", "ls",  "tree", "mkdir",  "rmdir",  "rm",
                              "mv",     "put",  "get", "cat",  "import", "export", "check"};
    for (const char *c : commands) {
        EXPECT_TRUE(contains(r.out, std::string("\n  ") + c + " ")) << c;
        ToolRun help = tool(std::string(c) + " --help");
        EXPECT_EQ(help.status, 0) << c;
        EXPECT_EQ(help.out.rfind(std::string("Usage: fat16 [-i IMAGE] [-p N] ") + c, 0), 0u) << help.out;
    }
    EXPECT_EQ(tool("help put").out, tool("put -h").out);
}

TEST_F(ToolTest, ProgressLineOnlyOnATerminal) {
    REQUIRE_TOOL("script");
    ASSERT_EQ(mkdir("src", 0777), 0);
    write_file("src/A.BIN", bytes_of_size(5000, 1));
    // `script` gives the tool a terminal; its output is what the terminal showed.
    CommandResult shown = run_command("script -qec \"'" + kTool + "' import src\" /dev/null");
    EXPECT_EQ(shown.status, 0) << shown.output;
    EXPECT_TRUE(contains(shown.output, "1 files, 0.0 MB")) << shown.output;
    shown = run_command("script -qec \"'" + kTool + "' -q export out\" /dev/null");
    EXPECT_EQ(shown.status, 0) << shown.output;
    EXPECT_EQ(shown.output, "");
}

} // namespace
