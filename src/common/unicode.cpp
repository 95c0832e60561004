// Names are UTF-8 at the interface and UTF-16 in long-name entries; 8.3
// names of other systems are in code page 437. Comparison without regard
// to case folds ASCII and the simple one-to-one upper-case mappings of the
// Basic Multilingual Plane, from a generated table (with FS_WITH_UNICODE 0
// only the letters of code page 437); no locale is involved.
#include "fat16_common.h"
#include "unicode_tables.h"

namespace {

const uint32_t kReplacement = 0xFFFD;
// Where str_equal_nocase puts a byte that starts no valid UTF-8 sequence:
// past every code point, so that it equals only the same byte.
const uint32_t kStrayByte = 0x110000;

bool continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

// The code point at `s` and how many bytes it takes; a byte that starts no
// valid sequence stands for itself (as kStrayByte + byte) and takes one.
uint32_t next_point(const char *s, uint32_t *cp) {
    uint32_t n = str_utf8_decode(s, cp);
    if (n == 0) {
        *cp = kStrayByte + (uint8_t)*s;
        n = 1;
    }
    return n;
}

// The code point of the units at `units[*at]` (of `count`), stepping past
// them: a pair of surrogates makes one, half of a pair without its other
// half reads as U+FFFD.
uint32_t next_unit_point(const uint16_t *units, uint32_t count, uint32_t *at) {
    uint32_t cp = units[(*at)++];
    if (cp < 0xD800 || cp > 0xDFFF) return cp;
    if (cp <= 0xDBFF && *at < count && units[*at] >= 0xDC00 && units[*at] <= 0xDFFF)
        return 0x10000 + ((cp - 0xD800) << 10) + (units[(*at)++] - 0xDC00);
    return kReplacement;
}

} // namespace

extern "C" {

uint32_t str_utf8_decode(const char *s, uint32_t *cp) {
    const uint8_t *p = (const uint8_t *)s;
    uint8_t b = p[0];
    if (b < 0x80) {
        *cp = b;
        return 1;
    }
    uint32_t length = 0;
    uint32_t value = 0;
    uint32_t lowest = 0;
    if (b >= 0xC2 && b <= 0xDF) {
        length = 2;
        value = b & 0x1Fu;
        lowest = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        length = 3;
        value = b & 0x0Fu;
        lowest = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        length = 4;
        value = b & 0x07u;
        lowest = 0x10000;
    } else {
        return 0;
    }
    for (uint32_t i = 1; i < length; i++) {
        if (!continuation(p[i])) return 0; // also stops at the NUL
        value = (value << 6) | (p[i] & 0x3Fu);
    }
    // Overlong forms, UTF-16 surrogates and values past U+10FFFF are invalid.
    if (value < lowest || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) return 0;
    *cp = value;
    return length;
}

uint32_t str_utf8_encode(uint32_t cp, char *out) {
    uint8_t *o = (uint8_t *)out;
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kReplacement;
    if (cp < 0x80) {
        o[0] = (uint8_t)cp;
        return 1;
    }
    if (cp < 0x800) {
        o[0] = (uint8_t)(0xC0 | (cp >> 6));
        o[1] = (uint8_t)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        o[0] = (uint8_t)(0xE0 | (cp >> 12));
        o[1] = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
        o[2] = (uint8_t)(0x80 | (cp & 0x3F));
        return 3;
    }
    o[0] = (uint8_t)(0xF0 | (cp >> 18));
    o[1] = (uint8_t)(0x80 | ((cp >> 12) & 0x3F));
    o[2] = (uint8_t)(0x80 | ((cp >> 6) & 0x3F));
    o[3] = (uint8_t)(0x80 | (cp & 0x3F));
    return 4;
}

uint32_t str_utf16_units(const char *s, uint32_t length) {
    uint32_t units = 0;
    for (uint32_t at = 0; at < length;) {
        uint32_t cp = 0;
        uint32_t n = str_utf8_decode(s + at, &cp);
        if (n == 0 || at + n > length) return 0xFFFFFFFFu;
        units += cp >= 0x10000 ? 2 : 1;
        at += n;
    }
    return units;
}

uint32_t str_unicode_upper(uint32_t cp) {
    if (cp < 0x80) return (cp >= 'a' && cp <= 'z') ? cp - 'a' + 'A' : cp;
    if (cp >= 0x10000) return cp;
#if FS_WITH_UNICODE
    // The last run that starts at or before cp.
    uint32_t low = 0;
    uint32_t high = sizeof kCaseRuns / sizeof kCaseRuns[0];
    while (high - low > 1) {
        uint32_t mid = (low + high) / 2;
        if (kCaseRuns[mid].first <= cp)
            low = mid;
        else
            high = mid;
    }
    const CaseRun &run = kCaseRuns[low];
    if (cp < run.first) return cp;
    uint32_t offset = cp - run.first;
    if (offset % run.step != 0 || offset / run.step >= run.count) return cp;
    return (cp + run.delta) & 0xFFFFu;
#else
    // The letters of code page 437 beyond ASCII: Latin-1's, and sigma.
    if (cp >= 0xE0 && cp <= 0xFE && cp != 0xF7) return cp - 0x20;
    return cp == 0x3C3 ? 0x3A3 : cp;
#endif
}

uint8_t str_equal_nocase(const char *a, const char *b) { return str_equal_nocase_n(a, b, str_len(b)); }

uint32_t str_utf16_to_utf8(const uint16_t *units, uint32_t count, char *out, uint32_t room) {
    uint32_t at = 0;
#if !defined(__OPTIMIZE_SIZE__) // speed where it is wanted: a run of ASCII, byte for byte
    uint32_t ascii_end = room == 0 ? 0 : count < room ? count : room - 1;
    while (at < ascii_end && units[at] < 0x80) {
        out[at] = (char)units[at];
        at++;
    }
#endif
    for (uint32_t i = at; i < count;) {
        uint32_t cp = next_unit_point(units, count, &i);
        char bytes[4];
        uint32_t n = str_utf8_encode(cp, bytes);
        if (at + n + 1 > room) return 0xFFFFFFFFu;
        for (uint32_t k = 0; k < n; k++) out[at++] = bytes[k];
    }
    if (at + 1 > room) return 0xFFFFFFFFu;
    out[at] = '\0';
    return at;
}

uint32_t str_utf8_to_utf16(const char *s, uint32_t length, uint16_t *units, uint32_t room) {
    uint32_t count = 0;
    for (uint32_t at = 0; at < length;) {
        uint32_t cp = 0;
        uint32_t n = str_utf8_decode(s + at, &cp);
        if (n == 0 || at + n > length) return 0xFFFFFFFFu;
        at += n;
        if (cp >= 0x10000) {
            if (count + 2 > room) return 0xFFFFFFFFu;
            cp -= 0x10000;
            units[count++] = (uint16_t)(0xD800 + (cp >> 10));
            units[count++] = (uint16_t)(0xDC00 + (cp & 0x3FF));
        } else {
            if (count + 1 > room) return 0xFFFFFFFFu;
            units[count++] = (uint16_t)cp;
        }
    }
    return count;
}

uint32_t str_unicode_lower(uint32_t cp) {
    if (cp < 0x80) return (cp >= 'A' && cp <= 'Z') ? cp - 'A' + 'a' : cp;
    if (cp >= 0x10000) return cp;
#if FS_WITH_UNICODE
    // The small letter whose capital `cp` is: the runs read backwards.
    for (const CaseRun &run : kCaseRuns) {
        uint32_t small = (cp - run.delta) & 0xFFFFu;
        if (small < run.first) continue;
        uint32_t offset = small - run.first;
        if (offset % run.step == 0 && offset / run.step < run.count && small >= 0x80) return small;
    }
    return cp;
#else
    if (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7) return cp + 0x20;
    return cp == 0x3A3 ? 0x3C3 : cp;
#endif
}

uint8_t str_equal_nocase_n(const char *a, const char *b, uint32_t length) {
    const char *end = b + length;
    for (;;) {
        if (b == end) return *a == '\0' ? 1 : 0;
        if (*a == '\0') return 0; // `a` ends before the length does
#if !defined(__OPTIMIZE_SIZE__)   // speed where it is wanted: ASCII, the common case
        uint8_t x = (uint8_t)*a;
        uint8_t y = (uint8_t)*b;
        if ((x | y) < 0x80) {
            if (x != y && str_ascii_upper((char)x) != str_ascii_upper((char)y)) return 0;
            a++;
            b++;
            continue;
        }
#endif
        uint32_t p = 0;
        uint32_t q = 0;
        a += next_point(a, &p);
        uint32_t n = next_point(b, &q);
        if (b + n > end) return 0; // a sequence cut by the length
        b += n;
        if (p != q && str_unicode_upper(p) != str_unicode_upper(q)) return 0;
    }
}

uint32_t str_cp437_to_utf8(uint8_t byte, char *out) {
    if (byte < 0x80) {
        out[0] = (char)byte;
        return 1;
    }
    return str_utf8_encode(kCp437High[byte - 0x80], out);
}
}
