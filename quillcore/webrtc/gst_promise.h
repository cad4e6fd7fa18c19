#pragma once

// webrtcbin's promise-taking actions, each answered exactly once.

#include <gst/gst.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace quill::gst {

// One promise-taking action. Its handler runs once: with webrtcbin's reply, or with nothing when
// cancel() comes first (the caller gave up, or the connection closed: webrtcbin drops queued
// actions unanswered when it shuts down). A cancelled promise is interrupted.
class PromiseCall : public std::enable_shared_from_this<PromiseCall> {
public:
    // The reply (which may be null when webrtcbin replied with nothing), or nothing.
    using Handler = std::function<void(std::optional<const GstStructure*> reply)>;
    static std::shared_ptr<PromiseCall> make(Handler handler);
    explicit PromiseCall(Handler handler) : handler_(std::move(handler)) {}
    ~PromiseCall();

    // The promise bound to this call, for its one emission; the caller unrefs it.
    GstPromise* promise();
    void cancel() { answer(std::nullopt, true); }
    bool answered() const;

private:
    void answer(std::optional<const GstStructure*> reply, bool interrupt);

    mutable std::mutex mutex_;
    Handler handler_;                // empty once answered
    GstPromise* promise_ = nullptr;  // held until answered (the promise holds the call)
};

// The reply to a blocking action, copied out of its promise.
class Reply {
public:
    enum class Status { replied, closed, timedOut };
    Reply() = default;
    Reply(Status status, GstStructure* reply) : status_(status), reply_(reply) {}
    Reply(Reply&& other) noexcept : status_(other.status_), reply_(std::exchange(other.reply_, nullptr)) {}
    Reply& operator=(Reply&& other) noexcept {
        std::swap(status_, other.status_);
        std::swap(reply_, other.reply_);
        return *this;
    }
    ~Reply() {
        if (reply_) gst_structure_free(reply_);
    }

    const GstStructure* structure() const { return reply_; }
    bool timedOut() const { return status_ == Status::timedOut; }
    // Nothing on success. A reply with an "error" field is a failure even without its GError.
    std::optional<std::string> error() const;

private:
    Status status_ = Status::closed;
    GstStructure* reply_ = nullptr;
};

// Emits an action through `emit` and waits up to `timeoutSeconds` for its reply.
Reply awaitReply(const std::function<void(GstPromise*)>& emit, double timeoutSeconds);

}  // namespace quill::gst
