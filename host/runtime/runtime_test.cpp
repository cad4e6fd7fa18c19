#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QThread>
#include <latch>
#include <numeric>
#include <thread>

#include "host/runtime/runtime.h"
#include "host/runtime/test_support.h"
#include "quillcore/base/diagnostics.h"

using namespace quill::host;
using quill::host::testing::pumpFor;
using quill::host::testing::pumpUntil;

namespace {

using Lines = std::vector<std::string>;
using Log = std::shared_ptr<Lines>;

QCoro::Task<> record(Log log, std::string text) {
    log->push_back(text);
    co_return;
}

bool allFinished(const std::vector<TaskHandle>& handles) {
    return std::all_of(handles.begin(), handles.end(), [](const TaskHandle& h) { return h.isFinished(); });
}

// Coroutines in the recommended shape: arguments by value, a QPointer re-checked after every suspension.
class Owner : public QObject {
public:
    int ticks = 0;
    static QCoro::Task<> tick(QPointer<Owner> self, CancelToken token, Log log) {
        while (!token.isCancelled() && self) {
            self->ticks++;
            co_await sleepFor(0.005, token);
        }
        log->push_back(self ? "ticking ended with owner" : "ticking ended without owner");
    }
    static QCoro::Task<> fetch(QPointer<Owner> self, std::shared_ptr<std::latch> gate, Log log) {
        auto wait = [](std::shared_ptr<std::latch> g) {
            g->wait();
            return std::string("answer");
        };
        std::string answer = co_await onWorker(wait, gate);
        log->push_back("got " + answer + (self ? " with owner" : " without owner"));
    }
};

}  // namespace

TEST(Spawn, StartsQueuedInOrderNotAfterTheirContextIsGoneAndAThrowingTaskIsLoggedAndFinished) {
    Lines diagnostics;
    quill::setDiagnosticSink([&](std::string_view line) { diagnostics.emplace_back(line); });
    // Also when a check ends the test early: the sink refers to this test's lines.
    struct Restore {
        ~Restore() { quill::setDiagnosticSink({}); }
    } restore;
    auto log = std::make_shared<Lines>();
    auto* context = new QObject;
    TaskHandle never = spawn(context, [log] { return record(log, "never"); });
    spawn(nullptr, [log] { return record(log, "first"); });
    // A move-only callable queues too.
    spawn(nullptr, [log, owned = std::make_unique<std::string>("second")] { return record(log, *owned); });
    TaskHandle late = spawn(nullptr, []() -> QCoro::Task<> {
        co_await sleepFor(0.01);
        throw std::runtime_error("disk on fire");
    });
    // Also a start that throws before it returns a task at all.
    TaskHandle early = spawn(nullptr, []() -> QCoro::Task<> { throw std::logic_error("no task"); });
    TaskHandle joiner = spawn(nullptr, [log, late, early]() -> QCoro::Task<> {
        co_await late.finished();
        co_await early.finished();
        log->push_back("joined");
    });
    delete context;
    log->push_back("caller");
    EXPECT_EQ(*log, Lines{"caller"});
    ASSERT_TRUE(pumpUntil([&] { return joiner.isFinished() && never.isFinished(); }));
    quill::setDiagnosticSink({});
    EXPECT_EQ(*log, (Lines{"caller", "first", "second", "joined"}));
    EXPECT_EQ(diagnostics, (Lines{"Quillmate Host: a task ended with an error: no task",
                                  "Quillmate Host: a task ended with an error: disk on fire"}));
    EXPECT_TRUE(TaskHandle().isFinished());
}

TEST(Spawn, AContextDestroyedWhileItsTaskRunsCancelsItAndALateWorkerAnswerFindsItGone) {
    auto log = std::make_shared<Lines>();
    auto* owner = new Owner;
    auto gate = std::make_shared<std::latch>(1);
    TaskHandle ticking =
        spawn(owner, [weak = QPointer(owner), log](CancelToken token) { return Owner::tick(weak, token, log); });
    TaskHandle fetching = spawn(owner, [weak = QPointer(owner), gate, log] { return Owner::fetch(weak, gate, log); });
    ASSERT_TRUE(pumpUntil([&] { return owner->ticks >= 3; }));
    delete owner;  // while the worker still blocks
    EXPECT_TRUE(ticking.isCancelled());
    gate->count_down();
    ASSERT_TRUE(pumpUntil([&] { return allFinished({ticking, fetching}); }));
    Owner kept;
    TaskHandle second = spawn(&kept, [weak = QPointer(&kept), gate, log] { return Owner::fetch(weak, gate, log); });
    ASSERT_TRUE(pumpUntil([&] { return second.isFinished(); }));
    EXPECT_EQ(*log, (Lines{"ticking ended without owner", "got answer without owner", "got answer with owner"}));
}

TEST(Sleep, SleepsEndInTimeOrderAndZeroOrNegativeOnesStillYieldToTheEventLoop) {
    auto log = std::make_shared<Lines>();
    auto sleeper = [log](double seconds, std::string name) {
        return [log, seconds, name]() -> QCoro::Task<> {
            bool full = co_await sleepFor(seconds);
            log->push_back(name + (full ? " full" : " cut"));
        };
    };
    const auto started = std::chrono::steady_clock::now();
    std::vector<TaskHandle> handles{spawn(nullptr, sleeper(0.15, "long")), spawn(nullptr, sleeper(0.05, "short"))};
    handles.push_back(spawn(nullptr, [log]() -> QCoro::Task<> {
        postToMain([log] { log->push_back("posted before the sleep"); });
        bool full = co_await sleepFor(0);
        log->push_back(full ? "after zero" : "zero cut");
        postToMain([log] { log->push_back("posted before the second sleep"); });
        co_await sleepFor(-5);
        log->push_back("after negative");
    }));
    ASSERT_TRUE(pumpUntil([&] { return allFinished(handles); }));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(150));
    EXPECT_EQ(*log, (Lines{"posted before the sleep", "after zero", "posted before the second sleep", "after negative",
                           "short full", "long full"}));
}

TEST(Sleep, CancelEndsASleepWithAQueuedWakeUpAndLaterSleepsOnTheTokenAtOnce) {
    // Cancelled through the handle and, for the token passed in, from another thread.
    for (bool fromHandle : {true, false}) {
        auto log = std::make_shared<Lines>();
        CancelToken token;
        TaskHandle handle = spawn(nullptr, [log, token, fromHandle](CancelToken own) -> QCoro::Task<> {
            const CancelToken used = fromHandle ? own : token;
            bool first = co_await sleepFor(1e12, used);  // no limit: only the cancel ends it
            bool second = co_await sleepFor(10, used);   // already cancelled: at once
            log->push_back(std::string(first ? "full" : "cut") + "/" + (second ? "full" : "cut"));
        });
        pumpFor(0.02);
        fromHandle ? handle.cancel() : std::thread([token] { token.cancel(); }).join();
        EXPECT_TRUE(log->empty()) << "the sleeper never runs inside cancel()";
        ASSERT_TRUE(pumpUntil([&] { return handle.isFinished(); }, 2.0));
        EXPECT_EQ(*log, Lines{"cut/cut"});
    }
    // A long-lived token slept on thousands of times (a maintenance tick) still wakes the current sleep.
    auto count = std::make_shared<int>(0);
    CancelToken token;
    TaskHandle ticker = spawn(nullptr, [count, token]() -> QCoro::Task<> {
        while (co_await sleepFor(0, token)) ++*count;
    });
    ASSERT_TRUE(pumpUntil([&] { return *count >= 2000; }, 20.0));
    token.cancel();
    ASSERT_TRUE(pumpUntil([&] { return ticker.isFinished(); }, 2.0));
}

TEST(StreamNext, ItemsFromAnotherThreadArriveInOrderOnTheMainThreadThenTheEndAndNoThreadWaits) {
    auto threadCount = [] { return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); };
    const auto threadsBefore = threadCount();
    auto stream = quill::AsyncStream<int>::make();
    stream->push(0);  // queued before the wait: handed out too
    auto got = std::make_shared<std::vector<int>>();
    TaskHandle handle = spawn(nullptr, [stream, got]() -> QCoro::Task<> {
        while (auto item = co_await next(stream)) got->push_back(onMainThread() ? *item : -2);
        auto after = co_await next(stream);  // finished and drained: it keeps saying so
        if (!after) got->push_back(-1);
    });
    pumpFor(0.05);
    EXPECT_LE(threadCount(), threadsBefore);
    std::thread producer([stream] {
        for (int i = 1; i < 500; ++i) {
            stream->push(i);
            if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        stream->finish();
    });
    ASSERT_TRUE(pumpUntil([&] { return handle.isFinished(); }));
    producer.join();
    std::vector<int> expected(500);
    std::iota(expected.begin(), expected.end(), 0);
    expected.push_back(-1);
    EXPECT_EQ(*got, expected);
}

TEST(StreamNext, ATimedWaitGivesTheItemTheTimeOutOrTheEndAndACancelLosesNothing) {
    auto stream = quill::AsyncStream<int>::make();
    auto seen = std::make_shared<Lines>();
    CancelToken token;
    TaskHandle handle = spawn(nullptr, [stream, seen, token]() -> QCoro::Task<> {
        // Nothing comes; pushed meanwhile; cancelled; pushed after the cancel; the end.
        const std::array<double, 5> timeouts{0.05, 10, 10, 10, 10};
        for (std::size_t i = 0; i < timeouts.size(); ++i) {
            const CancelToken used = i == 2 ? token : CancelToken();  // bound first: see runtime.h
            auto n = co_await nextWithin(stream, timeouts[i], used);
            seen->push_back(n.hasItem() ? "item " + std::to_string(*n.value) : n.timedOut() ? "timed out" : "end");
        }
    });
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(pumpUntil([&] { return seen->size() == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
    stream->push(1);
    ASSERT_TRUE(pumpUntil([&] { return seen->size() == 2; }));
    pumpFor(0.02);
    token.cancel();
    ASSERT_TRUE(pumpUntil([&] { return seen->size() == 3; }));
    stream->push(2);
    stream->finish();
    ASSERT_TRUE(pumpUntil([&] { return handle.isFinished(); }));
    EXPECT_EQ(*seen, (Lines{"timed out", "item 1", "end", "item 2", "end"}));
}

template <class F>
concept RunsOnWorker = requires(F f) { onWorker(f); };

TEST(Worker, RunsOffTheMainThreadAndResumesOnItWithTheResultOrTheError) {
    // A capturing lambda written inside a co_await expression is destroyed twice by g++ 12, so
    // only stateless callables are taken and the state goes in the arguments.
    auto capturing = [p = std::make_shared<int>(1)] { return *p; };
    static_assert(!RunsOnWorker<decltype(capturing)> && RunsOnWorker<decltype([] { return 1; })>);
    auto log = std::make_shared<Lines>();
    TaskHandle handle = spawn(nullptr, [log]() -> QCoro::Task<> {
        QThread* main = QThread::currentThread();
        QThread* ranOn = co_await onWorker([] { return QThread::currentThread(); });
        log->push_back(ranOn != main && QThread::currentThread() == main ? "worker, then main" : "wrong threads");
        co_await onWorker([] {});
        log->push_back(std::to_string(co_await onWorker([](std::shared_ptr<int> p, int add) { return *p + add; },
                                                        std::make_shared<int>(40), 2)));
        try {
            co_await onWorker([]() -> int { throw std::runtime_error("framework said no"); });
        } catch (const std::runtime_error& e) {
            log->push_back(std::string(e.what()) + (QThread::currentThread() == main ? " on main" : " elsewhere"));
        }
    });
    ASSERT_TRUE(pumpUntil([&] { return handle.isFinished(); }));
    EXPECT_EQ(*log, (Lines{"worker, then main", "42", "framework said no on main"}));
}

TEST(Worker, ManyLongCallsRunAtOnceButAQueueRunsItsCallsOneAtATimeInOrder) {
    // Each pool call waits until all of them run at once; a pool sized to the cores would leave
    // some queued behind the others and they would time out.
    constexpr int kCalls = 24;
    auto running = std::make_shared<std::atomic<int>>(0);
    auto together = std::make_shared<std::atomic<int>>(0);
    WorkerQueue queue;
    auto order = std::make_shared<std::vector<int>>();  // only the queue's thread writes it
    auto inside = std::make_shared<std::atomic<int>>(0);
    auto waitForAll = [](std::shared_ptr<std::atomic<int>> count) {
        count->fetch_add(1);
        for (int waited = 0; count->load() < kCalls && waited < 5000; ++waited)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return count->load() >= kCalls;
    };
    auto alone = [](std::shared_ptr<std::vector<int>> out, std::shared_ptr<std::atomic<int>> busy, int index) {
        const bool first = busy->fetch_add(1) == 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        out->push_back(first ? index : -1);
        busy->fetch_sub(1);
    };
    std::vector<TaskHandle> handles;
    for (int i = 0; i < kCalls; ++i) {
        handles.push_back(spawn(nullptr, [running, together, waitForAll]() -> QCoro::Task<> {
            bool met = co_await onWorker(waitForAll, running);
            if (met) together->fetch_add(1);
        }));
        handles.push_back(spawn(nullptr, [&queue, order, inside, alone, i]() -> QCoro::Task<> {
            co_await onWorker(queue, alone, order, inside, i);
        }));
    }
    ASSERT_TRUE(pumpUntil([&] { return allFinished(handles); }, 20.0));
    EXPECT_EQ(together->load(), kCalls);
    std::vector<int> expected(kCalls);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(*order, expected);
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
