#include "py/once.hpp"

namespace arbolite::py {

PyResult<PyObject*> internal_fault_class() {
    static OnceCell cell;
    return cell.get([]() -> PyResult<py::Ref> {
        py::Ref cls = py::Ref::steal(PyErr_NewExceptionWithDoc(
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
    return cell.get([]() -> PyResult<py::Ref> {
        py::Ref abc = py::Ref::steal(PyImport_ImportModule("collections.abc"));
        py::Ref seq = abc ? py::Ref::steal(PyObject_GetAttrString(abc.get(), "Sequence")) : py::Ref();
        if (!seq || !PyType_Check(seq.get())) {
            if (PyErr_ExceptionMatches(PyExc_MemoryError)) return fail(fetch_error());
            PyErr_Clear();
            return fail(internal_fault("invariant: collections.abc.Sequence is a type"));
        }
        return seq;
    });
}

}  // namespace arbolite::py
