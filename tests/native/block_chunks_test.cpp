#include "common/block_chunks.hpp"

#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's own count of what its allocator has handed out: its runtime
// has it, though not every compiler ships the header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

namespace arbolite {
namespace {

constexpr size_t kChunk = BlockChunks::kChunkBytes;
// What the system allocator may add to a chunk when it rounds its size up.
constexpr size_t kAllocatorSlack = 32;

// Bytes the system allocator has handed out and not had back.
size_t allocated_bytes() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

const char* chunk_of(const BlockChunks::Placed& p) {
    return static_cast<const char*>(p.block) - p.offset_units * BlockChunks::kBlockAlign;
}

// The most that a placed block of `size` bytes may keep alive: a shared
// chunk, or a chunk of its own that holds just the block after the header.
size_t most_kept(const BlockChunks::Placed& p, size_t size) {
    return std::max(kChunk, p.offset_units * BlockChunks::kBlockAlign + size) + kAllocatorSlack;
}

// Sizes of blocks as a document's nodes need them: mostly nodes of 48 to
// 200 bytes, some texts apart of up to two chunks, now and then a node with
// many children.
std::vector<size_t> document_like_sizes(size_t count, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<size_t> sizes;
    for (size_t i = 0; i < count; ++i) {
        const unsigned kind = rng() % 100;
        sizes.push_back(kind < 80   ? 48 + rng() % 153
                        : kind < 99 ? 112 + rng() % (2 * kChunk)
                                    : kChunk + rng() % (4 * kChunk));
    }
    return sizes;
}

struct Case {
    const char* what;
    std::vector<size_t> sizes;  // before rounding
};

class BlockChunksTest : public ::testing::TestWithParam<Case> {};

// Every block is planned, placed where the plan put it, filled and released
// in a shuffled order: blocks never overlap, lie in placing order within a
// chunk, are aligned, and find their chunk again (the sanitizer run sees any
// chunk freed too early or never). No chunk is bigger than what its blocks
// may keep alive.
TEST_P(BlockChunksTest, PlacesPlannedBlocksAndReleasesTheirChunks) {
    BlockChunks chunks;
    std::vector<size_t> sizes;
    for (size_t size : GetParam().sizes) sizes.push_back(BlockChunks::block_size(size));
    for (size_t size : sizes) chunks.plan(size);
    ASSERT_TRUE(chunks.allocate());

    std::vector<BlockChunks::Placed> placed;
    for (size_t i = 0; i < sizes.size(); ++i) {
        const BlockChunks::Placed p = chunks.place(sizes[i]);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p.block) % BlockChunks::kBlockAlign, 0u);
        EXPECT_GE(p.offset_units, 1u);
        EXPECT_LE(p.offset_units, BlockChunks::kMaxOffsetUnits);
        const char* chunk = chunk_of(p);
        EXPECT_LE(malloc_usable_size(const_cast<char*>(chunk)), most_kept(p, sizes[i]))
            << "block " << i << " of " << sizes[i] << " bytes";
        if (!placed.empty() && chunk == chunk_of(placed.back())) {
            EXPECT_EQ(static_cast<char*>(p.block), static_cast<char*>(placed.back().block) + sizes[i - 1]);
        }
        std::memset(p.block, static_cast<int>(i), sizes[i]);
        placed.push_back(p);
    }
    for (size_t i = 0; i < placed.size(); ++i) {
        const auto* bytes = static_cast<const unsigned char*>(placed[i].block);
        EXPECT_TRUE(std::all_of(bytes, bytes + sizes[i], [&](unsigned char b) { return b == (i & 0xff); }))
            << "block " << i << " was overwritten";
    }
    std::mt19937 rng(7);
    std::shuffle(placed.begin(), placed.end(), rng);
    for (const auto& p : placed) BlockChunks::release(p.block, p.offset_units);
}

INSTANTIATE_TEST_SUITE_P(
    Plans, BlockChunksTest,
    ::testing::Values(Case{"one small block", {48}},
                      Case{"sizes rounded up", {1, 7, 9, 15, 17}},
                      Case{"a chunk filled exactly, then the next", std::vector<size_t>(kChunk / 64 + 3, 48)},
                      Case{"blocks that do not share", {kChunk, 10 * kChunk + 5}},
                      Case{"the largest block that shares and the smallest that does not", {kChunk - 16, kChunk - 15}},
                      Case{"a big block between small ones keeps their chunk open", {64, 3 * kChunk, 64, 64}},
                      Case{"a block that does not fit starts a new chunk", {kChunk / 2, kChunk / 2, 8}},
                      Case{"the blocks of a document", document_like_sizes(3000, 11)}),
    [](const auto& info) {
        std::string name;
        for (const char* c = info.param.what; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return name;
    });

// Blocks kept from a build of many rounds keep their own chunks and nothing
// else: once the build is gone and every other block is released, the
// allocator holds at most one chunk per kept block, and what it holds back
// for reuse (the system allocator counts the small blocks it caches per
// thread as handed out: a few hundred KiB at most).
TEST(BlockChunks, KeptBlocksKeepOnlyTheirChunks) {
    constexpr size_t kAllocatorCache = size_t{512} << 10;
    constexpr unsigned kRounds = 200;
    constexpr size_t kPerRound = 500;
    constexpr size_t kKeepEvery = 101;
    std::vector<BlockChunks::Placed> kept;
    kept.reserve(kRounds * kPerRound / kKeepEvery + 1);
    const size_t before = allocated_bytes();
    size_t bound = kAllocatorCache;
    {
        BlockChunks chunks;
        std::vector<BlockChunks::Placed> placed;
        std::vector<size_t> sizes;
        for (unsigned round = 0; round < kRounds; ++round) {
            const size_t first = sizes.size();
            for (size_t size : document_like_sizes(kPerRound, round)) sizes.push_back(BlockChunks::block_size(size));
            for (size_t i = first; i < sizes.size(); ++i) chunks.plan(sizes[i]);
            ASSERT_TRUE(chunks.allocate());
            for (size_t i = first; i < sizes.size(); ++i) placed.push_back(chunks.place(sizes[i]));
        }
        for (size_t i = 0; i < placed.size(); ++i) {
            const BlockChunks::Placed& p = placed[i];
            if (i % kKeepEvery != 0) {
                BlockChunks::release(p.block, p.offset_units);
                continue;
            }
            kept.push_back(p);
            bound += most_kept(p, sizes[i]);
        }
    }
    EXPECT_LE(allocated_bytes() - before, bound);
    for (const BlockChunks::Placed& p : kept) BlockChunks::release(p.block, p.offset_units);
}

// Chunks that were allocated but given no block go with the planner.
TEST(BlockChunks, UnplacedChunksAreFreedWithThePlanner) {
    BlockChunks chunks;
    for (int i = 0; i < 3; ++i) chunks.plan(kChunk);
    ASSERT_TRUE(chunks.allocate());
    const BlockChunks::Placed first = chunks.place(kChunk);
    BlockChunks::release(first.block, first.offset_units);
}

// A build given up after some rounds visits every placed block once and
// frees every chunk (the sanitizer run checks the freeing).
TEST(BlockChunks, DiscardVisitsEveryPlacedBlockOnce) {
    BlockChunks chunks;
    const std::vector<size_t> round = {64, 3 * kChunk, 64, kChunk - 16, 128};
    std::vector<void*> placed;
    for (int r = 0; r < 2; ++r) {
        for (size_t size : round) chunks.plan(size);
        ASSERT_TRUE(chunks.allocate());
        for (size_t size : round) {
            void* block = chunks.place(size).block;
            std::memcpy(block, &size, sizeof size);
            placed.push_back(block);
        }
    }
    for (size_t size : round) chunks.plan(size);  // allocated, never placed
    ASSERT_TRUE(chunks.allocate());
    void* last = chunks.place(round[0]).block;
    std::memcpy(last, &round[0], sizeof round[0]);
    placed.push_back(last);

    std::vector<void*> visited;
    chunks.discard([&](void* block) {
        visited.push_back(block);
        size_t size;
        std::memcpy(&size, block, sizeof size);
        return size;
    });
    std::sort(visited.begin(), visited.end());
    std::sort(placed.begin(), placed.end());
    EXPECT_EQ(visited, placed);
}

}  // namespace
}  // namespace arbolite
