// The sinks of the measuring walks, which count what a walk would write
// instead of keeping it: the exact measure of an output (its size, and what
// decoding it needs), and the bounds of its size that write_file checks for
// room before it measures exactly.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "simd/search.hpp"
#include "simd/swar.hpp"
#include "simd/utf8_decode.hpp"
#include "write/escape.hpp"
#include "write/escape_measure.hpp"
#include "write/escaped_text.hpp"

namespace arbolite::write {

// What a walk would write: the exact number of bytes, and whether all of
// them are ASCII; decoded, the number of code points, the narrowest code
// units that hold them all, and whether the bytes are valid UTF-8 at all
// (they always are when every name, value and text is). A size beyond
// SIZE_MAX is reported as SIZE_MAX (no buffer can hold it).
struct OutputMeasure {
    size_t size;
    bool ascii;
    size_t code_points = 0;
    simd::CodeUnits units = simd::CodeUnits::Ascii;
    bool valid_utf8 = true;
};

// The least and the most bytes a walk writes, as known without reading its
// texts and attribute values: escaping leaves a string as it is at least and
// writes kMostEscapedBytes for each of its bytes at most. Each saturates at
// SIZE_MAX.
struct OutputBounds {
    size_t least;
    size_t most;
};

namespace detail {

// Counts what a walk writes instead of keeping it: bytes (saturating at
// SIZE_MAX), and of the pieces that are not ASCII, their continuation bytes,
// the widest code units they need and whether they are valid UTF-8. Every
// piece is whole code points (what lies between them is ASCII), so the
// pieces together are valid exactly when each of them is.
class CountingSink {
public:
    // With `plain`, notes for each long text or value whether it needs no
    // escaping.
    explicit CountingSink(PlainTexts* plain = nullptr) : plain_(plain) {}

    bool write(const char* data, size_t size) {
        add(size);
        if (size >= kLongPiece) {
            measure_piece(data, size);
            return true;
        }
        if (!simd::swar::all_ascii(data, size)) [[unlikely]]
            measure_piece(data, size);
        return true;
    }
    bool write(std::string_view s) { return write(s.data(), s.size()); }
    bool write_byte(char c) { return write(&c, 1); }
    bool write_blanks(size_t count) {
        add(count);
        return true;
    }
    bool write_line_start(size_t count) {
        add(1);
        return write_blanks(count);
    }

    OutputMeasure measure() const {
        return {size_, units_ == simd::CodeUnits::Ascii, size_ - continuation_, units_, valid_};
    }

    // A long text or value, escaped: measured in one pass.
    template <Escape mode>
    bool write_escaped_long(std::string_view s) {
        const EscapedMeasure m = escaped_measure<mode>(kernels_, s.data(), s.size());
        add(m.bytes);
        if (m.largest >= 0x80) {
            continuation_ += m.continuation;
            units_ = std::max(units_, simd::units_for_largest_byte(m.largest));
            if (valid_ && !simd::is_valid_utf8(s.data(), s.size())) valid_ = false;
        }
        const bool plain = m.bytes == s.size();
        if (plain_ != nullptr) plain_->push_back(plain);
        return true;
    }

private:
    // Pieces this long are measured without looking for non-ASCII bytes
    // first.
    static constexpr size_t kLongPiece = 64;

    void add(size_t n) {
        if (__builtin_add_overflow(size_, n, &size_)) size_ = SIZE_MAX;
    }
    void measure_piece(const char* data, size_t size) {
        const simd::Utf8Measure m = simd::measure_utf8(data, size);
        if (m.units == simd::CodeUnits::Ascii) return;
        continuation_ += size - m.code_points;
        units_ = std::max(units_, m.units);
        if (valid_ && !simd::is_valid_utf8(data, size)) valid_ = false;
    }

    PlainTexts* plain_;
    const simd::KernelTable& kernels_ = simd::active_kernels();
    size_t size_ = 0;
    size_t continuation_ = 0;
    simd::CodeUnits units_ = simd::CodeUnits::Ascii;
    bool valid_ = true;
};

template <Escape mode>
bool write_escaped(CountingSink& sink, std::string_view s) {
    if (s.size() >= kLongText) return sink.write_escaped_long<mode>(s);
    return write_escaped_pieces<mode>(sink, s);
}

// Counts the bounds of what a walk writes (see measure_tree_bounds): every
// piece at its size, and the escaped strings apart, at their raw size; no
// byte of those is read.
class BoundsSink {
public:
    bool write(const char*, size_t size) {
        add(fixed_, size);
        return true;
    }
    bool write(std::string_view s) { return write(s.data(), s.size()); }
    bool write_byte(char) { return write(nullptr, 1); }
    bool write_blanks(size_t count) { return write(nullptr, count); }
    bool write_line_start(size_t count) { return write(nullptr, 1) && write(nullptr, count); }
    void add_escaped(size_t raw_size) { add(escaped_, raw_size); }

    OutputBounds bounds() const {
        size_t escaped_most;
        if (__builtin_mul_overflow(escaped_, kMostEscapedBytes, &escaped_most)) escaped_most = SIZE_MAX;
        return {sum(fixed_, escaped_), sum(fixed_, escaped_most)};
    }

private:
    static size_t sum(size_t a, size_t b) {
        size_t total;
        return __builtin_add_overflow(a, b, &total) ? SIZE_MAX : total;
    }
    static void add(size_t& total, size_t n) { total = sum(total, n); }
    size_t fixed_ = 0;
    size_t escaped_ = 0;
};

template <Escape mode>
bool write_escaped(BoundsSink& sink, std::string_view s) {
    sink.add_escaped(s.size());
    return true;
}

}  // namespace detail
}  // namespace arbolite::write
