// write_string and write_file: convert the arguments while holding the
// interpreter lock, then walk the (immutable) Node tree and write it with the
// lock released.
#pragma once

#include <Python.h>

namespace arbolite::py {

PyObject* write_string(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* write_file(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace arbolite::py
