// Listing the current directory, walking the whole tree depth first, and
// finding files. Each call returns one entry as a full path; the listing
// keeps its place in cursor slot 0, the walk in slot 1 and in a stack of
// the positions it left its parents at.
#include <string.h>

#include "fat16_dir.h"
#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_namespace.h"
#include "fat16_volume.h"

#if FS_WITH_WALK
extern "C" {
char walk_path[FS_PATH_MAX];
}
#endif

namespace {

const uint32_t EXT_AREA = 20;

#if FS_WITH_WALK
const uint32_t ROOT_PATH_LENGTH = 3;
// Every level adds at least two characters to a path of at most 259.
const uint32_t MAX_DEPTH = FS_PATH_MAX / 2;

// A directory the walk has entered: where to go on in its parent, and where
// the parent's entry for the child lies and which cluster it names, to tell
// whether that place is still good when the child is done. The parent's
// own path and cluster are those of the level below (the root's at the
// bottom); the parent's cursor is rebuilt from its path and these fields.
struct WalkLevel {
    uint32_t resume_sector;     // the parent's cursor, one slot past the child's entry
    uint32_t child_sector : 22; // sectors lie below FS_SECTOR_LIMIT
    uint32_t child_slot : 4;    // the child's 8.3 slot in that sector
    uint32_t resume_slot : 5;   // the cursor's slot; 16 after the parent's last one
    uint16_t child_cluster;     // a data cluster: below 65,526
    uint16_t parent_path_length;
};
static_assert(FS_SECTOR_LIMIT == 1u << 22, "a level keeps sectors in 22 bits");
static_assert(FS_MAX_CLUSTERS + 2 <= 0x10000u, "a level keeps clusters in 16 bits");
static_assert(FS_PATH_MAX <= 0xFFFFu, "a level keeps path lengths in 16 bits");

WalkLevel levels[MAX_DEPTH];
uint32_t depth = 0;
uint32_t current_cluster = 0; // the directory being read; 0 for the root
bool walking = false;

// Directory clusters entered during this walk, so that cross-linked or
// self-containing directories are never entered twice. The first ones are
// kept here, which decides exactly for walks that enter up to this many
// directories. Past that, a directory is entered only from the parent its
// ".." entry names, through the first entry of that parent that names it,
// and only when the parent's chain ends: each parent is entered once, so
// each such directory is too. Sound trees are walked the same either way.
const uint32_t ENTERED_KEPT = 128;
uint16_t entered[ENTERED_KEPT];
uint32_t entered_count = 0;

bool was_entered(uint32_t c) {
    for (uint32_t i = 0; i < entered_count; i++)
        if (entered[i] == c) return true;
    return false;
}

// True when `c` is the directory being read or one above it.
bool is_ancestor(uint32_t c) {
    if (c == current_cluster) return true;
    for (uint32_t i = 0; i < depth; i++)
        if (levels[i].child_cluster == c) return true;
    return false;
}

// The checks below read sectors into buffers of their own: kept out of line,
// so that their buffers are on the stack only while they run, not under
// every step of the walk.

// True when the ".." entry of directory `child` names the directory being read.
__attribute__((noinline)) bool owned_by_reader(uint32_t child) {
    SectorBuffer sector;
    if (disk_read_sector(sector, cluster_to_sector(child)) != FS_OK) return false;
    const uint8_t *dotdot = sector + DIR_SLOT_SIZE;
    return memcmp(dotdot, "..         ", 11) == 0 && (dotdot[DIR_ATTR] & ATTR_DIRECTORY) &&
           le_get(dotdot + DIR_FIRST_CLUSTER, 2) == current_cluster;
}

// True when the chain of the directory being read ends (no loop, which
// could list one of its entries twice) and could be read.
bool reader_chain_ends(void) {
    if (current_cluster == 0) return true;
    const DiskFailMark failures = disk_failures();
    FatChainGuard guard;
    fat_guard_start(&guard, current_cluster);
    uint32_t next = fat_read_entry(current_cluster);
    while (fat_cluster_valid(next)) {
        if (fat_guard_step(&guard, next) != FS_OK) return false;
        next = fat_read_entry(next);
    }
    return !disk_failed_since(failures);
}

// True when no live directory entry in front of (`entry_sector`,
// `entry_offset`) in the directory being read names cluster `child`, and
// every sector up to there could be read. Leaves the cursor where it was.
__attribute__((noinline)) bool first_entry_naming(uint32_t child, uint32_t entry_sector,
                                                  uint32_t entry_offset) {
    DirCursorMark mark;
    dir_cursor_mark(&mark);
    const DiskFailMark failures = disk_failures();
    SectorBuffer sector;
    dir_cursor_start(current_cluster);
    bool first = disk_read_sector(sector, DirCursor.sector) == FS_OK;
    while (first && (DirCursor.sector != entry_sector || DirCursor.offset != entry_offset)) {
        const uint8_t *slot = sector + DirCursor.offset;
        if (slot[0] == ENTRY_END) break;
        const uint8_t a = slot[DIR_ATTR];
        if (slot[0] != ENTRY_FREE && a != ATTR_LONG_NAME && (a & ATTR_DIRECTORY) && !(a & ATTR_VOLUME_ID) &&
            le_get(slot + DIR_FIRST_CLUSTER, 2) == child)
            first = false;
        else if (dir_next_entry(sector) != FS_OK)
            break;
    }
    dir_cursor_return(&mark);
    return first && !disk_failed_since(failures);
}

// Whether the walk may enter directory `child`, whose entry it just read.
bool may_enter(uint32_t child) {
    if (was_entered(child)) return false;
    if (entered_count < ENTERED_KEPT) return true; // every directory entered so far is kept
    return !is_ancestor(child) && owned_by_reader(child) && reader_chain_ends() &&
           first_entry_naming(child, FoundEntry.entry_sector, FoundEntry.entry_offset);
}

#endif // FS_WITH_WALK

// Writes `dir` and a separator into `out`; returns where the name goes.
char *begin_out_path(char *out, const char *dir) {
    str_copy(dir, out);
    uint32_t len = str_len(out);
    if (len == 0 || out[len - 1] != '\\') {
        out[len++] = '\\';
        out[len] = '\0';
    }
    return out + len;
}

// Appends ".EXT" to the returned path of an entry that is not a directory.
void finish_out_path(char *name, const char *ext) {
    if (ext[0] == '\0') return;
    str_append(name, ".");
    str_append(name, ext);
}

// True for "." and "..", and for an 8.3 name that ends in a dot (no name
// can: it is damage): the entries listings and walks pass over. A long
// name such as "a..b" reads with a name part "a." and is listed.
bool passed_over(const char *name) {
    if (dir_is_dot_entry(dir_last_short_entry())) return true;
    uint32_t len = str_len(name);
    return dir_last_long_units() == 0 && len > 0 && name[len - 1] == '.';
}

#if FS_WITH_WALK
// Puts the cursor at the first slot of the directory `walk_path` names and
// makes it the walk's current directory. When `expected` is not 0xFFFFFFFF
// the path must lead to that cluster.
FsStatus enter_walk_path(uint32_t expected) {
    DirCursor.search_kind = KIND_DIR;
    if (path_resolve(walk_path) != FS_OK) return FS_FAIL;
    bool root = str_len(walk_path) <= ROOT_PATH_LENGTH;
    uint32_t cluster = root ? 0 : FoundEntry.first_cluster;
    if (expected != 0xFFFFFFFFu && cluster != expected) return FS_FAIL;
    if (root) {
        DirCursor.sector = VolumeGeometry.root_dir_start;
        CurrentDir.in_subdir = 0;
    } else {
        CurrentDir.in_subdir = 1;
        DirCursor.cluster = cluster;
        CurrentDir.first_cluster = cluster;
        DirCursor.sector = cluster_to_sector(cluster);
    }
    DirCursor.offset = 0;
    current_cluster = cluster;
    return FS_OK;
}

// Enters the directory just returned (its path in `dir_path`), unless it
// cannot be entered safely; then the walk goes on in the parent after it.
void descend(const char *dir_path, const char *name) {
    uint32_t child = FoundEntry.first_cluster;
    uint32_t len = str_len(dir_path);
    if (name[0] == '\0' || len > FS_PATH_MAX - 1 || depth >= MAX_DEPTH) return;
    if (!fat_cluster_valid(child) || !may_enter(child)) return;
    WalkLevel &level = levels[depth];
    level.resume_sector = DirCursor.sector;
    level.resume_slot = DirCursor.offset / DIR_SLOT_SIZE;
    level.child_sector = FoundEntry.entry_sector;
    level.child_slot = FoundEntry.entry_offset / DIR_SLOT_SIZE;
    level.child_cluster = (uint16_t)child;
    level.parent_path_length = (uint16_t)str_len(walk_path);
    const DirCursorState resume = DirCursor;
    const uint32_t parent_cluster = current_cluster;
    const uint8_t in_subdir = CurrentDir.in_subdir;
    const uint32_t first_cluster = CurrentDir.first_cluster;

    str_copy(dir_path, walk_path);
    // Through its path, so that every path the walk returns below it names
    // what the walk listed (a name that reads like an earlier sibling's
    // leads to that sibling, and this directory is passed over).
    if (enter_walk_path(child) != FS_OK) {
        walk_path[level.parent_path_length] = '\0';
        DirCursor = resume;
        CurrentDir.in_subdir = in_subdir;
        CurrentDir.first_cluster = first_cluster;
        current_cluster = parent_cluster;
        return;
    }
    if (entered_count < ENTERED_KEPT) entered[entered_count++] = (uint16_t)child;
    depth++;
}

// True while the parent's entry for a child is still that child's.
bool child_entry_intact(const WalkLevel &level) {
    SectorBuffer sector;
    if (disk_read_sector(sector, level.child_sector) != FS_OK) return false;
    const uint8_t *slot = sector + level.child_slot * DIR_SLOT_SIZE;
    return slot[0] != ENTRY_END && slot[0] != ENTRY_FREE && (slot[DIR_ATTR] & ATTR_DIRECTORY) &&
           le_get(slot + DIR_FIRST_CLUSTER, 2) == level.child_cluster;
}

#endif // FS_WITH_WALK

FsStatus done(FsStatus status) {
    if (status == FS_OK) fs_set_error(FS_ERR_NONE);
    return status;
}

#if FS_WITH_WALK
// One step of the walk; fs_walk_tree keeps the caller's current directory
// around it.
FsStatus walk_step(char *out_path, uint8_t continue_flag, uint8_t *out_attr) {
    if (continue_flag == 0) {
        str_copy("C:\\", walk_path);
        depth = 0;
        entered_count = 0;
        walking = walk_enter_dir() == FS_OK;
        cursor_save(1);
    }
    if (!walking) return fs_fail(fs_is_mounted() ? FS_ERR_NONE : FS_ERR_NOT_MOUNTED);
    cursor_restore(1);
    char ext[EXT_AREA];
    for (;;) {
        char *name = begin_out_path(out_path, walk_path);
        if (dir_read_entry(name, ext, 1) != FS_OK) {
            FsStatus left = walk_leave_dir();
            if (left != FS_OK) { // the root is done, or the walk lost its place
                walking = false;
                return fs_fail(left == FS_AT_TOP ? FS_ERR_NONE : FS_ERR_NOT_FOUND);
            }
            continue;
        }
        *out_attr = FoundEntry.attr;
        if (!(FoundEntry.attr & ATTR_DIRECTORY)) {
            finish_out_path(name, ext);
            cursor_save(1);
            return done(FS_OK);
        }
        if (passed_over(name)) continue; // "." and ".."
        finish_out_path(name, ext);      // "v1.2" too: a directory's name may hold dots
        descend(out_path, name);
        cursor_save(1);
        return done(FS_OK);
    }
}

#endif // FS_WITH_WALK

// A listing step of fs_list_entries: the next entry of the directory in
// cursor slot 0 that is neither "." nor ".." nor a volume label.
FsStatus list_step(FsEntry *out) {
    const DiskFailMark failures = disk_failures();
    cursor_restore(0);
    char name[LFN_MAX_NAME + 1];
    char ext[EXT_AREA];
    for (;;) {
        if (dir_read_entry(name, ext, 1) != FS_OK) {
            // The reader takes an unreadable sector for the end: say so.
            return disk_fail_since(failures, FS_ERR_NONE);
        }
        const uint8_t *slot = dir_last_short_entry();
        if (slot[DIR_ATTR] & ATTR_VOLUME_ID) continue;
        if (slot[0] == '.' && (slot[1] == ' ' || (slot[1] == '.' && slot[2] == ' '))) continue;
        dir_fill_entry(out, name);
        cursor_save(0);
        return done(FS_OK);
    }
}

} // namespace

extern "C" {

FsStatus fs_list_dir(char *out_path, uint8_t continue_flag, uint8_t *out_attr) {
    if (out_path == nullptr || out_attr == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (continue_flag == 0) {
        // Re-enter the current directory by its path; fs_chdir leaves the
        // cursor on its first slot.
        DirCursor.search_kind = KIND_DIR;
        if (fs_chdir(CurrentDir.path, 0) != FS_OK) return FS_FAIL;
        cursor_save(0);
    }
    cursor_restore(0);
    char ext[EXT_AREA];
    for (;;) {
        char *name = begin_out_path(out_path, CurrentDir.path);
        if (dir_read_entry(name, ext, 1) != FS_OK) return fs_fail(FS_ERR_NONE); // the end of the listing
        *out_attr = FoundEntry.attr;
        bool dotted = passed_over(name); // "." and ".."
        finish_out_path(name, ext);
        if (dotted) continue;
        cursor_save(0);
        return done(FS_OK);
    }
}

#if FS_WITH_WALK
FsStatus walk_enter_dir(void) { return enter_walk_path(0xFFFFFFFFu); }

FsStatus walk_leave_dir(void) {
    if (depth == 0) {
        CurrentDir.in_subdir = 0;
        return FS_AT_TOP;
    }
    const WalkLevel &level = levels[--depth];
    walk_path[level.parent_path_length] = '\0';
    const uint32_t parent_cluster = depth == 0 ? 0 : levels[depth - 1].child_cluster;
    // Go on from the place the walk left the parent at, if that place still
    // is what it was: the parent where it was, its entry for the child. The
    // parent's path puts the cursor in the parent as it was read (root area
    // or chain, a directory search); the place within it comes from the level.
    if (enter_walk_path(parent_cluster) != FS_OK || !child_entry_intact(level)) return FS_FAIL;
    DirCursor.sector = level.resume_sector;
    DirCursor.offset = level.resume_slot * DIR_SLOT_SIZE;
    if (DirCursor.in_chain && level.resume_sector >= VolumeGeometry.first_data_sector)
        DirCursor.cluster =
            (level.resume_sector - VolumeGeometry.first_data_sector) / VolumeGeometry.sectors_per_cluster + 2;
    CurrentDir.in_subdir = str_len(walk_path) > ROOT_PATH_LENGTH ? 1 : 0;
    return FS_OK;
}

FsStatus fs_walk_tree(char *out_path, uint8_t continue_flag, uint8_t *out_attr) {
    if (out_path == nullptr || out_attr == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    // The walk enters directories through CurrentDir; between and after its
    // calls relative paths must still mean the caller's current directory.
    const CurrentDirRecord caller = CurrentDir;
    FsStatus status = walk_step(out_path, continue_flag, out_attr);
    CurrentDir = caller;
    return status;
}

#endif // FS_WITH_WALK

FsStatus fs_list_entries(const char *dir_path, uint8_t continue_flag, FsEntry *out) {
    if (out == nullptr || (continue_flag == 0 && dir_path == nullptr))
        return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (continue_flag == 0) {
        DirCursor.search_kind = KIND_DIR;
        if (path_resolve(dir_path) != FS_OK) {
            path_explain_failure(dir_path, KIND_DIR);
            return FS_FAIL;
        }
        if (path_names_entry(dir_path)) {
            if (!(FoundEntry.attr & ATTR_DIRECTORY)) return fs_fail(FS_ERR_NOT_DIRECTORY);
            if (!fat_cluster_valid(FoundEntry.first_cluster)) return fs_fail(FS_ERR_DAMAGED);
            dir_cursor_start(FoundEntry.first_cluster);
        }
        // Without a component the resolution left the cursor on the first
        // slot of the root or of the current directory.
        cursor_save(0);
    }
    return list_step(out);
}

#if FS_WITH_WALK
FsStatus fs_find_file(const char *name, uint8_t whole_volume, char *out_path) {
    if (name == nullptr || out_path == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (whole_volume == 0) {
        if (str_len(CurrentDir.path) + 1 + str_len(name) > FS_OUT_PATH_SIZE - 1)
            return fs_fail(FS_ERR_PATH_TOO_LONG);
        char *stored = begin_out_path(out_path, CurrentDir.path);
        str_copy(name, stored);
        DirCursor.search_kind = KIND_FILE;
        if (path_resolve(out_path) != FS_OK) return FS_FAIL;
        if (FoundEntry.attr & ATTR_DIRECTORY) return fs_fail(FS_ERR_IS_DIRECTORY);
        // The path names the file as it is stored, not as it was asked for,
        // and as listings give it: 8.3 names in their case only with kept case.
        dir_last_stored_name(stored, FS_OUT_PATH_SIZE - (uint32_t)(stored - out_path),
                             (fs_get_options() & FS_OPT_KEEP_CASE) != 0);
        return done(FS_OK);
    }
    uint8_t attr = 0;
    for (uint8_t more = 0; fs_walk_tree(out_path, more, &attr) == FS_OK; more = 1) {
        if (attr & ATTR_DIRECTORY) continue;
        const char *last = out_path + str_len(out_path);
        while (last > out_path && last[-1] != '\\') last--;
        // A name longer than 255 bytes in UTF-8 (more than 85 units) may be
        // in the path by its alias: its slots are read again.
        if (str_equal_nocase(last, name) ||
            (dir_last_long_units() > LFN_MAX_NAME / 3 && dir_last_long_equals(name, str_len(name))))
            return done(FS_OK);
    }
    return fs_fail(fs_last_error() == FS_ERR_NONE ? FS_ERR_NOT_FOUND : fs_last_error());
}

#endif // FS_WITH_WALK

void walk_reset(void) {
#if FS_WITH_WALK
    walking = false;
    depth = 0;
#endif
}
}
