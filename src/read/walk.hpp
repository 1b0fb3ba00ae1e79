// The walk over a document's structural index that builds the element tree
// of the requested root.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "index/structural.hpp"
#include "read/parsed_element.hpp"
#include "read/pending_text.hpp"
#include "read/read_error.hpp"

namespace arbolite::read {

struct PreparedTags;

// Walks the index batch by batch. Batches come in document order; each text
// range arrives in the same batch as the tag that follows it.
class Walk {
public:
    // With `polls`, the walk polls it inside long work of one tag or text,
    // by offset in the document, and fails with ReadError::Kind::Interrupted
    // when it says to stop.
    Walk(std::string_view document, std::string_view root_tag, PollCounter* polls = nullptr)
        : doc_(document.data()), length_(document.size()), root_tag_(root_tag), polls_(polls) {}

    // Takes the next batch. Done means the root has been closed (the tree is
    // complete); otherwise the walk wants more.
    enum class Progress : uint8_t { More, Done };
    // `prepared`, when given, holds the batch's start tags parsed ahead.
    // `last` tells that no batch follows this one.
    Result<Progress, ReadError> feed(const index::StructuralIndex& batch, bool last, PreparedTags* prepared = nullptr);

    // After the last batch, when the root did not close: the failure to report.
    ReadError at_end() const;

    ParsedTree take_tree() { return std::move(tree_); }

private:
    // The text of the open element at `depth` (1 for the root).
    struct LevelText {
        size_t depth;
        PendingText text;
    };

    bool names_root(size_t tag) const {
        return index_->name_lengths[tag] == root_tag_.size() &&
               std::memcmp(doc_ + index_->name_offsets[tag], root_tag_.data(), root_tag_.size()) == 0;
    }
    std::string_view tag_name(size_t tag) const {
        return {doc_ + index_->name_offsets[tag], index_->name_lengths[tag]};
    }
    size_t innermost() const { return open_[depth_ - 1]; }
    bool innermost_has_text() const { return texts_used_ != 0 && texts_[texts_used_ - 1].depth == depth_; }
    PendingText& innermost_text() {
        if (innermost_has_text()) [[likely]]
            return texts_[texts_used_ - 1].text;
        return new_innermost_text();
    }
    PendingText& new_innermost_text();

    Status<ReadError> take_text_before(uint64_t tag_start, PendingText& text);
    Status<ReadError> take_text_before(uint64_t tag_start);
    Result<size_t, ReadError> add_element(size_t tag);
    Status<ReadError> leaf_element(size_t tag);
    Result<std::optional<std::string_view>, ReadError> single_text(const char* p, const char* end);
    const char* find_markup(const char* p, const char* end);
    const char* find_markup_polled(const char* p, const char* end);
    Status<ReadError> append_text(const char* p, const char* end, PendingText& text);
    Status<ReadError> append_text_with_markup(const char* p, const char* hit, const char* end,
                                              PendingText& text);
    static void append_raw(const char* p, const char* end, PendingText& text);
    void reserve_elements(size_t tag);
    Status<ReadError> open_element(size_t tag, bool self_closing);
    Status<ReadError> check_end_tag(size_t tag);
    Status<ReadError> start_tag_into(size_t tag, std::vector<ParsedElement>& elements);

    const char* doc_;
    uint64_t length_;
    std::string_view root_tag_;
    PollCounter* polls_;
    const index::StructuralIndex* index_ = nullptr;  // the current batch
    PreparedTags* prepared_ = nullptr;        // its start tags parsed ahead, if they were
    size_t next_fault_ = 0;                   // the first of prepared_->faults not yet passed
    size_t cursor_ = 0;                       // its next unprocessed text range
    bool last_batch_ = false;                 // no batch follows the current one
    uint64_t root_start_ = 0;                 // offset of the root's '<'
    static constexpr size_t kFirstReservation = 1024;

    ParsedTree tree_;
    // The open elements of the root's subtree, outermost first, by element
    // index; entries at and above `depth_` are left over.
    std::vector<size_t> open_;
    size_t depth_ = 0;
    // The pending texts of the open elements that have met text (more than
    // white space), by increasing depth: a deep document keeps a text only
    // for the levels that have one, so that its open elements take little
    // memory. Entries from `texts_used_` on are kept for their
    // buffers.
    std::vector<LevelText> texts_;
    size_t texts_used_ = 0;
    std::vector<std::string_view> skipped_;  // names of the elements open outside the root
    std::vector<ParsedElement> discarded_;   // self-closing tags outside the root
    std::string attr_scratch_;               // decoded attribute values, reused
    PendingText leaf_text_;                  // the text of a leaf element, reused
};

}  // namespace arbolite::read
