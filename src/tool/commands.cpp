// The commands that describe and change the volume in place: info, ls,
// tree, mkdir, rmdir, rm, mv, attrib, label, cat and check.
#include <errno.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "tool.h"

namespace fat16tool {

namespace {

const uint8_t kSettableAttributes = ATTR_READ_ONLY | ATTR_HIDDEN | ATTR_SYSTEM | ATTR_ARCHIVE;
// The extended boot signature and the volume id of a boot sector.
constexpr uint32_t kExtSignatureAt = 38;
constexpr uint8_t kExtSignature = 0x29;
constexpr uint32_t kVolumeIdAt = 39;

std::string attr_letters(uint8_t attr) {
    std::string s = "-----";
    if (attr & ATTR_DIRECTORY) s[0] = 'd';
    if (attr & ATTR_READ_ONLY) s[1] = 'r';
    if (attr & ATTR_HIDDEN) s[2] = 'h';
    if (attr & ATTR_SYSTEM) s[3] = 's';
    if (attr & ATTR_ARCHIVE) s[4] = 'a';
    return s;
}

// One line of a listing. The long form has a column with the 8.3 name
// where it is not the name itself; with `short_only` the 8.3 names stand
// in for the names, as a boot ROM that reads no long names sees them.
void print_entry(const Entry &e, bool long_form, bool short_only) {
    const std::string &shown = short_only && !e.short_name.empty() ? e.short_name : e.name;
    std::string name = printable(shown) + (e.is_dir() ? "/" : "");
    std::string alias = short_only || e.short_name == e.name ? "" : printable(e.short_name);
    if (long_form)
        printf("%s %10s  %s  %-12s  %s\n", attr_letters(e.attr).c_str(),
               e.is_dir() ? "" : std::to_string(e.size).c_str(), time_text(e.modified).c_str(), alias.c_str(),
               name.c_str());
    else
        printf("%s\n", name.c_str());
}

} // namespace

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
    char label[FS_LABEL_SIZE] = "";
    if (fs_get_label(label) != FS_OK) report.error(g.image, "cannot read the label: " + library_reason());
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
    FsPartition p;
    std::string reason;
    if (g.partition != 0 && read_partition(g.partition, &p, &reason))
        printf("partition        %d (%s): sectors %u to %u (%u sectors)\n", g.partition,
               partition_kind(p).c_str(), p.first_sector, p.first_sector + p.sector_count - 1,
               p.sector_count);
    if (g.partition == 0 && g.offset_given)
        printf("offset           %llu bytes (sector %llu)\n", (unsigned long long)g.offset,
               (unsigned long long)(g.offset / FS_SECTOR_SIZE));
    printf("file system      FAT16, %u-byte sectors\n", v.bytes_per_sector);
    printf("label            %s\n", label[0] != '\0' ? printable(label).c_str() : "(none)");
    uint32_t id = 0;
    if (fs_get_volume_id(&id) == FS_OK)
        printf("volume id        %04X-%04X\n", (unsigned)(id >> 16), (unsigned)(id & 0xFFFF));
    else
        printf("volume id        (none)\n");
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
    if (!parse_or_usage(report, args, {{"-l", "--long", false}, {"-8", "--short-names", false}}, &a, &status))
        return status;
    if (a.operands.size() > 1) return report.usage("one PATH at most");
    bool short_only = a.has("--short-names");
    std::string text = a.operands.empty() ? "/" : a.operands[0];
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    std::vector<Target> targets;
    if (!expand_path(report, text, &targets)) return kExitFail;
    bool long_form = a.has("--long");
    // A pattern lists the entries it matches; a directory named as it is,
    // its contents.
    for (const Target &t : targets) {
        const Lookup &found = t.found;
        if (found.kind == Lookup::FILE || (t.matched && found.kind == Lookup::DIR)) {
            print_entry(found.entry, long_form, short_only);
        } else if (found.kind == Lookup::DIR) {
            std::string reason;
            std::vector<Entry> entries;
            if (!list_directory(t.path, found.entry.cluster, &entries, &reason)) report.error(t.text, reason);
            for (const Entry &e : entries) print_entry(e, long_form, short_only);
        } else {
            report.error(t.text, target_failure(found));
        }
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
    std::string reason;
    if (!parse_vol_path(text, &top, &reason)) {
        report.error(text, reason);
        return kExitFail;
    }
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    Lookup found = lookup(top);
    if (found.kind == Lookup::FILE) {
        printf("%s\n", printable(found.entry.name).c_str());
        return report.status();
    }
    if (found.kind != Lookup::DIR) {
        report.error(text, target_failure(found));
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
        std::string reason;
        if (!parse_vol_path(text, &path, &reason)) {
            report.error(text, reason);
            continue;
        }
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
            // A name typed here is stored exactly as typed.
            std::string problem = name_problem(step.name());
            if (!problem.empty()) {
                report.error(text, "invalid name (" + problem + ")");
                break;
            }
            if (fs_mkdir(step.lib().c_str()) != FS_OK) {
                report.error(text, reason_for_name(step.name()));
                break;
            }
        }
        if (!image.healthy(report)) return kExitFail;
    }
    return report.status();
}

int cmd_rmdir(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("rmdir");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {}, &a, &status)) return status;
    if (a.operands.empty()) return report.usage("missing PATH");
    Image image;
    if (!image.open(g, report, true)) return kExitFail;
    for (const std::string &text : a.operands) {
        VolPath path;
        std::string reason;
        if (!parse_vol_path(text, &path, &reason)) {
            report.error(text, reason);
            continue;
        }
        if (path.root()) {
            report.error(text, "the root directory cannot be removed");
            continue;
        }
        Lookup found = lookup(path);
        if (found.kind != Lookup::DIR) {
            report.error(text, found.kind == Lookup::FILE ? reason_text(FS_ERR_NOT_DIRECTORY)
                                                          : target_failure(found));
            continue;
        }
        if (fs_rmdir(path.lib().c_str()) != FS_OK) report.error(text, reason_for_name(path.name()));
        if (!image.healthy(report)) return kExitFail;
    }
    return report.status();
}

namespace {

// Removes directory `dir` (cluster `cluster`) and everything in it,
// deepest first. Each entry that cannot be removed is reported; the
// directories above it stay. False when something stayed.
bool remove_tree(Reporter &report, const VolPath &dir, uint32_t cluster, std::vector<uint32_t> &entered) {
    std::string reason;
    std::vector<Entry> entries;
    if (!list_directory(dir, cluster, &entries, &reason)) {
        report.error(dir.shown(), "cannot be read: " + reason);
        return false;
    }
    entered.push_back(cluster);
    bool all = true;
    for (const Entry &e : entries) {
        VolPath path = dir.child(e.name);
        if (!e.reachable) {
            report.error(path.shown(), "not removed: another entry of its directory carries the same name "
                                       "(damaged volume)");
            all = false;
        } else if (e.is_dir()) {
            bool loop = false;
            for (uint32_t c : entered) loop = loop || c == e.cluster;
            if (loop || !fat_cluster_valid(e.cluster)) {
                report.error(path.shown(), "not removed: it names no directory of its own (damaged volume)");
                all = false;
            } else if (!remove_tree(report, path, e.cluster, entered)) {
                all = false;
            }
        } else if (fs_delete_file(path.lib().c_str()) != FS_OK) {
            report.error(path.shown(), library_reason());
            all = false;
        }
        if (fatal_error(fs_last_error())) return false;
    }
    entered.pop_back();
    if (!all) return false;
    if (fs_rmdir(dir.lib().c_str()) != FS_OK) {
        report.error(dir.shown(), library_reason());
        return false;
    }
    return true;
}

} // namespace

int cmd_rm(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("rm");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {{"-r", "--recursive", false}}, &a, &status)) return status;
    if (a.operands.empty()) return report.usage("missing PATH");
    Image image;
    if (!image.open(g, report, true)) return kExitFail;
    bool recursive = a.has("--recursive");
    for (const Target &t : expand_all(report, a.operands)) {
        if (t.path.root()) {
            report.error(t.text, "the root directory cannot be removed");
        } else if (t.found.kind == Lookup::FILE) {
            if (fs_delete_file(t.path.lib().c_str()) != FS_OK)
                report.error(t.text, reason_for_name(t.path.name()));
        } else if (t.found.kind == Lookup::DIR && !recursive) {
            report.error(t.text,
                         "is a directory (rm -r removes it with everything in it, rmdir an empty one)");
        } else if (t.found.kind == Lookup::DIR) {
            std::vector<uint32_t> entered;
            remove_tree(report, t.path, t.found.entry.cluster, entered);
        } else {
            report.error(t.text, target_failure(t.found));
        }
        if (!image.healthy(report)) return kExitFail;
    }
    return report.status();
}

namespace {

// Moves `src` to the path `dest`; reports a failure.
void move_one(Reporter &report, const std::string &text, const VolPath &src, const VolPath &dest) {
    if (fs_move(src.lib().c_str(), dest.lib().c_str()) == FS_OK) return;
    FsError e = fs_last_error();
    std::string reason = reason_for_name(dest.name());
    if (e == FS_ERR_EXISTS || e == FS_ERR_INVALID_NAME || e == FS_ERR_NO_PARENT)
        report.error(text, dest.shown() + ": " + reason);
    else
        report.error(text, reason);
}

// The first cluster of the directory that holds `path` (0: the root), or
// 1 (no directory's) when it cannot be found.
uint32_t parent_cluster(const VolPath &path) {
    Lookup parent = lookup(path.parent());
    return parent.kind == Lookup::DIR ? parent.entry.cluster : 1;
}

// True when two lookups found the same entry: the same 8.3 name in the same
// directory, however the two paths spell it (case, long name or alias).
bool same_entry(const Entry &a, const Entry &b, const VolPath &pa, const VolPath &pb) {
    return a.cluster == b.cluster && a.size == b.size && a.short_name == b.short_name &&
           parent_cluster(pa) == parent_cluster(pb);
}

} // namespace

int cmd_mv(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("mv");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {}, &a, &status)) return status;
    if (a.operands.size() < 2) return report.usage("needs SOURCE... and DEST");
    const std::string dest_text = a.operands.back();
    VolPath dest;
    std::string reason;
    if (!parse_vol_path(dest_text, &dest, &reason)) {
        report.error(dest_text, reason);
        return kExitFail;
    }
    Image image;
    if (!image.open(g, report, true)) return kExitFail;
    std::vector<Target> sources =
        expand_all(report, std::vector<std::string>(a.operands.begin(), a.operands.end() - 1));
    Lookup target = lookup(dest);
    // A directory as DEST takes the sources in, except when the one source
    // is that very entry written in another case: that renames it. Written
    // with a final '/', DEST names a directory to move into, whatever case
    // it is written in.
    bool into = target.kind == Lookup::DIR;
    if (into && sources.size() == 1 && sources[0].found.kind == Lookup::DIR && !dest.root() &&
        !dest.dir_form && same_entry(sources[0].found.entry, target.entry, sources[0].path, dest))
        into = false;
    bool several = a.operands.size() > 2 || sources.size() > 1;
    if (!into && several) {
        report.error(dest_text,
                     target.kind == Lookup::FILE || target.kind == Lookup::DIR
                         ? reason_text(FS_ERR_NOT_DIRECTORY)
                         : target_failure(target) + " (several sources move into an existing directory)");
        return kExitFail;
    }
    if (!into && target.kind == Lookup::FAILED) {
        report.error(dest_text, target_failure(target));
        return kExitFail;
    }
    if (!into && target.kind != Lookup::DIR && dest.dir_form) {
        report.error(dest_text, target.kind == Lookup::FILE
                                    ? reason_text(FS_ERR_NOT_DIRECTORY)
                                    : "not found (a DEST ending in '/' names a directory)");
        return kExitFail;
    }
    for (const Target &s : sources) {
        if (s.path.root()) {
            report.error(s.text, "the root directory cannot be moved");
            continue;
        }
        if (s.found.kind != Lookup::FILE && s.found.kind != Lookup::DIR) {
            report.error(s.text, target_failure(s.found));
            continue;
        }
        VolPath to = into ? dest.child(s.found.entry.name) : dest;
        std::string problem = name_problem(to.name());
        if (!problem.empty()) {
            report.error(to.shown(), "invalid name (" + problem + ")");
            continue;
        }
        // An existing file is replaced by a file, as mv does, also inside a
        // directory DEST; the result carries the name as given. Should the
        // directory have no room for that name, the entry freed has room for
        // the old one, and the file moves there instead.
        const Lookup there = into ? lookup(to) : target;
        const std::string there_text = into ? to.shown() : dest_text;
        if (there.kind == Lookup::FILE && !same_entry(s.found.entry, there.entry, s.path, to)) {
            if (s.found.kind == Lookup::DIR) {
                report.error(s.text, there_text + ": cannot replace a file with a directory");
                continue;
            }
            if (there.entry.attr & ATTR_READ_ONLY) {
                report.error(there_text, "read-only (attrib -r allows replacing it)");
                continue;
            }
            if (s.found.entry.attr & ATTR_READ_ONLY) {
                report.error(s.text, reason_text(FS_ERR_READ_ONLY));
                continue;
            }
            VolPath old_name = to.parent().child(there.entry.name);
            if (fs_delete_file(old_name.lib().c_str()) != FS_OK) {
                report.error(there_text, library_reason());
                continue;
            }
            if (fs_move(s.path.lib().c_str(), to.lib().c_str()) == FS_OK) {
                // moved under the name given
            } else if ((fs_last_error() == FS_ERR_NO_SPACE || fs_last_error() == FS_ERR_DIR_FULL) &&
                       fs_move(s.path.lib().c_str(), old_name.lib().c_str()) == FS_OK) {
                report.warning(s.text, "moved to " + old_name.shown() +
                                           ": the directory has no room for the "
                                           "name " +
                                           to.name());
            } else {
                report.error(s.text, there_text + " was removed, but the move failed: " + library_reason());
            }
        } else {
            move_one(report, s.text, s.path, to);
        }
        if (!image.healthy(report)) return kExitFail;
    }
    return report.status();
}

int cmd_attrib(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("attrib");
    // "-h" clears the hidden bit here: only --help asks for help.
    uint8_t set = 0, clear = 0;
    std::vector<std::string> paths;
    bool only_paths = false;
    for (const std::string &word : args) {
        if (!only_paths && word == "--help") {
            fputs(help_text("attrib"), stdout);
            return kExitOk;
        }
        if (!only_paths && word == "--") {
            only_paths = true;
            continue;
        }
        if (!only_paths && (word == "-q" || word == "--quiet")) continue; // nothing to leave out
        bool change = !only_paths && word.size() >= 2 && (word[0] == '+' || word[0] == '-');
        if (!change) {
            paths.push_back(word);
            continue;
        }
        // "+r", "-h", and joined changes such as "+rh" or "-rh+a".
        bool adding = true;
        for (char c : word) {
            uint8_t bit = 0;
            switch (c) {
            case '+': adding = true; continue;
            case '-': adding = false; continue;
            case 'r':
            case 'R': bit = ATTR_READ_ONLY; break;
            case 'h':
            case 'H': bit = ATTR_HIDDEN; break;
            case 's':
            case 'S': bit = ATTR_SYSTEM; break;
            case 'a':
            case 'A': bit = ATTR_ARCHIVE; break;
            default: return report.usage("unknown attribute change " + word + " (+r -r +h -h +s -s +a -a)");
            }
            if (adding) {
                set |= bit;
                clear &= (uint8_t)~bit;
            } else {
                clear |= bit;
                set &= (uint8_t)~bit;
            }
        }
    }
    if (paths.empty()) return report.usage("missing PATH");
    bool changing = (set | clear) != 0;
    Image image;
    if (!image.open(g, report, changing)) return kExitFail;
    for (const Target &t : expand_all(report, paths)) {
        if (t.found.kind != Lookup::FILE && t.found.kind != Lookup::DIR) {
            report.error(t.text, target_failure(t.found));
            continue;
        }
        if (t.path.root()) {
            if (changing)
                report.error(t.text, "the root directory has no attributes");
            else
                printf("%s  /\n", attr_letters(ATTR_DIRECTORY).c_str());
            continue;
        }
        uint8_t attr = t.found.entry.attr;
        if (changing) {
            uint8_t wanted = (uint8_t)(((attr & kSettableAttributes) | set) & ~clear);
            if (fs_set_attributes(t.path.lib().c_str(), wanted) != FS_OK) {
                report.error(t.text, library_reason());
                continue;
            }
        } else {
            printf("%s  %s\n", attr_letters(attr).c_str(),
                   printable(t.path.parent().child(t.found.entry.name).shown()).c_str());
        }
        if (!image.healthy(report)) return kExitFail;
    }
    return report.status();
}

int cmd_label(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("label");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {{nullptr, "--clear", false}, {nullptr, "--volume-id", true}}, &a,
                        &status))
        return status;
    bool clear = a.has("--clear");
    uint32_t new_id = 0;
    const std::string *id_text = a.value("--volume-id");
    if (id_text != nullptr && !parse_volume_id(*id_text, &new_id))
        return report.usage("--volume-id takes up to 8 hexadecimal digits (1234ABCD or 1234-ABCD)");
    if (a.operands.size() > 1) return report.usage("one TEXT at most (quote a label with spaces)");
    if (clear && !a.operands.empty()) return report.usage("--clear takes no TEXT");
    if (!a.operands.empty() && a.operands[0].empty())
        return report.usage("TEXT is empty (--clear removes the label)");
    bool changing = clear || !a.operands.empty();
    Image image;
    if (!image.open(g, report, changing || id_text != nullptr)) return kExitFail;
    if (id_text != nullptr) {
        // The id lives in the extended boot sector only.
        uint8_t boot[FS_SECTOR_SIZE];
        const uint32_t sector = VolumeGeometry.partition_start;
        if (disk_read_sector(boot, sector) != FS_OK) {
            report.error(g.image, "cannot read the boot sector: " + reason_text(FS_ERR_IO));
        } else if (boot[kExtSignatureAt] != kExtSignature) {
            report.error(g.image, "the boot sector has no volume id (no extended boot signature)");
        } else {
            le_put(boot + kVolumeIdAt, new_id, 4);
            if (disk_write_sector(boot, sector) != FS_OK || disk_flush() != FS_OK)
                report.error(g.image, "cannot write the boot sector: " + reason_text(FS_ERR_IO));
        }
        if (!changing) {
            image.healthy(report);
            return report.status();
        }
    }
    if (!changing) {
        char label[FS_LABEL_SIZE] = "";
        if (fs_get_label(label) != FS_OK)
            report.error(g.image, library_reason());
        else if (label[0] != '\0')
            printf("%s\n", printable(label).c_str());
    } else if (fs_set_label(clear ? "" : a.operands[0].c_str()) != FS_OK) {
        std::string reason = library_reason();
        if (fs_last_error() == FS_ERR_INVALID_NAME)
            reason += std::string(" (a label has ") + kLabelRule + "; small letters are stored as capitals)";
        report.error(a.operands[0], reason);
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
    for (const Target &t : expand_all(report, a.operands)) {
        const std::string &text = t.text;
        if (t.found.kind != Lookup::FILE) {
            report.error(text, t.found.kind == Lookup::DIR ? reason_text(FS_ERR_IS_DIRECTORY)
                                                           : target_failure(t.found));
            continue;
        }
        uint8_t h = fs_open(t.path.lib().c_str());
        if (h == FS_FAIL) {
            report.error(text, "cannot be read: " + reason_for_name(t.path.name()));
            continue;
        }
        uint32_t size = fs_file_size(h), done = 0;
        bool out_ok = true;
        while (done < size) {
            uint32_t n = fs_read(h, buffer.data(), (uint32_t)buffer.size());
            if (n == 0) break;
            out_ok = host_write_all(host_stdout(), buffer.data(), n);
            if (!out_ok) break;
            done += n;
        }
        fs_close(h);
        if (!out_ok) {
            report.error("standard output", host_error_text(errno));
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

namespace {

// "YYYY-MM-DD HH:MM:SS", or "(none)" when no time is recorded.
std::string full_time(const FsDateTime &t, bool date_only = false) {
    if (t.year == 0) return "(none)";
    char text[48];
    if (date_only)
        snprintf(text, sizeof text, "%04u-%02u-%02u", (unsigned)t.year, (unsigned)t.month, (unsigned)t.day);
    else
        snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u", (unsigned)t.year, (unsigned)t.month,
                 (unsigned)t.day, (unsigned)t.hour, (unsigned)t.minute, (unsigned)t.second);
    return text;
}

std::string chain_text(const Chain &chain) {
    if (chain.length == 0) return "none";
    std::string out = std::to_string(chain.length) + (chain.length == 1 ? " cluster" : " clusters") + " in " +
                      std::to_string(chain.runs.size()) +
                      (chain.runs.size() == 1 ? " fragment: " : " fragments: ") + chain.text();
    if (!chain.problem.empty()) out += " (damaged volume: " + chain.problem + ")";
    return out;
}

} // namespace

int cmd_stat(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("stat");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {}, &a, &status)) return status;
    if (a.operands.empty()) return report.usage("missing PATH");
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    bool first = true;
    for (const Target &t : expand_all(report, a.operands)) {
        if (t.found.kind != Lookup::FILE && t.found.kind != Lookup::DIR) {
            report.error(t.text, target_failure(t.found));
            continue;
        }
        if (!first) printf("\n");
        first = false;
        const Entry &e = t.found.entry;
        if (t.path.root()) {
            printf("path           /\nattributes     %s (the root directory)\n",
                   attr_letters(ATTR_DIRECTORY).c_str());
            printf("entries        %u (a fixed area of %u sectors from sector %u)\n",
                   VolumeGeometry.root_entry_count, VolumeGeometry.root_dir_sectors,
                   VolumeGeometry.root_dir_start);
            continue;
        }
        Chain chain = read_chain(e.cluster);
        printf("path           %s\n", printable(t.path.parent().child(e.name).shown()).c_str());
        printf("name           %s\n", printable(e.name).c_str());
        printf("8.3 name       %s\n", printable(e.short_name).c_str());
        printf("attributes     %s (0x%02X)\n", attr_letters(e.attr).c_str(), (unsigned)e.attr);
        if (!e.is_dir()) printf("size           %u bytes\n", (unsigned)e.size);
        printf("first cluster  %u\n", (unsigned)e.cluster);
        printf("clusters       %s\n", chain_text(chain).c_str());
        printf("created        %s\n", full_time(e.created).c_str());
        printf("modified       %s\n", full_time(e.modified).c_str());
        printf("accessed       %s\n", full_time(e.accessed, true).c_str());
        if (!image.healthy(report)) return kExitFail;
    }
    return report.status();
}

namespace {

// "YYYY-MM-DD HH:MM:SS", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD" as an entry
// time; false for anything else or a time FAT cannot hold (1980 to 2107).
bool parse_entry_time(const std::string &text, FsDateTime *out) {
    unsigned y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    char tail = 0;
    int n = sscanf(text.c_str(), "%4u-%2u-%2u %2u:%2u:%2u%c", &y, &mo, &d, &h, &mi, &sec, &tail);
    bool shape = n == 3 || n == 5 || n == 6;
    if (!shape || y < 1980 || y > 2107 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 ||
        sec > 59)
        return false;
    *out = FsDateTime{};
    out->year = (uint16_t)y;
    out->month = (uint8_t)mo;
    out->day = (uint8_t)d;
    out->hour = (uint8_t)h;
    out->minute = (uint8_t)mi;
    out->second = (uint8_t)sec;
    return true;
}

} // namespace

int cmd_touch(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("touch");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {{"-d", "--date", true}, {"-c", "--no-create", false}}, &a, &status))
        return status;
    if (a.operands.empty()) return report.usage("missing PATH");
    FsDateTime when = entry_time(host_now());
    if (const std::string *d = a.value("--date")) {
        if (!parse_entry_time(*d, &when))
            return report.usage("-d takes \"YYYY-MM-DD HH:MM:SS\" (or without the seconds, or a date alone), "
                                "from 1980 to 2107");
    }
    bool create = !a.has("--no-create");
    Image image;
    if (!image.open(g, report, true)) return kExitFail;
    for (const std::string &text : a.operands) {
        std::vector<Target> targets;
        if (!expand_path(report, text, &targets)) continue;
        for (const Target &t : targets) {
            if (t.path.root()) {
                report.error(t.text, "the root directory has no times");
                continue;
            }
            if (t.found.kind == Lookup::MISSING && create) {
                // A missing file is made, empty, with the time.
                std::string problem = name_problem(t.path.name());
                if (!problem.empty()) {
                    report.error(t.text, "invalid name (" + problem + ")");
                    continue;
                }
                ClockStamp stamp(when);
                if (fs_create_file(t.path.lib().c_str()) != FS_OK)
                    report.error(t.text, reason_for_name(t.path.name()));
            } else if (t.found.kind == Lookup::MISSING) {
                continue; // -c: nothing is made
            } else if (t.found.kind != Lookup::FILE && t.found.kind != Lookup::DIR) {
                report.error(t.text, target_failure(t.found));
            } else if (fs_set_times(t.path.lib().c_str(), nullptr, &when, &when) != FS_OK) {
                report.error(t.text, library_reason());
            }
            if (!image.healthy(report)) return kExitFail;
        }
    }
    return report.status();
}

namespace {

struct Usage {
    uint64_t bytes = 0;
    uint64_t clusters = 0;
};

void print_usage(const Usage &u, const VolPath &path) {
    printf("%14llu bytes %8llu clusters  %s\n", (unsigned long long)u.bytes, (unsigned long long)u.clusters,
           printable(path.shown()).c_str());
}

// The bytes of the files below directory `dir` and the clusters of those
// files and directories (its own too; the root's area is fixed); with
// `each`, a line for every directory, deepest first.
Usage dir_usage(Reporter &report, const VolPath &dir, uint32_t cluster, std::set<uint32_t> &entered,
                bool each) {
    Usage u;
    if (cluster != 0) u.clusters += read_chain(cluster).length;
    std::string reason;
    std::vector<Entry> entries;
    if (!list_directory(dir, cluster, &entries, &reason)) {
        report.error(dir.shown(), "cannot be read: " + reason);
        return u;
    }
    for (const Entry &e : entries) {
        VolPath path = dir.child(e.name);
        if (!e.is_dir()) {
            u.bytes += e.size;
            u.clusters += read_chain(e.cluster).length;
        } else if (!e.reachable || !fat_cluster_valid(e.cluster) || !entered.insert(e.cluster).second) {
            report.error(path.shown(), "not counted: it names no directory of its own (damaged volume)");
        } else {
            Usage inner = dir_usage(report, path, e.cluster, entered, each);
            u.bytes += inner.bytes;
            u.clusters += inner.clusters;
        }
    }
    if (each) print_usage(u, dir);
    return u;
}

} // namespace

int cmd_du(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("du");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {{"-s", "--summarize", false}}, &a, &status)) return status;
    std::vector<std::string> paths = a.operands;
    if (paths.empty()) paths.push_back("/");
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    for (const Target &t : expand_all(report, paths)) {
        if (t.found.kind == Lookup::FILE) {
            Usage u;
            u.bytes = t.found.entry.size;
            u.clusters = read_chain(t.found.entry.cluster).length;
            print_usage(u, t.path.parent().child(t.found.entry.name));
        } else if (t.found.kind == Lookup::DIR) {
            std::set<uint32_t> entered = {t.found.entry.cluster};
            bool summary = a.has("--summarize");
            Usage u = dir_usage(report, t.path, t.found.entry.cluster, entered, !summary);
            if (summary) print_usage(u, t.path);
        } else {
            report.error(t.text, target_failure(t.found));
        }
        if (!image.healthy(report)) return kExitFail;
    }
    return report.status();
}

int cmd_showfat(const GlobalOptions &g, const std::vector<std::string> &args) {
    Reporter report("showfat");
    ParsedArgs a;
    int status = 0;
    if (!parse_or_usage(report, args, {}, &a, &status)) return status;
    if (a.operands.empty()) return report.usage("missing PATH");
    Image image;
    if (!image.open(g, report, false)) return kExitFail;
    for (const Target &t : expand_all(report, a.operands)) {
        if (t.found.kind != Lookup::FILE && t.found.kind != Lookup::DIR) {
            report.error(t.text, target_failure(t.found));
            continue;
        }
        if (t.path.root()) {
            printf("/: no chain (the root directory is a fixed area of %u sectors from sector %u)\n",
                   VolumeGeometry.root_dir_sectors, VolumeGeometry.root_dir_start);
            continue;
        }
        Chain chain = read_chain(t.found.entry.cluster);
        std::string path = printable(t.path.parent().child(t.found.entry.name).shown());
        if (chain.length == 0 && chain.problem.empty())
            printf("%s: no clusters\n", path.c_str());
        else
            printf("%s: %s (%llu %s)\n", path.c_str(), chain.text().c_str(),
                   (unsigned long long)chain.runs.size(), chain.runs.size() == 1 ? "fragment" : "fragments");
        if (!chain.problem.empty()) report.error(path, "damaged volume: " + chain.problem);
        if (!image.healthy(report)) return kExitFail;
    }
    return report.status();
}

} // namespace fat16tool
