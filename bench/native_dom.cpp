// The ceiling for the read benchmark: a native C++ DOM parser reading a
// document that is already in memory, with no interpreter in the way.
//
//   native_dom FILE [--rounds N] [--min-time SECONDS]
//
// Reads FILE into memory once, then parses it in N rounds (default 5). Each
// round times a loop of as many parses as fill SECONDS (default 0.05; at
// least one), so that small documents are timed over many calls; the
// figure is the best round's time per parse. Every parse builds a fresh
// tree from a copy of the buffer (the parser works in place on its own
// copy) and frees the previous tree, as a program reading many documents
// would. Prints one line of key=value pairs:
//
//   best_s=0.0123 mb_s=681.2 bytes=8388608 elements=154755 iterations=4
//
// (MB is 10^6 bytes). `elements` counts the element nodes, so that the
// caller can check that the parser saw the same document. A document the
// parser rejects prints its message and byte offset and exits with 1.
#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned parse_options = pugi::parse_default;

bool parse(pugi::xml_document& doc, const std::string& data, const char* path) {
    pugi::xml_parse_result result = doc.load_buffer(data.data(), data.size(), parse_options, pugi::encoding_utf8);
    if (!result) {
        std::fprintf(stderr, "native_dom: %s: %s at byte %lld\n", path, result.description(),
                     static_cast<long long>(result.offset));
        return false;
    }
    return true;
}

// Element nodes of the whole document, walked without recursion (the
// documents nest a thousand levels deep).
size_t count_elements(const pugi::xml_document& doc) {
    size_t count = 0;
    pugi::xml_node node = doc.first_child();
    while (node) {
        if (node.type() == pugi::node_element) ++count;
        if (node.first_child()) {
            node = node.first_child();
            continue;
        }
        while (node && !node.next_sibling()) node = node.parent();
        if (node) node = node.next_sibling();
    }
    return count;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int usage() {
    std::fprintf(stderr, "usage: native_dom FILE [--rounds N] [--min-time SECONDS]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const char* path = argv[1];
    long rounds = 5;
    double min_time = 0.05;
    for (int i = 2; i < argc; ++i) {
        if (i + 1 >= argc) return usage();
        char* end = nullptr;
        if (std::strcmp(argv[i], "--rounds") == 0) {
            rounds = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || rounds < 1) return usage();
        } else if (std::strcmp(argv[i], "--min-time") == 0) {
            min_time = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(min_time >= 0)) return usage();
        } else {
            return usage();
        }
    }

    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "native_dom: cannot open %s\n", path);
        return 1;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    const std::string data = buffer.str();

    pugi::xml_document doc;
    const auto first = Clock::now();
    if (!parse(doc, data, path)) return 1;
    const double once = seconds_since(first);
    const size_t elements = count_elements(doc);

    const long iterations = once >= min_time ? 1 : std::clamp(static_cast<long>(min_time / std::max(once, 1e-9)), 1L, 10'000'000L);
    double best = std::numeric_limits<double>::infinity();
    for (long round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        for (long i = 0; i < iterations; ++i) {
            if (!parse(doc, data, path)) return 1;
        }
        best = std::min(best, seconds_since(start) / static_cast<double>(iterations));
    }

    std::printf("best_s=%.9g mb_s=%.3f bytes=%zu elements=%zu iterations=%ld\n", best,
                static_cast<double>(data.size()) / 1e6 / best, data.size(), elements, iterations);
    return 0;
}
