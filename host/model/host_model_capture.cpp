#include "host/model/host_model_capture.h"

#include <algorithm>
#include <mutex>

#include "host/desktop/screen_capture_engine.h"
#include "host/runtime/worker.h"
#include "quillcore/session/host_session.h"

namespace quill::host {

namespace {

class ScreenCapture final : public CaptureEngine {
public:
    ScreenCapture(std::shared_ptr<HostSession> session, std::string displayName)
        : state_(std::make_shared<State>()),
          engine_(makeSink(session, state_),
                  ScreenCaptureOptions{std::move(displayName), {}, frameInterval(*session), 5, true}) {}

    void start(const std::set<std::uint32_t>& excludingWindowIDs) override { engine_.start(excludingWindowIDs); }
    void stop() override { engine_.stop(); }
    std::int64_t frames() const override { return engine_.frames(); }
    void onStopped(std::function<void(const std::string& reason)> handler) override {
        std::lock_guard lock(state_->mutex);
        state_->stopped = std::move(handler);
    }

private:
    struct State {
        std::mutex mutex;
        std::function<void(const std::string&)> stopped;
    };

    // Paced at the session's frame rate, which its video also holds to.
    static double frameInterval(const HostSession& session) {
        return 1.0 / double(std::clamp<std::int64_t>(session.configuration.videoFPS, 1, 60));
    }

    static VideoFrameSink makeSink(std::shared_ptr<HostSession> session, std::shared_ptr<State> state) {
        std::weak_ptr<HostSession> weak = session;
        VideoFrameSink sink;
        // The engine holds the session, as its frames have nowhere else to go.
        sink.sendVideoFrame = [session](const PixelBufferPtr& frame, std::int64_t timeStampNs) {
            session->sendVideoFrame(frame, timeStampNs);
        };
        sink.close = [weak, state](const std::string& reason) {
            std::function<void(const std::string&)> stopped;
            {
                std::lock_guard lock(state->mutex);
                stopped = state->stopped;
            }
            if (stopped) return stopped(reason);
            auto s = weak.lock();
            if (!s) return;
            // Closing joins session threads: never on the capture thread itself.
            detail::runOnWorkerPool([s, reason] { s->close(reason); });
        };
        return sink;
    }

    std::shared_ptr<State> state_;
    ScreenCaptureEngine engine_;
};

}  // namespace

std::function<std::shared_ptr<CaptureEngine>(std::shared_ptr<HostSession>)> screenCaptureEngineFactory(
    std::string displayName) {
    return [displayName](std::shared_ptr<HostSession> session) -> std::shared_ptr<CaptureEngine> {
        return std::make_shared<ScreenCapture>(std::move(session), displayName);
    };
}

}  // namespace quill::host
