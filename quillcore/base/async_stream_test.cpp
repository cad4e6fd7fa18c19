#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "quillcore/base/async_stream.h"

using namespace quill;

TEST(AsyncStream, DeliversInOrderAcrossThreadsThenEndsAndTellsItemTimeoutAndEndApart) {
    auto s = AsyncStream<int>::make();
    std::atomic<int> notified{0};
    s->setNotifier([&] { notified++; });
    EXPECT_TRUE(s->next(0.01).timedOut());
    std::thread producer([&] {
        for (int i = 0; i < 1000; ++i) s->push(i);
        s->finish();
    });
    int expected = 0;
    while (auto v = s->next()) EXPECT_EQ(*v, expected++);
    producer.join();
    EXPECT_EQ(expected, 1000);
    EXPECT_EQ(notified.load(), 1001) << "after each push and on finish";
    EXPECT_FALSE(s->push(5));
    EXPECT_TRUE(s->next(1.0).finished());

    auto t = AsyncStream<int>::make();
    t->push(3);
    auto r = t->next(0.01);
    EXPECT_TRUE(r.hasItem() && *r.value == 3);
    // A stop request ends a wait; a detached stream drops what it holds and what comes later.
    std::stop_source stop;
    std::thread waiter([&] { EXPECT_FALSE(t->next(stop.get_token())); });
    stop.request_stop();
    waiter.join();
    t->push(1);
    t->detach();
    EXPECT_FALSE(t->push(2));
    EXPECT_EQ(t->pending(), 0u);
    EXPECT_FALSE(t->next());
}

TEST(AsyncStream, CoalescingReplacesTheLastItemOnlyBeyondTheBacklogAndWhenItMatches) {
    auto s = AsyncStream<int>::make();
    auto even = [](int last) { return last % 2 == 0; };
    for (int i : {0, 2, 4}) EXPECT_TRUE(s->pushCoalescing(i, 3, even));  // below the backlog: queued
    EXPECT_TRUE(s->pushCoalescing(6, 3, even));                          // replaces 4
    EXPECT_TRUE(s->pushCoalescing(7, 3, even));                          // replaces 6
    EXPECT_TRUE(s->pushCoalescing(8, 3, even));                          // 7 does not match: queued
    EXPECT_EQ(s->pending(), 4u);
    std::vector<int> seen;
    while (auto v = s->tryNext()) seen.push_back(*v);
    EXPECT_EQ(seen, (std::vector<int>{0, 2, 7, 8}));
    s->finish();
    EXPECT_FALSE(s->pushCoalescing(1, 0, even));
}

TEST(AsyncStream, BoundedStreamRefusesBeyondItsWeightUntilItemsAreRead) {
    auto s = AsyncStream<std::string>::makeBounded(10, [](const std::string& v) { return v.size() + 1; });
    EXPECT_TRUE(s->push("abcd"));  // 5
    EXPECT_TRUE(s->push("abc"));   // 9
    EXPECT_FALSE(s->push("ab"));   // 12 would be over
    EXPECT_TRUE(s->push(""));      // exactly 10
    EXPECT_FALSE(s->push(""));
    EXPECT_EQ(s->pendingWeight(), 10u);
    EXPECT_EQ(s->tryNext(), "abcd");
    EXPECT_EQ(s->pendingWeight(), 5u);
    EXPECT_TRUE(s->push("ab"));
    // A replacement counts the weight of what it replaces as freed.
    auto always = [](const std::string&) { return true; };
    EXPECT_TRUE(s->pushCoalescing("abcd", 1, always));  // "ab" (3) out, 5 in: 8 - 3 + 5 = 10
    EXPECT_FALSE(s->pushCoalescing("abcdef", 1, always));
    EXPECT_EQ(s->pendingWeight(), 10u);
    s->detach();
    EXPECT_EQ(s->pendingWeight(), 0u);
    EXPECT_EQ(AsyncStream<int>::make()->pendingWeight(), 0u);
}
