#include "test_support.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace fat16test {

ScratchDir::ScratchDir() {
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) != nullptr) previous_ = cwd;
    const char *tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr ? tmp : "/tmp") + "/fat16-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
    path_ = buf.data();
    if (chdir(path_.c_str()) != 0) ADD_FAILURE() << "chdir failed";
}

ScratchDir::~ScratchDir() {
    disk_close_image();
    if (!previous_.empty() && chdir(previous_.c_str()) != 0) ADD_FAILURE() << "chdir back failed";
    std::string command = "rm -rf '" + path_ + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << "cleanup failed";
}

void make_sparse_file(const std::string &path, uint64_t bytes) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, (off_t)bytes), 0);
    close(fd);
}

Sector read_raw(uint32_t sector) {
    Sector s{};
    EXPECT_EQ(disk_read_sector(s.data(), sector), FS_OK) << "sector " << sector;
    return s;
}

void write_raw(uint32_t sector, const Sector &data) {
    EXPECT_EQ(disk_write_sector(data.data(), sector), FS_OK) << "sector " << sector;
}

Sector filled(uint8_t value) {
    Sector s;
    s.fill(value);
    return s;
}

bool all_bytes(const Sector &s, uint8_t value) {
    for (uint8_t b : s)
        if (b != value) return false;
    return true;
}

uint32_t fat_entry(uint32_t cluster, uint32_t copy) {
    uint32_t sector = VolumeGeometry.fat1_start + copy * VolumeGeometry.sectors_per_fat + cluster / 256;
    Sector s = read_raw(sector);
    return s[(cluster % 256) * 2] | (s[(cluster % 256) * 2 + 1] << 8);
}

void set_fat_entry(uint32_t cluster, uint32_t value) {
    for (uint32_t copy = 0; copy < VolumeGeometry.fat_count; copy++) {
        uint32_t sector = VolumeGeometry.fat1_start + copy * VolumeGeometry.sectors_per_fat + cluster / 256;
        Sector s = read_raw(sector);
        s[(cluster % 256) * 2] = (uint8_t)(value & 0xFF);
        s[(cluster % 256) * 2 + 1] = (uint8_t)(value >> 8);
        write_raw(sector, s);
    }
}

uint32_t cluster_of(const char *dir) {
    DirCursor.search_kind = KIND_DIR;
    EXPECT_EQ(path_resolve(dir), FS_OK) << dir;
    return FoundEntry.first_cluster;
}

uint32_t free_sectors() {
    uint32_t capacity = 0, free_space = 0;
    EXPECT_EQ(fs_volume_info('c', &capacity, &free_space), FS_OK);
    return free_space;
}

uint64_t sector_writes() {
    FsDiskCounters c{};
    disk_get_counters(&c);
    return c.writes;
}

FsStatus check_volume(FsCheckReport *report) {
    std::vector<uint8_t> work(fs_check_work_size());
    return fs_check(report, work.data(), (uint32_t)work.size());
}

void format_memory_volume(std::vector<uint8_t> *image, uint32_t sectors) {
    image->assign(uint64_t{sectors} * 512, 0);
    ASSERT_EQ(disk_open_memory(image->data(), (uint32_t)image->size()), FS_OK);
    ASSERT_EQ(fs_format_if_blank(0, 6, sectors), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
}

void VolumeTest::SetUp() {
    scratch_ = new ScratchDir();
    make_sparse_file("fat16.img", kImageBytes);
    ASSERT_EQ(disk_open_image(), FS_OK);
    ASSERT_EQ(fs_format_if_blank(0, 6, kImageSectors), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
}

void VolumeTest::TearDown() {
    delete scratch_;
    scratch_ = nullptr;
}

bool have_tool(const char *name) {
    std::string command = std::string("command -v ") + name + " >/dev/null 2>&1";
    return system(command.c_str()) == 0;
}

CommandResult run_command(const std::string &command) {
    CommandResult result;
    std::string full = "{ " + command + " ; } 2>&1";
    FILE *pipe = popen(full.c_str(), "r");
    if (pipe == nullptr) return result;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) result.output.append(chunk, n);
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string fsck_problems(const std::string &image) {
    CommandResult r = run_command("fsck.fat -n '" + image + "'");
    std::istringstream lines(r.output);
    std::string line;
    std::string problems;
    while (std::getline(lines, line)) {
        if (line.rfind("fsck.fat ", 0) == 0) continue; // version banner
        if (line.find("Label '' stored in boot sector") != std::string::npos) continue;
        if (line.find("Auto-removing label from boot sector") != std::string::npos) continue;
        if (line.find("Leaving filesystem unchanged") != std::string::npos) continue;
        if (line.empty()) continue;
        if (line.find(image + ": ") == 0 && line.find(" files, ") != std::string::npos) continue; // summary
        problems += line + "\n";
    }
    return problems;
}

Slot slot_at(uint32_t sector, uint32_t offset) {
    Sector s = read_raw(sector);
    Slot out;
    std::copy(s.begin() + offset, s.begin() + offset + 32, out.begin());
    return out;
}

Slot root_slot(uint32_t index) {
    return slot_at(VolumeGeometry.root_dir_start + index / 16, (index % 16) * 32);
}

std::string slot_name(const Slot &s) { return std::string(s.begin(), s.begin() + 11); }

std::string lfn_text(const Slot &s) {
    static const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::string text;
    for (int o : offsets) {
        if (s[o] == 0 && s[o + 1] == 0) break;
        text += (char)s[o];
    }
    return text;
}

// mtools refuses a boot sector whose heads and sectors per track are zero;
// that geometry check means nothing for an image file.
const std::string kMtoolsEnv = "MTOOLS_SKIP_CHECK=1 ";

std::vector<std::string> mdir_paths(const std::string &image) {
    CommandResult r = run_command(kMtoolsEnv + "mdir -/ -b -i '" + image + "' ::");
    std::vector<std::string> paths;
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind("::/", 0) == 0) paths.push_back(line);
    return paths;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

} // namespace fat16test
