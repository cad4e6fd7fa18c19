#pragma once

#include <coroutine>
#include <memory>

#include "host/runtime/cancel_token.h"

namespace quill::host {

namespace detail {
struct SleepState;
}

// co_await sleepFor(seconds, token): suspends the calling main-thread coroutine. Gives true when
// the time has passed, false when the token was (or already is) cancelled, which ends the wait
// at once. The time is sanitised like every timeout: NaN or <= 0 still yields to the event loop
// once; 1e9 s or more waits for the cancel only.
class SleepAwaiter {
public:
    SleepAwaiter(double seconds, CancelToken token);
    SleepAwaiter(SleepAwaiter&&) noexcept = default;
    ~SleepAwaiter();

    bool await_ready() const noexcept;
    void await_suspend(std::coroutine_handle<> h);
    bool await_resume() const noexcept;

private:
    std::shared_ptr<detail::SleepState> state_;
};

inline SleepAwaiter sleepFor(double seconds, CancelToken token = CancelToken()) {
    return SleepAwaiter(seconds, std::move(token));
}

}  // namespace quill::host
