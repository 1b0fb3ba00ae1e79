// Conversion of Python arguments into native values. A failed conversion is
// an Exc; callers attach the processing note that names the parameter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "module/errors.hpp"

namespace arbolite::module {

// The UTF-8 text of a str (strictly encoded), borrowed from the object: valid
// while the object lives. Not a str: type mismatch naming "str".
PyResult<std::string_view> borrow_utf8(PyObject* obj);

// The UTF-8 text of a whole document. An ASCII str is borrowed as it is;
// any other is encoded into a temporary copy that `owner` releases, so the
// str does not keep a UTF-8 copy of the document for the rest of its life.
// The copy is native memory, so that a Utf8Text may live across a call that
// releases the interpreter lock.
struct Utf8Text {
    std::string_view view;
    std::unique_ptr<char[]> owner;
};
PyResult<Utf8Text> document_utf8(PyObject* obj);

// The same, copied.
PyResult<std::string> to_string(PyObject* obj);

// True or False, or a NumPy boolean scalar by its truth value.
PyResult<bool> to_bool(PyObject* obj);

// An unsigned size through __index__.
PyResult<size_t> to_size(PyObject* obj);

// A signed 32-bit integer through __index__.
PyResult<int32_t> to_i32(PyObject* obj);

// An integer 0..255 through __index__.
PyResult<uint8_t> to_u8(PyObject* obj);

// A str built from UTF-8 that is known to be valid.
PyResult<py::ref> new_str(std::string_view utf8);

// The same for a long text that is not borrowed from a Python object (a
// writer's output): measured and decoded by the native decoder into a str of
// exactly its size, with the interpreter lock released.
PyResult<py::ref> new_str_unlocked(std::string_view utf8);

}  // namespace arbolite::module
