// Byte searches over document text. Each returns the first occurrence, as a
// plain byte loop would, but compares a vector (or a 64-bit word) of bytes at
// a time. The kernel (AVX2, SSE2 or portable 64-bit words) is picked once,
// on first use, from what the processor supports (kernels.hpp).
//
// The finds of one byte, of four and of a byte set follow one pattern:
// ranges shorter than a register are searched inline, and the first
// register of a longer range is tested inline (the byte-set search: ranges
// of up to four registers whole), with the baseline ops (vector_ops.hpp:
// SSE2 on x86-64, 64-bit words elsewhere); only the rest of a range goes to
// the kernel, through the table. Most ranges are short (names, attribute
// values, the runs between escaped bytes) and most hits near, and there the
// call costs more than the search. The inline part runs on every processor
// the build targets, so ARBOLITE_KERNELS does not cap it. Counting goes
// inline below kShortCount bytes; the other searches go to the table.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/copy.hpp"
#include "simd/byte_set.hpp"
#include "simd/generic.hpp"
#include "simd/swar.hpp"

namespace arbolite::simd {

namespace detail {
const char* find_byte_kernel(const char* begin, const char* end, char c) noexcept;
const char* find_any4_kernel(const char* begin, const char* end, char a, char b, char c, char d) noexcept;
size_t count_byte_kernel(const char* begin, const char* end, char c) noexcept;
const char* find_in_set_kernel(const char* p, const char* end, const char* floor, const ByteSet& set) noexcept;

// Below this length counting goes a 64-bit word at a time inline.
inline constexpr std::ptrdiff_t kShortCount = 64;

// The register tested inline.
inline constexpr std::ptrdiff_t kInlineWidth = BaselineOps::width;

// Up to this length a byte-set search runs inline whole: the writer's escape
// search meets many texts and values of a few registers, for which the call
// into the kernel and its set-up cost more than the search.
inline constexpr std::ptrdiff_t kInlineSetRange = 4 * kInlineWidth;

// The first match of `match` in [begin, end): inline for a short range or a
// hit in the first register, else through `kernel(begin + width)`.
template <class Match, class Kernel>
[[gnu::always_inline]] inline const char* find_inline_first(const char* begin, const char* end, const Match& match,
                                                            Kernel kernel) noexcept {
    if (end - begin >= kInlineWidth) {
        const uint64_t hits = BaselineOps::bits(match(BaselineOps::load(begin)));
        if (hits != 0) return begin + __builtin_ctzll(hits);
        return kernel(begin + kInlineWidth);
    }
    for (; begin != end; ++begin)
        if (match.byte(*begin)) return begin;
    return end;
}
}  // namespace detail

// First byte equal to `c` in [begin, end), or `end`.
inline const char* find_byte(const char* begin, const char* end, char c) noexcept {
    return detail::find_inline_first(begin, end, MatchByte<BaselineOps>(c), [=](const char* from) {
        return detail::find_byte_kernel(from, end, c);
    });
}

// First byte equal to any of a, b, c, d in [begin, end), or `end`. Repeat a
// byte to search for fewer than four.
inline const char* find_any4(const char* begin, const char* end, char a, char b, char c, char d) noexcept {
    return detail::find_inline_first(begin, end, MatchAny4<BaselineOps>(a, b, c, d), [=](const char* from) {
        return detail::find_any4_kernel(from, end, a, b, c, d);
    });
}

// find_any4 for a range that may be read beyond its end up to
// `readable_end` (>= end): a short range is searched with a single register
// load at `begin` when it may be read whole.
inline const char* find_any4_bounded(const char* begin, const char* end, const char* readable_end, char a, char b,
                                     char c, char d) noexcept {
    const std::ptrdiff_t length = end - begin;
    if (length < detail::kInlineWidth && readable_end - begin >= detail::kInlineWidth) {
        const MatchAny4<BaselineOps> match(a, b, c, d);
        const uint64_t hits =
            BaselineOps::bits(match(BaselineOps::load(begin))) & ((uint64_t{1} << length) - 1);
        return hits != 0 ? begin + __builtin_ctzll(hits) : end;
    }
    return find_any4(begin, end, a, b, c, d);
}

// First byte of [p, end) in `set`, or `end`. The search may load bytes back
// to `floor` (<= p; the start of the string that [p, end) ends), never
// before it. The set is best a constant, so that the inline part is built
// of constants.
inline const char* find_in_set(const char* p, const char* end, const char* floor, const ByteSet& set) noexcept {
    constexpr std::ptrdiff_t w = detail::kInlineWidth;
    auto hits_at = [&set](const char* at) {
        uint64_t hits = 0;
        const auto v = BaselineOps::load(at);
        for (unsigned k = 0; k < set.count; ++k)
            hits |= BaselineOps::bits(BaselineOps::eq(BaselineOps::or_(v, BaselineOps::splat(set.mask[k])),
                                                        BaselineOps::splat(set.value[k])));
        return hits;
    };
    if (end - p > detail::kInlineSetRange) {
        if (const uint64_t hits = hits_at(p)) return p + __builtin_ctzll(hits);
        return detail::find_in_set_kernel(p + w, end, floor, set);
    }
    if (end - p >= w) {
        for (; end - p > w; p += w)
            if (const uint64_t hits = hits_at(p)) return p + __builtin_ctzll(hits);
        // The register that ends at `end`; its bytes before `p` were tested.
        const char* last = end - w;
        const uint64_t hits = hits_at(last) >> (p - last);
        return hits != 0 ? p + __builtin_ctzll(hits) : end;
    }
    if (p == end) return end;
    if (end - floor >= w) {
        // One register that ends at `end`; its bytes before `p` are dropped.
        const char* last = end - w;
        const uint64_t hits = hits_at(last) >> (p - last);
        return hits != 0 ? p + __builtin_ctzll(hits) : end;
    }
    // A string shorter than a register: one register of a zero-padded copy,
    // the padding's lanes dropped.
    alignas(16) char block[w] = {};
    const auto n = static_cast<size_t>(end - p);
    if (n >= w) __builtin_unreachable();  // tells the compiler the copy fits
    copy_short(block, p, n);
    const uint64_t hits = hits_at(block) & ((uint64_t{1} << n) - 1);
    return hits != 0 ? p + __builtin_ctzll(hits) : end;
}

// First byte equal to any of set[0..8) in [begin, end), or `end`. Repeat a
// byte to search for fewer than eight.
const char* find_any8(const char* begin, const char* end, const char* set) noexcept;

// Number of bytes equal to `c` in [begin, end).
inline size_t count_byte(const char* begin, const char* end, char c) noexcept {
    if (end - begin >= detail::kShortCount) return detail::count_byte_kernel(begin, end, c);
    const uint64_t pattern = swar::splat(static_cast<unsigned char>(c));
    size_t count = 0;
    for (; end - begin >= 8; begin += 8) count += swar::count_lanes(swar::equal_bytes(swar::load_word(begin), pattern));
    for (; begin != end; ++begin) count += *begin == c;
    return count;
}

// Whether [data, data + len) is well-formed UTF-8 (no overlong forms, no
// surrogates, nothing above U+10FFFF).
bool is_valid_utf8(const char* data, size_t len) noexcept;

}  // namespace arbolite::simd
