// Conversion of Python arguments into native values. A failed conversion is
// an Exc; callers attach the processing note that names the parameter.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "py/errors.hpp"
#include "simd/utf8_decode.hpp"

namespace arbolite::py {

// The UTF-8 text of a str (strictly encoded), borrowed from the object: valid
// while the object lives. Not a str: type mismatch naming "str".
PyResult<std::string_view> borrow_utf8(PyObject* obj);

// The UTF-8 text of a whole document str. An ASCII str is borrowed as it
// is. Any other is encoded by utf8() into native memory that the
// DocumentText owns, so the str does not keep a UTF-8 copy of the document
// for the rest of its life, and the encoding needs no lock: a str never
// changes, and the caller holds it for the whole call.
class DocumentText {
public:
    // Needs the lock; fails (the type mismatch) when `obj` is not a str.
    static PyResult<DocumentText> of(PyObject* obj);

    // Why utf8() gives no text: the text has no strict UTF-8 form (a lone
    // surrogate), or the interrupt hook stopped the encoding.
    enum class NoText : uint8_t { NotUtf8, Interrupted };

    // Runs on any thread without the lock: the UTF-8 text, encoded on the
    // first call, polling `interrupt` about every poll interval of text.
    // Throws std::bad_alloc when memory runs out.
    Result<std::string_view, NoText> utf8(const InterruptHook& interrupt = {});

    // Needs the lock: encodes a text that utf8() found no UTF-8 form of
    // with the interpreter's encoder, which raises its own
    // UnicodeEncodeError. On success utf8() returns its bytes.
    Status<Exc> encode_strictly();

private:
    explicit DocumentText(PyObject* str) : str_(str) {}

    PyObject* str_;  // borrowed
    std::optional<std::string_view> view_;
    std::unique_ptr<char[]> owner_;
};

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
PyResult<py::Ref> new_str(std::string_view utf8);

// A new str of `code_points` characters stored in `units`, to be filled by
// the caller before anyone else sees it.
PyResult<py::Ref> new_blank_str(size_t code_points, simd::CodeUnits units);

// The same for a long text that is not borrowed from a Python object (a
// writer's output): measured and decoded by the native decoder into a str of
// exactly its size, with the interpreter lock released.
PyResult<py::Ref> new_str_unlocked(std::string_view utf8);

}  // namespace arbolite::py
