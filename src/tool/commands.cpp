// The commands that make, describe and change the volume: format, info, ls,
// tree, mkdir, rmdir, rm, mv, cat and check.
#include <algorithm>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "tool.h"

namespace fat16tool {

namespace {

// Prints the help of `command` and returns 0.
int show_help(const std::string &command) {
    fputs(help_text(command), stdout);
    return kExitOk;
}

// Parses the command's words; on a usage error returns its exit status in
// `status`.
bool parse_or_usage(Reporter &report, const std::vector<std::string> &args,
                    const std::vector<FlagDef> &accepted, ParsedArgs *parsed, int *status) {
    std::string error;
    if (!parse_args(args, accepted, parsed, &error)) {
        *status = report.usage(error);
        return false;
    }
    if (parsed->help) {
        *status = show_help(report.command());
        return false;
    }
    return true;
}

// Parses a user's path; reports and returns false when it names another drive.
bool user_path(Reporter &report, const std::string &text, VolPath *out) {
    std::string reason;
    if (parse_vol_path(text, out, &reason)) return true;
    report.error(text, reason);
    return false;
}

bool parse_count(const std::string &text, uint64_t *out) {
    if (text.empty() || text.size() > 12) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (uint64_t)(c - '0');
    }
    *out = v;
    return true;
}

std::string attr_letters(uint8_t attr) {
    std::string s = "-----";
    if (attr & ATTR_DIRECTORY) s[0] = 'd';
    if (attr & 0x01) s[1] = 'r';
    if (attr & 0x02) s[2] = 'h';
    if (attr & 0x04) s[3] = 's';
    if (attr & ATTR_ARCHIVE) s[4] = 'a';
    return s;
}

void print_entry(const Entry &e, bool long_form) {
    std::string name = printable(e.name) + (e.is_dir() ? "/" : "");
    if (long_form)
        printf("%s %10s  %s\n", attr_letters(e.attr).c_str(),
               e.is_dir() ? "" : std::to_string(e.size).c_str(), name.c_str());
    else
        printf("%s\n", name.c_str());
}

// Makes the host file `path` at least `bytes` long, with its blocks
// reserved so that writes through the library cannot run out of host space.
bool grow_image(const std::string &path, uint64_t bytes, std::string *reason) {
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        *reason = strerror(errno);
        return false;
    }
    struct stat st;
    bool ok = fstat(fd, &st) == 0;
    if (ok && (uint64_t)st.st_size < bytes) {
        int r = posix_fallocate(fd, 0, (off_t)bytes);
        if (r == EOPNOTSUPP || r == EINVAL) r = ftruncate(fd, (off_t)bytes) == 0 ? 0 : errno;
        if (r != 0) {
            *reason = strerror(r);
            ok = false;
        }
    }
    if (close(fd) != 0 && ok) {
        *reason = strerror(errno);
        ok = false;
    }
    return ok;
}

// Formats the volume, mounts it again and says what was made.
int finish_format(Image &image, Reporter &report, const GlobalOptions &g, uint32_t first, uint32_t sectors) {
    if (fs_format_at(first, sectors) != FS_OK || !image.healthy(report)) {
        if (!report.failed()) report.error(g.image, "formatting failed: " + library_reason());
        return kExitFail;
    }
    FsStatus mounted = fs_init();
    if (g.partition != 0) mounted = fs_mount_partition(0, (uint8_t)g.partition);
    if (mounted != FS_OK) {
        report.error(g.image, "the new volume does not mount: " + library_reason());
        return kExitFail;
    }
    if (!image.healthy(report)) return kExitFail;
    printf("formatted %s%s: %u sectors (%llu bytes), %u clusters of %u bytes\n", g.image.c_str(),
           g.partition != 0 ? (" partition " + std::to_string(g.partition)).c_str() : "", sectors,
           (unsigned long long)sectors * FS_SECTOR_SIZE, VolumeGeometry.cluster_count,
           (unsigned)VolumeGeometry.sectors_per_cluster * FS_SECTOR_SIZE);
    return kExitOk;
}

// The sizes the library's formatter takes, in sectors.
struct FormatLimits {
    uint32_t min = 0, max = 0;
    FormatLimits() { fs_format_at_limits(&min, &max); }
};

std::string range_text() {
    FormatLimits limits;
    return std::to_string(limits.min) + " to " + std::to_string(limits.max) + " sectors";
}

int format_partition(const GlobalOptions &g, Reporter &report, bool force, bool sectors_given,
                     uint32_t sectors) {
    Image image;
    // The partition table comes from other tools: the image must exist.
    struct stat st;
    if (stat(g.image.c_str(), &st) != 0) {
        report.error(g.image, std::string("cannot open the image: ") + strerror(errno) +
                                  " (make the partition table first, for example with sfdisk)");
        return kExitFail;
    }
    if (disk_open_image_path(g.image.c_str(), 0) != FS_OK || !S_ISREG(st.st_mode)) {
        report.error(g.image, std::string("cannot open the image: ") +
                                  (S_ISREG(st.st_mode) ? strerror(errno) : "not a regular file"));
        return kExitFail;
    }
    image.attach(g.image);
    if (disk_read_only()) {
        report.error(g.image, "the image is read-only");
        return kExitFail;
    }
    FsPartition p;
    std::string reason;
    if (!read_partition(g.partition, &p, &reason)) {
        report.error(g.image, reason);
        return kExitFail;
    }
    std::string name = "partition " + std::to_string(g.partition);
    if (!fs_partition_type_fat16(p.type)) {
        char text[200];
        snprintf(text, sizeof text,
                 "%s has type 0x%02X; the library mounts FAT16 partitions only (types 0x04, 0x06, 0x0E)",
                 name.c_str(), p.type);
        report.error(g.image, text);
        return kExitFail;
    }
    FormatLimits limits;
    if (!sectors_given) {
        if (p.sector_count > limits.max) {
            report.error(g.image,
                         name + " has " + std::to_string(p.sector_count) +
                             " sectors, more than a volume of this layout can use; give --sectors (" +
                             range_text() + ")");
            return kExitFail;
        }
        sectors = p.sector_count;
    }
    if (sectors < limits.min) {
        report.error(g.image, name + " is too small: " + std::to_string(sectors) +
                                  " sectors, a FAT16 volume needs " + std::to_string(limits.min) +
                                  " or more");
        return kExitFail;
    }
    if (sectors > p.sector_count) {
        report.error(g.image, "--sectors " + std::to_string(sectors) + " is more than " + name + " holds (" +
                                  std::to_string(p.sector_count) + " sectors)");
        return kExitFail;
    }
    if ((uint64_t)p.first_sector + sectors > FS_SECTOR_LIMIT) {
        report.error(g.image, name + " starts at sector " + std::to_string(p.first_sector) +
                                  ": a volume there has " + std::to_string(FS_SECTOR_LIMIT - p.first_sector) +
                                  " sectors at most, since the library cannot address sectors from " +
                                  std::to_string(FS_SECTOR_LIMIT) + " on (give --sectors)");
        return kExitFail;
    }
    if ((uint64_t)st.st_size < ((uint64_t)p.first_sector + sectors) * FS_SECTOR_SIZE) {
        report.error(g.image, name + " reaches past the end of the image file");
        return kExitFail;
    }
    FsProbe probe = fs_probe(p.first_sector, nullptr);
    if (probe == FS_PROBE_UNREADABLE) {
        report.error(g.image, "cannot read the first sector of " + name);
        return kExitFail;
    }
    if (!force && probe != FS_PROBE_BLANK && probe != FS_PROBE_OTHER) {
        report.error(g.image,
                     name + " already holds a volume (--force formats it anew; everything on it is lost)");
        return kExitFail;
    }
    disk_take_error();
    return finish_format(image, report, g, p.first_sector, sectors);
}

// True when the file's first bytes (up to a sector) are all zero.
bool starts_blank(const std::string &path) {
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr) return true;
    uint8_t head[FS_SECTOR_SIZE];
    size_t n = fread(head, 1, sizeof head, f);
    fclose(f);
    return std::all_of(head, head + n, [](uint8_t b) { return b == 0; });
}

int format_whole(const GlobalOptions &g, Reporter &report, bool force, uint32_t sectors) {
    struct stat st;
    bool exists = stat(g.image.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        report.error(g.image, "cannot format: not a regular file");
        return kExitFail;
    }
    if (!exists && errno != ENOENT) {
        report.error(g.image, std::string("cannot open the image: ") + strerror(errno));
        return kExitFail;
    }
    if (exists) {
        if (disk_open_image_path(g.image.c_str(), 0) != FS_OK) {
            report.error(g.image, std::string("cannot open the image: ") + strerror(errno));
            return kExitFail;
        }
        FsProbe probe = fs_probe(0, nullptr);
        bool read_only = disk_read_only() != 0;
        disk_close_image();
        if (read_only) {
            report.error(g.image, "the image is read-only");
            return kExitFail;
        }
        if (!force && probe != FS_PROBE_UNREADABLE && probe != FS_PROBE_BLANK && probe != FS_PROBE_OTHER) {
            report.error(g.image,
                         probe == FS_PROBE_FAT16 || probe == FS_PROBE_SECTOR_SIZE ||
                                 probe == FS_PROBE_UNSUPPORTED_FAT
                             ? "already holds a volume (--force formats it anew; everything on it is lost)"
                             : "already holds a partition table or another boot sector (-p N formats a "
                               "partition; --force formats the whole image over it)");
            return kExitFail;
        }
        // A file that begins with data of another kind is no blank image: a
        // mistyped name must not destroy it. (A file shorter than a sector
        // is looked at on the host.)
        if (!force && !starts_blank(g.image)) {
            report.error(g.image, "holds data that is not a FAT volume (--force formats over it)");
            return kExitFail;
        }
    } else {
        int fd = ::open(g.image.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0) {
            report.error(g.image, std::string("cannot create the image: ") + strerror(errno));
            return kExitFail;
        }
        close(fd);
    }
    std::string reason;
    if (!grow_image(g.image, (uint64_t)sectors * FS_SECTOR_SIZE, &reason)) {
        report.error(g.image, "cannot make the image " + std::to_string((uint64_t)sectors * FS_SECTOR_SIZE) +
                                  " bytes long: " + reason);
        if (!exists) unlink(g.image.c_str());
        return kExitFail;
    }
    if (disk_open_image_path(g.image.c_str(), 0) != FS_OK) {
        report.error(g.image, std::string("cannot open the image: ") + strerror(errno));
        if (!exists) unlink(g.image.c_str());
        return kExitFail;
    }
    Image image;
    image.attach(g.image);
    int status = finish_format(image, report, g, 0, sectors);
    if (status != kExitOk && !exists) unlink(g.image.c_str());
    return status;
}

} // namespace

int cmd_format(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("format");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {{"-s", "--sectors", true}, {"-f", "--force", false}}, &a, &status))
        return status;
    if (!a.operands.empty()) return report.usage("unexpected argument " + a.operands[0]);
    uint64_t sectors = kDefaultSectors;
    const std::string *given = a.value("--sectors");
    if (given != nullptr) {
        if (!parse_count(*given, &sectors)) return report.usage("--sectors takes a whole number of sectors");
        FormatLimits limits;
        if (sectors < limits.min || sectors > limits.max)
            return report.usage(
                "--sectors must be " + range_text() +
                " (fewer clusters make a FAT12 volume for other tools; more do not fit FAT16)");
    }
    if (g.partition != 0)
        return format_partition(g, report, a.has("--force"), given != nullptr, (uint32_t)sectors);
    return format_whole(g, report, a.has("--force"), (uint32_t)sectors);
}

int cmd_info(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("info");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {}, &a, &status)) return status;
    if (!a.operands.empty()) return report.usage("unexpected argument " + a.operands[0]);
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    uint32_t capacity = 0, free_sectors = 0;
    if (fs_volume_info('C', &capacity, &free_sectors) != FS_OK) {
        report.error(g.image, library_reason());
        return kExitFail;
    }
    uint64_t files = 0, dirs = 0, bytes = 0;
    walk_tree(VolPath(), 0, report, [&](const VolPath &, const Entry &e, const WalkPos &) {
        if (e.is_dir())
            dirs++;
        else {
            files++;
            bytes += e.size;
        }
        return Step::GO;
    });
    const VolumeGeometryRecord &v = VolumeGeometry;
    printf("image            %s\n", g.image.c_str());
    if (g.partition != 0)
        printf("partition        %d (sectors %u to %u)\n", g.partition, v.partition_start,
               v.partition_start + v.total_sectors - 1);
    printf("file system      FAT16, %u-byte sectors\n", v.bytes_per_sector);
    printf("clusters         %u of %u sectors (%u bytes)\n", v.cluster_count, (unsigned)v.sectors_per_cluster,
           (unsigned)v.sectors_per_cluster * v.bytes_per_sector);
    printf("FATs             %u of %u sectors\n", (unsigned)v.fat_count, v.sectors_per_fat);
    printf("root directory   %u entries\n", v.root_entry_count);
    printf("capacity         %llu bytes (%u sectors)\n", (unsigned long long)capacity * FS_SECTOR_SIZE,
           capacity);
    printf("free             %llu bytes (%u sectors)\n", (unsigned long long)free_sectors * FS_SECTOR_SIZE,
           free_sectors);
    printf("files            %llu (%llu bytes)\n", (unsigned long long)files, (unsigned long long)bytes);
    printf("directories      %llu\n", (unsigned long long)dirs);
    image.healthy(report);
    return report.status();
}

int cmd_ls(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("ls");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {{"-l", "--long", false}}, &a, &status)) return status;
    if (a.operands.size() > 1) return report.usage("one PATH at most");
    std::string text = a.operands.empty() ? "/" : a.operands[0];
    VolPath path;
    if (!user_path(report, text, &path)) return kExitFail;
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    Lookup found = lookup(path);
    bool long_form = a.has("--long");
    if (found.kind == Lookup::FILE) {
        print_entry(found.entry, long_form);
    } else if (found.kind == Lookup::DIR) {
        std::string reason;
        std::vector<Entry> entries;
        if (!list_directory(path, found.entry.cluster, &entries, &reason)) report.error(text, reason);
        for (const Entry &e : entries) print_entry(e, long_form);
    } else {
        report.error(text, found.kind == Lookup::MISSING ? reason_text(FS_ERR_NOT_FOUND) : found.reason);
    }
    image.healthy(report);
    return report.status();
}

int cmd_tree(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("tree");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {}, &a, &status)) return status;
    if (a.operands.size() > 1) return report.usage("one PATH at most");
    std::string text = a.operands.empty() ? "/" : a.operands[0];
    VolPath top;
    if (!user_path(report, text, &top)) return kExitFail;
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    Lookup found = lookup(top);
    if (found.kind == Lookup::FILE) {
        printf("%s\n", printable(found.entry.name).c_str());
        return report.status();
    }
    if (found.kind != Lookup::DIR) {
        report.error(text, found.kind == Lookup::MISSING ? reason_text(FS_ERR_NOT_FOUND) : found.reason);
        return kExitFail;
    }
    printf("%s\n", printable(top.shown()).c_str());
    uint64_t files = 0, dirs = 0;
    std::vector<bool> last_at; // for each depth: its entry was the last of its directory
    walk_tree(top, found.entry.cluster, report, [&](const VolPath &, const Entry &e, const WalkPos &pos) {
        last_at.resize(pos.depth + 1);
        last_at[pos.depth] = pos.last;
        std::string line;
        for (size_t d = 0; d < pos.depth; d++) line += last_at[d] ? "    " : "|   ";
        line += pos.last ? "`-- " : "|-- ";
        printf("%s%s%s\n", line.c_str(), printable(e.name).c_str(), e.is_dir() ? "/" : "");
        (e.is_dir() ? dirs : files)++;
        return Step::GO;
    });
    printf("%llu directories, %llu files\n", (unsigned long long)dirs, (unsigned long long)files);
    image.healthy(report);
    return report.status();
}

int cmd_mkdir(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("mkdir");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {{"-p", "--parents", false}}, &a, &status)) return status;
    if (a.operands.empty()) return report.usage("missing PATH");
    Image image;
    if (!image.open(g, report, true)) return kExitFail;
    bool parents = a.has("--parents");
    for (const std::string &text : a.operands) {
        VolPath path;
        if (!user_path(report, text, &path)) continue;
        if (path.root()) {
            if (!parents) report.error(text, reason_text(FS_ERR_EXISTS));
            continue;
        }
        // With -p every missing directory on the way is made; an existing
        // directory is fine.
        size_t from = path.parts.size() - 1;
        if (parents) {
            Lookup whole = lookup(path);
            if (whole.kind == Lookup::DIR) continue;
            from = 0;
        }
        for (size_t i = from; i < path.parts.size(); i++) {
            VolPath step;
            step.parts.assign(path.parts.begin(), path.parts.begin() + (long)i + 1);
            if (parents) {
                Lookup here = lookup(step);
                if (here.kind == Lookup::DIR) continue;
                if (here.kind == Lookup::FILE) {
                    report.error(text, step.shown() + ": " + reason_text(FS_ERR_NOT_DIRECTORY));
                    break;
                }
            } else if (!parent_usable(path, text, report)) {
                break;
            }
            // A name typed here is stored as typed; an 8.3 one in capitals.
            std::string problem = host_name_problem(step.name(), true, true);
            if (!problem.empty()) {
                report.error(text, problem);
                break;
            }
            if (fs_mkdir(step.lib().c_str()) != FS_OK) {
                report.error(text, reason_for_name(step.name(), true));
                break;
            }
        }
        if (!image.healthy(report)) return kExitFail;
    }
    return report.status();
}

namespace {

// The frame of the commands that change each PATH... given on the volume:
// options, the image, each path parsed and its parent checked; `act` does
// the command's own work on one path. A failed transfer of the device ends
// the command.
int for_each_path(const GlobalOptions &g, const std::vector<std::string> &args, Reporter &report,
                  const std::string &root_reason,
                  const std::function<void(const std::string &, const VolPath &)> &act) {
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {}, &a, &status)) return status;
    if (a.operands.empty()) return report.usage("missing PATH");
    Image image;
    if (!image.open(g, report, true)) return kExitFail;
    for (const std::string &text : a.operands) {
        VolPath path;
        if (!user_path(report, text, &path)) continue;
        if (path.root()) {
            report.error(text, root_reason);
            continue;
        }
        if (!parent_usable(path, text, report)) continue;
        act(text, path);
        if (!image.healthy(report)) return kExitFail;
    }
    return report.status();
}

} // namespace

int cmd_rmdir(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("rmdir");
    return for_each_path(g, args, report, "the root directory cannot be removed",
                         [&](const std::string &text, const VolPath &path) {
                             Lookup found = lookup(path);
                             if (found.kind != Lookup::DIR) {
                                 report.error(text,
                                              found.kind == Lookup::FILE ? reason_text(FS_ERR_NOT_DIRECTORY)
                                              : found.kind == Lookup::MISSING ? reason_text(FS_ERR_NOT_FOUND)
                                                                              : found.reason);
                                 return;
                             }
                             // The library keeps the current directory and those
                             // above it; the tool has none of its own.
                             fs_chdir("C:\\", 0);
                             if (fs_rmdir(path.lib().c_str()) != FS_OK)
                                 report.error(text, reason_for_name(path.name(), true));
                         });
}

int cmd_rm(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("rm");
    return for_each_path(g, args, report, reason_text(FS_ERR_IS_DIRECTORY),
                         [&](const std::string &text, const VolPath &path) {
                             if (fs_delete_file(path.lib().c_str()) == FS_OK) return;
                             std::string reason = reason_for_name(path.name(), false);
                             if (fs_last_error() == FS_ERR_IS_DIRECTORY)
                                 reason += " (rmdir removes an empty directory)";
                             report.error(text, reason);
                         });
}

int cmd_mv(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("mv");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {}, &a, &status)) return status;
    if (a.operands.size() != 2) return report.usage("needs PATH and NEWNAME");
    const std::string &text = a.operands[0];
    const std::string &new_name = a.operands[1];
    VolPath path;
    if (!user_path(report, text, &path)) return kExitFail;
    if (new_name.find_first_of("/\\") != std::string::npos) {
        report.error(new_name, "invalid name (NEWNAME is a name in the same directory, not a path)");
        return kExitFail;
    }
    // The library stores a new name in capitals, as the help says.
    std::string problem = host_name_problem(new_name, false, true);
    if (!problem.empty()) {
        report.error(new_name, problem);
        return kExitFail;
    }
    if (path.root()) {
        report.error(text, reason_text(FS_ERR_IS_DIRECTORY));
        return kExitFail;
    }
    Image image;
    if (!image.open(g, report, true)) return kExitFail;
    if (!parent_usable(path, text, report)) return kExitFail;
    if (fs_rename(path.lib().c_str(), new_name.c_str()) != FS_OK) {
        FsError e = fs_last_error();
        std::string reason = reason_for_name(new_name, false);
        if (e == FS_ERR_IS_DIRECTORY) reason += " (the library renames files only)";
        report.error(e == FS_ERR_INVALID_NAME || e == FS_ERR_EXISTS ? new_name : text, reason);
    }
    image.healthy(report);
    return report.status();
}

int cmd_cat(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("cat");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {}, &a, &status)) return status;
    if (a.operands.empty()) return report.usage("missing PATH");
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    std::vector<uint8_t> buffer(1 << 20);
    for (const std::string &text : a.operands) {
        VolPath path;
        if (!user_path(report, text, &path)) continue;
        Lookup found = lookup(path);
        if (found.kind != Lookup::FILE) {
            report.error(text, found.kind == Lookup::DIR       ? reason_text(FS_ERR_IS_DIRECTORY)
                               : found.kind == Lookup::MISSING ? reason_text(FS_ERR_NOT_FOUND)
                                                               : found.reason);
            continue;
        }
        uint8_t h = fs_open(path.lib().c_str());
        if (h == FS_FAIL) {
            report.error(text, "cannot be read: " + reason_for_name(path.name(), false));
            continue;
        }
        uint32_t size = fs_file_size(h), done = 0;
        bool out_ok = true;
        while (done < size) {
            uint32_t n = fs_read(h, buffer.data(), (uint32_t)buffer.size());
            if (n == 0) break;
            for (uint32_t at = 0; at < n && out_ok;) {
                ssize_t w = write(STDOUT_FILENO, buffer.data() + at, n - at);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0)
                    out_ok = false;
                else
                    at += (uint32_t)w;
            }
            if (!out_ok) break;
            done += n;
        }
        fs_close(h);
        if (!out_ok) {
            report.error("standard output", strerror(errno));
            return kExitFail;
        }
        if (done < size) {
            bool io = disk_take_error() != FS_OK;
            report.error(text, "read " + std::to_string(done) + " of " + std::to_string(size) + " bytes: " +
                                   (io ? reason_text(FS_ERR_IO)
                                       : "damaged volume (the file's clusters end before its size)"));
        }
        if (!image.healthy(report)) return kExitFail;
    }
    return report.status();
}

int cmd_check(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("check");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {}, &a, &status)) return status;
    if (!a.operands.empty()) return report.usage("unexpected argument " + a.operands[0]);
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    static FsCheckReport result; // large: kept out of the stack
    memset(&result, 0, sizeof result);
    std::vector<uint8_t> work(fs_check_work_size());
    FsStatus clean = fs_check(&result, work.data(), (uint32_t)work.size());
    // Every sector the check could not read is one of the problems listed
    // below; the device's record of those failures adds nothing to them.
    disk_take_error();
    uint32_t listed =
        result.problem_count < FS_CHECK_MAX_PROBLEMS ? result.problem_count : FS_CHECK_MAX_PROBLEMS;
    for (uint32_t i = 0; i < listed; i++) {
        const FsProblem &p = result.problems[i];
        std::string line = fs_check_problem_text(p.kind);
        if (p.path[0] != '\0') line += ": " + printable(p.path);
        bool about_sector =
            p.kind == FS_PROBLEM_IO || p.kind == FS_PROBLEM_SHORT_IMAGE || p.kind == FS_PROBLEM_FAT_HEAD;
        if (about_sector)
            line += " (sector " + std::to_string(p.cluster) + ")";
        else if (p.cluster != 0)
            line += " (cluster " + std::to_string(p.cluster) + ")";
        if (p.count > 1) line += " (" + std::to_string(p.count) + ")";
        printf("%s\n", line.c_str());
    }
    if (result.problem_count > listed) printf("... and %u more\n", result.problem_count - listed);
    if (clean == FS_OK && result.problem_count == 0) {
        printf("%s: clean: %u files, %u directories, %u clusters used, %u free\n", g.image.c_str(),
               result.files, result.directories, result.used_clusters, result.free_clusters);
    } else {
        report.error(g.image, std::to_string(result.problem_count) +
                                  (result.problem_count == 1 ? " problem found" : " problems found"));
    }
    return report.status();
}

} // namespace fat16tool
