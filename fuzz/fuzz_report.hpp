// Reporting helpers shared by the fuzz targets.
#pragma once

#include <cstdio>
#include <string_view>

namespace fuzz_report {

// Prints `bytes` to stderr as a C string literal: printable ASCII as it is,
// every other byte as a \x escape, so that a failing input can be pasted
// into a test. A hex digit right after an escape starts a new literal piece.
inline void print_bytes(const char* label, std::string_view bytes) {
    std::fprintf(stderr, "%s (%zu bytes): \"", label, bytes.size());
    bool after_escape = false;
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        const bool hex_digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (after_escape && hex_digit) std::fputs("\"\"", stderr);
        after_escape = false;
        if (c == '"' || c == '\\') {
            std::fprintf(stderr, "\\%c", c);
        } else if (c >= 0x20 && c < 0x7F) {
            std::fputc(c, stderr);
        } else {
            std::fprintf(stderr, "\\x%02x", c);
            after_escape = true;
        }
    }
    std::fprintf(stderr, "\"\n");
}

}  // namespace fuzz_report
