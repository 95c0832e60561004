// The `fat16` tool on the host it runs on (Linux, or Windows under Wine): a
// tree of the names the volume holds goes in and comes back with its bytes
// and times, host paths work in the forms this host writes them (on Windows
// with drive letters and backslashes), data passes standard input and
// output byte for byte, and names this host cannot take as file names stay
// on the volume.
#include <map>
#include <vector>

#include "tool_support.h"

using namespace fat16test;
using namespace fat16tooltest;

namespace {

#if defined(_WIN32)
const std::string kSep = "\\";
#else
const std::string kSep = "/";
#endif

// Bytes a text stream would change: CR LF, LF CR, 0x1A (the end of a text
// file for the Windows C library), NUL, then every byte value.
std::string binary_data(size_t n, unsigned seed) {
    return std::string("\r\n\x1A\n\r\0\xFF", 7) + bytes_of_size(n, seed) + "\n\x1A";
}

// Folders and files with 8.3 names in capitals, small letters and mixed
// case, several dots, a leading dot, spaces and the characters only long
// names hold, names beyond ASCII (Latin, CJK, beyond U+FFFF), deep nesting
// and sizes around sector and cluster boundaries, each with its own time.
void make_tree(const std::string &root) {
    std::string deep = root + "/deep";
    std::vector<std::string> dirs = {root,
                                     root + "/NESTED",
                                     root + "/NESTED/DEEPER",
                                     root + "/EMPTYDIR",
                                     root + "/v1.2.3",
                                     root + "/r\xC3\xA9sum\xC3\xA9s",
                                     root + "/\xE6\xBC\xA2\xE5\xAD\x97",
                                     deep};
    for (int i = 1; i <= 8; i++) dirs.push_back(deep += "/level " + std::to_string(i));
    for (const std::string &d : dirs) ASSERT_TRUE(make_dir(d)) << d;
    unsigned seed = 1;
    for (size_t n : {0, 1, 511, 512, 513, 32768, 70000}) {
        write_file(root + "/S" + std::to_string(n) + ".BIN", n == 0 ? std::string() : binary_data(n, seed++));
        write_file(root + "/NESTED/DEEPER/Size of " + std::to_string(n) + " bytes.dat",
                   bytes_of_size(n, seed++));
    }
    for (const char *name :
         {"README.TXT", "lower.txt", "Mixed.Txt", "archive.tar.gz", ".profile", "..hidden",
          "name with spaces.txt", "a+b,c;d=e[f].txt", "caf\xC3\xA9.txt", "\xE6\xBC\xA2\xE5\xAD\x97.txt",
          "\xF0\x9F\x98\x80 smile.txt", "v1.2.3/notes", "r\xC3\xA9sum\xC3\xA9s/cv.pdf"})
        write_file(root + "/" + name, std::string(name) + "\r\n");
    write_file(root + "/NESTED/DEEPER/" + std::string(120, 'n') + ".c", bytes_of_size(700, 9));
    write_file(deep + "/leaf.txt", "leaf\n");
    stamp_tree_times(root);
    set_mtime(root, kTreeTime);
}

class ToolHostTest : public ::testing::Test {
  protected:
    void SetUp() override {
        scratch_ = new ScratchDir();
        ToolRun r = tool("format --size 16M");
        ASSERT_EQ(r.status, 0) << r.err;
    }
    void TearDown() override { delete scratch_; }
    ScratchDir *scratch_ = nullptr;
};

TEST_F(ToolHostTest, TreeRoundTripsWithItsNamesBytesAndTimes) {
    ASSERT_NO_FATAL_FAILURE(make_tree("src"));
    const auto expected = host_tree("src");
    const auto times = host_times("src");
    ASSERT_EQ(expected.size(), 44u);

    ToolRun r = tool("import src");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, ""); // no terminal, so no progress line
    r = tool("export out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("out"), expected);
    EXPECT_EQ(host_times("out"), times);

    // Parts of the tree with put -r and get -r, into an existing folder.
    ASSERT_EQ(tool("mkdir /COPY").status, 0);
    r = tool_words({"put", "-r", "src/NESTED", "src/r\xC3\xA9sum\xC3\xA9s", "src/deep", "/COPY/"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(make_dir("back"));
    r = tool_words({"get", "-r", "C:\\copy", "back"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string part : {"NESTED", "r\xC3\xA9sum\xC3\xA9s", "deep"}) {
        EXPECT_EQ(host_tree("back/COPY/" + part), host_tree("src/" + part)) << part;
        EXPECT_EQ(host_times("back/COPY/" + part), host_times("src/" + part)) << part;
    }
    r = tool("check");
    EXPECT_EQ(r.status, 0) << r.out << r.err;

    // With SOURCE_DATE_EPOCH two imports of the tree make identical images.
    ScopedEnv epoch("SOURCE_DATE_EPOCH", "1700000000");
    for (const char *image : {"one.img", "two.img"}) {
        r = tool(std::string("-i ") + image + " format --size 8M");
        ASSERT_EQ(r.status, 0) << r.err;
        r = tool(std::string("-i ") + image + " import src");
        ASSERT_EQ(r.status, 0) << r.err;
    }
    std::string one = read_file("one.img");
    EXPECT_EQ(one.size(), 8u << 20);
    EXPECT_TRUE(one == read_file("two.img"));
}

TEST_F(ToolHostTest, HostPathsInTheFormsThisHostWritesThem) {
    ASSERT_TRUE(make_dir("src"));
    ASSERT_TRUE(make_dir("src/sub"));
    write_file("src/one.txt", "one");
    write_file("src/sub/two.txt", "two");
    ASSERT_TRUE(make_dir("back"));
    const std::string here = scratch_->path(); // whole, as this host writes it
    const std::string src = here + kSep + "src";

    // A whole path to a file or a folder, with a separator at the end or not.
    ToolRun r = tool_words({"put", src + kSep + "one.txt", "/"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool_words({"import", src + kSep, "/IMPORTED"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool_words({"get", "-r", "/IMPORTED", here + kSep + "back" + kSep});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("back/IMPORTED"), host_tree("src"));
    r = tool_words({"get", "/one.txt", here + kSep + "missing" + kSep});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "no such directory")) << r.err;
    r = tool_words({"export", here + kSep + "all"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file("all/one.txt"), "one");
    EXPECT_EQ(read_file("all/IMPORTED/sub/two.txt"), "two");

#if defined(_WIN32)
    ASSERT_TRUE(here.size() > 3 && here[1] == ':' && here[2] == '\\') << here;
    const std::string drive = here.substr(0, 2);
    std::string forward = here;
    for (char &c : forward)
        if (c == '\\') c = '/';
    // The drive letter with '/', and '\' and '/' mixed: the name is what
    // follows the last separator of either kind.
    ASSERT_EQ(tool("mkdir /W").status, 0);
    r = tool_words({"put", forward + "/src/sub/two.txt", "src\\sub/../one.txt", "/W"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(tool("ls /W").out, "two.txt\none.txt\n");
    // A path relative to the current folder of a drive ("C:src").
    r = tool_words({"put", drive + "src\\one.txt", "/W/drive.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool_words({"put", "-r", drive + "src", "/W"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool_words({"get", "-r", "/W/src", drive + "fromdrive"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("fromdrive"), host_tree("src"));
    // Copies land below a destination written with '/' and with '\'.
    ASSERT_TRUE(make_dir("mixed"));
    r = tool_words({"get", "/W/two.txt", "/W/drive.txt", forward + "/mixed"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = tool_words({"get", "-r", "/W/src", here + "\\mixed/"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("mixed"), (std::map<std::string, std::string>{{"drive.txt", "one"},
                                                                      {"src/", "<dir>"},
                                                                      {"src/one.txt", "one"},
                                                                      {"src/sub/", "<dir>"},
                                                                      {"src/sub/two.txt", "two"},
                                                                      {"two.txt", "two"}}));
    // The name of a drive is no name for a copy.
    r = tool_words({"put", drive + "\\", "/W"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "is a directory") || contains(r.err, "has no name")) << r.err;
#else
    // A backslash is a character of a host name here, one the volume cannot hold.
    write_file("src/back\\slash.txt", "x");
    r = tool_words({"put", "src/back\\slash.txt", "/"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "invalid name (names may not hold '\\'")) << r.err;
#endif
}

TEST_F(ToolHostTest, DataGoesThroughStandardInputAndOutputByteForByte) {
    const std::string data = binary_data(70000, 7);
    write_file("data.bin", data);
    const std::string program = quoted(kTool);
    CommandResult c = run_command(program + " put - /IN.BIN < data.bin > put.out");
    ASSERT_EQ(c.status, 0) << c.output;
    c = run_command(program + " cat /IN.BIN > cat.out");
    ASSERT_EQ(c.status, 0) << c.output;
    EXPECT_TRUE(read_file("cat.out") == data);
    c = run_command(program + " get /IN.BIN - > get.out");
    ASSERT_EQ(c.status, 0) << c.output;
    EXPECT_TRUE(read_file("get.out") == data);
    // Files too, and listings end their lines with a bare newline.
    ASSERT_EQ(tool("put data.bin /FILE.BIN").status, 0);
    ASSERT_EQ(tool("get /FILE.BIN file.out").status, 0);
    EXPECT_TRUE(read_file("file.out") == data);
    EXPECT_EQ(tool("ls -l /FILE.BIN").out.substr(0, 19), "----a      70009  2");
    EXPECT_EQ(tool("ls").out, "IN.BIN\nFILE.BIN\n");
    EXPECT_EQ(tool("ls /NONE").err, "fat16: ls: /NONE: not found\n");
}

TEST_F(ToolHostTest, NamesThisHostCannotTakeStayOnTheVolume) {
    // Names of Windows devices, which are plain names elsewhere.
    write_file("ok.txt", "ok");
    ASSERT_EQ(tool("mkdir /CON").status, 0);
    ASSERT_EQ(tool("put ok.txt /AUX.TXT").status, 0);
    ASSERT_EQ(tool("put ok.txt /com1.log").status, 0);
    ASSERT_EQ(tool("put ok.txt /ok.txt").status, 0);
    ToolRun r = tool("export out");
#if defined(_WIN32)
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fat16: export: warning: /CON: not copied: the name is unsafe as a host file name\n"
                     "fat16: export: warning: /AUX.TXT: not copied: the name is unsafe as a host file name\n"
                     "fat16: export: warning: /com1.log: not copied: the name is unsafe as a host file name\n"
                     "fat16: export: some entries were not exported\n");
    EXPECT_EQ(host_tree("out"), (std::map<std::string, std::string>{{"ok.txt", "ok"}}));
    ASSERT_TRUE(make_dir("into"));
    r = tool("get /AUX.TXT /ok.txt into");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(
        contains(r.err, "fat16: get: warning: /AUX.TXT: not copied: the name is unsafe as a host file name"))
        << r.err;
    EXPECT_EQ(host_tree("into"), (std::map<std::string, std::string>{{"ok.txt", "ok"}}));
#else
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(host_tree("out"),
              (std::map<std::string, std::string>{
                  {"CON/", "<dir>"}, {"AUX.TXT", "ok"}, {"com1.log", "ok"}, {"ok.txt", "ok"}}));
#endif
}

} // namespace
