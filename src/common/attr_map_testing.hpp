// What tests may see of an attribute map beyond its interface. Only tests
// include this header.
#pragma once

#include "common/attr_map.hpp"
#include "common/siphash.hpp"

namespace arbolite {

struct AttrMapTesting {
    // The key the map hashes with (zero while it keeps no hash table).
    static SipKey hash_key(const AttrMap& map) noexcept;
};

}  // namespace arbolite
