// Byte searches over document text. Each returns the first occurrence, as a
// plain byte loop would, but compares a vector (or a 64-bit word) of bytes at
// a time. The kernel (AVX2, SSE2 or portable 64-bit words) is picked once,
// on first use, from what the processor supports.
#pragma once

#include <cstddef>

namespace arbolite::simd {

// First byte equal to `c` in [begin, end), or `end`.
const char* find_byte(const char* begin, const char* end, char c) noexcept;

// First byte equal to any of a, b, c, d in [begin, end), or `end`. Repeat a
// byte to search for fewer than four.
const char* find_any4(const char* begin, const char* end, char a, char b, char c, char d) noexcept;

// First byte equal to any of set[0..8) in [begin, end), or `end`. Repeat a
// byte to search for fewer than eight.
const char* find_any8(const char* begin, const char* end, const char* set) noexcept;

// Number of bytes equal to `c` in [begin, end).
size_t count_byte(const char* begin, const char* end, char c) noexcept;

// Whether [data, data + len) is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool is_valid_utf8(const char* data, size_t len) noexcept;

}  // namespace arbolite::simd
