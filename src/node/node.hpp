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

// A new Node whose fields `init(void* storage)` constructs in place (with
// moves only: it must not throw). Needs the interpreter lock. Nodes are not
// tracked by the collector and have no variable part, so the object is a
// plain block of the base allocator with its header set up; the type's
// tp_free (PyObject_Free) releases it. If the block cannot be allocated,
// `init` is not called and MemoryError is returned.
template <class Init>
PyResult<py::ref> create_node_with(PyTypeObject* type, Init&& init) {
    PyObject* obj = static_cast<PyObject*>(PyObject_Malloc(sizeof(NodeObject)));
    if (!obj) return fail(module::memory_error());
    PyObject_Init(obj, type);
    init(static_cast<void*>(&reinterpret_cast<NodeObject*>(obj)->fields));
    return py::ref::steal(obj);
}

// A new Node owning the given values. If the object cannot be allocated, the
// values stay with the caller, who releases them.
inline PyResult<py::ref> create_node(PyTypeObject* type, NodeFields&& fields) {
    return create_node_with(type, [&](void* storage) { new (storage) NodeFields(std::move(fields)); });
}

// A new dict of the attributes, in the map's order.
PyResult<py::ref> attrs_dict(const AttrMap& attrs);

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
