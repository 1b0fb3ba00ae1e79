// The module object: one execution step that adds the classes and functions
// to a fresh module and to its __all__. There is no per-module state.
#include <Python.h>

#include "py/binding.hpp"
#include "py/errors.hpp"
#include "py/node.hpp"
#include "py/read.hpp"
#include "py/write.hpp"

namespace arbolite::py {
namespace {

// Appends `name` to the module's __all__ (creating it if needed), then sets
// the attribute.
Status<Exc> add_value(PyObject* module, const char* name, PyObject* value) {
    py::Ref all = py::Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        drop_error();
        all = py::Ref::steal(PyList_New(0));
        if (!all) return fail(fetch_error());
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return fail(fetch_error());
    }
    if (!PyList_Check(all.get())) return fail(internal_fault("could not append __name__ to __all__"));
    py::Ref name_obj = py::Ref::steal(PyUnicode_FromString(name));
    if (!name_obj || PyList_Append(all.get(), name_obj.get()) < 0) return fail(fetch_error());
    if (PyObject_SetAttrString(module, name, value) < 0) return fail(fetch_error());
    return Ok{};
}

// Module functions bound to the module, so that `__self__` is the module
// (a static flag would make it None).
PyMethodDef functions[] = {
    {"read_string", ARBOLITE_FASTCALL(read_string), METH_FASTCALL | METH_KEYWORDS,
     "read_string(xml_string, root_tag)\n--\n\n"},
    {"read_file", ARBOLITE_FASTCALL(read_file), METH_FASTCALL | METH_KEYWORDS,
     "read_file(file_path, root_tag)\n--\n\n"},
    {"write_file", ARBOLITE_FASTCALL(write_file), METH_FASTCALL | METH_KEYWORDS,
     "write_file(node, file_path, indent=None, default_xml_def=None)\n--\n\n"},
    {"write_string", ARBOLITE_FASTCALL(write_string), METH_FASTCALL | METH_KEYWORDS,
     "write_string(node, indent=None, default_xml_def=None)\n--\n\n"},
};

// The functions are added in the order of the module's contents.
constexpr size_t kAddOrder[] = {1, 0, 2, 3};

Status<Exc> add_function(PyObject* module, PyMethodDef* def) {
    py::Ref module_name = py::Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return fail(fetch_error());
    py::Ref function = py::Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
    if (!function) return fail(fetch_error());
    return add_value(module, def->ml_name, function.get());
}

int module_exec(PyObject* module) {
    return boundary_int([&]() -> Status<Exc> {
        if (!PyModule_Check(module)) return fail(type_mismatch(module, "module"));
        ARBOLITE_TRY_ASSIGN(PyTypeObject * search_type, py::search_type());
        ARBOLITE_TRY(add_value(module, "SearchType", reinterpret_cast<PyObject*>(search_type)));
        ARBOLITE_TRY_ASSIGN(PyTypeObject * node_type, py::node_type());
        ARBOLITE_TRY(add_value(module, "Node", reinterpret_cast<PyObject*>(node_type)));
        for (size_t i : kAddOrder) ARBOLITE_TRY(add_function(module, &functions[i]));
        return Ok{};
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "arbolite", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace arbolite::py

PyMODINIT_FUNC PyInit_arbolite() { return PyModuleDef_Init(&arbolite::py::module_def); }
