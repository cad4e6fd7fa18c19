#pragma once

#include <QTimer>
#include <coroutine>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <stop_token>
#include <utility>

#include "host/runtime/cancel_token.h"
#include "host/runtime/main_thread.h"
#include "quillcore/base/async_stream.h"
#include "quillcore/base/clock.h"

namespace quill::host {

namespace detail {

// One pending wait on a stream. Lives on the main thread; the stream's notifier (pushing
// thread) and the token's callback (cancelling thread) only post a poll to it.
template <class T>
struct StreamWait {
    using Status = typename StreamNext<T>::Status;

    AsyncStreamPtr<T> stream;
    CancelToken token;
    std::optional<double> timeoutSeconds;
    std::coroutine_handle<> handle;
    bool done = false;
    bool notifierSet = false;
    StreamNext<T> result{Status::finished, std::nullopt};
    std::optional<std::stop_callback<std::function<void()>>> onCancel;
    std::unique_ptr<QTimer, void (*)(QTimer*)> timer{nullptr, [](QTimer* t) { t->deleteLater(); }};

    ~StreamWait() {
        if (notifierSet) stream->setNotifier({});
    }

    // Main thread. Reads "finished" before taking an item: once finished, nothing more can be
    // pushed, so an empty queue then really is the end and no item is lost.
    void poll() {
        if (done) return;
        if (token.isCancelled()) return complete(Status::finished, std::nullopt);
        bool finished = stream->isFinished();
        if (auto item = stream->tryNext()) return complete(Status::item, std::move(item));
        if (finished) complete(Status::finished, std::nullopt);
    }

    void complete(Status status, std::optional<T> value) {
        if (done) return;
        done = true;
        result = StreamNext<T>{status, std::move(value)};
        if (notifierSet) {
            stream->setNotifier({});
            notifierSet = false;
        }
        onCancel.reset();
        timer.reset();
        // Resuming may destroy this object: nothing touches `this` afterwards.
        if (auto h = std::exchange(handle, {})) h.resume();
    }
};

}  // namespace detail

template <class T, bool Timed>
class StreamNextAwaiter {
public:
    StreamNextAwaiter(AsyncStreamPtr<T> stream, CancelToken token, std::optional<double> timeoutSeconds)
        : wait_(std::make_shared<detail::StreamWait<T>>()) {
        wait_->stream = std::move(stream);
        wait_->token = std::move(token);
        wait_->timeoutSeconds = timeoutSeconds;
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
        if (w.timeoutSeconds) {
            if (auto limit = sanitizeTimeout(*w.timeoutSeconds)) {
                auto ms = std::chrono::ceil<std::chrono::milliseconds>(*limit).count();
                w.timer.reset(new QTimer);
                w.timer->setSingleShot(true);
                w.timer->setTimerType(Qt::PreciseTimer);
                QObject::connect(w.timer.get(), &QTimer::timeout, [weak] {
                    if (auto st = weak.lock()) st->complete(StreamNext<T>::Status::timedOut, std::nullopt);
                });
                // Waits past QTimer's range (about 24 days) are treated as no limit.
                if (ms <= std::numeric_limits<int>::max()) w.timer->start(static_cast<int>(ms));
            }
        }
        w.handle = h;
        return true;
    }

    auto await_resume() {
        if constexpr (Timed)
            return std::move(wait_->result);
        else
            return std::move(wait_->result.value);
    }

private:
    std::shared_ptr<detail::StreamWait<T>> wait_;
};

// co_await next(stream, token): the stream's next item, taken on the main thread, or nullopt
// once the stream is finished and drained, or when the token is cancelled (the item then stays
// queued). No thread waits: the stream's notifier posts a wake-up to the main thread. One
// consumer at a time: a stream has a single notifier slot.
template <class T>
StreamNextAwaiter<T, false> next(AsyncStreamPtr<T> stream, CancelToken token = CancelToken()) {
    return StreamNextAwaiter<T, false>(std::move(stream), std::move(token), std::nullopt);
}

// As next(stream, token), waiting at most `timeoutSeconds` (sanitised like every timeout):
// gives an item, timedOut, or finished (which also stands for a cancelled wait).
template <class T>
StreamNextAwaiter<T, true> nextWithin(AsyncStreamPtr<T> stream, double timeoutSeconds, CancelToken token = CancelToken()) {
    return StreamNextAwaiter<T, true>(std::move(stream), std::move(token), timeoutSeconds);
}

}  // namespace quill::host
