#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace quill {

// One thread that runs posted tasks in order, and delayed tasks when due. The two
// process-wide instances are never destroyed.
class SerialWorker {
public:
    explicit SerialWorker(const char* name);
    // Waits only for the task running now, drops (and releases) the tasks not yet run and any
    // posted meanwhile, and joins the threads from startThread. Never called on the worker itself.
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void post(std::function<void()> task);
    void postAfter(std::chrono::steady_clock::duration delay, std::function<void()> task);
    // Runs `task` on the worker and waits for it.
    void runAndWait(std::function<void()> task);
    bool isCurrentThread() const { return std::this_thread::get_id() == threadId_; }
    // Runs `body` on a thread of its own, which this worker joins once the body has returned:
    // for a thread that may hold the last reference to its owner, which can never join it.
    void startThread(std::function<void()> body);

    // Delegate calls of the WebRTC layer, in order.
    static SerialWorker& events();
    // Pipeline teardown (a pipeline is never stopped on one of GStreamer's own threads), and
    // the joining of threads that end by themselves (no thread of Asio, GStreamer or Avahi
    // ever joins one).
    static SerialWorker& teardown();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> timers_;
    std::map<std::uint64_t, std::thread> threads_;
    std::uint64_t nextThread_ = 0;
    bool stopping_ = false;
    std::thread::id threadId_;
    std::thread thread_;
};

}  // namespace quill
