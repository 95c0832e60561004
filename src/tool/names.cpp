// Names: which host names the volume holds as given, names compared as the
// library compares them, wildcards; sizes, the command-line parser and the
// progress line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tool.h"

namespace fat16tool {

namespace {

double now_seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// The code points of `text` in the form the library compares names in:
// upper case by its simple mappings. A byte that starts no valid UTF-8
// sequence stays itself, above every code point, so it equals only itself.
std::vector<uint32_t> folded_points(const std::string &text) {
    std::vector<uint32_t> out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        uint32_t cp = 0;
        uint32_t n = str_utf8_decode(text.c_str() + at, &cp);
        if (n == 0) {
            out.push_back(0x110000u + (uint8_t)text[at]);
            at++;
        } else {
            out.push_back(str_unicode_upper(cp));
            at += n;
        }
    }
    return out;
}

// Matches the bracket expression at `p` (just after its '[') against `c`;
// `*end` is set past its ']'. False in `*valid` when the bracket is not
// closed, so that '[' stands for itself.
bool bracket_match(const std::vector<uint32_t> &p, size_t at, uint32_t c, size_t *end, bool *valid) {
    bool negate = at < p.size() && (p[at] == '!' || p[at] == '^');
    if (negate) at++;
    bool matched = false;
    size_t first = at;
    while (at < p.size() && (p[at] != ']' || at == first)) {
        uint32_t low = p[at], high = low;
        if (at + 2 < p.size() && p[at + 1] == '-' && p[at + 2] != ']') {
            high = p[at + 2];
            at += 2;
        }
        if (low <= c && c <= high) matched = true;
        at++;
    }
    *valid = at < p.size();
    *end = at + 1;
    return matched != negate;
}

} // namespace

std::string name_problem(const std::string &name) {
    if (name.empty()) return "a name may not be empty";
    uint32_t units = str_utf16_units(name.c_str(), (uint32_t)name.size());
    if (units == 0xFFFFFFFFu) return "the name is not valid UTF-8 (names on the volume are Unicode text)";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F)
            return "names may not hold the control characters U+0000 to U+001F and U+007F";
        if (c == '\\') return "names may not hold '\\', which separates directories on the volume";
        if (strchr("\"*/:<>?|", c) != nullptr) return "names on FAT volumes may not hold \" * / : < > ? \\ |";
    }
    if (units > 255)
        return "the name has " + std::to_string(units) +
               " UTF-16 units; names on FAT volumes hold at most 255";
    if (name.back() == '.' || name.back() == ' ')
        return "FAT drops a name's final dots and spaces, so it would not come back as given";
    return "";
}

std::string fold_name(const std::string &name) {
    std::string key;
    for (uint32_t cp : folded_points(name)) {
        key += (char)(cp >> 16);
        key += (char)(cp >> 8);
        key += (char)cp;
    }
    return key;
}

bool has_wildcard(const std::string &component) {
    return component.find_first_of("*?[") != std::string::npos;
}

bool wildcard_match(const std::string &pattern, const std::string &name) {
    const std::vector<uint32_t> p = folded_points(pattern), s = folded_points(name);
    // Backtracking over the last '*': the usual linear-space matcher.
    size_t pi = 0, si = 0, star = std::string::npos, star_si = 0;
    while (si < s.size()) {
        if (pi < p.size()) {
            uint32_t c = p[pi];
            if (c == '*') {
                star = pi++;
                star_si = si;
                continue;
            }
            if (c == '?') {
                pi++;
                si++;
                continue;
            }
            if (c == '[') {
                size_t end = 0;
                bool valid = false;
                bool hit = bracket_match(p, pi + 1, s[si], &end, &valid);
                if (valid) {
                    if (hit) {
                        pi = end;
                        si++;
                        continue;
                    }
                } else if (s[si] == '[') {
                    pi++;
                    si++;
                    continue;
                }
            } else if (c == s[si]) {
                pi++;
                si++;
                continue;
            }
        }
        if (star == std::string::npos) return false;
        pi = star + 1;
        si = ++star_si;
    }
    while (pi < p.size() && p[pi] == '*') pi++;
    return pi == p.size();
}

bool parse_size(const std::string &text, uint64_t *bytes) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; i++) {
        if (value > (UINT64_MAX - 9) / 10) return false;
        value = value * 10 + (uint64_t)(text[i] - '0');
    }
    if (i == 0) return false;
    std::string unit = text.substr(i);
    uint64_t scale = 1;
    if (unit == "s" || unit == "S")
        scale = FS_SECTOR_SIZE;
    else if (unit == "K" || unit == "k" || unit == "KiB")
        scale = 1024;
    else if (unit == "M" || unit == "MiB")
        scale = 1024 * 1024;
    else if (unit == "G" || unit == "GiB")
        scale = 1024 * 1024 * 1024;
    else if (!unit.empty())
        return false;
    if (value > UINT64_MAX / scale) return false;
    *bytes = value * scale;
    return true;
}

Progress::Progress(bool enabled) : enabled_(enabled && host_stderr_is_terminal()) {
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

void Progress::expect(uint64_t files, uint64_t bytes) {
    totals_ = true;
    total_files_ = files;
    total_bytes_ = bytes;
}

namespace {

// 1234567 as "1,234,567".
std::string grouped(uint64_t n) {
    std::string digits = std::to_string(n), out;
    for (size_t i = 0; i < digits.size(); i++) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return out;
}

} // namespace

void Progress::draw(bool last) {
    double t = now_seconds();
    last_draw_ = t;
    double elapsed = t - start_;
    double mb = (double)bytes_ / 1e6;
    double rate = elapsed > 0 ? mb / elapsed : 0;
    std::string line;
    char text[128];
    if (totals_) {
        // Done of total; the share of the bytes, or of the files when all are empty.
        double share = total_bytes_ > 0   ? (double)bytes_ / (double)total_bytes_
                       : total_files_ > 0 ? (double)files_ / (double)total_files_
                                          : 1.0;
        snprintf(text, sizeof text, ", %.1f/%.1f MB, %d%%, %.1f MB/s", mb, (double)total_bytes_ / 1e6,
                 (int)(std::min(share, 1.0) * 100), rate);
        line = grouped(files_) + "/" + grouped(total_files_) + " files" + text;
    } else {
        snprintf(text, sizeof text, " files, %.1f MB, %.1f MB/s", mb, rate);
        line = std::to_string(files_) + text;
    }
    fprintf(stderr, "\r%s\033[K%s", line.c_str(), last ? "\n" : "");
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

bool parse_or_usage(Reporter &report, const std::vector<std::string> &args,
                    const std::vector<FlagDef> &accepted, ParsedArgs *parsed, int *status) {
    std::string error;
    // Every command takes -q; those with nothing to leave out ignore it.
    std::vector<FlagDef> flags = accepted;
    bool has_quiet = false;
    for (const FlagDef &f : accepted)
        has_quiet = has_quiet || (f.long_form != nullptr && strcmp(f.long_form, "--quiet") == 0);
    if (!has_quiet) flags.push_back({"-q", "--quiet", false});
    if (!parse_args(args, flags, parsed, &error)) {
        *status = report.usage(error);
        return false;
    }
    if (parsed->help) {
        fputs(help_text(report.command()), stdout);
        *status = kExitOk;
        return false;
    }
    return true;
}

} // namespace fat16tool
