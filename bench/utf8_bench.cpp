// Throughput of the UTF-8 encoders on text held as Latin-1, UCS-2 and UCS-4
// code units. The texts come from one UTF-8 file (for instance a generated
// non-ASCII document): all of it as UCS-4, its BMP code points as UCS-2 and
// its Latin-1 code points as Latin-1. Prints GB/s of UTF-8 output (10^9
// bytes per second), best of several runs, for:
//   length    the length pass alone
//   encode    the encoding pass alone, into a buffer allocated beforehand
//   two-pass  length, allocation of the exact size, encoding, release
//   one-pass  allocation of the worst case, encoding, shrinking, release
// for the table in use and for the other tables that run here; then the
// decoder back into UCS-4 (GB/s of UTF-8 input).
//
//   utf8_bench file [repetitions]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "simd/utf8_decode.hpp"
#include "simd/utf8_encode.hpp"

namespace {

namespace simd = arbolite::simd;

std::vector<uint32_t> decode(const std::string& s) {
    std::vector<uint32_t> out;
    for (size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        const int extra = b < 0x80 ? 0 : b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        uint32_t c = extra == 0 ? b : b & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < s.size(); ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        out.push_back(c);
        i += 1 + extra;
    }
    return out;
}

template <class Unit>
std::vector<Unit> keep_below(const std::vector<uint32_t>& text, uint32_t limit) {
    std::vector<Unit> out;
    for (const uint32_t c : text)
        if (c < limit) out.push_back(static_cast<Unit>(c));
    return out;
}

double best_seconds(int repetitions, const std::function<void()>& run) {
    double best = 1e30;
    for (int r = 0; r < repetitions; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        run();
        const std::chrono::duration<double> d = std::chrono::steady_clock::now() - t0;
        best = std::min(best, d.count());
    }
    return best;
}

volatile size_t sink;

std::optional<size_t> length_with(const simd::Utf8EncodeTable& k, const std::vector<uint8_t>& t) {
    return k.length_latin1(t.data(), t.size());
}
std::optional<size_t> length_with(const simd::Utf8EncodeTable& k, const std::vector<uint16_t>& t) {
    return k.length_ucs2(t.data(), t.size());
}
std::optional<size_t> length_with(const simd::Utf8EncodeTable& k, const std::vector<uint32_t>& t) {
    return k.length_ucs4(t.data(), t.size());
}
char* encode_with(const simd::Utf8EncodeTable& k, const std::vector<uint8_t>& t, char* out) {
    return k.encode_latin1(t.data(), t.size(), out);
}
char* encode_with(const simd::Utf8EncodeTable& k, const std::vector<uint16_t>& t, char* out) {
    return k.encode_ucs2(t.data(), t.size(), out);
}
char* encode_with(const simd::Utf8EncodeTable& k, const std::vector<uint32_t>& t, char* out) {
    return k.encode_ucs4(t.data(), t.size(), out);
}

template <class Unit>
void measure(const char* label, const std::vector<Unit>& text, int repetitions) {
    const size_t out_size = *length_with(simd::kScalarUtf8Kernels, text);
    const size_t worst = text.size() * (sizeof(Unit) == 1 ? 2 : sizeof(Unit) == 2 ? 3 : 4);
    std::printf("%s: %zu code units, %zu bytes of UTF-8\n", label, text.size(), out_size);
    std::vector<char> buffer(out_size);
    for (const simd::Utf8EncodeTable* k : simd::utf8_kernels_for_testing()) {
        const double gb = static_cast<double>(out_size) / 1e9;
        const double length = best_seconds(repetitions, [&] { sink = *length_with(*k, text); });
        const double encode = best_seconds(repetitions, [&] { sink = encode_with(*k, text, buffer.data()) - buffer.data(); });
        const double two_pass = best_seconds(repetitions, [&] {
            const size_t n = *length_with(*k, text);
            char* out = static_cast<char*>(std::malloc(n));
            sink = encode_with(*k, text, out) - out;
            std::free(out);
        });
        const double one_pass = best_seconds(repetitions, [&] {
            char* out = static_cast<char*>(std::malloc(worst));
            const size_t n = encode_with(*k, text, out) - out;
            out = static_cast<char*>(std::realloc(out, n));
            sink = n;
            std::free(out);
        });
        std::printf("  %-6s  length %6.2f  encode %6.2f  two-pass %6.2f  one-pass %6.2f GB/s\n", k->name,
                    gb / length, gb / encode, gb / two_pass, gb / one_pass);
    }
}

// The decoder in the other direction, on the file's own bytes: the measuring
// pass, and measuring, allocating and decoding together, in GB/s of UTF-8
// input.
void measure_decoder(const std::string& bytes, int repetitions) {
    const simd::Utf8Measure m = simd::measure_utf8(bytes.data(), bytes.size());
    const double gb = static_cast<double>(bytes.size()) / 1e9;
    const double measure = best_seconds(repetitions, [&] { sink = simd::measure_utf8(bytes.data(), bytes.size()).code_points; });
    const double whole = best_seconds(repetitions, [&] {
        const simd::Utf8Measure n = simd::measure_utf8(bytes.data(), bytes.size());
        auto* out = static_cast<uint32_t*>(std::malloc(n.code_points * 4 + 1));
        simd::decode_utf8(bytes.data(), bytes.size(), out, n.code_points);
        sink = out[0];
        std::free(out);
    });
    std::printf("decoding into UCS-4: %zu code points\n  measure %6.2f  measure+decode %6.2f GB/s\n",
                m.code_points, gb / measure, gb / whole);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: utf8_bench file [repetitions]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const int repetitions = argc > 2 ? std::atoi(argv[2]) : 20;
    const std::vector<uint32_t> text = decode(bytes);
    std::printf("active kernels: %s\n", simd::active_utf8_kernels().name);
    measure("UCS-4 (whole text)", text, repetitions);
    measure("UCS-2 (BMP code points)", keep_below<uint16_t>(text, 0x10000), repetitions);
    measure("Latin-1 (Latin-1 code points)", keep_below<uint8_t>(text, 0x100), repetitions);
    measure_decoder(bytes, repetitions);
    return 0;
}
