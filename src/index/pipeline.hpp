// The structural index of a document built on a thread of its own, a few
// batches ahead of the consumer, so that indexing and parsing overlap on two
// cores.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "index/structural.hpp"

namespace arbolite::index {

// Runs an IndexStream on a worker thread, up to a few batches ahead of the
// consumer. The batches and the error are exactly those of the IndexStream,
// in the same order. Small documents, and documents for which no thread can
// be started, are indexed on the consumer's thread by the same IndexStream.
//
// The worker reads only the document and writes only a ring of batches that
// it shares with the consumer; an exception inside it (std::bad_alloc) is
// handed over in order and rethrown by next() on the consumer's thread. The
// throw needs the thread's exception state, which is thread-local: the
// module keeps all thread-local data the worker touches in the static block
// that is set up with each thread (see its link options), so that a throw
// with memory exhausted never has to allocate it.
//
// The document must outlive the pipeline. One consumer thread only.
class IndexPipeline {
public:
    // Documents of at least this many bytes are indexed on a worker thread.
    // Below it, starting and joining the thread costs more than the overlap
    // gains.
    static constexpr size_t kMinParallelBytes = 256 * 1024;
    // Tags per batch on a worker thread: larger batches than the stream's
    // default, so that the handover costs little per tag.
    static constexpr size_t kParallelBatchTags = 2048;
    // Batches in the ring: the one the consumer reads, and those indexed
    // ahead of it.
    static constexpr size_t kRingSlots = 4;

    // The builder of choose_builder; a worker for documents of at least
    // kMinParallelBytes.
    explicit IndexPipeline(std::string_view document);
    // With this builder and batches of at most `batch_tags` (>= 1) tags; a
    // worker when `parallel` and a thread can be started.
    IndexPipeline(std::string_view document, Builder builder, size_t batch_tags, bool parallel);

    // More work for the worker: called on the worker thread with each batch
    // it has indexed without error, the ring slot (< kRingSlots) that holds
    // it, and the number of earlier batches the consumer has not finished
    // with yet (the one it reads included), before the consumer can see the
    // batch. That number tells whether the consumer is busy (extra work here
    // costs it nothing) or waiting for this batch. Whatever the stage writes
    // for a slot may be read by the consumer while it holds that slot's
    // batch (see slot()), and is not touched by the worker again until the
    // consumer has moved on. It may throw std::bad_alloc, which reaches the
    // consumer like the worker's own. Only used with a worker.
    //
    // A plain function and its context, which must outlive the pipeline: no
    // allocation and no wrapper for the many reads that never start a
    // worker.
    struct Stage {
        void (*run)(void* context, const StructuralIndex& batch, size_t slot, size_t unfinished) = nullptr;
        void* context = nullptr;
        explicit operator bool() const { return run != nullptr; }
        void operator()(const StructuralIndex& batch, size_t slot, size_t unfinished) const {
            run(context, batch, slot, unfinished);
        }
    };
    IndexPipeline(std::string_view document, Stage stage);

    IndexPipeline(const IndexPipeline&) = delete;
    IndexPipeline& operator=(const IndexPipeline&) = delete;
    // Stops the worker, if it is still indexing, and joins it.
    ~IndexPipeline();

    // True once next() has returned the document's last batch or an error.
    bool done() const;

    // The next batch, valid until the next call of next() or the pipeline's
    // destruction; after done(), an empty batch. Throws std::bad_alloc when
    // the worker ran out of memory. While it waits for the worker it polls
    // an active `interrupt` hook every few milliseconds (a batch may take
    // long to index: one text of many megabytes), and fails with
    // IndexBuildError::Kind::Interrupted when the hook says to stop; the
    // pipeline is then only good for destruction.
    Result<const StructuralIndex*, IndexBuildError> next(const InterruptHook& interrupt = {});

    // Whether a worker thread indexes the document.
    bool parallel() const { return ring_ != nullptr; }

    // With a worker: the ring slot of the batch that next() returned last.
    size_t slot() const { return (taken_ - 1) % kRingSlots; }

private:
    struct Ring;

    IndexPipeline(std::string_view document, BuilderChoice choice, Stage stage);
    IndexPipeline(std::string_view document, Builder builder, size_t batch_tags, bool parallel, Stage stage);

    Result<const StructuralIndex*, IndexBuildError> next_inline();
    Result<const StructuralIndex*, IndexBuildError> next_from_ring(const InterruptHook& interrupt);

    // Inline: the stream and the one batch it refills.
    std::optional<IndexStream> stream_;
    StructuralIndex batch_;
    // Parallel: the ring and the worker; the consumer's own counters.
    std::unique_ptr<Ring> ring_;
    size_t taken_ = 0;     // batches taken from the ring
    bool holding_ = false; // the consumer still reads the slot of batch taken_ - 1
    bool finished_ = false;
    StructuralIndex empty_;  // what next() returns after done()
};

}  // namespace arbolite::index
