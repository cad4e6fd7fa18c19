#include "quillcore/webrtc/gst_promise.h"

#include <chrono>
#include <condition_variable>

#include "quillcore/webrtc/gst_glue.h"
#include "quillcore/base/serial_worker.h"

namespace quill::gst {

std::shared_ptr<PromiseCall> PromiseCall::make(Handler handler) {
    return std::make_shared<PromiseCall>(std::move(handler));
}

PromiseCall::~PromiseCall() {
    if (promise_) gst_promise_unref(promise_);
}

GstPromise* PromiseCall::promise() {
    GstPromise* promise = gst_promise_new_with_change_func(
        [](GstPromise* p, gpointer data) {
            GstThreadScope scope;
            auto& call = *static_cast<std::shared_ptr<PromiseCall>*>(data);
            if (gst_promise_wait(p) == GST_PROMISE_RESULT_REPLIED) call->answer(gst_promise_get_reply(p), false);
            else call->answer(std::nullopt, false);
        },
        new std::shared_ptr<PromiseCall>(shared_from_this()),
        [](gpointer data) { delete static_cast<std::shared_ptr<PromiseCall>*>(data); });
    std::lock_guard lock(mutex_);
    promise_ = gst_promise_ref(promise);
    return promise;
}

bool PromiseCall::answered() const {
    std::lock_guard lock(mutex_);
    return !handler_;
}

void PromiseCall::answer(std::optional<const GstStructure*> reply, bool interrupt) {
    Handler handler;
    GstPromise* promise = nullptr;
    {
        std::lock_guard lock(mutex_);
        handler.swap(handler_);
        if (handler) promise = std::exchange(promise_, nullptr);
    }
    if (!handler) return;
    // Interrupted, a promise webrtcbin drops is not freed while pending; the change function
    // this calls finds the call answered.
    if (promise && interrupt) gst_promise_interrupt(promise);
    if (promise) gst_promise_unref(promise);
    handler(reply);
}

std::optional<std::string> Reply::error() const {
    if (status_ == Status::timedOut) return std::string("WebRTC did not answer in time");
    if (status_ == Status::closed) return std::string("the connection is closed");
    if (!reply_ || !gst_structure_has_field(reply_, "error")) return std::nullopt;
    GError* err = nullptr;
    gst_structure_get(reply_, "error", G_TYPE_ERROR, &err, nullptr);
    std::string text = errorText(err, "WebRTC reported an error");
    if (err) g_error_free(err);
    return text;
}

Reply awaitReply(const std::function<void(GstPromise*)>& emit, double timeoutSeconds) {
    struct Wait {
        std::mutex mutex;
        std::condition_variable cv;
        bool done = false;
        Reply reply;
    };
    auto wait = std::make_shared<Wait>();
    auto call = PromiseCall::make([wait](std::optional<const GstStructure*> reply) {
        std::lock_guard lock(wait->mutex);
        wait->done = true;
        if (reply) wait->reply = Reply(Reply::Status::replied, *reply ? gst_structure_copy(*reply) : nullptr);
        wait->cv.notify_all();
    });
    GstPromise* promise = call->promise();
    emit(promise);
    // A late reply finds the call answered and is dropped.
    gst_promise_unref(promise);
    std::unique_lock lock(wait->mutex);
    if (!wait->cv.wait_for(lock, std::chrono::duration<double>(timeoutSeconds), [&] { return wait->done; })) {
        lock.unlock();
        call->cancel();
        return Reply(Reply::Status::timedOut, nullptr);
    }
    return std::move(wait->reply);
}

}  // namespace quill::gst
