// The structural index: where every tag of a document starts and ends, its
// kind and name, and the runs of text between tags. Built in one forward pass
// over the document, either whole or a batch of tags at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/result.hpp"

namespace arbolite::index {

enum class TagKind : uint8_t {
    Open = 0,                   // <name ...>
    Close = 1,                  // </name ...>
    SelfClosing = 2,            // <name .../>
    Comment = 3,                // <!-- ... -->
    CData = 4,                  // <![CDATA[ ... ]]>
    ProcessingInstruction = 5,  // <?target ...?>, the XML declaration included
};

// The allocator of the index lists: an entry that a list grows by without
// a value (resize) is left as it is instead of being zeroed. The builders
// size a batch's lists for a full batch and then write every entry they
// keep, so zeroing them first would be a pass over tens of kilobytes per
// read, paid in full by a document of a few tags.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
    static_assert(std::is_trivially_default_constructible_v<T>);
    template <class U>
    struct rebind {
        using other = UninitializedAllocator<U>;
    };
    UninitializedAllocator() noexcept = default;
    template <class U>
    UninitializedAllocator(const UninitializedAllocator<U>&) noexcept {}

    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

template <class T>
using IndexList = std::vector<T, UninitializedAllocator<T>>;

struct StructuralIndex {
    // One entry per tag, in document order; all five lists have equal length.
    IndexList<uint64_t> tag_starts;    // offset of the tag's '<'
    IndexList<uint64_t> tag_ends;      // offset of the tag's final '>'
    IndexList<TagKind> tag_kinds;
    IndexList<uint64_t> name_offsets;  // 0 for comments and CDATA sections
    IndexList<uint32_t> name_lengths;  // 0 for comments and CDATA sections
    // Runs of bytes between markup, [start, end), in document order.
    IndexList<uint64_t> text_starts;
    IndexList<uint64_t> text_ends;

    // The lists as tuples of references, in the order above: the lists of
    // tags, those of text ranges, and all of them. The only place besides
    // the declarations that names every list, for the code that treats
    // each list alike (see for_each_list): a list added above is added here.
    template <class Self>
    static auto tag_lists_of(Self& ix) {
        return std::tie(ix.tag_starts, ix.tag_ends, ix.tag_kinds, ix.name_offsets, ix.name_lengths);
    }
    template <class Self>
    static auto text_lists_of(Self& ix) {
        return std::tie(ix.text_starts, ix.text_ends);
    }
    auto tag_lists() { return tag_lists_of(*this); }
    auto tag_lists() const { return tag_lists_of(*this); }
    auto text_lists() { return text_lists_of(*this); }
    auto text_lists() const { return text_lists_of(*this); }
    auto lists() { return std::tuple_cat(tag_lists(), text_lists()); }
    auto lists() const { return std::tuple_cat(tag_lists(), text_lists()); }

    size_t tag_count() const { return tag_starts.size(); }

    // Appends the entries of `batch`, which follows this index in the
    // document.
    void append(const StructuralIndex& batch);
};

// Every list of StructuralIndex is one of lists(): a list declared without
// being added there makes the index larger than its lists.
static_assert(sizeof(StructuralIndex) ==
              std::tuple_size_v<decltype(std::declval<StructuralIndex&>().lists())> * sizeof(IndexList<uint64_t>));

// Calls f(list, other...) once for each place of the tuple `lists`, with
// the elements at that place of `lists` and of each of `others`: tuples of
// the same length, such as those of StructuralIndex::tag_lists() (of this
// index or another), or of values, one for each list.
template <class F, class Lists, class... Others>
inline void for_each_list(F&& f, Lists&& lists, Others&&... others) {
    constexpr size_t count = std::tuple_size_v<std::remove_cvref_t<Lists>>;
    static_assert(((std::tuple_size_v<std::remove_cvref_t<Others>> == count) && ...));
    auto at = [&]<size_t I>(std::integral_constant<size_t, I>) { f(std::get<I>(lists), std::get<I>(others)...); };
    [&]<size_t... I>(std::index_sequence<I...>) { (at(std::integral_constant<size_t, I>{}), ...); }(
        std::make_index_sequence<count>{});
}

struct IndexBuildError {
    enum class Kind : uint8_t {
        UnclosedTag,    // "Unclosed tag at byte {offset}"
        UnexpectedEnd,  // the build ran off the end inside unguarded markup
        NameTooLong,    // a name of 2^32 bytes or more, starting at `offset`
        UnterminatedDoctype,  // a document type declaration at `offset` that does not end
        Interrupted,    // an interrupt hook stopped the wait for a batch
    };
    Kind kind;
    uint64_t offset;
};

using IndexResult = Result<StructuralIndex, IndexBuildError>;

enum class Builder : uint8_t { Sequential, QuoteAware };

// Picks the builder from the first 4096 bytes: quote-aware when double
// quotes outnumber '<' more than five to one. The choice is one of speed
// only: the two builders give the same index, or the same error, for every
// document.
Builder choose_builder(std::string_view document);

// choose_builder's choice, and what its look at the first 4096 bytes says
// about the size of the index: the number of '<' there, which bounds the
// tag count of a document no longer than that (SIZE_MAX for a longer one).
struct BuilderChoice {
    Builder builder;
    size_t max_tags;
};
BuilderChoice choose_builder_and_bound(std::string_view document);

// Produces the index of a document in batches, in document order, so that
// the consumer can reuse one small StructuralIndex for the whole document.
//
// Concatenating the batches gives exactly the whole-document index, or the
// same error. A batch ends only just after a tag, so every text range is in
// the batch of the tag that follows it (the text before a tag, and a CDATA
// section's content, travel with that tag); only text after the last tag of
// the document may end up in a batch of its own.
//
// The document must outlive the stream.
class IndexStream {
public:
    // The number of tags a batch holds at most. A full batch takes about
    // 24 KB, so that it stays in the first-level cache beside the consumer's
    // own data; larger batches are no faster.
    static constexpr size_t kBatchTags = 512;

    explicit IndexStream(std::string_view document);  // the builder of choose_builder
    IndexStream(std::string_view document, Builder builder);
    // With batches of at most `max_tags` (>= 1) tags, for tests and
    // benchmarks.
    IndexStream(std::string_view document, Builder builder, size_t max_tags);

    IndexStream(IndexStream&&) noexcept;
    IndexStream& operator=(IndexStream&&) noexcept;
    IndexStream(const IndexStream&) = delete;
    IndexStream& operator=(const IndexStream&) = delete;
    ~IndexStream();

    // True once next() has reached the end of the document or returned an
    // error. A stream yields at least one batch; the last may be empty (when
    // the one before it ended at the document's last tag).
    bool done() const;

    // Replaces the contents of `batch` (its capacity is kept) with the next
    // tags and text ranges. The lists are reserved for a full batch on first
    // use and do not grow beyond that, except for text ranges in a long run
    // of declarations (which leave text but no tag). On failure returns the
    // error of the whole-document build, and done() becomes true; after
    // done(), returns an empty batch.
    Status<IndexBuildError> next(StructuralIndex& batch);

    // The text ranges a batch has room for: one before each tag, and two
    // more, so that a CDATA section's content and the text before it always
    // fit beside those of the tags before it.
    static size_t text_capacity(size_t max_tags) { return max_tags + 2; }

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The whole index at once, by draining an IndexStream.
IndexResult build_index_sequential(std::string_view document);
IndexResult build_index_quote_aware(std::string_view document);

// choose_builder, then that builder.
IndexResult build_index(std::string_view document);

}  // namespace arbolite::index
