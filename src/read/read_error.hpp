// The error value of a failed read. The texts users see are composed from
// these fields at the Python boundary.
#pragma once

#include <cstdint>
#include <string>

#include "index/structural.hpp"

namespace arbolite::read {

struct ReadError {
    enum class Kind : uint8_t {
        IndexFailure,   // index_error holds the structural index's error
        Malformed,      // detail: the message; offset: where
        RootNotFound,   // detail: the requested root tag
        Unclosed,       // detail: the innermost element still open
        UnknownEntity,  // detail: the entity name; offset: its '&'
        Interrupted,    // the interrupt hook stopped the read
    };
    Kind kind;
    std::string detail;
    uint64_t offset = 0;
    index::IndexBuildError index_error{};

    static ReadError malformed(std::string message, uint64_t offset) {
        return {Kind::Malformed, std::move(message), offset};
    }
};

}  // namespace arbolite::read
