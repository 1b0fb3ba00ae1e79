// The code-point-at-a-time encoder and the choice among the tables of the
// kernel sources (utf8_encode_generic.hpp, kernels_*.cpp).
#include "simd/utf8_encode.hpp"

#include "simd/code_point.hpp"
#include "simd/dispatch.hpp"

namespace arbolite::simd {
namespace {

inline bool is_surrogate(uint32_t c) { return (c & 0xFFFFF800u) == 0xD800u; }

// One, two, three or four bytes by the code unit's value; the comparisons
// that a unit type cannot meet cost nothing.
template <class Unit>
std::optional<size_t> scalar_length(const Unit* p, size_t n) {
    size_t len = n;
    bool bad = false;
    for (size_t i = 0; i < n; ++i) {
        const uint32_t c = p[i];
        len += static_cast<size_t>(c >= 0x80) + static_cast<size_t>(c >= 0x800) + static_cast<size_t>(c >= 0x10000);
        bad |= is_surrogate(c) | (c > 0x10FFFF);
    }
    if (bad) return std::nullopt;
    return len;
}

template <class Unit>
char* scalar_encode(const Unit* p, size_t n, char* out) {
    for (size_t i = 0; i < n; ++i) out += encode_code_point(p[i], out);
    return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// Code point at a time

std::optional<size_t> scalar::utf8_length(const uint8_t* p, size_t n) noexcept { return scalar_length(p, n); }
std::optional<size_t> scalar::utf8_length(const uint16_t* p, size_t n) noexcept { return scalar_length(p, n); }
std::optional<size_t> scalar::utf8_length(const uint32_t* p, size_t n) noexcept { return scalar_length(p, n); }

char* scalar::encode_utf8(const uint8_t* p, size_t n, char* out) noexcept { return scalar_encode(p, n, out); }
char* scalar::encode_utf8(const uint16_t* p, size_t n, char* out) noexcept { return scalar_encode(p, n, out); }
char* scalar::encode_utf8(const uint32_t* p, size_t n, char* out) noexcept { return scalar_encode(p, n, out); }

constinit const Utf8EncodeTable kScalarUtf8Kernels{
    "scalar",
    [](const uint8_t* p, size_t n) noexcept { return scalar::utf8_length(p, n); },
    [](const uint16_t* p, size_t n) noexcept { return scalar::utf8_length(p, n); },
    [](const uint32_t* p, size_t n) noexcept { return scalar::utf8_length(p, n); },
    [](const uint8_t* p, size_t n, char* out) noexcept { return scalar::encode_utf8(p, n, out); },
    [](const uint16_t* p, size_t n, char* out) noexcept { return scalar::encode_utf8(p, n, out); },
    [](const uint32_t* p, size_t n, char* out) noexcept { return scalar::encode_utf8(p, n, out); },
};

// ---------------------------------------------------------------------------
// Choice of kernels

namespace {

KernelFamily<Utf8EncodeTable> family() noexcept {
    return {kScalarUtf8Kernels, &kSwarUtf8Kernels, sse2_utf8_kernels(), avx2_utf8_kernels()};
}

}  // namespace

const Utf8EncodeTable& active_utf8_kernels() noexcept { return ChosenKernels<Utf8EncodeTable, family>::active(); }

std::span<const Utf8EncodeTable* const> utf8_kernels_for_testing() noexcept {
    return ChosenKernels<Utf8EncodeTable, family>::for_testing();
}

std::optional<size_t> utf8_length(const uint8_t* p, size_t n) noexcept {
    return active_utf8_kernels().length_latin1(p, n);
}
std::optional<size_t> utf8_length(const uint16_t* p, size_t n) noexcept {
    return active_utf8_kernels().length_ucs2(p, n);
}
std::optional<size_t> utf8_length(const uint32_t* p, size_t n) noexcept {
    return active_utf8_kernels().length_ucs4(p, n);
}

char* encode_utf8(const uint8_t* p, size_t n, char* out) noexcept {
    return active_utf8_kernels().encode_latin1(p, n, out);
}
char* encode_utf8(const uint16_t* p, size_t n, char* out) noexcept {
    return active_utf8_kernels().encode_ucs2(p, n, out);
}
char* encode_utf8(const uint32_t* p, size_t n, char* out) noexcept {
    return active_utf8_kernels().encode_ucs4(p, n, out);
}

}  // namespace arbolite::simd
