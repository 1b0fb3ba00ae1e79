// The attribute map: attribute name -> value, both byte strings (UTF-8 in
// practice; any bytes, NUL included, are kept as they are).
//
// A non-empty map is one heap block in one of two forms, told apart by the
// entry capacity the block was made for.
//
// Small (room for at most kSmallMax entries, at most 4 GiB of strings):
//
//   header   entry counts, byte counts, order bits                24 bytes
//   records  one per entry, 32-bit offset and sizes               12 bytes each
//   bytes    each entry's name directly followed by its value
//
// A name is looked up by comparing sizes, then bytes, record by record: for
// a handful of names that is cheaper than hashing, and bounded. Each new
// entry takes a place among the records drawn from the map's order bits (a
// shuffle as the entries come), so the order of the records is neither
// insertion nor sorted order and differs from map to map. The order bits
// are a SipHash-1-3 value under a fresh per-map key, which does not reveal
// the key itself.
//
// Hashed (more entries, or more bytes):
//
//   header   entry counts, key, byte counts                       40 bytes
//   records  one per entry, in insertion order                    24 bytes each
//   slots    power-of-two open-addressing index, linear probing   1, 2 or 4 bytes each
//   bytes    each entry's name directly followed by its value
//
// A slot holds 0 (empty) or 1 + the index of a record. Names are hashed with
// SipHash-1-3 under a key of the map's own, drawn when the table is made, so
// a tag with very many attributes stays linear in expectation whatever its
// names. A small map that outgrows its form becomes a hashed one.
//
// Records locate their strings by offset into the byte area, so neither
// form holds pointers and a copy is a single memcpy of the block.
//
// Iteration walks a small map's records in their order and a hashed map's
// slots in table order; neither is insertion nor sorted order, and both
// differ from map to map. A copy keeps the records, key and slots, so it
// iterates in exactly the same order as the original. An empty map owns no
// memory and no key.
//
// Views handed out (find, iteration) stay valid until the map is next
// changed, moved from or destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <string_view>

#include "common/siphash.hpp"

namespace arbolite {

class AttrMap {
    // The start of every block; a block whose entry capacity is at most
    // kSmallMax is small, any other is hashed.
    struct Header {
        uint32_t size;  // records in use
        uint32_t entry_capacity;
    };
    struct SmallRecord {
        uint32_t offset;  // of the name in the byte area; the value follows it
        uint32_t name_size;
        uint32_t value_size;
    };
    struct TableRecord {
        size_t offset;
        size_t name_size;
        size_t value_size;
    };

public:
    // The most entries a map holds without a hash table.
    static constexpr size_t kSmallMax = 16;

    struct Entry {
        std::string_view name;
        std::string_view value;
    };

    AttrMap() noexcept = default;
    AttrMap(const AttrMap& other);
    AttrMap(AttrMap&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    AttrMap& operator=(const AttrMap& other);
    AttrMap& operator=(AttrMap&& other) noexcept;
    ~AttrMap() { ::operator delete(block_); }

    size_t size() const noexcept { return block_ ? block_->size : 0; }
    bool empty() const noexcept { return size() == 0; }
    // Whether the map keeps a hash table (false while it owns no block).
    bool hashed() const noexcept { return block_ && block_->entry_capacity > kSmallMax; }
    // Number of slots of the hash table; for a small map the number of
    // entries its block has room for (0 while the map owns no block).
    size_t capacity() const noexcept;
    // Size in bytes of the map's block (0 while it owns none).
    size_t allocated_bytes() const noexcept;

    // Makes room for `count` entries and `bytes` bytes of names and values in
    // all, the entries already present included, so that inserting up to
    // that much allocates nothing. (Replacing a value by a longer one needs
    // room for the name and the new value once more.)
    void reserve(size_t count, size_t bytes = 0);

    // Inserts the pair, or replaces the value of an equal name. Returns true
    // when the name was new.
    bool insert_or_assign(std::string_view name, std::string_view value);

    // Inserts the pair only when the name is absent; on a duplicate the map
    // is left unchanged and the result is false.
    bool try_insert(std::string_view name, std::string_view value);

    std::optional<std::string_view> find(std::string_view name) const noexcept;
    bool contains(std::string_view name) const noexcept { return find(name).has_value(); }

    // Yields Entry values (views into the map) in the map's own order.
    class const_iterator {
    public:
        using iterator_concept = std::forward_iterator_tag;
        using iterator_category = std::input_iterator_tag;  // yields values, not references
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using reference = Entry;
        struct pointer {
            Entry entry;
            const Entry* operator->() const noexcept { return &entry; }
        };

        const_iterator() = default;

        Entry operator*() const noexcept {
            if (!slots_) {
                const SmallRecord& r = static_cast<const SmallRecord*>(records_)[index_];
                const char* name = bytes_ + r.offset;
                return {{name, r.name_size}, {name + r.name_size, r.value_size}};
            }
            const TableRecord& r = static_cast<const TableRecord*>(records_)[load(index_) - 1];
            const char* name = bytes_ + r.offset;
            return {{name, r.name_size}, {name + r.name_size, r.value_size}};
        }
        pointer operator->() const noexcept { return {**this}; }
        const_iterator& operator++() noexcept {
            if (!slots_) {
                ++index_;
                return *this;
            }
            do {
                ++index_;
            } while (index_ < count_ && load(index_) == 0);
            return *this;
        }
        const_iterator operator++(int) noexcept {
            auto old = *this;
            ++*this;
            return old;
        }
        bool operator==(const const_iterator& o) const noexcept {
            return index_ == o.index_ && records_ == o.records_;
        }

    private:
        friend class AttrMap;

        size_t load(size_t i) const noexcept { return load_slot(slots_, width_, i); }

        const unsigned char* slots_ = nullptr;  // null for a small map
        const void* records_ = nullptr;
        const char* bytes_ = nullptr;
        size_t index_ = 0;
        size_t count_ = 0;  // slots of the table
        unsigned width_ = 1;
    };

    // An empty map iterates without leaving the caller's code.
    const_iterator begin() const noexcept { return block_ ? block_begin() : const_iterator{}; }
    const_iterator end() const noexcept { return block_ ? block_end() : const_iterator{}; }

private:
    friend struct AttrMapTesting;  // common/attr_map_testing.hpp

    struct SmallHeader;
    struct TableHeader;
    struct SmallLayout;
    struct Layout;
    struct Probe;

    static size_t load_slot(const unsigned char* slots, unsigned width, size_t i) noexcept {
        if (width == 1) return slots[i];
        if (width == 2) {
            uint16_t v;
            std::memcpy(&v, slots + 2 * i, 2);
            return v;
        }
        uint32_t v;
        std::memcpy(&v, slots + 4 * i, 4);
        return v;
    }

    bool small() const noexcept { return block_->entry_capacity <= kSmallMax; }
    SmallHeader* small_header() const noexcept;
    TableHeader* table_header() const noexcept;

    const_iterator block_begin() const noexcept;
    const_iterator block_end() const noexcept;
    static Header* allocate(size_t entry_capacity, size_t byte_capacity, const Header* from);
    Header* rebuilt(size_t entry_capacity, size_t byte_capacity, size_t replaced,
                    std::string_view new_value) const;
    size_t used_bytes() const noexcept;
    size_t spare_bytes() const noexcept;
    size_t live_bytes() const noexcept;
    size_t small_find(std::string_view name) const noexcept;
    Probe probe(std::string_view name, uint64_t hash) const noexcept;
    uint64_t hash_of(std::string_view name) const noexcept;
    bool insert(std::string_view name, std::string_view value, bool assign);
    bool insert_small(std::string_view name, std::string_view value, bool assign);
    bool insert_hashed(std::string_view name, std::string_view value, bool assign);
    void append_small(std::string_view name, std::string_view value) noexcept;
    void append_entry(size_t slot, std::string_view name, std::string_view value) noexcept;
    void insert_growing(std::string_view name, std::string_view value);
    void replace_value(size_t record, std::string_view value);

    Header* block_ = nullptr;
};

}  // namespace arbolite
