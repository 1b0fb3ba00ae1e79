#include "py/once.hpp"

namespace arbolite::py {

PyResult<PyObject*> internal_fault_class() {
    static OnceCell cell;
    return cell.get([]() -> PyResult<py::ref> {
        py::ref cls = py::ref::steal(PyErr_NewExceptionWithDoc(
            "arbolite.InternalFault",
            "A broken internal invariant of arbolite. Derived from BaseException so that it is not "
            "swallowed by `except Exception`.",
            PyExc_BaseException, nullptr));
        if (!cls) return fail(fetch_error());
        return cls;
    });
}

PyResult<PyObject*> sequence_abc() {
    static OnceCell cell;
    return cell.get([]() -> PyResult<py::ref> {
        py::ref abc = py::ref::steal(PyImport_ImportModule("collections.abc"));
        py::ref seq = abc ? py::ref::steal(PyObject_GetAttrString(abc.get(), "Sequence")) : py::ref();
        if (!seq || !PyType_Check(seq.get())) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return fail(fetch_error());
            PyErr_Clear();
            return fail(internal_fault("invariant: collections.abc.Sequence is a type"));
        }
        return seq;
    });
}

}  // namespace arbolite::py
