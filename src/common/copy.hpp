// Byte copies for many short pieces (names, short texts and values).
#pragma once

#include <cstddef>
#include <cstdint>

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

}  // namespace arbolite
