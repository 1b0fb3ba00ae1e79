// The walk of the XML writer over any tree, into any of the sinks.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/attr_map.hpp"
#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "write/escaped_text.hpp"
#include "write/measure.hpp"
#include "write/measured_sinks.hpp"
#include "write/names.hpp"
#include "write/sinks.hpp"
#include "write/write_error.hpp"

namespace arbolite::write::detail {

// What ends a walk when a sink refuses a piece: only the file sink fails on
// its own; the others refuse only what does not fit, which the walk reports
// as the overflow that made it too large.
template <class Sink>
WriteError sink_error(const Sink&) {
    return WriteError::indent_overflow();
}
inline WriteError sink_error(const FileSink& sink) { return WriteError::from_os(sink.error()); }

// Whether a sink only counts what it is handed: a run of blanks costs it the
// same however long, so it takes one in a single piece.
template <class Sink>
inline constexpr bool kCountsOnly = false;
template <>
inline constexpr bool kCountsOnly<CountingSink> = true;
template <>
inline constexpr bool kCountsOnly<BoundsSink> = true;

// Whether a walk checks each name before it writes it, or takes the names as
// checked: a measuring walk over the same tree (trees never change) has
// checked every one of them before.
enum class Names : uint8_t { Check, Checked };

// Writes a tree with an explicit stack of open elements. `Tree` gives access
// to the elements through handles:
//
//   Handle root() const;  bool empty() const;
//   std::string_view name(Handle) const;
//   const AttrMap& attrs(Handle) const;
//   std::optional<std::string_view> text(Handle) const;
//   size_t first_child(Handle) const;        a cursor over the children,
//   bool past_children(Handle, size_t) const; which ends here,
//   Handle child(Handle, size_t) const;       gives the child it stands at,
//   size_t next_child(Handle, size_t) const;  and moves on.
//
// With an active interrupt hook the walk polls it about every poll interval
// of output, judged from the blanks, names, attributes and texts it hands
// to the sink: between elements, every so many attributes, and inside a
// long text or run of blanks, which go to the sink in pieces of about that
// size (a text's pieces end where a character ends, and the walks that
// measure and write a tree cut the same pieces). An attribute value is
// written whole.
template <class Sink, class Tree, Names names = Names::Check>
class Walker {
public:
    using Handle = typename Tree::Handle;

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
        Handle element;
        size_t next;
    };

    // Ends the walk with an error of the walk's own (not the sink's).
    bool refuse(WriteError error) {
        refused_ = error;
        return false;
    }

    static constexpr size_t kPiece = InterruptHook::kPollInterval;

    // Polls the hook when a poll is due; false when it says to stop (the
    // walk then fails as interrupted).
    [[gnu::noinline]] bool poll() {
        if (polls_.due(output_) && polls_.stop(output_)) return interrupt();
        return true;
    }

    // Line feed and indent x depth blanks. The product is checked before
    // anything is written, so an overflow writes nothing.
    bool line_break(size_t depth) {
        size_t blanks;
        if (__builtin_mul_overflow(indent_, depth, &blanks)) return refuse(WriteError::indent_overflow());
        if (!kCountsOnly<Sink> && blanks > kPiece) [[unlikely]]
            return line_break_in_pieces(blanks);
        output_ += blanks;
        return sink_.write_line_start(blanks);
    }

    // A long run of blanks, in pieces.
    [[gnu::noinline]] bool line_break_in_pieces(size_t blanks) {
        // A sink that grows is asked for the whole run first, so that a run
        // beyond its memory fails before any of it is written.
        if constexpr (requires { sink_.make_room(blanks); }) {
            sink_.make_room(blanks < SIZE_MAX ? blanks + 1 : blanks);
        }
        output_ += kPiece;
        if (!sink_.write_line_start(kPiece) || !poll()) return false;
        for (size_t left = blanks - kPiece; left != 0;) {
            const size_t piece = std::min(left, kPiece);
            output_ += piece;
            if (!sink_.write_blanks(piece) || !poll()) return false;
            left -= piece;
        }
        return true;
    }

    // A long text (counted in the output already), in pieces of about a poll
    // interval that end where a character does, with a poll after each.
    template <Escape mode>
    [[gnu::noinline]] bool escaped_in_pieces(std::string_view s) {
        while (s.size() > kPiece) {
            size_t cut = kPiece;
            for (int back = 0; back < 3 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80; ++back) --cut;
            if (!write_escaped<mode>(sink_, s.substr(0, cut))) return false;
            if (polls_.stop(output_)) return interrupt();
            s.remove_prefix(cut);
        }
        return write_escaped<mode>(sink_, s);
    }

    // Writes the element's start tag and text; an element with neither text
    // nor children is closed at once, any other is left open on the stack.
    // A name is checked (unless a walk before has checked it) before it is
    // written; the end tag repeats the checked name.
    bool start_element(Handle e, std::vector<Open>& open) {
        if (pending_break_ && !line_break(open.size())) return false;
        pending_break_ = true;
        const std::string_view name = tree_.name(e);
        if (names == Names::Check && !is_writable_element_name(name))
            return refuse(WriteError::invalid_element_name(name));
        output_ += kElementOverhead + name.size();
        if (!sink_.write_byte('<') || !sink_.write(name)) return false;
        // A long list of attributes polls every kAttributesPerPoll of them.
        size_t until_poll = kAttributesPerPoll;
        for (const auto& attr : tree_.attrs(e)) {
            if (--until_poll == 0) [[unlikely]] {
                until_poll = kAttributesPerPoll;
                if (!poll()) return false;
            }
            if (names == Names::Check && !is_writable_attribute_name(attr.name))
                return refuse(WriteError::invalid_attribute_name(attr.name));
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
            if (text->size() > kPiece) [[unlikely]] {
                if (!escaped_in_pieces<Escape::Text>(*text)) return false;
            } else if (!write_escaped<Escape::Text>(sink_, *text)) {
                return false;
            }
            pending_break_ = false;
        }
        open.push_back({e, first});
        return true;
    }

    bool end_tag(Handle e, size_t depth) {
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
            if (polls_.due(output_) && !poll()) [[unlikely]]
                return false;
            Open& top = open.back();
            if (tree_.past_children(top.element, top.next)) {
                const Handle done = top.element;
                open.pop_back();
                if (!end_tag(done, open.size())) return false;
                continue;
            }
            const Handle child = tree_.child(top.element, top.next);
            top.next = tree_.next_child(top.element, top.next);
            if (!start_element(child, open)) return false;  // `top` is not used after this
        }
        return true;
    }

    [[gnu::cold, gnu::noinline]] bool interrupt() { return refuse(WriteError::interrupted()); }

    // What an element adds to the output besides its name, attributes, text
    // and indentation, roughly; counted so that a walk over small elements
    // polls too.
    static constexpr uint64_t kElementOverhead = 16;
    static constexpr size_t kAttributesPerPoll = 1024;

    Sink& sink_;
    const Tree& tree_;
    size_t indent_;
    bool pending_break_ = false;
    std::optional<WriteError> refused_;
    PollCounter polls_;
    uint64_t output_ = 0;  // output so far, as judged for polling
};


}  // namespace arbolite::write::detail
