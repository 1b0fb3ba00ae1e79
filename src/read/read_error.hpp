// The error value of a failed read: what went wrong, where, and the names
// involved. The texts users see are composed from these fields at the
// Python boundary.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "entities/reference_error.hpp"
#include "index/structural.hpp"

namespace arbolite::read {

struct ReadError {
    enum class Kind : uint8_t {
        IndexFailure,   // index_error holds the structural index's error
        Malformed,      // malformation says what; offset: where; name, found: see Malformation
        RootNotFound,   // name: the requested root tag
        Unclosed,       // name: the innermost element still open
        UnknownEntity,  // name: the entity name; offset: its '&'
        Interrupted,    // the interrupt hook stopped the read
    };
    // What is wrong with a malformed document (Kind::Malformed), and which
    // names each fault carries.
    enum class Malformation : uint8_t {
        UnexpectedEnd,               // the document ends inside markup
        UnterminatedDoctype,         // a document type declaration without its end
        UnterminatedMarkup,          // a tag that runs to the end of the document
        MissingElementName,          // '<' without a name after it
        MissingSpaceBeforeAttribute,
        MissingAttributeName,
        AttributeWithoutValue,       // name: the attribute
        UnquotedAttributeValue,      // name: the attribute
        UnterminatedAttributeValue,
        LessThanInAttributeValue,
        DuplicateAttribute,          // name: the attribute
        EndTagMismatch,              // name: the open element; found: the end tag's name
        UnexpectedEndTag,            // name: the end tag's name
        MalformedEndTag,             // name: the end tag's name
        UnterminatedComment,
        UnterminatedCData,
        UnterminatedProcessingInstruction,
        UnexpectedLessThan,          // a '<' in text that starts no markup
        UnterminatedReference,       // an '&' without a ';' after it
        InvalidCharacterReference,   // name: the reference's body ("#...")
    };

    Kind kind;
    Malformation malformation = Malformation::UnexpectedEnd;  // meaningful for Kind::Malformed only
    uint64_t offset = 0;
    std::string name = {};
    std::string found = {};
    index::IndexBuildError index_error{};

    static ReadError malformed(Malformation what, uint64_t offset, std::string_view name = {},
                               std::string_view found = {}) {
        return {Kind::Malformed, what, offset, std::string(name), std::string(found)};
    }
    static ReadError named(Kind kind, std::string_view name, uint64_t offset = 0) {
        return {kind, Malformation::UnexpectedEnd, offset, std::string(name)};
    }
};

// The failures of a read, built out of line: none of them is on a path that
// matters for speed.
[[gnu::cold]] ReadError malformed(ReadError::Malformation what, uint64_t offset);
[[gnu::cold]] ReadError malformed_named(ReadError::Malformation what, std::string_view name, uint64_t offset);
[[gnu::cold]] ReadError end_tag_mismatch(std::string_view open, std::string_view found, uint64_t offset);
// An index error as a read reports it: running off the end of the document
// (of `length` bytes) and an unterminated document type declaration are
// malformed documents; the other faults keep the index's error.
[[gnu::cold]] ReadError index_failure(const index::IndexBuildError& error, uint64_t length);
[[gnu::cold]] ReadError reference_failure(const entities::ReferenceError& error);
[[gnu::cold]] ReadError unclosed(std::string_view name);
[[gnu::cold]] ReadError root_not_found(std::string_view root_tag);
[[gnu::cold]] ReadError interrupted();

}  // namespace arbolite::read
