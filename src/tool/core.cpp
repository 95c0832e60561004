// Messages, paths on the volume, opening and mounting the image, directory
// listings with the names as stored, lookups and the tree walk.
#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <cstdio>
#include <set>

#include "tool.h"

namespace fat16tool {

namespace {

std::string sector_size_text(uint32_t size) {
    return "the volume has sectors of " + std::to_string(size) +
           " bytes; sectors of that size are not supported (only 512-byte sectors)";
}

std::string explain_mount_failure(const GlobalOptions &g) {
    if (fs_last_error() == FS_ERR_IO)
        return "cannot read its first sector (host I/O error, or the file is empty)";
    uint32_t detail = 0;
    if (g.partition != 0) {
        FsPartition p;
        std::string reason;
        if (!read_partition(g.partition, &p, &reason)) return reason;
        if (!fs_partition_type_fat16(p.type)) {
            char text[160];
            snprintf(text, sizeof text,
                     "partition %d has type 0x%02X; only FAT16 partitions (types 0x04, 0x06, 0x0E) are used",
                     g.partition, p.type);
            return text;
        }
        if (fs_probe(p.first_sector, &detail) == FS_PROBE_SECTOR_SIZE) return sector_size_text(detail);
        return "partition " + std::to_string(g.partition) +
               " holds no FAT16 volume this library can use (format it with 'fat16 -p " +
               std::to_string(g.partition) + " format')";
    }
    switch (fs_probe(0, &detail)) {
    case FS_PROBE_UNREADABLE: return "cannot read its first sector (host I/O error, or the file is empty)";
    case FS_PROBE_BLANK: return "the image holds no volume (make one with 'fat16 format')";
    case FS_PROBE_PARTITION_TABLE: return "the image holds a partition table: choose a partition with -p N";
    case FS_PROBE_SECTOR_SIZE: return sector_size_text(detail);
    case FS_PROBE_UNSUPPORTED_FAT:
        return "no FAT16 volume this library can use (a FAT12 or FAT32 volume, or a damaged one)";
    default: return "no FAT16 volume this library can use (damaged volume)";
    }
}

} // namespace

void Reporter::error(const std::string &subject, const std::string &reason) {
    failed_ = true;
    if (subject.empty())
        fprintf(stderr, "fat16: %s: %s\n", command_.c_str(), reason.c_str());
    else
        fprintf(stderr, "fat16: %s: %s: %s\n", command_.c_str(), printable(subject).c_str(), reason.c_str());
}

void Reporter::warning(const std::string &subject, const std::string &reason) {
    fprintf(stderr, "fat16: %s: warning: %s: %s\n", command_.c_str(), printable(subject).c_str(),
            reason.c_str());
}

int Reporter::usage(const std::string &message) {
    fprintf(stderr, "fat16: %s: %s\nTry 'fat16 %s --help'.\n", command_.c_str(), message.c_str(),
            command_.c_str());
    return kExitUsage;
}

std::string reason_text(FsError error) { return fs_strerror(error); }

std::string library_reason() { return reason_text(fs_last_error()); }

bool fatal_error(FsError error) {
    return error == FS_ERR_NO_SPACE || error == FS_ERR_IO || error == FS_ERR_DAMAGED ||
           error == FS_ERR_NOT_MOUNTED;
}

std::string printable(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += (char)c;
        }
    }
    return out;
}

std::string VolPath::lib() const {
    std::string out = "C:\\";
    for (size_t i = 0; i < parts.size(); i++) {
        if (i > 0) out += '\\';
        out += parts[i];
    }
    return out;
}

std::string VolPath::shown() const {
    if (parts.empty()) return "/";
    std::string out;
    for (const std::string &p : parts) out += "/" + p;
    return out;
}

VolPath VolPath::child(const std::string &name) const {
    VolPath out = *this;
    out.parts.push_back(name);
    return out;
}

VolPath VolPath::parent() const {
    VolPath out = *this;
    if (!out.parts.empty()) out.parts.pop_back();
    return out;
}

bool parse_vol_path(const std::string &text, VolPath *out, std::string *reason) {
    out->parts.clear();
    size_t at = 0;
    if (text.size() >= 2 && text[1] == ':' &&
        ((text[0] >= 'A' && text[0] <= 'Z') || (text[0] >= 'a' && text[0] <= 'z'))) {
        if (text[0] != 'C' && text[0] != 'c') {
            *reason = "no such drive (the image's volume is C:)";
            return false;
        }
        at = 2;
    }
    while (at <= text.size()) {
        size_t end = text.find_first_of("/\\", at);
        if (end == std::string::npos) end = text.size();
        std::string part = text.substr(at, end - at);
        if (part == "..") {
            if (!out->parts.empty()) out->parts.pop_back();
        } else if (!part.empty() && part != ".") {
            out->parts.push_back(part);
        }
        at = end + 1;
    }
    return true;
}

bool read_partition(int number, FsPartition *out, std::string *reason) {
    if (fs_read_partition((uint8_t)number, out) == FS_OK) return true;
    switch (fs_last_error()) {
    case FS_ERR_IO: *reason = "cannot read the partition table (host I/O error, or the file is empty)"; break;
    case FS_ERR_NOT_FOUND: *reason = "partition " + std::to_string(number) + " does not exist"; break;
    default:
        *reason =
            fs_probe(0, nullptr) == FS_PROBE_FAT16
                ? "the image holds one volume from its first sector, not a partition table (leave out -p)"
                : "the image holds no partition table";
    }
    return false;
}

bool Image::open(const GlobalOptions &g, Reporter &report, bool for_writing) {
    path_ = g.image;
    struct stat st;
    if (stat(path_.c_str(), &st) != 0) {
        std::string reason = std::string("cannot open the image: ") + strerror(errno);
        if (errno == ENOENT) reason += " (make one with 'fat16 format')";
        report.error(path_, reason);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        report.error(path_, "cannot open the image: not a regular file");
        return false;
    }
    if (disk_open_image_path(path_.c_str(), 0) != FS_OK) {
        report.error(path_, std::string("cannot open the image: ") + strerror(errno));
        return false;
    }
    open_ = true;
    if (for_writing && disk_read_only()) {
        report.error(path_, "the image is read-only");
        return false;
    }
    FsStatus mounted = fs_init();
    if (g.partition != 0) mounted = fs_mount_partition(0, (uint8_t)g.partition);
    if (mounted != FS_OK) {
        report.error(path_, explain_mount_failure(g));
        return false;
    }
    return true;
}

Image::~Image() {
    if (open_) disk_close_image();
}

bool Image::healthy(Reporter &report) {
    if (disk_take_error() == FS_OK) return true;
    report.error(path_, "a sector transfer to or from the image failed (host I/O error)");
    return false;
}

bool reach_directory(const VolPath &dir, uint32_t cluster, std::string *reason) {
    const std::string lib = dir.lib();
    FsEntry e;
    if (fs_stat(lib.c_str(), &e) != FS_OK) {
        FsError error = fs_last_error();
        *reason = reason_text(error);
        if (error == FS_ERR_INVALID_NAME || error == FS_ERR_NOT_FOUND) {
            std::string hint = dir.root() ? "" : name_rule_hint(dir.name(), true);
            if (!hint.empty()) *reason = "the library cannot look it up: " + *reason + " (" + hint + ")";
        }
        return false;
    }
    if (!(e.attr & ATTR_DIRECTORY) || e.first_cluster != cluster) {
        *reason = "the library's lookup of this name leads to another directory";
        std::string hint = dir.root() ? "" : name_rule_hint(dir.name(), true);
        if (!hint.empty()) *reason += " (" + hint + ")";
        return false;
    }
    return true;
}

bool list_directory(const VolPath &dir, uint32_t cluster, std::vector<Entry> *out, std::string *reason) {
    out->clear();
    // The library's lookup of the path must lead to the very directory
    // listed (names with a '.' may lead it to another one).
    if (!reach_directory(dir, cluster, reason)) return false;
    const std::string lib = dir.lib();
    FsEntry e;
    for (uint8_t more = 0; fs_list_entries(lib.c_str(), more, &e) == FS_OK; more = 1) {
        Entry entry;
        entry.name = e.name;
        entry.attr = e.attr;
        entry.size = e.size;
        entry.cluster = e.first_cluster;
        out->push_back(entry);
    }
    if (fs_last_error() != FS_ERR_NONE) {
        *reason = library_reason();
        return false;
    }
    return true;
}

Lookup lookup(const VolPath &path) {
    Lookup result;
    if (path.root()) {
        result.kind = Lookup::DIR;
        result.entry.attr = ATTR_DIRECTORY;
        return result;
    }
    VolPath at;
    uint32_t cluster = 0;
    for (size_t i = 0; i < path.parts.size(); i++) {
        std::string reason;
        std::vector<Entry> entries;
        if (!list_directory(at, cluster, &entries, &reason)) {
            result.reason = at.shown() + ": " + reason;
            return result;
        }
        const Entry *found = nullptr;
        for (const Entry &e : entries) {
            if (str_equal_nocase(e.name.c_str(), path.parts[i].c_str())) {
                found = &e;
                break;
            }
        }
        bool last = i + 1 == path.parts.size();
        if (found == nullptr) {
            if (last) {
                result.kind = Lookup::MISSING;
            } else {
                result.reason = reason_text(FS_ERR_NOT_FOUND);
                result.parent_missing = true;
            }
            return result;
        }
        if (last) {
            result.kind = found->is_dir() ? Lookup::DIR : Lookup::FILE;
            result.entry = *found;
            // A directory counts only when the library's lookup of the path
            // reaches it, so that operations on the path act on it.
            if (found->is_dir() && !reach_directory(path, found->cluster, &reason)) {
                result.kind = Lookup::FAILED;
                result.reason = "cannot be used: " + reason;
            }
            return result;
        }
        if (!found->is_dir()) {
            result.reason = reason_text(FS_ERR_NOT_DIRECTORY);
            return result;
        }
        at = at.child(found->name);
        cluster = found->cluster;
    }
    return result;
}

// The library's reason for the last failure, with a hint about the name
// rules when it refused a name.
std::string reason_for_name(const std::string &name, bool is_dir) {
    FsError e = fs_last_error();
    std::string reason = reason_text(e);
    if (e == FS_ERR_INVALID_NAME) {
        std::string hint = name_rule_hint(name, is_dir);
        if (!hint.empty()) reason += " (" + hint + ")";
    }
    return reason;
}

bool parent_usable(const VolPath &path, const std::string &shown, Reporter &report) {
    if (path.root()) return true;
    Lookup parent = lookup(path.parent());
    switch (parent.kind) {
    case Lookup::DIR: return true;
    case Lookup::FILE: report.error(shown, "parent is not a directory"); return false;
    case Lookup::MISSING: report.error(shown, reason_text(FS_ERR_NO_PARENT)); return false;
    default:
        report.error(shown, parent.parent_missing ? reason_text(FS_ERR_NO_PARENT) : parent.reason);
        return false;
    }
}

namespace {

struct Walker {
    Reporter &report;
    const Visitor &visit;
    std::set<uint32_t> entered;

    // False when the visitor asked to stop.
    bool walk(const VolPath &dir, uint32_t cluster, size_t depth) {
        std::string reason;
        std::vector<Entry> entries;
        if (!list_directory(dir, cluster, &entries, &reason)) {
            report.error(dir.shown(), "cannot be read: " + reason);
            return !fatal_error(fs_last_error());
        }
        for (size_t i = 0; i < entries.size(); i++) {
            const Entry &e = entries[i];
            VolPath path = dir.child(e.name);
            WalkPos pos{depth, i + 1 == entries.size()};
            Step step = visit(path, e, pos);
            if (step == Step::STOP) return false;
            if (step == Step::SKIP || !e.is_dir()) continue;
            if (!fat_cluster_valid(e.cluster) || entered.count(e.cluster) != 0) {
                report.error(path.shown(), "not entered: it names no directory of its own (damaged volume)");
                continue;
            }
            entered.insert(e.cluster);
            if (!walk(path, e.cluster, depth + 1)) return false;
        }
        return true;
    }
};

} // namespace

bool walk_tree(const VolPath &top, uint32_t top_cluster, Reporter &report, const Visitor &visit) {
    Walker walker{report, visit, {}};
    walker.entered.insert(top_cluster);
    return walker.walk(top, top_cluster, 0);
}

} // namespace fat16tool
