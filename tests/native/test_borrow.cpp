#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/borrow.hpp"
#include "runtime/borrow_testing.hpp"

#if defined(__SANITIZE_THREAD__)
// The fork test runs its child while another thread lives in the parent,
// which the race detector refuses by default.
extern "C" const char* __tsan_default_options() { return "die_after_fork=0"; }
#endif

namespace twirlkit {
namespace {

TEST(Borrow, ReadersShareAndExcludeTheWriter) {
    BorrowFlag flag;
    {
        SharedHold a(flag), b(flag);
        ASSERT_TRUE(a && b);
        EXPECT_EQ(flag.load(), 2u);
        ExclusiveHold writer(flag);
        EXPECT_FALSE(writer);
        EXPECT_EQ(flag.load(), 2u);  // a failed request changes nothing
    }
    EXPECT_EQ(flag.load(), BorrowFlag::FREE);
}

TEST(Borrow, WriterExcludesEveryone) {
    BorrowFlag flag;
    {
        ExclusiveHold writer(flag);
        ASSERT_TRUE(writer);
        EXPECT_EQ(flag.load(), BorrowFlag::EXCLUSIVE);
        SharedHold reader(flag);
        ExclusiveHold second(flag);
        EXPECT_FALSE(reader);
        EXPECT_FALSE(second);
        EXPECT_EQ(flag.load(), BorrowFlag::EXCLUSIVE);
    }
    EXPECT_EQ(flag.load(), BorrowFlag::FREE);
    ExclusiveHold again(flag);
    EXPECT_TRUE(again);
}

TEST(Borrow, HoldsReleaseWhenAnExceptionUnwinds) {
    BorrowFlag flag;
    try {
        ExclusiveHold writer(flag);
        throw 1;
    } catch (int) {
    }
    EXPECT_EQ(flag.load(), BorrowFlag::FREE);
}

TEST(Borrow, ConcurrentReadersAndWritersNeverOverlap) {
    BorrowFlag flag;
    std::atomic<int> readers{0}, writers{0};
    std::atomic<bool> overlap{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20000; ++i) {
                if ((i + t) % 3 == 0) {
                    ExclusiveHold hold(flag);
                    if (!hold) continue;
                    if (writers.fetch_add(1) != 0 || readers.load() != 0) overlap = true;
                    writers.fetch_sub(1);
                } else {
                    SharedHold hold(flag);
                    if (!hold) continue;
                    readers.fetch_add(1);
                    if (writers.load() != 0) overlap = true;
                    readers.fetch_sub(1);
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_FALSE(overlap);
    EXPECT_EQ(flag.load(), BorrowFlag::FREE);
}

TEST(ForkSafeSharedHold, AChildForgetsTheHoldsOfOtherThreadsOnly) {
    for (bool serial : {false, true}) {
        BorrowFlag theirs;
        BorrowFlag ours;
        std::mutex m;
        std::condition_variable cv;
        bool held = false;
        bool release = false;
        std::thread reader([&] {
            ForkSafeSharedHold hold(theirs, serial);
            std::unique_lock lock(m);
            held = static_cast<bool>(hold);
            cv.notify_all();
            cv.wait(lock, [&] { return release; });
        });
        {
            std::unique_lock lock(m);
            cv.wait(lock, [&] { return held; });
        }
        ForkSafeSharedHold mine(ours, serial);
        ASSERT_TRUE(mine);
        EXPECT_EQ(fork_safe_hold_count(), 2u);

        const pid_t pid = fork();
        if (pid == 0) {
            // The reader does not exist here; the forking thread's hold stays.
            const bool ok = theirs.load() == BorrowFlag::FREE && ours.load() == 1 &&
                            fork_safe_hold_count() == 1;
            _exit(ok ? 0 : 1);
        }
        int status = -1;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "serial " << serial;
        EXPECT_EQ(theirs.load(), 1u);  // the parent is untouched
        {
            std::lock_guard lock(m);
            release = true;
        }
        cv.notify_all();
        reader.join();
        EXPECT_EQ(theirs.load(), BorrowFlag::FREE);
    }
    EXPECT_EQ(fork_safe_hold_count(), 0u);
}

}  // namespace
}  // namespace twirlkit
