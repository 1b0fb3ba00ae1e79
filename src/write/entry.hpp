// write_string and write_file: snapshot the Node tree while holding the
// interpreter lock, then write it with the lock released.
#pragma once

#include <Python.h>

namespace arbolite::write {

PyObject* write_string(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* write_file(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace arbolite::write
