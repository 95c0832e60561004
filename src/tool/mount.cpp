// fat16 mount: the volume as a folder of the host, served over libfuse3 in
// one thread, so that ordinary programs (cp, tar, rsync, an editor) use its
// files without root.
//
// Every request names its entry by path; the path is looked up on the
// volume as the other commands look paths up, so an entry is found by its
// whole name only. Files belong to the mounting user: directories 0755,
// files 0644, entries with the read-only attribute without write bits.
//
// Write mode: the library writes through (its default, not the write-back
// the copying commands use). Each write request ends with its data, the
// file's FAT links and its size on the image, so a mount that is killed
// loses at most the request it was serving, and leaves behind at most the
// clusters that request had claimed (lost, or past the file's size when
// the kill fell between the FAT link and the entry); the host's cache of
// the image file holds everything else. A release (the last close of a file) frees the handle; fsync and
// fsyncdir also make the host write the image to its disk; the unmount
// writes what the library still holds into the image file, as every
// command does when it ends.
#define FUSE_USE_VERSION 31

#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tool.h"

namespace fat16tool {

namespace {

// Slots of the open-file table the mount gives the library: every file a
// program holds open takes one.
constexpr uint8_t kOpenSlots = FS_MAX_OPEN_SLOTS;
// Largest write request the kernel is asked to send.
constexpr unsigned kMaxWrite = 1u << 20;
// Longest file a FAT entry's 32-bit size can describe.
constexpr uint64_t kMaxFileSize = 0xFFFFFFFFu;

struct HandleState {
    bool open = false;
    bool append = false; // opened with O_APPEND: every write goes to the end
};

struct MountState {
    bool read_only = false;
    uid_t uid = 0;
    gid_t gid = 0;
    struct timespec mounted_at = {0, 0}; // the root's times (it has no entry)
    std::vector<OpenFile> slots;
    std::vector<HandleState> handles;
    Reporter *report = nullptr;
    bool served = false; // the kernel took the mount (init was called)
};

MountState state;

const uint8_t kSettableAttributes = ATTR_READ_ONLY | ATTR_HIDDEN | ATTR_SYSTEM | ATTR_ARCHIVE;

// The errno of a reason of the library.
int errno_of(FsError error) {
    switch (error) {
    case FS_ERR_NOT_FOUND:
    case FS_ERR_NO_PARENT: return ENOENT;
    case FS_ERR_EXISTS: return EEXIST;
    case FS_ERR_INVALID_NAME: return EINVAL;
    case FS_ERR_PATH_TOO_LONG: return ENAMETOOLONG;
    case FS_ERR_NOT_DIRECTORY: return ENOTDIR;
    case FS_ERR_IS_DIRECTORY: return EISDIR;
    case FS_ERR_NOT_EMPTY: return ENOTEMPTY;
    case FS_ERR_BUSY:
    case FS_ERR_FILE_OPEN:
    case FS_ERR_IS_ROOT: return EBUSY;
    case FS_ERR_NO_SPACE:
    case FS_ERR_DIR_FULL: return ENOSPC;
    case FS_ERR_READ_ONLY: return EACCES;
    case FS_ERR_BAD_HANDLE: return EBADF;
    case FS_ERR_NO_HANDLE: return ENFILE;
    case FS_ERR_INVALID_ARGUMENT:
    case FS_ERR_INTO_ITSELF: return EINVAL;
    default: return EIO; // I/O errors, a damaged volume, none mounted
    }
}

// The library's last failure as a negative errno, the form FUSE takes.
int failed() { return -errno_of(fs_last_error()); }

// Logs why a request failed where errno alone does not say it. The
// program that asked has its errno; the mount goes on, and its exit status
// does not change.
void log_failure(const VolPath &path, const std::string &reason) {
    fprintf(stderr, "fat16: mount: %s: %s\n", printable(path.shown()).c_str(), reason.c_str());
}

// The path of a request as components ('/' separates them; the kernel
// sends no "." or ".."). A component the volume cannot hold names nothing
// on it; `creating` says whether the request makes the last component, and
// then its refusal is logged with the reason.
int parse_path(const char *text, VolPath *out, bool creating) {
    out->parts.clear();
    out->dir_form = false;
    std::string s = text;
    size_t at = 0;
    while (at < s.size()) {
        size_t end = s.find('/', at);
        if (end == std::string::npos) end = s.size();
        if (end > at) out->parts.push_back(s.substr(at, end - at));
        at = end + 1;
    }
    for (size_t i = 0; i < out->parts.size(); i++) {
        const std::string &part = out->parts[i];
        std::string problem = name_problem(part);
        if (problem.empty()) continue;
        uint32_t units = str_utf16_units(part.c_str(), (uint32_t)part.size());
        bool too_long = units != 0xFFFFFFFFu && units > 255;
        if (creating && i + 1 == out->parts.size()) {
            log_failure(*out, "invalid name (" + problem + ")");
            return too_long ? -ENAMETOOLONG : -EINVAL;
        }
        return too_long ? -ENAMETOOLONG : -ENOENT;
    }
    return 0;
}

// Looks the path up as the other commands do: 0 with the entry, or a
// negative errno.
int find(const VolPath &path, Lookup *found) {
    *found = lookup(path);
    switch (found->kind) {
    case Lookup::FILE:
    case Lookup::DIR: return 0;
    case Lookup::MISSING: return -ENOENT;
    default:
        if (found->parent_missing) return -ENOENT;
        if (found->reason == reason_text(FS_ERR_NOT_DIRECTORY)) return -ENOTDIR;
        return failed();
    }
}

int find_path(const char *text, VolPath *path, Lookup *found) {
    int r = parse_path(text, path, false);
    return r != 0 ? r : find(*path, found);
}

void fill_stat(const Lookup &found, bool root, struct stat *st) {
    memset(st, 0, sizeof *st);
    const Entry &e = found.entry;
    bool dir = found.kind == Lookup::DIR;
    mode_t mode = dir ? (S_IFDIR | 0755) : (S_IFREG | 0644);
    if (e.attr & ATTR_READ_ONLY) mode &= ~(mode_t)0222;
    st->st_mode = mode;
    // One link: the count of subdirectories is not kept, and 1 tells
    // programs that walk trees not to rely on it.
    st->st_nlink = 1;
    st->st_uid = state.uid;
    st->st_gid = state.gid;
    uint32_t cluster_bytes = (uint32_t)VolumeGeometry.sectors_per_cluster * FS_SECTOR_SIZE;
    st->st_size = dir ? 0 : e.size;
    // The size programs size their buffers by: a request carries up to
    // kMaxWrite bytes, and fewer, larger requests are faster.
    st->st_blksize = kMaxWrite;
    uint64_t clusters = ((uint64_t)e.size + cluster_bytes - 1) / cluster_bytes;
    st->st_blocks = (blkcnt_t)(clusters * cluster_bytes / 512);
    struct timespec modified = state.mounted_at, accessed;
    if (!root) host_time(e.modified, &modified);
    if (root || !host_time(e.accessed, &accessed)) accessed = modified;
    st->st_mtim = modified;
    st->st_atim = accessed;
    st->st_ctim = modified;
}

int refuse_when_read_only() { return state.read_only ? -EROFS : 0; }

bool handle_valid(uint64_t fh) { return fh < state.handles.size() && state.handles[fh].open; }

// Moves the handle's position to `at`, which may be the file's end.
bool seek_to(uint8_t h, uint32_t at) {
    uint32_t size = fs_file_size(h);
    if (at < size) return fs_seek(h, (int32_t)at, ORIGIN_START) == FS_OK;
    return at == size && fs_seek(h, 0, ORIGIN_END) == FS_OK;
}

// Sets or clears the read-only attribute of the entry `path` names.
FsStatus set_read_only(const VolPath &path, uint8_t attr, bool read_only) {
    uint8_t wanted = (uint8_t)(attr & kSettableAttributes);
    wanted = read_only ? (uint8_t)(wanted | ATTR_READ_ONLY) : (uint8_t)(wanted & ~ATTR_READ_ONLY);
    return fs_set_attributes(path.lib().c_str(), wanted);
}

// ---- The requests.

void *op_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
    // Inode numbers come from the high-level layer; entries have none of
    // their own that would stay fixed across moves.
    cfg->use_ino = 0;
    // Lookups are case-blind: a name not found now may be made in another
    // case later, so failed lookups are not cached.
    cfg->negative_timeout = 0;
    if (conn->max_write < kMaxWrite) conn->max_write = kMaxWrite;
    // open(O_TRUNC) empties the file through the handle it opens.
    if (conn->capable & FUSE_CAP_ATOMIC_O_TRUNC) conn->want |= FUSE_CAP_ATOMIC_O_TRUNC;
    state.served = true;
    return nullptr;
}

void op_destroy(void *) {
    for (size_t h = 0; h < state.handles.size(); h++) {
        if (!state.handles[h].open) continue;
        state.handles[h].open = false;
        if (fs_close((uint8_t)h) != FS_OK)
            state.report->error("open file", "could not be written at unmount: " + library_reason());
    }
    // What the library still holds goes into the image file, as every
    // command leaves it; fsync is what asks the host for its disk too.
    if (!state.read_only && disk_flush() != FS_OK)
        state.report->error("image", "could not be written at unmount: host I/O error");
}

int op_getattr(const char *text, struct stat *st, struct fuse_file_info *fi) {
    VolPath path;
    Lookup found;
    int r = find_path(text, &path, &found);
    if (r != 0) return r;
    fill_stat(found, path.root(), st);
    // An open handle knows the size of what it has written.
    if (fi != nullptr && handle_valid(fi->fh) && found.kind == Lookup::FILE)
        st->st_size = fs_file_size((uint8_t)fi->fh);
    return 0;
}

int op_readdir(const char *text, void *buffer, fuse_fill_dir_t fill, off_t, struct fuse_file_info *,
               enum fuse_readdir_flags) {
    VolPath path;
    Lookup found;
    int r = find_path(text, &path, &found);
    if (r != 0) return r;
    if (found.kind != Lookup::DIR) return -ENOTDIR;
    std::vector<Entry> entries;
    std::string reason;
    if (!list_directory(path, found.entry.cluster, &entries, &reason)) {
        log_failure(path, "cannot be read: " + reason);
        return -EIO;
    }
    fill(buffer, ".", nullptr, 0, (enum fuse_fill_dir_flags)0);
    fill(buffer, "..", nullptr, 0, (enum fuse_fill_dir_flags)0);
    for (const Entry &e : entries) {
        // Names no lookup would find again (damaged directories, names
        // with '/' or a final dot from other tools) are left out.
        if (!e.reachable || e.name.find('/') != std::string::npos) continue;
        struct stat st;
        memset(&st, 0, sizeof st);
        st.st_mode = e.is_dir() ? S_IFDIR : S_IFREG;
        if (fill(buffer, e.name.c_str(), &st, 0, (enum fuse_fill_dir_flags)0) != 0) break;
    }
    return 0;
}

int op_mkdir(const char *text, mode_t mode) {
    if (int r = refuse_when_read_only()) return r;
    VolPath path;
    if (int r = parse_path(text, &path, true)) return r;
    if (path.root()) return -EEXIST;
    if (fs_mkdir(path.lib().c_str()) != FS_OK) return failed();
    if ((mode & 0222) == 0 && set_read_only(path, ATTR_DIRECTORY, true) != FS_OK) return failed();
    return 0;
}

int op_unlink(const char *text) {
    if (int r = refuse_when_read_only()) return r;
    VolPath path;
    Lookup found;
    if (int r = find_path(text, &path, &found)) return r;
    if (found.kind != Lookup::FILE) return -EISDIR;
    // Removing an entry is a change of its directory: the read-only
    // attribute of the file does not stand in the way, as on other hosts.
    bool read_only = (found.entry.attr & ATTR_READ_ONLY) != 0;
    if (read_only && set_read_only(path, found.entry.attr, false) != FS_OK) return failed();
    if (fs_delete_file(path.lib().c_str()) != FS_OK) {
        int r = failed();
        if (read_only) set_read_only(path, found.entry.attr, true);
        return r;
    }
    return 0;
}

int op_rmdir(const char *text) {
    if (int r = refuse_when_read_only()) return r;
    VolPath path;
    Lookup found;
    if (int r = find_path(text, &path, &found)) return r;
    if (path.root()) return -EBUSY;
    if (found.kind != Lookup::DIR) return -ENOTDIR;
    return fs_rmdir(path.lib().c_str()) == FS_OK ? 0 : failed();
}

// The first cluster of the directory that holds `path` (0: the root), or
// 1 (no directory's) when it cannot be found.
uint32_t parent_cluster(const VolPath &path) {
    Lookup parent = lookup(path.parent());
    return parent.kind == Lookup::DIR ? parent.entry.cluster : 1;
}

// True when two lookups found the same entry: the same 8.3 name in the same
// directory, however the two paths spell it (case, long name or alias).
bool same_entry(const Lookup &a, const Lookup &b, const VolPath &pa, const VolPath &pb) {
    return a.entry.cluster == b.entry.cluster && a.entry.size == b.entry.size &&
           a.entry.short_name == b.entry.short_name && parent_cluster(pa) == parent_cluster(pb);
}

// True when a handle holds open the file `path` names: the library moves
// no open file, which a replacement must know before it removes the
// target.
bool held_open(const VolPath &path) {
    FsEntry e;
    if (fs_stat(path.lib().c_str(), &e) != FS_OK) return false;
    return handle_find_by_entry(FoundEntry.entry_sector, FoundEntry.entry_offset, 0xFF) == FS_OK;
}

// Moves `from` to `to`; a read-only file moves too (the attribute guards
// its data, not its name) and keeps the attribute.
int move_entry(const VolPath &from, const Lookup &source, const VolPath &to) {
    bool read_only = source.kind == Lookup::FILE && (source.entry.attr & ATTR_READ_ONLY) != 0;
    if (read_only && set_read_only(from, source.entry.attr, false) != FS_OK) return failed();
    if (fs_move(from.lib().c_str(), to.lib().c_str()) != FS_OK) {
        int r = failed();
        if (read_only) set_read_only(from, source.entry.attr, true);
        return r;
    }
    if (read_only && set_read_only(to, source.entry.attr, true) != FS_OK) return failed();
    return 0;
}

int op_rename(const char *from_text, const char *to_text, unsigned int flags) {
    if (int r = refuse_when_read_only()) return r;
    if (flags & ~(unsigned)RENAME_NOREPLACE) return -EINVAL; // no atomic exchange on FAT
    VolPath from, to;
    Lookup source, target;
    if (int r = find_path(from_text, &from, &source)) return r;
    if (int r = parse_path(to_text, &to, true)) return r;
    if (from.root() || to.root()) return -EBUSY;
    int there = find(to, &target);
    if (there != 0 && there != -ENOENT) return there;
    if (there == 0 && !same_entry(source, target, from, to)) {
        // rename() replaces an existing target: a file by a file, an empty
        // directory by a directory. FAT cannot swap the two entries in one
        // write, so the target goes first; a cut between the two steps
        // leaves the source under its old name and the target gone.
        if (flags & RENAME_NOREPLACE) return -EEXIST;
        if (source.kind == Lookup::DIR && target.kind == Lookup::FILE) return -ENOTDIR;
        if (source.kind == Lookup::FILE && target.kind == Lookup::DIR) return -EISDIR;
        if (source.kind == Lookup::FILE && held_open(from)) return -EBUSY;
        VolPath old_name = to.parent().child(target.entry.name);
        if (target.kind == Lookup::DIR) {
            if (fs_rmdir(old_name.lib().c_str()) != FS_OK) return failed();
        } else {
            bool read_only = (target.entry.attr & ATTR_READ_ONLY) != 0;
            if (read_only && set_read_only(old_name, target.entry.attr, false) != FS_OK) return failed();
            if (fs_delete_file(old_name.lib().c_str()) != FS_OK) {
                int r = failed();
                if (read_only) set_read_only(old_name, target.entry.attr, true);
                return r;
            }
        }
        // The name as given; should the directory have no room for it, the
        // entry freed has room for the old one.
        int r = move_entry(from, source, to);
        if (r == -ENOSPC && move_entry(from, source, old_name) == 0) {
            log_failure(to, "no room for this name: moved to " + old_name.shown() + " instead");
            return 0;
        }
        if (r != 0) log_failure(to, "was replaced, but the move onto it failed: " + library_reason());
        return r;
    }
    return move_entry(from, source, to);
}

int op_chmod(const char *text, mode_t mode, struct fuse_file_info *) {
    if (int r = refuse_when_read_only()) return r;
    VolPath path;
    Lookup found;
    if (int r = find_path(text, &path, &found)) return r;
    bool read_only = (mode & 0222) == 0;
    // The root has no entry and so no attributes: it stays writable.
    if (path.root()) return read_only ? -EPERM : 0;
    if (read_only == ((found.entry.attr & ATTR_READ_ONLY) != 0)) return 0;
    return set_read_only(path, found.entry.attr, read_only) == FS_OK ? 0 : failed();
}

int op_chown(const char *text, uid_t uid, gid_t gid, struct fuse_file_info *) {
    VolPath path;
    Lookup found;
    if (int r = find_path(text, &path, &found)) return r;
    // Every entry belongs to the mounting user; only that owner is kept.
    if ((uid != (uid_t)-1 && uid != state.uid) || (gid != (gid_t)-1 && gid != state.gid)) return -EPERM;
    return 0;
}

int op_truncate(const char *text, off_t size, struct fuse_file_info *fi) {
    if (int r = refuse_when_read_only()) return r;
    if (size < 0) return -EINVAL;
    if ((uint64_t)size > kMaxFileSize) return -EFBIG;
    if (fi != nullptr && handle_valid(fi->fh)) {
        uint8_t h = (uint8_t)fi->fh;
        if (fs_file_size(h) == (uint32_t)size) return 0;
        return fs_truncate(h, (uint32_t)size) == FS_OK ? 0 : failed();
    }
    VolPath path;
    Lookup found;
    if (int r = find_path(text, &path, &found)) return r;
    if (found.kind != Lookup::FILE) return -EISDIR;
    if (found.entry.size == (uint32_t)size) return 0;
    if (found.entry.attr & ATTR_READ_ONLY) return -EACCES;
    uint8_t h = fs_open(path.lib().c_str());
    if (h == FS_FAIL) return failed();
    int r = fs_truncate(h, (uint32_t)size) == FS_OK ? 0 : failed();
    if (fs_close(h) != FS_OK && r == 0) r = failed();
    return r;
}

// Takes `h` as the handle of a request that opened a file.
void take_handle(uint8_t h, const struct fuse_file_info *fi) {
    state.handles[h].open = true;
    state.handles[h].append = (fi->flags & O_APPEND) != 0;
}

int op_open(const char *text, struct fuse_file_info *fi) {
    bool writing = (fi->flags & O_ACCMODE) != O_RDONLY;
    if (writing && state.read_only) return -EROFS;
    VolPath path;
    Lookup found;
    if (int r = find_path(text, &path, &found)) return r;
    if (found.kind != Lookup::FILE) return -EISDIR;
    if (writing && (found.entry.attr & ATTR_READ_ONLY)) return -EACCES;
    uint8_t h = fs_open(path.lib().c_str());
    if (h == FS_FAIL) return failed();
    if (writing && (fi->flags & O_TRUNC) && fs_file_size(h) != 0 && fs_truncate(h, 0) != FS_OK) {
        int r = failed();
        fs_close(h);
        return r;
    }
    take_handle(h, fi);
    fi->fh = h;
    return 0;
}

int op_create(const char *text, mode_t mode, struct fuse_file_info *fi) {
    if (int r = refuse_when_read_only()) return r;
    VolPath path;
    if (int r = parse_path(text, &path, true)) return r;
    if (path.root()) return -EISDIR;
    uint8_t h = fs_open_new(path.lib().c_str());
    if (h == FS_FAIL) return failed();
    // A file made without write bits is read-only from now on; the handle
    // that made it still writes, as open(2) promises.
    if ((mode & 0222) == 0 && set_read_only(path, ATTR_ARCHIVE, true) != FS_OK) {
        int r = failed();
        fs_close(h);
        return r;
    }
    take_handle(h, fi);
    fi->fh = h;
    return 0;
}

int op_mknod(const char *text, mode_t mode, dev_t) {
    // Regular files only: FAT holds no devices, FIFOs or sockets.
    if (!S_ISREG(mode)) return -EPERM;
    struct fuse_file_info fi;
    memset(&fi, 0, sizeof fi);
    int r = op_create(text, mode, &fi);
    if (r != 0) return r;
    state.handles[fi.fh].open = false;
    return fs_close((uint8_t)fi.fh) == FS_OK ? 0 : failed();
}

int op_symlink(const char *, const char *) { return -EPERM; }
int op_link(const char *, const char *) { return -EPERM; }

int op_read(const char *, char *buffer, size_t size, off_t offset, struct fuse_file_info *fi) {
    if (!handle_valid(fi->fh)) return -EBADF;
    uint8_t h = (uint8_t)fi->fh;
    uint32_t file_size = fs_file_size(h);
    if (offset < 0) return -EINVAL;
    if ((uint64_t)offset >= file_size || size == 0) return 0;
    uint32_t want = (uint32_t)std::min<uint64_t>(size, file_size - (uint64_t)offset);
    if (!seek_to(h, (uint32_t)offset)) return failed();
    uint32_t got = fs_read(h, (uint8_t *)buffer, want);
    if (got == 0) return fs_last_error() == FS_ERR_NONE ? -EIO : failed();
    return (int)got;
}

int op_write(const char *, const char *data, size_t size, off_t offset, struct fuse_file_info *fi) {
    if (int r = refuse_when_read_only()) return r;
    if (!handle_valid(fi->fh)) return -EBADF;
    uint8_t h = (uint8_t)fi->fh;
    if (offset < 0) return -EINVAL;
    uint32_t file_size = fs_file_size(h);
    uint64_t at = state.handles[h].append ? file_size : (uint64_t)offset;
    if (size == 0) return 0;
    if (at + size > kMaxFileSize || at + size > (uint64_t)INT32_MAX) return -EFBIG;
    // A write past the end leaves a hole that reads as zeros.
    if (at > file_size && fs_truncate(h, (uint32_t)at) != FS_OK) return failed();
    if (!seek_to(h, (uint32_t)at)) return failed();
    uint32_t put = fs_write(h, (const uint8_t *)data, (uint32_t)size);
    if (put == 0) return failed();
    return (int)put;
}

int op_statfs(const char *, struct statvfs *st) {
    uint32_t capacity = 0, free_sectors = 0;
    if (fs_volume_info('C', &capacity, &free_sectors) != FS_OK) return failed();
    uint32_t cluster_bytes = (uint32_t)VolumeGeometry.sectors_per_cluster * FS_SECTOR_SIZE;
    uint32_t per_cluster = cluster_bytes / FS_SECTOR_SIZE;
    memset(st, 0, sizeof *st);
    st->f_bsize = cluster_bytes;
    st->f_frsize = cluster_bytes;
    st->f_blocks = capacity / per_cluster;
    st->f_bfree = free_sectors / per_cluster;
    st->f_bavail = st->f_bfree;
    st->f_namemax = 255;
    return 0;
}

int op_release(const char *text, struct fuse_file_info *fi) {
    if (!handle_valid(fi->fh)) return 0;
    state.handles[fi->fh].open = false;
    if (fs_close((uint8_t)fi->fh) != FS_OK) {
        VolPath path;
        parse_path(text != nullptr ? text : "/", &path, false);
        log_failure(path, "what was written last could not be kept: " + library_reason());
    }
    return 0;
}

int op_fsync(const char *, int, struct fuse_file_info *fi) {
    if (state.read_only) return 0;
    if (!handle_valid(fi->fh)) return -EBADF;
    return fs_sync((uint8_t)fi->fh) == FS_OK ? 0 : failed();
}

int op_fsyncdir(const char *, int, struct fuse_file_info *) {
    if (state.read_only) return 0;
    return disk_sync() == FS_OK ? 0 : -EIO;
}

int op_utimens(const char *text, const struct timespec tv[2], struct fuse_file_info *) {
    if (int r = refuse_when_read_only()) return r;
    VolPath path;
    Lookup found;
    if (int r = find_path(text, &path, &found)) return r;
    if (path.root()) return 0; // the root has no entry to keep times in
    FsDateTime times[2];
    const FsDateTime *given[2] = {nullptr, nullptr};
    for (int i = 0; i < 2; i++) {
        if (tv[i].tv_nsec == UTIME_OMIT) continue;
        times[i] = entry_time(tv[i].tv_nsec == UTIME_NOW ? host_now() : tv[i]);
        given[i] = &times[i];
    }
    if (fs_set_times(path.lib().c_str(), nullptr, given[1], given[0]) != FS_OK) return failed();
    return 0;
}

// Escapes a value inside FUSE's comma-separated -o list.
std::string option_value(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == ',' || c == '\\') out += '\\';
        out += c;
    }
    return out;
}

} // namespace

int cmd_mount(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("mount");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(
            report, args,
            {{"-r", "--read-only", false}, {"-f", "--foreground", false}, {"-o", "--options", true}}, &a,
            &status))
        return status;
    if (a.operands.size() != 1)
        return report.usage(a.operands.empty() ? "missing MOUNTPOINT" : "one MOUNTPOINT only");
    state.read_only = a.has("--read-only");
    // With -r the image is opened for reading only: nothing can reach it.
    Image image;
    if (!image.open(g, report, !state.read_only)) return kExitFail;
    // Write-through (see the top of this file), paths of any depth.
    fs_set_options(FS_OPT_KEEP_CASE | FS_OPT_LONG_PATHS);
    state.slots.assign(kOpenSlots, OpenFile{});
    state.handles.assign(kOpenSlots, HandleState{});
    if (fs_use_open_files(state.slots.data(), kOpenSlots) != FS_OK) {
        report.error(g.image, "cannot set up the open-file table: " + library_reason());
        return kExitFail;
    }
    state.uid = getuid();
    state.gid = getgid();
    state.mounted_at = host_now();
    state.report = &report;

    struct fuse_operations ops;
    memset(&ops, 0, sizeof ops);
    ops.init = op_init;
    ops.destroy = op_destroy;
    ops.getattr = op_getattr;
    ops.readdir = op_readdir;
    ops.mkdir = op_mkdir;
    ops.unlink = op_unlink;
    ops.rmdir = op_rmdir;
    ops.rename = op_rename;
    ops.chmod = op_chmod;
    ops.chown = op_chown;
    ops.truncate = op_truncate;
    ops.open = op_open;
    ops.create = op_create;
    ops.mknod = op_mknod;
    ops.symlink = op_symlink;
    ops.link = op_link;
    ops.read = op_read;
    ops.write = op_write;
    ops.statfs = op_statfs;
    ops.release = op_release;
    ops.fsync = op_fsync;
    ops.fsyncdir = op_fsyncdir;
    ops.utimens = op_utimens;

    // One thread; the kernel checks the permission bits shown.
    std::string fuse_options = "fsname=" + option_value(g.image) + ",subtype=fat16,default_permissions";
    if (state.read_only) fuse_options += ",ro";
    std::string mountpoint = a.operands[0];
    if (!mountpoint.empty() && mountpoint[0] == '-') mountpoint = "./" + mountpoint;
    std::vector<std::string> words = {"fat16", mountpoint, "-s", "-o", fuse_options};
    if (a.has("--foreground")) words.push_back("-f");
    for (const auto &v : a.values)
        if (v.first == "--options") {
            words.push_back("-o");
            words.push_back(v.second);
        }
    std::vector<char *> argv;
    for (std::string &w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    int r = fuse_main((int)words.size(), argv.data(), &ops, nullptr);
    // After serving, a status other than 0 only says that a signal ended
    // the mount (it was unmounted all the same).
    if (r != 0 && !state.served) {
        report.error(mountpoint, "not mounted (see the message above)");
        return kExitFail;
    }
    fs_use_open_files(nullptr, 0);
    image.healthy(report);
    return report.status();
}

} // namespace fat16tool
