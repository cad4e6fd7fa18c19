#pragma once

#include <gst/gst.h>

#include <mutex>
#include <optional>

#include "quillcore/webrtc/peer_connection.h"

namespace quill::gst {

// Captured BGRx frames into the sending chain's appsrc: converted to I420, time-stamped on the
// pipeline's clock and held to the sender's frame-rate limit.
class GstVideoSource final : public VideoSource {
public:
    ~GstVideoSource() override { detach(); }

    void adaptOutputFormat(int width, int height, int fps) override;
    void captureFrame(const PixelBufferPtr& frame, std::int64_t timeStampNs) override;

    // The first frame through the chain, so that caps reach webrtcbin before the answer.
    void primeWithBlackFrame();
    void attach(GstElement* appsrc);
    void detach();
    void setLimits(bool active, double maxFps);

    struct Format {
        int width = 0, height = 0, fps = 0;
    };
    Format format() const;

private:
    void push(GstElement* appsrc, const PixelBuffer& frame, std::optional<std::int64_t> timeStampNs);
    GstClockTime presentationTime(GstElement* appsrc, std::optional<std::int64_t> timeStampNs);

    mutable std::mutex mutex_;
    Format format_;
    int capsWidth_ = 0;
    int capsHeight_ = 0;
    GstElement* appsrc_ = nullptr;
    bool active_ = true;
    double maxFps_ = 0;
    std::optional<std::int64_t> lastAdmitted_;
    std::optional<std::int64_t> offsetNs_;
    std::optional<std::int64_t> lastMapped_;  // the last time stamp mapped to a presentation time
    GstClockTime lastPts_ = GST_CLOCK_TIME_NONE;
};

}  // namespace quill::gst
