#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// windows.h declares a call OpenFile, the library a record of that name:
// the call is not used here and goes by another name.
#define OpenFile WindowsOpenFile
#include <windows.h>
#include <winioctl.h>
#undef OpenFile

#include <filesystem>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "test_support.h"

#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <iostream>
#include <sstream>

namespace fat16test {

#if defined(_WIN32)

std::wstring wide(const std::string &text) {
    if (text.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n);
    return out;
}

std::string utf8(const std::wstring &text) {
    if (text.empty()) return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &out[0], n, nullptr, nullptr);
    return out;
}

std::string full_path(const std::string &path) {
    wchar_t full[4096];
    DWORD n = GetFullPathNameW(wide(path).c_str(), 4096, full, nullptr);
    return n > 0 && n < 4096 ? utf8(full) : path;
}

ScratchDir::ScratchDir() {
    namespace fs = std::filesystem;
    std::error_code error;
    previous_ = fs::current_path(error).u8string();
    fs::path base = fs::temp_directory_path(error);
    if (error) ADD_FAILURE() << "no temporary folder: " << error.message();
    for (unsigned n = 0; n < 1000; n++) {
        fs::path candidate = base / ("fat16-test-" + std::to_string(GetCurrentProcessId()) + "-" +
                                     std::to_string(GetTickCount() % 100000) + "-" + std::to_string(n));
        if (fs::create_directory(candidate, error)) {
            path_ = candidate.u8string();
            break;
        }
    }
    if (path_.empty()) ADD_FAILURE() << "cannot make a temporary folder in " << base.u8string();
    fs::current_path(fs::u8path(path_), error);
    if (error) ADD_FAILURE() << "cannot enter " << path_ << ": " << error.message();
}

namespace {

// Removes a file or a folder with everything in it, read-only files too; a
// link is removed, not followed.
bool remove_tree(const std::wstring &path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return DeleteFileW(path.c_str()) != 0;
    bool ok = true;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        HANDLE f = FindFirstFileW((path + L"\\*").c_str(), &found);
        if (f != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name != L"." && name != L"..") ok = remove_tree(path + L"\\" + name) && ok;
            } while (FindNextFileW(f, &found));
            FindClose(f);
        }
    }
    return RemoveDirectoryW(path.c_str()) != 0 && ok;
}

} // namespace

ScratchDir::~ScratchDir() {
    namespace fs = std::filesystem;
    disk_close_image();
    std::error_code error;
    if (!previous_.empty()) fs::current_path(fs::u8path(previous_), error);
    if (error) ADD_FAILURE() << "chdir back failed: " << error.message();
    if (!remove_tree(wide(path_))) ADD_FAILURE() << "cleanup of " << path_ << " failed";
}

void make_sparse_file(const std::string &path, uint64_t bytes) {
    HANDLE h = CreateFileW(wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
    DWORD returned = 0;
    // Where the file system has no sparse files, the size is still set.
    DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
    LARGE_INTEGER size;
    size.QuadPart = (LONGLONG)bytes;
    bool sized = SetFilePointerEx(h, size, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    ASSERT_TRUE(sized) << path;
}

#else

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

#endif

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

#if FS_WITH_CHECK
FsStatus check_volume(FsCheckReport *report) {
    std::vector<uint8_t> work(fs_check_work_size());
    return fs_check(report, work.data(), (uint32_t)work.size());
}
#else
namespace {

// Marks the chain of an entry (`what` names it in messages) in `owner`;
// the number of its clusters, or problems noted in `report`.
uint32_t mark_chain(uint32_t first, const std::string &what, std::vector<uint8_t> *owner,
                    FsCheckReport *report) {
    uint32_t n = 0;
    for (uint32_t c = first; fat_cluster_valid(c); c = fat_read_entry(c)) {
        if ((*owner)[c]) {
            ADD_FAILURE() << what << ": cluster " << c << " is on another chain or twice on this one";
            report->problem_count++;
            return n;
        }
        (*owner)[c] = 1;
        n++;
    }
    uint32_t last = first;
    for (uint32_t k = 1; k < n; k++) last = fat_read_entry(last);
    if (n > 0 && !fat_is_end_mark(fat_read_entry(last))) {
        ADD_FAILURE() << what << ": the chain ends in no end mark";
        report->problem_count++;
    }
    return n;
}

// Checks the directory `path` and everything below it.
void check_tree(const std::string &path, std::vector<uint8_t> *owner, FsCheckReport *report) {
    std::vector<FsEntry> entries;
    FsEntry e;
    for (uint8_t more = 0; fs_list_entries(path.c_str(), more, &e) == FS_OK; more = 1) entries.push_back(e);
    const uint32_t cluster_bytes = VolumeGeometry.sectors_per_cluster * 512u;
    for (const FsEntry &x : entries) {
        std::string child = path + (path.back() == '\\' ? "" : "\\") + x.name;
        uint32_t n = mark_chain(x.first_cluster, child, owner, report);
        if (x.attr & ATTR_DIRECTORY) {
            report->directories++;
            check_tree(child, owner, report);
        } else {
            report->files++;
            if (n != (x.size + cluster_bytes - 1) / cluster_bytes) {
                ADD_FAILURE() << child << ": " << n << " clusters for " << x.size << " bytes";
                report->problem_count++;
            }
        }
    }
}

} // namespace

FsStatus check_volume(FsCheckReport *report) {
    *report = FsCheckReport{};
    const uint32_t last = VolumeGeometry.cluster_count + 1;
    std::vector<uint8_t> owner(last + 1, 0);
    check_tree("C:\\", &owner, report);
    for (uint32_t c = 2; c <= last; c++) {
        uint32_t v = fat_read_entry(c);
        if (owner[c])
            report->used_clusters++;
        else if (v == 0)
            report->free_clusters++;
        else if (v != 0xFFF7)
            report->lost_clusters++;
        if (fat_entry(c, 0) != fat_entry(c, 1)) {
            ADD_FAILURE() << "the FAT copies differ at cluster " << c;
            report->problem_count++;
        }
    }
    if (report->lost_clusters > 0) {
        ADD_FAILURE() << report->lost_clusters << " lost clusters";
        report->problem_count++;
    }
    return report->problem_count == 0 ? FS_OK : FS_FAIL;
}
#endif

#if FS_WITH_FORMAT
FsStatus format_blank(uint32_t sectors) { return fs_format_if_blank(0, 6, sectors); }
#else
FsStatus format_blank(uint32_t sectors) {
    // Boot sector: 64-sector clusters, one reserved sector, two FATs of 256
    // sectors, 1,024 root entries, media 0xF8, the total in the 32-bit field.
    static const uint8_t fields[] = {0xEB, 0x3C, 0x90, 'v', 'e', 'l',  'm',  'a', 'r', 'o',  'd',  0x00,
                                     0x02, 64,   1,    0,   2,   0x00, 0x04, 0,   0,   0xF8, 0x00, 0x01};
    Sector boot = filled(0);
    std::copy(std::begin(fields), std::end(fields), boot.begin());
    for (int i = 0; i < 4; i++) boot[32 + i] = (uint8_t)(sectors >> (8 * i));
    boot[38] = 0x29;
    const uint32_t serial = 0xA88FD2B9u;
    for (int i = 0; i < 4; i++) boot[39 + i] = (uint8_t)(serial >> (8 * i));
    std::fill(boot.begin() + 43, boot.begin() + 54, ' ');
    std::copy_n("FAT16   ", 8, boot.begin() + 54);
    std::fill(boot.begin() + 62, boot.begin() + 510, ' ');
    boot[510] = 0x55;
    boot[511] = 0xAA;
    Sector zero = filled(0);
    Sector head = filled(0);
    head[0] = 0xF8;
    head[1] = head[2] = head[3] = 0xFF;
    if (disk_write_sector(boot.data(), 0) != FS_OK) return FS_FAIL;
    for (uint32_t s = 1; s < 10000 && s < sectors; s++)
        if (disk_write_sector((s == 1 || s == 257 ? head : zero).data(), s) != FS_OK) return FS_FAIL;
    return FS_OK;
}
#endif

void format_memory_volume(std::vector<uint8_t> *image, uint32_t sectors) {
    image->assign(uint64_t{sectors} * 512, 0);
    ASSERT_EQ(disk_open_memory(image->data(), (uint32_t)image->size()), FS_OK);
    ASSERT_EQ(format_blank(sectors), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
}

void VolumeTest::SetUp() {
    scratch_ = new ScratchDir();
    make_sparse_file("fat16.img", kImageBytes);
    ASSERT_EQ(disk_open_image(), FS_OK);
    ASSERT_EQ(format_blank(kImageSectors), FS_OK);
    ASSERT_EQ(fs_init(), FS_OK);
}

void VolumeTest::TearDown() {
    delete scratch_;
    scratch_ = nullptr;
}

#if defined(_WIN32)

bool have_tool(const char *name) {
    wchar_t found[MAX_PATH];
    for (const std::string &file : {std::string(name) + ".exe", std::string(name)})
        if (SearchPathW(nullptr, wide(file).c_str(), nullptr, MAX_PATH, found, nullptr) != 0) return true;
    return false;
}

CommandResult run_command(const std::string &command) {
    // cmd.exe with a pipe as both its standard output and its standard
    // error, so that redirections in the command apply inside that (as
    // "{ command ; } 2>&1" does in a POSIX shell). With /s it drops the
    // first and the last quote of its line, and the command's own quotes
    // stay as they are.
    CommandResult result;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE reader, writer;
    if (!CreatePipe(&reader, &writer, &inherit, 0)) return result;
    SetHandleInformation(reader, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = writer;
    start.hStdError = writer;
    PROCESS_INFORMATION child{};
    std::wstring line = L"cmd.exe /d /s /c \"" + wide(command) + L"\"";
    bool started =
        CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &child);
    CloseHandle(writer);
    if (started) {
        char chunk[4096];
        DWORD n = 0;
        while (ReadFile(reader, chunk, sizeof chunk, &n, nullptr) && n > 0) result.output.append(chunk, n);
        WaitForSingleObject(child.hProcess, INFINITE);
        DWORD code = 0;
        if (GetExitCodeProcess(child.hProcess, &code)) result.status = (int)code;
        CloseHandle(child.hProcess);
        CloseHandle(child.hThread);
    }
    CloseHandle(reader);
    return result;
}

#else

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

#endif

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

void expect_fsck_clean(const std::string &image) {
    if (!have_tool("fsck.fat")) {
        std::cout << "fsck.fat is not installed; " << image << " was not checked with it\n";
        return;
    }
    EXPECT_EQ(fsck_problems(image), "") << image;
}

void expect_fsck_silent(const std::string &image) {
    if (!have_tool("fsck.fat")) {
        std::cout << "fsck.fat is not installed; " << image << " was not checked with it\n";
        return;
    }
    CommandResult r = run_command("fsck.fat -n '" + image + "'");
    EXPECT_EQ(r.status, 0) << image << "\n" << r.output;
    std::istringstream lines(r.output);
    std::string line, said;
    while (std::getline(lines, line))
        if (line.rfind("fsck.fat ", 0) != 0 && line.find(" files, ") == std::string::npos)
            said += line + "\n";
    EXPECT_EQ(said, "") << image << ": fsck.fat said more than its banner and summary:\n" << r.output;
}

void expect_mtools_opens(const std::string &image) {
    if (!have_tool("minfo") || !have_tool("mdir")) {
        std::cout << "mtools is not installed; " << image << " was not opened with it\n";
        return;
    }
    CommandResult r =
        run_command("minfo -i '" + image + "' :: >/dev/null && mdir -i '" + image + "' :: >/dev/null");
    EXPECT_EQ(r.status, 0) << image << "\n" << r.output;
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

std::string last_long_name() {
    char text[FS_NAME_SIZE];
    if (dir_last_long_units() == 0) return "";
    EXPECT_EQ(dir_last_long_text(text, sizeof text), FS_OK);
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

// Paths are UTF-8; on Windows the streams take them as UTF-16.
#if defined(_WIN32)
#define FAT16_TEST_PATH(p) std::filesystem::u8path(p)
#else
#define FAT16_TEST_PATH(p) (p)
#endif

std::string read_file(const std::string &path) {
    std::ifstream in(FAT16_TEST_PATH(path), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &data) {
    std::ofstream out(FAT16_TEST_PATH(path), std::ios::binary | std::ios::trunc);
    out << data;
}

std::string host_sector(const std::string &path, uint64_t sector) {
    std::ifstream in(FAT16_TEST_PATH(path), std::ios::binary);
    std::string out(512, '\0');
    if (!in.seekg((std::streamoff)(sector * 512)) || !in.read(&out[0], 512)) return "";
    return out;
}

namespace {

// Sets `name` to `value`, or unsets it for nullptr. Windows has no
// unsetenv: there an empty value removes the variable.
void set_env(const std::string &name, const char *value) {
#if defined(_WIN32)
    _putenv_s(name.c_str(), value != nullptr ? value : "");
#else
    if (value != nullptr)
        setenv(name.c_str(), value, 1);
    else
        unsetenv(name.c_str());
#endif
}

} // namespace

ScopedEnv::ScopedEnv(const char *name, const char *value) : name_(name) {
    const char *previous = getenv(name);
    had_ = previous != nullptr;
    if (had_) previous_ = previous;
    set_env(name_, value);
}

ScopedEnv::~ScopedEnv() { set_env(name_, had_ ? previous_.c_str() : nullptr); }

#if defined(_WIN32)

bool make_dir(const std::string &path) { return CreateDirectoryW(wide(path).c_str(), nullptr) != 0; }

std::vector<std::string> dir_names(const std::string &path) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE f = FindFirstFileW(wide(path + "\\*").c_str(), &found);
    if (f == INVALID_HANDLE_VALUE) return names;
    do {
        std::string name = utf8(found.cFileName);
        if (name != "." && name != "..") names.push_back(name);
    } while (FindNextFileW(f, &found));
    FindClose(f);
    return names;
}

HostKind host_kind(const std::string &path) {
    DWORD attributes = GetFileAttributesW(wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return HostKind::MISSING;
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return HostKind::LINK;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? HostKind::DIR : HostKind::FILE;
}

// 100-nanosecond intervals from 1601 to 1970.
const long long kFileTimeTo1970 = 116444736000000000LL;

long long host_mtime(const std::string &path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(wide(path).c_str(), GetFileExInfoStandard, &data)) return -1;
    long long ticks = (long long)(((unsigned long long)data.ftLastWriteTime.dwHighDateTime << 32) |
                                  data.ftLastWriteTime.dwLowDateTime);
    return (ticks - kFileTimeTo1970) / 10000000;
}

void set_host_mtime(const std::string &path, long long seconds) {
    HANDLE h = CreateFileW(wide(path).c_str(), FILE_WRITE_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    unsigned long long ticks = (unsigned long long)(seconds * 10000000 + kFileTimeTo1970);
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)ticks;
    ft.dwHighDateTime = (DWORD)(ticks >> 32);
    SetFileTime(h, nullptr, &ft, &ft);
    CloseHandle(h);
}

#else

bool make_dir(const std::string &path) { return mkdir(path.c_str(), 0777) == 0; }

std::vector<std::string> dir_names(const std::string &path) {
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    if (d == nullptr) return names;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    return names;
}

HostKind host_kind(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return HostKind::MISSING;
    if (S_ISLNK(st.st_mode)) return HostKind::LINK;
    if (S_ISDIR(st.st_mode)) return HostKind::DIR;
    return S_ISREG(st.st_mode) ? HostKind::FILE : HostKind::OTHER;
}

long long host_mtime(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return -1;
    return (long long)st.st_mtim.tv_sec;
}

void set_host_mtime(const std::string &path, long long seconds) {
    struct timespec t[2] = {{(time_t)seconds, 0}, {(time_t)seconds, 0}};
    utimensat(AT_FDCWD, path.c_str(), t, AT_SYMLINK_NOFOLLOW);
}

#endif

} // namespace fat16test
