#include "write/escape_measure.hpp"

#include <algorithm>
#include <array>
#include <string_view>

#include "simd/byte_tally.hpp"
#include "simd/kernels.hpp"

namespace arbolite::write {
namespace {

// The special bytes of a mode, tallied, and what the replacement of each adds
// to the size.
struct Specials {
    simd::TalliedBytes bytes;
    std::array<uint8_t, simd::kMaxTallied> added{};
};

template <Escape mode>
constexpr Specials make_specials() {
    constexpr std::string_view all = "&<>\"'\t\r\n";
    std::string_view special = all;
    if constexpr (mode == Escape::Text) special = all.substr(0, 5);
    Specials s;
    s.bytes = simd::make_tallied_bytes(special);
    for (unsigned k = 0; k < special.size(); ++k) {
        const uint8_t size = replacement_of<mode>(special[k]).size;
        if (size == 0) throw "a tallied byte is not special";
        s.added[k] = static_cast<uint8_t>(size - 1);
    }
    return s;
}

template <Escape mode>
constexpr Specials kSpecials = make_specials<mode>();

// Every special byte of a mode is tallied.
template <Escape mode>
constexpr bool tallies_every_special() {
    unsigned specials = 0;
    for (unsigned c = 0; c < 256; ++c)
        specials += is_special<mode>(static_cast<char>(c));
    return specials == kSpecials<mode>.bytes.count;
}
static_assert(tallies_every_special<Escape::Text>() && tallies_every_special<Escape::Attr>());

template <Escape mode>
EscapedMeasure measure_with(const simd::KernelTable& kernels, const char* data, size_t size) noexcept {
    const simd::ByteTally t = kernels.tally_bytes(data, size, kSpecials<mode>.bytes);
    size_t bytes = size;
    for (unsigned k = 0; k < kSpecials<mode>.bytes.count; ++k) bytes += t.counts[k] * kSpecials<mode>.added[k];
    return {bytes, t.continuation, t.largest};
}

template <Escape mode>
EscapedMeasure reference(const char* data, size_t size) noexcept {
    EscapedMeasure m{0, 0, 0};
    for (size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        const size_t replaced = replacement_of<mode>(data[i]).size;
        m.bytes += replaced != 0 ? replaced : 1;
        m.continuation += (c & 0xC0) == 0x80;
        m.largest = std::max(m.largest, c);
    }
    return m;
}

}  // namespace

EscapedMeasure escaped_measure_reference(Escape mode, const char* data, size_t size) noexcept {
    return mode == Escape::Text ? reference<Escape::Text>(data, size) : reference<Escape::Attr>(data, size);
}

EscapedMeasure escaped_measure_with(const simd::KernelTable& kernels, Escape mode, const char* data,
                                    size_t size) noexcept {
    return mode == Escape::Text ? measure_with<Escape::Text>(kernels, data, size)
                                : measure_with<Escape::Attr>(kernels, data, size);
}

EscapedMeasure escaped_measure(Escape mode, const char* data, size_t size) noexcept {
    return escaped_measure_with(simd::active_kernels(), mode, data, size);
}

}  // namespace arbolite::write
