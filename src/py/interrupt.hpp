// Lets a signal handler (Ctrl-C's KeyboardInterrupt above all) stop work
// that runs without the interpreter lock, the way the interpreter's own I/O
// lets it through.
#pragma once

#include <Python.h>

#include <cstdint>

#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "py/errors.hpp"

namespace arbolite::py {

// The interrupt hook of one call. Made with the lock held, before the work:
// it decides once whether this thread runs signal handlers at all (the main
// thread of the main interpreter). On any other thread its hook is inactive,
// so that the work never pays for it: interrupted system calls are retried
// and nothing polls.
//
// On the signal-handling thread the hook takes the lock back and runs the
// pending handlers: after every system call interrupted by a signal, and at
// the work's polls, at most every kMinPollGapMs (so that a call on the main
// thread asks for the lock only a few times a second while other threads run
// Python). When a handler raises, the work stops and its exception stays
// the current one, to be raised by the call; a handler that returns lets the
// work go on.
//
// The lock is taken back and released again in plain code only: a thread
// that the interpreter ends while it waits for the lock unwinds through here
// without running anything that needs the lock.
class SignalCheck {
public:
    static constexpr uint64_t kMinPollGapMs = 100;

    SignalCheck();
    SignalCheck(const SignalCheck&) = delete;
    SignalCheck& operator=(const SignalCheck&) = delete;

    // The hook for the core, valid while this object lives.
    InterruptHook hook() { return thread_ ? InterruptHook(&check, this) : InterruptHook(); }

    // With the lock held, after the work: whether a handler raised (the
    // exception is the current one; errors.hpp's interruption() takes it).
    bool raised() const { return raised_; }

private:
    static bool check(void* context, InterruptHook::Wake wake);

    PyThreadState* thread_ = nullptr;  // null when this thread runs no handlers
    uint64_t last_poll_ms_ = 0;
    bool raised_ = false;
};

// For long walks that hold the lock throughout (the dict form, search,
// rendering): runs the pending signal handlers every kSteps steps, as the
// interpreter's own loops run them between instructions. A handler that
// raises ends the walk with its exception.
class HeldSignalCheck {
public:
    static constexpr uint32_t kSteps = 4096;

    Status<Exc> step() {
        if (++steps_ != kSteps) [[likely]]
            return Ok{};
        steps_ = 0;
        if (PyErr_CheckSignals() != 0) return fail(interruption());
        return Ok{};
    }

private:
    uint32_t steps_ = 0;
};

}  // namespace arbolite::py
