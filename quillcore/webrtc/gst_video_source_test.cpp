#include "quillcore/webrtc/gst_video_source.h"

#include <gtest/gtest.h>

#include <latch>
#include <thread>

namespace quill::gst {
namespace {

// On connecting, a repeat and the first captured frame race; whichever reaches the appsrc
// first, the caps come before the segment (else GStreamer drops them out of order).
TEST(GstVideoSource, TheFirstFramesCapsComeBeforeTheSegmentWhicheverThreadSendsIt) {
    gst_init(nullptr, nullptr);
    const auto frame = PixelBuffer::fromVector(64, 48, std::vector<std::uint8_t>(64 * 48 * 4, 200));
    // Busy threads beside the racers, so that either may be put aside at any point.
    std::vector<std::jthread> load(2 * std::max(std::thread::hardware_concurrency(), 1u));
    for (auto& t : load) t = std::jthread([](std::stop_token stop) { while (!stop.stop_requested()) std::this_thread::yield(); });
    for (int round = 0; round < 300; ++round) {
        GstElement* pipeline = gst_parse_launch("appsrc name=src is-live=true format=time ! identity name=enc ! fakesink", nullptr);
        ASSERT_TRUE(pipeline);
        GstElement *appsrc = gst_bin_get_by_name(GST_BIN(pipeline), "src"), *encoder = gst_bin_get_by_name(GST_BIN(pipeline), "enc");
        struct Seen {
            std::mutex mutex;
            std::vector<GstEventType> events;
        } seen;
        GstPad* pad = gst_element_get_static_pad(encoder, "sink");
        gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM, [](GstPad*, GstPadProbeInfo* info, gpointer data) {
            auto& s = *static_cast<Seen*>(data);
            std::lock_guard lock(s.mutex);
            s.events.push_back(GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)));
            return GST_PAD_PROBE_OK;
        }, &seen, nullptr);
        auto source = std::make_shared<GstVideoSource>();
        source->adaptOutputFormat(64, 48, 30);
        source->attach(appsrc, encoder);
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
        std::latch start(2);
        std::jthread repeat([&] { start.arrive_and_wait(), source->resendLastFrame(); });
        start.arrive_and_wait(), source->captureFrame(frame, 1);
        repeat.join();
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
            std::lock_guard lock(seen.mutex);
            if (std::count(seen.events.begin(), seen.events.end(), GST_EVENT_SEGMENT)) break;
        }
        source->detach();
        gst_element_set_state(pipeline, GST_STATE_NULL);
        std::lock_guard lock(seen.mutex);
        const auto caps = std::find(seen.events.begin(), seen.events.end(), GST_EVENT_CAPS);
        const auto segment = std::find(seen.events.begin(), seen.events.end(), GST_EVENT_SEGMENT);
        ASSERT_TRUE(segment != seen.events.end()) << round;
        ASSERT_LT(caps, segment) << round;
        gst_object_unref(pad), gst_object_unref(encoder), gst_object_unref(appsrc), gst_object_unref(pipeline);
    }
}

}  // namespace
}  // namespace quill::gst
