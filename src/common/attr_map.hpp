// The attribute map: attribute name -> value, both byte strings (UTF-8 in
// practice; any bytes, NUL included, are kept as they are).
//
// A non-empty map is one heap block:
//
//   header   key, byte counts, entry counts                     40 bytes
//   records  one per entry, in insertion order                  24 bytes each
//   slots    power-of-two open-addressing index, linear probing 1, 2 or 4 bytes each
//   bytes    each entry's name directly followed by its value
//
// A slot holds 0 (empty) or 1 + the index of a record; records locate their
// strings by offset into the byte area, so the block holds no pointers and a
// copy is a single memcpy of it. Names are hashed with SipHash-1-3 under a key
// of the map's own, drawn when the block is first allocated.
//
// Iteration walks the slots in table order, which is neither insertion nor
// sorted order and differs from map to map. A copy keeps the key and every
// entry's slot, so it iterates in exactly the same order as the original.
// An empty map owns no memory and no key.
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
    struct Record {
        size_t offset;      // of the name in the byte area; the value follows it
        size_t name_size;
        size_t value_size;
    };

public:
    struct Entry {
        std::string_view name;
        std::string_view value;
    };

    AttrMap() noexcept = default;
    AttrMap(const AttrMap& other);
    AttrMap(AttrMap&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    AttrMap& operator=(const AttrMap& other);
    AttrMap& operator=(AttrMap&& other) noexcept;
    ~AttrMap();

    size_t size() const noexcept;
    bool empty() const noexcept { return size() == 0; }
    // Number of slots in the table (0 while the map owns no block).
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

    // Yields Entry values (views into the map) in slot order.
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
            const Record& r = records_[load(index_) - 1];
            const char* name = bytes_ + r.offset;
            return {{name, r.name_size}, {name + r.name_size, r.value_size}};
        }
        pointer operator->() const noexcept { return {**this}; }
        const_iterator& operator++() noexcept {
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
            return index_ == o.index_ && slots_ == o.slots_;
        }

    private:
        friend class AttrMap;

        size_t load(size_t i) const noexcept { return load_slot(slots_, width_, i); }

        const unsigned char* slots_ = nullptr;
        const Record* records_ = nullptr;
        const char* bytes_ = nullptr;
        size_t index_ = 0;
        size_t count_ = 0;
        unsigned width_ = 1;
    };

    // An empty map iterates without leaving the caller's code.
    const_iterator begin() const noexcept { return block_ ? block_begin() : const_iterator{}; }
    const_iterator end() const noexcept { return block_ ? block_end() : const_iterator{}; }

    // The key this map hashes with (zero while the map owns no block).
    SipKey hash_key() const noexcept;

private:
    struct Header;
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

    const_iterator block_begin() const noexcept;
    const_iterator block_end() const noexcept;
    static Header* allocate(size_t entry_capacity, size_t byte_capacity, SipKey key);
    Header* rebuilt(size_t entry_capacity, size_t byte_capacity, size_t replaced,
                    std::string_view new_value) const;
    size_t live_bytes() const noexcept;
    Probe probe(std::string_view name, uint64_t hash) const noexcept;
    uint64_t hash_of(std::string_view name) const noexcept;
    bool insert(std::string_view name, std::string_view value, bool assign);
    void append_entry(size_t slot, std::string_view name, std::string_view value) noexcept;
    void insert_growing(std::string_view name, std::string_view value, uint64_t hash);
    void replace_value(size_t record, std::string_view value);

    Header* block_ = nullptr;
};

}  // namespace arbolite
