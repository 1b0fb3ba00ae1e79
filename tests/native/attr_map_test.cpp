#include "common/attr_map.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace arbolite {
namespace {

std::vector<std::string> names_in_order(const AttrMap& map) {
    std::vector<std::string> names;
    for (const auto& e : map) names.push_back(e.name);
    return names;
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
    EXPECT_EQ(map.begin(), map.end());
    EXPECT_EQ(map.find("a"), nullptr);
    AttrMap copy = map;
    EXPECT_EQ(copy.capacity(), 0u);
}

TEST(AttrMap, InsertFindReplace) {
    AttrMap map;
    EXPECT_TRUE(map.insert_or_assign("id", "1"));
    EXPECT_TRUE(map.insert_or_assign("", "empty name"));
    EXPECT_FALSE(map.insert_or_assign("id", "2"));
    ASSERT_NE(map.find("id"), nullptr);
    EXPECT_EQ(*map.find("id"), "2");
    EXPECT_EQ(*map.find(""), "empty name");
    EXPECT_EQ(map.size(), 2u);
    EXPECT_FALSE(map.contains("ID"));
    EXPECT_FALSE(map.contains(std::string_view("id\0", 3)));
}

TEST(AttrMap, TryInsertLeavesArgumentsOnDuplicate) {
    AttrMap map;
    std::string name = "a", value = "1";
    EXPECT_TRUE(map.try_insert(std::move(name), std::move(value)));
    std::string again = "a", other = "2";
    EXPECT_FALSE(map.try_insert(std::move(again), std::move(other)));
    EXPECT_EQ(again, "a");
    EXPECT_EQ(other, "2");
    EXPECT_EQ(*map.find("a"), "1");
}

TEST(AttrMap, GrowthKeepsEveryEntry) {
    AttrMap map;
    std::map<std::string, std::string> expected;
    for (int i = 0; i < 5000; ++i) {
        std::string k = "name" + std::to_string(i * 7919 % 10007);
        map.insert_or_assign(k, std::to_string(i));
        expected[k] = std::to_string(i);
    }
    EXPECT_EQ(map.size(), expected.size());
    EXPECT_GT(map.capacity(), map.size());
    std::map<std::string, std::string> seen;
    for (const auto& e : map) seen[e.name] = e.value;
    EXPECT_EQ(seen, expected);
    for (const auto& [k, v] : expected) EXPECT_EQ(*map.find(k), v);
}

TEST(AttrMap, CollidingSlotsProbeOnward) {
    // Far more names than a small table has slots: many share a home slot.
    AttrMap map;
    map.reserve(3);
    EXPECT_EQ(map.capacity(), 4u);
    for (char c = 'a'; c <= 'z'; ++c) map.insert_or_assign(std::string(1, c), std::string(2, c));
    for (char c = 'a'; c <= 'z'; ++c) EXPECT_EQ(*map.find(std::string(1, c)), std::string(2, c));
    EXPECT_EQ(map.size(), 26u);
}

TEST(AttrMap, ReserveAvoidsRegrowth) {
    AttrMap map;
    map.reserve(100);
    size_t cap = map.capacity();
    for (int i = 0; i < 100; ++i) map.insert_or_assign(std::to_string(i), "v");
    EXPECT_EQ(map.capacity(), cap);
}

TEST(AttrMap, CopyKeepsKeySlotsAndOrder) {
    AttrMap map;
    for (int i = 0; i < 40; ++i) map.insert_or_assign("k" + std::to_string(i), std::to_string(i));
    AttrMap copy = map;
    EXPECT_EQ(copy.capacity(), map.capacity());
    EXPECT_EQ(copy.hash_key().k0, map.hash_key().k0);
    EXPECT_EQ(copy.hash_key().k1, map.hash_key().k1);
    EXPECT_EQ(names_in_order(copy), names_in_order(map));
    AttrMap moved = std::move(copy);
    EXPECT_EQ(names_in_order(moved), names_in_order(map));
    EXPECT_EQ(copy.size(), 0u);
}

TEST(AttrMap, EachMapHasItsOwnKey) {
    AttrMap a, b;
    a.insert_or_assign("x", "1");
    b.insert_or_assign("x", "1");
    EXPECT_FALSE(a.hash_key().k0 == b.hash_key().k0 && a.hash_key().k1 == b.hash_key().k1);
}

TEST(AttrMap, OrderIsNotInsertionOrderForSomeMap) {
    // With random keys, 20 maps of 8 names all iterating in insertion order
    // would be a (2^-15)^20 coincidence.
    std::vector<std::string> inserted;
    for (int i = 0; i < 8; ++i) inserted.push_back("attr" + std::to_string(i));
    bool differs = false;
    for (int round = 0; round < 20 && !differs; ++round) {
        AttrMap map;
        for (const auto& n : inserted) map.insert_or_assign(n, "v");
        differs = names_in_order(map) != inserted;
    }
    EXPECT_TRUE(differs);
}

}  // namespace
}  // namespace arbolite
