#include "quillcore/webrtc/gst_video_source.h"

#include <gst/app/gstappsrc.h>
#include <gst/video/video.h>
#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cstring>

#include "quillcore/webrtc/gst_glue.h"

namespace quill::gst {
namespace {

// Frames that may wait for the encoder or be in it at once; when every one is out, a new
// frame is dropped rather than a buffer allocated.
constexpr guint kPooledFrames = 6;
// A capture tick that comes late leaves its token to the next one: the limit holds on average.
constexpr double kBurstFrames = 2;
constexpr const char* kRepeatField = "quill-repeat";

// Frames enter as I420 made by libyuv (SIMD, about 1 ms per 1080p frame); videoconvert has no
// fast path from BGRx and spends about 6 ms of CPU on the same frame. BT.601, limited range,
// is also what WebRTC receivers assume. The session's frame rate is in the caps: x264 holds a
// frame back from input it must treat as variable-rate.
GstCaps* i420Caps(int w, int h, int fps) {
    return gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT, w, "height",
                               G_TYPE_INT, h, "framerate", GST_TYPE_FRACTION, fps, 1, "pixel-aspect-ratio",
                               GST_TYPE_FRACTION, 1, 1, "colorimetry", G_TYPE_STRING, "bt601", nullptr);
}

void release(GstBufferPool* pool) {
    if (!pool) return;
    // Buffers still in the pipeline are freed when they come back.
    gst_buffer_pool_set_active(pool, FALSE);
    gst_object_unref(pool);
}

}  // namespace

// References taken under the lock, used outside it.
struct GstVideoSource::Sink {
    GstElement* appsrc = nullptr;
    GstBufferPool* pool = nullptr;
    GstCaps* caps = nullptr;           // the pool's
    GstBufferPool* retired = nullptr;  // the pool of the previous size
    GstVideoInfo info{};

    ~Sink() {
        release(retired);
        if (caps) gst_caps_unref(caps);
        if (pool) gst_object_unref(pool);
        if (appsrc) gst_object_unref(appsrc);
    }
    // A buffer of the pool, mapped for writing; false when every buffer is out.
    bool acquire(GstBuffer*& buffer, GstVideoFrame& frame) {
        GstBufferPoolAcquireParams params{};
        params.flags = GST_BUFFER_POOL_ACQUIRE_FLAG_DONTWAIT;
        if (gst_buffer_pool_acquire_buffer(pool, &buffer, &params) != GST_FLOW_OK || !buffer) return false;
        if (gst_video_frame_map(&frame, &info, buffer, GST_MAP_WRITE)) return true;
        gst_buffer_unref(buffer);
        return false;
    }
};

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

void GstVideoSource::attach(GstElement* appsrc, GstElement* encoder) {
    {
        std::lock_guard lock(mutex_);
        appsrc_ = static_cast<GstElement*>(gst_object_ref(appsrc));
        encoder_ = static_cast<GstElement*>(gst_object_ref(encoder));
    }
    // A receiver that lost the picture asks for a key frame; with a still screen no frame would
    // come to carry it.
    GstPad* pad = gst_element_get_static_pad(encoder, "src");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_UPSTREAM, onUpstreamEvent,
                      new std::weak_ptr<GstVideoSource>(weak_from_this()),
                      [](gpointer data) { delete static_cast<std::weak_ptr<GstVideoSource>*>(data); });
    gst_object_unref(pad);
}

void GstVideoSource::detach() {
    GstElement *appsrc = nullptr, *encoder = nullptr;
    GstBufferPool* pool = nullptr;
    GstCaps *caps = nullptr, *lastCaps = nullptr;
    GstBuffer* last = nullptr;
    {
        std::lock_guard lock(mutex_);
        appsrc = std::exchange(appsrc_, nullptr);
        encoder = std::exchange(encoder_, nullptr);
        pool = std::exchange(pool_, nullptr);
        caps = std::exchange(poolCaps_, nullptr);
        last = std::exchange(last_, nullptr);
        lastCaps = std::exchange(lastCaps_, nullptr);
    }
    {
        std::lock_guard order(pushOrder_);
        gst_caps_replace(&appliedCaps_, nullptr);
    }
    if (last) gst_buffer_unref(last);
    if (caps) gst_caps_unref(caps);
    if (lastCaps) gst_caps_unref(lastCaps);
    release(pool);
    if (encoder) gst_object_unref(encoder);
    if (appsrc) gst_object_unref(appsrc);
}

bool GstVideoSource::sinkFor(int width, int height, Sink& sink) {
    if (!appsrc_) return false;
    if (!pool_ || width != poolWidth_ || height != poolHeight_) {
        GstCaps* caps = i420Caps(width, height, std::max(format_.fps, 1));
        GstVideoInfo info;
        gst_video_info_from_caps(&info, caps);
        GstBufferPool* pool = gst_video_buffer_pool_new();
        GstStructure* config = gst_buffer_pool_get_config(pool);
        gst_buffer_pool_config_set_params(config, caps, static_cast<guint>(GST_VIDEO_INFO_SIZE(&info)), 0,
                                          kPooledFrames);
        if (!gst_buffer_pool_set_config(pool, config) || !gst_buffer_pool_set_active(pool, TRUE)) {
            gst_object_unref(pool);
            gst_caps_unref(caps);
            return false;
        }
        sink.retired = std::exchange(pool_, pool);
        if (poolCaps_) gst_caps_unref(poolCaps_);
        poolCaps_ = caps;
        poolWidth_ = width;
        poolHeight_ = height;
    }
    sink.caps = gst_caps_ref(poolCaps_);
    gst_video_info_set_format(&sink.info, GST_VIDEO_FORMAT_I420, static_cast<guint>(width), static_cast<guint>(height));
    sink.appsrc = static_cast<GstElement*>(gst_object_ref(appsrc_));
    sink.pool = static_cast<GstBufferPool*>(gst_object_ref(pool_));
    return true;
}

bool GstVideoSource::admit(std::int64_t timeStampNs) {
    if (maxFps_ <= 0) return true;
    // The first frame, and one behind the last (a capture that started its clock again), find
    // the bucket full; a long pause fills it no further than the burst.
    if (!bucketTimeNs_ || timeStampNs < *bucketTimeNs_) tokens_ = kBurstFrames;
    else tokens_ = std::min(kBurstFrames, tokens_ + static_cast<double>(timeStampNs - *bucketTimeNs_) * maxFps_ / 1e9);
    bucketTimeNs_ = timeStampNs;
    if (tokens_ < 1) return false;
    tokens_ -= 1;
    return true;
}

void GstVideoSource::captureFrame(const PixelBufferPtr& frame, std::int64_t timeStampNs) {
    if (!frame || !frame->data() || frame->width() <= 0 || frame->height() <= 0 || frame->stride() < frame->width() * 4)
        return;
    Sink sink;
    {
        std::lock_guard lock(mutex_);
        if (!active_ || !appsrc_ || !admit(timeStampNs) || !sinkFor(frame->width(), frame->height(), sink)) return;
    }
    GstBuffer* buffer = nullptr;
    GstVideoFrame out;
    if (!sink.acquire(buffer, out)) return;
    auto plane = [&](int i) { return static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&out, i)); };
    auto stride = [&](int i) { return GST_VIDEO_FRAME_PLANE_STRIDE(&out, i); };
    libyuv::ARGBToI420(frame->data(), frame->stride(), plane(0), stride(0), plane(1), stride(1), plane(2), stride(2),
                       frame->width(), frame->height());
    gst_video_frame_unmap(&out);
    push(sink.appsrc, buffer, sink.caps, timeStampNs);
}

void GstVideoSource::push(GstElement* appsrc, GstBuffer* buffer, GstCaps* caps, std::optional<std::int64_t> timeStampNs) {
    std::lock_guard order(pushOrder_);
    GST_BUFFER_PTS(buffer) = presentationTime(appsrc, timeStampNs);
    GstBuffer* previous = nullptr;
    GstCaps* previousCaps = nullptr;
    {
        std::lock_guard lock(mutex_);
        previous = std::exchange(last_, gst_buffer_ref(buffer));
        previousCaps = std::exchange(lastCaps_, gst_caps_ref(caps));
        lastSentAtNs_ = monotonicNs();
    }
    if (previous) gst_buffer_unref(previous);
    if (previousCaps) gst_caps_unref(previousCaps);
    pushInOrder(appsrc, buffer, caps);
}

// Whichever thread pushes the first buffer of a size sets its caps first, so that the appsrc
// sends the caps before the segment and the buffers. pushOrder_ is held.
void GstVideoSource::pushInOrder(GstElement* appsrc, GstBuffer* buffer, GstCaps* caps) {
    if (caps != appliedCaps_) {
        gst_app_src_set_caps(GST_APP_SRC(appsrc), caps);
        gst_caps_replace(&appliedCaps_, caps);
    }
    gst_app_src_push_buffer(GST_APP_SRC(appsrc), buffer);
}

// The caller's time stamps, moved onto the pipeline's running time and kept increasing; a
// repeat (no time stamp) takes the running time.
GstClockTime GstVideoSource::presentationTime(GstElement* appsrc, std::optional<std::int64_t> timeStampNs) {
    GstClockTime running = 0;
    if (GstClock* clock = gst_element_get_clock(appsrc)) {
        const GstClockTime now = gst_clock_get_time(clock), base = gst_element_get_base_time(appsrc);
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

void GstVideoSource::resendLastFrame() { repeat(true); }

void GstVideoSource::repeat(bool forceKeyFrame) {
    GstElement* encoder = nullptr;
    GstBuffer* copy = nullptr;
    GstCaps* copyCaps = nullptr;
    Sink sink;
    {
        std::lock_guard lock(mutex_);
        if (!active_ || !appsrc_) return;
        // Frames that come anyway carry the key frame; a storm of requests makes no more frames.
        if (static_cast<double>(monotonicNs() - lastSentAtNs_) < 1e9 / std::max(format_.fps, 1)) return;
        if (!last_ && !sinkFor(format_.width, format_.height, sink)) return;
        lastSentAtNs_ = monotonicNs();
        encoder = static_cast<GstElement*>(gst_object_ref(encoder_));
        // Shares the pixels; the pool takes the buffer back once neither is in use.
        if (last_) copy = gst_buffer_copy(last_), copyCaps = gst_caps_ref(lastCaps_);
    }
    if (forceKeyFrame) {
        GstEvent* event = gst_video_event_new_upstream_force_key_unit(GST_CLOCK_TIME_NONE, TRUE, 0);
        gst_structure_set(gst_event_writable_structure(event), kRepeatField, G_TYPE_BOOLEAN, TRUE, nullptr);
        GstPad* pad = gst_element_get_static_pad(encoder, "src");
        gst_pad_send_event(pad, event);
        gst_object_unref(pad);
    }
    gst_object_unref(encoder);
    if (copy) {
        GstElement* appsrc = nullptr;
        {
            std::lock_guard lock(mutex_);
            if (appsrc_) appsrc = static_cast<GstElement*>(gst_object_ref(appsrc_));
        }
        if (appsrc) {
            std::lock_guard order(pushOrder_);
            GST_BUFFER_PTS(copy) = presentationTime(appsrc, std::nullopt);
            pushInOrder(appsrc, copy, copyCaps);
            gst_object_unref(appsrc);
        } else {
            gst_buffer_unref(copy);
        }
        gst_caps_unref(copyCaps);
        return;
    }
    GstBuffer* buffer = nullptr;
    GstVideoFrame out;
    if (!sink.acquire(buffer, out)) return;
    // Black in limited range.
    for (int i = 0; i < 3; ++i)
        std::memset(GST_VIDEO_FRAME_PLANE_DATA(&out, i), i == 0 ? 16 : 128,
                    static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&out, i)) *
                        GST_VIDEO_FRAME_COMP_HEIGHT(&out, i));
    gst_video_frame_unmap(&out);
    push(sink.appsrc, buffer, sink.caps, std::nullopt);
}

GstPadProbeReturn GstVideoSource::onUpstreamEvent(GstPad*, GstPadProbeInfo* info, gpointer data) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (event && gst_video_event_is_force_key_unit(event) &&
        !gst_structure_has_field(gst_event_get_structure(event), kRepeatField))
        if (auto self = static_cast<std::weak_ptr<GstVideoSource>*>(data)->lock()) self->repeat(false);
    return GST_PAD_PROBE_OK;
}

}  // namespace quill::gst
