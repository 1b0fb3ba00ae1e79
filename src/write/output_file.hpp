// The file that write_file writes into: opening it, and refusing an output
// that cannot fit before the file is touched.
#pragma once

#include <cstddef>
#include <string_view>

#include "common/interrupt.hpp"
#include "common/posix_file.hpp"
#include "common/result.hpp"

namespace arbolite::write {

// Opens `path` for writing: created (mode 0666 before the umask) or
// truncated. A path holding a NUL byte is refused before any system call.
Result<int, OsError> open_for_writing(std::string_view path, const InterruptHook& interrupt = {});

// Refuses, before anything is created or truncated, an output of `size`
// bytes that cannot be written to `path`, in this order: EFBIG beyond the
// range of a file offset; ENOSPC when it needs more blocks than the free
// space of a file system that stores every byte written holds, plus those
// that replacing the existing file frees (EFBIG past the 4 GiB files of
// FAT); EFBIG beyond the process's file size limit (RLIMIT_FSIZE). The last
// two apply to regular files only (a path that exists and is no regular
// file, such as a device or a pipe, is checked against the offset range
// alone); what cannot be determined (no such directory yet, a file system
// that may compress) is left to the writes themselves.
Status<OsError> check_room_for(std::string_view path, size_t size);

}  // namespace arbolite::write
