#include "write/serializer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <new>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <sys/statfs.h>
#endif


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
        buffer_ = std::make_unique_for_overwrite<char[]>(buffer_capacity);
    } catch (...) {
        ::close(fd_);
        throw;
    }
    if (declaration) {
        std::memcpy(buffer_.get(), xml_declaration.data(), xml_declaration.size());
        fill_ = xml_declaration.size();
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
    if (size > buffer_capacity - fill_ && !drain_buffer()) return false;
    if (size < buffer_capacity) {
        std::memcpy(buffer_.get() + fill_, data, size);
        fill_ += size;
        return true;
    }
    return write_direct(data, size);
}

bool FileSink::write_blanks(size_t count) {
    if (failed_) return false;
    while (count != 0) {
        if (fill_ == buffer_capacity && !drain_buffer()) return false;
        const size_t n = std::min(count, buffer_capacity - fill_);
        std::memset(buffer_.get() + fill_, ' ', n);
        fill_ += n;
        count -= n;
    }
    return true;
}

Result<int, OsError> open_for_writing(std::string_view path, const InterruptHook& interrupt) {
    return open_path(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666, interrupt);
}

// ---------------------------------------------------------------------------
// Room for the output
// ---------------------------------------------------------------------------

namespace {

// The directory that a new file at `path` goes into.
std::string parent_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

size_t saturating_mul(uint64_t a, uint64_t b) {
    uint64_t product;
    if (__builtin_mul_overflow(a, b, &product) || product > SIZE_MAX) return SIZE_MAX;
    return static_cast<size_t>(product);
}

size_t saturating_add(size_t a, size_t b) {
    size_t sum;
    return __builtin_add_overflow(a, b, &sum) ? SIZE_MAX : sum;
}

// Refuses with ENOSPC (or EFBIG past a file system's own file size limit)
// what cannot fit on the file system holding `at`. Free space bounds a
// file's size only where every byte written takes its room, so this applies
// to the local file systems that neither compress nor deduplicate data; on
// the others (and where the numbers are unknown) nothing is refused here.
Status<OsError> check_free_space([[maybe_unused]] const std::string& at, [[maybe_unused]] size_t floor,
                                 [[maybe_unused]] size_t freed) {
#if defined(__linux__)
    struct statfs fs {};
    if (::statfs(at.c_str(), &fs) != 0) return Ok{};
    constexpr unsigned long ext2_to_4 = 0xEF53, xfs = 0x58465342, tmpfs = 0x01021994, vfat = 0x4d44,
                            exfat = 0x2011BAB0;
    const auto type = static_cast<unsigned long>(fs.f_type);
    if (type != ext2_to_4 && type != xfs && type != tmpfs && type != vfat && type != exfat) return Ok{};
    if (type == vfat && floor > 0xFFFFFFFFull) return errno_failure(EFBIG);
    // A tmpfs without a size limit reports no blocks at all.
    if (fs.f_blocks == 0) return Ok{};
    const uint64_t unit = fs.f_frsize != 0 ? static_cast<uint64_t>(fs.f_frsize) : static_cast<uint64_t>(fs.f_bsize);
    // The superuser may also fill the blocks kept in reserve.
    const uint64_t free_units = ::geteuid() == 0 ? fs.f_bfree : fs.f_bavail;
    // One block more: a small file may need no block of its own.
    const size_t room = saturating_add(saturating_add(saturating_mul(free_units, unit), freed),
                                       saturating_mul(1, unit));
    if (floor > room) return errno_failure(ENOSPC);
#endif
    return Ok{};
}

}  // namespace

Status<OsError> check_room_for(std::string_view path, size_t floor) {
    if (static_cast<uintmax_t>(floor) > static_cast<uintmax_t>(std::numeric_limits<off_t>::max()))
        return errno_failure(EFBIG);
    const std::string name(path);
    struct stat existing {};
    const bool replaces = ::stat(name.c_str(), &existing) == 0;
    if (replaces && !S_ISREG(existing.st_mode)) return Ok{};
    if (replaces) {
        ARBOLITE_TRY(check_free_space(name, floor, saturating_mul(static_cast<uint64_t>(existing.st_blocks), 512)));
    } else if (struct stat link {}; ::lstat(name.c_str(), &link) != 0) {
        // (A dangling symbolic link makes the file where it points, on a
        // file system unknown here.)
        ARBOLITE_TRY(check_free_space(parent_of(name), floor, 0));
    }
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        static_cast<uintmax_t>(floor) > static_cast<uintmax_t>(limit.rlim_cur))
        return errno_failure(EFBIG);
    return Ok{};
}

}  // namespace arbolite::write
