// The operating system's random source behind the hash keys, in whichever
// form this build uses (the build can be told to skip getrandom, or getrandom
// and getentropy, so that the fallbacks of other systems run here too).
#include "common/siphash.hpp"

#include <gtest/gtest.h>

#include <dirent.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace arbolite {
namespace {

size_t open_descriptors() {
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) ++count;
        ::closedir(dir);
    }
    return count;
}

TEST(RandomSource, BuildUsesTheConfiguredSource) {
    EXPECT_STREQ(os_random_source(), ARBOLITE_EXPECTED_RANDOM_SOURCE);
}

// Sizes around getentropy's 256-byte limit per call, and reads that the
// device may split.
class RandomFill : public ::testing::TestWithParam<size_t> {};

TEST_P(RandomFill, FillsExactlyTheBytesAskedForWithFreshValues) {
    const size_t n = GetParam();
    constexpr unsigned char kGuard = 0xA5;
    std::vector<unsigned char> first(n + 16, kGuard), second(n + 16, kGuard);
    ASSERT_TRUE(fill_os_random(first.data(), n));
    ASSERT_TRUE(fill_os_random(second.data(), n));
    for (size_t i = n; i < n + 16; ++i) {
        ASSERT_EQ(first[i], kGuard) << "wrote past the end at " << i;
        ASSERT_EQ(second[i], kGuard) << "wrote past the end at " << i;
    }
    // Two draws of 8 bytes or more agree with probability 2^-64 at most; a
    // run of zeros or of the guard byte across the last 8 bytes means a part
    // was never filled.
    EXPECT_NE(std::memcmp(first.data(), second.data(), n), 0);
    auto tail_is = [&](const std::vector<unsigned char>& v, unsigned char b) {
        return std::all_of(v.begin() + static_cast<long>(n - 8), v.begin() + static_cast<long>(n),
                           [b](unsigned char c) { return c == b; });
    };
    EXPECT_FALSE(tail_is(first, 0) || tail_is(first, kGuard));
    EXPECT_FALSE(tail_is(second, 0) || tail_is(second, kGuard));
}

INSTANTIATE_TEST_SUITE_P(Sizes, RandomFill, ::testing::Values(8, 16, 255, 256, 257, 1000, 70000));

TEST(RandomSource, LeavesNoDescriptorOpen) {
    const size_t before = open_descriptors();
    if (before == 0) GTEST_SKIP() << "no /proc/self/fd";
    unsigned char bytes[16];
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(fill_os_random(bytes, sizeof bytes));
    EXPECT_EQ(open_descriptors(), before);
}

TEST(RandomSource, EachThreadDrawsItsOwnKey) {
    constexpr int kThreads = 8;
    std::vector<SipKey> keys(kThreads);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back([&keys, i] { keys[i] = next_map_key(); });
    for (auto& t : threads) t.join();
    for (int i = 0; i < kThreads; ++i) {
        for (int j = i + 1; j < kThreads; ++j) {
            EXPECT_NE(keys[i].k1, keys[j].k1) << "threads " << i << " and " << j;
        }
    }
}

}  // namespace
}  // namespace arbolite
