// The escaping of text and attribute values: which bytes are replaced, by
// what, and the searches for the next such byte.
//
// Text escaping replaces & < > " ' ; attribute escaping also replaces TAB, CR
// and LF. Every other byte, non-ASCII included, is copied unchanged. The
// searches compare 16 bytes at a time with SSE2 where the target has it and
// 8 bytes at a time in 64-bit words otherwise; both are used by the writer's
// translation unit only and are exposed here for tests.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/copy.hpp"

#include "simd/target.hpp"

#if ARBOLITE_TARGET_SSE2()
#include <emmintrin.h>
#endif

namespace arbolite::write {

enum class Escape : uint8_t { Text, Attr };

struct Replacement {
    char bytes[7];
    uint8_t size;
};

namespace escape_detail {

// Index 0 means "copied unchanged".
inline constexpr Replacement replacements[] = {
    {"", 0},       {"&amp;", 5}, {"&lt;", 4},  {"&gt;", 4},  {"&quot;", 6},
    {"&apos;", 6}, {"&#9;", 4},  {"&#13;", 5}, {"&#10;", 5},
};

constexpr std::array<uint8_t, 256> make_table(Escape mode) {
    std::array<uint8_t, 256> table{};
    table['&'] = 1;
    table['<'] = 2;
    table['>'] = 3;
    table['"'] = 4;
    table['\''] = 5;
    if (mode == Escape::Attr) {
        table['\t'] = 6;
        table['\r'] = 7;
        table['\n'] = 8;
    }
    return table;
}

inline constexpr std::array<uint8_t, 256> text_table = make_table(Escape::Text);
inline constexpr std::array<uint8_t, 256> attr_table = make_table(Escape::Attr);

// The searches rely on how the special bytes pair up: '&' and '\'' differ
// only in bit 0, '<' and '>' only in bit 1.
static_assert(('&' | 1) == '\'' && ('<' | 2) == '>');

constexpr uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
constexpr uint64_t ones = 0x0101010101010101ULL;

// 0x80 in each byte of `v` equal to `c`, 0 elsewhere; exact (no carries
// between bytes).
inline uint64_t word_eq(uint64_t v, unsigned char c) {
    const uint64_t x = v ^ (ones * c);
    return ~(((x & low7) + low7) | x | low7);
}

// Byte i of the loaded range lands in bits 8i..8i+7 whatever the byte order.
inline uint64_t load_word(const char* p) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
    return x;
}

inline size_t first_byte(uint64_t m) { return static_cast<size_t>(std::countr_zero(m)) / 8; }

}  // namespace escape_detail

// The replacement of byte `c`: size 0 when it is copied unchanged.
template <Escape mode>
inline const Replacement& replacement_of(char c) {
    const auto& table = mode == Escape::Text ? escape_detail::text_table : escape_detail::attr_table;
    return escape_detail::replacements[table[static_cast<unsigned char>(c)]];
}

template <Escape mode>
inline bool is_special(char c) {
    return replacement_of<mode>(c).size != 0;
}

// A bit per byte of the word: 0x80 where the byte is special.
template <Escape mode>
inline uint64_t special_bytes(uint64_t v) {
    using namespace escape_detail;
    uint64_t m = word_eq(v | ones, '\'') | word_eq(v | (ones * 2), '>') | word_eq(v, '"');
    if constexpr (mode == Escape::Attr) m |= word_eq(v, '\t') | word_eq(v, '\r') | word_eq(v, '\n');
    return m;
}

// Each search returns the first special byte in [p, end), or `end`. `floor`
// (<= p) is the start of the string that [p, end) ends: the last, partial
// block may be searched with a load that ends at `end` and reaches back
// before `p`, never before `floor`; matches before `p` are ignored.

template <Escape mode>
const char* find_special_words(const char* p, const char* end, const char* floor) {
    using namespace escape_detail;
    while (end - p >= 8) {
        if (const uint64_t m = special_bytes<mode>(load_word(p))) return p + first_byte(m);
        p += 8;
    }
    if (p == end) return end;
    if (end - floor >= 8) {
        const char* last = end - 8;
        const uint64_t m = special_bytes<mode>(load_word(last)) >> (8 * (p - last));
        return m ? p + first_byte(m) : end;
    }
    for (; p != end; ++p)
        if (is_special<mode>(*p)) return p;
    return end;
}

#if ARBOLITE_TARGET_SSE2()
// A bit per byte of the 16 at `p`: set where the byte is special.
template <Escape mode>
inline unsigned special_lanes(__m128i v) {
    __m128i m = _mm_or_si128(_mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(1)), _mm_set1_epi8('\'')),
                             _mm_cmpeq_epi8(_mm_or_si128(v, _mm_set1_epi8(2)), _mm_set1_epi8('>')));
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('"')));
    if constexpr (mode == Escape::Attr) {
        const __m128i controls = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\t')),
                                              _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\r')),
                                                           _mm_cmpeq_epi8(v, _mm_set1_epi8('\n'))));
        m = _mm_or_si128(m, controls);
    }
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}

template <Escape mode>
inline unsigned special_lanes_at(const char* p) {
    return special_lanes<mode>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

template <Escape mode>
const char* find_special_vector(const char* p, const char* end, const char* floor) {
    while (end - p >= 32) {
        const unsigned a = special_lanes_at<mode>(p);
        const unsigned b = special_lanes_at<mode>(p + 16);
        if ((a | b) != 0) return p + std::countr_zero(a | (b << 16));
        p += 32;
    }
    if (end - p >= 16) {
        if (const unsigned a = special_lanes_at<mode>(p)) return p + std::countr_zero(a);
        p += 16;
    }
    if (p == end) return end;
    unsigned m;
    if (end - floor >= 16) {
        const char* last = end - 16;
        m = special_lanes_at<mode>(last) >> (p - last);
    } else {
        // A string shorter than a register: search a zero-padded copy (zero
        // bytes are never special).
        alignas(16) char block[16] = {};
        copy_short(block, p, static_cast<size_t>(end - p));
        m = special_lanes<mode>(_mm_load_si128(reinterpret_cast<const __m128i*>(block)));
    }
    return m ? p + std::countr_zero(m) : end;
}
#endif

template <Escape mode>
inline const char* find_special(const char* p, const char* end, const char* floor) {
#if ARBOLITE_TARGET_SSE2()
    return find_special_vector<mode>(p, end, floor);
#else
    return find_special_words<mode>(p, end, floor);
#endif
}

}  // namespace arbolite::write
