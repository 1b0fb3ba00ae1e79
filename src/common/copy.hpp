// Byte copies and comparisons for many short pieces (names, short texts
// and values).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace arbolite {

// Copies n <= 16 bytes without a library call: two overlapping loads and
// stores of 8 or 4 bytes, or up to three single bytes.
inline void copy_short(char* to, const char* from, size_t n) {
    if (n >= 8) {
        uint64_t a, b;
        __builtin_memcpy(&a, from, 8);
        __builtin_memcpy(&b, from + n - 8, 8);
        __builtin_memcpy(to, &a, 8);
        __builtin_memcpy(to + n - 8, &b, 8);
    } else if (n >= 4) {
        uint32_t a, b;
        __builtin_memcpy(&a, from, 4);
        __builtin_memcpy(&b, from + n - 4, 4);
        __builtin_memcpy(to, &a, 4);
        __builtin_memcpy(to + n - 4, &b, 4);
    } else if (n != 0) {
        to[0] = from[0];
        to[n / 2] = from[n / 2];
        to[n - 1] = from[n - 1];
    }
}

// memcpy, with the short copies inline.
inline void copy_bytes(char* to, const char* from, size_t n) {
    if (n > 16)
        __builtin_memcpy(to, from, n);
    else
        copy_short(to, from, n);
}

// Whether the n bytes at a and b are the same, compared a word at a time
// without a library call (names and short texts are short).
inline bool same_bytes(const char* a, const char* b, size_t n) noexcept {
    if (n >= 8) {
        uint64_t x, y;
        for (size_t i = 0; i + 8 < n; i += 8) {
            __builtin_memcpy(&x, a + i, 8);
            __builtin_memcpy(&y, b + i, 8);
            if (x != y) return false;
        }
        __builtin_memcpy(&x, a + n - 8, 8);
        __builtin_memcpy(&y, b + n - 8, 8);
        return x == y;
    }
    if (n >= 4) {
        uint32_t x0, y0, x1, y1;
        __builtin_memcpy(&x0, a, 4);
        __builtin_memcpy(&y0, b, 4);
        __builtin_memcpy(&x1, a + n - 4, 4);
        __builtin_memcpy(&y1, b + n - 4, 4);
        return ((x0 ^ y0) | (x1 ^ y1)) == 0;
    }
    return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
}

// Whether two strings are equal, short ones compared inline.
inline bool same_text(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size());
}

}  // namespace arbolite
