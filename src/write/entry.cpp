#include "write/entry.hpp"

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
std::vector<ElementView> snapshot(PyObject* root) {
    std::vector<ElementView> tree;
    auto add = [&](PyObject* node) {
        tree.push_back({node::node_name(node), &node::node_attrs(node), node::node_text(node), 0});
        return tree.size() - 1;
    };
    struct Open {
        PyObject* node;
        size_t index;
        size_t next_child;
    };
    std::vector<Open> open{{root, add(root), 0}};
    while (!open.empty()) {
        Open& top = open.back();
        std::span<PyObject* const> children = node::node_children(top.node);
        if (top.next_child == children.size()) {
            tree[top.index].end = tree.size();
            open.pop_back();
            continue;
        }
        PyObject* child = children[top.next_child++];
        open.push_back({child, add(child), 0});
    }
    return tree;
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
        std::vector<ElementView> tree = snapshot(node);

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
        if (!outcome.valid_utf8) return fail(module::internal_fault("invariant: the XML writer only emits valid UTF-8"));
        return module::new_str(outcome.output->view());
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
        std::vector<ElementView> tree = snapshot(node);
        Status<WriteError> written = module::without_lock(
            [&] { return write_tree_to_file(tree, path, options.indent, options.declaration); });
        if (!written.ok()) return fail(module::write_error(written.error()));
        return py::ref::borrow(Py_None);
    });
}

}  // namespace arbolite::write
