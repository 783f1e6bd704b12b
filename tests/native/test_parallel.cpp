#include "runtime/parallel.hpp"
#include "runtime/pool_size_testing.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <functional>
#include <cstddef>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#if defined(__SANITIZE_THREAD__)
// The fork tests start a fresh pool in the child, which the race detector
// refuses by default after a multi-threaded fork.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif

namespace twirlkit {
namespace {

using namespace std::chrono_literals;

// Runs one parallel_for and checks that every index was covered by exactly
// one non-empty, in-range chunk of at least `grain` items (the last may be
// shorter).
void expect_exact_cover(std::size_t begin, std::size_t end, std::size_t grain) {
    const std::size_t n = end > begin ? end - begin : 0;
    std::unique_ptr<std::atomic<int>[]> hits(new std::atomic<int>[n]());
    std::atomic<int> bad_chunks{0};
    std::atomic<int> short_chunks{0};
    parallel_for(begin, end, grain, [&](std::size_t b, std::size_t e) {
        if (b < begin || e > end || b >= e) {
            bad_chunks.fetch_add(1);
            return;
        }
        if (e - b < grain && e != end) short_chunks.fetch_add(1);
        for (std::size_t i = b; i < e; ++i) hits[i - begin].fetch_add(1);
    });
    EXPECT_EQ(bad_chunks.load(), 0);
    EXPECT_EQ(short_chunks.load(), 0);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < n; ++i) wrong += hits[i].load() != 1;
    EXPECT_EQ(wrong, 0u) << "range [" << begin << ", " << end << ") grain " << grain;
}

TEST(ParallelFor, CoversEachIndexExactlyOnce) {
    const std::size_t sizes[] = {0, 1, 2, 3, 7, 31, 32, 33, 100, 1024, 4099, 100000};
    const std::size_t grains[] = {0, 1, 2, 5, 64, 1000, 1u << 20};
    for (std::size_t n : sizes) {
        for (std::size_t grain : grains) {
            for (std::size_t begin : {std::size_t{0}, std::size_t{17}}) {
                expect_exact_cover(begin, begin + n, grain);
            }
        }
    }
    expect_exact_cover(50, 10, 1);  // inverted range: nothing to do
    const std::size_t top = SIZE_MAX;
    expect_exact_cover(top - 1000, top, 3);  // chunk arithmetic near the top of size_t
}

TEST(ParallelFor, SmallRangesRunInlineOnTheCaller) {
    int calls = 0;
    parallel_for(5, 5, 1, [&](std::size_t, std::size_t) { ++calls; });
    EXPECT_EQ(calls, 0);

    std::thread::id ran_on;
    parallel_for(9, 10, 1, [&](std::size_t b, std::size_t e) {
        ++calls;
        EXPECT_EQ(b, 9u);
        EXPECT_EQ(e, 10u);
        ran_on = std::this_thread::get_id();
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(ParallelFor, ReturnsOnlyAfterEveryChunkHasEnded) {
    std::atomic<int> done{0};
    parallel_for(0, 64, 1, [&](std::size_t b, std::size_t e) {
        std::this_thread::sleep_for(1ms);
        done.fetch_add(static_cast<int>(e - b));
    });
    EXPECT_EQ(done.load(), 64);
}

TEST(ParallelFor, UsesEveryWorkerOnLargeRanges) {
    const std::size_t workers = pool_thread_count();
    ASSERT_GE(workers, 1u);
    EXPECT_EQ(pool_thread_count(), workers);  // fixed once
    std::mutex m;
    std::set<std::thread::id> threads;
    // Slow chunks, so that one worker cannot drain the range alone.
    parallel_for(0, workers * 64, 1, [&](std::size_t, std::size_t) {
        std::this_thread::sleep_for(200us);
        std::lock_guard g(m);
        threads.insert(std::this_thread::get_id());
    });
    EXPECT_EQ(threads.size(), workers);
}

TEST(ParallelFor, FirstExceptionIsRethrownAfterAllChunksEnd) {
    std::atomic<int> running{0};
    std::atomic<int> max_seen_after{0};
    try {
        parallel_for(0, 1000, 1, [&](std::size_t b, std::size_t e) {
            running.fetch_add(1);
            std::this_thread::sleep_for(100us);
            running.fetch_sub(1);
            for (std::size_t bad : {100, 500, 900}) {
                if (b <= bad && bad < e) throw std::runtime_error("item " + std::to_string(bad));
            }
        });
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        max_seen_after = running.load();
        const std::string what = e.what();
        EXPECT_TRUE(what == "item 100" || what == "item 500" || what == "item 900") << what;
    }
    EXPECT_EQ(max_seen_after.load(), 0);

    // A non-std exception type crosses over unchanged.
    EXPECT_THROW(parallel_for(0, 10, 1, [](std::size_t, std::size_t) { throw 42; }), int);

    // The pool is still fine afterwards.
    expect_exact_cover(0, 5000, 1);
}

TEST(ParallelFor, NestedCallsRunInlineOnTheChunksThread) {
    std::atomic<int> inner_items{0};
    std::atomic<int> off_thread{0};
    parallel_for(0, 16, 1, [&](std::size_t, std::size_t) {
        const auto outer = std::this_thread::get_id();
        parallel_for(0, 100, 1, [&](std::size_t b, std::size_t e) {
            if (std::this_thread::get_id() != outer) off_thread.fetch_add(1);
            inner_items.fetch_add(static_cast<int>(e - b));
        });
    });
    EXPECT_EQ(inner_items.load(), 16 * 100);
    EXPECT_EQ(off_thread.load(), 0);
}

TEST(ParallelFor, ConcurrentCallersGetCorrectResults) {
    constexpr int kCallers = 4;
    constexpr int kRounds = 150;
    std::atomic<int> failures{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                const std::size_t n = static_cast<std::size_t>((t * 977 + round * 131) % 3000);
                std::vector<unsigned char> seen(n, 0);
                parallel_for(0, n, 1 + round % 5, [&](std::size_t b, std::size_t e) {
                    for (std::size_t i = b; i < e; ++i) ++seen[i];
                });
                for (unsigned char s : seen) failures.fetch_add(s != 1);
                if (round % 25 == 0) {
                    try {
                        parallel_for(0, 50, 1, [](std::size_t b, std::size_t) {
                            if (b == 20) throw std::runtime_error("x");
                        });
                        failures.fetch_add(1);
                    } catch (const std::runtime_error&) {
                    }
                }
            }
        });
    }
    for (auto& c : callers) c.join();
    EXPECT_EQ(failures.load(), 0);
}

// Forks; the child sums a range with parallel_for under a 2 s alarm and
// reports through its exit status. Returns that status.
int fork_and_use_pool() {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(2);
        std::atomic<std::size_t> sum{0};
        parallel_for(0, 10000, 1, [&](std::size_t b, std::size_t e) {
            std::size_t s = 0;
            for (std::size_t i = b; i < e; ++i) s += i;
            sum.fetch_add(s);
        });
        _exit(sum.load() == 10000u * 9999u / 2 ? 0 : 1);
    }
    int status = -1;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return status;
}

TEST(ParallelFor, ForkedChildBuildsItsOwnPool) {
    expect_exact_cover(0, 1000, 1);  // the parent's pool exists
    const int status = fork_and_use_pool();
    ASSERT_TRUE(WIFEXITED(status)) << "child status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    expect_exact_cover(0, 1000, 1);  // and the parent's still works
}

TEST(ParallelFor, ForkDuringAnotherThreadsParallelFor) {
    if (kThreadSanitizer) {
        // Threads started in the child can reuse the stack, and so the thread
        // id, of a parent thread that was mid-call; the race detector then
        // aborts the child on its own bookkeeping.
        GTEST_SKIP() << "thread ids reused after a multi-threaded fork confuse the race detector";
    }
    std::atomic<bool> started{false};
    std::thread busy([&] {
        parallel_for(0, 200, 1, [&](std::size_t, std::size_t) {
            started = true;
            std::this_thread::sleep_for(1ms);
        });
    });
    while (!started) std::this_thread::yield();
    const int status = fork_and_use_pool();
    busy.join();
    ASSERT_TRUE(WIFEXITED(status)) << "child status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// --- cancellation ----------------------------------------------------------

// A poll that says stop from its `stop_at`-th call on and records where it ran.
struct CountingPoll {
    int stop_at;
    std::atomic<int> calls{0};
    std::atomic<int> off_caller{0};
    std::thread::id caller = std::this_thread::get_id();

    static bool poll(void* self) {
        auto* p = static_cast<CountingPoll*>(self);
        if (std::this_thread::get_id() != p->caller) p->off_caller.fetch_add(1);
        return p->calls.fetch_add(1) + 1 >= p->stop_at;
    }
};

// Chunk bodies that loop on cancellation points until told to stop, with a
// generous safety deadline so that a broken stop fails instead of hanging.
struct EndlessChunks {
    std::atomic<int> running{0};
    std::atomic<int> timed_out{0};

    void operator()(std::size_t, std::size_t) {
        running.fetch_add(1);
        struct Leave {
            std::atomic<int>& r;
            ~Leave() { r.fetch_sub(1); }
        } leave{running};
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        for (;;) {
            cancellation_point();
            if (std::chrono::steady_clock::now() > deadline) {
                timed_out.fetch_add(1);
                return;
            }
            std::this_thread::sleep_for(100us);
        }
    }
};

TEST(Cancellation, PollStopsEveryChunkAndTheCallThrowsCancelled) {
    for (std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{1000}}) {
        CountingPoll poll{3};
        EndlessChunks chunks;
        {
            CancelScope scope(&CountingPoll::poll, &poll);
            EXPECT_THROW(parallel_for(0, n, 1, std::ref(chunks)), Cancelled) << n;
        }
        EXPECT_EQ(chunks.running.load(), 0) << n;
        EXPECT_EQ(chunks.timed_out.load(), 0) << n;
        EXPECT_EQ(poll.calls.load(), 3) << n;  // no poll after the stop
        EXPECT_EQ(poll.off_caller.load(), 0) << n;
    }
    // The scope is gone: nothing is polled, nothing is cancelled.
    EXPECT_NO_THROW(cancellation_point());
    expect_exact_cover(0, 5000, 1);
}

TEST(Cancellation, ChunksWithoutPointsStopStartingOnceThePollSaysStop) {
    // The caller polls between its own chunks: each of them takes 2 ms, so it
    // polls (and stops the job) after at most five. Worker chunks wait for
    // that poll; each worker may start one more chunk in the race with it.
    CountingPoll poll{1};
    std::atomic<int> started{0};
    std::atomic<int> running{0};
    {
        CancelScope scope(&CountingPoll::poll, &poll);
        EXPECT_THROW(parallel_for(0, 100000, 1,
                                  [&](std::size_t, std::size_t) {
                                      started.fetch_add(1);
                                      running.fetch_add(1);
                                      if (std::this_thread::get_id() == poll.caller) {
                                          std::this_thread::sleep_for(2ms);
                                      } else {
                                          const auto give_up = std::chrono::steady_clock::now() + 60s;
                                          while (poll.calls.load() == 0 &&
                                                 std::chrono::steady_clock::now() < give_up) {
                                              std::this_thread::sleep_for(100us);
                                          }
                                      }
                                      running.fetch_sub(1);
                                  }),
                     Cancelled);
    }
    EXPECT_EQ(running.load(), 0);
    EXPECT_LE(started.load(), 5 + 2 * static_cast<int>(pool_thread_count() - 1));
}

TEST(Cancellation, AFailingChunkStopsTheOthersAndItsErrorWins) {
    EndlessChunks chunks;
    EXPECT_THROW(parallel_for(0, 64, 1,
                              [&](std::size_t b, std::size_t e) {
                                  if (b == 0) throw std::runtime_error("first");
                                  chunks(b, e);
                              }),
                 std::runtime_error);
    EXPECT_EQ(chunks.running.load(), 0);
    EXPECT_EQ(chunks.timed_out.load(), 0);
}

TEST(Cancellation, APollThatThrowsIsRethrownOnceNoChunkRuns) {
    EndlessChunks chunks;
    const auto throwing = [](void*) -> bool { throw 7; };
    CancelScope scope(throwing, nullptr);
    EXPECT_THROW(parallel_for(0, 64, 1, std::ref(chunks)), int);
    EXPECT_EQ(chunks.running.load(), 0);
    EXPECT_EQ(chunks.timed_out.load(), 0);
}

TEST(Cancellation, ThreadEndedByPthreadExitInsideThePollLeavesThePoolWorking) {
    // What the interpreter does to a daemon thread at exit: the poll retakes
    // its lock and the thread ends by a forced unwind through parallel_for.
    struct Shared {
        EndlessChunks chunks;
        std::atomic<bool> unwound{false};
    } shared;
    const auto body = [](void* arg) -> void* {
        auto* s = static_cast<Shared*>(arg);
        struct Mark {
            std::atomic<bool>& flag;
            ~Mark() { flag = true; }
        } mark{s->unwound};
        CancelScope scope([](void*) -> bool { pthread_exit(nullptr); }, nullptr);
        parallel_for(0, 64, 1, std::ref(s->chunks));
        return nullptr;
    };
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, nullptr, body, &shared), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    EXPECT_TRUE(shared.unwound.load());
    EXPECT_EQ(shared.chunks.running.load(), 0);
    EXPECT_EQ(shared.chunks.timed_out.load(), 0);
    expect_exact_cover(0, 5000, 1);
}

TEST(Cancellation, StepsVisitEveryItemOnceAndStopBetweenSteps) {
    std::vector<int> seen(1000, 0);
    in_cancellable_steps(0, 1000, 64, [&](std::size_t b, std::size_t e) {
        EXPECT_LE(e - b, 64u);
        for (std::size_t i = b; i < e; ++i) ++seen[i];
    });
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 1000);
    in_cancellable_steps(SIZE_MAX - 5, SIZE_MAX, 4, [](std::size_t b, std::size_t e) {
        EXPECT_LT(b, e);
    });

    CountingPoll poll{1};
    CancelScope scope(&CountingPoll::poll, &poll);
    std::size_t steps = 0;
    EXPECT_THROW(in_cancellable_steps(0, SIZE_MAX, 1,
                                      [&](std::size_t, std::size_t) {
                                          ++steps;
                                          std::this_thread::sleep_for(1ms);
                                      }),
                 Cancelled);
    EXPECT_GE(steps, 1u);
}

TEST(PoolSize, ThreadCountOverride) {
    EXPECT_EQ(parse_thread_count("1"), 1u);
    EXPECT_EQ(parse_thread_count("8"), 8u);
    EXPECT_EQ(parse_thread_count("0012"), 12u);
    for (const char* bad : {"", "0", "00", "-2", "+2", "3x", " 2", "2 ", "0x10", "1.5",
                            "99999999999999999999999"}) {
        EXPECT_EQ(parse_thread_count(bad), std::nullopt) << '"' << bad << '"';
    }
    EXPECT_EQ(parse_thread_count(nullptr), std::nullopt);
}

TEST(PoolSize, CgroupQuotas) {
    EXPECT_EQ(parse_cgroup_v2_cpu_max("max 100000\n"), std::nullopt);
    EXPECT_EQ(parse_cgroup_v2_cpu_max("200000 100000\n"), 2u);
    EXPECT_EQ(parse_cgroup_v2_cpu_max("150000 100000"), 2u);  // rounded up
    EXPECT_EQ(parse_cgroup_v2_cpu_max("1000 100000"), 1u);    // at least one
    EXPECT_EQ(parse_cgroup_v2_cpu_max("400000 100000"), 4u);
    for (std::string_view bad : {"", "\n", "200000", "200000 0", "abc 100000", "200000 x"}) {
        EXPECT_EQ(parse_cgroup_v2_cpu_max(bad), std::nullopt) << '"' << bad << '"';
    }

    EXPECT_EQ(parse_cgroup_v1_cpu_quota("-1\n", "100000\n"), std::nullopt);
    EXPECT_EQ(parse_cgroup_v1_cpu_quota("300000\n", "100000\n"), 3u);
    EXPECT_EQ(parse_cgroup_v1_cpu_quota("250000", "100000"), 3u);
    EXPECT_EQ(parse_cgroup_v1_cpu_quota("50000", "100000"), 1u);
    EXPECT_EQ(parse_cgroup_v1_cpu_quota("50000", "0"), std::nullopt);
    EXPECT_EQ(parse_cgroup_v1_cpu_quota("", "100000"), std::nullopt);
}

TEST(PoolSize, CgroupPathOfTheProcess) {
    const std::string_view v1_and_v2 =
        "12:cpu,cpuacct:/docker/abc\n"
        "4:memory:/m\n"
        "1:name=systemd:/s\n"
        "0::/user.slice/session-1.scope\n";
    EXPECT_EQ(cgroup_path_in(v1_and_v2, ""), "/user.slice/session-1.scope");
    EXPECT_EQ(cgroup_path_in(v1_and_v2, "cpu"), "/docker/abc");
    EXPECT_EQ(cgroup_path_in(v1_and_v2, "cpuacct"), "/docker/abc");
    EXPECT_EQ(cgroup_path_in(v1_and_v2, "cpuset"), std::nullopt);
    EXPECT_EQ(cgroup_path_in("0::/\n", ""), "/");
    EXPECT_EQ(cgroup_path_in("1:cpu:/x", ""), std::nullopt);
    EXPECT_EQ(cgroup_path_in("garbage\n\n", "cpu"), std::nullopt);
}

}  // namespace
}  // namespace twirlkit
