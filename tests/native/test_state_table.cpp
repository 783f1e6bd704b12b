#include "search/state_table.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <vector>

namespace twirlkit {
namespace {

using Key2 = std::array<std::uint64_t, 2>;

// Random two-word keys drawn from a small range, so that a batch repeats
// keys, with a few whose first word is 0 (the side list).
std::vector<std::uint64_t> random_keys(std::size_t n, std::uint64_t seed, std::uint64_t range) {
    std::mt19937_64 rng(seed);
    std::vector<std::uint64_t> keys(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        keys[2 * i] = rng() % range;
        keys[2 * i + 1] = rng() % 3;
    }
    return keys;
}

// One table filled by single inserts and by batches (small ones on the
// calling thread, large ones grouped by shard on the workers) agrees with
// std::set on every answer: new only at a key's first place, contains,
// size, for_each and copy_keys.
TEST(StateTable, SetAgreesWithStdSet) {
    for (unsigned shard_bits : {0U, 3U, 8U}) {
        StateTable<2> table(shard_bits);
        std::set<Key2> reference;
        std::uint64_t seed = shard_bits;
        for (std::size_t n : {std::size_t{1}, std::size_t{700}, std::size_t{40'000}, std::size_t{100'000}}) {
            const std::vector<std::uint64_t> keys = random_keys(n, ++seed, 60'000);
            std::vector<char> is_new(n);
            if (n == 1) {
                is_new[0] = table.insert(keys.data());
            } else {
                table.insert_batch(keys.data(), n, reinterpret_cast<bool*>(is_new.data()));
            }
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_EQ(is_new[i] != 0, reference.insert({keys[2 * i], keys[2 * i + 1]}).second)
                    << "key " << i << " of " << n;
            }
            ASSERT_EQ(table.size(), reference.size());
        }
        const std::vector<std::uint64_t> probe = random_keys(50'000, 99, 120'000);
        std::vector<char> found(50'000);
        table.contains_batch(probe.data(), 50'000, reinterpret_cast<bool*>(found.data()));
        for (std::size_t i = 0; i < 50'000; ++i) {
            const bool there = reference.count({probe[2 * i], probe[2 * i + 1]}) != 0;
            ASSERT_EQ(found[i] != 0, there);
            ASSERT_EQ(table.contains(probe.data() + 2 * i), there);
        }
        std::set<Key2> visited;
        table.for_each([&](const std::uint64_t* k) { EXPECT_TRUE(visited.insert({k[0], k[1]}).second); });
        EXPECT_EQ(visited, reference);
        std::vector<std::uint64_t> copied(2 * table.size());
        table.copy_keys(copied.data());
        std::set<Key2> copies;
        for (std::size_t i = 0; i < table.size(); ++i) copies.insert({copied[2 * i], copied[2 * i + 1]});
        EXPECT_EQ(copies, reference);
        table.clear();
        EXPECT_EQ(table.size(), 0U);
        EXPECT_FALSE(table.contains(probe.data()));
    }
}

// A batch filter keeps keys out, and another table read from it answers
// like a set difference.
TEST(StateTable, BatchSkipsFilteredKeys) {
    StateTable<2> old;
    const std::vector<std::uint64_t> first = random_keys(30'000, 1, 50'000);
    old.insert_batch(first.data(), 30'000, nullptr);
    const std::vector<std::uint64_t> second = random_keys(60'000, 2, 50'000);
    StateTable<2> fresh;
    std::vector<char> is_new(60'000);
    const std::size_t added = fresh.insert_batch(
        second.data(), 60'000, reinterpret_cast<bool*>(is_new.data()),
        [&old](const std::uint64_t* key, std::uint64_t h) { return old.contains_hashed(key, h); });
    std::set<Key2> seen;
    std::size_t expected = 0;
    for (std::size_t i = 0; i < 60'000; ++i) {
        const Key2 k{second[2 * i], second[2 * i + 1]};
        const bool want = !old.contains(k.data()) && seen.insert(k).second;
        ASSERT_EQ(is_new[i] != 0, want);
        expected += want;
    }
    EXPECT_EQ(added, expected);
    EXPECT_EQ(fresh.size(), expected);
}

TEST(StateTable, MapKeepsTheFirstValue) {
    StateTable<1, std::uint32_t> depth(4);
    std::map<std::uint64_t, std::uint32_t> reference;
    std::mt19937_64 rng(5);
    for (std::uint32_t i = 0; i < 20'000; ++i) {
        const std::uint64_t key = rng() % 9'000;
        auto [value, fresh] = depth.try_emplace(&key, i);
        auto [it, want] = reference.try_emplace(key, i);
        ASSERT_EQ(fresh, want);
        ASSERT_EQ(*value, it->second);
        if (i % 3 == 0) *value += 1, it->second += 1;
    }
    for (const auto& [key, v] : reference) {
        const std::uint32_t* found = depth.find(&key);
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(*found, v);
    }
    const std::uint64_t absent = 1'000'000;
    EXPECT_EQ(depth.find(&absent), nullptr);
    std::size_t visits = 0;
    depth.for_each([&](const std::uint64_t* key, std::uint32_t& v) {
        EXPECT_EQ(reference.at(*key), v);
        ++visits;
    });
    EXPECT_EQ(visits, reference.size());
}

// The bytes a two-word key costs stay at or under 32 for any size from ten
// thousand keys on, whether grown key by key, in batches or reserved.
TEST(StateTable, TwoWordKeysCostAtMost32Bytes) {
    std::mt19937_64 rng(7);
    StateTable<2> grown, batched;
    std::vector<std::uint64_t> keys;
    std::size_t next_check = 10'000;
    while (grown.size() < 3'000'000) {
        const std::uint64_t key[2] = {rng() | 1, rng()};
        grown.insert(key);
        keys.insert(keys.end(), key, key + 2);
        if (grown.size() == next_check) {
            EXPECT_LE(grown.memory_bytes(), 32 * grown.size()) << grown.size() << " keys";
            next_check += next_check / 7;
        }
    }
    for (std::size_t b = 0; b < keys.size() / 2; b += 250'000) {
        batched.insert_batch(keys.data() + 2 * b, 250'000, nullptr);
        EXPECT_LE(batched.memory_bytes(), 32 * batched.size()) << batched.size() << " keys";
    }
    // Batches of repeats, the repeats in order or after their first places.
    std::vector<std::uint64_t> repeats;
    for (std::size_t r = 0; r < 20; ++r) repeats.insert(repeats.end(), keys.begin(), keys.begin() + 100'000);
    for (bool shuffled : {true, false}) {
        StateTable<2> repeated;
        std::vector<std::uint64_t> batch = repeats;
        if (shuffled) {
            for (std::size_t i = batch.size() / 2 - 1; i > 0; --i) {
                const std::size_t j = rng() % (i + 1);
                std::swap(batch[2 * i], batch[2 * j]);
                std::swap(batch[2 * i + 1], batch[2 * j + 1]);
            }
        }
        repeated.insert_batch(batch.data(), batch.size() / 2, nullptr);
        EXPECT_EQ(repeated.size(), 50'000U);
        EXPECT_LE(repeated.memory_bytes(), 32 * repeated.size()) << "shuffled " << shuffled;
    }
    StateTable<2> reserved;
    reserved.reserve(1'000'000);
    reserved.insert_batch(keys.data(), 1'000'000, nullptr);
    EXPECT_LE(reserved.memory_bytes(), 32 * reserved.size());
}

}  // namespace
}  // namespace twirlkit
