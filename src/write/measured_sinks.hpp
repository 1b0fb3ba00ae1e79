// The sinks that write an output of a size measured beforehand: into a
// buffer of bytes, or decoded into code units (a str's storage).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string_view>

#include "common/copy.hpp"
#include "simd/stream_copy.hpp"
#include "simd/utf8_decode.hpp"
#include "write/escaped_text.hpp"

namespace arbolite::write::detail {

// Writes into a buffer of a size measured beforehand. A piece that would run
// past its end is refused, and the sink fails from then on.
class BufferSink {
public:
    BufferSink(char* out, size_t size, const PlainTexts* plain = nullptr) : at_(out), left_(size), plain_(plain) {}

    // The measuring walk's note on the next long text or value.
    bool next_is_plain() { return plain_.next(); }

    bool write(const char* data, size_t size) {
        if (size > left_) return overrun();
        copy_bytes(at_, data, size);
        at_ += size;
        left_ -= size;
        return true;
    }
    bool write(std::string_view s) { return write(s.data(), s.size()); }
    bool write_byte(char c) {
        if (left_ == 0) return overrun();
        *at_++ = c;
        --left_;
        return true;
    }
    bool write_blanks(size_t count) {
        if (count > left_) return overrun();
        std::memset(at_, ' ', count);
        at_ += count;
        left_ -= count;
        return true;
    }
    bool write_line_start(size_t count) { return write_byte('\n') && write_blanks(count); }

    bool full() const { return left_ == 0 && !overrun_; }

private:
    bool overrun() {
        overrun_ = true;
        left_ = 0;
        return false;
    }
    char* at_;
    size_t left_;
    PlainCursor plain_;
    bool overrun_ = false;
};

// A long text or value that the measuring walk found plain is copied whole,
// without searching it again.
template <Escape mode>
bool write_escaped(BufferSink& sink, std::string_view s) {
    if (s.size() >= kLongText && sink.next_is_plain()) return sink.write(s);
    return write_escaped_pieces<mode>(sink, s);
}

// Writes decoded into code units (a str's storage) of a number measured
// beforehand. A piece that would run past the end is refused, and the sink
// fails from then on.
//
// Without a staging buffer the units go straight to the output. With one
// (for outputs larger than the caches), they are gathered there, a few
// thousand at a time, and copied out past the caches: the output's lines
// are then neither read in before they are written over nor left to push
// the input out of the caches.
template <class Unit>
class UnitSink {
public:
    UnitSink(Unit* out, size_t units, Unit* stage = nullptr, size_t stage_units = 0,
             const PlainTexts* plain = nullptr)
        : out_(out), left_(units), staged_(stage != nullptr && stage_units >= kMinStage), stage_(stage),
          plain_(plain) {
        at_ = staged_ ? stage : out;
        window_end_ = staged_ ? stage + stage_units : out + units;
    }

    // The measuring walk's note on the next long text or value.
    bool next_is_plain() { return plain_.next(); }

    bool write(const char* data, size_t size) {
        if (size <= kShortPiece && size <= room()) {
            // Names, markup and short texts: ASCII is widened in place.
            unsigned char high = 0;
            for (size_t i = 0; i < size; ++i) {
                const auto c = static_cast<unsigned char>(data[i]);
                high |= c;
                at_[i] = c;
            }
            if (high < 0x80) {
                advance(size);
                return true;
            }
        }
        // A piece decodes to at most as many units as it has bytes. One that
        // may run past the end of the output is counted first; one that may
        // run past the staging buffer is decoded up to a code point that
        // fits, the buffer copied out, and the rest goes on.
        while (size > room()) {
            if (room() == left_) {
                if (simd::measure_utf8(data, size).code_points > left_) return overrun();
                break;
            }
            size_t part = room();
            while (part != 0 && (static_cast<unsigned char>(data[part]) & 0xC0) == 0x80) --part;
            advance(simd::decode_utf8(data, part, at_, part));
            data += part;
            size -= part;
            copy_out();
        }
        advance(simd::decode_utf8(data, size, at_, room()));
        return true;
    }
    bool write(std::string_view s) { return write(s.data(), s.size()); }
    bool write_byte(char c) {
        if (room() == 0 && (left_ == 0 || !copy_out())) return overrun();
        *at_ = static_cast<unsigned char>(c);
        advance(1);
        return true;
    }
    bool write_blanks(size_t count) {
        if (count > left_) return overrun();
        for (;;) {
            const size_t n = std::min(count, room());
            std::fill_n(at_, n, Unit{' '});
            advance(n);
            count -= n;
            if (count == 0) return true;
            copy_out();
        }
    }
    bool write_line_start(size_t count) { return write_byte('\n') && write_blanks(count); }

    // Copies out what is staged; the output is complete after this.
    void finish() {
        if (!staged_) return;
        copy_out();
        simd::end_streaming();
    }

    // Every unit written, none refused (after finish()).
    bool full() const { return left_ == 0 && !overrun_; }

private:
    static constexpr size_t kShortPiece = 16;
    // Smaller staging buffers are not worth their copies.
    static constexpr size_t kMinStage = 1024;

    // Units that can be written before the window (the output, or the
    // staging buffer) ends.
    size_t room() const { return std::min(static_cast<size_t>(window_end_ - at_), left_); }
    void advance(size_t n) {
        at_ += n;
        left_ -= n;
    }
    // Copies the staging buffer out; false when there is none.
    bool copy_out() {
        if (!staged_) return false;
        const auto n = static_cast<size_t>(at_ - stage_);
        simd::copy_streaming(out_, stage_, n * sizeof(Unit));
        out_ += n;
        at_ = stage_;
        return true;
    }
    bool overrun() {
        overrun_ = true;
        left_ = 0;
        return false;
    }

    Unit* out_;    // where the staging buffer goes next
    size_t left_;  // units of the output not yet written
    bool staged_;
    Unit* stage_;
    Unit* at_;
    Unit* window_end_;
    PlainCursor plain_;
    bool overrun_ = false;
};

template <Escape mode, class Unit>
bool write_escaped(UnitSink<Unit>& sink, std::string_view s) {
    if (s.size() >= kLongText && sink.next_is_plain()) return sink.write(s);
    return write_escaped_pieces<mode>(sink, s);
}

}  // namespace arbolite::write::detail
