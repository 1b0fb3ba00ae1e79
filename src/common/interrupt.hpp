// Stopping work that blocks or runs long, from the caller's side.
//
// The work calls the caller's check when a system call has been interrupted
// by a signal, and at intervals of bulk work (every kPollInterval bytes or
// so). The check says whether to stop; work that stops reports an
// "interrupted" error value and leaves everything as it is at that point.
// Without a check (the default) interrupted system calls are simply retried
// and nothing polls.
#pragma once

#include <cstddef>
#include <cstdint>

namespace arbolite {

class InterruptHook {
public:
    // Why the work asks.
    enum class Wake : uint8_t {
        Signal,  // a system call failed with EINTR
        Poll,    // another interval of bulk work is done
    };
    // Returns true when the work is to stop. It may block, and it is called
    // from plain code only (never from a destructor or a noexcept function).
    using Check = bool (*)(void* context, Wake wake);

    // Bytes of bulk work between two polls.
    static constexpr uint64_t kPollInterval = uint64_t{2} << 20;

    constexpr InterruptHook() noexcept = default;
    constexpr InterruptHook(Check check, void* context) noexcept : check_(check), context_(context) {}

    bool active() const noexcept { return check_ != nullptr; }

    // After a system call failed with EINTR: true to stop, false to retry.
    bool stop_after_signal() const { return check_ != nullptr && check_(context_, Wake::Signal); }
    // At an interval of bulk work: true to stop.
    bool stop_at_poll() const { return check_ != nullptr && check_(context_, Wake::Poll); }

private:
    Check check_ = nullptr;
    void* context_ = nullptr;
};

// Counts the bytes of bulk work and polls the hook at each interval. With an
// inactive hook the counter never comes due, so the work pays one compare.
class PollCounter {
public:
    explicit PollCounter(const InterruptHook& hook) noexcept
        : hook_(hook), next_(hook.active() ? InterruptHook::kPollInterval : UINT64_MAX) {}

    // `done` is the work so far, in bytes (or an estimate of them).
    bool due(uint64_t done) const noexcept { return done >= next_; }

    // Polls; call when due(done). True when the work is to stop.
    bool stop(uint64_t done) {
        next_ = done + InterruptHook::kPollInterval;
        if (next_ < done) next_ = UINT64_MAX;
        return hook_.stop_at_poll();
    }

private:
    InterruptHook hook_;
    uint64_t next_;
};

}  // namespace arbolite
