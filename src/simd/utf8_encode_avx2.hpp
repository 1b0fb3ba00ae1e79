// The AVX2 level of the UTF-8 encoders (utf8_encode_generic.hpp), included
// only by the source compiled for AVX2; its table is used only when the
// processor reports AVX2.
//
// Runs of ASCII are narrowed 32 code units at a time. Other text is encoded
// 16 code units at a time: each unit's bytes are computed in its own lane,
// and byte shuffles chosen by the units' lengths pack them together, four
// units per shuffle row. BMP text is computed in 16-bit lanes (UCS-4 is
// narrowed first); eight UCS-4 units with one beyond the BMP among them are
// computed in 32-bit lanes, four bytes each.
//
// A shuffle result is stored whole (16 bytes) and the output then advances by
// the bytes that are real. The stores stay inside the result because the
// steps ask for 16 code units of room after the last unit that a store
// encodes: every unit becomes at least one byte.
#pragma once

#include "simd/target.hpp"
#include "simd/utf8_encode_generic.hpp"

#if ARBOLITE_TARGET_AVX2()
#include <immintrin.h>

#include <array>
#include <bit>

namespace arbolite::simd {
namespace {
namespace utf8_avx2 {

// Byte shuffles that pack the bytes of several sequences to the front of a
// 16-byte row, one row per pattern of sequence lengths, with their count.
struct ShuffleTables {
    std::array<std::array<uint8_t, 16>, 256> shuffle{};
    std::array<uint8_t, 256> length{};
};

// Row `index` holds the bytes that `pick(index, lane, add)` adds lane by
// lane, then zeroes.
template <class Pick>
constexpr ShuffleTables make_tables(unsigned lanes, Pick pick) {
    ShuffleTables t;
    for (unsigned index = 0; index < 256; ++index) {
        unsigned k = 0;
        auto add = [&](unsigned byte) { t.shuffle[index][k++] = static_cast<uint8_t>(byte); };
        for (unsigned lane = 0; lane < lanes; ++lane) pick(index, lane, add);
        t.length[index] = static_cast<uint8_t>(k);
        for (; k < 16; ++k) t.shuffle[index][k] = 0x80;  // zero
    }
    return t;
}

// Eight 16-bit lanes of one- or two-byte sequences. Lane j holds a byte in
// its low half (an ASCII byte or a lead byte) and, for a two-byte sequence,
// the continuation byte in its high half. Index: bit j set when lane j is a
// two-byte sequence.
alignas(64) constexpr ShuffleTables kTwoByte = make_tables(8, [](unsigned mask, unsigned lane, auto add) {
    add(2 * lane);
    if (mask & (1u << lane)) add(2 * lane + 1);
});

// Four 32-bit lanes of one- to three-byte sequences. Lane j holds the bytes
// [lead of three, unused, second to last, last]. Index: two bits per lane,
// 0, 1 or 2 for a sequence of one, two or three bytes.
alignas(64) constexpr ShuffleTables kThreeByte = make_tables(4, [](unsigned index, unsigned lane, auto add) {
    const unsigned code = (index >> (2 * lane)) & 3;
    if (code >= 2) add(4 * lane);
    if (code >= 1) add(4 * lane + 2);
    add(4 * lane + 3);
});

// Four 32-bit lanes of one- to four-byte sequences, each lane holding the
// four bytes of a four-byte sequence, of which a shorter sequence is the end:
// [lead of four, lead of three or continuation, lead of two or continuation,
// last]. Index: two bits per lane, the sequence length minus one.
alignas(64) constexpr ShuffleTables kFourByte = make_tables(4, [](unsigned index, unsigned lane, auto add) {
    const unsigned code = (index >> (2 * lane)) & 3;
    for (unsigned b = 3 - code; b < 4; ++b) add(4 * lane + b);
});

inline __m128i load128(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline __m256i load256(const void* p) { return _mm256_loadu_si256(static_cast<const __m256i*>(p)); }
inline void store128(char* out, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v); }
inline __m128i splat16(uint16_t v) { return _mm_set1_epi16(static_cast<short>(v)); }
inline __m256i splat16x(uint16_t v) { return _mm256_set1_epi16(static_cast<short>(v)); }
inline __m256i splat32x(uint32_t v) { return _mm256_set1_epi32(static_cast<int>(v)); }

inline __m128i shuffle_row(const std::array<uint8_t, 16>& row) { return load128(row.data()); }

// Eight code units below 0x800 (`one_byte`: all-ones lanes where below 0x80).
inline char* encode_two_byte8(__m128i c, __m128i one_byte, char* out) {
    const __m128i lead = _mm_or_si128(_mm_srli_epi16(c, 6), splat16(0xC0));
    const __m128i cont = _mm_or_si128(_mm_and_si128(c, splat16(0x3F)), splat16(0x80));
    const __m128i pair = _mm_or_si128(lead, _mm_slli_epi16(cont, 8));
    const __m128i lanes = _mm_blendv_epi8(pair, c, one_byte);
    const unsigned two = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(one_byte, one_byte))) & 0xFF;
    store128(out, _mm_shuffle_epi8(lanes, shuffle_row(kTwoByte.shuffle[two])));
    return out + kTwoByte.length[two];
}

// Sixteen BMP code units (surrogates are encoded like any other unit), in
// four groups of four: the computations run on all sixteen at once, the
// shuffles on two groups at once, one from each 128-bit half.
inline char* encode_bmp16(__m256i c, char* out) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i one_byte = _mm256_cmpeq_epi16(_mm256_and_si256(c, splat16x(0xFF80)), zero);
    const __m256i below_800 = _mm256_cmpeq_epi16(_mm256_and_si256(c, splat16x(0xF800)), zero);
    const __m256i lead3 = _mm256_or_si256(_mm256_srli_epi16(c, 12), splat16x(0xE0));
    const __m256i middle = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(c, 6), splat16x(0x3F)),
                                           _mm256_or_si256(splat16x(0x80), _mm256_and_si256(below_800, splat16x(0x40))));
    const __m256i last =
        _mm256_blendv_epi8(_mm256_or_si256(_mm256_and_si256(c, splat16x(0x3F)), splat16x(0x80)), c, one_byte);
    const __m256i tail = _mm256_or_si256(middle, _mm256_slli_epi16(last, 8));
    // Units 0-3 and 8-11, and units 4-7 and 12-15, one group per half.
    const __m256i groups_02 = _mm256_unpacklo_epi16(lead3, tail);
    const __m256i groups_13 = _mm256_unpackhi_epi16(lead3, tail);
    const auto m1 = static_cast<uint32_t>(_mm256_movemask_epi8(one_byte));
    const auto m2 = static_cast<uint32_t>(_mm256_movemask_epi8(below_800));
    // Two bits per unit: 01 for two bytes, 10 for three.
    const uint32_t code = ((~m1 & m2) & 0x55555555u) | (~m2 & 0xAAAAAAAAu);
    const uint32_t g0 = code & 0xFF, g1 = (code >> 8) & 0xFF, g2 = (code >> 16) & 0xFF, g3 = code >> 24;
    const __m256i packed_02 = _mm256_shuffle_epi8(
        groups_02, _mm256_inserti128_si256(_mm256_castsi128_si256(shuffle_row(kThreeByte.shuffle[g0])),
                                           shuffle_row(kThreeByte.shuffle[g2]), 1));
    const __m256i packed_13 = _mm256_shuffle_epi8(
        groups_13, _mm256_inserti128_si256(_mm256_castsi128_si256(shuffle_row(kThreeByte.shuffle[g1])),
                                           shuffle_row(kThreeByte.shuffle[g3]), 1));
    store128(out, _mm256_castsi256_si128(packed_02));
    out += kThreeByte.length[g0];
    store128(out, _mm256_castsi256_si128(packed_13));
    out += kThreeByte.length[g1];
    store128(out, _mm256_extracti128_si256(packed_02, 1));
    out += kThreeByte.length[g2];
    store128(out, _mm256_extracti128_si256(packed_13, 1));
    return out + kThreeByte.length[g3];
}

// Sixteen 16-bit code units below 0x80 as bytes.
inline __m128i narrow16(__m256i c) {
    return _mm_packus_epi16(_mm256_castsi256_si128(c), _mm256_extracti128_si256(c, 1));
}

// Sixteen 32-bit code units below 0x10000, in order, as 16-bit units.
inline __m256i narrow32(__m256i a, __m256i b) {
    return _mm256_permute4x64_epi64(_mm256_packus_epi32(a, b), 0xD8);
}

inline bool none_of(__m256i v, __m256i bits) { return _mm256_testz_si256(v, bits) != 0; }

// Spreads the low eight bits of x to the even bits 0, 2, ..., 14.
inline unsigned spread_bits(unsigned x) {
    x = (x | (x << 4)) & 0x0F0Fu;
    x = (x | (x << 2)) & 0x3333u;
    return (x | (x << 1)) & 0x5555u;
}

// Eight UCS-4 code units, each of any length.
inline char* encode_any8(__m256i c, char* out) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i below_80 = _mm256_cmpeq_epi32(_mm256_and_si256(c, splat32x(0xFFFFFF80)), zero);
    const __m256i below_800 = _mm256_cmpeq_epi32(_mm256_and_si256(c, splat32x(0xFFFFF800)), zero);
    const __m256i below_10000 = _mm256_cmpeq_epi32(_mm256_and_si256(c, splat32x(0xFFFF0000)), zero);
    const __m256i six = splat32x(0x3F);
    const __m256i cont = splat32x(0x80);
    const __m256i last = _mm256_blendv_epi8(_mm256_or_si256(_mm256_and_si256(c, six), cont), c, below_80);
    const __m256i third = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(c, 6), six),
                                          _mm256_or_si256(cont, _mm256_and_si256(below_800, splat32x(0x40))));
    const __m256i second = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(c, 12), six),
                                           _mm256_or_si256(cont, _mm256_and_si256(below_10000, splat32x(0x60))));
    const __m256i first = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(c, 18), splat32x(0x07)), splat32x(0xF0));
    const __m256i lanes = _mm256_or_si256(_mm256_or_si256(first, _mm256_slli_epi32(second, 8)),
                                          _mm256_or_si256(_mm256_slli_epi32(third, 16), _mm256_slli_epi32(last, 24)));
    // Length minus one, per unit: 3 minus the number of limits it is below.
    // Its low bit is set when that number is even, its high bit when the unit
    // is not below 0x800.
    const __m256i parity = _mm256_xor_si256(_mm256_xor_si256(below_80, below_800), below_10000);
    const unsigned odd = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(parity)));
    const unsigned small = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(below_800)));
    const unsigned code = spread_bits(~odd & 0xFF) | (spread_bits(~small & 0xFF) << 1);
    const unsigned lo = code & 0xFF, hi = code >> 8;
    const __m256i control = _mm256_inserti128_si256(_mm256_castsi128_si256(shuffle_row(kFourByte.shuffle[lo])),
                                                    shuffle_row(kFourByte.shuffle[hi]), 1);
    const __m256i packed = _mm256_shuffle_epi8(lanes, control);
    store128(out, _mm256_castsi256_si128(packed));
    out += kFourByte.length[lo];
    store128(out, _mm256_extracti128_si256(packed, 1));
    return out + kFourByte.length[hi];
}

// Sixteen UCS-4 code units: narrowed to UCS-2 when they are all in the BMP.
inline char* encode_ucs4_16(__m256i a, __m256i b, char* out) {
    if (none_of(_mm256_or_si256(a, b), splat32x(0xFFFF0000))) return encode_bmp16(narrow32(a, b), out);
    out = encode_any8(a, out);
    return encode_any8(b, out);
}

// Thirty-two code units at a time: ASCII throughout, the common case of
// markup-heavy text, is only narrowed. Checking that for 32 units rather than
// 16 keeps the branch predictable in text that mixes ASCII words with others.
template <class Unit>
struct ShuffleStep;

template <>
struct ShuffleStep<uint8_t> {
    static constexpr size_t width = 32;
    static constexpr size_t room = 48;
    __m256i c;
    uint32_t high;

    explicit ShuffleStep(const uint8_t* p) : c(load256(p)), high(static_cast<uint32_t>(_mm256_movemask_epi8(c))) {}
    bool ascii() const { return high == 0; }
    void store_ascii(char* out) const { _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), c); }
    size_t encode_mixed(const uint8_t*, char*& out) const {
        for (int h = 0; h < 2; ++h) {
            const __m128i half = h == 0 ? _mm256_castsi256_si128(c) : _mm256_extracti128_si256(c, 1);
            if (((high >> (16 * h)) & 0xFFFF) == 0) {
                store128(out, half);
                out += 16;
                continue;
            }
            const __m128i first = _mm_cvtepu8_epi16(half);
            const __m128i second = _mm_cvtepu8_epi16(_mm_unpackhi_epi64(half, half));
            const __m128i zero = _mm_setzero_si128();
            out = encode_two_byte8(first, _mm_cmpeq_epi16(_mm_and_si128(first, splat16(0xFF80)), zero), out);
            out = encode_two_byte8(second, _mm_cmpeq_epi16(_mm_and_si128(second, splat16(0xFF80)), zero), out);
        }
        return 32;
    }
};

template <>
struct ShuffleStep<uint16_t> {
    static constexpr size_t width = 32;
    static constexpr size_t room = 48;
    __m256i c0, c1;

    explicit ShuffleStep(const uint16_t* p) : c0(load256(p)), c1(load256(p + 16)) {}
    bool ascii() const { return none_of(_mm256_or_si256(c0, c1), splat16x(0xFF80)); }
    void store_ascii(char* out) const {
        store128(out, narrow16(c0));
        store128(out + 16, narrow16(c1));
    }
    size_t encode_mixed(const uint16_t*, char*& out) const {
        out = encode_bmp16(c0, out);
        out = encode_bmp16(c1, out);
        return 32;
    }
};

template <>
struct ShuffleStep<uint32_t> {
    static constexpr size_t width = 32;
    static constexpr size_t room = 48;
    __m256i a0, b0, a1, b1;

    explicit ShuffleStep(const uint32_t* p)
        : a0(load256(p)), b0(load256(p + 8)), a1(load256(p + 16)), b1(load256(p + 24)) {}
    bool ascii() const {
        return none_of(_mm256_or_si256(_mm256_or_si256(a0, b0), _mm256_or_si256(a1, b1)), splat32x(0xFFFFFF80));
    }
    void store_ascii(char* out) const {
        store128(out, narrow16(narrow32(a0, b0)));
        store128(out + 16, narrow16(narrow32(a1, b1)));
    }
    size_t encode_mixed(const uint32_t*, char*& out) const {
        out = encode_ucs4_16(a0, b0, out);
        out = encode_ucs4_16(a1, b1, out);
        return 32;
    }
};

}  // namespace utf8_avx2

struct Utf8Avx2Level {
    template <class Unit>
    using Length = std::conditional_t<sizeof(Unit) == 1, HighByteCount<Avx2Ops>,
                                      std::conditional_t<sizeof(Unit) == 2, Ucs2LaneCount<Avx2Ops>,
                                                         Ucs4LaneCount<Avx2Ops>>>;
    template <class Unit>
    using Encode = utf8_avx2::ShuffleStep<Unit>;
};

}  // namespace
}  // namespace arbolite::simd

#endif
