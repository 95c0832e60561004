// Messages, paths on the volume, opening and mounting the image, directory
// listings with the names as stored, lookups, wildcards and the tree walk.
#include <errno.h>

#include <cstdio>
#include <set>
#include <unordered_set>

#include "tool.h"

namespace fat16tool {

namespace {

std::string sector_size_text(uint32_t size) {
    return "the volume has sectors of " + std::to_string(size) +
           " bytes; sectors of that size are not supported (only 512-byte sectors)";
}

// The file system another system put at `sector`, named ("the image holds
// a FAT32 volume (...)"); empty when none but FAT16 is recognised there.
std::string other_file_system(uint32_t sector, const std::string &where) {
    const char *name = fs_probe_file_system(sector);
    disk_take_error(); // a look past the end of a short image is no failure
    if (name == nullptr) return "";
    std::string kind = name;
    if (kind == "FAT16") return "";
    bool fat = kind.compare(0, 3, "FAT") == 0;
    std::string text = where + " holds " + (fat ? "a " : "an ") + kind + " volume";
    if (fat) return text + " (this tool reads and writes FAT16 volumes only)";
    return text + ", not a FAT volume";
}

// What sector `sector` holds, for a volume that did not mount there;
// `where` names the place ("partition 1", "offset 1048576").
std::string explain_probe(uint32_t sector, const std::string &where, const std::string &format_hint) {
    uint32_t detail = 0;
    std::string other = other_file_system(sector, where);
    if (!other.empty()) return other;
    switch (fs_probe(sector, &detail)) {
    case FS_PROBE_UNREADABLE:
        return "cannot read the first sector of " + where +
               " (past the end of the image, or a host I/O error)";
    case FS_PROBE_BLANK: return where + " holds no volume (make one with '" + format_hint + "')";
    case FS_PROBE_PARTITION_TABLE: return where + " holds a partition table, not a volume";
    case FS_PROBE_SECTOR_SIZE: return sector_size_text(detail);
    case FS_PROBE_UNSUPPORTED_FAT:
        return where +
               " holds no FAT16 volume this library can use (a FAT12 or FAT32 volume, or a damaged one)";
    case FS_PROBE_FAT16: return where + " holds a FAT16 volume larger than the space it has (damaged)";
    default: return where + " holds no volume (not a file system this tool knows)";
    }
}

std::string explain_mount_failure(const GlobalOptions &g) {
    if (g.partition != 0) {
        FsPartition p;
        std::string reason;
        if (!read_partition(g.partition, &p, &reason)) return reason;
        std::string where = "partition " + std::to_string(g.partition) + " (" + partition_kind(p) + ")";
        return explain_probe(p.first_sector, where, "fat16 -p " + std::to_string(g.partition) + " format");
    }
    if (g.offset_given && g.offset != 0) {
        std::string where = "offset " + std::to_string(g.offset);
        return explain_probe((uint32_t)(g.offset / FS_SECTOR_SIZE), where,
                             "fat16 --offset " + std::to_string(g.offset) + " format");
    }
    uint32_t detail = 0;
    std::string other = other_file_system(0, "the image");
    if (!other.empty()) return other;
    switch (fs_probe(0, &detail)) {
    case FS_PROBE_UNREADABLE: return "cannot read its first sector (host I/O error, or the file is empty)";
    case FS_PROBE_BLANK: return "the image holds no volume (make one with 'fat16 format')";
    case FS_PROBE_PARTITION_TABLE: return "the image holds a partition table: choose a partition with -p N";
    case FS_PROBE_SECTOR_SIZE: return sector_size_text(detail);
    case FS_PROBE_UNSUPPORTED_FAT: return "no FAT16 volume this library can use (a damaged FAT boot sector)";
    case FS_PROBE_OTHER: return "not a volume (the image holds data of no file system this tool knows)";
    default: return "no FAT16 volume this library can use (damaged volume)";
    }
}

} // namespace

void Reporter::error(const std::string &subject, const std::string &reason) {
    failed_ = true;
    if (silent_) return;
    if (subject.empty())
        fprintf(stderr, "fat16: %s: %s\n", command_.c_str(), reason.c_str());
    else
        fprintf(stderr, "fat16: %s: %s: %s\n", command_.c_str(), printable(subject).c_str(), reason.c_str());
}

void Reporter::warning(const std::string &subject, const std::string &reason) {
    if (silent_) return;
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
    return error == FS_ERR_IO || error == FS_ERR_DAMAGED || error == FS_ERR_NOT_MOUNTED;
}

std::string printable(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = (unsigned char)text[i];
        char hex[8];
        if (c < 0x20 || c == 0x7F) {
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else if (c == 0xC2 && i + 1 < text.size() && (unsigned char)text[i + 1] >= 0x80 &&
                   (unsigned char)text[i + 1] <= 0x9F) {
            // U+0080 to U+009F: C1 controls, which some terminals act on.
            snprintf(hex, sizeof hex, "\\u%04X", (unsigned char)text[++i]);
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
    out->dir_form = false;
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
    out->dir_form = !out->parts.empty() && !text.empty() && (text.back() == '/' || text.back() == '\\');
    return true;
}

bool read_partition(int number, FsPartition *out, std::string *reason) {
    if (fs_read_partition((uint8_t)number, out) == FS_OK) return true;
    switch (fs_last_error()) {
    case FS_ERR_IO: *reason = "cannot read the partition table (host I/O error, or the file is empty)"; break;
    case FS_ERR_NOT_FOUND: *reason = "partition " + std::to_string(number) + " does not exist"; break;
    case FS_ERR_INVALID_ARGUMENT:
        *reason = "partition " + std::to_string(number) + " does not exist (the table has fewer entries)";
        break;
    default:
        switch (fs_probe(0, nullptr)) {
        case FS_PROBE_FAT16:
            *reason =
                "the image holds one volume from its first sector, not a partition table (leave out -p)";
            break;
        case FS_PROBE_PARTITION_TABLE: *reason = "the partition table is damaged (an unusable GPT)"; break;
        default: *reason = "the image holds no partition table";
        }
    }
    return false;
}

std::string partition_kind(const FsPartition &p) {
    if (p.gpt) return "GPT partition";
    char text[32];
    snprintf(text, sizeof text, "type 0x%02X", p.type);
    return text;
}

FsStatus mount_volume(const GlobalOptions &g, uint64_t image_sectors) {
    FsStatus mounted = fs_init();
    if (g.partition != 0) {
        mounted = fs_mount_partition(0, (uint8_t)g.partition);
    } else if (g.offset_given && g.offset != 0) {
        uint32_t first = (uint32_t)(g.offset / FS_SECTOR_SIZE);
        uint64_t room = image_sectors > first ? image_sectors - first : 1;
        mounted = fs_mount_at(0, first, room > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)room);
    }
    // Names go onto the volume exactly as given, and new entries get times.
    // File data waits in RAM until each file is closed (write-back): a copy
    // moves each sector once, and every command closes what it opened.
    // Paths may be of any length, as other tools write trees of any depth.
    fs_set_options(FS_OPT_KEEP_CASE | FS_OPT_WRITE_BACK | FS_OPT_LONG_PATHS);
    install_clock();
    return mounted;
}

bool open_image_file(const std::string &path) {
    std::string device_path;
    return host_image_path(path, &device_path) && disk_open_image_path(device_path.c_str(), 0) == FS_OK;
}

bool open_image_fixed(const std::string &path, bool writing) {
    std::string device_path;
    uint32_t flags = FS_IMAGE_FIXED_SIZE | FS_IMAGE_DEVICES | (writing ? 0u : FS_IMAGE_READ_ONLY);
    return host_image_path(path, &device_path) && disk_open_image_file(device_path.c_str(), flags) == FS_OK;
}

bool device_writable(const GlobalOptions &g, const std::string &path, Reporter &report) {
    if (g.force) return true;
    std::string where = host_device_mounted(path);
    if (where.empty()) return true;
    report.error(path, "is mounted on " + printable(where) +
                           " (unmount it first; 'fat16 --force' writes to it anyway, which can damage it)");
    return false;
}

std::string short_image_text() {
    uint64_t needed =
        ((uint64_t)VolumeGeometry.partition_start + VolumeGeometry.total_sectors) * FS_SECTOR_SIZE;
    uint64_t has = disk_image_bytes();
    if (needed <= has) return "";
    return "the volume needs " + std::to_string(needed) + " bytes, the " +
           (disk_image_is_device() ? "device" : "image") + " has " + std::to_string(has);
}

bool Image::open(const GlobalOptions &g, Reporter &report, bool for_writing) {
    path_ = g.image;
    HostStat st;
    if (!host_stat(path_, &st)) {
        std::string reason = "cannot open the image: " + host_error_text(errno);
        if (errno == ENOENT) reason += " (make one with 'fat16 format')";
        report.error(path_, reason);
        return false;
    }
    if (st.kind != HostStat::FILE && !st.block_device) {
        report.error(path_, "cannot open the image: not a regular file or block device");
        return false;
    }
    if (st.block_device && for_writing && !device_writable(g, path_, report)) return false;
    if (!open_image_fixed(path_, for_writing)) {
        report.error(path_, "cannot open the image: " + host_error_text(errno));
        return false;
    }
    open_ = true;
    if (for_writing && disk_read_only()) {
        report.error(path_, std::string("the ") + (st.block_device ? "device" : "image") + " is read-only");
        return false;
    }
    if (mount_volume(g, disk_image_bytes() / FS_SECTOR_SIZE) != FS_OK) {
        report.error(path_, fs_last_error() == FS_ERR_IO && g.partition == 0 && !g.offset_given
                                ? "cannot read its first sector (host I/O error, or the file is empty)"
                                : explain_mount_failure(g));
        return false;
    }
    // A volume cut short: reading goes on where the sectors are, writing
    // would have to grow the image, so it is refused.
    std::string cut = short_image_text();
    if (!cut.empty()) {
        if (for_writing) {
            report.error(path_, cut + " (the image is cut short; nothing is written to it)");
            return false;
        }
        report.warning(path_, cut + " (the image is cut short; what lies past its end cannot be read)");
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

namespace {

Entry entry_of(const FsEntry &e) {
    Entry out;
    out.name = e.name;
    out.short_name = e.short_name;
    out.attr = e.attr;
    out.size = e.size;
    out.cluster = e.first_cluster;
    out.created = e.created;
    out.modified = e.modified;
    out.accessed = e.accessed;
    return out;
}

// True when the entry carries `component` as its whole name: its long name
// or its 8.3 name, without regard to case.
bool named_by(const FsEntry &e, const std::string &component) {
    return str_equal_nocase(e.name, component.c_str()) ||
           (e.short_name[0] != '\0' && str_equal_nocase(e.short_name, component.c_str()));
}

const char kOtherDirectory[] = "the library's lookup of this name leads to another directory";

} // namespace

bool reach_directory(const VolPath &dir, uint32_t cluster, std::string *reason) {
    const std::string lib = dir.lib();
    FsEntry e;
    if (fs_stat(lib.c_str(), &e) != FS_OK) {
        *reason = library_reason();
        return false;
    }
    if (!(e.attr & ATTR_DIRECTORY) || e.first_cluster != cluster ||
        (!dir.root() && !named_by(e, dir.name()))) {
        *reason = kOtherDirectory;
        return false;
    }
    return true;
}

bool list_directory(const VolPath &dir, uint32_t cluster, std::vector<Entry> *out, std::string *reason) {
    out->clear();
    // The library's lookup of the path must lead to the very directory listed.
    if (!reach_directory(dir, cluster, reason)) return false;
    const std::string lib = dir.lib();
    FsEntry e;
    // The library finds the first entry whose long or 8.3 name matches a
    // component: an entry is reachable by its name when no entry before it
    // carries that name too.
    std::unordered_set<std::string> taken;
    for (uint8_t more = 0; fs_list_entries(lib.c_str(), more, &e) == FS_OK; more = 1) {
        Entry entry = entry_of(e);
        const std::string &n = entry.name;
        std::string key = fold_name(n);
        entry.reachable = !n.empty() && n.back() != '.' && n.back() != ' ' &&
                          n.find('\\') == std::string::npos && taken.count(key) == 0;
        taken.insert(key);
        if (!entry.short_name.empty()) taken.insert(fold_name(entry.short_name));
        out->push_back(std::move(entry));
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
    const std::string lib = path.lib();
    FsEntry e;
    FsStatus status = fs_stat(lib.c_str(), &e);
    FsError error = fs_last_error();
    if (status == FS_OK) {
        // The library's lookups match whole names, except that a component
        // with a '.' that names no directory may lead into the directory its
        // part before the '.' names: such a match is no match.
        bool whole = named_by(e, path.name());
        for (size_t i = 0; whole && i + 1 < path.parts.size(); i++) {
            if (path.parts[i].find('.') == std::string::npos) continue;
            VolPath prefix;
            prefix.parts.assign(path.parts.begin(), path.parts.begin() + (long)i + 1);
            FsEntry dir;
            whole = fs_stat(prefix.lib().c_str(), &dir) == FS_OK && named_by(dir, prefix.name());
        }
        if (whole) {
            result.kind = (e.attr & ATTR_DIRECTORY) ? Lookup::DIR : Lookup::FILE;
            result.entry = entry_of(e);
            return result;
        }
        error = FS_ERR_NOT_FOUND;
    }
    if (error != FS_ERR_NOT_FOUND && error != FS_ERR_NOT_DIRECTORY) {
        result.reason = reason_text(error);
        if (error == FS_ERR_INVALID_NAME) {
            // A component the library cannot take as a name.
            for (const std::string &part : path.parts) {
                std::string problem = name_problem(part);
                if (!problem.empty() && problem.find("final dots") == std::string::npos) {
                    result.reason += " (" + problem + ")";
                    break;
                }
            }
        }
        return result;
    }
    // Which component is missing: the parent tells.
    Lookup parent = lookup(path.parent());
    switch (parent.kind) {
    case Lookup::DIR: result.kind = Lookup::MISSING; break;
    case Lookup::FILE: result.reason = reason_text(FS_ERR_NOT_DIRECTORY); break;
    case Lookup::MISSING:
        result.reason = reason_text(FS_ERR_NOT_FOUND);
        result.parent_missing = true;
        break;
    default: result = parent;
    }
    return result;
}

std::string lookup_failure(const Lookup &found) {
    switch (found.kind) {
    case Lookup::MISSING: return reason_text(FS_ERR_NOT_FOUND);
    case Lookup::FILE: return reason_text(FS_ERR_NOT_DIRECTORY);
    case Lookup::DIR: return reason_text(FS_ERR_IS_DIRECTORY);
    default: return found.reason;
    }
}

std::string target_failure(const Lookup &found) {
    if (found.kind == Lookup::FAILED && found.parent_missing) return reason_text(FS_ERR_NO_PARENT);
    return lookup_failure(found);
}

std::vector<Target> expand_all(Reporter &report, const std::vector<std::string> &texts) {
    std::vector<Target> targets;
    for (const std::string &text : texts) expand_path(report, text, &targets);
    return targets;
}

std::string reason_for_name(const std::string &name) {
    FsError e = fs_last_error();
    std::string reason = reason_text(e);
    if (e == FS_ERR_INVALID_NAME) {
        std::string problem = name_problem(name);
        if (!problem.empty()) reason += " (" + problem + ")";
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

const char kUnreachable[] = "cannot be used: another entry of its directory carries the same name, or the "
                            "name ends in a dot or space or holds '\\' (damaged volume)";

// The target of one entry from a listing of `dir`.
Target target_of(const VolPath &dir, const Entry &e) {
    Target t;
    t.matched = true;
    t.path = dir.child(e.name);
    t.text = t.path.shown();
    t.found.entry = e;
    t.found.kind = e.is_dir() ? Lookup::DIR : Lookup::FILE;
    std::string reason;
    if (!e.reachable) {
        t.found.kind = Lookup::FAILED;
        t.found.reason = kUnreachable;
    } else if (e.is_dir() && !reach_directory(t.path, e.cluster, &reason)) {
        t.found.kind = Lookup::FAILED;
        t.found.reason = "cannot be used: " + reason;
    }
    return t;
}

} // namespace

bool expand_path(Reporter &report, const std::string &text, std::vector<Target> *out) {
    Target given;
    given.text = text;
    std::string reason;
    if (!parse_vol_path(text, &given.path, &reason)) {
        report.error(text, reason);
        return false;
    }
    const VolPath &path = given.path;
    for (size_t i = 0; i + 1 < path.parts.size(); i++) {
        if (path.parts[i].find_first_of("*?") != std::string::npos) {
            report.error(text, "wildcards are matched in the last component only");
            return false;
        }
    }
    given.found = lookup(path);
    // An entry named as written wins: '[' and ']' may be part of a name.
    if (path.root() || !has_wildcard(path.name()) || given.found.kind == Lookup::FILE ||
        given.found.kind == Lookup::DIR) {
        out->push_back(given);
        return true;
    }
    Lookup dir = lookup(path.parent());
    if (dir.kind != Lookup::DIR) {
        report.error(text, dir.kind == Lookup::MISSING ? reason_text(FS_ERR_NOT_FOUND) : lookup_failure(dir));
        return false;
    }
    std::vector<Entry> entries;
    if (!list_directory(path.parent(), dir.entry.cluster, &entries, &reason)) {
        report.error(text, path.parent().shown() + ": " + reason);
        return false;
    }
    size_t before = out->size();
    for (const Entry &e : entries)
        if (wildcard_match(path.name(), e.name)) out->push_back(target_of(path.parent(), e));
    if (out->size() == before) {
        report.error(text, "no entry matches the pattern");
        return false;
    }
    return true;
}

namespace {

struct Walker {
    Reporter &report;
    const Visitor &visit;
    const AfterDir &after_dir;
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
            if (!e.reachable) {
                report.error(path.shown(), kUnreachable);
                continue;
            }
            if (!fat_cluster_valid(e.cluster) || entered.count(e.cluster) != 0) {
                report.error(path.shown(), "not entered: it names no directory of its own (damaged volume)");
                continue;
            }
            entered.insert(e.cluster);
            if (!walk(path, e.cluster, depth + 1)) return false;
            if (after_dir) after_dir(path, e);
        }
        return true;
    }
};

} // namespace

bool walk_tree(const VolPath &top, uint32_t top_cluster, Reporter &report, const Visitor &visit,
               const AfterDir &after_dir) {
    Walker walker{report, visit, after_dir, {}};
    walker.entered.insert(top_cluster);
    return walker.walk(top, top_cluster, 0);
}

// FAT entry values: a bad cluster, and what fat_read_entry returns when the
// FAT sector cannot be read.
constexpr uint32_t kFatBadCluster = 0xFFF7u;
constexpr uint32_t kFatReadFailed = 0xFFFFFFFFu;

Chain read_chain(uint32_t first) {
    Chain chain;
    if (first == 0) return chain;
    std::set<uint32_t> seen;
    uint32_t c = first;
    for (;;) {
        if (!fat_cluster_valid(c)) {
            chain.problem = "cluster " + std::to_string(c) + " is outside the data area";
            break;
        }
        if (!seen.insert(c).second) {
            chain.problem = "the chain comes back to cluster " + std::to_string(c);
            break;
        }
        if (!chain.runs.empty() && chain.runs.back().second + 1 == c)
            chain.runs.back().second = c;
        else
            chain.runs.push_back({c, c});
        chain.length++;
        uint32_t next = fat_read_entry(c);
        if (fat_is_end_mark(next)) break;
        if (next == kFatReadFailed) {
            chain.problem = reason_text(FS_ERR_IO);
            break;
        }
        if (next < 2 || next == kFatBadCluster) {
            chain.problem =
                "the chain runs into a free or bad-cluster entry after cluster " + std::to_string(c);
            break;
        }
        c = next;
    }
    return chain;
}

std::string Chain::text() const {
    std::string out;
    for (const auto &r : runs) {
        if (!out.empty()) out += ' ';
        out += std::to_string(r.first);
        if (r.second != r.first) out += "-" + std::to_string(r.second);
    }
    return out;
}

} // namespace fat16tool
