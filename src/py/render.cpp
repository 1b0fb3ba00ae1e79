// The text forms of a Node: repr() is a one-line tag, str() and
// __to_string(spacing) an indented outline of the whole subtree.
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "py/binding.hpp"
#include "py/convert.hpp"
#include "py/interrupt.hpp"
#include "py/node.hpp"

namespace arbolite::py {
namespace {

// Builds the outline of `root` with `width` leading blanks. A child's width
// is its parent's plus two, modulo 256; each child's first line also carries
// the parent's blanks in front of its own. Walks with an explicit stack, so
// any depth renders.
PyResult<std::string> outline(PyObject* root, uint8_t width) {
    struct Frame {
        PyObject* node;
        uint8_t width;
        size_t next_child;
    };
    std::string out;
    std::vector<Frame> open;

    // Writes the node's own lines; a node with children stays open.
    auto begin_node = [&](PyObject* node, uint8_t w) {
        const AttrMap& attrs = node_attrs(node);
        out.append(w, ' ');
        out += "Name: ";
        out += node_name(node);
        if (!attrs.empty()) {
            out += '\n';
            out.append(w, ' ');
            out += "Attributes:";
            for (const auto& entry : attrs) {
                out += '\n';
                out.append(w, ' ');
                out += entry.name;
                out += ": ";
                out += entry.value;
            }
        }
        if (std::optional<std::string_view> text = node_text(node)) {
            out += '\n';
            out.append(w, ' ');
            out += "Text: ";
            out += *text;
        }
        if (node_children(node).empty()) return false;
        out += '\n';
        out.append(w, ' ');
        out += "Children:";
        open.push_back({node, w, 0});
        return true;
    };

    begin_node(root, width);
    HeldSignalCheck signals;
    while (!open.empty()) {
        ARBOLITE_TRY(signals.step());
        Frame& top = open.back();
        std::span<PyObject* const> children = node_children(top.node);
        if (top.next_child == children.size()) {
            open.pop_back();
            if (!open.empty()) out += '\n';  // every child's outline ends with a line feed
            continue;
        }
        PyObject* child = children[top.next_child++];
        uint8_t w = top.width;
        out += '\n';
        out.append(w, ' ');
        if (!begin_node(child, static_cast<uint8_t>(w + 2))) out += '\n';
    }
    return out;
}

const py::Params<1> kToString{{"spacing"}, 0, "Node.__to_string()"};

}  // namespace

PyObject* node_repr(PyObject* self) {
    return py::boundary([&] {
        std::string_view name = node_name(self);
        std::string tag;
        tag.reserve(name.size() + 6);
        tag += "Node(";
        tag += name;
        tag += ')';
        return py::new_str(tag);
    });
}

PyObject* node_str(PyObject* self) {
    return py::boundary([&]() -> PyResult<py::Ref> {
        ARBOLITE_TRY_ASSIGN(const std::string text, outline(self, 0));
        return py::new_str(text);
    });
}

PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py::boundary([&]() -> PyResult<py::Ref> {
        PyObject* arg[1];
        ARBOLITE_TRY(py::bind_fastcall(kToString.signature(), args, nargsf, kwnames, arg));
        uint8_t width = 0;
        if (!py::absent(arg[0])) {
            ARBOLITE_TRY_ASSIGN(width, py::noted(py::to_u8(arg[0]), "spacing"));
        }
        ARBOLITE_TRY_ASSIGN(const std::string text, outline(self, width));
        return py::new_str(text);
    });
}

}  // namespace arbolite::py
