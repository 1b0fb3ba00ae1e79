// SipHash-1-3 and the per-thread keys that seed attribute maps.
#pragma once

#include <cstddef>
#include <cstdint>

namespace arbolite {

struct SipKey {
    uint64_t k0 = 0;
    uint64_t k1 = 0;
};

uint64_t siphash13(SipKey key, const void* data, size_t len) noexcept;

// A key for a new map. Each thread draws one 128-bit key from the operating
// system's random source the first time it asks, and varies its first half
// for every map after that, so no two maps of a thread share a key.
SipKey next_map_key() noexcept;

// Fills n bytes from the operating system's random source: getrandom, then
// getentropy, then /dev/urandom, whichever this build has and the system
// grants. False when none did (the bytes are then unspecified).
bool fill_os_random(void* out, size_t n) noexcept;

// The first source fill_os_random tries in this build: "getrandom",
// "getentropy" or "urandom".
const char* os_random_source() noexcept;

}  // namespace arbolite
