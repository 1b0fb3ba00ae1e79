#include "simd/scalar.hpp"

#include <cstdint>

namespace arbolite::simd::scalar {

const char* find_byte(const char* begin, const char* end, char c) noexcept {
    for (; begin != end; ++begin)
        if (*begin == c) return begin;
    return end;
}

const char* find_any4(const char* begin, const char* end, char a, char b, char c, char d) noexcept {
    for (; begin != end; ++begin) {
        const char x = *begin;
        if (x == a || x == b || x == c || x == d) return begin;
    }
    return end;
}

const char* find_any8(const char* begin, const char* end, const char* set) noexcept {
    for (; begin != end; ++begin)
        for (int i = 0; i < 8; ++i)
            if (*begin == set[i]) return begin;
    return end;
}

const char* find_in_set(const char* p, const char* end, const char*, const ByteSet& set) noexcept {
    for (; p != end; ++p)
        if (set.contains(*p)) return p;
    return end;
}

size_t count_byte(const char* begin, const char* end, char c) noexcept {
    size_t count = 0;
    for (; begin != end; ++begin) count += *begin == c;
    return count;
}

namespace {

// Length of the well-formed sequence at p (2 to 4 bytes; p[0] >= 0x80), or 0
// when it is malformed or runs past `end`. The accepted forms:
//   C2..DF 80..BF
//   E0 A0..BF 80..BF | E1..EC 80..BF 80..BF | ED 80..9F 80..BF | EE..EF 80..BF 80..BF
//   F0 90..BF 80..BF 80..BF | F1..F3 80..BF x3 | F4 80..8F 80..BF 80..BF
size_t sequence_length(const unsigned char* p, const unsigned char* end) noexcept {
    const unsigned lead = p[0];
    const size_t avail = static_cast<size_t>(end - p);
    auto cont = [](unsigned b) { return (b & 0xC0u) == 0x80u; };
    if (lead >= 0xC2 && lead <= 0xDF) return avail >= 2 && cont(p[1]) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        if (avail < 3) return 0;
        const unsigned lo = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned hi = lead == 0xED ? 0x9F : 0xBF;
        return p[1] >= lo && p[1] <= hi && cont(p[2]) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        if (avail < 4) return 0;
        const unsigned lo = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned hi = lead == 0xF4 ? 0x8F : 0xBF;
        return p[1] >= lo && p[1] <= hi && cont(p[2]) && cont(p[3]) ? 4 : 0;
    }
    return 0;
}

}  // namespace

const char* validate_non_ascii_run(const char* p, const char* end) noexcept {
    auto* u = reinterpret_cast<const unsigned char*>(p);
    auto* e = reinterpret_cast<const unsigned char*>(end);
    while (u != e && *u >= 0x80) {
        const size_t len = sequence_length(u, e);
        if (len == 0) return nullptr;
        u += len;
    }
    return reinterpret_cast<const char*>(u);
}

bool is_valid_utf8(const char* data, size_t len) noexcept {
    const char* p = data;
    const char* end = data + len;
    while (p != end) {
        if (static_cast<unsigned char>(*p) < 0x80) {
            ++p;
            continue;
        }
        p = validate_non_ascii_run(p, end);
        if (p == nullptr) return false;
    }
    return true;
}

void classify_blocks(const char* blocks, size_t count, BlockMasks* out) noexcept {
    for (size_t b = 0; b < count; ++b) {
        BlockMasks m{0, 0, 0, 0, 0};
        const char* p = blocks + b * kBlockSize;
        for (size_t i = 0; i < kBlockSize; ++i) {
            const uint64_t bit = uint64_t{1} << i;
            switch (p[i]) {
                case '<': m.lt |= bit; break;
                case '>': m.gt |= bit; break;
                case '"': m.dq |= bit; break;
                case '\'': m.sq |= bit; break;
                case '/': m.low_or_slash |= bit; break;
                default:
                    if (static_cast<unsigned char>(p[i]) <= ' ') m.low_or_slash |= bit;
                    break;
            }
        }
        out[b] = m;
    }
}

}  // namespace arbolite::simd::scalar
