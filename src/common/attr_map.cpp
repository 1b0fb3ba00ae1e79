#include "common/attr_map.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <new>

namespace arbolite {

// One allocation: this header, then `capacity` slots.
struct AttrMap::Table {
    SipKey key;
    size_t size;
    size_t capacity;
};

namespace {

constexpr uint64_t kOccupied = uint64_t{1} << 63;
constexpr size_t kMinCapacity = 4;

// Smallest power-of-two capacity that holds `count` entries at a load of at
// most 3/4.
size_t capacity_for(size_t count) {
    if (count > (SIZE_MAX / 8)) throw std::bad_alloc();
    size_t wanted = count + (count + 2) / 3;  // above count * 4/3: one slot stays empty
    return std::max(kMinCapacity, std::bit_ceil(wanted));
}

}  // namespace

AttrMap::Table* AttrMap::allocate(size_t capacity, SipKey key) {
    static_assert(sizeof(Table) % alignof(Slot) == 0);
    if (capacity > (SIZE_MAX - sizeof(Table)) / sizeof(Slot)) throw std::bad_alloc();
    void* raw = ::operator new(sizeof(Table) + capacity * sizeof(Slot));
    auto* table = new (raw) Table{key, 0, capacity};
    auto* first = reinterpret_cast<Slot*>(table + 1);
    std::uninitialized_value_construct_n(first, capacity);  // Slot's constructor cannot throw
    return table;
}

void AttrMap::destroy(Table* table) noexcept {
    if (!table) return;
    std::destroy_n(reinterpret_cast<Slot*>(table + 1), table->capacity);
    ::operator delete(table);
}

AttrMap::Slot* AttrMap::slots() const noexcept {
    return reinterpret_cast<Slot*>(table_ + 1);
}

AttrMap::AttrMap(const AttrMap& other) {
    if (!other.table_ || other.table_->size == 0) return;
    Table* copy = allocate(other.table_->capacity, other.table_->key);
    Slot* to = reinterpret_cast<Slot*>(copy + 1);
    const Slot* from = other.slots();
    try {
        for (size_t i = 0; i < copy->capacity; ++i) {
            if (from[i].tag) to[i] = from[i];
        }
    } catch (...) {
        destroy(copy);
        throw;
    }
    copy->size = other.table_->size;
    table_ = copy;
}

AttrMap& AttrMap::operator=(const AttrMap& other) {
    if (this != &other) *this = AttrMap(other);
    return *this;
}

AttrMap& AttrMap::operator=(AttrMap&& other) noexcept {
    if (this != &other) {
        destroy(table_);
        table_ = other.table_;
        other.table_ = nullptr;
    }
    return *this;
}

AttrMap::~AttrMap() { destroy(table_); }

size_t AttrMap::size() const noexcept { return table_ ? table_->size : 0; }
size_t AttrMap::capacity() const noexcept { return table_ ? table_->capacity : 0; }
SipKey AttrMap::hash_key() const noexcept { return table_ ? table_->key : SipKey{}; }

uint64_t AttrMap::tag_of(std::string_view name) const noexcept {
    return siphash13(table_->key, name.data(), name.size()) | kOccupied;
}

// The slot holding `name`, or the empty slot where it would go.
AttrMap::Slot* AttrMap::probe(std::string_view name, uint64_t tag) const noexcept {
    Slot* s = slots();
    size_t mask = table_->capacity - 1;
    for (size_t i = tag & mask;; i = (i + 1) & mask) {
        if (s[i].tag == 0) return &s[i];
        if (s[i].tag == tag && s[i].entry.name == name) return &s[i];
    }
}

void AttrMap::reserve(size_t count) {
    if (count == 0) return;
    if (!table_) {
        table_ = allocate(capacity_for(count), next_map_key());
        return;
    }
    if (capacity_for(count) > table_->capacity) grow_for(count);
}

// Rehashes into a larger table with the same key.
void AttrMap::grow_for(size_t count) {
    Table* bigger = allocate(capacity_for(count), table_->key);
    Slot* to = reinterpret_cast<Slot*>(bigger + 1);
    size_t mask = bigger->capacity - 1;
    Slot* from = slots();
    for (size_t i = 0; i < table_->capacity; ++i) {
        if (!from[i].tag) continue;
        size_t j = from[i].tag & mask;
        while (to[j].tag) j = (j + 1) & mask;
        to[j].tag = from[i].tag;
        to[j].entry = std::move(from[i].entry);  // moving strings cannot throw
    }
    bigger->size = table_->size;
    destroy(table_);
    table_ = bigger;
}

bool AttrMap::insert_or_assign(std::string name, std::string value) {
    reserve(size() + 1);
    uint64_t tag = tag_of(name);
    Slot* slot = probe(name, tag);
    if (slot->tag) {
        slot->entry.value = std::move(value);
        return false;
    }
    slot->tag = tag;
    slot->entry.name = std::move(name);
    slot->entry.value = std::move(value);
    ++table_->size;
    return true;
}

bool AttrMap::try_insert(std::string&& name, std::string&& value) {
    reserve(size() + 1);
    uint64_t tag = tag_of(name);
    Slot* slot = probe(name, tag);
    if (slot->tag) return false;
    slot->tag = tag;
    slot->entry.name = std::move(name);
    slot->entry.value = std::move(value);
    ++table_->size;
    return true;
}

const std::string* AttrMap::find(std::string_view name) const noexcept {
    if (!table_ || table_->size == 0) return nullptr;
    Slot* slot = probe(name, tag_of(name));
    return slot->tag ? &slot->entry.value : nullptr;
}

AttrMap::const_iterator AttrMap::begin() const noexcept {
    const_iterator it(this, 0);
    if (table_ && !slots()[0].tag) ++it;
    return it;
}

const AttrMap::Entry& AttrMap::const_iterator::operator*() const {
    return map_->slots()[index_].entry;
}

AttrMap::const_iterator& AttrMap::const_iterator::operator++() {
    size_t cap = map_->capacity();
    const Slot* s = map_->slots();
    do {
        ++index_;
    } while (index_ < cap && !s[index_].tag);
    return *this;
}

}  // namespace arbolite
