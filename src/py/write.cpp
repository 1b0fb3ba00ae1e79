#include "py/write.hpp"

#include <algorithm>
#include <memory>
#include <span>

#include "common/pages.hpp"
#include "py/binding.hpp"
#include "py/convert.hpp"
#include "py/interrupt.hpp"
#include "py/unlocked.hpp"
#include "py/node.hpp"
#include "simd/search.hpp"
#include "simd/utf8_decode.hpp"
#include "write/serializer.hpp"

namespace arbolite::py {
namespace {

using write::MemorySink;
using write::OutputMeasure;
using write::PlainTexts;
using write::WriteError;
using write::measure_tree;
using write::write_tree_to_buffer;
using write::write_tree_to_memory;
using write::write_tree_to_file;
using write::write_tree_to_units;

// A Node tree as the walk reads it. The walk runs without the interpreter
// lock and reads the nodes themselves, copying nothing: nodes never change,
// and the caller's arguments hold the root for the whole call, which keeps
// every descendant alive. A node shared by several parents is
// written once per occurrence. Attributes come out in each node's own map
// order.
class NodeTree {
public:
    using handle = PyObject*;

    explicit NodeTree(PyObject* root) : root_(root) {}

    bool empty() const { return false; }
    handle root() const { return root_; }
    std::string_view name(handle node) const { return py::node_name(node); }
    const AttrMap& attrs(handle node) const { return py::node_attrs(node); }
    std::optional<std::string_view> text(handle node) const { return py::node_text(node); }
    size_t first_child(handle) const { return 0; }
    bool past_children(handle node, size_t at) const { return at >= py::node_children(node).size(); }
    // Where texts are long they lie apart from their nodes (and nodes made
    // one at a time lie wherever the allocator put them): the walk fetches
    // the node a few steps ahead and the text of the one after next.
    handle child(handle node, size_t at) const {
        const std::span<PyObject* const> children = py::node_children(node);
        if (texts_ahead) {
            py::prefetch_ahead(children, at);
            if (at + 2 < children.size()) prefetch_text(children[at + 2]);
        }
        return children[at];
    }

    bool texts_ahead = false;
    size_t next_child(handle, size_t at) const { return at + 1; }

private:
    static void prefetch_text(PyObject* node) {
        constexpr size_t most = 4096;
        const std::optional<std::string_view> text = py::node_text(node);
        if (!text) return;
        const size_t size = std::min(text->size(), most);
        for (size_t at = 0; at < size; at += 64) __builtin_prefetch(text->data() + at);
    }

    PyObject* root_;
};

// What decides how write_string builds its str: roughly how many bytes of
// names, attributes and texts the first elements hold (in document order, up
// to shape_sample of them or shape_sample_bytes of content), how many of
// them are texts, and the sum of their depths (indent x depth_sum estimates
// the blanks of their indentation). The choice only sets the speed: every
// way writes the same str.
struct Shape {
    size_t content_bytes = 0;
    size_t text_bytes = 0;
    size_t elements = 0;
    size_t depth_sum = 0;

    // Long texts (prose) cost more to copy, check and decode than a second
    // walk over their few elements.
    bool long_texts() const { return text_bytes >= 256 * elements; }
};

constexpr size_t shape_sample = 8192;
// Elements with long texts lie far apart: their first megabyte tells enough.
constexpr size_t shape_sample_bytes = size_t{1} << 20;

Shape shape_of(const NodeTree& tree) {
    Shape shape;
    struct Open {
        PyObject* node;
        size_t next;
    };
    auto add = [&](PyObject* node, size_t depth) {
        const std::optional<std::string_view> text = py::node_text(node);
        // A map's block is a little larger than its names and values.
        shape.content_bytes +=
            py::node_name(node).size() + (text ? text->size() : 0) + py::node_attrs(node).allocated_bytes();
        shape.text_bytes += text ? text->size() : 0;
        ++shape.elements;
        shape.depth_sum += depth;
    };
    std::vector<Open> open{{tree.root(), 0}};
    add(tree.root(), 0);
    size_t seen = 1;
    while (!open.empty() && seen < shape_sample && shape.content_bytes < shape_sample_bytes) {
        Open& top = open.back();
        std::span<PyObject* const> children = py::node_children(top.node);
        if (top.next == children.size()) {
            open.pop_back();
            continue;
        }
        py::prefetch_ahead(children, top.next);
        PyObject* child = children[top.next++];
        add(child, open.size());
        ++seen;
        if (!py::node_children(child).empty()) open.push_back({child, 0});
    }
    return shape;
}

struct Options {
    size_t indent = 4;
    bool declaration = true;
};

Status<Exc> convert_options(PyObject* indent, PyObject* declaration, Options& out) {
    if (!py::absent(indent)) {
        ARBOLITE_TRY_ASSIGN(out.indent, py::noted(py::to_size(indent), "indent"));
    }
    if (!py::absent(declaration)) {
        ARBOLITE_TRY_ASSIGN(out.declaration, py::noted(py::to_bool(declaration), "default_xml_def"));
    }
    return Ok{};
}

constexpr std::string_view kUtf8Invariant = "invariant: the XML writer only emits valid UTF-8";
constexpr std::string_view kMeasureInvariant = "invariant: the XML writer writes exactly what it measured";

// A new ASCII str of `size` characters holding the walk's output, written
// into it without the interpreter lock: nobody else can see the str yet.
PyResult<py::ref> write_ascii_str(const NodeTree& tree, const Options& options, size_t size,
                                  const PlainTexts& plain, py::SignalCheck& signals) {
    py::ref str = py::ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    if (!str) return fail(py::fetch_error());
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str.get()));
    const InterruptHook interrupt = signals.hook();
    const bool written = py::without_lock(str, [&] {
        populate_for_writing(out, size);
        return write_tree_to_buffer(tree, options.indent, options.declaration, out, size, interrupt, &plain);
    });
    if (signals.raised()) return fail(py::interruption());
    if (!written) return fail(py::internal_fault(kMeasureInvariant));
    return str;
}

// A new str of the measured code points and width holding the walk's output,
// decoded into it without the interpreter lock.
PyResult<py::ref> write_decoded_str(const NodeTree& tree, const Options& options, const OutputMeasure& size,
                                    const PlainTexts& plain, py::SignalCheck& signals) {
    constexpr Py_UCS4 largest[] = {0x7F, 0xFF, 0xFFFF, 0x10FFFF};
    py::ref str = py::ref::steal(
        PyUnicode_New(static_cast<Py_ssize_t>(size.code_points), largest[static_cast<size_t>(size.units)]));
    if (!str) return fail(py::fetch_error());
    void* data = PyUnicode_DATA(str.get());
    const size_t bytes = size.code_points * static_cast<size_t>(PyUnicode_KIND(str.get()));
    const InterruptHook interrupt = signals.hook();
    const bool written = py::without_lock(str, [&] {
        populate_for_writing(data, bytes);
        const auto write = [&](auto* out) {
            return write_tree_to_units(tree, options.indent, options.declaration, out, size.code_points, interrupt,
                                       &plain);
        };
        switch (size.units) {
            case simd::CodeUnits::Ascii:
            case simd::CodeUnits::Latin1: return write(static_cast<uint8_t*>(data));
            case simd::CodeUnits::Ucs2: return write(static_cast<uint16_t*>(data));
            case simd::CodeUnits::Ucs4: break;
        }
        return write(static_cast<uint32_t*>(data));
    });
    if (signals.raised()) return fail(py::interruption());
    if (!written) return fail(py::internal_fault(kMeasureInvariant));
    return str;
}

const py::Params<3> kWriteString{{"node", "indent", "default_xml_def"}, 1, "write_string()"};
const py::Params<4> kWriteFile{{"node", "file_path", "indent", "default_xml_def"}, 2, "write_file()"};

}  // namespace

PyObject* write_string(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py::boundary([&]() -> PyResult<py::ref> {
        PyObject* arg[3];
        ARBOLITE_TRY(py::bind_fastcall(kWriteString.signature(), args, nargsf, kwnames, arg));
        ARBOLITE_TRY_ASSIGN(PyObject * node, py::noted(py::to_node(arg[0]), "node"));
        Options options;
        ARBOLITE_TRY(convert_options(arg[1], arg[2], options));
        NodeTree tree(node);
        py::SignalCheck signals;
        const InterruptHook interrupt = signals.hook();
        // Output that is mostly indentation is far larger than what the walk
        // has to scan, and long texts cost more to copy and decode than the
        // walk over their elements: there the walk runs twice, first to
        // measure the output (its size, code points and width), then writing
        // it straight into the str. Otherwise one walk into a growing buffer,
        // decoded from there, costs less.
        struct Plan {
            bool measured;
            Result<OutputMeasure, WriteError> measure;
            Result<MemorySink, WriteError> memory;
            bool valid_utf8 = true;
        };
        PlainTexts plain;
        Plan plan = py::without_lock([&]() -> Plan {
            const Shape shape = shape_of(tree);
            size_t blanks;
            if (__builtin_mul_overflow(options.indent, shape.depth_sum, &blanks)) blanks = SIZE_MAX;
            tree.texts_ahead = shape.long_texts();
            if (blanks >= shape.content_bytes || shape.long_texts())
                return {true, measure_tree(tree, options.indent, options.declaration, interrupt, &plain),
                        MemorySink()};
            auto memory = write_tree_to_memory(tree, options.indent, options.declaration, interrupt);
            const bool valid = !memory.ok() || simd::is_valid_utf8(memory->data(), memory->size());
            return {false, OutputMeasure{}, std::move(memory), valid};
        });
        if (signals.raised()) return fail(py::interruption());
        if (!plan.measured) {
            if (!plan.memory.ok()) return fail(py::write_error(plan.memory.error()));
            if (!plan.valid_utf8) return fail(py::internal_fault(kUtf8Invariant));
            return py::new_str_unlocked(plan.memory->view());
        }
        auto& measured = plan.measure;
        if (!measured.ok()) return fail(py::write_error(measured.error()));
        const OutputMeasure size = measured.value();
        if (size.size > static_cast<size_t>(PY_SSIZE_T_MAX)) return fail(py::memory_error());
        if (size.ascii) return write_ascii_str(tree, options, size.size, plain, signals);
        if (!size.valid_utf8) return fail(py::internal_fault(kUtf8Invariant));
        return write_decoded_str(tree, options, size, plain, signals);
    });
}

PyObject* write_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py::boundary([&]() -> PyResult<py::ref> {
        PyObject* arg[4];
        ARBOLITE_TRY(py::bind_fastcall(kWriteFile.signature(), args, nargsf, kwnames, arg));
        ARBOLITE_TRY_ASSIGN(PyObject * node, py::noted(py::to_node(arg[0]), "node"));
        ARBOLITE_TRY_ASSIGN(std::string_view path, py::noted(py::borrow_utf8(arg[1]), "file_path"));
        Options options;
        ARBOLITE_TRY(convert_options(arg[2], arg[3], options));
        const NodeTree tree(node);
        py::SignalCheck signals;
        const InterruptHook interrupt = signals.hook();
        Status<WriteError> written = py::without_lock(
            [&] { return write_tree_to_file(tree, path, options.indent, options.declaration, interrupt); });
        if (signals.raised()) return fail(py::interruption());
        if (!written.ok()) return fail(py::write_error(written.error()));
        return py::ref::borrow(Py_None);
    });
}

}  // namespace arbolite::py
