// Whole-file reading over POSIX descriptors. A system call interrupted by a
// signal is retried unless the caller's interrupt hook says to stop.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "common/interrupt.hpp"
#include "common/result.hpp"

namespace arbolite {

// An operating-system error number, or one of the fixed failures that have
// no number of their own.
struct OsError {
    // InvalidUtf8: a file read as text is not valid UTF-8. Interrupted: the
    // interrupt hook stopped the work (see interrupt.hpp).
    enum class Kind : uint8_t { Errno, NulInPath, InvalidUtf8, ShortWrite, ShortFlush, Interrupted };
    Kind kind;
    int errnum = 0;
};

// The failure of a system call that set `errnum`.
Failure<OsError> errno_failure(int errnum);

// Bytes read from a file; not terminated, not initialised beyond `size`.
struct FileBytes {
    std::unique_ptr<char[]> data;
    size_t size = 0;

    std::string_view view() const { return {data.get(), size}; }
};

// Reads the whole file at `path`, which may not contain a NUL byte. With an
// active `interrupt` hook, a large file is read in pieces of the poll
// interval, polling between them.
Result<FileBytes, OsError> read_whole_file(std::string_view path, const InterruptHook& interrupt = {});

// Opens `path` with `flags` (and `mode` for a new file), retrying when a
// signal interrupts the call unless `interrupt` says to stop. A path holding
// a NUL byte is refused before any system call. The caller owns the
// descriptor.
Result<int, OsError> open_path(std::string_view path, int flags, unsigned mode = 0,
                               const InterruptHook& interrupt = {});

// The failure of work that `interrupt` stopped.
inline OsError interrupted_error() { return OsError{OsError::Kind::Interrupted}; }

// Closes `fd` and reports a failure (a file system that writes back later,
// such as a network one, reports its write errors here). The descriptor is
// released whatever the outcome, also when a signal interrupts the call:
// EINTR counts as closed, and the call is never repeated (the number may
// already belong to a descriptor that another thread has just opened).
Status<OsError> close_descriptor(int fd);

}  // namespace arbolite
