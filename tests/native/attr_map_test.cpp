#include "common/attr_map.hpp"
#include "common/attr_map_testing.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <map>
#include <new>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "read/parser.hpp"

namespace arbolite {
namespace {

using namespace std::string_literals;

// prefix + decimal number.
std::string numbered(std::string_view prefix, uint64_t n) {
    std::string s(prefix);
    s += std::to_string(n);
    return s;
}

std::vector<std::string> names_in_order(const AttrMap& map) {
    std::vector<std::string> names;
    for (const auto& e : map) names.emplace_back(e.name);
    return names;
}

std::map<std::string, std::string> contents(const AttrMap& map) {
    std::map<std::string, std::string> out;
    for (const auto& e : map) EXPECT_TRUE(out.emplace(e.name, e.value).second) << "name listed twice: " << e.name;
    return out;
}

// The block size of a small map with `entries` entry capacity and `bytes`
// string bytes: 24 bytes of header and 12 per entry.
size_t small_block_size(size_t entries, size_t bytes) { return 24 + 12 * entries + bytes; }

// The block size of a hashed map: 40 bytes of header, 24 per entry, and a
// power-of-two slot table (at least 4/3 slots per entry) of 1-byte slots up
// to 255 entries.
size_t hashed_block_size(size_t entries, size_t bytes) {
    size_t slots = 4;
    while (slots < entries + (entries + 2) / 3) slots *= 2;
    return 40 + 24 * entries + slots + bytes;
}

// A map of `n` entries k0..k{n-1} with values v0..v{n-1}.
AttrMap numbered_map(size_t n) {
    AttrMap map;
    for (size_t i = 0; i < n; ++i) EXPECT_TRUE(map.try_insert(numbered("k", i), numbered("v", i)));
    return map;
}

TEST(SipHash, MatchesReferenceValues) {
    // SipHash-1-3 under the all-zero key over the messages 00 01 02 ...,
    // as computed by an independent implementation.
    SipKey key{0, 0};
    unsigned char msg[16];
    for (int i = 0; i < 16; ++i) msg[i] = static_cast<unsigned char>(i);
    const std::pair<size_t, uint64_t> cases[] = {
        {0, 0xd1fba762150c532cULL}, {1, 0x68a914128e01e473ULL}, {7, 0x2f098ab0c751325aULL},
        {8, 0xead411e67ebe2eeaULL}, {15, 0xf30eb725bb91c9eaULL},
    };
    for (auto [len, hash] : cases) EXPECT_EQ(siphash13(key, msg, len), hash) << "length " << len;
}

TEST(AttrMap, EmptyMapOwnsNothing) {
    AttrMap map;
    EXPECT_EQ(map.size(), 0u);
    EXPECT_EQ(map.capacity(), 0u);
    EXPECT_EQ(map.allocated_bytes(), 0u);
    EXPECT_EQ(AttrMapTesting::hash_key(map).k0 | AttrMapTesting::hash_key(map).k1, 0u);
    EXPECT_EQ(map.begin(), map.end());
    EXPECT_FALSE(map.find("a").has_value());
    EXPECT_FALSE(map.find("").has_value());
    map.reserve(0, 0);
    EXPECT_EQ(map.allocated_bytes(), 0u);
    AttrMap copy = map;
    EXPECT_EQ(copy.capacity(), 0u);

    // A block without entries iterates as empty, and its copy owns nothing.
    AttrMap reserved;
    reserved.reserve(8, 64);
    EXPECT_GT(reserved.allocated_bytes(), 0u);
    EXPECT_EQ(reserved.begin(), reserved.end());
    EXPECT_FALSE(reserved.contains(""));
    EXPECT_EQ(AttrMap(reserved).allocated_bytes(), 0u);
}

TEST(AttrMap, InsertFindReplace) {
    AttrMap map;
    EXPECT_TRUE(map.insert_or_assign("id", "1"));
    EXPECT_TRUE(map.insert_or_assign("", "empty name"));
    EXPECT_FALSE(map.insert_or_assign("id", "2"));
    ASSERT_TRUE(map.find("id").has_value());
    EXPECT_EQ(*map.find("id"), "2");
    EXPECT_EQ(*map.find(""), "empty name");
    EXPECT_EQ(map.size(), 2u);
    EXPECT_FALSE(map.contains("ID"));
    EXPECT_FALSE(map.contains("i"));
    EXPECT_FALSE(map.contains(std::string_view("id\0", 3)));
}

TEST(AttrMap, TryInsertLeavesMapUnchangedOnDuplicate) {
    AttrMap map;
    EXPECT_TRUE(map.try_insert("a", "1"));
    EXPECT_TRUE(map.try_insert("b", "2"));
    const auto before = names_in_order(map);
    const size_t bytes = map.allocated_bytes();
    EXPECT_FALSE(map.try_insert("a", "a much longer value than before"));
    EXPECT_EQ(*map.find("a"), "1");
    EXPECT_EQ(map.size(), 2u);
    EXPECT_EQ(names_in_order(map), before);
    EXPECT_EQ(map.allocated_bytes(), bytes);
}

// Names and values are arbitrary bytes: NUL, empty, prefixes of each other,
// bytes above 0x7F. Each must come back exactly, and only for its own name.
TEST(AttrMap, ArbitraryBytesInNamesAndValues) {
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"", ""},
        {"a", ""},
        {"a\0"s, "nul after name"},
        {"\0a"s, "nul before name"},
        {"\0"s, "\0"s},
        {"\0\0"s, "\0\0\0"s},
        {"ab", "x\0y"s},
        {"abc", "\0"s},
        {"\xff\xfe", "\x80\x81\x82"},
        {"caf\xC3\xA9", "\xE2\x82\xAC"},
        {"long-name-of-more-than-sixteen-bytes", ""},
    };
    for (bool via_assign : {false, true}) {
        AttrMap map;
        for (const auto& [name, value] : pairs) {
            EXPECT_TRUE(via_assign ? map.insert_or_assign(name, value) : map.try_insert(name, value));
        }
        ASSERT_EQ(map.size(), pairs.size());
        for (const auto& [name, value] : pairs) {
            auto found = map.find(name);
            ASSERT_TRUE(found.has_value()) << testing::PrintToString(name);
            EXPECT_EQ(*found, value) << testing::PrintToString(name);
        }
        EXPECT_FALSE(map.contains("\0\0\0"s));
        EXPECT_FALSE(map.contains("b"));
        const std::map<std::string, std::string> expected(pairs.begin(), pairs.end());
        EXPECT_EQ(contents(map), expected);
        EXPECT_EQ(contents(AttrMap(map)), expected);
    }
}

TEST(AttrMap, GrowthKeepsEveryEntry) {
    AttrMap map;
    std::map<std::string, std::string> expected;
    for (int i = 0; i < 5000; ++i) {
        std::string k = numbered("name", i * 7919 % 10007);
        map.insert_or_assign(k, std::to_string(i));
        expected[k] = std::to_string(i);
    }
    EXPECT_EQ(map.size(), expected.size());
    EXPECT_GT(map.capacity(), map.size());
    EXPECT_EQ(contents(map), expected);
    for (const auto& [k, v] : expected) EXPECT_EQ(*map.find(k), v);
}

TEST(AttrMap, CollidingSlotsProbeOnward) {
    // Almost as many names as the smallest table has room for: many share a
    // home slot.
    AttrMap map;
    map.reserve(AttrMap::kSmallMax + 1);
    ASSERT_TRUE(map.hashed());
    EXPECT_EQ(map.capacity(), 32u);
    for (char c = 'a'; c <= 'z'; ++c) map.insert_or_assign(std::string(1, c), std::string(2, c));
    for (char c = 'a'; c <= 'z'; ++c) EXPECT_EQ(*map.find(std::string(1, c)), std::string(2, c));
    EXPECT_EQ(map.size(), 26u);
    EXPECT_FALSE(map.contains("aa"));
}

// Entry counts around the slot-width boundaries (1, 2 and 4 bytes per slot)
// and a large map: every entry is found, iteration visits each once, and a
// copy iterates in the same order.
class AttrMapSizes : public testing::TestWithParam<size_t> {};

TEST_P(AttrMapSizes, EveryEntryFoundAndListedOnce) {
    const size_t n = GetParam();
    AttrMap map;
    for (size_t i = 0; i < n; ++i) ASSERT_TRUE(map.try_insert(numbered("k", i), std::to_string(i * 3)));
    ASSERT_EQ(map.size(), n);
    EXPECT_EQ(map.hashed(), n > AttrMap::kSmallMax);
    if (map.hashed()) {
        EXPECT_GT(map.capacity(), n);
        EXPECT_EQ(map.capacity() & (map.capacity() - 1), 0u) << "not a power of two";
    } else {
        EXPECT_GE(map.capacity(), n);
    }
    for (size_t i = 0; i < n; ++i) {
        auto found = map.find(numbered("k", i));
        ASSERT_TRUE(found.has_value()) << i;
        ASSERT_EQ(*found, std::to_string(i * 3)) << i;
    }
    EXPECT_FALSE(map.contains(numbered("k", n)));
    EXPECT_FALSE(map.try_insert("k0", "again"));
    std::vector<bool> seen(n, false);
    size_t listed = 0;
    for (const auto& e : map) {
        size_t i = std::stoul(std::string(e.name.substr(1)));
        ASSERT_LT(i, n);
        ASSERT_FALSE(seen[i]) << "listed twice: " << e.name;
        seen[i] = true;
        EXPECT_EQ(e.value, std::to_string(i * 3));
        ++listed;
    }
    EXPECT_EQ(listed, n);
    EXPECT_EQ(names_in_order(AttrMap(map)), names_in_order(map));
}

INSTANTIATE_TEST_SUITE_P(AttrMap, AttrMapSizes,
                         testing::Values(size_t{1}, size_t{3}, size_t{4}, size_t{16}, size_t{17}, size_t{255},
                                         size_t{256}, size_t{65535}, size_t{65536}, size_t{100'000}));

TEST(AttrMap, ReserveAvoidsReallocation) {
    struct Case {
        size_t count;
        size_t name_size;
        size_t value_size;
    };
    const Case cases[] = {{1, 1, 0}, {4, 3, 5}, {16, 8, 20}, {100, 4, 4}, {300, 2, 0}, {3, 0, 100'000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        // Names are padded with a counter of fixed width.
        auto name_of = [&](size_t i) {
            std::string s = std::to_string(i);
            return std::string(c.name_size, 'n') + std::string(3 - std::min<size_t>(s.size(), 3), '0') + s;
        };
        AttrMap map;
        map.reserve(c.count, c.count * (c.name_size + 3 + c.value_size));
        const size_t cap = map.capacity();
        const size_t bytes = map.allocated_bytes();
        map.try_insert(name_of(0), std::string(c.value_size, 'v'));
        const char* first = map.find(name_of(0))->data();
        for (size_t i = 1; i < c.count; ++i) map.try_insert(name_of(i), std::string(c.value_size, 'v'));
        EXPECT_EQ(map.size(), c.count);
        EXPECT_EQ(map.capacity(), cap);
        EXPECT_EQ(map.allocated_bytes(), bytes);
        EXPECT_EQ(map.find(name_of(0))->data(), first) << "the block moved";
    }
}

TEST(AttrMap, ReserveCountsWhatIsAlreadyThere) {
    AttrMap map;
    map.insert_or_assign("a", "1");
    map.insert_or_assign("b", "2");
    const auto order = names_in_order(map);
    // Room for what is there is already there: nothing changes.
    const size_t bytes = map.allocated_bytes();
    map.reserve(2, 4);
    EXPECT_EQ(map.allocated_bytes(), bytes);
    // More bytes only: same slots, same order.
    const size_t cap = map.capacity();
    map.reserve(2, 1000);
    EXPECT_EQ(map.capacity(), cap);
    EXPECT_EQ(names_in_order(map), order);
    const char* value = map.find("a")->data();
    map.try_insert("c", std::string(990, 'c'));
    EXPECT_EQ(map.find("a")->data(), value);
    // More entries: every entry kept.
    map.reserve(50);
    EXPECT_GE(map.capacity(), 64u);
    EXPECT_EQ(contents(map), (std::map<std::string, std::string>{{"a", "1"}, {"b", "2"}, {"c", std::string(990, 'c')}}));
}

TEST(AttrMap, ImpossibleSizesThrowAndLeaveTheMapAlone) {
    const std::pair<size_t, size_t> cases[] = {
        {SIZE_MAX, 0},  {size_t{UINT32_MAX} + 1, 0}, {1, SIZE_MAX}, {1, SIZE_MAX - 30},
        {1, SIZE_MAX / 2 + 1}, {SIZE_MAX / 24, SIZE_MAX / 2},
    };
    for (auto [count, bytes] : cases) {
        SCOPED_TRACE(testing::Message() << count << ", " << bytes);
        AttrMap empty;
        EXPECT_THROW(empty.reserve(count, bytes), std::bad_alloc);
        EXPECT_EQ(empty.allocated_bytes(), 0u);

        AttrMap map;
        map.insert_or_assign("x", "1");
        const auto key = AttrMapTesting::hash_key(map);
        const size_t allocated = map.allocated_bytes();
        EXPECT_THROW(map.reserve(count, bytes), std::bad_alloc);
        EXPECT_EQ(map.allocated_bytes(), allocated);
        EXPECT_EQ(AttrMapTesting::hash_key(map).k0, key.k0);
        EXPECT_EQ(*map.find("x"), "1");
    }
}

TEST(AttrMap, CopyKeepsKeySlotsAndOrder) {
    AttrMap map;
    for (int i = 0; i < 40; ++i) map.insert_or_assign(numbered("k", i), std::to_string(i));
    AttrMap copy = map;
    EXPECT_EQ(copy.capacity(), map.capacity());
    EXPECT_EQ(AttrMapTesting::hash_key(copy).k0, AttrMapTesting::hash_key(map).k0);
    EXPECT_EQ(AttrMapTesting::hash_key(copy).k1, AttrMapTesting::hash_key(map).k1);
    EXPECT_EQ(names_in_order(copy), names_in_order(map));
    // The copy carries no spare string bytes.
    EXPECT_LE(copy.allocated_bytes(), map.allocated_bytes());
    AttrMap moved = std::move(copy);
    EXPECT_EQ(names_in_order(moved), names_in_order(map));
    EXPECT_EQ(copy.size(), 0u);
    EXPECT_EQ(copy.allocated_bytes(), 0u);
}

TEST(AttrMap, CopyIsIndependent) {
    AttrMap map;
    map.insert_or_assign("a", "1");
    map.insert_or_assign("b", "2");
    AttrMap copy = map;
    copy.insert_or_assign("a", "changed");
    copy.insert_or_assign("c", "3");
    EXPECT_EQ(*map.find("a"), "1");
    EXPECT_FALSE(map.contains("c"));
    EXPECT_EQ(*copy.find("a"), "changed");
    EXPECT_EQ(*copy.find("b"), "2");

    // Assignment over a map that holds entries replaces them all.
    AttrMap other;
    other.insert_or_assign("z", "26");
    other = map;
    EXPECT_EQ(contents(other), contents(map));
    EXPECT_EQ(names_in_order(other), names_in_order(map));
    const AttrMap& same = other;
    other = same;
    EXPECT_EQ(contents(other), contents(map));
}

TEST(AttrMap, MoveHandsOverTheBlock) {
    AttrMap map;
    map.insert_or_assign("a", "1");
    const char* value = map.find("a")->data();
    AttrMap moved(std::move(map));
    EXPECT_EQ(moved.find("a")->data(), value);
    EXPECT_TRUE(map.empty());
    AttrMap target;
    target.insert_or_assign("b", "2");
    target = std::move(moved);
    EXPECT_EQ(target.find("a")->data(), value);
    EXPECT_FALSE(target.contains("b"));
}

// Replacing a value by one that is shorter, equal, longer with room left,
// and longer than the room left: the old value is gone everywhere, the
// entry keeps its slot, and copies made afterwards agree.
TEST(AttrMap, ReplaceThenIterateAndCopy) {
    const std::string replacements[] = {"", "v", "vvvvvvvvvv", std::string(200, 'w'), "x", std::string(5000, 'y')};
    AttrMap map;
    map.reserve(8, 64);
    for (int i = 0; i < 6; ++i) map.insert_or_assign(numbered("n", i), numbered("value", i));
    const auto order = names_in_order(map);
    std::map<std::string, std::string> expected = contents(map);
    for (const std::string& value : replacements) {
        SCOPED_TRACE(value.size());
        EXPECT_FALSE(map.insert_or_assign("n3", value));
        expected["n3"] = value;
        EXPECT_EQ(map.size(), 6u);
        EXPECT_EQ(names_in_order(map), order);
        EXPECT_EQ(contents(map), expected);
        const AttrMap copy = map;
        EXPECT_EQ(names_in_order(copy), order);
        EXPECT_EQ(contents(copy), expected);
    }
}

TEST(AttrMap, RepeatedReplacementDoesNotPileUp) {
    AttrMap map;
    map.insert_or_assign("other", "x");
    for (size_t i = 1; i <= 200; ++i) map.insert_or_assign("k", std::string(i * 100, 'a'));
    EXPECT_EQ(map.find("k")->size(), 20'000u);
    // Replaced values may leave bytes behind, but growth repacks them.
    EXPECT_LT(map.allocated_bytes(), 4 * 20'000u);
}

// Names and values taken from the map itself stay valid while the map
// copies them, also when it has to move to a larger block.
TEST(AttrMap, ArgumentsMayPointIntoTheMap) {
    AttrMap map;
    map.reserve(2, 8);
    map.insert_or_assign("a", "first");
    map.insert_or_assign("b", "2");
    // The block is full: both insertions move to a larger one.
    map.try_insert("c", *map.find("a"));
    map.try_insert(map.find("c")->substr(0, 3), *map.find("a"));
    EXPECT_EQ(*map.find("c"), "first");
    EXPECT_EQ(*map.find("fir"), "first");
    // Replacement by a part of the entry's own value.
    map.insert_or_assign("a", map.find("a")->substr(1));
    EXPECT_EQ(*map.find("a"), "irst");
    // Replacement by a longer value read from another entry: written after
    // the last string, or into a new block.
    std::string expected = "first";
    for (int i = 0; i < 10; ++i) {
        expected += expected;
        map.insert_or_assign("c", expected);
        map.insert_or_assign("a", *map.find("c"));
        ASSERT_EQ(*map.find("a"), expected) << i;
    }
    EXPECT_EQ(*map.find("b"), "2");
    EXPECT_EQ(*map.find("fir"), "first");
}

TEST(AttrMap, LargeValues) {
    const std::string big(1 << 20, 'b');
    std::string with_nul = big;
    with_nul[12345] = '\0';
    AttrMap map;
    map.try_insert("big", big);
    map.try_insert("small", "s");
    map.try_insert("nul", with_nul);
    EXPECT_EQ(*map.find("big"), big);
    EXPECT_EQ(*map.find("nul"), with_nul);
    EXPECT_EQ(*map.find("small"), "s");
    // One huge value does not reserve several times its size.
    EXPECT_LT(map.allocated_bytes(), 5u << 20);

    AttrMap copy = map;
    ASSERT_FALSE(copy.hashed());
    EXPECT_EQ(copy.allocated_bytes(), small_block_size(3, 2 * big.size() + 1 + 3 + 5 + 3));
    EXPECT_EQ(names_in_order(copy), names_in_order(map));
    EXPECT_EQ(*copy.find("nul"), with_nul);

    const std::string other(1 << 20, 'o');
    map.insert_or_assign("big", other);
    EXPECT_EQ(*map.find("big"), other);
    EXPECT_EQ(contents(map).size(), 3u);
    EXPECT_EQ(*copy.find("big"), big);
}

TEST(AttrMap, MatchesAReferenceModel) {
    // Random names from a small pool (so names repeat), values of random
    // length, both insert operations.
    const unsigned seed = 20240611;
    std::mt19937 rng(seed);
    AttrMap map;
    std::map<std::string, std::string> model;
    for (int step = 0; step < 4000; ++step) {
        std::string name = numbered("n", rng() % 300);
        if (rng() % 8 == 0) name.push_back('\0');
        std::string value(rng() % 40, static_cast<char>('a' + step % 26));
        if (rng() % 3 == 0) {
            bool fresh = model.find(name) == model.end();
            ASSERT_EQ(map.insert_or_assign(name, value), fresh) << "seed " << seed << " step " << step;
            model[name] = value;
        } else {
            bool fresh = model.emplace(name, value).second;
            ASSERT_EQ(map.try_insert(name, value), fresh) << "seed " << seed << " step " << step;
        }
        if (step % 97 == 0) {
            ASSERT_EQ(contents(map), model) << "seed " << seed << " step " << step;
        }
    }
    EXPECT_EQ(contents(map), model);
    for (const auto& [k, v] : model) EXPECT_EQ(*map.find(k), v);
}

TEST(AttrMap, IteratorYieldsEntriesByValue) {
    static_assert(std::forward_iterator<AttrMap::const_iterator>);
    static_assert(std::is_same_v<decltype(*AttrMap::const_iterator{}), AttrMap::Entry>);
    AttrMap map;
    map.insert_or_assign("a", "1");
    map.insert_or_assign("b", "22");
    map.insert_or_assign("c", "333");

    EXPECT_EQ(std::distance(map.begin(), map.end()), 3);
    auto it = map.begin();
    const std::string first_name(it->name);
    EXPECT_EQ(it->value, *map.find(first_name));
    EXPECT_EQ((*it).name, first_name);
    auto old = it++;
    EXPECT_EQ(old->name, first_name);
    EXPECT_NE(it->name, first_name);
    EXPECT_NE(it, old);
    EXPECT_EQ(++old, it);

    size_t total = 0;
    for (AttrMap::Entry e : map) total += e.value.size();
    for (const auto& [name, value] : map) total += name.size();
    EXPECT_EQ(total, 6u + 3u);
    EXPECT_EQ(AttrMap::const_iterator{}, AttrMap{}.begin());
}

// The map's memory for typical attribute sets, as the parser sizes it:
// header 24 bytes, 12 per entry, then the strings.
TEST(AttrMap, BlockSizeOfSmallMaps) {
    struct Case {
        size_t count;
        size_t bound;
    };
    const Case cases[] = {{1, 60}, {4, 150}, {16, 450}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.count);
        std::vector<std::pair<std::string, std::string>> attrs;
        size_t bytes = 0;
        for (size_t i = 0; i < c.count; ++i) {
            attrs.emplace_back(numbered("attr", i), numbered("value", i));
            bytes += attrs.back().first.size() + attrs.back().second.size();
        }
        AttrMap map;
        map.reserve(c.count, bytes);
        for (const auto& [name, value] : attrs) map.try_insert(name, value);
        EXPECT_EQ(map.allocated_bytes(), small_block_size(c.count, bytes));
        EXPECT_LE(map.allocated_bytes(), c.bound);
        EXPECT_EQ(AttrMap(map).allocated_bytes(), map.allocated_bytes());
    }
    // Filled without a reservation, a map of 4 stays within a small bound
    // too.
    AttrMap unreserved;
    for (int i = 0; i < 4; ++i) unreserved.try_insert(numbered("attr", i), numbered("value", i));
    EXPECT_LE(unreserved.allocated_bytes(), 400u);
}

TEST(AttrMap, EachMapHasItsOwnKey) {
    AttrMap a = numbered_map(AttrMap::kSmallMax + 1);
    AttrMap b = numbered_map(AttrMap::kSmallMax + 1);
    ASSERT_TRUE(a.hashed() && b.hashed());
    const SipKey key_a = AttrMapTesting::hash_key(a);
    const SipKey key_b = AttrMapTesting::hash_key(b);
    EXPECT_FALSE(key_a.k0 == key_b.k0 && key_a.k1 == key_b.k1);
}

// Small maps (shuffled records) and hashed ones (slot order): with random
// order bits or keys, 40 maps of n names all iterating in insertion order,
// or all in one order, would be a coincidence of at most (1/6)^39.
class AttrMapOrder : public testing::TestWithParam<size_t> {};

TEST_P(AttrMapOrder, DiffersFromInsertionOrderAndBetweenMaps) {
    const size_t n = GetParam();
    std::vector<std::string> inserted;
    for (size_t i = 0; i < n; ++i) inserted.push_back(numbered("attr", i));
    std::set<std::vector<std::string>> orders;
    bool differs = false;
    for (int round = 0; round < 40; ++round) {
        AttrMap map;
        for (const auto& name : inserted) map.insert_or_assign(name, "v");
        EXPECT_EQ(map.hashed(), n > AttrMap::kSmallMax);
        auto order = names_in_order(map);
        EXPECT_EQ(names_in_order(map), order) << "not stable";
        differs = differs || order != inserted;
        orders.insert(std::move(order));
    }
    EXPECT_TRUE(differs);
    EXPECT_GT(orders.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(AttrMap, AttrMapOrder, testing::Values(size_t{3}, size_t{6}, size_t{16}, size_t{17}, size_t{40}));

// Maps on both sides of the threshold and across it: the form follows the
// entry count, and every operation agrees with a plain map.
TEST(AttrMap, SmallAndHashedFormsBehaveAlike) {
    const size_t counts[] = {1, 2, 5, AttrMap::kSmallMax - 1, AttrMap::kSmallMax, AttrMap::kSmallMax + 1,
                             AttrMap::kSmallMax + 2, 3 * AttrMap::kSmallMax};
    for (const size_t n : counts) {
        SCOPED_TRACE(n);
        AttrMap map;
        std::map<std::string, std::string> model;
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(map.hashed(), i > AttrMap::kSmallMax) << "before entry " << i;
            ASSERT_TRUE(map.try_insert(numbered("k", i), numbered("v", i)));
            model[numbered("k", i)] = numbered("v", i);
            // Every earlier entry is still there after each insertion, the
            // one that crosses the threshold included.
            ASSERT_EQ(contents(map), model);
        }
        EXPECT_EQ(map.hashed(), n > AttrMap::kSmallMax);
        EXPECT_EQ(AttrMapTesting::hash_key(map).k0 != 0 || AttrMapTesting::hash_key(map).k1 != 0, map.hashed());
        // Duplicates: refused by try_insert, whatever the value; replaced by
        // insert_or_assign, in place in the order.
        const auto order = names_in_order(map);
        for (size_t i = 0; i < n; i += std::max<size_t>(1, n / 4)) {
            EXPECT_FALSE(map.try_insert(numbered("k", i), "ignored"));
            EXPECT_FALSE(map.insert_or_assign(numbered("k", i), numbered("replaced", i)));
            model[numbered("k", i)] = numbered("replaced", i);
        }
        EXPECT_EQ(names_in_order(map), order);
        EXPECT_EQ(contents(map), model);
        EXPECT_FALSE(map.contains(numbered("k", n)));
        EXPECT_FALSE(map.contains("k"));
        // Copy and move keep the form, the entries and the order.
        AttrMap copy = map;
        EXPECT_EQ(copy.hashed(), map.hashed());
        EXPECT_EQ(names_in_order(copy), order);
        EXPECT_EQ(contents(copy), model);
        AttrMap moved = std::move(copy);
        EXPECT_EQ(names_in_order(moved), order);
        EXPECT_TRUE(copy.empty());
        AttrMap assigned;
        assigned.try_insert("other", "x");
        assigned = moved;
        EXPECT_EQ(names_in_order(assigned), order);
    }
}

// Reservations choose the form: up to the threshold a small block, beyond
// it a hashed one; growing a small map past it by reserve keeps every entry.
TEST(AttrMap, ReserveCrossesTheThreshold) {
    struct Case {
        size_t present;
        size_t reserved;
        bool hashed;
    };
    const Case cases[] = {{0, 1, false},  {0, AttrMap::kSmallMax, false}, {0, AttrMap::kSmallMax + 1, true},
                          {3, 8, false},  {3, AttrMap::kSmallMax, false}, {3, AttrMap::kSmallMax + 1, true},
                          {16, 17, true}, {16, 200, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.present << " then " << c.reserved);
        AttrMap map = numbered_map(c.present);
        const auto before = contents(map);
        const auto order = names_in_order(map);
        const size_t reserved_bytes = 8 * c.reserved;
        map.reserve(c.reserved, reserved_bytes);
        EXPECT_EQ(map.hashed(), c.hashed);
        EXPECT_EQ(contents(map), before);
        if (!c.hashed) {
            EXPECT_EQ(names_in_order(map), order) << "a small map keeps its order";
        }
        if (c.present == 0) {
            EXPECT_EQ(map.allocated_bytes(), c.hashed ? hashed_block_size(c.reserved, reserved_bytes)
                                                      : small_block_size(c.reserved, reserved_bytes));
        }
        const size_t bytes = map.allocated_bytes();
        for (size_t i = c.present; i < c.reserved; ++i) map.try_insert(numbered("n", i), "");
        EXPECT_EQ(map.allocated_bytes(), bytes) << "the reservation was not enough";
    }
}

// Names of equal size that differ in one byte only, at each position that
// the word-wise comparison treats differently, in both forms.
TEST(AttrMap, NamesOfEqualSizeDifferingInOneByte) {
    const size_t sizes[] = {1, 2, 3, 4, 7, 8, 9, 15, 16, 17, 24, 25, 40};
    for (const size_t extra : {size_t{0}, AttrMap::kSmallMax}) {
        for (const size_t size : sizes) {
            SCOPED_TRACE(testing::Message() << "size " << size << ", " << extra << " more entries");
            const std::string base(size, 'n');
            AttrMap map;
            for (size_t i = 0; i < extra; ++i) map.try_insert(numbered("other", i), "o");
            ASSERT_TRUE(map.try_insert(base, "base"));
            std::vector<std::string> variants;
            for (size_t at : {size_t{0}, size / 2, size - 1, std::min<size_t>(size - 1, 7), std::min<size_t>(size - 1, 8)}) {
                std::string v = base;
                v[at] = 'x';
                if (std::find(variants.begin(), variants.end(), v) == variants.end()) variants.push_back(v);
            }
            for (const auto& v : variants) EXPECT_FALSE(map.contains(v)) << v;
            for (const auto& v : variants) EXPECT_TRUE(map.try_insert(v, v)) << v;
            EXPECT_EQ(*map.find(base), "base");
            for (const auto& v : variants) EXPECT_EQ(*map.find(v), v);
            EXPECT_EQ(map.size(), extra + 1 + variants.size());
        }
    }
}

// A copy of a small map holds the same order bits: the same names inserted
// into both afterwards take the same places.
TEST(AttrMap, CopyOfASmallMapPlacesLaterEntriesAlike) {
    AttrMap map = numbered_map(3);
    AttrMap copy = map;
    for (size_t i = 3; i < AttrMap::kSmallMax; ++i) {
        map.try_insert(numbered("k", i), "v");
        copy.try_insert(numbered("k", i), "v");
    }
    ASSERT_FALSE(map.hashed());
    EXPECT_EQ(names_in_order(copy), names_in_order(map));
}

// Tags parsed as they come from a document: the parser sizes each map from
// its tag, so a row of plain attributes gets a small block of exactly its
// entries and bytes, and values holding '=' still come out whole.
TEST(AttrMap, ParsedRowsGetExactBlocks) {
    struct Case {
        const char* tag;
        size_t count;
        size_t spare;  // bytes reserved beyond the names and values
    };
    const Case cases[] = {
        {"<r/>", 0, 0},
        {"<r a=\"1\"/>", 1, 0},
        {"<r id=\"1234\" name=\"lorem\" price=\"12.34\" qty=\"123\"/>", 4, 0},
        {"<r id=\"1\" name=\"lorem\" price=\"1.5\" qty=\"3\" code=\"C000001\" flag=\"y\"/>", 6, 0},
        // More white space than one byte per attribute, and a reference
        // that decodes shorter.
        {"<r  a = '1'\tb=\"&amp;\"  />", 2, 9},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tag);
        auto parsed = read::parse_document(c.tag, "r");
        ASSERT_TRUE(parsed.ok());
        const AttrMap& attrs = parsed.value().elements[0].attrs;
        ASSERT_EQ(attrs.size(), c.count);
        EXPECT_FALSE(attrs.hashed());
        size_t bytes = 0;
        for (const auto& e : attrs) bytes += e.name.size() + e.value.size();
        EXPECT_EQ(attrs.allocated_bytes(), c.count == 0 ? 0 : small_block_size(c.count, bytes + c.spare));
    }
    auto parsed = read::parse_document("<r href=\"a?x=1&amp;y=2\" q='=='/>", "r");
    ASSERT_TRUE(parsed.ok());
    const AttrMap& attrs = parsed.value().elements[0].attrs;
    EXPECT_EQ(contents(attrs), (std::map<std::string, std::string>{{"href", "a?x=1&y=2"}, {"q", "=="}}));
}

}  // namespace
}  // namespace arbolite
