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

// A tree with nested folders; 8.3 names in capitals, in small letters and
// in mixed case; names with several dots, a leading dot or a long
// extension; dotted folder names; names beyond ASCII (Latin, CJK, beyond
// U+FFFF) and with characters only long names hold; deep nesting; sizes
// around sector and cluster boundaries. Every file and folder has its own
// modification time.
void make_tree(const std::string &root) {
    std::string deep = root + "/deep";
    for (int i = 1; i <= 12; i++) deep += "/level " + std::to_string(i);
    ASSERT_EQ(run_command("mkdir -p '" + root + "/NESTED/DEEPER/DEEPEST' '" + root +
                          "/A folder with a long name/EMPTYDIR' '" + root + "/docs' '" + root + "/MiXeD' '" +
                          root + "/.config' '" + root + "/v1.2.3' '" + root + "/dir.d' '" + root +
                          "/r\xC3\xA9sum\xC3\xA9s' '" + root + "/\xE6\xBC\xA2\xE5\xAD\x97' '" + deep + "'")
                  .status,
              0);
    const size_t sizes[] = {0, 1, 511, 512, 513, 32767, 32768, 32769, 70000};
    unsigned seed = 1;
    for (size_t n : sizes) {
        write_file(root + "/S" + std::to_string(n) + ".BIN", bytes_of_size(n, seed++));
        write_file(root + "/NESTED/DEEPER/Size of " + std::to_string(n) + " bytes.dat",
                   bytes_of_size(n, seed++));
    }
    const char *names[] = {"EMPTY",
                           "README.TXT",
                           "lower.txt",
                           "Mixed.Txt",
                           "archive.tar.gz",
                           "a.b.c.d",
                           ".profile",
                           "..hidden",
                           "page.html",
                           "data.jsonl",
                           "name with spaces.txt",
                           "a+b,c;d=e[f].txt",
                           "caf\xC3\xA9.txt",
                           "\xE6\xBC\xA2\xE5\xAD\x97.txt",
                           "\xF0\x9F\x98\x80 smile.txt",
                           "docs/inner.md",
                           "MiXeD/x",
                           "v1.2.3/notes",
                           ".config/app.ini",
                           "dir.d/run.d.sh",
                           "r\xC3\xA9sum\xC3\xA9s/cv.pdf"};
    for (const char *n : names) write_file(root + "/" + n, std::string(n) + "\n");
    write_file(root + "/A folder with a long name/Mixed Case, long name + symbols.txt", "mixed\n");
    write_file(root + "/NESTED/DEEPER/DEEPEST/" + std::string(120, 'n') + ".c", bytes_of_size(700, 9));
    write_file(deep + "/leaf.txt", "leaf\n");
    stamp_tree_times(root);
}

// `tree` without the entries named in `left_out`.
template <typename Map> Map without(Map tree, const std::vector<std::string> &left_out) {
    for (const std::string &name : left_out) tree.erase(name);
    return tree;
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

TEST_F(ToolTest, TreeRoundTripsThroughImportExportPutGetAndMcopy) {
    ASSERT_NO_FATAL_FAILURE(make_tree("src"));
    // A name of 255 UTF-16 units fits only near the root: paths hold 259.
    const std::string longest = std::string(250, 'n') + "\xC3\xA9.txt";
    write_file("src/" + longest, "longest\n");
    set_mtime("src/" + longest, kTreeTime);
    set_mtime("src", kTreeTime);
    const auto expected = host_tree("src");
    const auto times = host_times("src");

    ToolRun r = tool("import src");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, ""); // no terminal, so no progress line
    r = tool("export out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("out"), expected);
    EXPECT_EQ(host_times("out"), times);
    expect_fsck_silent("fat16.img");
    expect_mtools_opens("fat16.img");
    if (have_tool("mcopy")) {
        // mtools 4 shows each half of a character beyond U+FFFF as '_'.
        const std::string smile = "\xF0\x9F\x98\x80 smile.txt";
        ASSERT_EQ(run_command(kUtf8 + "mcopy -s -n -m -i fat16.img ::/ mout").status, 0);
        EXPECT_EQ(without(host_tree("mout"), {"__ smile.txt"}), without(expected, {smile}));
        EXPECT_EQ(without(host_times("mout"), {"__ smile.txt"}), without(times, {smile}));
        CommandResult listed = run_command(kUtf8 + "mdir -i fat16.img ::/docs");
        char date[16];
        struct tm tm;
        time_t inner = times.at("docs/inner.md");
        strftime(date, sizeof date, "%Y-%m-%d", localtime_r(&inner, &tm));
        EXPECT_TRUE(contains(listed.output, date)) << listed.output;
    } else {
        std::cout << "mcopy is not installed; the image was not read back with it\n";
    }

    // Parts of the tree below a directory, with put -r and get -r.
    ASSERT_EQ(tool("mkdir /COPY").status, 0);
    r = tool("put -r src/NESTED src/deep 'src/r\xC3\xA9sum\xC3\xA9s' /COPY/");
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool("get -r /COPY back");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *part : {"NESTED", "deep", "r\xC3\xA9sum\xC3\xA9s"}) {
        EXPECT_EQ(host_tree(std::string("back/") + part), host_tree(std::string("src/") + part)) << part;
        EXPECT_EQ(host_times(std::string("back/") + part), host_times(std::string("src/") + part)) << part;
    }
    // Into an existing host directory the copy keeps its name.
    ASSERT_EQ(mkdir("into", 0777), 0);
    r = tool("get -r 'c:\\copy\\nested' into");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file("into/NESTED/DEEPER/Size of 70000 bytes.dat"), bytes_of_size(70000, 18));

    uint64_t files = 0, dirs = 1, bytes = 0; // COPY
    for (const auto &tree : {expected, host_tree("back")}) {
        for (const auto &kv : tree) {
            bool is_dir = kv.first.back() == '/';
            (is_dir ? dirs : files)++;
            bytes += is_dir ? 0 : kv.second.size();
        }
    }
    r = tool("info");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "files            " + std::to_string(files) + " (" + std::to_string(bytes) +
                                    " bytes)"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "directories      " + std::to_string(dirs))) << r.out;
    r = tool("check");
    EXPECT_EQ(r.status, 0) << r.out << r.err;

    // With SOURCE_DATE_EPOCH two imports of the tree make identical images.
    const std::string epoch = "SOURCE_DATE_EPOCH=1700000000 ";
    for (const char *image : {"one.img", "two.img"}) {
        r = tool(std::string("-i ") + image + " format --size 8M", epoch);
        ASSERT_EQ(r.status, 0) << r.err;
        r = tool(std::string("-i ") + image + " import src", epoch);
        ASSERT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(tool(std::string("-i ") + image + " mkdir /NEW", epoch).status, 0);
    }
    EXPECT_EQ(run_command("cmp one.img two.img").status, 0);
    EXPECT_EQ(tool("-i one.img ls -l /NEW").out, "");
    EXPECT_TRUE(contains(tool("-i one.img ls -l").out, "2023-11-14 22:13                NEW/\n"));
}

TEST_F(ToolTest, TreeThatMcopyPutsInComesOutWithExport) {
    REQUIRE_TOOL("mcopy");
    ASSERT_NO_FATAL_FAILURE(make_tree("src"));
    // mtools 4 drops characters beyond U+FFFF, and keeps names of 8.3 length
    // beyond ASCII as 8.3 names, whose letters beyond ASCII the case flags
    // do not cover: those are left out here.
    for (const char *name : {"\xF0\x9F\x98\x80 smile.txt", "caf\xC3\xA9.txt", "r\xC3\xA9sum\xC3\xA9s/cv.pdf"})
        ASSERT_EQ(unlink((std::string("src/") + name).c_str()), 0);
    ASSERT_EQ(rmdir("src/r\xC3\xA9sum\xC3\xA9s"), 0);
    // mtools keeps small 8.3 names with case flags instead of long names.
    ASSERT_EQ(mkdir("src/lowdir", 0777), 0);
    write_file("src/lowdir/x.bin", bytes_of_size(40000, 3));
    set_mtime("src/lowdir/x.bin", kTreeTime);
    set_mtime("src/lowdir", kTreeTime);
    set_mtime("src", kTreeTime);
    ASSERT_EQ(run_command(kUtf8 + "mcopy -s -m -i fat16.img src ::/").status, 0);
    ToolRun r = tool("get -r /src out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("out"), host_tree("src"));
    EXPECT_EQ(host_times("out"), host_times("src"));
    r = tool("export all");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("all/src"), host_tree("src"));
    char when[20];
    struct tm tm;
    time_t t = kTreeTime;
    strftime(when, sizeof when, "%Y-%m-%d %H:%M", localtime_r(&t, &tm));
    r = tool("ls -l /src/lowdir");
    EXPECT_EQ(r.out, std::string("----a      40000  ") + when + "  X.BIN         x.bin\n");
}

TEST_F(ToolTest, CommandsOnSingleEntries) {
    write_file("HELLO.TXT", "hello");
    // Every time is SOURCE_DATE_EPOCH's, 2023-11-14 22:13:20 UTC.
    const std::string epoch = "SOURCE_DATE_EPOCH=1700000000 TZ=UTC ";
    ToolRun r = tool("mkdir -p /A/B/C docs/../D", epoch);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(tool("put HELLO.TXT /A/B", epoch).status, 0);
    ASSERT_EQ(tool("put HELLO.TXT C:/A/NAMED.TXT", epoch).status, 0);
    EXPECT_EQ(tool("cat a/b/hello.txt /A/NAMED.TXT").out, "hellohello");
    r = tool("ls -l /A", "TZ=UTC ");
    EXPECT_EQ(r.out, "d----             2023-11-14 22:13                B/\n"
                     "----a          5  2023-11-14 22:13                NAMED.TXT\n");
    r = tool("tree /A");
    EXPECT_EQ(r.out, "/A\n|-- B/\n|   |-- C/\n|   `-- HELLO.TXT\n`-- NAMED.TXT\n2 directories, 2 files\n");
    EXPECT_EQ(tool("mv /A/NAMED.TXT /A/RENAMED.TXT").status, 0);
    EXPECT_EQ(tool("mv '/A/RENAMED.TXT' '/A/long new name.txt'").status, 0);
    EXPECT_EQ(tool("ls /A").out, "B/\nlong new name.txt\n");
    EXPECT_EQ(tool("rm '/A/LONG NEW NAME.TXT' /A/B/HELLO.TXT").status, 0);
    EXPECT_EQ(tool("rmdir /A/B/C /A/B /A /D").status, 0);
    EXPECT_EQ(tool("ls").out, "");
    // Replacing files takes -f on both sides; the replacement keeps its
    // host time.
    ASSERT_EQ(tool("put HELLO.TXT /").status, 0);
    write_file("HELLO.TXT", "new");
    set_mtime("HELLO.TXT", kTreeTime);
    EXPECT_EQ(tool("put -f HELLO.TXT /").status, 0);
    EXPECT_EQ(tool("get -f /HELLO.TXT HELLO.TXT").status, 0);
    EXPECT_EQ(read_file("HELLO.TXT"), "new");
    EXPECT_EQ(host_times(".").at("HELLO.TXT"), (long)kTreeTime);
    EXPECT_EQ(tool("ls").out, "HELLO.TXT\n");
    // Standard input in, standard output out.
    CommandResult c = run_command("printf 'from a pipe' | '" + kTool + "' put - /piped.txt");
    EXPECT_EQ(c.status, 0) << c.output;
    c = run_command("'" + kTool + "' get /PIPED.TXT - | tr a-z A-Z");
    EXPECT_EQ(c.output, "FROM A PIPE");
    expect_fsck_silent("fat16.img");
}

// A sequence of commands on one volume: its exit status, standard output
// (checked when not null) and parts of standard error.
struct Step {
    const char *args;
    int status;
    const char *out;
    std::vector<std::string> messages;
};

void run_steps(const std::vector<Step> &steps) {
    for (const Step &s : steps) {
        ToolRun r = tool(s.args);
        EXPECT_EQ(r.status, s.status) << s.args << "\n" << r.err;
        if (s.out != nullptr) {
            EXPECT_EQ(r.out, s.out) << s.args;
        }
        for (const std::string &m : s.messages) EXPECT_TRUE(contains(r.err, m)) << s.args << "\n" << r.err;
    }
}

TEST_F(ToolTest, MovesRemovalsAttributesAndWildcards) {
    ASSERT_EQ(run_command("mkdir -p src/docs/sub src/logs out").status, 0);
    for (const char *name :
         {"docs/a.txt", "docs/B.TXT", "docs/c.pdf", "docs/d.PDF", "docs/sub/e.txt", "x.bin", "C.PDF"})
        write_file(std::string("src/") + name, name);
    ASSERT_EQ(tool("import src").status, 0);
    run_steps({
        {"ls '/docs/*.pdf'", 0, "c.pdf\nd.PDF\n", {}},
        // Import puts names in byte order: B.TXT before a.txt.
        {"ls '/DOCS/[ab].TXT'", 0, "B.TXT\na.txt\n", {}},
        {"ls '/docs/?.*'", 0, "B.TXT\na.txt\nc.pdf\nd.PDF\n", {}},
        {"ls '/docs/[!a-c]*'", 0, "d.PDF\nsub/\n", {}},
        {"cat '/docs/*.PDF'", 0, "docs/c.pdfdocs/d.PDF", {}},
        {"get '/docs/*.pdf' out/", 0, "", {}},
        {"get '/docs/*.pdf' out/one.pdf", 1, "", {"fat16: get: out/one.pdf: not a directory"}},
        {"mv '/docs/*.pdf' /logs", 0, "", {}},
        // A file of the same name in the directory is replaced; the result
        // carries the name it moved under, as given.
        {"mv /C.PDF /logs/", 0, "", {}},
        {"cat /logs/c.pdf", 0, "C.PDF", {}},
        {"mv /docs/a.txt /docs/A.txt", 0, "", {}},
        {"mv /docs/sub /logs/old", 0, "", {}},
        {"mv /x.bin /docs/b.txt", 0, "", {}},
        // The same entry however the path is spelled: renamed, never removed.
        {"mv /DOCS/A.TXT /docs/A.txt", 0, "", {}},
        {"mv /logs/OLD /LOGS/old/", 1, "", {"fat16: mv: /logs/OLD: a directory cannot move into itself"}},
        {"mv /logs/old /logs/old/", 1, "", {"fat16: mv: /logs/old: a directory cannot move into itself"}},
        {"tree",
         0,
         "/\n|-- docs/\n|   |-- b.txt\n|   `-- A.txt\n`-- logs/\n    |-- C.PDF\n    |-- d.PDF\n    `-- old/\n"
         "        `-- e.txt\n3 directories, 5 files\n",
         {}},
        {"cat /docs/B.TXT", 0, "x.bin", {}},
        {"mv /docs /logs /nowhere/", 1, "", {"fat16: mv: /nowhere/: not found (several sources"}},
        {"mv /docs/A.txt /docs/none/", 1, "", {"fat16: mv: /docs/none/: not found (a DEST ending in '/'"}},
        {"mv /logs /logs/old", 1, "", {"fat16: mv: /logs: a directory cannot move into itself"}},
        {"mv /logs /docs/B.TXT",
         1,
         "",
         {"fat16: mv: /logs: /docs/B.TXT: cannot replace a file with a directory"}},
        {"rm /logs", 1, "", {"fat16: rm: /logs: is a directory (rm -r removes it"}},
        {"rm '/nothing*' '/d*/x/*.txt'",
         1,
         "",
         {"fat16: rm: /nothing*: no entry matches the pattern\n",
          "fat16: rm: /d*/x/*.txt: wildcards are matched in the last component only\n"}},
        {"attrib +r +h -a '/logs/*.pdf'", 0, "", {}},
        {"attrib /logs/c.pdf /docs", 0, "-rh--  /logs/C.PDF\nd----  /docs\n", {}},
        {"rm -r /logs",
         1,
         "",
         {"fat16: rm: /logs/C.PDF: read-only\n", "fat16: rm: /logs/d.PDF: read-only\n"}},
        {"mv /logs/c.pdf /docs", 1, "", {"fat16: mv: /logs/c.pdf: read-only"}},
        {"ls /logs", 0, "C.PDF\nd.PDF\n", {}},
        {"attrib -rh+a '/logs/*'", 0, "", {}},
        {"rm -r /logs /docs/A.txt", 0, "", {}},
        {"ls", 0, "docs/\n", {}},
        {"attrib +x /docs", 2, "", {"fat16: attrib: unknown attribute change +x"}},
    });
    EXPECT_EQ(read_file("out/c.pdf") + read_file("out/d.PDF"), "docs/c.pdfdocs/d.PDF");
    expect_fsck_silent("fat16.img");
}

TEST_F(ToolTest, AttributesAndLabelsAsOtherToolsShowThem) {
    REQUIRE_TOOL("mattrib");
    REQUIRE_TOOL("mlabel");
    write_file("FLAGS.TXT", "flags");
    ASSERT_EQ(tool("put FLAGS.TXT /").status, 0);
    ASSERT_EQ(tool("attrib +r +h +s -a /FLAGS.TXT").status, 0);
    EXPECT_EQ(run_command("mattrib -i fat16.img ::/FLAGS.TXT").output, "     SHR     ::/FLAGS.TXT\n");
    ASSERT_EQ(run_command("mattrib -i fat16.img -r -s +a ::/FLAGS.TXT").status, 0);
    EXPECT_EQ(tool("attrib /flags.txt").out, "--h-a  /FLAGS.TXT\n");
    EXPECT_EQ(tool("label").out, "");
    EXPECT_EQ(run_command("mlabel -s -i fat16.img ::").output, " Volume has no label\n");
    ASSERT_EQ(tool("label 'Card 1'").status, 0);
    EXPECT_EQ(run_command("mlabel -s -i fat16.img ::").output, " Volume label is CARD 1     \n");
    EXPECT_EQ(tool("label").out, "CARD 1\n");
    EXPECT_TRUE(contains(tool("info").out, "\nlabel            CARD 1\nvolume id        "));
    ASSERT_EQ(run_command("mlabel -i fat16.img ::OTHER").status, 0);
    EXPECT_EQ(tool("label").out, "OTHER\n");
    ASSERT_EQ(tool("label --clear").status, 0);
    EXPECT_EQ(run_command("mlabel -s -i fat16.img ::").output, " Volume has no label\n");
    ToolRun r = tool("label 'far too long'");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "fat16: label: far too long: invalid name (a label has at most 11")) << r.err;
    EXPECT_EQ(tool("label ''").status, 2);
    expect_fsck_silent("fat16.img");
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
    write_file("hello.txt", "hello");
    write_file("bad:name.txt", "x");
    write_file("name.", "x");
    write_file("trail ", "x");
    write_file("bad\xFF.txt", "x");
    ASSERT_EQ(tool("mkdir /FULL /DIR").status, 0);
    ASSERT_EQ(tool("put HELLO.TXT /FULL").status, 0);
    const std::string too_long = std::string(256, 'L');
    const std::string too_long_put = "put HELLO.TXT /" + too_long;
    const std::string mkdirs = "mkdir A/B /DIR /dir '/tail.' /" + too_long;
    const Refusal cases[] = {
        {"", 2, {"fat16: missing COMMAND"}},
        {"frobnicate", 2, {"fat16: unknown command frobnicate"}},
        {"--bogus ls", 2, {"unknown option --bogus"}},
        {"-p 0 ls", 2, {"the partition N is 1 to 4 (MBR) or 1 to 128 (GPT)"}},
        {"-p 129 ls", 2, {"the partition N is 1 to 4 (MBR) or 1 to 128 (GPT)"}},
        {"--offset 1000 ls", 2, {"--offset takes a multiple of 512 bytes"}},
        {"-p 1 --offset 1M ls", 2, {"give -p N or --offset BYTES, not both"}},
        {"ls -z", 2, {"fat16: ls: unknown option -z\nTry 'fat16 ls --help'."}},
        {"ls / /DIR", 2, {"one PATH at most"}},
        {"mv /HELLO.TXT", 2, {"needs SOURCE... and DEST"}},
        {"put HELLO.TXT", 2, {"needs HOSTPATH... and DEST"}},
        {"put - HELLO.TXT /", 2, {"standard input (-) is the only HOSTPATH"}},
        {"format --sectors 12ab", 2, {"--sectors takes a whole number"}},
        {"format --size 10X", 2, {"--size takes bytes with K, M or G"}},
        {"format --size 1000", 2, {"--size must be a whole number of 512-byte sectors"}},
        {"format --size 3G", 2, {"the size is more than the 4194304 sectors (2 GiB)"}},
        {"format --cluster-size 3K", 2, {"--cluster-size is 512, 1K"}},
        {"format --fats 3", 2, {"--fats is 1 or 2"}},
        {"format --root-entries 0", 2, {"--root-entries takes 1 to 65520"}},
        {"format --label a.b", 2, {"--label takes at most 11 characters"}},
        {"format --volume-id xyz", 2, {"--volume-id takes up to 8 hexadecimal digits"}},
        {"format --layout driver --label X", 2, {"the driver's layout is fixed"}},
        {"format --layout odd", 2, {"--layout is driver"}},
        {"-p 1 format --mbr", 2, {"--mbr makes partition 1 itself; leave out -p"}},
        {"format", 1, {"fat16: format: fat16.img: already holds a volume (--force"}},
        {"format -f --size 1M",
         1,
         {"fat16: format: fat16.img: cannot format: 2048 sectors: size not usable"}},
        {"format -f --layout driver --size 64M", 1, {"the driver's layout takes 262017 to 4194176 sectors"}},
        {"-i missing.img ls",
         1,
         {"fat16: ls: missing.img: cannot open the image: No such file or directory"}},
        {mkdirs.c_str(),
         1,
         {"fat16: mkdir: A/B: parent directory not found\n", "fat16: mkdir: /DIR: already exists\n",
          "fat16: mkdir: /dir: already exists\n",
          "fat16: mkdir: /tail.: invalid name (FAT drops a name's final dots and spaces",
          "invalid name (the name has 256 UTF-16 units; names on FAT volumes hold at most 255)"}},
        {"rmdir /FULL / /FULL/HELLO.TXT",
         1,
         {"fat16: rmdir: /FULL: directory not empty\n",
          "fat16: rmdir: /: the root directory cannot be removed\n",
          "fat16: rmdir: /FULL/HELLO.TXT: not a directory\n"}},
        {"rm /NOPE.TXT /NOPE/X.TXT /FULL/HELLO.TXT/X",
         1,
         {"fat16: rm: /NOPE.TXT: not found\n", "fat16: rm: /NOPE/X.TXT: parent directory not found\n",
          "fat16: rm: /FULL/HELLO.TXT/X: not a directory\n"}},
        {"mv /FULL/HELLO.TXT /A/B", 1, {"fat16: mv: /A/B: parent directory not found"}},
        {"mv /FULL/HELLO.TXT '/B?.TXT'",
         1,
         {"fat16: mv: /B?.TXT: invalid name (names on FAT volumes may not"}},
        {"mv '/FULL/*.PDF' /DIR", 1, {"fat16: mv: /FULL/*.PDF: no entry matches the pattern"}},
        {"mv /FULL/HELLO.TXT /DIR/x:y",
         1,
         {"fat16: mv: /DIR/x:y: invalid name (names on FAT volumes may not"}},
        {"ls D:/", 1, {"no such drive"}},
        {"ls /NOPE", 1, {"fat16: ls: /NOPE: not found"}},
        {"cat /DIR /FULL", 1, {"fat16: cat: /DIR: is a directory\n", "fat16: cat: /FULL: is a directory\n"}},
        {"get /DIR out", 1, {"fat16: get: /DIR: is a directory (-r copies directories)"}},
        {"get /FULL/HELLO.TXT /DIR/X /nonexistent", 1, {"fat16: get: /nonexistent: not a directory"}},
        {"get /FULL/HELLO.TXT newdir/", 1, {"fat16: get: newdir/: no such directory"}},
        {"get /FULL/HELLO.TXT /DIR/X -", 1, {"fat16: get: -: standard output (-) takes one PATH"}},
        {"put HELLO.TXT /FULL", 1, {"/FULL/HELLO.TXT already exists (-f replaces it)"}},
        {"put HELLO.TXT /NEWDIR/", 1, {"fat16: put: /NEWDIR/: not found (a DEST ending in '/'"}},
        {"put HELLO.TXT /FULL/HELLO.TXT/", 1, {"fat16: put: /FULL/HELLO.TXT/: not a directory"}},
        {"put - /DIR", 1, {"fat16: put: /DIR: is a directory: standard input has no name"}},
        {too_long_put.c_str(), 1, {"invalid name (the name has 256 UTF-16 units"}},
        // Each file is reported and the others still go in; names that differ
        // only in case are one name.
        {"put bad:name.txt name. 'trail ' 'bad\xFF.txt' . HELLO.TXT hello.txt /DIR",
         1,
         {"fat16: put: bad:name.txt: invalid name (names on FAT volumes may not hold \" * / : < > ? \\ |)\n",
          "fat16: put: name.: invalid name (FAT drops a name's final dots and spaces",
          "fat16: put: trail : invalid name (FAT drops",
          "fat16: put: bad\xFF.txt: invalid name (the name is not valid UTF-8",
          "fat16: put: .: is a directory (-r copies directories)",
          "fat16: put: hello.txt: cannot share a directory with /DIR/HELLO.TXT: names that differ only in "
          "case"}},
        {"put HELLO.TXT /FULL/HELLO.TXT/X", 1, {"fat16: put: /FULL/HELLO.TXT/X: not a directory"}},
        {"import nothere", 1, {"fat16: import: nothere: No such file or directory"}},
    };
    for (const Refusal &c : cases) {
        ToolRun r = tool(c.args);
        EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
        for (const std::string &m : c.messages) EXPECT_TRUE(contains(r.err, m)) << c.args << "\n" << r.err;
    }
    // Only HELLO.TXT of the last put went in; nothing else was changed.
    EXPECT_EQ(tool("ls /DIR").out, "HELLO.TXT\n");
    EXPECT_EQ(tool("ls").out, "FULL/\nDIR/\n");
    CommandResult c = run_command("SOURCE_DATE_EPOCH=soon '" + kTool + "' ls");
    EXPECT_EQ(c.status, 2);
    EXPECT_TRUE(contains(c.output, "SOURCE_DATE_EPOCH must be a whole number of seconds")) << c.output;
    expect_fsck_silent("fat16.img");
}

TEST_F(ToolTest, ImportGoesOnPastRefusedNamesAndAFullRoot) {
    ASSERT_EQ(mkdir("src", 0777), 0);
    write_file("src/GOOD.TXT", "good");
    write_file("src/index.html", "kept as given");
    write_file("src/bad|pipe", "refused");
    write_file("src/Same.txt", "second");
    write_file("src/SAME.TXT", "first");
    ASSERT_EQ(symlink("GOOD.TXT", "src/LINK"), 0);
    // -P leaves symbolic links out (without it they are followed).
    ToolRun r = tool("import -P src");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "fat16: import: src/LINK: not copied: only regular files and directories go onto the volume\n"
              "fat16: import: src/Same.txt: cannot share a directory with /SAME.TXT: names that differ "
              "only in case are one name on the volume\n"
              "fat16: import: src/bad|pipe: invalid name (names on FAT volumes may not hold \" * / : < > ? "
              "\\ |)\n");
    EXPECT_EQ(tool("ls").out, "GOOD.TXT\nSAME.TXT\nindex.html\n");
    EXPECT_EQ(tool("cat /same.txt").out, "first");
    // With -f the second of two such names does not replace the first either.
    r = tool("import -P -f src");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(tool("cat /same.txt").out, "first");
    ASSERT_EQ(mkdir("full", 0777), 0);
    for (int i = 0; i < 520; i++) write_file("full/F" + std::to_string(1000 + i), "");
    r = tool("import full");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "fat16: import: full/F1509: directory full\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "fat16: import: full/F1519: directory full\n")) << r.err;
    expect_fsck_silent("fat16.img");
}

// A volume of 1,024-byte clusters (mkfs.fat) with `free_clusters` free.
void make_full_volume(const std::string &path, uint32_t free_clusters) {
    ASSERT_EQ(run_command("mkfs.fat -F 16 -s 2 -C " + path + " 5120 >/dev/null").status, 0);
    ToolRun r = tool("-i " + path + " info");
    ASSERT_EQ(r.status, 0) << r.err;
    size_t at = r.out.find("free             ");
    ASSERT_NE(at, std::string::npos);
    uint64_t free_bytes = std::stoull(r.out.substr(at + 17));
    write_file("FILL.BIN", bytes_of_size(free_bytes - free_clusters * 1024, 2));
    ASSERT_EQ(tool("-i " + path + " put FILL.BIN /").status, 0);
}

TEST(ToolVolume, NoSpaceLeftIsReportedForEachFileAndTheRestGoesIn) {
    REQUIRE_TOOL("mkfs.fat");
    ScratchDir dir;
    ASSERT_NO_FATAL_FAILURE(make_full_volume("small.img", 100));
    write_file("HUGE.BIN", bytes_of_size(20000000, 5));
    write_file("SMALL.BIN", "small");
    // A file larger than the free space is refused before it is written,
    // with its own size; the next file still goes in.
    ToolRun r = tool("-i small.img put HUGE.BIN SMALL.BIN /");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: put: HUGE.BIN: no space left on the volume: the file needs 20000768 bytes of "
                     "clusters, 102400 bytes are free\n");
    EXPECT_EQ(tool("-i small.img ls").out, "FILL.BIN\nSMALL.BIN\n");
    // Standard input has no size to check first.
    CommandResult c = run_command("cat HUGE.BIN | '" + kTool + "' -i small.img put - /PIPED.BIN");
    EXPECT_EQ(c.status, 1);
    EXPECT_TRUE(contains(c.output, "fat16: put: standard input: stored ")) << c.output;
    EXPECT_TRUE(contains(c.output, " bytes: no space left on the volume (the partial copy was removed)\n"))
        << c.output;
    EXPECT_EQ(tool("-i small.img ls").out, "FILL.BIN\nSMALL.BIN\n");
    expect_fsck_silent("small.img");
}

TEST(ToolVolume, ReplacementThatCannotBeCompletedLeavesTheFileAsItWas) {
    REQUIRE_TOOL("mkfs.fat");
    ScratchDir dir;
    ASSERT_NO_FATAL_FAILURE(make_full_volume("small.img", 60));
    write_file("OLD.BIN", bytes_of_size(5005, 1));
    ASSERT_EQ(tool("-i small.img put OLD.BIN /KEPT.BIN").status, 0);
    // The new copy (96 clusters) does not fit beside the old one (5 of 60 free
    // clusters used): refused, and the old file is still there.
    write_file("KEPT.BIN", bytes_of_size(98304, 2));
    ToolRun r = tool("-i small.img put -f KEPT.BIN /");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err,
              "fat16: put: KEPT.BIN: no space left on the volume: the file needs 98304 bytes of clusters, "
              "56320 bytes are free beside the old file, which stays until its replacement is complete; "
              "/KEPT.BIN is unchanged (rm it first to make room)\n");
    EXPECT_EQ(tool("-i small.img cat /KEPT.BIN").out, bytes_of_size(5005, 1));
    // One that fits replaces it, under the name as given, with its time.
    write_file("kept.bin", bytes_of_size(40000, 3));
    set_mtime("kept.bin", 1615000000);
    r = tool("-i small.img put -f kept.bin /");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tool("-i small.img ls").out, "FILL.BIN\nkept.bin\n");
    EXPECT_EQ(tool("-i small.img cat /KEPT.BIN").out, bytes_of_size(40000, 3));
    ASSERT_EQ(tool("-i small.img get -f /kept.bin back.bin").status, 0);
    EXPECT_EQ(host_times(".").at("back.bin"), 1615000000);
    // A read-only file refuses writes, removal, renaming and moving.
    ASSERT_EQ(tool("-i small.img attrib +r /kept.bin").status, 0);
    for (const char *args : {"put -f kept.bin /", "rm /kept.bin", "mv /kept.bin /other.bin"}) {
        r = tool(std::string("-i small.img ") + args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_TRUE(contains(r.err, "read-only")) << args << "\n" << r.err;
    }
    EXPECT_EQ(tool("-i small.img cat /KEPT.BIN").out, bytes_of_size(40000, 3));
    expect_fsck_silent("small.img");
}

TEST(ToolVolume, DataThatCannotBeReadEndsInAMessage) {
    ScratchDir dir;
    ASSERT_EQ(tool("format --layout driver").status, 0);
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

TEST_F(ToolTest, DottedNamesReachTheirOwnEntriesOnly) {
    REQUIRE_TOOL("mcopy");
    // Another tool's directory "dot.d" beside an empty "DOT": the library's
    // lookup of a directory "X.Y" may fall back on "X".
    ASSERT_EQ(run_command("mkdir -p src/dot.d src/DOT && echo in > src/dot.d/IN.TXT").status, 0);
    write_file("src/page.html", "<p>");
    ASSERT_EQ(run_command(kMtoolsEnv + "mcopy -s -i fat16.img src/dot.d src/DOT src/page.html ::/").status,
              0);
    write_file("HELLO.TXT", "hello");
    EXPECT_EQ(tool("ls").out, "dot.d/\nDOT/\npage.html\n");
    run_steps({
        {"rmdir /dot.d", 1, "", {"fat16: rmdir: /dot.d: directory not empty"}},
        {"put HELLO.TXT /dot.d", 0, "", {}},
        {"mkdir /dot.d/NEW", 0, "", {}},
        {"ls /dot.d", 0, "IN.TXT\nHELLO.TXT\nNEW/\n", {}},
        // Names DOT does not carry reach nothing.
        {"ls /DOT.X", 1, "", {"fat16: ls: /DOT.X: not found"}},
        {"ls /DOT.X/Y", 1, "", {"fat16: ls: /DOT.X/Y: parent directory not found"}},
        {"rmdir /DOT.X", 1, "", {"fat16: rmdir: /DOT.X: not found"}},
        {"rm -r /DOT.X", 1, "", {"fat16: rm: /DOT.X: not found"}},
        {"put HELLO.TXT /DOT.X/", 1, "", {"not found"}},
        {"cat /DOT.X/HELLO.TXT", 1, "", {"parent directory not found"}},
        {"ls /DOT", 0, "", {}},
    });
    ToolRun r = tool("get -r / out");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("out"), (std::map<std::string, std::string>{{"dot.d/", "<dir>"},
                                                                    {"dot.d/IN.TXT", "in\n"},
                                                                    {"dot.d/HELLO.TXT", "hello"},
                                                                    {"dot.d/NEW/", "<dir>"},
                                                                    {"DOT/", "<dir>"},
                                                                    {"page.html", "<p>"}}));
}

TEST(ToolImage, MountFailuresExplainThemselves) {
    ScratchDir dir;
    make_sparse_file("blank.img", 8 << 20);
    ToolRun r = tool("-i blank.img info");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        contains(r.err, "fat16: info: blank.img: the image holds no volume (make one with 'fat16 format')"))
        << r.err;
    // A blank image is formatted without --force, at its own size.
    r = tool("-i blank.img format");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "formatted blank.img: 16384 sectors (8388608 bytes), 8143 clusters of 1024 bytes\n");
    struct stat st;
    ASSERT_EQ(stat("blank.img", &st), 0);
    EXPECT_EQ(st.st_size, 8 << 20);
    r = tool("-i blank.img -p 1 ls");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "not a partition table (leave out -p)")) << r.err;
    // A volume of 4,096-byte sectors is no partition table.
    if (have_tool("mkfs.fat")) {
        ASSERT_EQ(run_command("mkfs.fat -F 16 -S 4096 -C big-sectors.img 65536 >/dev/null").status, 0);
        r = tool("-i big-sectors.img ls");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err,
                  "fat16: ls: big-sectors.img: the volume has sectors of 4096 bytes; sectors of that size "
                  "are not supported (only 512-byte sectors)\n");
    }
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
    EXPECT_TRUE(contains(r.out, "partition        1 (type 0x06): sectors 2048 to 272047 (270000 sectors)"))
        << r.out;
    // The table is still there, and other tools read the partition the same.
    EXPECT_EQ(tool("-i disk.img ls").status, 1);
    expect_mtools_opens("disk.img@@1M");
    if (have_tool("mcopy")) {
        ASSERT_EQ(run_command("mcopy -s -n -i disk.img@@1048576 ::/NESTED mout").status, 0);
        EXPECT_EQ(read_file("mout/DEEPER/Size of 32769 bytes.dat"),
                  read_file("src/NESTED/DEEPER/Size of 32769 bytes.dat"));
    }
    ASSERT_EQ(run_command("dd if=disk.img of=part.img bs=1M skip=1 2>/dev/null").status, 0);
    expect_fsck_silent("part.img");
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
    ASSERT_EQ(tool("format -f --layout driver").status, 0);
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

TEST(ToolFormat, SmallestDriverLayoutVolumeIsFat16ForOtherTools) {
    REQUIRE_TOOL("fsck.fat");
    ScratchDir dir;
    ToolRun r = tool("-i small.img format --layout driver --sectors 262017");
    ASSERT_EQ(r.status, 0) << r.err;
    struct stat st;
    ASSERT_EQ(stat("small.img", &st), 0);
    EXPECT_EQ(st.st_size, 262017 * 512);
    write_file("X.BIN", bytes_of_size(100000, 4));
    ASSERT_EQ(tool("-i small.img put X.BIN /").status, 0);
    expect_fsck_clean("small.img"); // the driver's layout leaves the label blank
    CommandResult info = run_command("fsck.fat -n -v small.img");
    EXPECT_TRUE(contains(info.output, "2 FATs, 16 bit entries")) << info.output;
    EXPECT_TRUE(contains(info.output, "4085 data clusters")) << info.output;
}

// The driver's volume, byte for byte: what fs_format_if_blank writes for the
// driver.
TEST(ToolFormat, DriverLayoutIsTheDriversVolume) {
    ScratchDir dir;
    ASSERT_EQ(tool("-i tool.img format --layout driver").status, 0);
    make_sparse_file("driver.img", kImageBytes);
    ASSERT_EQ(disk_open_image_path("driver.img", 0), FS_OK);
    ASSERT_EQ(fs_format_if_blank(0, FS_TYPE_FAT16, kImageSectors), FS_OK);
    disk_close_image();
    // The system area and the first clusters are equal, and so are the sizes
    // (the rest is zeros on both).
    EXPECT_EQ(run_command("cmp -n 4194304 tool.img driver.img").status, 0);
    struct stat a, b;
    ASSERT_EQ(stat("tool.img", &a), 0);
    ASSERT_EQ(stat("driver.img", &b), 0);
    EXPECT_EQ(a.st_size, b.st_size);
}

// Formats of many sizes and options: fsck.fat has nothing to say, mtools
// opens them with its checks on, and a file goes in and out again.
TEST(ToolFormat, FormatsOfManySizesAndOptionsPassOtherTools) {
    ScratchDir dir;
    struct Case {
        std::string global, args, mtools_image, fsck_image, shown;
    };
    const Case cases[] = {
        {"", "--size 3M --cluster-size 512", "a.img", "a.img",
         "6144 sectors (3145728 bytes), 6063 clusters of 512"},
        {"", "--size 16M", "a.img", "a.img", "32768 sectors (16777216 bytes), 8167 clusters of 2048"},
        {"",
         "--size 100M --cluster-size 2K --root-entries 1000 --fats 1 --label 'MY DATA' --volume-id 1234-abcd",
         "a.img", "a.img", "204800 sectors (104857600 bytes), 51134 clusters of 2048"},
        {"", "--sectors 1000000 --cluster-size 64K", "a.img", "a.img",
         "1000000 sectors (512000000 bytes), 7811"},
        {"", "--size 1G --cluster-size 16K", "a.img", "a.img",
         "2097152 sectors (1073741824 bytes), 65518 clusters of 16384"},
        {"", "--size 2G", "a.img", "a.img", "4194304 sectors (2147483648 bytes), 32765 clusters of 65536"},
        {"", "--mbr --size 64M", "a.img@@1M", "part.img", "partition 1: 129024 sectors (66060288 bytes)"},
        {"--offset 3M ", "--size 8M", "a.img@@3M", "part.img", "at offset 3145728: 16384 sectors"},
    };
    write_file("IN.TXT", "in and out\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.global + c.args);
        unlink("a.img");
        ToolRun r = tool(c.global + "-i a.img format " + c.args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(contains(r.out, c.shown)) << r.out;
        std::string where = c.global;
        if (contains(c.args, "--mbr")) where = "-p 1 ";
        ASSERT_EQ(tool(where + "-i a.img put IN.TXT /").status, 0);
        EXPECT_EQ(tool(where + "-i a.img cat /IN.TXT").out, "in and out\n");
        if (c.fsck_image != "a.img") {
            std::string skip = contains(c.args, "--mbr") ? "1" : "3";
            ASSERT_EQ(run_command("dd if=a.img of=part.img bs=1M skip=" + skip + " 2>/dev/null").status, 0);
        }
        expect_fsck_silent(c.fsck_image);
        expect_mtools_opens(c.mtools_image);
    }
    // New images stay sparse where the host allows it.
    make_sparse_file("probe.img", 64 << 20);
    struct stat st;
    ASSERT_EQ(stat("probe.img", &st), 0);
    if ((uint64_t)st.st_blocks * 512 < (16u << 20)) {
        unlink("a.img");
        ASSERT_EQ(tool("-i a.img format --size 2G").status, 0);
        ASSERT_EQ(stat("a.img", &st), 0);
        EXPECT_LT((uint64_t)st.st_blocks * 512, 16u << 20);
    } else {
        std::cout << "this host keeps no sparse files; the new image's blocks were not checked\n";
    }
    // The label and the volume id as mtools reads them.
    if (have_tool("minfo")) {
        ASSERT_EQ(tool("-i b.img format --size 100M --label 'MY DATA' --volume-id 1234-abcd").status, 0);
        CommandResult m = run_command("mdir -i b.img ::");
        EXPECT_TRUE(contains(m.output, "Volume in drive : is MY DATA")) << m.output;
        EXPECT_TRUE(contains(m.output, "Volume Serial Number is 1234-ABCD")) << m.output;
    }
    // A partition table of one partition from 1 MiB, as sfdisk reads it.
    if (have_tool("sfdisk")) {
        ASSERT_EQ(tool("-i disk.img format --mbr --size 64M").status, 0);
        CommandResult t = run_command("sfdisk -d disk.img");
        EXPECT_TRUE(contains(t.output, "disk.img1 : start=        2048, size=      129024, type=6"))
            << t.output;
    }
}

// Where the format leaves no choice, this formatter and mkfs.fat write the
// same boot-sector fields.
TEST(ToolFormat, BootSectorFieldsMatchMkfsFat) {
    REQUIRE_TOOL("mkfs.fat");
    ScratchDir dir;
    struct Case {
        const char *ours, *mkfs;
        uint32_t kib;
    };
    const Case cases[] = {
        {"--size 16M", "", 16384},
        {"--size 100M --cluster-size 2K --root-entries 1024 --fats 1", "-s 4 -r 1024 -f 1", 102400},
        {"--size 1G --cluster-size 16K", "-s 32", 1048576},
        {"--size 3M --cluster-size 512", "-s 1", 3072},
    };
    // Bytes per sector, sectors per cluster, reserved sectors, FATs, root
    // entries, the 16-bit total, media, sectors per FAT, per track, heads,
    // hidden sectors, the 32-bit total, drive number, signature, type.
    const int fields[][2] = {{11, 2}, {13, 1}, {14, 2}, {16, 1}, {17, 2}, {19, 2}, {21, 1}, {22, 2},
                             {24, 2}, {26, 2}, {28, 4}, {32, 4}, {36, 1}, {38, 1}, {54, 8}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ours);
        unlink("ours.img");
        unlink("mkfs.img");
        ASSERT_EQ(tool(std::string("-i ours.img format ") + c.ours).status, 0);
        ASSERT_EQ(run_command(std::string("mkfs.fat -F 16 -a -R 1 ") + c.mkfs + " -C mkfs.img " +
                              std::to_string(c.kib) + " >/dev/null")
                      .status,
                  0);
        std::string ours = host_sector("ours.img", 0), theirs = host_sector("mkfs.img", 0);
        ASSERT_EQ(ours.size(), 512u);
        ASSERT_EQ(theirs.size(), 512u);
        for (const auto &f : fields)
            EXPECT_EQ(ours.substr(f[0], f[1]), theirs.substr(f[0], f[1])) << "byte " << f[0];
    }
}

// Formatting a small volume inside a larger image writes nothing outside it.
TEST(ToolFormat, SectorsOutsideTheVolumeAreLeftAlone) {
    ScratchDir dir;
    const std::string pattern = bytes_of_size(24 << 20, 7);
    struct Case {
        const char *global;
        uint64_t first, count;
    };
    const Case cases[] = {{"--offset 3M ", 6144, 12288}, {"-p 1 ", 8192, 16384}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.global);
        std::string image = pattern;
        if (std::string(c.global) == "-p 1 ") {
            // A partition of type 0x83: the type does not matter.
            ASSERT_NO_FATAL_FAILURE(
                write_partitioned_image("table.img", (uint32_t)c.count, 0x83, (uint32_t)c.first));
            image.replace(0, 512, read_file("table.img").substr(0, 512));
        }
        write_file("big.img", image);
        const std::string before = read_file("big.img");
        ToolRun r = tool(std::string(c.global) + "-i big.img format --sectors " + std::to_string(c.count));
        EXPECT_EQ(r.status, 1); // other data is kept without --force
        EXPECT_TRUE(contains(r.err, "holds data that is not a FAT volume (--force formats over it)"))
            << r.err;
        r = tool(std::string(c.global) + "-i big.img format --force --sectors " + std::to_string(c.count));
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string after = read_file("big.img");
        ASSERT_EQ(after.size(), before.size());
        EXPECT_TRUE(after.compare(0, c.first * 512, before, 0, c.first * 512) == 0);
        uint64_t end = (c.first + c.count) * 512;
        EXPECT_TRUE(after.compare(end, std::string::npos, before, end, std::string::npos) == 0);
        EXPECT_EQ(tool(std::string(c.global) + "-i big.img check").status, 0);
    }
}

TEST(ToolHelp, EveryCommandExplainsItself) {
    ScratchDir dir;
    ToolRun r = tool("--help");
    EXPECT_EQ(r.status, 0);
    const char *commands[] = {"format", "info",   "ls",    "tree",  "mkdir", "rmdir",  "rm",
                              "mv",     "attrib", "label", "put",   "get",   "cat",    "import",
                              "export", "check",  "stat",  "touch", "du",    "showfat"};
    for (const char *c : commands) {
        EXPECT_TRUE(contains(r.out, std::string("\n  ") + c + " ")) << c;
        // Every command takes -q.
        ToolRun help = tool(std::string(c) + " -q --help");
        EXPECT_EQ(help.status, 0) << c;
        EXPECT_EQ(help.out.rfind("Usage: fat16 [-i IMAGE] [-p N", 0), 0u) << help.out;
        EXPECT_TRUE(contains(help.out, std::string("] ") + c)) << help.out;
    }
    EXPECT_EQ(tool("help put").out, tool("put -h").out);
    r = tool("--version");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("fat16 ", 0), 0u) << r.out;
}

TEST_F(ToolTest, ProgressLineOnlyOnATerminal) {
    REQUIRE_TOOL("script");
    ASSERT_EQ(mkdir("src", 0777), 0);
    write_file("src/A.BIN", bytes_of_size(5000, 1));
    // `script` gives the tool a terminal; its output is what the terminal showed.
    CommandResult shown = run_command("script -qec \"'" + kTool + "' import src\" /dev/null");
    EXPECT_EQ(shown.status, 0) << shown.output;
    EXPECT_TRUE(contains(shown.output, "1/1 files, 0.0/0.0 MB, 100%")) << shown.output;
    shown = run_command("script -qec \"'" + kTool + "' -q export out\" /dev/null");
    EXPECT_EQ(shown.status, 0) << shown.output;
    EXPECT_EQ(shown.output, "");
}

} // namespace

namespace {

// The value of `field` in `minfo`'s report of `image`.
std::string minfo_field(const std::string &image, const std::string &field) {
    CommandResult r = run_command("MTOOLS_SKIP_CHECK=1 minfo -i " + image + " ::");
    size_t at = r.output.find(field + ":");
    if (at == std::string::npos) return "";
    size_t end = r.output.find('\n', at);
    return r.output.substr(at, end - at);
}

} // namespace

TEST_F(ToolTest, ChainsUsageTimesShortNamesAndBootSectorFields) {
    write_file("A.BIN", std::string(8192, 'a'));
    write_file("B.BIN", std::string(4096, 'b'));
    write_file("C.BIN", std::string(16384, 'c'));
    write_file("lower name.txt", "x");
    // A file of four 4 KiB clusters around one that stays: two fragments.
    ASSERT_EQ(tool("put A.BIN B.BIN /").status, 0);
    ASSERT_EQ(tool("rm /A.BIN").status, 0);
    ASSERT_EQ(tool("mkdir /D").status, 0);
    ASSERT_EQ(tool("put C.BIN 'lower name.txt' /D").status, 0);
    ASSERT_EQ(tool("touch -d '2001-02-03 04:05:06' /D/C.BIN /D/NEW.TXT").status, 0);
    struct Case {
        const char *args;
        const char *out;
    } cases[] = {
        {"showfat /B.BIN /D/C.BIN /D/NEW.TXT /",
         "/B.BIN: 4 (1 fragment)\n/D/C.BIN: 3 5-7 (2 fragments)\n"
         "/D/NEW.TXT: no clusters\n/: no chain (the root directory is a "
         "fixed area of 32 sectors from sector 473)\n"},
        {"du", "         16385 bytes        6 clusters  /D\n         20481 bytes        7 clusters  /\n"},
        {"du -s /D /B.BIN",
         "         16385 bytes        6 clusters  /D\n          4096 bytes        1 clusters  /B.BIN\n"},
        {"ls -8 /D", "C.BIN\nLOWERN~1.TXT\nNEW.TXT\n"},
        {"stat /D/c.bin",
         "path           /D/C.BIN\nname           C.BIN\n8.3 name       C.BIN\nattributes     ----a (0x20)\n"
         "size           16384 bytes\nfirst cluster  3\nclusters       4 clusters in 2 fragments: 3 5-7\n"},
    };
    for (const Case &c : cases) {
        ToolRun r = tool(c.args);
        EXPECT_EQ(r.status, 0) << c.args << "\n" << r.err;
        EXPECT_EQ(r.out.substr(0, strlen(c.out)), c.out) << c.args;
    }
    ToolRun r = tool("stat /D/C.BIN");
    EXPECT_TRUE(contains(r.out, "modified       2001-02-03 04:05:06\naccessed       2001-02-03\n")) << r.out;
    EXPECT_TRUE(contains(tool("ls -l /D").out, "LOWERN~1.TXT  lower name.txt\n"));
    EXPECT_TRUE(contains(tool("ls -l /D").out, "2001-02-03 04:05                NEW.TXT\n"));
    // A name with a C1 control character is taken, kept and shown escaped.
    write_file("c1\xC2\x85name", "c1");
    ASSERT_EQ(tool("put 'c1\xC2\x85name' /").status, 0);
    EXPECT_TRUE(contains(tool("ls").out, "c1\\u0085name\n"));
    ASSERT_EQ(tool("get '/c1\xC2\x85name' back").status, 0);
    EXPECT_EQ(read_file("back"), "c1");
    ASSERT_EQ(tool("label --volume-id 1234-abcd").status, 0);
    EXPECT_TRUE(contains(tool("info").out, "volume id        1234-ABCD\n"));
    expect_fsck_silent("fat16.img");

    // The remaining boot-sector fields, and boot code from a file.
    std::string code(512, '\0');
    for (size_t i = 0; i < code.size(); i++) code[i] = (char)(i * 7);
    write_file("boot.bin", code);
    r = tool("-i b.img format --size 32M --reserved 8 --media F0 --oem MYOEM --boot boot.bin -q");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    std::string boot = host_sector("b.img", 0);
    EXPECT_EQ(boot.substr(0, 3), code.substr(0, 3));
    EXPECT_EQ(boot.substr(62, 448), code.substr(62, 448));
    EXPECT_EQ(boot.substr(3, 8), "MYOEM   ");
    EXPECT_EQ(boot.substr(510, 2), "\x55\xAA");
    EXPECT_EQ((uint8_t)boot[21], 0xF0);
    EXPECT_EQ(le_get((const uint8_t *)boot.data() + 14, 2), 8u);
    ASSERT_EQ(tool("-i b.img put B.BIN /").status, 0);
    expect_fsck_silent("b.img");
    if (have_tool("minfo")) {
        EXPECT_EQ(minfo_field("b.img", "reserved (boot) sectors"), "reserved (boot) sectors: 8");
        EXPECT_EQ(minfo_field("b.img", "media byte"), "media byte: f0");
        EXPECT_EQ(minfo_field("b.img", "banner"), "banner:\"MYOEM   \"");
    }
    ToolRun bad = tool("-i c.img format --media 12");
    EXPECT_EQ(bad.status, 2);
    bad = tool("-i c.img format --boot A.BIN");
    EXPECT_EQ(bad.status, 2);
    EXPECT_TRUE(contains(bad.err, "--boot takes a file of exactly 512 bytes")) << bad.err;
}
