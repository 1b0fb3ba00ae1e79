#include "index/pipeline.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "index/structural.hpp"
#include "index_test_support.hpp"

namespace arbolite::index {
namespace {

using testing_support::describe;
using testing_support::DocumentGenerator;

// What a consumer sees: each batch as by describe(), then the error if any.
struct Seen {
    std::vector<std::string> batches;
    std::string error;  // empty when none
    bool operator==(const Seen&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Seen& s) {
    for (const std::string& b : s.batches) os << '[' << b << "] ";
    return os << "error: " << s.error;
}

Seen drain_stream(std::string_view doc, Builder builder, size_t batch_tags) {
    Seen seen;
    IndexStream stream(doc, builder, batch_tags);
    StructuralIndex batch;
    while (!stream.done()) {
        const Status<IndexBuildError> status = stream.next(batch);
        if (!status.ok()) {
            seen.error = describe(doc, IndexResult(fail(status.error())));
            break;
        }
        seen.batches.push_back(describe(doc, IndexResult(batch)));
    }
    return seen;
}

Seen drain_pipeline(std::string_view doc, IndexPipeline& pipeline) {
    Seen seen;
    while (!pipeline.done()) {
        const auto batch = pipeline.next();
        if (!batch.ok()) {
            seen.error = describe(doc, IndexResult(fail(batch.error())));
            EXPECT_TRUE(pipeline.done());
            break;
        }
        seen.batches.push_back(describe(doc, IndexResult(*batch.value())));
        if (seen.batches.size() > doc.size() + 2) {
            ADD_FAILURE() << "the pipeline does not end";
            break;
        }
    }
    // Once done, a pipeline yields empty batches.
    for (int i = 0; i < 2; ++i) {
        const auto after = pipeline.next();
        EXPECT_TRUE(after.ok() && after.value()->tag_count() == 0 && after.value()->text_starts.empty());
    }
    return seen;
}

// The pipeline gives the stream's batches and error, in both modes.
void check_pipeline(std::string_view doc, Builder builder, size_t batch_tags) {
    const Seen want = drain_stream(doc, builder, batch_tags);
    for (const bool parallel : {false, true}) {
        SCOPED_TRACE(testing::Message() << (parallel ? "parallel" : "inline") << ", "
                                        << (builder == Builder::Sequential ? "sequential" : "quote-aware")
                                        << ", batches of " << batch_tags);
        IndexPipeline pipeline(doc, builder, batch_tags, parallel);
        EXPECT_EQ(pipeline.parallel(), parallel);
        ASSERT_EQ(drain_pipeline(doc, pipeline), want);
    }
}

std::string times(std::string_view piece, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += piece;
    return out;
}

TEST(IndexPipeline, SmallAndOddDocuments) {
    const std::string docs[] = {
        "", "a", "<", "<a/>", "<a>x</a>", "text<", "<!x", "<![CDATA[x]]>",
        // Exactly one batch of 4 tags, and one more tag.
        times("<a/>", 4), times("<a/>", 5),
        // Errors in the first batch, in a later one, and after the last tag.
        "<a", times("<a>t", 9) + "<b", times("<a/>", 8) + "<", times("<a>t", 6) + "<!-- open",
        times("t<a/>", 7) + "x<!d>y<!e>z<!f",
    };
    for (const std::string& doc : docs) {
        SCOPED_TRACE(testing::Message() << "document: \"" << doc << '"');
        for (const Builder builder : {Builder::Sequential, Builder::QuoteAware})
            for (const size_t tags : {1, 2, 4, 512}) check_pipeline(doc, builder, tags);
    }
}

TEST(IndexPipeline, ErrorsComeAfterTheBatchesBeforeThem) {
    struct Case {
        std::string doc;
        size_t batches_before;  // full batches of 4 tags before the error
        std::string error;
    };
    const Case table[] = {
        {"<a", 0, "unclosed@0"},
        {times("<a/>", 3) + "<b", 0, "unclosed@12"},
        {times("<a/>", 12) + "<b", 3, "unclosed@48"},
        {times("<a/>", 13) + "</b", 3, "unclosed@52"},
        {times("<a/>", 8) + "<!--", 2, "end@36"},
    };
    for (const Case& c : table) {
        for (const bool parallel : {false, true}) {
            SCOPED_TRACE(testing::Message() << c.doc << (parallel ? ", parallel" : ", inline"));
            IndexPipeline pipeline(c.doc, Builder::Sequential, 4, parallel);
            const Seen seen = drain_pipeline(c.doc, pipeline);
            EXPECT_EQ(seen.batches.size(), c.batches_before);
            EXPECT_EQ(seen.error, c.error);
        }
    }
}

TEST(IndexPipeline, GeneratedDocuments) {
    DocumentGenerator gen(4242);
    for (int i = 0; i < 300 && !HasFatalFailure(); ++i) {
        const std::string doc = gen.document(1 + i % 60);
        SCOPED_TRACE(testing::Message() << "document: \"" << doc << '"');
        check_pipeline(doc, i % 2 ? Builder::Sequential : Builder::QuoteAware, 1 + static_cast<size_t>(i) % 5);
    }
    DocumentGenerator rows(77);
    for (int i = 0; i < 100 && !HasFatalFailure(); ++i) {
        const std::string doc = rows.attribute_rows(1 + i % 30);
        check_pipeline(doc, Builder::QuoteAware, 1 + static_cast<size_t>(i) % 3);
    }
}

// A document many times longer than the ring, so that the worker waits for
// the consumer and the consumer for the worker.
TEST(IndexPipeline, LongDocumentInBatchesOfAllSizes) {
    DocumentGenerator gen(99);
    std::string doc;
    while (doc.size() < 200000) doc += gen.document(40);
    for (const size_t tags : {1, 7, 64, 2048})
        for (const Builder builder : {Builder::Sequential, Builder::QuoteAware}) check_pipeline(doc, builder, tags);
}

// A document of at most 4096 bytes is indexed in a batch no larger than its
// '<' count: its index, or its error, is still exactly the whole-document
// one, whatever shares the '<' count with the tags (markup inside values,
// comments and declarations, CDATA content, declarations without '>').
TEST(IndexPipeline, SmallDocumentsGetABatchOfTheirSize) {
    DocumentGenerator gen(31);
    std::vector<std::string> docs = {
        "", "x", "<", "<r/>", "<r>x</r>", "  <r>x</r>  ", "<r a='<<<'/>", "<r><!-- <a><b> --></r>",
        "<r><![CDATA[a]]><![CDATA[b]]>t<![CDATA[c]]></r>", "<r>t<!x u<!y v<!z w</r>", "<r>a<!d>b<!e>c</r>",
        std::string(40, '"') + "<r a=\"1\" b=\"<\"/>", "<r><a", "<r>t</r><",
        times("<a/>", 1024),                      // 4096 bytes: a whole full batch and more
        times("<a/>", 1024) + " ",                // 4097: past the sample, the full batch size
        "<r>" + times("<![CDATA[x]]>", 300) + "</r>",
    };
    for (int i = 0; i < 300; ++i) docs.push_back(gen.document(1 + i % 30));
    for (int i = 0; i < 40; ++i) docs.push_back(gen.attribute_rows(1 + i % 8));
    for (const std::string& doc : docs) {
        SCOPED_TRACE(testing::Message() << "document: \"" << doc << '"');
        const size_t lt = static_cast<size_t>(std::count(doc.begin(), doc.end(), '<'));
        const BuilderChoice choice = choose_builder_and_bound(doc);
        EXPECT_EQ(choice.builder, choose_builder(doc));
        EXPECT_EQ(choice.max_tags, doc.size() <= 4096 ? lt : SIZE_MAX);

        IndexPipeline pipeline(doc);
        ASSERT_FALSE(pipeline.parallel());
        StructuralIndex all;
        IndexResult got = StructuralIndex{};
        bool first = true;
        while (!pipeline.done()) {
            const auto batch = pipeline.next();
            if (!batch.ok()) {
                got = fail(batch.error());
                break;
            }
            if (first && doc.size() <= 4096) {
                EXPECT_LE(batch.value()->tag_starts.capacity(), std::max<size_t>(lt, 1));
            }
            first = false;
            all.append(*batch.value());
        }
        if (got.ok()) got = std::move(all);
        ASSERT_EQ(describe(doc, got), describe(doc, build_index(doc)));
    }
}

TEST(IndexPipeline, DefaultChoosesBuilderAndMode) {
    const std::string small = times("<item>word</item>\n", 100) + "<";
    const std::string large = times("<row a=\"1\" b=\"2\" c=\"3\"/>\n", IndexPipeline::kMinParallelBytes / 20);
    for (const std::string* doc : {&small, &large}) {
        IndexPipeline pipeline(*doc);
        EXPECT_EQ(pipeline.parallel(), doc->size() >= IndexPipeline::kMinParallelBytes);
        // The batches, appended, are the whole index of the chosen builder.
        StructuralIndex all;
        IndexResult got = StructuralIndex{};
        while (!pipeline.done()) {
            const auto batch = pipeline.next();
            if (!batch.ok()) {
                got = fail(batch.error());
                break;
            }
            const StructuralIndex& b = *batch.value();
            all.append(b);
        }
        if (got.ok()) got = std::move(all);
        EXPECT_EQ(describe(*doc, got), describe(*doc, build_index(*doc)));
    }
}

// A consumer that stops early: the worker is stopped and joined, whether it
// is indexing, waiting for room or finished.
TEST(IndexPipeline, ConsumerStopsEarly) {
    const std::string doc = times("<a>t</a>", 20000);
    for (const size_t taken : {0, 1, 2, 3, 5, 50}) {
        for (const size_t tags : {1, 16, 4096}) {
            IndexPipeline pipeline(doc, Builder::Sequential, tags, true);
            for (size_t i = 0; i < taken && !pipeline.done(); ++i) {
                const auto batch = pipeline.next();
                ASSERT_TRUE(batch.ok());
                ASSERT_GT(batch.value()->tag_count(), 0u);
                EXPECT_EQ(batch.value()->tag_starts[0], i * tags * 4) << "batch " << i << " of " << tags;
            }
        }
    }
}

TEST(IndexPipeline, ManyPipelinesInALoop) {
    const std::string doc = times("<a x='1'>t</a>", 300);
    const Seen want = drain_stream(doc, Builder::QuoteAware, 32);
    for (int i = 0; i < 500; ++i) {
        IndexPipeline pipeline(doc, Builder::QuoteAware, 32, true);
        if (i % 3 == 0) {
            ASSERT_EQ(drain_pipeline(doc, pipeline), want) << "round " << i;
        } else if (i % 3 == 1) {
            ASSERT_TRUE(pipeline.next().ok());
        }
    }
}

}  // namespace
}  // namespace arbolite::index
