// Growth of a list by the density of its entries: a list filled while a
// document is read predicts its final length from how many entries the
// bytes read so far made, so that a document of uniform shape moves the
// list once or twice instead of at every doubling.
#pragma once

#include <cstddef>
#include <cstdint>

namespace arbolite {

// The final length of a list that holds `count` entries for the first
// `covered` of `span` bytes (covered > 0), with an eighth and 64 entries to
// spare, and at most `most`.
inline size_t predicted_length(size_t count, uint64_t covered, uint64_t span, size_t most) {
    const double whole = static_cast<double>(count) * static_cast<double>(span) / static_cast<double>(covered);
    const double spared = whole * 1.125;
    if (spared >= static_cast<double>(most)) return most;  // also where no size_t holds it
    const size_t want = static_cast<size_t>(spared) + 64;
    return want > most ? most : want;
}

}  // namespace arbolite
