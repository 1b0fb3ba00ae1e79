// The document parser: walks the structural index of a document and builds
// the element tree of the first element with the requested name, at any
// depth.
#pragma once

#include <string_view>

#include "common/interrupt.hpp"
#include "common/result.hpp"
#include "index/structural.hpp"
#include "read/parsed_element.hpp"
#include "read/read_error.hpp"

namespace arbolite::read {

// Parses `document` (valid UTF-8) and returns the subtree of the first
// element named `root_tag`, compared byte for byte. Element 0 of the result
// is that element. Reads only its arguments; safe to run on any thread. The
// tree's names and most texts are views into `document`, which must outlive
// it.
//
// On a document indexed on a worker thread, the worker may also parse the
// start tags of a batch ahead of the walk: by default when the walk is still
// busy with earlier batches (so the worker takes on as much of that work as
// it has time for); tests can ask for every batch or none. The result is the
// same either way.
//
// With an active `interrupt` hook the read polls it about every poll
// interval of document, and fails with ReadError::Kind::Interrupted when it
// says to stop.
enum class StartTagsAhead : uint8_t { WhenWalkIsBusy, Always, Never };
Result<ParsedTree, ReadError> parse_document(std::string_view document, std::string_view root_tag,
                                             StartTagsAhead ahead = StartTagsAhead::WhenWalkIsBusy,
                                             const InterruptHook& interrupt = {});

// The walk of parse_document over an index already built for `document`.
Result<ParsedTree, ReadError> parse_indexed(std::string_view document, const index::StructuralIndex& index,
                                            std::string_view root_tag);

}  // namespace arbolite::read
