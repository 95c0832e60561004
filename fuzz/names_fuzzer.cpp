// Arbitrary bytes as paths and names for every public operation on a sound
// volume. The input is a list of operations, each an operation byte followed
// by its strings, each string ended by a 0x00 byte. Nothing may crash, and the
// volume must stay consistent: fs_check runs after every operation that can
// write. Beyond that, what an absolute path creates must be found again by
// that path, and what it removes must be gone.
#include <vector>

#include "fuzz_common.h"

namespace {

using fuzz::Reader;

// The operation byte: the low five bits choose the operation; bit 5 puts a
// drive prefix ("C:\") in front of the first string, bit 6 a backslash, and
// bit 7 repeats the string a number of times given by the next byte (so that
// short inputs make long paths).
const uint8_t PREFIX_DRIVE = 0x20;
const uint8_t PREFIX_BACKSLASH = 0x40;
const uint8_t REPEAT = 0x80;

bool absolute(const std::string &path) {
    return path.size() >= 3 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
           path[1] == ':' && path[2] == '\\';
}

std::string take_string(Reader &in, uint8_t op) {
    std::string s = in.until_zero();
    if (op & REPEAT) {
        uint32_t times = 1 + in.byte() % 40;
        std::string one = s;
        for (uint32_t i = 1; i < times && s.size() < 2000; i++) s += one;
    }
    if (op & PREFIX_BACKSLASH) s = "\\" + s;
    if (op & PREFIX_DRIVE) s = "C:\\" + s;
    return s;
}

bool resolves(const std::string &path, uint8_t kind) {
    DirCursor.search_kind = kind;
    if (path_resolve(path.c_str()) != FS_OK) return false;
    // A directory component also leads by its part before a dot ("B.. O"
    // into B): the entry a path names is the one its last component names
    // whole.
    if (path_names_entry(path.c_str()) && !path_found_by_whole_name(path.c_str())) return false;
    return kind == KIND_DIR || !(FoundEntry.attr & ATTR_DIRECTORY);
}

// The directory part of an absolute path and its last component.
void split_last(const std::string &path, std::string *dir, std::string *name) {
    size_t cut = path.rfind('\\');
    *name = path.substr(cut + 1);
    *dir = cut <= 2 ? path.substr(0, 3) : path.substr(0, cut);
}

std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

void fail(const std::string &what) {
    fprintf(stderr, "%s\n", what.c_str());
    fuzz::die("a name was not handled as the design says");
}

// Describes an operation for the report of a failed check.
std::string show(const char *op, const std::string &a, const std::string &b = "") {
    std::string s = op;
    s += "(\"";
    for (char c : a) {
        char hex[8];
        if ((uint8_t)c >= 0x20 && (uint8_t)c < 0x7F) {
            s += c;
        } else {
            snprintf(hex, sizeof hex, "\\x%02X", (uint8_t)c);
            s += hex;
        }
    }
    s += "\"";
    if (!b.empty()) s += ", \"" + b + "\"";
    return s + ")";
}

void run_one(Reader &in) {
    uint8_t op = in.byte();
    std::string a = take_string(in, op);
    if (getenv("FUZZ_TRACE") != nullptr)
        fprintf(stderr, "%s\n", show("op", std::to_string((op & 0x1F) % 17) + " " + a).c_str());
    char out[FS_OUT_PATH_SIZE];
    char name[2048];
    uint8_t attr = 0;
    const uint8_t which = (op & 0x1F) % 17;
    switch (which) {
    case 0:
        if (fs_mkdir(a.c_str()) == FS_OK && absolute(a) && !resolves(a, KIND_DIR)) fail(show("fs_mkdir", a));
        fuzz::require_clean_check(show("fs_mkdir", a));
        break;
    case 1:
        if (fs_create_file(a.c_str()) == FS_OK && absolute(a) && !resolves(a, KIND_FILE))
            fail(show("fs_create_file", a));
        fuzz::require_clean_check(show("fs_create_file", a));
        break;
    case 2: { // open, write, read back, close
        uint8_t h = fs_open(a.c_str());
        if (h == FS_FAIL) break;
        if (h >= FS_OPEN_SLOTS) fail(show("fs_open gave a bad handle", a));
        static uint8_t bytes[3000];
        uint32_t n = in.byte() * 11;
        for (uint32_t i = 0; i < n; i++) bytes[i] = (uint8_t)(i + op);
        fs_write(h, bytes, n);
        fs_seek(h, 0, ORIGIN_START);
        fs_read(h, bytes, sizeof bytes);
        if (in.byte() & 1) fs_close(h); // sometimes left open
        fuzz::require_clean_check(show("fs_write", a));
        break;
    }
    case 3:
        if (fs_delete_file(a.c_str()) == FS_OK && absolute(a) && resolves(a, KIND_FILE))
            fail(show("fs_delete_file", a));
        fuzz::require_clean_check(show("fs_delete_file", a));
        break;
    case 4:
        if (fs_rmdir(a.c_str()) == FS_OK && absolute(a) && resolves(a, KIND_DIR)) fail(show("fs_rmdir", a));
        fuzz::require_clean_check(show("fs_rmdir", a));
        break;
    case 5: {
        std::string b = in.until_zero();
        if (fs_rename(a.c_str(), b.c_str()) == FS_OK && absolute(a)) {
            std::string dir, old_name, new_dir, new_name;
            split_last(upper(a), &dir, &old_name);
            split_last("C:\\" + upper(b), &new_dir, &new_name);
            std::string target = dir.size() == 3 ? dir + new_name : dir + "\\" + new_name;
            if (!resolves(target, KIND_FILE)) fail(show("fs_rename", a, b) + " then " + target);
        }
        fuzz::require_clean_check(show("fs_rename", a, b));
        break;
    }
    case 6: fs_chdir(a.c_str(), 0); break;
    case 7: fs_chdir(a.c_str(), 1); break;
    case 8:
    case 9:
        if (a.size() < sizeof name) {
            memcpy(name, a.c_str(), a.size() + 1);
            if (fs_find_file(name, which == 9, out) == FS_OK && strlen(out) >= FS_OUT_PATH_SIZE)
                fail(show("fs_find_file overran", a));
        }
        break;
    case 10: resolves(a, KIND_FILE); break;
    case 11: resolves(a, KIND_DIR); break;
    case 12: fs_list_dir(out, 0, &attr); break;
    case 13: fs_list_dir(out, 1, &attr); break;
    case 14: fs_walk_tree(out, 0, &attr); break;
    case 15: fs_walk_tree(out, 1, &attr); break;
    default: {
        // A whole walk, then a whole listing.
        for (int i = 0; i < 4000 && fs_walk_tree(out, i == 0 ? 0 : 1, &attr) == FS_OK; i++) {
        }
        for (int i = 0; i < 4000 && fs_list_dir(out, i == 0 ? 0 : 1, &attr) == FS_OK; i++) {
        }
        break;
    }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::prepare_pristine([] {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::reset_volume();
    if (fs_init() != FS_OK) fuzz::die("the pristine volume does not mount");
    fuzz::end_listing_and_walk();
    Reader in(data, size);
    for (int ops = 0; ops < 200 && !in.empty(); ops++) run_one(in);
    fuzz::require_clean_check("the last operation");
    return 0;
}
