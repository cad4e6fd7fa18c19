#pragma once

#include <coroutine>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>

#include "host/runtime/cancel_token.h"
#include "host/runtime/main_thread.h"
#include "quillcore/base/async_stream.h"

namespace quill::host {

namespace detail {

// One pending next() on a stream. Lives on the main thread; the stream's notifier (pushing
// thread) and the token's callback (cancelling thread) only post a poll to it.
template <class T>
struct StreamWait : std::enable_shared_from_this<StreamWait<T>> {
    AsyncStreamPtr<T> stream;
    CancelToken token;
    std::coroutine_handle<> handle;
    bool done = false;
    bool notifierSet = false;
    std::optional<T> result;
    std::optional<std::stop_callback<std::function<void()>>> onCancel;

    ~StreamWait() {
        if (notifierSet) stream->setNotifier({});
    }

    // Main thread. Reads "finished" before taking an item: once finished, nothing more can be
    // pushed, so an empty queue then really is the end and no item is lost.
    void poll() {
        if (done) return;
        if (token.isCancelled()) return complete(std::nullopt);
        bool finished = stream->isFinished();
        if (auto item = stream->tryNext()) return complete(std::move(item));
        if (finished) complete(std::nullopt);
    }

    void complete(std::optional<T> value) {
        if (done) return;
        done = true;
        result = std::move(value);
        if (notifierSet) {
            stream->setNotifier({});
            notifierSet = false;
        }
        onCancel.reset();
        // Resuming may destroy this object: nothing touches `this` afterwards.
        if (auto h = std::exchange(handle, {})) h.resume();
    }
};

}  // namespace detail

template <class T>
class StreamNextAwaiter {
public:
    StreamNextAwaiter(AsyncStreamPtr<T> stream, CancelToken token) : wait_(std::make_shared<detail::StreamWait<T>>()) {
        wait_->stream = std::move(stream);
        wait_->token = std::move(token);
    }

    bool await_ready() {
        wait_->poll();
        return wait_->done;
    }

    bool await_suspend(std::coroutine_handle<> h) {
        auto& w = *wait_;
        std::weak_ptr<detail::StreamWait<T>> weak = wait_;
        auto wake = [weak] {
            postToMain([weak] {
                if (auto st = weak.lock()) st->poll();
            });
        };
        w.stream->setNotifier(wake);
        w.notifierSet = true;
        w.onCancel.emplace(w.token.stopToken(), std::function<void()>(wake));
        // An item pushed between await_ready and the notifier being set sent no wake-up.
        w.poll();
        if (w.done) return false;
        w.handle = h;
        return true;
    }

    std::optional<T> await_resume() { return std::move(wait_->result); }

private:
    std::shared_ptr<detail::StreamWait<T>> wait_;
};

// co_await next(stream, token): the stream's next item, taken on the main thread, or nullopt
// once the stream is finished and drained, or when the token is cancelled (the item then stays
// queued). No thread waits: the stream's notifier posts a wake-up to the main thread. One
// consumer at a time: a stream has a single notifier slot.
template <class T>
StreamNextAwaiter<T> next(AsyncStreamPtr<T> stream, CancelToken token = CancelToken()) {
    return StreamNextAwaiter<T>(std::move(stream), std::move(token));
}

}  // namespace quill::host
