#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "quillcore/base/serial_worker.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// The old fault ran a 100 ms task only when the 5 s one behind it fell due (or never, on an
// idle worker); a loaded machine is late by far less than a second.
constexpr auto kShort = 100ms;
constexpr auto kLong = 5s;
constexpr auto kLate = 1500ms;

// Delayed tasks and when they ran, against the window in which postAfter set their due time.
struct Runs {
    struct Task {
        Clock::time_point earliest, latest;
        std::vector<Clock::time_point> ran;
    };
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Task> tasks;
    std::vector<std::size_t> order;

    void postAfter(quill::SerialWorker& worker, std::size_t id, Clock::duration delay) {
        const auto before = Clock::now();
        worker.postAfter(delay, [this, id] {
            std::lock_guard lock(mutex);
            tasks[id].ran.push_back(Clock::now());
            order.push_back(id);
            changed.notify_all();
        });
        std::lock_guard lock(mutex);
        tasks[id].earliest = before + delay;
        tasks[id].latest = Clock::now() + delay;
    }
    bool waitForAll() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, kLong - 1s, [&] { return order.size() >= tasks.size(); });
    }
};

template <typename Predicate> bool eventually(Predicate done) {
    for (auto until = Clock::now() + 4s; !done(); std::this_thread::yield())
        if (Clock::now() > until) return false;
    return true;
}

}  // namespace

TEST(SerialWorker, ADelayedTaskRunsWhenDueWhoeverPostsItAndWhateverTheWorkerWaitsFor) {
    using Worker = std::unique_ptr<quill::SerialWorker>;
    struct Row {
        const char* name;
        std::size_t tasks;
        std::function<void(Worker&, Runs&)> post;
    };
    const auto fromAnotherThread = [](auto post) { std::thread(post).join(); };
    const Row rows[] = {
        {"an idle worker", 1, [&](Worker& worker, Runs& runs) {
             fromAnotherThread([&] { runs.postAfter(*worker, 0, kShort); });
         }},
        {"an earlier task posted while a later one waits", 1, [&](Worker& worker, Runs& runs) {
             worker->postAfter(kLong, [] {});
             fromAnotherThread([&] { runs.postAfter(*worker, 0, kShort); });
         }},
        {"an earlier task posted while one waits beyond the clock's range", 1, [&](Worker& worker, Runs& runs) {
             worker->postAfter(Clock::duration::max(), [] { ADD_FAILURE() << "it ran"; });
             fromAnotherThread([&] { runs.postAfter(*worker, 0, kShort); });
         }},
        {"posted from inside a running task", 1, [&](Worker& worker, Runs& runs) {
             worker->postAfter(kLong, [] {});
             worker->post([&] { runs.postAfter(*worker, 0, kShort); });
         }},
        {"posted from another thread during a running task", 1, [&](Worker& worker, Runs& runs) {
             worker->postAfter(kLong, [] {});
             std::latch running(1), posted(1);
             worker->post([&] {
                 running.count_down();
                 posted.wait();
             });
             running.wait();
             fromAnotherThread([&] { runs.postAfter(*worker, 0, kShort); });
             posted.count_down();
             // The running task refers to the latches: let it end before they go.
             worker->runAndWait([] {});
         }},
        {"many threads posting at once", 64, [&](Worker& worker, Runs& runs) {
             worker->postAfter(kLong, [] {});
             std::latch start(8);
             std::vector<std::jthread> threads;
             for (std::size_t t = 0; t < 8; ++t)
                 threads.emplace_back([&, t] {
                     start.arrive_and_wait();
                     // Interleaved due times, each thread posting its own in falling order.
                     for (std::size_t k = 8; k-- > 0;) runs.postAfter(*worker, t * 8 + k, kShort + (k * 8 + t) * 3ms);
                 });
         }},
        {"stopped with tasks pending", 0, [&](Worker& worker, Runs&) {
             auto* stopping = worker.get();
             auto captured = std::make_shared<int>(0);
             std::atomic<int> ran = 0;
             std::atomic<bool> release = false, threadEnded = false;
             stopping->postAfter(kLong, [captured, &ran] { ++ran; });
             stopping->post([&] { release.wait(false); });
             stopping->post([captured, &ran] { ++ran; });
             stopping->startThread([&] {
                 release.wait(false);
                 threadEnded = true;
             });
             auto stopped = std::async(std::launch::async, [&] { worker.reset(); });
             // Posts are dropped once it stops: wait for that before the running task ends, so the
             // pending tasks must be dropped rather than run.
             EXPECT_TRUE(eventually([&] {
                 auto probe = std::make_shared<int>(0);
                 stopping->post([probe] {});
                 return probe.use_count() == 1;
             }));
             const auto released = Clock::now();
             release = true;
             release.notify_all();
             ASSERT_EQ(stopped.wait_for(kLong - 1s), std::future_status::ready);
             EXPECT_LT(Clock::now() - released, kLate);
             EXPECT_EQ(ran, 0);
             EXPECT_EQ(captured.use_count(), 1);
             EXPECT_TRUE(threadEnded);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto worker = std::make_unique<quill::SerialWorker>("test-worker");
        Runs runs;
        runs.tasks.resize(row.tasks);
        row.post(worker, runs);
        EXPECT_TRUE(runs.waitForAll());
        worker.reset();
        for (std::size_t id = 0; id < runs.tasks.size(); ++id) {
            const auto& task = runs.tasks[id];
            EXPECT_EQ(task.ran.size(), 1u) << "task " << id;
            if (task.ran.empty()) continue;
            EXPECT_GE(task.ran[0], task.earliest) << "task " << id;
            EXPECT_LT(task.ran[0] - task.latest, kLate) << "task " << id;
        }
        // Due order: no task ran before one that was surely due earlier.
        for (std::size_t i = 1; i < runs.order.size(); ++i)
            EXPECT_LE(runs.tasks[runs.order[i - 1]].earliest, runs.tasks[runs.order[i]].latest) << i;
    }
}
