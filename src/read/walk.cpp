#include "read/walk.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "common/growth.hpp"
#include "entities/references.hpp"
#include "read/char_classes.hpp"
#include "read/prepared_tags.hpp"
#include "read/start_tag.hpp"
#include "simd/search.hpp"

namespace arbolite::read {

using index::StructuralIndex;
using index::TagKind;
using Malformation = ReadError::Malformation;

// An empty pending text for the innermost open element, which has none yet.
[[gnu::noinline]] PendingText& Walk::new_innermost_text() {
    if (texts_used_ == texts_.size()) texts_.emplace_back();
    LevelText& level = texts_[texts_used_++];
    level.depth = depth_;
    level.text.reset();
    return level.text;
}

// Appends the text ranges of the batch that start before `tag_start`, if
// any, to the innermost open element's text.
inline Status<ReadError> Walk::take_text_before(uint64_t tag_start) {
    const uint64_t* starts = index_->text_starts.data();
    const size_t count = index_->text_starts.size();
    if (cursor_ == count || starts[cursor_] >= tag_start) return Ok{};
    if (!innermost_has_text()) {
        // White space before any text is dropped (as appending it to an
        // empty text would): the indentation of a document makes no text.
        while (skip_white_space(doc_ + starts[cursor_], doc_ + index_->text_ends[cursor_]) ==
               doc_ + index_->text_ends[cursor_]) {
            if (++cursor_ == count || starts[cursor_] >= tag_start) return Ok{};
        }
    }
    return take_text_before(tag_start, innermost_text());
}

// Appends the text ranges of the batch that start before `tag_start` to
// `text`.
inline Status<ReadError> Walk::take_text_before(uint64_t tag_start, PendingText& text) {
    const uint64_t* starts = index_->text_starts.data();
    const size_t count = index_->text_starts.size();
    size_t cursor = cursor_;  // kept in a register: the appends write memory
    while (cursor < count && starts[cursor] < tag_start) {
        ARBOLITE_TRY(append_text(doc_ + starts[cursor], doc_ + index_->text_ends[cursor], text));
        ++cursor;
    }
    cursor_ = cursor;
    return Ok{};
}

// The first '<' or '&' in [p, end), or `end`; null when the interrupt hook,
// polled in a long run, says to stop.
inline const char* Walk::find_markup(const char* p, const char* end) {
    if (static_cast<size_t>(end - p) > InterruptHook::kPollInterval && polls_) [[unlikely]]
        return find_markup_polled(p, end);
    return simd::find_any4_bounded(p, end, doc_ + length_, '<', '&', '<', '&');
}

// The same in a long run, a poll interval at a time, polling between.
[[gnu::noinline]] const char* Walk::find_markup_polled(const char* p, const char* end) {
    constexpr size_t kPiece = InterruptHook::kPollInterval;
    for (;;) {
        const char* piece_end = static_cast<size_t>(end - p) > kPiece ? p + kPiece : end;
        const char* hit = simd::find_any4_bounded(p, piece_end, doc_ + length_, '<', '&', '<', '&');
        if (hit != piece_end || piece_end == end) return hit;
        p = piece_end;
        if (polls_->due(offset_of(doc_, p)) && polls_->stop(offset_of(doc_, p))) return nullptr;
    }
}

inline Status<ReadError> Walk::append_text(const char* p, const char* end, PendingText& text) {
    if (text.empty()) {
        p = skip_white_space(p, end);
        if (p == end) return Ok{};
    }
    const char* hit = find_markup(p, end);
    if (hit == nullptr) [[unlikely]]
        return fail(interrupted());
    if (hit == end) {
        text.append(p, end);
        return Ok{};
    }
    return append_text_with_markup(p, hit, end, text);
}

// Text holding '&' or '<'; `hit` is the first of them.
[[gnu::noinline]] Status<ReadError> Walk::append_text_with_markup(const char* p, const char* hit,
                                                                     const char* end, PendingText& text) {
    const char* lt = *hit == '<' ? hit : simd::find_byte(hit + 1, end, '<');
    if (lt != end) return fail(malformed(Malformation::UnexpectedLessThan, offset_of(doc_, lt)));
    return decode_references_into(doc_, p, end, entities::RefMode::Text, text.buffer(), polls_);
}

inline void Walk::append_raw(const char* p, const char* end, PendingText& text) {
    if (text.empty()) p = skip_white_space(p, end);
    if (p != end) text.append(p, end);
}

// Makes room for the elements still to come when the list is full, the
// element of tag number `tag` first. The first reservation is small, and
// no larger than the tags left when the batch is the document's last (as
// the only batch of a small document is): each of them makes one element
// at most. After that the final count is predicted from the density of
// elements in the root so far, so that a root of uniform shape moves its
// records once or twice instead of at every doubling. No element takes
// fewer than 3 bytes.
[[gnu::noinline]] void Walk::reserve_elements(size_t tag) {
    auto& elements = tree_.elements;
    const size_t count = elements.size();
    if (count < kFirstReservation) {
        const size_t tags_left = index_->tag_count() - tag;
        elements.reserve(last_batch_ && tags_left < kFirstReservation - count ? count + tags_left
                                                                              : kFirstReservation);
        return;
    }
    const uint64_t position = index_->tag_starts[tag];
    const uint64_t span = length_ - root_start_;
    size_t want = predicted_length(count, position - root_start_ + 1, span, static_cast<size_t>(span / 3 + 1));
    if (want < count + count / 2) want = count + count / 2;
    elements.reserve(want);
}

// Appends the element of an open or self-closing tag inside the root (or the
// root itself) to the tree, as the last child of the innermost open element;
// returns its index.
inline Result<size_t, ReadError> Walk::add_element(size_t tag) {
    auto& elements = tree_.elements;
    const size_t at = elements.size();
    if (at == elements.capacity()) [[unlikely]]
        reserve_elements(tag);
    ARBOLITE_TRY(start_tag_into(tag, elements));
    if (depth_ != 0) ++elements[innermost()].child_count;
    return at;
}

// Adds the element of an open or self-closing tag inside the root (or the
// root itself) to the tree, and opens it unless it is self-closing.
inline Status<ReadError> Walk::open_element(size_t tag, bool self_closing) {
    ARBOLITE_TRY_ASSIGN(const size_t at, add_element(tag));
    if (self_closing) {
        tree_.elements[at].end = at + 1;
    } else {
        if (depth_ == open_.size()) [[unlikely]] {
            open_.push_back(at);
        } else {
            open_[depth_] = at;
        }
        ++depth_;
    }
    return Ok{};
}

// An element inside the root whose open tag is directly followed by its
// close tag, with at most text between them: the most common element, done
// in one step with the same checks, in the same order, as the general walk
// (start tag, the close tag's place, the text, the close tag).
inline Status<ReadError> Walk::leaf_element(size_t tag) {
    ARBOLITE_TRY_ASSIGN(const size_t at, add_element(tag));

    const size_t close = tag + 1;
    const uint64_t close_start = index_->tag_starts[close];
    if (index_->tag_ends[close] >= length_) return fail(malformed(Malformation::UnterminatedMarkup, close_start));
    // Nearly always one run of text or none; a declaration inside the
    // element leaves two or more.
    const uint64_t* starts = index_->text_starts.data();
    const size_t count = index_->text_starts.size();
    const size_t first = cursor_;
    std::optional<std::string_view> text;
    if (first < count && starts[first] < close_start) {
        if (first + 1 == count || starts[first + 1] >= close_start) [[likely]] {
            ARBOLITE_TRY_ASSIGN(text, single_text(doc_ + starts[first], doc_ + index_->text_ends[first]));
            cursor_ = first + 1;
        } else {
            leaf_text_.reset();
            ARBOLITE_TRY(take_text_before(close_start, leaf_text_));
            text = leaf_text_.finish(tree_.strings);
        }
    }
    ARBOLITE_TRY(check_end_tag(close));
    ParsedElement& element = tree_.elements[at];
    const std::string_view name = tag_name(close);
    if (element.name != name) return fail(end_tag_mismatch(element.name, name, close_start));
    element.end = at + 1;
    element.text = text;
    return Ok{};
}

// The text of an element that is the single run [p, end): what appending it
// to an empty PendingText and finishing that gives, without the buffer when
// there is nothing to decode.
inline Result<std::optional<std::string_view>, ReadError> Walk::single_text(const char* p, const char* end) {
    p = skip_white_space(p, end);
    if (p == end) return std::optional<std::string_view>();
    const char* hit = find_markup(p, end);
    if (hit == nullptr) [[unlikely]]
        return fail(interrupted());
    if (hit == end)
        return std::optional<std::string_view>(
            std::string_view(p, static_cast<size_t>(trim_white_space_back(p, end) - p)));
    leaf_text_.reset();
    ARBOLITE_TRY(append_text_with_markup(p, hit, end, leaf_text_));
    return leaf_text_.finish(tree_.strings);
}

// The bytes between a close tag's name and its '>' must be white space.
inline Status<ReadError> Walk::check_end_tag(size_t tag) {
    const char* name_end = doc_ + index_->name_offsets[tag] + index_->name_lengths[tag];
    const char* tag_end = doc_ + index_->tag_ends[tag];
    if (name_end < tag_end && skip_white_space(name_end, tag_end) != tag_end)
        return fail(malformed_named(Malformation::MalformedEndTag, tag_name(tag), index_->tag_starts[tag]));
    return Ok{};
}

// Appends the element of open or self-closing tag `tag`: parsed here, or
// taken from the tags parsed ahead (the same element, or the same fault).
inline Status<ReadError> Walk::start_tag_into(size_t tag, std::vector<ParsedElement>& elements) {
    if (!prepared_) return parse_start_tag_into({doc_, length_}, *index_, tag, elements, attr_scratch_, polls_);
    auto& faults = prepared_->faults;
    while (next_fault_ < faults.size() && faults[next_fault_].first < tag) ++next_fault_;
    if (next_fault_ < faults.size() && faults[next_fault_].first == tag) [[unlikely]]
        return fail(std::move(faults[next_fault_].second));
    ParsedElement& element = elements.emplace_back();
    element.name = tag_name(tag);
    element.attrs = std::move(prepared_->attrs[tag]);
    return Ok{};
}

Result<Walk::Progress, ReadError> Walk::feed(const StructuralIndex& batch, bool last, PreparedTags* prepared) {
    index_ = &batch;
    last_batch_ = last;
    prepared_ = prepared;
    next_fault_ = 0;
    cursor_ = 0;
    const size_t tag_count = batch.tag_count();
    const uint64_t* starts = batch.tag_starts.data();
    const uint64_t* ends = batch.tag_ends.data();
    const TagKind* kinds = batch.tag_kinds.data();
    auto& elements = tree_.elements;

    for (size_t t = 0; t < tag_count; ++t) {
        const uint64_t start = starts[t];
        const uint64_t end = ends[t];
        if (end >= length_) return fail(malformed(Malformation::UnterminatedMarkup, start));
        // Text ranges are examined only inside the root; outside it the
        // cursor is left behind and caught up when the root opens.
        if (depth_ != 0) ARBOLITE_TRY(take_text_before(start));

        switch (kinds[t]) {
            case TagKind::Open:
                if (depth_ != 0) {
                    if (t + 1 < tag_count && kinds[t + 1] == TagKind::Close) {
                        ARBOLITE_TRY(leaf_element(t));
                        ++t;  // its close tag is done too
                    } else {
                        ARBOLITE_TRY(open_element(t, false));
                    }
                } else if (names_root(t)) {
                    root_start_ = start;
                    ARBOLITE_TRY(open_element(t, false));
                    const auto& text_starts = batch.text_starts;
                    cursor_ = static_cast<size_t>(
                        std::lower_bound(text_starts.begin() + static_cast<std::ptrdiff_t>(cursor_),
                                         text_starts.end(), start) -
                        text_starts.begin());
                } else {
                    if (batch.name_lengths[t] == 0)
                        return fail(malformed(Malformation::MissingElementName, start));
                    skipped_.push_back(tag_name(t));
                }
                break;

            case TagKind::SelfClosing:
                if (depth_ != 0) {
                    ARBOLITE_TRY(open_element(t, true));
                } else if (names_root(t)) {
                    root_start_ = start;
                    ARBOLITE_TRY(open_element(t, true));
                    return Progress::Done;
                } else {
                    // Outside the root a self-closing tag is still checked in
                    // full, then dropped.
                    discarded_.clear();
                    ARBOLITE_TRY(start_tag_into(t, discarded_));
                }
                break;

            case TagKind::Close: {
                ARBOLITE_TRY(check_end_tag(t));
                std::string_view name = tag_name(t);
                if (depth_ != 0) {
                    ParsedElement& element = elements[innermost()];
                    if (element.name != name) return fail(end_tag_mismatch(element.name, name, start));
                    element.end = elements.size();
                    if (innermost_has_text()) {
                        element.text = texts_[texts_used_ - 1].text.finish(tree_.strings);
                        --texts_used_;
                    }
                    if (--depth_ == 0) return Progress::Done;
                } else {
                    if (skipped_.empty()) return fail(malformed_named(Malformation::UnexpectedEndTag, name, start));
                    if (skipped_.back() != name) return fail(end_tag_mismatch(skipped_.back(), name, start));
                    skipped_.pop_back();
                }
                break;
            }

            case TagKind::Comment:
                if (end < start + 6 || std::memcmp(doc_ + end - 2, "-->", 3) != 0)
                    return fail(malformed(Malformation::UnterminatedComment, start));
                break;

            case TagKind::CData:
                // A section that ends in "]]>" is at least 12 bytes long, its
                // opener "<![CDATA[" being 9.
                if (end < start + 11 || std::memcmp(doc_ + end - 2, "]]>", 3) != 0)
                    return fail(malformed(Malformation::UnterminatedCData, start));
                if (depth_ != 0) {
                    append_raw(doc_ + start + 9, doc_ + end - 2, innermost_text());
                    // The section's content may be listed as a text range too.
                    const auto& text_starts = batch.text_starts;
                    while (cursor_ < text_starts.size() && text_starts[cursor_] < end) ++cursor_;
                }
                break;

            case TagKind::ProcessingInstruction:
                if (end == 0 || doc_[end - 1] != '?' || doc_[end] != '>')
                    return fail(malformed(Malformation::UnterminatedProcessingInstruction, start));
                break;
        }
    }
    return Progress::More;
}

ReadError Walk::at_end() const {
    if (depth_ != 0) return unclosed(tree_.elements[innermost()].name);
    return root_not_found(root_tag_);
}

}  // namespace arbolite::read
