#include "simd/byte_tally.hpp"

namespace arbolite::simd::scalar {

// The reference of the kernels (byte_tally_generic.hpp).
ByteTally tally_bytes(const char* data, size_t size, const TalliedBytes& bytes) noexcept {
    ByteTally t;
    for (size_t i = 0; i < size; ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        for (unsigned k = 0; k < bytes.count; ++k) t.counts[k] += data[i] == bytes.bytes[k];
        t.continuation += (c & 0xC0) == 0x80;
        if (c > t.largest) t.largest = c;
    }
    return t;
}

}  // namespace arbolite::simd::scalar
