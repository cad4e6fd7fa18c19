#pragma once

#include <QObject>
#include <QPointer>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include <qcoro/qcorotask.h>

#include "host/runtime/cancel_token.h"

namespace quill::host {

namespace detail {

struct TaskState {
    CancelToken token;
    bool started = false;
    bool finished = false;
    QMetaObject::Connection contextWatch;
    std::vector<std::coroutine_handle<>> joiners;
};

void markFinished(const std::shared_ptr<TaskState>& state);
void logTaskFailure(const char* what);
void schedule(QObject* context, const std::shared_ptr<TaskState>& state, std::function<void()> start);

}  // namespace detail

// A started (or queued) main-thread task. Copies refer to the same task; equality is identity.
// A default-constructed handle refers to no task: it is finished and cancel() does nothing.
class TaskHandle {
public:
    TaskHandle() = default;

    // Asks the task to stop: its token is cancelled, so its sleeps and stream waits end early.
    // The task ends at its next check; it is not torn down from outside.
    void cancel() const {
        if (state_) state_->token.cancel();
    }
    bool isCancelled() const { return state_ && state_->token.isCancelled(); }
    // Main thread only. A task whose context went away before it started counts as finished.
    bool isFinished() const { return !state_ || state_->finished; }
    CancelToken token() const { return state_ ? state_->token : CancelToken(); }

    bool operator==(const TaskHandle& other) const { return state_ == other.state_; }

    // co_await handle.finished(): resumes (queued, on the main thread) once the task has ended.
    class FinishedAwaiter {
    public:
        explicit FinishedAwaiter(std::shared_ptr<detail::TaskState> s) : state_(std::move(s)) {}
        bool await_ready() const noexcept { return !state_ || state_->finished; }
        void await_suspend(std::coroutine_handle<> h) { state_->joiners.push_back(h); }
        void await_resume() const noexcept {}

    private:
        std::shared_ptr<detail::TaskState> state_;
    };
    FinishedAwaiter finished() const { return FinishedAwaiter(state_); }

private:
    template <class F>
    friend TaskHandle spawn(QObject* context, F start);
    explicit TaskHandle(std::shared_ptr<detail::TaskState> s) : state_(std::move(s)) {}

    std::shared_ptr<detail::TaskState> state_;
};

namespace detail {

template <class F>
QCoro::Task<> runSpawned(F start, std::shared_ptr<TaskState> state) {
    try {
        if constexpr (std::is_invocable_v<F&, CancelToken>) {
            co_await start(state->token);
        } else {
            co_await start();
        }
    } catch (const std::exception& e) {
        logTaskFailure(e.what());
    } catch (...) {
        logTaskFailure("an exception that is not a std::exception");
    }
    markFinished(state);
}

}  // namespace detail

// Starts a main-thread task, the way an unawaited task is started: the start is queued, so
// the caller always runs on to its end first. Call it on the main thread (other threads post
// there first). `start` is a callable returning a QCoro::Task
// (its result is dropped), taking either nothing or the task's CancelToken; it is kept alive
// until the task ends, so its captures stay valid, but the coroutines it calls should take
// their arguments by value and re-check every object they use after each co_await.
//
// `context` (main thread, may be null): if it is destroyed before the start, the task never
// starts; if it is destroyed while the task runs, the task's token is cancelled. A task that
// throws is logged ("Quillmate Host: ...") and counts as finished; nothing else sees the error.
template <class F>
TaskHandle spawn(QObject* context, F start) {
    static_assert(std::is_invocable_v<F&, CancelToken> || std::is_invocable_v<F&>,
                  "spawn() needs a callable taking a CancelToken or nothing");
    auto state = std::make_shared<detail::TaskState>();
    // Held by pointer so that move-only callables (owning a connection, say) can be queued.
    auto holder = std::make_shared<F>(std::move(start));
    detail::schedule(context, state, [holder, state] {
        // The returned task is dropped: its frame frees itself when it ends.
        detail::runSpawned(std::move(*holder), state);
    });
    return TaskHandle(state);
}

}  // namespace quill::host
