// Running native work with the interpreter lock released.
#pragma once

#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "py/errors.hpp"
#include "py/ref.hpp"

namespace arbolite::py {

// Runs `work` with the interpreter lock released and takes the lock again
// afterwards, also when `work` throws: the exception is held meanwhile and
// thrown again once the lock is back. `work` must not touch any Python
// object: it sees only native data copied or borrowed beforehand.
//
// Taking the lock back may end the thread: while the interpreter finalises,
// a thread that asks for the lock is ended by unwinding its stack, without
// the lock. So the lock is taken in plain code, never in a destructor or a
// noexcept function (the unwind would end the process there), and no frame
// that is live across the call may own a Python reference (its destructor
// would run without the lock): callers keep only borrowed pointers and
// native data in such frames.
namespace detail {

template <class Work>
auto run_unlocked(Work&& work, py::Ref* keep) {
    using T = decltype(std::forward<Work>(work)());
    if constexpr (std::is_void_v<T>) {
        run_unlocked(
            [&] {
                std::forward<Work>(work)();
                return true;
            },
            keep);
    } else {
        std::optional<T> value;
        std::exception_ptr thrown;
        PyObject* const kept = keep ? keep->release() : nullptr;
        PyThreadState* const state = PyEval_SaveThread();
        try {
            value.emplace(std::forward<Work>(work)());
        } catch (...) {
            // The thread may be ended while it does not hold the lock.
            if (ending_thread()) throw;
            thrown = std::current_exception();
        }
        PyEval_RestoreThread(state);
        if (keep) *keep = py::Ref::steal(kept);
        if (thrown) std::rethrow_exception(thrown);
        return std::move(*value);
    }
}

}  // namespace detail

template <class Work>
auto without_lock(Work&& work) {
    return detail::run_unlocked(std::forward<Work>(work), nullptr);
}

// The same for a caller that owns a new object which `work` fills (a str
// that nobody else can see yet): `keep` holds it again once the lock is
// back, and meanwhile only a plain pointer does, which the thread's end
// leaves alone.
template <class Work>
auto without_lock(py::Ref& keep, Work&& work) {
    return detail::run_unlocked(std::forward<Work>(work), &keep);
}

}  // namespace arbolite::py
