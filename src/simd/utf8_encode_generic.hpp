// The UTF-8 encoders (utf8_encode.hpp), written once over the operations of
// a level and instantiated by each kernel source for its instruction set.
//
// A level `L` provides, for each code unit type:
//   L::Length<Unit>   counters of the bytes that units take beyond one:
//                     width (units per add), rounds (adds before a flush),
//                     add(p), flush(), bad() (a unit with no UTF-8 form),
//                     extra() (the flushed count)
//   L::Encode<Unit>   one step of the encoder over the units at p: width,
//                     room (the units that must remain for its stores),
//                     ascii() (all of them below 0x80), store_ascii(out)
//                     (writes them as `width` bytes), and
//                     encode_mixed(p, out) (encodes a prefix of at least one
//                     of them, returns how many, advances `out`)
// The portable and SSE2 levels are here; the AVX2 level, whose encoding of
// mixed text has no SSE2 counterpart (byte shuffles), is in
// utf8_encode_avx2.hpp.
//
// The vector steps store whole registers and then advance the output by the
// bytes that are real, so a store may reach past the end of the bytes
// written so far. Such a store stays inside the result as long as `room`
// code units remain to be encoded, because every code unit becomes at least
// one byte; the loops run while that holds and leave the rest to the scalar
// loop.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>

#include "simd/utf8_encode.hpp"
#include "simd/vector_ops.hpp"

namespace arbolite::simd {
namespace {

template <class L, class Unit>
std::optional<size_t> utf8_length_kernel(const Unit* p, size_t n) noexcept {
    using Count = typename L::template Length<Unit>;
    constexpr size_t w = Count::width;
    Count count;
    size_t i = 0;
    while (n - i >= w) {
        for (size_t round = 0; round < Count::rounds && n - i >= w; ++round, i += w) count.add(p + i);
        count.flush();
    }
    const std::optional<size_t> rest = scalar::utf8_length(p + i, n - i);
    if (count.bad() || !rest) return std::nullopt;
    return i + count.extra() + *rest;
}

template <class L, class Unit>
char* encode_utf8_kernel(const Unit* p, size_t n, char* out) noexcept {
    using Step = typename L::template Encode<Unit>;
    size_t i = 0;
    while (n - i >= Step::room) {
        const Step step(p + i);
        if (step.ascii()) {
            step.store_ascii(out);
            out += Step::width;
            i += Step::width;
        } else {
            i += step.encode_mixed(p + i, out);
        }
    }
    return scalar::encode_utf8(p + i, n - i, out);
}

template <class L>
constexpr Utf8EncodeTable utf8_encode_table(const char* name) {
    return {name,
            &utf8_length_kernel<L, uint8_t>,
            &utf8_length_kernel<L, uint16_t>,
            &utf8_length_kernel<L, uint32_t>,
            &encode_utf8_kernel<L, uint8_t>,
            &encode_utf8_kernel<L, uint16_t>,
            &encode_utf8_kernel<L, uint32_t>};
}

// Latin-1 at every level: one extra byte per byte >= 0x80, counted in the
// per-byte counters of the level's vector ops.
template <class Ops>
struct HighByteCount {
    static constexpr size_t width = Ops::width;
    static constexpr size_t rounds = 255;
    typename Ops::vec counters = Ops::zero();
    size_t total = 0;

    void add(const uint8_t* p) {
        counters = Ops::add_match(counters, Ops::high_lanes(Ops::load(reinterpret_cast<const char*>(p))));
    }
    void flush() {
        total += Ops::sum_counts(counters);
        counters = Ops::zero();
    }
    bool bad() const { return false; }
    size_t extra() const { return total; }
};

// ---------------------------------------------------------------------------
// Portable 64-bit words: four UCS-2 or eight Latin-1 code units at a time
// for the length and for runs of ASCII; the length of UCS-4 text is left to
// the compiler, a unit at a time.

namespace utf8_swar {

constexpr uint64_t kLanes16Low15 = 0x7FFF7FFF7FFF7FFFULL;
constexpr uint64_t kLanes16Top = 0x8000800080008000ULL;

// The units in native order: the masks below are per unit.
template <class Unit>
inline uint64_t load_units(const Unit* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// The top bit of each 16-bit lane set where the lane is not zero.
inline uint64_t nonzero16(uint64_t x) { return (((x & kLanes16Low15) + kLanes16Low15) | x) & kLanes16Top; }

struct Ucs2Count {
    static constexpr size_t width = 4;
    static constexpr size_t rounds = SIZE_MAX;
    size_t total = 0;
    uint64_t bad_lanes = 0;

    void add(const uint16_t* p) {
        const uint64_t w = load_units(p);
        const uint64_t high = w & 0xF800F800F800F800ULL;
        total += swar::count_lanes(nonzero16(w & 0xFF80FF80FF80FF80ULL)) + swar::count_lanes(nonzero16(high));
        bad_lanes |= ~nonzero16(high ^ 0xD800D800D800D800ULL) & kLanes16Top;
    }
    void flush() {}
    bool bad() const { return bad_lanes != 0; }
    size_t extra() const { return total; }
};

struct Ucs4Count {
    static constexpr size_t width = 1;
    static constexpr size_t rounds = SIZE_MAX;
    size_t total = 0;
    bool any_bad = false;

    void add(const uint32_t* p) {
        const uint32_t c = *p;
        total += static_cast<size_t>(c >= 0x80) + static_cast<size_t>(c >= 0x800) + static_cast<size_t>(c >= 0x10000);
        any_bad |= ((c & 0xFFFFF800u) == 0xD800u) | (c > 0x10FFFF);
    }
    void flush() {}
    bool bad() const { return any_bad; }
    size_t extra() const { return total; }
};

// A word of units: all ASCII, they are narrowed one by one; else the word is
// encoded a unit at a time.
template <class Unit>
struct WordStep {
    static constexpr size_t width = 8 / sizeof(Unit);
    static constexpr size_t room = width;
    static constexpr uint64_t kNonAscii = sizeof(Unit) == 1   ? 0x8080808080808080ULL
                                          : sizeof(Unit) == 2 ? 0xFF80FF80FF80FF80ULL
                                                              : 0xFFFFFF80FFFFFF80ULL;
    const Unit* units;
    uint64_t word;

    explicit WordStep(const Unit* p) : units(p), word(load_units(p)) {}
    bool ascii() const { return (word & kNonAscii) == 0; }
    void store_ascii(char* out) const {
        for (size_t k = 0; k < width; ++k) out[k] = static_cast<char>(units[k]);
    }
    size_t encode_mixed(const Unit* p, char*& out) const {
        out = scalar::encode_utf8(p, width, out);
        return width;
    }
};

}  // namespace utf8_swar

struct Utf8SwarLevel {
    template <class Unit>
    using Length = std::conditional_t<sizeof(Unit) == 1, HighByteCount<SwarOps>,
                                      std::conditional_t<sizeof(Unit) == 2, utf8_swar::Ucs2Count, utf8_swar::Ucs4Count>>;
    template <class Unit>
    using Encode = utf8_swar::WordStep<Unit>;
};

// ---------------------------------------------------------------------------
// The vector levels count UCS-2 and UCS-4 lengths alike, in 16- and 32-bit
// lanes of their registers (`Lanes`: the level's ops, vector_ops.hpp).

// Each round adds at most 2 to a 16-bit counter: two extra bytes per unit,
// less one for each limit (0x80, 0x800) the unit is below.
template <class Lanes>
struct Ucs2LaneCount {
    static constexpr size_t width = Lanes::width / 2;
    static constexpr size_t rounds = 32000;
    typename Lanes::vec counters = Lanes::zero();
    typename Lanes::vec bad_lanes = Lanes::zero();
    size_t total = 0;

    void add(const uint16_t* p) {
        const auto c = Lanes::load(p);
        const auto zero = Lanes::zero();
        const auto high = Lanes::and_(c, Lanes::splat16(0xF800));
        counters = Lanes::add16(counters, Lanes::eq16(Lanes::and_(c, Lanes::splat16(0xFF80)), zero));
        counters = Lanes::add16(counters, Lanes::eq16(high, zero));
        counters = Lanes::add16(counters, Lanes::splat16(2));
        bad_lanes = Lanes::or_(bad_lanes, Lanes::eq16(high, Lanes::splat16(0xD800)));
    }
    void flush() {
        total += Lanes::sum_u16(counters);
        counters = Lanes::zero();
    }
    bool bad() const { return !Lanes::none(bad_lanes); }
    size_t extra() const { return total; }
};

// The same in 32-bit lanes, up to three extra bytes per unit.
template <class Lanes>
struct Ucs4LaneCount {
    static constexpr size_t width = Lanes::width / 4;
    static constexpr size_t rounds = size_t{1} << 28;
    typename Lanes::vec counters = Lanes::zero();
    typename Lanes::vec bad_lanes = Lanes::zero();
    size_t total = 0;

    void add(const uint32_t* p) {
        const auto c = Lanes::load(p);
        const auto zero = Lanes::zero();
        const auto high = Lanes::and_(c, Lanes::splat32(0xFFFFF800));
        counters = Lanes::add32(counters, Lanes::eq32(Lanes::and_(c, Lanes::splat32(0xFFFFFF80)), zero));
        counters = Lanes::add32(counters, Lanes::eq32(high, zero));
        counters = Lanes::add32(counters, Lanes::eq32(Lanes::and_(c, Lanes::splat32(0xFFFF0000)), zero));
        counters = Lanes::add32(counters, Lanes::splat32(3));
        bad_lanes = Lanes::or_(bad_lanes, Lanes::eq32(high, Lanes::splat32(0xD800)));
        // Above U+10FFFF: the top 16 bits, a non-negative number, above 0x10.
        bad_lanes = Lanes::or_(bad_lanes, Lanes::gt32(Lanes::shift_right32(c, 16), Lanes::splat32(0x10)));
    }
    void flush() {
        total += Lanes::sum_u32(counters);
        counters = Lanes::zero();
    }
    bool bad() const { return !Lanes::none(bad_lanes); }
    size_t extra() const { return total; }
};

// ---------------------------------------------------------------------------
// SSE2: 16 code units at a time. Runs of ASCII are narrowed to bytes a
// register at a time, and a register holding other code points has its
// ASCII prefix stored and the units from its first other one up to its last
// other one encoded by the scalar loop, so sparse non-ASCII text still moves
// mostly in registers.

#if ARBOLITE_TARGET_SSE2()
namespace utf8_sse2 {

inline void store(char* out, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(out), v); }

// Sixteen units: `bytes` their low bytes narrowed (only meaningful in ASCII
// lanes) and `ascii_lanes` one bit per unit below 0x80.
template <class Unit>
struct RegisterStep {
    static constexpr size_t width = 16;
    static constexpr size_t room = 16;
    __m128i bytes;
    unsigned ascii_lanes;

    explicit RegisterStep(const Unit* p) {
        if constexpr (sizeof(Unit) == 1) {
            bytes = Sse2Ops::load(p);
            ascii_lanes = static_cast<unsigned>(_mm_movemask_epi8(bytes)) ^ 0xFFFF;
        } else if constexpr (sizeof(Unit) == 2) {
            const __m128i a = Sse2Ops::load(p);
            const __m128i b = Sse2Ops::load(p + 8);
            const __m128i non_ascii = Sse2Ops::splat16(0xFF80);
            const __m128i ascii_a = _mm_cmpeq_epi16(_mm_and_si128(a, non_ascii), _mm_setzero_si128());
            const __m128i ascii_b = _mm_cmpeq_epi16(_mm_and_si128(b, non_ascii), _mm_setzero_si128());
            ascii_lanes = static_cast<unsigned>(_mm_movemask_epi8(_mm_packs_epi16(ascii_a, ascii_b)));
            bytes = _mm_packus_epi16(a, b);
        } else {
            const __m128i non_ascii = Sse2Ops::splat32(0xFFFFFF80);
            __m128i c[4], ascii[4];
            for (int k = 0; k < 4; ++k) {
                c[k] = Sse2Ops::load(p + 4 * k);
                ascii[k] = _mm_cmpeq_epi32(_mm_and_si128(c[k], non_ascii), _mm_setzero_si128());
            }
            // Signed saturation keeps ASCII lanes as they are; the others are
            // not used.
            bytes = _mm_packus_epi16(_mm_packs_epi32(c[0], c[1]), _mm_packs_epi32(c[2], c[3]));
            ascii_lanes = static_cast<unsigned>(_mm_movemask_epi8(
                _mm_packs_epi16(_mm_packs_epi32(ascii[0], ascii[1]), _mm_packs_epi32(ascii[2], ascii[3]))));
        }
    }
    bool ascii() const { return ascii_lanes == 0xFFFF; }
    void store_ascii(char* out) const { store(out, bytes); }
    // The ASCII prefix is kept, and the units from the first other one up to
    // the last other one are encoded one at a time; the caller goes on after
    // them.
    size_t encode_mixed(const Unit* p, char*& out) const {
        store(out, bytes);
        const auto prefix = static_cast<unsigned>(std::countr_one(ascii_lanes));
        const auto end = 16 - static_cast<unsigned>(std::countl_one(ascii_lanes << 16));
        out = scalar::encode_utf8(p + prefix, end - prefix, out + prefix);
        return end;
    }
};

}  // namespace utf8_sse2

struct Utf8Sse2Level {
    template <class Unit>
    using Length = std::conditional_t<sizeof(Unit) == 1, HighByteCount<Sse2Ops>,
                                      std::conditional_t<sizeof(Unit) == 2, Ucs2LaneCount<Sse2Ops>,
                                                         Ucs4LaneCount<Sse2Ops>>>;
    template <class Unit>
    using Encode = utf8_sse2::RegisterStep<Unit>;
};
#endif

}  // namespace
}  // namespace arbolite::simd
