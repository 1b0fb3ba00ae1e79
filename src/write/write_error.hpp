// What can stop the writer: a code and the data that goes with it (the
// operating-system failure, the refused name). The texts for users are
// composed at the boundary.
#pragma once

#include <cstdint>
#include <string_view>

#include "common/posix_file.hpp"

namespace arbolite::write {

struct WriteError {
    enum class Kind : uint8_t {
        Os,                    // `os` holds the operating-system failure
        IndentOverflow,        // indent x depth does not fit in size_t
        InvalidElementName,    // `name` would not read back as that element name
        InvalidAttributeName,  // `name` would not read back as that attribute name
    };
    Kind kind;
    OsError os{};
    std::string_view name{};  // the refused name, a view into the tree written

    static WriteError from_os(OsError error) { return {Kind::Os, error}; }
    // The interrupt hook stopped the walk or the file's system calls.
    static WriteError interrupted() { return from_os(interrupted_error()); }
    bool is_interrupted() const { return kind == Kind::Os && os.kind == OsError::Kind::Interrupted; }
    static WriteError indent_overflow() { return {Kind::IndentOverflow, {}}; }
    static WriteError invalid_element_name(std::string_view name) { return {Kind::InvalidElementName, {}, name}; }
    static WriteError invalid_attribute_name(std::string_view name) {
        return {Kind::InvalidAttributeName, {}, name};
    }
};

}  // namespace arbolite::write
