// Names on both sides: which host names the volume holds as given, why the
// library refuses a name, which names from the volume are safe on the host;
// the command-line parser and the progress line.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "tool.h"

namespace fat16tool {

namespace {

const char kForbidden[] = "\"*/:<>?\\|";
const char kNeedsLongForm[] = " +,;=[]"; // 8.3 length, but stored as a long name

bool has_lower(const std::string &s) {
    for (char c : s)
        if (c >= 'a' && c <= 'z') return true;
    return false;
}

std::string upper(std::string s) {
    for (char &c : s)
        if (c >= 'a' && c <= 'z') c = (char)(c - 'a' + 'A');
    return s;
}

// True when the library stores `name` as one 8.3 entry, which keeps
// capitals only: a name part of at most 8 characters and an extension of at
// most 3, none of the characters that need a long name.
bool stored_as_short_name(const std::string &name, bool is_dir) {
    size_t dot = name.find('.');
    if (is_dir && dot != std::string::npos) return false; // refused anyway
    size_t name_part = dot == std::string::npos ? name.size() : dot;
    if (dot != std::string::npos &&
        (name.find('.', dot + 1) != std::string::npos || name.size() - dot - 1 > 3))
        return false; // refused anyway
    if (name_part == 0 || name_part > 8) return false;
    return name.find_first_of(kNeedsLongForm) == std::string::npos;
}

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

std::string host_name_problem(const std::string &name, bool is_dir, bool capitals) {
    for (unsigned char c : name) {
        if (c >= 0x80)
            return "the name holds non-ASCII characters, which this library does not store so that "
                   "other tools read them back";
    }
    if (name.find('\\') != std::string::npos)
        return "invalid name ('\\' separates directories on the volume)";
    if (!name.empty() && name.back() == '.') return "a final '.' is dropped from names on the volume";
    if (!name.empty() && name.back() == ' ') return "other FAT tools drop a name's final spaces";
    if (!capitals && has_lower(name) && stored_as_short_name(name, is_dir))
        return "would be stored in capitals as " + upper(name) +
               " (8.3 names are kept in capitals; --capitals accepts that)";
    return "";
}

std::string name_rule_hint(const std::string &name, bool is_dir) {
    if (name.empty()) return "a name may not be empty";
    if (name.size() > 255) return "names are at most 255 characters long";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F || c == 0xFF || strchr(kForbidden, c) != nullptr)
            return "names may not hold control characters or \" * / : < > ? \\ |";
    }
    size_t dot = name.find('.');
    if (dot == std::string::npos) return "";
    if (is_dir) return "a directory name may not hold '.'";
    if (dot == 0) return "a file name may not begin with '.'";
    if (name.find('.', dot + 1) != std::string::npos) return "a file name may hold one '.' only";
    if (name.size() - dot - 1 > 3) return "a file name's extension may have at most 3 characters";
    return "";
}

bool safe_host_component(const std::string &name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (unsigned char c : name)
        if (c == '/' || c < 0x20) return false;
    return true;
}

std::string join_host(const std::string &dir, const std::string &name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string host_basename(const std::string &path) {
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/') end--;
    size_t start = path.rfind('/', end - 1);
    start = start == std::string::npos ? 0 : start + 1;
    if (end > 0 && path[end - 1] == '/') return "";
    return path.substr(start, end - start);
}

Progress::Progress(bool enabled) : enabled_(enabled && isatty(STDERR_FILENO)) {
    start_ = now_seconds();
    last_draw_ = start_;
}

Progress::~Progress() { finish(); }

void Progress::add_bytes(uint64_t n) {
    bytes_ += n;
    if (enabled_ && now_seconds() - last_draw_ >= 0.2) draw(false);
}

void Progress::file_done() {
    files_++;
    if (enabled_ && now_seconds() - last_draw_ >= 0.2) draw(false);
}

void Progress::finish() {
    if (!enabled_) return;
    if (drawn_ || files_ > 0) draw(true);
    enabled_ = false;
}

void Progress::draw(bool last) {
    double t = now_seconds();
    last_draw_ = t;
    double elapsed = t - start_;
    double mb = (double)bytes_ / 1e6;
    double rate = elapsed > 0 ? mb / elapsed : 0;
    fprintf(stderr, "\r%llu files, %.1f MB, %.1f MB/s\033[K%s", (unsigned long long)files_, mb, rate,
            last ? "\n" : "");
    fflush(stderr);
    drawn_ = true;
}

bool ParsedArgs::has(const std::string &flag) const {
    for (const std::string &f : flags)
        if (f == flag) return true;
    return false;
}

const std::string *ParsedArgs::value(const std::string &flag) const {
    const std::string *found = nullptr;
    for (const auto &v : values)
        if (v.first == flag) found = &v.second;
    return found;
}

namespace {

// The name a flag is known by: its long form when it has one.
std::string key_of(const FlagDef &f) { return f.long_form != nullptr ? f.long_form : f.short_form; }

} // namespace

bool parse_args(const std::vector<std::string> &args, const std::vector<FlagDef> &accepted, ParsedArgs *out,
                std::string *error) {
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        if (a == "--") {
            out->operands.insert(out->operands.end(), args.begin() + (long)i + 1, args.end());
            return true;
        }
        if (a == "--help" || a == "-h") {
            out->help = true;
            continue;
        }
        if (a.size() > 2 && a[0] == '-' && a[1] == '-') {
            std::string name = a, value;
            size_t eq = a.find('=');
            bool has_value = eq != std::string::npos;
            if (has_value) {
                name = a.substr(0, eq);
                value = a.substr(eq + 1);
            }
            const FlagDef *found = nullptr;
            for (const FlagDef &f : accepted)
                if (f.long_form != nullptr && name == f.long_form) found = &f;
            if (found == nullptr) {
                *error = "unknown option " + name;
                return false;
            }
            if (found->takes_value) {
                if (!has_value) {
                    if (i + 1 >= args.size()) {
                        *error = "option " + name + " needs a value";
                        return false;
                    }
                    value = args[++i];
                }
                out->values.emplace_back(key_of(*found), value);
            } else {
                if (has_value) {
                    *error = "option " + name + " takes no value";
                    return false;
                }
                out->flags.push_back(key_of(*found));
            }
            continue;
        }
        if (a.size() > 1 && a[0] == '-') {
            // One or more single-letter flags; a flag with a value takes the
            // rest of the word or the next word.
            for (size_t k = 1; k < a.size(); k++) {
                std::string letter = std::string("-") + a[k];
                const FlagDef *found = nullptr;
                for (const FlagDef &f : accepted)
                    if (f.short_form != nullptr && letter == f.short_form) found = &f;
                if (found == nullptr) {
                    *error = "unknown option " + letter;
                    return false;
                }
                if (!found->takes_value) {
                    out->flags.push_back(key_of(*found));
                    continue;
                }
                std::string value = a.substr(k + 1);
                if (value.empty()) {
                    if (i + 1 >= args.size()) {
                        *error = "option " + letter + " needs a value";
                        return false;
                    }
                    value = args[++i];
                }
                out->values.emplace_back(key_of(*found), value);
                break;
            }
            continue;
        }
        out->operands.push_back(a);
    }
    return true;
}

} // namespace fat16tool
