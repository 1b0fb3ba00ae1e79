// Byte searches over document text. Each returns the first occurrence, as a
// plain byte loop would, but compares a vector (or a 64-bit word) of bytes at
// a time. The kernel (AVX2, SSE2 or portable 64-bit words) is picked once,
// on first use, from what the processor supports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/target.hpp"

#if ARBOLITE_TARGET_SSE2()
#include <emmintrin.h>
#endif

namespace arbolite::simd {

namespace detail {
const char* find_byte_kernel(const char* begin, const char* end, char c) noexcept;
const char* find_any4_kernel(const char* begin, const char* end, char a, char b, char c, char d) noexcept;
size_t count_byte_kernel(const char* begin, const char* end, char c) noexcept;

// Below this length counting goes a 64-bit word at a time inline.
inline constexpr std::ptrdiff_t short_count = 64;

// Below this length a plain loop beats the call into a vector kernel (most
// names, short texts and attribute values are this short).
inline constexpr std::ptrdiff_t short_range = 16;

#if ARBOLITE_TARGET_SSE2()
// Bit i set where byte i of the 16 at p is a, b, c or d.
inline unsigned any4_hits(const char* p, char a, char b, char c, char d) noexcept {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i any = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(a)), _mm_cmpeq_epi8(v, _mm_set1_epi8(b))),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(c)), _mm_cmpeq_epi8(v, _mm_set1_epi8(d))));
    return static_cast<unsigned>(_mm_movemask_epi8(any));
}
#endif
}  // namespace detail

// First byte equal to `c` in [begin, end), or `end`.
inline const char* find_byte(const char* begin, const char* end, char c) noexcept {
    if (end - begin >= detail::short_range) {
#if ARBOLITE_TARGET_SSE2()
        // Most hits are near: the first 16 bytes are looked at here.
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(begin));
        const unsigned hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(c))));
        if (hits != 0) return begin + __builtin_ctz(hits);
        return detail::find_byte_kernel(begin + 16, end, c);
#else
        return detail::find_byte_kernel(begin, end, c);
#endif
    }
    for (; begin != end; ++begin)
        if (*begin == c) return begin;
    return end;
}

// First byte equal to any of a, b, c, d in [begin, end), or `end`. Repeat a
// byte to search for fewer than four.
inline const char* find_any4(const char* begin, const char* end, char a, char b, char c, char d) noexcept {
    if (end - begin >= detail::short_range) {
#if ARBOLITE_TARGET_SSE2()
        const unsigned hits = detail::any4_hits(begin, a, b, c, d);
        if (hits != 0) return begin + __builtin_ctz(hits);
        return detail::find_any4_kernel(begin + 16, end, a, b, c, d);
#else
        return detail::find_any4_kernel(begin, end, a, b, c, d);
#endif
    }
    for (; begin != end; ++begin) {
        const char x = *begin;
        if (x == a || x == b || x == c || x == d) return begin;
    }
    return end;
}

// find_any4 for a range that may be read beyond its end up to
// `readable_end` (>= end): a short range is searched with a single vector
// compare of the 16 bytes at `begin` when they may all be read.
inline const char* find_any4_bounded(const char* begin, const char* end, const char* readable_end, char a, char b,
                                     char c, char d) noexcept {
#if ARBOLITE_TARGET_SSE2()
    const std::ptrdiff_t length = end - begin;
    if (length < detail::short_range && readable_end - begin >= 16) {
        const unsigned hits = detail::any4_hits(begin, a, b, c, d) & ((1u << length) - 1);
        return hits != 0 ? begin + __builtin_ctz(hits) : end;
    }
#else
    (void)readable_end;
#endif
    return find_any4(begin, end, a, b, c, d);
}

// First byte equal to any of set[0..8) in [begin, end), or `end`. Repeat a
// byte to search for fewer than eight.
const char* find_any8(const char* begin, const char* end, const char* set) noexcept;

// Number of bytes equal to `c` in [begin, end).
inline size_t count_byte(const char* begin, const char* end, char c) noexcept {
    if (end - begin >= detail::short_count) return detail::count_byte_kernel(begin, end, c);
    constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
    const uint64_t pattern = 0x0101010101010101ull * static_cast<unsigned char>(c);
    size_t count = 0;
    for (; end - begin >= 8; begin += 8) {
        uint64_t word;
        __builtin_memcpy(&word, begin, 8);
        const uint64_t x = word ^ pattern;  // zero bytes where `c` is
        // The high bit of each byte of `zero` is set exactly where x has a
        // zero byte (no carries cross bytes).
        const uint64_t zero = ~(((x & low7) + low7) | x | low7);
        count += static_cast<size_t>(__builtin_popcountll(zero));
    }
    for (; begin != end; ++begin) count += *begin == c;
    return count;
}

// Whether [data, data + len) is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool is_valid_utf8(const char* data, size_t len) noexcept;

}  // namespace arbolite::simd
