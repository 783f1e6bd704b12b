#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "cube/borrow.hpp"

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

}  // namespace
}  // namespace twirlkit
