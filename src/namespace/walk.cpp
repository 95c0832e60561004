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

extern "C" {
char walk_path[FS_PATH_MAX];
}

namespace {

const uint32_t ROOT_PATH_LENGTH = 3;
const uint32_t EXT_AREA = 20;
// Every level adds at least two characters to a path of at most 259.
const uint32_t MAX_DEPTH = FS_PATH_MAX / 2;

// A directory the walk has entered: where to go on in its parent, and what
// the parent and its entry for the child looked like, to tell whether that
// place is still good when the child is done.
struct WalkLevel {
    DirCursorState resume; // the parent's cursor, one slot past the child's entry
    uint32_t parent_cluster;
    uint32_t parent_path_length;
    uint32_t child_cluster;
    uint32_t child_sector;
    uint32_t child_offset;
};

WalkLevel levels[MAX_DEPTH];
uint32_t depth = 0;
uint32_t current_cluster = 0; // the directory being read; 0 for the root
bool walking = false;
// Directory clusters entered during this walk: each is entered at most once,
// so cross-linked or self-containing directories cannot make it go round.
uint8_t entered[(FS_MAX_CLUSTERS + 2) / 8 + 1];

bool was_entered(uint32_t c) { return (entered[c / 8] >> (c % 8)) & 1u; }
void mark_entered(uint32_t c) { entered[c / 8] |= (uint8_t)(1u << (c % 8)); }

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
    if ((FoundEntry.attr & ATTR_DIRECTORY) || ext[0] == '\0') return;
    str_append(name, ".");
    str_append(name, ext);
}

// True for "." and "..", and for an 8.3 name that ends in a dot (no name
// can: it is damage): the entries listings and walks pass over. A long
// name such as "a..b" reads with a name part "a." and is listed.
bool passed_over(const char *name) {
    if (dir_is_dot_entry(dir_last_short_entry())) return true;
    uint32_t len = str_len(name);
    return dir_last_long_name()[0] == '\0' && len > 0 && name[len - 1] == '.';
}

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
    if (!fat_cluster_valid(child) || was_entered(child)) return;
    WalkLevel &level = levels[depth];
    level.resume = DirCursor;
    level.parent_cluster = current_cluster;
    level.parent_path_length = str_len(walk_path);
    level.child_cluster = child;
    level.child_sector = FoundEntry.entry_sector;
    level.child_offset = FoundEntry.entry_offset;
    const uint8_t in_subdir = CurrentDir.in_subdir;
    const uint32_t first_cluster = CurrentDir.first_cluster;

    str_copy(dir_path, walk_path);
    // Through its path, so that every path the walk returns below it names
    // what the walk listed (a name that reads like an earlier sibling's
    // leads to that sibling, and this directory is passed over).
    if (enter_walk_path(child) != FS_OK) {
        walk_path[level.parent_path_length] = '\0';
        DirCursor = level.resume;
        CurrentDir.in_subdir = in_subdir;
        CurrentDir.first_cluster = first_cluster;
        current_cluster = level.parent_cluster;
        return;
    }
    mark_entered(child);
    depth++;
}

// True while the parent's entry for a child is still that child's.
bool child_entry_intact(const WalkLevel &level) {
    SectorBuffer sector;
    if (disk_read_sector(sector, level.child_sector) != FS_OK) return false;
    const uint8_t *slot = sector + level.child_offset;
    return slot[0] != ENTRY_END && slot[0] != ENTRY_FREE && (slot[DIR_ATTR] & ATTR_DIRECTORY) &&
           le_get(slot + DIR_FIRST_CLUSTER, 2) == level.child_cluster;
}

FsStatus done(FsStatus status) {
    if (status == FS_OK) fs_set_error(FS_ERR_NONE);
    return status;
}

// One step of the walk; fs_walk_tree keeps the caller's current directory
// around it.
FsStatus walk_step(char *out_path, uint8_t continue_flag, uint8_t *out_attr) {
    if (continue_flag == 0) {
        str_copy("C:\\", walk_path);
        depth = 0;
        memset(entered, 0, sizeof entered);
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
        descend(out_path, name);
        cursor_save(1);
        return done(FS_OK);
    }
}

// A listing step of fs_list_entries: the next entry of the directory in
// cursor slot 0 that is neither "." nor ".." nor a volume label.
FsStatus list_step(FsEntry *out) {
    const uint64_t failures = disk_failures();
    cursor_restore(0);
    char name[LFN_MAX_NAME + 1];
    char ext[EXT_AREA];
    for (;;) {
        if (dir_read_entry(name, ext, 1) != FS_OK) {
            // The reader takes an unreadable sector for the end: say so.
            return fs_fail(disk_failures() != failures ? FS_ERR_IO : FS_ERR_NONE);
        }
        const uint8_t *slot = dir_last_short_entry();
        if (slot[DIR_ATTR] & ATTR_VOLUME_ID) continue;
        if (slot[0] == '.' && (slot[1] == ' ' || (slot[1] == '.' && slot[2] == ' '))) continue;
        dir_fill_entry(out);
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

FsStatus walk_enter_dir(void) { return enter_walk_path(0xFFFFFFFFu); }

FsStatus walk_leave_dir(void) {
    if (depth == 0) {
        CurrentDir.in_subdir = 0;
        return FS_AT_TOP;
    }
    const WalkLevel &level = levels[--depth];
    walk_path[level.parent_path_length] = '\0';
    // Go on from the place the walk left the parent at, if that place still
    // is what it was: the parent where it was, its entry for the child.
    if (enter_walk_path(level.parent_cluster) != FS_OK || !child_entry_intact(level)) return FS_FAIL;
    DirCursor = level.resume;
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
        // The path names the file as it is stored, not as it was asked for.
        const char *long_name = dir_last_long_name();
        if (long_name[0] != '\0' && (uint32_t)(stored - out_path) + str_len(long_name) < FS_OUT_PATH_SIZE)
            str_copy(long_name, stored);
        else
            dir_short_name_text(dir_last_short_entry(), stored);
        return done(FS_OK);
    }
    uint8_t attr = 0;
    for (uint8_t more = 0; fs_walk_tree(out_path, more, &attr) == FS_OK; more = 1) {
        if (attr & ATTR_DIRECTORY) continue;
        const char *last = out_path + str_len(out_path);
        while (last > out_path && last[-1] != '\\') last--;
        if (str_equal_nocase(last, name)) return done(FS_OK);
    }
    return fs_fail(fs_last_error() == FS_ERR_NONE ? FS_ERR_NOT_FOUND : fs_last_error());
}

void walk_reset(void) {
    walking = false;
    depth = 0;
}
}
