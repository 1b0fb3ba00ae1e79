#include "read/parser.hpp"

#include <atomic>
#include <optional>
#include <utility>

#include "index/pipeline.hpp"
#include "read/prepared_tags.hpp"
#include "read/walk.hpp"

namespace arbolite::read {

Result<ParsedTree, ReadError> parse_document(std::string_view document, std::string_view root_tag,
                                             StartTagsAhead ahead, const InterruptHook& interrupt) {
    // The index is made a batch at a time (on a second thread for large
    // documents) as the walk goes. Once the walk is over (the root closed, or
    // it failed), the rest of the document is still indexed: a fault of the
    // index anywhere takes precedence over the walk's outcome.
    //
    // A worker thread also parses the start tags of a batch ahead of the
    // walk when the walk has at least one more batch to finish before it
    // (attributes are most of the work on attribute-heavy documents, and the
    // index alone leaves the worker idle part of the time); a walk that is
    // waiting gets its batch at once. The walk takes each such element, or
    // its fault, when it comes to it. Once the walk is over, the rest is only
    // indexed.
    //
    // The interrupt hook is polled by how far into the document the work
    // has come: between batches, where each starts, and inside one (the
    // attributes of one tag, the references of one text) by the walk; and
    // while the walk waits for the worker.
    AheadStage ahead_stage(document, ahead);
    index::IndexPipeline pipeline(document, {&AheadStage::run, &ahead_stage});
    PollCounter polls(interrupt);
    Walk walk(document, root_tag, &polls);
    std::optional<ReadError> failure;
    bool complete = false;
    while (!pipeline.done()) {
        Result<const index::StructuralIndex*, index::IndexBuildError> batch = pipeline.next(interrupt);
        if (!batch.ok()) return fail(index_failure(batch.error(), document.size()));
        const auto& starts = batch.value()->tag_starts;
        if (!starts.empty() && polls.due(starts.front()) && polls.stop(starts.front())) [[unlikely]]
            return fail(interrupted());
        if (complete || failure) {
            ahead_stage.walk_over.store(true, std::memory_order_relaxed);
            continue;
        }
        PreparedTags* tags = pipeline.parallel() ? &ahead_stage.prepared[pipeline.slot()] : nullptr;
        Result<Walk::Progress, ReadError> progress =
            walk.feed(*batch.value(), pipeline.done(), tags && tags->ready ? tags : nullptr);
        if (!progress.ok()) {
            if (progress.error().kind == ReadError::Kind::Interrupted) return fail(interrupted());
            failure = std::move(progress).error();
        } else {
            complete = progress.value() == Walk::Progress::Done;
        }
    }
    if (failure) return fail(std::move(*failure));
    if (!complete) return fail(walk.at_end());
    return walk.take_tree();
}

Result<ParsedTree, ReadError> parse_indexed(std::string_view document, const index::StructuralIndex& index,
                                            std::string_view root_tag) {
    Walk walk(document, root_tag);
    ARBOLITE_TRY_ASSIGN(Walk::Progress progress, walk.feed(index, true));
    if (progress == Walk::Progress::More) return fail(walk.at_end());
    return walk.take_tree();
}

}  // namespace arbolite::read
