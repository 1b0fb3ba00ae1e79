// Memory for the many small blocks of one build, laid out in the order they
// are made and freed one by one.
//
// A build plans, allocates and places, in rounds: it gives the sizes of
// some blocks, in order, then allocates their chunks at once (the only step
// that can run out of memory), then places those blocks, in the same order
// and with the same sizes. Blocks share chunks of up to kChunkBytes, each
// one allocation of the system allocator that counts the blocks still in it
// and goes back with the last of them; a block too big to share gets a chunk
// of its own. So blocks made one after another lie side by side, and a block
// that outlives the rest keeps at most its chunk alive.
//
// kChunkBytes is small, so that what outlives a build costs about what it
// holds: a block kept alone keeps at most 2 KiB (a bigger block, just its own
// chunk), and a run of blocks kept together keeps its own bytes and less
// than a chunk more at each end. Taking one allocation per chunk costs
// little beside filling it.
//
// place() tells each block its distance from its chunk's start, in units of
// kBlockAlign; release() needs only that to find the chunk. Nothing here is
// synchronised: one build runs on one thread, and the releases of blocks
// that share a chunk must be ordered by the caller (the interpreter lock
// orders them for nodes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace arbolite {

class BlockChunks {
public:
    static constexpr size_t kBlockAlign = 8;
    static constexpr size_t kChunkBytes = size_t{2} << 10;
    // The largest distance place() reports, in units of kBlockAlign.
    static constexpr size_t kMaxOffsetUnits = kChunkBytes / kBlockAlign;

    BlockChunks() = default;
    BlockChunks(const BlockChunks&) = delete;
    BlockChunks& operator=(const BlockChunks&) = delete;
    // Frees the chunks that were allocated but given no block.
    ~BlockChunks();

    // `size` rounded up to the block alignment, or 0 when that overflows.
    static size_t block_size(size_t size) noexcept {
        return size > SIZE_MAX - (kBlockAlign - 1) ? 0 : (size + kBlockAlign - 1) & ~(kBlockAlign - 1);
    }

    // Adds a block of `size` bytes (a block_size() value, not 0) to the
    // plan. Throws std::bad_alloc when the plan itself cannot grow.
    void plan(size_t size);

    // Allocates the chunks planned since the last round; false, with none of
    // them allocated, when the memory is not there. The next round's blocks
    // start a chunk of their own.
    bool allocate() noexcept;

    struct Placed {
        void* block;
        size_t offset_units;  // from the chunk's start; at least 1, at most kMaxOffsetUnits
    };

    // The next block: the sizes must be those planned, in the same order.
    Placed place(size_t size) noexcept;

    // Gives back a placed block; its chunk goes with the last of its blocks.
    static void release(void* block, size_t offset_units) noexcept;

    // Abandons a build: calls `finish(block)`, which returns the block's
    // size, once on every block placed (chunk by chunk), then frees every
    // chunk.
    template <class Finish>
    void discard(Finish&& finish) noexcept {
        for (size_t i = 0; i < next_; ++i) {
            char* base = static_cast<char*>(chunks_[i]);
            const size_t end = i == current_ ? fill_ : sizes_[i];
            for (size_t at = header_bytes(); at < end;) at += finish(base + at);
        }
        free_from(0);
    }

    struct ChunkHeader;

private:
    static constexpr size_t kNone = SIZE_MAX;

    static size_t header_bytes() noexcept;
    void free_from(size_t first) noexcept;

    std::vector<size_t> sizes_;  // of each chunk, header included, in the order they are taken
    std::vector<void*> chunks_;  // those allocated so far
    size_t planning_ = kNone;    // the shared chunk being planned
    size_t current_ = kNone;     // the shared chunk being filled
    size_t fill_ = 0;            // bytes of it taken, header included
    size_t next_ = 0;            // the next chunk to take while placing
};

}  // namespace arbolite
