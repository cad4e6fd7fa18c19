#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/runtime/runtime.h"
#include "host/runtime/test_support.h"
#include "quillcore/base/diagnostics.h"

using namespace quill::host;
using quill::host::testing::pumpFor;
using quill::host::testing::pumpUntil;

namespace {

using Log = std::shared_ptr<std::vector<std::string>>;
Log makeLog() { return std::make_shared<std::vector<std::string>>(); }

// Captures diagnostics for the life of a test.
struct DiagnosticCapture {
    std::shared_ptr<std::vector<std::string>> lines = std::make_shared<std::vector<std::string>>();
    std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();
    DiagnosticCapture() {
        auto l = lines;
        auto m = mutex;
        quill::setDiagnosticSink([l, m](std::string_view text) {
            std::lock_guard lock(*m);
            l->emplace_back(text);
        });
    }
    ~DiagnosticCapture() { quill::setDiagnosticSink({}); }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(*mutex);
        return *lines;
    }
};

// A one-shot gate a worker thread can wait on.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    void release() {
        {
            std::lock_guard lock(m);
            open = true;
        }
        cv.notify_all();
    }
    bool wait(std::chrono::seconds limit = std::chrono::seconds(10)) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, limit, [&] { return open; });
    }
};

int threadCount() { return static_cast<int>(QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size()); }

QCoro::Task<> record(Log log, std::string text) {
    log->push_back(text);
    co_return;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// spawn

TEST(Spawn, StartIsQueuedAndTasksStartInOrder) {
    auto log = makeLog();
    spawn(nullptr, [log] { return record(log, "first"); });
    // A move-only callable queues too.
    spawn(nullptr, [log, owned = std::make_unique<std::string>("second")] { return record(log, *owned); });
    log->push_back("caller");
    EXPECT_EQ(*log, (std::vector<std::string>{"caller"}));
    ASSERT_TRUE(pumpUntil([&] { return log->size() == 3; }));
    EXPECT_EQ(*log, (std::vector<std::string>{"caller", "first", "second"}));
}

TEST(Spawn, ContextDestroyedBeforeStartMeansNoStartAndAFinishedHandle) {
    auto log = makeLog();
    auto* context = new QObject;
    TaskHandle handle = spawn(context, [log] { return record(log, "ran"); });
    delete context;
    EXPECT_TRUE(pumpUntil([&] { return handle.isFinished(); }));
    pumpFor(0.05);
    EXPECT_TRUE(log->empty());
}

TEST(Spawn, ThrowingTaskIsLoggedFinishedAndHarmsNoOtherTask) {
    DiagnosticCapture diag;
    auto log = makeLog();
    TaskHandle bad = spawn(nullptr, []() -> QCoro::Task<> {
        co_await sleepFor(0.001);
        throw std::runtime_error("disk on fire");
    });
    TaskHandle good = spawn(nullptr, [log]() -> QCoro::Task<> {
        co_await sleepFor(0.02);
        log->push_back("good");
    });
    // Also a start that throws before it returns a task at all.
    TaskHandle early = spawn(nullptr, []() -> QCoro::Task<> { throw std::logic_error("no task"); });
    ASSERT_TRUE(pumpUntil([&] { return bad.isFinished() && good.isFinished() && early.isFinished(); }));
    EXPECT_EQ(*log, (std::vector<std::string>{"good"}));
    auto lines = diag.snapshot();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Quillmate Host: a task ended with an error: disk on fire"),
              lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Quillmate Host: a task ended with an error: no task"),
              lines.end());
}

TEST(Spawn, HandlesCompareByTaskAndCanBeAwaited) {
    auto log = makeLog();
    TaskHandle worker = spawn(nullptr, [log]() -> QCoro::Task<> {
        co_await sleepFor(0.03);
        log->push_back("worker done");
    });
    TaskHandle copy = worker;
    TaskHandle other = spawn(nullptr, [log, worker]() -> QCoro::Task<> {
        co_await worker.finished();
        log->push_back("joined");
    });
    EXPECT_EQ(copy, worker);
    EXPECT_FALSE(other == worker);
    EXPECT_FALSE(worker.isFinished());
    ASSERT_TRUE(pumpUntil([&] { return other.isFinished(); }));
    EXPECT_EQ(*log, (std::vector<std::string>{"worker done", "joined"}));
    EXPECT_TRUE(TaskHandle().isFinished());
}

namespace {
// A member coroutine in the recommended shape: arguments by value, a QPointer re-checked after
// every suspension.
class Ticker : public QObject {
public:
    int ticks = 0;
    static QCoro::Task<> loop(QPointer<Ticker> self, CancelToken token, Log log) {
        while (!token.isCancelled()) {
            if (!self) break;
            self->ticks++;
            co_await sleepFor(0.005, token);
        }
        log->push_back(self ? "ended with object" : "ended without object");
    }
};
}  // namespace

TEST(Spawn, DestroyingTheContextCancelsTheRunningTask) {
    auto log = makeLog();
    auto* ticker = new Ticker;
    QPointer<Ticker> weak(ticker);
    TaskHandle handle = spawn(ticker, [weak, log](CancelToken token) { return Ticker::loop(weak, token, log); });
    ASSERT_TRUE(pumpUntil([&] { return ticker->ticks >= 3; }));
    delete ticker;
    EXPECT_TRUE(handle.isCancelled());
    ASSERT_TRUE(pumpUntil([&] { return handle.isFinished(); }));
    EXPECT_EQ(*log, (std::vector<std::string>{"ended without object"}));
}

// ---------------------------------------------------------------------------------------------
// sleepFor and cancellation

TEST(Sleep, ShorterSleepsEndFirstAndReportTheFullTime) {
    auto log = makeLog();
    auto sleeper = [log](double seconds, std::string name) {
        return [log, seconds, name]() -> QCoro::Task<> {
            bool full = co_await sleepFor(seconds);
            log->push_back(name + (full ? " full" : " cut"));
        };
    };
    auto started = std::chrono::steady_clock::now();
    TaskHandle a = spawn(nullptr, sleeper(0.15, "long"));
    TaskHandle b = spawn(nullptr, sleeper(0.01, "short"));
    ASSERT_TRUE(pumpUntil([&] { return a.isFinished() && b.isFinished(); }));
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(150));
    EXPECT_EQ(*log, (std::vector<std::string>{"short full", "long full"}));
}

TEST(Sleep, CancelEndsASleepEarlyWithAQueuedWakeUpAndLaterSleepsOnTheTokenAtOnce) {
    // Cancelled through the handle and, for the token passed in, from another thread.
    for (bool fromHandle : {true, false}) {
        SCOPED_TRACE(fromHandle ? "handle" : "other thread");
        auto log = makeLog();
        CancelToken token;
        TaskHandle handle = spawn(nullptr, [log, token, fromHandle](CancelToken own) -> QCoro::Task<> {
            const CancelToken used = fromHandle ? own : token;
            bool first = co_await sleepFor(1e12, used);  // no limit: only the cancel ends it
            bool second = co_await sleepFor(10, used);   // already cancelled: at once
            log->push_back(std::string(first ? "full" : "cut") + "/" + (second ? "full" : "cut"));
        });
        pumpFor(0.02);
        ASSERT_FALSE(handle.isFinished());
        if (fromHandle)
            handle.cancel();
        else
            std::thread([token] { token.cancel(); }).join();
        // The sleeper never runs inside cancel(): its wake-up comes from the event loop.
        EXPECT_TRUE(log->empty());
        ASSERT_TRUE(pumpUntil([&] { return handle.isFinished(); }, 2.0));
        EXPECT_EQ(*log, (std::vector<std::string>{"cut/cut"}));
    }
}

TEST(Sleep, ZeroAndNegativeSleepsStillYieldToTheEventLoop) {
    auto log = makeLog();
    TaskHandle handle = spawn(nullptr, [log]() -> QCoro::Task<> {
        postToMain([log] { log->push_back("posted before the sleep"); });
        bool full = co_await sleepFor(0);
        log->push_back(full ? "after zero" : "zero cut");
        postToMain([log] { log->push_back("posted before the second sleep"); });
        co_await sleepFor(-5);
        log->push_back("after negative");
    });
    ASSERT_TRUE(pumpUntil([&] { return handle.isFinished(); }));
    EXPECT_EQ(*log, (std::vector<std::string>{"posted before the sleep", "after zero", "posted before the second sleep",
                                              "after negative"}));
}

TEST(Sleep, ALongLivedTokenSleptOnManyTimesStillWakesTheCurrentSleep) {
    // A long-lived token is slept on thousands of times (a maintenance tick); cancelling it at
    // the end must wake exactly the one current sleep.
    auto count = std::make_shared<int>(0);
    CancelToken token;
    TaskHandle handle = spawn(nullptr, [count, token]() -> QCoro::Task<> {
        while (co_await sleepFor(0, token)) ++*count;
    });
    ASSERT_TRUE(pumpUntil([&] { return *count >= 2000; }, 20.0));
    token.cancel();
    ASSERT_TRUE(pumpUntil([&] { return handle.isFinished(); }, 2.0));
}

// ---------------------------------------------------------------------------------------------
// next(stream, token)

TEST(StreamNext, ItemsFromAnotherThreadArriveInOrderOnTheMainThreadThenTheEnd) {
    auto stream = quill::AsyncStream<int>::make();
    auto got = std::make_shared<std::vector<int>>();
    auto offMain = std::make_shared<bool>(false);
    auto sawEnd = std::make_shared<bool>(false);
    TaskHandle handle = spawn(nullptr, [stream, got, offMain, sawEnd]() -> QCoro::Task<> {
        while (auto item = co_await next(stream)) {
            if (!onMainThread()) *offMain = true;
            got->push_back(*item);
        }
        *sawEnd = true;
    });
    std::thread producer([stream] {
        for (int i = 0; i < 500; ++i) {
            stream->push(i);
            if (i % 50 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        stream->finish();
    });
    ASSERT_TRUE(pumpUntil([&] { return handle.isFinished(); }));
    producer.join();
    ASSERT_EQ(got->size(), 500u);
    for (int i = 0; i < 500; ++i) ASSERT_EQ((*got)[i], i);
    EXPECT_FALSE(*offMain);
    EXPECT_TRUE(*sawEnd);
}

TEST(StreamNext, ItemsQueuedBeforeFinishAreStillHandedOut) {
    auto stream = quill::AsyncStream<std::string>::make();
    stream->push("a");
    stream->push("b");
    stream->finish();
    auto got = std::make_shared<std::vector<std::string>>();
    TaskHandle handle = spawn(nullptr, [stream, got]() -> QCoro::Task<> {
        while (auto item = co_await next(stream)) got->push_back(*item);
        // Finished and drained: further calls keep saying so.
        auto after = co_await next(stream);
        if (!after) got->push_back("<end>");
    });
    ASSERT_TRUE(pumpUntil([&] { return handle.isFinished(); }));
    EXPECT_EQ(*got, (std::vector<std::string>{"a", "b", "<end>"}));
}

TEST(StreamNext, CancelGivesNothingAndLeavesLaterItemsForTheNextWait) {
    auto stream = quill::AsyncStream<int>::make();
    auto log = makeLog();
    CancelToken first;
    TaskHandle waiter = spawn(nullptr, [stream, first, log]() -> QCoro::Task<> {
        auto item = co_await next(stream, first);
        log->push_back(item ? "item" : "nothing");
    });
    pumpFor(0.02);
    first.cancel();
    ASSERT_TRUE(pumpUntil([&] { return waiter.isFinished(); }));
    EXPECT_EQ(*log, (std::vector<std::string>{"nothing"}));

    // The cancelled wait let go of the stream: a push now reaches the next consumer.
    stream->push(7);
    auto value = std::make_shared<int>(0);
    TaskHandle second = spawn(nullptr, [stream, value]() -> QCoro::Task<> {
        auto item = co_await next(stream);
        if (item) *value = *item;
    });
    ASSERT_TRUE(pumpUntil([&] { return second.isFinished(); }));
    EXPECT_EQ(*value, 7);
}

TEST(StreamNext, ATimedWaitGivesTheItemTheTimeOutOrTheEndAndLosesNothing) {
    auto stream = quill::AsyncStream<int>::make();
    auto seen = std::make_shared<std::vector<std::string>>();
    auto describe = [](const quill::StreamNext<int>& n) {
        return n.hasItem() ? "item " + std::to_string(*n.value) : n.timedOut() ? std::string("timed out") : std::string("end");
    };
    CancelToken token;
    TaskHandle handle = spawn(nullptr, [stream, seen, describe, token]() -> QCoro::Task<> {
        auto first = co_await nextWithin(stream, 0.05);  // nothing comes
        seen->push_back(describe(first));
        auto second = co_await nextWithin(stream, 10.0);  // pushed meanwhile
        seen->push_back(describe(second));
        auto third = co_await nextWithin(stream, 10.0, token);  // cancelled
        seen->push_back(describe(third));
        auto fourth = co_await nextWithin(stream, 10.0);  // the item pushed before the end
        seen->push_back(describe(fourth));
        auto fifth = co_await nextWithin(stream, 10.0);
        seen->push_back(describe(fifth));
    });
    auto started = std::chrono::steady_clock::now();
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
    EXPECT_EQ(*seen, (std::vector<std::string>{"timed out", "item 1", "end", "item 2", "end"}));
}

TEST(StreamNext, WaitingOnManyStreamsParksNoThread) {
    constexpr int kStreams = 64;
    std::vector<quill::AsyncStreamPtr<int>> streams;
    auto sum = std::make_shared<int>(0);
    std::vector<TaskHandle> handles;
    int before = threadCount();
    for (int i = 0; i < kStreams; ++i) {
        auto s = quill::AsyncStream<int>::make();
        streams.push_back(s);
        handles.push_back(spawn(nullptr, [s, sum]() -> QCoro::Task<> {
            auto v = co_await next(s);
            if (v) *sum += *v;
        }));
    }
    pumpFor(0.05);
    EXPECT_LE(threadCount(), before);  // none started for the waits
    for (int i = 0; i < kStreams; ++i) streams[i]->push(i);
    ASSERT_TRUE(pumpUntil([&] {
        for (auto& h : handles)
            if (!h.isFinished()) return false;
        return true;
    }));
    EXPECT_EQ(*sum, kStreams * (kStreams - 1) / 2);
}

// ---------------------------------------------------------------------------------------------
// onWorker

TEST(Worker, RunsOffTheMainThreadAndResumesOnItWithTheResultOrTheError) {
    auto log = makeLog();
    TaskHandle handle = spawn(nullptr, [log]() -> QCoro::Task<> {
        QThread* main = QThread::currentThread();
        QThread* ranOn = co_await onWorker([] { return QThread::currentThread(); });
        log->push_back(ranOn != main ? "worker thread" : "main thread");
        log->push_back(QThread::currentThread() == main ? "resumed on main" : "resumed elsewhere");
        co_await onWorker([] {});
        // State goes in through the arguments.
        log->push_back(std::to_string(co_await onWorker([](std::shared_ptr<int> p, int add) { return *p + add; },
                                                        std::make_shared<int>(40), 2)));
        try {
            co_await onWorker([]() -> int { throw std::runtime_error("framework said no"); });
            log->push_back("no error");
        } catch (const std::runtime_error& e) {
            log->push_back(std::string("caught: ") + e.what());
            log->push_back(QThread::currentThread() == main ? "caught on main" : "caught elsewhere");
        }
    });
    ASSERT_TRUE(pumpUntil([&] { return handle.isFinished(); }));
    EXPECT_EQ(*log, (std::vector<std::string>{"worker thread", "resumed on main", "42", "caught: framework said no",
                                              "caught on main"}));
}

namespace {
template <class F>
concept RunsOnWorker = requires(F f) { onWorker(f); };
}  // namespace

TEST(Worker, OnlyStatelessCallablesAreAccepted) {
    // A capturing lambda written inside a co_await expression is destroyed twice by g++ 12, so
    // the state goes in the arguments instead.
    auto capturing = [p = std::make_shared<int>(1)] { return *p; };
    auto stateless = [](std::shared_ptr<int> p) { return *p; };
    static_assert(!RunsOnWorker<decltype(capturing)>);
    static_assert(RunsOnWorker<decltype([] { return 1; })>);
    static_assert(std::is_same_v<decltype(onWorker(stateless, std::make_shared<int>(2)).await_resume()), int>);
}

TEST(Worker, ManyLongCallsRunAtTheSameTime) {
    // Each call waits until all of them run at once; a pool sized to the cores would leave some
    // queued behind the others and they would time out.
    constexpr int kCalls = 24;
    auto running = std::make_shared<std::atomic<int>>(0);
    auto allTogether = std::make_shared<std::atomic<int>>(0);
    std::vector<TaskHandle> handles;
    for (int i = 0; i < kCalls; ++i) {
        handles.push_back(spawn(nullptr, [running, allTogether]() -> QCoro::Task<> {
            bool met = co_await onWorker(
                [](std::shared_ptr<std::atomic<int>> count) {
                    count->fetch_add(1);
                    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                    while (count->load() < kCalls && std::chrono::steady_clock::now() < until)
                        std::this_thread::sleep_for(std::chrono::milliseconds(2));
                    return count->load() >= kCalls;
                },
                running);
            if (met) allTogether->fetch_add(1);
        }));
    }
    ASSERT_TRUE(pumpUntil(
        [&] {
            for (auto& h : handles)
                if (!h.isFinished()) return false;
            return true;
        },
        20.0));
    EXPECT_EQ(allTogether->load(), kCalls);
}

TEST(Worker, AQueueRunsCallsOneAtATimeInOrder) {
    WorkerQueue queue;
    auto order = std::make_shared<std::vector<int>>();
    auto inside = std::make_shared<std::atomic<int>>(0);
    auto overlapped = std::make_shared<std::atomic<bool>>(false);
    std::vector<TaskHandle> handles;
    for (int i = 0; i < 20; ++i) {
        handles.push_back(spawn(nullptr, [&queue, order, inside, overlapped, i]() -> QCoro::Task<> {
            co_await onWorker(
                queue,
                [](auto out, auto busy, auto overlap, int index) {
                    if (busy->fetch_add(1) != 0) *overlap = true;
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    out->push_back(index);  // only this queue's thread writes it
                    busy->fetch_sub(1);
                },
                order, inside, overlapped, i);
        }));
    }
    ASSERT_TRUE(pumpUntil([&] {
        for (auto& h : handles)
            if (!h.isFinished()) return false;
        return true;
    }));
    EXPECT_FALSE(overlapped->load());
    std::vector<int> expected(20);
    for (int i = 0; i < 20; ++i) expected[i] = i;
    EXPECT_EQ(*order, expected);
}

namespace {
class Owner : public QObject {
public:
    std::string state = "idle";
    // The awaiting object may be gone when the worker's answer comes back.
    static QCoro::Task<> fetch(QPointer<Owner> self, std::shared_ptr<Gate> gate, Log log) {
        std::string answer = co_await onWorker(
            [](std::shared_ptr<Gate> g) {
                g->wait();
                return std::string("answer");
            },
            gate);
        if (!self) {
            log->push_back("got " + answer + " after the owner was gone");
            co_return;
        }
        self->state = answer;
    }
};
}  // namespace

TEST(Worker, ACallOutlivingItsAwaitingObjectIsDeliveredToACheckingCoroutine) {
    auto log = makeLog();
    auto gate = std::make_shared<Gate>();
    auto* owner = new Owner;
    QPointer<Owner> weak(owner);
    TaskHandle handle = spawn(owner, [weak, gate, log] { return Owner::fetch(weak, gate, log); });
    pumpFor(0.02);
    delete owner;  // while the worker still blocks
    gate->release();
    ASSERT_TRUE(pumpUntil([&] { return handle.isFinished(); }));
    EXPECT_EQ(*log, (std::vector<std::string>{"got answer after the owner was gone"}));

    // And with the owner alive, the answer lands in it.
    auto kept = std::make_unique<Owner>();
    auto open = std::make_shared<Gate>();
    open->release();
    QPointer<Owner> keptWeak(kept.get());
    TaskHandle second = spawn(kept.get(), [keptWeak, open, log] { return Owner::fetch(keptWeak, open, log); });
    ASSERT_TRUE(pumpUntil([&] { return second.isFinished(); }));
    EXPECT_EQ(kept->state, "answer");
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
