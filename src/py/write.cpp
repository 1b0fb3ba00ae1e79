#include "py/write.hpp"

#include <algorithm>
#include <span>

#include "py/binding.hpp"
#include "py/convert.hpp"
#include "py/interrupt.hpp"
#include "py/unlocked.hpp"
#include "py/node.hpp"
#include "write/serializer.hpp"
#include "write/string_plan.hpp"

namespace arbolite::py {
namespace {

using write::OutputMeasure;
using write::WriteError;
using write::write_tree_to_file;

// A Node tree as the walk reads it. The walk runs without the interpreter
// lock and reads the nodes themselves, copying nothing: nodes never change,
// and the caller's arguments hold the root for the whole call, which keeps
// every descendant alive. A node shared by several parents is
// written once per occurrence. Attributes come out in each node's own map
// order.
class NodeTree {
public:
    using Handle = PyObject*;

    explicit NodeTree(PyObject* root) : root_(root) {}

    bool empty() const { return false; }
    Handle root() const { return root_; }
    std::string_view name(Handle node) const { return py::node_name(node); }
    const AttrMap& attrs(Handle node) const { return py::node_attrs(node); }
    std::optional<std::string_view> text(Handle node) const { return py::node_text(node); }
    size_t first_child(Handle) const { return 0; }
    bool past_children(Handle node, size_t at) const { return at >= py::node_children(node).size(); }
    // Where texts are long they lie apart from their nodes (and nodes made
    // one at a time lie wherever the allocator put them): the walk fetches
    // the node a few steps ahead and the text of the one after next.
    Handle child(Handle node, size_t at) const {
        const std::span<PyObject* const> children = py::node_children(node);
        if (texts_ahead_) {
            py::prefetch_ahead(children, at);
            if (at + 2 < children.size()) prefetch_text(children[at + 2]);
        }
        return children[at];
    }
    size_t next_child(Handle, size_t at) const { return at + 1; }

    // For the sample of the tree's shape: fetches the node a few steps ahead.
    void prefetch_children(Handle node, size_t at) const { py::prefetch_ahead(py::node_children(node), at); }
    // The walks that follow fetch texts ahead too.
    void expect_long_texts() { texts_ahead_ = true; }

private:
    static void prefetch_text(PyObject* node) {
        constexpr size_t most = 4096;
        const std::optional<std::string_view> text = py::node_text(node);
        if (!text) return;
        const size_t size = std::min(text->size(), most);
        for (size_t at = 0; at < size; at += 64) __builtin_prefetch(text->data() + at);
    }

    PyObject* root_;
    bool texts_ahead_ = false;
};

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

using Plan = write::StringPlan<NodeTree>;

// A new str of the measured code points and width holding the output,
// written (ASCII) or decoded into it without the interpreter lock: nobody
// else can see the str yet.
PyResult<py::Ref> write_measured_str(const Plan& plan, py::SignalCheck& signals) {
    const OutputMeasure& size = plan.measure();
    ARBOLITE_TRY_ASSIGN(py::Ref str, py::new_blank_str(size.code_points, size.units));
    void* data = PyUnicode_DATA(str.get());
    const bool written = py::without_lock(
        str, [&] { return size.ascii ? plan.write_bytes(static_cast<char*>(data)) : plan.write_units(data); });
    if (signals.raised()) return fail(py::interruption());
    if (!written) return fail(py::writer_measure_fault());
    return str;
}

const py::Params<3> kWriteString{{"node", "indent", "default_xml_def"}, 1, "write_string()"};
const py::Params<4> kWriteFile{{"node", "file_path", "indent", "default_xml_def"}, 2, "write_file()"};

}  // namespace

PyObject* write_string(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py::boundary([&]() -> PyResult<py::Ref> {
        PyObject* arg[3];
        ARBOLITE_TRY(py::bind_fastcall(kWriteString.signature(), args, nargsf, kwnames, arg));
        ARBOLITE_TRY_ASSIGN(PyObject * node, py::noted(py::to_node(arg[0]), "node"));
        Options options;
        ARBOLITE_TRY(convert_options(arg[1], arg[2], options));
        NodeTree tree(node);
        py::SignalCheck signals;
        Plan plan(tree, options.indent, options.declaration, signals.hook());
        const Status<WriteError> first = py::without_lock([&] { return plan.run(); });
        if (signals.raised()) return fail(py::interruption());
        if (!first.ok()) return fail(py::write_error(first.error()));
        if (plan.buffered()) {
            if (!plan.valid_utf8()) return fail(py::writer_utf8_fault());
            return py::new_str_unlocked(plan.bytes());
        }
        const OutputMeasure& size = plan.measure();
        if (size.size > static_cast<size_t>(PY_SSIZE_T_MAX)) return fail(py::memory_error());
        if (!size.ascii && !size.valid_utf8) return fail(py::writer_utf8_fault());
        return write_measured_str(plan, signals);
    });
}

PyObject* write_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py::boundary([&]() -> PyResult<py::Ref> {
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
        return py::Ref::borrow(Py_None);
    });
}

}  // namespace arbolite::py
