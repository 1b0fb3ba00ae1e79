// Start tags: an open or self-closing tag split into its name and attribute
// region, and its attributes parsed into a map with references decoded.
// Inline: the walk and the worker's stage parse start tags for nearly every
// element.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/attr_map.hpp"
#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "entities/references.hpp"
#include "index/structural.hpp"
#include "read/char_classes.hpp"
#include "read/parsed_element.hpp"
#include "read/read_error.hpp"
#include "simd/search.hpp"

namespace arbolite::read {

inline uint64_t offset_of(const char* doc, const char* p) { return static_cast<uint64_t>(p - doc); }

// Appends [begin, end) of the document `doc` to `out` with its
// references decoded; a bad reference is a malformed document.
inline Status<ReadError> decode_references_piece(const char* doc, const char* begin, const char* end,
                                                 entities::RefMode mode, std::string& out) {
    Status<entities::ReferenceError> decoded = entities::decode_references(
        std::string_view(begin, static_cast<size_t>(end - begin)), offset_of(doc, begin), mode, out);
    if (!decoded.ok()) [[unlikely]] return fail(reference_failure(decoded.error()));
    return Ok{};
}

// A long run is decoded in pieces between polls of `polls`, each ending just
// past a ';': every reference that starts in a piece ends in it, so the
// pieces decode (and fail) exactly as the whole run would.
[[gnu::noinline]] inline Status<ReadError> decode_references_polled(const char* doc, const char* begin,
                                                                    const char* end, entities::RefMode mode,
                                                                    std::string& out, PollCounter& polls) {
    constexpr size_t kPiece = InterruptHook::kPollInterval;
    out.reserve(out.size() + static_cast<size_t>(end - begin));  // decoding never lengthens
    while (static_cast<size_t>(end - begin) > kPiece) {
        const char* semi = simd::find_byte(begin + kPiece, end, ';');
        if (semi == end) break;
        ARBOLITE_TRY(decode_references_piece(doc, begin, semi + 1, mode, out));
        begin = semi + 1;
        if (polls.due(offset_of(doc, begin)) && polls.stop(offset_of(doc, begin))) return fail(interrupted());
    }
    return decode_references_piece(doc, begin, end, mode, out);
}

inline Status<ReadError> decode_references_into(const char* doc, const char* begin, const char* end,
                                                entities::RefMode mode, std::string& out,
                                                PollCounter* polls = nullptr) {
    if (static_cast<size_t>(end - begin) > InterruptHook::kPollInterval && polls) [[unlikely]]
        return decode_references_polled(doc, begin, end, mode, out, *polls);
    return decode_references_piece(doc, begin, end, mode, out);
}

// Name and attribute region of an open or self-closing tag as pointers into
// the document. The caller has checked that the tag ends inside it.
inline Status<ReadError> split_start_tag(const char* doc, const index::StructuralIndex& index, size_t tag,
                                         std::string_view& name, const char*& region_begin,
                                         const char*& region_end) {
    uint64_t start = index.tag_starts[tag];
    uint32_t length = index.name_lengths[tag];
    if (length == 0) return fail(malformed(ReadError::Malformation::MissingElementName, start));
    uint64_t end = index.tag_ends[tag] - (index.tag_kinds[tag] == index::TagKind::SelfClosing ? 1 : 0);
    uint64_t name_offset = index.name_offsets[tag];
    name = std::string_view(doc + name_offset, length);
    region_begin = doc + std::min(name_offset + length, end);
    region_end = doc + end;
    return Ok{};
}

// Parses the attribute region [begin, end) into `attrs`. Values without
// anything to decode go into the map straight from the document; the others
// are decoded into `scratch` first. The document ends at `doc_end`. With
// `polls` (Polled), it polls them by offset in the document between
// attributes and inside a long value, and fails with
// ReadError::Kind::Interrupted when they say to stop.
template <bool Polled>
inline Status<ReadError> parse_attributes(const char* doc, const char* doc_end, const char* begin, const char* end,
                                          AttrMap& attrs, std::string& scratch, PollCounter* polls = nullptr) {
    using Malformation = ReadError::Malformation;
    const char* after = begin;  // just past the previous value's closing quote
    const char* p = skip_tag_space(begin, end);
    while (p != end) {
        if (p == after) return fail(malformed(Malformation::MissingSpaceBeforeAttribute, offset_of(doc, after)));
        if constexpr (Polled) {
            if (polls->due(offset_of(doc, p)) && polls->stop(offset_of(doc, p))) return fail(interrupted());
        }

        const char* name_begin = p;
        while (p != end && !is_attr_name_stop(*p)) ++p;
        if (p == name_begin) return fail(malformed(Malformation::MissingAttributeName, offset_of(doc, p)));
        std::string_view name(name_begin, static_cast<size_t>(p - name_begin));

        p = skip_tag_space(p, end);
        if (p == end || *p != '=')
            return fail(malformed_named(Malformation::AttributeWithoutValue, name, offset_of(doc, name_begin)));
        p = skip_tag_space(p + 1, end);
        if (p == end || (*p != '"' && *p != '\''))
            return fail(malformed_named(Malformation::UnquotedAttributeValue, name, offset_of(doc, p)));

        const char quote = *p;
        const char* value_begin = p + 1;
        const char* value_end = simd::find_any4_bounded(value_begin, end, doc_end, quote, '<', quote, '<');
        if (value_end == end || *value_end != quote) {
            // No closing quote, or a '<' before it.
            const char* lt = value_end;
            if (lt == end || simd::find_byte(lt + 1, end, quote) == end)
                return fail(malformed(Malformation::UnterminatedAttributeValue, offset_of(doc, value_begin)));
            return fail(malformed(Malformation::LessThanInAttributeValue, offset_of(doc, lt)));
        }

        // References, tab, line feed and carriage return are decoded; the
        // part before the first of them is taken as it is.
        std::string_view value(value_begin, static_cast<size_t>(value_end - value_begin));
        const char* special = simd::find_any4_bounded(value_begin, value_end, doc_end, '&', '\t', '\n', '\r');
        if (special != value_end) {
            scratch.assign(value_begin, special);
            ARBOLITE_TRY(decode_references_into(doc, special, value_end, entities::RefMode::Attribute, scratch,
                                                Polled ? polls : nullptr));
            value = scratch;
        }
        if (!attrs.try_insert(name, value))
            return fail(malformed_named(Malformation::DuplicateAttribute, name, offset_of(doc, name_begin)));

        after = value_end + 1;
        p = skip_tag_space(after, end);
    }
    return Ok{};
}

[[gnu::noinline]] inline Status<ReadError> parse_long_attributes(const char* doc, const char* doc_end,
                                                                 const char* begin, const char* end, AttrMap& attrs,
                                                                 std::string& scratch, PollCounter& polls) {
    return parse_attributes<true>(doc, doc_end, begin, end, attrs, scratch, &polls);
}

// The name and attributes of open or self-closing tag `tag`. `scratch` is a
// buffer for decoded attribute values; `polls` as for parse_attributes.
inline Status<ReadError> parse_start_tag_parts(std::string_view document, const index::StructuralIndex& index,
                                               size_t tag, std::string_view& name, AttrMap& attrs, std::string& scratch,
                                               PollCounter* polls = nullptr) {
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
    // Only a long region polls: a short one takes less than a poll interval.
    if (static_cast<size_t>(end - begin) >= InterruptHook::kPollInterval && polls) [[unlikely]]
        return parse_long_attributes(doc, doc + document.size(), begin, end, attrs, scratch, *polls);
    return parse_attributes<false>(doc, doc + document.size(), begin, end, attrs, scratch);
}

// Appends the element of open or self-closing tag `tag` to `elements`.
inline Status<ReadError> parse_start_tag_into(std::string_view document, const index::StructuralIndex& index,
                                              size_t tag, std::vector<ParsedElement>& elements,
                                              std::string& scratch, PollCounter* polls = nullptr) {
    ParsedElement& element = elements.emplace_back();
    return parse_start_tag_parts(document, index, tag, element.name, element.attrs, scratch, polls);
}

}  // namespace arbolite::read
