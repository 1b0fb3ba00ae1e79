#include "simd/utf8_decode.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "simd/dispatch.hpp"
#include "simd/target.hpp"

#if ARBOLITE_TARGET_SSE2()
#include <emmintrin.h>
#endif

namespace arbolite::simd {
namespace {

// The length of a sequence by the top five bits of its first byte. A
// continuation byte (never first in valid text) counts as one byte, so that
// the decoder always moves on.
constexpr uint8_t sequence_length[32] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                                         1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 4, 1};
constexpr uint8_t lead_mask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
constexpr uint8_t final_shift[5] = {0, 18, 12, 6, 0};

// The code point that starts at p, four bytes of which may be read; its
// length in bytes goes to `length`. The payload bits of all four bytes are
// gathered as if the sequence were four bytes long, then shifted down by
// what the shorter ones lack.
inline uint32_t decode_one(const unsigned char* p, size_t& length) {
    const unsigned n = sequence_length[p[0] >> 3];
    const uint32_t c = uint32_t{static_cast<uint8_t>(p[0] & lead_mask[n])} << 18 | uint32_t{p[1] & 0x3Fu} << 12 |
                       uint32_t{p[2] & 0x3Fu} << 6 | uint32_t{p[3] & 0x3Fu};
    length = n;
    return c >> final_shift[n];
}

inline uint32_t decode_one(const unsigned char* p) {
    size_t length;
    return decode_one(p, length);
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

// One code point at a time; the last few bytes are decoded from a
// zero-padded copy.
template <class Unit>
size_t decode_scalar(const char* data, size_t size, Unit* out, size_t room) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* const end = p + size;
    Unit* o = out;
    Unit* const out_end = out + room;
    while (p < end && o < out_end) {
        size_t length;
        if (end - p >= 4) {
            *o++ = static_cast<Unit>(decode_one(p, length));
        } else {
            unsigned char padded[4] = {};
            std::memcpy(padded, p, static_cast<size_t>(end - p));
            *o++ = static_cast<Unit>(decode_one(padded, length));
        }
        p += std::min(length, static_cast<size_t>(end - p));
    }
    return static_cast<size_t>(o - out);
}

#if ARBOLITE_TARGET_SSE2()
template <class Unit>
size_t decode_sse2(const char* data, size_t size, Unit* out, size_t room) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* const end = p + size;
    Unit* o = out;
    Unit* const out_end = out + room;
    // Sixteen bytes at a time. All ASCII, they become sixteen units at once.
    // Otherwise the bytes that start a code point (all but continuation
    // bytes) are found together, and each code point is decoded from where it
    // starts, independently of the others: a sequence that starts near the
    // end of the sixteen reads up to three bytes past them, and its
    // continuation bytes at the start of the next sixteen start nothing.
    // Sixteen bytes start at most sixteen code points, the room the loop asks
    // for.
    const __m128i below_lead = _mm_set1_epi8(static_cast<char>(0xC0));
    while (end - p >= 16 + 3 && out_end - o >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        if (_mm_movemask_epi8(v) == 0) {
            widen(v, o);
            o += 16;
        } else {
            // 0x80..0xBF are exactly the bytes below 0xC0 as signed values.
            auto starts = static_cast<unsigned>(~_mm_movemask_epi8(_mm_cmplt_epi8(v, below_lead)) & 0xFFFF);
            for (; starts != 0; starts &= starts - 1)
                *o++ = static_cast<Unit>(decode_one(p + std::countr_zero(starts)));
        }
        p += 16;
    }
    // The rest goes on at the start of a code point.
    while (p < end && (*p & 0xC0) == 0x80) ++p;
    const size_t done = static_cast<size_t>(o - out);
    return done + decode_scalar(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p), o, room - done);
}

constexpr utf8_decode_table sse2_table{"sse2", &decode_sse2<uint8_t>, &decode_sse2<uint16_t>,
                                       &decode_sse2<uint32_t>};
#endif

constexpr utf8_decode_table scalar_table{"scalar", &decode_scalar<uint8_t>, &decode_scalar<uint16_t>,
                                         &decode_scalar<uint32_t>};

}  // namespace

// Every code point has exactly one byte that is not a continuation byte
// (10xxxxxx), and the largest byte of valid text is the first byte of its
// largest code point.
Utf8Measure measure_utf8(const char* data, size_t size) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* const end = p + size;
    size_t continuation = 0;
    unsigned char largest = 0;
#if ARBOLITE_TARGET_SSE2()
    // Per-byte counters (a compare gives -1 where it holds, subtracted),
    // summed into `continuation` before any of them can overflow.
    __m128i top = _mm_setzero_si128();
    const __m128i below_lead = _mm_set1_epi8(static_cast<char>(0xC0));
    while (end - p >= 64) {
        __m128i counts = _mm_setzero_si128();
        for (int round = 0; round < 63 && end - p >= 64; ++round, p += 64) {
            for (int i = 0; i < 4; ++i) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p) + i);
                top = _mm_max_epu8(top, v);
                // 0x80..0xBF are exactly the bytes below 0xC0 as signed values.
                counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(v, below_lead));
            }
        }
        // Each counter holds at most 63 x 4 = 252.
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        continuation += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
                        static_cast<size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    }
    alignas(16) unsigned char lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), top);
    largest = *std::max_element(lanes, lanes + 16);
#endif
    for (; p != end; ++p) {
        continuation += (*p & 0xC0) == 0x80;
        largest = std::max(largest, *p);
    }
    return {size - continuation, units_for_largest_byte(largest)};
}

const utf8_decode_table* sse2_utf8_decoders() noexcept {
#if ARBOLITE_TARGET_SSE2()
    return &sse2_table;
#else
    return nullptr;
#endif
}

namespace {

// No portable word decoder: below SSE2 the code-point-at-a-time loops decode.
kernel_family<utf8_decode_table> decoder_family() noexcept {
    return {scalar_table, nullptr, sse2_utf8_decoders(), avx2_utf8_decoders()};
}

}  // namespace

const utf8_decode_table& active_utf8_decoders() noexcept {
    static const utf8_decode_table& table = decoder_family().best();
    return table;
}

std::span<const utf8_decode_table* const> utf8_decoders_for_testing() noexcept {
    static const kernel_family<utf8_decode_table>::list list = decoder_family().runnable();
    return list.view();
}

size_t decode_utf8(const char* data, size_t size, uint8_t* out, size_t room) noexcept {
    return active_utf8_decoders().decode_latin1(data, size, out, room);
}

size_t decode_utf8(const char* data, size_t size, uint16_t* out, size_t room) noexcept {
    return active_utf8_decoders().decode_ucs2(data, size, out, room);
}

size_t decode_utf8(const char* data, size_t size, uint32_t* out, size_t room) noexcept {
    return active_utf8_decoders().decode_ucs4(data, size, out, room);
}

namespace scalar {
size_t decode_utf8(const char* data, size_t size, uint8_t* out, size_t room) noexcept {
    return decode_scalar(data, size, out, room);
}
size_t decode_utf8(const char* data, size_t size, uint16_t* out, size_t room) noexcept {
    return decode_scalar(data, size, out, room);
}
size_t decode_utf8(const char* data, size_t size, uint32_t* out, size_t room) noexcept {
    return decode_scalar(data, size, out, room);
}
}  // namespace scalar

}  // namespace arbolite::simd
