// The attribute map: attribute name -> value, both UTF-8 strings.
//
// An open-addressing table (linear probing, power-of-two capacity) keyed with
// SipHash-1-3 under a key of its own. Iteration walks the slots in table
// order, which is neither insertion nor sorted order. A copy keeps the key and
// every entry's slot, so it iterates in exactly the same order as the
// original. An empty map owns no memory; the table (and its key) comes with
// the first reservation or insertion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "common/siphash.hpp"

namespace arbolite {

class AttrMap {
public:
    struct Entry {
        std::string name;
        std::string value;
    };

    AttrMap() noexcept = default;
    AttrMap(const AttrMap& other);
    AttrMap(AttrMap&& other) noexcept : table_(other.table_) { other.table_ = nullptr; }
    AttrMap& operator=(const AttrMap& other);
    AttrMap& operator=(AttrMap&& other) noexcept;
    ~AttrMap();

    size_t size() const noexcept;
    bool empty() const noexcept { return size() == 0; }
    size_t capacity() const noexcept;

    // Makes room for `count` entries in all, so that inserting them does not
    // grow the table again.
    void reserve(size_t count);

    // Inserts the pair, or replaces the value of an equal name. Returns true
    // when the name was new.
    bool insert_or_assign(std::string name, std::string value);

    // Inserts the pair only when the name is absent. On a duplicate nothing is
    // moved out of the arguments and the result is false.
    bool try_insert(std::string&& name, std::string&& value);

    const std::string* find(std::string_view name) const noexcept;
    bool contains(std::string_view name) const noexcept { return find(name) != nullptr; }

    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using pointer = const Entry*;
        using reference = const Entry&;

        const_iterator() = default;
        reference operator*() const;
        pointer operator->() const { return &**this; }
        const_iterator& operator++();
        const_iterator operator++(int) {
            auto old = *this;
            ++*this;
            return old;
        }
        bool operator==(const const_iterator& o) const { return index_ == o.index_; }

    private:
        friend class AttrMap;
        const_iterator(const AttrMap* map, size_t index) : map_(map), index_(index) {}
        const AttrMap* map_ = nullptr;
        size_t index_ = 0;
    };

    const_iterator begin() const noexcept;
    const_iterator end() const noexcept { return {this, capacity()}; }

    // The key this map hashes with (zero while the map owns no table).
    SipKey hash_key() const noexcept;

private:
    struct Slot {
        uint64_t tag = 0;  // 0: empty; otherwise the hash with its top bit set
        Entry entry;
    };
    struct Table;

    static Table* allocate(size_t capacity, SipKey key);
    static void destroy(Table* table) noexcept;
    Slot* slots() const noexcept;
    uint64_t tag_of(std::string_view name) const noexcept;
    Slot* probe(std::string_view name, uint64_t tag) const noexcept;
    void grow_for(size_t count);

    Table* table_ = nullptr;
};

}  // namespace arbolite
