#include "quillcore/webrtc/gst_receive_branch.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>
#include <libyuv/convert_argb.h>

#include <algorithm>
#include <thread>

#include "quillcore/base/diagnostics.h"
#include "quillcore/webrtc/gst_glue.h"
#include "quillcore/base/serial_worker.h"

namespace quill::gst {
namespace {

void discard(GstElement* pipeline, GstPad* pad) {
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    if (!sink) return;
    g_object_set(sink, "async", FALSE, "sync", FALSE, nullptr);
    gst_bin_add(GST_BIN(pipeline), sink);
    gst_element_sync_state_with_parent(sink);
    GstPad* sinkPad = gst_element_get_static_pad(sink, "sink");
    gst_pad_link(pad, sinkPad);
    gst_object_unref(sinkPad);
}

GstFlowReturn onSample(GstAppSink* appsink, gpointer data) {
    GstThreadScope scope;
    GstSample* sample = gst_app_sink_pull_sample(appsink);
    if (!sample) return GST_FLOW_OK;
    auto track = static_cast<std::weak_ptr<GstRemoteTrack>*>(data)->lock();
    GstVideoInfo info;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstCaps* caps = gst_sample_get_caps(sample);
    GstVideoFrame frame;
    if (track && buffer && caps && gst_video_info_from_caps(&info, caps) &&
        gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
        const int w = GST_VIDEO_FRAME_WIDTH(&frame), h = GST_VIDEO_FRAME_HEIGHT(&frame);
        auto plane = [&](int i) { return static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, i)); };
        auto stride = [&](int i) { return GST_VIDEO_FRAME_PLANE_STRIDE(&frame, i); };
        auto bgrx = track->storage(static_cast<std::size_t>(w) * static_cast<std::size_t>(h) * 4);
        libyuv::I420ToARGB(plane(0), stride(0), plane(1), stride(1), plane(2), stride(2), bgrx->data(), w * 4, w, h);
        gst_video_frame_unmap(&frame);
        const std::uint8_t* pixels = bgrx->data();
        track->deliver(std::make_shared<const PixelBuffer>(w, h, w * 4, std::move(bgrx), pixels));
    }
    gst_sample_unref(sample);
    return GST_FLOW_OK;
}

}  // namespace

ReceiveBranch attachReceiveBranch(GstElement* pipeline, GstPad* pad, const QuillVideoDecoderFactory& decoders) {
    ReceiveBranch out;
    GstCaps* caps = gst_pad_get_current_caps(pad);
    if (!caps) caps = gst_pad_query_caps(pad, nullptr);
    std::string media;
    if (caps && gst_caps_get_size(caps) > 0) {
        const GstStructure* s = gst_caps_get_structure(caps, 0);
        if (const gchar* m = gst_structure_get_string(s, "media")) media = m;
        if (const gchar* e = gst_structure_get_string(s, "encoding-name")) out.encoding = e;
    }
    if (caps) gst_caps_unref(caps);

    auto decoder = media == "video" ? decoders.createDecoder(out.encoding) : std::nullopt;
    if (!decoder) {
        discard(pipeline, pad);
        return out;
    }
    // The decoder sits behind a queue and swallows its own errors: a failing decode branch
    // would otherwise stall webrtcbin's shared receive path, data channels included.
    GstElement* queue = gst_element_factory_make("queue", nullptr);
    GstElement* depay = gst_element_factory_make(decoder->depayloader.c_str(), nullptr);
    GstElement* dec = gst_element_factory_make(decoder->decoder.c_str(), nullptr);
    GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
    GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    if (!queue || !depay || !dec || !convert || !filter || !sink) {
        for (GstElement* e : {queue, depay, dec, convert, filter, sink})
            if (e) gst_object_unref(gst_object_ref_sink(e));
        discard(pipeline, pad);
        return out;
    }
    g_object_set(queue, "max-size-buffers", 200u, "max-size-bytes", 0u, "max-size-time", guint64(0), nullptr);
    gst_util_set_object_arg(G_OBJECT(queue), "leaky", "downstream");
    if (hasProperty(dec, "max-errors")) g_object_set(dec, "max-errors", -1, nullptr);
    // Frame threads hold a picture back until the next one arrives, and a still screen sends no
    // next one: the controller would not see the last change until the screen changes again.
    // Slice threads hold nothing back: they decode the slices of one picture side by side (the
    // sender's encoder cuts each picture into one slice per thread).
    if (hasProperty(dec, "thread-type")) {
        gst_util_set_object_arg(G_OBJECT(dec), "thread-type", "slice");
        if (hasProperty(dec, "max-threads"))
            g_object_set(dec, "max-threads", static_cast<gint>(std::clamp(std::thread::hardware_concurrency(), 1u, 4u)), nullptr);
    } else if (hasProperty(dec, "max-threads")) {
        g_object_set(dec, "max-threads", 1, nullptr);
    }
    // After a loss that retransmission could not mend, ask the sender for a key frame.
    if (hasProperty(depay, "request-keyframe")) g_object_set(depay, "request-keyframe", TRUE, nullptr);
    // Decoders give I420 (videoconvert passes it through); libyuv makes BGRx of it in one pass,
    // BT.601 as the sender's conversion wrote it.
    GstCaps* i420 = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", nullptr);
    g_object_set(filter, "caps", i420, nullptr);
    gst_caps_unref(i420);
    g_object_set(sink, "sync", FALSE, "max-buffers", 2u, "drop", TRUE, "emit-signals", FALSE, nullptr);

    out.track = std::make_shared<GstRemoteTrack>(out.encoding + "-" + std::to_string(reinterpret_cast<std::uintptr_t>(pad)));
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = onSample;
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, new std::weak_ptr<GstRemoteTrack>(out.track),
                               [](gpointer data) { delete static_cast<std::weak_ptr<GstRemoteTrack>*>(data); });

    gst_bin_add_many(GST_BIN(pipeline), queue, depay, dec, convert, filter, sink, nullptr);
    if (!gst_element_link_many(queue, depay, dec, convert, filter, sink, nullptr)) {
        coreDiagnostic("could not build the video receive branch");
        out.track.reset();
        return out;
    }
    for (GstElement* e : {sink, filter, convert, dec, depay, queue}) gst_element_sync_state_with_parent(e);
    GstPad* queueSink = gst_element_get_static_pad(queue, "sink");
    gst_pad_link(pad, queueSink);
    gst_object_unref(queueSink);
    return out;
}

}  // namespace quill::gst
