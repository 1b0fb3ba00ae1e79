// The XML writer: walks a tree of elements and writes indented XML into a memory
// buffer or a buffered file.
//
// Layout: every element that does not directly follow text starts on a new
// line, indented by `indent` blanks per nesting level; an element with no text
// and no children is closed with "/>"; nothing follows the root's end tag.
// Names are written as stored, and refused when the reader would not read
// them back as the same name (names.hpp); text and attribute values are
// escaped. The walk keeps its open elements on an explicit stack, so trees of
// any depth are written without native recursion, and every sink receives
// exactly the same bytes (the memory buffer, the file, a buffer of measured
// size, or the counter that measures).
#pragma once

#include <cstddef>
#include <string_view>

#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "write/measure.hpp"
#include "write/output_file.hpp"
#include "write/sinks.hpp"
#include "write/walker.hpp"
#include "write/write_error.hpp"

namespace arbolite::write {

// The entry points take any tree that the walk can read (see walker.hpp),
// such as the module's view of Node objects. An empty tree writes no
// element. Each writes the XML declaration first when
// `declaration` is true. With an active `interrupt` hook each polls it
// about every poll interval of output and fails with WriteError::interrupted()
// when it says to stop (see interrupt.hpp).

// Writes `tree` into a new memory buffer. Fails only with IndentOverflow (or
// when interrupted); throws std::bad_alloc when the output does not fit in
// memory.
template <class Tree>
Result<MemorySink, WriteError> write_tree_to_memory(const Tree& tree, size_t indent, bool declaration,
                                                   const InterruptHook& interrupt = {});

// Measures the output; fails with IndentOverflow as the walk itself would.
// With `plain`, also notes which long texts and values need no escaping.
template <class Tree>
Result<OutputMeasure, WriteError> measure_tree(const Tree& tree, size_t indent, bool declaration,
                                               const InterruptHook& interrupt = {}, PlainTexts* plain = nullptr);

// Writes `tree` into `out`, which holds exactly the `size` bytes that
// measure_tree gave for the same arguments (and `plain`, the notes it took
// then, if any). Returns false, having written nothing past `out + size`, if
// the walk would not fit exactly (it always does when the sizes agree), or
// when `interrupt` stopped it. The names are taken as checked: that measure
// refused any invalid one.
template <class Tree>
bool write_tree_to_buffer(const Tree& tree, size_t indent, bool declaration, char* out, size_t size,
                          const InterruptHook& interrupt = {}, const PlainTexts* plain = nullptr);

// Writes `tree` decoded into `out`, which holds exactly the `code_points`
// units that measure_tree gave for the same arguments (and `plain` as for
// write_tree_to_buffer; the output must be valid UTF-8, and `Unit` as wide
// as its `units` or wider). Returns false, having written nothing past
// `out + code_points`, if the walk would not fit exactly (it always does
// when the measures agree), or when `interrupt` stopped it. The names are
// taken as checked, as for write_tree_to_buffer.
template <class Tree, class Unit>
bool write_tree_to_units(const Tree& tree, size_t indent, bool declaration, Unit* out, size_t code_points,
                         const InterruptHook& interrupt = {}, const PlainTexts* plain = nullptr);

// The bounds of the size of a walk's output (OutputBounds): the size of
// every piece, with the escaped text and attribute values counted at their
// raw size, so measuring reads no byte of them. Fails as the walk itself
// would (IndentOverflow, invalid names).
template <class Tree>
Result<OutputBounds, WriteError> measure_tree_bounds(const Tree& tree, size_t indent, bool declaration,
                                                     const InterruptHook& interrupt = {});

// Writes `tree` into the file at `path` (see output_file.hpp). The tree is
// measured first: an invalid name, an indentation overflow or an output
// that cannot be written (check_room_for, against its exact size) fails
// before the file is touched. After a failure of the writes themselves the
// file holds a prefix of the output. The hook also decides whether an open
// or write interrupted by a signal is retried.
template <class Tree>
Status<WriteError> write_tree_to_file(const Tree& tree, std::string_view path, size_t indent, bool declaration,
                                      const InterruptHook& interrupt = {});

template <class Tree>
Result<MemorySink, WriteError> write_tree_to_memory(const Tree& tree, size_t indent, bool declaration,
                                                   const InterruptHook& interrupt) {
    MemorySink sink;
    if (declaration) {
        sink.reserve(kXmlDeclaration.size());
        sink.write(kXmlDeclaration);
    }
    ARBOLITE_TRY((detail::Walker<MemorySink, Tree>(sink, tree, indent, interrupt).run()));
    return sink;
}

template <class Tree>
Result<OutputMeasure, WriteError> measure_tree(const Tree& tree, size_t indent, bool declaration,
                                               const InterruptHook& interrupt, PlainTexts* plain) {
    detail::CountingSink sink(plain);
    if (declaration) sink.write(kXmlDeclaration);
    ARBOLITE_TRY((detail::Walker<detail::CountingSink, Tree>(sink, tree, indent, interrupt).run()));
    return sink.measure();
}

template <class Tree>
bool write_tree_to_buffer(const Tree& tree, size_t indent, bool declaration, char* out, size_t size,
                          const InterruptHook& interrupt, const PlainTexts* plain) {
    detail::BufferSink sink(out, size, plain);
    if (declaration && !sink.write(kXmlDeclaration)) return false;
    return detail::Walker<detail::BufferSink, Tree, detail::Names::Checked>(sink, tree, indent, interrupt).run().ok() &&
           sink.full();
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
    if (declaration && !sink.write(kXmlDeclaration)) return false;
    if (!detail::Walker<detail::UnitSink<Unit>, Tree, detail::Names::Checked>(sink, tree, indent, interrupt).run().ok())
        return false;
    sink.finish();
    return sink.full();
}

template <class Tree>
Result<OutputBounds, WriteError> measure_tree_bounds(const Tree& tree, size_t indent, bool declaration,
                                                     const InterruptHook& interrupt) {
    detail::BoundsSink sink;
    if (declaration) sink.write(kXmlDeclaration);
    ARBOLITE_TRY((detail::Walker<detail::BoundsSink, Tree>(sink, tree, indent, interrupt).run()));
    return sink.bounds();
}

namespace detail {

// Refuses an output of `bounds` that cannot be written to `path`. The bounds
// decide when the most fits or the least does not; in between, the output
// is measured exactly (a pass over its escaped strings), so that one
// escaping lengthens past a limit is refused as well.
template <class Tree>
Status<WriteError> check_room_for_tree(const Tree& tree, std::string_view path, size_t indent, bool declaration,
                                       const OutputBounds& bounds, const InterruptHook& interrupt) {
    if (check_room_for(path, bounds.most)) return Ok{};
    Status<OsError> room = check_room_for(path, bounds.least);
    if (room) {
        ARBOLITE_TRY_ASSIGN(const OutputMeasure exact, measure_tree(tree, indent, declaration, interrupt));
        room = check_room_for(path, exact.size);
    }
    if (!room) return fail(WriteError::from_os(room.error()));
    return Ok{};
}

}  // namespace detail

// Every check that can fail runs before the file is opened: the measuring
// walk finds what the walk itself would refuse, so once the file is
// truncated only the writes and the close can fail (or a signal stop them).
template <class Tree>
Status<WriteError> write_tree_to_file(const Tree& tree, std::string_view path, size_t indent, bool declaration,
                                      const InterruptHook& interrupt) {
    if (path.find('\0') != std::string_view::npos) return fail(WriteError::from_os(OsError{OsError::Kind::NulInPath}));
    ARBOLITE_TRY_ASSIGN(const OutputBounds bounds, measure_tree_bounds(tree, indent, declaration, interrupt));
    ARBOLITE_TRY(detail::check_room_for_tree(tree, path, indent, declaration, bounds, interrupt));
    auto fd = open_for_writing(path, interrupt);
    if (!fd) return fail(WriteError::from_os(fd.error()));
    FileSink sink(fd.value(), declaration, interrupt);  // closes the descriptor on every path
    // The measuring walk has checked every name.
    Status<WriteError> walked =
        detail::Walker<FileSink, Tree, detail::Names::Checked>(sink, tree, indent, interrupt).run();
    if (!walked.ok()) {
        // A stopped walk leaves the file as it is: the buffer is not flushed.
        if (walked.error().is_interrupted()) sink.discard();
        return walked;
    }
    if (!sink.finish()) return fail(WriteError::from_os(sink.error()));
    return Ok{};
}

}  // namespace arbolite::write
