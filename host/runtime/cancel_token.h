#pragma once

#include <stop_token>

namespace quill::host {

// A shared cancellation flag. Copies share one state; cancel() is thread-safe and idempotent.
// The runtime's awaitables (sleepFor, next) wake early when their token is cancelled, and
// stopToken() hands the same flag to blocking framework calls running on a worker.
class CancelToken {
public:
    CancelToken() = default;

    void cancel() const { source_.request_stop(); }
    bool isCancelled() const { return source_.stop_requested(); }
    std::stop_token stopToken() const { return source_.get_token(); }

    bool operator==(const CancelToken& other) const { return source_ == other.source_; }

private:
    // mutable: cancelling through a copy held as const is the point of a shared token.
    mutable std::stop_source source_;
};

}  // namespace quill::host
