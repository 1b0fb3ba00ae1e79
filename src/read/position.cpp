#include "read/position.hpp"

#include "simd/search.hpp"
#include "simd/swar.hpp"

namespace arbolite::read {
namespace {

// Word-at-a-time tests: lane masks of eight bytes at a time.
using simd::swar::continuation_bytes;
using simd::swar::count_lanes;
using simd::swar::equal_bytes;
using simd::swar::load_word;
using simd::swar::splat;

inline bool is_continuation(char c) noexcept { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Carriage returns in [begin, end) of d (n bytes) that no line feed follows;
// the byte after `end - 1` may lie at or beyond `end` (it is read when it
// is inside the document).
uint64_t lone_returns(const char* d, size_t n, size_t begin, size_t end) noexcept {
    uint64_t count = 0;
    size_t i = begin;
    // Lane k of `here` is byte i + k, lane k of `next` byte i + k + 1.
    for (; i + 8 <= end && i + 9 <= n; i += 8) {
        const uint64_t here = load_word(d + i);
        const uint64_t next = load_word(d + i + 1);
        const uint64_t lone = equal_bytes(here, splat('\r')) & ~equal_bytes(next, splat('\n'));
        count += static_cast<uint64_t>(count_lanes(lone));
    }
    for (; i < end; ++i)
        if (d[i] == '\r' && (i + 1 == n || d[i + 1] != '\n')) ++count;
    return count;
}

// Where the line holding the byte at `offset` starts: just after the last
// line end before `offset`, or 0. A carriage return just before `offset`
// whose line feed is the byte at `offset` ends no line before it.
size_t line_start(const char* d, size_t n, size_t offset) noexcept {
    auto ends_line = [d, n](size_t j) {
        return d[j] == '\n' || (d[j] == '\r' && (j + 1 == n || d[j + 1] != '\n'));
    };
    size_t p = offset;
    while (p >= 8) {
        const uint64_t w = load_word(d + p - 8);
        if ((equal_bytes(w, splat('\n')) | equal_bytes(w, splat('\r'))) != 0) {
            for (size_t j = p; j-- > p - 8;)
                if (ends_line(j)) return j + 1;
        }
        p -= 8;
    }
    while (p-- > 0)
        if (ends_line(p)) return p + 1;
    return 0;
}

// Characters that start in [begin, end): the bytes that are not UTF-8
// continuation bytes.
uint64_t characters(const char* begin, const char* end) noexcept {
    uint64_t continuations = 0;
    const char* p = begin;
    for (; end - p >= 8; p += 8) continuations += static_cast<uint64_t>(count_lanes(continuation_bytes(load_word(p))));
    for (; p != end; ++p) continuations += is_continuation(*p);
    return static_cast<uint64_t>(end - begin) - continuations;
}

}  // namespace

TextPosition locate(std::string_view document, uint64_t offset) noexcept {
    const char* d = document.data();
    const size_t n = document.size();
    const size_t at = offset < n ? static_cast<size_t>(offset) : n;

    uint64_t line_ends = simd::count_byte(d, d + at, '\n');
    // Most documents have no carriage return at all: one count settles it.
    if (simd::count_byte(d, d + at, '\r') != 0) line_ends += lone_returns(d, n, 0, at);

    const size_t start = line_start(d, n, at);
    uint64_t column = characters(d + start, d + at);
    // A byte inside a character belongs to that character, whose first byte
    // has been counted, and the line feed of a CRLF to its carriage return
    // (the two are one line end); any other byte starts the next column.
    const bool inside = at < n && (is_continuation(d[at]) || (d[at] == '\n' && at > start && d[at - 1] == '\r'));
    if (!inside) ++column;
    return {line_ends + 1, column};
}

std::optional<uint64_t> error_offset(const ReadError& error) noexcept {
    switch (error.kind) {
        case ReadError::Kind::IndexFailure: return error.index_error.offset;
        case ReadError::Kind::Malformed:
        case ReadError::Kind::UnknownEntity: return error.offset;
        case ReadError::Kind::RootNotFound:
        case ReadError::Kind::Unclosed:
        case ReadError::Kind::Interrupted: return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace arbolite::read
