// The walk of the XML writer over any tree, into any of the sinks: the
// templates behind the entry points declared in serializer.hpp. Included at
// the end of that header.
#pragma once

#include <algorithm>
#include <optional>
#include <string_view>
#include <vector>

#include "common/interrupt.hpp"
#include "simd/search.hpp"
#include "simd/stream_copy.hpp"
#include "simd/utf8_decode.hpp"
#include "write/escape.hpp"
#include "write/escape_measure.hpp"
#include "write/names.hpp"

namespace arbolite::write {
namespace detail {

// ---------------------------------------------------------------------------
// Escaping
// ---------------------------------------------------------------------------

// Writes `s` with the special bytes replaced; each run between them goes to
// the sink in one piece.
template <Escape mode, class Sink>
bool write_escaped_pieces(Sink& sink, std::string_view s) {
    const char* p = s.data();
    const char* const end = p + s.size();
    const char* const floor = p;
    for (;;) {
        const char* q = find_special<mode>(p, end, floor);
        if (q != p && !sink.write(p, static_cast<size_t>(q - p))) return false;
        if (q == end) return true;
        const Replacement& r = replacement_of<mode>(*q);
        if (!sink.write(r.bytes, r.size)) return false;
        p = q + 1;
    }
}

template <Escape mode, class Sink>
bool write_escaped(Sink& sink, std::string_view s) {
    return write_escaped_pieces<mode>(sink, s);
}

// Texts and values at least this long are measured whole, and whether they
// need escaping at all is noted for the walk that writes them (PlainTexts).
inline constexpr size_t long_text = 64;

// Reads the notes of a measuring walk back in the same order.
class PlainCursor {
public:
    explicit PlainCursor(const PlainTexts* plain) : plain_(plain) {}
    // Whether the next long text or value needs no escaping (false without
    // notes, or past their end).
    bool next() { return plain_ != nullptr && at_ < plain_->size() && (*plain_)[at_++]; }

private:
    const PlainTexts* plain_;
    size_t at_ = 0;
};

// ---------------------------------------------------------------------------
// The walk
// ---------------------------------------------------------------------------

// Counts what a walk writes instead of keeping it: bytes (saturating at
// SIZE_MAX), and of the pieces that are not ASCII, their continuation bytes,
// the widest code units they need and whether they are valid UTF-8. Every
// piece is whole code points (what lies between them is ASCII), so the
// pieces together are valid exactly when each of them is.
class CountingSink {
public:
    // With `plain`, notes for each long text or value whether it needs no
    // escaping.
    explicit CountingSink(PlainTexts* plain = nullptr)
        : plain_(plain),
          text_kernel_(escaped_measure_kernel(Escape::Text)),
          attr_kernel_(escaped_measure_kernel(Escape::Attr)) {}

    bool write(const char* data, size_t size) {
        add(size);
        if (size >= long_piece) {
            measure_piece(data, size);
            return true;
        }
        uint64_t high = 0;
        const char* p = data;
        for (size_t n = size; n >= 8; p += 8, n -= 8) {
            uint64_t word;
            __builtin_memcpy(&word, p, 8);
            high |= word;
        }
        for (; p != data + size; ++p) high |= static_cast<unsigned char>(*p);
        if (high & 0x8080808080808080ull) [[unlikely]]
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

    // A long text or value, escaped: measured in one pass where there is a
    // kernel for it, else piece by piece.
    template <Escape mode>
    bool write_escaped_long(std::string_view s) {
        bool plain;
        if (const EscapedMeasureFn kernel = mode == Escape::Text ? text_kernel_ : attr_kernel_) {
            const EscapedMeasure m = kernel(s.data(), s.size());
            add(m.bytes);
            plain = m.bytes == s.size();
            if (m.largest >= 0x80) {
                continuation_ += m.continuation;
                units_ = std::max(units_, simd::units_for_largest_byte(m.largest));
                if (valid_ && !simd::is_valid_utf8(s.data(), s.size())) valid_ = false;
            }
        } else {
            const char* const end = s.data() + s.size();
            plain = find_special<mode>(s.data(), end, s.data()) == end;
            write_escaped_pieces<mode>(*this, s);
        }
        if (plain_ != nullptr) plain_->push_back(plain);
        return true;
    }

private:
    // Pieces this long are measured without looking for non-ASCII bytes
    // first.
    static constexpr size_t long_piece = 64;

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
    EscapedMeasureFn text_kernel_;
    EscapedMeasureFn attr_kernel_;
    size_t size_ = 0;
    size_t continuation_ = 0;
    simd::CodeUnits units_ = simd::CodeUnits::Ascii;
    bool valid_ = true;
};

template <Escape mode>
bool write_escaped(CountingSink& sink, std::string_view s) {
    if (s.size() >= long_text) return sink.write_escaped_long<mode>(s);
    return write_escaped_pieces<mode>(sink, s);
}

// Counts a lower bound of what a walk writes (see measure_tree_floor): the
// escaped strings count as their raw size, and no byte of them is read.
class FloorSink {
public:
    bool write(const char*, size_t size) {
        add(size);
        return true;
    }
    bool write(std::string_view s) { return write(s.data(), s.size()); }
    bool write_byte(char) { return write(nullptr, 1); }
    bool write_blanks(size_t count) { return write(nullptr, count); }
    bool write_line_start(size_t count) { return write(nullptr, 1) && write(nullptr, count); }

    size_t size() const { return size_; }

private:
    void add(size_t n) {
        if (__builtin_add_overflow(size_, n, &size_)) size_ = SIZE_MAX;
    }
    size_t size_ = 0;
};

template <Escape mode>
bool write_escaped(FloorSink& sink, std::string_view s) {
    return sink.write(s.data(), s.size());
}

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
    if (s.size() >= long_text && sink.next_is_plain()) return sink.write(s);
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
        : out_(out), left_(units), staged_(stage != nullptr && stage_units >= min_stage), stage_(stage),
          plain_(plain) {
        at_ = staged_ ? stage : out;
        window_end_ = staged_ ? stage + stage_units : out + units;
    }

    // The measuring walk's note on the next long text or value.
    bool next_is_plain() { return plain_.next(); }

    bool write(const char* data, size_t size) {
        if (size <= short_piece && size <= room()) {
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
    static constexpr size_t short_piece = 16;
    // Smaller staging buffers are not worth their copies.
    static constexpr size_t min_stage = 1024;

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
    if (s.size() >= long_text && sink.next_is_plain()) return sink.write(s);
    return write_escaped_pieces<mode>(sink, s);
}

inline WriteError sink_error(const MemorySink&) { return WriteError::indent_overflow(); }
inline WriteError sink_error(const CountingSink&) { return WriteError::indent_overflow(); }
inline WriteError sink_error(const FloorSink&) { return WriteError::indent_overflow(); }
inline WriteError sink_error(const BufferSink&) { return WriteError::indent_overflow(); }
template <class Unit>
WriteError sink_error(const UnitSink<Unit>&) {
    return WriteError::indent_overflow();
}
inline WriteError sink_error(const FileSink& sink) { return WriteError::from_os(sink.error()); }

// Writes a tree with an explicit stack of open elements. `Tree` gives access
// to the elements through handles:
//
//   handle root() const;  bool empty() const;
//   std::string_view name(handle) const;
//   const AttrMap& attrs(handle) const;
//   std::optional<std::string_view> text(handle) const;
//   size_t first_child(handle) const;        a cursor over the children,
//   bool past_children(handle, size_t) const; which ends here,
//   handle child(handle, size_t) const;       gives the child it stands at,
//   size_t next_child(handle, size_t) const;  and moves on.
//
// With an active interrupt hook the walk polls it about every poll interval
// of output, judged from the blanks, names, attributes and texts it hands
// to the sink.
template <class Sink, class Tree>
class Walker {
public:
    using handle = typename Tree::handle;

    Walker(Sink& sink, const Tree& tree, size_t indent, const InterruptHook& interrupt = {})
        : sink_(sink), tree_(tree), indent_(indent), polls_(interrupt) {}

    Status<WriteError> run() {
        if (!walk()) {
            if (refused_) return fail(*refused_);
            return fail(sink_error(sink_));
        }
        return Ok{};
    }

private:
    // An element whose end tag is still to come, and its next child.
    struct Open {
        handle element;
        size_t next;
    };

    // Ends the walk with an error of the walk's own (not the sink's).
    bool refuse(WriteError error) {
        refused_ = error;
        return false;
    }

    // Line feed and indent x depth blanks. The product is checked before
    // anything is written, so an overflow writes nothing.
    bool line_break(size_t depth) {
        size_t blanks;
        if (__builtin_mul_overflow(indent_, depth, &blanks)) return refuse(WriteError::indent_overflow());
        output_ += blanks;
        return sink_.write_line_start(blanks);
    }

    // Writes the element's start tag and text; an element with neither text
    // nor children is closed at once, any other is left open on the stack.
    // A name is checked before it is written; the end tag repeats the
    // checked name.
    bool start_element(handle e, std::vector<Open>& open) {
        if (pending_break_ && !line_break(open.size())) return false;
        pending_break_ = true;
        const std::string_view name = tree_.name(e);
        if (!is_writable_element_name(name)) return refuse(WriteError::invalid_element_name(name));
        output_ += element_overhead + name.size();
        if (!sink_.write_byte('<') || !sink_.write(name)) return false;
        for (const auto& attr : tree_.attrs(e)) {
            if (!is_writable_attribute_name(attr.name)) return refuse(WriteError::invalid_attribute_name(attr.name));
            output_ += attr.name.size() + attr.value.size();
            if (!sink_.write_byte(' ') || !sink_.write(attr.name) || !sink_.write("=\"", 2) ||
                !write_escaped<Escape::Attr>(sink_, attr.value) || !sink_.write_byte('"'))
                return false;
        }
        const size_t first = tree_.first_child(e);
        const std::optional<std::string_view> text = tree_.text(e);
        if (tree_.past_children(e, first) && !text) return sink_.write("/>", 2);
        if (!sink_.write_byte('>')) return false;
        if (text) {
            output_ += text->size();
            if (!write_escaped<Escape::Text>(sink_, *text)) return false;
            pending_break_ = false;
        }
        open.push_back({e, first});
        return true;
    }

    bool end_tag(handle e, size_t depth) {
        if (pending_break_ && !line_break(depth)) return false;
        pending_break_ = true;
        const std::string_view name = tree_.name(e);
        output_ += name.size();
        return sink_.write("</", 2) && sink_.write(name) && sink_.write_byte('>');
    }

    // Pre-order: `open` holds the elements whose end tag is still to come;
    // its size is the current depth.
    bool walk() {
        if (tree_.empty()) return true;
        std::vector<Open> open;
        if (!start_element(tree_.root(), open)) return false;
        while (!open.empty()) {
            if (polls_.due(output_) && polls_.stop(output_)) [[unlikely]]
                return interrupt();
            Open& top = open.back();
            if (tree_.past_children(top.element, top.next)) {
                const handle done = top.element;
                open.pop_back();
                if (!end_tag(done, open.size())) return false;
                continue;
            }
            const handle child = tree_.child(top.element, top.next);
            top.next = tree_.next_child(top.element, top.next);
            if (!start_element(child, open)) return false;  // `top` is not used after this
        }
        return true;
    }

    [[gnu::cold, gnu::noinline]] bool interrupt() { return refuse(WriteError::interrupted()); }

    // What an element adds to the output besides its name, attributes, text
    // and indentation, roughly; counted so that a walk over small elements
    // polls too.
    static constexpr uint64_t element_overhead = 16;

    Sink& sink_;
    const Tree& tree_;
    size_t indent_;
    bool pending_break_ = false;
    std::optional<WriteError> refused_;
    PollCounter polls_;
    uint64_t output_ = 0;  // output so far, as judged for polling
};

}  // namespace detail

template <class Tree>
Result<MemorySink, WriteError> write_tree_to_memory(const Tree& tree, size_t indent, bool declaration,
                                                   const InterruptHook& interrupt) {
    MemorySink sink;
    if (declaration) {
        sink.reserve(xml_declaration.size());
        sink.write(xml_declaration);
    }
    ARBOLITE_TRY((detail::Walker<MemorySink, Tree>(sink, tree, indent, interrupt).run()));
    return sink;
}

template <class Tree>
Result<OutputMeasure, WriteError> measure_tree(const Tree& tree, size_t indent, bool declaration,
                                               const InterruptHook& interrupt, PlainTexts* plain) {
    detail::CountingSink sink(plain);
    if (declaration) sink.write(xml_declaration);
    ARBOLITE_TRY((detail::Walker<detail::CountingSink, Tree>(sink, tree, indent, interrupt).run()));
    return sink.measure();
}

template <class Tree>
bool write_tree_to_buffer(const Tree& tree, size_t indent, bool declaration, char* out, size_t size,
                          const InterruptHook& interrupt, const PlainTexts* plain) {
    detail::BufferSink sink(out, size, plain);
    if (declaration && !sink.write(xml_declaration)) return false;
    return detail::Walker<detail::BufferSink, Tree>(sink, tree, indent, interrupt).run().ok() && sink.full();
}

template <class Tree, class Unit>
bool write_tree_to_units(const Tree& tree, size_t indent, bool declaration, Unit* out, size_t code_points,
                         const InterruptHook& interrupt, const PlainTexts* plain) {
    // Outputs beyond the caches go out through a staging buffer.
    constexpr size_t streamed_output = size_t{4} << 20;
    constexpr size_t stage_units = 8192 / sizeof(Unit);
    alignas(64) Unit stage[stage_units];
    const bool streamed = code_points >= streamed_output / sizeof(Unit);
    detail::UnitSink<Unit> sink(out, code_points, streamed ? stage : nullptr, stage_units, plain);
    if (declaration && !sink.write(xml_declaration)) return false;
    if (!detail::Walker<detail::UnitSink<Unit>, Tree>(sink, tree, indent, interrupt).run().ok()) return false;
    sink.finish();
    return sink.full();
}

template <class Tree>
Result<size_t, WriteError> measure_tree_floor(const Tree& tree, size_t indent, bool declaration,
                                              const InterruptHook& interrupt) {
    detail::FloorSink sink;
    if (declaration) sink.write(xml_declaration);
    ARBOLITE_TRY((detail::Walker<detail::FloorSink, Tree>(sink, tree, indent, interrupt).run()));
    return sink.size();
}

// Every check that can fail runs before the file is opened: the measuring
// walk finds what the walk itself would refuse, so once the file is
// truncated only the writes and the close can fail (or a signal stop them).
template <class Tree>
Status<WriteError> write_tree_to_file(const Tree& tree, std::string_view path, size_t indent, bool declaration,
                                      const InterruptHook& interrupt) {
    if (path.find('\0') != std::string_view::npos) return fail(WriteError::from_os(OsError{OsError::Kind::NulInPath}));
    ARBOLITE_TRY_ASSIGN(const size_t floor, measure_tree_floor(tree, indent, declaration, interrupt));
    if (auto room = check_room_for(path, floor); !room) return fail(WriteError::from_os(room.error()));
    auto fd = open_for_writing(path, interrupt);
    if (!fd) return fail(WriteError::from_os(fd.error()));
    FileSink sink(fd.value(), declaration, interrupt);  // closes the descriptor on every path
    Status<WriteError> walked = detail::Walker<FileSink, Tree>(sink, tree, indent, interrupt).run();
    if (!walked.ok()) {
        // A stopped walk leaves the file as it is: the buffer is not flushed.
        if (walked.error().is_interrupted()) sink.discard();
        return walked;
    }
    if (!sink.finish()) return fail(WriteError::from_os(sink.error()));
    return Ok{};
}

}  // namespace arbolite::write
