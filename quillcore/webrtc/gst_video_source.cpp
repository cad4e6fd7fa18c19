#include "quillcore/webrtc/gst_video_source.h"

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <libyuv/convert_from_argb.h>

#include <vector>

namespace quill::gst {
namespace {

// Frames enter as I420 made by libyuv (SIMD, about 1 ms per 1080p frame); videoconvert has no
// fast path from BGRx and spends about 6 ms of CPU on the same frame. BT.601, limited range,
// is also what WebRTC receivers assume.
void setCaps(GstElement* appsrc, int w, int h) {
    GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT, w,
                                        "height", G_TYPE_INT, h, "framerate", GST_TYPE_FRACTION, 0, 1,
                                        "pixel-aspect-ratio", GST_TYPE_FRACTION, 1, 1, "colorimetry", G_TYPE_STRING,
                                        "bt601", nullptr);
    gst_app_src_set_caps(GST_APP_SRC(appsrc), caps);
    gst_caps_unref(caps);
}

}  // namespace

void GstVideoSource::adaptOutputFormat(int width, int height, int fps) {
    std::lock_guard lock(mutex_);
    format_ = Format{width, height, fps};
}

GstVideoSource::Format GstVideoSource::format() const {
    std::lock_guard lock(mutex_);
    return format_;
}

void GstVideoSource::setLimits(bool active, double maxFps) {
    std::lock_guard lock(mutex_);
    active_ = active;
    maxFps_ = maxFps;
}

void GstVideoSource::attach(GstElement* appsrc) {
    std::lock_guard lock(mutex_);
    appsrc_ = static_cast<GstElement*>(gst_object_ref(appsrc));
}

void GstVideoSource::detach() {
    GstElement* old = nullptr;
    {
        std::lock_guard lock(mutex_);
        old = std::exchange(appsrc_, nullptr);
    }
    if (old) gst_object_unref(old);
}

void GstVideoSource::captureFrame(const PixelBufferPtr& frame, std::int64_t timeStampNs) {
    if (!frame || !frame->data() || frame->width() <= 0 || frame->height() <= 0 || frame->stride() < frame->width() * 4)
        return;
    GstElement* appsrc = nullptr;
    bool newCaps = false;
    {
        std::lock_guard lock(mutex_);
        if (!appsrc_ || !active_) return;
        // A time stamp behind the last one is a capture that started its clock again: it
        // starts a new count instead of holding every frame back until the old time.
        if (maxFps_ > 0 && lastAdmitted_ && timeStampNs >= *lastAdmitted_) {
            // A little slack so that a capture clock at exactly the limit is not halved.
            const double minGap = 0.9e9 / maxFps_;
            if (static_cast<double>(timeStampNs - *lastAdmitted_) < minGap) return;
        }
        lastAdmitted_ = timeStampNs;
        if (frame->width() != capsWidth_ || frame->height() != capsHeight_) {
            capsWidth_ = frame->width();
            capsHeight_ = frame->height();
            newCaps = true;
        }
        appsrc = static_cast<GstElement*>(gst_object_ref(appsrc_));
    }
    if (newCaps) setCaps(appsrc, frame->width(), frame->height());
    push(appsrc, *frame, timeStampNs);
    gst_object_unref(appsrc);
}

void GstVideoSource::primeWithBlackFrame() {
    GstElement* appsrc = nullptr;
    int w = 0, h = 0;
    {
        std::lock_guard lock(mutex_);
        if (!appsrc_) return;
        w = capsWidth_ = format_.width;
        h = capsHeight_ = format_.height;
        appsrc = static_cast<GstElement*>(gst_object_ref(appsrc_));
    }
    setCaps(appsrc, w, h);
    auto frame = PixelBuffer::fromVector(w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h * 4, 0));
    // x264 gives out a frame when the next one comes in: two frames make the first one leave.
    push(appsrc, *frame, std::nullopt);
    push(appsrc, *frame, std::nullopt);
    gst_object_unref(appsrc);
}

void GstVideoSource::push(GstElement* appsrc, const PixelBuffer& frame, std::optional<std::int64_t> timeStampNs) {
    GstVideoInfo info;
    gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, static_cast<guint>(frame.width()),
                              static_cast<guint>(frame.height()));
    GstBuffer* buffer = gst_buffer_new_allocate(nullptr, GST_VIDEO_INFO_SIZE(&info), nullptr);
    if (!buffer) return;
    GstMapInfo map;
    if (!gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
        gst_buffer_unref(buffer);
        return;
    }
    auto plane = [&](int i) { return map.data + GST_VIDEO_INFO_PLANE_OFFSET(&info, i); };
    libyuv::ARGBToI420(frame.data(), frame.stride(), plane(0), GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), plane(1),
                       GST_VIDEO_INFO_PLANE_STRIDE(&info, 1), plane(2), GST_VIDEO_INFO_PLANE_STRIDE(&info, 2),
                       frame.width(), frame.height());
    gst_buffer_unmap(buffer, &map);
    GST_BUFFER_PTS(buffer) = presentationTime(appsrc, timeStampNs);
    gst_app_src_push_buffer(GST_APP_SRC(appsrc), buffer);
}

// The caller's time stamps, moved onto the pipeline's running time and kept increasing.
GstClockTime GstVideoSource::presentationTime(GstElement* appsrc, std::optional<std::int64_t> timeStampNs) {
    GstClockTime running = 0;
    if (GstClock* clock = gst_element_get_clock(appsrc)) {
        GstClockTime now = gst_clock_get_time(clock);
        GstClockTime base = gst_element_get_base_time(appsrc);
        running = now > base ? now - base : 0;
        gst_object_unref(clock);
    }
    std::lock_guard lock(mutex_);
    GstClockTime pts = running;
    if (timeStampNs) {
        if (!offsetNs_ || (lastMapped_ && *timeStampNs < *lastMapped_))
            offsetNs_ = static_cast<std::int64_t>(running) - *timeStampNs;
        lastMapped_ = *timeStampNs;
        const std::int64_t mapped = *timeStampNs + *offsetNs_;
        pts = mapped > 0 ? static_cast<GstClockTime>(mapped) : 0;
    }
    if (lastPts_ != GST_CLOCK_TIME_NONE && pts <= lastPts_) pts = lastPts_ + 1;
    lastPts_ = pts;
    return pts;
}

}  // namespace quill::gst
