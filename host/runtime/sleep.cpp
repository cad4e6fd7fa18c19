#include "host/runtime/sleep.h"

#include <QTimer>
#include <algorithm>
#include <chrono>
#include <climits>
#include <functional>
#include <optional>

#include "host/runtime/main_thread.h"
#include "quillcore/base/clock.h"

namespace quill::host::detail {

struct SleepState : std::enable_shared_from_this<SleepState> {
    CancelToken token;
    std::optional<SteadyClock::time_point> deadline;  // none: until cancelled
    std::coroutine_handle<> handle;
    bool done = false;
    bool fullTime = false;
    std::unique_ptr<QTimer, void (*)(QTimer*)> timer{nullptr, [](QTimer* t) { t->deleteLater(); }};
    std::optional<std::stop_callback<std::function<void()>>> onCancel;

    void arm() {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - SteadyClock::now());
        // QTimer takes an int of milliseconds: longer waits re-arm until the deadline.
        auto ms = std::clamp<std::int64_t>(left.count(), 0, INT_MAX);
        timer->start(static_cast<int>(ms));
    }

    void timerFired() {
        if (done) return;
        if (SteadyClock::now() < *deadline) {
            arm();
            return;
        }
        complete(true);
    }

    void complete(bool full) {
        if (done) return;
        done = true;
        fullTime = full;
        timer.reset();
        onCancel.reset();
        // Resuming may destroy this state (it belongs to the awaiter in the coroutine frame):
        // nothing touches `this` afterwards.
        if (auto h = std::exchange(handle, {})) h.resume();
    }
};

}  // namespace quill::host::detail

namespace quill::host {

SleepAwaiter::SleepAwaiter(double seconds, CancelToken token) : state_(std::make_shared<detail::SleepState>()) {
    state_->token = std::move(token);
    if (auto wait = sanitizeTimeout(seconds)) state_->deadline = SteadyClock::now() + *wait;
}

SleepAwaiter::~SleepAwaiter() = default;

bool SleepAwaiter::await_ready() const noexcept { return state_->token.isCancelled(); }

void SleepAwaiter::await_suspend(std::coroutine_handle<> h) {
    auto& s = *state_;
    s.handle = h;
    std::weak_ptr<detail::SleepState> weak = state_;
    if (s.deadline) {
        s.timer.reset(new QTimer);
        s.timer->setSingleShot(true);
        s.timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(s.timer.get(), &QTimer::timeout, [weak] {
            if (auto st = weak.lock()) st->timerFired();
        });
        s.arm();
    }
    // The cancel may come from any thread; the wake-up always runs on the main thread, later.
    s.onCancel.emplace(s.token.stopToken(), std::function<void()>([weak] {
        postToMain([weak] {
            if (auto st = weak.lock()) st->complete(false);
        });
    }));
}

bool SleepAwaiter::await_resume() const noexcept { return state_->fullTime; }

}  // namespace quill::host
