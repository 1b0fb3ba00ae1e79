#include "common/attr_map.hpp"

#include <algorithm>
#include <bit>
#include <new>

#include "common/attr_map_testing.hpp"
#include "common/copy.hpp"

namespace arbolite {

struct AttrMap::SmallHeader {
    Header head;
    uint32_t bytes_used;      // end of the last string written into the byte area
    uint32_t bytes_capacity;  // size of the byte area
    uint64_t order;           // random bits that place each new record, drawn with the second
};

struct AttrMap::TableHeader {
    Header head;
    SipKey key;
    size_t bytes_used;
    size_t bytes_capacity;
};

// Where the byte area of a small block starts.
struct AttrMap::SmallLayout {
    size_t bytes_at;

    explicit SmallLayout(size_t entry_capacity) noexcept
        : bytes_at(sizeof(SmallHeader) + entry_capacity * sizeof(SmallRecord)) {}
};

// Where the parts of a hashed block lie, all fixed by its entry capacity:
// the slot table has room for that many entries at a load of at most 3/4,
// and its slots are just wide enough to hold 1 + the largest record index.
struct AttrMap::Layout {
    size_t slot_count;
    unsigned width;
    size_t slots_at;  // offsets from the start of the block
    size_t bytes_at;

    explicit Layout(size_t entry_capacity) noexcept {
        size_t wanted = entry_capacity + (entry_capacity + 2) / 3;  // above 4/3: a slot always stays empty
        slot_count = std::max<size_t>(4, std::bit_ceil(wanted));
        width = entry_capacity <= 0xFF ? 1 : entry_capacity <= 0xFFFF ? 2 : 4;
        slots_at = sizeof(TableHeader) + entry_capacity * sizeof(TableRecord);
        bytes_at = slots_at + slot_count * width;
    }
};

// The outcome of looking a name up in a hashed map: the slot that holds it
// and its record, or (record == kAbsent) the empty slot where it would go.
struct AttrMap::Probe {
    size_t slot;
    size_t record;
};

namespace {

constexpr size_t kAbsent = SIZE_MAX;
// Slots store 1 + a record index in at most 32 bits.
constexpr size_t kMaxEntries = UINT32_MAX;
// Entry capacity of a map whose first insertion found no block.
constexpr size_t kFirstEntries = 3;
// No block is larger: sizes beyond it cannot be allocated on any machine,
// and refusing them here keeps every size computation below from wrapping.
constexpr size_t kMaxBlock = PTRDIFF_MAX;
// Small records hold 32-bit offsets and sizes into the byte area.
constexpr size_t kSmallMaxBytes = UINT32_MAX;

// Every small map draws a place for each of its entries from 4 bits of its
// order word.
static_assert(AttrMap::kSmallMax <= 16 && AttrMap::kSmallMax >= kFirstEntries);

[[noreturn, gnu::cold, gnu::noinline]] void too_large() { throw std::bad_alloc(); }

inline size_t checked_add(size_t a, size_t b) {
    size_t sum;
    if (__builtin_add_overflow(a, b, &sum)) too_large();
    return sum;
}

inline void store_slot(unsigned char* slots, unsigned width, size_t i, size_t v) noexcept {
    if (width == 1) {
        slots[i] = static_cast<unsigned char>(v);
    } else if (width == 2) {
        auto w = static_cast<uint16_t>(v);
        std::memcpy(slots + 2 * i, &w, 2);
    } else {
        auto w = static_cast<uint32_t>(v);
        std::memcpy(slots + 4 * i, &w, 4);
    }
}

// Byte-area size for a map that will hold `live` bytes in `entries`
// entries, with `spare` more entries reserved: room for those at the
// average size so far and at least half again the present bytes, so a map
// filled one entry at a time copies each byte a bounded number of times on
// average. The slack never exceeds `live` (or 64 bytes for tiny maps), so
// one huge value does not reserve several times its size.
size_t grown_bytes(size_t live, size_t entries, size_t spare) noexcept {
    size_t projected;
    if (__builtin_mul_overflow(live / entries + 1, spare, &projected)) projected = SIZE_MAX;
    size_t slack = std::min(std::max(live / 2, projected), std::max<size_t>(live, 64));
    size_t total;
    if (__builtin_add_overflow(live, slack, &total) || total > kMaxBlock) return live;
    return total;
}

// The order word of a new small map: a SipHash value under a fresh map key,
// so the order of the map's entries tells nothing of the thread's keys.
uint64_t fresh_order() noexcept {
    const unsigned char none = 0;
    return siphash13(next_map_key(), &none, 0);
}

// The place among records 0..i that the map's entry number i takes (an
// insertion-time shuffle: the record there moves to the end).
inline uint32_t place_of(uint64_t order, uint32_t i) noexcept {
    const uint64_t draw = (order >> (4 * i)) & 15;
    return static_cast<uint32_t>((draw * (i + 1)) >> 4);
}

// A record's strings as views into the byte area.
template <class Record>
inline std::string_view name_of(const char* bytes, const Record& r) noexcept {
    return {bytes + r.offset, r.name_size};
}
template <class Record>
inline std::string_view value_of(const char* bytes, const Record& r) noexcept {
    return {bytes + r.offset + r.name_size, r.value_size};
}

// Gives record `r` the value `value` (which may lie in the byte area)
// without leaving the block: a value no longer than the present one
// overwrites it; a longer one is written after the last string, together
// with a copy of the name, when there is room. False when there is none.
template <class Head, class Record>
bool replace_in_block(Head* h, Record& r, char* bytes, std::string_view value) noexcept {
    if (value.size() <= r.value_size) {
        if (!value.empty()) std::memmove(bytes + r.offset + r.name_size, value.data(), value.size());
        r.value_size = static_cast<decltype(r.value_size)>(value.size());
        return true;
    }
    const size_t spare = h->bytes_capacity - h->bytes_used;
    if (value.size() > spare || r.name_size > spare - value.size()) return false;
    // The free part of the byte area overlaps neither the name nor the
    // value, wherever the value comes from.
    char* to = bytes + h->bytes_used;
    copy_bytes(to, bytes + r.offset, r.name_size);
    copy_bytes(to + r.name_size, value.data(), value.size());
    r.offset = h->bytes_used;
    r.value_size = static_cast<decltype(r.value_size)>(value.size());
    h->bytes_used += static_cast<decltype(h->bytes_used)>(r.name_size + value.size());
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Blocks

AttrMap::SmallHeader* AttrMap::small_header() const noexcept { return reinterpret_cast<SmallHeader*>(block_); }
AttrMap::TableHeader* AttrMap::table_header() const noexcept { return reinterpret_cast<TableHeader*>(block_); }

// A new block without entries, small when the capacities allow it. A small
// block takes the order word of `from` when that is small too (otherwise it
// is drawn once the map has an entry), a hashed one its key when that is
// hashed (otherwise it is drawn now).
AttrMap::Header* AttrMap::allocate(size_t entry_capacity, size_t byte_capacity, const Header* from) {
    static_assert(sizeof(SmallHeader) == 24 && sizeof(SmallRecord) == 12);
    static_assert(sizeof(void*) != 8 || (sizeof(TableHeader) == 40 && sizeof(TableRecord) == 24));
    static_assert(sizeof(SmallHeader) % alignof(SmallRecord) == 0 && sizeof(TableHeader) % alignof(TableRecord) == 0);
    static_assert(sizeof(TableRecord) % 4 == 0);
    if (entry_capacity > kMaxEntries || byte_capacity > kMaxBlock) too_large();
    const bool from_small = from && from->entry_capacity <= kSmallMax;
    if (entry_capacity <= kSmallMax && byte_capacity <= kSmallMaxBytes) {
        const size_t total = SmallLayout(entry_capacity).bytes_at + byte_capacity;
        const uint64_t order = from_small ? reinterpret_cast<const SmallHeader*>(from)->order : 0;
        auto* block = new (::operator new(total))
            SmallHeader{{0, static_cast<uint32_t>(entry_capacity)}, 0, static_cast<uint32_t>(byte_capacity), order};
        return &block->head;
    }
    entry_capacity = std::max(entry_capacity, kSmallMax + 1);
    const Layout layout(entry_capacity);
    const size_t total = checked_add(layout.bytes_at, byte_capacity);
    if (total > kMaxBlock) too_large();
    const SipKey key = from && !from_small ? reinterpret_cast<const TableHeader*>(from)->key : next_map_key();
    auto* block = new (::operator new(total))
        TableHeader{{0, static_cast<uint32_t>(entry_capacity)}, key, 0, byte_capacity};
    std::memset(reinterpret_cast<unsigned char*>(block) + layout.slots_at, 0, layout.slot_count * layout.width);
    return &block->head;
}

// A new block with the given capacities (which must hold every present
// entry) and the same entries, in the same record order; the strings are
// packed, dropping bytes that replaced values left behind. Record
// `replaced`, unless it is kAbsent, gets `new_value` instead of its own. A
// small map stays small while the capacities allow it and keeps its order
// word; a hashed one keeps its key. With an unchanged entry capacity the
// slot table is copied as it is, so every entry keeps its slot; otherwise
// the entries are placed afresh in record order.
AttrMap::Header* AttrMap::rebuilt(size_t entry_capacity, size_t byte_capacity, size_t replaced,
                                  std::string_view new_value) const {
    const Header* from = block_;
    Header* to = allocate(entry_capacity, byte_capacity, from);
    const bool from_small = small();
    const bool to_small = to->entry_capacity <= kSmallMax;

    const auto* old_base = reinterpret_cast<const char*>(from);
    const auto* old_small = reinterpret_cast<const SmallRecord*>(old_base + sizeof(SmallHeader));
    const auto* old_table = reinterpret_cast<const TableRecord*>(old_base + sizeof(TableHeader));
    const char* old_bytes = old_base + (from_small ? SmallLayout(from->entry_capacity).bytes_at
                                                   : Layout(from->entry_capacity).bytes_at);
    auto* base = reinterpret_cast<char*>(to);
    auto* small_records = reinterpret_cast<SmallRecord*>(base + sizeof(SmallHeader));
    auto* table_records = reinterpret_cast<TableRecord*>(base + sizeof(TableHeader));
    const Layout layout(to_small ? 0 : to->entry_capacity);
    char* bytes = base + (to_small ? SmallLayout(to->entry_capacity).bytes_at : layout.bytes_at);

    size_t used = 0;
    for (size_t i = 0; i < from->size; ++i) {
        std::string_view name, value;
        if (from_small) {
            name = name_of(old_bytes, old_small[i]);
            value = value_of(old_bytes, old_small[i]);
        } else {
            name = name_of(old_bytes, old_table[i]);
            value = value_of(old_bytes, old_table[i]);
        }
        if (i == replaced) value = new_value;
        copy_bytes(bytes + used, name.data(), name.size());
        copy_bytes(bytes + used + name.size(), value.data(), value.size());
        if (to_small) {
            small_records[i] = SmallRecord{static_cast<uint32_t>(used), static_cast<uint32_t>(name.size()),
                                           static_cast<uint32_t>(value.size())};
        } else {
            table_records[i] = TableRecord{used, name.size(), value.size()};
        }
        used += name.size() + value.size();
    }
    to->size = from->size;

    if (to_small) {
        reinterpret_cast<SmallHeader*>(to)->bytes_used = static_cast<uint32_t>(used);
        return to;
    }
    auto* head = reinterpret_cast<TableHeader*>(to);
    head->bytes_used = used;
    auto* slots = reinterpret_cast<unsigned char*>(base + layout.slots_at);
    if (!from_small && to->entry_capacity == from->entry_capacity) {
        std::memcpy(slots, old_base + layout.slots_at, layout.slot_count * layout.width);
    } else {
        const size_t mask = layout.slot_count - 1;
        for (size_t i = 0; i < to->size; ++i) {
            const TableRecord& r = table_records[i];
            size_t s = siphash13(head->key, bytes + r.offset, r.name_size) & mask;
            while (load_slot(slots, layout.width, s) != 0) s = (s + 1) & mask;
            store_slot(slots, layout.width, s, i + 1);
        }
    }
    return to;
}

size_t AttrMap::used_bytes() const noexcept {
    return small() ? small_header()->bytes_used : table_header()->bytes_used;
}

size_t AttrMap::spare_bytes() const noexcept {
    if (small()) return small_header()->bytes_capacity - small_header()->bytes_used;
    return table_header()->bytes_capacity - table_header()->bytes_used;
}

size_t AttrMap::live_bytes() const noexcept {
    size_t live = 0;
    if (small()) {
        const auto* records = reinterpret_cast<const SmallRecord*>(small_header() + 1);
        for (size_t i = 0; i < block_->size; ++i) live += size_t{records[i].name_size} + records[i].value_size;
    } else {
        const auto* records = reinterpret_cast<const TableRecord*>(table_header() + 1);
        for (size_t i = 0; i < block_->size; ++i) live += records[i].name_size + records[i].value_size;
    }
    return live;
}

// ---------------------------------------------------------------------------
// Copy, move

AttrMap::AttrMap(const AttrMap& other) {
    // An empty map has no order to keep, so its copy owns nothing.
    if (!other.block_ || other.block_->size == 0) return;
    // The whole block up to the last string byte in one piece; the copy has
    // no spare string bytes.
    const size_t cap = other.block_->entry_capacity;
    const size_t length =
        (other.small() ? SmallLayout(cap).bytes_at : Layout(cap).bytes_at) + other.used_bytes();
    void* raw = ::operator new(length);
    std::memcpy(raw, other.block_, length);
    block_ = static_cast<Header*>(raw);
    if (small())
        small_header()->bytes_capacity = small_header()->bytes_used;
    else
        table_header()->bytes_capacity = table_header()->bytes_used;
}

AttrMap& AttrMap::operator=(const AttrMap& other) {
    if (this != &other) *this = AttrMap(other);
    return *this;
}

AttrMap& AttrMap::operator=(AttrMap&& other) noexcept {
    if (this != &other) {
        ::operator delete(block_);
        block_ = other.block_;
        other.block_ = nullptr;
    }
    return *this;
}

// ---------------------------------------------------------------------------
// Queries

size_t AttrMap::capacity() const noexcept {
    if (!block_) return 0;
    return small() ? block_->entry_capacity : Layout(block_->entry_capacity).slot_count;
}

SipKey AttrMapTesting::hash_key(const AttrMap& map) noexcept {
    return map.hashed() ? map.table_header()->key : SipKey{};
}

size_t AttrMap::allocated_bytes() const noexcept {
    if (!block_) return 0;
    if (small()) return SmallLayout(block_->entry_capacity).bytes_at + small_header()->bytes_capacity;
    return Layout(block_->entry_capacity).bytes_at + table_header()->bytes_capacity;
}

uint64_t AttrMap::hash_of(std::string_view name) const noexcept {
    return siphash13(table_header()->key, name.data(), name.size());
}

// The record of a small map that holds `name`, or kAbsent.
[[gnu::always_inline]] inline size_t AttrMap::small_find(std::string_view name) const noexcept {
    const SmallHeader* h = small_header();
    const auto* records = reinterpret_cast<const SmallRecord*>(h + 1);
    const char* bytes = reinterpret_cast<const char*>(records + h->head.entry_capacity);
    for (uint32_t i = 0, n = h->head.size; i < n; ++i) {
        if (records[i].name_size == name.size() && same_bytes(bytes + records[i].offset, name.data(), name.size())) return i;
    }
    return kAbsent;
}

AttrMap::Probe AttrMap::probe(std::string_view name, uint64_t hash) const noexcept {
    const Layout layout(block_->entry_capacity);
    const auto* base = reinterpret_cast<const char*>(block_);
    const auto* records = reinterpret_cast<const TableRecord*>(table_header() + 1);
    const auto* slots = reinterpret_cast<const unsigned char*>(base + layout.slots_at);
    const char* bytes = base + layout.bytes_at;
    const size_t mask = layout.slot_count - 1;
    for (size_t s = hash & mask;; s = (s + 1) & mask) {
        size_t v = load_slot(slots, layout.width, s);
        if (v == 0) return {s, kAbsent};
        const TableRecord& r = records[v - 1];
        if (r.name_size == name.size() && same_bytes(bytes + r.offset, name.data(), name.size())) return {s, v - 1};
    }
}

std::optional<std::string_view> AttrMap::find(std::string_view name) const noexcept {
    if (!block_ || block_->size == 0) return std::nullopt;
    const auto* base = reinterpret_cast<const char*>(block_);
    if (small()) {
        const size_t i = small_find(name);
        if (i == kAbsent) return std::nullopt;
        const auto* r = reinterpret_cast<const SmallRecord*>(small_header() + 1) + i;
        return value_of(base + SmallLayout(block_->entry_capacity).bytes_at, *r);
    }
    const Probe p = probe(name, hash_of(name));
    if (p.record == kAbsent) return std::nullopt;
    const auto* r = reinterpret_cast<const TableRecord*>(table_header() + 1) + p.record;
    return value_of(base + Layout(block_->entry_capacity).bytes_at, *r);
}

AttrMap::const_iterator AttrMap::block_begin() const noexcept {
    const auto* base = reinterpret_cast<const char*>(block_);
    const_iterator it;
    if (small()) {
        it.records_ = small_header() + 1;
        it.bytes_ = base + SmallLayout(block_->entry_capacity).bytes_at;
        return it;
    }
    const Layout layout(block_->entry_capacity);
    it.slots_ = reinterpret_cast<const unsigned char*>(base + layout.slots_at);
    it.records_ = table_header() + 1;
    it.bytes_ = base + layout.bytes_at;
    it.count_ = layout.slot_count;
    it.width_ = layout.width;
    if (it.load(0) == 0) ++it;
    return it;
}

AttrMap::const_iterator AttrMap::block_end() const noexcept {
    const_iterator it;
    if (small()) {
        it.records_ = small_header() + 1;
        it.index_ = block_->size;
        return it;
    }
    const Layout layout(block_->entry_capacity);
    it.slots_ = reinterpret_cast<const unsigned char*>(block_) + layout.slots_at;
    it.records_ = table_header() + 1;
    it.index_ = layout.slot_count;
    return it;
}

// ---------------------------------------------------------------------------
// Changes

void AttrMap::reserve(size_t count, size_t bytes) {
    if (!block_) {
        if (count != 0 || bytes != 0) block_ = allocate(count, bytes, nullptr);
        return;
    }
    const size_t entry_capacity = block_->entry_capacity;
    const bool more_entries = count > entry_capacity;
    const size_t spare = spare_bytes();
    size_t live = 0;
    bool more_bytes = false;
    if (bytes > spare) {
        live = live_bytes();
        more_bytes = bytes > live && bytes - live > spare;
    }
    if (!more_entries && !more_bytes) return;
    Header* bigger = rebuilt(std::max(count, entry_capacity),
                             more_bytes ? std::max(bytes, live) : used_bytes() + spare, kAbsent, {});
    ::operator delete(block_);
    block_ = bigger;
}

// Adds a new entry to a small block with room for it, at the place its
// order word gives the entry's number. The first entry has one place only,
// so maps of one entry never draw the word.
[[gnu::always_inline]] inline void AttrMap::append_small(std::string_view name, std::string_view value) noexcept {
    SmallHeader* h = small_header();
    if (h->head.size == 1) h->order = fresh_order();
    auto* records = reinterpret_cast<SmallRecord*>(h + 1);
    char* to = reinterpret_cast<char*>(records + h->head.entry_capacity) + h->bytes_used;
    copy_bytes(to, name.data(), name.size());
    copy_bytes(to + name.size(), value.data(), value.size());
    const uint32_t i = h->head.size;
    const uint32_t place = place_of(h->order, i);
    records[i] = records[place];
    records[place] = SmallRecord{h->bytes_used, static_cast<uint32_t>(name.size()), static_cast<uint32_t>(value.size())};
    h->head.size = i + 1;
    h->bytes_used += static_cast<uint32_t>(name.size() + value.size());
}

[[gnu::always_inline]] inline bool AttrMap::insert_small(std::string_view name, std::string_view value, bool assign) {
    const size_t found = small_find(name);
    if (found != kAbsent) {
        if (assign) replace_value(found, value);
        return false;
    }
    const SmallHeader* h = small_header();
    const size_t spare = h->bytes_capacity - h->bytes_used;
    if (h->head.size < h->head.entry_capacity && name.size() <= spare && value.size() <= spare - name.size()) {
        append_small(name, value);
    } else {
        insert_growing(name, value);
    }
    return true;
}

bool AttrMap::insert_hashed(std::string_view name, std::string_view value, bool assign) {
    const Probe p = probe(name, hash_of(name));
    if (p.record != kAbsent) {
        if (assign) replace_value(p.record, value);
        return false;
    }
    const TableHeader* h = table_header();
    const size_t spare = h->bytes_capacity - h->bytes_used;
    if (h->head.size < h->head.entry_capacity && name.size() <= spare && value.size() <= spare - name.size()) {
        append_entry(p.slot, name, value);
    } else {
        insert_growing(name, value);
    }
    return true;
}

[[gnu::always_inline]] inline bool AttrMap::insert(std::string_view name, std::string_view value, bool assign) {
    if (!block_) {
        const size_t need = checked_add(name.size(), value.size());
        block_ = allocate(kFirstEntries, grown_bytes(need, 1, kFirstEntries - 1), nullptr);
    }
    return small() ? insert_small(name, value, assign) : insert_hashed(name, value, assign);
}

bool AttrMap::insert_or_assign(std::string_view name, std::string_view value) {
    return insert(name, value, true);
}

bool AttrMap::try_insert(std::string_view name, std::string_view value) { return insert(name, value, false); }

// Adds a new entry in empty slot `slot` of a hashed block with room for it.
void AttrMap::append_entry(size_t slot, std::string_view name, std::string_view value) noexcept {
    TableHeader* h = table_header();
    const Layout layout(h->head.entry_capacity);
    auto* base = reinterpret_cast<char*>(block_);
    char* to = base + layout.bytes_at + h->bytes_used;
    copy_bytes(to, name.data(), name.size());
    copy_bytes(to + name.size(), value.data(), value.size());
    auto* records = reinterpret_cast<TableRecord*>(h + 1);
    records[h->head.size] = TableRecord{h->bytes_used, name.size(), value.size()};
    store_slot(reinterpret_cast<unsigned char*>(base + layout.slots_at), layout.width, slot, h->head.size + 1);
    ++h->head.size;
    h->bytes_used += name.size() + value.size();
}

// Adds a new entry to a block without room for it. A small map fills up to
// kSmallMax entries before it becomes a hashed one. `name` and `value` may
// lie in the current block, so that is freed only once they are copied.
[[gnu::noinline]] void AttrMap::insert_growing(std::string_view name, std::string_view value) {
    const Header* h = block_;
    size_t entry_capacity = h->entry_capacity;
    if (h->size == entry_capacity) {
        if (entry_capacity >= kMaxEntries) too_large();
        entry_capacity = std::min(kMaxEntries, std::max(kFirstEntries, entry_capacity * 2));
        if (h->entry_capacity < kSmallMax) entry_capacity = std::min(entry_capacity, kSmallMax);
    }
    const size_t need = checked_add(name.size(), value.size());
    const size_t spare = spare_bytes();
    size_t byte_capacity = used_bytes() + spare;
    if (need > spare) {
        const size_t entries = size_t{h->size} + 1;
        byte_capacity = grown_bytes(checked_add(live_bytes(), need), entries, entry_capacity - entries);
    }
    Header* old = block_;
    block_ = rebuilt(entry_capacity, byte_capacity, kAbsent, {});
    if (small())
        append_small(name, value);
    else
        append_entry(probe(name, hash_of(name)).slot, name, value);
    ::operator delete(old);
}

// Gives record `record` the value `value`, which may lie in the block
// itself: in place when the block has room, else in a new block.
void AttrMap::replace_value(size_t record, std::string_view value) {
    size_t old_value_size;
    if (small()) {
        SmallHeader* h = small_header();
        auto& r = reinterpret_cast<SmallRecord*>(h + 1)[record];
        char* bytes = reinterpret_cast<char*>(block_) + SmallLayout(h->head.entry_capacity).bytes_at;
        if (replace_in_block(h, r, bytes, value)) return;
        old_value_size = r.value_size;
    } else {
        TableHeader* h = table_header();
        auto& r = reinterpret_cast<TableRecord*>(h + 1)[record];
        char* bytes = reinterpret_cast<char*>(block_) + Layout(h->head.entry_capacity).bytes_at;
        if (replace_in_block(h, r, bytes, value)) return;
        old_value_size = r.value_size;
    }
    const size_t live = checked_add(live_bytes() - old_value_size, value.size());
    const size_t spare = block_->entry_capacity - block_->size;
    Header* old = block_;
    block_ = rebuilt(old->entry_capacity, grown_bytes(live, std::max<size_t>(old->size, 1), spare), record, value);
    ::operator delete(old);
}

}  // namespace arbolite
