#include "write/serializer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <unistd.h>
#include <vector>

#include "write/escape.hpp"

namespace arbolite::write {
namespace {

// ---------------------------------------------------------------------------
// Escaping
// ---------------------------------------------------------------------------

// Writes `s` with the special bytes replaced; each run between them goes to
// the sink in one piece.
template <Escape mode, class Sink>
bool write_escaped(Sink& sink, std::string_view s) {
    const char* p = s.data();
    const char* const end = p + s.size();
    const char* const floor = p;
    for (;;) {
        const char* q = find_special<mode>(p, end, floor);
        if (q != p && !sink.write(p, static_cast<size_t>(q - p))) return false;
        if (q == end) return true;
        const Replacement& r = replacement_of<mode>(*q);
        if (!sink.write(r.bytes, r.size)) return false;
        p = q + 1;
    }
}

// ---------------------------------------------------------------------------
// The walk
// ---------------------------------------------------------------------------

// Counts what a walk writes instead of keeping it: bytes (saturating at
// SIZE_MAX) and whether any of them is not ASCII.
class CountingSink {
public:
    bool write(const char* data, size_t size) {
        add(size);
        for (; size >= 8; data += 8, size -= 8) {
            uint64_t word;
            __builtin_memcpy(&word, data, 8);
            high_ |= word;
        }
        for (; size != 0; ++data, --size) high_ |= static_cast<unsigned char>(*data);
        return true;
    }
    bool write(std::string_view s) { return write(s.data(), s.size()); }
    bool write_byte(char c) { return write(&c, 1); }
    bool write_blanks(size_t count) {
        add(count);
        return true;
    }
    bool write_line_start(size_t count) {
        add(1);
        return write_blanks(count);
    }

    OutputMeasure measure() const { return {size_, (high_ & 0x8080808080808080ull) == 0}; }

private:
    void add(size_t n) {
        if (__builtin_add_overflow(size_, n, &size_)) size_ = SIZE_MAX;
    }
    size_t size_ = 0;
    uint64_t high_ = 0;
};

// Writes into a buffer of a size measured beforehand. A piece that would run
// past its end is refused, and the sink fails from then on.
class BufferSink {
public:
    BufferSink(char* out, size_t size) : at_(out), left_(size) {}

    bool write(const char* data, size_t size) {
        if (size > left_) return overrun();
        copy_bytes(at_, data, size);
        at_ += size;
        left_ -= size;
        return true;
    }
    bool write(std::string_view s) { return write(s.data(), s.size()); }
    bool write_byte(char c) {
        if (left_ == 0) return overrun();
        *at_++ = c;
        --left_;
        return true;
    }
    bool write_blanks(size_t count) {
        if (count > left_) return overrun();
        std::memset(at_, ' ', count);
        at_ += count;
        left_ -= count;
        return true;
    }
    bool write_line_start(size_t count) { return write_byte('\n') && write_blanks(count); }

    bool full() const { return left_ == 0 && !overrun_; }

private:
    bool overrun() {
        overrun_ = true;
        left_ = 0;
        return false;
    }
    char* at_;
    size_t left_;
    bool overrun_ = false;
};

inline WriteError sink_error(const MemorySink&) { return WriteError::indent_overflow(); }
inline WriteError sink_error(const CountingSink&) { return WriteError::indent_overflow(); }
inline WriteError sink_error(const BufferSink&) { return WriteError::indent_overflow(); }
inline WriteError sink_error(const FileSink& sink) { return WriteError::from_os(sink.error()); }

template <class Sink>
class Walker {
public:
    Walker(Sink& sink, size_t indent) : sink_(sink), indent_(indent) {}

    Status<WriteError> run(TreeView tree) {
        if (!walk(tree)) {
            if (indent_overflow_) return fail(WriteError::indent_overflow());
            return fail(sink_error(sink_));
        }
        return Ok{};
    }

private:
    // Line feed and indent x depth blanks. The product is checked before
    // anything is written, so an overflow writes nothing.
    bool line_break(size_t depth) {
        size_t blanks;
        if (__builtin_mul_overflow(indent_, depth, &blanks)) {
            indent_overflow_ = true;
            return false;
        }
        return sink_.write_line_start(blanks);
    }

    bool start_tag(const ElementView& e) {
        if (!sink_.write_byte('<') || !sink_.write(e.name)) return false;
        for (const auto& attr : *e.attrs) {
            if (!sink_.write_byte(' ') || !sink_.write(attr.name) || !sink_.write("=\"", 2) ||
                !write_escaped<Escape::Attr>(sink_, attr.value) || !sink_.write_byte('"'))
                return false;
        }
        return true;
    }

    bool end_tag(const ElementView& e, size_t depth) {
        if (pending_break_ && !line_break(depth)) return false;
        pending_break_ = true;
        return sink_.write("</", 2) && sink_.write(e.name) && sink_.write_byte('>');
    }

    // Pre-order over the element array. `open` holds the elements whose end
    // tag is still to come; its size is the current depth.
    bool walk(TreeView elements) {
        if (elements.empty()) return true;
        const size_t stop = std::min(elements[0].end, elements.size());
        std::vector<const ElementView*> open;
        for (size_t i = 0; i < stop; ++i) {
            while (!open.empty() && i >= open.back()->end) {
                const ElementView* done = open.back();
                open.pop_back();
                if (!end_tag(*done, open.size())) return false;
            }
            const ElementView& e = elements[i];
            if (pending_break_ && !line_break(open.size())) return false;
            pending_break_ = true;
            if (!start_tag(e)) return false;
            const bool has_children = e.end > i + 1;
            if (!has_children && !e.text) {
                if (!sink_.write("/>", 2)) return false;
                continue;
            }
            if (!sink_.write_byte('>')) return false;
            if (e.text) {
                if (!write_escaped<Escape::Text>(sink_, *e.text)) return false;
                pending_break_ = false;
            }
            open.push_back(&e);
        }
        while (!open.empty()) {
            const ElementView* done = open.back();
            open.pop_back();
            if (!end_tag(*done, open.size())) return false;
        }
        return true;
    }

    Sink& sink_;
    size_t indent_;
    bool pending_break_ = false;
    bool indent_overflow_ = false;
};

}  // namespace

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

FileSink::FileSink(int fd, bool declaration) : fd_(fd) {
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
    if (fill_ != 0) (void)drain_buffer();
    if (fd_ >= 0) (void)::close(fd_);
}

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
            if (errno == EINTR) continue;
            error = OsError{OsError::Kind::Errno, errno};
            ok = false;
            break;
        }
        if (n == 0) {
            error = OsError{OsError::Kind::ShortFlush};
            ok = false;
            break;
        }
        written += static_cast<size_t>(n);
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
            if (errno == EINTR) continue;
            return fail_with(OsError{OsError::Kind::Errno, errno});
        }
        if (n == 0) return fail_with(OsError{OsError::Kind::ShortWrite});
        data += n;
        size -= static_cast<size_t>(n);
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

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

std::vector<ElementView> view_of(const ParsedTree& tree) {
    std::vector<ElementView> views;
    views.reserve(tree.elements.size());
    for (const ParsedElement& e : tree.elements) {
        views.push_back({e.name, &e.attrs, e.text, e.end});
    }
    return views;
}

Result<MemorySink, WriteError> write_tree_to_memory(TreeView tree, size_t indent, bool declaration) {
    MemorySink sink;
    if (declaration) {
        sink.reserve(xml_declaration.size());
        sink.write(xml_declaration);
    }
    ARBOLITE_TRY(Walker<MemorySink>(sink, indent).run(tree));
    return sink;
}

Result<OutputMeasure, WriteError> measure_tree(TreeView tree, size_t indent, bool declaration) {
    CountingSink sink;
    if (declaration) sink.write(xml_declaration);
    ARBOLITE_TRY(Walker<CountingSink>(sink, indent).run(tree));
    return sink.measure();
}

bool write_tree_to_buffer(TreeView tree, size_t indent, bool declaration, char* out, size_t size) {
    BufferSink sink(out, size);
    if (declaration && !sink.write(xml_declaration)) return false;
    return Walker<BufferSink>(sink, indent).run(tree).ok() && sink.full();
}

Status<WriteError> write_tree_to_file(TreeView tree, std::string_view path, size_t indent,
                                      bool declaration) {
    auto fd = open_path(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (!fd) return fail(WriteError::from_os(fd.error()));
    FileSink sink(fd.value(), declaration);  // closes the descriptor on every path
    ARBOLITE_TRY(Walker<FileSink>(sink, indent).run(tree));
    if (!sink.flush()) return fail(WriteError::from_os(sink.error()));
    return Ok{};
}

}  // namespace arbolite::write
