// The UTF-8 form of a single code point, for code that encodes one at a time.
#pragma once

#include <cstddef>
#include <cstdint>

namespace arbolite::simd {

// Writes the UTF-8 form of `c` to `out` (room for 4 bytes) and returns its
// length: 1, 2, 3 or 4 bytes for a value below 0x80, 0x800, 0x10000 or
// above. A surrogate takes three bytes; a value above U+10FFFF, which no
// checked caller gives, still takes exactly four.
inline size_t encode_code_point(uint32_t c, char* out) {
    if (c < 0x80) {
        out[0] = static_cast<char>(c);
        return 1;
    }
    if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | ((c >> 18) & 0x07));
    out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (c & 0x3F));
    return 4;
}

}  // namespace arbolite::simd
