#pragma once

#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "host/runtime/main_thread.h"

class QThreadPool;

namespace quill::host {

// A serial executor: jobs run one at a time on one worker thread, in the order they were
// queued (the place of an actor's executor). Its destructor waits for queued jobs.
class WorkerQueue {
public:
    WorkerQueue();
    ~WorkerQueue();
    WorkerQueue(const WorkerQueue&) = delete;
    WorkerQueue& operator=(const WorkerQueue&) = delete;

    void run(std::function<void()> job);

private:
    std::unique_ptr<QThreadPool> pool_;
};

// Waits (at most `seconds`) for the calls running on workers: the process must not take what
// they use (the network thread among it) from under them. Whether none is left.
bool waitForWorkers(double seconds);

namespace detail {

// Blocking framework calls can take tens of seconds, so they get a pool of their own rather
// than Qt's global one (sized to the cores).
void runOnWorkerPool(std::function<void()> job);

template <class R>
struct WorkerCall {
    using Stored = std::conditional_t<std::is_void_v<R>, std::monostate, R>;
    std::variant<std::monostate, Stored, std::exception_ptr> outcome;
    std::coroutine_handle<> handle;
};

}  // namespace detail

template <class F, class... Args>
class WorkerAwaiter {
public:
    using Result = std::invoke_result_t<F&, Args&...>;

    WorkerAwaiter(WorkerQueue* queue, F fn, Args... args)
        : queue_(queue), fn_(fn), args_(std::move(args)...), call_(std::make_shared<detail::WorkerCall<Result>>()) {}

    bool await_ready() const noexcept { return false; }

    void await_suspend(std::coroutine_handle<> h) {
        call_->handle = h;
        // The job owns the arguments and the outcome slot: it may run on after its awaiting
        // object is gone, and its result is then delivered to a coroutine that checks first.
        auto job = [fn = fn_, args = std::move(args_), call = call_]() mutable {
            try {
                if constexpr (std::is_void_v<Result>) {
                    std::apply([&](Args&... a) { std::invoke(fn, a...); }, args);
                    call->outcome.template emplace<1>();
                } else {
                    call->outcome.template emplace<1>(std::apply([&](Args&... a) { return std::invoke(fn, a...); }, args));
                }
            } catch (...) {
                call->outcome.template emplace<2>(std::current_exception());
            }
            postToMain([call] { call->handle.resume(); });
        };
        if (queue_)
            queue_->run(std::move(job));
        else
            detail::runOnWorkerPool(std::move(job));
    }

    Result await_resume() {
        if (call_->outcome.index() == 2) std::rethrow_exception(std::get<2>(call_->outcome));
        if constexpr (!std::is_void_v<Result>) return std::move(std::get<1>(call_->outcome));
    }

private:
    WorkerQueue* queue_;
    F fn_;
    std::tuple<Args...> args_;
    std::shared_ptr<detail::WorkerCall<Result>> call_;
};

// g++ 12 destroys a capturing lambda twice when it is created inside a co_await expression,
// so the callable must hold no state (a captureless lambda, a function or member pointer) and
// everything it needs goes in `args`, by value.
template <class F>
concept StatelessCallable = std::is_trivially_destructible_v<F> && std::is_trivially_copyable_v<F>;

// co_await onWorker(fn, args...): runs fn(args...) once on a worker thread and resumes the
// calling coroutine on the main thread with its result, or rethrows what it threw. Not
// cancellable: the call runs to its end. The arguments are copied to the worker.
//   auto stats = co_await onWorker(&HostSession::statistics, session);
template <class F, class... Args>
    requires StatelessCallable<F>
WorkerAwaiter<F, Args...> onWorker(F fn, Args... args) {
    return WorkerAwaiter<F, Args...>(nullptr, fn, std::move(args)...);
}

// As onWorker(fn, args...), on a serial queue: calls through one queue run one at a time, in
// the order they were made.
template <class F, class... Args>
    requires StatelessCallable<F>
WorkerAwaiter<F, Args...> onWorker(WorkerQueue& queue, F fn, Args... args) {
    return WorkerAwaiter<F, Args...>(&queue, fn, std::move(args)...);
}

}  // namespace quill::host
