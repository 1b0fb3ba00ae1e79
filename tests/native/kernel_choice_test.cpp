// The cap that ARBOLITE_KERNELS puts on every run-time choice of kernels.
// The choice is made once per process, so each case runs in a fresh one (a
// death test re-executing this program) that sets the variable first.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "simd/dispatch.hpp"
#include "simd/kernels.hpp"
#include "simd/utf8_decode.hpp"
#include "simd/utf8_encode.hpp"

namespace arbolite::simd {
namespace {

TEST(KernelLevel, ParsesTheThreeLevelsAndNothingElse) {
    const struct {
        const char* value;
        std::optional<KernelLevel> level;
    } cases[] = {
        {"portable", KernelLevel::Portable},
        {"sse2", KernelLevel::Sse2},
        {"avx2", KernelLevel::Avx2},
        {"AVX2", KernelLevel::Avx2},
        {"Portable", KernelLevel::Portable},
        {nullptr, std::nullopt},
        {"", std::nullopt},
        {"avx", std::nullopt},
        {"avx2 ", std::nullopt},
        {"avx512", std::nullopt},
        {"sse", std::nullopt},
        {"sse22", std::nullopt},
        {"scalar", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_kernel_level(c.value), c.level) << (c.value ? c.value : "(null)");
}

struct fake_table {
    const char* name;
};

// A family with no word kernel and no SSE2 table (the decoders of another
// processor) still gets a table at every level.
TEST(KernelLevel, FamilyTakesTheBestTableAtOrBelowTheCap) {
    static const fake_table scalar{"scalar"}, swar{"swar"}, sse2{"sse2"}, avx2{"avx2"};
    const bool avx2_runs = cpu_has_avx2();
    const struct {
        KernelFamily<fake_table> family;
        KernelLevel ceiling;
        const char* expected;
    } cases[] = {
        {{scalar, &swar, &sse2, &avx2}, KernelLevel::Portable, "swar"},
        {{scalar, &swar, &sse2, &avx2}, KernelLevel::Sse2, "sse2"},
        {{scalar, &swar, &sse2, &avx2}, KernelLevel::Avx2, avx2_runs ? "avx2" : "sse2"},
        {{scalar, &swar, nullptr, &avx2}, KernelLevel::Sse2, "swar"},
        {{scalar, nullptr, &sse2, nullptr}, KernelLevel::Avx2, "sse2"},
        {{scalar, nullptr, nullptr, &avx2}, KernelLevel::Sse2, "scalar"},
        {{scalar, nullptr, nullptr, nullptr}, KernelLevel::Avx2, "scalar"},
    };
    for (const auto& c : cases)
        EXPECT_STREQ(c.family.best_up_to(c.ceiling).name, c.expected) << static_cast<int>(c.ceiling);
}

// What each family should pick under `ceiling` in this build on this
// processor, in the order the child prints them.
std::string expected_choice(KernelLevel ceiling) {
    const bool avx2 = ceiling >= KernelLevel::Avx2 && cpu_has_avx2();
    const bool sse2 = ceiling >= KernelLevel::Sse2;
    auto pick = [&](bool has_avx2, bool has_sse2, const char* below) -> std::string {
        return avx2 && has_avx2 ? "avx2" : sse2 && has_sse2 ? "sse2" : below;
    };
    return pick(avx2_kernels() != nullptr, sse2_kernels() != nullptr, "swar") + " " +
           pick(avx2_utf8_kernels() != nullptr, sse2_utf8_kernels() != nullptr, "swar") + " " +
           pick(avx2_utf8_decoders() != nullptr, sse2_utf8_decoders() != nullptr, "scalar");
}

// Runs in the child: sets the variable, makes the first choice, then changes
// the variable, which the later choices must not see, and prints them all.
[[noreturn]] void print_choice(const char* value) {
    if (value != nullptr)
        setenv("ARBOLITE_KERNELS", value, 1);
    else
        unsetenv("ARBOLITE_KERNELS");
    const char* search = active_kernels().name;
    setenv("ARBOLITE_KERNELS", "portable", 1);
    std::fprintf(stderr, "choice: %s %s %s\n", search, active_utf8_kernels().name, active_utf8_decoders().name);
    std::fflush(stderr);
    std::_Exit(0);
}

#if defined(ARBOLITE_PORTABLE_ONLY)
// A build for another processor has no vector table to choose.
TEST(KernelLevel, PortableOnlyBuildHasNoVectorTables) {
    EXPECT_EQ(sse2_kernels(), nullptr);
    EXPECT_EQ(avx2_kernels(), nullptr);
    EXPECT_EQ(sse2_utf8_kernels(), nullptr);
    EXPECT_EQ(avx2_utf8_kernels(), nullptr);
    EXPECT_EQ(sse2_utf8_decoders(), nullptr);
    EXPECT_EQ(avx2_utf8_decoders(), nullptr);
    EXPECT_EQ(expected_choice(KernelLevel::Avx2), "swar swar scalar");
}
#endif

TEST(KernelChoiceDeathTest, EveryFamilyFollowsTheVariableReadOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const struct {
        const char* value;
        KernelLevel ceiling;
    } cases[] = {
        {"portable", KernelLevel::Portable},
        {"sse2", KernelLevel::Sse2},
        {"avx2", KernelLevel::Avx2},
        {"SSE2", KernelLevel::Sse2},
        {nullptr, KernelLevel::Avx2},   // unset: the best
        {"", KernelLevel::Avx2},        // unknown values are ignored
        {"neon", KernelLevel::Avx2},
    };
    for (const auto& c : cases) {
        const std::string expected = "choice: " + expected_choice(c.ceiling) + "\n";
        EXPECT_EXIT(print_choice(c.value), testing::ExitedWithCode(0), "^" + expected + "$")
            << (c.value ? c.value : "(unset)");
    }
}

}  // namespace
}  // namespace arbolite::simd
