// The code-point-at-a-time encoder, the portable 64-bit word kernels, the
// SSE2 kernels and the choice between them and the AVX2 kernels
// (utf8_encode_avx2.cpp).
//
// The vector encoders store whole registers and then advance the output by
// the number of bytes that are real, so a store may reach past the end of
// the bytes written so far. Such a store stays inside the result as long as
// at least a register's width of code units remains to be encoded, because
// every code unit becomes at least one byte; the loops run while that holds
// and leave the rest to the scalar loop.
#include "simd/utf8_encode.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "simd/dispatch.hpp"
#include "simd/target.hpp"

#if ARBOLITE_TARGET_SSE2()
#include <emmintrin.h>
#endif

namespace arbolite::simd {
namespace {

inline bool is_surrogate(uint32_t c) { return (c & 0xFFFFF800u) == 0xD800u; }

// One code point, 1 to 4 bytes. Values above U+10FFFF (never given by a
// caller that checked the length) still take exactly four bytes.
inline char* put_code_point(uint32_t c, char* out) {
    if (c < 0x80) {
        *out++ = static_cast<char>(c);
    } else if (c < 0x800) {
        out[0] = static_cast<char>(0xC0 | (c >> 6));
        out[1] = static_cast<char>(0x80 | (c & 0x3F));
        out += 2;
    } else if (c < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (c >> 12));
        out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (c & 0x3F));
        out += 3;
    } else {
        out[0] = static_cast<char>(0xF0 | ((c >> 18) & 0x07));
        out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out[3] = static_cast<char>(0x80 | (c & 0x3F));
        out += 4;
    }
    return out;
}

// One, two, three or four bytes by the code unit's value; the comparisons
// that a unit type cannot meet cost nothing.
template <class Unit>
std::optional<size_t> scalar_length(const Unit* p, size_t n) {
    size_t len = n;
    bool bad = false;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t c = p[i];
        len += static_cast<size_t>(c >= 0x80) + static_cast<size_t>(c >= 0x800) + static_cast<size_t>(c >= 0x10000);
        bad |= is_surrogate(c) | (c > 0x10FFFF);
    }
    if (bad) return std::nullopt;
    return len;
}

template <class Unit>
char* scalar_encode(const Unit* p, size_t n, char* out) {
    for (size_t i = 0; i < n; ++i) out = put_code_point(p[i], out);
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Code point at a time

std::optional<size_t> scalar::utf8_length(const uint8_t* p, size_t n) noexcept { return scalar_length(p, n); }
std::optional<size_t> scalar::utf8_length(const uint16_t* p, size_t n) noexcept { return scalar_length(p, n); }
std::optional<size_t> scalar::utf8_length(const uint32_t* p, size_t n) noexcept { return scalar_length(p, n); }

char* scalar::encode_utf8(const uint8_t* p, size_t n, char* out) noexcept { return scalar_encode(p, n, out); }
char* scalar::encode_utf8(const uint16_t* p, size_t n, char* out) noexcept { return scalar_encode(p, n, out); }
char* scalar::encode_utf8(const uint32_t* p, size_t n, char* out) noexcept { return scalar_encode(p, n, out); }

// ---------------------------------------------------------------------------
// Portable 64-bit words: four UCS-2 or eight Latin-1 code units at a time
// for the length and for runs of ASCII; UCS-4 text is left to the compiler.

namespace {
namespace swar {

constexpr uint64_t lanes16_low15 = 0x7FFF7FFF7FFF7FFFULL;
constexpr uint64_t lanes16_top = 0x8000800080008000ULL;

template <class Unit>
inline uint64_t load_word(const Unit* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The number of bytes of x with their top bit set, x holding nothing else.
inline size_t count_top_bits(uint64_t x) { return static_cast<size_t>(((x >> 7) * 0x0101010101010101ULL) >> 56); }

// The top bit of each 16-bit lane set where the lane is not zero.
inline uint64_t nonzero16(uint64_t x) { return (((x & lanes16_low15) + lanes16_low15) | x) & lanes16_top; }

std::optional<size_t> length_latin1(const uint8_t* p, size_t n) noexcept {
    size_t len = n;
    size_t i = 0;
    for (; n - i >= 8; i += 8) len += count_top_bits(load_word(p + i) & 0x8080808080808080ULL);
    return len - (n - i) + *scalar::utf8_length(p + i, n - i);
}

std::optional<size_t> length_ucs2(const uint16_t* p, size_t n) noexcept {
    size_t len = n;
    uint64_t bad = 0;
    size_t i = 0;
    for (; n - i >= 4; i += 4) {
        const uint64_t w = load_word(p + i);
        const uint64_t high = w & 0xF800F800F800F800ULL;
        len += count_top_bits(nonzero16(w & 0xFF80FF80FF80FF80ULL)) + count_top_bits(nonzero16(high));
        bad |= ~nonzero16(high ^ 0xD800D800D800D800ULL) & lanes16_top;
    }
    const std::optional<size_t> rest = scalar::utf8_length(p + i, n - i);
    if (bad != 0 || !rest) return std::nullopt;
    return len - (n - i) + *rest;
}

template <class Unit>
char* encode_ascii_runs(const Unit* p, size_t n, char* out, uint64_t non_ascii) noexcept {
    constexpr size_t per_word = 8 / sizeof(Unit);
    size_t i = 0;
    while (n - i >= per_word) {
        if ((load_word(p + i) & non_ascii) == 0) {
            for (size_t k = 0; k < per_word; ++k) out[k] = static_cast<char>(p[i + k]);
            out += per_word;
        } else {
            out = scalar::encode_utf8(p + i, per_word, out);
        }
        i += per_word;
    }
    return scalar::encode_utf8(p + i, n - i, out);
}

char* encode_latin1(const uint8_t* p, size_t n, char* out) noexcept {
    return encode_ascii_runs(p, n, out, 0x8080808080808080ULL);
}

char* encode_ucs2(const uint16_t* p, size_t n, char* out) noexcept {
    return encode_ascii_runs(p, n, out, 0xFF80FF80FF80FF80ULL);
}

char* encode_ucs4(const uint32_t* p, size_t n, char* out) noexcept {
    return encode_ascii_runs(p, n, out, 0xFFFFFF80FFFFFF80ULL);
}

std::optional<size_t> length_ucs4(const uint32_t* p, size_t n) noexcept { return scalar::utf8_length(p, n); }

}  // namespace swar
}  // namespace

constinit const utf8_kernel_table scalar_utf8_kernels{
    "scalar",
    [](const uint8_t* p, size_t n) noexcept { return scalar::utf8_length(p, n); },
    [](const uint16_t* p, size_t n) noexcept { return scalar::utf8_length(p, n); },
    [](const uint32_t* p, size_t n) noexcept { return scalar::utf8_length(p, n); },
    [](const uint8_t* p, size_t n, char* out) noexcept { return scalar::encode_utf8(p, n, out); },
    [](const uint16_t* p, size_t n, char* out) noexcept { return scalar::encode_utf8(p, n, out); },
    [](const uint32_t* p, size_t n, char* out) noexcept { return scalar::encode_utf8(p, n, out); },
};

constinit const utf8_kernel_table swar_utf8_kernels{
    "swar",           &swar::length_latin1, &swar::length_ucs2,    &swar::length_ucs4,
    &swar::encode_latin1, &swar::encode_ucs2,   &swar::encode_ucs4,
};

// ---------------------------------------------------------------------------
// SSE2: 16 code units at a time. Lengths are counted in per-lane counters;
// runs of ASCII are narrowed to bytes a register at a time, and a register
// holding other code points has its ASCII prefix stored and its next code
// point encoded by the scalar loop, so sparse non-ASCII text still moves
// mostly in registers.

#if ARBOLITE_TARGET_SSE2()
namespace {
namespace sse2 {

inline __m128i load(const void* p) { return _mm_loadu_si128(static_cast<const __m128i*>(p)); }
inline void store(char* out, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v); }
inline __m128i splat16(uint16_t v) { return _mm_set1_epi16(static_cast<short>(v)); }
inline __m128i splat32(uint32_t v) { return _mm_set1_epi32(static_cast<int>(v)); }
inline bool all_zero(__m128i v) { return _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) == 0xFFFF; }

// The sum of the 16-bit lanes, each read as unsigned.
inline size_t sum_u16(__m128i v) {
    const __m128i lo = _mm_unpacklo_epi16(v, _mm_setzero_si128());
    const __m128i hi = _mm_unpackhi_epi16(v, _mm_setzero_si128());
    alignas(16) uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), _mm_add_epi32(lo, hi));
    return size_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
}

inline size_t sum_u32(__m128i v) {
    alignas(16) uint32_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), v);
    return size_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
}

std::optional<size_t> length_latin1(const uint8_t* p, size_t n) noexcept {
    size_t len = n;
    size_t i = 0;
    while (n - i >= 16) {
        // Byte counters, summed before they can wrap.
        __m128i count = _mm_setzero_si128();
        for (size_t round = 0; round < 255 && n - i >= 16; ++round, i += 16)
            count = _mm_sub_epi8(count, _mm_cmplt_epi8(load(p + i), _mm_setzero_si128()));
        const __m128i sums = _mm_sad_epu8(count, _mm_setzero_si128());
        len += static_cast<size_t>(_mm_cvtsi128_si32(sums)) +
               static_cast<size_t>(_mm_cvtsi128_si32(_mm_unpackhi_epi64(sums, sums)));
    }
    return len - (n - i) + *scalar::utf8_length(p + i, n - i);
}

std::optional<size_t> length_ucs2(const uint16_t* p, size_t n) noexcept {
    size_t len = n;
    __m128i bad = _mm_setzero_si128();
    size_t i = 0;
    while (n - i >= 8) {
        // Each round adds at most 2 to a 16-bit counter.
        __m128i count = _mm_setzero_si128();
        for (size_t round = 0; round < 32000 && n - i >= 8; ++round, i += 8) {
            const __m128i c = load(p + i);
            const __m128i high = _mm_and_si128(c, splat16(0xF800));
            // -1 for each code unit below 0x80 and below 0x800: subtracted
            // below from the two extra bytes that every unit may have.
            count = _mm_add_epi16(count, _mm_cmpeq_epi16(_mm_and_si128(c, splat16(0xFF80)), _mm_setzero_si128()));
            count = _mm_add_epi16(count, _mm_cmpeq_epi16(high, _mm_setzero_si128()));
            count = _mm_add_epi16(count, splat16(2));
            bad = _mm_or_si128(bad, _mm_cmpeq_epi16(high, splat16(0xD800)));
        }
        len += sum_u16(count);
    }
    const std::optional<size_t> rest = scalar::utf8_length(p + i, n - i);
    if (!all_zero(bad) || !rest) return std::nullopt;
    return len - (n - i) + *rest;
}

std::optional<size_t> length_ucs4(const uint32_t* p, size_t n) noexcept {
    size_t len = n;
    __m128i bad = _mm_setzero_si128();
    size_t i = 0;
    while (n - i >= 4) {
        __m128i count = _mm_setzero_si128();
        for (size_t round = 0; round < (size_t{1} << 28) && n - i >= 4; ++round, i += 4) {
            const __m128i c = load(p + i);
            count = _mm_add_epi32(count, _mm_cmpeq_epi32(_mm_and_si128(c, splat32(0xFFFFFF80)), _mm_setzero_si128()));
            count = _mm_add_epi32(count, _mm_cmpeq_epi32(_mm_and_si128(c, splat32(0xFFFFF800)), _mm_setzero_si128()));
            count = _mm_add_epi32(count, _mm_cmpeq_epi32(_mm_and_si128(c, splat32(0xFFFF0000)), _mm_setzero_si128()));
            count = _mm_add_epi32(count, splat32(3));
            bad = _mm_or_si128(bad, _mm_cmpeq_epi32(_mm_and_si128(c, splat32(0xFFFFF800)), splat32(0xD800)));
            // Above U+10FFFF: the top 16 bits, a non-negative number, above 0x10.
            bad = _mm_or_si128(bad, _mm_cmpgt_epi32(_mm_srli_epi32(c, 16), splat32(0x10)));
        }
        len += sum_u32(count);
    }
    const std::optional<size_t> rest = scalar::utf8_length(p + i, n - i);
    if (!all_zero(bad) || !rest) return std::nullopt;
    return len - (n - i) + *rest;
}

// The encoders look at 16 code units, `bytes` their low bytes narrowed (only
// meaningful in ASCII lanes) and `ascii` one bit per unit below 0x80. All
// ASCII: the 16 bytes are the output. Otherwise the ASCII prefix is kept and
// the units from the first other one up to the last other one are encoded
// one at a time; the caller goes on after them.
template <class Unit>
inline char* encode_register(const Unit* p, size_t& i, char* out, __m128i bytes, unsigned ascii) {
    store(out, bytes);
    if (ascii == 0xFFFF) {
        i += 16;
        return out + 16;
    }
    const auto prefix = static_cast<unsigned>(std::countr_one(ascii));
    const auto end = 16 - static_cast<unsigned>(std::countl_one(ascii << 16));
    out = scalar::encode_utf8(p + i + prefix, end - prefix, out + prefix);
    i += end;
    return out;
}

char* encode_latin1(const uint8_t* p, size_t n, char* out) noexcept {
    size_t i = 0;
    while (n - i >= 16) {
        const __m128i c = load(p + i);
        out = encode_register(p, i, out, c, static_cast<unsigned>(_mm_movemask_epi8(c)) ^ 0xFFFF);
    }
    return scalar::encode_utf8(p + i, n - i, out);
}

char* encode_ucs2(const uint16_t* p, size_t n, char* out) noexcept {
    size_t i = 0;
    while (n - i >= 16) {
        const __m128i a = load(p + i);
        const __m128i b = load(p + i + 8);
        const __m128i ascii_a = _mm_cmpeq_epi16(_mm_and_si128(a, splat16(0xFF80)), _mm_setzero_si128());
        const __m128i ascii_b = _mm_cmpeq_epi16(_mm_and_si128(b, splat16(0xFF80)), _mm_setzero_si128());
        const auto ascii = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii_a, ascii_b)));
        out = encode_register(p, i, out, _mm_packus_epi16(a, b), ascii);
    }
    return scalar::encode_utf8(p + i, n - i, out);
}

char* encode_ucs4(const uint32_t* p, size_t n, char* out) noexcept {
    size_t i = 0;
    const __m128i non_ascii = splat32(0xFFFFFF80);
    while (n - i >= 16) {
        __m128i c[4], ascii[4];
        for (int k = 0; k < 4; ++k) {
            c[k] = load(p + i + 4 * k);
            ascii[k] = _mm_cmpeq_epi32(_mm_and_si128(c[k], non_ascii), _mm_setzero_si128());
        }
        // Signed saturation keeps ASCII lanes as they are; the others are
        // not used.
        const __m128i bytes =
            _mm_packus_epi16(_mm_packs_epi32(c[0], c[1]), _mm_packs_epi32(c[2], c[3]));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_packs_epi16(_mm_packs_epi32(ascii[0], ascii[1]), _mm_packs_epi32(ascii[2], ascii[3]))));
        out = encode_register(p, i, out, bytes, mask);
    }
    return scalar::encode_utf8(p + i, n - i, out);
}

constexpr utf8_kernel_table table{
    "sse2", &length_latin1, &length_ucs2, &length_ucs4, &encode_latin1, &encode_ucs2, &encode_ucs4,
};

}  // namespace sse2
}  // namespace

const utf8_kernel_table* sse2_utf8_kernels() noexcept { return &sse2::table; }
#else
const utf8_kernel_table* sse2_utf8_kernels() noexcept { return nullptr; }
#endif

// ---------------------------------------------------------------------------
// Choice of kernels

namespace {

kernel_family<utf8_kernel_table> family() noexcept {
    return {scalar_utf8_kernels, &swar_utf8_kernels, sse2_utf8_kernels(), avx2_utf8_kernels()};
}

}  // namespace

const utf8_kernel_table& active_utf8_kernels() noexcept {
    static const utf8_kernel_table& table = family().best();
    return table;
}

std::span<const utf8_kernel_table* const> utf8_kernels_for_testing() noexcept {
    static const kernel_family<utf8_kernel_table>::list list = family().runnable();
    return list.view();
}

std::optional<size_t> utf8_length(const uint8_t* p, size_t n) noexcept { return active_utf8_kernels().length_latin1(p, n); }
std::optional<size_t> utf8_length(const uint16_t* p, size_t n) noexcept { return active_utf8_kernels().length_ucs2(p, n); }
std::optional<size_t> utf8_length(const uint32_t* p, size_t n) noexcept { return active_utf8_kernels().length_ucs4(p, n); }

char* encode_utf8(const uint8_t* p, size_t n, char* out) noexcept { return active_utf8_kernels().encode_latin1(p, n, out); }
char* encode_utf8(const uint16_t* p, size_t n, char* out) noexcept { return active_utf8_kernels().encode_ucs2(p, n, out); }
char* encode_utf8(const uint32_t* p, size_t n, char* out) noexcept { return active_utf8_kernels().encode_ucs4(p, n, out); }

}  // namespace arbolite::simd
