// Moving files between the host and the volume: put, get, import and export.
// Each file that cannot be copied is reported with its reason and the rest
// goes on; only a reason that concerns the whole volume (an I/O error of
// the image, damage) stops the transfer. A copy that does not complete is
// removed, and a file being replaced stays as it was until its new copy is
// complete. Names go onto the volume exactly as given, with their host
// modification times, and come back with them.
#include <errno.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "tool.h"

namespace fat16tool {

namespace {

const size_t kChunk = 1 << 20;

bool read_all(int fd, uint8_t *buffer, size_t want, size_t *got) {
    *got = 0;
    while (*got < want) {
        long long n = host_read(fd, buffer + *got, want - *got);
        if (n < 0) return false;
        if (n == 0) break;
        *got += (size_t)n;
    }
    return true;
}

bool host_is_dir(const std::string &path) {
    HostStat st;
    return host_stat(path, &st) && st.kind == HostStat::DIR;
}

uint64_t cluster_bytes() { return (uint64_t)VolumeGeometry.sectors_per_cluster * FS_SECTOR_SIZE; }

uint64_t clusters_for(uint64_t bytes) {
    uint64_t per = cluster_bytes();
    return per == 0 ? 0 : (bytes + per - 1) / per;
}

// Which host directory: links that lead back to one of the directories
// being copied are not followed.
struct HostId {
    uint64_t device, inode;
    bool operator==(const HostId &o) const { return device == o.device && inode == o.inode; }
};
// Links followed in a row at most where the host gives no inode numbers.
const size_t kMaxDepth = 256;

HostId id_of(const HostStat &st) { return {st.device, st.inode}; }

// Seconds of a FAT time in two-second steps, for comparing two times.
uint64_t time_key(const FsDateTime &t) {
    return ((((uint64_t)t.year * 13 + t.month) * 32 + t.day) * 24 + t.hour) * 3600 + (uint64_t)t.minute * 60 +
           (t.second & ~1u);
}

struct Transfer {
    Reporter &report;
    Progress &progress;
    bool force = false;
    bool no_clobber = false;  // -n: names that exist are left alone
    bool update = false;      // -u: copy only what is newer or of another size
    bool follow_links = true; // without -P, symbolic links on the host are followed
    bool stop = false;        // the volume or the image cannot go on
    bool skipped = false;     // a name from the volume was unsafe on the host
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kChunk);
    // The names this transfer put into each volume directory (folded keys
    // of the directory and of the name, and the name as given).
    std::map<std::string, std::map<std::string, std::string>> put_names;
    // An upper bound of the volume's free clusters, -1 before it is read:
    // files that cannot fit are refused without writing them first.
    int64_t free_bound = -1;

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

    bool claim_name(const std::string &subject, const VolPath &dir, const std::string &name);
    bool room_for(uint64_t bytes, std::string *reason);
    bool make_temp(const VolPath &dir, VolPath *out);
    bool put_file(const std::string &host, const VolPath &dest);
    bool make_volume_dir(const std::string &subject, const VolPath &dir, const HostStat *host);
    // What a host entry met in a walk is, links followed unless -P: false
    // (reported) when it is not copied.
    bool host_entry(const std::string &host, const std::vector<HostId> &above, HostStat *st);
    void put_tree(const std::string &host_dir, const VolPath &dest, std::vector<HostId> &above);
    void count_host(const std::string &host_dir, std::vector<HostId> &above, uint64_t *files,
                    uint64_t *bytes);
    bool skip_existing(const HostStat &src, const Entry &dest, bool known_size);
    bool get_file(const VolPath &src, const Entry &entry, const std::string &host);
    bool make_host_dir(const std::string &subject, const std::string &dir);
    void get_tree(const VolPath &top, uint32_t cluster, const std::string &host_dir);
};

// Records that this transfer puts `name` into `dir`. Names that differ only
// in case are one name on the volume: the second is refused.
bool Transfer::claim_name(const std::string &subject, const VolPath &dir, const std::string &name) {
    auto &names = put_names[fold_name(dir.lib())];
    auto placed = names.emplace(fold_name(name), name);
    if (placed.second) return true;
    const std::string &earlier = placed.first->second;
    if (earlier == name)
        fail(subject, dir.child(name).shown() + " was copied by this transfer already", false);
    else
        fail(subject,
             "cannot share a directory with " + dir.child(earlier).shown() +
                 ": names that differ only in case are one name on the volume",
             false);
    return false;
}

// Whether `bytes` of file data fit the free space; false with the reason.
bool Transfer::room_for(uint64_t bytes, std::string *reason) {
    int64_t need = (int64_t)clusters_for(bytes);
    if (free_bound < 0 || need > free_bound) {
        uint32_t capacity = 0, free_sectors = 0;
        if (fs_volume_info('C', &capacity, &free_sectors) != FS_OK) return true; // the write will tell
        free_bound =
            VolumeGeometry.sectors_per_cluster == 0 ? 0 : free_sectors / VolumeGeometry.sectors_per_cluster;
    }
    if (need <= free_bound) return true;
    *reason = reason_text(FS_ERR_NO_SPACE) + ": the file needs " + std::to_string(need * cluster_bytes()) +
              " bytes of clusters, " + std::to_string(free_bound * cluster_bytes()) + " bytes are free";
    return false;
}

// Creates a new empty file with a free temporary name in `dir`.
bool Transfer::make_temp(const VolPath &dir, VolPath *out) {
    for (unsigned n = 1; n <= 0xFFFF; n++) {
        char name[16];
        snprintf(name, sizeof name, "PUT~%04X.TMP", n);
        *out = dir.child(name);
        if (fs_create_file(out->lib().c_str()) == FS_OK) return true;
        if (fs_last_error() != FS_ERR_EXISTS) return false;
    }
    return false;
}

// Copies host file `host` ("-": standard input) to the volume file `dest`.
// With `force` an existing file is replaced: the new copy is written under
// a temporary name beside it and takes the file's place only once it is
// complete, so a copy that fails leaves the old file exactly as it was.
bool Transfer::put_file(const std::string &host, const VolPath &dest) {
    const bool from_stdin = host == "-";
    const std::string subject = from_stdin ? "standard input" : host;
    int fd = from_stdin ? host_stdin() : host_open_read(host);
    HostStat st;
    if (fd < 0 || !host_fstat(fd, &st)) {
        fail(subject, host_error_text(errno), false);
        if (fd >= 0 && !from_stdin) host_close(fd);
        return false;
    }
    auto close_source = [&]() {
        if (!from_stdin) host_close(fd);
    };
    if (!from_stdin && st.kind != HostStat::FILE) {
        close_source();
        fail(subject, "not a regular file", false);
        return false;
    }
    const bool known_size = st.kind == HostStat::FILE;
    if (known_size && st.size > 0xFFFFFFFFull) {
        close_source();
        fail(subject, "larger than a file on FAT16 can be (4 GiB - 1 bytes)", false);
        return false;
    }
    // New entries and the first write take the host file's time.
    std::unique_ptr<ClockStamp> stamp;
    if (!from_stdin) stamp.reset(new ClockStamp(entry_time(st.modified)));

    const std::string lib = dest.lib();
    VolPath written = dest; // where the data goes: dest, or a temporary name beside it
    bool replacing = false;
    uint32_t old_size = 0;
    // A new file is made and opened in one pass over its directory.
    uint8_t h = fs_open_new(lib.c_str());
    if (h == FS_FAIL) {
        FsError e = fs_last_error();
        std::string reason;
        if (e == FS_ERR_EXISTS && (no_clobber || update)) {
            Lookup found = lookup(dest);
            if (found.kind == Lookup::FILE && skip_existing(st, found.entry, known_size)) {
                close_source();
                progress.add_bytes(known_size ? st.size : 0);
                progress.file_done();
                return true;
            }
        }
        if (e == FS_ERR_EXISTS && (force || update)) {
            Lookup found = lookup(dest);
            if (found.kind == Lookup::DIR)
                reason = dest.shown() + ": " + reason_text(FS_ERR_IS_DIRECTORY);
            else if (found.kind != Lookup::FILE)
                reason =
                    dest.shown() + ": " + reason_text(FS_ERR_EXISTS) + " (another entry carries the name)";
            else if (found.entry.attr & ATTR_READ_ONLY)
                reason = dest.shown() + " is read-only (attrib -r allows replacing it)";
            else if (!make_temp(dest.parent(), &written))
                reason = "cannot make a temporary file beside " + dest.shown() +
                         " to replace it: " + library_reason() + "; " + dest.shown() + " is unchanged";
            replacing = reason.empty();
            old_size = found.entry.size;
            if (!replacing) e = fs_last_error();
        } else if (e == FS_ERR_EXISTS) {
            reason = dest.shown() + " " + reason_text(e) + " (-f replaces it)";
        } else {
            reason = reason_for_name(dest.name());
            if (e == FS_ERR_INVALID_NAME || e == FS_ERR_NO_PARENT) reason = dest.shown() + ": " + reason;
            // The entry may have been made before the open failed: a name
            // that did not exist before is not left behind as an empty file.
            if (lookup(dest).kind == Lookup::FILE) fs_delete_file(lib.c_str());
        }
        if (!replacing) {
            close_source();
            fail(subject, reason, fatal_error(e));
            return false;
        }
    }
    const std::string written_lib = written.lib();
    const std::string unchanged = replacing ? "; " + dest.shown() + " is unchanged" : "";
    std::string reason;
    if (known_size && !room_for(st.size, &reason)) {
        close_source();
        if (h != FS_FAIL) fs_close(h);
        fs_delete_file(written_lib.c_str());
        fail(subject,
             reason + (replacing ? " beside the old file, which stays until its replacement is complete" +
                                       unchanged + " (rm it first to make room)"
                                 : ""),
             false);
        return device_healthy();
    }

    if (replacing) h = fs_open(written_lib.c_str());
    std::string problem;
    bool fatal = false;
    if (h == FS_FAIL) {
        problem = library_reason();
        fatal = fatal_error(fs_last_error());
    }
    uint64_t stored = 0;
    while (problem.empty()) {
        size_t got = 0;
        if (!read_all(fd, buffer.data(), buffer.size(), &got)) {
            problem = "cannot read: " + host_error_text(errno);
            break;
        }
        if (got == 0) break;
        if (stored + got > 0xFFFFFFFFull) {
            problem = "larger than a file on FAT16 can be (4 GiB - 1 bytes)";
            break;
        }
        uint32_t n = fs_write(h, buffer.data(), (uint32_t)got);
        stored += n;
        progress.add_bytes(n);
        if (n != got) {
            FsError e = fs_last_error();
            problem = "stored " + std::to_string(stored) +
                      (known_size ? " of " + std::to_string(st.size) : std::string()) + " bytes: " +
                      (e == FS_ERR_NONE ? std::string("the library wrote less than asked") : reason_text(e));
            fatal = fatal_error(e);
        }
    }
    close_source();
    // With write-back the close writes what the file still holds: its
    // failure is the copy's.
    if (h != FS_FAIL && fs_close(h) != FS_OK && problem.empty()) {
        FsError e = fs_last_error();
        problem = "stored " + std::to_string(stored) + " bytes, then: " + reason_text(e);
        fatal = fatal_error(e);
    }
    stamp.reset();
    if (disk_take_error() != FS_OK) {
        if (problem.empty()) problem = reason_text(FS_ERR_IO);
        fatal = true;
    }
    if (!problem.empty()) {
        bool removed = fs_delete_file(written_lib.c_str()) == FS_OK;
        fail(subject, problem + (removed ? " (the partial copy was removed)" : "") + unchanged, fatal);
        free_bound = -1;
        return false;
    }
    if (replacing) {
        if (fs_delete_file(lib.c_str()) != FS_OK) {
            reason = library_reason();
            fs_delete_file(written_lib.c_str());
            fail(subject, "cannot replace " + dest.shown() + ": " + reason + unchanged,
                 fatal_error(fs_last_error()));
            return false;
        }
        if (fs_move(written_lib.c_str(), lib.c_str()) != FS_OK) {
            fail(subject,
                 dest.shown() + " was removed, but its new copy keeps the name " + written.shown() + ": " +
                     library_reason(),
                 fatal_error(fs_last_error()));
            return false;
        }
        if (free_bound >= 0) free_bound += (int64_t)clusters_for(old_size);
    }
    if (free_bound >= 0) free_bound = std::max<int64_t>(0, free_bound - (int64_t)clusters_for(stored));
    progress.file_done();
    return device_healthy();
}

// Makes directory `dir` on the volume, with the time of host directory
// `host` when given; an existing directory is fine.
bool Transfer::make_volume_dir(const std::string &subject, const VolPath &dir, const HostStat *host) {
    if (dir.root()) return true;
    const std::string lib = dir.lib();
    FsStatus made;
    {
        std::unique_ptr<ClockStamp> stamp;
        if (host != nullptr) stamp.reset(new ClockStamp(entry_time(host->modified)));
        made = fs_mkdir(lib.c_str());
    }
    if (made == FS_OK) return device_healthy();
    FsError e = fs_last_error();
    if (e == FS_ERR_EXISTS) {
        Lookup found = lookup(dir);
        if (found.kind == Lookup::DIR) return true;
        fail(subject, dir.shown() + " exists and is not a directory", false);
        return false;
    }
    std::string reason = reason_for_name(dir.name());
    if (e == FS_ERR_INVALID_NAME || e == FS_ERR_PATH_TOO_LONG) reason = dir.shown() + ": " + reason;
    fail(subject, reason, fatal_error(e));
    return false;
}

// True when the copy of `src` over the existing `dest` is to be left out:
// always with -n; with -u when `dest` is as new and as large.
bool Transfer::skip_existing(const HostStat &src, const Entry &dest, bool known_size) {
    if (no_clobber) return true;
    if (!known_size || src.size != dest.size) return false;
    return time_key(entry_time(src.modified)) <= time_key(dest.modified);
}

bool Transfer::host_entry(const std::string &host, const std::vector<HostId> &above, HostStat *st) {
    if (!host_lstat(host, st)) {
        fail(host, host_error_text(errno), false);
        return false;
    }
    if (st->kind == HostStat::LINK) {
        if (!follow_links) {
            fail(host, "not copied: only regular files and directories go onto the volume", false);
            return false;
        }
        if (!host_stat(host, st)) {
            fail(host, "not copied: a broken symbolic link (" + host_error_text(errno) + ")", false);
            return false;
        }
        bool known = st->inode != 0 || st->device != 0;
        if (st->kind == HostStat::DIR &&
            ((known && std::find(above.begin(), above.end(), id_of(*st)) != above.end()) ||
             above.size() >= kMaxDepth)) {
            fail(host, "not copied: a symbolic link back to a directory it is in (a loop)", false);
            return false;
        }
    }
    if (st->kind != HostStat::DIR && st->kind != HostStat::FILE) {
        fail(host, "not copied: only regular files and directories go onto the volume", false);
        return false;
    }
    return true;
}

// Files and bytes below host directory `host_dir` that a transfer would
// copy, for the progress line; reports nothing (the copy does).
void Transfer::count_host(const std::string &host_dir, std::vector<HostId> &above, uint64_t *files,
                          uint64_t *bytes) {
    std::vector<std::string> names;
    if (host_list_dir(host_dir, &names) == HostListing::NOT_OPENED) return;
    for (const std::string &name : names) {
        std::string host = join_host(host_dir, name);
        HostStat st;
        if (!host_lstat(host, &st)) continue;
        if (st.kind == HostStat::LINK && (!follow_links || !host_stat(host, &st))) continue;
        if (st.kind == HostStat::FILE) {
            (*files)++;
            *bytes += st.size;
        } else if (st.kind == HostStat::DIR && above.size() < kMaxDepth &&
                   ((st.inode == 0 && st.device == 0) ||
                    std::find(above.begin(), above.end(), id_of(st)) == above.end())) {
            above.push_back(id_of(st));
            count_host(host, above, files, bytes);
            above.pop_back();
        }
    }
}

// Copies the contents of host directory `host_dir` into volume directory
// `dest`, names in byte order, so that the same tree makes the same image.
// `above` holds the host directories being copied, `host_dir` last.
void Transfer::put_tree(const std::string &host_dir, const VolPath &dest, std::vector<HostId> &above) {
    std::vector<std::string> names;
    HostListing listed = host_list_dir(host_dir, &names);
    if (listed == HostListing::NOT_OPENED) {
        fail(host_dir, host_error_text(errno), false);
        return;
    }
    if (listed == HostListing::CUT_SHORT) fail(host_dir, "cannot list: " + host_error_text(errno), false);
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        if (stop) return;
        std::string host = join_host(host_dir, name);
        HostStat st;
        if (!host_entry(host, above, &st)) continue;
        std::string problem = name_problem(name);
        if (!problem.empty()) {
            fail(host, "invalid name (" + problem + ")", false);
            continue;
        }
        if (!claim_name(host, dest, name)) continue;
        VolPath target = dest.child(name);
        if (st.kind != HostStat::DIR) {
            put_file(host, target);
        } else if (make_volume_dir(host, target, &st)) {
            above.push_back(id_of(st));
            put_tree(host, target, above);
            above.pop_back();
        }
    }
}

// Copies volume file `src` (found as `entry`) to the new host file `host`
// ("-": standard output), with the entry's modification time.
bool Transfer::get_file(const VolPath &src, const Entry &entry, const std::string &host) {
    const bool to_stdout = host == "-";
    const std::string subject = to_stdout ? "standard output" : host;
    const std::string lib = src.lib();
    uint8_t h = fs_open(lib.c_str());
    if (h == FS_FAIL) {
        FsError e = fs_last_error();
        fail(src.shown(), "cannot be read: " + reason_for_name(src.name()), fatal_error(e));
        return false;
    }
    int fd = to_stdout ? host_stdout() : host_create(host, force);
    if (fd < 0 && errno == EEXIST && (no_clobber || update)) {
        // -n leaves an existing file alone; -u replaces it when the entry
        // is newer or of another size.
        HostStat old;
        struct timespec modified;
        bool stale =
            update && host_stat(host, &old) && old.kind == HostStat::FILE &&
            (old.size != entry.size || (host_time(entry.modified, &modified) &&
                                        time_key(entry.modified) > time_key(entry_time(old.modified))));
        if (!stale) {
            fs_close(h);
            progress.add_bytes(entry.size);
            progress.file_done();
            return true;
        }
        fd = host_create(host, true);
    }
    if (fd < 0) {
        int err = errno;
        fs_close(h);
        fail(host, err == EEXIST ? "already exists (-f replaces it)" : host_error_text(err), false);
        return false;
    }
    // Only a regular file is a copy of ours to remove after a failure; with
    // -f the destination may be a device such as /dev/null.
    HostStat st;
    bool regular = !to_stdout && host_fstat(fd, &st) && st.kind == HostStat::FILE;
    std::string problem;
    bool fatal = false;
    uint32_t size = fs_file_size(h), done = 0;
    while (problem.empty() && done < size) {
        uint32_t n = fs_read(h, buffer.data(), (uint32_t)std::min<uint64_t>(buffer.size(), size - done));
        if (n == 0) break;
        if (!host_write_all(fd, buffer.data(), n)) {
            int err = errno;
            problem = "cannot write: " + host_error_text(err);
            fatal = err == EIO;
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
    struct timespec modified;
    if (problem.empty() && regular && host_time(entry.modified, &modified)) host_set_file_time(fd, modified);
    if (!to_stdout && !host_close(fd) && problem.empty()) {
        int err = errno;
        problem = "cannot write: " + host_error_text(err);
        fatal = err == EIO;
    }
    if (!problem.empty()) {
        bool removed = regular && host_unlink(host);
        fail(subject, problem + (removed ? " (the partial copy was removed)" : ""), fatal);
        return false;
    }
    progress.file_done();
    return device_healthy();
}

// Makes host directory `dir`; an existing directory (not a link) is fine.
bool Transfer::make_host_dir(const std::string &subject, const std::string &dir) {
    if (host_mkdir(dir)) return true;
    int err = errno;
    HostStat st;
    if (err == EEXIST && host_lstat(dir, &st) && st.kind == HostStat::DIR) return true;
    fail(subject, err == EEXIST ? dir + " exists and is not a directory" : dir + ": " + host_error_text(err),
         err == EIO);
    return false;
}

// Sets the modification time of host directory `dir` from `entry`.
void set_dir_time(const std::string &dir, const Entry &entry) {
    struct timespec modified;
    if (host_time(entry.modified, &modified)) host_set_path_time(dir, modified);
}

// Copies the contents of volume directory `top` into host directory
// `host_dir`. A name from the volume becomes a host path component only
// when it cannot lead outside `host_dir`.
void Transfer::get_tree(const VolPath &top, uint32_t cluster, const std::string &host_dir) {
    const size_t base = top.parts.size();
    auto host_of = [&](const VolPath &path) {
        std::string host = host_dir;
        for (size_t i = base; i < path.parts.size(); i++) host = join_host(host, path.parts[i]);
        return host;
    };
    walk_tree(
        top, cluster, report,
        [&](const VolPath &path, const Entry &e, const WalkPos &) {
            if (stop) return Step::STOP;
            if (!safe_host_component(e.name)) {
                report.warning(path.shown(), "not copied: the name is unsafe as a host file name");
                skipped = true;
                return Step::SKIP;
            }
            if (!e.reachable) {
                fail(path.shown(),
                     "cannot be read: another entry of its directory carries the same name "
                     "(damaged volume)",
                     false);
                return Step::SKIP;
            }
            std::string host = host_of(path);
            if (e.is_dir()) return make_host_dir(path.shown(), host) ? Step::GO : Step::SKIP;
            get_file(path, e, host);
            return stop ? Step::STOP : Step::GO;
        },
        // A directory's time is set once its contents are written, which
        // change it.
        [&](const VolPath &path, const Entry &e) { set_dir_time(host_of(path), e); });
}

// The words of put, get, import and export.
bool parse_transfer(Reporter &report, const std::vector<std::string> &args, bool recursive, bool capitals,
                    ParsedArgs *out, int *status) {
    std::vector<FlagDef> accepted = {{"-f", "--force", false},
                                     {"-q", "--quiet", false},
                                     {"-n", "--no-clobber", false},
                                     {"-u", "--update", false}};
    if (recursive) accepted.push_back({"-r", "--recursive", false});
    // Names are kept as given; --capitals, which once accepted 8.3 names
    // stored in capitals, changes nothing and is still taken. Host to
    // volume, -P keeps symbolic links out instead of following them.
    if (capitals) {
        accepted.push_back({nullptr, "--capitals", false});
        accepted.push_back({"-P", "--no-dereference", false});
    }
    if (!parse_or_usage(report, args, accepted, out, status)) return false;
    int modes = (int)out->has("--force") + (int)out->has("--no-clobber") + (int)out->has("--update");
    if (modes > 1) {
        *status = report.usage("give one of -f (replace), -n (keep) and -u (replace older)");
        return false;
    }
    return true;
}

// Takes the transfer's flags.
void set_modes(Transfer &t, const ParsedArgs &a) {
    t.force = a.has("--force");
    t.no_clobber = a.has("--no-clobber");
    t.update = a.has("--update");
    t.follow_links = !a.has("--no-dereference");
}

// Files and bytes below volume directory `top`, for the progress line.
void count_volume(Reporter &report, const VolPath &top, uint32_t cluster, uint64_t *files, uint64_t *bytes) {
    Reporter quiet(report.command());
    quiet.silence(); // the copy reports what cannot be read
    walk_tree(top, cluster, quiet, [&](const VolPath &, const Entry &e, const WalkPos &) {
        if (!e.is_dir()) {
            (*files)++;
            *bytes += e.size;
        }
        return e.reachable ? Step::GO : Step::SKIP;
    });
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
    bool from_stdin = std::find(sources.begin(), sources.end(), "-") != sources.end();
    if (from_stdin && sources.size() > 1)
        return report.usage("standard input (-) is the only HOSTPATH when given");
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
    set_modes(t, a);
    if (progress.shown()) {
        uint64_t files = 0, bytes = 0;
        for (const std::string &src : sources) {
            HostStat st;
            if (src == "-" || !host_stat(src, &st)) continue;
            if (st.kind == HostStat::FILE) {
                files++;
                bytes += st.size;
            } else if (st.kind == HostStat::DIR) {
                std::vector<HostId> above = {id_of(st)};
                t.count_host(src, above, &files, &bytes);
            }
        }
        progress.expect(files, bytes);
    }

    Lookup target = lookup(dest);
    if (target.kind == Lookup::FAILED) {
        report.error(dest_text, target.reason);
        return kExitFail;
    }
    bool into_dir = target.kind == Lookup::DIR;
    if (!into_dir && (sources.size() > 1 || dest.dir_form)) {
        report.error(dest_text, target.kind == Lookup::FILE ? reason_text(FS_ERR_NOT_DIRECTORY)
                                                            : reason_text(FS_ERR_NOT_FOUND) +
                                                                  " (a DEST ending in '/', or taking several "
                                                                  "HOSTPATHs, names an existing directory)");
        return kExitFail;
    }
    if (into_dir && from_stdin) {
        report.error(dest_text, "is a directory: standard input has no name, so DEST names the file");
        return kExitFail;
    }
    if (!into_dir && !parent_usable(dest, dest_text, report)) return kExitFail;
    for (const std::string &src : sources) {
        if (t.stop) break;
        HostStat st;
        if (src != "-" && !host_stat(src, &st)) {
            t.fail(src, host_error_text(errno), false);
            continue;
        }
        bool is_dir = src != "-" && st.kind == HostStat::DIR;
        if (is_dir && !recursive) {
            t.fail(src, "is a directory (-r copies directories)", false);
            continue;
        }
        std::string name = into_dir ? host_basename(src) : dest.name();
        if (name.empty() || name == "." || name == "..") {
            t.fail(src, "has no name to give the copy: name DEST", false);
            continue;
        }
        std::string problem = name_problem(name);
        if (!problem.empty()) {
            t.fail(into_dir ? src : dest_text, "invalid name (" + problem + ")", false);
            continue;
        }
        VolPath copy = into_dir ? dest.child(name) : dest;
        if (!t.claim_name(src, copy.parent(), name)) continue;
        if (!is_dir) {
            t.put_file(src, copy);
        } else if (target.kind == Lookup::FILE) {
            t.fail(dest_text, reason_text(FS_ERR_NOT_DIRECTORY), false);
        } else if (t.make_volume_dir(src, copy, &st)) {
            std::vector<HostId> above = {id_of(st)};
            t.put_tree(src, copy, above);
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
    HostStat dir_stat;
    bool found = host_stat(host_dir, &dir_stat);
    if (!found || dir_stat.kind != HostStat::DIR) {
        report.error(host_dir, found ? "not a directory" : host_error_text(errno));
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
    set_modes(t, a);
    std::vector<HostId> above = {id_of(dir_stat)};
    if (progress.shown()) {
        uint64_t files = 0, bytes = 0;
        t.count_host(host_dir, above, &files, &bytes);
        progress.expect(files, bytes);
    }
    Lookup target = lookup(dest);
    if (target.kind == Lookup::MISSING) {
        // DEST is made when missing, inside an existing directory, with the
        // name as typed.
        std::string problem = name_problem(dest.name());
        if (!problem.empty()) {
            report.error(dest_text, "invalid name (" + problem + ")");
            return kExitFail;
        }
        HostStat st;
        bool timed = host_stat(host_dir, &st);
        if (!parent_usable(dest, dest_text, report) ||
            !t.make_volume_dir(dest_text, dest, timed ? &st : nullptr))
            return kExitFail;
    } else if (target.kind != Lookup::DIR) {
        report.error(dest_text,
                     target.kind == Lookup::FILE ? reason_text(FS_ERR_NOT_DIRECTORY) : target.reason);
        return kExitFail;
    }
    t.put_tree(host_dir, dest, above);
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
    const bool to_stdout = host_dest == "-";
    bool into_dir = !to_stdout && host_is_dir(host_dest);
    if (!into_dir && !to_stdout && !host_dest.empty() && host_separator(host_dest.back())) {
        report.error(host_dest, "no such directory (a HOSTDEST ending in '/' names a directory)");
        return kExitFail;
    }
    if (!into_dir && sources.size() > 1) {
        report.error(host_dest, to_stdout ? "standard output (-) takes one PATH" : "not a directory");
        return kExitFail;
    }
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    bool recursive = a.has("--recursive");
    Progress progress(recursive && !to_stdout && !g.quiet && !a.has("--quiet"));
    Transfer t(report, progress);
    set_modes(t, a);
    std::vector<Target> targets = expand_all(report, sources);
    if (!into_dir && targets.size() > 1) {
        report.error(host_dest, to_stdout ? "standard output (-) takes one file" : "not a directory");
        return kExitFail;
    }
    if (progress.shown()) {
        uint64_t files = 0, bytes = 0;
        for (const Target &src : targets) {
            if (src.found.kind == Lookup::FILE) {
                files++;
                bytes += src.found.entry.size;
            } else if (src.found.kind == Lookup::DIR) {
                count_volume(report, src.path, src.found.entry.cluster, &files, &bytes);
            }
        }
        progress.expect(files, bytes);
    }
    for (const Target &src : targets) {
        if (t.stop) break;
        const std::string &text = src.text;
        const Lookup &found = src.found;
        if (found.kind == Lookup::MISSING || found.kind == Lookup::FAILED) {
            t.fail(text, target_failure(found), false);
            continue;
        }
        if (found.kind == Lookup::DIR && (!recursive || to_stdout)) {
            t.fail(text, to_stdout ? "is a directory" : "is a directory (-r copies directories)", false);
            continue;
        }
        std::string host = host_dest;
        if (into_dir && !src.path.root()) {
            if (!safe_host_component(found.entry.name)) {
                report.warning(text, "not copied: the name is unsafe as a host file name");
                t.skipped = true;
                continue;
            }
            host = join_host(host_dest, found.entry.name);
        }
        if (found.kind == Lookup::FILE) {
            t.get_file(src.path, found.entry, host);
        } else if (t.make_host_dir(text, host)) {
            t.get_tree(src.path, found.entry.cluster, host);
            if (!src.path.root()) set_dir_time(host, found.entry);
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
    set_modes(t, a);
    if (progress.shown()) {
        uint64_t files = 0, bytes = 0;
        count_volume(report, VolPath(), 0, &files, &bytes);
        progress.expect(files, bytes);
    }
    if (!host_is_dir(host_dir) && !t.make_host_dir(host_dir, host_dir)) return kExitFail;
    t.get_tree(VolPath(), 0, host_dir);
    if (t.skipped) report.error("", "some entries were not exported");
    return finish(t, image, progress);
}

} // namespace fat16tool
