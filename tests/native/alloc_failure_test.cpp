// Allocation failure at every allocation of a read and a write.
//
// This file replaces the global operator new and delete of the whole test
// executable. Disarmed, they pass through to malloc and free (so the address
// sanitizer still sees every block and the leak check still runs at exit);
// armed with n, the n-th allocation from then on fails, on whichever thread
// makes it. Each sweep runs an entry point once for every allocation it makes
// and checks that the call either gives its normal result or throws
// std::bad_alloc out of the entry point, that no block stays allocated after
// it and that no descriptor stays open.
#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "index/pipeline.hpp"
#include "index/structural.hpp"
#include "read/parser.hpp"
#include "write/serializer.hpp"
#include "parsed_tree_view.hpp"

namespace {

std::atomic<long> g_countdown{0};   // > 0: the allocation that takes it to 0 fails
std::atomic<bool> g_fired{false};   // the armed failure has happened
std::atomic<long> g_remaining{0};   // the countdown when it was disarmed
std::atomic<long> g_live{0};        // blocks handed out and not yet freed

void* allocate(size_t size, size_t alignment, bool nothrow) {
    if (g_countdown.load(std::memory_order_relaxed) > 0 && g_countdown.fetch_sub(1) == 1) {
        g_fired.store(true);
        if (nothrow) return nullptr;
        throw std::bad_alloc();
    }
    if (size == 0) size = 1;
    void* p = nullptr;
    if (alignment <= alignof(std::max_align_t)) {
        p = std::malloc(size);
    } else if (::posix_memalign(&p, alignment, size) != 0) {
        p = nullptr;
    }
    if (!p) {
        if (nothrow) return nullptr;
        throw std::bad_alloc();
    }
    g_live.fetch_add(1, std::memory_order_relaxed);
    return p;
}

void release(void* p) noexcept {
    if (!p) return;
    g_live.fetch_sub(1, std::memory_order_relaxed);
    std::free(p);
}

}  // namespace

void* operator new(size_t size) { return allocate(size, 0, false); }
void* operator new[](size_t size) { return allocate(size, 0, false); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0, true); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size, 0, true); }
void* operator new(size_t size, std::align_val_t a) { return allocate(size, static_cast<size_t>(a), false); }
void* operator new[](size_t size, std::align_val_t a) { return allocate(size, static_cast<size_t>(a), false); }
void* operator new(size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<size_t>(a), true);
}
void* operator new[](size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
    return allocate(size, static_cast<size_t>(a), true);
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { release(p); }

namespace arbolite {
namespace {

using read::StartTagsAhead;

size_t open_descriptors() {
    size_t count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir)) ++count;
        ::closedir(dir);
    }
    return count;
}

// Disarms the failure: the call's own work is over, what follows is the
// test's.
void disarm() { g_remaining.store(g_countdown.exchange(0)); }

// What one call under an armed failure came to.
struct Run {
    enum class Outcome { Expected, BadAlloc, Other } outcome = Outcome::Other;
    std::string other;     // the outcome as text when it is neither
    bool fired = false;    // the armed allocation was reached
    long leaked = 0;       // blocks still allocated after the call
    long descriptors = 0;  // descriptors still open after the call
};

// Runs `call` (which disarms the failure once the entry point returns, then
// gives its outcome as text) with allocation number `n` failing; 0 fails
// none.
template <class Call>
Run run_failing(long n, Call& call, const std::string& expected) {
    Run run;
    const size_t fds_before = open_descriptors();
    const long live_before = g_live.load();
    g_fired.store(false);
    g_countdown.store(n);
    try {
        std::string text = call();
        if (text == expected) {
            run.outcome = Run::Outcome::Expected;
        } else {
            run.other = "unexpected: " + text;  // one block, not counted as leaked below
        }
    } catch (const std::bad_alloc&) {
        disarm();
        run.outcome = Run::Outcome::BadAlloc;
    }
    run.fired = g_fired.load();
    run.leaked = g_live.load() - live_before - (run.other.empty() ? 0 : 1);
    run.descriptors = static_cast<long>(open_descriptors()) - static_cast<long>(fds_before);
    return run;
}

// Fails each allocation of `call` in turn, until a run reaches none. Every
// run must give `expected` or std::bad_alloc, and leave nothing behind.
template <class Call>
void sweep(Call call, const std::string& expected) {
    // A first run makes whatever the process makes once.
    ASSERT_EQ(run_failing(0, call, expected).outcome, Run::Outcome::Expected);
    // Counted by a countdown that never runs out.
    constexpr long never = std::numeric_limits<long>::max();
    ASSERT_EQ(run_failing(never, call, expected).outcome, Run::Outcome::Expected);
    const long count = never - g_remaining.load();
    long n = 1;
    for (; n < 100'000; ++n) {
        Run run = run_failing(n, call, expected);
        EXPECT_EQ(run.leaked, 0) << "allocation " << n << " of about " << count;
        EXPECT_EQ(run.descriptors, 0) << "allocation " << n << " of about " << count;
        EXPECT_NE(run.outcome, Run::Outcome::Other) << "allocation " << n << " of about " << count << ": "
                                                    << run.other;
        if (!run.fired) {
            EXPECT_EQ(run.outcome, Run::Outcome::Expected) << "std::bad_alloc with no failed allocation";
            break;
        }
        if (::testing::Test::HasFailure()) break;  // one faulty allocation is enough to look at
    }
    // A call with a worker thread may make a few more or fewer allocations
    // from one run to the next.
    EXPECT_GE(n, count / 2 + 1);
    ::testing::Test::RecordProperty("allocations", static_cast<int>(count));
}

// A parsed tree as text: each element's name, attributes (sorted), text and
// extent.
std::string describe(const ParsedTree& tree) {
    std::string out;
    for (const ParsedElement& e : tree.elements) {
        out += '<';
        out += e.name;
        std::vector<std::pair<std::string_view, std::string_view>> attrs;
        for (const auto& entry : e.attrs) attrs.emplace_back(entry.name, entry.value);
        std::sort(attrs.begin(), attrs.end());
        for (const auto& [name, value] : attrs) {
            out += ' ';
            out += name;
            out += "=\"";
            out += value;
            out += '"';
        }
        out += '>';
        out += e.text ? "text:" + std::string(*e.text) : std::string("notext");
        out += " end=" + std::to_string(e.end) + " children=" + std::to_string(e.child_count) + '\n';
    }
    return out;
}

std::string describe(const Result<ParsedTree, read::ReadError>& result) {
    if (result.ok()) return describe(result.value());
    const read::ReadError& e = result.error();
    return "error " + std::to_string(static_cast<int>(e.kind)) + "/" + std::to_string(static_cast<int>(e.malformation)) +
           " at " + std::to_string(e.offset) + ": " + e.name + " " + e.found;
}

auto parse_call(const std::string& doc, std::string root, StartTagsAhead ahead) {
    return [&doc, root = std::move(root), ahead]() {
        auto result = read::parse_document(doc, root, ahead);
        disarm();
        return describe(result);
    };
}

std::string expected_parse(const std::string& doc, const std::string& root, StartTagsAhead ahead) {
    return describe(read::parse_document(doc, root, ahead));
}

const std::string kSmall =
    "<?xml version=\"1.0\"?>\n<!-- before -->\n"
    "<doc><r a=\"1\" b='&lt;x&gt;' c=\"&#65;&#x42;\">head &amp; more"
    "<e k=\"v\" l=\"w&quot;\">t&apos;s</e><![CDATA[<raw>]]><?pi x?>"
    "<g><h i=\"j\"/>tail &#x4e2d;</g><g/></r></doc>";

// Double quotes outnumber '<' more than five to one.
const std::string kQuoted =
    "<r a1=\"v\" a2=\"v\" a3=\"&amp;\" a4=\"v\" a5=\"v\" a6=\"v\" a7=\"v\" a8=\"v\" a9=\"v\" a10=\"v\" "
    "a11=\"v\" a12=\"'&lt;'\"><c x=\"1\" y=\"2\" z=\"&#x3c;\">in &gt; side</c>text</r>";

// Just past the size that is indexed on a worker thread, in a few batches.
std::string worker_document(std::string_view fault) {
    std::string doc = "<r><s a=\"1\" b=\"&amp;\"/>";
    for (int i = 0; i < 3 * 2048; ++i) doc += (i % 512 == 0) ? "<e n='&lt;'/>" : "<e/>";
    doc += fault;
    doc += "<t k='v'>a &amp; b</t>";
    doc.append(index::IndexPipeline::kMinParallelBytes + 1000 - std::min(doc.size(), size_t{200'000}), 'x');
    doc += "<u/></r>";
    return doc;
}

TEST(AllocFailure, DocumentsPickTheirIndexing) {
    EXPECT_EQ(index::choose_builder(kQuoted), index::Builder::QuoteAware);
    EXPECT_EQ(index::choose_builder(kSmall), index::Builder::Sequential);
    EXPECT_GE(worker_document("").size(), index::IndexPipeline::kMinParallelBytes);
    EXPECT_LT(worker_document("").size(), index::IndexPipeline::kMinParallelBytes + 64 * 1024);
}

struct ReadCase {
    const char* what;
    std::string doc;
    const char* root;
    StartTagsAhead ahead = StartTagsAhead::WhenWalkIsBusy;
    bool valid = true;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.what; }

class AllocFailureRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(AllocFailureRead, EveryAllocationMayFail) {
    const ReadCase& c = GetParam();
    const std::string expected = expected_parse(c.doc, c.root, c.ahead);
    ASSERT_EQ(expected.rfind("error", 0) != 0, c.valid) << expected;
    sweep(parse_call(c.doc, c.root, c.ahead), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, AllocFailureRead,
    ::testing::Values(
        ReadCase{"small", kSmall, "r"}, ReadCase{"small, nested root", kSmall, "g"},
        ReadCase{"small, root not found", kSmall, "zz", StartTagsAhead::WhenWalkIsBusy, false},
        ReadCase{"small, malformed", "<r a='1'><b c='&amp;'></c></r>", "r", StartTagsAhead::WhenWalkIsBusy, false},
        ReadCase{"small, unknown entity", "<r><b c='&nope;'/></r>", "r", StartTagsAhead::WhenWalkIsBusy, false},
        ReadCase{"quote-aware builder", kQuoted, "r"},
        ReadCase{"worker thread", worker_document(""), "r"},
        ReadCase{"worker thread, start tags ahead", worker_document(""), "r", StartTagsAhead::Always},
        ReadCase{"worker thread, start tags on the walk", worker_document(""), "r", StartTagsAhead::Never},
        ReadCase{"worker thread, fault in a start tag", worker_document("<f a='1' a='2'/>"), "r",
                 StartTagsAhead::Always, false},
        ReadCase{"worker thread, unclosed tag", worker_document("<oops"), "r", StartTagsAhead::Always, false}));

// The writer, over a tree read once beforehand.
class AllocFailureWrite : public ::testing::Test {
protected:
    void SetUp() override {
        auto result = read::parse_document(kSmall, "r");
        ASSERT_TRUE(result.ok());
        tree_ = std::move(result).value();
        auto out = write::write_tree_to_memory(write::view_of(tree_), 2, true);
        ASSERT_TRUE(out.ok());
        expected_ = std::string(out->view());
    }

    ParsedTree tree_;
    std::string expected_;
};

TEST_F(AllocFailureWrite, IntoMemory) {
    for (size_t indent : {size_t{0}, size_t{2}, size_t{100}}) {
        auto reference = write::write_tree_to_memory(write::view_of(tree_), indent, indent != 0);
        ASSERT_TRUE(reference.ok());
        const std::string expected(reference->view());
        sweep(
            [&]() -> std::string {
                auto out = write::write_tree_to_memory(write::view_of(tree_), indent, indent != 0);
                disarm();
                return out.ok() ? std::string(out->view()) : "error";
            },
            expected);
    }
}

TEST_F(AllocFailureWrite, IntoAMeasuredBuffer) {
    std::string buffer(expected_.size(), '#');
    sweep(
        [&]() -> std::string {
            auto measured = write::measure_tree(write::view_of(tree_), 2, true);
            if (!measured.ok() || measured->size != buffer.size()) {
                disarm();
                return "measured wrong";
            }
            const bool written = write::write_tree_to_buffer(write::view_of(tree_), 2, true, buffer.data(),
                                                             buffer.size());
            disarm();
            return written ? buffer : "short";
        },
        expected_);
}

TEST_F(AllocFailureWrite, IntoAFile) {
    std::string dir = (std::filesystem::temp_directory_path() / "arbolite-alloc-XXXXXX").string();
    ASSERT_NE(::mkdtemp(dir.data()), nullptr);
    const std::string path = dir + "/out.xml";
    sweep(
        [&]() -> std::string {
            Status<write::WriteError> status = write::write_tree_to_file(write::view_of(tree_), path, 2, true);
            disarm();
            if (!status.ok()) return "error";
            std::ifstream in(path, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        },
        expected_);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

}  // namespace
}  // namespace arbolite
