// How write_string builds its str: which walks it runs, and into what.
//
// Output that is mostly indentation is far larger than what the walk has to
// scan, and long texts cost more to copy and decode than the walk over their
// elements: there the walk runs twice, first to measure the output (its size,
// code points and the narrowest code units that hold them), then writing it
// straight into the str's storage, as bytes when it is ASCII, else decoded.
// Otherwise one walk into a growing buffer, decoded from there, costs less.
// The choice only sets the speed: every way gives the same text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "common/interrupt.hpp"
#include "common/pages.hpp"
#include "common/result.hpp"
#include "simd/search.hpp"
#include "simd/utf8_decode.hpp"
#include "write/serializer.hpp"

namespace arbolite::write {

// What decides the way: roughly how many bytes of names, attributes and texts
// the first elements hold (in document order, up to kShapeSample of them or
// kShapeSampleBytes of content), how many of them are texts, and the sum of
// their depths (indent x depth_sum estimates the blanks of their
// indentation).
struct TreeShape {
    size_t content_bytes = 0;
    size_t text_bytes = 0;
    size_t elements = 0;
    size_t depth_sum = 0;

    // Long texts (prose) cost more to copy, check and decode than a second
    // walk over their few elements.
    bool long_texts() const { return text_bytes >= 256 * elements; }
};

inline constexpr size_t kShapeSample = 8192;
// Elements with long texts lie far apart: their first megabyte tells enough.
inline constexpr size_t kShapeSampleBytes = size_t{1} << 20;

// The shape of the first elements of `tree` (a tree the walk reads, see
// walker.hpp). A tree that offers prefetch_children(handle, at) is asked to
// fetch the children ahead of the one at `at` as the sample goes.
template <class Tree>
TreeShape sample_shape(const Tree& tree) {
    using Handle = typename Tree::Handle;
    TreeShape shape;
    if (tree.empty()) return shape;
    struct Open {
        Handle element;
        size_t next;
    };
    auto add = [&](Handle element, size_t depth) {
        const std::optional<std::string_view> text = tree.text(element);
        // A map's block is a little larger than its names and values.
        shape.content_bytes +=
            tree.name(element).size() + (text ? text->size() : 0) + tree.attrs(element).allocated_bytes();
        shape.text_bytes += text ? text->size() : 0;
        ++shape.elements;
        shape.depth_sum += depth;
    };
    const Handle root = tree.root();
    std::vector<Open> open{{root, tree.first_child(root)}};
    add(root, 0);
    size_t seen = 1;
    while (!open.empty() && seen < kShapeSample && shape.content_bytes < kShapeSampleBytes) {
        Open& top = open.back();
        if (tree.past_children(top.element, top.next)) {
            open.pop_back();
            continue;
        }
        if constexpr (requires { tree.prefetch_children(top.element, top.next); })
            tree.prefetch_children(top.element, top.next);
        const Handle child = tree.child(top.element, top.next);
        top.next = tree.next_child(top.element, top.next);
        add(child, open.size());
        ++seen;
        const size_t first = tree.first_child(child);
        if (!tree.past_children(child, first)) open.push_back({child, first});  // `top` is not used after this
    }
    return shape;
}

// The walks of one write_string call over `tree`, which must outlive the
// plan. A tree that offers expect_long_texts() is told when the sample finds
// long texts, before the walks start.
template <class Tree>
class StringPlan {
public:
    StringPlan(Tree& tree, size_t indent, bool declaration, const InterruptHook& interrupt = {})
        : tree_(tree), indent_(indent), declaration_(declaration), interrupt_(interrupt) {}

    // Samples the tree, picks the way and runs the first walk: the whole
    // output into memory (buffered()), or its measure. Fails as the walk
    // does; throws std::bad_alloc when the output does not fit in memory.
    Status<WriteError> run() {
        const TreeShape shape = sample_shape(tree_);
        size_t blanks;
        if (__builtin_mul_overflow(indent_, shape.depth_sum, &blanks)) blanks = SIZE_MAX;
        if constexpr (requires { tree_.expect_long_texts(); }) {
            if (shape.long_texts()) tree_.expect_long_texts();
        }
        if (blanks >= shape.content_bytes || shape.long_texts()) {
            measured_ = true;
            ARBOLITE_TRY_ASSIGN(measure_, measure_tree(tree_, indent_, declaration_, interrupt_, &plain_));
            return Ok{};
        }
        ARBOLITE_TRY_ASSIGN(memory_, write_tree_to_memory(tree_, indent_, declaration_, interrupt_));
        valid_utf8_ = simd::is_valid_utf8(memory_.data(), memory_.size());
        return Ok{};
    }

    // After run(): whether the output is in memory rather than measured.
    bool buffered() const { return !measured_; }

    // A buffered output, and whether it is valid UTF-8 (it always is when
    // every name, value and text is).
    std::string_view bytes() const { return memory_.view(); }
    bool valid_utf8() const { return valid_utf8_; }

    // The measure of an output that is not buffered.
    const OutputMeasure& measure() const { return measure_; }

    // Writes a measured ASCII output into `out`, which holds measure().size
    // bytes. False when the walk did not fit exactly (it always does: the
    // tree has not changed) or the interrupt hook stopped it.
    bool write_bytes(char* out) const {
        populate_for_writing(out, measure_.size);
        return write_tree_to_buffer(tree_, indent_, declaration_, out, measure_.size, interrupt_, &plain_);
    }

    // Writes a measured output that is valid UTF-8 decoded into `out`, which
    // holds measure().code_points units of the width of measure().units (one
    // byte for ASCII and Latin-1, two for UCS-2, four for UCS-4). False as
    // for write_bytes.
    bool write_units(void* out) const {
        const size_t count = measure_.code_points;
        const auto write = [&](auto* units) {
            populate_for_writing(units, count * sizeof *units);
            return write_tree_to_units(tree_, indent_, declaration_, units, count, interrupt_, &plain_);
        };
        switch (measure_.units) {
            case simd::CodeUnits::Ascii:
            case simd::CodeUnits::Latin1: return write(static_cast<uint8_t*>(out));
            case simd::CodeUnits::Ucs2: return write(static_cast<uint16_t*>(out));
            case simd::CodeUnits::Ucs4: break;
        }
        return write(static_cast<uint32_t*>(out));
    }

private:
    Tree& tree_;
    size_t indent_;
    bool declaration_;
    InterruptHook interrupt_;
    bool measured_ = false;
    OutputMeasure measure_{0, true};
    PlainTexts plain_;
    MemorySink memory_;
    bool valid_utf8_ = true;
};

}  // namespace arbolite::write
