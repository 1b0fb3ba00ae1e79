// Throughput of the byte searches and the structural index on two generated
// documents of about 10 MB: a mixed catalogue (elements with a few
// attributes, text with entity references, CDATA sections, comments) and
// rows of quoted attributes. Prints MB/s (10^6 bytes per second), best of
// several runs; the index built a batch at a time (IndexStream) also in GB/s,
// for several batch sizes.
//
// The pipeline figures compare a consumer that spends a fixed time on each
// tag (as the parser does) fed by the stream on its own thread with the same
// consumer fed by a worker thread, and give the cost of handing over a batch.
//
//   index_bench [repetitions]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "index/pipeline.hpp"
#include "index/structural.hpp"
#include "simd/kernels.hpp"
#include "simd/search.hpp"

namespace {

using arbolite::index::build_index;
using arbolite::index::build_index_quote_aware;
using arbolite::index::build_index_sequential;
using arbolite::index::Builder;
using arbolite::index::choose_builder;
using arbolite::index::IndexPipeline;
using arbolite::index::IndexStream;
using arbolite::index::StructuralIndex;
namespace simd = arbolite::simd;

constexpr size_t kTargetSize = 10'000'000;

class Words {
public:
    explicit Words(uint32_t seed) : rng_(seed) {}
    size_t pick(size_t n) { return rng_() % n; }
    std::string word() {
        static const char* const words[] = {
            "lorem", "ipsum", "dolor", "sit",    "amet",   "consectetur", "adipiscing", "elit",  "sed",
            "do",    "tempor", "magna", "aliqua", "enim",  "minim",       "veniam",     "quis",  "nostrud",
            "ut",    "labore", "et",    "dolore", "caf\xC3\xA9", "na\xC3\xAFve", "\xE2\x82\xAC", "data",
        };
        return words[pick(sizeof words / sizeof *words)];
    }
    std::string sentence(size_t min, size_t max) {
        std::string out;
        for (size_t i = 0, n = min + pick(max - min + 1); i < n; ++i) {
            if (i) out += ' ';
            out += word();
            if (pick(25) == 0) out += " &amp;";
            if (pick(60) == 0) out += " &#233;";
        }
        return out;
    }

private:
    std::mt19937 rng_;
};

std::string mixed_catalogue() {
    Words w(2024);
    std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE catalogue>\n<catalogue>\n";
    for (size_t id = 1; doc.size() < kTargetSize; ++id) {
        doc += "  <book id=\"bk" + std::to_string(id) + "\" lang=\"" + (w.pick(3) ? "en" : "es") +
               "\" available=\"" + (w.pick(2) ? "yes" : "no") + "\">\n";
        doc += "    <title>" + w.sentence(2, 6) + "</title>\n";
        for (size_t a = 0, n = 1 + w.pick(3); a < n; ++a)
            doc += "    <author role=\"" + std::string(a ? "co" : "main") + "\">" + w.sentence(2, 3) + "</author>\n";
        doc += "    <price currency=\"EUR\">" + std::to_string(w.pick(100)) + "." + std::to_string(10 + w.pick(90)) +
               "</price>\n";
        doc += "    <published>20" + std::to_string(10 + w.pick(15)) + "-0" + std::to_string(1 + w.pick(9)) +
               "-1" + std::to_string(w.pick(10)) + "</published>\n";
        if (w.pick(4) == 0) doc += "    <!-- " + w.sentence(3, 10) + " -->\n";
        if (w.pick(3) == 0)
            doc += "    <description><![CDATA[" + w.sentence(10, 60) + " <b>bold</b> & more]]></description>\n";
        else
            doc += "    <description>" + w.sentence(10, 80) + "</description>\n";
        if (w.pick(50) == 0) doc += "    <!-- ~ -->\n";
        doc += "    <tags>";
        for (size_t t = 0, n = w.pick(4); t < n; ++t) doc += "<tag>" + w.word() + "</tag>";
        doc += "</tags>\n    <stock/>\n  </book>\n";
    }
    doc += "</catalogue>\n";
    return doc;
}

std::string attribute_rows() {
    Words w(99);
    std::string doc = "<?xml version=\"1.0\"?>\n<table>\n";
    for (size_t id = 1; doc.size() < kTargetSize; ++id) {
        doc += "  <row id=\"" + std::to_string(id) + "\"";
        for (size_t a = 0, n = 4 + w.pick(6); a < n; ++a) {
            doc += ' ';
            doc += static_cast<char>('a' + a);
            doc += "=\"" + (w.pick(3) ? std::to_string(w.pick(100000)) : w.word()) + "\"";
        }
        if (w.pick(200) == 0) doc += " note=\"~\"";
        doc += "/>\n";
    }
    doc += "</table>\n";
    return doc;
}

volatile size_t sink;

// Best time of `reps` runs, in MB/s over `bytes`.
double measure(size_t bytes, int reps, const std::function<size_t()>& run) {
    double best = 1e100;
    for (int i = 0; i < reps; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        sink = run();
        const auto t1 = std::chrono::steady_clock::now();
        const double s = std::chrono::duration<double>(t1 - t0).count();
        if (s < best) best = s;
    }
    return static_cast<double>(bytes) / best / 1e6;
}

void report(const char* what, double mbps) { std::printf("  %-44s %9.0f MB/s\n", what, mbps); }

size_t count_with_memchr(std::string_view doc) {
    size_t count = 0;
    const char* p = doc.data();
    const char* end = p + doc.size();
    while (const void* hit = std::memchr(p, '<', static_cast<size_t>(end - p))) {
        ++count;
        p = static_cast<const char*>(hit) + 1;
    }
    return count;
}

size_t count_with(const simd::KernelTable& k, std::string_view doc) {
    size_t count = 0;
    const char* p = doc.data();
    const char* end = p + doc.size();
    for (;;) {
        p = k.find_byte(p, end, '<');
        if (p == end) return count;
        ++count;
        ++p;
    }
}

size_t count_sparse(const simd::KernelTable& k, std::string_view doc, char c) {
    size_t count = 0;
    const char* p = doc.data();
    const char* end = p + doc.size();
    for (;;) {
        p = k.find_byte(p, end, c);
        if (p == end) return count;
        ++count;
        ++p;
    }
}

// The parser's use: is there a '<' (or '&') in each text range? Ranges of the
// index, mostly short.
size_t scan_text_ranges(const simd::KernelTable& k, std::string_view doc,
                        const arbolite::index::StructuralIndex& ix) {
    size_t hits = 0;
    for (size_t i = 0; i < ix.text_starts.size(); ++i) {
        const char* b = doc.data() + ix.text_starts[i];
        const char* e = doc.data() + ix.text_ends[i];
        hits += k.find_byte(b, e, '<') != e;
        hits += k.find_any4(b, e, '&', '&', '&', '&') != e;
    }
    return hits;
}

size_t tags_of(const arbolite::index::IndexResult& r) {
    if (!r.ok()) {
        std::fprintf(stderr, "index failed at byte %llu\n", static_cast<unsigned long long>(r.error().offset));
        std::exit(1);
    }
    return r.value().tag_count();
}

// Drains a stream into one StructuralIndex that every run reuses, as the
// parser does; returns the number of tags.
size_t stream_tags(std::string_view d, Builder builder, size_t batch_tags, StructuralIndex& batch) {
    IndexStream stream(d, builder, batch_tags);
    size_t tags = 0;
    while (!stream.done()) {
        if (!stream.next(batch).ok()) {
            std::fprintf(stderr, "index stream failed\n");
            std::exit(1);
        }
        tags += batch.tag_count();
    }
    return tags;
}

void report_streams(std::string_view d, int reps) {
    StructuralIndex batch;
    for (const Builder builder : {Builder::Sequential, Builder::QuoteAware}) {
        const char* name = builder == Builder::Sequential ? "sequential" : "quote-aware";
        for (const size_t tags : {size_t{64}, size_t{256}, size_t{512}, size_t{1024}, size_t{4096}, size_t{16384}}) {
            const double mbps = measure(d.size(), reps, [&] { return stream_tags(d, builder, tags, batch); });
            const bool chosen = tags == IndexStream::kBatchTags && builder == choose_builder(d);
            std::printf("  IndexStream, %-11s batches of %5zu tags %s %6.2f GB/s\n", name, tags,
                        chosen ? "(default)" : "         ", mbps / 1000);
        }
    }
}

// A stand-in for the parser: reads each entry of a batch and spins for
// about `ns_per_tag` nanoseconds per tag.
class SimulatedConsumer {
public:
    explicit SimulatedConsumer(double ns_per_tag) {
        // Calibrates the spin loop once.
        const size_t probe = 20'000'000;
        const auto t0 = std::chrono::steady_clock::now();
        spin(probe);
        const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
        rounds_ = static_cast<size_t>(static_cast<double>(probe) / ns * ns_per_tag);
    }

    size_t consume(const StructuralIndex& b) {
        size_t sum = 0;
        for (size_t i = 0; i < b.tag_count(); ++i) {
            sum += b.tag_starts[i] ^ b.tag_ends[i] ^ static_cast<size_t>(b.tag_kinds[i]) ^ b.name_offsets[i] ^
                   b.name_lengths[i];
            spin(rounds_);
        }
        for (size_t i = 0; i < b.text_starts.size(); ++i) sum += b.text_ends[i] - b.text_starts[i];
        return sum;
    }

private:
    static void spin(size_t rounds) {
        for (size_t i = 0; i < rounds; ++i) asm volatile("" ::: "memory");
    }
    size_t rounds_ = 0;
};

size_t consume_stream(std::string_view d, size_t batch_tags, SimulatedConsumer* c) {
    IndexStream stream(d, choose_builder(d), batch_tags);
    StructuralIndex batch;
    size_t sum = 0;
    while (!stream.done()) {
        if (!stream.next(batch).ok()) std::exit(1);
        sum += c ? c->consume(batch) : batch.tag_count();
    }
    return sum;
}

size_t consume_pipeline(std::string_view d, size_t batch_tags, bool parallel, SimulatedConsumer* c) {
    IndexPipeline pipeline(d, choose_builder(d), batch_tags, parallel);
    size_t sum = 0, batches = 0;
    while (!pipeline.done()) {
        const auto batch = pipeline.next();
        if (!batch.ok()) std::exit(1);
        sum += c ? c->consume(*batch.value()) : batch.value()->tag_count();
        ++batches;
    }
    return sum + batches;
}

double seconds_of(int reps, const std::function<size_t()>& run) {
    double best = 1e100;
    for (int i = 0; i < reps; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        sink = run();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        if (s < best) best = s;
    }
    return best;
}

void report_pipeline(std::string_view d, size_t tags, int reps) {
    const int few = reps < 3 ? reps : 3;
    for (const double ns : {0.0, 30.0, 100.0}) {
        SimulatedConsumer consumer(ns);
        SimulatedConsumer* c = ns > 0 ? &consumer : nullptr;
        const double inline_s = seconds_of(few, [&] { return consume_stream(d, IndexStream::kBatchTags, c); });
        std::printf("  consumer at %3.0f ns/tag: inline stream %8.2f ms;", ns, inline_s * 1e3);
        for (const size_t batch : {size_t{512}, size_t{2048}, size_t{8192}}) {
            const double piped = seconds_of(few, [&] { return consume_pipeline(d, batch, true, c); });
            std::printf("  pipeline/%zu %.3f", batch, piped / inline_s);
        }
        std::printf(" (wall-time ratio)\n");
    }
    // Handing over a batch: one-tag batches with an idle consumer, worker
    // against inline; the difference per batch is the handover.
    const double one_inline = seconds_of(few, [&] { return consume_pipeline(d, 1, false, nullptr); });
    const double one_parallel = seconds_of(few, [&] { return consume_pipeline(d, 1, true, nullptr); });
    std::printf("  batches of 1 tag, idle consumer: inline %.1f ns/batch, worker %.1f ns/batch\n",
                one_inline * 1e9 / static_cast<double>(tags), one_parallel * 1e9 / static_cast<double>(tags));
}

void bench_document(const char* title, const std::string& doc, int reps) {
    const std::string_view d = doc;
    const auto index = build_index(d);
    std::printf("%s: %zu bytes, %zu tags, %zu text ranges, builder chosen: %s\n", title, doc.size(), tags_of(index),
                index.value().text_starts.size(),
                choose_builder(d) == Builder::QuoteAware ? "quote-aware" : "sequential");
    report("memchr loop over '<'", measure(doc.size(), reps, [&] { return count_with_memchr(d); }));
    report("find_byte loop over '<' (active kernels)",
           measure(doc.size(), reps, [&] { return count_with(simd::active_kernels(), d); }));
    for (const simd::KernelTable* k : simd::kernels_for_testing()) {
        const std::string what = std::string("  find_byte loop, ") + k->name;
        report(what.c_str(), measure(doc.size(), reps, [&] { return count_with(*k, d); }));
    }
    for (const simd::KernelTable* k : simd::kernels_for_testing()) {
        const std::string what = std::string("  find_byte loop over '~' (rare), ") + k->name;
        report(what.c_str(), measure(doc.size(), reps, [&] { return count_sparse(*k, d, '~'); }));
    }
    for (const simd::KernelTable* k : simd::kernels_for_testing()) {
        const std::string what = std::string("  count_byte '\"', ") + k->name;
        report(what.c_str(),
               measure(doc.size(), reps, [&] { return k->count_byte(doc.data(), doc.data() + doc.size(), '"'); }));
    }
    size_t text_bytes = 0;
    for (size_t i = 0; i < index.value().text_starts.size(); ++i)
        text_bytes += index.value().text_ends[i] - index.value().text_starts[i];
    for (const simd::KernelTable* k : simd::kernels_for_testing()) {
        const std::string what = std::string("  '<' and '&' in each text range, ") + k->name;
        report(what.c_str(), measure(text_bytes, reps, [&] { return scan_text_ranges(*k, d, index.value()); }));
    }
    report("build_index (chosen builder)", measure(doc.size(), reps, [&] { return tags_of(build_index(d)); }));
    report("build_index_sequential", measure(doc.size(), reps, [&] { return tags_of(build_index_sequential(d)); }));
    report("build_index_quote_aware", measure(doc.size(), reps, [&] { return tags_of(build_index_quote_aware(d)); }));
    report_streams(d, reps);
    report_pipeline(d, tags_of(index), reps);
    std::vector<simd::BlockMasks> masks(doc.size() / simd::kBlockSize);
    for (const simd::KernelTable* k : simd::kernels_for_testing()) {
        const std::string what = std::string("classify_blocks, ") + k->name;
        report(what.c_str(), measure(doc.size(), reps, [&] {
                   k->classify_blocks(doc.data(), masks.size(), masks.data());
                   return static_cast<size_t>(masks.back().lt);
               }));
    }
    for (const simd::KernelTable* k : simd::kernels_for_testing()) {
        const std::string what = std::string("is_valid_utf8, ") + k->name;
        report(what.c_str(),
               measure(doc.size(), reps, [&] { return size_t{k->is_valid_utf8(doc.data(), doc.size())}; }));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const int reps = argc > 1 ? std::atoi(argv[1]) : 15;
    std::printf("kernels in use: %s\n", simd::active_kernels().name);
    bench_document("mixed catalogue", mixed_catalogue(), reps);
    bench_document("attribute rows", attribute_rows(), reps);
    return 0;
}
