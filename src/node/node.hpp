// The Node type: one immutable XML element owning its name, attribute map
// and text, and holding counted references to its children.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "common/attr_map.hpp"
#include "module/errors.hpp"

namespace arbolite::node {

using module::Exc;
using module::PyResult;

struct NodeFields {
    AttrMap attrs;
    std::optional<std::string> text;
    std::string name;
    std::vector<py::ref> children;  // never empty references
};

struct NodeObject {
    PyObject_HEAD
    NodeFields fields;
};

inline NodeFields& fields_of(PyObject* node) { return reinterpret_cast<NodeObject*>(node)->fields; }

// The Node type object, made on first use and kept for the process.
PyResult<PyTypeObject*> node_type();

// A new Node owning the given values. Needs the interpreter lock. If the
// object cannot be allocated, the values (children included) are released
// and the interpreter's error is returned.
PyResult<py::ref> create_node(PyTypeObject* type, NodeFields&& fields);

// `obj` as a Node (borrowed), or the type mismatch naming Node.
PyResult<PyObject*> to_node(PyObject* obj);

// Methods and slots defined beside the type.
PyObject* node_repr(PyObject* self);
PyObject* node_str(PyObject* self);
PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* node_from_dict(PyObject* cls, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames);
PyObject* node_to_dict(PyObject* self, PyObject* unused);

// The SearchType enumeration.
PyResult<PyTypeObject*> search_type();

}  // namespace arbolite::node
