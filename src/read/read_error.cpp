#include "read/read_error.hpp"

namespace arbolite::read {

using Malformation = ReadError::Malformation;

[[gnu::noinline]] ReadError malformed(Malformation what, uint64_t offset) {
    return ReadError::malformed(what, offset);
}

[[gnu::noinline]] ReadError malformed_named(Malformation what, std::string_view name, uint64_t offset) {
    return ReadError::malformed(what, offset, name);
}

[[gnu::noinline]] ReadError end_tag_mismatch(std::string_view open, std::string_view found, uint64_t offset) {
    return ReadError::malformed(Malformation::EndTagMismatch, offset, open, found);
}

[[gnu::noinline]] ReadError index_failure(const index::IndexBuildError& error, uint64_t length) {
    using IndexKind = index::IndexBuildError::Kind;
    if (error.kind == IndexKind::UnexpectedEnd) return ReadError::malformed(Malformation::UnexpectedEnd, length);
    if (error.kind == IndexKind::UnterminatedDoctype)
        return ReadError::malformed(Malformation::UnterminatedDoctype, error.offset);
    if (error.kind == IndexKind::Interrupted) return interrupted();
    ReadError out{ReadError::Kind::IndexFailure};
    out.offset = error.offset;
    out.index_error = error;
    return out;
}

[[gnu::noinline]] ReadError reference_failure(const entities::ReferenceError& error) {
    using ReferenceKind = entities::ReferenceError::Kind;
    switch (error.kind) {
        case ReferenceKind::Unterminated:
            return ReadError::malformed(Malformation::UnterminatedReference, error.offset);
        case ReferenceKind::InvalidCharacter:
            return ReadError::malformed(Malformation::InvalidCharacterReference, error.offset, error.body);
        case ReferenceKind::UnknownEntity: break;
    }
    return ReadError::named(ReadError::Kind::UnknownEntity, error.body, error.offset);
}

[[gnu::noinline]] ReadError unclosed(std::string_view name) { return ReadError::named(ReadError::Kind::Unclosed, name); }

[[gnu::noinline]] ReadError root_not_found(std::string_view root_tag) {
    return ReadError::named(ReadError::Kind::RootNotFound, root_tag);
}

[[gnu::noinline]] ReadError interrupted() { return ReadError{ReadError::Kind::Interrupted}; }

}  // namespace arbolite::read
