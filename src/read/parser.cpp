#include "read/parser.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "entities/references.hpp"
#include "index/pipeline.hpp"
#include "simd/search.hpp"

namespace arbolite::read {

namespace {

using index::StructuralIndex;
using index::TagKind;

// ---------------------------------------------------------------------------
// Character classes

struct ByteClass {
    bool v[256];
};

// Tab, line feed, form feed, carriage return, space: the separators inside
// tags.
constexpr ByteClass kTagSpace = [] {
    ByteClass t{};
    for (unsigned char c : {'\t', '\n', '\f', '\r', ' '}) t.v[c] = true;
    return t;
}();

// Bytes that end an attribute name.
constexpr ByteClass kAttrNameStop = [] {
    ByteClass t = kTagSpace;
    for (unsigned char c : {'"', '\'', '='}) t.v[c] = true;
    return t;
}();

// The single-byte characters with the White_Space property: U+0009..U+000D
// and U+0020.
constexpr ByteClass kAsciiWhiteSpace = [] {
    ByteClass t{};
    for (unsigned char c = 0x09; c <= 0x0D; ++c) t.v[c] = true;
    t.v[0x20] = true;
    return t;
}();

inline bool is_tag_space(char c) { return kTagSpace.v[static_cast<unsigned char>(c)]; }
inline bool is_attr_name_stop(char c) { return kAttrNameStop.v[static_cast<unsigned char>(c)]; }

inline const char* skip_tag_space(const char* p, const char* end) {
    while (p != end && is_tag_space(*p)) ++p;
    return p;
}

// Length in bytes of the White_Space character that starts at `p` (p < end),
// or 0 when there is none. Besides the ASCII ones these are U+0085, U+00A0,
// U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
inline size_t white_space_at(const char* p, const char* end) {
    auto c = static_cast<unsigned char>(p[0]);
    if (c < 0x80) return kAsciiWhiteSpace.v[c] ? 1 : 0;
    if (c == 0xC2) {
        if (end - p < 2) return 0;
        auto c1 = static_cast<unsigned char>(p[1]);
        return c1 == 0x85 || c1 == 0xA0 ? 2 : 0;
    }
    if (c < 0xE1 || c > 0xE3 || end - p < 3) return 0;
    auto c1 = static_cast<unsigned char>(p[1]);
    auto c2 = static_cast<unsigned char>(p[2]);
    bool space;
    if (c == 0xE1) {
        space = c1 == 0x9A && c2 == 0x80;  // U+1680
    } else if (c == 0xE3) {
        space = c1 == 0x80 && c2 == 0x80;  // U+3000
    } else if (c1 == 0x80) {               // U+2000..U+203F
        space = (c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF;
    } else {
        space = c1 == 0x81 && c2 == 0x9F;  // U+205F
    }
    return space ? 3 : 0;
}

inline const char* skip_white_space(const char* p, const char* end) {
    while (p != end) {
        size_t n = white_space_at(p, end);
        if (n == 0) break;
        p += n;
    }
    return p;
}

// The end of [begin, end) with trailing White_Space characters removed.
inline const char* trim_white_space_back(const char* begin, const char* end) {
    while (end != begin) {
        auto last = static_cast<unsigned char>(end[-1]);
        if (last < 0x80) {
            if (!kAsciiWhiteSpace.v[last]) break;
            --end;
        } else if (end - begin >= 2 && static_cast<unsigned char>(end[-2]) == 0xC2 &&
                   white_space_at(end - 2, end) == 2) {
            end -= 2;
        } else if (end - begin >= 3 && white_space_at(end - 3, end) == 3) {
            end -= 3;
        } else {
            break;
        }
    }
    return end;
}

// ---------------------------------------------------------------------------
// Errors. Built out of line: none of them is on a path that matters for speed.

[[gnu::cold, gnu::noinline]] ReadError malformed(const char* message, uint64_t offset) {
    return ReadError::malformed(message, offset);
}

[[gnu::cold, gnu::noinline]] ReadError malformed_named(const char* prefix, std::string_view name, const char* suffix,
                                                       uint64_t offset) {
    std::string message(prefix);
    message.append(name);
    message.append(suffix);
    return ReadError::malformed(std::move(message), offset);
}

[[gnu::cold, gnu::noinline]] ReadError end_tag_mismatch(std::string_view open, std::string_view found,
                                                        uint64_t offset) {
    std::string message = "expected </";
    message.append(open);
    message.append(">, found </");
    message.append(found);
    message.push_back('>');
    return ReadError::malformed(std::move(message), offset);
}

[[gnu::cold, gnu::noinline]] ReadError index_failure(const index::IndexBuildError& error, uint64_t length) {
    if (error.kind == index::IndexBuildError::Kind::UnexpectedEnd)
        return ReadError::malformed("unexpected end of document", length);
    if (error.kind == index::IndexBuildError::Kind::UnterminatedDoctype)
        return ReadError::malformed("unterminated document type declaration", error.offset);
    ReadError out{ReadError::Kind::IndexFailure, {}, error.offset};
    out.index_error = error;
    return out;
}

[[gnu::cold, gnu::noinline]] ReadError unclosed(std::string_view name) {
    return ReadError{ReadError::Kind::Unclosed, std::string(name)};
}

[[gnu::cold, gnu::noinline]] ReadError interrupted() { return ReadError{ReadError::Kind::Interrupted, {}}; }

[[gnu::cold, gnu::noinline]] ReadError root_not_found(std::string_view root_tag) {
    return ReadError{ReadError::Kind::RootNotFound, std::string(root_tag)};
}

// ---------------------------------------------------------------------------
// Start tags

inline uint64_t offset_of(const char* doc, const char* p) { return static_cast<uint64_t>(p - doc); }

// Name and attribute region of an open or self-closing tag as pointers into
// the document. The caller has checked that the tag ends inside it.
inline Status<ReadError> split_start_tag(const char* doc, const StructuralIndex& index, size_t tag,
                                         std::string_view& name, const char*& region_begin,
                                         const char*& region_end) {
    uint64_t start = index.tag_starts[tag];
    uint32_t length = index.name_lengths[tag];
    if (length == 0) return fail(malformed("expected element name after '<'", start));
    uint64_t end = index.tag_ends[tag] - (index.tag_kinds[tag] == TagKind::SelfClosing ? 1 : 0);
    uint64_t name_offset = index.name_offsets[tag];
    name = std::string_view(doc + name_offset, length);
    region_begin = doc + std::min(name_offset + length, end);
    region_end = doc + end;
    return Ok{};
}

// Parses the attribute region [begin, end) into `attrs`. Values without
// anything to decode go into the map straight from the document; the others
// are decoded into `scratch` first. The document ends at `doc_end`.
Status<ReadError> parse_attributes(const char* doc, const char* doc_end, const char* begin, const char* end,
                                   AttrMap& attrs, std::string& scratch) {
    const char* after = begin;  // just past the previous value's closing quote
    const char* p = skip_tag_space(begin, end);
    while (p != end) {
        if (p == after) return fail(malformed("expected whitespace before attribute", offset_of(doc, after)));

        const char* name_begin = p;
        while (p != end && !is_attr_name_stop(*p)) ++p;
        if (p == name_begin) return fail(malformed("expected attribute name", offset_of(doc, p)));
        std::string_view name(name_begin, static_cast<size_t>(p - name_begin));

        p = skip_tag_space(p, end);
        if (p == end || *p != '=')
            return fail(malformed_named("attribute '", name, "' has no value", offset_of(doc, name_begin)));
        p = skip_tag_space(p + 1, end);
        if (p == end || (*p != '"' && *p != '\''))
            return fail(malformed_named("value of attribute '", name, "' is not quoted", offset_of(doc, p)));

        const char quote = *p;
        const char* value_begin = p + 1;
        const char* value_end = simd::find_any4_bounded(value_begin, end, doc_end, quote, '<', quote, '<');
        if (value_end == end || *value_end != quote) {
            // No closing quote, or a '<' before it.
            const char* lt = value_end;
            if (lt == end || simd::find_byte(lt + 1, end, quote) == end)
                return fail(malformed("unterminated attribute value", offset_of(doc, value_begin)));
            return fail(malformed("'<' is not allowed in attribute values", offset_of(doc, lt)));
        }

        // References, tab, line feed and carriage return are decoded; the
        // part before the first of them is taken as it is.
        std::string_view value(value_begin, static_cast<size_t>(value_end - value_begin));
        const char* special = simd::find_any4_bounded(value_begin, value_end, doc_end, '&', '\t', '\n', '\r');
        if (special != value_end) {
            scratch.assign(value_begin, special);
            ARBOLITE_TRY(entities::decode_references(
                std::string_view(special, static_cast<size_t>(value_end - special)), offset_of(doc, special),
                entities::RefMode::Attribute, scratch));
            value = scratch;
        }
        if (!attrs.try_insert(name, value))
            return fail(malformed_named("duplicate attribute '", name, "'", offset_of(doc, name_begin)));

        after = value_end + 1;
        p = skip_tag_space(after, end);
    }
    return Ok{};
}

// The name and attributes of open or self-closing tag `tag`. `scratch` is a
// buffer for decoded attribute values.
Status<ReadError> parse_start_tag_parts(std::string_view document, const StructuralIndex& index, size_t tag,
                                        std::string_view& name, AttrMap& attrs, std::string& scratch) {
    const char* doc = document.data();
    const char* begin = nullptr;
    const char* end = nullptr;
    ARBOLITE_TRY(split_start_tag(doc, index, tag, name, begin, end));
    if (begin == end) return Ok{};
    // Size the map once for all the attributes, each of which has an '='
    // and besides its name and value takes four bytes of the region at
    // least (white space before it, '=', two quotes); decoded values never
    // grow. Values may hold '=' too, so the count is only trusted up to a
    // map without a hash table (larger ones grow as the attributes come),
    // and with '=' in values the bytes fall short and the map grows once.
    if (size_t equals = simd::count_byte(begin, end, '=')) {
        const size_t count = std::min(equals, AttrMap::kSmallMax);
        const size_t region = static_cast<size_t>(end - begin);
        attrs.reserve(count, region - std::min(region, 4 * count));
    }
    return parse_attributes(doc, doc + document.size(), begin, end, attrs, scratch);
}

// Appends the element of open or self-closing tag `tag` to `elements`.
Status<ReadError> parse_start_tag_into(std::string_view document, const StructuralIndex& index, size_t tag,
                                       std::vector<ParsedElement>& elements, std::string& scratch) {
    ParsedElement& element = elements.emplace_back();
    return parse_start_tag_parts(document, index, tag, element.name, element.attrs, scratch);
}

// The start tags of a batch, parsed ahead of the walk (on the index worker's
// thread): each open or self-closing tag's attribute map by tag number, and
// the tags whose start tag is malformed, in order, with their faults.
struct PreparedTags {
    std::vector<AttrMap> attrs;
    std::vector<std::pair<size_t, ReadError>> faults;
    bool ready = false;  // prepared for the batch in this slot now

    void prepare(std::string_view document, const StructuralIndex& batch, std::string& scratch) {
        attrs.clear();
        attrs.resize(batch.tag_count());
        faults.clear();
        for (size_t t = 0; t < batch.tag_count(); ++t) {
            const TagKind kind = batch.tag_kinds[t];
            if (kind != TagKind::Open && kind != TagKind::SelfClosing) continue;
            std::string_view name;
            Status<ReadError> parsed = parse_start_tag_parts(document, batch, t, name, attrs[t], scratch);
            if (!parsed.ok()) faults.emplace_back(t, std::move(parsed).error());
        }
    }
};

// The worker's stage of parse_document: the start tags of each batch,
// parsed ahead when the walk is busy (or as `ahead` asks), until the walk
// is over.
struct AheadStage {
    AheadStage(std::string_view document, StartTagsAhead ahead) : document(document), ahead(ahead) {}

    std::string_view document;
    StartTagsAhead ahead;
    PreparedTags prepared[index::IndexPipeline::ring_slots];
    std::atomic<bool> walk_over{false};
    std::string scratch;  // the worker's own

    static void run(void* context, const StructuralIndex& batch, size_t slot, size_t unfinished) {
        auto& stage = *static_cast<AheadStage*>(context);
        PreparedTags& tags = stage.prepared[slot];
        tags.ready = false;
        const bool wanted = stage.ahead == StartTagsAhead::Always ||
                            (stage.ahead == StartTagsAhead::WhenWalkIsBusy && unfinished >= 2);
        if (!wanted || stage.walk_over.load(std::memory_order_relaxed)) return;
        tags.prepare(stage.document, batch, stage.scratch);
        tags.ready = true;
    }
};

// ---------------------------------------------------------------------------
// The walk over the index

// The character data of an open element, collected piece by piece. While it
// is a single run of the document that needs no decoding, it stays a view of
// that run; a second piece or a reference moves it into the buffer.
class PendingText {
public:
    void reset() {
        state_ = State::Empty;
        buffer_.clear();
    }

    // Leading white space is trimmed in the end, so none is stored while the
    // text is still empty.
    bool empty() const { return state_ == State::Empty; }

    // Appends bytes that are taken as they are.
    void append(const char* p, const char* end) {
        switch (state_) {
            case State::Empty:
                run_ = std::string_view(p, static_cast<size_t>(end - p));
                state_ = State::Run;
                break;
            case State::Run:
                buffer_.assign(run_);
                state_ = State::Buffered;
                [[fallthrough]];
            case State::Buffered:
                buffer_.append(p, end);
                break;
        }
    }

    // The buffer, for pieces that are decoded into it.
    std::string& buffer() {
        if (state_ == State::Run) buffer_.assign(run_);
        state_ = State::Buffered;
        return buffer_;
    }

    // The text with White_Space trimmed at both ends, or nothing when none is
    // left. A run is returned as the view it is; assembled text is copied
    // into `strings`.
    std::optional<std::string_view> finish(StringArena& strings) const {
        if (state_ == State::Empty) return std::nullopt;
        if (state_ == State::Run) {
            // Starts with a character that is not White_Space.
            const char* end = trim_white_space_back(run_.data(), run_.data() + run_.size());
            return std::string_view(run_.data(), static_cast<size_t>(end - run_.data()));
        }
        const char* data = buffer_.data();
        const char* end = trim_white_space_back(data, data + buffer_.size());
        const char* begin = skip_white_space(data, end);  // white space that references produced
        if (begin == end) return std::nullopt;
        return strings.store(std::string_view(begin, static_cast<size_t>(end - begin)));
    }

private:
    enum class State : uint8_t { Empty, Run, Buffered };
    State state_ = State::Empty;
    std::string_view run_;
    std::string buffer_;
};

// Walks the index batch by batch. Batches come in document order; each text
// range arrives in the same batch as the tag that follows it.
class Parser {
public:
    Parser(std::string_view document, std::string_view root_tag)
        : doc_(document.data()), length_(document.size()), root_tag_(root_tag) {}

    // Takes the next batch. Done means the root has been closed (the tree is
    // complete); otherwise the parser wants more.
    enum class Progress : uint8_t { More, Done };
    // `prepared`, when given, holds the batch's start tags parsed ahead.
    // `last` tells that no batch follows this one.
    Result<Progress, ReadError> feed(const StructuralIndex& batch, bool last, PreparedTags* prepared = nullptr);

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
    const StructuralIndex* index_ = nullptr;  // the current batch
    PreparedTags* prepared_ = nullptr;        // its start tags parsed ahead, if they were
    size_t next_fault_ = 0;                   // the first of prepared_->faults not yet passed
    size_t cursor_ = 0;                       // its next unprocessed text range
    bool last_batch_ = false;                 // no batch follows the current one
    uint64_t root_start_ = 0;                 // offset of the root's '<'
    static constexpr size_t first_reservation = 1024;

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

// An empty pending text for the innermost open element, which has none yet.
[[gnu::noinline]] PendingText& Parser::new_innermost_text() {
    if (texts_used_ == texts_.size()) texts_.emplace_back();
    LevelText& level = texts_[texts_used_++];
    level.depth = depth_;
    level.text.reset();
    return level.text;
}

// Appends the text ranges of the batch that start before `tag_start`, if
// any, to the innermost open element's text.
inline Status<ReadError> Parser::take_text_before(uint64_t tag_start) {
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
inline Status<ReadError> Parser::take_text_before(uint64_t tag_start, PendingText& text) {
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

inline Status<ReadError> Parser::append_text(const char* p, const char* end, PendingText& text) {
    if (text.empty()) {
        p = skip_white_space(p, end);
        if (p == end) return Ok{};
    }
    const char* hit = simd::find_any4_bounded(p, end, doc_ + length_, '<', '&', '<', '&');
    if (hit == end) {
        text.append(p, end);
        return Ok{};
    }
    return append_text_with_markup(p, hit, end, text);
}

// Text holding '&' or '<'; `hit` is the first of them.
[[gnu::noinline]] Status<ReadError> Parser::append_text_with_markup(const char* p, const char* hit,
                                                                     const char* end, PendingText& text) {
    const char* lt = *hit == '<' ? hit : simd::find_byte(hit + 1, end, '<');
    if (lt != end) return fail(malformed("unexpected '<'", offset_of(doc_, lt)));
    return entities::decode_references(std::string_view(p, static_cast<size_t>(end - p)), offset_of(doc_, p),
                                       entities::RefMode::Text, text.buffer());
}

inline void Parser::append_raw(const char* p, const char* end, PendingText& text) {
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
[[gnu::noinline]] void Parser::reserve_elements(size_t tag) {
    auto& elements = tree_.elements;
    const size_t count = elements.size();
    if (count < first_reservation) {
        const size_t tags_left = index_->tag_count() - tag;
        elements.reserve(last_batch_ && tags_left < first_reservation - count ? count + tags_left
                                                                              : first_reservation);
        return;
    }
    const uint64_t position = index_->tag_starts[tag];
    const uint64_t span = length_ - root_start_;
    const double whole = static_cast<double>(count) * static_cast<double>(span) /
                         static_cast<double>(position - root_start_ + 1);
    size_t want = static_cast<size_t>(whole * 1.125) + 64;
    if (want > span / 3 + 1) want = static_cast<size_t>(span / 3 + 1);
    if (want < count + count / 2) want = count + count / 2;
    elements.reserve(want);
}

// Appends the element of an open or self-closing tag inside the root (or the
// root itself) to the tree, as the last child of the innermost open element;
// returns its index.
inline Result<size_t, ReadError> Parser::add_element(size_t tag) {
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
inline Status<ReadError> Parser::open_element(size_t tag, bool self_closing) {
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
inline Status<ReadError> Parser::leaf_element(size_t tag) {
    ARBOLITE_TRY_ASSIGN(const size_t at, add_element(tag));

    const size_t close = tag + 1;
    const uint64_t close_start = index_->tag_starts[close];
    if (index_->tag_ends[close] >= length_) return fail(malformed("unterminated markup", close_start));
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
inline Result<std::optional<std::string_view>, ReadError> Parser::single_text(const char* p, const char* end) {
    p = skip_white_space(p, end);
    if (p == end) return std::optional<std::string_view>();
    const char* hit = simd::find_any4_bounded(p, end, doc_ + length_, '<', '&', '<', '&');
    if (hit == end)
        return std::optional<std::string_view>(
            std::string_view(p, static_cast<size_t>(trim_white_space_back(p, end) - p)));
    leaf_text_.reset();
    ARBOLITE_TRY(append_text_with_markup(p, hit, end, leaf_text_));
    return leaf_text_.finish(tree_.strings);
}

// The bytes between a close tag's name and its '>' must be white space.
inline Status<ReadError> Parser::check_end_tag(size_t tag) {
    const char* name_end = doc_ + index_->name_offsets[tag] + index_->name_lengths[tag];
    const char* tag_end = doc_ + index_->tag_ends[tag];
    if (name_end < tag_end && skip_white_space(name_end, tag_end) != tag_end)
        return fail(malformed_named("malformed end tag </", tag_name(tag), ">", index_->tag_starts[tag]));
    return Ok{};
}

// Appends the element of open or self-closing tag `tag`: parsed here, or
// taken from the tags parsed ahead (the same element, or the same fault).
inline Status<ReadError> Parser::start_tag_into(size_t tag, std::vector<ParsedElement>& elements) {
    if (!prepared_) return parse_start_tag_into({doc_, length_}, *index_, tag, elements, attr_scratch_);
    auto& faults = prepared_->faults;
    while (next_fault_ < faults.size() && faults[next_fault_].first < tag) ++next_fault_;
    if (next_fault_ < faults.size() && faults[next_fault_].first == tag) [[unlikely]]
        return fail(std::move(faults[next_fault_].second));
    ParsedElement& element = elements.emplace_back();
    element.name = tag_name(tag);
    element.attrs = std::move(prepared_->attrs[tag]);
    return Ok{};
}

Result<Parser::Progress, ReadError> Parser::feed(const StructuralIndex& batch, bool last, PreparedTags* prepared) {
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
        if (end >= length_) return fail(malformed("unterminated markup", start));
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
                        return fail(malformed("expected element name after '<'", start));
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
                    if (skipped_.empty()) return fail(malformed_named("unexpected end tag </", name, ">", start));
                    if (skipped_.back() != name) return fail(end_tag_mismatch(skipped_.back(), name, start));
                    skipped_.pop_back();
                }
                break;
            }

            case TagKind::Comment:
                if (end < start + 6 || std::memcmp(doc_ + end - 2, "-->", 3) != 0)
                    return fail(malformed("unterminated comment", start));
                break;

            case TagKind::CData:
                // A section that ends in "]]>" is at least 12 bytes long, its
                // opener "<![CDATA[" being 9.
                if (end < start + 11 || std::memcmp(doc_ + end - 2, "]]>", 3) != 0)
                    return fail(malformed("unterminated CDATA section", start));
                if (depth_ != 0) {
                    append_raw(doc_ + start + 9, doc_ + end - 2, innermost_text());
                    // The section's content may be listed as a text range too.
                    const auto& text_starts = batch.text_starts;
                    while (cursor_ < text_starts.size() && text_starts[cursor_] < end) ++cursor_;
                }
                break;

            case TagKind::ProcessingInstruction:
                if (end == 0 || doc_[end - 1] != '?' || doc_[end] != '>')
                    return fail(malformed("unterminated processing instruction", start));
                break;
        }
    }
    return Progress::More;
}

ReadError Parser::at_end() const {
    if (depth_ != 0) return unclosed(tree_.elements[innermost()].name);
    return root_not_found(root_tag_);
}

}  // namespace

Result<ElementName, ReadError> scan_element_name(std::string_view document, const index::StructuralIndex& index,
                                                 size_t tag) {
    std::string_view name;
    const char* region_begin = nullptr;
    const char* region_end = nullptr;
    ARBOLITE_TRY(split_start_tag(document.data(), index, tag, name, region_begin, region_end));
    return ElementName{name, std::string_view(region_begin, static_cast<size_t>(region_end - region_begin))};
}

Result<ParsedElement, ReadError> parse_start_tag(std::string_view document, const index::StructuralIndex& index,
                                                 size_t tag) {
    std::vector<ParsedElement> element;
    std::string scratch;
    ARBOLITE_TRY(parse_start_tag_into(document, index, tag, element, scratch));
    return std::move(element.front());
}

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
    AheadStage ahead_stage(document, ahead);
    index::IndexPipeline pipeline(document, {&AheadStage::run, &ahead_stage});
    Parser parser(document, root_tag);
    std::optional<ReadError> failure;
    bool complete = false;
    PollCounter polls(interrupt);
    while (!pipeline.done()) {
        Result<const index::StructuralIndex*, index::IndexBuildError> batch = pipeline.next();
        if (!batch.ok()) return fail(index_failure(batch.error(), document.size()));
        // Polled between batches, by how far into the document they reach.
        const auto& ends = batch.value()->tag_ends;
        if (!ends.empty() && polls.due(ends.back()) && polls.stop(ends.back())) [[unlikely]]
            return fail(interrupted());
        if (complete || failure) {
            ahead_stage.walk_over.store(true, std::memory_order_relaxed);
            continue;
        }
        PreparedTags* tags = pipeline.parallel() ? &ahead_stage.prepared[pipeline.slot()] : nullptr;
        Result<Parser::Progress, ReadError> progress = parser.feed(*batch.value(), pipeline.done(), tags && tags->ready ? tags : nullptr);
        if (!progress.ok()) {
            failure = std::move(progress).error();
        } else {
            complete = progress.value() == Parser::Progress::Done;
        }
    }
    if (failure) return fail(std::move(*failure));
    if (!complete) return fail(parser.at_end());
    return parser.take_tree();
}

Result<ParsedTree, ReadError> parse_indexed(std::string_view document, const index::StructuralIndex& index,
                                            std::string_view root_tag) {
    Parser parser(document, root_tag);
    ARBOLITE_TRY_ASSIGN(Parser::Progress progress, parser.feed(index, true));
    if (progress == Parser::Progress::More) return fail(parser.at_end());
    return parser.take_tree();
}

}  // namespace arbolite::read
