// SearchType: the enumeration Tag (0), Attr (1), Text (2) that chooses the
// test of Node.search. Its three members are made with the class and are
// the only instances there will ever be.
#include "py/once.hpp"
#include "py/node.hpp"

namespace arbolite::py {
namespace {

struct SearchTypeObject {
    PyObject_HEAD
    long value;
};

constexpr const char* kMemberNames[] = {"Tag", "Attr", "Text"};

long value_of(PyObject* member) { return reinterpret_cast<SearchTypeObject*>(member)->value; }

PyObject* search_type_repr(PyObject* self) {
    return PyUnicode_FromFormat("SearchType.%s", kMemberNames[value_of(self)]);
}

PyObject* search_type_int(PyObject* self) { return PyLong_FromLong(value_of(self)); }

// Members equal themselves and the integers of their values; nothing is
// ordered.
PyObject* search_type_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
    long other_value;
    if (Py_IS_TYPE(other, Py_TYPE(self))) {
        other_value = value_of(other);
    } else {
        py::Ref index = py::Ref::steal(PyNumber_Index(other));
        Py_ssize_t converted = index ? PyLong_AsSsize_t(index.get()) : -1;
        if (converted == -1 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return nullptr;
            PyErr_Clear();
            Py_RETURN_NOTIMPLEMENTED;
        }
        if (converted < 0 || converted > 2) return Py_NewRef(op == Py_EQ ? Py_False : Py_True);
        other_value = static_cast<long>(converted);
    }
    bool equal = other_value == value_of(self);
    return Py_NewRef((op == Py_EQ) == equal ? Py_True : Py_False);
}

PyType_Slot search_type_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(search_type_repr)},
    {Py_nb_int, reinterpret_cast<void*>(search_type_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(search_type_richcompare)},
    {0, nullptr},
};

PyType_Spec search_type_spec = {"arbolite.SearchType", sizeof(SearchTypeObject), 0,
                                Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, search_type_slots};

PyResult<py::Ref> make_search_type() {
    py::Ref type = py::Ref::steal(PyType_FromSpec(&search_type_spec));
    if (!type) return fail(py::fetch_error());
    auto* cls = reinterpret_cast<PyTypeObject*>(type.get());
    for (long value = 0; value < 3; ++value) {
        py::Ref member = py::Ref::steal(cls->tp_alloc(cls, 0));
        if (!member) return fail(py::fetch_error());
        reinterpret_cast<SearchTypeObject*>(member.get())->value = value;
        if (PyObject_SetAttrString(type.get(), kMemberNames[value], member.get()) < 0) {
            return fail(py::fetch_error());
        }
    }
    return type;
}

}  // namespace

PyResult<PyTypeObject*> search_type() {
    static py::OnceCell cell;
    ARBOLITE_TRY_ASSIGN(PyObject * type, cell.get(make_search_type));
    return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace arbolite::py
