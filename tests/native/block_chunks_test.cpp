#include "common/block_chunks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace arbolite {
namespace {

constexpr size_t kChunk = BlockChunks::kChunkBytes;

struct Case {
    const char* what;
    std::vector<size_t> sizes;  // before rounding
};

class BlockChunksTest : public ::testing::TestWithParam<Case> {};

// Every block is planned, placed where the plan put it, filled and released
// in a shuffled order: blocks never overlap, lie in placing order within a
// chunk, are aligned, and find their chunk again (the sanitizer run sees any
// chunk freed too early or never).
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
        const char* chunk = static_cast<char*>(p.block) - p.offset_units * BlockChunks::kBlockAlign;
        if (!placed.empty()) {
            const auto& last = placed.back();
            const char* last_chunk = static_cast<char*>(last.block) - last.offset_units * BlockChunks::kBlockAlign;
            if (chunk == last_chunk) {
                EXPECT_EQ(static_cast<char*>(p.block), static_cast<char*>(last.block) + sizes[i - 1]);
            }
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
                      Case{"a block that does not fit starts a new chunk", {kChunk / 2, kChunk / 2, 8}}),
    [](const auto& info) {
        std::string name;
        for (const char* c = info.param.what; *c; ++c) name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
        return name;
    });

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
