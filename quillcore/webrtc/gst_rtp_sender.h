#pragma once

#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "quillcore/webrtc/gst_video_source.h"
#include "quillcore/webrtc/peer_connection.h"
#include "quillcore/webrtc/sdp_text.h"

namespace quill::gst {

// A receiving transceiver's codec list, each codec with a retransmission format of its own.
class GstTransceiver final : public RtpTransceiver {
public:
    explicit GstTransceiver(GstWebRTCRTPTransceiver* transceiver);
    ~GstTransceiver() override;
    bool setCodecPreferences(const std::vector<CodecCapability>& codecs, std::string& error) override;

private:
    GstWebRTCRTPTransceiver* const transceiver_;
};

// The screen video's sender. webrtcbin has no sender parameters: the limits go on the encoder
// and the source.
class GstSender final : public RtpSender {
public:
    GstSender(GstElement* encoder, std::shared_ptr<GstVideoSource> source);
    ~GstSender() override;

    RtpParameters parameters() const override;
    void setParameters(const RtpParameters& parameters) override;
    // Counted here: webrtcbin's statistics have no frame counters.
    double framesEncoded() const { return static_cast<double>(encoded_->load()); }

private:
    GstElement* const encoder_;
    const std::shared_ptr<GstVideoSource> source_;
    const std::shared_ptr<std::atomic<std::uint64_t>> encoded_;
    mutable std::mutex mutex_;
    RtpParameters parameters_;
};

// Builds the sending chain for the codec chosen from the offer (its payload type included: a
// mismatch aborts the process), links it to a new webrtcbin sink pad whose transceiver sends
// only, and feeds it from `source`. Nothing when the chain cannot be built.
std::shared_ptr<GstSender> addVideoSender(GstElement* pipeline, GstElement* webrtc, const sdptext::OfferedCodec& codec,
                                          const std::string& encoderElement,
                                          const std::shared_ptr<GstVideoSource>& source, const std::string& msid);

}  // namespace quill::gst
