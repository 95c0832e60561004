#include "tree_model.h"

#include <algorithm>
#include <string.h>

#include "utf8_rules.h"

namespace fat16test {

namespace {

// Left out of the generated trees, because the walk does not give them as
// stored: directory names with a '.' other than trailing ones (which are no
// part of a name; fs_walk_tree and fs_list_dir give such a directory
// without the part after its last '.', and the walk does not enter it);
// names of more than 255 bytes of UTF-8 (the walk gives their alias); and
// directories whose path has more than 259 bytes, though fewer units (the
// walk does not enter them).
const bool kDottedDirectories = true;
const size_t kListedNameBytes = 255;
const size_t kWalkedPathBytes = FS_PATH_MAX - 1;

using namespace name_rules;

// Live slots the model lets the root hold: its 1,024 slots with room to
// spare for the gaps first fit leaves.
const uint32_t kRootSlotBudget = 600;

// The code points of `s`; false for bytes that are no UTF-8.
bool decode(const std::string &s, std::vector<uint32_t> *out) {
    out->clear();
    uint32_t cp = 0;
    for (size_t i = 0; i < s.size(); out->push_back(cp))
        if (!next_point(s, &i, &cp)) return false;
    return true;
}

std::string encode(uint32_t cp) {
    std::string s;
    if (cp < 0x80) {
        s += (char)cp;
    } else if (cp < 0x800) {
        s += (char)(0xC0 | cp >> 6);
        s += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        s += (char)(0xE0 | cp >> 12);
        s += (char)(0x80 | (cp >> 6 & 0x3F));
        s += (char)(0x80 | (cp & 0x3F));
    } else {
        s += (char)(0xF0 | cp >> 18);
        s += (char)(0x80 | (cp >> 12 & 0x3F));
        s += (char)(0x80 | (cp >> 6 & 0x3F));
        s += (char)(0x80 | (cp & 0x3F));
    }
    return s;
}

// Another small letter with the same capital: dotless i, long s, final sigma.
uint32_t twin(uint32_t cp) {
    switch (upper(cp)) {
    case 'I': return 0x131;
    case 'S': return 0x17F;
    case 0x3A3: return cp == 0x3C2 ? 0x3C3 : 0x3C2;
    default: return cp;
    }
}

uint32_t lower(uint32_t cp) {
    if (cp >= 'A' && cp <= 'Z') return cp + 32;
    switch (cp) {
    case 0xC9: return 0xE9;
    case 0xDC: return 0xFC;
    case 0xD8: return 0xF8;
    case 0x178: return 0xFF;
    case 0x152: return 0x153;
    case 0x3A3: return 0x3C3;
    case 0x414: return 0x434;
    case 0xFF21: return 0xFF41;
    default: return cp;
    }
}

// Non-ASCII characters of generated names: Latin, Greek and Cyrillic
// letters with their tricky case mappings, CJK, and characters beyond U+FFFF
// (a Deseret pair that is no case pair for the library, an emoji, CJK).
const uint32_t kWide[] = {0xE9,   0xC9,   0xFC,   0xDC,   0xDF,    0xF8,    0x153,   0x131,
                          0x17F,  0xB5,   0xFF,   0x3C3,  0x3C2,   0x3A3,   0x434,   0xFF41,
                          0x65E5, 0x672C, 0x8A9E, 0x4E2D, 0x1F600, 0x10428, 0x10400, 0x20B9F};

std::string ascii_upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 32);
    return s;
}

bool ascii_same(const std::string &a, const std::string &b) { return ascii_upper(a) == ascii_upper(b); }

std::string pad(std::string s, size_t n) {
    s.resize(n, ' ');
    return s;
}

// "NAME.EXT" of an 11-byte 8.3 name; with `flags` the parts the case flags
// mark in small letters.
std::string short_text(const std::string &short11, uint8_t flags = 0) {
    std::string base = short11.substr(0, 8), ext = short11.substr(8, 3);
    while (!base.empty() && base.back() == ' ') base.pop_back();
    while (!ext.empty() && ext.back() == ' ') ext.pop_back();
    for (char &c : base)
        if ((flags & DIR_CASE_LOWER_BASE) && c >= 'A' && c <= 'Z') c = (char)(c + 32);
    for (char &c : ext)
        if ((flags & DIR_CASE_LOWER_EXT) && c >= 'A' && c <= 'Z') c = (char)(c + 32);
    return ext.empty() ? base : base + "." + ext;
}

// The 8.3 form of a name that fits one (1-8 characters, at most one '.'
// and 0-3 after it, ASCII without " + , ; = [ ]"), case as given.
bool fits_short(const std::string &text, std::string *form) {
    size_t dot = text.find('.');
    std::string base = text.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : text.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3 || ext.find('.') != std::string::npos) return false;
    for (char c : text)
        if ((uint8_t)c >= 0x80 || strchr(" +,;=[]", c) != nullptr) return false;
    *form = pad(base, 8) + pad(ext, 3);
    return true;
}

// How a new name is stored, worked out from the rules alone.
struct Prepared {
    bool ok = false;
    bool long_form = false;
    std::string text;    // trailing spaces and dots dropped; a long name as stored
    std::string short11; // the 8.3 name, or the alias once chosen
    uint8_t flags = 0;
    // The alias family: the name part the tails attach to and the base.
    std::string prefix;
    std::string base;
    bool has_tail = false;
};

char alias_char(uint32_t cp) {
    if (cp >= 0x80 || cp < 0x20 || strchr(" +,;=[]", (int)cp) != nullptr) return '_';
    return (char)upper(cp);
}

Prepared prepare(const std::string &given, bool keep_case, bool capitals) {
    Prepared p;
    std::string text = trim_right(given);
    if (!valid_new_name(text)) return p;
    p.ok = true;
    std::string form;
    bool short_form = fits_short(text, &form);
    bool mixed_case = false;
    if (short_form && keep_case) {
        int base = part_case(form.substr(0, 8)), ext = part_case(form.substr(8));
        short_form = base != 2 && ext != 2;
        mixed_case = !short_form;
        if (short_form) p.flags = (base == 1 ? DIR_CASE_LOWER_BASE : 0) | (ext == 1 ? DIR_CASE_LOWER_EXT : 0);
    }
    p.text = text;
    if (short_form) {
        p.short11 = ascii_upper(form);
        return p;
    }
    p.long_form = true;
    const bool caps = capitals && !keep_case;
    p.text = caps ? ascii_upper(text) : text;
    size_t dots = std::count(text.begin(), text.end(), '.');
    size_t dot = text.find('.');
    bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return (uint8_t)c < 0x80; });
    if (mixed_case) {
        // An 8.3 form of mixed case: its alias is that form in capitals,
        // a tail only when it is taken (or when it ends in "~1" already).
        p.base = ascii_upper(form);
        std::string part = p.base.substr(0, p.base.find_last_not_of(' ', 7) + 1);
        p.has_tail = part.size() == 8 && part.compare(6, 2, "~1") == 0;
        p.prefix = p.has_tail ? part.substr(0, 6) : part;
    } else if (ascii && text[0] != '.' && (dots == 0 || (dots == 1 && text.size() - dot - 1 <= 3))) {
        // The legacy alias: spaces left out, the other characters 8.3
        // cannot hold as '_', six characters of the name part and "~1"
        // when it has six or more, letters as given (capitals with kept
        // case or for a rename).
        std::string cleaned;
        for (char c : text)
            if (c != ' ') cleaned += strchr("+,;=[]", c) != nullptr ? '_' : c;
        if (cleaned.empty() || cleaned[0] == '.') cleaned = "_" + cleaned;
        size_t d = cleaned.find('.');
        std::string part = cleaned.substr(0, d);
        std::string ext = d == std::string::npos ? "" : cleaned.substr(d + 1);
        p.has_tail = part.size() >= 6;
        p.prefix = part.substr(0, 6);
        p.base = pad(p.prefix + (p.has_tail ? "~1" : ""), 8) + pad(ext, 3);
        if (keep_case || caps) {
            p.prefix = ascii_upper(p.prefix);
            p.base = ascii_upper(p.base);
        }
    } else {
        // Other names: leading dots dropped, up to six characters from
        // before the last '.' without dots and spaces, three after it,
        // capitals, '_' for what 8.3 cannot hold, and always a tail.
        size_t start = text.find_first_not_of('.');
        size_t last_dot = text.rfind('.');
        if (last_dot == std::string::npos || last_dot < start) last_dot = text.size();
        std::vector<uint32_t> cps;
        decode(text.substr(start, last_dot - start), &cps);
        for (uint32_t cp : cps)
            if (cp != '.' && cp != ' ' && p.prefix.size() < 6) p.prefix += alias_char(cp);
        if (p.prefix.empty()) p.prefix = "_";
        std::string ext;
        decode(last_dot < text.size() ? text.substr(last_dot + 1) : "", &cps);
        for (uint32_t cp : cps)
            if (cp != ' ' && ext.size() < 3) ext += alias_char(cp);
        p.base = pad(p.prefix, 8) + pad(ext, 3);
        p.has_tail = true;
    }
    return p;
}

// The family's alias with tail k (0: the base).
std::string with_tail(const Prepared &p, uint32_t k) {
    if (k == 0) return p.base;
    std::string digits = std::to_string(k);
    size_t keep = std::min(p.prefix.size(), 7 - digits.size());
    return pad(p.prefix.substr(0, keep) + "~" + digits, 8) + p.base.substr(8);
}

// The tail an existing 8.3 form takes from the family, if any.
void mark_taken(const Prepared &p, const std::string &form, std::set<uint32_t> *taken) {
    if (!ascii_same(form.substr(8), p.base.substr(8))) return;
    size_t len = 0;
    while (len < 8 && form[len] != ' ') len++;
    if (!p.has_tail && len == p.prefix.size() && ascii_same(form.substr(0, len), p.prefix)) {
        taken->insert(0);
        return;
    }
    size_t tilde = form.substr(0, len).rfind('~');
    if (tilde == std::string::npos) return;
    std::string digits = form.substr(tilde + 1, len - tilde - 1);
    if (digits.empty() || digits.size() > 6 || digits[0] == '0') return;
    if (digits.find_first_not_of("0123456789") != std::string::npos) return;
    size_t keep = std::min(p.prefix.size(), 7 - digits.size());
    if (tilde != keep || !ascii_same(form.substr(0, keep), p.prefix.substr(0, keep))) return;
    taken->insert((uint32_t)std::stoul(digits));
}

// Picks the lowest free alias tail in `dir`; `skip`, the entry a rename or
// move replaces, takes none.
void choose_alias(Prepared *p, const ModelNode &dir, const ModelNode *skip) {
    if (!p->long_form) return;
    std::set<uint32_t> taken;
    std::string form;
    for (const auto &c : dir.children) {
        if (c.get() == skip) continue;
        mark_taken(*p, c->short11, &taken);
        if (!c->long_name.empty() && fits_short(c->long_name, &form)) mark_taken(*p, form, &taken);
    }
    uint32_t k = p->has_tail ? 1 : 0;
    while (taken.count(k)) k++;
    p->short11 = with_tail(*p, k);
}

// True when `n` is named `name`: its long name or its 8.3 name.
bool named(const ModelNode &n, const std::string &name) {
    return same_name(short_text(n.short11), name) || (!n.long_name.empty() && same_name(n.long_name, name));
}

// True when a live entry of `dir` other than `skip` uses `name`.
bool name_used(const ModelNode &dir, const std::string &name, const ModelNode *skip) {
    for (const auto &c : dir.children)
        if (c.get() != skip && named(*c, name)) return true;
    return false;
}

// The name and extension the entry reader gives: an 8.3 name's parts, or a
// long name split at its last '.' within its last 15 bytes.
void entry_parts(const ModelNode &n, std::string *name, std::string *ext) {
    ext->clear();
    if (n.long_name.empty()) {
        std::string t = short_text(n.short11);
        size_t dot = t.find('.');
        *name = t.substr(0, dot);
        if (dot != std::string::npos) *ext = t.substr(dot + 1);
        return;
    }
    *name = n.long_name;
    size_t len = n.long_name.size();
    size_t lowest = len > 15 ? len - 15 : (len > 1 ? 1 : 0);
    for (size_t p = len; p-- > lowest;) {
        if (n.long_name[p] == '.') {
            *ext = n.long_name.substr(p + 1);
            *name = n.long_name.substr(0, p);
            return;
        }
    }
}

// What a lookup of the absolute path `path` finds, as path_resolve does it
// for a file search (the last component names a file or a long-named
// directory) or a directory search; nullptr when it fails. `*whole`: the
// last component names the entry wholly (not by the older rule that lets
// "FOO.TXT" lead into a directory FOO).
const ModelNode *resolve(const ModelNode &root, const std::string &path, bool file_search, bool *whole) {
    *whole = true;
    if (path_units(path) > 260) return nullptr;
    const ModelNode *dir = &root;
    if (path.size() == 3) return dir;
    for (size_t at = 3;;) {
        size_t end = path.find('\\', at);
        const bool last = end == std::string::npos;
        std::string comp = trim_right(path.substr(at, last ? std::string::npos : end - at));
        if (comp.empty() || path_units(comp) > 255) return nullptr;
        const bool final_file = last && file_search;
        const ModelNode *hit = nullptr;
        for (const auto &c : dir->children)
            if (named(*c, comp)) hit = c.get();
        // A file search passes over 8.3 directories; a directory component
        // matches only a directory.
        if (hit && final_file && hit->dir && hit->long_name.empty()) hit = nullptr;
        if (hit && !final_file && !hit->dir) hit = nullptr;
        *whole = hit != nullptr;
        size_t dot = comp.find('.');
        if (!hit && !final_file && dot != std::string::npos && comp.size() - dot - 1 <= 3) {
            for (const auto &c : dir->children) {
                std::string name, ext;
                entry_parts(*c, &name, &ext);
                if (c->dir && ext.empty() && same_name(name, comp.substr(0, dot))) {
                    hit = c.get();
                    break;
                }
            }
        }
        if (hit == nullptr) return nullptr;
        if (last) return hit;
        dir = hit;
        at = end + 1;
    }
}

// `name` as the model gives it to a directory (see kDottedDirectories).
std::string directory_name(std::string name) {
    size_t keep = trim_right(name).size();
    for (size_t i = 0; i < keep && !kDottedDirectories; i++)
        if (name[i] == '.') name[i] = '_';
    return name;
}

std::string child_path(const std::string &dir, const std::string &name) {
    return dir.size() == 3 ? dir + name : dir + "\\" + name;
}

// The name fs_stat and mdir give: the long name, or the 8.3 name with its
// case flags.
std::string stat_name(const ModelNode &n) {
    return n.long_name.empty() ? short_text(n.short11, n.case_flags) : n.long_name;
}

uint32_t slots_of(const ModelNode &n) {
    return n.long_name.empty() ? 1 : (units(n.long_name) + LFN_CHARS - 1) / LFN_CHARS + 1;
}

// The path of `n` in the names it is stored under.
std::string stored_path(const ModelNode &n) {
    if (n.parent == nullptr) return "C:\\";
    return child_path(stored_path(*n.parent), stat_name(n));
}

// True when every entry of the subtree at `n`, placed under `parent_path`
// as `name`, keeps a path lookups can take (up to 259 units) and is none
// of the cases left out (see kDottedDirectories).
bool subtree_fits(const ModelNode &n, const std::string &parent_path, const std::string &name) {
    std::string p = child_path(parent_path, name);
    if (path_units(p) > FS_PATH_MAX - 1 || name.size() > kListedNameBytes) return false;
    if (n.dir && p.size() > kWalkedPathBytes) return false;
    for (const auto &c : n.children)
        if (!subtree_fits(*c, p, stat_name(*c))) return false;
    return true;
}

uint32_t root_slots(const ModelNode &root) {
    uint32_t n = 0;
    for (const auto &c : root.children) n += slots_of(*c);
    return n;
}

template <typename Node> void all_nodes(Node &n, std::vector<Node *> *out) {
    for (auto &c : n.children) {
        out->push_back(c.get());
        all_nodes(static_cast<Node &>(*c), out);
    }
}

bool below(const ModelNode *n, const ModelNode *ancestor) {
    for (; n != nullptr; n = n->parent)
        if (n == ancestor) return true;
    return false;
}

void expect_call(FsStatus got, FsError want, const std::string &what) {
    EXPECT_EQ(got, want == FS_ERR_NONE ? FS_OK : FS_FAIL) << what;
    if (want != FS_ERR_NONE) {
        EXPECT_EQ(fs_last_error(), want) << what << ": " << fs_strerror(fs_last_error());
    }
}

// Checks that `path` names `n` as the model stores it.
void expect_entry(const std::string &path, const ModelNode &n) {
    FsEntry e;
    ASSERT_EQ(fs_stat(path.c_str(), &e), FS_OK) << path;
    EXPECT_EQ(std::string(e.name), stat_name(n)) << path;
    EXPECT_EQ(std::string(e.short_name), short_text(n.short11)) << path;
    EXPECT_EQ((e.attr & ATTR_DIRECTORY) != 0, n.dir) << path;
    if (!n.dir) {
        EXPECT_EQ(e.size, n.data.size()) << path;
    }
}

// The bytes of the file `path` against `data`, read through one buffer.
void expect_bytes(const std::string &path, const std::vector<uint8_t> &data) {
    static uint8_t chunk[32768];
    uint8_t h = fs_open(path.c_str());
    ASSERT_NE(h, 0xFF) << path;
    size_t at = 0;
    for (uint32_t n; (n = fs_read(h, chunk, sizeof chunk)) > 0; at += n) {
        ASSERT_LE(at + n, data.size()) << path;
        ASSERT_EQ(memcmp(chunk, data.data() + at, n), 0) << path << " differs from byte " << at;
    }
    EXPECT_EQ(at, data.size()) << path;
    EXPECT_EQ(fs_close(h), FS_OK);
}

} // namespace

// Names of every kind the volume takes: 8.3 names in small, capital and
// mixed letters (now and then with a '~' that can meet an alias), long
// ASCII names with spaces and + , ; = [ ], names with several or leading
// dots and long extensions, names with non-ASCII characters, 255-unit
// names, names with trailing dots and spaces, and now and then one the
// volume must refuse.
std::string TreeModel::random_name(bool dir) {
    static const char kShort[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_!#$%&'()@^{}~";
    static const char kLong[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789- +,;=[]_";
    auto letters = [&](uint32_t n, int style) {
        std::string s;
        for (uint32_t i = 0; i < n; i++) s += kShort[pick(style == 3 ? sizeof kShort - 1 : 62)];
        for (char &c : s) {
            if (style == 0 && c >= 'A' && c <= 'Z') c = (char)(c + 32);
            if (style == 1 && c >= 'a' && c <= 'z') c = (char)(c - 32);
        }
        return s;
    };
    auto wide = [&](uint32_t n) {
        std::string s;
        for (uint32_t i = 0; i < n; i++)
            s += pick(2) ? std::string(1, kLong[pick(52)])
                         : encode(kWide[pick(sizeof kWide / sizeof kWide[0])]);
        return s;
    };
    std::string name;
    const uint32_t kind = pick(20);
    if (kind < 7) { // 8.3 form: small, capitals, mixed, or any characters
        name = letters(1 + pick(8), (int)pick(4));
        if (!dir && pick(3) > 0) name += "." + letters(1 + pick(3), (int)pick(3));
    } else if (kind < 11) { // long ASCII names, or short ones a space or '+' makes long
        uint32_t len = pick(4) == 0 ? 2 + pick(6) : 9 + pick(52);
        name += kLong[pick(52)];
        for (uint32_t i = 1; i < len; i++) name += kLong[pick(sizeof kLong - 1)];
        if (len < 9) name[1 + pick(len - 1)] = " +=["[pick(4)];
        if (!dir && pick(2)) name += "." + letters(1 + pick(3), (int)pick(3));
    } else if (kind < 14) { // several dots, a leading dot, a long extension
        static const char *const kDotted[] = {".%s", "%s.%s.%s", "%s.html", "%s..%s", "..%s.%s", "%s.tar.gz"};
        const char *pattern = kDotted[pick(6)];
        for (const char *c = pattern; *c != '\0'; c++) {
            if (*c == '%') {
                name += letters(1 + pick(10), (int)pick(3));
                c++;
            } else {
                name += *c;
            }
        }
    } else if (kind < 18) { // non-ASCII characters
        name = wide(1 + pick(20));
        if (!dir && pick(2)) name += "." + wide(1 + pick(4));
    } else if (kind == 18) { // 240 to 255 units
        name = letters(240 + pick(16), 3);
    } else { // trailing dots and spaces, or a name the volume refuses
        static const char *const kRefused[] = {"a*b",
                                               "what?",
                                               "x<y",
                                               "pipe|d",
                                               "colon:",
                                               "quote\"s",
                                               "..",
                                               ".",
                                               " ",
                                               "tab\tname",
                                               "del\x7f",
                                               "bad\xC3(",
                                               "\xED\xA0\x80surrogate"};
        switch (pick(3)) {
        case 0: name = letters(1 + pick(8), 3) + std::string(1 + pick(3), pick(2) ? '.' : ' '); break;
        case 1: name = letters(256, 3); break;
        default: name = kRefused[pick(sizeof kRefused / sizeof kRefused[0])]; break;
        }
    }
    return dir ? directory_name(name) : name;
}

// A component that names `n`: its stored name, in other letters, its 8.3
// name or alias, with trailing dots or spaces, or (for a directory on the
// way) a name the older rule leads into it by.
std::string TreeModel::variant(const ModelNode &n, bool last) {
    std::string name = stat_name(n);
    switch (pick(8)) {
    case 0: {
        std::vector<uint32_t> cps;
        decode(name, &cps);
        std::string out;
        for (uint32_t cp : cps) {
            uint32_t r = pick(5);
            out += encode(r < 2 ? upper(cp) : r < 4 ? lower(cp) : twin(cp));
        }
        return out;
    }
    case 1: tally_.by_alias++; return pick(2) ? short_text(n.short11) : short_text(n.short11, 0x18);
    case 2: return name + (pick(2) ? "." : " .. ");
    case 3:
        if (!last && n.dir) return name + "." + std::string("XYZ").substr(0, 1 + pick(3));
        return name;
    default: return name;
    }
}

// The path of `n`, with variant components now and then; a variant that
// leads elsewhere (a name the older rule would take to another directory)
// is replaced by the stored path.
std::string TreeModel::path_of(const ModelNode &n, bool variants, bool last) {
    if (n.parent == nullptr) return "C:\\";
    if (!variants) return stored_path(n);
    std::string p = child_path(path_of(*n.parent, true, false), variant(n, last));
    // The last component must name `n` wholly; one on the way may lead
    // into it by the older rule.
    bool whole = false;
    const ModelNode *found = resolve(root_, p, last && !n.dir, &whole);
    if (found != &n || (last && !whole) || path_units(p) > FS_PATH_MAX - 1) return stored_path(n);
    return p;
}

ModelNode *TreeModel::random_node(bool want_dir, bool allow_root) {
    std::vector<ModelNode *> nodes;
    all_nodes(root_, &nodes);
    std::vector<ModelNode *> found;
    if (want_dir && allow_root) found.push_back(&root_);
    for (ModelNode *n : nodes)
        if (n->dir == want_dir) found.push_back(n);
    return found.empty() ? nullptr : found[pick((uint32_t)found.size())];
}

// The name the walk gives: a long name, or the 8.3 name with its case
// flags while kept case is on.
std::string TreeModel::listed(const ModelNode &n) const {
    return n.long_name.empty() ? short_text(n.short11, keep_case_ ? n.case_flags : 0) : n.long_name;
}

namespace {

// A directory for a new entry: from the root down, deeper now and then.
ModelNode *random_dir(ModelNode *root, std::mt19937 &rng) {
    ModelNode *dir = root;
    while (rng() % 2 == 0) {
        std::vector<ModelNode *> subdirs;
        for (auto &c : dir->children)
            if (c->dir) subdirs.push_back(c.get());
        if (subdirs.empty()) break;
        dir = subdirs[rng() % subdirs.size()];
    }
    return dir;
}

} // namespace

void TreeModel::step_create() {
    ModelNode *dir = random_dir(&root_, rng_);
    const bool make_dir = pick(3) == 0;
    std::string name = random_name(make_dir);
    const uint32_t how = pick(12);
    if (!dir->children.empty() && how < 2) {
        ModelNode &sibling = *dir->children[pick((uint32_t)dir->children.size())];
        if (how == 0) {
            name = variant(sibling, true); // a name in use
        } else if (!sibling.long_name.empty()) {
            // Another name of the same alias family: the sibling's first
            // characters and extension, something else between them.
            std::vector<uint32_t> cps;
            decode(sibling.long_name, &cps);
            size_t keep = std::min<size_t>(cps.size(), 6 + pick(3));
            name.clear();
            for (size_t i = 0; i < keep; i++) name += encode(cps[i]);
            name += random_name(true).substr(0, 1 + pick(3));
            size_t dot = sibling.long_name.rfind('.');
            if (!make_dir && dot != std::string::npos) name += sibling.long_name.substr(dot);
            if (make_dir) name = directory_name(name);
        }
    }
    std::string path = child_path(path_of(*dir, true), name);
    Prepared p = prepare(name, keep_case_, false);
    FsError want = path_units(path) > FS_PATH_MAX - 1 ? FS_ERR_PATH_TOO_LONG
                   : !p.ok                            ? FS_ERR_INVALID_NAME
                   : name_used(*dir, p.text, nullptr) ? FS_ERR_EXISTS
                                                      : FS_ERR_NONE;
    auto node = std::make_unique<ModelNode>();
    if (want == FS_ERR_NONE) {
        choose_alias(&p, *dir, nullptr);
        node->long_name = p.long_form ? p.text : "";
        node->short11 = p.short11;
        node->case_flags = p.flags;
        node->dir = make_dir;
        node->parent = dir;
        // Left out: entries the model could not name again by their
        // stored path, and a root near its end.
        if (!subtree_fits(*node, stored_path(*dir), stat_name(*node))) return;
        if (dir == &root_ && root_slots(root_) + slots_of(*node) > kRootSlotBudget) return;
    }
    FsStatus s = make_dir ? fs_mkdir(path.c_str()) : fs_create_file(path.c_str());
    expect_call(s, want, (make_dir ? "mkdir " : "create ") + path);
    if (want != FS_ERR_NONE) return;
    (p.long_form ? tally_.long_names : tally_.short_names)++;
    if (keep_case_) tally_.kept_case++;
    ModelNode &n = *node;
    dir->children.push_back(std::move(node));
    ASSERT_NO_FATAL_FAILURE(expect_entry(stored_path(n), n));
}

void TreeModel::step_write() {
    ModelNode *f = random_node(false, false);
    if (f == nullptr) return;
    std::string path = path_of(*f, true);
    uint8_t h = fs_open(path.c_str());
    ASSERT_NE(h, 0xFF) << path;
    uint32_t at = f->data.empty() || pick(2) ? (uint32_t)f->data.size() : pick((uint32_t)f->data.size());
    if (at < f->data.size()) {
        ASSERT_EQ(fs_seek(h, (int32_t)at, ORIGIN_START), FS_OK);
    } else if (!f->data.empty()) {
        ASSERT_EQ(fs_seek(h, 0, ORIGIN_END), FS_OK);
    }
    static const uint32_t sizes[] = {1, 100, 511, 512, 513, 5000, 32768, 40000};
    uint32_t n = sizes[pick(8)];
    std::vector<uint8_t> bytes = pattern(n, rng_());
    ASSERT_EQ(fs_write(h, bytes.data(), n), n) << path;
    ASSERT_EQ(fs_close(h), FS_OK);
    if (f->data.size() < at + n) f->data.resize(at + n);
    std::copy(bytes.begin(), bytes.end(), f->data.begin() + at);
}

// fs_rename: a file in its directory; the new name's last component only,
// in capitals unless kept case is on; its own name counts as taken.
void TreeModel::step_rename() {
    ModelNode *f = random_node(false, false);
    if (f == nullptr) return;
    ModelNode &dir = *f->parent;
    std::string name = random_name(false);
    if (pick(4) == 0) name = variant(*dir.children[pick((uint32_t)dir.children.size())], true);
    std::string new_name = pick(6) == 0 ? "C:\\ELSEWHERE\\" + name : name;
    std::string path = path_of(*f, true);
    const bool open = pick(8) == 0;
    Prepared p = prepare(name, keep_case_, true);
    FsError want = path_units(new_name) > FS_PATH_MAX - 1 ? FS_ERR_PATH_TOO_LONG
                   : open                                 ? FS_ERR_FILE_OPEN
                   : !p.ok                                ? FS_ERR_INVALID_NAME
                   : name_used(dir, p.text, nullptr)      ? FS_ERR_EXISTS
                                                          : FS_ERR_NONE;
    if (want == FS_ERR_NONE) {
        choose_alias(&p, dir, f);
        ModelNode renamed;
        renamed.long_name = p.long_form ? p.text : "";
        renamed.short11 = p.short11;
        if (!subtree_fits(renamed, stored_path(dir), stat_name(renamed))) return;
        if (&dir == &root_ && root_slots(root_) - slots_of(*f) + slots_of(renamed) > kRootSlotBudget) return;
    }
    uint8_t h = open ? fs_open(path.c_str()) : 0xFF;
    if (open) {
        ASSERT_NE(h, 0xFF) << path;
    }
    expect_call(fs_rename(path.c_str(), new_name.c_str()), want, "rename " + path + " -> " + new_name);
    if (open) {
        ASSERT_EQ(fs_close(h), FS_OK);
    }
    if (want != FS_ERR_NONE) return;
    tally_.renames++;
    f->long_name = p.long_form ? p.text : "";
    f->short11 = p.short11;
    f->case_flags = p.flags;
    ASSERT_NO_FATAL_FAILURE(expect_entry(stored_path(*f), *f));
}

void TreeModel::step_delete() {
    ModelNode *f = random_node(false, false);
    if (f == nullptr) return;
    std::string path = path_of(*f, true);
    ASSERT_EQ(fs_delete_file(path.c_str()), FS_OK) << path;
    auto &siblings = f->parent->children;
    siblings.erase(
        std::find_if(siblings.begin(), siblings.end(), [&](const auto &c) { return c.get() == f; }));
}

// Only an empty directory goes.
void TreeModel::step_rmdir() {
    ModelNode *d = random_node(true, false);
    if (d == nullptr) return;
    std::string path = path_of(*d, true);
    bool ok = d->children.empty();
    ASSERT_EQ(fs_rmdir(path.c_str()), ok ? FS_OK : FS_FAIL) << path;
    if (!ok) return;
    auto &siblings = d->parent->children;
    siblings.erase(
        std::find_if(siblings.begin(), siblings.end(), [&](const auto &c) { return c.get() == d; }));
}

// fs_move of a file or a directory: into another directory, in place under
// a new name, or with only its case changed; refused when the destination
// name is taken, a directory would go into itself or below it, the
// destination directory is missing, the file is open or the directory (or
// one below it) is the current directory.
void TreeModel::step_move() {
    ModelNode *src = random_node(pick(3) == 0, false);
    if (src == nullptr) return;
    ModelNode *dest = nullptr;
    bool missing = false;
    switch (pick(10)) {
    case 0:
    case 1:
    case 2: dest = src->parent; break;
    case 3: dest = src->dir ? random_node(true, false) : random_node(true, true); break;
    case 4: missing = true; break;
    default: dest = random_dir(&root_, rng_); break;
    }
    if (dest != nullptr && src->dir && pick(4) == 0) {
        // Into itself or below it.
        std::vector<ModelNode *> inside = {src};
        all_nodes(*src, &inside);
        inside.erase(std::remove_if(inside.begin(), inside.end(), [](ModelNode *n) { return !n->dir; }),
                     inside.end());
        dest = inside[pick((uint32_t)inside.size())];
    }
    if (dest == nullptr && !missing) return;
    std::string name;
    uint32_t how = pick(8);
    if (how < 4) {
        name = variant(*src, true); // its own name, perhaps in other letters
    } else if (how < 7 || missing || dest->children.empty()) {
        name = random_name(src->dir);
    } else {
        name = variant(*dest->children[pick((uint32_t)dest->children.size())], true);
    }
    std::string dest_path =
        missing ? child_path(path_of(*random_dir(&root_, rng_), true), "NO SUCH DIR") : path_of(*dest, true);
    std::string new_path = child_path(dest_path, name);
    std::string old_path = path_of(*src, true);
    const bool open = !src->dir && pick(6) == 0;
    const bool busy = src->dir && pick(8) == 0;
    Prepared p = prepare(name, keep_case_, false);
    FsError want = FS_ERR_NONE;
    if (path_units(old_path) > FS_PATH_MAX - 1 || path_units(new_path) > FS_PATH_MAX - 1)
        want = FS_ERR_PATH_TOO_LONG;
    else if (open)
        want = FS_ERR_FILE_OPEN;
    else if (busy)
        want = FS_ERR_BUSY;
    else if (!p.ok)
        want = FS_ERR_INVALID_NAME;
    else if (missing)
        want = FS_ERR_NO_PARENT;
    else if (src->dir && below(dest, src))
        want = FS_ERR_INTO_ITSELF;
    else if (name_used(*dest, p.text, src))
        want = FS_ERR_EXISTS;
    ModelNode moved;
    if (want == FS_ERR_NONE) {
        choose_alias(&p, *dest, src);
        moved.long_name = p.long_form ? p.text : "";
        moved.short11 = p.short11;
        moved.case_flags = p.flags;
        moved.dir = src->dir;
        if (!subtree_fits(*src, stored_path(*dest), stat_name(moved))) return;
        uint32_t root_after = root_slots(root_) - (src->parent == &root_ ? slots_of(*src) : 0);
        if (dest == &root_ && root_after + slots_of(moved) > kRootSlotBudget) return;
    }
    // An open file inside a moved directory stays open and writable.
    ModelNode *inner = nullptr;
    uint8_t h = 0xFF;
    if (open) {
        h = fs_open(old_path.c_str());
        ASSERT_NE(h, 0xFF) << old_path;
    } else if (src->dir && !busy && pick(3) == 0) {
        for (auto &c : src->children)
            if (!c->dir) inner = c.get();
        if (inner != nullptr) {
            h = fs_open(stored_path(*inner).c_str());
            ASSERT_NE(h, 0xFF) << stored_path(*inner);
        }
    }
    if (busy) {
        std::vector<ModelNode *> inside = {src};
        all_nodes(*src, &inside);
        ModelNode *cur = inside[pick((uint32_t)inside.size())];
        while (!cur->dir) cur = cur->parent;
        ASSERT_EQ(fs_chdir(stored_path(*cur).c_str(), 0), FS_OK) << stored_path(*cur);
    }
    std::string what = "move " + old_path + " -> " + new_path;
    expect_call(fs_move(old_path.c_str(), new_path.c_str()), want, what);
    if (busy) {
        ASSERT_EQ(fs_chdir("C:\\", 0), FS_OK);
    }
    if (want != FS_ERR_NONE) {
        tally_.moves_refused++;
        if (h != 0xFF) {
            ASSERT_EQ(fs_close(h), FS_OK);
        }
        return;
    }
    tally_.moves++;
    // The node goes over to its new parent under its new name.
    auto &from = src->parent->children;
    auto it = std::find_if(from.begin(), from.end(), [&](const auto &c) { return c.get() == src; });
    std::unique_ptr<ModelNode> owned = std::move(*it);
    from.erase(it);
    owned->long_name = moved.long_name;
    owned->short11 = moved.short11;
    owned->case_flags = moved.case_flags;
    owned->parent = dest;
    dest->children.push_back(std::move(owned));
    ASSERT_NO_FATAL_FAILURE(expect_entry(stored_path(*src), *src));
    if (inner != nullptr) {
        static const uint8_t more[] = "written after the move";
        // The handle still stands at 0, where fs_open put it.
        ASSERT_EQ(fs_write(h, more, sizeof more), sizeof more) << stored_path(*inner);
        if (inner->data.size() < sizeof more) inner->data.resize(sizeof more);
        std::copy(more, more + sizeof more, inner->data.begin());
    }
    if (h != 0xFF) {
        ASSERT_EQ(fs_close(h), FS_OK);
    }
}

// fs_stat of an entry by a path of variant components (other letters,
// aliases, trailing dots, the older directory rule), or of a path the
// model finds nothing at.
void TreeModel::step_lookup() {
    std::string path;
    if (pick(4) == 0) {
        ModelNode *dir = random_node(true, true);
        path = child_path(path_of(*dir, true), random_name(pick(2) == 0));
    } else {
        ModelNode *n = random_node(pick(3) == 0, false);
        if (n == nullptr) return;
        path = path_of(*n, true);
    }
    bool whole = false;
    const ModelNode *found = resolve(root_, path, true, &whole);
    if (found == nullptr) found = resolve(root_, path, false, &whole);
    tally_.lookups++;
    if (found == nullptr || found == &root_) {
        FsEntry e;
        EXPECT_EQ(fs_stat(path.c_str(), &e), found == nullptr ? FS_FAIL : FS_OK) << path;
        return;
    }
    ASSERT_NO_FATAL_FAILURE(expect_entry(path, *found));
}

void TreeModel::random_step() {
    switch (pick(16)) {
    case 0:
    case 1:
    case 2:
    case 3: step_create(); break;
    case 4:
    case 5: step_write(); break;
    case 6: step_rename(); break;
    case 7: step_delete(); break;
    case 8: step_rmdir(); break;
    case 9:
    case 10:
    case 11: step_move(); break;
    case 12:
    case 13: step_lookup(); break;
    case 14:
        keep_case_ = !keep_case_;
        ASSERT_EQ(fs_set_options(keep_case_ ? FS_OPT_KEEP_CASE : 0), FS_OK);
        break;
    default: step_create(); break;
    }
}

void TreeModel::collect(const ModelNode &n, const std::string &path,
                        std::set<std::pair<std::string, bool>> *out) const {
    for (const auto &c : n.children) {
        std::string p = child_path(path, listed(*c));
        out->insert({p, c->dir});
        if (c->dir) collect(*c, p, out);
    }
}

void TreeModel::check_walk() {
    std::set<std::pair<std::string, bool>> expected, walked;
    collect(root_, "C:\\", &expected);
    char path[FS_OUT_PATH_SIZE];
    uint8_t attr = 0;
    for (uint8_t more = 0; fs_walk_tree(path, more, &attr) == FS_OK; more = 1) {
        ASSERT_LT(walked.size(), expected.size() + 1) << "the walk returns more than the tree holds";
        walked.insert({path, (attr & ATTR_DIRECTORY) != 0});
    }
    ASSERT_EQ(walked, expected);
}

void TreeModel::check_contents_and_space() {
    uint32_t used = 0;
    std::vector<ModelNode *> nodes;
    all_nodes(root_, &nodes);
    for (const ModelNode *n : nodes) {
        std::string p = stored_path(*n);
        if (n->dir) {
            DirCursor.search_kind = KIND_DIR;
            ASSERT_EQ(path_resolve(p.c_str()), FS_OK) << p;
            used += chain_length(FoundEntry.first_cluster);
        } else {
            ASSERT_NO_FATAL_FAILURE(expect_bytes(p, n->data));
            used += (uint32_t)((n->data.size() + 32767) / 32768);
        }
    }
    uint32_t capacity = 0, free_space = 0;
    ASSERT_EQ(fs_volume_info('c', &capacity, &free_space), FS_OK);
    ASSERT_EQ(free_space, (VolumeGeometry.cluster_count - used) * VolumeGeometry.sectors_per_cluster);
    static FsCheckReport report;
    EXPECT_EQ(check_volume(&report), FS_OK)
        << "first problem: " << (report.problem_count ? fs_check_problem_text(report.problems[0].kind) : "")
        << " at " << report.problems[0].path;
    EXPECT_EQ(report.used_clusters, used);
}

std::set<std::string> TreeModel::mtools_paths(bool halves) const {
    std::set<std::string> out;
    std::vector<std::pair<const ModelNode *, std::string>> stack = {{&root_, "::"}};
    while (!stack.empty()) {
        auto [n, path] = stack.back();
        stack.pop_back();
        for (const auto &c : n->children) {
            const std::string stored = stat_name(*c);
            std::string name;
            for (size_t i = 0; i < stored.size(); i++) {
                uint8_t b = (uint8_t)stored[i];
                if (halves && b >= 0xF0) {
                    name += "__";
                    i += 3;
                } else {
                    name += (char)b;
                }
            }
            std::string p = path + "/" + name;
            out.insert(c->dir ? p + "/" : p);
            if (c->dir) stack.push_back({c.get(), p});
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> TreeModel::files() const {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
    std::vector<const ModelNode *> nodes;
    all_nodes(root_, &nodes);
    for (const ModelNode *n : nodes) {
        if (n->dir) continue;
        std::string p = stored_path(*n).substr(3);
        std::replace(p.begin(), p.end(), '\\', '/');
        out.push_back({p, n->data});
    }
    return out;
}

size_t TreeModel::node_count() const {
    std::set<std::pair<std::string, bool>> all;
    collect(root_, "C:\\", &all);
    return all.size();
}

} // namespace fat16test
