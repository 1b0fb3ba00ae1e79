// The marking pass of the quote-aware index builder: bitmaps of the '<' and
// '>' bytes of a document that lie outside quoted attribute values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "simd/kernels.hpp"

namespace arbolite::index {

// Number of 64-bit words of a bitmap with one bit per byte of `n` bytes.
inline size_t bitmap_words(size_t n) { return (n + 63) / 64; }

// Fills lt[0..bitmap_words(n)) and gt[...] (bit i of word w stands for byte
// 64w + i) with the '<' and '>' of d[0..n) that are not inside a quoted run.
// A quote opens a run only in the attribute part of an open or self-closing
// tag (after the element name, before the tag's '>'); the run ends at the
// next quote of the same kind. A quote that no quote of its kind follows
// hides only the byte after it, where the tag's scan resumes. In text,
// close tags, comments, CDATA sections, processing instructions and
// declarations quotes are ordinary bytes (within a document type
// declaration they delimit literals, which the declaration's end skips, but
// that declaration is passed over whole all the same).
//
// 64-byte blocks are classified with vector compares; the markup around a
// quote is looked at only in blocks that hold quotes.
//
// Returns the bytes hidden by unmatched quotes (at most one per kind of
// quote, since no quote of that kind follows): a '/' there does not make its
// tag self-closing.
struct HiddenBytes {
    size_t at[2] = {SIZE_MAX, SIZE_MAX};
    bool contains(size_t pos) const { return pos == at[0] || pos == at[1]; }
};
HiddenBytes mark_markup(const simd::KernelTable& kernels, const char* d, size_t n, uint64_t* lt, uint64_t* gt) noexcept;

// First set bit at or after `from` and before `limit`, or `limit`.
inline size_t next_marked(const uint64_t* bitmap, size_t from, size_t limit) noexcept {
    if (from >= limit) return limit;
    size_t w = from / 64;
    uint64_t bits = bitmap[w] & (~uint64_t{0} << (from % 64));
    const size_t last = (limit - 1) / 64;
    for (;;) {
        if (bits) {
            const size_t at = w * 64 + static_cast<size_t>(__builtin_ctzll(bits));
            return at < limit ? at : limit;
        }
        if (w == last) return limit;
        bits = bitmap[++w];
    }
}

}  // namespace arbolite::index
