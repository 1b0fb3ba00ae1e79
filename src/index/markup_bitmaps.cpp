#include "index/markup_bitmaps.hpp"

#include "index/markup_ends.hpp"

namespace arbolite::index {
namespace {

using simd::BlockMasks;
using simd::kBlockSize;

// Bits 0..i of a word (i in 0..63).
inline uint64_t up_to(unsigned i) { return (uint64_t{2} << i) - 1; }
// Bits i..63.
inline uint64_t from_bit(unsigned i) { return ~uint64_t{0} << i; }
// Bit i set where an odd number of bits of x are set at or below i.
inline uint64_t prefix_xor(uint64_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    x ^= x << 32;
    return x;
}
// Bits 0..i-1 (i in 0..63).
inline uint64_t up_to_excluding(size_t i) { return (uint64_t{1} << i) - 1; }

// Walks the blocks in order. Where a block holds quotes, each quote is
// checked against the markup around it: the context (text, inside markup
// where quotes are ordinary, or inside an open tag) is carried forward
// lazily from the last quote, using the '<' and '>' already marked before
// the quote, which are final by then.
class Marker {
public:
    Marker(const simd::KernelTable& k, const char* d, size_t n, uint64_t* lt, uint64_t* gt)
        : k_(k), d_(d), n_(n), lt_(lt), gt_(gt), element_name_(k, markup::kElementNameStops) {}

    void run() {
        constexpr size_t batch = 16;
        BlockMasks masks[batch];
        const size_t full = n_ / kBlockSize;
        const size_t words = bitmap_words(n_);
        for (size_t w = 0; w < words; w += batch) {
            size_t count = words - w < batch ? words - w : batch;
            size_t whole = w + count <= full ? count : full - w;
            k_.classify_blocks(d_ + w * kBlockSize, whole, masks);
            if (whole < count) masks[whole] = simd::classify_partial_block(k_, d_ + full * kBlockSize, n_ % kBlockSize);
            for (size_t i = 0; i < count; ++i) mark_block(w + i, masks[i]);
        }
    }

private:
    enum class Context : uint8_t {
        Text,   // outside markup
        Inert,  // inside markup where quotes mean nothing, up to inert_end_
        InTag,  // inside an open or self-closing tag
    };

    void mark_block(size_t b, const BlockMasks& m) {
        lt_[b] = m.lt;
        gt_[b] = m.gt;
        uint64_t quotes = m.dq | m.sq;
        const size_t base = b * kBlockSize;
        if (hidden_ == base) {
            // The byte after an unmatched quote at the end of the last block.
            lt_[b] &= ~uint64_t{1};
            gt_[b] &= ~uint64_t{1};
            quotes &= ~uint64_t{1};
            hidden_ = SIZE_MAX;
        }
        if (run_ == 0 && quotes == 0) return;
        if (run_ != 0) {
            const uint64_t closing = run_ == '"' ? m.dq : m.sq;
            if (closing == 0) {
                lt_[b] = gt_[b] = 0;
                return;
            }
            const unsigned c = static_cast<unsigned>(__builtin_ctzll(closing));
            lt_[b] &= ~up_to(c);
            gt_[b] &= ~up_to(c);
            quotes &= ~up_to(c);
            run_ = 0;
            context_pos_ = base + c + 1;
        }
        while (quotes) {
            const unsigned q = static_cast<unsigned>(__builtin_ctzll(quotes));
            const size_t pos = base + q;
            if (!opens_run_in_block(b, pos) && !opens_run(pos)) {
                quotes &= quotes - 1;
                continue;
            }
            const char quote = d_[pos];
            const uint64_t own = quote == '"' ? m.dq : m.sq;
            const uint64_t other = quote == '"' ? m.sq : m.dq;
            // The rest of the tag within this block at once: when its
            // attributes all use this quote, the runs are where the count of
            // these quotes so far is odd, and the tag ends at the first '>'
            // outside them.
            const uint64_t runs = prefix_xor(own & from_bit(q));
            const uint64_t ends = gt_[b] & from_bit(q) & ~runs;
            const unsigned g = ends ? static_cast<unsigned>(__builtin_ctzll(ends)) : 64;
            const uint64_t tag = g == 64 ? from_bit(q) : from_bit(q) & ~from_bit(g);
            const bool last_run_closes = g != 64 || !(runs >> 63) || closes_later(quote, base + kBlockSize);
            if ((other & tag & ~runs) == 0 && last_run_closes) {
                lt_[b] &= ~(runs & tag);
                gt_[b] &= ~(runs & tag);
                if (g == 64) {
                    // The tag goes on in the next block, maybe inside a run.
                    if (runs >> 63) run_ = quote;
                    context_pos_ = base + kBlockSize;
                    return;
                }
                quotes &= ~up_to(g);
                context_ = Context::Text;
                context_pos_ = base + g + 1;
                continue;
            }
            const uint64_t same = own & ~up_to(q);
            if (same) {
                const unsigned c = static_cast<unsigned>(__builtin_ctzll(same));
                const uint64_t inside = up_to(c) & from_bit(q);
                lt_[b] &= ~inside;
                gt_[b] &= ~inside;
                quotes &= ~up_to(c);
                context_pos_ = base + c + 1;
            } else if (closes_later(quote, base + kBlockSize)) {
                lt_[b] &= ~from_bit(q);
                gt_[b] &= ~from_bit(q);
                run_ = quote;
                return;
            } else {
                // No quote of this kind follows anywhere: the scan of the tag
                // passes over the byte after this one and goes on after it.
                hidden_bytes_.at[quote == '"' ? 0 : 1] = pos + 1;
                if (q < 63) {
                    lt_[b] &= ~(uint64_t{1} << (q + 1));
                    gt_[b] &= ~(uint64_t{1} << (q + 1));
                    quotes &= ~up_to(q + 1);
                } else {
                    hidden_ = pos + 1;
                    quotes = 0;
                }
                context_pos_ = pos + 2;
            }
        }
    }

public:
    HiddenBytes hidden() const { return hidden_bytes_; }

private:
    // Whether a `quote` lies anywhere at or after `from`. Once a kind of
    // quote is known to be absent from some point on, that is remembered, so
    // the search to the end happens at most once per kind.
    bool closes_later(char quote, size_t from) {
        size_t& absent_from = quote == '"' ? no_dq_from_ : no_sq_from_;
        if (from >= absent_from || from >= n_) return false;
        const char* found = k_.find_byte(d_ + from, d_ + n_, quote);
        if (found != d_ + n_) return true;
        absent_from = from;
        return false;
    }

    // The common case of the next attribute of the same tag: inside a tag,
    // with the context known up to a byte of the quote's block after the
    // name, and no '>' since. True when the quote opens a run; false says
    // nothing.
    bool opens_run_in_block(size_t b, size_t pos) {
        const size_t base = b * kBlockSize;
        if (context_ != Context::InTag || context_pos_ < base || context_pos_ < name_end_) return false;
        const uint64_t between = ~up_to_excluding(context_pos_ - base) & up_to_excluding(pos - base);
        if (gt_[b] & between) return false;
        context_pos_ = pos;
        return true;
    }

    // Whether the quote at `pos` opens a quoted run: true when it lies in the
    // attribute part of an open or self-closing tag. Moves the context up to
    // `pos`.
    bool opens_run(size_t pos) {
        for (;;) {
            switch (context_) {
                case Context::Inert:
                    if (pos <= inert_end_) return false;
                    context_ = Context::Text;
                    context_pos_ = inert_end_ + 1;
                    break;
                case Context::Text: {
                    const size_t s = next_marked(lt_, context_pos_, pos);
                    if (s == pos) {
                        context_pos_ = pos;
                        return false;
                    }
                    enter_markup(s);
                    break;
                }
                case Context::InTag: {
                    if (pos < name_end_) return false;
                    const size_t from = context_pos_ > name_end_ ? context_pos_ : name_end_;
                    const size_t g = next_marked(gt_, from, pos);
                    if (g == pos) {
                        context_pos_ = pos;
                        return true;
                    }
                    context_ = Context::Text;
                    context_pos_ = g + 1;
                    break;
                }
            }
        }
    }

    // Sets the context for the markup that starts with the '<' at `s`,
    // which has at least one byte after it.
    void enter_markup(size_t s) {
        // The bitmaps are not final beyond the current quote: search the
        // bytes, which inside inert markup is the same.
        const markup::ByteSearchGt next_gt{k_, d_, n_};
        const char next = d_[s + 1];
        context_ = Context::Inert;
        if (next == '!') {
            if (markup::starts_comment(d_, s, n_))
                inert_end_ = markup::find_double_close(next_gt, d_, s + 4, n_, '-');
            else if (markup::starts_cdata(d_, s, n_))
                inert_end_ = markup::find_double_close(next_gt, d_, s + 9, n_, ']');
            else if (markup::starts_doctype(d_, s, n_))
                inert_end_ = markup::doctype_end(k_, d_, s, n_);
            else
                inert_end_ = next_gt(s + 1);
        } else if (next == '/') {
            inert_end_ = next_gt(s + 1);
        } else if (next == '?') {
            const size_t target_end = markup::NameScanner(k_, markup::kPiTargetStops)(d_, s + 2, n_);
            inert_end_ = markup::pi_end(next_gt, d_, target_end, n_);
        } else {
            context_ = Context::InTag;
            name_end_ = element_name_(d_, s + 1, n_);
            context_pos_ = s + 1;
        }
    }

    const simd::KernelTable& k_;
    const char* d_;
    size_t n_;
    uint64_t* lt_;
    uint64_t* gt_;
    markup::NameScanner element_name_;

    char run_ = 0;  // the quote of the open run, 0 when none
    Context context_ = Context::Text;
    size_t context_pos_ = 0;  // the context is known for the bytes before this
    size_t inert_end_ = 0;    // last byte of the inert markup
    size_t name_end_ = 0;     // first byte after the element name (in_tag)
    size_t hidden_ = SIZE_MAX;      // a byte to leave unmarked at the start of the next block
    HiddenBytes hidden_bytes_;
    size_t no_dq_from_ = SIZE_MAX;  // no '"' at or after this offset
    size_t no_sq_from_ = SIZE_MAX;  // no '\'' at or after this offset
};

}  // namespace

HiddenBytes mark_markup(const simd::KernelTable& kernels, const char* d, size_t n, uint64_t* lt,
                        uint64_t* gt) noexcept {
    Marker m(kernels, d, n, lt, gt);
    m.run();
    return m.hidden();
}

}  // namespace arbolite::index
