#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

#include "quillcore/base/clock.h"

namespace quill {

// Outcome of a timed wait on a stream: an item, a timeout, or the end.
template <class T>
struct StreamNext {
    enum class Status { item, timedOut, finished };
    Status status;
    std::optional<T> value;

    bool hasItem() const { return status == Status::item; }
    bool timedOut() const { return status == Status::timedOut; }
    bool finished() const { return status == Status::finished; }
};

// Unbounded, finishable stream with one consumer. Producers push from any thread; the
// consumer blocks in next(). Shared as std::shared_ptr so several owners can hand on the
// same stream.
template <class T>
class AsyncStream {
public:
    static std::shared_ptr<AsyncStream> make() { return std::make_shared<AsyncStream>(); }

    // A stream that holds at most `limit` of unread weight, each item weighing `weigh(item)`
    // (the same every time it is asked; called under the stream's lock): a push that would
    // go beyond it is refused.
    static std::shared_ptr<AsyncStream> makeBounded(std::size_t limit, std::function<std::size_t(const T&)> weigh) {
        auto stream = make();
        stream->limit_ = limit;
        stream->weigh_ = std::move(weigh);
        return stream;
    }

    // Ignored after finish() or detach(), and refused beyond a bounded stream's limit.
    // Returns whether the item was queued.
    bool push(T value) {
        std::function<void()> notify;
        {
            std::lock_guard lock(mutex_);
            if (finished_ || detached_) return false;
            if (weigh_) {
                const std::size_t weight = weigh_(value);
                if (weight > limit_ - weight_) return false;
                weight_ += weight;
            }
            items_.push_back(std::move(value));
            notify = notifier_;
        }
        cv_.notify_all();
        if (notify) notify();
        return true;
    }

    // As push(), except that once at least `backlog` items wait, `value` takes the place of the
    // last waiting item when `replaces(last)` holds, so a consumer that fell behind gets the
    // newer item only. `replaces` runs under the stream's lock.
    template <class Replaces>
    bool pushCoalescing(T value, std::size_t backlog, Replaces&& replaces) {
        std::function<void()> notify;
        {
            std::lock_guard lock(mutex_);
            if (finished_ || detached_) return false;
            const bool replace = items_.size() >= backlog && !items_.empty() && replaces(std::as_const(items_.back()));
            if (weigh_) {
                const std::size_t freed = replace ? weigh_(items_.back()) : 0;
                const std::size_t weight = weigh_(value);
                if (weight > limit_ - (weight_ - freed)) return false;
                weight_ = weight_ - freed + weight;
            }
            if (replace)
                items_.back() = std::move(value);
            else
                items_.push_back(std::move(value));
            notify = notifier_;
        }
        cv_.notify_all();
        if (notify) notify();
        return true;
    }

    // As push(), for an unbounded stream of states of keyed things: `value` takes the place of
    // the unread item that `sameKey(item)` picks, and once `limit` items wait the oldest gives
    // way, so a consumer that reads late gets the newest state of each. `sameKey` runs under
    // the lock.
    template <class SameKey>
    bool pushLatest(T value, std::size_t limit, SameKey&& sameKey) {
        std::function<void()> notify;
        {
            std::lock_guard lock(mutex_);
            if (finished_ || detached_ || limit == 0) return false;
            auto same = std::find_if(items_.begin(), items_.end(), [&](const T& item) { return sameKey(item); });
            if (same != items_.end()) {
                *same = std::move(value);
            } else {
                if (items_.size() >= limit) items_.pop_front();
                items_.push_back(std::move(value));
            }
            notify = notifier_;
        }
        cv_.notify_all();
        if (notify) notify();
        return true;
    }

    // Items already queued are still handed out; then next() returns nullopt.
    void finish() {
        std::function<void()> notify;
        {
            std::lock_guard lock(mutex_);
            if (finished_) return;
            finished_ = true;
            notify = notifier_;
        }
        cv_.notify_all();
        if (notify) notify();
    }

    // The consumer gives up the stream: queued items are dropped and later ones are not buffered.
    void detach() {
        {
            std::lock_guard lock(mutex_);
            detached_ = true;
            items_.clear();
            weight_ = 0;
        }
        cv_.notify_all();
    }

    // Called on the pushing thread after each push (and on finish), outside the lock.
    // It may only post work elsewhere: never block or call back into the stream.
    void setNotifier(std::function<void()> notifier) {
        std::lock_guard lock(mutex_);
        notifier_ = std::move(notifier);
    }

    // Blocks until an item arrives or the stream ends (nullopt).
    std::optional<T> next() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return !items_.empty() || finished_ || detached_; });
        return popLocked();
    }

    // As next(), but also returns nullopt when `stop` is requested.
    std::optional<T> next(std::stop_token stop) {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, stop, [&] { return !items_.empty() || finished_ || detached_; });
        return popLocked();
    }

    // Waits at most `timeoutSeconds` (sanitised: <= 0 polls, huge waits forever).
    StreamNext<T> next(double timeoutSeconds) { return nextUntil(Deadline::after(timeoutSeconds)); }

    StreamNext<T> nextUntil(const Deadline& deadline) {
        std::unique_lock lock(mutex_);
        auto ready = [&] { return !items_.empty() || finished_ || detached_; };
        if (auto at = deadline.at()) {
            if (!cv_.wait_until(lock, *at, ready)) return {StreamNext<T>::Status::timedOut, std::nullopt};
        } else {
            cv_.wait(lock, ready);
        }
        auto item = popLocked();
        if (item) return {StreamNext<T>::Status::item, std::move(item)};
        return {StreamNext<T>::Status::finished, std::nullopt};
    }

    // Non-blocking.
    std::optional<T> tryNext() {
        std::lock_guard lock(mutex_);
        return popLocked();
    }

    bool isFinished() const {
        std::lock_guard lock(mutex_);
        return finished_;
    }

    std::size_t pending() const {
        std::lock_guard lock(mutex_);
        return items_.size();
    }

    // The weight of the unread items of a bounded stream (0 for another).
    std::size_t pendingWeight() const {
        std::lock_guard lock(mutex_);
        return weight_;
    }

private:
    std::optional<T> popLocked() {
        if (items_.empty()) return std::nullopt;
        if (weigh_) weight_ -= weigh_(items_.front());
        std::optional<T> v(std::move(items_.front()));
        items_.pop_front();
        return v;
    }

    mutable std::mutex mutex_;
    std::condition_variable_any cv_;
    std::deque<T> items_;
    bool finished_ = false;
    bool detached_ = false;
    std::function<void()> notifier_;
    std::function<std::size_t(const T&)> weigh_;  // set for a bounded stream
    std::size_t limit_ = 0;
    std::size_t weight_ = 0;
};

template <class T>
using AsyncStreamPtr = std::shared_ptr<AsyncStream<T>>;

}  // namespace quill
