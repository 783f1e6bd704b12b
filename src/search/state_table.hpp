// StateTable: a hash table keyed by packed cube states, W 64-bit words a key
// (the 3x3: 2, the 2x2: 1; the words of Cube::words()), as a set
// (Value = void) or as a map to a trivially copyable Value.
//
//   StateTable<2> seen;                       // a set of 3x3 states
//   seen.insert(cube.words().data());         // true: it was not there
//   StateTable<1, std::uint32_t> depth;       // a map of 2x2 states
//   auto [v, fresh] = depth.try_emplace(key, 7);
//   depth.find(key);                          // Value* or nullptr
//   seen.contains(key); seen.size(); seen.clear(); seen.reserve(n);
//   seen.for_each([](const std::uint64_t* key) { ... });
//   depth.for_each([](const std::uint64_t* key, std::uint32_t& v) { ... });
//
// Layout. The table is 2^shard_bits shards, picked by the top bits of the
// key's hash; each shard is an open-addressed array of slots probed
// linearly, the home slot of a key the hash's next bits scaled to the
// shard's capacity (a multiply-high, so any capacity works and a shard is
// kept in hash order, which makes a rehash write almost sequentially).
//
//   slot: key words k[0..W) then the Value, nothing else
//   empty slot: k[0] == 0
//
// A packed state never has a zero first word (its pieces are distinct), so
// the empty mark costs no byte; a key that does is kept in a short side list
// of its shard, which keeps the table correct for any words.
//
// Memory. A shard grows by half once it is more than 4/5 full, so a grown
// shard is at least 8/15 full: a 3x3 set costs at most 16 * 15/8 = 30 bytes a
// state, plus a few KiB of shard heads. Shards grow one at a time, so a
// rehash never holds two copies of the table, only of one shard.
//
// Threads. One thread may change a table at a time, and no thread may read
// it meanwhile, except through the batch calls below, which split the work
// by shard among the pool's workers: insert_batch() and contains_batch().
// insert_batch() processes each shard's keys in batch order, so a key
// repeated within one batch is new only at its first place. Shards of two
// tables with the same shard_bits hold the same keys' hashes, so a batch call
// may look a key up in other tables from its filter (see insert_batch).
//
// Cost (indicative): a few ns to hash, one cache miss a key for a table
// larger than the caches; the batch calls prefetch PREFETCH_DISTANCE keys
// ahead so that the misses overlap.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "runtime/parallel.hpp"
#include "runtime/pool_size.hpp"

namespace twirlkit {

namespace state_table_detail {

// A strong 64-bit mix of the words (the finalizer of a multiply-xorshift
// generator applied after each word), so that nearby states spread over the
// whole range and the top bits alone pick shards evenly.
template <std::size_t W>
inline std::uint64_t hash_words(const std::uint64_t* key) noexcept {
    std::uint64_t h = 0x9E3779B97F4A7C15ULL;
    for (std::size_t i = 0; i < W; ++i) {
        h ^= key[i];
        h *= 0xBF58476D1CE4E5B9ULL;
        h ^= h >> 31;
        h *= 0x94D049BB133111EBULL;
        h ^= h >> 29;
    }
    return h;
}

template <std::size_t W, class Value>
struct Slot {
    std::uint64_t key[W];
    Value value;
};
template <std::size_t W>
struct Slot<W, void> {
    std::uint64_t key[W];
};

struct NoFilter {
    constexpr bool operator()(const std::uint64_t*, std::uint64_t) const noexcept { return false; }
};

}  // namespace state_table_detail

template <std::size_t W, class Value = void>
class StateTable {
    static_assert(W >= 1);
    static_assert(std::is_void_v<Value> || std::is_trivially_copyable_v<Value>,
                  "slots are moved with memcpy and freed without destructors");
    using Slot = state_table_detail::Slot<W, Value>;

public:
    static constexpr std::size_t words = W;
    static constexpr std::size_t slot_bytes = sizeof(Slot);
    static constexpr unsigned DEFAULT_SHARD_BITS = 8;
    // How many keys ahead the batch loops prefetch a slot.
    static constexpr std::size_t PREFETCH_DISTANCE = 12;
    // Batches smaller than this run on the calling thread alone, key by key.
    static constexpr std::size_t PARALLEL_BATCH = std::size_t{1} << 14;

    explicit StateTable(unsigned shard_bits = DEFAULT_SHARD_BITS)
        : shard_bits_(std::clamp(shard_bits, 0U, 16U)), shards_(std::size_t{1} << shard_bits_) {}
    ~StateTable() { release(); }
    StateTable(const StateTable&) = delete;
    StateTable& operator=(const StateTable&) = delete;
    StateTable(StateTable&& other) noexcept
        : shard_bits_(other.shard_bits_), shards_(std::move(other.shards_)), size_(other.size_) {
        other.shards_.assign(std::size_t{1} << other.shard_bits_, Shard{});
        other.size_ = 0;
    }
    StateTable& operator=(StateTable&& other) noexcept {
        if (this != &other) {
            release();
            shard_bits_ = other.shard_bits_;
            shards_ = std::move(other.shards_);
            size_ = other.size_;
            other.shards_.assign(std::size_t{1} << other.shard_bits_, Shard{});
            other.size_ = 0;
        }
        return *this;
    }

    static std::uint64_t hash(const std::uint64_t* key) noexcept {
        return state_table_detail::hash_words<W>(key);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    unsigned shard_bits() const noexcept { return shard_bits_; }

    // The bytes the table holds: slots, side lists and shard heads.
    std::size_t memory_bytes() const noexcept {
        std::size_t bytes = shards_.capacity() * sizeof(Shard);
        for (const Shard& s : shards_) bytes += s.capacity * sizeof(Slot) + s.odd.capacity() * sizeof(Slot);
        return bytes;
    }

    // Empties the table and gives its memory back.
    void clear() noexcept {
        release();
        size_ = 0;
    }

    // Room for n keys in all, spread as the hash spreads them, so that
    // inserting up to about n keys rehashes nothing.
    void reserve(std::size_t n) {
        const std::size_t per_shard = n / shards_.size() + n / shards_.size() / 16 + 16;
        for (Shard& s : shards_) {
            if (per_shard > s.grow_at) rehash(s, capacity_for(per_shard));
        }
    }

    // --- one key at a time ----------------------------------------------

    // The set form: true when the key was not in the table (it is now).
    bool insert(const std::uint64_t* key) { return insert_hashed(key, hash(key)); }
    bool insert_hashed(const std::uint64_t* key, std::uint64_t h) {
        return emplace_hashed(key, h).second;
    }

    // The map form: the key's value, and whether the key is new (then its
    // value is v; otherwise the value is left as it was).
    template <class V = Value>
        requires(!std::is_void_v<V>)
    std::pair<V*, bool> try_emplace(const std::uint64_t* key, const V& v) {
        return try_emplace_hashed(key, hash(key), v);
    }
    // The same with the key's hash (of hash()) known, as after prefetch(h),
    // for a caller that prefetches a run of keys ahead of its inserts.
    template <class V = Value>
        requires(!std::is_void_v<V>)
    std::pair<V*, bool> try_emplace_hashed(const std::uint64_t* key, std::uint64_t h, const V& v) {
        auto [slot, fresh] = emplace_hashed(key, h);
        if (fresh) slot->value = v;
        return {&slot->value, fresh};
    }

    template <class V = Value>
        requires(!std::is_void_v<V>)
    V* find(const std::uint64_t* key) noexcept {
        Slot* slot = const_cast<Slot*>(find_hashed(key, hash(key)));
        return slot ? &slot->value : nullptr;
    }
    template <class V = Value>
        requires(!std::is_void_v<V>)
    const V* find(const std::uint64_t* key) const noexcept {
        const Slot* slot = find_hashed(key, hash(key));
        return slot ? &slot->value : nullptr;
    }

    bool contains(const std::uint64_t* key) const noexcept { return contains_hashed(key, hash(key)); }
    bool contains_hashed(const std::uint64_t* key, std::uint64_t h) const noexcept {
        return find_hashed(key, h) != nullptr;
    }

    // Brings the home slot of hash h towards the cache, for a lookup soon.
    void prefetch(std::uint64_t h) const noexcept {
        const Shard& s = shards_[shard_of(h)];
        if (s.capacity != 0) __builtin_prefetch(s.slots + home(s, h));
    }

    // Calls f(key) for a set, f(key, value&) for a map, once per key, in no
    // particular order. f must not change the table.
    template <class F>
    void for_each(F&& f) {
        for (Shard& s : shards_) visit_shard(s, f);
    }
    template <class F>
    void for_each(F&& f) const {
        for (const Shard& s : shards_) visit_shard(s, f);
    }

    // Writes every key, W words each, to out[0 .. size() * W), shard by
    // shard on the pool's workers.
    void copy_keys(std::uint64_t* out) const {
        std::vector<std::size_t> start(shards_.size() + 1, 0);
        for (std::size_t i = 0; i < shards_.size(); ++i) start[i + 1] = start[i] + shards_[i].size + shards_[i].odd.size();
        parallel_for(0, shards_.size(), 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t i = b; i < e; ++i) {
                std::uint64_t* to = out + start[i] * W;
                visit_shard(shards_[i], [&to](const std::uint64_t* key, auto&&...) {
                    std::memcpy(to, key, W * sizeof(std::uint64_t));
                    to += W;
                });
            }
        });
    }

    // --- batches, on the pool's workers ---------------------------------

    // Inserts keys[i * W .. (i + 1) * W) for i in [0, n); is_new[i] (if not
    // null) is true where that key was not in the table before, counting the
    // batch's earlier keys. A key for which skip(key, hash) is true is not
    // inserted and reads false; skip may be asked only about keys not in the
    // table yet (the others read false anyway). skip runs on the workers,
    // for one shard of keys on one worker at a time, and may read other
    // tables (not this one); a skip with a member prefetch(hash) has it
    // called ahead of its calls, like the table's own prefetch. Returns the
    // number of new keys.
    template <class Skip = state_table_detail::NoFilter>
    std::size_t insert_batch(const std::uint64_t* keys, std::size_t n, bool* is_new,
                             Skip&& skip = {}) {
        return visit_batch(keys, n, skip, [is_new](std::size_t i, Slot*, bool fresh) {
            if (is_new) is_new[i] = fresh;
        });
    }

    // The map form: inserts the keys as insert_batch does, a new key's value
    // starting as zero bytes, and calls visit(i, value, fresh) for every i
    // with the key's value (nullptr where skip said so) and whether the key
    // is new. visit runs on the workers, a shard's keys in batch order.
    template <class Visit, class Skip = state_table_detail::NoFilter>
        requires(!std::is_void_v<Value>)
    std::size_t emplace_batch(const std::uint64_t* keys, std::size_t n, Visit&& visit,
                              Skip&& skip = {}) {
        return visit_batch(keys, n, skip, [&visit](std::size_t i, Slot* slot, bool fresh) {
            visit(i, slot ? &slot->value : static_cast<Value*>(nullptr), fresh);
        });
    }

private:
    template <class Skip, class Visit>
    std::size_t visit_batch(const std::uint64_t* keys, std::size_t n, Skip& skip, Visit&& visit) {
        // Pieces bound the grouping's copy of the keys; in order, they keep
        // the batch order.
        constexpr std::size_t PIECE = std::size_t{1} << 24;
        const std::size_t before = size_;
        for (std::size_t b = 0; b < n; b += PIECE) {
            const std::size_t m = std::min(PIECE, n - b);
            visit_piece(keys + b * W, m, skip, [&visit, b](std::size_t i, Slot* slot, bool fresh) {
                visit(b + i, slot, fresh);
            });
        }
        return size_ - before;
    }

    // Prefetches the slot of hash h here, and where skip will look (a skip
    // with a member prefetch(h)).
    template <class Skip>
    void prefetch_for(const Skip& skip, std::uint64_t h) const noexcept {
        prefetch(h);
        if constexpr (requires { skip.prefetch(h); }) skip.prefetch(h);
    }

    template <class Skip, class Visit>
    void visit_piece(const std::uint64_t* keys, std::size_t n, Skip& skip, Visit&& visit) {
        if (n < PARALLEL_BATCH || shards_.size() == 1) {
            std::vector<std::uint64_t> hashes(n);
            for (std::size_t i = 0; i < n; ++i) hashes[i] = hash(keys + i * W);
            for (std::size_t i = 0; i < n; ++i) {
                if (i + PREFETCH_DISTANCE < n) prefetch_for(skip, hashes[i + PREFETCH_DISTANCE]);
                const std::uint64_t* key = keys + i * W;
                if (skip(key, hashes[i])) {
                    visit(i, nullptr, false);
                } else {
                    auto [slot, fresh] = emplace_hashed(key, hashes[i]);
                    visit(i, slot, fresh);
                }
            }
            return;
        }
        const std::vector<Grouped> grouped = group_by_shard(keys, n);
        // The shards count their own keys; whatever stops the workers (an
        // allocation, a cancellation), the size is theirs added up.
        struct Recount {
            StateTable& table;
            ~Recount() {
                std::size_t total = 0;
                for (const Shard& s : table.shards_) total += s.size + s.odd.size();
                table.size_ = total;
            }
        } recount{*this};
        parallel_for(0, shards_.size(), 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t si = b; si < e; ++si) {
                const std::size_t first = group_start_[si], last = group_start_[si + 1];
                std::size_t fresh = 0;
                bool guessed = false;
                Shard& shard = shards_[si];
                for (std::size_t j = first; j < last; ++j) {
                    if (shard.size >= shard.grow_at) {
                        // Grow once for the rest of the group, at the share
                        // of new keys seen so far, instead of by half a time.
                        const double share = double(fresh + 1) / double(j - first + 1);
                        const auto expected = static_cast<std::size_t>(double(last - j) * share);
                        const std::size_t by_half = shard.capacity + shard.capacity / 2;
                        const std::size_t guess = capacity_for(shard.size + expected);
                        guessed = guessed || guess > by_half;
                        rehash(shard, std::max(by_half, guess));
                    }
                    if (j + PREFETCH_DISTANCE < last) prefetch_for(skip, grouped[j + PREFETCH_DISTANCE].hash);
                    const Grouped& item = grouped[j];
                    const std::size_t i = item.index;
                    if constexpr (!std::is_same_v<Skip, state_table_detail::NoFilter>) {
                        // A key already here is no new key, whatever skip says.
                        if (Slot* here = const_cast<Slot*>(find_in(shard, item.key, item.hash))) {
                            visit(i, here, false);
                            continue;
                        }
                        if (skip(item.key, item.hash)) {
                            visit(i, nullptr, false);
                            continue;
                        }
                    }
                    auto [slot, is_fresh] = emplace_in(shard, item.key, item.hash);
                    visit(i, slot, is_fresh);
                    fresh += is_fresh;
                }
                // A guess that the rest of the keys were new, when they were
                // repeats, leaves the shard too empty: fit it to its keys,
                // which keeps the bound on memory a key.
                const std::size_t fitted = capacity_for(shard.size);
                if (guessed && shard.capacity > fitted + fitted / 2) rehash(shard, fitted);
            }
        });
    }

public:
    // found[i] = whether keys[i * W ..) is in the table, for i in [0, n).
    void contains_batch(const std::uint64_t* keys, std::size_t n, bool* found) const {
        const std::size_t grain = n < PARALLEL_BATCH ? n + 1 : std::size_t{1} << 12;
        parallel_for(0, n, grain, [&](std::size_t b, std::size_t e) {
            constexpr std::size_t D = PREFETCH_DISTANCE;
            std::uint64_t ring[D];
            const std::size_t warm = std::min(D, e - b);
            for (std::size_t i = 0; i < warm; ++i) {
                ring[i] = hash(keys + (b + i) * W);
                prefetch(ring[i]);
            }
            for (std::size_t i = b; i < e; ++i) {
                const std::uint64_t h = ring[(i - b) % D];
                if (i + D < e) {
                    const std::uint64_t ahead = hash(keys + (i + D) * W);
                    ring[(i - b) % D] = ahead;
                    prefetch(ahead);
                }
                found[i] = contains_hashed(keys + i * W, h);
            }
        });
    }

private:
    struct Shard {
        Slot* slots = nullptr;
        std::size_t capacity = 0;
        std::size_t size = 0;     // keys in `slots`, not counting `odd`
        std::size_t grow_at = 0;  // the size past which the shard grows
        std::vector<Slot> odd;    // keys whose first word is 0
    };

    static constexpr std::size_t MIN_CAPACITY = 8;

    // 4/5 full at most; a capacity that holds n keys at that load.
    static constexpr std::size_t limit_of(std::size_t capacity) noexcept {
        return capacity / 5 * 4 + capacity % 5 * 4 / 5;
    }
    static constexpr std::size_t capacity_for(std::size_t n) noexcept {
        std::size_t c = n + n / 4 + 1;
        return std::max(c, MIN_CAPACITY);
    }

    std::size_t shard_of(std::uint64_t h) const noexcept {
        return shard_bits_ == 0 ? 0 : static_cast<std::size_t>(h >> (64 - shard_bits_));
    }
    std::size_t home(const Shard& s, std::uint64_t h) const noexcept {
        const std::uint64_t rest = h << shard_bits_;
        return static_cast<std::size_t>((static_cast<unsigned __int128>(rest) * s.capacity) >> 64);
    }

    static bool same_key(const std::uint64_t* a, const std::uint64_t* b) noexcept {
        for (std::size_t i = 0; i < W; ++i) {
            if (a[i] != b[i]) return false;
        }
        return true;
    }

    const Slot* find_hashed(const std::uint64_t* key, std::uint64_t h) const noexcept {
        return find_in(shards_[shard_of(h)], key, h);
    }
    const Slot* find_in(const Shard& s, const std::uint64_t* key, std::uint64_t h) const noexcept {
        if (key[0] == 0) {
            for (const Slot& slot : s.odd) {
                if (same_key(slot.key, key)) return &slot;
            }
            return nullptr;
        }
        if (s.capacity == 0) return nullptr;
        std::size_t i = home(s, h);
        for (;;) {
            const Slot& slot = s.slots[i];
            if (slot.key[0] == 0) return nullptr;
            if (same_key(slot.key, key)) return &slot;
            if (++i == s.capacity) i = 0;
        }
    }

    std::pair<Slot*, bool> emplace_hashed(const std::uint64_t* key, std::uint64_t h) {
        auto result = emplace_in(shards_[shard_of(h)], key, h);
        size_ += result.second;
        return result;
    }

    // Inserts into one shard without touching size_ (the batch calls add
    // their counts once the workers are done).
    std::pair<Slot*, bool> emplace_in(Shard& s, const std::uint64_t* key, std::uint64_t h) {
        if (key[0] == 0) {
            for (Slot& slot : s.odd) {
                if (same_key(slot.key, key)) return {&slot, false};
            }
            Slot& slot = s.odd.emplace_back();
            std::memcpy(slot.key, key, sizeof slot.key);
            return {&slot, true};
        }
        if (s.size >= s.grow_at) rehash(s, s.capacity == 0 ? MIN_CAPACITY : s.capacity + s.capacity / 2);
        std::size_t i = home(s, h);
        for (;;) {
            Slot& slot = s.slots[i];
            if (slot.key[0] == 0) {
                std::memcpy(slot.key, key, sizeof slot.key);
                ++s.size;
                return {&slot, true};
            }
            if (same_key(slot.key, key)) return {&slot, false};
            if (++i == s.capacity) i = 0;
        }
    }

    void rehash(Shard& s, std::size_t capacity) {
        Slot* slots = static_cast<Slot*>(std::calloc(capacity, sizeof(Slot)));
        if (slots == nullptr) throw std::bad_alloc();
        Shard grown;
        grown.slots = slots;
        grown.capacity = capacity;
        grown.grow_at = limit_of(capacity);
        // Old slots in order: their homes in the new array rise with them.
        for (std::size_t i = 0; i < s.capacity; ++i) {
            const Slot& from = s.slots[i];
            if (from.key[0] == 0) continue;
            std::size_t j = home(grown, hash(from.key));
            while (slots[j].key[0] != 0) {
                if (++j == capacity) j = 0;
            }
            std::memcpy(&slots[j], &from, sizeof(Slot));
        }
        std::free(s.slots);
        s.slots = slots;
        s.capacity = capacity;
        s.grow_at = grown.grow_at;
        grown.slots = nullptr;
    }

    template <class Sh, class F>
    static void visit_shard(Sh& s, F&& f) {
        auto visit = [&f](auto& slot) {
            if constexpr (std::is_void_v<Value>) {
                f(static_cast<const std::uint64_t*>(slot.key));
            } else {
                f(static_cast<const std::uint64_t*>(slot.key), slot.value);
            }
        };
        for (std::size_t i = 0; i < s.capacity; ++i) {
            if (s.slots[i].key[0] != 0) visit(s.slots[i]);
        }
        for (auto& slot : s.odd) visit(slot);
    }

    // A key of a batch with its hash and its place, copied next to the other
    // keys of its shard: the shard's pass then reads its keys in order
    // instead of gathering them from all over the batch (a cache miss each).
    struct Grouped {
        std::uint64_t key[W];
        std::uint64_t hash;
        std::size_t index;
    };

    // The batch's keys grouped by shard, in batch order within a shard (a
    // stable counting sort); group_start_[s] is where shard s's begin.
    // Each pass hashes the keys afresh: a hash costs less than writing it
    // out and reading it back.
    std::vector<Grouped> group_by_shard(const std::uint64_t* keys, std::size_t n) {
        const std::size_t shard_count = shards_.size();
        const std::size_t chunks = std::min<std::size_t>(64, (n + 4095) / 4096);
        const std::size_t per_chunk = (n + chunks - 1) / chunks;
        std::vector<std::size_t> counts(chunks * shard_count, 0);
        parallel_for(0, chunks, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t c = b; c < e; ++c) {
                std::size_t* count = counts.data() + c * shard_count;
                const std::size_t last = std::min(n, (c + 1) * per_chunk);
                for (std::size_t i = c * per_chunk; i < last; ++i) ++count[shard_of(hash(keys + i * W))];
            }
        });
        group_start_.assign(shard_count + 1, 0);
        std::size_t at = 0;
        for (std::size_t s = 0; s < shard_count; ++s) {
            group_start_[s] = at;
            for (std::size_t c = 0; c < chunks; ++c) {
                const std::size_t k = counts[c * shard_count + s];
                counts[c * shard_count + s] = at;
                at += k;
            }
        }
        group_start_[shard_count] = at;
        std::vector<Grouped> grouped(n);
        parallel_for(0, chunks, 1, [&](std::size_t b, std::size_t e) {
            for (std::size_t c = b; c < e; ++c) {
                std::size_t* next = counts.data() + c * shard_count;
                const std::size_t last = std::min(n, (c + 1) * per_chunk);
                for (std::size_t i = c * per_chunk; i < last; ++i) {
                    const std::uint64_t h = hash(keys + i * W);
                    Grouped& to = grouped[next[shard_of(h)]++];
                    std::memcpy(to.key, keys + i * W, sizeof to.key);
                    to.hash = h;
                    to.index = i;
                }
            }
        });
        return grouped;
    }

    void release() noexcept {
        for (Shard& s : shards_) {
            std::free(s.slots);
            s = Shard{};
        }
    }

    unsigned shard_bits_;
    std::vector<Shard> shards_;
    std::size_t size_ = 0;
    std::vector<std::size_t> group_start_;
};

}  // namespace twirlkit
