// Moving files between the host and the volume: put, get, import and export.
// A copy that does not complete is removed and reported; a reason that
// concerns the whole volume (no space, I/O errors, damage) stops the
// transfer, others only skip the file or directory concerned.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "tool.h"

namespace fat16tool {

namespace {

const size_t kChunk = 1 << 20;

struct Transfer {
    Reporter &report;
    Progress &progress;
    bool force = false;
    bool capitals = false;
    bool stop = false;    // the volume or the host cannot take more
    bool skipped = false; // a name from the volume was unsafe on the host
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kChunk);

    Transfer(Reporter &r, Progress &p) : report(r), progress(p) {}

    void fail(const std::string &subject, const std::string &reason, bool fatal) {
        report.error(subject, reason);
        if (fatal) stop = true;
    }

    // Ends a step: a failed sector transfer of the device stops everything.
    bool device_healthy() {
        if (disk_take_error() == FS_OK) return true;
        fail("image", "a sector transfer to or from the image failed (host I/O error)", true);
        return false;
    }

    bool put_file(const std::string &host, const VolPath &dest);
    bool make_volume_dir(const std::string &subject, const VolPath &dir);
    void put_tree(const std::string &host_dir, const VolPath &dest);
    bool get_file(const VolPath &src, const std::string &host);
    bool make_host_dir(const std::string &subject, const std::string &dir);
    void get_tree(const VolPath &top, uint32_t cluster, const std::string &host_dir);
};

bool read_all(int fd, uint8_t *buffer, size_t want, size_t *got) {
    *got = 0;
    while (*got < want) {
        ssize_t n = read(fd, buffer + *got, want - *got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        *got += (size_t)n;
    }
    return true;
}

bool write_all(int fd, const uint8_t *data, size_t n) {
    size_t done = 0;
    while (done < n) {
        ssize_t w = write(fd, data + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += (size_t)w;
    }
    return true;
}

bool host_is_dir(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Copies host file `host` to the new volume file `dest`.
bool Transfer::put_file(const std::string &host, const VolPath &dest) {
    // Without O_NONBLOCK a FIFO would block the open until a writer came,
    // though only regular files are copied; it changes nothing for those.
    int fd = ::open(host.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        fail(host, strerror(errno), false);
        if (fd >= 0) close(fd);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        fail(host, "not a regular file", false);
        return false;
    }
    if ((uint64_t)st.st_size > 0xFFFFFFFFull) {
        close(fd);
        fail(host, "larger than a file on FAT16 can be (4 GiB - 1 bytes)", false);
        return false;
    }
    const std::string lib = dest.lib();
    if (fs_create_file(lib.c_str()) != FS_OK) {
        bool replaced = false;
        if (fs_last_error() == FS_ERR_EXISTS && force)
            replaced = fs_delete_file(lib.c_str()) == FS_OK && fs_create_file(lib.c_str()) == FS_OK;
        if (!replaced) {
            FsError e = fs_last_error();
            std::string reason = reason_for_name(dest.name(), false);
            if (e == FS_ERR_EXISTS) reason = dest.shown() + " " + reason + " (-f replaces it)";
            close(fd);
            fail(host, reason, fatal_error(e));
            return false;
        }
    }
    uint8_t h = fs_open(lib.c_str());
    std::string problem;
    bool fatal = false;
    if (h == FS_FAIL) {
        problem = library_reason();
        fatal = fatal_error(fs_last_error());
    }
    while (problem.empty()) {
        size_t got = 0;
        if (!read_all(fd, buffer.data(), buffer.size(), &got)) {
            problem = std::string("cannot read: ") + strerror(errno);
            break;
        }
        if (got == 0) break;
        uint32_t stored = fs_write(h, buffer.data(), (uint32_t)got);
        progress.add_bytes(stored);
        if (stored != got) {
            FsError e = fs_last_error();
            problem = "stored " + std::to_string(stored) + " of " + std::to_string(got) + " bytes: " +
                      (e == FS_ERR_NONE ? std::string("the library wrote less than asked") : reason_text(e));
            fatal = true;
        }
    }
    close(fd);
    if (h != FS_FAIL) fs_close(h);
    if (disk_take_error() != FS_OK) {
        if (problem.empty()) problem = reason_text(FS_ERR_IO);
        fatal = true;
    }
    if (!problem.empty()) {
        bool removed = fs_delete_file(lib.c_str()) == FS_OK;
        fail(host, problem + (removed ? " (the partial copy was removed)" : ""), fatal);
        return false;
    }
    progress.file_done();
    return device_healthy();
}

// Makes directory `dir` on the volume; an existing directory is fine.
bool Transfer::make_volume_dir(const std::string &subject, const VolPath &dir) {
    if (dir.root()) return true;
    const std::string lib = dir.lib();
    if (fs_mkdir(lib.c_str()) == FS_OK) return device_healthy();
    FsError e = fs_last_error();
    if (e == FS_ERR_EXISTS) {
        // Directory names hold no '.', so the library's lookup is exact.
        Lookup found = lookup(dir);
        if (found.kind == Lookup::DIR) return true;
        fail(subject, dir.shown() + " exists and is not a directory", false);
        return false;
    }
    fail(subject, reason_for_name(dir.name(), true), fatal_error(e));
    return false;
}

// Copies the contents of host directory `host_dir` into volume directory `dest`.
void Transfer::put_tree(const std::string &host_dir, const VolPath &dest) {
    DIR *d = opendir(host_dir.c_str());
    if (d == nullptr) {
        fail(host_dir, strerror(errno), false);
        return;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent *e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    if (errno != 0) fail(host_dir, std::string("cannot list: ") + strerror(errno), false);
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        if (stop) return;
        std::string host = join_host(host_dir, name);
        struct stat st;
        if (lstat(host.c_str(), &st) != 0) {
            fail(host, strerror(errno), false);
            continue;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
            fail(host, "not copied: only regular files and directories go onto the volume", false);
            continue;
        }
        bool is_dir = S_ISDIR(st.st_mode);
        std::string problem = host_name_problem(name, is_dir, capitals);
        if (!problem.empty()) {
            fail(host, problem, false);
            continue;
        }
        VolPath target = dest.child(name);
        if (!is_dir) {
            put_file(host, target);
        } else if (make_volume_dir(host, target)) {
            put_tree(host, target);
        }
    }
}

// Copies volume file `src` to the new host file `host`.
bool Transfer::get_file(const VolPath &src, const std::string &host) {
    const std::string lib = src.lib();
    uint8_t h = fs_open(lib.c_str());
    if (h == FS_FAIL) {
        FsError e = fs_last_error();
        fail(src.shown(), "cannot be read: " + reason_for_name(src.name(), false), fatal_error(e));
        return false;
    }
    int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | (force ? O_TRUNC : O_EXCL);
    int fd = ::open(host.c_str(), flags, 0666);
    if (fd < 0) {
        int err = errno;
        fs_close(h);
        fail(host, err == EEXIST ? "already exists (-f replaces it)" : strerror(err), false);
        return false;
    }
    // Only a regular file is a copy of ours to remove after a failure; with
    // -f the destination may be a device such as /dev/null.
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    std::string problem;
    bool fatal = false;
    uint32_t size = fs_file_size(h), done = 0;
    while (problem.empty() && done < size) {
        uint32_t n = fs_read(h, buffer.data(), (uint32_t)std::min<uint64_t>(buffer.size(), size - done));
        if (n == 0) break;
        if (!write_all(fd, buffer.data(), n)) {
            int err = errno;
            problem = std::string("cannot write: ") + strerror(err);
            fatal = err == ENOSPC || err == EDQUOT || err == EIO;
        }
        done += n;
        progress.add_bytes(n);
    }
    fs_close(h);
    if (problem.empty() && done < size) {
        bool io = disk_take_error() != FS_OK;
        problem = src.shown() + ": read " + std::to_string(done) + " of " + std::to_string(size) +
                  " bytes: " +
                  (io ? reason_text(FS_ERR_IO) : "damaged volume (the file's clusters end before its size)");
        fatal = io;
    }
    if (close(fd) != 0 && problem.empty()) {
        int err = errno;
        problem = std::string("cannot write: ") + strerror(err);
        fatal = err == ENOSPC || err == EDQUOT || err == EIO;
    }
    if (!problem.empty()) {
        bool removed = regular && unlink(host.c_str()) == 0;
        fail(host, problem + (removed ? " (the partial copy was removed)" : ""), fatal);
        return false;
    }
    progress.file_done();
    return device_healthy();
}

// Makes host directory `dir`; an existing directory (not a link) is fine.
bool Transfer::make_host_dir(const std::string &subject, const std::string &dir) {
    if (mkdir(dir.c_str(), 0777) == 0) return true;
    int err = errno;
    struct stat st;
    if (err == EEXIST && lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
    fail(subject, err == EEXIST ? dir + " exists and is not a directory" : dir + ": " + strerror(err),
         err == ENOSPC || err == EDQUOT || err == EIO);
    return false;
}

// Copies the contents of volume directory `top` into host directory
// `host_dir`. A name from the volume becomes a host path component only
// when it cannot lead outside `host_dir`.
void Transfer::get_tree(const VolPath &top, uint32_t cluster, const std::string &host_dir) {
    const size_t base = top.parts.size();
    walk_tree(top, cluster, report, [&](const VolPath &path, const Entry &e, const WalkPos &) {
        if (stop) return Step::STOP;
        if (!safe_host_component(e.name)) {
            report.warning(path.shown(), "not copied: the name is unsafe as a host file name");
            skipped = true;
            return Step::SKIP;
        }
        std::string host = host_dir;
        for (size_t i = base; i < path.parts.size(); i++) host = join_host(host, path.parts[i]);
        if (e.is_dir()) return make_host_dir(path.shown(), host) ? Step::GO : Step::SKIP;
        get_file(path, host);
        return stop ? Step::STOP : Step::GO;
    });
}

// The words of put, get, import and export.
bool parse_transfer(Reporter &report, const std::vector<std::string> &args, bool recursive, bool capitals,
                    ParsedArgs *out, int *status) {
    std::vector<FlagDef> accepted = {{"-f", "--force", false}, {"-q", "--quiet", false}};
    if (recursive) accepted.push_back({"-r", "--recursive", false});
    if (capitals) accepted.push_back({nullptr, "--capitals", false});
    std::string error;
    if (!parse_args(args, accepted, out, &error)) {
        *status = report.usage(error);
        return false;
    }
    if (out->help) {
        fputs(help_text(report.command()), stdout);
        *status = kExitOk;
        return false;
    }
    return true;
}

int finish(Transfer &t, Image &image, Progress &progress) {
    progress.finish();
    image.healthy(t.report);
    return t.report.status();
}

} // namespace

int cmd_put(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("put");
    ParsedArgs a;
    int status = 0;
    if (!parse_transfer(report, args, true, true, &a, &status)) return status;
    if (a.operands.size() < 2) return report.usage("needs HOSTPATH... and DEST");
    const std::string dest_text = a.operands.back();
    std::vector<std::string> sources(a.operands.begin(), a.operands.end() - 1);
    VolPath dest;
    std::string reason;
    if (!parse_vol_path(dest_text, &dest, &reason)) {
        report.error(dest_text, reason);
        return kExitFail;
    }
    Image image;
    if (!image.open(g, report, true)) return kExitFail;
    bool recursive = a.has("--recursive");
    Progress progress(recursive && !g.quiet && !a.has("--quiet"));
    Transfer t(report, progress);
    t.force = a.has("--force");
    t.capitals = a.has("--capitals");

    Lookup target = lookup(dest);
    if (target.kind == Lookup::FAILED) {
        report.error(dest_text, target.reason);
        return kExitFail;
    }
    bool into_dir = target.kind == Lookup::DIR;
    if (!into_dir && sources.size() > 1) {
        report.error(dest_text,
                     reason_text(target.kind == Lookup::FILE ? FS_ERR_NOT_DIRECTORY : FS_ERR_NOT_FOUND));
        return kExitFail;
    }
    if (!into_dir && !parent_usable(dest, dest_text, report)) return kExitFail;
    for (const std::string &src : sources) {
        if (t.stop) break;
        struct stat st;
        if (stat(src.c_str(), &st) != 0) {
            t.fail(src, strerror(errno), false);
            continue;
        }
        bool is_dir = S_ISDIR(st.st_mode);
        if (is_dir && !recursive) {
            t.fail(src, "is a directory (-r copies directories)", false);
            continue;
        }
        std::string name = into_dir ? host_basename(src) : dest.name();
        std::string problem = host_name_problem(name, is_dir, t.capitals);
        if (name.empty() || name == "." || name == "..") problem = "has no name to give the copy: name DEST";
        if (!problem.empty()) {
            t.fail(into_dir ? src : dest_text, problem, false);
            continue;
        }
        VolPath copy = into_dir ? dest.child(name) : dest;
        if (!is_dir) {
            t.put_file(src, copy);
        } else if (target.kind == Lookup::FILE) {
            t.fail(dest_text, reason_text(FS_ERR_NOT_DIRECTORY), false);
        } else if (t.make_volume_dir(src, copy)) {
            t.put_tree(src, copy);
        }
    }
    return finish(t, image, progress);
}

int cmd_import(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("import");
    ParsedArgs a;
    int status = 0;
    if (!parse_transfer(report, args, false, true, &a, &status)) return status;
    if (a.operands.empty() || a.operands.size() > 2)
        return report.usage("needs HOSTDIR and at most one DEST");
    const std::string &host_dir = a.operands[0];
    if (!host_is_dir(host_dir)) {
        report.error(host_dir, "not a directory");
        return kExitFail;
    }
    std::string dest_text = a.operands.size() == 2 ? a.operands[1] : "/";
    VolPath dest;
    std::string reason;
    if (!parse_vol_path(dest_text, &dest, &reason)) {
        report.error(dest_text, reason);
        return kExitFail;
    }
    Image image;
    if (!image.open(g, report, true)) return kExitFail;
    Progress progress(!g.quiet && !a.has("--quiet"));
    Transfer t(report, progress);
    t.force = a.has("--force");
    t.capitals = a.has("--capitals");
    Lookup target = lookup(dest);
    if (target.kind == Lookup::MISSING) {
        // DEST is made when missing, inside an existing directory; it is a
        // name typed here, stored as mkdir stores it.
        std::string problem = host_name_problem(dest.name(), true, true);
        if (!problem.empty()) {
            report.error(dest_text, problem);
            return kExitFail;
        }
        if (!parent_usable(dest, dest_text, report) || !t.make_volume_dir(dest_text, dest)) return kExitFail;
    } else if (target.kind != Lookup::DIR) {
        report.error(dest_text,
                     target.kind == Lookup::FILE ? reason_text(FS_ERR_NOT_DIRECTORY) : target.reason);
        return kExitFail;
    }
    t.put_tree(host_dir, dest);
    return finish(t, image, progress);
}

int cmd_get(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("get");
    ParsedArgs a;
    int status = 0;
    if (!parse_transfer(report, args, true, false, &a, &status)) return status;
    if (a.operands.size() < 2) return report.usage("needs PATH... and HOSTDEST");
    const std::string host_dest = a.operands.back();
    std::vector<std::string> sources(a.operands.begin(), a.operands.end() - 1);
    bool into_dir = host_is_dir(host_dest);
    if (!into_dir && sources.size() > 1) {
        report.error(host_dest, "not a directory");
        return kExitFail;
    }
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    bool recursive = a.has("--recursive");
    Progress progress(recursive && !g.quiet && !a.has("--quiet"));
    Transfer t(report, progress);
    t.force = a.has("--force");
    for (const std::string &text : sources) {
        if (t.stop) break;
        VolPath src;
        std::string reason;
        if (!parse_vol_path(text, &src, &reason)) {
            t.fail(text, reason, false);
            continue;
        }
        Lookup found = lookup(src);
        if (found.kind == Lookup::MISSING || found.kind == Lookup::FAILED) {
            t.fail(text, found.kind == Lookup::MISSING ? reason_text(FS_ERR_NOT_FOUND) : found.reason, false);
            continue;
        }
        if (found.kind == Lookup::DIR && !recursive) {
            t.fail(text, "is a directory (-r copies directories)", false);
            continue;
        }
        std::string host = host_dest;
        if (into_dir && !src.root()) {
            if (!safe_host_component(found.entry.name)) {
                report.warning(text, "not copied: the name is unsafe as a host file name");
                t.skipped = true;
                continue;
            }
            host = join_host(host_dest, found.entry.name);
        }
        if (found.kind == Lookup::FILE) {
            t.get_file(src, host);
        } else if (t.make_host_dir(text, host)) {
            t.get_tree(src, found.entry.cluster, host);
        }
    }
    if (t.skipped) report.error("", "some entries were not copied");
    return finish(t, image, progress);
}

int cmd_export(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("export");
    ParsedArgs a;
    int status = 0;
    if (!parse_transfer(report, args, false, false, &a, &status)) return status;
    if (a.operands.size() != 1) return report.usage("needs HOSTDIR");
    const std::string &host_dir = a.operands[0];
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    Progress progress(!g.quiet && !a.has("--quiet"));
    Transfer t(report, progress);
    t.force = a.has("--force");
    if (!host_is_dir(host_dir) && !t.make_host_dir(host_dir, host_dir)) return kExitFail;
    t.get_tree(VolPath(), 0, host_dir);
    if (t.skipped) report.error("", "some entries were not exported");
    return finish(t, image, progress);
}

} // namespace fat16tool
