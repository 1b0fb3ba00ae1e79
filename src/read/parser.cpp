#include "read/parser.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "entities/references.hpp"
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
    ReadError out{ReadError::Kind::IndexFailure, {}, error.offset};
    out.index_error = error;
    return out;
}

[[gnu::cold, gnu::noinline]] ReadError unclosed(std::string_view name) {
    return ReadError{ReadError::Kind::Unclosed, std::string(name)};
}

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
// are decoded into `scratch` first.
Status<ReadError> parse_attributes(const char* doc, const char* begin, const char* end, AttrMap& attrs,
                                   std::string& scratch) {
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
        const char* value_end = simd::find_any4(value_begin, end, quote, '<', quote, '<');
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
        const char* special = simd::find_any4(value_begin, value_end, '&', '\t', '\n', '\r');
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

// Appends the element of open or self-closing tag `tag` to `elements`.
// `scratch` is a buffer for decoded attribute values.
Status<ReadError> parse_start_tag_into(const char* doc, const StructuralIndex& index, size_t tag,
                                       std::vector<ParsedElement>& elements, std::string& scratch) {
    std::string_view name;
    const char* region_begin = nullptr;
    const char* region_end = nullptr;
    ARBOLITE_TRY(split_start_tag(doc, index, tag, name, region_begin, region_end));
    ParsedElement& element = elements.emplace_back();
    element.name.assign(name.data(), name.size());
    if (region_begin == region_end) return Ok{};
    // Size the map once for all the attributes, each of which has an '='.
    // Values may hold more of them, so the count is only trusted up to a
    // small table; larger ones grow as the attributes come. Names and
    // decoded values never take more bytes than the region they come from.
    if (size_t equals = simd::count_byte(region_begin, region_end, '='))
        element.attrs.reserve(std::min<size_t>(equals, 16), static_cast<size_t>(region_end - region_begin));
    return parse_attributes(doc, region_begin, region_end, element.attrs, scratch);
}

// ---------------------------------------------------------------------------
// The walk over the index

class Parser {
public:
    Parser(std::string_view document, const StructuralIndex& index, std::string_view root_tag)
        : doc_(document.data()), length_(document.size()), index_(index), root_tag_(root_tag) {}

    Result<ParsedTree, ReadError> run();

private:
    // An element of the root's subtree whose close tag has not been seen,
    // with the character data collected for it so far.
    struct OpenElement {
        size_t element;
        std::string text;
    };

    bool names_root(size_t tag) const {
        return index_.name_lengths[tag] == root_tag_.size() &&
               std::memcmp(doc_ + index_.name_offsets[tag], root_tag_.data(), root_tag_.size()) == 0;
    }
    std::string_view tag_name(size_t tag) const {
        return {doc_ + index_.name_offsets[tag], index_.name_lengths[tag]};
    }

    size_t count_subtree_elements(size_t tag) const;
    Status<ReadError> take_text_before(uint64_t tag_start);
    Status<ReadError> append_text(const char* p, const char* end, std::string& buffer);
    Status<ReadError> append_text_with_markup(const char* p, const char* hit, const char* end,
                                              std::string& buffer);
    static void append_raw(const char* p, const char* end, std::string& buffer);
    Status<ReadError> open_element(size_t tag, bool self_closing);
    Status<ReadError> check_end_tag(size_t tag);
    static void finish_text(std::string& buffer, std::optional<std::string>& text);

    const char* doc_;
    uint64_t length_;
    const StructuralIndex& index_;
    std::string_view root_tag_;

    ParsedTree tree_;
    std::vector<OpenElement> open_;
    std::vector<size_t> skipped_;           // tags of the elements open outside the root
    std::vector<ParsedElement> discarded_;  // self-closing tags outside the root
    size_t cursor_ = 0;                     // next unprocessed text range
    std::string attr_scratch_;              // decoded attribute values, reused
};

// The number of elements in the subtree of open tag `tag`, going by the tag
// kinds alone: open and self-closing tags up to the close tag that brings the
// depth back to zero. Exact for a well-formed subtree; otherwise only a hint,
// as the walk reports the fault itself.
size_t Parser::count_subtree_elements(size_t tag) const {
    const TagKind* kinds = index_.tag_kinds.data();
    const size_t count = index_.tag_kinds.size();
    size_t elements = 1;
    size_t depth = 1;
    for (size_t t = tag + 1; t < count; ++t) {
        switch (kinds[t]) {
            case TagKind::Open:
                ++elements;
                ++depth;
                break;
            case TagKind::SelfClosing:
                ++elements;
                break;
            case TagKind::Close:
                if (--depth == 0) return elements;
                break;
            default:
                break;
        }
    }
    return elements;
}

// Appends the text ranges that start before `tag_start` to the innermost open
// element.
inline Status<ReadError> Parser::take_text_before(uint64_t tag_start) {
    const uint64_t* starts = index_.text_starts.data();
    const size_t count = index_.text_starts.size();
    while (cursor_ < count && starts[cursor_] < tag_start) {
        ARBOLITE_TRY(append_text(doc_ + starts[cursor_], doc_ + index_.text_ends[cursor_], open_.back().text));
        ++cursor_;
    }
    return Ok{};
}

inline Status<ReadError> Parser::append_text(const char* p, const char* end, std::string& buffer) {
    // Leading white space of an element's text is trimmed in the end, so
    // none is stored while the buffer is still empty.
    if (buffer.empty()) {
        p = skip_white_space(p, end);
        if (p == end) return Ok{};
    }
    const char* hit = simd::find_any4(p, end, '<', '&', '<', '&');
    if (hit == end) {
        buffer.append(p, end);
        return Ok{};
    }
    return append_text_with_markup(p, hit, end, buffer);
}

// Text holding '&' or '<'; `hit` is the first of them.
[[gnu::noinline]] Status<ReadError> Parser::append_text_with_markup(const char* p, const char* hit,
                                                                     const char* end, std::string& buffer) {
    const char* lt = *hit == '<' ? hit : simd::find_byte(hit + 1, end, '<');
    if (lt != end) return fail(malformed("unexpected '<'", offset_of(doc_, lt)));
    return entities::decode_references(std::string_view(p, static_cast<size_t>(end - p)), offset_of(doc_, p),
                                       entities::RefMode::Text, buffer);
}

inline void Parser::append_raw(const char* p, const char* end, std::string& buffer) {
    if (buffer.empty()) p = skip_white_space(p, end);
    buffer.append(p, end);
}

// Adds the element of an open or self-closing tag inside the root (or the
// root itself) to the tree, as the last child of the innermost open element.
inline Status<ReadError> Parser::open_element(size_t tag, bool self_closing) {
    auto& elements = tree_.elements;
    const size_t at = elements.size();
    ARBOLITE_TRY(parse_start_tag_into(doc_, index_, tag, elements, attr_scratch_));
    if (!open_.empty()) ++elements[open_.back().element].child_count;
    if (self_closing) {
        elements.back().end = at + 1;
    } else {
        open_.push_back(OpenElement{at, {}});
    }
    return Ok{};
}

// The bytes between a close tag's name and its '>' must be white space.
inline Status<ReadError> Parser::check_end_tag(size_t tag) {
    const char* name_end = doc_ + index_.name_offsets[tag] + index_.name_lengths[tag];
    const char* tag_end = doc_ + index_.tag_ends[tag];
    if (name_end < tag_end && skip_white_space(name_end, tag_end) != tag_end)
        return fail(malformed_named("malformed end tag </", tag_name(tag), ">", index_.tag_starts[tag]));
    return Ok{};
}

void Parser::finish_text(std::string& buffer, std::optional<std::string>& text) {
    if (buffer.empty()) return;
    const char* data = buffer.data();
    const char* end = trim_white_space_back(data, data + buffer.size());
    const char* begin = skip_white_space(data, end);  // white space that references produced
    if (begin == end) return;
    size_t length = static_cast<size_t>(end - begin);
    if (begin != data) buffer.erase(0, static_cast<size_t>(begin - data));
    buffer.resize(length);
    text.emplace(std::move(buffer));
}

Result<ParsedTree, ReadError> Parser::run() {
    const size_t tag_count = index_.tag_count();
    const uint64_t* starts = index_.tag_starts.data();
    const uint64_t* ends = index_.tag_ends.data();
    const TagKind* kinds = index_.tag_kinds.data();
    auto& elements = tree_.elements;

    for (size_t t = 0; t < tag_count; ++t) {
        const uint64_t start = starts[t];
        const uint64_t end = ends[t];
        if (end >= length_) return fail(malformed("unterminated markup", start));
        // Text ranges are examined only inside the root; outside it the
        // cursor is left behind and caught up when the root opens.
        if (!open_.empty()) ARBOLITE_TRY(take_text_before(start));

        switch (kinds[t]) {
            case TagKind::Open:
                if (!open_.empty()) {
                    ARBOLITE_TRY(open_element(t, false));
                } else if (names_root(t)) {
                    elements.reserve(count_subtree_elements(t));
                    open_.reserve(64);
                    ARBOLITE_TRY(open_element(t, false));
                    const auto& text_starts = index_.text_starts;
                    cursor_ = static_cast<size_t>(
                        std::lower_bound(text_starts.begin() + static_cast<std::ptrdiff_t>(cursor_),
                                         text_starts.end(), start) -
                        text_starts.begin());
                } else {
                    if (index_.name_lengths[t] == 0)
                        return fail(malformed("expected element name after '<'", start));
                    skipped_.push_back(t);
                }
                break;

            case TagKind::SelfClosing:
                if (!open_.empty()) {
                    ARBOLITE_TRY(open_element(t, true));
                } else if (names_root(t)) {
                    ARBOLITE_TRY(open_element(t, true));
                    return std::move(tree_);
                } else {
                    // Outside the root a self-closing tag is still checked in
                    // full, then dropped.
                    discarded_.clear();
                    ARBOLITE_TRY(parse_start_tag_into(doc_, index_, t, discarded_, attr_scratch_));
                }
                break;

            case TagKind::Close: {
                ARBOLITE_TRY(check_end_tag(t));
                std::string_view name = tag_name(t);
                if (!open_.empty()) {
                    OpenElement& top = open_.back();
                    ParsedElement& element = elements[top.element];
                    if (element.name != name) return fail(end_tag_mismatch(element.name, name, start));
                    element.end = elements.size();
                    finish_text(top.text, element.text);
                    open_.pop_back();
                    if (open_.empty()) return std::move(tree_);
                } else {
                    if (skipped_.empty()) return fail(malformed_named("unexpected end tag </", name, ">", start));
                    std::string_view open = tag_name(skipped_.back());
                    if (open != name) return fail(end_tag_mismatch(open, name, start));
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
                if (!open_.empty()) {
                    append_raw(doc_ + start + 9, doc_ + end - 2, open_.back().text);
                    // The section's content may be listed as a text range too.
                    const auto& text_starts = index_.text_starts;
                    while (cursor_ < text_starts.size() && text_starts[cursor_] < end) ++cursor_;
                }
                break;

            case TagKind::ProcessingInstruction:
                if (end == 0 || doc_[end - 1] != '?' || doc_[end] != '>')
                    return fail(malformed("unterminated processing instruction", start));
                break;
        }
    }

    if (!open_.empty()) return fail(unclosed(elements[open_.back().element].name));
    return fail(root_not_found(root_tag_));
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
    ARBOLITE_TRY(parse_start_tag_into(document.data(), index, tag, element, scratch));
    return std::move(element.front());
}

Result<ParsedTree, ReadError> parse_document(std::string_view document, std::string_view root_tag) {
    auto built = index::build_index(document);
    if (!built.ok()) return fail(index_failure(built.error(), document.size()));
    return parse_indexed(document, built.value(), root_tag);
}

Result<ParsedTree, ReadError> parse_indexed(std::string_view document, const index::StructuralIndex& index,
                                            std::string_view root_tag) {
    Parser parser(document, index, root_tag);
    return parser.run();
}

}  // namespace arbolite::read
