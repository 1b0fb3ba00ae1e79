// Decoding of the five predefined entities and of character references in
// text and attribute values.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "entities/reference_error.hpp"

namespace arbolite::entities {

enum class RefMode : uint8_t {
    Text,       // tab, line feed and carriage return stay as they are
    Attribute,  // each becomes one space; CR LF as a pair becomes one space
};

// Appends the decoded form of `input` to `out`. When there is nothing to
// decode, the input is appended in one copy. Errors carry offsets relative to
// the document: `base_offset` is the offset of input[0].
Status<ReferenceError> decode_references(std::string_view input, uint64_t base_offset, RefMode mode,
                                         std::string& out);

}  // namespace arbolite::entities
