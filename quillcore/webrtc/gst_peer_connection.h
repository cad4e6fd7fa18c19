#pragma once

#include <chrono>
#include <memory>

#include "quillcore/webrtc/peer_connection.h"

namespace quill {

class QuillVideoEncoderFactory;
class QuillVideoDecoderFactory;

// A peer connection on a GStreamer pipeline holding one webrtcbin, its RTP sessions sending
// RTCP every `rtcpInterval`. Nothing when the pipeline cannot be made.
std::shared_ptr<PeerConnection> makeGstPeerConnection(const RtcConfiguration& configuration,
                                                      const QuillVideoEncoderFactory& encoders,
                                                      const QuillVideoDecoderFactory& decoders,
                                                      std::chrono::nanoseconds rtcpInterval);

}  // namespace quill
