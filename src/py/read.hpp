// read_string and read_file: parse with the interpreter lock released, then
// turn the parsed records into Node objects.
#pragma once

#include <Python.h>

namespace arbolite::py {

PyObject* read_string(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* read_file(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);

}  // namespace arbolite::py
