#include "py/interrupt.hpp"

#include <ctime>

#include "py/ref.hpp"

// The interpreter's own test for "this thread runs signal handlers": exported
// by 3.12 and 3.13 (declared by the public headers of 3.12 only).
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
extern "C" PyAPI_FUNC(int) _PyOS_IsMainThread(void);
#endif

namespace arbolite::py {
namespace {

#if PY_VERSION_HEX < 0x030E0000

bool runs_signal_handlers() { return _PyOS_IsMainThread() != 0; }

#else

// The main interpreter's main thread, asked of the threading module. When
// that fails the thread is taken to run handlers: the check then only costs
// a lock handover where none was needed.
bool runs_signal_handlers() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) return false;
    py::Ref threading = py::Ref::steal(PyImport_ImportModule("threading"));
    py::Ref main = threading ? py::Ref::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : py::Ref();
    py::Ref ident = main ? py::Ref::steal(PyObject_GetAttrString(main.get(), "ident")) : py::Ref();
    const unsigned long id = ident ? PyLong_AsUnsignedLong(ident.get()) : static_cast<unsigned long>(-1);
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return true;
    }
    return id == PyThread_get_thread_ident();
}

#endif

uint64_t now_ms() {
    timespec t{};
#ifdef CLOCK_MONOTONIC_COARSE
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
#else
    clock_gettime(CLOCK_MONOTONIC, &t);
#endif
    return static_cast<uint64_t>(t.tv_sec) * 1000 + static_cast<uint64_t>(t.tv_nsec) / 1000000;
}

}  // namespace

SignalCheck::SignalCheck() {
    if (runs_signal_handlers()) thread_ = PyThreadState_Get();
}

bool SignalCheck::check(void* context, InterruptHook::Wake wake) {
    SignalCheck& self = *static_cast<SignalCheck*>(context);
    if (self.raised_) return true;
    if (wake == InterruptHook::Wake::Poll) {
        const uint64_t now = now_ms();
        if (now - self.last_poll_ms_ < kMinPollGapMs) return false;
        self.last_poll_ms_ = now;
    }
    PyEval_RestoreThread(self.thread_);
    self.raised_ = PyErr_CheckSignals() != 0;
    self.thread_ = PyEval_SaveThread();
    return self.raised_;
}

}  // namespace arbolite::py
