#include "common/posix_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace arbolite {
namespace {

// Closes the descriptor on every path; a failing close is not reported.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace

Failure<OsError> errno_failure(int errnum) { return fail(OsError{OsError::Kind::Errno, errnum}); }

Result<int, OsError> open_path(std::string_view path, int flags, unsigned mode, const InterruptHook& interrupt) {
    if (path.find('\0') != std::string_view::npos) return fail(OsError{OsError::Kind::NulInPath});
    const std::string name(path);
    for (;;) {
        const int fd = ::open(name.c_str(), flags, mode);
        if (fd >= 0) return fd;
        if (errno != EINTR) return errno_failure(errno);
        if (interrupt.stop_after_signal()) return fail(interrupted_error());
    }
}

Status<OsError> close_descriptor(int fd) {
    if (::close(fd) == 0 || errno == EINTR) return Ok{};
    return errno_failure(errno);
}

Result<FileBytes, OsError> read_whole_file(std::string_view path, const InterruptHook& interrupt) {
    ARBOLITE_TRY_ASSIGN(int raw, open_path(path, O_RDONLY | O_CLOEXEC, 0, interrupt));
    Descriptor fd(raw);

    struct stat info;
    size_t capacity = 0;
    if (::fstat(fd.get(), &info) == 0 && info.st_size > 0) capacity = static_cast<size_t>(info.st_size);
    FileBytes bytes;
    capacity += 1;  // one more byte to see the end of file without growing
    bytes.data = std::make_unique_for_overwrite<char[]>(capacity);
    // Without a hook each read asks for all the room there is; with one, at
    // most a poll interval, so that a large file is read in pieces with a
    // poll after each.
    const size_t piece = interrupt.active() ? InterruptHook::kPollInterval : SIZE_MAX;
    PollCounter polls(interrupt);
    for (;;) {
        if (bytes.size == capacity) {
            // The file grew since fstat (or reports no size): double.
            size_t bigger = capacity * 2;
            auto grown = std::make_unique_for_overwrite<char[]>(bigger);
            std::memcpy(grown.get(), bytes.data.get(), bytes.size);
            bytes.data = std::move(grown);
            capacity = bigger;
        }
        const size_t room = std::min(capacity - bytes.size, piece);
        ssize_t n = ::read(fd.get(), bytes.data.get() + bytes.size, room);
        if (n < 0) {
            if (errno != EINTR) return errno_failure(errno);
            if (interrupt.stop_after_signal()) return fail(interrupted_error());
            continue;
        }
        if (n == 0) break;
        bytes.size += static_cast<size_t>(n);
        if (polls.due(bytes.size) && polls.stop(bytes.size)) return fail(interrupted_error());
    }
    return bytes;
}

}  // namespace arbolite
