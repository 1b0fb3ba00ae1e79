#include "write/sinks.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>
#include <utility>

namespace arbolite::write {

// ---------------------------------------------------------------------------
// MemorySink
// ---------------------------------------------------------------------------

MemorySink::MemorySink(MemorySink&& other) noexcept
    : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
    other.data_ = nullptr;
    other.size_ = other.capacity_ = 0;
}

MemorySink& MemorySink::operator=(MemorySink&& other) noexcept {
    if (this != &other) {
        std::free(data_);
        data_ = other.data_;
        size_ = other.size_;
        capacity_ = other.capacity_;
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    return *this;
}

MemorySink::~MemorySink() { std::free(data_); }

void MemorySink::reserve(size_t total) {
    if (total <= capacity_) return;
    // Nothing larger than PTRDIFF_MAX can be addressed as one object.
    if (total > static_cast<size_t>(PTRDIFF_MAX)) throw std::bad_alloc();
    void* bigger = std::realloc(data_, total);
    if (!bigger) throw std::bad_alloc();
    data_ = static_cast<char*>(bigger);
    capacity_ = total;
}

void MemorySink::grow(size_t extra) {
    size_t needed;
    if (__builtin_add_overflow(size_, extra, &needed)) throw std::bad_alloc();
    const size_t limit = static_cast<size_t>(PTRDIFF_MAX);
    size_t doubled = capacity_ > limit / 2 ? limit : std::max<size_t>(2 * capacity_, 256);
    reserve(std::max(needed, doubled));
}

bool MemorySink::write_many_blanks(size_t count) {
    if (count > capacity_ - size_) grow(count);
    std::memset(data_ + size_, ' ', count);
    size_ += count;
    return true;
}

// ---------------------------------------------------------------------------
// FileSink
// ---------------------------------------------------------------------------

FileSink::FileSink(int fd, bool declaration, const InterruptHook& interrupt) : fd_(fd), interrupt_(interrupt) {
    try {
        buffer_ = std::make_unique_for_overwrite<char[]>(kBufferCapacity);
    } catch (...) {
        ::close(fd_);
        throw;
    }
    if (declaration) {
        std::memcpy(buffer_.get(), kXmlDeclaration.data(), kXmlDeclaration.size());
        fill_ = kXmlDeclaration.size();
    }
}

FileSink::~FileSink() {
    closing_ = true;
    if (fd_ < 0) return;
    if (fill_ != 0 && !(failed_ && error_.kind == OsError::Kind::Interrupted)) (void)drain_buffer();
    (void)close_descriptor(fd_);
}

bool FileSink::finish() {
    if (fd_ < 0) return !failed_;
    const bool flushed = flush();
    if (!flushed && fill_ != 0 && error_.kind != OsError::Kind::Interrupted) {
        // One more try, as on destruction; the first failure stays the one
        // reported.
        const OsError first = error_;
        closing_ = true;
        (void)drain_buffer();
        error_ = first;
    }
    const Status<OsError> closed = close_descriptor(std::exchange(fd_, -1));
    if (!flushed) return false;
    return closed.ok() ? true : fail_with(closed.error());
}

// After a write failed with EINTR, or wrote only part of its bytes (a pipe
// or socket interrupted by a signal after the first bytes went through):
// the handlers get their turn before the next write, which may block for
// good. The last flush of the destructor stops there.
bool FileSink::retry_after_signal() { return !closing_ && !interrupt_.stop_after_signal(); }

bool FileSink::fail_with(OsError error) {
    failed_ = true;
    error_ = error;
    return false;
}

bool FileSink::drain_buffer() {
    size_t written = 0;
    OsError error{};
    bool ok = true;
    while (written < fill_) {
        const ssize_t n = ::write(fd_, buffer_.get() + written, fill_ - written);
        if (n < 0) {
            const int errnum = errno;
            if (errnum == EINTR && retry_after_signal()) continue;
            error = errnum == EINTR ? interrupted_error() : OsError{OsError::Kind::Errno, errnum};
            ok = false;
            break;
        }
        if (n == 0) {
            error = OsError{OsError::Kind::ShortFlush};
            ok = false;
            break;
        }
        written += static_cast<size_t>(n);
        if (written < fill_ && !retry_after_signal()) {
            error = interrupted_error();
            ok = false;
            break;
        }
    }
    // What was written leaves the buffer, on failure too.
    if (written != 0) {
        std::memmove(buffer_.get(), buffer_.get() + written, fill_ - written);
        fill_ -= written;
    }
    return ok ? true : fail_with(error);
}

bool FileSink::flush() {
    if (failed_) return false;
    return drain_buffer();
}

bool FileSink::write_direct(const char* data, size_t size) {
    while (size != 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno != EINTR) return fail_with(OsError{OsError::Kind::Errno, errno});
            if (!retry_after_signal()) return fail_with(interrupted_error());
            continue;
        }
        if (n == 0) return fail_with(OsError{OsError::Kind::ShortWrite});
        data += n;
        size -= static_cast<size_t>(n);
        if (size != 0 && !retry_after_signal()) return fail_with(interrupted_error());
    }
    return true;
}

bool FileSink::write_slow(const char* data, size_t size) {
    if (size > kBufferCapacity - fill_ && !drain_buffer()) return false;
    if (size < kBufferCapacity) {
        std::memcpy(buffer_.get() + fill_, data, size);
        fill_ += size;
        return true;
    }
    return write_direct(data, size);
}

bool FileSink::write_blanks(size_t count) {
    if (failed_) return false;
    while (count != 0) {
        if (fill_ == kBufferCapacity && !drain_buffer()) return false;
        const size_t n = std::min(count, kBufferCapacity - fill_);
        std::memset(buffer_.get() + fill_, ' ', n);
        fill_ += n;
        count -= n;
    }
    return true;
}

}  // namespace arbolite::write
