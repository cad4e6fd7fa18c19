#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "quillcore/base/async_stream.h"

using namespace quill;

TEST(AsyncStream, DeliversInOrderThenEndsAfterFinish) {
    auto s = AsyncStream<int>::make();
    std::thread producer([&] {
        for (int i = 0; i < 1000; ++i) s->push(i);
        s->finish();
    });
    int expected = 0;
    while (auto v = s->next()) EXPECT_EQ(*v, expected++);
    producer.join();
    EXPECT_EQ(expected, 1000);
    EXPECT_FALSE(s->push(5));
    EXPECT_TRUE(s->next(1.0).finished());
}

TEST(AsyncStream, TimedWaitTellsItemTimeoutAndEndApart) {
    auto s = AsyncStream<int>::make();
    EXPECT_TRUE(s->next(0.01).timedOut());
    s->push(3);
    auto r = s->next(0.01);
    ASSERT_TRUE(r.hasItem());
    EXPECT_EQ(*r.value, 3);
    s->finish();
    EXPECT_TRUE(s->next(0.01).finished());
}

TEST(AsyncStream, DetachDropsBufferedAndLaterItems) {
    auto s = AsyncStream<int>::make();
    s->push(1);
    s->detach();
    EXPECT_FALSE(s->push(2));
    EXPECT_EQ(s->pending(), 0u);
    EXPECT_FALSE(s->next());
}

TEST(AsyncStream, NotifierRunsAfterEachPushAndStopTokenEndsWait) {
    auto s = AsyncStream<int>::make();
    std::atomic<int> notified{0};
    s->setNotifier([&] { notified++; });
    s->push(1);
    s->push(2);
    EXPECT_EQ(notified.load(), 2);
    std::stop_source stop;
    std::thread waiter([&] {
        s->next();
        s->next();
        EXPECT_FALSE(s->next(stop.get_token()));
    });
    stop.request_stop();
    waiter.join();
}
