// The byte tally (byte_tally.hpp), written once over the operations of
// vector_ops.hpp and instantiated by each kernel source for its instruction
// set. Each register is compared with every tallied byte and the match lanes
// subtracted into per-byte counters, one counter register per tallied byte;
// the continuation bytes are counted the same way and the largest byte kept
// by an unsigned maximum. The counters are summed before they can wrap.
// Nothing reads outside [data, data + size).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "simd/byte_tally.hpp"
#include "simd/vector_ops.hpp"

namespace arbolite::simd {
namespace {

// 32 bytes 0 then 32 bytes 0xFF: a register loaded from it at 32 - width +
// r has the last r lanes set.
alignas(64) constexpr unsigned char kTailLanes[64] = {
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Adds the tally of [p, end) to `t`, `N` tallied bytes. The last partial
// register is one more load that ends at `end`, its lanes already counted
// masked off (the maximum needs no mask); a range shorter than a register
// goes to the next narrower ops, or byte by byte.
template <class Ops, unsigned N>
void tally_range(const char* p, const char* end, const TalliedBytes& bytes, ByteTally& t) noexcept {
    using Vec = typename Ops::vec;
    constexpr size_t w = Ops::width;
    if (static_cast<size_t>(end - p) >= w) {
        // (Plain arrays: a std::array of vector registers drops their
        // alignment attributes; one unused element where N is 0.)
        Vec needles[N > 0 ? N : 1];
        for (unsigned k = 0; k < N; ++k) needles[k] = Ops::splat(bytes.bytes[k]);
        Vec top = Ops::zero();
        Vec counts[N > 0 ? N : 1];
        Vec continuation;
        // Counts the lanes of `v` set in `lanes` (the word and the vector
        // types all have the & operator).
        auto add_register = [&](Vec v, Vec lanes) {
            top = Ops::max_bytes(top, v);
            continuation = Ops::add_match(continuation, lanes & Ops::continuation_lanes(v));
            for (unsigned k = 0; k < N; ++k) counts[k] = Ops::add_match(counts[k], lanes & Ops::eq(v, needles[k]));
        };
        for (;;) {
            // A counter lane grows by one a round: 255 rounds fit (the
            // last partial register included).
            const size_t rounds = std::min<size_t>(static_cast<size_t>(end - p) / w, 254);
            for (unsigned k = 0; k < N; ++k) counts[k] = Ops::zero();
            continuation = Ops::zero();
            // Two rounds a step: the second writes straight into the
            // counters, which saves register copies at each step.
#pragma GCC unroll 2
            for (size_t round = 0; round < rounds; ++round, p += w) {
                const Vec v = Ops::load(p);
                top = Ops::max_bytes(top, v);
                continuation = Ops::add_match(continuation, Ops::continuation_lanes(v));
                for (unsigned k = 0; k < N; ++k) counts[k] = Ops::add_match(counts[k], Ops::eq(v, needles[k]));
            }
            const size_t rest = static_cast<size_t>(end - p);
            const bool last = rest < w;
            if (last && rest != 0) {
                add_register(Ops::load(end - w),
                             Ops::load(reinterpret_cast<const char*>(kTailLanes) + 32 - w + rest));
                p = end;
            }
            for (unsigned k = 0; k < N; ++k) t.counts[k] += Ops::sum_counts(counts[k]);
            t.continuation += Ops::sum_counts(continuation);
            if (last) break;
        }
        t.largest = std::max(t.largest, Ops::largest_byte(top));
        return;
    }
    if constexpr (!std::is_void_v<typename Ops::narrower>) {
        tally_range<typename Ops::narrower, N>(p, end, bytes, t);
    } else {
        for (; p != end; ++p) {
            const auto c = static_cast<unsigned char>(*p);
            for (unsigned k = 0; k < N; ++k) t.counts[k] += *p == bytes.bytes[k];
            t.continuation += (c & 0xC0) == 0x80;
            t.largest = std::max(t.largest, c);
        }
    }
}

template <class Ops>
ByteTally tally_bytes_kernel(const char* data, size_t size, const TalliedBytes& bytes) noexcept {
    ByteTally t;
    const char* const end = data + size;
    switch (bytes.count) {
        case 0: tally_range<Ops, 0>(data, end, bytes, t); break;
        case 1: tally_range<Ops, 1>(data, end, bytes, t); break;
        case 2: tally_range<Ops, 2>(data, end, bytes, t); break;
        case 3: tally_range<Ops, 3>(data, end, bytes, t); break;
        case 4: tally_range<Ops, 4>(data, end, bytes, t); break;
        case 5: tally_range<Ops, 5>(data, end, bytes, t); break;
        case 6: tally_range<Ops, 6>(data, end, bytes, t); break;
        case 7: tally_range<Ops, 7>(data, end, bytes, t); break;
        default: tally_range<Ops, 8>(data, end, bytes, t); break;
    }
    return t;
}

}  // namespace
}  // namespace arbolite::simd
