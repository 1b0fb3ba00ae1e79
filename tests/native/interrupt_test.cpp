// The interrupt hook: polls of long reads and writes, and system calls
// interrupted by a signal.

#include "common/interrupt.hpp"
#include "common/posix_file.hpp"
#include "read/parser.hpp"
#include "simd/utf8_decode.hpp"
#include "write/serializer.hpp"

#include <gtest/gtest.h>

#include "parsed_tree_view.hpp"
#include "temp_dir.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace arbolite {
namespace {

using read::ReadError;
using write::WriteError;

// Counts what the work asks and answers as told: stop at poll number
// `stop_at_poll` (1-based; 0 never), stop after a signal when
// `stop_on_signal`. `on_signal` runs at each signal wake before answering.
struct Recorder {
    explicit Recorder(size_t stop_at = 0, bool stop_at_signal = false)
        : stop_at_poll(stop_at), stop_on_signal(stop_at_signal) {}

    size_t stop_at_poll;
    bool stop_on_signal;
    std::function<void()> on_signal;
    std::atomic<size_t> polls{0};
    std::atomic<size_t> signals{0};

    static bool check(void* context, InterruptHook::Wake wake) {
        Recorder& self = *static_cast<Recorder*>(context);
        if (wake == InterruptHook::Wake::Poll) return ++self.polls == self.stop_at_poll;
        ++self.signals;
        if (self.on_signal) self.on_signal();
        return self.stop_on_signal;
    }
    InterruptHook hook() { return InterruptHook(&check, this); }
};

class Interrupts : public TempDir {};

// A document of `children` empty elements, each with an attribute.
std::string flat_document(size_t children) {
    std::string doc = "<r>";
    for (size_t i = 0; i < children; ++i) doc += "<c a=\"1\"/>";
    return doc + "</r>";
}

// ---------------------------------------------------------------------------
// Polls

TEST(InterruptPolls, ReadPollsAboutEveryIntervalAndStopsWhenTold) {
    const std::string doc = flat_document(1 << 20);  // 10 MiB
    const size_t intervals = doc.size() / InterruptHook::kPollInterval;
    auto plain = read::parse_document(doc, "r");
    ASSERT_TRUE(plain.ok());

    Recorder going;
    auto polled = read::parse_document(doc, "r", read::StartTagsAhead::WhenWalkIsBusy, going.hook());
    ASSERT_TRUE(polled.ok());
    EXPECT_EQ(polled->elements.size(), plain->elements.size());
    EXPECT_GE(going.polls, intervals - 1);
    EXPECT_LE(going.polls, intervals);

    for (size_t stop_at : {size_t{1}, intervals - 1}) {
        Recorder stopping{stop_at};
        auto stopped = read::parse_document(doc, "r", read::StartTagsAhead::WhenWalkIsBusy, stopping.hook());
        ASSERT_FALSE(stopped.ok()) << stop_at;
        EXPECT_EQ(stopped.error().kind, ReadError::Kind::Interrupted);
        EXPECT_EQ(stopping.polls, stop_at);
    }
}

// The same walk into each sink: a hook that never stops changes nothing, one
// that stops ends the walk with the interrupted error.
TEST_F(Interrupts, WritePollsInEverySink) {
    const std::string doc = flat_document(20000);
    auto parsed = read::parse_document(doc, "r");
    ASSERT_TRUE(parsed.ok());
    const auto tree = write::view_of(parsed.value());
    const size_t indent = 500;  // about 10 MiB of output
    auto memory = write::write_tree_to_memory(tree, indent, true);
    ASSERT_TRUE(memory.ok());
    const std::string expected(memory->view());
    const size_t intervals = expected.size() / InterruptHook::kPollInterval;
    const std::string file = path("out.xml");

    // Each runs the walk with the hook and returns whether it completed; a
    // completed walk must have given the expected output.
    struct Sink {
        const char* name;
        std::function<bool(const InterruptHook&)> run;
    };
    const Sink sinks[] = {
        {"memory",
         [&](const InterruptHook& hook) {
             auto out = write::write_tree_to_memory(tree, indent, true, hook);
             if (!out.ok()) {
                 EXPECT_TRUE(out.error().is_interrupted());
                 return false;
             }
             EXPECT_EQ(out->view(), expected);
             return true;
         }},
        {"measure",
         [&](const InterruptHook& hook) {
             auto out = write::measure_tree(tree, indent, true, hook);
             if (!out.ok()) {
                 EXPECT_TRUE(out.error().is_interrupted());
                 return false;
             }
             EXPECT_EQ(out->size, expected.size());
             return true;
         }},
        {"buffer",
         [&](const InterruptHook& hook) {
             std::string out(expected.size(), '\0');
             if (!write::write_tree_to_buffer(tree, indent, true, out.data(), out.size(), hook)) return false;
             EXPECT_EQ(out, expected);
             return true;
         }},
        {"file",
         [&](const InterruptHook& hook) {
             std::remove(file.c_str());
             auto out = write::write_tree_to_file(tree, file, indent, true, hook);
             std::string written(expected.size() + 1, '\0');
             FILE* f = std::fopen(file.c_str(), "rb");
             written.resize(f ? std::fread(written.data(), 1, written.size(), f) : 0);
             if (f) std::fclose(f);
             if (!out.ok()) {
                 EXPECT_TRUE(out.error().is_interrupted());
                 // Stopped while measuring, before the file was made; or
                 // stopped while writing: what reached the file stays, a
                 // prefix without the buffered rest.
                 if (!f) return false;
                 EXPECT_EQ(written, expected.substr(0, written.size()));
                 EXPECT_LT(written.size(), expected.size());
                 return false;
             }
             EXPECT_EQ(written, expected);
             return true;
         }},
    };
    for (const Sink& sink : sinks) {
        Recorder going;
        EXPECT_TRUE(sink.run(going.hook())) << sink.name;
        EXPECT_GE(going.polls, intervals - 1) << sink.name;
        // The file is measured before it is written: two walks poll.
        const size_t walks = std::string_view(sink.name) == "file" ? 2 : 1;
        EXPECT_LE(going.polls, walks * (intervals + 1)) << sink.name;
        for (size_t stop_at : {size_t{1}, intervals - 1}) {
            Recorder stopping{stop_at};
            EXPECT_FALSE(sink.run(stopping.hook())) << sink.name << " " << stop_at;
            EXPECT_EQ(stopping.polls, stop_at) << sink.name;
        }
    }
}

// `count` copies of `piece`.
std::string repeated(std::string_view piece, size_t count) {
    std::string out;
    out.reserve(piece.size() * count);
    for (size_t i = 0; i < count; ++i) out += piece;
    return out;
}

// A tree's records with each map's attributes sorted, and an error's code
// and data: what two reads of one document must agree on (the maps of two
// reads may list their attributes in different orders).
std::string outcome(const Result<ParsedTree, ReadError>& read) {
    if (!read.ok()) {
        const ReadError& e = read.error();
        return "error " + std::to_string(static_cast<int>(e.kind)) + "/" +
               std::to_string(static_cast<int>(e.malformation)) + " '" + e.name + "' @" + std::to_string(e.offset);
    }
    std::string out;
    for (const auto& e : read.value().elements) {
        std::vector<std::pair<std::string_view, std::string_view>> attrs;
        for (const auto& a : e.attrs) attrs.emplace_back(a.name, a.value);
        std::sort(attrs.begin(), attrs.end());
        out += std::string(e.name) + " " + std::to_string(e.end) + " " + std::string(e.text.value_or("-")) + " (";
        for (const auto& [name, value] : attrs) out += std::string(name) + "=" + std::string(value) + " ";
        out += ")\n";
    }
    return out;
}

// One tag or one text of many megabytes is polled inside, and the read gives
// exactly what it gives unpolled: the same tree, or the same error (a long
// text's references are decoded in pieces).
TEST(InterruptPolls, ReadPollsInsideOneLongTagOrText) {
    std::string attributes = "<r";
    for (size_t i = 0; i < (1 << 19); ++i) attributes += " a" + std::to_string(i) + "='&lt;'";
    const std::string references = "<r>" + repeated("a&amp;b&#x4e2d;", 1 << 19);
    const struct {
        const char* name;
        std::string doc;
    } cases[] = {
        {"attributes", attributes + "/>"},
        {"references", references + "</r>"},
        {"attribute value", "<r a='" + repeated("x\r\n&#9;&quot;", 1 << 19) + "'/>"},
        {"bad reference at the end", references + "&#0;</r>"},
        {"unterminated reference", references + "&amp</r>"},
    };
    for (const auto& c : cases) {
        const size_t intervals = c.doc.size() / InterruptHook::kPollInterval;
        for (auto ahead : {read::StartTagsAhead::Never, read::StartTagsAhead::Always}) {
            const std::string plain = outcome(read::parse_document(c.doc, "r", ahead));
            Recorder going;
            EXPECT_EQ(outcome(read::parse_document(c.doc, "r", ahead, going.hook())), plain) << c.name;
            EXPECT_GE(going.polls, intervals - 1) << c.name;
            Recorder stopping{1};
            auto stopped = read::parse_document(c.doc, "r", ahead, stopping.hook());
            ASSERT_FALSE(stopped.ok()) << c.name;
            EXPECT_EQ(stopped.error().kind, ReadError::Kind::Interrupted) << c.name;
        }
    }
}

// One long text, attribute list or run of blanks is written in pieces,
// polled between them; the pieces of a text end where a
// character does, so that the sink that decodes as it goes (into a str's
// code units) gives the same characters.
TEST(InterruptPolls, WritePollsInsideOneLongPiece) {
    std::string attributes = "<r";
    for (size_t i = 0; i < (1 << 19); ++i) attributes += " a" + std::to_string(i) + "='v'";
    // The walk judges its output by the bytes it is handed, before escaping:
    // 6 MiB of it each but the attributes.
    const struct {
        const char* name;
        std::string doc;
        size_t indent;
        size_t polls;
    } cases[] = {
        {"text", "<r>" + repeated("x&amp;<![CDATA[<]]>", 2 << 20) + "</r>", 0, 2},
        {"non-ASCII text", "<r>" + repeated("\u4e2d", 2 << 20) + "</r>", 0, 2},  // pieces would end inside one
        {"attributes", attributes + "/>", 0, 1},  // counted without their quotes: 4 MiB
        {"blanks", "<r><a/></r>", 6 << 20, 2},
    };
    for (const auto& c : cases) {
        auto parsed = read::parse_document(c.doc, "r");
        ASSERT_TRUE(parsed.ok()) << c.name;
        const auto tree = write::view_of(parsed.value());
        auto plain = write::write_tree_to_memory(tree, c.indent, false);
        ASSERT_TRUE(plain.ok()) << c.name;

        Recorder going;
        auto polled = write::write_tree_to_memory(tree, c.indent, false, going.hook());
        ASSERT_TRUE(polled.ok()) << c.name;
        EXPECT_EQ(polled->view(), plain->view()) << c.name;
        EXPECT_GE(going.polls, c.polls) << c.name;

        write::PlainTexts notes;
        auto measure = write::measure_tree(tree, c.indent, false, going.hook(), &notes);
        ASSERT_TRUE(measure.ok()) << c.name;
        std::vector<uint32_t> units(measure->code_points), expected(measure->code_points);
        ASSERT_TRUE(write::write_tree_to_units(tree, c.indent, false, units.data(), units.size(), going.hook(), &notes))
            << c.name;
        simd::decode_utf8(plain->data(), plain->size(), expected.data(), expected.size());
        EXPECT_EQ(units, expected) << c.name;

        Recorder stopping{1};
        auto stopped = write::write_tree_to_memory(tree, c.indent, false, stopping.hook());
        ASSERT_FALSE(stopped.ok()) << c.name;
        EXPECT_TRUE(stopped.error().is_interrupted()) << c.name;
    }
}

TEST_F(Interrupts, FileReadPollsBetweenPieces) {
    const std::string file = path("in.xml");
    const std::string doc = flat_document(500000);  // about 5 MiB
    {
        FILE* f = std::fopen(file.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(doc.data(), 1, doc.size(), f), doc.size());
        std::fclose(f);
    }
    Recorder going;
    auto bytes = read_whole_file(file, going.hook());
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(bytes->view(), doc);
    EXPECT_EQ(going.polls, doc.size() / InterruptHook::kPollInterval);

    Recorder stopping{1};
    auto stopped = read_whole_file(file, stopping.hook());
    ASSERT_FALSE(stopped.ok());
    EXPECT_EQ(stopped.error().kind, OsError::Kind::Interrupted);
}

// ---------------------------------------------------------------------------
// Signals

// A handler installed without SA_RESTART, so that a blocked system call
// fails with EINTR.
class InterruptSignals : public Interrupts {
protected:
    void SetUp() override {
        Interrupts::SetUp();
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        ASSERT_EQ(::sigaction(SIGUSR1, &action, &saved_), 0);
        fifo_ = path("fifo");
        ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
    }
    void TearDown() override {
        ::sigaction(SIGUSR1, &saved_, nullptr);
        Interrupts::TearDown();
    }

    // Runs `work` on a thread of its own and signals that thread until the
    // recorder has seen a signal wake; returns once the work is done.
    void signal_until_seen(Recorder& recorder, const std::function<void()>& work) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            work();
            done = true;
        });
        while (recorder.signals == 0 && !done) {
            ::pthread_kill(worker.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        worker.join();
    }

    struct sigaction saved_ {};
    std::string fifo_;
};

TEST_F(InterruptSignals, BlockedOpenStopsWhenTold) {
    // A FIFO's open waits for the other end.
    Recorder read_stop{0, true};
    Result<FileBytes, OsError> bytes = fail(OsError{});
    signal_until_seen(read_stop, [&] { bytes = read_whole_file(fifo_, read_stop.hook()); });
    ASSERT_FALSE(bytes.ok());
    EXPECT_EQ(bytes.error().kind, OsError::Kind::Interrupted);

    Recorder write_stop{0, true};
    Result<int, OsError> fd = fail(OsError{});
    signal_until_seen(write_stop, [&] { fd = write::open_for_writing(fifo_, write_stop.hook()); });
    ASSERT_FALSE(fd.ok());
    EXPECT_EQ(fd.error().kind, OsError::Kind::Interrupted);
}

TEST_F(InterruptSignals, BlockedReadRetriesWhenToldToGoOn) {
    // At the first signal the other end is opened and the document written:
    // the retried open and read see all of it.
    std::thread writer;
    Recorder going;
    going.on_signal = [&] {
        if (writer.joinable()) return;
        writer = std::thread([&] {
            const int fd = ::open(fifo_.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::write(fd, "<a>late</a>", 11), 11);
            ::close(fd);
        });
    };
    Result<FileBytes, OsError> bytes = fail(OsError{});
    signal_until_seen(going, [&] { bytes = read_whole_file(fifo_, going.hook()); });
    writer.join();
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(bytes->view(), "<a>late</a>");
}

TEST_F(InterruptSignals, BlockedWriteStopsAndLeavesWhatWasWritten) {
    // A reader that never reads: the pipe fills up and the write blocks,
    // until a signal ends it (EINTR, or a partial write); the destructor
    // does not block on what is still buffered.
    const int reader = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    const std::string doc = "<r>" + std::string(1 << 20, 'x') + "</r>";  // the tree points into it
    auto parsed = read::parse_document(doc, "r");
    ASSERT_TRUE(parsed.ok());
    Recorder stopping{0, true};
    Status<WriteError> written = Ok{};
    signal_until_seen(stopping, [&] {
        written = write::write_tree_to_file(write::view_of(parsed.value()), fifo_, 0, false, stopping.hook());
    });
    ASSERT_FALSE(written.ok());
    EXPECT_TRUE(written.error().is_interrupted());
    std::string got(1 << 20, '\0');
    const ssize_t n = ::read(reader, got.data(), got.size());
    ::close(reader);
    ASSERT_GT(n, 0);
    got.resize(static_cast<size_t>(n));
    EXPECT_EQ(got, ("<r>" + std::string(1 << 20, 'x')).substr(0, got.size()));
}

}  // namespace
}  // namespace arbolite
