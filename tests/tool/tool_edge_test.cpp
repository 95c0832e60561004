// The `fat16` tool where things go wrong: command-line words it refuses,
// images and partitions it cannot use, host files it cannot read or write,
// volumes and root directories that fill up in the middle of a transfer,
// names other tools store and damaged volumes. Each case checks the exit
// status, the message and what is left on the image and the host.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <vector>

#include "tool_support.h"

using namespace fat16test;
using namespace fat16tooltest;

namespace {

// One run: its arguments, exit status and the parts of standard error
// (one run may report several paths).
struct Expect {
    const char *args;
    int status;
    std::vector<std::string> messages;
};

void run_cases(const std::vector<Expect> &cases) {
    for (const Expect &c : cases) {
        ToolRun r = tool(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        for (const std::string &m : c.messages) EXPECT_TRUE(contains(r.err, m)) << c.args << "\n" << r.err;
        if (c.status == 2) {
            EXPECT_EQ(r.out, "") << c.args;
        }
    }
}

// A fresh working folder with the smallest volume of the driver's layout:
// 4,085 clusters of 32 KiB.
class ToolEdgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch_ = new ScratchDir();
        ToolRun r = tool("format --layout driver --sectors 262017");
        ASSERT_EQ(r.status, 0) << r.err;
    }
    void TearDown() override { delete scratch_; }
    ScratchDir *scratch_ = nullptr;
};

// Makes a file unwritable while it lives: its mode, and for root (whom the
// mode does not stop) the immutable flag. ok() is false where neither works.
class ReadOnlyFile {
  public:
    explicit ReadOnlyFile(const std::string &path) : path_(path) {
        chmod(path.c_str(), 0444);
        if (!writable()) return;
        immutable_ = run_command("chattr +i '" + path + "' 2>/dev/null").status == 0;
    }
    ~ReadOnlyFile() {
        if (immutable_) run_command("chattr -i '" + path_ + "'");
        chmod(path_.c_str(), 0644);
    }
    ReadOnlyFile(const ReadOnlyFile &) = delete;
    ReadOnlyFile &operator=(const ReadOnlyFile &) = delete;
    bool ok() const { return !writable(); }

  private:
    bool writable() const {
        int fd = open(path_.c_str(), O_RDWR);
        if (fd < 0) return false;
        close(fd);
        return true;
    }
    std::string path_;
    bool immutable_ = false;
};

TEST_F(ToolEdgeTest, CommandLineWordsThatAreRefusedOrAccepted) {
    write_file("A.TXT", "a");
    ASSERT_EQ(tool("put A.TXT /").status, 0);
    run_cases({
        {"--image", 2, {"fat16: option --image needs IMAGE\nTry 'fat16 --help'."}},
        {"-p", 2, {"fat16: option -p needs N"}},
        {"--image= ls", 2, {"fat16: IMAGE may not be empty"}},
        {"--partition=0 ls", 2, {"the partition N is 1 to 4 (MBR) or 1 to 128 (GPT)"}},
        {"-p 1000 ls", 2, {"the partition N is 1 to 4 (MBR) or 1 to 128 (GPT)"}},
        {"-p 12 ls", 1, {"the image holds one volume from its first sector, not a partition table"}},
        {"--offset", 2, {"fat16: option --offset needs BYTES"}},
        {"--offset=1x ls", 2, {"--offset takes a multiple of 512 bytes"}},
        {"--offset 2G ls", 2, {"--offset takes a multiple of 512 bytes (K, M, G: 1,024-based) below 2 GiB"}},
        {"--offset 1M ls", 1, {"fat16: ls: fat16.img: offset 1048576 holds no volume"}},
        {"-x ls", 2, {"fat16: unknown option -x"}},
        {"help nosuch", 2, {"fat16: no command nosuch"}},
        {"LS", 2, {"fat16: unknown command LS"}},
        {"- ls", 2, {"fat16: unknown command -"}},
        {"--imagex fat16.img ls", 2, {"fat16: unknown option --imagex"}},
        {"--partitionx 1 ls", 2, {"fat16: unknown option --partitionx"}},
        {"ls --long=1", 2, {"fat16: ls: option --long takes no value\nTry 'fat16 ls --help'."}},
        {"ls --nope", 2, {"fat16: ls: unknown option --nope"}},
        {"format --sectors", 2, {"fat16: format: option --sectors needs a value"}},
        {"format -s", 2, {"fat16: format: option -s needs a value"}},
        {"format --sectors=", 2, {"--sectors takes a whole number of sectors"}},
        {"format --sectors=-5", 2, {"--sectors takes a whole number of sectors"}},
        {"format -s 1234567890123", 2, {"--sectors takes a whole number of sectors"}},
        {"format -fs262017 extra", 2, {"fat16: format: unexpected argument extra"}},
        {"info extra", 2, {"fat16: info: unexpected argument extra"}},
        {"check extra", 2, {"fat16: check: unexpected argument extra"}},
        {"tree / /A.TXT", 2, {"fat16: tree: one PATH at most"}},
        {"mkdir", 2, {"fat16: mkdir: missing PATH"}},
        {"rmdir", 2, {"fat16: rmdir: missing PATH"}},
        {"rm", 2, {"fat16: rm: missing PATH"}},
        {"cat", 2, {"fat16: cat: missing PATH"}},
        {"get /A.TXT", 2, {"fat16: get: needs PATH... and HOSTDEST"}},
        {"import", 2, {"fat16: import: needs HOSTDIR and at most one DEST"}},
        {"import a b c", 2, {"fat16: import: needs HOSTDIR and at most one DEST"}},
        {"export", 2, {"fat16: export: needs HOSTDIR"}},
        {"put --capital A.TXT /", 2, {"fat16: put: unknown option --capital"}},
        {"label a b", 2, {"fat16: label: one TEXT at most"}},
        {"label --clear X", 2, {"fat16: label: --clear takes no TEXT"}},
        {"attrib +r", 2, {"fat16: attrib: missing PATH"}},
        {"rm -x /A.TXT", 2, {"fat16: rm: unknown option -x"}},
        {"format --size 1M --sectors 2048", 2, {"give --size or --sectors, not both"}},
        {"--offset 1M format --mbr", 2, {"--mbr puts the volume at 1 MiB; leave out --offset"}},
        {"get --capitals /A.TXT x", 2, {"fat16: get: unknown option --capitals"}},
        {"export -r out", 2, {"fat16: export: unknown option -r"}},
        // After "--" a word is a path even when it looks like a flag.
        {"ls -- -l", 1, {"fat16: ls: -l: not found"}},
        {"--image=missing.img ls",
         1,
         {"fat16: ls: missing.img: cannot open the image: No such file or directory"}},
    });
    // Options may be given in their long forms, with '=' or as the next word.
    ToolRun r = tool("--quiet --image=fat16.img --partition 1 ls");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "not a partition table (leave out -p)")) << r.err;
    r = tool("-q --image fat16.img ls --long -- /A.TXT");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("----a          1  ", 0), 0u) << r.out;
    EXPECT_TRUE(contains(r.out, "  A.TXT\n")) << r.out;
    // Without --help, -h clears the hidden attribute; the version and help
    // end the words at once.
    r = tool("attrib +h /A.TXT");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tool("attrib /A.TXT").out, "--h-a  /A.TXT\n");
    EXPECT_EQ(tool("attrib -h /A.TXT").status, 0);
    EXPECT_EQ(tool("attrib /A.TXT").out, "----a  /A.TXT\n");
    EXPECT_EQ(tool("attrib --help").out.rfind("Usage: fat16 [-i IMAGE] [-p N] attrib", 0), 0u);
    EXPECT_EQ(tool("--version ls").out, tool("--version").out);
    r = tool("help");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, tool("-h").out);
    EXPECT_EQ(
        r.out.rfind("Usage: fat16 [-i IMAGE] [-p N | --offset BYTES] [-q] [--force] COMMAND [ARGS]\n", 0), 0u)
        << r.out;
}

TEST(ToolFormat, WholeImageFailuresLeaveNoImageBehind) {
    ScratchDir dir;
    ASSERT_EQ(mkdir("adir", 0777), 0);
    write_file("afile", "x");
    run_cases({
        {"-i adir format", 1, {"fat16: format: adir: cannot format: not a regular file"}},
        {"-i afile/x.img format", 1, {"fat16: format: afile/x.img: cannot open the image: Not a directory"}},
        {"-i nodir/x.img format",
         1,
         {"fat16: format: nodir/x.img: cannot create the image: No such file or directory"}},
    });
    // A host that cannot make the file that long (a file size limit here;
    // a full disk alike): the new file is removed again.
    ToolRun r = tool("-i limited.img format --sectors 262017", "trap '' XFSZ; ulimit -f 64; ");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "fat16: format: limited.img: cannot make the image 134152704 bytes long: "))
        << r.err;
    EXPECT_NE(access("limited.img", F_OK), 0);
    EXPECT_EQ(r.out, "");

    // A partition table is kept without --force, and formatted over with it;
    // an image longer than the volume keeps its length.
    ASSERT_NO_FATAL_FAILURE(write_partitioned_image("table.img", 270000));
    r = tool("-i table.img format --sectors 262017");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "fat16: format: table.img: already holds a partition table or another boot "
                                "sector (-p N formats a partition; --force formats over it)"))
        << r.err;
    EXPECT_EQ(host_sector("table.img", 0)[446 + 4], 0x06);
    r = tool("-i table.img format --sectors 262017 --force");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "formatted table.img: 262017 sectors (134152704 bytes), 65368 clusters of 2048 bytes\n");
    struct stat st;
    ASSERT_EQ(stat("table.img", &st), 0);
    EXPECT_EQ(st.st_size, (off_t)(2048 + 270000) * 512);
    r = tool("-i table.img check");
    EXPECT_EQ(r.status, 0) << r.out << r.err;

    // A file that holds other data is not formatted over by a mistyped name.
    write_file("notes.txt", "meeting at ten\n");
    r = tool("-i notes.txt format --sectors 262017");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "fat16: format: notes.txt: holds data that is not a FAT volume (--force"))
        << r.err;
    EXPECT_TRUE(read_file("notes.txt") == "meeting at ten\n") << "notes.txt was changed";
    EXPECT_EQ(tool("-i notes.txt format --sectors 262017 --force").status, 0);
}

TEST_F(ToolEdgeTest, FormatWithForceEmptiesTheVolume) {
    write_file("A.TXT", "a");
    ASSERT_EQ(tool("mkdir /D").status, 0);
    ASSERT_EQ(tool("put A.TXT /D").status, 0);
    ToolRun r = tool("format -f --layout driver -s 262017");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tool("ls").out, "");
    r = tool("check");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "fat16.img: clean: 0 files, 0 directories, 0 clusters used, 4085 free\n");
}

TEST(ToolPartition, UnusableImagesAndPartitionsAreRefusedWithTheReason) {
    ScratchDir dir;
    ASSERT_EQ(mkdir("adir", 0777), 0);
    write_file("empty.img", "");
    write_file("text.img", std::string(4096, 't'));
    make_sparse_file("blank.img", 1 << 20);
    ASSERT_NO_FATAL_FAILURE(write_partitioned_image("linux.img", 300000, 0x83));
    ASSERT_NO_FATAL_FAILURE(write_partitioned_image("raw.img", 270000));
    ASSERT_NO_FATAL_FAILURE(write_partitioned_image("huge.img", 5000000));
    ASSERT_NO_FATAL_FAILURE(write_partitioned_image("tiny.img", 1000, 0x04));
    ASSERT_NO_FATAL_FAILURE(write_partitioned_image("zero.img", 0));
    ASSERT_NO_FATAL_FAILURE(write_partitioned_image("far.img", 300000, 0x0E, 4000000));
    ASSERT_NO_FATAL_FAILURE(write_partitioned_image("short.img", 270000, 0x06, 2048, 4096));
    // A partition whose first sector holds other data.
    ASSERT_NO_FATAL_FAILURE(write_partitioned_image("data.img", 270000, 0x0C));
    int fd = open("data.img", O_WRONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "some data", 9, 2048 * 512), 9);
    close(fd);
    run_cases({
        {"-i none.img -p 1 format",
         1,
         {"fat16: format: none.img: cannot open the image: No such file or directory (make the partition "
          "table first"}},
        {"-i adir -p 1 format", 1, {"fat16: format: adir: cannot open the image: not a regular file"}},
        {"-i adir ls", 1, {"fat16: ls: adir: cannot open the image: not a regular file"}},
        {"-i empty.img -p 1 format",
         1,
         {"empty.img: cannot read the partition table (host I/O error, or the file is empty)"}},
        {"-i empty.img ls",
         1,
         {"empty.img: cannot read its first sector (host I/O error, or the file is empty)"}},
        {"-i text.img ls",
         1,
         {"text.img: not a volume (the image holds data of no file system this tool knows)"}},
        {"-i blank.img -p 1 format", 1, {"blank.img: the image holds no partition table"}},
        {"-i blank.img -p 1 ls", 1, {"blank.img: the image holds no partition table"}},
        {"-i raw.img -p 3 format", 1, {"raw.img: partition 3 does not exist"}},
        {"-i raw.img -p 5 ls", 1, {"raw.img: partition 5 does not exist (the table has fewer entries)"}},
        {"-i zero.img -p 1 format", 1, {"zero.img: partition 1 does not exist"}},
        {"-i raw.img -p 1 info",
         1,
         {"fat16: info: raw.img: partition 1 (type 0x06) holds no volume (make one with 'fat16 -p 1 "
          "format')"}},
        {"-i linux.img -p 1 ls",
         1,
         {"fat16: ls: linux.img: partition 1 (type 0x83) holds no volume (make one with 'fat16 -p 1 "
          "format')"}},
        {"-i data.img -p 1 ls",
         1,
         {"fat16: ls: data.img: partition 1 (type 0x0C) holds no volume (not a file system this tool "
          "knows)"}},
        {"-i data.img -p 1 format",
         1,
         {"fat16: format: data.img: partition 1 holds data that is not a FAT volume (--force formats over "
          "it)"}},
        {"-i huge.img -p 1 format",
         1,
         {"huge.img: partition 1 starts at sector 2048: a volume there has 4192256 sectors at most, since "
          "the "
          "library cannot address sectors from 4194304 on (give --size)"}},
        {"-i tiny.img -p 1 format",
         1,
         {"tiny.img: cannot format: 1000 sectors: size not usable for a FAT16 volume (a FAT16 volume has "
          "4,085 "
          "to 65,524 clusters"}},
        {"-i far.img -p 1 format",
         1,
         {"far.img: partition 1 starts at sector 4000000: a volume there has 194304 sectors at most, since "
          "the library cannot address sectors from 4194304 on (give --size)"}},
        {"-i short.img -p 1 format", 1, {"short.img: partition 1 reaches past the end of the image file"}},
    });
    // The refused partitions were not written.
    EXPECT_EQ(host_sector("data.img", 2048).substr(0, 9), "some data");
    EXPECT_EQ(host_sector("short.img", 2048), std::string(512, '\0'));
    EXPECT_EQ(host_sector("far.img", 4000000), std::string(512, '\0'));
    EXPECT_EQ(host_sector("tiny.img", 2048), std::string(512, '\0'));

    // Any type byte will do for a partition that holds a FAT16 volume.
    ToolRun r = tool("-i linux.img -p 1 format");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tool("-i linux.img -p 1 check").status, 0);
    EXPECT_EQ(host_sector("linux.img", 0)[446 + 4], (char)0x83);
    // --sectors makes a volume smaller than its partition.
    r = tool("-i huge.img -p 1 format --sectors 262017");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "formatted huge.img partition 1: 262017 sectors (134152704 bytes), 65368 clusters of 2048 bytes\n");
    r = tool("-i huge.img -p 1 info");
    EXPECT_TRUE(
        contains(r.out, "partition        1 (type 0x06): sectors 2048 to 5002047 (5000000 sectors)\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "capacity         134152704 bytes (262017 sectors)\n")) << r.out;
    EXPECT_EQ(tool("-i huge.img -p 1 check").status, 0);
    // Formatted again only with --force.
    write_file("A.TXT", "a");
    ASSERT_EQ(tool("-i huge.img -p 1 put A.TXT /").status, 0);
    r = tool("-i huge.img -p 1 format --sectors 262017");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "partition 1 already holds a volume (--force formats it anew")) << r.err;
    EXPECT_EQ(tool("-i huge.img -p 1 ls").out, "A.TXT\n");
    r = tool("-i huge.img -p 1 format -f -s 262017");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tool("-i huge.img -p 1 ls").out, "");
    EXPECT_EQ(host_sector("huge.img", 0)[446 + 4], 0x06);
}

// Partitions of a GPT disk, and a volume at an offset, as mtools reaches it
// with @@offset.
TEST(ToolPartition, GptPartitionsAndOffsets) {
    REQUIRE_TOOL("sfdisk");
    ScratchDir dir;
    make_sparse_file("gpt.img", 80ull << 20);
    ASSERT_EQ(run_command(
                  "printf 'label: gpt\\nstart=2048, size=40960, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\\n"
                  "start=43008, size=60000\\n' | sfdisk -q gpt.img")
                  .status,
              0);
    ToolRun r = tool("-i gpt.img -p 2 ls");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "partition 2 (GPT partition) holds no volume")) << r.err;
    ASSERT_EQ(tool("-i gpt.img -p 1 format --label EFI").status, 0);
    ASSERT_EQ(tool("-i gpt.img -p 2 format").status, 0);
    write_file("BOOT.EFI", "boot");
    ASSERT_EQ(tool("-i gpt.img -p 1 put BOOT.EFI /").status, 0);
    EXPECT_EQ(tool("-i gpt.img -p 1 ls").out, "BOOT.EFI\n");
    EXPECT_EQ(tool("-i gpt.img -p 2 ls").out, "");
    r = tool("-i gpt.img -p 1 info");
    EXPECT_TRUE(
        contains(r.out, "partition        1 (GPT partition): sectors 2048 to 43007 (40960 sectors)\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "label            EFI\n")) << r.out;
    // The same volume reached by its offset, by this tool and by mtools.
    EXPECT_EQ(tool("-i gpt.img --offset 1M ls").out, "BOOT.EFI\n");
    EXPECT_EQ(tool("-i gpt.img --offset=1048576 cat /boot.efi").out, "boot");
    expect_mtools_opens("gpt.img@@1M");
    expect_mtools_opens("gpt.img@@22020096");
    EXPECT_EQ(tool("-i gpt.img -p 3 ls").status, 1);
    EXPECT_EQ(tool("-i gpt.img -p 1 check").status, 0);
    EXPECT_EQ(run_command("sfdisk -V gpt.img").status, 0);
}

TEST_F(ToolEdgeTest, ReadOnlyImageIsReadButNeverChanged) {
    write_file("A.TXT", "a");
    ASSERT_EQ(mkdir("src", 0777), 0);
    write_file("src/B.TXT", "b");
    ASSERT_EQ(tool("put A.TXT /").status, 0);
    ASSERT_NO_FATAL_FAILURE(write_partitioned_image("disk.img", 262017));
    ASSERT_EQ(tool("-i disk.img -p 1 format").status, 0);
    struct stat before;
    ASSERT_EQ(stat("fat16.img", &before), 0);
    ReadOnlyFile image("fat16.img");
    ReadOnlyFile disk("disk.img");
    // The tests may run as root, whom the mode does not stop; then only the
    // immutable flag (chattr) makes an image read-only.
    if (!image.ok() || !disk.ok()) GTEST_SKIP() << "the images cannot be made read-only here";
    const std::string refused = "fat16.img: the image is read-only";
    run_cases({
        {"put A.TXT /B.TXT", 1, {"fat16: put: " + refused}},
        {"mkdir /D", 1, {"fat16: mkdir: " + refused}},
        {"rm /A.TXT", 1, {"fat16: rm: " + refused}},
        {"rmdir /D", 1, {"fat16: rmdir: " + refused}},
        {"mv /A.TXT /B.TXT", 1, {"fat16: mv: " + refused}},
        {"attrib +r /A.TXT", 1, {"fat16: attrib: " + refused}},
        {"label NEW", 1, {"fat16: label: " + refused}},
        {"import src", 1, {"fat16: import: " + refused}},
        {"format --force --sectors 262017", 1, {"fat16: format: " + refused}},
        {"-i disk.img -p 1 format --force", 1, {"fat16: format: disk.img: the image is read-only"}},
        {"-i disk.img -p 1 mkdir /D", 1, {"fat16: mkdir: disk.img: the image is read-only"}},
    });
    // Reading works as before.
    EXPECT_EQ(tool("cat /A.TXT").out, "a");
    EXPECT_EQ(tool("attrib /A.TXT").out, "----a  /A.TXT\n");
    EXPECT_EQ(tool("label").status, 0);
    EXPECT_EQ(tool("ls").out, "A.TXT\n");
    EXPECT_EQ(tool("check").status, 0);
    EXPECT_EQ(tool("-i disk.img -p 1 check").status, 0);
    ToolRun r = tool("get /A.TXT got.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file("got.txt"), "a");
    struct stat after;
    ASSERT_EQ(stat("fat16.img", &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

// Host destinations that cannot take what get and export write.
TEST_F(ToolEdgeTest, HostDestinationsThatCannotBeWritten) {
    write_file("A.TXT", "alpha");
    write_file("BIG.BIN", bytes_of_size(200000, 3));
    ASSERT_EQ(tool("mkdir -p /SUB/DEEP").status, 0);
    ASSERT_EQ(tool("put A.TXT BIG.BIN /").status, 0);
    ASSERT_EQ(tool("put A.TXT /SUB/DEEP").status, 0);
    write_file("afile", "keep");
    ASSERT_EQ(mkdir("into", 0777), 0);
    ASSERT_EQ(mkdir("into/A.TXT", 0777), 0);
    write_file("into/SUB", "a file where a folder goes");
    ASSERT_EQ(mkdir("elsewhere", 0777), 0);
    ASSERT_EQ(mkdir("linked", 0777), 0);
    ASSERT_EQ(symlink("../elsewhere", "linked/SUB"), 0);
    ASSERT_EQ(symlink("afile", "alink"), 0);
    run_cases({
        {"get /A.TXT nodir/x", 1, {"fat16: get: nodir/x: No such file or directory"}},
        {"get /A.TXT afile/x", 1, {"fat16: get: afile/x: Not a directory"}},
        {"get /A.TXT afile", 1, {"fat16: get: afile: already exists (-f replaces it)"}},
        {"get /A.TXT into", 1, {"fat16: get: into/A.TXT: already exists (-f replaces it)"}},
        {"get -f /A.TXT into", 1, {"fat16: get: into/A.TXT: Is a directory"}},
        {"get -r /SUB into", 1, {"fat16: get: /SUB: into/SUB exists and is not a directory"}},
        // A link is not followed, not even with -f.
        {"get -f /A.TXT alink", 1, {"fat16: get: alink: Too many levels of symbolic links"}},
        {"get -r /SUB nodir/x", 1, {"fat16: get: /SUB: nodir/x: No such file or directory"}},
        {"export nodir/out", 1, {"fat16: export: nodir/out: nodir/out: No such file or directory"}},
        {"export afile", 1, {"fat16: export: afile: afile exists and is not a directory"}},
        {"export linked", 1, {"fat16: export: /SUB: linked/SUB exists and is not a directory\n"}},
    });
    EXPECT_EQ(read_file("afile"), "keep");
    EXPECT_EQ(host_tree("elsewhere"), (std::map<std::string, std::string>{}));
    EXPECT_EQ(host_tree("into"), (std::map<std::string, std::string>{{"A.TXT/", "<dir>"},
                                                                     {"SUB", "a file where a folder goes"}}));
    EXPECT_EQ(read_file("linked/BIG.BIN"), bytes_of_size(200000, 3));

    // Existing files are kept without -f and replaced with it; the folder
    // that is a link is not entered either way.
    write_file("linked/A.TXT", "old");
    ToolRun r = tool("export linked");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: export: /SUB: linked/SUB exists and is not a directory\n"
                     "fat16: export: linked/A.TXT: already exists (-f replaces it)\n"
                     "fat16: export: linked/BIG.BIN: already exists (-f replaces it)\n");
    EXPECT_EQ(read_file("linked/A.TXT"), "old");
    r = tool("export -f linked");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: export: /SUB: linked/SUB exists and is not a directory\n");
    EXPECT_EQ(read_file("linked/A.TXT"), "alpha");

    // A file size limit on the host: the partial copy is removed.
    r = tool("get /BIG.BIN big.out", "trap '' XFSZ; ulimit -f 64; ");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        contains(r.err, "fat16: get: big.out: cannot write: File too large (the partial copy was removed)"))
        << r.err;
    EXPECT_NE(access("big.out", F_OK), 0);

    // Standard output that is full.
    CommandResult c = run_command("'" + kTool + "' cat /A.TXT /BIG.BIN > /dev/full 2> tool-err");
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(read_file("tool-err"), "fat16: cat: standard output: No space left on device\n");

    // A device given with -f is written to, and left in place when writing fails.
    if (run_command("mknod full c 1 7").status != 0) {
        std::cout << "mknod is not permitted here; the device destination was not tried\n";
        return;
    }
    r = tool("get -f /BIG.BIN full");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: get: full: cannot write: No space left on device\n");
    struct stat st;
    ASSERT_EQ(lstat("full", &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(tool("get -f /A.TXT /dev/null").status, 0);
    // A file the host cannot take is reported, and the export goes on with
    // the others.
    ASSERT_EQ(run_command("mkdir -p dev/SUB/DEEP && mknod dev/SUB/DEEP/A.TXT c 1 7").status, 0);
    r = tool("export -f dev");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: export: dev/SUB/DEEP/A.TXT: cannot write: No space left on device\n");
    // (Read by name only: a device like this reads zeros without end.)
    EXPECT_EQ(run_command("cd dev && find . | sort").output,
              ".\n./A.TXT\n./BIG.BIN\n./SUB\n./SUB/DEEP\n./SUB/DEEP/A.TXT\n");
    EXPECT_EQ(read_file("dev/BIG.BIN"), bytes_of_size(200000, 3));
}

// Host sources that cannot be copied in, and destinations on the volume
// that are in the way.
TEST_F(ToolEdgeTest, HostSourcesAndVolumeDestinationsThatAreRefused) {
    write_file("A.TXT", "alpha");
    write_file("B.TXT", "beta");
    ASSERT_EQ(mkfifo("fifo", 0666), 0);
    make_sparse_file("huge.bin", 4294967296ull);
    ASSERT_EQ(mkdir("src", 0777), 0);
    ASSERT_EQ(mkdir("src/SUB", 0777), 0);
    ASSERT_EQ(mkdir("src/DIR", 0777), 0);
    write_file("src/SUB/IN.TXT", "in");
    write_file("src/DIR/D.TXT", "d");
    write_file("src/back\\slash.txt", "x");
    write_file("src/TRAIL ", "x");
    write_file("src/Z.TXT", "z");
    ASSERT_EQ(tool("put A.TXT /").status, 0);
    ASSERT_EQ(tool("put B.TXT /SUB").status, 0); // a file where import wants a directory
    run_cases({
        {"put missing.txt /", 1, {"fat16: put: missing.txt: No such file or directory"}},
        {"put /dev/null /NUL", 1, {"fat16: put: /dev/null: not a regular file"}},
        {"put huge.bin /HUGE.BIN",
         1,
         {"fat16: put: huge.bin: larger than a file on FAT16 can be (4 GiB - 1 bytes)"}},
        {"put A.TXT B.TXT /NOPE", 1, {"fat16: put: /NOPE: not found"}},
        {"put A.TXT B.TXT /A.TXT", 1, {"fat16: put: /A.TXT: not a directory"}},
        {"put -r src /A.TXT", 1, {"fat16: put: /A.TXT: not a directory"}},
        {"put -r src/. /", 1, {"fat16: put: src/.: has no name to give the copy: name DEST"}},
        {"put A.TXT D:/", 1, {"fat16: put: D:/: no such drive"}},
        {"put A.TXT /", 1, {"fat16: put: A.TXT: /A.TXT already exists (-f replaces it)"}},
        {"import src /A.TXT", 1, {"fat16: import: /A.TXT: not a directory"}},
        {"import src /NO/NEW", 1, {"fat16: import: /NO/NEW: not found"}},
        {"import src /NEW.",
         1,
         {"fat16: import: /NEW.: invalid name (FAT drops a name's final dots and spaces"}},
        {"import src /NEW:DIR",
         1,
         {"fat16: import: /NEW:DIR: invalid name (names on FAT volumes may not hold \" * / : < > ? \\ |)"}},
        {"import src d:/NEW", 1, {"fat16: import: d:/NEW: no such drive"}},
        {"import A.TXT", 1, {"fat16: import: A.TXT: not a directory"}},
    });
    // A FIFO is refused at once instead of waiting for a writer.
    ToolRun r = tool("put fifo /FIFO", "timeout 20 ");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: put: fifo: not a regular file\n");
    EXPECT_EQ(tool("ls").out, "A.TXT\nSUB\n");

    // Import into a new directory: names the volume cannot hold and the
    // file in the way of SUB are reported, the rest arrives.
    const std::string refused_names = "fat16: import: src/TRAIL : invalid name (FAT drops a name's final "
                                      "dots and spaces, so it would not come "
                                      "back as given)\n"
                                      "fat16: import: src/back\\slash.txt: invalid name (names may not hold "
                                      "'\\', which separates directories "
                                      "on the volume)\n";
    r = tool("import src /NEW");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, refused_names);
    EXPECT_EQ(tool("ls /NEW").out, "DIR/\nSUB/\nZ.TXT\n");
    r = tool("import src /");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: import: src/SUB: /SUB exists and is not a directory\n" + refused_names);
    EXPECT_EQ(tool("ls").out, "A.TXT\nSUB\nNEW/\nDIR/\nZ.TXT\n");
    EXPECT_EQ(tool("cat /DIR/D.TXT /Z.TXT /SUB").out, "dzbeta");

    // Again: the directories merge, the files exist; -f replaces them.
    write_file("src/Z.TXT", "new z");
    r = tool("put -r src/DIR/ src/Z.TXT /");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: put: src/DIR/D.TXT: /DIR/D.TXT already exists (-f replaces it)\n"
                     "fat16: put: src/Z.TXT: /Z.TXT already exists (-f replaces it)\n");
    r = tool("put -r -f src/DIR// src/Z.TXT /");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tool("cat /Z.TXT").out, "new z");
    r = tool("check");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

// A volume of 10,240 sectors of 1,024-byte clusters and 16 root entries,
// made by mkfs.fat.
void make_small_volume(const std::string &path) {
    ASSERT_EQ(run_command("mkfs.fat -F 16 -s 2 -r 16 -a -C " + path + " 5120 >/dev/null").status, 0);
}

TEST(ToolVolume, FullVolumeSkipsWhatDoesNotFitAndGoesOn) {
    REQUIRE_TOOL("mkfs.fat");
    ScratchDir dir;
    ASSERT_NO_FATAL_FAILURE(make_small_volume("small.img"));
    ASSERT_EQ(run_command("mkdir -p src/A src/B").status, 0);
    write_file("src/A/ONE.BIN", bytes_of_size(3000000, 1));
    write_file("src/A/TWO.BIN", bytes_of_size(3000000, 2));
    write_file("src/B/THREE.TXT", "three");
    write_file("src/ZED.TXT", "zed");
    ToolRun r = tool("-i small.img import src");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "fat16: import: src/A/TWO.BIN: no space left on the volume: the file needs 3000320 bytes of "
              "clusters, 2220032 bytes are free\n");
    // The rest went in.
    EXPECT_EQ(tool("-i small.img ls").out, "A/\nB/\nZED.TXT\n");
    EXPECT_EQ(tool("-i small.img ls /A").out, "ONE.BIN\n");
    EXPECT_EQ(tool("-i small.img cat /B/THREE.TXT /ZED.TXT").out, "threezed");
    r = tool("-i small.img check");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    expect_fsck_clean("small.img");

    // put -r reports each file the same way and copies the others.
    write_file("src/B/FOUR.TXT", "four");
    r = tool("-i small.img put -r src/A src/B /");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "fat16: put: src/A/ONE.BIN: /A/ONE.BIN already exists (-f replaces it)\n"))
        << r.err;
    EXPECT_TRUE(
        contains(r.err, "fat16: put: src/A/TWO.BIN: no space left on the volume: the file needs 3000320"))
        << r.err;
    EXPECT_TRUE(contains(r.err, "fat16: put: src/B/THREE.TXT: /B/THREE.TXT already exists")) << r.err;
    EXPECT_EQ(tool("-i small.img cat /B/FOUR.TXT").out, "four");
    EXPECT_EQ(tool("-i small.img check").status, 0);
}

TEST(ToolVolume, FullRootDirectorySkipsWhatItCannotHold) {
    REQUIRE_TOOL("mkfs.fat");
    ScratchDir dir;
    ASSERT_NO_FATAL_FAILURE(make_small_volume("small.img"));
    ASSERT_EQ(tool("-i small.img mkdir /SUB").status, 0);
    ASSERT_EQ(mkdir("src", 0777), 0);
    for (int i = 10; i < 28; i++) write_file("src/F" + std::to_string(i) + ".TXT", std::to_string(i));
    ASSERT_EQ(mkdir("src/NEWDIR", 0777), 0);
    ASSERT_EQ(mkdir("src/SUB", 0777), 0);
    write_file("src/SUB/IN.TXT", "in");
    // 15 of the 18 files fit beside SUB; the rest of the root cannot be made,
    // while SUB, which exists, still takes its file.
    ToolRun r = tool("-i small.img import src");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: import: src/F25.TXT: directory full\n"
                     "fat16: import: src/F26.TXT: directory full\n"
                     "fat16: import: src/F27.TXT: directory full\n"
                     "fat16: import: src/NEWDIR: directory full\n");
    EXPECT_EQ(tool("-i small.img cat /F24.TXT /SUB/IN.TXT").out, "24in");
    r = tool("-i small.img check");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "clean: 16 files, 1 directories")) << r.out;
    expect_fsck_clean("small.img");
}

// `ls -l` output without its times (columns 18 to 35).
std::string without_times(const std::string &listing) {
    std::string out, line;
    std::istringstream lines(listing);
    while (std::getline(lines, line)) out += (line.size() > 36 ? line.erase(18, 18) : line) + "\n";
    return out;
}

// Overwrites the 11-byte name of the root entry named `from` with `to`, past
// the library.
void patch_root_name(const std::string &from, const std::string &to) {
    ASSERT_EQ(disk_open_image_path("fat16.img", 0), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
    for (uint32_t i = 0; i < VolumeGeometry.root_entry_count; i++) {
        if (slot_name(root_slot(i)) != from) continue;
        uint32_t sector = VolumeGeometry.root_dir_start + i / 16;
        Sector raw = read_raw(sector);
        std::copy(to.begin(), to.end(), raw.begin() + (i % 16) * 32);
        write_raw(sector, raw);
        disk_close_image();
        return;
    }
    disk_close_image();
    FAIL() << "no root entry " << from;
}

// Names and attributes other tools store, and a directory damaged so that
// two entries carry one name.
TEST_F(ToolEdgeTest, NamesAttributesAndDuplicatesFromOtherTools) {
    REQUIRE_TOOL("mmd");
    REQUIRE_TOOL("mattrib");
    write_file("page.html", "<p>");
    write_file("FLAGS.TXT", "flags");
    write_file("A.TXT", "first");
    write_file("B.TXT", "second");
    ASSERT_EQ(run_command(kMtoolsEnv + "mmd -i fat16.img ::/dir.html ::/dir.html/SUB").status, 0);
    ASSERT_EQ(run_command(kMtoolsEnv + "mcopy -i fat16.img page.html FLAGS.TXT A.TXT B.TXT ::/").status, 0);
    ASSERT_EQ(run_command(kMtoolsEnv + "mattrib -i fat16.img +r +h +s -a ::/FLAGS.TXT").status, 0);
    run_cases({
        {"ls /dir.html", 0, {}},
        {"cat /page.html", 0, {}},
        {"ls /dir.html.x", 1, {"fat16: ls: /dir.html.x: not found"}},
    });
    EXPECT_EQ(tool("ls /Dir.HTML").out, "SUB/\n");
    ToolRun r = tool("ls -l");
    EXPECT_EQ(without_times(r.out), "d----             DIR~1.HTM     dir.html/\n"
                                    "----a          3  PAGE~1.HTM    page.html\n"
                                    "-rhs-          5                FLAGS.TXT\n"
                                    "----a          5                A.TXT\n"
                                    "----a          6                B.TXT\n");
    ASSERT_NO_FATAL_FAILURE(patch_root_name("B       TXT", "A       TXT"));
    r = tool("tree");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/\n|-- dir.html/\n|   `-- SUB/\n|-- page.html\n|-- FLAGS.TXT\n|-- A.TXT\n`-- A.TXT\n"
                     "2 directories, 4 files\n");
    // The second A.TXT cannot be named: it is reported, never copied from the
    // first.
    const std::string second = "/A.TXT: cannot be read: another entry of its directory carries the same name "
                               "(damaged volume)\n";
    r = tool("export out");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: export: " + second);
    EXPECT_EQ(host_tree("out"), (std::map<std::string, std::string>{{"dir.html/", "<dir>"},
                                                                    {"dir.html/SUB/", "<dir>"},
                                                                    {"page.html", "<p>"},
                                                                    {"FLAGS.TXT", "flags"},
                                                                    {"A.TXT", "first"}}));
    r = tool("get '/?.TXT' -");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "fat16: get: -: standard output (-) takes one file")) << r.err;
    r = tool("rm -r /");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: rm: /: the root directory cannot be removed\n");
}

// A name from the volume that would leave the destination is passed over
// also when it is given as the one path to get.
TEST_F(ToolEdgeTest, GetPassesOverAnUnsafeNameItIsGiven) {
    ASSERT_EQ(mkdir("src", 0777), 0);
    write_file("src/name_with_Y_control.txt", "control");
    ASSERT_EQ(tool("import src").status, 0);
    ASSERT_NO_FATAL_FAILURE(patch_root_long_name('Y', 0x01));
    ASSERT_EQ(mkdir("out", 0777), 0);
    ToolRun r = tool("get '/name_with_\x01_control.txt' out");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: get: warning: /name_with_\\x01_control.txt: not copied: the name is unsafe as "
                     "a host file name\n"
                     "fat16: get: some entries were not copied\n");
    EXPECT_EQ(host_tree("out"), (std::map<std::string, std::string>{}));
    // Named as a file of its own, the copy is made under the given name.
    r = tool("get '/name_with_\x01_control.txt' out/safe.txt");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file("out/safe.txt"), "control");
}

// Overwrites the first cluster of the root entry named `name83` ("B
// ") with `cluster`, past the library.
void patch_root_cluster(const std::string &name83, uint16_t cluster) {
    ASSERT_EQ(disk_open_image_path("fat16.img", 0), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
    for (uint32_t i = 0; i < 1024; i++) {
        if (slot_name(root_slot(i)) != name83) continue;
        uint32_t sector = VolumeGeometry.root_dir_start + i / 16;
        Sector raw = read_raw(sector);
        le_put(&raw[(i % 16) * 32 + DIR_FIRST_CLUSTER], cluster, 2);
        write_raw(sector, raw);
        disk_close_image();
        return;
    }
    disk_close_image();
    FAIL() << "no root entry " << name83;
}

TEST_F(ToolEdgeTest, DirectoryThatSharesAnotherOnesClustersIsNotEntered) {
    write_file("F.TXT", "f");
    ASSERT_EQ(tool("mkdir /A /B").status, 0);
    ASSERT_EQ(tool("put F.TXT /A").status, 0);
    // A starts at cluster 2, B at 3: make B's entry point at A's cluster.
    ASSERT_NO_FATAL_FAILURE(patch_root_cluster("B          ", 2));
    ToolRun r = tool("tree");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "/\n|-- A/\n|   `-- F.TXT\n`-- B/\n2 directories, 1 files\n");
    EXPECT_EQ(r.err, "fat16: tree: /B: not entered: it names no directory of its own (damaged volume)\n");
    r = tool("info");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "files            1 (1 bytes)\ndirectories      2\n")) << r.out;
    r = tool("export out");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(host_tree("out"),
              (std::map<std::string, std::string>{{"A/", "<dir>"}, {"A/F.TXT", "f"}, {"B/", "<dir>"}}));
    r = tool("check");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.out, "(cluster ")) << r.out;
    EXPECT_TRUE(contains(r.err, "problems found")) << r.err;
}

TEST_F(ToolEdgeTest, CheckListsTheFirstProblemsAndCountsTheRest) {
    ASSERT_EQ(mkdir("src", 0777), 0);
    for (int i = 10; i < 44; i++) write_file("src/F" + std::to_string(i) + ".TXT", "x");
    ASSERT_EQ(tool("import src").status, 0);
    // Every file claims more bytes than its one cluster holds, and five
    // clusters are marked used that no entry reaches.
    ASSERT_EQ(disk_open_image_path("fat16.img", 0), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
    for (uint32_t s = 0; s < 3; s++) {
        uint32_t sector = VolumeGeometry.root_dir_start + s;
        Sector raw = read_raw(sector);
        for (uint32_t at = 0; at < 512; at += 32)
            if (raw[at] != 0 && raw[at + 11] != ATTR_LONG_NAME) le_put(&raw[at + DIR_SIZE], 70000, 4);
        write_raw(sector, raw);
    }
    for (uint32_t c = 100; c < 105; c++) set_fat_entry(c, 0xFFFF);
    disk_close_image();
    ToolRun r = tool("check");
    EXPECT_EQ(r.status, 1);
    // The first 32 are listed with their path, cluster and count.
    EXPECT_EQ(r.out.rfind("file holds fewer clusters than its size needs: \\F10.TXT (cluster 2) (2)\n", 0),
              0u)
        << r.out;
    EXPECT_TRUE(contains(r.out, "\n... and 3 more\n")) << r.out;
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 33) << r.out;
    EXPECT_EQ(r.err, "fat16: check: fat16.img: 35 problems found\n");
    // Reading such a file ends where its clusters end, and says why.
    const std::string short_file =
        "read 32768 of 70000 bytes: damaged volume (the file's clusters end before its size)";
    r = tool("cat /F10.TXT");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: cat: /F10.TXT: " + short_file + "\n");
    r = tool("get /F10.TXT f10.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: get: f10.txt: /F10.TXT: " + short_file + " (the partial copy was removed)\n");
    EXPECT_NE(access("f10.txt", F_OK), 0);
}

TEST_F(ToolEdgeTest, ListingsAndCountsOfAKnownTree) {
    write_file("F1.TXT", "one");
    write_file("G.TXT", std::string(1000, 'g'));
    write_file("H.BIN", bytes_of_size(100000, 8));
    ASSERT_EQ(tool("mkdir -p /A/B /Z/Y").status, 0);
    ASSERT_EQ(tool("put F1.TXT /A/B").status, 0);
    ASSERT_EQ(tool("put G.TXT /A").status, 0);
    ASSERT_EQ(tool("put H.BIN /Z/Y").status, 0);
    ToolRun r = tool("tree");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/\n"
                     "|-- A/\n"
                     "|   |-- B/\n"
                     "|   |   `-- F1.TXT\n"
                     "|   `-- G.TXT\n"
                     "`-- Z/\n"
                     "    `-- Y/\n"
                     "        `-- H.BIN\n"
                     "4 directories, 3 files\n");
    EXPECT_EQ(tool("tree /Z").out, "/Z\n`-- Y/\n    `-- H.BIN\n1 directories, 1 files\n");
    EXPECT_EQ(tool("tree /A/G.TXT").out, "G.TXT\n");
    EXPECT_EQ(without_times(tool("ls -l /A").out),
              "d----                           B/\n----a       1000                G.TXT\n");
    EXPECT_EQ(without_times(tool("ls -l /Z/Y/H.BIN").out), "----a     100000                H.BIN\n");
    EXPECT_EQ(tool("ls /a/b/f1.txt").out, "F1.TXT\n");
    EXPECT_EQ(tool("ls '/a/b/f?.*'").out, "F1.TXT\n");
    // ".." stops at the root; "1:" is a name, not a drive.
    EXPECT_EQ(tool("ls '/../A/./Z/../B/..\\..\\A\\B'").out, "F1.TXT\n");
    // The whole volume into an existing folder: its contents, not a copy of "/".
    ASSERT_EQ(mkdir("all", 0777), 0);
    r = tool("get -r / all");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("all"),
              (std::map<std::string, std::string>{{"A/", "<dir>"},
                                                  {"A/B/", "<dir>"},
                                                  {"A/B/F1.TXT", "one"},
                                                  {"A/G.TXT", std::string(1000, 'g')},
                                                  {"Z/", "<dir>"},
                                                  {"Z/Y/", "<dir>"},
                                                  {"Z/Y/H.BIN", bytes_of_size(100000, 8)}}));
    run_cases({
        {"tree /NOPE", 1, {"fat16: tree: /NOPE: not found"}},
        {"tree /A/G.TXT/X", 1, {"fat16: tree: /A/G.TXT/X: not a directory"}},
        {"ls /A/G.TXT/X", 1, {"fat16: ls: /A/G.TXT/X: not a directory"}},
        {"tree E:/", 1, {"fat16: tree: E:/: no such drive"}},
        {"ls 1:/A", 1, {"fat16: ls: 1:/A: parent directory not found"}},
    });
    // Free space: 4,085 clusters of 64 sectors less the four directories'
    // clusters and 1 + 1 + 4 clusters of data.
    r = tool("info");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "image            fat16.img\n"
                     "file system      FAT16, 512-byte sectors\n"
                     "label            (none)\n"
                     "volume id        A88F-D2B9\n"
                     "clusters         4085 of 64 sectors (32768 bytes)\n"
                     "FATs             2 of 256 sectors\n"
                     "root directory   1024 entries\n"
                     "capacity         134152704 bytes (262017 sectors)\n"
                     "free             " +
                         std::to_string((4085ull - 10) * 32768) + " bytes (" +
                         std::to_string((4085 - 10) * 64) +
                         " sectors)\n"
                         "files            3 (101003 bytes)\n"
                         "directories      4\n");
}

TEST_F(ToolEdgeTest, SingleEntryCommandsOnPathsTheyCannotUse) {
    const std::string long_mkdir = "mkdir '/A*B' /" + std::string(256, 'L');
    write_file("A.TXT", "a");
    ASSERT_EQ(tool("mkdir /D").status, 0);
    ASSERT_EQ(tool("put A.TXT / ").status, 0);
    run_cases({
        {"mkdir /", 1, {"fat16: mkdir: /: already exists"}},
        {"mkdir -p / /D /D/E/F", 0, {}},
        {"mkdir -p /A.TXT/SUB", 1, {"fat16: mkdir: /A.TXT/SUB: /A.TXT: not a directory"}},
        {"mkdir /A.TXT/SUB", 1, {"fat16: mkdir: /A.TXT/SUB: parent is not a directory"}},
        {"mkdir '/NAME.' '/TAB\tX' C:/OK",
         1,
         {"fat16: mkdir: /NAME.: invalid name (FAT drops a name's final dots and spaces",
          "fat16: mkdir: /TAB\\x09X: invalid name (names may not hold the control characters U+0000 to "
          "U+001F and U+007F)"}},
        {"rmdir /NOPE /A.TXT/X E:/D",
         1,
         {"fat16: rmdir: /NOPE: not found\n", "fat16: rmdir: /A.TXT/X: not a directory\n",
          "fat16: rmdir: E:/D: no such drive"}},
        {"rm / E:/A.TXT",
         1,
         {"fat16: rm: /: the root directory cannot be removed\n", "fat16: rm: E:/A.TXT: no such drive"}},
        {"mv / NEW.TXT", 1, {"fat16: mv: /: the root directory cannot be moved"}},
        {"mv /A.TXT 'B.'", 1, {"fat16: mv: /B.: invalid name (FAT drops a name's final dots and spaces"}},
        {"mv /A.TXT '/D/B\tC'",
         1,
         {"fat16: mv: /D/B\\x09C: invalid name (names may not hold the control characters U+0000 to U+001F "
          "and U+007F)"}},
        {long_mkdir.c_str(),
         1,
         {"fat16: mkdir: /A*B: invalid name (names on FAT volumes may not hold \" * / : < > ? \\ |)",
          "invalid name (the name has 256 UTF-16 units; names on FAT volumes hold at most 255)"}},
        {"mv E:/A.TXT B.TXT", 1, {"fat16: mv: E:/A.TXT: no such drive"}},
        {"mv /A.TXT E:/B.TXT", 1, {"fat16: mv: E:/B.TXT: no such drive"}},
        {"cat /NOPE E:/A.TXT /A.TXT",
         1,
         {"fat16: cat: /NOPE: not found\n", "fat16: cat: E:/A.TXT: no such drive"}},
        {"get /NOPE E:/A.TXT .",
         1,
         {"fat16: get: /NOPE: not found\n", "fat16: get: E:/A.TXT: no such drive"}},
    });
    EXPECT_EQ(tool("tree").out,
              "/\n|-- D/\n|   `-- E/\n|       `-- F/\n|-- A.TXT\n`-- OK/\n4 directories, 1 files\n");
    EXPECT_EQ(tool("cat /NOPE /A.TXT").out, "a");
    ToolRun r = tool("check");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

TEST_F(ToolEdgeTest, ProgressLineOfEveryTransferOnATerminal) {
    REQUIRE_TOOL("script");
    ASSERT_EQ(mkdir("src", 0777), 0);
    write_file("src/A.BIN", bytes_of_size(5000, 1));
    write_file("src/B.BIN", bytes_of_size(7000, 2));
    auto on_terminal = [](const std::string &args) {
        return run_command("script -qec \"'" + kTool + "' " + args + "\" /dev/null");
    };
    CommandResult shown = on_terminal("put -r src /SRC");
    EXPECT_EQ(shown.status, 0) << shown.output;
    EXPECT_TRUE(contains(shown.output, "2/2 files, 0.0/0.0 MB, 100%")) << shown.output;
    shown = on_terminal("get -r /SRC out");
    EXPECT_EQ(shown.status, 0) << shown.output;
    EXPECT_TRUE(contains(shown.output, "2/2 files, 0.0/0.0 MB, 100%")) << shown.output;
    EXPECT_EQ(host_tree("out"), host_tree("src"));
    // Not with -q (before or after the command), and not for a single file.
    shown = on_terminal("-q put -r src /Q1");
    EXPECT_EQ(shown.output, "");
    shown = on_terminal("--quiet get -r /SRC q1");
    EXPECT_EQ(shown.output, "");
    shown = on_terminal("-q import src /Q2");
    EXPECT_EQ(shown.output, "");
    shown = on_terminal("put -r -q src /Q3");
    EXPECT_EQ(shown.output, "");
    shown = on_terminal("get -r --quiet /SRC q2");
    EXPECT_EQ(shown.output, "");
    shown = on_terminal("put src/A.BIN /ONE.BIN");
    EXPECT_EQ(shown.output, "");
    shown = on_terminal("export --quiet all");
    EXPECT_EQ(shown.status, 0) << shown.output;
    EXPECT_EQ(shown.output, "");
}

} // namespace

namespace {

// Writes `bytes` at `offset` of an image of `size` zero bytes.
void image_with(const std::string &path, uint64_t size,
                const std::vector<std::pair<uint64_t, std::string>> &bytes) {
    make_sparse_file(path, size);
    int fd = open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    for (const auto &b : bytes)
        ASSERT_EQ(pwrite(fd, b.second.data(), b.second.size(), (off_t)b.first), (ssize_t)b.second.size());
    close(fd);
}

} // namespace

TEST(ToolImage, ShortImagesAndOtherFileSystemsAreNamed) {
    ScratchDir dir;
    ASSERT_EQ(tool("-i full.img format --size 16M").status, 0);
    write_file("x.txt", "x");
    ASSERT_EQ(tool("-i full.img put x.txt /").status, 0);
    // The first 100 KiB of a 16 MiB volume: its boot sector, FATs and root.
    ASSERT_EQ(run_command("head -c 102400 full.img > short.img").status, 0);
    const std::string boot = std::string("\xEB\x3C\x90", 3) + "MKFS    ";
    auto le = [](uint32_t v, int n) {
        std::string s;
        for (int i = 0; i < n; i++) s += (char)(v >> (8 * i));
        return s;
    };
    const std::string sig = "\x55\xAA";
    // BPB from byte 11: bytes per sector, sectors per cluster, reserved, FATs,
    // root entries, 16-bit total, media, 16-bit FAT size.
    auto bpb = [&](uint32_t spc, uint32_t root, uint32_t total16, uint32_t spf16) {
        return le(512, 2) + (char)spc + le(1, 2) + (char)2 + le(root, 2) + le(total16, 2) + "\xF8" +
               le(spf16, 2);
    };
    ASSERT_NO_FATAL_FAILURE(image_with(
        "fat32.img", 1 << 20, {{0, boot + bpb(8, 0, 0, 0)}, {32, le(400000, 4) + le(800, 4)}, {510, sig}}));
    ASSERT_NO_FATAL_FAILURE(image_with("fat12.img", 1 << 20, {{0, boot + bpb(1, 224, 2880, 9)}, {510, sig}}));
    ASSERT_NO_FATAL_FAILURE(image_with("exfat.img", 1 << 20,
                                       {{0, "\xEB\x76\x90"
                                            "EXFAT   "},
                                        {510, sig}}));
    ASSERT_NO_FATAL_FAILURE(image_with("ntfs.img", 1 << 20,
                                       {{0, "\xEB\x52\x90"
                                            "NTFS    " +
                                                le(512, 2) + "\x08"},
                                        {510, sig}}));
    ASSERT_NO_FATAL_FAILURE(
        image_with("ext4.img", 1 << 20, {{1024 + 56, le(0xEF53, 2)}, {1024 + 96, le(0x40, 4)}}));
    ASSERT_NO_FATAL_FAILURE(
        image_with("ext3.img", 1 << 20, {{1024 + 56, le(0xEF53, 2)}, {1024 + 92, le(0x4, 4)}}));
    ASSERT_NO_FATAL_FAILURE(image_with("iso.img", 1 << 20,
                                       {{32768, "\x01"
                                                "CD001"}}));
    ASSERT_NO_FATAL_FAILURE(image_with("elf.img", 1 << 16,
                                       {{0, "\x7F"
                                            "ELF\x02\x01\x01"}}));
    run_cases({
        {"-i short.img ls",
         0,
         {"fat16: ls: warning: short.img: the volume needs 16777216 bytes, the image has 102400"}},
        {"-i short.img put x.txt /y.txt",
         1,
         {"short.img: the volume needs 16777216 bytes, the image has 102400"}},
        {"-i short.img mkdir /d", 1, {"nothing is written to it"}},
        {"-i short.img check", 1, {"short.img: 1 problem found"}},
        {"-i fat32.img ls",
         1,
         {"fat16: ls: fat32.img: the image holds a FAT32 volume (this tool reads and writes FAT16"}},
        {"-i fat12.img info", 1, {"fat12.img: the image holds a FAT12 volume"}},
        {"-i exfat.img ls", 1, {"exfat.img: the image holds an exFAT volume, not a FAT volume"}},
        {"-i ntfs.img ls", 1, {"ntfs.img: the image holds an NTFS volume, not a FAT volume"}},
        {"-i ext4.img ls", 1, {"ext4.img: the image holds an ext4 volume"}},
        {"-i ext3.img ls", 1, {"ext3.img: the image holds an ext3 volume"}},
        {"-i iso.img ls", 1, {"iso.img: the image holds an ISO 9660 volume"}},
        {"-i elf.img ls", 1, {"elf.img: not a volume"}},
        {"-i full.img --offset 1M ls", 1, {"offset 1048576 holds no volume"}},
    });
    struct stat st;
    ASSERT_EQ(stat("short.img", &st), 0);
    EXPECT_EQ(st.st_size, 102400); // never grown
    EXPECT_EQ(tool("-i short.img ls").out, "x.txt\n");
}

TEST_F(ToolEdgeTest, SymbolicLinksAreFollowedOnceAndReported) {
    ASSERT_EQ(run_command("mkdir -p src/a/b other && echo data > src/a/f && echo far > other/g").status, 0);
    ASSERT_EQ(symlink("f", "src/a/to-file"), 0);
    ASSERT_EQ(symlink("../../../other", "src/a/b/to-dir"), 0);
    ASSERT_EQ(symlink("../../a", "src/a/b/loop"), 0);
    ASSERT_EQ(symlink("..", "src/a/up"), 0);
    ASSERT_EQ(symlink("missing", "src/a/broken"), 0);
    ToolRun r = tool("import src /I");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(
        r.err,
        "fat16: import: src/a/b/loop: not copied: a symbolic link back to a directory it is in (a loop)\n"
        "fat16: import: src/a/broken: not copied: a broken symbolic link (No such file or directory)\n"
        "fat16: import: src/a/up: not copied: a symbolic link back to a directory it is in (a loop)\n");
    EXPECT_EQ(tool("tree /I").out,
              "/I\n`-- a/\n    |-- b/\n    |   `-- to-dir/\n    |       `-- g\n    |-- f\n    `-- to-file\n"
              "3 directories, 3 files\n");
    EXPECT_EQ(tool("cat /I/a/to-file /I/a/b/to-dir/g").out, "data\nfar\n");
    // put -r follows them too; -P leaves every link out, as before.
    r = tool("put -r src/a /P");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(tool("cat /P/to-file").out, "data\n");
    r = tool("put -r -P src/a /Q");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "src/a/to-file: not copied: only regular files and directories")) << r.err;
    EXPECT_EQ(tool("tree /Q").out, "/Q\n|-- b/\n`-- f\n1 directories, 1 files\n");
    expect_fsck_clean("fat16.img");
}

TEST_F(ToolEdgeTest, NoClobberAndUpdateCopyOnlyWhatChanged) {
    ASSERT_EQ(mkdir("src", 0777), 0);
    auto put_host = [](const std::string &path, const std::string &data, long long seconds) {
        write_file(path, data);
        set_mtime(path, (time_t)seconds);
    };
    put_host("src/same", "1111", kTreeTime);
    put_host("src/newer", "2222", kTreeTime);
    put_host("src/grown", "3333", kTreeTime);
    ASSERT_EQ(tool("import src").status, 0);
    // Changed on the host: as old and as large, newer, or of another size.
    put_host("src/same", "aaaa", kTreeTime);
    put_host("src/newer", "bbbb", kTreeTime + 1000);
    put_host("src/grown", "ccccc", kTreeTime);
    auto contents = [] { return tool("cat /same /newer /grown").out; };
    EXPECT_EQ(tool("import -n src").status, 0);
    EXPECT_EQ(contents(), "111122223333");
    EXPECT_EQ(tool("import -u src").status, 0);
    EXPECT_EQ(contents(), "1111bbbbccccc");
    EXPECT_EQ(tool("put -n src/same /same").status, 0);
    EXPECT_EQ(contents(), "1111bbbbccccc");
    // get: -n keeps the host file, -u replaces it only when the entry is
    // newer or of another size.
    ASSERT_EQ(mkdir("out", 0777), 0);
    put_host("out/newer", "old!", kTreeTime);
    put_host("out/same", "keep", kTreeTime + 5000);
    EXPECT_EQ(tool("get -n /newer /same out/").status, 0);
    EXPECT_EQ(read_file("out/newer") + read_file("out/same"), "old!keep");
    EXPECT_EQ(tool("get -u /newer /same out/").status, 0);
    EXPECT_EQ(read_file("out/newer") + read_file("out/same"), "bbbbkeep");
    run_cases({{"put -n -u src/same /", 2, {"give one of -f (replace), -n (keep) and -u (replace older)"}}});
}

// A block device: a loop device over a file, where one can be set up.
TEST(ToolDevice, LoopDeviceIsFormattedUsedAndRefusedWhileMounted) {
    ScratchDir dir;
    if (geteuid() != 0 || !have_tool("losetup"))
        GTEST_SKIP() << "loop devices need root and losetup; skipped";
    make_sparse_file("disk.img", 32 << 20);
    CommandResult set_up = run_command("losetup -f --show " + quoted(dir.path() + "/disk.img"));
    if (set_up.status != 0) GTEST_SKIP() << "no loop device can be set up here: " << set_up.output;
    const std::string dev = set_up.output.substr(0, set_up.output.find('\n'));
    struct Detach {
        std::string dev;
        ~Detach() { run_command("umount " + dev + " 2>/dev/null; losetup -d " + dev); }
    } detach{dev};
    write_file("x.txt", "on the card");
    run_cases({
        {("-i " + dev + " format").c_str(), 1, {"is a whole disk: --mbr formats it"}},
        {("-i " + dev + " format --force").c_str(), 0, {}},
        {("-i " + dev + " put x.txt /").c_str(), 0, {}},
    });
    EXPECT_EQ(tool("-i " + dev + " cat /x.txt").out, "on the card");
    EXPECT_TRUE(contains(tool("-i " + dev + " info").out, "capacity         33"))
        << tool("-i " + dev + " info").out;
    expect_fsck_silent(dev);
    // Its size is the device's: the file behind it never grows.
    struct stat st;
    ASSERT_EQ(stat("disk.img", &st), 0);
    EXPECT_EQ(st.st_size, 32 << 20);
    ASSERT_EQ(tool("-i " + dev + " format --mbr --force").status, 0);
    EXPECT_EQ(tool("-i " + dev + " -p 1 put x.txt /").status, 0);
    EXPECT_EQ(tool("-i " + dev + " -p 1 ls").out, "x.txt\n");
    // Mounted (as ext2, which this host's kernel may mount), it is read
    // but not written.
    if (run_command("mkfs.ext2 -q " + dev).status != 0 || mkdir("mnt", 0777) != 0 ||
        run_command("mount " + dev + " mnt").status != 0) {
        std::cout << "the loop device cannot be mounted here; a mounted device was not tried\n";
        return;
    }
    run_cases({
        {("-i " + dev + " ls").c_str(), 1, {"holds an ext2 volume"}},
        {("-i " + dev + " format --force").c_str(), 1, {"is mounted on " + dir.path() + "/mnt"}},
        {("-i " + dev + " -p 1 mkdir /d").c_str(), 1, {"is mounted on"}},
    });
}
