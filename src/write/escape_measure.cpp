#include "write/escape_measure.hpp"

#include <algorithm>

namespace arbolite::write {
namespace {

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

}  // namespace arbolite::write
