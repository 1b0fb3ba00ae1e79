// What the read asks of bytes and characters beyond the shared byte
// classes: skipping the separators inside tags, and the White_Space
// characters (ASCII and multi-byte) that are trimmed off texts.
#pragma once

#include <cstddef>

#include "common/byte_class.hpp"

namespace arbolite::read {

using byte_class::is_attr_name_stop;
using byte_class::is_tag_space;

inline const char* skip_tag_space(const char* p, const char* end) {
    while (p != end && is_tag_space(*p)) ++p;
    return p;
}

// Length in bytes of the White_Space character that starts at `p` (p < end),
// or 0 when there is none. Besides the ASCII ones these are U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
inline size_t white_space_at(const char* p, const char* end) {
    auto c = static_cast<unsigned char>(p[0]);
    if (c < 0x80) return byte_class::is_ascii_white_space(static_cast<char>(c)) ? 1 : 0;
    if (c == 0xC2) {
        if (end - p < 2) return 0;
        auto c1 = static_cast<unsigned char>(p[1]);
        return c1 == 0x85 || c1 == 0xA0 ? 2 : 0;
    }
    if (c < 0xE1 || c > 0xE3 || end - p < 3) return 0;
    auto c1 = static_cast<unsigned char>(p[1]);
    auto c2 = static_cast<unsigned char>(p[2]);
    bool space;
    if (c == 0xE1) {
        space = c1 == 0x9A && c2 == 0x80;  // U+1680
    } else if (c == 0xE3) {
        space = c1 == 0x80 && c2 == 0x80;  // U+3000
    } else if (c1 == 0x80) {               // U+2000..U+203F
        space = (c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF;
    } else {
        space = c1 == 0x81 && c2 == 0x9F;  // U+205F
    }
    return space ? 3 : 0;
}

inline const char* skip_white_space(const char* p, const char* end) {
    while (p != end) {
        size_t n = white_space_at(p, end);
        if (n == 0) break;
        p += n;
    }
    return p;
}

// The end of [begin, end) with trailing White_Space characters removed.
inline const char* trim_white_space_back(const char* begin, const char* end) {
    while (end != begin) {
        auto last = static_cast<unsigned char>(end[-1]);
        if (last < 0x80) {
            if (!byte_class::is_ascii_white_space(static_cast<char>(last))) break;
            --end;
        } else if (end - begin >= 2 && static_cast<unsigned char>(end[-2]) == 0xC2 &&
                   white_space_at(end - 2, end) == 2) {
            end -= 2;
        } else if (end - begin >= 3 && white_space_at(end - 3, end) == 3) {
            end -= 3;
        } else {
            break;
        }
    }
    return end;
}

}  // namespace arbolite::read
