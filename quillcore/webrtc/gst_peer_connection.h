#pragma once

#include <memory>

#include "quillcore/webrtc/peer_connection.h"

namespace quill {

class QuillVideoEncoderFactory;
class QuillVideoDecoderFactory;

// A peer connection on a GStreamer pipeline holding one webrtcbin. Nothing when the
// pipeline cannot be made.
std::shared_ptr<PeerConnection> makeGstPeerConnection(const RtcConfiguration& configuration,
                                                      const QuillVideoEncoderFactory& encoders,
                                                      const QuillVideoDecoderFactory& decoders);

// Helpers kept apart from the pipeline so they can be tested on their own.
namespace gstsdp {

struct OfferedCodec {
    int payloadType = 0;
    std::string name;  // the encoding name as the offer spells it
    int clockRate = 0;
    std::map<std::string, std::string> fmtp;
};

// The codecs of the first video m-section (found by kind, not position), in offer order.
// Nothing when the text has no video section.
std::optional<std::vector<OfferedCodec>> offeredVideoCodecs(const std::string& sdp);

// The H.264 format to answer with: packetization-mode 1 with a baseline profile first, then
// any packetization-mode 1, then any H.264.
std::optional<OfferedCodec> chooseH264(const std::vector<OfferedCodec>& codecs);

// A session uses one section for its data channels and one for video; webrtcbin builds a
// transport (threads and sockets) for every section a peer names, so a peer's description
// with more than a small margin is refused, as is one of more than 64 KiB.
inline constexpr std::size_t kMaxRemoteDescriptionBytes = 64 * 1024;
inline constexpr unsigned kMaxMediaSections = 4;
// Why a peer's description is refused before webrtcbin sees it; nothing when it may go on.
std::optional<std::string> refusedRemoteDescription(const std::string& sdp);

// An offer whose first section carries no RTP (data channels first), rewritten with its RTP
// sections first (and first in its BUNDLE group); with the offer's own order of mids, to put
// the answer back into. Nothing when the offer needs no change.
struct Reordered {
    std::string sdp;
    std::vector<std::string> mids;
};
std::optional<Reordered> rtpSectionsFirst(const std::string& sdp);
// The sections of `sdp` in the order of `mids` (sections without a listed mid stay last).
std::string inMidOrder(const std::string& sdp, const std::vector<std::string>& mids);

}  // namespace gstsdp

namespace gststats {

// Leaves one video RTP entry of the direction this side uses ("outbound-rtp" when it sends,
// "inbound-rtp" when it receives): the media stream, the one with the most packets. The
// other direction's video entries (RTCP-only streams) and the retransmission stream go, so
// that no rate is ever taken from them.
void keepMediaStream(StatsReport& report, bool sender);

}  // namespace gststats

}  // namespace quill
