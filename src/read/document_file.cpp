#include "read/document_file.hpp"

#include "simd/search.hpp"

namespace arbolite::read {

Result<FileBytes, OsError> read_document_file(std::string_view path, const InterruptHook& interrupt) {
    ARBOLITE_TRY_ASSIGN(FileBytes bytes, read_whole_file(path, interrupt));
    if (!simd::is_valid_utf8(bytes.data.get(), bytes.size)) return fail(OsError{OsError::Kind::InvalidUtf8});
    return bytes;
}

}  // namespace arbolite::read
