#include "index/pipeline.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace arbolite::index {
namespace {

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
    _mm_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#else
    std::this_thread::yield();
#endif
}

// Polls of the other side's counter before a side goes to sleep: a few
// microseconds at most (a pause takes 10 to 150 cycles), so that a side
// that waits for long gives its core back soon.
constexpr int kSpinPolls = 256;

// How often a consumer that waits for the worker polls its interrupt hook.
constexpr int kWaitPollMs = 20;

// Blocks every signal in the calling thread for the object's lifetime.
class SignalsBlocked {
public:
    SignalsBlocked() noexcept {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before_);
    }
    ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &before_, nullptr); }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

private:
    sigset_t before_;
};

enum class SlotState : uint8_t { Batch, Error, OutOfMemory };

}  // namespace

// A single-producer, single-consumer ring of batches. `published` counts the
// slots the worker has filled, `released` those the consumer has finished
// with; slot i lives at index i % kRingSlots. The counters only grow, and
// each is written by one side only. Filling a slot happens-before its
// publication (release, read by the consumer with acquire), and reading it
// before its release.
//
// A side that has to wait polls the other's counter briefly, then sleeps on
// the condition variable with its `sleeping` flag set. Each side stores its
// counter and then looks at the other's flag, and each sleeper sets its flag
// and then looks at the counter, all sequentially consistent, so one of the
// two always sees the other: a wake-up is never lost, and when nobody sleeps
// a handover costs no lock and no system call.
struct IndexPipeline::Ring {
    struct Slot {
        StructuralIndex batch;
        IndexBuildError error{};
        SlotState state = SlotState::Batch;
        bool last = false;  // nothing follows this slot
    };

    Ring(std::string_view document, Builder builder, size_t batch_tags, IndexPipeline::Stage stage)
        : document(document), builder(builder), batch_tags(batch_tags), stage(stage) {}

    // The worker: indexes into free slots until the document ends, an error
    // ends it, or the consumer stops it.
    void produce() noexcept {
        size_t filled = 0;
        std::optional<IndexStream> stream;
        for (;;) {
            if (!wait_for_room(filled)) return;
            Slot& s = slots[filled % kRingSlots];
            try {
                if (!stream) stream.emplace(document, builder, batch_tags);
                const Status<IndexBuildError> status = stream->next(s.batch);
                s.state = status.ok() ? SlotState::Batch : SlotState::Error;
                if (!status.ok()) s.error = status.error();
                s.last = stream->done();
                if (status.ok() && stage)
                    stage(s.batch, filled % kRingSlots, filled - released.load(std::memory_order_acquire));
            } catch (...) {
                // Only std::bad_alloc can come out of the stream; the consumer
                // rethrows it on its own thread.
                s.state = SlotState::OutOfMemory;
                s.last = true;
            }
            ++filled;
            published.store(filled, std::memory_order_seq_cst);
            if (consumer_sleeping.load(std::memory_order_seq_cst)) wake();
            if (s.last) return;
        }
    }

    // Whether slot `filled` may be written: the ring has room and the
    // consumer has not stopped the worker. A full ring waits for half of it
    // to come free, so that a worker ahead of its consumer sleeps and wakes
    // once per few batches, not once per batch.
    bool wait_for_room(size_t filled) {
        auto room = [&](size_t need) {
            return filled - released.load(std::memory_order_acquire) <= kRingSlots - need;
        };
        if (stop.load(std::memory_order_relaxed)) return false;
        if (room(1)) return true;
        for (int i = 0; i < kSpinPolls; ++i) {
            cpu_pause();
            if (room(1)) return !stop.load(std::memory_order_relaxed);
        }
        std::unique_lock<std::mutex> lock(mutex);
        producer_sleeping.store(true, std::memory_order_seq_cst);
        while (!stop.load(std::memory_order_seq_cst) &&
               filled - released.load(std::memory_order_seq_cst) > kRingSlots - kRingSlots / 2)
            wakeup.wait(lock);
        producer_sleeping.store(false, std::memory_order_relaxed);
        return !stop.load(std::memory_order_relaxed);
    }

    // The consumer: waits until slot `taken` is published. With an active
    // hook it wakes every kWaitPollMs to poll it, outside the lock; false
    // when the hook says to stop.
    bool wait_for_batch(size_t taken, const InterruptHook& interrupt) {
        if (published.load(std::memory_order_acquire) > taken) return true;
        for (int i = 0; i < kSpinPolls; ++i) {
            cpu_pause();
            if (published.load(std::memory_order_acquire) > taken) return true;
        }
        std::unique_lock<std::mutex> lock(mutex);
        consumer_sleeping.store(true, std::memory_order_seq_cst);
        bool go_on = true;
        while (published.load(std::memory_order_seq_cst) <= taken) {
            if (!interrupt.active()) {
                wakeup.wait(lock);
            } else if (wakeup.wait_for(lock, std::chrono::milliseconds(kWaitPollMs)) == std::cv_status::timeout) {
                lock.unlock();
                go_on = !interrupt.stop_at_poll();
                lock.lock();
                if (!go_on) break;
            }
        }
        consumer_sleeping.store(false, std::memory_order_relaxed);
        return go_on;
    }

    // The consumer: done with slot `count - 1`.
    void release(size_t count) {
        released.store(count, std::memory_order_seq_cst);
        if (producer_sleeping.load(std::memory_order_seq_cst) &&
            published.load(std::memory_order_seq_cst) - count <= kRingSlots - kRingSlots / 2)
            wake();
    }

    // The consumer: stops the worker and waits for it to end.
    void stop_and_join() noexcept {
        stop.store(true, std::memory_order_seq_cst);
        wake();
        worker.join();
    }

    void wake() {
        // Taking the lock orders the notification after the sleeper's check
        // of its condition.
        { std::lock_guard<std::mutex> lock(mutex); }
        wakeup.notify_one();
    }

    const std::string_view document;
    const Builder builder;
    const size_t batch_tags;
    const IndexPipeline::Stage stage;
    Slot slots[kRingSlots];

    alignas(64) std::atomic<size_t> published{0};
    alignas(64) std::atomic<size_t> released{0};
    alignas(64) std::atomic<bool> consumer_sleeping{false};
    std::atomic<bool> producer_sleeping{false};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable wakeup;
    std::thread worker;
};

IndexPipeline::IndexPipeline(std::string_view document) : IndexPipeline(document, Stage()) {}

IndexPipeline::IndexPipeline(std::string_view document, Builder builder, size_t batch_tags, bool parallel)
    : IndexPipeline(document, builder, batch_tags, parallel, Stage()) {}

IndexPipeline::IndexPipeline(std::string_view document, Stage stage)
    : IndexPipeline(document, choose_builder_and_bound(document), stage) {}

// A small document's batch holds all its tags and no more room than they
// need: its lists are then small blocks, which the allocator hands out and
// takes back quickly.
IndexPipeline::IndexPipeline(std::string_view document, BuilderChoice choice, Stage stage)
    : IndexPipeline(document, choice.builder,
                    document.size() >= kMinParallelBytes ? kParallelBatchTags
                                                          : std::min(IndexStream::kBatchTags, choice.max_tags),
                    document.size() >= kMinParallelBytes, stage) {}

IndexPipeline::IndexPipeline(std::string_view document, Builder builder, size_t batch_tags, bool parallel,
                             Stage stage) {
    if (batch_tags < 1) batch_tags = 1;
    if (parallel) {
        ring_ = std::make_unique<Ring>(document, builder, batch_tags, stage);
        // The worker starts with every signal blocked (it inherits the mask
        // in force when it is created), so that signals keep going to the
        // process's own threads; the caller's mask is restored at once.
        const SignalsBlocked blocked;
        // No thread (none can be started, or there is no memory for its
        // state): index inline.
        try {
            ring_->worker = std::thread([r = ring_.get()] { r->produce(); });
        } catch (const std::system_error&) {
            ring_.reset();
        } catch (const std::bad_alloc&) {
            ring_.reset();
        }
    }
    if (!ring_) stream_.emplace(document, builder, batch_tags);
}

IndexPipeline::~IndexPipeline() {
    if (ring_) ring_->stop_and_join();
}

bool IndexPipeline::done() const { return ring_ ? finished_ : stream_->done(); }

Result<const StructuralIndex*, IndexBuildError> IndexPipeline::next(const InterruptHook& interrupt) {
    return ring_ ? next_from_ring(interrupt) : next_inline();
}

Result<const StructuralIndex*, IndexBuildError> IndexPipeline::next_inline() {
    Status<IndexBuildError> status = stream_->next(batch_);
    if (!status.ok()) return fail(status.error());
    return static_cast<const StructuralIndex*>(&batch_);
}

Result<const StructuralIndex*, IndexBuildError> IndexPipeline::next_from_ring(const InterruptHook& interrupt) {
    if (holding_) {
        holding_ = false;
        ring_->release(taken_);
    }
    if (finished_) return static_cast<const StructuralIndex*>(&empty_);
    if (!ring_->wait_for_batch(taken_, interrupt)) return fail(IndexBuildError{IndexBuildError::Kind::Interrupted, 0});
    const Ring::Slot& s = ring_->slots[taken_ % kRingSlots];
    ++taken_;
    holding_ = true;
    if (s.last) finished_ = true;
    switch (s.state) {
        case SlotState::Batch: return &s.batch;
        case SlotState::Error: return fail(s.error);
        case SlotState::OutOfMemory: throw std::bad_alloc();
    }
    return &s.batch;
}

}  // namespace arbolite::index
