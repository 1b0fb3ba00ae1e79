// The character data of an open element while the walk collects it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/string_arena.hpp"
#include "read/char_classes.hpp"

namespace arbolite::read {

// The character data of an open element, collected piece by piece. While it
// is a single run of the document that needs no decoding, it stays a view of
// that run; a second piece or a reference moves it into the buffer.
class PendingText {
public:
    void reset() {
        state_ = State::Empty;
        buffer_.clear();
    }

    // Leading white space is trimmed in the end, so none is stored while the
    // text is still empty.
    bool empty() const { return state_ == State::Empty; }

    // Appends bytes that are taken as they are.
    void append(const char* p, const char* end) {
        switch (state_) {
            case State::Empty:
                run_ = std::string_view(p, static_cast<size_t>(end - p));
                state_ = State::Run;
                break;
            case State::Run:
                buffer_.assign(run_);
                state_ = State::Buffered;
                [[fallthrough]];
            case State::Buffered:
                buffer_.append(p, end);
                break;
        }
    }

    // The buffer, for pieces that are decoded into it.
    std::string& buffer() {
        if (state_ == State::Run) buffer_.assign(run_);
        state_ = State::Buffered;
        return buffer_;
    }

    // The text with White_Space trimmed at both ends, or nothing when none is
    // left. A run is returned as the view it is; assembled text is copied
    // into `strings`.
    std::optional<std::string_view> finish(StringArena& strings) const {
        if (state_ == State::Empty) return std::nullopt;
        if (state_ == State::Run) {
            // Starts with a character that is not White_Space.
            const char* end = trim_white_space_back(run_.data(), run_.data() + run_.size());
            return std::string_view(run_.data(), static_cast<size_t>(end - run_.data()));
        }
        const char* data = buffer_.data();
        const char* end = trim_white_space_back(data, data + buffer_.size());
        const char* begin = skip_white_space(data, end);  // white space that references produced
        if (begin == end) return std::nullopt;
        return strings.store(std::string_view(begin, static_cast<size_t>(end - begin)));
    }

private:
    enum class State : uint8_t { Empty, Run, Buffered };
    State state_ = State::Empty;
    std::string_view run_;
    std::string buffer_;
};

}  // namespace arbolite::read
