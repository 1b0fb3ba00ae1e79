// Fuzz target: the document parser and the writer.
//
// Every input is read as a document. The parse must never crash, whatever
// the bytes. When it succeeds on a valid UTF-8 document (what the reader is
// ever handed), the tree is written out and the output read back with the
// same root tag: the second tree must have the same names, attributes, text
// and shape as the first, and writing it again must give as many bytes.
// The reference decoder also runs over the whole input in both modes, and
// the UTF-8 decoder: valid input must encode back to itself.
//
// The input chooses its own root tag and writer options:
//   - a document that starts with '<' is read for its first element;
//   - otherwise the first byte picks "r", "a", "root" or the second element
//     name of the document;
//   - the input's length picks the indentation (4, 0, 2 or 1) and whether
//     the XML declaration is written.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "entities/references.hpp"
#include "fuzz_report.hpp"
#include "read/parser.hpp"
#include "simd/kernels.hpp"
#include "simd/utf8_decode.hpp"
#include "simd/utf8_encode.hpp"
#include "write/serializer.hpp"
#include "parsed_tree_view.hpp"

namespace {

using arbolite::ParsedElement;
using arbolite::ParsedTree;
using fuzz_report::print_bytes;

[[noreturn]] void fail_round_trip(const char* what, size_t element, std::string_view document,
                                  std::string_view root_tag, std::string_view written) {
    std::fprintf(stderr, "round trip mismatch: %s (element %zu)\n", what, element);
    print_bytes("document", document);
    print_bytes("root tag", root_tag);
    print_bytes("written", written);
    std::abort();
}

// Bytes that end an element name after '<' (as the index scans names).
bool ends_name(char c) {
    return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ' || c == '/' || c == '>';
}

// The name after the `nth` '<' (0-based) that is followed by a name byte
// and not by '!', '/' or '?'; empty when there are fewer.
std::string_view nth_element_name(std::string_view doc, size_t nth) {
    size_t from = 0;
    for (;;) {
        const size_t lt = doc.find('<', from);
        if (lt == std::string_view::npos || lt + 1 >= doc.size()) return {};
        from = lt + 1;
        const char first = doc[from];
        if (first == '!' || first == '/' || first == '?' || first == '<' || ends_name(first)) continue;
        size_t end = from;
        while (end < doc.size() && !ends_name(doc[end])) ++end;
        if (nth-- == 0) return doc.substr(from, end - from);
    }
}

std::string_view choose_root_tag(std::string_view doc) {
    if (doc.empty()) return "r";
    std::string_view name;
    if (doc[0] == '<') {
        name = nth_element_name(doc, 0);
    } else {
        switch (static_cast<unsigned char>(doc[0]) % 4) {
            case 0: return "r";
            case 1: return "a";
            case 2: return "root";
            default: name = nth_element_name(doc, 1); break;
        }
    }
    return name.empty() ? std::string_view("r") : name;
}

bool is_valid_utf8(std::string_view doc) {
    // The byte-at-a-time table is the reference.
    return arbolite::simd::kScalarKernels.is_valid_utf8(doc.data(), doc.size());
}

// Length of the White_Space character at the start of `s` (0 if none), in
// the UTF-8 forms of U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680,
// U+2000..U+200A, U+2028, U+2029, U+202F, U+205F and U+3000.
size_t white_space_prefix(std::string_view s) {
    static constexpr std::string_view multi[] = {
        "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
        "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
        "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F",
        "\xE3\x80\x80"};
    if (s.empty()) return 0;
    if ((s[0] >= '\t' && s[0] <= '\r') || s[0] == ' ') return 1;
    for (std::string_view w : multi)
        if (s.starts_with(w)) return w.size();
    return 0;
}

size_t white_space_suffix(std::string_view s) {
    if (s.empty()) return 0;
    const char last = s.back();
    if ((last >= '\t' && last <= '\r') || last == ' ') return 1;
    for (size_t len = 2; len <= 3 && len <= s.size(); ++len)
        if (white_space_prefix(s.substr(s.size() - len)) == len) return len;
    return 0;
}

// `s` without the white space that the reader trims from element text.
std::string_view trimmed(std::string_view s) {
    while (size_t n = white_space_prefix(s)) s.remove_prefix(n);
    while (size_t n = white_space_suffix(s)) s.remove_suffix(n);
    return s;
}

bool same_attributes(const ParsedElement& a, const ParsedElement& b) {
    if (a.attrs.size() != b.attrs.size()) return false;
    for (const auto& entry : a.attrs) {
        const auto other = b.attrs.find(entry.name);
        if (!other || *other != entry.value) return false;
    }
    return true;
}

// Text may gain or lose only the white space that the reader trims anyway.
bool same_text(const std::optional<std::string_view>& a, const std::optional<std::string_view>& b) {
    const std::string_view ta = a ? trimmed(*a) : std::string_view();
    const std::string_view tb = b ? trimmed(*b) : std::string_view();
    return ta == tb;
}

void compare_trees(const ParsedTree& first, const ParsedTree& second, std::string_view document,
                   std::string_view root_tag, std::string_view written) {
    if (first.elements.size() != second.elements.size())
        fail_round_trip("element count", 0, document, root_tag, written);
    for (size_t i = 0; i < first.elements.size(); ++i) {
        const ParsedElement& a = first.elements[i];
        const ParsedElement& b = second.elements[i];
        if (a.name != b.name) fail_round_trip("name", i, document, root_tag, written);
        if (a.end != b.end || a.child_count != b.child_count)
            fail_round_trip("child structure", i, document, root_tag, written);
        if (!same_attributes(a, b)) fail_round_trip("attributes", i, document, root_tag, written);
        if (!same_text(a.text, b.text)) fail_round_trip("text", i, document, root_tag, written);
    }
}

void check_round_trip(const ParsedTree& tree, std::string_view document, std::string_view root_tag) {
    static constexpr size_t indents[] = {4, 0, 2, 1};
    const size_t indent = indents[document.size() % 4];
    const bool declaration = (document.size() / 4) % 2 == 0;

    auto written = arbolite::write::write_tree_to_memory(arbolite::write::view_of(tree), indent, declaration);
    if (!written.ok()) fail_round_trip("the writer failed", 0, document, root_tag, {});
    const std::string_view output = written.value().view();

    // Measuring gives the exact size, and writing into a buffer of that size
    // gives the same bytes.
    const auto views = arbolite::write::view_of(tree);
    auto measured = arbolite::write::measure_tree(views, indent, declaration);
    if (!measured.ok() || measured.value().size != output.size())
        fail_round_trip("the measured size", 0, document, root_tag, output);
    std::string buffer(output.size(), '\0');
    if (!arbolite::write::write_tree_to_buffer(views, indent, declaration, buffer.data(), buffer.size()) ||
        buffer != output)
        fail_round_trip("the output written into a buffer", 0, document, root_tag, output);

    auto reread = arbolite::read::parse_document(output, root_tag);
    if (!reread.ok()) {
        const auto& e = reread.error();
        std::fprintf(stderr, "written output does not parse: kind %d/%d, offset %llu, '%s' '%s'\n",
                     static_cast<int>(e.kind), static_cast<int>(e.malformation),
                     static_cast<unsigned long long>(e.offset), e.name.c_str(), e.found.c_str());
        fail_round_trip("reread failed", 0, document, root_tag, output);
    }
    compare_trees(tree, reread.value(), document, root_tag, output);

    // Attribute order differs from map to map, but not the bytes written.
    auto rewritten =
        arbolite::write::write_tree_to_memory(arbolite::write::view_of(reread.value()), indent, declaration);
    if (!rewritten.ok() || rewritten.value().size() != output.size())
        fail_round_trip("rewritten length", 0, document, root_tag, output);
}

void check_references(std::string_view input) {
    using arbolite::entities::RefMode;
    for (const RefMode mode : {RefMode::Text, RefMode::Attribute}) {
        std::string out;
        auto decoded = arbolite::entities::decode_references(input, 0, mode, out);
        // Text without '&' is taken as it is.
        if (decoded.ok() && mode == RefMode::Text && input.find('&') == std::string_view::npos && out != input) {
            print_bytes("input", input);
            print_bytes("decoded", out);
            std::abort();
        }
    }
}

// Valid UTF-8 decoded into code units and encoded again gives the input
// back; other bytes are decoded too, within bounds.
void check_utf8_decoding(std::string_view input, bool valid) {
    using namespace arbolite::simd;
    const Utf8Measure measured = measure_utf8(input.data(), input.size());
    std::vector<uint32_t> units(measured.code_points);
    decode_utf8(input.data(), input.size(), units.data(), units.size());
    if (!valid) return;
    std::string again(input.size(), '\0');
    char* end = encode_utf8(units.data(), units.size(), again.data());
    if (std::string_view(again.data(), static_cast<size_t>(end - again.data())) != input) {
        print_bytes("input", input);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view document(reinterpret_cast<const char*>(data), size);
    const std::string_view root_tag = choose_root_tag(document);

    const bool valid = is_valid_utf8(document);
    auto parsed = arbolite::read::parse_document(document, root_tag);
    if (parsed.ok() && valid) check_round_trip(parsed.value(), document, root_tag);
    check_utf8_decoding(document, valid);

    check_references(document);
    return 0;
}
