#include "quillcore/base/serial_worker.h"

#include <future>
#include <pthread.h>

#include "quillcore/base/quick_wake.h"

namespace quill {
SerialWorker::SerialWorker(const char* name) {
    std::promise<std::thread::id> started;
    auto id = started.get_future();
    thread_ = std::thread([this, name, &started] {
        pthread_setname_np(pthread_self(), name);
        started.set_value(std::this_thread::get_id());
        run();
    });
    threadId_ = id.get();
}

SerialWorker::~SerialWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    thread_.join();
    // Threads started here end on their own; a thread's last post (its join) is dropped now, so
    // they are joined here. What the dropped tasks capture is released outside the lock.
    for (;;) {
        std::map<std::uint64_t, std::thread> threads;
        std::deque<std::function<void()>> tasks;
        std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers;
        {
            std::lock_guard lock(mutex_);
            threads.swap(threads_);
            tasks.swap(tasks_);
            timers.swap(timers_);
        }
        if (threads.empty() && tasks.empty() && timers.empty()) break;
        for (auto& [id, thread] : threads) thread.join();
    }
}

void SerialWorker::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        tasks_.push_back(std::move(task));
    }
    cv_.notify_all();
}

void SerialWorker::postAfter(std::chrono::steady_clock::duration delay, std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        // A delay beyond the clock's range waits for ever, never wraps to the past.
        const auto now = std::chrono::steady_clock::now();
        const auto due = delay < std::chrono::steady_clock::time_point::max() - now ? now + delay
                                                                                 : std::chrono::steady_clock::time_point::max();
        timers_.emplace(due, std::move(task));
    }
    cv_.notify_all();
}

void SerialWorker::runAndWait(std::function<void()> task) {
    if (isCurrentThread()) {
        task();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    post([&] {
        task();
        done.set_value();
    });
    finished.wait();
}

void SerialWorker::startThread(std::function<void()> body) {
    std::lock_guard lock(mutex_);
    const std::uint64_t id = nextThread_++;
    // The thread's last act queues its own join, which cannot run before it is listed here.
    threads_.emplace(id, std::thread([this, id, body = std::move(body)] {
        body();
        post([this, id] {
            std::thread finished;
            {
                std::lock_guard lock(mutex_);
                finished = std::move(threads_.at(id));
                threads_.erase(id);
            }
            finished.join();
        });
    }));
}

void SerialWorker::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        std::function<void()> task;
        if (!timers_.empty() && timers_.begin()->first <= std::chrono::steady_clock::now()) {
            task = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
        } else if (!tasks_.empty()) {
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        if (task) {
            lock.unlock();
            task();
            // What it captures may post here when released.
            task = nullptr;
            lock.lock();
            continue;
        }
        // A predicate wait keeps the deadline it was called with, so it also ends when the
        // earliest due time changes, and the loop takes the new one.
        const auto due = timers_.empty() ? std::chrono::steady_clock::time_point::max() : timers_.begin()->first;
        auto changed = [&] {
            return stopping_ || !tasks_.empty() || (!timers_.empty() && timers_.begin()->first != due);
        };
        if (timers_.empty()) {
            cv_.wait(lock, changed);
        } else {
            cv_.wait_until(lock, due, changed);
        }
    }
}

SerialWorker& SerialWorker::events() {
    static SerialWorker* worker = [] {
        auto* events = new SerialWorker("webrtc-events");
        // Received control messages pass through here on their way to the host's input.
        events->post([] { preferQuickWakeUps(); });
        return events;
    }();
    return *worker;
}

SerialWorker& SerialWorker::teardown() {
    static SerialWorker* worker = new SerialWorker("teardown");
    return *worker;
}

}  // namespace quill
