// The code-point-at-a-time decoder, the reference of the kernels
// (utf8_decode_generic.hpp, kernels_*.cpp), and the choice among them.
#include "simd/utf8_decode.hpp"

#include <algorithm>
#include <cstring>

#include "simd/byte_tally.hpp"
#include "simd/dispatch.hpp"
#include "simd/utf8_decode_generic.hpp"

namespace arbolite::simd {
namespace {

// One code point at a time; the last few bytes are decoded from a
// zero-padded copy.
template <class Unit>
size_t decode_scalar(const char* data, size_t size, Unit* out, size_t room) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const unsigned char* const end = p + size;
    Unit* o = out;
    Unit* const out_end = out + room;
    while (p < end && o < out_end) {
        size_t length;
        if (end - p >= 4) {
            *o++ = static_cast<Unit>(decode_code_point(p, length));
        } else {
            unsigned char padded[4] = {};
            std::memcpy(padded, p, static_cast<size_t>(end - p));
            *o++ = static_cast<Unit>(decode_code_point(padded, length));
        }
        p += std::min(length, static_cast<size_t>(end - p));
    }
    return static_cast<size_t>(o - out);
}

Utf8Measure measure_scalar(const char* data, size_t size) noexcept {
    const ByteTally t = scalar::tally_bytes(data, size, TalliedBytes{});
    return {size - t.continuation, units_for_largest_byte(t.largest)};
}

constexpr Utf8DecodeTable kScalarTable{"scalar", &measure_scalar, &decode_scalar<uint8_t>, &decode_scalar<uint16_t>,
                                       &decode_scalar<uint32_t>};

// No portable word decoder: below SSE2 the code-point-at-a-time loops decode.
KernelFamily<Utf8DecodeTable> decoder_family() noexcept {
    return {kScalarTable, nullptr, sse2_utf8_decoders(), avx2_utf8_decoders()};
}

}  // namespace

const Utf8DecodeTable& active_utf8_decoders() noexcept {
    return ChosenKernels<Utf8DecodeTable, decoder_family>::active();
}

std::span<const Utf8DecodeTable* const> utf8_decoders_for_testing() noexcept {
    return ChosenKernels<Utf8DecodeTable, decoder_family>::for_testing();
}

Utf8Measure measure_utf8(const char* data, size_t size) noexcept { return active_utf8_decoders().measure(data, size); }

size_t decode_utf8(const char* data, size_t size, uint8_t* out, size_t room) noexcept {
    return active_utf8_decoders().decode_latin1(data, size, out, room);
}

size_t decode_utf8(const char* data, size_t size, uint16_t* out, size_t room) noexcept {
    return active_utf8_decoders().decode_ucs2(data, size, out, room);
}

size_t decode_utf8(const char* data, size_t size, uint32_t* out, size_t room) noexcept {
    return active_utf8_decoders().decode_ucs4(data, size, out, room);
}

namespace scalar {
Utf8Measure measure_utf8(const char* data, size_t size) noexcept { return measure_scalar(data, size); }
size_t decode_utf8(const char* data, size_t size, uint8_t* out, size_t room) noexcept {
    return decode_scalar(data, size, out, room);
}
size_t decode_utf8(const char* data, size_t size, uint16_t* out, size_t room) noexcept {
    return decode_scalar(data, size, out, room);
}
size_t decode_utf8(const char* data, size_t size, uint32_t* out, size_t room) noexcept {
    return decode_scalar(data, size, out, room);
}
}  // namespace scalar

}  // namespace arbolite::simd
