// The error value of reference decoding: what is wrong, where, and the
// reference's body when it has one.
#pragma once

#include <cstdint>
#include <string>

namespace arbolite::entities {

struct ReferenceError {
    enum class Kind : uint8_t {
        Unterminated,      // an '&' with no ';' after it
        InvalidCharacter,  // a numeric reference to no allowed character; body: "#..."
        UnknownEntity,     // a name that is not one of the predefined entities; body: the name
    };
    Kind kind;
    uint64_t offset = 0;  // of the '&', in the document
    std::string body;     // the bytes between '&' and ';'
};

}  // namespace arbolite::entities
