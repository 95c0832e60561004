// Path resolution and the current directory. A path is absolute ("C:\A"),
// rooted ("\A") or relative to the current directory ("A\B"); components
// are matched without regard to ASCII case.
#include <string.h>

#include "fat16_dir.h"
#include "fat16_disk.h"
#include "fat16_layout.h"
#include "fat16_volume.h"

extern "C" {
CurrentDirRecord CurrentDir;
}

namespace {

enum PathForm { FORM_INVALID, FORM_ABSOLUTE, FORM_ROOTED, FORM_RELATIVE };

const uint32_t ROOT_PATH_LENGTH = 3; // "C:\"
const uint32_t NAME_AREA = LFN_MAX_NAME + 1;
const uint32_t EXT_AREA = 20;

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The form of the first `length` bytes of a path by their first
// characters. A letter and ':' must be followed by '\'; any other first
// character but '\' starts a relative path.
PathForm path_form_n(const char *path, uint32_t length) {
    if (length == 0) return FORM_INVALID;
    if (is_letter(path[0]) && length >= 2 && path[1] == ':')
        return length >= 3 && path[2] == '\\' ? FORM_ABSOLUTE : FORM_INVALID;
    if (path[0] == '\\') return FORM_ROOTED;
    return FORM_RELATIVE;
}

PathForm path_form(const char *path) { return path_form_n(path, str_len(path)); }

uint8_t drive_index_of(char letter) {
    char upper = letter >= 'a' ? (char)(letter - 0x20) : letter;
    return (uint8_t)(upper - 'C');
}

// Cuts the last component off an absolute path: C:\A\B becomes C:\A and
// C:\A becomes C:\.
void cut_last_component(char *path) {
    uint32_t len = str_len(path);
    while (len > 0 && path[len - 1] != '\\') path[--len] = '\0';
    if (len > 0 && !(len >= 2 && path[len - 2] == ':')) path[len - 1] = '\0';
}

// Set by dir_find_name when a name matched an entry of the other kind.
bool matched_other_kind = false;

// Why a component was not found: an entry of that name but of the other
// kind, or none at all.
FsStatus not_found(void) { return fs_fail(matched_other_kind ? FS_ERR_NOT_DIRECTORY : FS_ERR_NOT_FOUND); }

// True when a component (`length` bytes) could name an entry: at most 255
// UTF-16 units (a component that is no valid UTF-8 names nothing, but is no
// error).
bool component_usable(const char *component, uint32_t length) {
    if (length >= FS_NAME_SIZE) return false;
    uint32_t units = str_utf16_units(component, length);
    return units == 0xFFFFFFFFu || units <= LFN_MAX_NAME;
}

// True when the entry dir_read_entry returned last is named by the
// `length` bytes at `component`: its long name or its 8.3 name
// ("NAME.EXT"), without regard to case. A component too long for any 8.3
// name in UTF-8 is compared with the long name only: `long_named` says
// whether the long name is the component.
bool entry_named(const char *component, uint32_t length, bool long_named) {
    if (long_named) return true;
    if (length >= FS_SHORT_NAME_SIZE) return false;
    char text[FS_SHORT_NAME_SIZE];
    dir_short_name_text(dir_last_short_entry(), text);
    return text[0] != '\0' && str_equal_nocase_n(text, component, length);
}

// How a directory component was matched before names were compared whole:
// its part before the first '.' (with at most 3 characters after it)
// against the name of a directory whose name has no extension, so that
// "FOO.TXT\X" still leads into FOO.
bool legacy_directory_match(const char *component, uint32_t length, const char *entry_name,
                            const char *entry_ext) {
    if (entry_ext[0] != '\0') return false;
    uint32_t dot = 0;
    while (dot < length && component[dot] != '.') dot++;
    if (dot == length || length - dot - 1 > 3) return false;
    return str_equal_nocase_n(entry_name, component, dot);
}

// Reads the directory from the cursor on for the entry the `length` bytes
// at `component` name. A directory component matches only a directory that
// has a chain: walking into a file's data, or into cluster 0, as if it were
// a directory would read and write the wrong sectors. FS_OK with the cursor
// one slot past the entry's 8.3 slot, FoundEntry describing it.
FsStatus find_component(const char *component, uint32_t length) {
    char entry_name[NAME_AREA];
    char entry_ext[EXT_AREA];
    const bool final_file = DirCursor.search_kind == KIND_FILE && DirCursor.component_kind == KIND_FILE;
    DirCursorMark before;
    DirCursorMark legacy;
    bool have_legacy = false;
    for (;;) {
        dir_cursor_mark(&before);
        if (dir_read_entry(entry_name, entry_ext, 0) != FS_OK) break;
        bool named = entry_named(component, length, dir_last_long_matches() != 0);
        if (final_file) {
            if (named) return FS_OK;
            continue;
        }
        bool directory = (FoundEntry.attr & ATTR_DIRECTORY) && fat_cluster_valid(FoundEntry.first_cluster);
        if (named) {
            if (directory) return FS_OK;
            matched_other_kind = true;
        } else if (!have_legacy && directory &&
                   legacy_directory_match(component, length, entry_name, entry_ext)) {
            legacy = before;
            have_legacy = true;
        }
    }
    if (!have_legacy) return FS_FAIL;
    // Read that entry again, so that the cursor, FoundEntry and the reader's
    // last entry all describe it.
    dir_cursor_return(&legacy);
    return dir_read_entry(entry_name, entry_ext, 0);
}

FsStatus dir_find_component(const char *component, uint32_t length) {
    matched_other_kind = false;      // what a failure reports is about this component
    if (length == 0) return FS_FAIL; // an empty component names nothing
    dir_want_name(component, length);
    FsStatus status = find_component(component, length);
    dir_want_name(nullptr, 0);
    return status;
}

// Resolves the components from `rest` up to `end` from where the cursor
// stands. The path is only read: components are compared in place.
FsStatus walk(const char *rest, const char *end) {
    matched_other_kind = false;
    for (;;) {
        // Trailing dots and spaces are no part of a name (creation drops
        // them too), so "NAME." finds NAME, and "." and ".." name nothing.
        const char *stop = rest;
        while (stop < end && *stop != '\\') stop++;
        const bool last = stop == end;
        const char *cut = stop;
        while (cut > rest && (cut[-1] == '.' || cut[-1] == ' ')) cut--;
        const uint32_t length = (uint32_t)(cut - rest);
        DirCursor.component_kind = last && DirCursor.search_kind == KIND_FILE ? KIND_FILE : KIND_DIR;
        if (!component_usable(rest, length)) return fs_fail(FS_ERR_INVALID_NAME);
        if (dir_find_component(rest, length) != FS_OK) return not_found();
        if (DirCursor.component_kind == KIND_DIR && DirCursor.in_chain == 0) DirCursor.in_chain = 1;
        if (last) break;
        rest = stop + 1;
        DirCursor.cluster = FoundEntry.first_cluster;
        DirCursor.sector = cluster_to_sector(DirCursor.cluster);
        DirCursor.offset = 0;
    }
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

// Resolves the first `length` bytes of `path`, as path_resolve resolves a
// whole path.
FsStatus resolve(const char *path, uint32_t length) {
    PathForm form = path_form_n(path, length);
    if (form == FORM_INVALID) return fs_fail(FS_ERR_INVALID_NAME);
    uint32_t units = str_utf16_units(path, length);
    if (units == 0xFFFFFFFFu) units = length;        // no UTF-8: bytes count
    if (length > FS_PATH_BYTES - 1) units = 0xFFFFu; // more bytes than any path of 260 units
    bool too_long = fs_long_paths()
                        ? false
                        : (form == FORM_ABSOLUTE && units > FS_PATH_MAX) ||
                              (form == FORM_ROOTED && units + 1 > FS_PATH_MAX) ||
                              (form == FORM_RELATIVE && units + path_length(CurrentDir.path) > FS_PATH_MAX);
    if (too_long) {
        fs_set_error(FS_ERR_PATH_TOO_LONG);
        return FS_PATH_TOO_LONG;
    }
    const char *rest = path;
    if (form == FORM_ABSOLUTE) {
        if (fs_mount(drive_index_of(path[0])) != FS_OK) return FS_FAIL; // the mount gave its reason
        dir_cursor_start(0);
        rest = path + 3;
    } else {
        if (!fs_is_mounted()) return fs_fail(FS_ERR_NOT_MOUNTED);
        if (form == FORM_ROOTED) {
            dir_cursor_start(0);
            rest = path + 1;
        } else if (CurrentDir.in_subdir) {
            DirCursor.in_chain = 1;
            DirCursor.cluster = CurrentDir.first_cluster;
            DirCursor.sector = cluster_to_sector(DirCursor.cluster);
            DirCursor.offset = 0;
        } else {
            dir_cursor_start(0);
        }
    }
    if (rest == path + length) {
        fs_set_error(FS_ERR_NONE);
        return FS_OK;
    }
    // A directory sector that cannot be read ends the search early: report
    // the read, not a missing name.
    const DiskFailMark failures = disk_failures();
    FsStatus walked = walk(rest, path + length);
    if (walked != FS_OK && disk_failed_since(failures)) fs_set_error(FS_ERR_IO);
    return walked;
}

// 1 when the first `length` bytes of a path have a component to name an
// entry by.
bool names_entry(const char *path, uint32_t length) {
    switch (path_form_n(path, length)) {
    case FORM_ABSOLUTE: return length > 3;
    case FORM_ROOTED: return length > 1;
    case FORM_RELATIVE: return true;
    default: return false;
    }
}

// After a lookup of the first `length` bytes of `path` for `wanted_kind`
// failed with "not found": "is a directory" or "not a directory" when they
// name an entry of the other kind.
void explain(const char *path, uint32_t length, uint8_t wanted_kind) {
    if (fs_last_error() != FS_ERR_NOT_FOUND) return;
    uint8_t saved_kind = DirCursor.search_kind;
    DirCursor.search_kind = wanted_kind == KIND_FILE ? KIND_DIR : KIND_FILE;
    bool other_kind = resolve(path, length) == FS_OK && names_entry(path, length) &&
                      ((FoundEntry.attr & ATTR_DIRECTORY) != 0) == (wanted_kind == KIND_FILE);
    DirCursor.search_kind = saved_kind;
    fs_set_error(other_kind ? (wanted_kind == KIND_FILE ? FS_ERR_IS_DIRECTORY : FS_ERR_NOT_DIRECTORY)
                            : FS_ERR_NOT_FOUND);
}

} // namespace

extern "C" {

void dir_reset(void) {
    CurrentDir.in_subdir = 0;
    str_copy("C:\\", CurrentDir.path);
}

FsStatus name_compare(const char *a, const char *b) { return str_equal_nocase(a, b) ? FS_OK : FS_FAIL; }

FsStatus path_next_component(const char *pos, char *name, char *ext, uint8_t *consumed) {
    uint32_t taken = 0;
    uint32_t name_len = 0;
    uint32_t ext_len = 0;
    bool in_ext = false;
    DirCursor.component_kind = KIND_DIR;
    for (;;) {
        char c = pos[taken];
        if (c == '\0' || c == '\\') {
            name[name_len] = '\0';
            ext[ext_len] = '\0';
            if (c == '\\') {
                taken++;
                if (taken > 255) return FS_FAIL; // `consumed` is one byte
                *consumed = (uint8_t)taken;
                return FS_OK;
            }
            *consumed = (uint8_t)taken;
            if (DirCursor.search_kind == KIND_FILE) DirCursor.component_kind = KIND_FILE;
            return FS_LAST_COMPONENT;
        }
        taken++;
        if (taken > 255) return FS_FAIL;
        if (!in_ext) {
            if (c == '.') {
                in_ext = true;
            } else {
                if (name_len == LFN_MAX_NAME) return FS_FAIL;
                name[name_len++] = c;
            }
        } else {
            if (ext_len == 3) return FS_FAIL;
            ext[ext_len++] = c;
        }
    }
}

FsStatus dir_find_name(char *name, char *ext) {
    char entry_name[NAME_AREA];
    char entry_ext[EXT_AREA];
    bool final_file = DirCursor.search_kind == KIND_FILE && DirCursor.component_kind == KIND_FILE;
    for (;;) {
        if (dir_read_entry(entry_name, entry_ext, 0) != FS_OK) return FS_FAIL;
        if (!str_equal_nocase(entry_name, name)) continue;
        if (final_file) {
            if (str_equal_nocase(entry_ext, ext)) return FS_OK;
            continue;
        }
        // A directory component matches only a directory that has a chain:
        // walking into a file's data, or into cluster 0, as if it were a
        // directory would read and write the wrong sectors.
        if (entry_ext[0] != '\0') continue;
        if ((FoundEntry.attr & ATTR_DIRECTORY) && fat_cluster_valid(FoundEntry.first_cluster)) return FS_OK;
        matched_other_kind = true;
    }
}

FsStatus path_walk(char *rest) {
    if (rest == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    return walk(rest, rest + str_len(rest));
}

FsStatus path_resolve(const char *path) {
    if (path == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    return resolve(path, str_len(path));
}

FsStatus path_resolve_parent(const char *path, uint32_t parent_length, uint8_t explain_failure) {
    // No directory in front of the name: the current one.
    if (parent_length == 0) {
        path = CurrentDir.path;
        parent_length = str_len(CurrentDir.path);
    }
    DirCursor.search_kind = KIND_DIR;
    if (resolve(path, parent_length) == FS_OK) return FS_OK;
    if (explain_failure) {
        explain(path, parent_length, KIND_DIR);
        if (fs_last_error() == FS_ERR_NOT_FOUND) fs_set_error(FS_ERR_NO_PARENT);
    }
    return FS_FAIL;
}

uint8_t path_names_entry(const char *path) {
    if (path == nullptr) return 0;
    return names_entry(path, str_len(path)) ? 1 : 0;
}

FsStatus fs_chdir(const char *path, uint8_t up) {
    char next_path[FS_PATH_MAX + 2];
    if (up) {
        if (CurrentDir.in_subdir == 0) {
            fs_set_error(FS_ERR_NONE);
            return FS_AT_TOP;
        }
        DirCursor.search_kind = KIND_DIR;
        if (path_resolve(CurrentDir.path) != FS_OK) return FS_FAIL;
        str_copy(CurrentDir.path, next_path);
        cut_last_component(next_path);
        uint8_t in_subdir = str_len(next_path) > ROOT_PATH_LENGTH ? 1 : 0;
        uint32_t cluster = CurrentDir.first_cluster;
        if (in_subdir) {
            // The parent's first cluster: resolve the shortened path.
            DirCursor.search_kind = KIND_DIR;
            if (path_resolve(next_path) != FS_OK) return FS_FAIL;
            cluster = FoundEntry.first_cluster;
        }
        str_copy(next_path, CurrentDir.path);
        CurrentDir.in_subdir = in_subdir;
        CurrentDir.first_cluster = cluster;
        return FS_OK;
    }

    if (path == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    DirCursor.search_kind = KIND_DIR;
    if (path_resolve(path) != FS_OK) {
        path_explain_failure(path, KIND_DIR);
        return FS_FAIL;
    }
    // The new current path must fit CurrentDir.path with its NUL.
    uint32_t len = str_len(path);
    uint32_t current_len = str_len(CurrentDir.path);
    PathForm form = path_form(path);
    if (form == FORM_ABSOLUTE) {
        if (len > FS_PATH_MAX - 1) return fs_fail(FS_ERR_PATH_TOO_LONG);
        str_copy(path, next_path);
    } else if (form == FORM_ROOTED) {
        if (len + 2 > FS_PATH_MAX - 1) return fs_fail(FS_ERR_PATH_TOO_LONG);
        next_path[0] = CurrentDir.path[0];
        next_path[1] = CurrentDir.path[1];
        str_copy(path, next_path + 2);
    } else {
        uint32_t separator = current_len > ROOT_PATH_LENGTH ? 1 : 0;
        if (current_len + separator + len > FS_PATH_MAX - 1) return fs_fail(FS_ERR_PATH_TOO_LONG);
        str_copy(CurrentDir.path, next_path);
        if (separator) str_append(next_path, "\\");
        str_append(next_path, path);
    }
    str_copy(next_path, CurrentDir.path);
    if (str_len(next_path) > ROOT_PATH_LENGTH) {
        CurrentDir.in_subdir = 1;
        CurrentDir.first_cluster = FoundEntry.first_cluster;
        DirCursor.cluster = FoundEntry.first_cluster;
        DirCursor.sector = cluster_to_sector(DirCursor.cluster);
    } else {
        CurrentDir.in_subdir = 0;
        DirCursor.sector = VolumeGeometry.root_dir_start;
    }
    DirCursor.offset = 0;
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

uint32_t path_length(const char *path) {
    uint32_t bytes = str_len(path);
    uint32_t units = str_utf16_units(path, bytes);
    return units == 0xFFFFFFFFu ? bytes : units;
}

uint32_t path_absolute_length(const char *path, uint32_t length) {
    uint32_t units = str_utf16_units(path, length);
    if (units == 0xFFFFFFFFu) units = length;
    switch (path_form_n(path, length)) {
    case FORM_ABSOLUTE: return units;
    case FORM_ROOTED: return units + 2; // "C:" in front
    default: {
        // The current directory, a backslash unless it is the root, the path.
        uint32_t current = path_length(CurrentDir.path);
        return current + (CurrentDir.in_subdir ? 1 : 0) + units;
    }
    }
}

FsStatus path_split_name(const char *path, uint32_t *parent_length, const char **name) {
    uint32_t len = str_len(path);
    uint32_t p = len;
    while (p > 0 && path[p - 1] != '\\') p--;
    *name = path + p;
    if (p == 0) {
        *parent_length = 0; // a bare name lives in the current directory
    } else if (p <= 3 && path[1] == ':') {
        *parent_length = p; // "C:\"
    } else if (p == 1) {
        *parent_length = 1; // "\"
    } else if (path[p - 2] == '\\') {
        // An empty component in front of the name ("C:\\NAME"): lookups
        // refuse such a path, so nothing may be made or named by it.
        return FS_FAIL;
    } else {
        *parent_length = p - 1;
    }
    return FS_OK;
}

uint8_t path_found_by_whole_name(const char *path) {
    uint32_t length = str_len(path);
    while (length > 0 && (path[length - 1] == '.' || path[length - 1] == ' ')) length--;
    uint32_t start = length;
    while (start > 0 && path[start - 1] != '\\') start--;
    const char *component = path + start;
    return entry_named(component, length - start, dir_last_long_equals(component, length - start) != 0) ? 1
                                                                                                        : 0;
}

FsStatus path_find_entry(const char *path, uint8_t *kind) {
    uint8_t found_by = KIND_FILE;
    DirCursor.search_kind = KIND_FILE;
    if (path_resolve(path) != FS_OK) {
        if (fs_last_error() != FS_ERR_NOT_FOUND) return FS_FAIL;
        found_by = KIND_DIR;
        DirCursor.search_kind = KIND_DIR;
        if (path_resolve(path) != FS_OK) return FS_FAIL;
    }
    // The entry a path names is the one named wholly: "FOO.ABC" is no name
    // of the directory FOO, though a directory component may lead there.
    if (!path_found_by_whole_name(path)) return fs_fail(FS_ERR_NOT_FOUND);
    if (kind != nullptr) *kind = found_by;
    return FS_OK;
}

FsStatus fs_stat(const char *path, FsEntry *out) {
    if (path == nullptr || out == nullptr) return fs_fail(FS_ERR_INVALID_ARGUMENT);
    if (!path_names_entry(path)) {
        // The root, or the current directory named by an empty relative part.
        DirCursor.search_kind = KIND_DIR;
        if (path_resolve(path) != FS_OK) return FS_FAIL;
        memset(out, 0, sizeof *out);
        out->attr = ATTR_DIRECTORY;
        return FS_OK;
    }
    if (path_find_entry(path, nullptr) != FS_OK) return FS_FAIL;
    dir_fill_entry(out, nullptr);
    fs_set_error(FS_ERR_NONE);
    return FS_OK;
}

void path_explain_failure(const char *path, uint8_t wanted_kind) {
    if (path == nullptr) return;
    explain(path, str_len(path), wanted_kind);
}
}
