#include "quillcore/webrtc/peer_connection_factory.h"

#include <gst/gst.h>

#include <cmath>

#include "quillcore/webrtc/gst_liveness.h"
#include "quillcore/webrtc/gst_peer_connection.h"
#include "quillcore/base/serial_worker.h"

namespace quill {
namespace {

bool installed(const char* element) {
    GstElementFactory* f = gst_element_factory_find(element);
    if (!f) return false;
    gst_object_unref(f);
    return true;
}

void startGStreamer() {
    gst_init(nullptr, nullptr);
    // The DTLS certificate is made by the first DTLS element of the process: make it now, so
    // that the first session does not pay for it.
    if (GstElement* dtls = gst_element_factory_make("dtlsdec", nullptr)) gst_object_unref(gst_object_ref_sink(dtls));
    // The elements of a session, made once now: loading their plugins (and webrtcbin's ICE
    // agent, its first network monitor) would otherwise fall into the first session.
    for (const char* name : {"webrtcbin", "appsrc", "videoscale", "capsfilter", "x264enc", "rtph264pay", "rtph264depay",
                             "avdec_h264", "videoconvert", "appsink", "queue", "fakesink", "nicesrc", "nicesink",
                             "dtlssrtpenc", "dtlssrtpdec", "sctpenc", "sctpdec", "rtpbin", "rtpfunnel", "rtprtxsend",
                             "rtprtxreceive", "rtpstorage"})
        if (GstElement* e = gst_element_factory_make(name, nullptr)) gst_object_unref(gst_object_ref_sink(e));
    // Start the layer's threads now rather than inside the first session.
    SerialWorker::events();
    SerialWorker::teardown();
}

QuillVideoEncoderFactory installedEncoders() {
    startGStreamer();
    std::vector<QuillVideoEncoderFactory::Entry> list;
    // Only what runs in real time on a desktop: H.264 through x264 with its payloader.
    if (installed("x264enc") && installed("rtph264pay"))
        list.push_back({VideoCodecInfo{"H264", {{"level-asymmetry-allowed", "1"},
                                                {"packetization-mode", "1"},
                                                {"profile-level-id", "42e01f"}}},
                        "x264enc"});
    return QuillVideoEncoderFactory(std::move(list));
}

QuillVideoDecoderFactory installedDecoders() {
    struct Candidate {
        VideoCodecInfo info;
        const char* depay;
        const char* dec;
    };
    const Candidate candidates[] = {
        {{"VP8", {}}, "rtpvp8depay", "vp8dec"},
        {{"VP9", {}}, "rtpvp9depay", "vp9dec"},
        {{"H264",
          {{"level-asymmetry-allowed", "1"}, {"packetization-mode", "1"}, {"profile-level-id", "42e01f"}}},
         "rtph264depay",
         "avdec_h264"},
        {{"H265", {}}, "rtph265depay", "avdec_h265"},
    };
    std::vector<QuillVideoDecoderFactory::Entry> list;
    for (const auto& c : candidates)
        if (installed(c.depay) && installed(c.dec)) list.push_back({c.info, c.depay, c.dec});
    return QuillVideoDecoderFactory(std::move(list));
}

}  // namespace

QuillVideoEncoderFactory QuillVideoEncoderFactory::withInstalledEncoders() { return installedEncoders(); }
QuillVideoDecoderFactory QuillVideoDecoderFactory::withInstalledDecoders() { return installedDecoders(); }

PeerConnectionFactory::PeerConnectionFactory()
    : encoderFactory_(QuillVideoEncoderFactory::withInstalledEncoders()),
      decoderFactory_(QuillVideoDecoderFactory::withInstalledDecoders()),
      preferredCodec_(choosePreferredCodec(encoderFactory_.supportedCodecs())),
      rtcpIntervalNs_(std::chrono::nanoseconds(gst::Liveness::kRtcpInterval).count()) {}

void PeerConnectionFactory::setRtcpInterval(double seconds) {
    const bool valid = std::isfinite(seconds) && seconds > 0 && seconds < 3600;
    rtcpIntervalNs_ = valid ? static_cast<std::int64_t>(seconds * 1e9)
                            : std::chrono::nanoseconds(gst::Liveness::kRtcpInterval).count();
}

PeerConnectionFactory& PeerConnectionFactory::shared() {
    static PeerConnectionFactory* instance = new PeerConnectionFactory();
    return *instance;
}

std::shared_ptr<PeerConnection> PeerConnectionFactory::createPeerConnection(const RtcConfiguration& configuration) {
    return makeGstPeerConnection(configuration, encoderFactory_, decoderFactory_, std::chrono::nanoseconds(rtcpIntervalNs_.load()));
}

std::vector<CodecCapability> PeerConnectionFactory::receiverVideoCapabilities() const {
    std::vector<CodecCapability> out;
    for (const auto& info : decoderFactory_.supportedCodecs()) out.push_back(CodecCapability{info.name, 90000, info.parameters});
    return out;
}

std::vector<CodecCapability> PeerConnectionFactory::videoCodecPreferences() const {
    return sortedByCodecRank(receiverVideoCapabilities());
}

}  // namespace quill
