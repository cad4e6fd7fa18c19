#include "host/runtime/worker.h"

#include <QRunnable>
#include <QThreadPool>

namespace quill::host {

namespace {
constexpr int kIdleThreadExpiryMs = 30000;
// Generous: a worker may sit in a framework wait (negotiation, statistics) for many seconds.
constexpr int kMaxWorkerThreads = 128;

QThreadPool& workerPool() {
    // Destroyed after main() returns, waiting for calls still running.
    static QThreadPool pool;
    static const bool configured = [] {
        pool.setMaxThreadCount(kMaxWorkerThreads);
        pool.setExpiryTimeout(kIdleThreadExpiryMs);
        return true;
    }();
    (void)configured;
    return pool;
}
}  // namespace

WorkerQueue::WorkerQueue() : pool_(std::make_unique<QThreadPool>()) {
    pool_->setMaxThreadCount(1);
    pool_->setExpiryTimeout(kIdleThreadExpiryMs);
}

WorkerQueue::~WorkerQueue() { pool_->waitForDone(); }

void WorkerQueue::run(std::function<void()> job) { pool_->start(std::move(job)); }

bool waitForWorkers(double seconds) { return workerPool().waitForDone(static_cast<int>(seconds * 1000)); }

namespace detail {
void runOnWorkerPool(std::function<void()> job) { workerPool().start(std::move(job)); }
}  // namespace detail

}  // namespace quill::host
