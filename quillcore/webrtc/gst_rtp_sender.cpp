#include "quillcore/webrtc/gst_rtp_sender.h"

#include <algorithm>
#include <vector>

#include "quillcore/webrtc/gst_glue.h"

namespace quill::gst {
namespace {

// The largest picture and the fastest rate the sending chain takes; the key-frame interval
// (two seconds of frames) must fit the encoder's setting.
constexpr int kMaxDimension = 16384;
constexpr int kMaxFrameRate = 1000;

GstCaps* codecCaps(const std::string& name, int clockRate, int payloadType,
                   const std::map<std::string, std::string>& parameters) {
    GstStructure* s = gst_structure_new("application/x-rtp", "media", G_TYPE_STRING, "video", "encoding-name",
                                        G_TYPE_STRING, name.c_str(), "clock-rate", G_TYPE_INT, clockRate, "payload",
                                        G_TYPE_INT, payloadType, nullptr);
    for (const auto& [k, v] : parameters) gst_structure_set(s, k.c_str(), G_TYPE_STRING, v.c_str(), nullptr);
    GstCaps* caps = gst_caps_new_empty();
    gst_caps_append_structure(caps, s);
    return caps;
}

}  // namespace

GstTransceiver::GstTransceiver(GstWebRTCRTPTransceiver* transceiver)
    : transceiver_(static_cast<GstWebRTCRTPTransceiver*>(gst_object_ref(transceiver))) {}

GstTransceiver::~GstTransceiver() { gst_object_unref(transceiver_); }

bool GstTransceiver::setCodecPreferences(const std::vector<CodecCapability>& codecs, std::string& error) {
    if (codecs.empty()) {
        error = "no video codec can be received";
        return false;
    }
    GstCaps* caps = gst_caps_new_empty();
    int pt = 96;
    std::vector<int> media;
    for (const auto& c : codecs) {
        if (pt > 127) break;
        const std::string name = lower(c.name);
        if (name == "rtx") continue;  // made below, one per codec
        if (name != "red" && name != "ulpfec") media.push_back(pt);
        gst_caps_append(caps, codecCaps(c.name, c.clockRate, pt++, c.parameters));
    }
    // webrtcbin offers retransmission for the first codec only; the peer may answer another,
    // so every codec gets its own.
    for (int apt : media) {
        if (pt > 127) break;
        gst_caps_append(caps, codecCaps("rtx", 90000, pt++, {{"apt", std::to_string(apt)}}));
    }
    g_object_set(transceiver_, "codec-preferences", caps, nullptr);
    gst_caps_unref(caps);
    return true;
}

GstSender::GstSender(GstElement* encoder, std::shared_ptr<GstVideoSource> source)
    : encoder_(static_cast<GstElement*>(gst_object_ref(encoder))),
      source_(std::move(source)),
      encoded_(std::make_shared<std::atomic<std::uint64_t>>(0)) {
    parameters_.encodings.push_back(RtpEncodingParameters{});
    GstPad* pad = gst_element_get_static_pad(encoder_, "src");
    gst_pad_add_probe(
        pad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad*, GstPadProbeInfo*, gpointer data) {
            (*static_cast<std::shared_ptr<std::atomic<std::uint64_t>>*>(data))->fetch_add(1);
            return GST_PAD_PROBE_OK;
        },
        new std::shared_ptr<std::atomic<std::uint64_t>>(encoded_),
        [](gpointer d) { delete static_cast<std::shared_ptr<std::atomic<std::uint64_t>>*>(d); });
    gst_object_unref(pad);
}

GstSender::~GstSender() { gst_object_unref(encoder_); }

RtpParameters GstSender::parameters() const {
    std::lock_guard lock(mutex_);
    return parameters_;
}

void GstSender::setParameters(const RtpParameters& parameters) {
    {
        std::lock_guard lock(mutex_);
        parameters_ = parameters;
    }
    if (parameters.encodings.empty()) return;
    const auto& e = parameters.encodings.front();
    if (e.maxBitrateBps && *e.maxBitrateBps > 0) {
        const std::int64_t kbps = std::clamp<std::int64_t>(*e.maxBitrateBps / 1000, 1, 2048000);
        g_object_set(encoder_, "bitrate", static_cast<guint>(kbps), nullptr);
    }
    source_->setLimits(e.isActive, e.maxFramerate.value_or(0));
}

std::shared_ptr<GstSender> addVideoSender(GstElement* pipeline, GstElement* webrtc, const sdptext::OfferedCodec& codec,
                                          const std::string& encoderElement,
                                          const std::shared_ptr<GstVideoSource>& source, const std::string& msid) {
    const auto format = source->format();
    if (format.width <= 0 || format.height <= 0 || format.fps <= 0 || format.width > kMaxDimension ||
        format.height > kMaxDimension || format.fps > kMaxFrameRate)
        return nullptr;
    GstElement* appsrc = gst_element_factory_make("appsrc", nullptr);
    GstElement* scale = gst_element_factory_make("videoscale", nullptr);
    GstElement* rawFilter = gst_element_factory_make("capsfilter", nullptr);
    GstElement* encoder = gst_element_factory_make(encoderElement.c_str(), nullptr);
    GstElement* h264Filter = gst_element_factory_make("capsfilter", nullptr);
    GstElement* pay = gst_element_factory_make("rtph264pay", nullptr);
    const std::vector<GstElement*> chain{appsrc, scale, rawFilter, encoder, h264Filter, pay};
    if (std::any_of(chain.begin(), chain.end(), [](GstElement* e) { return e == nullptr; })) {
        for (GstElement* e : chain)
            if (e) gst_object_unref(gst_object_ref_sink(e));
        return nullptr;
    }
    g_object_set(appsrc, "is-live", TRUE, "format", GST_FORMAT_TIME, "block", FALSE, "do-timestamp", FALSE, nullptr);
    // One frame at most waits for the encoder, whatever its size: a newer one takes its place, so
    // that an encoder falling behind drops frames instead of adding their time to the latency.
    // The encoder runs on the appsrc's thread.
    g_object_set(appsrc, "max-bytes", guint64(0), nullptr);
    if (hasProperty(appsrc, "max-buffers")) g_object_set(appsrc, "max-buffers", guint64(1), nullptr);
    if (hasProperty(appsrc, "leaky-type")) gst_util_set_object_arg(G_OBJECT(appsrc), "leaky-type", "downstream");
    if (hasProperty(scale, "n-threads")) g_object_set(scale, "n-threads", 2u, nullptr);
    GstCaps* raw = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "I420", "width", G_TYPE_INT,
                                       format.width, "height", G_TYPE_INT, format.height, "pixel-aspect-ratio",
                                       GST_TYPE_FRACTION, 1, 1, nullptr);
    g_object_set(rawFilter, "caps", raw, nullptr);
    gst_caps_unref(raw);
    gst_util_set_object_arg(G_OBJECT(encoder), "tune", "zerolatency");
    gst_util_set_object_arg(G_OBJECT(encoder), "speed-preset", "ultrafast");
    g_object_set(encoder, "key-int-max", guint(format.fps * 2), "bframes", 0u, nullptr);
    const std::string profile = sdptext::h264Profile(codec);
    GstCaps* h264 = gst_caps_new_simple("video/x-h264", "profile", G_TYPE_STRING, profile.c_str(), "stream-format",
                                        G_TYPE_STRING, "byte-stream", nullptr);
    g_object_set(h264Filter, "caps", h264, nullptr);
    gst_caps_unref(h264);
    const guint ssrc = g_random_int();
    g_object_set(pay, "pt", guint(codec.payloadType), "config-interval", -1, "ssrc", ssrc, nullptr);
    if (hasProperty(pay, "aggregate-mode")) gst_util_set_object_arg(G_OBJECT(pay), "aggregate-mode", "zero-latency");

    gst_bin_add_many(GST_BIN(pipeline), appsrc, scale, rawFilter, encoder, h264Filter, pay, nullptr);
    auto removeChain = [&] {
        for (GstElement* e : chain) {
            gst_element_set_state(e, GST_STATE_NULL);
            gst_bin_remove(GST_BIN(pipeline), e);
        }
    };
    if (!gst_element_link_many(appsrc, scale, rawFilter, encoder, h264Filter, pay, nullptr)) {
        removeChain();
        return nullptr;
    }

    // The answerer's transceiver comes from a requested sink pad with the chosen codec; it
    // pairs with the offer's video m-line when the answer is made.
    GstCaps* prefs = codecCaps("H264", 90000, codec.payloadType, {{"packetization-mode", "1"}});
    GstPadTemplate* templ = gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(webrtc), "sink_%u");
    GstPad* sinkPad = templ ? gst_element_request_pad(webrtc, templ, nullptr, prefs) : nullptr;
    if (!sinkPad) {
        gst_caps_unref(prefs);
        removeChain();
        return nullptr;
    }
    if (!msid.empty() && hasProperty(sinkPad, "msid")) g_object_set(sinkPad, "msid", msid.c_str(), nullptr);
    GstWebRTCRTPTransceiver* transceiver = nullptr;
    g_object_get(sinkPad, "transceiver", &transceiver, nullptr);
    if (transceiver) {
        gst_util_set_object_arg(G_OBJECT(transceiver), "direction", "sendonly");
        if (hasProperty(transceiver, "do-nack")) g_object_set(transceiver, "do-nack", TRUE, nullptr);
        g_object_set(transceiver, "codec-preferences", prefs, nullptr);
        gst_object_unref(transceiver);
    }
    gst_caps_unref(prefs);
    GstPad* paySrc = gst_element_get_static_pad(pay, "src");
    const bool linked = gst_pad_link(paySrc, sinkPad) == GST_PAD_LINK_OK;
    if (!linked) {
        gst_object_unref(paySrc);
        gst_element_release_request_pad(webrtc, sinkPad);
        gst_object_unref(sinkPad);
        removeChain();
        return nullptr;
    }
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) gst_element_sync_state_with_parent(*it);

    // Without caps on webrtcbin's pad the answer would name SSRC 0, and the payloader makes its
    // caps only from the first encoded frame. Caps with the payloader's SSRC go to the pad now:
    // no frame needs to pass the encoder before the answer.
    GstCaps* rtp = codecCaps("H264", 90000, codec.payloadType, {{"packetization-mode", "1"}});
    gst_caps_set_simple(rtp, "ssrc", G_TYPE_UINT, ssrc, nullptr);
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_TIME);
    const bool primed = gst_pad_push_event(paySrc, gst_event_new_stream_start("quill-screen")) &&
                        gst_pad_push_event(paySrc, gst_event_new_caps(rtp)) &&
                        gst_pad_push_event(paySrc, gst_event_new_segment(&segment));
    gst_caps_unref(rtp);
    gst_object_unref(paySrc);
    gst_object_unref(sinkPad);
    if (!primed) return nullptr;
    source->attach(appsrc, encoder);
    return std::make_shared<GstSender>(encoder, source);
}

}  // namespace quill::gst
