#include "write/entry.hpp"

#include <memory>

#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/unlocked.hpp"
#include "node/node.hpp"
#include "simd/search.hpp"
#include "write/serializer.hpp"

namespace arbolite::write {
namespace {

using module::Exc;
using module::PyResult;

// Lists the elements of a Node tree in pre-order, with an explicit stack. A
// node shared by several parents is listed once per occurrence. The views
// point into the nodes themselves: nodes never change, and the call holds a
// reference to the root (which keeps every descendant alive) until the
// writing is done, so the data can be read without the interpreter lock and
// nothing needs copying. Attributes are read from each node's own map, so
// they come out in that map's order.
// A snapshot, and what it tells about the output's shape: about the bytes of
// the names, attributes and texts, and the sum of all elements' depths (so that indent x
// depth_sum estimates the blanks of the indentation).
struct Snapshot {
    std::vector<ElementView> tree;
    size_t content_bytes = 0;
    size_t depth_sum = 0;
};

Snapshot snapshot(PyObject* root) {
    Snapshot shot;
    auto add = [&](PyObject* node, size_t depth) {
        const std::optional<std::string_view> text = node::node_text(node);
        const std::string_view name = node::node_name(node);
        const AttrMap& attrs = node::node_attrs(node);
        shot.tree.push_back({name, &attrs, text, 0});
        // The map's block is a little larger than its names and values.
        shot.content_bytes += name.size() + (text ? text->size() : 0) + attrs.allocated_bytes();
        shot.depth_sum += depth;
        return shot.tree.size() - 1;
    };
    struct Open {
        PyObject* node;
        size_t index;
        size_t next_child;
    };
    std::vector<Open> open{{root, add(root, 0), 0}};
    while (!open.empty()) {
        Open& top = open.back();
        std::span<PyObject* const> children = node::node_children(top.node);
        if (top.next_child == children.size()) {
            shot.tree[top.index].end = shot.tree.size();
            open.pop_back();
            continue;
        }
        PyObject* child = children[top.next_child++];
        open.push_back({child, add(child, open.size()), 0});
    }
    return shot;
}

struct Options {
    size_t indent = 4;
    bool declaration = true;
};

Status<Exc> convert_options(PyObject* indent, PyObject* declaration, Options& out) {
    if (!module::absent(indent)) {
        ARBOLITE_TRY_ASSIGN(out.indent, module::noted(module::to_size(indent), "indent"));
    }
    if (!module::absent(declaration)) {
        ARBOLITE_TRY_ASSIGN(out.declaration, module::noted(module::to_bool(declaration), "default_xml_def"));
    }
    return Ok{};
}

constexpr std::string_view kUtf8Invariant = "invariant: the XML writer only emits valid UTF-8";
constexpr std::string_view kMeasureInvariant = "invariant: the XML writer writes exactly what it measured";

// The output built in a growing buffer, then decoded into a str.
PyResult<py::ref> write_through_memory(const std::vector<ElementView>& tree, const Options& options) {
    struct Outcome {
        Result<MemorySink, WriteError> output;
        bool valid_utf8;
    };
    Outcome outcome = module::without_lock([&] {
        auto output = write_tree_to_memory(tree, options.indent, options.declaration);
        bool valid = !output.ok() || simd::is_valid_utf8(output->data(), output->size());
        return Outcome{std::move(output), valid};
    });
    if (!outcome.output.ok()) return fail(module::write_error(outcome.output.error()));
    if (!outcome.valid_utf8) return fail(module::internal_fault(kUtf8Invariant));
    return module::new_str(outcome.output->view());
}

// A new ASCII str of `size` characters holding the walk's output, written
// into it without the interpreter lock: nobody else can see the str yet.
PyResult<py::ref> write_ascii_str(const std::vector<ElementView>& tree, const Options& options, size_t size) {
    py::ref str = py::ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 127));
    if (!str) return fail(module::fetch_error());
    char* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str.get()));
    const bool written = module::without_lock(
        [&] { return write_tree_to_buffer(tree, options.indent, options.declaration, out, size); });
    if (!written) return fail(module::internal_fault(kMeasureInvariant));
    return str;
}

const module::Params<3> kWriteString{{"node", "indent", "default_xml_def"}, 1, "write_string()"};
const module::Params<4> kWriteFile{{"node", "file_path", "indent", "default_xml_def"}, 2, "write_file()"};

}  // namespace

PyObject* write_string(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return module::boundary([&]() -> PyResult<py::ref> {
        PyObject* arg[3];
        ARBOLITE_TRY(module::bind_fastcall(kWriteString.signature(), args, nargsf, kwnames, arg));
        ARBOLITE_TRY_ASSIGN(PyObject * node, module::noted(node::to_node(arg[0]), "node"));
        Options options;
        ARBOLITE_TRY(convert_options(arg[1], arg[2], options));
        py::ref held = py::ref::borrow(node);
        const Snapshot shot = snapshot(node);
        const std::vector<ElementView>& tree = shot.tree;
        size_t blanks;
        if (__builtin_mul_overflow(options.indent, shot.depth_sum, &blanks)) blanks = SIZE_MAX;
        if (blanks < shot.content_bytes) return write_through_memory(tree, options);
        // Mostly indentation: the output is much larger than what the walk
        // has to scan, so the walk runs twice, first to measure the output.
        // ASCII output is then written straight into the str; other output
        // goes through a buffer of exactly its size and is decoded from there.
        auto measured = module::without_lock([&] { return measure_tree(tree, options.indent, options.declaration); });
        if (!measured.ok()) return fail(module::write_error(measured.error()));
        const OutputMeasure size = measured.value();
        if (size.size > static_cast<size_t>(PY_SSIZE_T_MAX)) return fail(module::memory_error());
        if (size.ascii) return write_ascii_str(tree, options, size.size);

        std::unique_ptr<char[]> output = std::make_unique_for_overwrite<char[]>(size.size);
        enum class Check { Ok, Size, Utf8 };
        const Check check = module::without_lock([&] {
            if (!write_tree_to_buffer(tree, options.indent, options.declaration, output.get(), size.size))
                return Check::Size;
            return simd::is_valid_utf8(output.get(), size.size) ? Check::Ok : Check::Utf8;
        });
        if (check == Check::Size) return fail(module::internal_fault(kMeasureInvariant));
        if (check == Check::Utf8) return fail(module::internal_fault(kUtf8Invariant));
        return module::new_str(std::string_view(output.get(), size.size));
    });
}

PyObject* write_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return module::boundary([&]() -> PyResult<py::ref> {
        PyObject* arg[4];
        ARBOLITE_TRY(module::bind_fastcall(kWriteFile.signature(), args, nargsf, kwnames, arg));
        ARBOLITE_TRY_ASSIGN(PyObject * node, module::noted(node::to_node(arg[0]), "node"));
        ARBOLITE_TRY_ASSIGN(std::string_view path, module::noted(module::borrow_utf8(arg[1]), "file_path"));
        Options options;
        ARBOLITE_TRY(convert_options(arg[2], arg[3], options));
        py::ref held = py::ref::borrow(node);
        const std::vector<ElementView> tree = snapshot(node).tree;
        Status<WriteError> written = module::without_lock(
            [&] { return write_tree_to_file(tree, path, options.indent, options.declaration); });
        if (!written.ok()) return fail(module::write_error(written.error()));
        return py::ref::borrow(Py_None);
    });
}

}  // namespace arbolite::write
