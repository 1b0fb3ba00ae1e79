#include "index/structural.hpp"

#include <limits>
#include <memory>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

#include "common/byte_class.hpp"
#include "common/growth.hpp"
#include "index/markup_bitmaps.hpp"
#include "index/markup_ends.hpp"
#include "simd/kernels.hpp"

namespace arbolite::index {
namespace {

using simd::BlockMasks;
using simd::kBlockSize;

constexpr uint64_t kMaxNameLength = std::numeric_limits<uint32_t>::max();

[[gnu::cold, gnu::noinline]] Failure<IndexBuildError> unclosed_tag(size_t s) {
    return fail(IndexBuildError{IndexBuildError::Kind::UnclosedTag, s});
}

[[gnu::cold, gnu::noinline]] Failure<IndexBuildError> unexpected_end(size_t n) {
    return fail(IndexBuildError{IndexBuildError::Kind::UnexpectedEnd, n});
}

[[gnu::cold, gnu::noinline]] Failure<IndexBuildError> name_too_long(size_t name_offset) {
    return fail(IndexBuildError{IndexBuildError::Kind::NameTooLong, name_offset});
}

[[gnu::cold, gnu::noinline]] Failure<IndexBuildError> unterminated_doctype(size_t s) {
    return fail(IndexBuildError{IndexBuildError::Kind::UnterminatedDoctype, s});
}

// The '<', '>', '"' and '\'' of a document, found through the bitmaps of its
// 64-byte blocks. Blocks are classified a window at a time as the searches
// reach them; a search may also go back (after an unmatched quote), which
// classifies that window again. Each search returns the first occurrence at
// or after `from`, or n. A search for '>' that found nothing remembers where
// it started, so that declarations without one, repeated through a
// document, do not each search to the end again. The other searches find
// nothing at most once per document and character: it ends the build, or
// (for a quote) there is no such character further on.
class MarkupStream {
public:
    MarkupStream(const simd::KernelTable& k, const char* d, size_t n)
        : k_(k), d_(d), n_(n), blocks_(bitmap_words(n)) {}

    size_t next_lt(size_t from) { return next<Selector::Lt>(from); }
    size_t next_gt(size_t from) { return next<Selector::Gt>(from); }
    size_t next_quote_or_gt(size_t from) { return next<Selector::QuoteOrGt>(from); }
    size_t next_quote(char quote, size_t from) {
        return quote == '"' ? next<Selector::Dq>(from) : next<Selector::Sq>(from);
    }

    // The end of the element name that starts at `from`: its first tab,
    // line feed, form feed, carriage return, space, '/' or '>', or n.
    // `at_gt` tells whether it is a '>'. The masks give the candidates; a
    // name that holds another control character is finished with a search
    // for the exact bytes.
    size_t element_name_end(size_t from, bool& at_gt) {
        const size_t i = next<Selector::NameStop>(from);
        if (i == n_) return i;
        // The block of i is the current one: a '>' shows in its masks.
        at_gt = (current_.gt >> (i % kBlockSize)) & 1;
        if (at_gt || byte_class::is_any(d_[i], markup::kElementNameStops.classes))
            return i;
        const size_t end = static_cast<size_t>(k_.find_any8(d_ + i + 1, d_ + n_, markup::kElementNameStops.set) - d_);
        at_gt = end != n_ && d_[end] == '>';
        return end;
    }

    // The first tab, line feed, form feed, carriage return or space in
    // [from, limit), or `limit`.
    size_t space_before(size_t from, size_t limit) {
        const size_t i = next<Selector::NameStop>(from);
        if (i >= limit) return limit;
        if (byte_class::is_tag_space(d_[i])) return i;
        return static_cast<size_t>(k_.find_any8(d_ + i + 1, d_ + limit, markup::kSpaceStops.set) - d_);
    }

private:
    enum class Selector { Lt, Gt, QuoteOrGt, Dq, Sq, NameStop };

    template <Selector S>
    static uint64_t select(const BlockMasks& m) {
        if constexpr (S == Selector::Lt) return m.lt;
        if constexpr (S == Selector::Gt) return m.gt;
        if constexpr (S == Selector::QuoteOrGt) return m.dq | m.sq | m.gt;
        if constexpr (S == Selector::Dq) return m.dq;
        if constexpr (S == Selector::Sq) return m.sq;
        if constexpr (S == Selector::NameStop) return m.low_or_slash | m.gt;
    }

    template <Selector S>
    size_t next(size_t from) {
        if constexpr (S == Selector::Gt)
            if (from >= gt_absent_from_) return n_;
        size_t b = from / kBlockSize;
        if (b >= blocks_) return n_;
        uint64_t bits = select<S>(block(b)) & (~uint64_t{0} << (from % kBlockSize));
        while (bits == 0) {
            if (++b == blocks_) {
                if constexpr (S == Selector::Gt) gt_absent_from_ = from;
                return n_;
            }
            bits = select<S>(block(b));
        }
        return b * kBlockSize + static_cast<size_t>(__builtin_ctzll(bits));
    }

    // The masks of block b. The current block is kept apart from the window
    // so that it can stay in registers.
    const BlockMasks& block(size_t b) {
        if (b != current_block_) {
            if (b - first_ >= count_) {
                count_ = refill(k_, d_, n_, b, window_);
                first_ = b;
            }
            current_ = window_[b - first_];
            current_block_ = b;
        }
        return current_;
    }

    // Classifies up to kWindow blocks from block b (< the block count) on;
    // returns how many.
    [[gnu::noinline]] static size_t refill(const simd::KernelTable& k, const char* d, size_t n, size_t b,
                                           BlockMasks* out) {
        const size_t blocks = bitmap_words(n);
        const size_t whole_blocks = n / kBlockSize;
        const size_t count = blocks - b < kWindow ? blocks - b : kWindow;
        const size_t whole = b + count <= whole_blocks ? count : whole_blocks - b;
        k.classify_blocks(d + b * kBlockSize, whole, out);
        if (whole < count) out[whole] = simd::classify_partial_block(k, d + whole_blocks * kBlockSize, n % kBlockSize);
        return count;
    }

    static constexpr size_t kWindow = 32;

    const simd::KernelTable& k_;
    const char* d_;
    size_t n_;
    size_t blocks_;
    size_t first_ = 0;
    size_t count_ = 0;
    size_t current_block_ = SIZE_MAX;
    BlockMasks current_{};
    size_t gt_absent_from_ = SIZE_MAX;
    BlockMasks window_[kWindow];
};

// A pointer to the first entry of each list of `lists` (a tuple of lists).
template <class Lists>
auto cursors_of(const Lists& lists) {
    return std::apply([](auto&... list) { return std::tuple{list.data()...}; }, lists);
}

using TagCursors = decltype(cursors_of(std::declval<StructuralIndex&>().tag_lists()));
using TextCursors = decltype(cursors_of(std::declval<StructuralIndex&>().text_lists()));

// Writes one entry of each list: values[k] at index i of the list that
// cursors[k] points into.
template <class Cursors, class Values>
[[gnu::always_inline]] inline void store(const Cursors& cursors, size_t i, const Values& values) {
    for_each_list([i](auto* cursor, auto value) { cursor[i] = value; }, cursors, values);
}

// The batch being filled. A batch may end only just after a tag (so that
// the text before a tag stays with it), and ends once it holds max_tags
// tags or has no room left for a tag's text ranges: the one before it and,
// for a CDATA section, its content.
//
// The lists are sized for a full batch up front and written through raw
// pointers; finish() cuts them to what was written. Sizing leaves the new
// entries as they are (see UninitializedAllocator), so a StructuralIndex
// reused for batch after batch, or made for a document of a few tags, is
// never cleared or filled element by element. A
// builder copies the writer into a local for its walk, so that the cursors
// stay in registers: nothing else can point to them.
class BatchWriter {
public:
    BatchWriter(StructuralIndex& ix, size_t max_tags)
        : ix_(&ix), max_tags_(max_tags), max_texts_(IndexStream::text_capacity(max_tags)) {
        for_each_list([max_tags](auto& list) { size_to(list, max_tags); }, ix.tag_lists());
        for_each_list([this](auto& list) { size_to(list, max_texts_); }, ix.text_lists());
        tag_cursors_ = cursors_of(ix.tag_lists());
        point_at_texts();
    }

    [[gnu::always_inline]] void tag(size_t start, size_t end, TagKind kind, size_t name_offset,
                                    size_t name_length) {
        store(tag_cursors_, tags_, std::tuple{start, end, kind, name_offset, static_cast<uint32_t>(name_length)});
        ++tags_;
        texts_before_last_tag_ = texts_;
    }

    [[gnu::always_inline]] void text(size_t start, size_t end) {
        // Only text before declarations, which leave no tag, can outgrow the
        // room for a full batch.
        if (texts_ == text_room_) [[unlikely]] {
            grow_texts(*ix_);
            point_at_texts();
        }
        store(text_cursors_, texts_, std::tuple{start, end});
        ++texts_;
    }

    [[gnu::always_inline]] bool full() {
        if (tags_ < max_tags_ && texts_ + 2 <= max_texts_) [[likely]]
            return false;
        // Text ranges recorded since the last tag (before declarations)
        // stay with the tag that follows them: the batch goes on.
        return texts_ == texts_before_last_tag_;
    }

    // Cuts the lists to the entries written.
    void finish() {
        for_each_list([this](auto& list) { list.resize(tags_); }, ix_->tag_lists());
        for_each_list([this](auto& list) { list.resize(texts_); }, ix_->text_lists());
    }

private:
    // Reserves exactly `count` entries on first use, as a full batch needs.
    template <class T>
    static void size_to(IndexList<T>& list, size_t count) {
        list.reserve(count);
        list.resize(count);
    }

    // Doubles the text lists (their sizes are the room to write in).
    [[gnu::cold, gnu::noinline]] static void grow_texts(StructuralIndex& ix) {
        const size_t room = ix.text_starts.size() * 2;
        for_each_list([room](auto& list) { list.resize(room); }, ix.text_lists());
    }

    void point_at_texts() {
        text_cursors_ = cursors_of(ix_->text_lists());
        text_room_ = ix_->text_starts.size();
    }

    StructuralIndex* ix_;
    size_t max_tags_;
    size_t max_texts_;
    TagCursors tag_cursors_;
    TextCursors text_cursors_;
    size_t text_room_;                  // entries the text lists hold
    size_t tags_ = 0;
    size_t texts_ = 0;
    size_t texts_before_last_tag_ = 0;  // text ranges recorded up to the last tag
};

// What a builder's walk returns, unless an error ends the build: the batch
// is full, the document is finished, or (from the quote-aware builder) the
// rest of the document is for the sequential builder, from the position
// that the quote-aware builder hands over.
enum class WalkEnd : uint8_t { BatchFull, Finished, GoSequential };
using FillResult = Result<WalkEnd, IndexBuildError>;

// Walks the document from '<' to '<', classifying the markup behind each and
// searching for its end; quoted attribute values are jumped over as the walk
// meets them.
class SequentialBuilder {
public:
    explicit SequentialBuilder(std::string_view document) : SequentialBuilder(document, 0) {}

    // Starting at the '<' at `from` (or at 0), with no text pending before
    // it.
    SequentialBuilder(std::string_view document, size_t from)
        : k_(simd::active_kernels()),
          pi_target_(k_, markup::kPiTargetStops),
          d_(document.data()),
          n_(document.size()),
          stream_(k_, d_, n_),
          p_(from),
          text_from_(from) {}

    // Indexes markup into `out` until it is full or the document ends (see
    // fill()).
    FillResult walk(BatchWriter& out);

private:
    size_t unterminated_cdata_end(size_t content);

    const simd::KernelTable& k_;
    const markup::NameScanner pi_target_;
    const char* const d_;
    const size_t n_;
    MarkupStream stream_;
    size_t cdata_open_from_ = SIZE_MAX;  // no "]]>" at or after this
    size_t last_bracket_ = SIZE_MAX;     // the last ']' of the document, once needed (n: none)
    size_t p_ = 0;                       // where the search for the next '<' starts
    size_t text_from_ = 0;               // start of the pending text
};

[[gnu::always_inline]] inline FillResult SequentialBuilder::walk(BatchWriter& out) {
    const char* const d = d_;
    const size_t n = n_;
    auto next_gt = [this](size_t from) { return stream_.next_gt(from); };
    for (;;) {
        const size_t s = stream_.next_lt(p_);
        if (s == n) return WalkEnd::Finished;
        if (out.full()) return WalkEnd::BatchFull;  // the next batch finds this '<' again
        if (text_from_ < s) out.text(text_from_, s);
        if (s == n - 1) return unclosed_tag(s);

        size_t end;
        const char next = d[s + 1];
        if (next != '!' && next != '/' && next != '?') {
            // An open or self-closing tag. The walk over its attribute part
            // jumps over quoted runs; the tag ends at the first '>' outside
            // them, self-closing when the walk passed a '/' just before it.
            bool name_at_gt = false;
            const size_t name_end = stream_.element_name_end(s + 1, name_at_gt);
            if (name_end == n) return unclosed_tag(s);
            size_t walk = name_end;  // the first byte the walk looks at
            if (name_at_gt) {
                end = name_end;  // no attributes
            } else if (d[name_end] == '/' && name_end + 1 < n && d[name_end + 1] == '>') {
                end = name_end + 1;
            } else {
                for (;;) {
                    const size_t x = stream_.next_quote_or_gt(walk);
                    if (x == n) return unclosed_tag(s);
                    const char c = d[x];
                    if (c == '>') {
                        end = x;
                        break;
                    }
                    const size_t close = stream_.next_quote(c, x + 1);
                    // An unmatched quote: the walk goes on two bytes after it.
                    walk = close == n ? x + 2 : close + 1;
                    if (walk >= n) return unclosed_tag(s);
                }
            }
            if (name_end - (s + 1) > kMaxNameLength) return name_too_long(s + 1);
            const TagKind kind = end > walk && d[end - 1] == '/' ? TagKind::SelfClosing : TagKind::Open;
            out.tag(s, end, kind, s + 1, name_end - (s + 1));
        } else if (next == '/') {
            // The name ends at a '>' or a space before it; the tag, at that
            // '>'.
            end = stream_.next_gt(s + 2);
            if (end == n) return unclosed_tag(s);
            const size_t name_end = stream_.space_before(s + 2, end);
            if (name_end - (s + 2) > kMaxNameLength) return name_too_long(s + 2);
            out.tag(s, end, TagKind::Close, s + 2, name_end - (s + 2));
        } else if (next == '?') {
            const size_t target_end = pi_target_(d, s + 2, n);
            end = markup::pi_end(next_gt, d, target_end, n);
            if (end == n) return unexpected_end(n);
            if (target_end - (s + 2) > kMaxNameLength) return name_too_long(s + 2);
            out.tag(s, end, TagKind::ProcessingInstruction, s + 2, target_end - (s + 2));
        } else if (markup::starts_comment(d, s, n)) {
            end = markup::find_double_close(next_gt, d, s + 4, n, '-');
            if (end == n) return unexpected_end(n);
            out.tag(s, end, TagKind::Comment, 0, 0);
        } else if (markup::starts_cdata(d, s, n)) {
            const size_t content = s + 9;
            end = content >= cdata_open_from_ ? n : markup::find_double_close(next_gt, d, content, n, ']');
            if (end != n) {
                if (content < end - 2) out.text(content, end - 2);
            } else {
                end = unterminated_cdata_end(content);
                if (end == n) return unexpected_end(n);
            }
            out.tag(s, end, TagKind::CData, 0, 0);
        } else if (markup::starts_doctype(d, s, n)) [[unlikely]] {
            // Skipped whole, internal subset included.
            end = markup::doctype_end(k_, d, s, n);
            if (end == n) return unterminated_doctype(s);
        } else {
            // Another declaration: skipped up to its '>'. Without one, only
            // the '<' is passed over and stays part of the pending text.
            end = stream_.next_gt(s);
            if (end == n) {
                p_ = s + 1;
                text_from_ = s;
                continue;
            }
        }
        p_ = end + 1;
        text_from_ = end + 1;
    }
}

// A CDATA section whose content starts at `content` and that no "]]>"
// follows ends just after the last ']' of the document, or just after
// "<![CDATA[" when its content has none.
[[gnu::cold, gnu::noinline]] size_t SequentialBuilder::unterminated_cdata_end(size_t content) {
    if (content < cdata_open_from_) cdata_open_from_ = content;
    if (last_bracket_ == SIZE_MAX) {
        last_bracket_ = n_;
        for (size_t i = n_; i > 0; --i) {
            if (d_[i - 1] == ']') {
                last_bracket_ = i - 1;
                break;
            }
        }
    }
    return last_bracket_ != n_ && last_bracket_ >= content ? last_bracket_ + 1 : content;
}

// Marks the '<' and '>' outside quoted attribute values in bitmaps first,
// then pairs each marked '<' with the first marked '>' after it.
class QuoteAwareBuilder {
public:
    explicit QuoteAwareBuilder(std::string_view document)
        : k_(simd::active_kernels()),
          element_name_(k_, markup::kElementNameStops),
          close_name_(k_, markup::kSpaceStops),
          pi_target_(k_, markup::kPiTargetStops),
          d_(document.data()),
          n_(document.size()),
          bitmaps_(std::make_unique_for_overwrite<uint64_t[]>(2 * bitmap_words(n_))),
          lt_(bitmaps_.get()),
          gt_(lt_ + bitmap_words(n_)) {
        if (n_ != 0) hidden_ = mark_markup(k_, d_, n_, lt_, gt_);
    }

    // Indexes markup into `out` until it is full or the document ends (see
    // fill()), or until markup that the sequential builder is to finish.
    FillResult walk(BatchWriter& out);

    // After go_sequential: the '<' from which the sequential builder goes
    // on. The text before it has been recorded.
    size_t sequential_from() const { return from_; }

private:
    const simd::KernelTable& k_;
    const markup::NameScanner element_name_;
    const markup::NameScanner close_name_;
    const markup::NameScanner pi_target_;
    const char* const d_;
    const size_t n_;
    const std::unique_ptr<uint64_t[]> bitmaps_;
    uint64_t* const lt_;
    uint64_t* const gt_;
    HiddenBytes hidden_;
    size_t from_ = 0;  // just after the previous tag; the pending text starts here
};

[[gnu::always_inline]] inline FillResult QuoteAwareBuilder::walk(BatchWriter& out) {
    const char* const d = d_;
    const size_t n = n_;
    // Inside comments, CDATA sections, processing instructions and
    // declarations every '>' is marked, so the searches for their ends can
    // use the bitmap.
    auto next_gt = [gt = gt_, n](size_t from) { return next_marked(gt, from, n); };

    // Each marked '<' after the end of the previous tag starts markup that
    // ends at or after the first marked '>' following it. A '<' inside a
    // comment, CDATA section, processing instruction or declaration lies at
    // or before that markup's end and is passed over.
    //
    // Every outcome is the sequential builder's, unterminated markup
    // included. Where that builder goes on past markup that does not end (a
    // CDATA section without "]]>", a declaration without '>'), the rest of
    // the document is handed over to it.
    for (;;) {
        const size_t s = next_marked(lt_, from_, n);
        if (s == n) return WalkEnd::Finished;
        if (out.full()) return WalkEnd::BatchFull;  // the next batch finds this '<' again
        if (from_ < s) out.text(from_, s);
        if (s == n - 1) return unclosed_tag(s);

        size_t end;
        const char next = d[s + 1];
        if (next != '!' && next != '/' && next != '?') {
            end = next_gt(s + 1);
            if (end == n) return unclosed_tag(s);
            const size_t name_end = element_name_(d, s + 1, end);
            if (name_end - (s + 1) > kMaxNameLength) return name_too_long(s + 1);
            const bool self_closing = d[end - 1] == '/' && !hidden_.contains(end - 1);
            out.tag(s, end, self_closing ? TagKind::SelfClosing : TagKind::Open, s + 1, name_end - (s + 1));
        } else if (next == '/') {
            end = next_gt(s + 2);
            if (end == n) return unclosed_tag(s);
            const size_t name_end = close_name_(d, s + 2, end);
            if (name_end - (s + 2) > kMaxNameLength) return name_too_long(s + 2);
            out.tag(s, end, TagKind::Close, s + 2, name_end - (s + 2));
        } else if (next == '?') {
            const size_t target_end = pi_target_(d, s + 2, n);
            end = markup::pi_end(next_gt, d, target_end, n);
            if (end == n) return unexpected_end(n);
            if (target_end - (s + 2) > kMaxNameLength) return name_too_long(s + 2);
            out.tag(s, end, TagKind::ProcessingInstruction, s + 2, target_end - (s + 2));
        } else if (markup::starts_comment(d, s, n)) {
            end = markup::find_double_close(next_gt, d, s + 4, n, '-');
            if (end == n) return unexpected_end(n);
            out.tag(s, end, TagKind::Comment, 0, 0);
        } else if (markup::starts_cdata(d, s, n)) {
            end = markup::find_double_close(next_gt, d, s + 9, n, ']');
            if (end == n) [[unlikely]] {
                from_ = s;
                return WalkEnd::GoSequential;
            }
            if (s + 9 < end - 2) out.text(s + 9, end - 2);
            out.tag(s, end, TagKind::CData, 0, 0);
        } else if (markup::starts_doctype(d, s, n)) [[unlikely]] {
            end = markup::doctype_end(k_, d, s, n);
            if (end == n) return unterminated_doctype(s);
        } else {
            end = next_gt(s + 1);  // a declaration, which leaves no tag
            if (end == n) [[unlikely]] {
                from_ = s;
                return WalkEnd::GoSequential;
            }
        }
        from_ = end + 1;
    }
}

// Runs a builder's walk over a copy of the writer local to this call, so
// that the writer's cursors stay in registers: nothing else can point to
// them.
template <class IndexBuilder>
[[gnu::flatten]] FillResult fill(IndexBuilder& builder, BatchWriter& out) {
    BatchWriter local = out;
    const FillResult result = builder.walk(local);
    out = local;
    return result;
}

// The lists of a whole-document index, filled a batch at a time. One tag
// entry per 128 bytes and one text range per 256 bytes of document are
// reserved up front. When a list is an eighth full, and again whenever it
// is full, its final length is predicted from the density so far, and the
// list grows to that at once (by half at least when full). A document of
// uniform shape so costs at most one reallocation, which copies few
// entries, instead of a series of doublings that each copy the list and
// fault in fresh pages.
class IndexLists {
public:
    explicit IndexLists(size_t n) : n_(n) {
        reserve_tags(n / 128);
        reserve_texts(n / 256);
        tag_review_ = first_review(ix_.tag_starts.capacity());
        text_review_ = first_review(ix_.text_starts.capacity());
    }

    void append(const StructuralIndex& batch) {
        const size_t tags = ix_.tag_starts.size() + batch.tag_count();
        if (tags > tag_review_) {
            reserve_tags(wanted(tags, batch.tag_ends.back(), ix_.tag_starts.capacity()));
            tag_review_ = ix_.tag_starts.capacity();
        }
        const size_t texts = ix_.text_starts.size() + batch.text_starts.size();
        if (texts > text_review_) {
            reserve_texts(wanted(texts, batch.text_ends.back(), ix_.text_starts.capacity()));
            text_review_ = ix_.text_starts.capacity();
        }
        ix_.append(batch);
    }

    StructuralIndex take() { return std::move(ix_); }

private:
    static size_t first_review(size_t capacity) { return capacity >= 2048 ? capacity / 8 : capacity; }

    // The capacity that `count` entries up to document offset `pos` call for
    // (never less than `count`).
    size_t wanted(size_t count, size_t pos, size_t capacity) const {
        size_t want = predicted_length(count, pos + 1, n_, n_ + 1);  // never more entries than bytes
        if (count > capacity && want < capacity + capacity / 2) want = capacity + capacity / 2;
        return want < count ? count : want;
    }

    void reserve_tags(size_t count) {
        for_each_list([count](auto& list) { list.reserve(count); }, ix_.tag_lists());
    }

    void reserve_texts(size_t count) {
        for_each_list([count](auto& list) { list.reserve(count); }, ix_.text_lists());
    }

    size_t n_;
    size_t tag_review_;   // the tag count beyond which to look at the capacity again
    size_t text_review_;  // the same for text ranges
    StructuralIndex ix_;
};

IndexResult build_whole(std::string_view document, Builder builder) {
    IndexStream stream(document, builder);
    IndexLists out(document.size());
    StructuralIndex batch;
    while (!stream.done()) {
        ARBOLITE_TRY(stream.next(batch));
        out.append(batch);
    }
    return out.take();
}

}  // namespace

void StructuralIndex::append(const StructuralIndex& batch) {
    for_each_list([](auto& to, const auto& from) { to.insert(to.end(), from.begin(), from.end()); }, lists(),
                  batch.lists());
}

BuilderChoice choose_builder_and_bound(std::string_view document) {
    constexpr size_t sample = 4096;
    const size_t n = document.size() < sample ? document.size() : sample;
    if (n == 0) return {Builder::Sequential, 0};
    const simd::KernelTable& k = simd::active_kernels();
    const char* d = document.data();
    const size_t lt = k.count_byte(d, d + n, '<');
    const size_t dq = k.count_byte(d, d + n, '"');
    const double ratio = static_cast<double>(dq < 1 ? 1 : dq) / static_cast<double>(lt < 1 ? 1 : lt);
    return {ratio > 5.0 ? Builder::QuoteAware : Builder::Sequential, document.size() <= sample ? lt : SIZE_MAX};
}

Builder choose_builder(std::string_view document) { return choose_builder_and_bound(document).builder; }

struct IndexStream::State {
    State(std::string_view document, Builder builder, size_t max_tags)
        : builders(start(document, builder)), document(document), max_tags(max_tags) {}

    static std::variant<SequentialBuilder, QuoteAwareBuilder> start(std::string_view document, Builder builder) {
        if (builder == Builder::QuoteAware)
            return std::variant<SequentialBuilder, QuoteAwareBuilder>(std::in_place_type<QuoteAwareBuilder>,
                                                                         document);
        return std::variant<SequentialBuilder, QuoteAwareBuilder>(std::in_place_type<SequentialBuilder>,
                                                                     document);
    }

    // Fills `out` with the active builder; a quote-aware builder that hands
    // over is replaced by a sequential one, which goes on with the same
    // batch.
    FillResult fill_batch(BatchWriter& out) {
        FillResult filled = std::visit([&out](auto& builder) { return fill(builder, out); }, builders);
        if (filled.ok() && filled.value() == WalkEnd::GoSequential) [[unlikely]]
            filled = go_sequential(out);
        return filled;
    }

    [[gnu::cold, gnu::noinline]] FillResult go_sequential(BatchWriter& out) {
        const size_t from = std::get<QuoteAwareBuilder>(builders).sequential_from();
        return fill(builders.emplace<SequentialBuilder>(document, from), out);
    }

    std::variant<SequentialBuilder, QuoteAwareBuilder> builders;
    std::string_view document;
    size_t max_tags;
};

IndexStream::IndexStream(std::string_view document) : IndexStream(document, choose_builder(document)) {}

IndexStream::IndexStream(std::string_view document, Builder builder)
    : IndexStream(document, builder, kBatchTags) {}

IndexStream::IndexStream(std::string_view document, Builder builder, size_t max_tags)
    : state_(std::make_unique<State>(document, builder, max_tags < 1 ? 1 : max_tags)) {}

IndexStream::IndexStream(IndexStream&&) noexcept = default;
IndexStream& IndexStream::operator=(IndexStream&&) noexcept = default;
IndexStream::~IndexStream() = default;

// The builder's state is released as soon as the document is finished.
bool IndexStream::done() const { return state_ == nullptr; }

Status<IndexBuildError> IndexStream::next(StructuralIndex& batch) {
    if (!state_) {
        for_each_list([](auto& list) { list.clear(); }, batch.lists());
        return Ok{};
    }
    BatchWriter out(batch, state_->max_tags);
    FillResult filled = state_->fill_batch(out);
    out.finish();
    if (!filled.ok()) {
        state_.reset();
        return fail(filled.error());
    }
    if (filled.value() == WalkEnd::Finished) state_.reset();
    return Ok{};
}

IndexResult build_index_sequential(std::string_view document) { return build_whole(document, Builder::Sequential); }

IndexResult build_index_quote_aware(std::string_view document) { return build_whole(document, Builder::QuoteAware); }

IndexResult build_index(std::string_view document) { return build_whole(document, choose_builder(document)); }

}  // namespace arbolite::index
