#include "py/node.hpp"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <new>
#include <vector>

#include "common/copy.hpp"
#include "py/binding.hpp"
#include "py/convert.hpp"
#include "py/once.hpp"

namespace arbolite::py {
namespace {

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
        ARBOLITE_TRY_ASSIGN(std::string_view name, py::borrow_utf8(key));
        ARBOLITE_TRY_ASSIGN(std::string_view text, py::borrow_utf8(value));
        map.insert_or_assign(name, text);
    }
    return map;
}

Status<Exc> take_child(PyTypeObject* type, PyObject* item, std::vector<py::Ref>& out) {
    if (!Py_IS_TYPE(item, type)) return fail(type_mismatch(item, "Node"));
    out.push_back(py::Ref::borrow(item));
    return Ok{};
}

PyResult<std::vector<py::Ref>> to_children(PyTypeObject* type, PyObject* obj) {
    if (PyUnicode_Check(obj)) return fail(py::str_to_vec_error());
    if (!PySequence_Check(obj)) {
        PyResult<PyObject*> sequence = py::sequence_abc();
        if (!sequence.ok()) return fail(std::move(sequence).error());
        return fail(type_mismatch(obj, reinterpret_cast<PyTypeObject*>(sequence.value())->tp_name));
    }
    std::vector<py::Ref> children;
    Py_ssize_t claimed = PyObject_Length(obj);
    if (claimed < 0) py::drop_error();  // only a hint: the iteration tells
    if (claimed > 0) children.reserve(static_cast<size_t>(std::min(claimed, kMaxChildReservation)));

    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // Nothing below runs Python code, so the items cannot change meanwhile.
        Py_ssize_t n = PySequence_Fast_GET_SIZE(obj);
        PyObject** items = PySequence_Fast_ITEMS(obj);
        for (Py_ssize_t i = 0; i < n; ++i) ARBOLITE_TRY(take_child(type, items[i], children));
        return children;
    }
    py::Ref iterator = py::Ref::steal(PyObject_GetIter(obj));
    if (!iterator) return fail(fetch_error());
    while (py::Ref item = py::Ref::steal(PyIter_Next(iterator.get()))) {
        ARBOLITE_TRY(take_child(type, item.get(), children));
    }
    if (PyErr_Occurred()) return fail(fetch_error());
    return children;
}

const py::Params<4> kConstructor{{"name", "attrs", "children", "text"}, 1, "Node.__new__()"};

PyObject* node_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return py::boundary([&]() -> PyResult<py::Ref> {
        PyObject* arg[4];
        ARBOLITE_TRY(py::bind_tuple(kConstructor.signature(), args, kwargs, arg));
        // The name's and the text's bytes are borrowed from their str objects,
        // which are held here while the children's iteration runs Python code.
        py::Ref name_owner = py::Ref::borrow(arg[0]);
        py::Ref text_owner = py::Ref::borrow(arg[3]);
        ARBOLITE_TRY_ASSIGN(std::string_view name, py::noted(py::borrow_utf8(arg[0]), "name"));
        AttrMap attrs;
        if (!absent(arg[1])) {
            ARBOLITE_TRY_ASSIGN(attrs, py::noted(to_attr_map(arg[1]), "attrs"));
        }
        std::vector<py::Ref> children;
        if (!absent(arg[2])) {
            ARBOLITE_TRY_ASSIGN(children, py::noted(to_children(type, arg[2]), "children"));
        }
        std::optional<std::string_view> text;
        if (!absent(arg[3])) {
            ARBOLITE_TRY_ASSIGN(text, py::noted(py::borrow_utf8(arg[3]), "text"));
        }
        return create_node(type, name, std::move(attrs), children, text);
    });
}

// Takes over one child of a dying node: a child that is about to be freed
// (its count is 1) first hands its own children to `pending`, so that it
// frees nothing but itself. Without memory to defer them it keeps them and
// releases them itself.
void drop_child(PyObject* child, PyTypeObject* type, std::vector<PyObject*>& pending) noexcept {
    if (Py_REFCNT(child) == 1 && Py_IS_TYPE(child, type)) {
        NodeObject* n = detail::as_node(child);
        if (n->child_count != 0) {
            PyObject** first = detail::children_of(child);
            try {
                pending.insert(pending.end(), std::reverse_iterator(first + n->child_count),
                               std::reverse_iterator(first));
                // Its slots are emptied, not its count: the name and the
                // text are found after the slots.
                std::fill_n(first, n->child_count, nullptr);
            } catch (...) {
                // No memory to defer them: the child releases them itself.
            }
        }
    }
    Py_DECREF(child);
}

// Drops the children of a dying node in list order. Grandchildren handed
// over by a dying child are dropped right after it, before its next sibling,
// so a long chain of nodes is freed one level after another instead of by
// nested deallocations.
void release_children(PyObject* self, PyTypeObject* type) noexcept {
    NodeObject* n = detail::as_node(self);
    PyObject** children = detail::children_of(self);
    std::vector<PyObject*> pending;
    for (size_t i = 0; i < n->child_count; ++i) {
        if (!children[i]) continue;  // handed over by drop_child()
        drop_child(children[i], type, pending);
        while (!pending.empty()) {
            PyObject* next = pending.back();
            pending.pop_back();
            drop_child(next, type, pending);
        }
    }
}

void node_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // The name and the text live in the block and go with it.
    detail::as_node(self)->attrs.~AttrMap();
    release_children(self, type);
    type->tp_free(self);
    Py_DECREF(type);
}

// Gives a node's block back to the allocator it came from, and its text
// block if it has one.
void node_free(void* self) {
    auto* obj = static_cast<PyObject*>(self);
    const size_t place = detail::place_of(detail::as_node(obj));
    if (place == 0) {
        PyObject_Free(self);
        return;
    }
    const size_t text_size = detail::as_node(obj)->text_size;
    if (text_size != kNoText && (text_size & detail::kTextApart)) {
        char* text;
        std::memcpy(&text, detail::after_name(obj), sizeof text);
        char* block = text - detail::kTextHeader;
        size_t marked;
        std::memcpy(&marked, block, sizeof marked);
        BlockChunks::release(block, marked & ~detail::kTextBlockMark);
    }
    BlockChunks::release(self, place);
}

PyObject* get_name(PyObject* self, void*) {
    return py::boundary([&] { return py::new_str(node_name(self)); });
}

PyObject* get_text(PyObject* self, void*) {
    return py::boundary([&]() -> PyResult<py::Ref> {
        std::optional<std::string_view> text = node_text(self);
        if (!text) return py::Ref::borrow(Py_None);
        return py::new_str(*text);
    });
}

PyObject* get_attrs(PyObject* self, void*) {
    return py::boundary([&] {
        auto str = [](std::string_view bytes) { return py::new_str(bytes); };
        return attrs_dict(node_attrs(self), str, str);
    });
}

PyObject* get_children(PyObject* self, void*) {
    return py::boundary([&]() -> PyResult<py::Ref> {
        std::span<PyObject* const> children = node_children(self);
        py::Ref list = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(children.size())));
        if (!list) return fail(fetch_error());
        for (size_t i = 0; i < children.size(); ++i) {
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Py_NewRef(children[i]));
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
    {Py_tp_free, reinterpret_cast<void*>(node_free)},
    {Py_tp_str, reinterpret_cast<void*>(node_str)},
    {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
    {0, nullptr},
};

// Not a base type, no instance dict or weak references, not tracked by the
// cyclic collector (nodes cannot form cycles), and left mutable.
PyType_Spec node_spec = {"arbolite.Node", sizeof(NodeObject), 0, Py_TPFLAGS_DEFAULT, node_slots};

}  // namespace

PyResult<PyTypeObject*> node_type() {
    static py::OnceCell cell;
    PyResult<PyObject*> type = cell.get([]() -> PyResult<py::Ref> {
        py::Ref made = py::Ref::steal(PyType_FromSpec(&node_spec));
        if (!made) return fail(fetch_error());
        return made;
    });
    if (!type.ok()) return fail(std::move(type).error());
    return reinterpret_cast<PyTypeObject*>(type.value());
}

namespace detail {

char* fill_node(PyObject* obj, std::string_view name, AttrMap&& attrs, size_t child_count,
                std::optional<std::string_view> text, size_t place, bool text_apart) noexcept {
    NodeObject* n = as_node(obj);
    new (&n->attrs) AttrMap(std::move(attrs));
    n->name_and_place = name.size() | (place << kPlaceShift);
    n->text_size = !text ? kNoText : text_apart ? text->size() | kTextApart : text->size();
    n->child_count = child_count;
    char* bytes = reinterpret_cast<char*>(children_of(obj) + child_count);
    copy_bytes(bytes, name.data(), name.size());
    bytes += name.size();
    if (text && !text_apart && !text->empty()) copy_bytes(bytes, text->data(), text->size());
    return bytes;
}

}  // namespace detail

PyResult<py::Ref> create_node(PyTypeObject* type, std::string_view name, AttrMap&& attrs,
                              std::span<py::Ref> children, std::optional<std::string_view> text) {
    const size_t size = detail::node_block_size(name.size(), children.size(), text ? text->size() : 0);
    if (size == 0) return fail(py::memory_error());
    PyObject* obj = static_cast<PyObject*>(PyObject_Malloc(size));
    if (!obj) return fail(py::memory_error());
    PyObject_Init(obj, type);
    detail::fill_node(obj, name, std::move(attrs), children.size(), text, 0);
    PyObject** slots = detail::children_of(obj);
    for (size_t i = 0; i < children.size(); ++i) slots[i] = children[i].release();
    return py::Ref::steal(obj);
}

PyResult<PyObject*> to_node(PyObject* obj) {
    PyResult<PyTypeObject*> type = node_type();
    if (!type.ok()) return fail(std::move(type).error());
    if (!Py_IS_TYPE(obj, type.value())) return fail(type_mismatch(obj, "Node"));
    return obj;
}

}  // namespace arbolite::py
