// Binding of call arguments to parameters. Every parameter is
// positional-or-keyword; the first `required` ones must be given.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "py/errors.hpp"

namespace arbolite::py {

struct Signature {
    const char* function;      // as the messages name it: "read_string()", "Node.search()"
    const char* const* params; // parameter names, in order
    size_t count;
    size_t required;
};

template <size_t N>
struct Params {
    std::array<const char*, N> names;
    size_t required;
    const char* function;
    Signature signature() const { return {function, names.data(), N, required}; }
};

// Fills out[0 .. count) with borrowed arguments; nullptr where one was left out.
Status<Exc> bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
                          PyObject** out);

// The same from an argument tuple and a keyword dict (the constructor).
Status<Exc> bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// A METH_FASTCALL | METH_KEYWORDS function as a method table entry.
#define ARBOLITE_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

// True when an optional argument was left out or given as None.
inline bool absent(PyObject* arg) { return arg == nullptr || arg == Py_None; }

}  // namespace arbolite::py
