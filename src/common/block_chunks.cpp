#include "common/block_chunks.hpp"

#include <algorithm>
#include <cstdlib>

namespace arbolite {

// A block counts as live from its placing to its release. The header keeps
// the blocks after it aligned as the system allocator aligns the chunk.
struct BlockChunks::ChunkHeader {
    alignas(16) size_t live;
};

namespace {
constexpr size_t kHeaderBytes = sizeof(BlockChunks::ChunkHeader);
static_assert(kHeaderBytes % BlockChunks::kBlockAlign == 0);
// A block bigger than this gets a chunk of its own, where it starts right
// after the header.
constexpr size_t kLargestShared = BlockChunks::kChunkBytes - kHeaderBytes;
}  // namespace

BlockChunks::~BlockChunks() { free_from(next_); }

size_t BlockChunks::header_bytes() noexcept { return kHeaderBytes; }

void BlockChunks::free_from(size_t first) noexcept {
    for (size_t i = first; i < chunks_.size(); ++i) std::free(chunks_[i]);
    chunks_.resize(std::min(first, chunks_.size()));
}

void BlockChunks::plan(size_t size) {
    if (size > kLargestShared) {
        sizes_.push_back(kHeaderBytes + size);
        return;
    }
    if (planning_ == kNone || sizes_[planning_] + size > kChunkBytes) {
        sizes_.push_back(kHeaderBytes);
        planning_ = sizes_.size() - 1;
    }
    sizes_[planning_] += size;
}

bool BlockChunks::allocate() noexcept {
    const size_t first = chunks_.size();
    try {
        // Grown by doubling: a build of many rounds copies its list of
        // chunks a few times, not once a round.
        if (sizes_.size() > chunks_.capacity()) chunks_.reserve(std::max(sizes_.size(), 2 * chunks_.capacity()));
    } catch (...) {
        return false;
    }
    for (size_t i = first; i < sizes_.size(); ++i) {
        void* chunk = std::malloc(sizes_[i]);
        if (!chunk) {
            free_from(first);
            sizes_.resize(first);
            return false;
        }
        static_cast<ChunkHeader*>(chunk)->live = 0;
        chunks_.push_back(chunk);
    }
    planning_ = kNone;
    return true;
}

BlockChunks::Placed BlockChunks::place(size_t size) noexcept {
    size_t chunk;
    size_t at;
    if (size > kLargestShared) {
        chunk = next_++;
        at = kHeaderBytes;
    } else {
        // The plan made each shared chunk exactly as big as the blocks it
        // took, so a block that did not fit then does not fit now, and the
        // last chunk of a round is full when the next round begins.
        if (current_ == kNone || fill_ + size > sizes_[current_]) {
            current_ = next_++;
            fill_ = kHeaderBytes;
        }
        chunk = current_;
        at = fill_;
        fill_ += size;
    }
    auto* base = static_cast<char*>(chunks_[chunk]);
    ++reinterpret_cast<ChunkHeader*>(base)->live;
    return {base + at, at / kBlockAlign};
}

void BlockChunks::release(void* block, size_t offset_units) noexcept {
    char* base = static_cast<char*>(block) - offset_units * kBlockAlign;
    auto* header = reinterpret_cast<ChunkHeader*>(base);
    if (--header->live == 0) std::free(base);
}

}  // namespace arbolite
