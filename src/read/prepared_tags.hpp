// The start tags of a batch parsed ahead of the walk, on the index worker's
// thread, and the worker's stage that parses them.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/attr_map.hpp"
#include "common/interrupt.hpp"
#include "index/pipeline.hpp"
#include "index/structural.hpp"
#include "read/parser.hpp"
#include "read/read_error.hpp"

namespace arbolite::read {

// The start tags of a batch, parsed ahead of the walk (on the index worker's
// thread): each open or self-closing tag's attribute map by tag number, and
// the tags whose start tag is malformed, in order, with their faults.
struct PreparedTags {
    std::vector<AttrMap> attrs;
    std::vector<std::pair<size_t, ReadError>> faults;
    bool ready = false;  // prepared for the batch in this slot now

    // Parses the start tags of `batch`; `scratch` is a buffer for decoded
    // attribute values. Leaves a batch with a start tag longer than
    // kLongestTag to the walk (false): the walk would wait for it without
    // polling its interrupt hook, where it polls while it parses one itself.
    bool prepare(std::string_view document, const index::StructuralIndex& batch, std::string& scratch);

    static constexpr uint64_t kLongestTag = InterruptHook::kPollInterval;
};

// The worker's stage of parse_document: the start tags of each batch,
// parsed ahead when the walk is busy (or as `ahead` asks), until the walk
// is over.
struct AheadStage {
    AheadStage(std::string_view document, StartTagsAhead ahead) : document(document), ahead(ahead) {}

    std::string_view document;
    StartTagsAhead ahead;
    PreparedTags prepared[index::IndexPipeline::kRingSlots];
    std::atomic<bool> walk_over{false};
    std::string scratch;  // the worker's own

    // The stage as the index pipeline calls it, with `context` this stage.
    static void run(void* context, const index::StructuralIndex& batch, size_t slot, size_t unfinished);
};

}  // namespace arbolite::read
