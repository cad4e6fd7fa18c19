#include "quillcore/base/serial_worker.h"

#include <future>
#include <pthread.h>

#include "quillcore/base/quick_wake.h"

namespace quill {
SerialWorker::SerialWorker(const char* name) {
    std::promise<std::thread::id> started;
    auto id = started.get_future();
    thread_ = std::jthread([this, name, &started](std::stop_token stop) {
        pthread_setname_np(pthread_self(), name);
        started.set_value(std::this_thread::get_id());
        run(stop);
    });
    threadId_ = id.get();
}

SerialWorker::~SerialWorker() {
    thread_.request_stop();
    cv_.notify_all();
}

void SerialWorker::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    cv_.notify_all();
}

void SerialWorker::postAfter(std::chrono::steady_clock::duration delay, std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        timers_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
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

void SerialWorker::run(std::stop_token stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        auto now = std::chrono::steady_clock::now();
        if (!timers_.empty() && timers_.begin()->first <= now) {
            auto task = std::move(timers_.begin()->second);
            timers_.erase(timers_.begin());
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        if (!tasks_.empty()) {
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            lock.lock();
            continue;
        }
        auto ready = [&] { return !tasks_.empty() || (!timers_.empty() && timers_.begin()->first <= std::chrono::steady_clock::now()); };
        if (timers_.empty()) {
            cv_.wait(lock, stop, ready);
        } else {
            cv_.wait_until(lock, stop, timers_.begin()->first, ready);
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
