#include "common/attr_map.hpp"

#include <algorithm>
#include <bit>
#include <new>

#include "common/copy.hpp"

namespace arbolite {

// The start of the block; the records, slots and bytes follow it.
struct AttrMap::Header {
    SipKey key;
    size_t bytes_used;      // end of the last string written into the byte area
    size_t bytes_capacity;  // size of the byte area
    uint32_t size;          // records in use
    uint32_t entry_capacity;
};

// Where the parts of a block lie, all fixed by its entry capacity: the slot
// table has room for that many entries at a load of at most 3/4, and its
// slots are just wide enough to hold 1 + the largest record index.
struct AttrMap::Layout {
    size_t slot_count;
    unsigned width;
    size_t slots_at;  // offsets from the start of the block
    size_t bytes_at;

    explicit Layout(size_t entry_capacity) noexcept {
        size_t wanted = entry_capacity + (entry_capacity + 2) / 3;  // above 4/3: a slot always stays empty
        slot_count = std::max<size_t>(4, std::bit_ceil(wanted));
        width = entry_capacity <= 0xFF ? 1 : entry_capacity <= 0xFFFF ? 2 : 4;
        slots_at = sizeof(Header) + entry_capacity * sizeof(Record);
        bytes_at = slots_at + slot_count * width;
    }
};

// The outcome of looking a name up: the slot that holds it and its record,
// or (record == kAbsent) the empty slot where it would go.
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

// Names are short: those of up to 8 bytes are compared without a library
// call.
inline bool same_bytes(const char* a, std::string_view b) noexcept {
    const size_t n = b.size();
    if (n > 8) return std::memcmp(a, b.data(), n) == 0;
    if (n >= 4) {
        uint32_t x0, y0, x1, y1;
        std::memcpy(&x0, a, 4);
        std::memcpy(&y0, b.data(), 4);
        std::memcpy(&x1, a + n - 4, 4);
        std::memcpy(&y1, b.data() + n - 4, 4);
        return ((x0 ^ y0) | (x1 ^ y1)) == 0;
    }
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
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

}  // namespace

// ---------------------------------------------------------------------------
// Blocks

AttrMap::Header* AttrMap::allocate(size_t entry_capacity, size_t byte_capacity, SipKey key) {
    static_assert(sizeof(void*) != 8 || (sizeof(Header) == 40 && sizeof(Record) == 24));
    static_assert(sizeof(Header) % alignof(Record) == 0 && sizeof(Record) % 4 == 0);
    if (entry_capacity > kMaxEntries || byte_capacity > kMaxBlock) too_large();
    const Layout layout(entry_capacity);
    const size_t total = checked_add(layout.bytes_at, byte_capacity);
    if (total > kMaxBlock) too_large();
    auto* block = new (::operator new(total)) Header{key, 0, byte_capacity, 0, static_cast<uint32_t>(entry_capacity)};
    std::memset(reinterpret_cast<unsigned char*>(block) + layout.slots_at, 0, layout.slot_count * layout.width);
    return block;
}

// A new block with the given capacities (which must hold every present
// entry) and the same key and entries; the strings are packed, dropping
// bytes that replaced values left behind. Record `replaced`, unless it is
// kAbsent, gets `new_value` instead of its own. With an unchanged entry
// capacity the slot table is copied as it is, so every entry keeps its slot;
// otherwise the entries are placed afresh in record order.
AttrMap::Header* AttrMap::rebuilt(size_t entry_capacity, size_t byte_capacity, size_t replaced,
                                  std::string_view new_value) const {
    const Header* from = block_;
    const Layout old_layout(from->entry_capacity);
    Header* to = allocate(entry_capacity, byte_capacity, from->key);
    const Layout layout(entry_capacity);

    auto* base = reinterpret_cast<char*>(to);
    const auto* old_base = reinterpret_cast<const char*>(from);
    const auto* old_records = reinterpret_cast<const Record*>(from + 1);
    auto* records = reinterpret_cast<Record*>(to + 1);
    const char* old_bytes = old_base + old_layout.bytes_at;
    char* bytes = base + layout.bytes_at;

    size_t used = 0;
    for (size_t i = 0; i < from->size; ++i) {
        const Record& r = old_records[i];
        std::string_view value(old_bytes + r.offset + r.name_size, r.value_size);
        if (i == replaced) value = new_value;
        copy_bytes(bytes + used, old_bytes + r.offset, r.name_size);
        copy_bytes(bytes + used + r.name_size, value.data(), value.size());
        records[i] = Record{used, r.name_size, value.size()};
        used += r.name_size + value.size();
    }

    auto* slots = reinterpret_cast<unsigned char*>(base + layout.slots_at);
    if (entry_capacity == from->entry_capacity) {
        std::memcpy(slots, old_base + old_layout.slots_at, layout.slot_count * layout.width);
    } else {
        const size_t mask = layout.slot_count - 1;
        for (size_t i = 0; i < from->size; ++i) {
            const Record& r = records[i];
            size_t s = siphash13(from->key, bytes + r.offset, r.name_size) & mask;
            while (load_slot(slots, layout.width, s) != 0) s = (s + 1) & mask;
            store_slot(slots, layout.width, s, i + 1);
        }
    }
    to->size = from->size;
    to->bytes_used = used;
    return to;
}

size_t AttrMap::live_bytes() const noexcept {
    const auto* records = reinterpret_cast<const Record*>(block_ + 1);
    size_t live = 0;
    for (size_t i = 0; i < block_->size; ++i) live += records[i].name_size + records[i].value_size;
    return live;
}

// ---------------------------------------------------------------------------
// Copy, move, destroy

AttrMap::AttrMap(const AttrMap& other) {
    // An empty map has no order to keep, so its copy owns nothing.
    if (!other.block_ || other.block_->size == 0) return;
    // The whole block up to the last string byte in one piece; the copy has
    // no spare string bytes.
    const size_t length = Layout(other.block_->entry_capacity).bytes_at + other.block_->bytes_used;
    void* raw = ::operator new(length);
    std::memcpy(raw, other.block_, length);
    block_ = static_cast<Header*>(raw);
    block_->bytes_capacity = block_->bytes_used;
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

AttrMap::~AttrMap() { ::operator delete(block_); }

// ---------------------------------------------------------------------------
// Queries

size_t AttrMap::size() const noexcept { return block_ ? block_->size : 0; }
size_t AttrMap::capacity() const noexcept { return block_ ? Layout(block_->entry_capacity).slot_count : 0; }
SipKey AttrMap::hash_key() const noexcept { return block_ ? block_->key : SipKey{}; }

size_t AttrMap::allocated_bytes() const noexcept {
    return block_ ? Layout(block_->entry_capacity).bytes_at + block_->bytes_capacity : 0;
}

uint64_t AttrMap::hash_of(std::string_view name) const noexcept {
    return siphash13(block_->key, name.data(), name.size());
}

AttrMap::Probe AttrMap::probe(std::string_view name, uint64_t hash) const noexcept {
    const Layout layout(block_->entry_capacity);
    const auto* base = reinterpret_cast<const char*>(block_);
    const auto* records = reinterpret_cast<const Record*>(block_ + 1);
    const auto* slots = reinterpret_cast<const unsigned char*>(base + layout.slots_at);
    const char* bytes = base + layout.bytes_at;
    const size_t mask = layout.slot_count - 1;
    for (size_t s = hash & mask;; s = (s + 1) & mask) {
        size_t v = load_slot(slots, layout.width, s);
        if (v == 0) return {s, kAbsent};
        const Record& r = records[v - 1];
        if (r.name_size == name.size() && same_bytes(bytes + r.offset, name)) return {s, v - 1};
    }
}

std::optional<std::string_view> AttrMap::find(std::string_view name) const noexcept {
    if (!block_ || block_->size == 0) return std::nullopt;
    Probe p = probe(name, hash_of(name));
    if (p.record == kAbsent) return std::nullopt;
    const auto* r = reinterpret_cast<const Record*>(block_ + 1) + p.record;
    const char* bytes = reinterpret_cast<const char*>(block_) + Layout(block_->entry_capacity).bytes_at;
    return std::string_view(bytes + r->offset + r->name_size, r->value_size);
}

AttrMap::const_iterator AttrMap::block_begin() const noexcept {
    const Layout layout(block_->entry_capacity);
    const auto* base = reinterpret_cast<const char*>(block_);
    const_iterator it;
    it.slots_ = reinterpret_cast<const unsigned char*>(base + layout.slots_at);
    it.records_ = reinterpret_cast<const Record*>(block_ + 1);
    it.bytes_ = base + layout.bytes_at;
    it.count_ = layout.slot_count;
    it.width_ = layout.width;
    if (it.load(0) == 0) ++it;
    return it;
}

AttrMap::const_iterator AttrMap::block_end() const noexcept {
    const Layout layout(block_->entry_capacity);
    const_iterator it;
    it.slots_ = reinterpret_cast<const unsigned char*>(block_) + layout.slots_at;
    it.index_ = layout.slot_count;
    return it;
}

// ---------------------------------------------------------------------------
// Changes

void AttrMap::reserve(size_t count, size_t bytes) {
    if (!block_) {
        if (count != 0 || bytes != 0) block_ = allocate(count, bytes, next_map_key());
        return;
    }
    const Header* h = block_;
    const bool more_entries = count > h->entry_capacity;
    size_t live = 0;
    bool more_bytes = false;
    if (bytes > h->bytes_capacity - h->bytes_used) {
        live = live_bytes();
        more_bytes = bytes > live && bytes - live > h->bytes_capacity - h->bytes_used;
    }
    if (!more_entries && !more_bytes) return;
    Header* bigger = rebuilt(std::max<size_t>(count, h->entry_capacity),
                             more_bytes ? std::max(bytes, live) : h->bytes_capacity, kAbsent, {});
    ::operator delete(block_);
    block_ = bigger;
}

bool AttrMap::insert_or_assign(std::string_view name, std::string_view value) {
    return insert(name, value, true);
}

bool AttrMap::try_insert(std::string_view name, std::string_view value) { return insert(name, value, false); }

bool AttrMap::insert(std::string_view name, std::string_view value, bool assign) {
    const size_t need = checked_add(name.size(), value.size());
    if (!block_) block_ = allocate(kFirstEntries, grown_bytes(need, 1, kFirstEntries - 1), next_map_key());
    const uint64_t hash = hash_of(name);
    const Probe p = probe(name, hash);
    if (p.record != kAbsent) {
        if (assign) replace_value(p.record, value);
        return false;
    }
    if (block_->size < block_->entry_capacity && need <= block_->bytes_capacity - block_->bytes_used) {
        append_entry(p.slot, name, value);
    } else {
        insert_growing(name, value, hash);
    }
    return true;
}

// Adds a new entry in empty slot `slot`; the block has room for it.
void AttrMap::append_entry(size_t slot, std::string_view name, std::string_view value) noexcept {
    const Layout layout(block_->entry_capacity);
    auto* base = reinterpret_cast<char*>(block_);
    char* to = base + layout.bytes_at + block_->bytes_used;
    copy_bytes(to, name.data(), name.size());
    copy_bytes(to + name.size(), value.data(), value.size());
    auto* records = reinterpret_cast<Record*>(block_ + 1);
    records[block_->size] = Record{block_->bytes_used, name.size(), value.size()};
    store_slot(reinterpret_cast<unsigned char*>(base + layout.slots_at), layout.width, slot, block_->size + 1);
    ++block_->size;
    block_->bytes_used += name.size() + value.size();
}

// Adds a new entry to a block without room for it. `name` and `value` may
// lie in the current block, so that is freed only once they are copied.
[[gnu::noinline]] void AttrMap::insert_growing(std::string_view name, std::string_view value, uint64_t hash) {
    const Header* h = block_;
    size_t entry_capacity = h->entry_capacity;
    if (h->size == entry_capacity) {
        if (entry_capacity >= kMaxEntries) too_large();
        entry_capacity = std::min(kMaxEntries, std::max(kFirstEntries, entry_capacity * 2));
    }
    const size_t need = name.size() + value.size();
    size_t byte_capacity = h->bytes_capacity;
    if (need > h->bytes_capacity - h->bytes_used) {
        const size_t entries = size_t{h->size} + 1;
        byte_capacity = grown_bytes(checked_add(live_bytes(), need), entries, entry_capacity - entries);
    }
    Header* old = block_;
    block_ = rebuilt(entry_capacity, byte_capacity, kAbsent, {});
    append_entry(probe(name, hash).slot, name, value);
    ::operator delete(old);
}

// Gives record `record` the value `value`, which may lie in the block
// itself. A value no longer than the present one overwrites it; a longer one
// is written after the last string, together with a copy of the name.
void AttrMap::replace_value(size_t record, std::string_view value) {
    const Layout layout(block_->entry_capacity);
    char* bytes = reinterpret_cast<char*>(block_) + layout.bytes_at;
    Record& r = reinterpret_cast<Record*>(block_ + 1)[record];
    if (value.size() <= r.value_size) {
        if (!value.empty()) std::memmove(bytes + r.offset + r.name_size, value.data(), value.size());
        r.value_size = value.size();
        return;
    }
    const size_t need = checked_add(r.name_size, value.size());
    if (need <= block_->bytes_capacity - block_->bytes_used) {
        // The free part of the byte area overlaps neither the name nor the
        // value, wherever the value comes from.
        char* to = bytes + block_->bytes_used;
        copy_bytes(to, bytes + r.offset, r.name_size);
        copy_bytes(to + r.name_size, value.data(), value.size());
        r = Record{block_->bytes_used, r.name_size, value.size()};
        block_->bytes_used += need;
        return;
    }
    const size_t live = checked_add(live_bytes() - r.value_size, value.size());
    const size_t spare = block_->entry_capacity - block_->size;
    Header* old = block_;
    block_ = rebuilt(old->entry_capacity, grown_bytes(live, std::max<size_t>(old->size, 1), spare), record, value);
    ::operator delete(old);
}

}  // namespace arbolite
