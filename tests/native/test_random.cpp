#include "runtime/random.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "model/cube3x3.hpp"

namespace twirlkit {
namespace {

std::string keystream_hex(auto gen, std::size_t skip_words, std::size_t bytes) {
    for (std::size_t i = 0; i < skip_words; ++i) {
        gen.next_u32();
    }
    std::vector<std::uint8_t> out(bytes);
    gen.fill_bytes(out);
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint8_t b : out) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
    }
    return hex;
}

constexpr ChaCha8::Key ZERO_KEY{};

TEST(ChaChaTest, ZeroKeyVectors) {
    EXPECT_EQ(keystream_hex(ChaCha8(ZERO_KEY), 0, 64),
              "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
              "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42");
    EXPECT_EQ(keystream_hex(ChaCha8(ZERO_KEY), 16, 16), "d2aefa0deaa5c151bf0adb6c01f2a5ad");
    EXPECT_EQ(keystream_hex(ChaCha12(ZERO_KEY), 0, 64),
              "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
              "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be");
    // Words are the little-endian reading of the byte stream.
    ChaCha8 gen(ZERO_KEY);
    EXPECT_EQ(gen.next_u32(), 0x2fef003eu);
    EXPECT_EQ(gen.next_u32(), 0xd6405f89u);
}

// The zero vectors cannot catch a misplaced key, counter or nonce word. This
// is the twenty-round block of the IETF variant (key 00..1f, block counter 1,
// nonce 000000090000004a00000000) read in the original layout: its counter
// and the first nonce word form our 64-bit counter.
TEST(ChaChaTest, KeyCounterAndNonceWordsSitWhereTheyBelong) {
    ChaCha<20>::Key key;
    for (std::uint32_t i = 0; i < 8; ++i) {
        key[i] = (4 * i) | (4 * i + 1) << 8 | (4 * i + 2) << 16 | (4 * i + 3) << 24;
    }
    EXPECT_EQ(keystream_hex(ChaCha<20>(key, 0x4a000000u, 0x0900000000000001u), 0, 64),
              "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
              "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e");

    // The counter carries from word 12 into word 13 ...
    EXPECT_EQ(keystream_hex(ChaCha8(ZERO_KEY, 0, 0xffffffffu), 16, 64),
              keystream_hex(ChaCha8(ZERO_KEY, 0, std::uint64_t{1} << 32), 0, 64));
    // ... and both halves of the nonce reach the block.
    EXPECT_NE(keystream_hex(ChaCha8(ZERO_KEY, std::uint64_t{1} << 32), 0, 16),
              keystream_hex(ChaCha8(ZERO_KEY), 0, 16));
}

// Serves a fixed list of outputs, then a sentinel, and counts what it served.
struct ScriptedRng {
    std::vector<std::uint32_t> outputs;
    std::size_t served = 0;
    std::uint32_t next_u32() { return served < outputs.size() ? outputs[served++] : (++served, 0x7fffffffu); }
};

MoveIndex draw_once(std::uint32_t x) {
    ScriptedRng rng{{x}};
    return draw_move_index(rng);
}

TEST(DrawMoveIndexTest, RejectsExactlyTheFourOutputsThatWouldBias) {
    for (const std::uint32_t rejected : {0x00000000u, 0x40000000u, 0x80000000u, 0xc0000000u}) {
        ScriptedRng rng{{rejected, 0xffffffffu}};
        EXPECT_EQ(draw_move_index(rng), 11u) << rejected;
        EXPECT_EQ(rng.served, 2u) << rejected;
    }
    for (const std::uint32_t kept : {0x00000001u, 0x3fffffffu, 0x40000001u, 0xbfffffffu, 0xffffffffu}) {
        ScriptedRng rng{{kept}};
        draw_move_index(rng);
        EXPECT_EQ(rng.served, 1u) << kept;
    }
}

// The draw is monotone in its input, so each turn owns one interval of
// outputs. Every interval, less its rejected outputs, must hold the same
// number of values: floor(2^32 / 12).
TEST(DrawMoveIndexTest, EveryTurnOwnsTheSameNumberOfOutputs) {
    const std::array<std::uint64_t, 4> rejected{0x00000000u, 0x40000000u, 0x80000000u, 0xc0000000u};
    std::array<std::uint64_t, MOVE_COUNT + 1> first{};  // first output mapped to each turn
    first[MOVE_COUNT] = std::uint64_t{1} << 32;
    for (MoveIndex m = 1; m < MOVE_COUNT; ++m) {
        std::uint64_t lo = first[m - 1], hi = first[MOVE_COUNT];
        while (lo < hi) {
            const std::uint64_t mid = (lo + hi) / 2;
            // Rejected inputs map through the scripted sentinel; step past them.
            const std::uint64_t probe =
                std::find(rejected.begin(), rejected.end(), mid) != rejected.end() ? mid + 1 : mid;
            if (draw_once(static_cast<std::uint32_t>(probe)) >= m) {
                hi = mid;
            } else {
                lo = mid + 1;
            }
        }
        first[m] = lo;
    }
    for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
        ASSERT_EQ(draw_once(static_cast<std::uint32_t>(first[m] + 1)), m);
        ASSERT_EQ(draw_once(static_cast<std::uint32_t>(first[m + 1] - 1)), m);
        const auto dropped = std::count_if(rejected.begin(), rejected.end(), [&](std::uint64_t x) {
            return x >= first[m] && x < first[m + 1];
        });
        EXPECT_EQ(first[m + 1] - first[m] - static_cast<std::uint64_t>(dropped), 357913941u) << m;
    }
}

// A cube that records the turns it receives.
struct RecordingCube {
    static constexpr std::size_t sticker_dim = 0;
    std::array<std::uint64_t, MOVE_COUNT> counts{};
    std::array<std::uint8_t, 64> first{};
    std::uint64_t total = 0;

    constexpr void record(MoveIndex m) noexcept {
        if (total < first.size()) first[total] = static_cast<std::uint8_t>(m);
        ++counts[m];
        ++total;
    }
    template <MoveIndex M>
    constexpr void turn() noexcept {
        record(M);
    }
    constexpr bool is_solved() const noexcept { return total == 0; }
    std::array<std::uint32_t, 0> to_sticker_array_internal() const noexcept { return {}; }
    std::vector<std::int64_t> sticker_array_internal() const { return {}; }
    std::string render_ansi_internal() const { return {}; }
    void write_sticker_row(std::int64_t*) const noexcept {}
};
static_assert(Cube<RecordingCube>);

double chi_square(const RecordingCube& cube) {
    const double expected = static_cast<double>(cube.total) / MOVE_COUNT;
    double sum = 0;
    for (const std::uint64_t c : cube.counts) {
        sum += (static_cast<double>(c) - expected) * (static_cast<double>(c) - expected) / expected;
    }
    return sum;
}

// 11 degrees of freedom: 40 is beyond the 0.9999 quantile, 60 far beyond.
TEST(DrawMoveIndexTest, TurnsAreEquallyFrequent) {
    ChaCha8 gen(ChaCha8::Key{1, 2, 3, 4, 5, 6, 7, 8});
    RecordingCube fixed_key;
    scramble_with(fixed_key, 1'200'000, gen);
    EXPECT_LT(chi_square(fixed_key), 40.0);

    RecordingCube per_thread;
    scramble_internal(per_thread, 240'000);
    EXPECT_LT(chi_square(per_thread), 60.0);
}

std::uint32_t fake_calls = 0;
std::uint32_t fake_fail_mask = 0;  // bit n set: call n fails

// Hands out key n (every word n) on call n, or fails.
void fake_source(void* buf, std::size_t len) {
    const std::uint32_t call = fake_calls++;
    if (fake_fail_mask >> call & 1) {
        throw EntropyError("scripted failure");
    }
    ASSERT_EQ(len, sizeof(ChaCha12::Key));
    ChaCha12::Key key;
    key.fill(call);
    std::copy_n(reinterpret_cast<const unsigned char*>(key.data()), len, static_cast<unsigned char*>(buf));
}

std::uint32_t first_word(std::uint32_t key_word) {
    ChaCha12::Key key;
    key.fill(key_word);
    return ChaCha12(key).next_u32();
}

TEST(ThreadRngTest, SeedsLazilyReseedsEvery64KiBAndRetriesAfterFailure) {
    static_assert(ThreadRng::RESEED_WORDS * sizeof(std::uint32_t) == 64 * 1024);
    fake_calls = 0;
    fake_fail_mask = 0b1011001;  // calls 0, 3, 4 and 6 fail
    ThreadRng rng(&fake_source);
    EXPECT_EQ(fake_calls, 0u);

    EXPECT_THROW(rng.next_u32(), EntropyError);
    EXPECT_EQ(rng.seed_count(), 0u);
    EXPECT_EQ(rng.next_u32(), first_word(1));
    EXPECT_EQ(rng.seed_count(), 1u);

    for (std::uint32_t i = 1; i < ThreadRng::RESEED_WORDS; ++i) {
        rng.next_u32();
    }
    EXPECT_EQ(fake_calls, 2u);
    EXPECT_EQ(rng.next_u32(), first_word(2));

    for (std::uint32_t i = 1; i < ThreadRng::RESEED_WORDS; ++i) {
        rng.next_u32();
    }
    // A failed reseed must not fall back on the spent key's stream.
    EXPECT_THROW(rng.next_u32(), EntropyError);
    EXPECT_THROW(rng.next_u32(), EntropyError) << "retry must reach the source";
    EXPECT_EQ(rng.next_u32(), first_word(5));
    EXPECT_EQ(rng.seed_count(), 3u);

    // Nor may a failed reseed on request keep the current key.
    EXPECT_THROW(rng.reseed(), EntropyError);
    EXPECT_EQ(rng.next_u32(), first_word(7));
}

TEST(ThreadRngTest, PerThreadGeneratorReseedsAfter64KiB) {
    std::thread([] {
        ThreadRng& rng = thread_rng();
        ASSERT_EQ(rng.seed_count(), 0u);
        for (std::uint32_t i = 0; i < ThreadRng::RESEED_WORDS; ++i) {
            rng.next_u32();
        }
        EXPECT_EQ(rng.seed_count(), 1u);
        rng.next_u32();
        EXPECT_EQ(rng.seed_count(), 2u);
    }).join();
}

std::array<std::uint32_t, 8> draw8() {
    std::array<std::uint32_t, 8> out;
    for (auto& w : out) w = thread_rng().next_u32();
    return out;
}

TEST(ThreadRngTest, ThreadsDrawDifferentStreams) {
    std::array<std::uint32_t, 8> a{}, b{};
    std::thread ta([&] { a = draw8(); });
    std::thread tb([&] { b = draw8(); });
    ta.join();
    tb.join();
    EXPECT_NE(a, b);
    EXPECT_NE(a, draw8());
}

TEST(ThreadRngTest, ForkedChildDoesNotRepeatTheParentStream) {
    ThreadRng& rng = thread_rng();
    rng.next_u32();  // seeded before the fork, so the child inherits the key
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::array<std::uint32_t, 9> report{};
        const std::uint64_t seeds_before = rng.seed_count();
        for (std::size_t i = 0; i < 8; ++i) report[i] = rng.next_u32();
        report[8] = static_cast<std::uint32_t>(rng.seed_count() - seeds_before);
        const bool ok = ::write(fds[1], report.data(), sizeof report) == sizeof report;
        ::_exit(ok ? 0 : 1);
    }
    ::close(fds[1]);
    const std::array<std::uint32_t, 8> parent = draw8();
    std::array<std::uint32_t, 9> child{};
    const ssize_t got = ::read(fds[0], child.data(), sizeof child);
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof child));
    EXPECT_EQ(child[8], 1u) << "the child must take a fresh key before drawing";
    EXPECT_FALSE(std::equal(parent.begin(), parent.end(), child.begin()));
}

TEST(EntropyTest, FillsBuffersOfAnySize) {
    fill_entropy(nullptr, 0);
    std::vector<unsigned char> a(1 << 20), b(1 << 20);
    fill_entropy(a.data(), a.size());
    fill_entropy(b.data(), b.size());
    EXPECT_NE(a, b);
    // A 1 MiB buffer left partly unfilled would keep a long run of zeros.
    const auto zeros = std::count(a.end() - 4096, a.end(), 0);
    EXPECT_LT(zeros, 100);
}

TEST(TaskGeneratorTest, EachTaskGetsItsOwnKey) {
    WideChaCha8 first = make_task_generator();
    WideChaCha8 second = make_task_generator();
    std::array<std::uint32_t, 8> a, b;
    for (auto& w : a) w = first.next_u32();
    for (auto& w : b) w = second.next_u32();
    EXPECT_NE(a, b);
}

// The eight-block generator must serve exactly the words of the one-block
// ChaCha8, in both of its builds: across refills, with every key, nonce and
// counter word in play, and with a counter whose low word wraps between two
// lanes of one refill.
TEST(WideChaChaTest, BothBuildsServeTheChaCha8StreamWordForWord) {
    std::vector<detail::WideRefill> builds{&detail::chacha8_blocks_baseline};
    if (detail::cpu_has_avx2()) builds.push_back(&detail::chacha8_blocks_avx2);
    const ChaCha8::Key key{0x03020100u, 0x07060504u, 0x0b0a0908u, 0x0f0e0d0cu,
                           0x13121110u, 0x17161514u, 0x1b1a1918u, 0x1f1e1d1cu};
    for (const std::uint64_t counter : {std::uint64_t{0}, std::uint64_t{0xfffffffcu}}) {
        for (const detail::WideRefill build : builds) {
            ChaCha8 narrow(key, 0x4a00000009ULL, counter);
            WideChaCha8 wide(key, 0x4a00000009ULL, counter, build);
            for (std::size_t i = 0; i < 3 * WideChaCha8::WORDS + 5; ++i) {
                ASSERT_EQ(wide.next_u32(), narrow.next_u32())
                    << "word " << i << ", counter " << counter
                    << (build == &detail::chacha8_blocks_avx2 ? ", AVX2" : ", baseline");
            }
        }
    }
}

TEST(ScrambleTest, NonPositiveLengthsTurnNothingAndDrawNothing) {
    ChaCha8 gen(ZERO_KEY);
    for (const std::int64_t length : {std::int64_t{0}, std::int64_t{-5}, INT64_MIN}) {
        RecordingCube cube;
        scramble_with(cube, length, gen);
        scramble_internal(cube, length);
        EXPECT_EQ(cube.total, 0u);
    }
    EXPECT_EQ(gen.next_u32(), ChaCha8(ZERO_KEY).next_u32());
}

TEST(ScrambleTest, TaskScrambleAppliesTheDrawsInOrder) {
    ChaCha8 gen(ChaCha8::Key{9});
    ChaCha8 replay = gen;
    RecordingCube cube;
    scramble_with(cube, 40, gen);
    ASSERT_EQ(cube.total, 40u);
    for (std::size_t i = 0; i < 40; ++i) {
        EXPECT_EQ(cube.first[i], draw_move_index(replay)) << i;
    }
    EXPECT_EQ(gen.next_u32(), replay.next_u32());
}

TEST(ScrambleTest, OneTurnGivesASuccessorOfTheSolvedCube) {
    std::array<Cube3x3, MOVE_COUNT> successors;
    for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
        apply_move_index_internal(successors[m], m);
    }
    std::array<bool, MOVE_COUNT> seen{};
    for (int trial = 0; trial < 400; ++trial) {
        Cube3x3 cube;
        scramble_internal(cube, 1);
        const auto it = std::find(successors.begin(), successors.end(), cube);
        ASSERT_NE(it, successors.end());
        seen[static_cast<std::size_t>(it - successors.begin())] = true;
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 12);

    RecordingCube counted;
    scramble_internal(counted, 20);
    EXPECT_EQ(counted.total, 20u);
}

}  // namespace
}  // namespace twirlkit
