// Storage for strings that must outlive the buffers they were assembled in:
// each stored copy stays at its address until the arena is destroyed (moving
// the arena keeps them there too). Short strings share 64 KiB blocks; long
// ones get a block of their own.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace arbolite {

class StringArena {
public:
    std::string_view store(std::string_view s) {
        if (s.empty()) return {};
        if (s.size() > left_) return store_in_new_block(s);
        char* at = next_;
        std::memcpy(at, s.data(), s.size());
        next_ += s.size();
        left_ -= s.size();
        return {at, s.size()};
    }

private:
    static constexpr size_t kBlockSize = size_t{64} << 10;

    std::string_view store_in_new_block(std::string_view s) {
        if (s.size() > kBlockSize / 4) {
            // A block of its own: the shared block keeps its free room.
            auto& block = blocks_.emplace_back(std::make_unique_for_overwrite<char[]>(s.size()));
            std::memcpy(block.get(), s.data(), s.size());
            return {block.get(), s.size()};
        }
        next_ = blocks_.emplace_back(std::make_unique_for_overwrite<char[]>(kBlockSize)).get();
        left_ = kBlockSize;
        return store(s);
    }

    std::vector<std::unique_ptr<char[]>> blocks_;
    char* next_ = nullptr;
    size_t left_ = 0;
};

}  // namespace arbolite
