#include "host/runtime/task.h"

#include <string>

#include "host/runtime/main_thread.h"
#include "quillcore/base/diagnostics.h"

namespace quill::host::detail {

void markFinished(const std::shared_ptr<TaskState>& state) {
    if (state->finished) return;
    state->finished = true;
    if (state->contextWatch) QObject::disconnect(state->contextWatch);
    // Joiners resume from the event loop, never inside the finishing task's own frame.
    for (auto h : std::exchange(state->joiners, {})) postToMain([h] { h.resume(); });
}

void logTaskFailure(const char* what) {
    std::string line = "Quillmate Host: a task ended with an error: ";
    line += what ? what : "";
    quill::diagnostic(line);
}

namespace {

// Marks the task finished when its queued start is dropped unrun (the context died first).
struct StartGuard {
    explicit StartGuard(std::shared_ptr<TaskState> s) : state(std::move(s)) {}
    StartGuard(const StartGuard&) = delete;
    StartGuard& operator=(const StartGuard&) = delete;
    ~StartGuard() {
        if (!state->started) {
            auto s = state;
            // The drop can happen inside the context's destructor: finish from the event loop.
            postToMain([s] { markFinished(s); });
        }
    }
    std::shared_ptr<TaskState> state;
};

}  // namespace

void schedule(QObject* context, const std::shared_ptr<TaskState>& state, std::function<void()> start) {
    auto guard = std::make_shared<StartGuard>(state);
    auto run = [guard, start = std::move(start)]() mutable {
        guard->state->started = true;
        start();
    };
    if (!context) {
        postToMain(std::move(run));
        return;
    }
    CancelToken token = state->token;
    state->contextWatch = QObject::connect(context, &QObject::destroyed, [token] { token.cancel(); });
    QMetaObject::invokeMethod(context, std::move(run), Qt::QueuedConnection);
}

}  // namespace quill::host::detail
