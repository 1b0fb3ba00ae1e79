#include "node/node.hpp"

#include <algorithm>
#include <iterator>

#include "module/binding.hpp"
#include "module/convert.hpp"
#include "module/once.hpp"

namespace arbolite::node {
namespace {

using module::absent;
using module::fetch_error;
using module::type_mismatch;

// Room reserved up front for children, whatever length a sequence claims;
// beyond it the list grows as items arrive.
constexpr Py_ssize_t kMaxChildReservation = 1 << 16;

PyResult<AttrMap> to_attr_map(PyObject* obj) {
    if (!PyDict_Check(obj)) return fail(type_mismatch(obj, "dict"));
    AttrMap map;
    map.reserve(static_cast<size_t>(PyDict_GET_SIZE(obj)));
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(obj, &pos, &key, &value)) {
        ARBOLITE_TRY_ASSIGN(std::string_view name, module::borrow_utf8(key));
        ARBOLITE_TRY_ASSIGN(std::string_view text, module::borrow_utf8(value));
        map.insert_or_assign(name, text);
    }
    return map;
}

Status<Exc> take_child(PyTypeObject* type, PyObject* item, std::vector<py::ref>& out) {
    if (!Py_IS_TYPE(item, type)) return fail(type_mismatch(item, "Node"));
    out.push_back(py::ref::borrow(item));
    return Ok{};
}

PyResult<std::vector<py::ref>> to_children(PyTypeObject* type, PyObject* obj) {
    if (PyUnicode_Check(obj)) return fail(module::str_to_vec_error());
    if (!PySequence_Check(obj)) {
        PyResult<PyObject*> sequence = module::sequence_abc();
        if (!sequence.ok()) return fail(std::move(sequence).error());
        return fail(type_mismatch(obj, reinterpret_cast<PyTypeObject*>(sequence.value())->tp_name));
    }
    std::vector<py::ref> children;
    Py_ssize_t claimed = PyObject_Length(obj);
    if (claimed < 0) PyErr_Clear();
    if (claimed > 0) children.reserve(static_cast<size_t>(std::min(claimed, kMaxChildReservation)));

    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // Nothing below runs Python code, so the items cannot change meanwhile.
        Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        PyObject** items = PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0; i < n; ++i) ARBOLITE_TRY(take_child(type, items[i], children));
        return children;
    }
    py::ref iterator = py::ref::steal(PyObject_GetIter(obj));
    if (!iterator) return fail(fetch_error());
    while (py::ref item = py::ref::steal(PyIter_Next(iterator.get()))) {
        ARBOLITE_TRY(take_child(type, item.get(), children));
    }
    if (PyErr_Occurred()) return fail(fetch_error());
    return children;
}

const module::Params<4> kConstructor{{"name", "attrs", "children", "text"}, 1, "Node.__new__()"};

PyObject* node_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return module::boundary([&]() -> PyResult<py::ref> {
        PyObject* arg[4];
        ARBOLITE_TRY(module::bind_tuple(kConstructor.signature(), args, kwargs, arg));
        NodeFields f;
        ARBOLITE_TRY_ASSIGN(f.name, module::noted(module::to_string(arg[0]), "name"));
        if (!absent(arg[1])) {
            ARBOLITE_TRY_ASSIGN(f.attrs, module::noted(to_attr_map(arg[1]), "attrs"));
        }
        if (!absent(arg[2])) {
            ARBOLITE_TRY_ASSIGN(f.children, module::noted(to_children(type, arg[2]), "children"));
        }
        if (!absent(arg[3])) {
            ARBOLITE_TRY_ASSIGN(f.text, module::noted(module::to_string(arg[3]), "text"));
        }
        return create_node(type, std::move(f));
    });
}

// Drops the children of a dying node. A child that is about to be freed hands
// its own children to this loop first, so a long chain of nodes is freed one
// level after another instead of by nested deallocations.
void release_children(std::vector<py::ref>&& children, PyTypeObject* type) noexcept {
    std::vector<py::ref> pending = std::move(children);
    std::reverse(pending.begin(), pending.end());  // drop in list order
    while (!pending.empty()) {
        py::ref child = std::move(pending.back());
        pending.pop_back();
        if (Py_REFCNT(child.get()) == 1 && Py_IS_TYPE(child.get(), type)) {
            std::vector<py::ref>& grandchildren = fields_of(child.get()).children;
            try {
                pending.insert(pending.end(), std::make_move_iterator(grandchildren.rbegin()),
                               std::make_move_iterator(grandchildren.rend()));
                grandchildren.clear();
            } catch (...) {
                // No memory to defer them: the child releases them itself.
            }
        }
    }
}

void node_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    NodeFields& f = fields_of(self);
    release_children(std::move(f.children), type);
    f.~NodeFields();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) {
    return module::boundary([&] { return module::new_str(fields_of(self).name); });
}

PyObject* get_text(PyObject* self, void*) {
    return module::boundary([&]() -> PyResult<py::ref> {
        const auto& text = fields_of(self).text;
        if (!text) return py::ref::borrow(Py_None);
        return module::new_str(*text);
    });
}

PyObject* get_attrs(PyObject* self, void*) {
    return module::boundary([&] { return attrs_dict(fields_of(self).attrs); });
}

PyObject* get_children(PyObject* self, void*) {
    return module::boundary([&]() -> PyResult<py::ref> {
        const auto& children = fields_of(self).children;
        py::ref list = py::ref::steal(PyList_New(static_cast<Py_ssize_t>(children.size())));
        if (!list) return fail(fetch_error());
        for (size_t i = 0; i < children.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(children[i].get()));
        }
        return list;
    });
}

PyGetSetDef node_getset[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"attrs", get_attrs, nullptr, nullptr, nullptr},
    {"text", get_text, nullptr, nullptr, nullptr},
    {"children", get_children, nullptr, "Children are shared references to the same nodes, not copies.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef node_methods[] = {
    {"__to_string", ARBOLITE_FASTCALL(node_to_string), METH_FASTCALL | METH_KEYWORDS,
     "__to_string($self, spacing=None)\n--\n\n"},
    {"search_by_name", ARBOLITE_FASTCALL(node_search_by_name), METH_FASTCALL | METH_KEYWORDS,
     "search_by_name($self, name, depth=None)\n--\n\n"},
    {"search_by_attr", ARBOLITE_FASTCALL(node_search_by_attr), METH_FASTCALL | METH_KEYWORDS,
     "search_by_attr($self, key, depth=None)\n--\n\n"},
    {"search_by_text", ARBOLITE_FASTCALL(node_search_by_text), METH_FASTCALL | METH_KEYWORDS,
     "search_by_text($self, text, depth=None)\n--\n\n"},
    {"search", ARBOLITE_FASTCALL(node_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, by, value, depth=None)\n--\n\n"},
    {"from_dict", ARBOLITE_FASTCALL(node_from_dict), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_dict($cls, dict_)\n--\n\n"},
    {"to_dict", node_to_dict, METH_NOARGS, "to_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot node_slots[] = {
    {Py_tp_doc, const_cast<char*>("Node(name, attrs=None, children=None, text=None)\n--\n\n")},
    {Py_tp_getset, node_getset},
    {Py_tp_methods, node_methods},
    {Py_tp_new, reinterpret_cast<void*>(node_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(node_str)},
    {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
    {0, nullptr},
};

// Not a base type, no instance dict or weak references, not tracked by the
// cyclic collector (nodes cannot form cycles), and left mutable.
PyType_Spec node_spec = {"arbolite.Node", sizeof(NodeObject), 0, Py_TPFLAGS_DEFAULT, node_slots};

}  // namespace

PyResult<PyTypeObject*> node_type() {
    static module::OnceCell cell;
    PyResult<PyObject*> type = cell.get([]() -> PyResult<py::ref> {
        py::ref made = py::ref::steal(PyType_FromSpec(&node_spec));
        if (!made) return fail(fetch_error());
        return made;
    });
    if (!type.ok()) return fail(std::move(type).error());
    return reinterpret_cast<PyTypeObject*>(type.value());
}

PyResult<py::ref> attrs_dict(const AttrMap& attrs) {
    py::ref dict = py::ref::steal(PyDict_New());
    if (!dict) return fail(fetch_error());
    for (const auto& entry : attrs) {
        ARBOLITE_TRY_ASSIGN(py::ref key, module::new_str(entry.name));
        ARBOLITE_TRY_ASSIGN(py::ref value, module::new_str(entry.value));
        if (PyDict_SetItem(dict.get(), key.get(), value.get()) < 0) return fail(fetch_error());
    }
    return dict;
}

PyResult<PyObject*> to_node(PyObject* obj) {
    PyResult<PyTypeObject*> type = node_type();
    if (!type.ok()) return fail(std::move(type).error());
    if (!Py_IS_TYPE(obj, type.value())) return fail(type_mismatch(obj, "Node"));
    return obj;
}

}  // namespace arbolite::node
