// The UTF-8 measuring pass and decoders (utf8_decode.hpp), written once over
// the vector operations of vector_ops.hpp and instantiated by each kernel
// source for its instruction set. The AVX2 decoder, which decodes without a
// branch per code point by shuffles SSE2 does not have, replaces the
// decoding step in utf8_decode_avx2.hpp.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "simd/byte_tally_generic.hpp"
#include "simd/utf8_decode.hpp"
#include "simd/vector_ops.hpp"

namespace arbolite::simd {
namespace {

// The length of a sequence by the top five bits of its first byte. A
// continuation byte (never first in valid text) counts as one byte, so that
// the decoder always moves on.
constexpr uint8_t kSequenceLength[32] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                         1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 4, 1};
constexpr uint8_t kLeadMask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
constexpr uint8_t kFinalShift[5] = {0, 18, 12, 6, 0};

// The code point that starts at p, four bytes of which may be read; its
// length in bytes goes to `length`. The payload bits of all four bytes are
// gathered as if the sequence were four bytes long, then shifted down by
// what the shorter ones lack.
inline uint32_t decode_code_point(const unsigned char* p, size_t& length) {
    const unsigned n = kSequenceLength[p[0] >> 3];
    const uint32_t c = uint32_t{static_cast<uint8_t>(p[0] & kLeadMask[n])} << 18 | uint32_t{p[1] & 0x3Fu} << 12 |
                       uint32_t{p[2] & 0x3Fu} << 6 | uint32_t{p[3] & 0x3Fu};
    length = n;
    return c >> kFinalShift[n];
}

inline uint32_t decode_code_point(const unsigned char* p) {
    size_t length;
    return decode_code_point(p, length);
}

// Every code point has exactly one byte that is not a continuation byte
// (10xxxxxx), and the largest byte of valid text is the first byte of its
// largest code point: both are in the byte tally with no bytes listed.
template <class Ops>
Utf8Measure measure_utf8_kernel(const char* data, size_t size) noexcept {
    ByteTally t;
    tally_range<Ops, 0>(data, data + size, TalliedBytes{}, t);
    return {size - t.continuation, units_for_largest_byte(t.largest)};
}

#if ARBOLITE_TARGET_SSE2()
// Stores the 16 bytes of `v` (ASCII) as 16 code units.
inline void widen(__m128i v, uint8_t* out) { _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v); }

inline void widen(__m128i v, uint16_t* out) {
    const __m128i zero = _mm_setzero_si128();
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi8(v, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpackhi_epi8(v, zero));
}

inline void widen(__m128i v, uint32_t* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i lo = _mm_unpacklo_epi8(v, zero);
    const __m128i hi = _mm_unpackhi_epi8(v, zero);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(lo, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(lo, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 8), _mm_unpacklo_epi16(hi, zero));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 12), _mm_unpackhi_epi16(hi, zero));
}
#endif

// A register at a time. All ASCII, its bytes become as many units at once.
// Otherwise the bytes that start a code point (all but continuation bytes)
// are found together, and each code point is decoded from where it starts,
// independently of the others: a sequence that starts near the end of the
// register reads up to three bytes past it, and its continuation bytes at
// the start of the next register start nothing. A register starts at most
// its width of code points, the room the loop asks for.
template <class Ops, class Unit>
size_t decode_utf8_kernel(const char* data, size_t size, Unit* out, size_t room) noexcept {
    constexpr size_t w = Ops::width;
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* const end = p + size;
    Unit* o = out;
    Unit* const out_end = out + room;
    while (static_cast<size_t>(end - p) >= w + 3 && static_cast<size_t>(out_end - o) >= w) {
        const auto v = Ops::load(reinterpret_cast<const char*>(p));
        if (!Ops::any(v)) {
            widen(v, o);
            o += w;
        } else {
            auto starts = ~Ops::bits(Ops::continuation_lanes(v)) & ((uint64_t{1} << w) - 1);
            for (; starts != 0; starts &= starts - 1)
                *o++ = static_cast<Unit>(decode_code_point(p + std::countr_zero(starts)));
        }
        p += w;
    }
    // The rest goes on at the start of a code point.
    while (p < end && (*p & 0xC0) == 0x80) ++p;
    const auto done = static_cast<size_t>(o - out);
    return done + scalar::decode_utf8(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p), o, room - done);
}

template <class Ops>
constexpr Utf8DecodeTable utf8_decode_table(const char* name) {
    return {name, &measure_utf8_kernel<Ops>, &decode_utf8_kernel<Ops, uint8_t>, &decode_utf8_kernel<Ops, uint16_t>,
            &decode_utf8_kernel<Ops, uint32_t>};
}

}  // namespace
}  // namespace arbolite::simd
