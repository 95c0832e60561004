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

bool same_ignoring_case(const std::string &a, const std::string &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = (char)(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = (char)(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

// One part of an 8.3 slot up to its first space, as the library reads it,
// in small letters when the slot's case flag says so.
std::string short_part(const uint8_t *from, size_t width, bool lower) {
    std::string out;
    for (size_t i = 0; i < width && from[i] != ' '; i++) {
        char c = (char)from[i];
        if (lower && c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
        out += c;
    }
    return out;
}

// Flags other FAT tools keep in byte 12 of an 8.3 slot: the name part, or
// the extension, is in small letters.
const uint8_t kLowerBase = 0x08;
const uint8_t kLowerExt = 0x10;

// The name of the entry fs_list_dir returned last. `listed` is the name the
// library put in the path; the entry's own slots give the name as stored.
std::string stored_name(const std::string &listed, uint8_t attr) {
    if (listed.empty()) return listed;
    const char *long_name = dir_last_long_name();
    // The library leaves the part after a '.' out of a directory's name.
    if (long_name[0] != '\0') return (attr & ATTR_DIRECTORY) ? std::string(long_name) : listed;
    const uint8_t *slot = dir_last_short_entry();
    std::string base = short_part(slot + DIR_NAME, 8, (slot[12] & kLowerBase) != 0);
    std::string ext = short_part(slot + DIR_EXT, 3, (slot[12] & kLowerExt) != 0);
    std::string text = ext.empty() ? base : base + "." + ext;
    if (same_ignoring_case(text, listed) || (attr & ATTR_DIRECTORY)) return text;
    return listed;
}

// Reads sector 0 for the messages that explain a failed mount.
bool read_sector_zero(uint8_t *sector) { return disk_read_sector(sector, 0) == FS_OK; }

bool has_signature(const uint8_t *s) { return s[510] == 0x55 && s[511] == 0xAA; }

bool all_zero(const uint8_t *s) {
    for (size_t i = 0; i < SECTOR_SIZE; i++)
        if (s[i] != 0) return false;
    return true;
}

std::string explain_mount_failure(const GlobalOptions &g) {
    uint8_t sector[SECTOR_SIZE];
    if (fs_last_error() == FS_ERR_IO || !read_sector_zero(sector))
        return "cannot read its first sector (host I/O error, or the file is empty)";
    if (g.partition != 0) {
        Partition p;
        std::string reason;
        if (!read_partition(g.partition, &p, &reason)) return reason;
        if (!fat16_partition_type(p.type)) {
            char text[160];
            snprintf(text, sizeof text,
                     "partition %d has type 0x%02X; only FAT16 partitions (types 0x04, 0x06, 0x0E) are used",
                     g.partition, p.type);
            return text;
        }
        return "partition " + std::to_string(g.partition) +
               " holds no FAT16 volume this library can use (format it with 'fat16 -p " +
               std::to_string(g.partition) + " format')";
    }
    if (all_zero(sector)) return "the image holds no volume (make one with 'fat16 format')";
    if (has_signature(sector) && !fs_boot_sector_valid(sector))
        return "the image holds a partition table: choose a partition with -p N";
    return "no FAT16 volume this library can use (damaged volume)";
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

bool fat16_partition_type(uint8_t type) { return type == 0x04 || type == 0x06 || type == 0x0E; }

bool read_partition(int number, Partition *out, std::string *reason) {
    uint8_t sector[SECTOR_SIZE];
    if (!read_sector_zero(sector)) {
        *reason = "cannot read the partition table (host I/O error, or the file is empty)";
        return false;
    }
    if (!has_signature(sector)) {
        *reason = "the image holds no partition table";
        return false;
    }
    bool jump = (sector[0] == 0xEB && sector[2] == 0x90) || sector[0] == 0xE9;
    if (jump && fs_boot_sector_valid(sector)) {
        *reason = "the image holds one volume from its first sector, not a partition table (leave out -p)";
        return false;
    }
    const uint8_t *entry = sector + 446 + 16 * (number - 1);
    out->type = entry[4];
    out->first = le_get(entry + 8, 4);
    out->count = le_get(entry + 12, 4);
    if (out->type == 0 || out->count == 0) {
        *reason = "partition " + std::to_string(number) + " does not exist";
        return false;
    }
    return true;
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

bool list_entered(std::vector<Entry> *out, FsError *error) {
    out->clear();
    char path[FS_OUT_PATH_SIZE + 16];
    uint8_t attr = 0;
    for (uint8_t more = 0;; more = 1) {
        // Where the name starts in the returned path: after the current
        // directory's path and a separator.
        size_t prefix = strlen(CurrentDir.path);
        if (prefix == 0 || CurrentDir.path[prefix - 1] != '\\') prefix++;
        if (fs_list_dir(path, more, &attr) != FS_OK) break;
        if (attr & ATTR_VOLUME_ID) continue; // a volume label names no file
        std::string listed = strlen(path) > prefix ? std::string(path + prefix) : std::string();
        const uint8_t *slot = dir_last_short_entry();
        Entry e;
        e.attr = attr;
        e.name = stored_name(listed, attr);
        e.cluster = le_get(slot + DIR_FIRST_CLUSTER, 2);
        e.size = e.is_dir() ? 0 : le_get(slot + DIR_SIZE, 4);
        out->push_back(e);
    }
    *error = fs_last_error();
    return *error == FS_ERR_NONE;
}

bool enter_directory(const VolPath &dir, uint32_t cluster, std::string *reason) {
    std::string lib = dir.lib();
    if (fs_chdir(lib.c_str(), 0) != FS_OK) {
        FsError e = fs_last_error();
        *reason = reason_text(e);
        if (e == FS_ERR_INVALID_NAME || e == FS_ERR_NOT_FOUND) {
            std::string hint = dir.root() ? "" : name_rule_hint(dir.name(), true);
            if (!hint.empty()) *reason = "the library cannot look it up: " + *reason + " (" + hint + ")";
        }
        return false;
    }
    uint32_t reached = CurrentDir.in_subdir ? CurrentDir.first_cluster : 0;
    if (reached != cluster) {
        *reason = "the library's lookup of this name leads to another directory";
        std::string hint = dir.root() ? "" : name_rule_hint(dir.name(), true);
        if (!hint.empty()) *reason += " (" + hint + ")";
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
        if (!enter_directory(at, cluster, &reason)) {
            result.reason = at.shown() + ": " + reason;
            return result;
        }
        std::vector<Entry> entries;
        FsError error = FS_ERR_NONE;
        if (!list_entered(&entries, &error)) {
            result.reason = at.shown() + ": " + reason_text(error);
            return result;
        }
        const Entry *found = nullptr;
        for (const Entry &e : entries) {
            if (same_ignoring_case(e.name, path.parts[i])) {
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
            if (found->is_dir() && !enter_directory(path, found->cluster, &reason)) {
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
        if (!enter_directory(dir, cluster, &reason)) {
            report.error(dir.shown(), "cannot be read: " + reason);
            return true;
        }
        std::vector<Entry> entries;
        FsError error = FS_ERR_NONE;
        if (!list_entered(&entries, &error)) {
            report.error(dir.shown(), "cannot be listed: " + reason_text(error));
            return !fatal_error(error);
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
