// `fat16 mount` with programs nobody here wrote: cp, diff, tar, fio, the
// shell's appends, truncates and renames, many files open in one process;
// the refusals with their errno; a read-only mount; a mount killed while it
// writes. Every test skips with the reason where /dev/fuse, fusermount3,
// the tool's mount command or the permission to mount is missing, and
// unmounts whatever it mounted, whatever happens.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "tool_support.h"

using namespace fat16test;
using namespace fat16tooltest;

namespace {

namespace fs = std::filesystem;

std::string device_of(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? std::to_string(st.st_dev) : "";
}

// One `fat16 mount -f` process serving a mount point in the working folder.
class Mounted {
  public:
    // Starts the mount and waits until the kernel serves it. Empty when
    // mounted; otherwise what went wrong, and `refused` when the host does
    // not let this user mount.
    std::string start(const std::string &image, const std::string &point,
                      const std::vector<std::string> &extra, bool *refused) {
        point_ = point;
        *refused = false;
        make_dir(point);
        std::string parent_device = device_of(".");
        std::vector<std::string> words = {kTool, "-i", image, "mount", "-f"};
        words.insert(words.end(), extra.begin(), extra.end());
        words.push_back(point);
        pid_ = fork();
        if (pid_ == 0) {
            int err = open("mount-err", O_WRONLY | O_CREAT | O_APPEND, 0644);
            int null = open("/dev/null", O_RDONLY);
            dup2(null, 0);
            dup2(err, 1);
            dup2(err, 2);
            std::vector<char *> argv;
            for (std::string &w : words) argv.push_back(&w[0]);
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 1000; i++) {
            if (device_of(point) != parent_device) return "";
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                std::string err = read_file("mount-err");
                *refused = contains(err, "ermission denied") || contains(err, "not permitted") ||
                           contains(err, "fuse: device not found");
                return "the mount process ended: " + err;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "not mounted after 10 seconds";
    }

    // Unmounts (lazily when a plain unmount is refused) and waits for the
    // process; its exit status, or -1 when it had to be killed.
    int stop() {
        if (pid_ < 0) return -1;
        if (run_command("fusermount3 -u '" + point_ + "'").status != 0)
            run_command("fusermount3 -uz '" + point_ + "'");
        int status = 0;
        for (int i = 0; i < 1000; i++) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill_now();
        return -1;
    }

    // SIGKILL, as a crash would end it; the mount stays until unmounted.
    void kill_now() {
        if (pid_ < 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    // Takes away a mount whose process is gone.
    void clear() {
        if (run_command("fusermount3 -u '" + point_ + "'").status != 0)
            run_command("fusermount3 -uz '" + point_ + "'");
    }

    ~Mounted() {
        if (pid_ >= 0) stop();
    }

  private:
    pid_t pid_ = -1;
    std::string point_;
};

class MountTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "/dev/fuse is missing or not usable; skipped";
        if (!have_tool("fusermount3")) GTEST_SKIP() << "fusermount3 is not installed; skipped";
        scratch_ = new ScratchDir();
        if (tool("mount --help").status != 0)
            GTEST_SKIP() << "the tool was built without libfuse3 (no mount command); skipped";
        ToolRun r = tool("-i fat16.img format --size 64M");
        ASSERT_EQ(r.status, 0) << r.err;
    }
    void TearDown() override {
        // Unmounted before the scratch folder goes, so that its removal
        // never reaches into a mount.
        mount_.reset();
        delete scratch_;
    }

    // Mounts fat16.img on "m" (skips the test when mounting is not allowed).
    void mount(const std::vector<std::string> &extra = {}) {
        mount_.reset(new Mounted());
        bool refused = false;
        std::string problem = mount_->start("fat16.img", "m", extra, &refused);
        if (refused) GTEST_SKIP() << "this user may not mount here: " << problem;
        ASSERT_EQ(problem, "");
    }
    // Unmounts; the mount's exit status is 0.
    void unmount() {
        ASSERT_TRUE(mount_ != nullptr);
        EXPECT_EQ(mount_->stop(), 0) << read_file("mount-err");
        mount_.reset();
    }
    // The image is consistent by both checkers.
    void expect_image_clean() {
        expect_fsck_clean("fat16.img");
        ToolRun r = tool("-i fat16.img check");
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    }

    ScratchDir *scratch_ = nullptr;
    std::unique_ptr<Mounted> mount_;
};

// Shell text run in folder `dir`; its status and output.
CommandResult in_dir(const std::string &dir, const std::string &script) {
    return run_command("cd '" + dir + "' && { " + script + "\n}");
}

// Copies up to `max_files` regular files of `from` (at most `max_bytes` in
// all, each at most 256 KiB) into `to`, with their folders: only names a
// FAT volume holds as given, and no two paths that differ only in case
// (header folders have such pairs). Returns the files copied.
size_t copy_fat_safe_tree(const std::string &from, const std::string &to, size_t max_files,
                          uint64_t max_bytes) {
    auto fat_name = [](const std::string &n) {
        if (n.empty() || n.back() == '.' || n.back() == ' ') return false;
        for (unsigned char c : n)
            if (c < 0x20 || c >= 0x7F || std::string("\"*:<>?\\|").find((char)c) != std::string::npos)
                return false;
        return true;
    };
    auto folded = [](std::string s) {
        for (char &c : s) c = (char)tolower((unsigned char)c);
        return s;
    };
    std::vector<fs::path> files;
    std::error_code error;
    for (fs::recursive_directory_iterator it(from, fs::directory_options::skip_permission_denied, error), end;
         it != end; it.increment(error)) {
        if (error) break;
        if (it->is_regular_file(error) && !it->is_symlink(error)) files.push_back(it->path());
    }
    std::sort(files.begin(), files.end());
    std::map<std::string, std::string> taken; // folded path -> path
    size_t copied = 0;
    uint64_t bytes = 0;
    for (const fs::path &file : files) {
        if (copied >= max_files || bytes >= max_bytes) break;
        fs::path rel = file.lexically_relative(from);
        uintmax_t size = fs::file_size(file, error);
        if (error || size > 256 * 1024) continue;
        bool usable = true;
        std::string so_far;
        for (const fs::path &part : rel) {
            so_far += (so_far.empty() ? "" : "/") + part.string();
            auto at = taken.find(folded(so_far));
            usable = usable && fat_name(part.string()) && (at == taken.end() || at->second == so_far);
        }
        if (!usable) continue;
        fs::create_directories(fs::path(to) / rel.parent_path(), error);
        if (!fs::copy_file(file, fs::path(to) / rel, error)) continue;
        so_far.clear();
        for (const fs::path &part : rel) {
            so_far += (so_far.empty() ? "" : "/") + part.string();
            taken[folded(so_far)] = so_far;
        }
        copied++;
        bytes += size;
    }
    return copied;
}

// A real tree from the build machine: copied in with cp -r and unpacked
// with tar, compared with diff -r on the mount; after the unmount the image
// is clean and `fat16 export` and mcopy give the same tree.
TEST_F(MountTest, RealTreeCopiedAndUnpackedReadsBackEverywhere) {
    size_t files = 0;
    for (const char *source : {"/usr/include", "/usr/share/doc"}) {
        fs::remove_all("src");
        files = copy_fat_safe_tree(source, "src", 2500, 24u << 20);
        if (files >= 500) break;
    }
    if (files < 500) GTEST_SKIP() << "no host tree of at least 500 files to copy; skipped";
    ASSERT_EQ(run_command("tar -C src -cf tree.tar .").status, 0);
    mount();
    CommandResult r = run_command("cp -r src m/copied && diff -r src m/copied");
    ASSERT_EQ(r.status, 0) << r.output;
    r = run_command("mkdir m/unpacked && tar -C m/unpacked -xf tree.tar && diff -r src m/unpacked");
    ASSERT_EQ(r.status, 0) << r.output;
    unmount();
    expect_image_clean();
    ToolRun out = tool("-i fat16.img -q export exported");
    ASSERT_EQ(out.status, 0) << out.err;
    r = run_command("diff -r src exported/copied && diff -r src exported/unpacked");
    EXPECT_EQ(r.status, 0) << r.output;
    if (have_tool("mcopy")) {
        r = run_command("mkdir mtools-out && " + kUtf8 +
                        "mcopy -s -n -i fat16.img ::/copied mtools-out/ && diff -r src mtools-out/copied");
        EXPECT_EQ(r.status, 0) << r.output;
    }
    std::cout << files << " files copied and unpacked\n";
}

// fio writes sequentially and at random, blocks of 4 KiB to 1 MiB, with
// checksums; it verifies them on the mount, and again after a remount from
// what the image holds.
TEST_F(MountTest, FioVerifiesWritesAfterARemount) {
    REQUIRE_TOOL("fio");
    mount();
    const std::string jobs = "--directory=m --size=12M --bsrange=4k-1m --verify=crc32c --fallocate=none "
                             "--ioengine=psync --randrepeat=1 --name=sequential --rw=write --name=random "
                             "--rw=randwrite";
    CommandResult r = run_command("fio --output=fio-write.txt " + jobs);
    ASSERT_EQ(r.status, 0) << r.output << read_file("fio-write.txt");
    unmount();
    expect_image_clean();
    mount();
    r = run_command("fio --output=fio-verify.txt --verify_only " + jobs);
    EXPECT_EQ(r.status, 0) << r.output << read_file("fio-verify.txt");
    EXPECT_FALSE(contains(read_file("fio-verify.txt"), "verify: bad")) << read_file("fio-verify.txt");
    unmount();
}

// Appends, overwrites inside a file and across a cluster boundary,
// truncates down and up, renames over files and empty directories, moves,
// removals, read-only files and times, paths of 400 characters and more, in a host folder and on the mount
// alike: both trees match (names, kinds, modes, sizes, bytes, the times
// set), on the mount and again after a remount.
TEST_F(MountTest, ShellChangesMatchAHostFolder) {
    const std::string script = R"(set -e
umask 022
printf 'first line\n' > a.txt
printf 'second line\n' >> a.txt
sed -i 's/first/1st/' a.txt
head -c 70000 /dev/zero | tr '\0' x > big.bin
printf 'over' | dd of=big.bin bs=1 seek=4094 conv=notrunc status=none
printf 'mid' | dd of=big.bin bs=1 seek=40000 conv=notrunc status=none
truncate -s 5000 big.bin
truncate -s 20000 big.bin
printf 'tail' >> big.bin
: > empty
printf 'gone' > gone.txt
rm gone.txt
mkdir -p d1/d2/d3
printf 'deep' > d1/d2/d3/deep.txt
mv d1/d2 d1/moved
printf 'old target' > target.txt
printf 'new' > source.txt
mv source.txt target.txt
mkdir e1 e2
printf 'in e1' > e1/f
mv -T e1 e2
printf 'ro' > ro.txt
chmod a-w ro.txt
mv ro.txt ro-renamed.txt
printf 'rw' > rw.txt
chmod a-w rw.txt
chmod u+w rw.txt
printf 'x' > rm-ro.txt
chmod a-w rm-ro.txt
rm -f rm-ro.txt
printf 'grown' > grow.txt
truncate -s 9000 grow.txt
printf 'past the end' | dd of=hole.bin bs=1 seek=100000 status=none
printf 'emptied' > emptied.txt
truncate -s 0 emptied.txt
)"
                               "printf 'unicode' > 'Name with spaces and caf\xC3\xA9.txt'\n"
                               R"(for i in $(seq 1 40); do printf "$i" > "many$i.txt"; done
rm many1*.txt
mv many2.txt d1/moved/
echo replaced > many3.txt
deep=$(printf 'directory number %02d/' $(seq 1 20))
mkdir -p "$deep" "gone/$deep"
printf 'deep' > "${deep}leaf.txt"
printf ' and deeper' >> "${deep}leaf.txt"
mv 'directory number 01' deep-top
mv "deep-top/$(printf 'directory number %02d/' $(seq 2 19))directory number 20" d1/shallow
rm -r gone
touch -d '2020-02-03 04:05:06' a.txt d1/moved/d3/deep.txt
)";
    // Kinds, modes and paths; sizes of files (folders have none on FAT).
    const std::string listing =
        "find . -mindepth 1 \\( -type d -printf 'd %M %p\\n' \\) -o -printf '%y %M %s "
        "%p\\n' | LC_ALL=C sort && stat -c '%Y %n' a.txt d1/moved/d3/deep.txt";
    make_dir("host");
    CommandResult r = in_dir("host", script);
    ASSERT_EQ(r.status, 0) << r.output;
    const std::string expected = in_dir("host", listing).output;
    mount();
    r = in_dir("m", script);
    ASSERT_EQ(r.status, 0) << r.output << read_file("mount-err");
    EXPECT_EQ(in_dir("m", listing).output, expected);
    r = run_command("diff -r host m");
    EXPECT_EQ(r.status, 0) << r.output;
    unmount();
    expect_image_clean();
    mount();
    EXPECT_EQ(in_dir("m", listing).output, expected);
    r = run_command("diff -r host m");
    EXPECT_EQ(r.status, 0) << r.output;
    unmount();
}

// Names match without regard to case: a rename to the same entry spelled
// in another case, or reached through its folder spelled so, renames it
// and keeps its data (it is no replacement).
TEST_F(MountTest, RenameToTheSameEntryInAnotherCaseKeepsIt) {
    mount();
    CommandResult r =
        in_dir("m", "mkdir Dir && printf data > Dir/file && mv Dir/file dir/FILE && "
                    "mv Dir/FILE Dir/File.txt && mv dir/file.TXT DIR/File.txt && ls Dir && cat dir/file.txt");
    EXPECT_EQ(r.status, 0) << r.output << read_file("mount-err");
    EXPECT_EQ(r.output, "File.txt\ndata");
    unmount();
    expect_image_clean();
}

// One process holds 100 files open at once and writes them in turns; two
// descriptors on one file see each other's writes.
TEST_F(MountTest, HundredFilesOpenAtOnce) {
    mount();
    ASSERT_TRUE(make_dir("m/open"));
    const int kFiles = 100, kRounds = 4, kChunk = 3000;
    std::vector<int> fds;
    for (int i = 0; i < kFiles; i++) {
        std::string path = "m/open/file" + std::to_string(i);
        int fd = open(path.c_str(), O_CREAT | O_RDWR, 0644);
        ASSERT_GE(fd, 0) << path << ": " << strerror(errno) << read_file("mount-err");
        fds.push_back(fd);
    }
    int second = open("m/open/file0", O_RDWR);
    ASSERT_GE(second, 0) << strerror(errno);
    std::vector<std::string> expected(kFiles);
    for (int round = 0; round < kRounds; round++) {
        for (int i = 0; i < kFiles; i++) {
            std::string chunk = bytes_of_size(kChunk, (unsigned)(i * kRounds + round));
            ASSERT_EQ(write(fds[i], chunk.data(), chunk.size()), (ssize_t)chunk.size()) << strerror(errno);
            expected[i] += chunk;
        }
        std::string seen(expected[0].size(), '\0');
        ASSERT_EQ(pread(second, &seen[0], seen.size(), 0), (ssize_t)seen.size());
        EXPECT_EQ(seen, expected[0]) << "round " << round;
    }
    // A write through the second descriptor, read through the first.
    ASSERT_EQ(pwrite(second, "SECOND", 6, 10), 6);
    expected[0].replace(10, 6, "SECOND");
    char head[16];
    ASSERT_EQ(pread(fds[0], head, 16, 0), 16);
    EXPECT_EQ(std::string(head, 16), expected[0].substr(0, 16));
    for (int fd : fds) EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(close(second), 0);
    for (int i = 0; i < kFiles; i++)
        EXPECT_EQ(read_file("m/open/file" + std::to_string(i)), expected[i]) << "file" << i;
    unmount();
    expect_image_clean();
}

// What the volume cannot do is refused with the errno programs expect, and
// a refused name is logged with its reason.
TEST_F(MountTest, RefusalsCarryTheirErrno) {
    mount();
    ASSERT_EQ(in_dir("m", "mkdir full && printf x > f && printf r > ro && chmod a-w ro").status, 0);
    const struct {
        const char *command;
        const char *message;
    } cases[] = {
        {"touch 'a:b'", "Invalid argument"},
        {"mkdir 'final.'", "Invalid argument"},
        {"touch 'star*'", "Invalid argument"},
        {"touch $(printf 'n%.0s' $(seq 256))", "File name too long"},
        {"ln -s f link", "Operation not permitted"},
        {"ln f hard", "Operation not permitted"},
        {"mkfifo fifo", "Operation not permitted"},
        {"printf x > full/y && rmdir full", "Directory not empty"},
        {"printf more >> ro", "Permission denied"},
        {"exec 3< f && rm f", "Device or resource busy"},
        {"printf kept > kept && printf held > held && exec 3< held && mv held kept",
         "Device or resource busy"},
        {"dd if=/dev/zero of=fill bs=1M count=100 status=none", "No space left on device"},
    };
    for (const auto &c : cases) {
        CommandResult r = in_dir("m", std::string(c.command) + " 2>&1");
        EXPECT_NE(r.status, 0) << c.command;
        EXPECT_TRUE(contains(r.output, c.message)) << c.command << ": " << r.output;
    }
    EXPECT_TRUE(contains(read_file("mount-err"), "names on FAT volumes may not hold"))
        << read_file("mount-err");
    // An open file refused its move before the file it would replace went.
    EXPECT_EQ(in_dir("m", "cat kept held").output, "keptheld");
    // Names match without regard to case; statfs gives the volume's numbers.
    EXPECT_EQ(in_dir("m", "cat F").output, "x");
    ASSERT_EQ(in_dir("m", "rm fill").status, 0);
    std::string df = in_dir("m", "stat -f -c '%S %b %f' .").output;
    unmount();
    expect_image_clean();
    ToolRun info = tool("-i fat16.img info");
    std::istringstream numbers(df);
    uint64_t block = 0, blocks = 0, free_blocks = 0;
    numbers >> block >> blocks >> free_blocks;
    EXPECT_TRUE(contains(info.out, "capacity         " + std::to_string(block * blocks) + " bytes"))
        << info.out;
    EXPECT_TRUE(contains(info.out, "free             " + std::to_string(block * free_blocks) + " bytes"))
        << info.out;
}

// -r reads everything and writes nothing: the image stays the same byte
// for byte, and every change is refused.
TEST_F(MountTest, ReadOnlyMountWritesNothing) {
    write_file("file.txt", "read me\n");
    ASSERT_EQ(tool("-i fat16.img put file.txt /file.txt").status, 0);
    const std::string before = read_file("fat16.img");
    mount({"-r"});
    EXPECT_EQ(read_file("m/file.txt"), "read me\n");
    for (const char *command :
         {"touch new", "printf x >> file.txt", "mkdir d", "rm file.txt", "mv file.txt b"}) {
        CommandResult r = in_dir("m", std::string(command) + " 2>&1");
        EXPECT_NE(r.status, 0) << command;
        EXPECT_TRUE(contains(r.output, "Read-only file system")) << command << ": " << r.output;
    }
    unmount();
    EXPECT_TRUE(read_file("fat16.img") == before) << "the image changed";
}

// A mount killed while a program writes loses at most that write: files
// written before are whole, the file being written holds what its writes
// returned, and the check finds at most clusters the write had claimed:
// lost ones, or (killed between the FAT link and the entry's size) ones
// past the size of the file being written.
TEST_F(MountTest, KillLosesAtMostTheWriteInProgress) {
    mount();
    const std::string kept = bytes_of_size(300000, 7);
    write_file("m/kept.bin", kept);
    const std::string part = bytes_of_size(200000, 8);
    int fd = open("m/open.bin", O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0) << strerror(errno);
    ASSERT_EQ(write(fd, part.data(), part.size()), (ssize_t)part.size());
    // A writer that is still going when the mount dies.
    pid_t writer = fork();
    if (writer == 0) {
        execl("/bin/sh", "sh", "-c",
              "while :; do head -c 40000 /dev/urandom || exit; done >> m/stream.bin 2>/dev/null",
              (char *)nullptr);
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    mount_->kill_now();
    close(fd);
    waitpid(writer, nullptr, 0);
    mount_->clear();
    mount_.reset();
    ToolRun check = tool("-i fat16.img check");
    std::istringstream lines(check.out);
    std::string line;
    while (std::getline(lines, line))
        EXPECT_TRUE(contains(line, "clusters in use that no entry reaches") || contains(line, ": clean: ") ||
                    (contains(line, "file holds more clusters than its size needs") &&
                     (contains(line, "stream.bin") || contains(line, "STREAM.BIN"))))
            << check.out;
    ToolRun got = tool("-i fat16.img cat /kept.bin /open.bin");
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_TRUE(got.out == kept + part) << "kept.bin and open.bin are not as written";
}

} // namespace
