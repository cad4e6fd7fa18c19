#pragma once

#include <gst/gst.h>

#include <memory>
#include <mutex>
#include <optional>

#include "quillcore/webrtc/peer_connection.h"

namespace quill::gst {

// Captured BGRx frames into the sending chain's appsrc: converted to I420 in buffers of a pool,
// time-stamped on the pipeline's clock and held to the sender's frame-rate limit on average.
class GstVideoSource final : public VideoSource, public std::enable_shared_from_this<GstVideoSource> {
public:
    ~GstVideoSource() override { detach(); }

    void adaptOutputFormat(int width, int height, int fps) override;
    void captureFrame(const PixelBufferPtr& frame, std::int64_t timeStampNs) override;
    // With no frame yet, a black one of the format's size: the peer's RTCP, by which this side
    // knows the peer is alive, starts with the first packet it receives.
    void resendLastFrame() override;

    // The chain is built: frames go to `appsrc`, key-frame requests come up to `encoder`.
    void attach(GstElement* appsrc, GstElement* encoder);
    void detach();
    void setLimits(bool active, double maxFps);

    struct Format {
        int width = 0, height = 0, fps = 0;
    };
    Format format() const;

private:
    struct Sink;
    // The appsrc and a pool for frames of this size (lock held); false when detached.
    bool sinkFor(int width, int height, Sink& sink);
    // Takes one token of the rate limit for a frame at `timeStampNs` (lock held).
    bool admit(std::int64_t timeStampNs);
    GstClockTime presentationTime(GstElement* appsrc, std::optional<std::int64_t> timeStampNs);
    void push(GstElement* appsrc, GstBuffer* buffer, GstCaps* caps, std::optional<std::int64_t> timeStampNs);
    void pushInOrder(GstElement* appsrc, GstBuffer* buffer, GstCaps* caps);
    void repeat(bool forceKeyFrame);
    static GstPadProbeReturn onUpstreamEvent(GstPad*, GstPadProbeInfo* info, gpointer data);

    mutable std::mutex mutex_;
    // Held from a frame's time stamp to its push, so that a repeat and a captured frame reach the
    // encoder with increasing time stamps. The push never blocks.
    std::mutex pushOrder_;
    Format format_;
    GstElement* appsrc_ = nullptr;
    GstElement* encoder_ = nullptr;
    GstBufferPool* pool_ = nullptr;  // I420 buffers of the size below
    GstCaps* poolCaps_ = nullptr;
    int poolWidth_ = 0;
    int poolHeight_ = 0;
    GstBuffer* last_ = nullptr;  // the last frame sent, for a repeat
    GstCaps* lastCaps_ = nullptr;
    GstCaps* appliedCaps_ = nullptr;  // the caps last set on the appsrc (under pushOrder_)
    std::int64_t lastSentAtNs_ = 0;
    bool active_ = true;
    double maxFps_ = 0;
    double tokens_ = 0;
    std::optional<std::int64_t> bucketTimeNs_;
    std::optional<std::int64_t> offsetNs_;
    std::optional<std::int64_t> lastMapped_;  // the last time stamp mapped to a presentation time
    GstClockTime lastPts_ = GST_CLOCK_TIME_NONE;
};

}  // namespace quill::gst
