// The rules for names that both the tree model of the tests and the
// operations fuzzer predict the library by: UTF-8 decoding, lengths in
// UTF-16 units, comparison without regard to case for the characters the
// generators use, and the case of 8.3 name parts. Header only (std only),
// so that the fuzzer, built apart from the tests, includes it too.
#ifndef FAT16_TEST_UTF8_RULES_H
#define FAT16_TEST_UTF8_RULES_H

#include <stdint.h>

#include <string>

namespace name_rules {

const uint32_t kNoUtf8 = 0xFFFFFFFFu;

// The code point at s[*i], stepping past it; false for a byte that starts
// no valid UTF-8 sequence.
inline bool next_point(const std::string &s, size_t *i, uint32_t *cp) {
    static const uint32_t lowest[] = {0, 0, 0x80, 0x800, 0x10000};
    uint8_t b = (uint8_t)s[*i];
    uint32_t n = b < 0x80                 ? 1
                 : b >= 0xC2 && b <= 0xDF ? 2
                 : b >= 0xE0 && b <= 0xEF ? 3
                 : b >= 0xF0 && b <= 0xF4 ? 4
                                          : 0;
    if (n == 0 || *i + n > s.size()) return false;
    *cp = n == 1 ? b : b & (0x7Fu >> n);
    for (uint32_t k = 1; k < n; k++) {
        uint8_t c = (uint8_t)s[*i + k];
        if ((c & 0xC0) != 0x80) return false;
        *cp = *cp << 6 | (c & 0x3Fu);
    }
    *i += n;
    return *cp >= lowest[n] && (*cp < 0xD800 || *cp > 0xDFFF) && *cp <= 0x10FFFF;
}

// UTF-16 units of `s`, or kNoUtf8.
inline uint32_t units(const std::string &s) {
    uint32_t n = 0, cp = 0;
    for (size_t i = 0; i < s.size(); n += cp >= 0x10000 ? 2 : 1)
        if (!next_point(s, &i, &cp)) return kNoUtf8;
    return n;
}

// The length of a path as the limits count it: UTF-16 units, or bytes for
// text that is no UTF-8.
inline uint32_t path_units(const std::string &s) {
    uint32_t n = units(s);
    return n == kNoUtf8 ? (uint32_t)s.size() : n;
}

// Upper case for every character the generators use: ASCII, and the simple
// mappings of their non-ASCII letters (some map onto ASCII or onto a letter
// two small letters share). Nothing beyond U+FFFF has one.
inline uint32_t upper(uint32_t cp) {
    if (cp >= 'a' && cp <= 'z') return cp - 32;
    switch (cp) {
    case 0xE9: return 0xC9;   // e acute
    case 0xFC: return 0xDC;   // u diaeresis
    case 0xF8: return 0xD8;   // o stroke
    case 0xFF: return 0x178;  // y diaeresis: its capital is outside Latin-1
    case 0x153: return 0x152; // oe
    case 0x131: return 'I';   // dotless i
    case 0x17F: return 'S';   // long s
    case 0xB5: return 0x39C;  // micro sign: Greek capital mu
    case 0x3C3:
    case 0x3C2: return 0x3A3;   // sigma and final sigma
    case 0x434: return 0x414;   // Cyrillic de
    case 0xFF41: return 0xFF21; // fullwidth a
    default: return cp;         // sharp s, capitals, CJK, everything beyond U+FFFF
    }
}

// One name without regard to case, as lookups and duplicates compare. A
// byte that is no UTF-8 never belongs to a stored name, so text holding one
// matches none.
inline bool same_name(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    uint32_t x = 0, y = 0;
    while (i < a.size() && j < b.size())
        if (!next_point(a, &i, &x) || !next_point(b, &j, &y) || upper(x) != upper(y)) return false;
    return i == a.size() && j == b.size();
}

// A name without the trailing spaces and dots creation drops.
inline std::string trim_right(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '.')) s.pop_back();
    return s;
}

// Whether a name, its trailing spaces and dots dropped (`text`), may be
// created: 1 to 255 UTF-16 units of UTF-8 without control characters, 0x7F
// and " * / : < > ? \ |.
inline bool valid_new_name(const std::string &text) {
    if (text.empty()) return false;
    for (char c : text)
        if ((uint8_t)c < 0x20 || c == 0x7F || std::string("\"*/:<>?\\|").find(c) != std::string::npos)
            return false;
    uint32_t n = units(text);
    return n != kNoUtf8 && n <= 255;
}

// The case of an 8.3 name part: 0 no small letters, 1 small letters only,
// 2 both.
inline int part_case(const std::string &part) {
    bool small = false, big = false;
    for (char c : part) {
        small = small || (c >= 'a' && c <= 'z');
        big = big || (c >= 'A' && c <= 'Z');
    }
    return small && big ? 2 : small ? 1 : 0;
}

} // namespace name_rules

#endif
