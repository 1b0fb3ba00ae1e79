#include "read/prepared_tags.hpp"

#include "read/start_tag.hpp"

namespace arbolite::read {

using index::StructuralIndex;
using index::TagKind;

bool PreparedTags::prepare(std::string_view document, const StructuralIndex& batch, std::string& scratch) {
    attrs.clear();
    attrs.resize(batch.tag_count());
    faults.clear();
    for (size_t t = 0; t < batch.tag_count(); ++t) {
        const TagKind kind = batch.tag_kinds[t];
        if (kind != TagKind::Open && kind != TagKind::SelfClosing) continue;
        if (batch.tag_ends[t] - batch.tag_starts[t] > kLongestTag) [[unlikely]]
            return false;
        std::string_view name;
        Status<ReadError> parsed = parse_start_tag_parts(document, batch, t, name, attrs[t], scratch);
        if (!parsed.ok()) faults.emplace_back(t, std::move(parsed).error());
    }
    return true;
}

void AheadStage::run(void* context, const StructuralIndex& batch, size_t slot, size_t unfinished) {
    auto& stage = *static_cast<AheadStage*>(context);
    PreparedTags& tags = stage.prepared[slot];
    tags.ready = false;
    const bool wanted = stage.ahead == StartTagsAhead::Always ||
                        (stage.ahead == StartTagsAhead::WhenWalkIsBusy && unfinished >= 2);
    if (!wanted || stage.walk_over.load(std::memory_order_relaxed)) return;
    tags.ready = tags.prepare(stage.document, batch, stage.scratch);
}

}  // namespace arbolite::read
