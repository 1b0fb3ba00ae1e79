// Whole-file reading over POSIX descriptors, with interrupted calls retried.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "common/result.hpp"

namespace arbolite {

// An operating-system error number, or one of the fixed failures that have
// no number of their own.
struct OsError {
    enum class Kind : uint8_t { Errno, NulInPath, InvalidUtf8, ShortWrite, ShortFlush };
    Kind kind;
    int errnum = 0;
};

// Bytes read from a file; not terminated, not initialised beyond `size`.
struct FileBytes {
    std::unique_ptr<char[]> data;
    size_t size = 0;

    std::string_view view() const { return {data.get(), size}; }
};

// Reads the whole file at `path`. The path may not contain a NUL byte; the
// bytes must be valid UTF-8.
Result<FileBytes, OsError> read_utf8_file(std::string_view path);

// Opens `path` with `flags` (and `mode` for a new file), retrying when a
// signal interrupts the call. A path holding a NUL byte is refused before
// any system call. The caller owns the descriptor.
Result<int, OsError> open_path(std::string_view path, int flags, unsigned mode = 0);

// Closes `fd` and reports a failure (a file system that writes back later,
// such as a network one, reports its write errors here). The descriptor is
// released whatever the outcome, also when a signal interrupts the call:
// EINTR counts as closed, and the call is never repeated (the number may
// already belong to a descriptor that another thread has just opened).
Status<OsError> close_descriptor(int fd);

}  // namespace arbolite
