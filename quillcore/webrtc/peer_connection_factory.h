#pragma once

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

    PeerConnectionFactory(const PeerConnectionFactory&) = delete;
    PeerConnectionFactory& operator=(const PeerConnectionFactory&) = delete;

private:
    PeerConnectionFactory();

    QuillVideoEncoderFactory encoderFactory_;
    QuillVideoDecoderFactory decoderFactory_;
    std::string preferredCodec_;
};

}  // namespace quill
