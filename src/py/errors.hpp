// The boundary's error value and every message text the module raises.
//
// Operations at the boundary return PyResult<T>: a value, or an Exc holding
// the exception object to raise. Only `boundary()` (and the slot wrappers
// built on it) set the interpreter's current exception.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <cstdint>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "py/ref.hpp"

namespace arbolite {
struct OsError;
}
namespace arbolite::read {
struct ReadError;
struct TextPosition;
}
namespace arbolite::write {
struct WriteError;
}

namespace arbolite::py {

class Exc {
public:
    explicit Exc(py::Ref exception) noexcept : exc_(std::move(exception)) {}
    PyObject* get() const noexcept { return exc_.get(); }
    py::Ref take() noexcept { return std::move(exc_); }

    // Adds "while processing '{param}'" through the exception's add_note. A
    // failure of add_note itself is dropped and the exception kept as it was.
    Exc noted(const char* param) &&;

private:
    py::Ref exc_;
};

template <class T>
using PyResult = Result<T, Exc>;

// The exception the interpreter has just set (after a failed C API call).
Exc fetch_error();

// Drops the exception of a failed C API call that the caller can do without
// (it falls back to something else), unless the interpreter ran out of
// memory: that is thrown as std::bad_alloc, which boundary() raises as
// MemoryError. Only for code that runs inside boundary().
void drop_error();

// The exception a signal handler raised when it stopped a call (see
// interrupt.hpp), still set as the current one.
Exc interruption();

// Exceptions with the module's own texts.
Exc type_mismatch(PyObject* obj, std::string_view expected);
Exc str_to_vec_error();
Exc value_error(const char* message);
Exc circular_reference_error();
Exc search_type_value_error(long value);
Exc size_overflow_error();
Exc os_error(int errnum);
Exc os_error_message(const char* message);
Exc os_failure(const OsError& error);
Exc read_error(const read::ReadError& error);
// The same, with the note "line {line}, column {column}" that places the
// byte the error names. When the note cannot be added the error is raised
// without it, unless memory ran out: then MemoryError is raised, with the
// read error as its context.
Exc read_error(const read::ReadError& error, const read::TextPosition& where);
Exc write_error(const write::WriteError& error);
// The writer's invariants, as internal faults: its output is valid UTF-8, and
// a walk writes exactly what the measuring walk before it measured.
Exc writer_utf8_fault();
Exc writer_measure_fault();
Exc internal_fault(std::string_view text);
Exc memory_error();

// Argument binding.
Exc too_many_positional(const char* function, size_t required, size_t params, size_t given);
Exc unexpected_keyword(const char* function, PyObject* keyword);
Exc multiple_values(const char* function, const char* param);
Exc missing_arguments(const char* function, const std::vector<const char*>& names);

// The dictionary form's value conversion. A reason is one variant's failure;
// the message of a value that fits no variant is the head, the Vec
// variant's reason, then the tail (see dict_form.cpp).
std::string mismatch_text(PyObject* obj, std::string_view expected);
// The reason of a str that does not convert to a sequence.
std::string str_to_vec_text();
// The reason that a conversion's exception gives: its type's name and its
// text. Running out of memory is no reason: that error is handed back.
PyResult<std::string> exception_reason(Exc&& error);
// Up to the Vec variant's reason, with the reason of the String variant.
std::string variant_failure_head(std::string_view string_reason);
// After the Vec variant's reason: the reasons of NullableString (the one of
// String again) and Map.
std::string variant_failure_tail(std::string_view string_reason, std::string_view map_reason);
Exc type_error(std::string message);
// A converted dictionary whose `key` ("name", "attrs" or "children") is
// missing or of the wrong variant.
Exc invalid_dict_entry(const char* key);

// A failed conversion of the parameter `param`, with the processing note.
template <class T>
PyResult<T> noted(PyResult<T>&& result, const char* param) {
    if (result.ok()) return std::move(result);
    return fail(std::move(result).error().noted(param));
}

// Inside a catch-all handler: whether what is caught is the unwind that ends
// the thread (pthread_exit), which must be rethrown. It is no C++ exception
// and has no exception object, so it is told by its missing type rather than
// caught by name.
inline bool ending_thread() noexcept { return abi::__cxa_current_exception_type() == nullptr; }

// Raises the error: sets it as the current exception.
PyObject* raise(Exc&& error) noexcept;

// Runs `body`, which returns PyResult<py::Ref>, and hands Python the result
// or raises the error. No C++ exception escapes: running out of native
// memory raises MemoryError, anything else the internal fault. The one
// unwind let through is the thread's own end (the interpreter ends a thread
// that asks for the lock while it finalises): it must reach the thread's
// start, so neither this nor any frame between here and the lock is
// noexcept.
template <class Body>
PyObject* boundary(Body&& body) {
    try {
        auto result = body();
        if (result.ok()) return std::move(result).value().release();
        return raise(std::move(result).error());
    } catch (const std::bad_alloc&) {
        return raise(memory_error());
    } catch (const std::length_error&) {
        return raise(memory_error());
    } catch (const std::exception& e) {
        return raise(internal_fault(e.what()));
    } catch (...) {
        if (ending_thread()) throw;
        return raise(internal_fault("unexpected native exception"));
    }
}

// The same for slots that return an int (0 success, -1 error) or a status.
template <class Body>
int boundary_int(Body&& body) {
    PyObject* r = boundary([&]() -> PyResult<py::Ref> {
        auto status = body();
        if (!status.ok()) return fail(std::move(status).error());
        return py::Ref::borrow(Py_None);
    });
    if (!r) return -1;
    Py_DECREF(r);
    return 0;
}

}  // namespace arbolite::py
