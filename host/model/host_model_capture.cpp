#include "host/model/host_model_capture.h"

#include "host/desktop/screen_capture_engine.h"
#include "host/runtime/worker.h"
#include "quillcore/session/host_session.h"

namespace quill::host {

namespace {

class ScreenCapture final : public CaptureEngine {
public:
    ScreenCapture(std::shared_ptr<HostSession> session, std::string displayName)
        : engine_(makeSink(std::move(session)), ScreenCaptureOptions{std::move(displayName), {}, 1.0 / 60.0, 5, true}) {}

    void start(const std::set<std::uint32_t>& excludingWindowIDs) override { engine_.start(excludingWindowIDs); }
    void stop() override { engine_.stop(); }
    std::int64_t frames() const override { return engine_.frames(); }

private:
    static VideoFrameSink makeSink(std::shared_ptr<HostSession> session) {
        std::weak_ptr<HostSession> weak = session;
        VideoFrameSink sink;
        // The engine holds the session, as its frames have nowhere else to go.
        sink.sendVideoFrame = [session](const PixelBufferPtr& frame, std::int64_t timeStampNs) {
            session->sendVideoFrame(frame, timeStampNs);
        };
        sink.close = [weak](const std::string& reason) {
            auto s = weak.lock();
            if (!s) return;
            // Closing joins session threads: never on the capture thread itself.
            detail::runOnWorkerPool([s, reason] { s->close(reason); });
        };
        return sink;
    }

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
