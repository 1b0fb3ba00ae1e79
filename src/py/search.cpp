// Tree search: the nodes whose name, attribute names or text equal a string,
// in depth-first pre-order, optionally within a depth below the start.
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "common/copy.hpp"
#include "py/binding.hpp"
#include "py/convert.hpp"
#include "py/interrupt.hpp"
#include "py/node.hpp"

namespace arbolite::py {
namespace {

enum class Test { Name, Attr, Text };

bool matches(PyObject* node, Test test, std::string_view value) {
    switch (test) {
        case Test::Name: return same_text(node_name(node), value);
        case Test::Attr: {
            const AttrMap& attrs = node_attrs(node);
            return !attrs.empty() && attrs.contains(value);
        }
        case Test::Text: {
            std::optional<std::string_view> text = node_text(node);
            return text && same_text(*text, value);
        }
    }
    return false;
}

// A shared child is met once per path to it and listed each time. The walk
// keeps one frame per open node with children still to visit, so leaves are
// tested in place and never stacked. A negative depth never counts down to
// zero on the way, so it sets no limit.
PyResult<py::Ref> search_impl(PyObject* start, Test test, std::string_view value, std::optional<int32_t> depth) {
    struct Open {
        std::span<PyObject* const> children;
        size_t next_child;
        int64_t remaining;  // levels allowed below the children; < 0: unlimited
    };
    // Matches are taken (a new reference each) as they are met, while the
    // node is in the cache; the list then receives them as they are.
    struct Found {
        std::vector<PyObject*> nodes;
        ~Found() {
            for (PyObject* node : nodes) Py_DECREF(node);
        }
        void add(PyObject* node) {
            nodes.push_back(node);
            Py_INCREF(node);
        }
    } found;
    std::vector<Open> open;
    if (matches(start, test, value)) found.add(start);
    const int64_t limit = depth ? int64_t{*depth} : -1;
    std::span<PyObject* const> root_children = node_children(start);
    if (limit != 0 && !root_children.empty()) open.push_back({root_children, 0, limit < 0 ? -1 : limit - 1});
    HeldSignalCheck signals;
    while (!open.empty()) {
        Open& top = open.back();
        if (top.next_child == top.children.size()) {
            open.pop_back();
            continue;
        }
        ARBOLITE_TRY(signals.step());
        prefetch_ahead(top.children, top.next_child);
        PyObject* child = top.children[top.next_child++];
        if (matches(child, test, value)) found.add(child);
        std::span<PyObject* const> grandchildren = node_children(child);
        if (top.remaining != 0 && !grandchildren.empty()) {
            const int64_t below = top.remaining < 0 ? -1 : top.remaining - 1;
            open.push_back({grandchildren, 0, below});  // `top` is not used after this
        }
    }
    py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(found.nodes.size())));
    if (!list) return fail(py::fetch_error());
    for (size_t i = 0; i < found.nodes.size(); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), found.nodes[i]);
    found.nodes.clear();  // the list holds the references now
    return list;
}

// The test a member stands for, through its integer conversion: the type is
// mutable, so the conversion may fail or give a value no member has.
PyResult<Test> to_test(PyObject* member) {
    py::Ref by_value = py::Ref::steal(PyNumber_Long(member));
    if (!by_value) return fail(py::fetch_error());
    const long value = PyLong_AsLong(by_value.get());
    if (value == -1 && PyErr_Occurred()) return fail(py::fetch_error());
    switch (value) {
        case 0: return Test::Name;
        case 1: return Test::Attr;
        case 2: return Test::Text;
        default: return fail(py::search_type_value_error(value));
    }
}

PyResult<std::optional<int32_t>> to_depth(PyObject* arg) {
    if (py::absent(arg)) return std::optional<int32_t>();
    ARBOLITE_TRY_ASSIGN(int32_t depth, py::noted(py::to_i32(arg), "depth"));
    return std::optional<int32_t>(depth);
}

PyObject* search_with(Test test, const py::Params<2>& params, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargsf, PyObject* kwnames) {
    return py::boundary([&]() -> PyResult<py::Ref> {
        PyObject* arg[2];
        ARBOLITE_TRY(py::bind_fastcall(params.signature(), args, nargsf, kwnames, arg));
        ARBOLITE_TRY_ASSIGN(std::string_view value, py::noted(py::borrow_utf8(arg[0]), params.names[0]));
        ARBOLITE_TRY_ASSIGN(std::optional<int32_t> depth, to_depth(arg[1]));
        return search_impl(self, test, value, depth);
    });
}

const py::Params<2> kByName{{"name", "depth"}, 1, "Node.search_by_name()"};
const py::Params<2> kByAttr{{"key", "depth"}, 1, "Node.search_by_attr()"};
const py::Params<2> kByText{{"text", "depth"}, 1, "Node.search_by_text()"};
const py::Params<3> kSearch{{"by", "value", "depth"}, 2, "Node.search()"};

}  // namespace

PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return search_with(Test::Name, kByName, self, args, nargsf, kwnames);
}

PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return search_with(Test::Attr, kByAttr, self, args, nargsf, kwnames);
}

PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return search_with(Test::Text, kByText, self, args, nargsf, kwnames);
}

PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
    return py::boundary([&]() -> PyResult<py::Ref> {
        PyObject* arg[3];
        ARBOLITE_TRY(py::bind_fastcall(kSearch.signature(), args, nargsf, kwnames, arg));
        ARBOLITE_TRY_ASSIGN(PyTypeObject * by_type, search_type());
        if (!Py_IS_TYPE(arg[0], by_type)) return fail(py::type_mismatch(arg[0], "SearchType").noted("by"));
        ARBOLITE_TRY_ASSIGN(Test test, py::noted(to_test(arg[0]), "by"));
        ARBOLITE_TRY_ASSIGN(std::string_view value, py::noted(py::borrow_utf8(arg[1]), "value"));
        ARBOLITE_TRY_ASSIGN(std::optional<int32_t> depth, to_depth(arg[2]));
        return search_impl(self, test, value, depth);
    });
}

}  // namespace arbolite::py
