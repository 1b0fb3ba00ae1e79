// How the walk hands an escaped text or attribute value to a sink, and the
// notes by which a measuring walk tells the walk that follows it which long
// texts need no escaping.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "write/escape.hpp"

namespace arbolite::write {

// Which of the long texts and attribute values of a tree need no escaping,
// in the order a walk meets them: noted by measure_tree, so that a walk
// writing the same tree with the same arguments copies those whole instead
// of searching them again.
using PlainTexts = std::vector<bool>;

namespace detail {

// Writes `s` with its special bytes replaced; each run between them goes to
// the sink in one piece.
template <Escape mode, class Sink>
bool write_escaped_pieces(Sink& sink, std::string_view s) {
    const char* p = s.data();
    const char* const end = p + s.size();
    const char* const floor = p;
    for (;;) {
        const char* q = find_special<mode>(p, end, floor);
        if (q != p && !sink.write(p, static_cast<size_t>(q - p))) return false;
        if (q == end) return true;
        const Replacement& r = replacement_of<mode>(*q);
        if (!sink.write(r.bytes, r.size)) return false;
        p = q + 1;
    }
}

template <Escape mode, class Sink>
bool write_escaped(Sink& sink, std::string_view s) {
    return write_escaped_pieces<mode>(sink, s);
}

// Texts and values at least this long are measured whole, and whether they
// need escaping at all is noted for the walk that writes them (PlainTexts).
inline constexpr size_t kLongText = 64;

// Reads the notes of a measuring walk back in the same order.
class PlainCursor {
public:
    explicit PlainCursor(const PlainTexts* plain) : plain_(plain) {}
    // Whether the next long text or value needs no escaping (false without
    // notes, or past their end).
    bool next() { return plain_ != nullptr && at_ < plain_->size() && (*plain_)[at_++]; }

private:
    const PlainTexts* plain_;
    size_t at_ = 0;
};

}  // namespace detail
}  // namespace arbolite::write
