#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quillcore/webrtc/codec_factory.h"
#include "quillcore/webrtc/peer_connection.h"

namespace quill {

// The process-wide WebRTC factory on GStreamer. Created once, at start-up (the host at launch,
// tests in their fixture): that is when GStreamer starts and the DTLS certificate is made, so a
// first session is as fast as later ones. Never released.
class PeerConnectionFactory : public PeerConnectionProvider {
public:
    static PeerConnectionFactory& shared();

    std::shared_ptr<PeerConnection> createPeerConnection(const RtcConfiguration& configuration) override;
    // The receiver's video codecs, H.265 first, then H.264, then the rest in their own order.
    std::vector<CodecCapability> videoCodecPreferences() const override;
    std::string preferredCodec() const override { return preferredCodec_; }

    // The video codecs this process can receive, in the registry's order.
    std::vector<CodecCapability> receiverVideoCapabilities() const;
    const QuillVideoEncoderFactory& encoderFactory() const { return encoderFactory_; }
    const QuillVideoDecoderFactory& decoderFactory() const { return decoderFactory_; }

    // How often this process's RTP sessions send RTCP, for connections made after the call.
    // Our own peers keep to 0.5 s; a test peer takes RFC 3550's 5 s to act as a controller
    // that only receives. Not finite, not above zero or an hour or more: back to 0.5 s.
    void setRtcpInterval(double seconds);

    PeerConnectionFactory(const PeerConnectionFactory&) = delete;
    PeerConnectionFactory& operator=(const PeerConnectionFactory&) = delete;

private:
    PeerConnectionFactory();

    QuillVideoEncoderFactory encoderFactory_;
    QuillVideoDecoderFactory decoderFactory_;
    std::string preferredCodec_;
    std::atomic<std::int64_t> rtcpIntervalNs_;
};

}  // namespace quill
