// The byte-level rules of markup shared by the index builders and the
// quote-aware marking pass: where names end, and where comments, CDATA
// sections, processing instructions and document type declarations end.
// Included only by sources built for the baseline instruction set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/byte_class.hpp"
#include "simd/generic.hpp"
#include "simd/kernels.hpp"

namespace arbolite::index::markup {
namespace {

// The bytes that end a name, as classes and as a set of eight for find_any8.
struct NameStops {
    byte_class::Entry classes;
    char set[8];
};

inline constexpr NameStops kElementNameStops{byte_class::kElementNameStop,
                                             {'\t', '\n', '\f', '\r', ' ', '/', '>', '>'}};
inline constexpr NameStops kPiTargetStops{byte_class::kPiTargetStop, {'\t', '\n', '\f', '\r', ' ', '>', '?', '?'}};
inline constexpr NameStops kSpaceStops{byte_class::kTagSpace, {'\t', '\n', '\f', '\r', ' ', ' ', ' ', ' '}};

// Names are tested inline with the baseline instruction set's register.
using NameOps = simd::BaselineOps;

// Finds where names end. Names are short: the first register's worth is
// tested at once, and only a longer name goes on to the kernel's search.
class NameScanner {
public:
    NameScanner(const simd::KernelTable& k, const NameStops& stops) : k_(k), stops_(stops), match_(stops.set) {}

    // Offset of the first byte in [from, limit) that ends a name, or `limit`.
    size_t operator()(const char* d, size_t from, size_t limit) const {
        constexpr size_t w = NameOps::width;
        if (limit - from < w) {
            for (size_t i = from; i < limit; ++i)
                if (byte_class::is_any(d[i], stops_.classes)) return i;
            return limit;
        }
        const uint64_t bits = NameOps::bits(match_(NameOps::load(d + from)));
        if (bits) return from + static_cast<size_t>(__builtin_ctzll(bits));
        return static_cast<size_t>(k_.find_any8(d + from + w, d + limit, stops_.set) - d);
    }

private:
    const simd::KernelTable& k_;
    const NameStops& stops_;
    simd::MatchAny8<NameOps> match_;
};

inline bool starts_comment(const char* d, size_t s, size_t n) {
    return s + 3 < n && d[s + 1] == '!' && d[s + 2] == '-' && d[s + 3] == '-';
}

inline bool starts_cdata(const char* d, size_t s, size_t n) {
    return s + 8 < n && std::memcmp(d + s + 1, "![CDATA[", 8) == 0;
}

inline bool starts_doctype(const char* d, size_t s, size_t n) {
    return s + 8 < n && std::memcmp(d + s + 1, "!DOCTYPE", 8) == 0;
}

// The searches below take `next_gt(from)`: the first '>' at or after `from`,
// or n when there is none (also when from >= n).

// The '>' of the first "xx>" (x twice, then '>') whose first x is at or
// after `from`, or n when there is none.
template <class NextGt>
inline size_t find_double_close(NextGt&& next_gt, const char* d, size_t from, size_t n, char x) {
    for (size_t g = next_gt(from + 2); g < n; g = next_gt(g + 1))
        if (d[g - 1] == x && d[g - 2] == x) return g;
    return n;
}

// The '>' of the first "?>" whose '?' is at or after `from`, or n.
template <class NextGt>
inline size_t find_pi_close(NextGt&& next_gt, const char* d, size_t from, size_t n) {
    for (size_t g = next_gt(from + 1); g < n; g = next_gt(g + 1))
        if (d[g - 1] == '?') return g;
    return n;
}

// The end of the processing instruction whose target ends at `target_end`:
// the '>' of its "?>", the last byte of the document when there is none, or
// the target's end when the target reaches the last byte (n when it runs to
// the very end).
template <class NextGt>
inline size_t pi_end(NextGt&& next_gt, const char* d, size_t target_end, size_t n) {
    if (target_end + 1 >= n) return target_end;
    const size_t g = find_pi_close(next_gt, d, target_end, n);
    return g == n ? n - 1 : g;
}

// next_gt over the raw bytes, with a byte search.
struct ByteSearchGt {
    const simd::KernelTable& k;
    const char* d;
    size_t n;
    size_t operator()(size_t from) const {
        return from >= n ? n : static_cast<size_t>(k.find_byte(d + from, d + n, '>') - d);
    }
};

// The '>' that ends the document type declaration whose "<!DOCTYPE" starts
// at `s`, or n when it does not end. The declaration ends at the first '>'
// outside its internal subset (the part in square brackets) and outside
// quoted literals of either kind; comments and processing instructions in
// the subset are passed over whole, so that no quote, bracket or '>' inside
// them counts. Declarations nested in the subset need nothing of their own:
// their literals are quoted, and a '>' within the brackets ends nothing. A
// '<' outside the subset and outside literals means that the declaration's
// '>' is missing. Out of line: few documents have one, and never more than
// once, so it stays out of the scanning loops.
[[gnu::cold, gnu::noinline]] inline size_t doctype_end(const simd::KernelTable& k, const char* d, size_t s, size_t n) {
    static constexpr char stops[8] = {'"', '\'', '[', ']', '<', '>', '>', '>'};
    const ByteSearchGt next_gt{k, d, n};
    size_t depth = 0;  // brackets open
    size_t i = s + 9;
    for (;;) {
        const size_t x = static_cast<size_t>(k.find_any8(d + i, d + n, stops) - d);
        if (x == n) return n;
        switch (d[x]) {
            case '>':
                if (depth == 0) return x;
                i = x + 1;
                break;
            case '[':
                ++depth;
                i = x + 1;
                break;
            case ']':
                if (depth != 0) --depth;
                i = x + 1;
                break;
            case '"':
            case '\'': {
                const size_t close = static_cast<size_t>(k.find_byte(d + x + 1, d + n, d[x]) - d);
                if (close == n) return n;
                i = close + 1;
                break;
            }
            default: {  // '<'
                // Outside the subset markup has no place: the declaration
                // lacks its '>'.
                if (depth == 0) return n;
                size_t end = x;
                if (starts_comment(d, x, n))
                    end = find_double_close(next_gt, d, x + 4, n, '-');
                else if (x + 1 < n && d[x + 1] == '?')
                    end = find_pi_close(next_gt, d, x + 2, n);
                if (end == n) return n;
                i = end + 1;
                break;
            }
        }
    }
}

}  // namespace
}  // namespace arbolite::index::markup
