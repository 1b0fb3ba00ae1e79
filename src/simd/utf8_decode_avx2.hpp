// The AVX2 level of the UTF-8 decoders (utf8_decode_generic.hpp), included
// only by the source compiled for AVX2; its table is used only when the
// processor reports AVX2. The measuring pass is the generic one; decoding
// is this level's own.
//
// Runs of ASCII are widened 32 (or 16) bytes at a time. Other text is decoded
// 16 bytes at a time, without a branch per code point: every byte position
// is decoded as if a code point started there, eight positions in the eight
// 32-bit lanes of a register, and a permutation chosen by which positions
// really start one (every byte but a continuation byte does) packs those
// code points to the front. A sequence that starts near the end of the 16
// reads up to three bytes past them, and its continuation bytes at the start
// of the next 16 start nothing.
//
// A lane holds the four bytes from its position on, the first one highest,
// each already cut to its payload bits: all seven of an ASCII byte, five,
// four or three of a lead byte, six of the others. Two multiply-adds pack
// the four payloads side by side (7 + 6 + 6 + 6 bits), and a shift by the
// lane's own count drops the bytes that the sequence does not have.
//
// The packed registers are stored whole (eight units) and the output then
// advances by the code points that are real: the loop runs only while 32
// units of room remain. The last bytes of a text go through the same steps,
// moved into place with zeros after them, where the output has that room.
#pragma once

#include "simd/target.hpp"
#include "simd/utf8_decode_generic.hpp"

#if ARBOLITE_TARGET_AVX2()
#include <immintrin.h>

#include <array>
#include <bit>
#include <cstdint>

namespace arbolite::simd {
namespace {
namespace utf8_avx2_decode {

// Row m: the lanes whose bit is set in m, in order, to the front (the rest
// of the row repeats lane 0; those lanes are overwritten or lie past the
// output).
struct CompactionRows {
    alignas(32) std::array<std::array<uint32_t, 8>, 256> row{};
};

constexpr CompactionRows make_compaction() {
    CompactionRows t;
    for (unsigned m = 0; m < 256; ++m) {
        unsigned k = 0;
        for (unsigned lane = 0; lane < 8; ++lane)
            if (m & (1u << lane)) t.row[m][k++] = lane;
    }
    return t;
}

alignas(64) constexpr CompactionRows kCompaction = make_compaction();

inline __m256i load(const unsigned char* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
inline __m128i load16(const unsigned char* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// By the high nibble of a byte: the payload bits it keeps (ASCII 0-7,
// continuation 8-B, lead bytes of two (C-D), three (E) and four (F) bytes),
// and, for a byte that starts a code point, how far the four packed
// payloads are shifted down to leave the code point.
inline __m256i payload_masks() {
    return _mm256_setr_epi8(0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x3F, 0x3F, 0x3F, 0x3F, 0x1F, 0x1F, 0x0F,
                            0x07, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x3F, 0x3F, 0x3F, 0x3F, 0x1F, 0x1F,
                            0x0F, 0x07);
}
inline __m256i final_shifts() {
    return _mm256_setr_epi8(18, 18, 18, 18, 18, 18, 18, 18, 0, 0, 0, 0, 12, 12, 6, 0, 18, 18, 18, 18, 18, 18, 18, 18,
                            0, 0, 0, 0, 12, 12, 6, 0);
}

// Lane j of each half gets the bytes at offsets j + first .. j + first + 3
// of its half, the first in the highest byte; its shift count is the byte
// at offset j + first alone.
inline __m256i lane_bytes(int first) {
    const auto b = [first](int j, int k) { return static_cast<char>(first + j + k); };
    return _mm256_setr_epi8(b(0, 3), b(0, 2), b(0, 1), b(0, 0), b(1, 3), b(1, 2), b(1, 1), b(1, 0), b(2, 3), b(2, 2),
                            b(2, 1), b(2, 0), b(3, 3), b(3, 2), b(3, 1), b(3, 0), b(0, 3), b(0, 2), b(0, 1), b(0, 0),
                            b(1, 3), b(1, 2), b(1, 1), b(1, 0), b(2, 3), b(2, 2), b(2, 1), b(2, 0), b(3, 3), b(3, 2),
                            b(3, 1), b(3, 0));
}
inline __m256i lane_shift(int first) {
    const char z = static_cast<char>(0x80);
    const auto b = [first](int j) { return static_cast<char>(first + j); };
    return _mm256_setr_epi8(b(0), z, z, z, b(1), z, z, z, b(2), z, z, z, b(3), z, z, z, b(0), z, z, z, b(1), z, z, z,
                            b(2), z, z, z, b(3), z, z, z);
}

// Stores eight code points (32-bit lanes) as eight units.
inline void store8(__m256i c, uint32_t* out) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), c); }

inline void store8(__m256i c, uint16_t* out) {
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(c, c), 0b11'01'10'00);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
}

inline void store8(__m256i c, uint8_t* out) {
    const __m256i words = _mm256_packus_epi32(c, c);
    const __m256i bytes = _mm256_packus_epi16(words, words);
    const __m128i both = _mm_unpacklo_epi32(_mm256_castsi256_si128(bytes), _mm256_extracti128_si256(bytes, 1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), both);
}

// Stores 16 ASCII bytes as 16 units.
inline void widen16(__m128i v, uint8_t* out) { _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v); }

inline void widen16(__m128i v, uint16_t* out) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_cvtepu8_epi16(v));
}

inline void widen16(__m128i v, uint32_t* out) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_cvtepu8_epi32(v));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8), _mm256_cvtepu8_epi32(_mm_srli_si128(v, 8)));
}

inline void widen32(__m256i v, uint8_t* out) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), v); }

template <class Unit>
inline void widen32(__m256i v, Unit* out) {
    widen16(_mm256_castsi256_si128(v), out);
    widen16(_mm256_extracti128_si256(v, 1), out + 16);
}

// The code points of eight positions, packed to the front of the register
// by `starts` (a bit per position), stored; returns the output's new end.
template <class Unit>
inline Unit* emit8(__m256i payload, __m256i shifts, __m256i gather, __m256i gather_shift, unsigned starts,
                   Unit* out) {
    const __m256i lanes = _mm256_and_si256(_mm256_shuffle_epi8(payload, gather),
                                           _mm256_set1_epi32(static_cast<int>(0xFF3F3F3Fu)));
    // (byte 0 + 64 x byte 1) and (byte 2 + 64 x byte 3) in 16 bits each,
    // then the low one + 4096 x the high one: the four payloads side by side.
    const __m256i pairs = _mm256_maddubs_epi16(lanes, _mm256_set1_epi16(0x4001));
    const __m256i packed = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x10000001));
    const __m256i code_points = _mm256_srlv_epi32(packed, _mm256_shuffle_epi8(shifts, gather_shift));
    const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i*>(kCompaction.row[starts].data()));
    store8(_mm256_permutevar8x32_epi32(code_points, order), out);
    return out + std::popcount(starts);
}

// The code points that start in 16 bytes (whose bits are set in `starts`),
// given as those bytes in the low half of `bytes` and the 16 from the fifth
// on in the high half: positions 0-3 and 8-11 come from the low half, 4-7
// and 12-15 from the high one.
template <class Unit>
inline Unit* decode16(__m256i bytes, unsigned starts, Unit* out) {
    const __m256i nibbles = _mm256_and_si256(_mm256_srli_epi16(bytes, 4), _mm256_set1_epi8(0x0F));
    const __m256i payload = _mm256_and_si256(bytes, _mm256_shuffle_epi8(payload_masks(), nibbles));
    const __m256i shifts = _mm256_shuffle_epi8(final_shifts(), nibbles);
    out = emit8(payload, shifts, lane_bytes(0), lane_shift(0), starts & 0xFF, out);
    return emit8(payload, shifts, lane_bytes(8), lane_shift(8), (starts >> 8) & 0xFF, out);
}

// The same for the 16 bytes at p; reads up to p + 20.
template <class Unit>
inline Unit* decode16(const unsigned char* p, unsigned starts, Unit* out) {
    return decode16(_mm256_inserti128_si256(_mm256_castsi128_si256(load16(p)), load16(p + 4), 1), starts, out);
}

// Row s (1 to 16) moves the bytes of a register down by s, zeros after.
alignas(32) constexpr std::array<uint8_t, 32> kShiftDown = {0,    1,    2,    3,    4,    5,    6,    7,
                                                            8,    9,    10,   11,   12,   13,   14,   15,
                                                            0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                                            0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

inline __m128i moved_down(__m128i v, size_t s) {
    return _mm_shuffle_epi8(v, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kShiftDown.data() + s)));
}

template <class Unit>
size_t decode(const char* data, size_t size, Unit* out, size_t room) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* const end = p + size;
    Unit* o = out;
    Unit* const out_end = out + room;
    // Continuation bytes, 0x80..0xBF, are those below -64 as signed bytes.
    const __m256i below_lead = _mm256_set1_epi8(-64);
    while (end - p >= 32 && out_end - o >= 32) {
        const __m256i v = load(p);
        const auto high = static_cast<unsigned>(_mm256_movemask_epi8(v));
        if (high == 0) {
            widen32(v, o);
            o += 32;
            p += 32;
            continue;
        }
        if ((high & 0xFFFF) == 0) {
            widen16(_mm256_castsi256_si128(v), o);
            o += 16;
        } else {
            const auto starts = ~static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(below_lead, v)));
            o = decode16(p, starts & 0xFFFF, o);
        }
        p += 16;
    }
    // Fewer than 32 bytes left, of a text of 16 or more: they are decoded the
    // same way, from the last 16 bytes moved down into place with zeros
    // after them, when the output has room for whole stores.
    const auto rest = static_cast<size_t>(end - p);
    if (rest < 32 && size >= 16 && out_end - o >= 32) {
        if (rest == 0) return static_cast<size_t>(o - out);
        const __m128i last = load16(end - 16);
        const __m128i lo = rest >= 16 ? load16(p) : moved_down(last, 16 - rest);
        const __m128i hi = rest > 16 ? moved_down(last, 32 - rest) : _mm_setzero_si128();
        const __m256i v = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
        if (_mm256_movemask_epi8(v) == 0) {
            widen32(v, o);
            return static_cast<size_t>(o - out) + rest;
        }
        const unsigned starts = ~static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpgt_epi8(below_lead, v))) &
                                ((1u << rest) - 1);
        o = decode16(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), _mm_alignr_epi8(hi, lo, 4), 1),
                     starts & 0xFFFF, o);
        if (rest > 16)
            o = decode16(_mm256_inserti128_si256(_mm256_castsi128_si256(hi), _mm_srli_si128(hi, 4), 1), starts >> 16,
                         o);
        return static_cast<size_t>(o - out);
    }
    // Else one code point at a time, from the start of one.
    while (p < end && (*p & 0xC0) == 0x80) ++p;
    const auto done = static_cast<size_t>(o - out);
    return done + scalar::decode_utf8(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p), o, room - done);
}

}  // namespace utf8_avx2_decode

constexpr Utf8DecodeTable avx2_utf8_decode_table_of() {
    return {"avx2", &measure_utf8_kernel<Avx2Ops>, &utf8_avx2_decode::decode<uint8_t>,
            &utf8_avx2_decode::decode<uint16_t>, &utf8_avx2_decode::decode<uint32_t>};
}

}  // namespace
}  // namespace arbolite::simd

#endif
