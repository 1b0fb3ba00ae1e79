// The sinks that the writer's walk writes into and that keep the bytes: a
// growable memory buffer, and a buffered file.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "common/copy.hpp"
#include "common/interrupt.hpp"
#include "common/posix_file.hpp"

namespace arbolite::write {

namespace detail {
// A line feed and the blanks of a short indentation.
inline constexpr char kLineStart[] = "\n" "                                                                ";
inline constexpr size_t kShortIndent = sizeof kLineStart - 2;
}  // namespace detail

// The XML declaration, line feed included, that precedes the root element
// when it is wanted.
inline constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
static_assert(kXmlDeclaration.size() == 39);

// A growable byte buffer; the memory sink of the walk. Its writes never fail:
// running out of memory (or asking for more than the address space holds)
// throws std::bad_alloc.
class MemorySink {
public:
    MemorySink() noexcept = default;
    MemorySink(MemorySink&& other) noexcept;
    MemorySink& operator=(MemorySink&& other) noexcept;
    MemorySink(const MemorySink&) = delete;
    MemorySink& operator=(const MemorySink&) = delete;
    ~MemorySink();

    // Makes the capacity at least `total` bytes.
    void reserve(size_t total);
    // Makes room for `more` bytes after what is written, at once (a long run
    // written in pieces asks for all of it first).
    void make_room(size_t more) {
        if (more > capacity_ - size_) grow(more);
    }

    // (Inlined into the walk, where most pieces are a few bytes long.)
    [[gnu::always_inline]] bool write(const char* data, size_t size) {
        if (size > capacity_ - size_) grow(size);
        copy_bytes(data_ + size_, data, size);
        size_ += size;
        return true;
    }
    bool write(std::string_view s) { return write(s.data(), s.size()); }
    bool write_byte(char c) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = c;
        return true;
    }
    bool write_blanks(size_t count) {
        if (count > detail::kShortIndent) return write_many_blanks(count);
        return write(detail::kLineStart + 1, count);
    }
    // A line feed, then `count` blanks.
    bool write_line_start(size_t count) {
        if (count > detail::kShortIndent) return write_byte('\n') && write_many_blanks(count);
        return write(detail::kLineStart, count + 1);
    }

    std::string_view view() const noexcept { return {data_, size_}; }
    const char* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return capacity_; }

private:
    void grow(size_t extra);  // room for `extra` more bytes, or std::bad_alloc
    bool write_many_blanks(size_t count);

    char* data_ = nullptr;  // malloc'd, so that large buffers grow in place
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// The file sink: an 8192-byte buffer in front of a descriptor that it owns.
//
// Each piece handed to write() is buffered when it fits; when it does not fit
// in the free space the buffer is flushed first, and a piece of a whole buffer
// or more then goes straight to the file. The first failure is kept in
// error() and every later write fails at once. A write interrupted by a
// signal, or one that wrote only part of its bytes, is continued unless the
// interrupt hook says to stop (the failure is then
// OsError::Kind::Interrupted). finish() writes out what is buffered and
// closes the descriptor, reporting a failing close (file systems that write
// back later report their write errors there). Destruction without finish()
// tries once more to flush what is still buffered (ignoring the outcome, and
// giving up at a signal) unless the sink was stopped or discard() was called,
// frees the buffer and closes the descriptor, ignoring the outcome.
class FileSink {
public:
    static constexpr size_t kBufferCapacity = 8192;

    // Takes ownership of `fd`. With `declaration` the buffer starts out
    // holding the XML declaration.
    FileSink(int fd, bool declaration, const InterruptHook& interrupt = {});
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;
    ~FileSink();

    bool write(const char* data, size_t size) {
        if (failed_) return false;
        if (size <= kBufferCapacity - fill_ && size < kBufferCapacity) {
            copy_bytes(buffer_.get() + fill_, data, size);
            fill_ += size;
            return true;
        }
        return write_slow(data, size);
    }
    bool write(std::string_view s) { return write(s.data(), s.size()); }
    bool write_byte(char c) {
        if (failed_) return false;
        if (fill_ == kBufferCapacity && !flush()) return false;
        buffer_[fill_++] = c;
        return true;
    }
    // `count` blanks, as if handed over one at a time: they always pass
    // through the buffer, a buffer-full at a time.
    bool write_blanks(size_t count);
    bool write_line_start(size_t count) { return write_byte('\n') && (count == 0 || write_blanks(count)); }

    // Writes out everything buffered. A write() of 0 bytes fails with
    // OsError::Kind::ShortFlush.
    bool flush();

    // Flushes, then closes the descriptor (once, whatever the outcome). A
    // failing close fails the sink unless it had failed before: the first
    // failure is the one kept.
    bool finish();

    // Drops what is buffered: nothing more reaches the file.
    void discard() noexcept { fill_ = 0; }

    size_t buffered() const noexcept { return fill_; }
    bool failed() const noexcept { return failed_; }
    const OsError& error() const noexcept { return error_; }

private:
    bool write_slow(const char* data, size_t size);
    bool write_direct(const char* data, size_t size);
    bool drain_buffer();  // flush() without the sticky-failure check
    bool fail_with(OsError error);
    bool retry_after_signal();  // after EINTR or a partial write: false to stop

    std::unique_ptr<char[]> buffer_;
    size_t fill_ = 0;
    int fd_;  // -1 once closed
    bool failed_ = false;
    bool closing_ = false;  // in the destructor: no hook, a signal ends the flush
    OsError error_{};
    InterruptHook interrupt_;
};

}  // namespace arbolite::write
