// The small set of vector operations that the search kernels are written in,
// once per instruction set: plain 64-bit words (any machine), SSE2 and AVX2.
// Everything here has internal linkage, so that code compiled for AVX2 in one
// file can never be merged with the baseline build of another.
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
//   high_lanes(v)                    match lanes where the byte is >= 0x80
//   continuation_lanes(v)            match lanes where the byte is 0x80..0xBF
//   max_bytes(a, b), largest_byte(v) bytewise unsigned maximum; the largest
//                                    byte of a register
//   zero(), add_match(acc, m),       per-byte match counters, good for
//   sum_counts(acc)                  255 additions before they are summed
//   narrower                         the ops used for ranges shorter than
//                                    `width` (void: byte loop)
//
// The vector ops also work on 16- and 32-bit lanes, for the UTF-8 encoders:
//   and_(a, b), splat16(v), splat32(v), eq16/eq32(a, b) (all ones where
//   equal), gt32(a, b) (signed), add16/add32(a, b), shift_right32(v, n),
//   none(v) (every bit zero), sum_u16(v), sum_u32(v) (the sum of the
//   unsigned lanes).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "simd/swar.hpp"
#include "simd/target.hpp"

#if ARBOLITE_TARGET_SSE2()
#include <emmintrin.h>
#endif
#if ARBOLITE_TARGET_AVX2()
#include <immintrin.h>
#endif

namespace arbolite::simd {
namespace {

struct SwarOps {
    using vec = uint64_t;
    using narrower = void;
    static constexpr size_t width = 8;

    static vec load(const char* p) { return swar::load_word(p); }
    static vec splat(char c) { return swar::splat(static_cast<unsigned char>(c)); }
    static vec eq(vec a, vec b) { return swar::equal_bytes(a, b); }
    static vec or_(vec a, vec b) { return a | b; }
    static vec at_most(vec v, vec limit) { return swar::bytes_at_most(v, limit); }
    static bool any(vec m) { return m != 0; }
    // Gathers the top bit of each byte into an 8-bit mask.
    static uint64_t bits(vec m) { return ((m >> 7) * 0x0102040810204080ULL) >> 56; }
    static vec high_lanes(vec v) { return swar::high_bytes(v); }
    static vec continuation_lanes(vec v) { return swar::continuation_bytes(v); }
    static vec max_bytes(vec a, vec b) {
        // High bit of each byte of `low7_ge`: a's low seven bits >= b's (no
        // borrow leaves a byte); then the top bits decide where they differ.
        const uint64_t low7_ge = (a | swar::kHigh1) - (b & swar::kLow7);
        const uint64_t ge = ((a & ~b) | (~(a ^ b) & low7_ge)) & swar::kHigh1;
        return b ^ ((a ^ b) & ((ge >> 7) * 0xFF));
    }
    static unsigned char largest_byte(vec v) {
        unsigned char largest = 0;
        for (unsigned i = 0; i < 8; ++i) {
            const auto b = static_cast<unsigned char>(v >> (8 * i));
            largest = b > largest ? b : largest;
        }
        return largest;
    }
    static vec zero() { return 0; }
    static vec add_match(vec acc, vec m) { return acc + (m >> 7); }
    static size_t sum_counts(vec acc) {
        const uint64_t pairs = (acc & 0x00FF00FF00FF00FFULL) + ((acc >> 8) & 0x00FF00FF00FF00FFULL);
        return static_cast<size_t>((pairs * 0x0001000100010001ULL) >> 48);
    }
};

#if ARBOLITE_TARGET_SSE2()
struct Sse2Ops {
    using vec = __m128i;
    using narrower = SwarOps;
    static constexpr size_t width = 16;

    static vec load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
    static vec splat(char c) { return _mm_set1_epi8(c); }
    static vec eq(vec a, vec b) { return _mm_cmpeq_epi8(a, b); }
    static vec or_(vec a, vec b) { return _mm_or_si128(a, b); }
    static vec at_most(vec v, vec limit) { return _mm_cmpeq_epi8(_mm_min_epu8(v, limit), v); }
    static bool any(vec m) { return _mm_movemask_epi8(m) != 0; }
    static uint64_t bits(vec m) { return static_cast<uint32_t>(_mm_movemask_epi8(m)); }
    static vec high_lanes(vec v) { return _mm_cmplt_epi8(v, _mm_setzero_si128()); }
    // 0x80..0xBF are exactly the bytes below 0xC0 as signed values.
    static vec continuation_lanes(vec v) { return _mm_cmplt_epi8(v, _mm_set1_epi8(static_cast<char>(0xC0))); }
    static vec max_bytes(vec a, vec b) { return _mm_max_epu8(a, b); }
    static unsigned char largest_byte(vec v) {
        alignas(16) unsigned char lanes[16];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
        unsigned char largest = 0;
        for (const unsigned char b : lanes) largest = b > largest ? b : largest;
        return largest;
    }
    static vec zero() { return _mm_setzero_si128(); }
    static vec add_match(vec acc, vec m) { return _mm_sub_epi8(acc, m); }
    static size_t sum_counts(vec acc) {
        const __m128i sums = _mm_sad_epu8(acc, _mm_setzero_si128());
        return static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
               static_cast<size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    }
    // 16- and 32-bit lanes.
    static vec and_(vec a, vec b) { return _mm_and_si128(a, b); }
    static vec splat16(uint16_t v) { return _mm_set1_epi16(static_cast<short>(v)); }
    static vec splat32(uint32_t v) { return _mm_set1_epi32(static_cast<int>(v)); }
    static vec eq16(vec a, vec b) { return _mm_cmpeq_epi16(a, b); }
    static vec eq32(vec a, vec b) { return _mm_cmpeq_epi32(a, b); }
    static vec gt32(vec a, vec b) { return _mm_cmpgt_epi32(a, b); }
    static vec add16(vec a, vec b) { return _mm_add_epi16(a, b); }
    static vec add32(vec a, vec b) { return _mm_add_epi32(a, b); }
    static vec shift_right32(vec a, int bits) { return _mm_srli_epi32(a, bits); }
    static bool none(vec v) { return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) == 0xFFFF; }
    static size_t sum_u16(vec v) {
        const __m128i lo = _mm_unpacklo_epi16(v, _mm_setzero_si128());
        const __m128i hi = _mm_unpackhi_epi16(v, _mm_setzero_si128());
        return sum_u32(_mm_add_epi32(lo, hi));
    }
    static size_t sum_u32(vec v) {
        alignas(16) uint32_t lanes[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
        return size_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
    }
};
#endif

#if ARBOLITE_TARGET_AVX2()
struct Avx2Ops {
    using vec = __m256i;
    using narrower = Sse2Ops;
    static constexpr size_t width = 32;

    static vec load(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
    static vec splat(char c) { return _mm256_set1_epi8(c); }
    static vec eq(vec a, vec b) { return _mm256_cmpeq_epi8(a, b); }
    static vec or_(vec a, vec b) { return _mm256_or_si256(a, b); }
    static vec at_most(vec v, vec limit) { return _mm256_cmpeq_epi8(_mm256_min_epu8(v, limit), v); }
    static bool any(vec m) { return _mm256_movemask_epi8(m) != 0; }
    static uint64_t bits(vec m) { return static_cast<uint32_t>(_mm256_movemask_epi8(m)); }
    static vec high_lanes(vec v) { return _mm256_cmpgt_epi8(_mm256_setzero_si256(), v); }
    static vec continuation_lanes(vec v) { return _mm256_cmpgt_epi8(_mm256_set1_epi8(-64), v); }
    static vec max_bytes(vec a, vec b) { return _mm256_max_epu8(a, b); }
    static unsigned char largest_byte(vec v) {
        return Sse2Ops::largest_byte(_mm_max_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
    }
    static vec zero() { return _mm256_setzero_si256(); }
    static vec add_match(vec acc, vec m) { return _mm256_sub_epi8(acc, m); }
    static size_t sum_counts(vec acc) {
        const __m256i sums = _mm256_sad_epu8(acc, _mm256_setzero_si256());
        const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sums), _mm256_extracti128_si256(sums, 1));
        return static_cast<size_t>(_mm_cvtsi128_si64(half)) +
               static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(half, half)));
    }
    // 16- and 32-bit lanes.
    static vec and_(vec a, vec b) { return _mm256_and_si256(a, b); }
    static vec splat16(uint16_t v) { return _mm256_set1_epi16(static_cast<short>(v)); }
    static vec splat32(uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }
    static vec eq16(vec a, vec b) { return _mm256_cmpeq_epi16(a, b); }
    static vec eq32(vec a, vec b) { return _mm256_cmpeq_epi32(a, b); }
    static vec gt32(vec a, vec b) { return _mm256_cmpgt_epi32(a, b); }
    static vec add16(vec a, vec b) { return _mm256_add_epi16(a, b); }
    static vec add32(vec a, vec b) { return _mm256_add_epi32(a, b); }
    static vec shift_right32(vec a, int bits) { return _mm256_srli_epi32(a, bits); }
    static bool none(vec v) { return _mm256_testz_si256(v, v) != 0; }
    static size_t sum_u16(vec v) {
        const __m256i pairs = _mm256_madd_epi16(_mm256_srli_epi16(v, 1), _mm256_set1_epi16(2));
        const __m256i odd = _mm256_madd_epi16(_mm256_and_si256(v, _mm256_set1_epi16(1)), _mm256_set1_epi16(1));
        return sum_u32(_mm256_add_epi32(pairs, odd));
    }
    static size_t sum_u32(vec v) {
        const __m256i sum64 = _mm256_add_epi64(_mm256_unpacklo_epi32(v, _mm256_setzero_si256()),
                                               _mm256_unpackhi_epi32(v, _mm256_setzero_si256()));
        const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sum64), _mm256_extracti128_si256(sum64, 1));
        return static_cast<size_t>(_mm_cvtsi128_si64(half)) +
               static_cast<size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(half, half)));
    }
};
#endif

// The register that every processor the build targets has: what the inline
// paths in front of the kernel calls use (see search.hpp).
#if ARBOLITE_TARGET_SSE2()
using BaselineOps = Sse2Ops;
#else
using BaselineOps = SwarOps;
#endif

}  // namespace
}  // namespace arbolite::simd
