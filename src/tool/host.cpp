// The tool's calls to the host's operating system: POSIX first, then
// Windows, where paths go to the system's UTF-16 calls, files are binary,
// and drive letters and both separators make up host paths.
#include "host.h"

#include <errno.h>

#include <cstdio>
#include <cstring>

#if !defined(_WIN32)

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/sysmacros.h>
#endif

#include <fstream>
#include <sstream>

namespace fat16tool {

namespace {

void from_stat(const struct stat &st, HostStat *out) {
    out->kind = S_ISREG(st.st_mode)   ? HostStat::FILE
                : S_ISDIR(st.st_mode) ? HostStat::DIR
                : S_ISLNK(st.st_mode) ? HostStat::LINK
                                      : HostStat::OTHER;
    out->size = (uint64_t)st.st_size;
    out->modified = st.st_mtim;
    out->block_device = S_ISBLK(st.st_mode);
    out->device = (uint64_t)st.st_dev;
    out->inode = (uint64_t)st.st_ino;
}

#if defined(__linux__)
// The whole disk a partition `dev` belongs to (from /sys/dev/block), or
// `dev` itself for a whole disk.
dev_t whole_disk(dev_t dev) {
    std::string sys = "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    if (access((sys + "/partition").c_str(), F_OK) != 0) return dev;
    std::ifstream in(sys + "/../dev");
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (!(in >> maj >> colon >> min) || colon != ':') return dev;
    return makedev(maj, min);
}

// A field of the mount table, its octal escapes ("\040" for a space) undone.
std::string mount_field(const std::string &field) {
    std::string out;
    for (size_t i = 0; i < field.size(); i++) {
        auto octal = [&](size_t at) { return at < field.size() && field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out += (char)((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}
#endif

} // namespace

std::string host_device_mounted(const std::string &path) {
#if defined(__linux__)
    struct stat ours;
    if (stat(path.c_str(), &ours) != 0 || !S_ISBLK(ours.st_mode)) return "";
    dev_t disk = whole_disk(ours.st_rdev);
    std::ifstream table("/proc/self/mounts");
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string source, target;
        if (!(fields >> source >> target) || source.empty() || source[0] != '/') continue;
        struct stat st;
        if (stat(mount_field(source).c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) continue;
        // This device, a partition of it, or the disk it is a partition of.
        if (st.st_rdev == ours.st_rdev || whole_disk(st.st_rdev) == ours.st_rdev || st.st_rdev == disk)
            return mount_field(target);
    }
#else
    (void)path;
#endif
    return "";
}

bool host_device_is_partition(const std::string &path) {
#if defined(__linux__)
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && whole_disk(st.st_rdev) != st.st_rdev;
#else
    (void)path;
    return false;
#endif
}

std::vector<std::string> host_start(int argc, char **argv) {
    return std::vector<std::string>(argv, argv + argc);
}

bool host_stat(const std::string &path, HostStat *out) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    from_stat(st, out);
    return true;
}

bool host_lstat(const std::string &path, HostStat *out) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return false;
    from_stat(st, out);
    return true;
}

bool host_fstat(int fd, HostStat *out) {
    struct stat st;
    if (fstat(fd, &st) != 0) return false;
    from_stat(st, out);
    return true;
}

std::string host_error_text(int err) { return strerror(err); }

int host_open_read(const std::string &path) {
    // Without O_NONBLOCK a FIFO would block the open until a writer came,
    // though only regular files are copied; it changes nothing for those.
    return open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

int host_create(const std::string &path, bool replace) {
    return open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL),
                0666);
}

int host_open_read_write(const std::string &path) { return open(path.c_str(), O_RDWR | O_CLOEXEC); }

long long host_read(int fd, void *buffer, size_t n) {
    for (;;) {
        ssize_t got = read(fd, buffer, n);
        if (got < 0 && errno == EINTR) continue;
        return got;
    }
}

long long host_write(int fd, const void *data, size_t n) {
    for (;;) {
        ssize_t done = write(fd, data, n);
        if (done < 0 && errno == EINTR) continue;
        return done;
    }
}

bool host_close(int fd) { return close(fd) == 0; }

bool host_set_size(int fd, uint64_t bytes) { return ftruncate(fd, (off_t)bytes) == 0; }

bool host_truncate(const std::string &path, uint64_t bytes) {
    return truncate(path.c_str(), (off_t)bytes) == 0;
}

bool host_unlink(const std::string &path) { return unlink(path.c_str()) == 0; }

bool host_read_at(const std::string &path, uint64_t offset, uint8_t *buffer, size_t n, size_t *got) {
    *got = 0;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = lseek(fd, (off_t)offset, SEEK_SET) == (off_t)offset;
    while (ok && *got < n) {
        long long r = host_read(fd, buffer + *got, n - *got);
        if (r <= 0) {
            ok = r == 0;
            break;
        }
        *got += (size_t)r;
    }
    close(fd);
    return ok;
}

int host_stdin() { return STDIN_FILENO; }

int host_stdout() { return STDOUT_FILENO; }

bool host_mkdir(const std::string &path) { return mkdir(path.c_str(), 0777) == 0; }

HostListing host_list_dir(const std::string &path, std::vector<std::string> *names) {
    names->clear();
    DIR *d = opendir(path.c_str());
    if (d == nullptr) return HostListing::NOT_OPENED;
    errno = 0;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names->push_back(name);
    }
    int err = errno;
    closedir(d);
    errno = err;
    return err == 0 ? HostListing::COMPLETE : HostListing::CUT_SHORT;
}

bool host_set_file_time(int fd, const struct timespec &modified) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = modified;
    return futimens(fd, times) == 0;
}

bool host_set_path_time(const std::string &path, const struct timespec &modified) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1] = modified;
    return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

struct timespec host_now() {
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

bool host_local_time(time_t t, struct tm *out) { return localtime_r(&t, out) != nullptr; }

bool host_utc_time(time_t t, struct tm *out) { return gmtime_r(&t, out) != nullptr; }

bool host_stderr_is_terminal() { return isatty(STDERR_FILENO) != 0; }

bool host_image_path(const std::string &path, std::string *out) {
    *out = path;
    return true;
}

bool host_separator(char c) { return c == '/'; }

bool safe_host_component(const std::string &name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c == '/' || c < 0x20) return false;
    return true;
}

std::string join_host(const std::string &dir, const std::string &name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

} // namespace fat16tool

#else // Windows

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cstdlib>

namespace fat16tool {

namespace {

// errno values of failures that have no C library equivalent: a Windows
// error code that maps to none (kept in `unmapped_error`), a link that a
// file is not written through, and a path outside the local code page.
const int kWindowsError = 0x7F01;
const int kLinkRefused = 0x7F02;
const int kNotInCodePage = 0x7F03;
DWORD unmapped_error = 0;

void set_errno_from(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_BAD_PATHNAME: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT: errno = EACCES; break;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: errno = EEXIST; break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: errno = ENOSPC; break;
    case ERROR_DIR_NOT_EMPTY: errno = ENOTEMPTY; break;
    case ERROR_DIRECTORY: errno = ENOTDIR; break;
    case ERROR_INVALID_NAME: errno = EINVAL; break;
    case ERROR_FILENAME_EXCED_RANGE: errno = ENAMETOOLONG; break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: errno = ENOMEM; break;
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_CRC:
    case ERROR_GEN_FAILURE:
    case ERROR_IO_DEVICE: errno = EIO; break;
    default: unmapped_error = error; errno = kWindowsError;
    }
}

void set_errno_from_last() { set_errno_from(GetLastError()); }

// UTF-8 to UTF-16. An encoded surrogate (as utf8_of writes one that has no
// partner) becomes that surrogate again; other bytes that are no UTF-8 make
// the conversion fail.
bool utf16_of(const std::string &text, std::wstring *out) {
    out->clear();
    const unsigned char *s = (const unsigned char *)text.data();
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char b = s[i];
        uint32_t cp = 0;
        size_t length = 0;
        uint32_t lowest = 0;
        if (b < 0x80) {
            cp = b;
            length = 1;
        } else if (b >= 0xC2 && b <= 0xDF) {
            cp = b & 0x1Fu;
            length = 2;
            lowest = 0x80;
        } else if (b >= 0xE0 && b <= 0xEF) {
            cp = b & 0x0Fu;
            length = 3;
            lowest = 0x800;
        } else if (b >= 0xF0 && b <= 0xF4) {
            cp = b & 0x07u;
            length = 4;
            lowest = 0x10000;
        } else {
            return false;
        }
        if (i + length > n) return false;
        for (size_t k = 1; k < length; k++) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (s[i + k] & 0x3Fu);
        }
        if (cp < lowest || cp > 0x10FFFF) return false;
        if (cp >= 0x10000) {
            out->push_back((wchar_t)(0xD800 + ((cp - 0x10000) >> 10)));
            out->push_back((wchar_t)(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out->push_back((wchar_t)cp);
        }
        i += length;
    }
    return true;
}

// UTF-16 to UTF-8; a surrogate without its partner is encoded by itself, so
// that the name converts back to the same units (and reads as no valid
// UTF-8, which the volume refuses).
std::string utf8_of(const wchar_t *w, size_t n) {
    std::string out;
    for (size_t i = 0; i < n; i++) {
        uint32_t cp = (uint16_t)w[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < n && (uint16_t)w[i + 1] >= 0xDC00 &&
            (uint16_t)w[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + ((uint16_t)w[i + 1] - 0xDC00);
            i++;
        }
        if (cp < 0x80) {
            out += (char)cp;
        } else if (cp < 0x800) {
            out += (char)(0xC0 | (cp >> 6));
            out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += (char)(0xE0 | (cp >> 12));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        } else {
            out += (char)(0xF0 | (cp >> 18));
            out += (char)(0x80 | ((cp >> 12) & 0x3F));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// The UTF-16 form of a host path for the system's calls. Paths longer than
// the classic limit of 260 characters are made absolute and given the
// "\\?\" prefix, under which the system takes them whole.
bool wide_path(const std::string &path, std::wstring *out) {
    if (!utf16_of(path, out)) {
        errno = EILSEQ;
        return false;
    }
    if (out->size() < 240 || out->compare(0, 4, L"\\\\?\\") == 0 || out->compare(0, 4, L"\\\\.\\") == 0)
        return true;
    DWORD n = GetFullPathNameW(out->c_str(), 0, nullptr, nullptr);
    if (n == 0) {
        set_errno_from_last();
        return false;
    }
    std::wstring full(n, L'\0');
    n = GetFullPathNameW(out->c_str(), n, &full[0], nullptr);
    if (n == 0 || n >= full.size()) {
        set_errno_from_last();
        return false;
    }
    full.resize(n);
    if (full.compare(0, 2, L"\\\\") == 0)
        *out = L"\\\\?\\UNC\\" + full.substr(2);
    else
        *out = L"\\\\?\\" + full;
    return true;
}

const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE open_handle(const std::string &path, DWORD access, DWORD disposition, DWORD flags) {
    std::wstring w;
    if (!wide_path(path, &w)) return INVALID_HANDLE_VALUE;
    HANDLE h = CreateFileW(w.c_str(), access, kShareAll, nullptr, disposition, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        // Opening a directory as a file is refused as access denied.
        DWORD attributes = GetFileAttributesW(w.c_str());
        if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(flags & FILE_FLAG_BACKUP_SEMANTICS))
            errno = EISDIR;
        else
            set_errno_from(error);
    }
    return h;
}

// A C library descriptor (binary) that owns `h`.
int descriptor_of(HANDLE h, int flags) {
    int fd = _open_osfhandle((intptr_t)h, flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

HANDLE handle_of(int fd) { return (HANDLE)_get_osfhandle(fd); }

// 100-nanosecond intervals from 1601 to 1970.
const long long kFileTimeTo1970 = 116444736000000000LL;

struct timespec timespec_of(const FILETIME &ft) {
    long long ticks = (long long)(((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime) - kFileTimeTo1970;
    long long seconds = ticks / 10000000, rest = ticks % 10000000;
    if (rest < 0) {
        rest += 10000000;
        seconds--;
    }
    struct timespec t;
    t.tv_sec = (time_t)seconds;
    t.tv_nsec = (long)(rest * 100);
    return t;
}

FILETIME filetime_of(const struct timespec &t) {
    uint64_t ticks = (uint64_t)((long long)t.tv_sec * 10000000 + t.tv_nsec / 100 + kFileTimeTo1970);
    FILETIME ft;
    ft.dwLowDateTime = (DWORD)ticks;
    ft.dwHighDateTime = (DWORD)(ticks >> 32);
    return ft;
}

bool stat_handle(HANDLE h, HostStat *out) {
    *out = HostStat();
    if (GetFileType(h) != FILE_TYPE_DISK) return true; // a device, pipe or console
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info)) {
        set_errno_from_last();
        return false;
    }
    out->kind = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? HostStat::DIR : HostStat::FILE;
    out->size = ((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow;
    out->modified = timespec_of(info.ftLastWriteTime);
    return true;
}

bool is_link_tag(DWORD tag) { return tag == IO_REPARSE_TAG_SYMLINK || tag == IO_REPARSE_TAG_MOUNT_POINT; }

bool drive_prefix(const std::string &path) {
    return path.size() >= 2 && path[1] == ':' &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

UINT saved_output_cp = 0;
HANDLE terminal = INVALID_HANDLE_VALUE;
DWORD saved_terminal_mode = 0;

void restore_console() {
    if (saved_output_cp != 0) SetConsoleOutputCP(saved_output_cp);
    if (terminal != INVALID_HANDLE_VALUE) SetConsoleMode(terminal, saved_terminal_mode);
}

bool is_console(DWORD which) {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(which), &mode) != 0;
}

} // namespace

std::vector<std::string> host_start(int argc, char **argv) {
    // Files and the standard streams carry bytes, not text with CR LF.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // Names are printed in UTF-8; a console shows them as such while the
    // tool runs.
    if (is_console(STD_OUTPUT_HANDLE) || is_console(STD_ERROR_HANDLE)) {
        saved_output_cp = GetConsoleOutputCP();
        if (saved_output_cp != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
            atexit(restore_console);
        else
            saved_output_cp = 0;
    }
    int count = 0;
    wchar_t **words = CommandLineToArgvW(GetCommandLineW(), &count);
    if (words == nullptr) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    for (int i = 0; i < count; i++) out.push_back(utf8_of(words[i], wcslen(words[i])));
    LocalFree(words);
    return out;
}

bool host_stat(const std::string &path, HostStat *out) {
    HANDLE h = open_handle(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = stat_handle(h, out);
    CloseHandle(h);
    return ok;
}

bool host_lstat(const std::string &path, HostStat *out) {
    std::wstring w;
    if (!wide_path(path, &w)) return false;
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) {
        set_errno_from_last();
        return false;
    }
    *out = HostStat();
    out->kind = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? HostStat::DIR : HostStat::FILE;
    out->size = ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
    out->modified = timespec_of(data.ftLastWriteTime);
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // Symbolic links and junctions lead elsewhere; other reparse points
        // (files kept in the cloud, deduplicated files) are what they seem.
        while (!w.empty() && (w.back() == L'\\' || w.back() == L'/')) w.pop_back();
        WIN32_FIND_DATAW found;
        HANDLE f = FindFirstFileW(w.c_str(), &found);
        if (f != INVALID_HANDLE_VALUE) {
            FindClose(f);
            if (is_link_tag(found.dwReserved0)) out->kind = HostStat::LINK;
        }
    }
    return true;
}

bool host_fstat(int fd, HostStat *out) {
    HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    return stat_handle(h, out);
}

std::string host_error_text(int err) {
    if (err == kLinkRefused) return "a symbolic link or junction (not written through)";
    if (err == kNotInCodePage)
        return "the path holds characters outside this system's code page, which the image device needs";
    if (err == kWindowsError) {
        wchar_t *text = nullptr;
        DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                     FORMAT_MESSAGE_IGNORE_INSERTS,
                                 nullptr, unmapped_error, 0, (wchar_t *)&text, 0, nullptr);
        std::string message = n != 0 ? utf8_of(text, n) : std::string();
        if (text != nullptr) LocalFree(text);
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                    message.back() == ' ' || message.back() == '.'))
            message.pop_back();
        return "Windows error " + std::to_string(unmapped_error) + (message.empty() ? "" : ": " + message);
    }
    return strerror(err);
}

int host_open_read(const std::string &path) {
    HANDLE h = open_handle(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    return h == INVALID_HANDLE_VALUE ? -1 : descriptor_of(h, _O_RDONLY);
}

int host_create(const std::string &path, bool replace) {
    // The link itself is opened, not what it leads to: a copy is never
    // written through a link.
    HANDLE h = open_handle(path, GENERIC_WRITE, replace ? OPEN_ALWAYS : CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE) return -1;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileType(h) == FILE_TYPE_DISK) {
        if (!GetFileInformationByHandle(h, &info)) {
            set_errno_from_last();
            CloseHandle(h);
            return -1;
        }
        if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            CloseHandle(h);
            errno = kLinkRefused;
            return -1;
        }
        if (replace && !SetEndOfFile(h)) {
            set_errno_from_last();
            CloseHandle(h);
            return -1;
        }
    }
    return descriptor_of(h, _O_WRONLY);
}

int host_open_read_write(const std::string &path) {
    HANDLE h = open_handle(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    return h == INVALID_HANDLE_VALUE ? -1 : descriptor_of(h, _O_RDWR);
}

long long host_read(int fd, void *buffer, size_t n) {
    return _read(fd, buffer, (unsigned)(n > (1u << 30) ? (1u << 30) : n));
}

long long host_write(int fd, const void *data, size_t n) {
    return _write(fd, data, (unsigned)(n > (1u << 30) ? (1u << 30) : n));
}

bool host_close(int fd) { return _close(fd) == 0; }

namespace {

bool set_end(HANDLE h, uint64_t bytes) {
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)bytes;
    if (!SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !SetEndOfFile(h)) {
        set_errno_from_last();
        return false;
    }
    return true;
}

} // namespace

bool host_set_size(int fd, uint64_t bytes) {
    HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return false;
    }
    return set_end(h, bytes);
}

bool host_truncate(const std::string &path, uint64_t bytes) {
    HANDLE h = open_handle(path, GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = set_end(h, bytes);
    CloseHandle(h);
    return ok;
}

bool host_unlink(const std::string &path) {
    std::wstring w;
    if (!wide_path(path, &w)) return false;
    if (DeleteFileW(w.c_str())) return true;
    set_errno_from_last();
    return false;
}

bool host_read_at(const std::string &path, uint64_t offset, uint8_t *buffer, size_t n, size_t *got) {
    *got = 0;
    HANDLE h = open_handle(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER at;
    at.QuadPart = (LONGLONG)offset;
    bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) != 0;
    while (ok && *got < n) {
        DWORD r = 0;
        ok = ReadFile(h, buffer + *got, (DWORD)(n - *got), &r, nullptr) != 0;
        if (!ok) set_errno_from_last();
        if (r == 0) break;
        *got += r;
    }
    CloseHandle(h);
    return ok;
}

int host_stdin() { return _fileno(stdin); }

int host_stdout() { return _fileno(stdout); }

bool host_mkdir(const std::string &path) {
    std::wstring w;
    if (!wide_path(path, &w)) return false;
    if (CreateDirectoryW(w.c_str(), nullptr)) return true;
    set_errno_from_last();
    return false;
}

HostListing host_list_dir(const std::string &path, std::vector<std::string> *names) {
    names->clear();
    std::wstring w;
    if (!wide_path(path, &w)) return HostListing::NOT_OPENED;
    bool bare_drive = w.size() == 2 && w[1] == L':';
    if (!w.empty() && w.back() != L'\\' && w.back() != L'/' && !bare_drive) w += L'\\';
    w += L'*';
    WIN32_FIND_DATAW found;
    HANDLE f = FindFirstFileW(w.c_str(), &found);
    if (f == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND) return HostListing::COMPLETE; // the empty root of a drive
        set_errno_from(error);
        return HostListing::NOT_OPENED;
    }
    do {
        std::string name = utf8_of(found.cFileName, wcslen(found.cFileName));
        if (name != "." && name != "..") names->push_back(name);
    } while (FindNextFileW(f, &found));
    DWORD error = GetLastError();
    FindClose(f);
    if (error == ERROR_NO_MORE_FILES) return HostListing::COMPLETE;
    set_errno_from(error);
    return HostListing::CUT_SHORT;
}

bool host_set_file_time(int fd, const struct timespec &modified) {
    HANDLE h = handle_of(fd);
    FILETIME ft = filetime_of(modified);
    if (h != INVALID_HANDLE_VALUE && SetFileTime(h, nullptr, nullptr, &ft)) return true;
    set_errno_from_last();
    return false;
}

bool host_set_path_time(const std::string &path, const struct timespec &modified) {
    HANDLE h = open_handle(path, FILE_WRITE_ATTRIBUTES, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
    if (h == INVALID_HANDLE_VALUE) return false;
    FILETIME ft = filetime_of(modified);
    bool ok = SetFileTime(h, nullptr, nullptr, &ft) != 0;
    if (!ok) set_errno_from_last();
    CloseHandle(h);
    return ok;
}

struct timespec host_now() {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return timespec_of(ft);
}

bool host_local_time(time_t t, struct tm *out) { return localtime_s(out, &t) == 0; }

bool host_utc_time(time_t t, struct tm *out) { return gmtime_s(out, &t) == 0; }

bool host_stderr_is_terminal() {
    // The progress line redraws itself with escape sequences, which a
    // console shows only with its terminal processing on.
    HANDLE h = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    if (!GetConsoleMode(h, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    if (!SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return false;
    if (terminal == INVALID_HANDLE_VALUE) {
        terminal = h;
        saved_terminal_mode = mode;
        atexit(restore_console);
    }
    return true;
}

bool host_image_path(const std::string &path, std::string *out) {
    if (GetACP() == CP_UTF8) {
        *out = path;
        return true;
    }
    std::wstring w;
    if (!utf16_of(path, &w)) {
        errno = EILSEQ;
        return false;
    }
    BOOL lossy = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), (int)w.size(), nullptr, 0, nullptr,
                                &lossy);
    if (n <= 0 && !w.empty()) {
        set_errno_from_last();
        return false;
    }
    out->assign((size_t)n, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, w.c_str(), (int)w.size(), &(*out)[0], n, nullptr,
                            &lossy);
    if (lossy) {
        errno = kNotInCodePage;
        return false;
    }
    return true;
}

bool host_separator(char c) { return c == '/' || c == '\\'; }

bool safe_host_component(const std::string &name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c < 0x20 || strchr("/\\:*?\"<>|", c) != nullptr) return false;
    // Windows drops a final dot or space: the file would get another name.
    if (name.back() == '.' || name.back() == ' ') return false;
    // Device names, with any extension, open the device instead of a file.
    std::string base = name.substr(0, name.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char &c : base)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    for (const char *device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (base == device) return false;
    if (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) {
        std::string digit = base.substr(3);
        if ((digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" ||
            digit == "\xC2\xB2" || digit == "\xC2\xB3")
            return false;
    }
    return true;
}

std::string join_host(const std::string &dir, const std::string &name) {
    if (dir.empty()) return name;
    // "D:" is the current directory of drive D: nothing goes between.
    if (host_separator(dir.back()) || (dir.size() == 2 && drive_prefix(dir))) return dir + name;
    // The separator the path already uses; '\' when it has none.
    bool slashes = dir.find('/') != std::string::npos && dir.find('\\') == std::string::npos;
    return dir + (slashes ? "/" : "\\") + name;
}

std::string host_device_mounted(const std::string &) { return ""; }

bool host_device_is_partition(const std::string &) { return false; }

} // namespace fat16tool

#endif

namespace fat16tool {

bool host_write_all(int fd, const void *data, size_t n) {
    const uint8_t *bytes = static_cast<const uint8_t *>(data);
    for (size_t done = 0; done < n;) {
        long long w = host_write(fd, bytes + done, n - done);
        if (w <= 0) return false;
        done += (size_t)w;
    }
    return true;
}

std::string host_basename(const std::string &path) {
    size_t begin = 0;
#if defined(_WIN32)
    if (drive_prefix(path)) begin = 2;
#endif
    size_t end = path.size();
    while (end > begin + 1 && host_separator(path[end - 1])) end--;
    if (end == begin || host_separator(path[end - 1])) return "";
    size_t start = end;
    while (start > begin && !host_separator(path[start - 1])) start--;
    return path.substr(start, end - start);
}

} // namespace fat16tool
