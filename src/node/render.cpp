// The text forms of a Node: repr() is a one-line tag, str() and
// __to_string(spacing) an indented outline of the whole subtree.
#include <string>
#include <vector>

#include "module/binding.hpp"
#include "module/convert.hpp"
#include "node/node.hpp"

namespace arbolite::node {
namespace {

// Builds the outline of `root` with `width` leading blanks. A child's width
// is its parent's plus two, modulo 256; each child's first line also carries
// the parent's blanks in front of its own. Walks with an explicit stack, so
// any depth renders.
std::string outline(PyObject* root, uint8_t width) {
    struct Frame {
        PyObject* node;
        uint8_t width;
        size_t next_child;
    };
    std::string out;
    std::vector<Frame> open;

    // Writes the node's own lines; a node with children stays open.
    auto begin_node = [&](PyObject* node, uint8_t w) {
        const NodeFields& f = fields_of(node);
        out.append(w, ' ');
        out += "Name: ";
        out += f.name;
        if (!f.attrs.empty()) {
            out += '\n';
            out.append(w, ' ');
            out += "Attributes:";
            for (const auto& entry : f.attrs) {
                out += '\n';
                out.append(w, ' ');
                out += entry.name;
                out += ": ";
                out += entry.value;
            }
        }
        if (f.text) {
            out += '\n';
            out.append(w, ' ');
            out += "Text: ";
            out += *f.text;
        }
        if (f.children.empty()) return false;
        out += '\n';
        out.append(w, ' ');
        out += "Children:";
        open.push_back({node, w, 0});
        return true;
    };

    begin_node(root, width);
    while (!open.empty()) {
        Frame& top = open.back();
        const auto& children = fields_of(top.node).children;
        if (top.next_child == children.size()) {
            open.pop_back();
            if (!open.empty()) out += '\n';  // every child's outline ends with a line feed
            continue;
        }
        PyObject* child = children[top.next_child++].get();
        uint8_t w = top.width;
        out += '\n';
        out.append(w, ' ');
        if (!begin_node(child, static_cast<uint8_t>(w + 2))) out += '\n';
    }
    return out;
}

const module::Params<1> kToString{{"spacing"}, 0, "Node.__to_string()"};

}  // namespace

PyObject* node_repr(PyObject* self) {
    return module::boundary([&] { return module::new_str("Node(" + fields_of(self).name + ")"); });
}

PyObject* node_str(PyObject* self) {
    return module::boundary([&] { return module::new_str(outline(self, 0)); });
}

PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return module::boundary([&]() -> PyResult<py::ref> {
        PyObject* arg[1];
        ARBOLITE_TRY(module::bind_fastcall(kToString.signature(), args, nargsf, kwnames, arg));
        uint8_t width = 0;
        if (!module::absent(arg[0])) {
            ARBOLITE_TRY_ASSIGN(width, module::noted(module::to_u8(arg[0]), "spacing"));
        }
        return module::new_str(outline(self, width));
    });
}

}  // namespace arbolite::node
