// Memory for the many small blocks of one build, laid out in the order they
// are made and freed one by one.
//
// A build first plans: it gives the size of every block, in order. Then it
// allocates every chunk at once (the only step that can run out of memory),
// then places the blocks, in the same order and with the same sizes. Blocks
// share chunks of up to kChunkBytes, each one allocation of the system
// allocator that counts the blocks still in it and goes back with the last of
// them; a block too big to share gets a chunk of its own. So blocks made one
// after another lie side by side, and a block that outlives the rest keeps
// at most its chunk alive.
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
    static constexpr size_t kChunkBytes = size_t{64} << 10;
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

    // Allocates every planned chunk; false, with nothing allocated, when the
    // memory is not there.
    bool allocate() noexcept;

    struct Placed {
        void* block;
        size_t offset_units;  // from the chunk's start; at least 1, at most kMaxOffsetUnits
    };

    // The next block: the sizes must be those planned, in the same order.
    Placed place(size_t size) noexcept;

    // Gives back a placed block; its chunk goes with the last of its blocks.
    static void release(void* block, size_t offset_units) noexcept;

    struct ChunkHeader;

private:
    static constexpr size_t kNone = SIZE_MAX;

    std::vector<size_t> sizes_;  // of each chunk, header included, in the order they are taken
    std::vector<void*> chunks_;  // after allocate()
    size_t current_ = kNone;     // the shared chunk being filled
    size_t fill_ = 0;            // bytes of it taken, header included
    size_t next_ = 0;            // the next chunk to take while placing
};

}  // namespace arbolite
