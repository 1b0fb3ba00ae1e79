// The search kernels, written once over the operations of vector_ops.hpp and
// instantiated by each kernel source for its instruction set. Ranges shorter
// than a register go to the next narrower ops type; the last partial register
// of a longer range is covered by one more load that ends at the range's end
// and overlaps bytes already searched. Nothing reads outside [begin, end).
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "simd/byte_tally_generic.hpp"
#include "simd/kernels.hpp"
#include "simd/scalar.hpp"
#include "simd/vector_ops.hpp"

namespace arbolite::simd {
namespace {

inline unsigned lowest_bit(uint64_t m) { return static_cast<unsigned>(__builtin_ctzll(m)); }

// The kernels test a register with `Match`, a functor that turns raw bytes
// into match lanes; find_first<Ops> returns the first byte of the first
// matching lane.
template <class Ops, class Match>
const char* find_first(const char* begin, const char* end, const Match& match) noexcept {
    constexpr size_t w = Ops::width;
    if (static_cast<size_t>(end - begin) < w) {
        if constexpr (std::is_void_v<typename Ops::narrower>) {
            for (; begin != end; ++begin)
                if (match.byte(*begin)) return begin;
            return end;
        } else {
            return find_first<typename Ops::narrower>(begin, end, match.template narrow<typename Ops::narrower>());
        }
    }
    const char* p = begin;
    while (static_cast<size_t>(end - p) >= 4 * w) {
        const auto m0 = match(Ops::load(p));
        const auto m1 = match(Ops::load(p + w));
        const auto m2 = match(Ops::load(p + 2 * w));
        const auto m3 = match(Ops::load(p + 3 * w));
        if (Ops::any(Ops::or_(Ops::or_(m0, m1), Ops::or_(m2, m3)))) {
            const uint64_t b0 = Ops::bits(m0);
            if (b0) return p + lowest_bit(b0);
            const uint64_t b1 = Ops::bits(m1);
            if (b1) return p + w + lowest_bit(b1);
            const uint64_t b2 = Ops::bits(m2);
            if (b2) return p + 2 * w + lowest_bit(b2);
            return p + 3 * w + lowest_bit(Ops::bits(m3));
        }
        p += 4 * w;
    }
    while (static_cast<size_t>(end - p) >= w) {
        const uint64_t b = Ops::bits(match(Ops::load(p)));
        if (b) return p + lowest_bit(b);
        p += w;
    }
    if (p != end) {
        // The bytes of this load before `p` were searched already.
        const char* last = end - w;
        const uint64_t b = Ops::bits(match(Ops::load(last)));
        if (b) return last + lowest_bit(b);
    }
    return end;
}

template <class Ops>
struct MatchByte {
    typename Ops::vec needle;
    char c;
    explicit MatchByte(char ch) : needle(Ops::splat(ch)), c(ch) {}
    typename Ops::vec operator()(typename Ops::vec v) const { return Ops::eq(v, needle); }
    bool byte(char x) const { return x == c; }
    template <class N>
    MatchByte<N> narrow() const { return MatchByte<N>(c); }
};

template <class Ops>
struct MatchAny4 {
    typename Ops::vec na, nb, nc, nd;
    char a, b, c, d;
    MatchAny4(char a_, char b_, char c_, char d_)
        : na(Ops::splat(a_)), nb(Ops::splat(b_)), nc(Ops::splat(c_)), nd(Ops::splat(d_)), a(a_), b(b_), c(c_), d(d_) {}
    typename Ops::vec operator()(typename Ops::vec v) const {
        return Ops::or_(Ops::or_(Ops::eq(v, na), Ops::eq(v, nb)), Ops::or_(Ops::eq(v, nc), Ops::eq(v, nd)));
    }
    bool byte(char x) const { return x == a || x == b || x == c || x == d; }
    template <class N>
    MatchAny4<N> narrow() const { return MatchAny4<N>(a, b, c, d); }
};

template <class Ops>
struct MatchAny8 {
    typename Ops::vec needles[8];
    const char* set;
    explicit MatchAny8(const char* s) : set(s) {
        for (int i = 0; i < 8; ++i) needles[i] = Ops::splat(s[i]);
    }
    typename Ops::vec operator()(typename Ops::vec v) const {
        const auto low = Ops::or_(Ops::or_(Ops::eq(v, needles[0]), Ops::eq(v, needles[1])),
                                  Ops::or_(Ops::eq(v, needles[2]), Ops::eq(v, needles[3])));
        const auto high = Ops::or_(Ops::or_(Ops::eq(v, needles[4]), Ops::eq(v, needles[5])),
                                   Ops::or_(Ops::eq(v, needles[6]), Ops::eq(v, needles[7])));
        return Ops::or_(low, high);
    }
    bool byte(char x) const {
        for (int i = 0; i < 8; ++i)
            if (x == set[i]) return true;
        return false;
    }
    template <class N>
    MatchAny8<N> narrow() const { return MatchAny8<N>(set); }
};

// The N tests of a byte set (simd/byte_set.hpp).
template <class Ops, unsigned N>
struct MatchSet {
    typename Ops::vec values[N];
    typename Ops::vec masks[N];
    const ByteSet& set;
    explicit MatchSet(const ByteSet& s) : set(s) {
        for (unsigned k = 0; k < N; ++k) {
            values[k] = Ops::splat(s.value[k]);
            masks[k] = Ops::splat(s.mask[k]);
        }
    }
    typename Ops::vec operator()(typename Ops::vec v) const {
        auto m = Ops::eq(Ops::or_(v, masks[0]), values[0]);
        for (unsigned k = 1; k < N; ++k) m = Ops::or_(m, Ops::eq(Ops::or_(v, masks[k]), values[k]));
        return m;
    }
    bool byte(char x) const { return set.contains(x); }
    template <class Narrower>
    MatchSet<Narrower, N> narrow() const { return MatchSet<Narrower, N>(set); }
};

// Match lanes are bytes with the top bit set: any(), bits() and or_() read
// raw bytes as lanes, so a byte >= 0x80 is its own match lane.
template <class Ops>
struct MatchNonAscii {
    typename Ops::vec operator()(typename Ops::vec v) const {
        if constexpr (std::is_same_v<Ops, SwarOps>)
            return swar::high_bytes(v);
        else
            return v;
    }
    bool byte(char x) const { return static_cast<unsigned char>(x) >= 0x80; }
    template <class N>
    MatchNonAscii<N> narrow() const { return {}; }
};

// Ranges shorter than a 64-bit word are searched byte by byte straight away.
constexpr size_t kTinyRange = 8;

template <class Ops>
const char* find_byte_kernel(const char* begin, const char* end, char c) noexcept {
    if (static_cast<size_t>(end - begin) < kTinyRange) return scalar::find_byte(begin, end, c);
    return find_first<Ops>(begin, end, MatchByte<Ops>(c));
}

template <class Ops>
const char* find_any4_kernel(const char* begin, const char* end, char a, char b, char c, char d) noexcept {
    if (static_cast<size_t>(end - begin) < kTinyRange) return scalar::find_any4(begin, end, a, b, c, d);
    return find_first<Ops>(begin, end, MatchAny4<Ops>(a, b, c, d));
}

template <class Ops>
const char* find_any8_kernel(const char* begin, const char* end, const char* set) noexcept {
    if (static_cast<size_t>(end - begin) < kTinyRange) return scalar::find_any8(begin, end, set);
    return find_first<Ops>(begin, end, MatchAny8<Ops>(set));
}

// The first byte of [p, end) in the set, two registers at a time. The last,
// partial register is loaded to end at `end`, reaching back before `p` as
// far as `floor` allows (matches before `p` are dropped); a range too short
// for that goes to the next narrower ops.
template <class Ops, unsigned N>
const char* find_in_set_n(const char* p, const char* end, const char* floor, const MatchSet<Ops, N>& match) noexcept {
    constexpr size_t w = Ops::width;
    while (static_cast<size_t>(end - p) >= 2 * w) {
        const uint64_t a = Ops::bits(match(Ops::load(p)));
        const uint64_t b = Ops::bits(match(Ops::load(p + w)));
        if ((a | b) != 0) return p + lowest_bit(a != 0 ? a : b << w);
        p += 2 * w;
    }
    if (static_cast<size_t>(end - p) >= w) {
        if (const uint64_t a = Ops::bits(match(Ops::load(p)))) return p + lowest_bit(a);
        p += w;
    }
    if (p == end) return end;
    if (static_cast<size_t>(end - floor) >= w) {
        const char* last = end - w;
        const uint64_t m = Ops::bits(match(Ops::load(last))) >> (p - last);
        return m != 0 ? p + lowest_bit(m) : end;
    }
    if constexpr (std::is_void_v<typename Ops::narrower>) {
        for (; p != end; ++p)
            if (match.byte(*p)) return p;
        return end;
    } else {
        using Narrower = typename Ops::narrower;
        return find_in_set_n<Narrower, N>(p, end, floor, match.template narrow<Narrower>());
    }
}

template <class Ops>
const char* find_in_set_kernel(const char* p, const char* end, const char* floor, const ByteSet& set) noexcept {
    switch (set.count) {
        case 0: return end;
        case 1: return find_in_set_n<Ops, 1>(p, end, floor, MatchSet<Ops, 1>(set));
        case 2: return find_in_set_n<Ops, 2>(p, end, floor, MatchSet<Ops, 2>(set));
        case 3: return find_in_set_n<Ops, 3>(p, end, floor, MatchSet<Ops, 3>(set));
        case 4: return find_in_set_n<Ops, 4>(p, end, floor, MatchSet<Ops, 4>(set));
        case 5: return find_in_set_n<Ops, 5>(p, end, floor, MatchSet<Ops, 5>(set));
        case 6: return find_in_set_n<Ops, 6>(p, end, floor, MatchSet<Ops, 6>(set));
        case 7: return find_in_set_n<Ops, 7>(p, end, floor, MatchSet<Ops, 7>(set));
        default: return find_in_set_n<Ops, 8>(p, end, floor, MatchSet<Ops, 8>(set));
    }
}

template <class Ops>
size_t count_byte_kernel(const char* begin, const char* end, char c) noexcept {
    constexpr size_t w = Ops::width;
    const auto needle = Ops::splat(c);
    size_t total = 0;
    const char* p = begin;
    while (static_cast<size_t>(end - p) >= w) {
        // The per-byte counters hold at most 255.
        size_t rounds = static_cast<size_t>(end - p) / w;
        if (rounds > 255) rounds = 255;
        auto acc = Ops::zero();
        for (size_t i = 0; i < rounds; ++i, p += w) acc = Ops::add_match(acc, Ops::eq(Ops::load(p), needle));
        total += Ops::sum_counts(acc);
    }
    if constexpr (std::is_void_v<typename Ops::narrower>)
        return total + scalar::count_byte(p, end, c);
    else
        return total + count_byte_kernel<typename Ops::narrower>(p, end, c);
}

// Skips ASCII a register (four at a time in long runs) at a time and checks
// each run of non-ASCII bytes sequence by sequence.
template <class Ops>
bool is_valid_utf8_kernel(const char* data, size_t len) noexcept {
    const char* p = data;
    const char* end = data + len;
    for (;;) {
        p = find_first<Ops>(p, end, MatchNonAscii<Ops>{});
        if (p == end) return true;
        p = scalar::validate_non_ascii_run(p, end);
        if (p == nullptr) return false;
    }
}

template <class Ops>
void classify_blocks_kernel(const char* blocks, size_t count, BlockMasks* out) noexcept {
    constexpr size_t w = Ops::width;
    const auto lt = Ops::splat('<');
    const auto gt = Ops::splat('>');
    const auto dq = Ops::splat('"');
    const auto sq = Ops::splat('\'');
    const auto slash = Ops::splat('/');
    const auto space = Ops::splat(' ');
    for (size_t b = 0; b < count; ++b) {
        const char* p = blocks + b * kBlockSize;
        BlockMasks m{0, 0, 0, 0, 0};
        for (size_t i = 0; i < kBlockSize / w; ++i) {
            const auto v = Ops::load(p + i * w);
            m.lt |= Ops::bits(Ops::eq(v, lt)) << (i * w);
            m.gt |= Ops::bits(Ops::eq(v, gt)) << (i * w);
            m.dq |= Ops::bits(Ops::eq(v, dq)) << (i * w);
            m.sq |= Ops::bits(Ops::eq(v, sq)) << (i * w);
            m.low_or_slash |= Ops::bits(Ops::or_(Ops::at_most(v, space), Ops::eq(v, slash))) << (i * w);
        }
        out[b] = m;
    }
}

template <class Ops>
constexpr KernelTable generic_table(const char* name) {
    return KernelTable{name,
                        &find_byte_kernel<Ops>,
                        &find_any4_kernel<Ops>,
                        &find_any8_kernel<Ops>,
                        &count_byte_kernel<Ops>,
                        &is_valid_utf8_kernel<Ops>,
                        &classify_blocks_kernel<Ops>,
                        &find_in_set_kernel<Ops>,
                        &tally_bytes_kernel<Ops>};
}

}  // namespace
}  // namespace arbolite::simd
