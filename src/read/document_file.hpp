// A document read from a file.
#pragma once

#include <string_view>

#include "common/interrupt.hpp"
#include "common/posix_file.hpp"
#include "common/result.hpp"

namespace arbolite::read {

// Reads the whole file at `path` as a document: its bytes must be valid
// UTF-8 (OsError::Kind::InvalidUtf8 otherwise). The `interrupt` hook is
// polled as read_whole_file polls it.
Result<FileBytes, OsError> read_document_file(std::string_view path, const InterruptHook& interrupt = {});

}  // namespace arbolite::read
