// The host side of the `fat16` tool: everything it asks of the host's
// operating system, with one implementation for POSIX hosts and one for
// Windows (host.cpp). Host paths and names are UTF-8 text on every host; on
// Windows they are converted to and from the UTF-16 of the system's calls,
// files are opened in binary mode, and a path may begin with a drive letter
// ("C:\dir", "C:/dir") and use '\' and '/' alike as separators.
//
// Calls that fail set errno, and host_error_text(errno) says why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace fat16tool {

// Prepares the standard streams (binary on Windows) and returns the
// command-line words as UTF-8 (on Windows read from the UTF-16 command
// line, so that names beyond the local code page survive).
std::vector<std::string> host_start(int argc, char **argv);

// What a host path names.
struct HostStat {
    enum Kind { FILE, DIR, LINK, OTHER } kind = OTHER; // LINK: only from host_lstat
    uint64_t size = 0;
    struct timespec modified = {0, 0};
    bool block_device = false; // kind OTHER: a block device (POSIX hosts)
    // Which file it is (device and inode); both 0 where the host does not say.
    uint64_t device = 0;
    uint64_t inode = 0;
};
// The file or directory `path` names, links followed.
bool host_stat(const std::string &path, HostStat *out);
// The same without following a link in the last component: a symbolic link
// (or, on Windows, a junction) is LINK.
bool host_lstat(const std::string &path, HostStat *out);
bool host_fstat(int fd, HostStat *out);
std::string host_error_text(int err);

// Files as descriptors. Opening for reading does not wait for a writer of
// a FIFO; creating refuses to write through a link in the last component.
int host_open_read(const std::string &path);
// A new file, or with `replace` an existing one emptied.
int host_create(const std::string &path, bool replace);
int host_open_read_write(const std::string &path);
// Reads or writes up to `n` bytes; -1 on failure (never interrupted).
long long host_read(int fd, void *buffer, size_t n);
long long host_write(int fd, const void *data, size_t n);
// Writes all `n` bytes, in as many writes as it takes; false on failure.
bool host_write_all(int fd, const void *data, size_t n);
bool host_close(int fd);
// Makes the open file `bytes` long; a new part reads as zeros and stays
// sparse where the host allows.
bool host_set_size(int fd, uint64_t bytes);
bool host_truncate(const std::string &path, uint64_t bytes);
bool host_unlink(const std::string &path);
// Reads up to `n` bytes from `offset` of the file `path`.
bool host_read_at(const std::string &path, uint64_t offset, uint8_t *buffer, size_t n, size_t *got);
int host_stdin();
int host_stdout();

// Directories.
bool host_mkdir(const std::string &path);
// The names in directory `path`, without "." and "..", in no order: all of
// them, or (with errno) those read before the listing broke off, or none
// when the directory could not be opened.
enum class HostListing { COMPLETE, CUT_SHORT, NOT_OPENED };
HostListing host_list_dir(const std::string &path, std::vector<std::string> *names);

// Modification times; the access time is left as it is. The path form does
// not follow a link in the last component.
bool host_set_file_time(int fd, const struct timespec &modified);
bool host_set_path_time(const std::string &path, const struct timespec &modified);

// Time: now, and broken down in local time or UTC.
struct timespec host_now();
bool host_local_time(time_t t, struct tm *out);
bool host_utc_time(time_t t, struct tm *out);

// True when standard error is a terminal that shows the progress line.
bool host_stderr_is_terminal();

// The path to give the library's image device, which opens it with the C
// library's own file calls; false with errno when it cannot be given in the
// form those calls take (on Windows, characters outside the local code page).
bool host_image_path(const std::string &path, std::string *out);

// Block devices (Linux; elsewhere nothing is known about them).
// Where the block device `path`, a partition of it or the disk it is a
// partition of is mounted (from /proc/self/mounts); empty when nowhere.
std::string host_device_mounted(const std::string &path);
// True when the block device `path` is a partition of a disk.
bool host_device_is_partition(const std::string &path);

// Host path syntax.
// True for a character that separates directories ('/'; on Windows also '\').
bool host_separator(char c);
// False when a component from the volume must not become a host path
// component: empty, "." or "..", or holding a separator or a control byte;
// on Windows also ':', a character Windows refuses in names, a final dot or
// space (which Windows drops) or the name of a device such as NUL or COM1.
bool safe_host_component(const std::string &name);
// `dir` with `name` below it.
std::string join_host(const std::string &dir, const std::string &name);
// The last component of `path`, separators at its end left out; empty for
// the root (and on Windows for a drive, "C:" or "C:\").
std::string host_basename(const std::string &path);

} // namespace fat16tool
