// The reference for the host's video cost: the main display grabbed at 60 fps, converted to
// I420 by libyuv into pooled buffers and encoded by x264 with the host's settings, with
// nothing else around it (no session, no network, no user interface). Runs until its input
// ends; host_bench measures it from outside, and for each line it sends gets one back: "frames N",
// the frames encoded so far.
//   bare_pipeline <bitrate kbit/s> <frames per second>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <libyuv/convert_from_argb.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "host/desktop/screen_capture_engine.h"

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    const unsigned kbps = argc > 1 ? unsigned(std::atoi(argv[1])) : 15552;
    const int fps = argc > 2 ? std::max(1, std::atoi(argv[2])) : 60;
    GstElement* pipeline = gst_parse_launch(
        "appsrc name=src is-live=true format=time do-timestamp=false max-buffers=2 leaky-type=downstream ! queue "
        "max-size-buffers=2 max-size-bytes=0 max-size-time=0 leaky=downstream ! x264enc name=enc tune=zerolatency "
        "speed-preset=ultrafast bframes=0 key-int-max=120 ! video/x-h264,profile=constrained-baseline ! fakesink sync=false",
        nullptr);
    if (!pipeline) return 1;
    GstElement* src = gst_bin_get_by_name(GST_BIN(pipeline), "src");
    GstElement* encoder = gst_bin_get_by_name(GST_BIN(pipeline), "enc");
    g_object_set(encoder, "bitrate", kbps, nullptr);
    std::atomic<long> encoded{0};
    GstPad* encodedPad = gst_element_get_static_pad(encoder, "src");
    gst_pad_add_probe(
        encodedPad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer count) {
            ++*static_cast<std::atomic<long>*>(count);
            return GST_PAD_PROBE_OK;
        },
        &encoded, nullptr);
    gst_object_unref(encodedPad);
    GstBufferPool* pool = nullptr;
    GstVideoInfo info;
    quill::host::VideoFrameSink sink;
    sink.sendVideoFrame = [&](const quill::PixelBufferPtr& frame, std::int64_t stamp) {
        if (!pool) {
            gst_video_info_set_format(&info, GST_VIDEO_FORMAT_I420, guint(frame->width()), guint(frame->height()));
            // The caps the host's video source gives x264: the session's frame rate, BT.601.
            GST_VIDEO_INFO_FPS_N(&info) = fps;
            GST_VIDEO_INFO_FPS_D(&info) = 1;
            gst_video_colorimetry_from_string(&GST_VIDEO_INFO_COLORIMETRY(&info), "bt601");
            GstCaps* caps = gst_video_info_to_caps(&info);
            gst_app_src_set_caps(GST_APP_SRC(src), caps);
            pool = gst_video_buffer_pool_new();
            GstStructure* config = gst_buffer_pool_get_config(pool);
            gst_buffer_pool_config_set_params(config, caps, guint(GST_VIDEO_INFO_SIZE(&info)), 4, 0);
            gst_buffer_pool_set_config(pool, config);
            gst_buffer_pool_set_active(pool, TRUE);
            gst_caps_unref(caps);
            gst_element_set_state(pipeline, GST_STATE_PLAYING);
        }
        GstBuffer* buffer = nullptr;
        if (gst_buffer_pool_acquire_buffer(pool, &buffer, nullptr) != GST_FLOW_OK) return;
        GstVideoFrame out;
        if (!gst_video_frame_map(&out, &info, buffer, GST_MAP_WRITE)) {
            gst_buffer_unref(buffer);
            return;
        }
        auto plane = [&](int i) { return static_cast<std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&out, i)); };
        libyuv::ARGBToI420(frame->data(), frame->stride(), plane(0), GST_VIDEO_FRAME_PLANE_STRIDE(&out, 0), plane(1),
                           GST_VIDEO_FRAME_PLANE_STRIDE(&out, 1), plane(2), GST_VIDEO_FRAME_PLANE_STRIDE(&out, 2),
                           frame->width(), frame->height());
        gst_video_frame_unmap(&out);
        static std::int64_t first = stamp;
        GST_BUFFER_PTS(buffer) = GstClockTime(stamp - first);
        gst_app_src_push_buffer(GST_APP_SRC(src), buffer);
    };
    quill::host::ScreenCaptureOptions options;
    options.minimumFrameInterval = 1.0 / fps;
    quill::host::ScreenCaptureEngine engine(sink, options);
    try {
        engine.start({});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bare_pipeline: %s\n", e.what());
        return 1;
    }
    for (std::string line; std::getline(std::cin, line);) std::cout << "frames " << encoded.load() << std::endl;
    engine.stop();
    gst_element_set_state(pipeline, GST_STATE_NULL);
    if (pool) gst_object_unref(pool);
    gst_object_unref(encoder);
    gst_object_unref(src);
    gst_object_unref(pipeline);
    return 0;
}
