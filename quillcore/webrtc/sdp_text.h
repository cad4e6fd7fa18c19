#pragma once

// SDP text helpers for the answering side, on plain text (no GStreamer): what the offer
// proposes, what is refused before webrtcbin sees it, and the section order webrtcbin needs.

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quill::sdptext {

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

// The x264 profile that a codec's profile-level-id asks for.
std::string h264Profile(const OfferedCodec& codec);

// A session uses one section for its data channels and one for video; webrtcbin builds a
// transport (threads and sockets) for every section a peer names, so a peer's description
// with more than a small margin is refused, as is one of more than 64 KiB.
inline constexpr std::size_t kMaxRemoteDescriptionBytes = 64 * 1024;
inline constexpr unsigned kMaxMediaSections = 4;
// Why a peer's description is refused before it is read; nothing when it may go on.
std::optional<std::string> refusedRemoteDescription(const std::string& sdp);

// webrtcbin runs a bundle's RTP over the transport of the group's first section and aborts the
// process when that one carries no RTP, and it cannot take an offer whose first section carries
// none. Every bundled section shares one transport, so only the text changes: an RTP section
// leads the BUNDLE group, and in an offer the RTP sections come first. `mids` holds the
// offer's own order of sections when they moved, to put the answer back into.
struct Prepared {
    std::string sdp;
    std::vector<std::string> mids;
};
Prepared preparedForWebrtcbin(const std::string& sdp, bool isOffer);
// The sections of `sdp` in the order of `mids` (sections without a listed mid stay last).
std::string inMidOrder(const std::string& sdp, const std::vector<std::string>& mids);

}  // namespace quill::sdptext
