#include "entities/references.hpp"

#include <cstring>

#include "common/byte_class.hpp"
#include "simd/code_point.hpp"
#include "simd/search.hpp"

namespace arbolite::entities {

namespace {

constexpr uint32_t kMaxCodePoint = 0x10FFFF;

using byte_class::hex_value;

// The code point of a numeric reference body ("#65", "#x41", "#+65"), or 0
// when the body does not denote a character that may appear in a document.
// Every value above U+10FFFF is rejected as soon as it is reached, which also
// covers numbers that do not fit in 32 bits.
uint32_t numeric_reference_value(std::string_view body) {
    size_t i = 1;  // past '#'
    unsigned radix = 10;
    if (i < body.size() && body[i] == 'x') {
        radix = 16;
        ++i;
    }
    if (i < body.size() && body[i] == '+') ++i;
    if (i == body.size()) return 0;
    uint32_t value = 0;
    for (; i < body.size(); ++i) {
        unsigned digit = hex_value(body[i]);
        if (digit >= radix) return 0;
        value = value * radix + digit;
        if (value > kMaxCodePoint) return 0;
    }
    if (value >= 0xD800 && value <= 0xDFFF) return 0;
    return value;
}

[[gnu::cold, gnu::noinline]] ReferenceError reference_error(ReferenceError::Kind kind, std::string_view body,
                                                          uint64_t offset) {
    return ReferenceError{kind, offset, std::string(body)};
}

// The single byte a predefined entity stands for, or 0.
inline char predefined_entity(std::string_view body) {
    switch (body.size()) {
        case 2:
            if (body[1] != 't') return 0;
            if (body[0] == 'l') return '<';
            if (body[0] == 'g') return '>';
            return 0;
        case 3:
            return std::memcmp(body.data(), "amp", 3) == 0 ? '&' : 0;
        case 4:
            if (std::memcmp(body.data(), "quot", 4) == 0) return '"';
            if (std::memcmp(body.data(), "apos", 4) == 0) return '\'';
            return 0;
        default:
            return 0;
    }
}

// Decodes from `p`, the first byte that needs attention, to the end. The
// bytes before `p` are already in `out`.
Status<ReferenceError> decode_slow(const char* begin, const char* p, const char* end, uint64_t base_offset,
                              RefMode mode, std::string& out) {
    const bool attribute = mode == RefMode::Attribute;
    while (p != end) {
        char c = *p;
        if (c == '&') {
            const char* semi = simd::find_byte(p + 1, end, ';');
            uint64_t offset = base_offset + static_cast<uint64_t>(p - begin);
            if (semi == end) return fail(reference_error(ReferenceError::Kind::Unterminated, {}, offset));
            std::string_view body(p + 1, static_cast<size_t>(semi - p - 1));
            if (char predefined = predefined_entity(body)) {
                out.push_back(predefined);
            } else if (body.empty() || body[0] != '#') {
                return fail(reference_error(ReferenceError::Kind::UnknownEntity, body, offset));
            } else {
                uint32_t cp = numeric_reference_value(body);
                if (cp == 0) return fail(reference_error(ReferenceError::Kind::InvalidCharacter, body, offset));
                char encoded[4];
                out.append(encoded, simd::encode_code_point(cp, encoded));
            }
            p = semi + 1;
        } else {
            // Tab, line feed or carriage return in an attribute value: one
            // space each, a CR LF pair counting as one.
            out.push_back(' ');
            if (c == '\r' && p + 1 != end && p[1] == '\n') ++p;
            ++p;
        }
        const char* next = attribute ? simd::find_any4(p, end, '&', '\t', '\n', '\r') : simd::find_byte(p, end, '&');
        out.append(p, next);
        p = next;
    }
    return Ok{};
}

}  // namespace

Status<ReferenceError> decode_references(std::string_view input, uint64_t base_offset, RefMode mode, std::string& out) {
    const char* begin = input.data();
    const char* end = begin + input.size();
    const char* first = mode == RefMode::Attribute ? simd::find_any4(begin, end, '&', '\t', '\n', '\r')
                                                   : simd::find_byte(begin, end, '&');
    if (first == end) {
        out.append(begin, end);
        return Ok{};
    }
    // The decoded form is never longer than its source.
    out.reserve(out.size() + input.size());
    out.append(begin, first);
    return decode_slow(begin, first, end, base_offset, mode, out);
}

}  // namespace arbolite::entities
