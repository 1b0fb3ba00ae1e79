#include "simd/dispatch.hpp"

#include <cstdlib>

namespace arbolite::simd {
namespace {

bool equals_ignoring_ascii_case(const char* value, const char* lower) noexcept {
    for (; *lower != '\0'; ++value, ++lower) {
        char c = *value;
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != *lower) return false;  // also where `value` ends first
    }
    return *value == '\0';
}

}  // namespace

std::optional<kernel_level> parse_kernel_level(const char* value) noexcept {
    if (value == nullptr) return std::nullopt;
    if (equals_ignoring_ascii_case(value, "portable")) return kernel_level::portable;
    if (equals_ignoring_ascii_case(value, "sse2")) return kernel_level::sse2;
    if (equals_ignoring_ascii_case(value, "avx2")) return kernel_level::avx2;
    return std::nullopt;
}

kernel_level kernel_ceiling() noexcept {
    static const kernel_level ceiling =
        parse_kernel_level(std::getenv("ARBOLITE_KERNELS")).value_or(kernel_level::avx2);
    return ceiling;
}

}  // namespace arbolite::simd
