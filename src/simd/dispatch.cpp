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

std::optional<KernelLevel> parse_kernel_level(const char* value) noexcept {
    if (value == nullptr) return std::nullopt;
    if (equals_ignoring_ascii_case(value, "portable")) return KernelLevel::Portable;
    if (equals_ignoring_ascii_case(value, "sse2")) return KernelLevel::Sse2;
    if (equals_ignoring_ascii_case(value, "avx2")) return KernelLevel::Avx2;
    return std::nullopt;
}

KernelLevel kernel_ceiling() noexcept {
    static const KernelLevel ceiling =
        parse_kernel_level(std::getenv("ARBOLITE_KERNELS")).value_or(KernelLevel::Avx2);
    return ceiling;
}

}  // namespace arbolite::simd
