#include "common/growth.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

namespace {

using arbolite::predicted_length;

struct GrowthCase {
    size_t count;
    uint64_t covered;
    uint64_t span;
    size_t most;
    size_t expected;
};

class PredictedLength : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(PredictedLength, ScalesTheDensitySoFarWithRoomToSpare) {
    const GrowthCase& c = GetParam();
    EXPECT_EQ(predicted_length(c.count, c.covered, c.span, c.most), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Growth, PredictedLength,
    ::testing::Values(
        // 100 entries in the first tenth: 1000 in all, an eighth more, 64 over.
        GrowthCase{100, 1000, 10'000, 1'000'000, 1189},
        // Everything covered: the count itself with the room to spare.
        GrowthCase{800, 4000, 4000, 1'000'000, 964},
        // Capped.
        GrowthCase{100, 1000, 10'000, 500, 500},
        GrowthCase{0, 1, 1'000'000, 10, 10},
        // Nothing yet: only the spare entries.
        GrowthCase{0, 1, 1'000'000, 1'000'000, 64},
        // A density that overflows no size: the cap holds.
        GrowthCase{SIZE_MAX / 4, 1, UINT64_MAX / 2, SIZE_MAX / 2, SIZE_MAX / 2}));

}  // namespace
