// The XML writer: walks a tree of elements and writes indented XML into a memory
// buffer or a buffered file.
//
// Layout: every element that does not directly follow text starts on a new
// line, indented by `indent` blanks per nesting level; an element with no text
// and no children is closed with "/>"; nothing follows the root's end tag.
// Names are written as stored, and refused when the reader would not read
// them back as the same name (names.hpp); text and attribute values are
// escaped. The walk keeps its open elements on an explicit stack, so trees of
// any depth are written without native recursion, and every sink receives
// exactly the same bytes (the memory buffer, the file, a buffer of measured
// size, or the counter that measures).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/copy.hpp"
#include "common/interrupt.hpp"
#include "common/posix_file.hpp"
#include "common/result.hpp"
#include "read/parsed_element.hpp"
#include "simd/utf8_decode.hpp"

namespace arbolite::write {

namespace detail {
// A line feed and the blanks of a short indentation.
inline constexpr char line_start[] = "\n" "                                                                ";
inline constexpr size_t short_indent = sizeof line_start - 2;
}  // namespace detail

// The XML declaration, line feed included, that precedes the root element
// when it is wanted.
inline constexpr std::string_view xml_declaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
static_assert(xml_declaration.size() == 39);

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

// A growable byte buffer; the memory sink of the walk. Its writes never fail:
// running out of memory (or asking for more than the address space holds)
// throws std::bad_alloc.
class MemorySink {
public:
    MemorySink() noexcept = default;
    MemorySink(MemorySink&& other) noexcept;
    MemorySink& operator=(MemorySink&& other) noexcept;
    MemorySink(const MemorySink&) = delete;
    MemorySink& operator=(const MemorySink&) = delete;
    ~MemorySink();

    // Makes the capacity at least `total` bytes.
    void reserve(size_t total);

    // (Inlined into the walk, where most pieces are a few bytes long.)
    [[gnu::always_inline]] bool write(const char* data, size_t size) {
        if (size > capacity_ - size_) grow(size);
        copy_bytes(data_ + size_, data, size);
        size_ += size;
        return true;
    }
    bool write(std::string_view s) { return write(s.data(), s.size()); }
    bool write_byte(char c) {
        if (size_ == capacity_) grow(1);
        data_[size_++] = c;
        return true;
    }
    bool write_blanks(size_t count) {
        if (count > detail::short_indent) return write_many_blanks(count);
        return write(detail::line_start + 1, count);
    }
    // A line feed, then `count` blanks.
    bool write_line_start(size_t count) {
        if (count > detail::short_indent) return write_byte('\n') && write_many_blanks(count);
        return write(detail::line_start, count + 1);
    }

    std::string_view view() const noexcept { return {data_, size_}; }
    const char* data() const noexcept { return data_; }
    size_t size() const noexcept { return size_; }
    size_t capacity() const noexcept { return capacity_; }

private:
    void grow(size_t extra);  // room for `extra` more bytes, or std::bad_alloc
    bool write_many_blanks(size_t count);

    char* data_ = nullptr;  // malloc'd, so that large buffers grow in place
    size_t size_ = 0;
    size_t capacity_ = 0;
};

// The file sink: an 8192-byte buffer in front of a descriptor that it owns.
//
// Each piece handed to write() is buffered when it fits; when it does not fit
// in the free space the buffer is flushed first, and a piece of a whole buffer
// or more then goes straight to the file. The first failure is kept in
// error() and every later write fails at once. A write interrupted by a
// signal, or one that wrote only part of its bytes, is continued unless the
// interrupt hook says to stop (the failure is then
// OsError::Kind::Interrupted). finish() writes out what is buffered and
// closes the descriptor, reporting a failing close (file systems that write
// back later report their write errors there). Destruction without finish()
// tries once more to flush what is still buffered (ignoring the outcome, and
// giving up at a signal) unless the sink was stopped or discard() was called,
// frees the buffer and closes the descriptor, ignoring the outcome.
class FileSink {
public:
    static constexpr size_t buffer_capacity = 8192;

    // Takes ownership of `fd`. With `declaration` the buffer starts out
    // holding the XML declaration.
    FileSink(int fd, bool declaration, const InterruptHook& interrupt = {});
    FileSink(const FileSink&) = delete;
    FileSink& operator=(const FileSink&) = delete;
    ~FileSink();

    bool write(const char* data, size_t size) {
        if (failed_) return false;
        if (size <= buffer_capacity - fill_ && size < buffer_capacity) {
            copy_bytes(buffer_.get() + fill_, data, size);
            fill_ += size;
            return true;
        }
        return write_slow(data, size);
    }
    bool write(std::string_view s) { return write(s.data(), s.size()); }
    bool write_byte(char c) {
        if (failed_) return false;
        if (fill_ == buffer_capacity && !flush()) return false;
        buffer_[fill_++] = c;
        return true;
    }
    // `count` blanks, as if handed over one at a time: they always pass
    // through the buffer, a buffer-full at a time.
    bool write_blanks(size_t count);
    bool write_line_start(size_t count) { return write_byte('\n') && (count == 0 || write_blanks(count)); }

    // Writes out everything buffered. A write() of 0 bytes fails with
    // OsError::Kind::ShortFlush.
    bool flush();

    // Flushes, then closes the descriptor (once, whatever the outcome). A
    // failing close fails the sink unless it had failed before: the first
    // failure is the one kept.
    bool finish();

    // Drops what is buffered: nothing more reaches the file.
    void discard() noexcept { fill_ = 0; }

    size_t buffered() const noexcept { return fill_; }
    bool failed() const noexcept { return failed_; }
    const OsError& error() const noexcept { return error_; }

private:
    bool write_slow(const char* data, size_t size);
    bool write_direct(const char* data, size_t size);
    bool drain_buffer();  // flush() without the sticky-failure check
    bool fail_with(OsError error);
    bool retry_after_signal();  // after EINTR or a partial write: false to stop

    std::unique_ptr<char[]> buffer_;
    size_t fill_ = 0;
    int fd_;  // -1 once closed
    bool failed_ = false;
    bool closing_ = false;  // in the destructor: no hook, a signal ends the flush
    OsError error_{};
    InterruptHook interrupt_;
};

// The records of a parsed tree as the walk reads them (handles are record
// indices). The tree must outlive the view.
class ParsedTreeView {
public:
    using handle = size_t;

    explicit ParsedTreeView(const ParsedTree& tree) : e_(tree.elements) {}

    bool empty() const { return e_.empty(); }
    handle root() const { return 0; }
    std::string_view name(handle h) const { return e_[h].name; }
    const AttrMap& attrs(handle h) const { return e_[h].attrs; }
    std::optional<std::string_view> text(handle h) const { return e_[h].text; }
    // The children of record h lie between h + 1 and its `end`, each one
    // followed by its own descendants.
    size_t first_child(handle h) const { return h + 1; }
    bool past_children(handle h, size_t at) const { return at >= e_[h].end || at >= e_.size(); }
    handle child(handle, size_t at) const { return at; }
    size_t next_child(handle, size_t at) const { return e_[at].end > at ? e_[at].end : at + 1; }

private:
    const std::vector<ParsedElement>& e_;
};

inline ParsedTreeView view_of(const ParsedTree& tree) { return ParsedTreeView(tree); }

// What a walk would write: the exact number of bytes, and whether all of
// them are ASCII; decoded, the number of code points, the narrowest code
// units that hold them all, and whether the bytes are valid UTF-8 at all
// (they always are when every name, value and text is). A size beyond
// SIZE_MAX is reported as SIZE_MAX (no buffer can hold it).
struct OutputMeasure {
    size_t size;
    bool ascii;
    size_t code_points = 0;
    simd::CodeUnits units = simd::CodeUnits::Ascii;
    bool valid_utf8 = true;
};

// The entry points take any tree that the walk can read (see walker.hpp):
// a ParsedTreeView, or the module's view of Node objects. An empty tree
// writes no element. Each writes the XML declaration first when
// `declaration` is true. With an active `interrupt` hook each polls it
// about every poll interval of output and fails with WriteError::interrupted()
// when it says to stop (see interrupt.hpp).

// Writes `tree` into a new memory buffer. Fails only with IndentOverflow (or
// when interrupted); throws std::bad_alloc when the output does not fit in
// memory.
template <class Tree>
Result<MemorySink, WriteError> write_tree_to_memory(const Tree& tree, size_t indent, bool declaration,
                                                   const InterruptHook& interrupt = {});

// Which of the long texts and attribute values of a tree need no escaping,
// in the order a walk meets them: noted by measure_tree, so that a walk
// writing the same tree with the same arguments copies those whole instead
// of searching them again.
using PlainTexts = std::vector<bool>;

// Measures the output; fails with IndentOverflow as the walk itself would.
// With `plain`, also notes which long texts and values need no escaping.
template <class Tree>
Result<OutputMeasure, WriteError> measure_tree(const Tree& tree, size_t indent, bool declaration,
                                               const InterruptHook& interrupt = {}, PlainTexts* plain = nullptr);

// Writes `tree` into `out`, which holds exactly the `size` bytes that
// measure_tree gave for the same arguments (and `plain`, the notes it took
// then, if any). Returns false, having written nothing past `out + size`, if
// the walk would not fit exactly (it always does when the sizes agree), or
// when `interrupt` stopped it.
template <class Tree>
bool write_tree_to_buffer(const Tree& tree, size_t indent, bool declaration, char* out, size_t size,
                          const InterruptHook& interrupt = {}, const PlainTexts* plain = nullptr);

// Writes `tree` decoded into `out`, which holds exactly the `code_points`
// units that measure_tree gave for the same arguments (and `plain` as for
// write_tree_to_buffer; the output must be valid UTF-8, and `Unit` as wide
// as its `units` or wider). Returns false,
// having written nothing past `out + code_points`, if the walk would not fit
// exactly (it always does when the measures agree), or when `interrupt`
// stopped it.
template <class Tree, class Unit>
bool write_tree_to_units(const Tree& tree, size_t indent, bool declaration, Unit* out, size_t code_points,
                         const InterruptHook& interrupt = {}, const PlainTexts* plain = nullptr);

// Opens `path` for writing: created (mode 0666 before the umask) or
// truncated. A path holding a NUL byte is refused before any system call.
Result<int, OsError> open_for_writing(std::string_view path, const InterruptHook& interrupt = {});

// At least this many bytes are written by a walk: the size of every piece,
// except that escaped text and attribute values count as their raw bytes
// (escaping only lengthens them), so measuring reads no byte of them.
// Saturates at SIZE_MAX. Fails as the walk itself would (IndentOverflow,
// invalid names).
template <class Tree>
Result<size_t, WriteError> measure_tree_floor(const Tree& tree, size_t indent, bool declaration,
                                              const InterruptHook& interrupt = {});

// Refuses, before anything is created or truncated, an output of at least
// `floor` bytes that cannot be written to `path`, in this order: EFBIG
// beyond the range of a file offset; ENOSPC when it is larger than the free
// space of a file system that stores every byte written, plus what replacing
// the existing file frees (EFBIG past the 4 GiB files of FAT); EFBIG beyond
// the process's file size limit (RLIMIT_FSIZE). The last two apply to
// regular files only (a path that exists and is no regular file, such as a
// device or a pipe, is checked against the offset range alone); what cannot
// be determined (no such directory yet, a file system that may compress) is
// left to the writes themselves.
Status<OsError> check_room_for(std::string_view path, size_t floor);

// Writes `tree` into the file at `path` (opened as above). The tree is
// measured first: an invalid name, an indentation overflow or a size that
// cannot be written (check_room_for) fails before the file is touched. After
// a failure of the writes themselves the file holds a prefix of the output.
// The hook also decides whether an open or write interrupted by a signal is
// retried.
template <class Tree>
Status<WriteError> write_tree_to_file(const Tree& tree, std::string_view path, size_t indent, bool declaration,
                                      const InterruptHook& interrupt = {});

}  // namespace arbolite::write

#include "write/walker.hpp"
