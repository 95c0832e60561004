// Sequences of public calls checked against a model. The input decodes to
// operations (mkdir, create, open, write, seek, read, close, rename, move,
// delete, rmdir, chdir, list, walk, find, options); before each call the
// model predicts its outcome from the same path strings the library gets,
// and after it the model follows. The model keeps the tree with every
// directory's slots (so it knows where first fit puts an entry, when the
// root is full and in which order listings and walks return entries), how
// each name is stored (8.3 entry with its case flags, or long name), every
// file's bytes, the two handles with the sector each one holds, the current
// path and the directory relative paths start from, whether kept case is
// on, and the listing and walk positions. At the end the whole tree, every
// file's bytes and the free space are compared, and fs_check must be clean.
//
// Generated names never meet an alias, so the model needs none: short names
// hold no '~'; long names that get the legacy alias (ASCII, at most one '.'
// and an extension of up to three) have at least nine characters before
// their dot, the first six plain letters or digits, and every other long
// name (several or leading dots, a long extension, non-ASCII characters)
// gets an alias with a tail. So every alias carries a '~' but one: that of
// an 8.3 name kept in mixed case may be the name itself in capitals, which
// that entry's long name already answers to.
// Directory names are ASCII without dots: the walk and the listing give a
// dotted directory's name without its extension, and the walk enters no
// directory whose path has more than 259 bytes, though lookups take paths
// of up to 259 UTF-16 units.
#include <algorithm>
#include <vector>

#include "fuzz_common.h"
#include "../tests/support/utf8_rules.h"

namespace {

using fuzz::Reader;

const int FREE_SLOT = -1;
const int DOT_SLOT = -2;
const uint32_t SLOTS_PER_CLUSTER = 1024; // 64 sectors of 16 slots
const uint32_t ROOT_SLOTS = 1024;
const uint32_t CLUSTER_BYTES = 64 * SECTOR_SIZE;
using namespace name_rules;

enum Outcome { FAILS, SUCCEEDS, UNKNOWN };

std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::string printable(const std::string &s) {
    std::string out;
    for (char c : s) {
        if ((uint8_t)c >= 0x20 && (uint8_t)c < 0x7F) {
            out += c;
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02X", (uint8_t)c);
            out += hex;
        }
    }
    return out;
}

// FUZZ_TRACE=1 prints every call with its result (for reading a failing input).
bool tracing() {
    static const bool on = getenv("FUZZ_TRACE") != nullptr;
    return on;
}

[[noreturn]] void mismatch(const std::string &what) {
    fprintf(stderr, "model and library disagree: %s\n", what.c_str());
    fuzz::die("the library does not behave as modelled");
}

uint32_t clusters_for(uint64_t bytes) { return (uint32_t)((bytes + CLUSTER_BYTES - 1) / CLUSTER_BYTES); }

// How a new name is stored.
struct Prepared {
    bool ok = false;
    std::string text; // a long name as stored, or the 8.3 name "NAME.EXT" in capitals
    bool long_form = false;
    uint8_t flags = 0; // case flags of an 8.3 entry
    uint32_t slots = 1;
};

// The rules of a new name: trailing spaces and dots dropped, then 1 to 255
// UTF-16 units of UTF-8 without control characters and " * / : < > ? \ |.
// An 8.3 name (1-8 characters, at most one '.' and 0-3 after it, ASCII
// without " + , ; = [ ]") is one entry in capitals, with kept case and
// parts all small the case flags, mixed a long name; every other name is a
// long name, in capitals for a rename without kept case.
Prepared prepare_name(const std::string &given, bool keep_case, bool capitals) {
    Prepared p;
    std::string text = trim_right(given);
    if (!valid_new_name(text)) return p;
    uint32_t n = units(text);
    p.ok = true;
    size_t dot = text.find('.');
    std::string base = text.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : text.substr(dot + 1);
    bool short_form =
        !base.empty() && base.size() <= 8 && ext.size() <= 3 && ext.find('.') == std::string::npos;
    for (char c : text)
        if ((uint8_t)c >= 0x80 || strchr(" +,;=[]", c) != nullptr) short_form = false;
    if (short_form && keep_case) {
        int b = part_case(base), e = part_case(ext);
        short_form = b != 2 && e != 2;
        p.flags = (b == 1 ? DIR_CASE_LOWER_BASE : 0) | (e == 1 ? DIR_CASE_LOWER_EXT : 0);
    }
    if (short_form) {
        p.text = upper(text);
        return p;
    }
    p.flags = 0;
    p.long_form = true;
    p.text = capitals && !keep_case ? upper(text) : text;
    p.slots = (n + LFN_CHARS - 1) / LFN_CHARS + 1;
    return p;
}

// "NAME.EXT" with the parts its case flags mark in small letters.
std::string with_flags(const std::string &text, uint8_t flags) {
    std::string out = text;
    size_t dot = out.find('.');
    for (size_t i = 0; i < out.size(); i++) {
        uint8_t flag = i < dot ? DIR_CASE_LOWER_BASE : DIR_CASE_LOWER_EXT;
        if ((flags & flag) && out[i] >= 'A' && out[i] <= 'Z') out[i] = (char)(out[i] + 32);
    }
    return out;
}

// The name and extension the entry reader gives for a stored name: an 8.3
// name's parts, or a long name split at its last '.' within its last 15
// bytes (at position 0 only for a one-character name).
void entry_parts(const std::string &stored, bool long_form, std::string *name, std::string *ext) {
    size_t len = stored.size();
    *name = stored;
    ext->clear();
    if (!long_form) {
        size_t dot = stored.find('.');
        if (dot != std::string::npos) {
            *name = stored.substr(0, dot);
            *ext = stored.substr(dot + 1);
        }
        return;
    }
    if (len == 0) return;
    size_t lowest = len > 15 ? len - 15 : 0;
    if (lowest == 0 && len > 1) lowest = 1;
    for (size_t p = len; p-- > lowest;) {
        if (stored[p] == '.') {
            *name = stored.substr(0, p);
            *ext = stored.substr(p + 1);
            return;
        }
    }
}

struct Node {
    bool alive = true;
    bool dir = false;
    std::string name; // as stored: a long name, or the 8.3 name in capitals
    bool long_form = false;
    uint8_t flags = 0; // case flags of an 8.3 entry
    uint32_t nslots = 1;
    int parent = -1;
    uint32_t first_slot = 0;
    std::vector<uint8_t> data; // files
    std::vector<int> slots;    // directories: what each slot holds
};

struct Handle {
    bool open = false;
    int node = -1;
    bool read_only = false;
    uint32_t size = 0;
    uint32_t pos = 0;
    uint32_t chain = 0;
    uint32_t sector = 0xFFFFFFFFu;
    uint8_t buffer[SECTOR_SIZE];
};

struct Frame {
    int dir;
    uint32_t pos;
    std::string path;
};

// Where a path leads.
struct Resolved {
    Outcome outcome = FAILS;
    int node = 0;
    bool named = false;     // false when the path stops at a root ("C:\")
    bool whole = true;      // the last component names the entry wholly, not by the older rule
    bool not_found = false; // failed with "not found" (a search of the other kind may succeed)
};

class Model {
  public:
    explicit Model(uint32_t cluster_count) : cluster_count_(cluster_count) {
        Node root;
        root.dir = true;
        root.slots.assign(ROOT_SLOTS, FREE_SLOT);
        nodes.push_back(root);
    }

    std::vector<Node> nodes;
    std::string cur_path = "C:\\";
    bool in_subdir = false;
    int base = 0;
    bool base_dead = false;
    bool keep_case = false;
    Handle handles[FS_OPEN_SLOTS];
    bool listing_active = false;
    int listing_dir = 0;
    uint32_t listing_pos = 0;
    bool walk_active = false;
    std::vector<Frame> walk;

    uint32_t free_clusters() const {
        uint32_t used = 0;
        for (size_t i = 1; i < nodes.size(); i++) {
            const Node &n = nodes[i];
            if (!n.alive) continue;
            used += n.dir ? (uint32_t)(n.slots.size() / SLOTS_PER_CLUSTER) : clusters_for(n.data.size());
        }
        return cluster_count_ - used;
    }

    // Path resolution as the library does it, for `kind` (KIND_FILE: the
    // last component names a file). Components are compared whole, without
    // regard to case and to their trailing dots and spaces.
    Resolved resolve(const std::string &path, uint8_t kind) const {
        Resolved r;
        if (path.empty()) return r;
        size_t at = 0;
        int dir = 0;
        uint32_t len = path.size() > FS_PATH_BYTES - 1 ? 0xFFFF : path_units(path);
        if (is_letter(path[0]) && path.size() > 1 && path[1] == ':') {
            if (path.size() < 3 || path[2] != '\\' || len > FS_PATH_MAX) return r;
            at = 3;
        } else if (path[0] == '\\') {
            if (len + 1 > FS_PATH_MAX) return r;
            at = 1;
        } else {
            if (len + path_units(cur_path) > FS_PATH_MAX) return r;
            if (in_subdir) {
                if (base_dead) {
                    r.outcome = UNKNOWN;
                    return r;
                }
                dir = base;
            }
        }
        r.node = dir;
        if (at == path.size()) {
            r.outcome = SUCCEEDS;
            return r;
        }
        bool other_kind = false;
        for (;;) {
            size_t end = path.find('\\', at);
            bool last = end == std::string::npos;
            std::string component = trim_right(path.substr(at, last ? std::string::npos : end - at));
            uint32_t n = units(component);
            if (component.size() >= FS_NAME_SIZE || (n != kNoUtf8 && n > LFN_MAX_NAME)) return r;
            int found =
                component.empty() ? -1 : find_in(r.node, component, kind, last, &other_kind, &r.whole);
            if (found < 0) {
                r.not_found = !other_kind;
                return r;
            }
            r.node = found;
            if (last) break;
            at = end + 1;
        }
        r.named = true;
        r.outcome = SUCCEEDS;
        return r;
    }

    // The entry of directory `dir` one component names, or -1. A directory
    // component names only a directory: by its whole name, or else by the
    // older rule, where "FOO.TXT" (at most three after the first '.') leads
    // into a directory FOO whose name has no extension.
    int find_in(int dir, const std::string &component, uint8_t kind, bool last, bool *other_kind,
                bool *whole) const {
        const bool final_file = kind == KIND_FILE && last;
        int legacy = -1;
        size_t dot = component.find('.');
        *whole = true;
        for (int id : live_entries(dir)) {
            const Node &n = nodes[id];
            if (!n.long_form) {
                // The reader passes over 8.3 entries of the kind not searched for.
                if (n.dir && final_file) continue;
                if (!n.dir && kind == KIND_DIR) continue;
            }
            bool named = same_name(n.name, component);
            if (final_file) {
                if (named) return id;
                continue;
            }
            if (named) {
                if (n.dir) return id;
                *other_kind = true;
                continue;
            }
            std::string name, ext;
            entry_parts(n.name, n.long_form, &name, &ext);
            if (legacy < 0 && n.dir && ext.empty() && dot != std::string::npos &&
                component.size() - dot - 1 <= 3 && same_name(name, component.substr(0, dot)))
                legacy = id;
        }
        *whole = false;
        return legacy;
    }

    // The entries of a directory in slot order.
    std::vector<int> live_entries(int dir) const {
        std::vector<int> out;
        const std::vector<int> &slots = nodes[dir].slots;
        for (size_t i = 0; i < slots.size(); i++) {
            int id = slots[i];
            if (id < 0) continue;
            if (nodes[id].first_slot + nodes[id].nslots - 1 == i) out.push_back(id); // at its last slot
        }
        return out;
    }

    // Where first fit puts a run of `count` slots in `dir`: the first slot,
    // or -1 when the root has no room. `*grows` tells whether a subdirectory
    // needs another cluster for it.
    int fit(int dir, uint32_t count, bool *grows) const {
        const std::vector<int> &slots = nodes[dir].slots;
        *grows = false;
        uint32_t run = 0;
        for (uint32_t i = 0;; i++) {
            bool beyond = i >= slots.size();
            if (beyond && dir == 0) return -1;
            bool free_slot = beyond || slots[i] == FREE_SLOT;
            if (!free_slot) {
                run = 0;
                continue;
            }
            if (++run == count) {
                *grows = i >= slots.size();
                return (int)(i + 1 - count);
            }
        }
    }

    void place(int id, int dir, int first) {
        Node &d = nodes[dir];
        uint32_t end = (uint32_t)first + nodes[id].nslots;
        while (d.slots.size() < end) d.slots.resize(d.slots.size() + SLOTS_PER_CLUSTER, FREE_SLOT);
        for (uint32_t i = (uint32_t)first; i < end; i++) d.slots[i] = id;
        nodes[id].parent = dir;
        nodes[id].first_slot = (uint32_t)first;
    }

    void unplace(int id) {
        Node &n = nodes[id];
        std::vector<int> &slots = nodes[n.parent].slots;
        for (uint32_t i = n.first_slot; i < n.first_slot + n.nslots; i++) slots[i] = FREE_SLOT;
    }

    // True when a live entry of `dir` other than `skip` is named `text`.
    bool name_used(int dir, const std::string &text, int skip = -1) const {
        for (int id : live_entries(dir))
            if (id != skip && same_name(nodes[id].name, text)) return true;
        return false;
    }

    bool is_open(int id) const {
        for (const Handle &h : handles)
            if (h.open && h.node == id) return true;
        return false;
    }

    // Any change of a directory ends what the model can say about a
    // listing or a walk in progress.
    void directories_changed() {
        listing_active = false;
        walk_active = false;
    }

    std::string dir_path(int id) const {
        if (id == 0) return "C:\\";
        std::string parent = dir_path(nodes[id].parent);
        return parent.size() == 3 ? parent + nodes[id].name : parent + "\\" + nodes[id].name;
    }

    // The name listings and walks give an entry: a long name, or the 8.3
    // name with its case flags while kept case is on (a directory's
    // without its extension).
    std::string listed_name(int id) const {
        const Node &n = nodes[id];
        std::string name, ext;
        entry_parts(n.long_form || !keep_case ? n.name : with_flags(n.name, n.flags), n.long_form, &name,
                    &ext);
        if (!n.dir && !ext.empty()) name += "." + ext;
        return name;
    }

    // The directories a current path of `cur_path` keeps: the current one
    // and every one above it, as resolving each prefix finds them.
    std::vector<int> in_use() const {
        std::vector<int> out;
        for (size_t i = 4; i <= cur_path.size(); i++) {
            if (i < cur_path.size() && cur_path[i] != '\\') continue;
            Resolved r = resolve(cur_path.substr(0, i), KIND_DIR);
            if (r.outcome == SUCCEEDS) out.push_back(r.node);
        }
        return out;
    }

    uint32_t cluster_count_;
};

// Names the generator makes (see the top of the file). Short: up to eight
// characters, in either case or both, now and then with a byte that is no
// UTF-8 (refused); long: at least nine before the dot, the first six plain;
// for files also names with several or leading dots, long extensions and
// non-ASCII characters (Latin, Greek, dotless i, CJK, beyond U+FFFF).
const char SHORT_CHARS[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_!#$%&'()@^`{}\xC4\xE9";
const char LONG_CHARS[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 +,;=[]-_";
const char ALNUM[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
const char EXT_CHARS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
// UTF-8 of e acute, E acute, u diaeresis, sharp s, dotless i, sigma, final
// sigma, capital sigma, two CJK characters, an emoji and a Deseret pair.
const char *const WIDE[] = {"\xC3\xA9",        "\xC3\x89",     "\xC3\xBC",         "\xC3\x9F",
                            "\xC4\xB1",        "\xCF\x83",     "\xCF\x82",         "\xCE\xA3",
                            "\xE6\x97\xA5",    "\xE8\xAA\x9E", "\xF0\x9F\x98\x80", "\xF0\x90\x90\xA8",
                            "\xF0\x90\x90\x80"};

std::string chars(Reader &in, const char *set, size_t set_size, uint32_t n) {
    std::string s;
    for (uint32_t i = 0; i < n; i++) s += set[in.byte() % (set_size - 1)];
    return s;
}

std::string gen_name(Reader &in, bool dir) {
    uint8_t b = in.byte();
    uint32_t kind = b % 8;
    if (dir && kind >= 5) kind -= 3; // directories: short or long ASCII names
    std::string name;
    switch (kind) {
    case 0:
    case 1:
    case 2: {
        name = chars(in, SHORT_CHARS, sizeof SHORT_CHARS, 1 + (b >> 3) % 8);
        uint8_t style = in.byte() % 3; // as drawn, small, capitals
        for (char &c : name) {
            if (style == 1 && c >= 'A' && c <= 'Z') c = (char)(c + 32);
            if (style == 2 && c >= 'a' && c <= 'z') c = (char)(c - 32);
        }
        break;
    }
    case 3:
    case 4:
        name = chars(in, ALNUM, sizeof ALNUM, 6); // one call after the other: see path_for_new_file
        name += chars(in, LONG_CHARS, sizeof LONG_CHARS, 3 + (b >> 3) % 48);
        break;
    case 5: { // a leading dot, several dots, a long extension
        static const char *const patterns[] = {".%", "%.%.%", "%.%%", "%..%", "..%.%%"};
        for (const char *c = patterns[(b >> 3) % 5]; *c != '\0'; c++)
            name += *c == '%' ? chars(in, ALNUM, sizeof ALNUM, 1 + in.byte() % 8) : std::string(1, *c);
        return name;
    }
    default: // non-ASCII characters among plain ones
        for (uint32_t i = 0; i < 1 + (b >> 3) % 24u; i++) {
            uint8_t c = in.byte();
            name += c & 1 ? std::string(1, ALNUM[(c >> 1) % (sizeof ALNUM - 1)])
                          : std::string(WIDE[(c >> 1) % (sizeof WIDE / sizeof WIDE[0])]);
        }
        break;
    }
    if (!dir) {
        uint8_t e = in.byte();
        if (e % 3 == 1) {
            name += '.';
            for (uint32_t i = 0; i < 1u + (e >> 2) % 3u; i++)
                name += EXT_CHARS[in.byte() % (sizeof EXT_CHARS - 1)];
        } else if (e % 3 == 2 && (e & 8)) {
            name += (e & 16) ? " ." : "."; // "name." and "name ." are stored as "name"
        }
    }
    return name;
}

// Flips the case of letters where `bits` says so: ASCII, e acute, u
// diaeresis and sigma both ways, dotless i to I.
std::string flip_case(const std::string &s, uint32_t bits) {
    static const char *const pairs[][2] = {
        {"\xC3\xA9", "\xC3\x89"}, {"\xC3\xBC", "\xC3\x9C"}, {"\xCF\x83", "\xCE\xA3"}, {"\xC4\xB1", "I"}};
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        char c = s[i];
        bool flip = (bits >> (i % 32)) & 1;
        if (flip && c >= 'a' && c <= 'z')
            c = (char)(c - 32);
        else if (flip && c >= 'A' && c <= 'Z')
            c = (char)(c + 32);
        bool swapped = false;
        for (const auto &pair : pairs) {
            for (int k = 0; k < 2 && flip && !swapped; k++) {
                size_t n = strlen(pair[k]);
                if (n > 1 && s.compare(i, n, pair[k]) == 0) {
                    out += pair[1 - k];
                    i += n - 1;
                    swapped = true;
                }
            }
        }
        if (!swapped) out += c;
    }
    return out;
}

class Harness {
  public:
    Harness(Reader &in, uint32_t cluster_count) : in_(in), m_(cluster_count) {}

    void run() {
        for (int ops = 0; ops < 400 && !in_.empty(); ops++) {
            step();
            peak_used_ = std::max(peak_used_, m_.cluster_count_ - m_.free_clusters());
        }
        finish();
    }

    // The most clusters in use at any time: first fit never hands out a
    // cluster above 2 + that number (+ 1 for a directory made and given back).
    uint32_t peak_used() const { return peak_used_; }

  private:
    Reader &in_;
    Model m_;
    uint32_t writes_seed_ = 1;
    uint32_t peak_used_ = 0;

    // --- choosing nodes and making paths -------------------------------

    std::vector<int> alive(bool want_dir) const {
        std::vector<int> out;
        for (size_t i = 1; i < m_.nodes.size(); i++)
            if (m_.nodes[i].alive && m_.nodes[i].dir == want_dir) out.push_back((int)i);
        return out;
    }

    int pick_dir() {
        std::vector<int> dirs = alive(true);
        uint32_t k = in_.below((uint32_t)dirs.size() + 1);
        return k == 0 ? 0 : dirs[k - 1];
    }

    int pick_file() {
        std::vector<int> files = alive(false);
        if (files.empty()) return -1;
        return files[in_.below((uint32_t)files.size())];
    }

    // The components from `from` (a directory, 0: the root) down to `id`, or
    // false when `id` is not below it.
    bool components(int id, int from, std::vector<std::string> *out) const {
        std::vector<std::string> parts;
        while (id != from) {
            if (id == 0) return false;
            parts.push_back(m_.nodes[id].name);
            id = m_.nodes[id].parent;
        }
        out->assign(parts.rbegin(), parts.rend());
        return true;
    }

    // A path for the entry `name` in directory `dir` (an existing entry's
    // name or a new one), in one of the forms the library takes.
    std::string make_path(int dir, const std::string &name) {
        uint8_t form = in_.byte();
        uint32_t bits = in_.byte();
        std::vector<std::string> parts;
        std::string prefix;
        bool relative = form % 8 >= 5 && !m_.base_dead;
        int from = relative && m_.in_subdir ? m_.base : 0;
        if (!relative || !components(dir, from, &parts)) {
            relative = false;
            components(dir, 0, &parts);
        }
        if (!relative) {
            switch (form % 8) {
            case 0:
            case 1: prefix = "C:\\"; break;
            case 2: prefix = "c:\\"; break;
            case 3: prefix = (form & 0x80) ? "D:\\" : "C:\\"; break;
            default: prefix = "\\"; break;
            }
        }
        parts.push_back(name);
        // Sometimes a path that should not lead anywhere.
        switch ((form >> 3) % 16) {
        case 0: parts.back() += "\\"; break;                       // a trailing backslash
        case 1: parts.insert(parts.end() - 1, "NOSUCHDIR"); break; // a missing directory
        case 2: {                                                  // a file as a directory
            int f = pick_file();
            if (f >= 0) parts.insert(parts.end() - 1, m_.nodes[f].name);
            break;
        }
        default: break;
        }
        std::string path = prefix;
        for (size_t i = 0; i < parts.size(); i++) {
            if (i > 0) path += "\\";
            path += flip_case(parts[i], bits);
        }
        return path;
    }

    std::string path_of(int id) { return make_path(m_.nodes[id].parent, m_.nodes[id].name); }

    // The units of the absolute path a path as written stands for (from the
    // current directory for a relative one).
    uint32_t absolute_units(const std::string &path) const {
        if (path.size() > 1 && path[1] == ':') return path_units(path);
        if (!path.empty() && path[0] == '\\') return path_units(path) + 2;
        return path_units(m_.cur_path) + (m_.in_subdir ? 1 : 0) + path_units(path);
    }

    // The longest path below directory `dir`, in units after its own path.
    uint32_t deepest_below(int dir) const {
        uint32_t deepest = 0;
        for (int id : m_.live_entries(dir)) {
            uint32_t here = 1 + path_units(m_.nodes[id].name);
            if (m_.nodes[id].dir) here += deepest_below(id);
            deepest = std::max(deepest, here);
        }
        return deepest;
    }

    // A path for a new file name in some directory. The directory is picked
    // before the name is made: the order in which the arguments of one call
    // take the input's bytes would depend on the compiler, and an input
    // that fails with clang's libFuzzer must fail the same in the replay.
    std::string path_for_new_file() {
        int dir = pick_dir();
        std::string name = gen_name(in_, false);
        return make_path(dir, name);
    }

    // A name for something new in `dir`: fresh, or one already there.
    std::string new_name(int dir, bool make_dir) {
        uint8_t how = in_.byte();
        std::vector<int> there = m_.live_entries(dir);
        if (how % 6 == 0 && !there.empty())
            return flip_case(m_.nodes[there[how % there.size()]].name, in_.byte());
        return gen_name(in_, make_dir);
    }

    // --- the operations ------------------------------------------------

    void expect_status(const char *op, const std::string &args, Outcome want, FsStatus got) {
        if (tracing()) fprintf(stderr, "%s(%s) -> %u\n", op, printable(args).c_str(), got);
        if (want == UNKNOWN) return;
        bool ok = got == FS_OK;
        if (ok != (want == SUCCEEDS))
            mismatch(std::string(op) + "(" + printable(args) + ") returned " + std::to_string(got) +
                     (want == SUCCEEDS ? ", the model expected success" : ", the model expected failure"));
    }

    // What creation at `path` does: the parent, the prepared name, where
    // it goes. `needed` is the clusters it takes.
    struct Creation {
        Outcome outcome = FAILS;
        int parent = 0;
        Prepared name;
        int first = -1;
        uint32_t needed = 0;
    };

    // As path_split: the directory that holds the last component of `path`
    // (the current path for a bare name) and that component; false when the
    // component follows an empty one.
    bool split_path(const std::string &path, std::string *parent, std::string *name) const {
        size_t p = path.size();
        while (p > 0 && path[p - 1] != '\\') p--;
        *name = path.substr(p);
        if (p == 0) {
            *parent = m_.cur_path;
        } else if (p <= 3 && path.size() > 1 && path[1] == ':') {
            *parent = path.substr(0, p);
        } else if (p == 1) {
            *parent = "\\";
        } else if (path[p - 2] == '\\') {
            return false;
        } else {
            *parent = path.substr(0, p - 1);
        }
        return true;
    }

    Creation predict_create(const std::string &path, bool make_dir) {
        Creation c;
        if (path.empty() || path_units(path) > FS_PATH_MAX - 1) return c;
        std::string parent, name;
        if (!split_path(path, &parent, &name)) return c;
        c.name = prepare_name(name, m_.keep_case, false);
        if (!c.name.ok) return c;
        Resolved r = m_.resolve(parent, KIND_DIR);
        if (r.outcome != SUCCEEDS) {
            c.outcome = r.outcome;
            return c;
        }
        c.parent = r.node;
        if (m_.name_used(c.parent, c.name.text)) return c;
        bool grows = false;
        c.first = m_.fit(c.parent, c.name.slots, &grows);
        c.needed = (make_dir ? 1 : 0) + (grows ? 1 : 0);
        if (c.first < 0) return c;
        c.outcome = SUCCEEDS;
        return c;
    }

    void op_create(bool make_dir) {
        int dir = pick_dir();
        std::string path = make_path(dir, new_name(dir, make_dir));
        Creation c = predict_create(path, make_dir);
        if (c.outcome == UNKNOWN || c.needed > m_.free_clusters()) return;
        // A name reused from another entry may carry dots: the model keeps
        // directory names plain (see the top of the file).
        const std::string &text = c.name.text;
        if (make_dir && c.outcome == SUCCEEDS &&
            !std::all_of(text.begin(), text.end(), [](char ch) { return ch != '.' && (uint8_t)ch < 0x80; }))
            return;
        FsStatus s = make_dir ? fs_mkdir(path.c_str()) : fs_create_file(path.c_str());
        expect_status(make_dir ? "fs_mkdir" : "fs_create_file", path, c.outcome, s);
        if (c.outcome != SUCCEEDS) return;
        Node n;
        n.dir = make_dir;
        n.name = c.name.text;
        n.long_form = c.name.long_form;
        n.flags = c.name.flags;
        n.nslots = c.name.slots;
        if (make_dir) {
            n.slots.assign(SLOTS_PER_CLUSTER, FREE_SLOT);
            n.slots[0] = n.slots[1] = DOT_SLOT;
        }
        m_.nodes.push_back(n);
        m_.place((int)m_.nodes.size() - 1, c.parent, c.first);
        m_.directories_changed();
    }

    static bool names_entry(const std::string &path) {
        if (path.empty()) return false;
        if (is_letter(path[0]) && path.size() > 1 && path[1] == ':')
            return path.size() > 3 && path[2] == '\\';
        if (path[0] == '\\') return path.size() > 1;
        return true;
    }

    void op_open() {
        int f = pick_file();
        std::string path = f >= 0 && in_.byte() % 8 != 0 ? path_of(f) : path_for_new_file();
        Resolved r = m_.resolve(path, KIND_FILE);
        if (r.outcome == UNKNOWN) return;
        int slot = -1;
        for (int i = 0; i < (int)FS_OPEN_SLOTS && slot < 0; i++)
            if (!m_.handles[i].open) slot = i;
        bool ok = r.outcome == SUCCEEDS && r.named && !m_.nodes[r.node].dir && slot >= 0;
        uint8_t h = fs_open(path.c_str());
        if (!ok) {
            if (h != FS_FAIL) mismatch("fs_open(" + printable(path) + ") opened, the model expected failure");
            return;
        }
        if (h != slot)
            mismatch("fs_open(" + printable(path) + ") gave handle " + std::to_string(h) +
                     ", the model expected " + std::to_string(slot));
        Handle &hd = m_.handles[slot];
        hd.open = true;
        hd.node = r.node;
        hd.read_only = false;
        for (int i = 0; i < (int)FS_OPEN_SLOTS; i++)
            if (i != slot && m_.handles[i].open && m_.handles[i].node == r.node) hd.read_only = true;
        hd.size = (uint32_t)m_.nodes[r.node].data.size();
        hd.pos = 0;
        hd.chain = clusters_for(hd.size);
        hd.sector = 0xFFFFFFFFu;
        load(hd, 0);
        if (open_files[slot].read_only != (hd.read_only ? 1 : 0))
            mismatch("read-only flag of " + printable(path));
    }

    // The sector a handle holds: taken from the file when it is loaded, and
    // kept until the handle moves to another sector.
    void load(Handle &h, uint32_t sector) {
        if (h.sector == sector) return;
        h.sector = sector;
        memset(h.buffer, 0, SECTOR_SIZE);
        if (sector / 64 >= h.chain) return;
        const std::vector<uint8_t> &data = m_.nodes[h.node].data;
        uint64_t at = (uint64_t)sector * SECTOR_SIZE;
        if (at < data.size())
            memcpy(h.buffer, data.data() + at, (size_t)std::min<uint64_t>(SECTOR_SIZE, data.size() - at));
    }

    uint8_t pick_handle() {
        uint8_t b = in_.byte();
        return b % 8 == 7 ? (uint8_t)(2 + b % 3) : (uint8_t)(b % 2); // now and then a handle that is no slot
    }

    bool handle_open(uint8_t h) const { return h < FS_OPEN_SLOTS && m_.handles[h].open; }

    void op_close() {
        uint8_t h = pick_handle();
        bool ok = handle_open(h);
        expect_status("fs_close", std::to_string(h), ok ? SUCCEEDS : FAILS, fs_close(h));
        if (ok) m_.handles[h].open = false;
    }

    void op_write() {
        static const uint32_t sizes[] = {0,    1,    7,     100,   511,   512,   513,
                                         1000, 4000, 32767, 32768, 32769, 40000, 70000};
        // The bytes of a write: a window of a fixed noise block, a different
        // one for each write.
        static uint8_t noise[70000 + 4096];
        static bool made = false;
        if (!made) {
            uint32_t x = 12345;
            for (uint8_t &b : noise) {
                x = x * 1103515245u + 12345u;
                b = (uint8_t)(x >> 16);
            }
            made = true;
        }
        uint8_t h = pick_handle();
        uint32_t n = sizes[in_.byte() % (sizeof sizes / sizeof sizes[0])];
        const uint8_t *bytes = noise + (writes_seed_++ * 977u + in_.byte()) % 4096;
        uint32_t expected = 0;
        if (handle_open(h) && !m_.handles[h].read_only) {
            Handle &hd = m_.handles[h];
            uint64_t end = (uint64_t)hd.pos + n;
            uint32_t size = (uint32_t)m_.nodes[hd.node].data.size();
            uint32_t needed = end > size ? clusters_for(end) - clusters_for(size) : 0;
            if (needed > m_.free_clusters()) return; // the model keeps clear of a full volume
            expected = n;
        }
        uint32_t got = fs_write(h, bytes, n);
        if (got != expected)
            mismatch("fs_write(" + std::to_string(h) + ", " + std::to_string(n) + ") wrote " +
                     std::to_string(got) + ", the model expected " + std::to_string(expected));
        if (expected == 0) return;
        Handle &hd = m_.handles[h];
        std::vector<uint8_t> &data = m_.nodes[hd.node].data;
        uint32_t done = 0;
        while (done < n) {
            load(hd, hd.pos / SECTOR_SIZE);
            uint32_t off = hd.pos % SECTOR_SIZE;
            uint32_t k = std::min(SECTOR_SIZE - off, n - done);
            memcpy(hd.buffer + off, bytes + done, k);
            if (data.size() < hd.pos + k) data.resize(hd.pos + k, 0);
            memcpy(data.data() + hd.pos, bytes + done, k);
            hd.pos += k;
            done += k;
        }
        hd.size = (uint32_t)data.size();
        hd.chain = clusters_for(hd.size);
    }

    void op_seek() {
        uint8_t h = pick_handle();
        uint8_t origin = in_.byte() % 4;
        uint8_t how = in_.byte();
        int32_t offset = 0;
        uint32_t size = handle_open(h) ? m_.handles[h].size : 0;
        switch (how % 6) {
        case 0: offset = 0; break;
        case 1: offset = (int32_t)(in_.u16() % (size + 2)); break;
        case 2: offset = -(int32_t)(in_.u16() % (size + 2)); break;
        case 3: offset = (int32_t)size; break;
        case 4: offset = -(int32_t)size; break;
        default: offset = (int32_t)in_.u32(); break;
        }
        Outcome want = FAILS;
        uint32_t target = 0;
        if (handle_open(h)) {
            const Handle &hd = m_.handles[h];
            switch (origin) {
            case ORIGIN_START:
                if (offset >= 0 && (uint32_t)offset < hd.size) {
                    want = SUCCEEDS;
                    target = (uint32_t)offset;
                }
                break;
            case ORIGIN_CURRENT:
                target = hd.pos + (uint32_t)offset;
                if (target < hd.size) want = SUCCEEDS;
                break;
            case ORIGIN_END:
                if (offset <= 0 && (int64_t)hd.size + offset >= 0) {
                    want = SUCCEEDS;
                    target = (uint32_t)((int64_t)hd.size + offset);
                }
                break;
            default: break;
            }
        }
        expect_status("fs_seek",
                      std::to_string(h) + ", " + std::to_string(offset) + ", " + std::to_string(origin), want,
                      fs_seek(h, offset, origin));
        if (want != SUCCEEDS) return;
        Handle &hd = m_.handles[h];
        hd.pos = target;
        load(hd, target / SECTOR_SIZE);
    }

    void op_read() {
        static const uint32_t sizes[] = {0, 1, 5, 100, 511, 512, 513, 3000, 32768, 50000};
        static uint8_t got[50000];
        uint8_t h = pick_handle();
        uint32_t n = sizes[in_.byte() % (sizeof sizes / sizeof sizes[0])];
        uint32_t count = fs_read(h, got, n);
        uint32_t expected = 0;
        if (handle_open(h)) {
            Handle &hd = m_.handles[h];
            uint64_t limit = std::min<uint64_t>((uint64_t)hd.chain * CLUSTER_BYTES, hd.size);
            if (hd.pos < limit) expected = (uint32_t)std::min<uint64_t>(n, limit - hd.pos);
            for (uint32_t done = 0; done < expected;) {
                load(hd, hd.pos / SECTOR_SIZE);
                uint32_t off = hd.pos % SECTOR_SIZE;
                uint32_t k = std::min(SECTOR_SIZE - off, expected - done);
                if (done + k <= count && memcmp(got + done, hd.buffer + off, k) != 0)
                    mismatch("fs_read(" + std::to_string(h) + ") gave other bytes at position " +
                             std::to_string(hd.pos) + " of " +
                             printable(m_.dir_path(m_.nodes[hd.node].parent)) + "\\" +
                             printable(m_.nodes[hd.node].name));
                hd.pos += k;
                done += k;
            }
        }
        if (count != expected)
            mismatch("fs_read(" + std::to_string(h) + ", " + std::to_string(n) + ") read " +
                     std::to_string(count) + ", the model expected " + std::to_string(expected));
    }

    void op_rename() {
        int f = pick_file();
        if (f < 0) return;
        std::string old_path = path_of(f);
        int dir = m_.nodes[f].parent;
        std::string name = new_name(dir, false);
        uint8_t how = in_.byte();
        if (how % 8 == 0) name = "C:\\ELSEWHERE\\" + name;         // only the last component counts
        if (how % 8 == 1) name = flip_case(m_.nodes[f].name, how); // its own name again: refused
        // The prediction, step by step as fs_rename takes them.
        Outcome want = FAILS;
        int target = 0;
        Prepared p;
        int first = -1;
        uint32_t needed = 0;
        do {
            if (path_units(old_path) > FS_PATH_MAX - 1 || path_units(name) > FS_PATH_MAX - 1) break;
            if (!names_entry(old_path)) break;
            Resolved r = m_.resolve(old_path, KIND_FILE);
            if (r.outcome != SUCCEEDS) {
                want = r.outcome;
                break;
            }
            if (m_.nodes[r.node].dir || m_.is_open(r.node)) break;
            f = r.node;
            // Only the last component of the new name counts; without kept
            // case a long name is stored in capitals too.
            std::string directory, old_name;
            if (!split_path(old_path, &directory, &old_name)) break;
            p = prepare_name(name.substr(name.rfind('\\') + 1), m_.keep_case, true);
            if (!p.ok) break;
            // No rename may make its file unreachable by a path of 259 units.
            if (absolute_units(old_path) - path_units(old_name) +
                    path_units(name.substr(name.rfind('\\') + 1)) >
                FS_PATH_MAX - 1)
                break;
            Resolved t = m_.resolve(directory, KIND_DIR);
            if (t.outcome != SUCCEEDS) {
                want = t.outcome;
                break;
            }
            target = t.node;
            if (m_.name_used(target, p.text)) break; // its own name too
            first = fit_after_erasing(f, target, p.slots, &needed);
            want = first >= 0 ? SUCCEEDS : FAILS;
        } while (false);
        if (want == UNKNOWN || needed > m_.free_clusters()) return;
        expect_status("fs_rename", old_path + "\", \"" + name, want,
                      fs_rename(old_path.c_str(), name.c_str()));
        if (want == SUCCEEDS) relocate(f, target, first, p);
    }

    // Where first fit puts `slots` slots in `target` once the entry `id`
    // is erased (-1: no room); `*needed` the clusters that takes.
    int fit_after_erasing(int id, int target, uint32_t slots, uint32_t *needed) {
        const Node &n = m_.nodes[id];
        m_.unplace(id);
        bool grows = false;
        int first = m_.fit(target, slots, &grows);
        m_.place(id, n.parent, (int)n.first_slot);
        *needed = grows ? 1 : 0;
        return first;
    }

    // The entry `id` under its new name at `first` of `target`.
    void relocate(int id, int target, int first, const Prepared &p) {
        Node &n = m_.nodes[id];
        m_.unplace(id);
        n.name = p.text;
        n.long_form = p.long_form;
        n.flags = p.flags;
        n.nslots = p.slots;
        m_.place(id, target, first);
        m_.directories_changed();
    }

    // fs_move: a file or a directory into another directory, or under a new
    // name (perhaps only in other letters) in its own. Refused for the
    // root, a name another entry of the target uses, an open file, a
    // directory on the current path or into itself or below it.
    void op_move() {
        uint8_t how = in_.byte();
        int src = how % 3 == 0 ? pick_dir() : pick_file();
        const bool moves_dir = src > 0 && m_.nodes[src].dir;
        std::string old_path = src > 0        ? path_of(src)
                               : (how & 0x40) ? path_for_new_file()
                               : (how & 0x80) ? "C:\\"
                                              : "\\";
        int dest = (how >> 2) % 4 == 0 && src > 0 ? m_.nodes[src].parent : pick_dir();
        std::string name;
        switch ((how >> 4) % 4) {
        case 0: name = src > 0 ? flip_case(m_.nodes[src].name, in_.byte()) : gen_name(in_, false); break;
        case 1: name = new_name(dest, moves_dir); break;
        default: name = gen_name(in_, moves_dir); break;
        }
        std::string new_path = make_path(dest, name);
        // The prediction, step by step as fs_move takes them.
        Outcome want = FAILS;
        int id = -1;
        int target = 0;
        Prepared p;
        int first = -1;
        uint32_t needed = 0;
        do {
            if (path_units(old_path) > FS_PATH_MAX - 1 || path_units(new_path) > FS_PATH_MAX - 1) break;
            if (!names_entry(old_path) || !names_entry(new_path)) break;
            Resolved r = m_.resolve(old_path, KIND_FILE);
            if (r.outcome == FAILS && r.not_found) r = m_.resolve(old_path, KIND_DIR);
            if (r.outcome != SUCCEEDS) {
                want = r.outcome;
                break;
            }
            if (!r.whole) break; // named by the older rule only
            id = r.node;
            const bool is_dir = m_.nodes[id].dir;
            if (!is_dir && m_.is_open(id)) break;
            std::vector<int> busy = m_.in_use();
            if (is_dir && std::find(busy.begin(), busy.end(), id) != busy.end()) break;
            std::string directory, component;
            if (!split_path(new_path, &directory, &component)) break;
            p = prepare_name(component, m_.keep_case, false);
            if (!p.ok) break;
            // A path generated for a file may name a directory: directory
            // names stay ASCII without dots (see the top of the file).
            bool plain = std::all_of(p.text.begin(), p.text.end(),
                                     [](char c) { return c != '.' && (uint8_t)c < 0x80; });
            if (is_dir && !plain) return;
            Resolved t = m_.resolve(directory, KIND_DIR);
            if (t.outcome != SUCCEEDS) {
                want = t.outcome;
                break;
            }
            target = t.node;
            bool within = false;
            for (int d = target; d != 0 && !within; d = m_.nodes[d].parent) within = d == id;
            if (is_dir && within) break;
            if (m_.name_used(target, p.text, id)) break;
            // Nor a move anything below a moved directory.
            if (is_dir && absolute_units(new_path) + deepest_below(id) > FS_PATH_MAX - 1) break;
            first = fit_after_erasing(id, target, p.slots, &needed);
            want = first >= 0 ? SUCCEEDS : FAILS;
        } while (false);
        if (want == UNKNOWN || needed > m_.free_clusters()) return;
        expect_status("fs_move", old_path + "\", \"" + new_path, want,
                      fs_move(old_path.c_str(), new_path.c_str()));
        if (want == SUCCEEDS) relocate(id, target, first, p);
    }

    void op_options() {
        uint8_t b = in_.byte();
        uint32_t options = b % 8 == 7 ? 0x80u : (b & 1) ? FS_OPT_KEEP_CASE : 0;
        Outcome want = options == 0x80u ? FAILS : SUCCEEDS;
        expect_status("fs_set_options", std::to_string(options), want, fs_set_options(options));
        if (want == SUCCEEDS) m_.keep_case = options != 0;
        if (fs_get_options() != (m_.keep_case ? FS_OPT_KEEP_CASE : 0u))
            mismatch("fs_get_options gives " + std::to_string(fs_get_options()));
    }

    void op_delete() {
        uint8_t how = in_.byte();
        int f = how % 8 == 0 ? pick_dir() : pick_file();
        std::string path = f > 0 ? path_of(f) : path_for_new_file();
        Outcome want = FAILS;
        int id = -1;
        if (names_entry(path)) {
            Resolved r = m_.resolve(path, KIND_FILE);
            want = r.outcome;
            if (r.outcome == SUCCEEDS && (m_.nodes[r.node].dir || m_.is_open(r.node))) want = FAILS;
            id = r.node;
        }
        if (want == UNKNOWN) return;
        expect_status("fs_delete_file", path, want, fs_delete_file(path.c_str()));
        if (want != SUCCEEDS) return;
        m_.unplace(id);
        m_.nodes[id].alive = false;
        m_.directories_changed();
    }

    void op_rmdir() {
        int d = pick_dir();
        std::string path = d > 0 ? path_of(d) : (in_.byte() & 1 ? "C:\\" : "\\");
        if (in_.byte() % 8 == 0) {
            int f = pick_file();
            if (f > 0) path = path_of(f);
        }
        Outcome want = FAILS;
        int id = -1;
        if (names_entry(path)) {
            // The current directory and every one above it stay; what is
            // removed must be named wholly.
            std::vector<int> in_use = m_.in_use();
            Resolved r = m_.resolve(path, KIND_DIR);
            want = r.outcome;
            id = r.node;
            if (r.outcome == SUCCEEDS) {
                if (id == 0 || !r.named || !r.whole ||
                    std::find(in_use.begin(), in_use.end(), id) != in_use.end() ||
                    !m_.live_entries(id).empty())
                    want = FAILS;
            }
        }
        if (want == UNKNOWN) return;
        expect_status("fs_rmdir", path, want, fs_rmdir(path.c_str()));
        if (want != SUCCEEDS) return;
        m_.unplace(id);
        m_.nodes[id].alive = false;
        if (m_.in_subdir && m_.base == id) m_.base_dead = true;
        m_.directories_changed();
    }

    // fs_chdir(path, 0) as the model sees it; also used for the start of a
    // listing, which makes the current path current again.
    Outcome predict_chdir(const std::string &path, Resolved *r, std::string *next) {
        *r = m_.resolve(path, KIND_DIR);
        if (r->outcome != SUCCEEDS) return r->outcome;
        size_t len = path.size();
        size_t cur = m_.cur_path.size();
        if (is_letter(path[0]) && len > 1 && path[1] == ':') {
            if (len > FS_PATH_MAX - 1) return FAILS;
            *next = path;
        } else if (path[0] == '\\') {
            if (len + 2 > FS_PATH_MAX - 1) return FAILS;
            *next = m_.cur_path.substr(0, 2) + path;
        } else {
            size_t separator = cur > 3 ? 1 : 0;
            if (cur + separator + len > FS_PATH_MAX - 1) return FAILS;
            *next = m_.cur_path + (separator ? "\\" : "") + path;
        }
        return SUCCEEDS;
    }

    void apply_chdir(const Resolved &r, const std::string &next) {
        m_.cur_path = next;
        m_.in_subdir = next.size() > 3;
        m_.base = m_.in_subdir ? r.node : 0;
        m_.base_dead = false;
    }

    void op_chdir() {
        static const char *const roots[] = {"C:\\", "c:\\", "\\", "D:\\"};
        int d = pick_dir();
        std::string path = d > 0 ? path_of(d) : roots[in_.byte() % 4];
        Resolved r;
        std::string next;
        Outcome want = predict_chdir(path, &r, &next);
        if (want == UNKNOWN) return;
        expect_status("fs_chdir", path, want, fs_chdir(path.c_str(), 0));
        if (want == SUCCEEDS) apply_chdir(r, next);
    }

    void op_chdir_up() {
        FsStatus s = fs_chdir(nullptr, 1);
        if (!m_.in_subdir) {
            if (s != FS_AT_TOP) mismatch("fs_chdir up at the top returned " + std::to_string(s));
            return;
        }
        Outcome want = FAILS;
        std::string next = m_.cur_path;
        int dir = 0;
        Resolved r = m_.resolve(m_.cur_path, KIND_DIR);
        if (r.outcome == SUCCEEDS) {
            size_t len = next.size();
            while (len > 0 && next[len - 1] != '\\') next.resize(--len);
            if (len > 0 && !(len >= 2 && next[len - 2] == ':')) next.resize(len - 1);
            want = SUCCEEDS;
            if (next.size() > 3) {
                Resolved up = m_.resolve(next, KIND_DIR);
                want = up.outcome;
                dir = up.node;
            }
        }
        expect_status("fs_chdir up", m_.cur_path, want, s);
        if (want != SUCCEEDS) return;
        m_.cur_path = next;
        m_.in_subdir = next.size() > 3;
        m_.base = m_.in_subdir ? dir : 0;
        m_.base_dead = false;
    }

    std::string with_separator(const std::string &dir) const {
        return !dir.empty() && dir.back() == '\\' ? dir : dir + "\\";
    }

    void op_list() {
        char path[FS_OUT_PATH_SIZE];
        uint8_t attr = 0;
        bool more = m_.listing_active && (in_.byte() % 4 != 0);
        FsStatus s = fs_list_dir(path, more ? 1 : 0, &attr);
        if (!more) {
            Resolved r;
            std::string next;
            Outcome want = predict_chdir(m_.cur_path, &r, &next);
            if (want == UNKNOWN) {
                m_.listing_active = false;
                return;
            }
            if (want == FAILS) {
                if (s == FS_OK)
                    mismatch("fs_list_dir of " + printable(m_.cur_path) +
                             " listed, the model expected failure");
                m_.listing_active = false;
                return;
            }
            apply_chdir(r, next);
            m_.listing_active = true;
            m_.listing_dir = r.node;
            m_.listing_pos = 0;
        }
        // The next entry from the listing's position on.
        std::vector<int> entries = m_.live_entries(m_.listing_dir);
        int next = -1;
        for (int id : entries) {
            if (m_.nodes[id].first_slot >= m_.listing_pos) {
                next = id;
                break;
            }
        }
        if (next < 0) {
            if (s == FS_OK) mismatch("fs_list_dir gave " + printable(path) + " after the model's last entry");
            m_.listing_pos = 0xFFFFFFFFu;
            return;
        }
        std::string want = with_separator(m_.cur_path) + m_.listed_name(next);
        uint8_t want_attr = m_.nodes[next].dir ? ATTR_DIRECTORY : ATTR_ARCHIVE;
        if (s != FS_OK || want != path || attr != want_attr)
            mismatch("fs_list_dir gave " + (s == FS_OK ? printable(path) : std::string("nothing")) +
                     ", the model " + printable(want));
        m_.listing_pos = m_.nodes[next].first_slot + m_.nodes[next].nslots;
    }

    // One step of the modelled walk: the entry it returns, or -1 at its end.
    int walk_step(std::string *out) {
        while (!m_.walk.empty()) {
            Frame &top = m_.walk.back();
            int found = -1;
            for (int id : m_.live_entries(top.dir)) {
                if (m_.nodes[id].first_slot >= top.pos) {
                    found = id;
                    break;
                }
            }
            if (found < 0) {
                m_.walk.pop_back();
                if (m_.walk.empty()) return -1;
                continue;
            }
            top.pos = m_.nodes[found].first_slot + m_.nodes[found].nslots;
            *out = with_separator(top.path) + m_.listed_name(found);
            if (m_.nodes[found].dir && out->size() <= FS_PATH_MAX - 1) m_.walk.push_back({found, 0, *out});
            return found;
        }
        return -1;
    }

    void walk_start() {
        m_.walk.clear();
        m_.walk.push_back({0, 0, "C:\\"});
        m_.walk_active = true;
    }

    void compare_walk_step(FsStatus s, const char *path, uint8_t attr) {
        std::string want;
        int id = walk_step(&want);
        if (id < 0) {
            m_.walk_active = false;
            if (s == FS_OK)
                mismatch("fs_walk_tree gave " + printable(path) + " after the model's last entry");
            return;
        }
        uint8_t want_attr = m_.nodes[id].dir ? ATTR_DIRECTORY : ATTR_ARCHIVE;
        if (s != FS_OK || want != path || attr != want_attr)
            mismatch("fs_walk_tree gave " + (s == FS_OK ? printable(path) : std::string("nothing")) +
                     " attr " + std::to_string(attr) + ", the model " + printable(want) + " attr " +
                     std::to_string(want_attr));
    }

    void op_walk() {
        char path[FS_OUT_PATH_SIZE];
        uint8_t attr = 0;
        bool more = m_.walk_active && (in_.byte() % 4 != 0);
        if (!more) walk_start();
        FsStatus s = fs_walk_tree(path, more ? 1 : 0, &attr);
        compare_walk_step(s, path, attr);
    }

    void op_find() {
        uint8_t how = in_.byte();
        int f = pick_file();
        std::string name =
            f >= 0 && how % 4 != 0 ? flip_case(m_.nodes[f].name, in_.byte()) : gen_name(in_, false);
        char buffer[300];
        char out[FS_OUT_PATH_SIZE];
        memcpy(buffer, name.c_str(), name.size() + 1);
        if (how & 0x10) {
            // In the current directory: the current path and the name.
            std::string path = with_separator(m_.cur_path) + name;
            Resolved r = m_.resolve(path, KIND_FILE);
            Outcome want = r.outcome;
            if (want == SUCCEEDS && (!r.named || m_.nodes[r.node].dir)) want = FAILS;
            if (m_.cur_path.size() + 1 + name.size() > FS_OUT_PATH_SIZE - 1) want = FAILS;
            expect_status("fs_find_file", name, want, fs_find_file(buffer, 0, out));
            // The path names the file as listings give it: its long name,
            // or its 8.3 name (with its case flags while kept case is on).
            std::string stored = with_separator(m_.cur_path) + m_.listed_name(r.node);
            if (want == SUCCEEDS && stored != out)
                mismatch("fs_find_file(" + printable(name) + ") gave " + printable(out) + ", the model " +
                         printable(stored));
            if (name != buffer) mismatch("fs_find_file changed its argument " + printable(name));
            return;
        }
        // Anywhere: a walk from the root up to the first file of that name.
        FsStatus s = fs_find_file(buffer, 1, out);
        walk_start();
        std::string want;
        for (;;) {
            int id = walk_step(&want);
            if (id < 0) {
                m_.walk_active = false;
                if (s == FS_OK) mismatch("fs_find_file(" + printable(name) + ") found " + printable(out));
                return;
            }
            if (m_.nodes[id].dir) continue;
            if (same_name(m_.listed_name(id), name)) break;
        }
        if (s != FS_OK || want != out)
            mismatch("fs_find_file(" + printable(name) + ") gave " +
                     (s == FS_OK ? printable(out) : "nothing") + ", the model " + printable(want));
    }

    void op_space() {
        uint32_t capacity = 0;
        uint32_t free_space = 0;
        if (fs_volume_info('C', &capacity, &free_space) != FS_OK) mismatch("fs_volume_info failed");
        if (capacity != fuzz::kVolumeSectors || free_space != m_.free_clusters() * 64)
            mismatch("fs_volume_info reports " + std::to_string(free_space) + " free sectors, the model " +
                     std::to_string(m_.free_clusters() * 64));
    }

    void step() {
        uint8_t op = in_.byte();
        switch (op % 22) {
        case 0:
        case 1: op_create(true); break;
        case 2:
        case 3:
        case 4: op_create(false); break;
        case 5: op_open(); break;
        case 6: op_close(); break;
        case 7:
        case 8: op_write(); break;
        case 9: op_seek(); break;
        case 10: op_read(); break;
        case 11: op_rename(); break;
        case 12: op_delete(); break;
        case 13: op_rmdir(); break;
        case 14: op_chdir(); break;
        case 15: op_chdir_up(); break;
        case 16: op_list(); break;
        case 17: op_walk(); break;
        case 18: op_find(); break;
        case 19: op_move(); break;
        case 20: op_options(); break;
        default: op_space(); break;
        }
    }

    // The whole tree, every file's bytes and the free space, then the check.
    void finish() {
        for (uint8_t h = 0; h < FS_OPEN_SLOTS; h++) {
            if (m_.handles[h].open && fs_close(h) != FS_OK) mismatch("a final fs_close failed");
            m_.handles[h].open = false;
        }
        walk_start();
        char path[FS_OUT_PATH_SIZE];
        uint8_t attr = 0;
        for (int i = 0; m_.walk_active; i++) {
            if (i > 100000) fuzz::die("the walk does not end");
            FsStatus s = fs_walk_tree(path, i == 0 ? 0 : 1, &attr);
            compare_walk_step(s, path, attr);
        }
        static uint8_t chunk[65536];
        for (int id : alive(false)) {
            const std::vector<uint8_t> &data = m_.nodes[id].data;
            std::string p = m_.dir_path(m_.nodes[id].parent);
            p = with_separator(p) + m_.nodes[id].name;
            // Relative paths reach deeper than an absolute path can name;
            // such a file cannot be opened from here.
            if (path_units(p) > FS_PATH_MAX) continue;
            uint8_t h = fs_open(p.c_str());
            if (h >= FS_OPEN_SLOTS) mismatch("cannot open " + printable(p) + " at the end");
            size_t at = 0;
            for (;;) {
                uint32_t n = fs_read(h, chunk, sizeof chunk);
                if (n == 0) break;
                if (at + n > data.size() || memcmp(chunk, data.data() + at, n) != 0)
                    mismatch("the bytes of " + printable(p) + " differ from position " + std::to_string(at));
                at += n;
            }
            if (at != data.size()) mismatch(printable(p) + " is shorter than the model's");
            fs_close(h);
        }
        op_space();
        fuzz::require_clean_check("the operations");
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::prepare_pristine([] {});
    return 0;
}

// Sectors the last input may have changed: the system area and the clusters
// first fit could reach. The rest of the data area is still zero, as the
// formatter left it; restoring only the front keeps the inputs fast.
uint32_t dirty_sectors = fuzz::kVolumeSectors;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::reset_volume(dirty_sectors);
    dirty_sectors = fuzz::kVolumeSectors;
    if (fs_init() != FS_OK) fuzz::die("the pristine volume does not mount");
    fuzz::end_listing_and_walk(); // also leaves relative paths at the root, as the model starts
    Reader in(data, size);
    Harness harness(in, VolumeGeometry.cluster_count);
    harness.run();

    const uint32_t first_untouched = 2 + harness.peak_used() + 2;
    if (first_untouched <= VolumeGeometry.cluster_count + 1) {
        uint32_t sector = cluster_to_sector(first_untouched);
        // No write may have landed beyond what allocation could reach.
        const uint8_t *image = fuzz::work_image();
        for (uint32_t s = sector; s < fuzz::kVolumeSectors; s += VolumeGeometry.sectors_per_cluster) {
            const uint8_t *p = image + (size_t)s * SECTOR_SIZE;
            if (p[0] != 0 || memcmp(p, p + 1, SECTOR_SIZE - 1) != 0)
                fuzz::die("a cluster that no allocation could reach was written");
        }
        dirty_sectors = sector;
    }
    return 0;
}
