// The small set of vector operations that the search kernels are written in,
// once per instruction set: plain 64-bit words (any machine), SSE2 and AVX2.
// Only the kernel sources include this header. Everything here has internal
// linkage, so that code compiled for AVX2 in one file can never be merged with
// the baseline build of another.
//
// Each ops type provides:
//   vec, width                       a register of `width` bytes
//   load(p), splat(c)                unaligned load; c in every byte
//   eq(a, b)                         "match" lanes where the bytes are equal
//   or_(a, b)                        union of match lanes (or of raw bytes)
//   at_most(v, c)                    match lanes where v <= c, unsigned; c <
//                                    0x80
//   any(m), bits(m)                  whether any lane matches; one bit per lane
//                                    (both look only at the top bit of each
//                                    byte, so raw bytes work as lanes too)
//   high_bits(v)                     one bit per raw byte >= 0x80
//   zero(), add_match(acc, m),       per-byte match counters, good for
//   sum_counts(acc)                  255 additions before they are summed
//   narrower                         the ops used for ranges shorter than
//                                    `width` (void: byte loop)
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd/target.hpp"

#if ARBOLITE_TARGET_SSE2()
#include <emmintrin.h>
#endif
#if ARBOLITE_TARGET_AVX2()
#include <immintrin.h>
#endif

namespace arbolite::simd {
namespace {

struct swar_ops {
    using vec = uint64_t;
    using narrower = void;
    static constexpr size_t width = 8;
    static constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
    static constexpr uint64_t high1 = 0x8080808080808080ULL;
    static constexpr uint64_t ones = 0x0101010101010101ULL;

    // Byte i of the range lands in bits 8i..8i+7 whatever the byte order.
    static vec load(const char* p) {
        uint64_t x;
        std::memcpy(&x, p, 8);
        if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
        return x;
    }
    static vec splat(char c) { return ones * static_cast<unsigned char>(c); }
    // 0x80 in every byte where a == b, 0 elsewhere; exact (no carries
    // between bytes, unlike the shorter "has zero byte" test).
    static vec eq(vec a, vec b) {
        const uint64_t x = a ^ b;
        return ~(((x & low7) + low7) | x | low7);
    }
    static vec or_(vec a, vec b) { return a | b; }
    static vec at_most(vec v, vec limit) {
        // Top bit of (v | 0x80) - (limit + 1) is clear exactly when the low
        // seven bits of v are at most `limit`; no borrow leaves a byte.
        return ~(((v | high1) - (limit + ones)) | v) & high1;
    }
    static bool any(vec m) { return m != 0; }
    // Gathers the top bit of each byte into an 8-bit mask.
    static uint64_t bits(vec m) { return ((m >> 7) * 0x0102040810204080ULL) >> 56; }
    static uint64_t high_bits(vec v) { return bits(v & high1); }
    static vec zero() { return 0; }
    static vec add_match(vec acc, vec m) { return acc + (m >> 7); }
    static size_t sum_counts(vec acc) {
        const uint64_t pairs = (acc & 0x00FF00FF00FF00FFULL) + ((acc >> 8) & 0x00FF00FF00FF00FFULL);
        return static_cast<size_t>((pairs * 0x0001000100010001ULL) >> 48);
    }
};

#if ARBOLITE_TARGET_SSE2()
struct sse2_ops {
    using vec = __m128i;
    using narrower = swar_ops;
    static constexpr size_t width = 16;

    static vec load(const char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static vec splat(char c) { return _mm_set1_epi8(c); }
    static vec eq(vec a, vec b) { return _mm_cmpeq_epi8(a, b); }
    static vec or_(vec a, vec b) { return _mm_or_si128(a, b); }
    static vec at_most(vec v, vec limit) { return _mm_cmpeq_epi8(_mm_min_epu8(v, limit), v); }
    static bool any(vec m) { return _mm_movemask_epi8(m) != 0; }
    static uint64_t bits(vec m) { return static_cast<uint32_t>(_mm_movemask_epi8(m)); }
    static uint64_t high_bits(vec v) { return bits(v); }
    static vec zero() { return _mm_setzero_si128(); }
    static vec add_match(vec acc, vec m) { return _mm_sub_epi8(acc, m); }
    static size_t sum_counts(vec acc) {
        const __m128i sums = _mm_sad_epu8(acc, _mm_setzero_si128());
        return static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
               static_cast<size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    }
};
#endif

#if ARBOLITE_TARGET_AVX2()
struct avx2_ops {
    using vec = __m256i;
    using narrower = sse2_ops;
    static constexpr size_t width = 32;

    static vec load(const char* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static vec splat(char c) { return _mm256_set1_epi8(c); }
    static vec eq(vec a, vec b) { return _mm256_cmpeq_epi8(a, b); }
    static vec or_(vec a, vec b) { return _mm256_or_si256(a, b); }
    static vec at_most(vec v, vec limit) { return _mm256_cmpeq_epi8(_mm256_min_epu8(v, limit), v); }
    static bool any(vec m) { return _mm256_movemask_epi8(m) != 0; }
    static uint64_t bits(vec m) { return static_cast<uint32_t>(_mm256_movemask_epi8(m)); }
    static uint64_t high_bits(vec v) { return bits(v); }
    static vec zero() { return _mm256_setzero_si256(); }
    static vec add_match(vec acc, vec m) { return _mm256_sub_epi8(acc, m); }
    static size_t sum_counts(vec acc) {
        const __m256i sums = _mm256_sad_epu8(acc, _mm256_setzero_si256());
        const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
        return static_cast<size_t>(_mm_cvtsi128_si64(half)) +
               static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(half, half)));
    }
};
#endif

}  // namespace
}  // namespace arbolite::simd
