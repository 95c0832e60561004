// Shared helpers of the tests: scratch folders, images, raw sector access
// and the black-box FAT tools.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "fat16.h"
#include "fat16_layout.h"
#include "fault_device.h"

namespace fat16test {

using Sector = std::array<uint8_t, 512>;

constexpr uint32_t kImageSectors = 483328;
constexpr uint64_t kImageBytes = uint64_t{kImageSectors} * 512;

// A fresh temporary folder that is the working directory while the object
// lives; removed with its contents afterwards.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }

  private:
    std::string path_;
    std::string previous_;
};

// Writes a sparse file of `bytes` zero bytes.
void make_sparse_file(const std::string &path, uint64_t bytes);

// Raw access to the open image, past the file system.
Sector read_raw(uint32_t sector);
void write_raw(uint32_t sector, const Sector &data);
Sector filled(uint8_t value);
bool all_bytes(const Sector &s, uint8_t value);

// FAT entry of `cluster` in FAT copy `copy` (0 or 1) of the mounted volume.
uint32_t fat_entry(uint32_t cluster, uint32_t copy = 0);
void set_fat_entry(uint32_t cluster, uint32_t value);

// The first cluster of the directory `dir` names on the mounted volume.
uint32_t cluster_of(const char *dir);
// Free space of drive C in sectors, as fs_volume_info reports it.
uint32_t free_sectors();
// Sector writes the device has made since it was opened or reset.
uint64_t sector_writes();

#if !FS_WITH_CHECK
// What check_volume counts where the library has no check of its own.
struct FsCheckReport {
    uint32_t directories;
    uint32_t files;
    uint32_t used_clusters;
    uint32_t free_clusters;
    uint32_t lost_clusters;
    uint32_t problem_count;
};
#endif

// fs_check of the mounted volume with a work area of the size it asks for;
// in a library built without it, the test's own check of the same rules
// (chains that end where sizes say, no cluster on two chains, no lost
// clusters, FAT copies alike), which prints what it finds.
FsStatus check_volume(FsCheckReport *report);

// The driver's volume layout on the open image, `sectors` long: with the
// library's formatter, or byte by byte in a library built without it.
FsStatus format_blank(uint32_t sectors);

// Makes `image` a formatted volume of `sectors` sectors in memory, opened
// and initialised (at least 10,000 sectors: formatting clears that many).
void format_memory_volume(std::vector<uint8_t> *image, uint32_t sectors);

// A working folder holding a full-size sparse "fat16.img", opened,
// formatted and initialised.
class VolumeTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    ScratchDir *scratch_ = nullptr;
};

// Black-box tools: whether a program is on PATH, and running a shell
// command (cmd.exe's syntax on Windows) to collect its standard output and
// standard error.
bool have_tool(const char *name);
struct CommandResult {
    int status = -1;
    std::string output;
};
CommandResult run_command(const std::string &command);

// Skips the current test when `tool` is missing.
#define REQUIRE_TOOL(tool)                                                                                   \
    do {                                                                                                     \
        if (!::fat16test::have_tool(tool)) GTEST_SKIP() << tool " is not installed; skipped";                \
    } while (0)

// Problems fsck.fat -n reports for `image`, with the blank-label complaint
// (the formatter writes eleven spaces there) left out. Empty when clean.
std::string fsck_problems(const std::string &image);

// Checks of `image` with the other FAT tools (POSIX shell commands). Where
// the tool is missing, each says so and checks nothing.
// fsck.fat -n finds nothing wrong with `image` (but the blank label).
void expect_fsck_clean(const std::string &image);
// fsck.fat -n has nothing at all to say about `image`: exit status 0 and
// no line but its banner and its summary.
void expect_fsck_silent(const std::string &image);
// mtools opens `image` (an image path, with @@OFFSET where the volume lies
// further in) with its own checks on: minfo and mdir succeed.
void expect_mtools_opens(const std::string &image);

// The 32-byte slot at (`sector`, `offset`) of the open image.
using Slot = std::array<uint8_t, 32>;
Slot slot_at(uint32_t sector, uint32_t offset);
// Slot `index` of the root directory area.
Slot root_slot(uint32_t index);
// The first 11 bytes of a slot as text ("README  TXT").
std::string slot_name(const Slot &s);
// The characters a long-name slot holds, up to its terminator.
std::string lfn_text(const Slot &s);
// The long name of the entry the reader returned last, as UTF-8 ("" when
// it has none).
std::string last_long_name();

// Every path `mdir -/ -b` lists on `image`, directories with a trailing '/'
// ("::/A/", "::/A/file.txt").
std::vector<std::string> mdir_paths(const std::string &image);
extern const std::string kMtoolsEnv;

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &data);
// Sector `sector` (512 bytes) of a host file, read past the library and the
// tool; "" when the file ends before the sector does.
std::string host_sector(const std::string &path, uint64_t sector);
// Makes a host folder; false when it cannot be made.
bool make_dir(const std::string &path);
// The names in host folder `path`, without "." and "..".
std::vector<std::string> dir_names(const std::string &path);
// What a host path names; a symbolic link is not followed.
enum class HostKind { MISSING, FILE, DIR, LINK, OTHER };
HostKind host_kind(const std::string &path);
// The modification time of a host path in whole seconds, a link's own; -1
// when it cannot be read.
long long host_mtime(const std::string &path);
// Sets the modification and access times of a host path, a link's own.
void set_host_mtime(const std::string &path, long long seconds);

// An environment variable set while the object lives (child processes
// inherit it); afterwards it has its previous value again, or is unset when
// it was unset.
class ScopedEnv {
  public:
    ScopedEnv(const char *name, const char *value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

  private:
    std::string name_;
    bool had_ = false;
    std::string previous_;
};

#if defined(_WIN32)
// UTF-8 and the UTF-16 of the Windows calls.
std::wstring wide(const std::string &text);
std::string utf8(const std::wstring &text);
// The whole path of `path`, from the working folder.
std::string full_path(const std::string &path);
#endif

} // namespace fat16test
