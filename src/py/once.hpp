// One-time creation of process-wide objects (the two types, the internal
// fault class, the cached collections.abc.Sequence), safe when threads race.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

#include "py/errors.hpp"

namespace arbolite::py {

class OnceCell {
public:
    // The cell's object, made by `make` (returning PyResult<py::Ref>) on the
    // first call that succeeds and kept until the process ends. A thread that
    // finds another one making it waits with the interpreter lock released.
    template <class Make>
    PyResult<PyObject*> get(Make&& make) {
        if (PyObject* made = value_.load(std::memory_order_acquire)) return made;
        Py_BEGIN_ALLOW_THREADS
        mutex_.lock();
        Py_END_ALLOW_THREADS
        std::unique_lock<std::mutex> lock(mutex_, std::adopt_lock);
        if (PyObject* made = value_.load(std::memory_order_acquire)) return made;
        PyResult<py::Ref> result = make();
        if (!result.ok()) return fail(std::move(result).error());
        PyObject* made = std::move(result).value().release();
        value_.store(made, std::memory_order_release);
        return made;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
};

// The class of the internal fault exception, derived from BaseException.
PyResult<PyObject*> internal_fault_class();

// collections.abc.Sequence, looked up once.
PyResult<PyObject*> sequence_abc();

}  // namespace arbolite::py
