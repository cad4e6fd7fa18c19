#pragma once

// webrtcbin's statistics as the session core reads them, without GStreamer.

#include <cstdint>
#include <string>

#include "quillcore/webrtc/peer_connection.h"

namespace quill::statsfilter {

// What this side counts itself: webrtcbin's statistics have no frame counters.
struct LocalCounts {
    bool sender = false;  // this side sends the video
    double framesEncoded = 0;
    double framesDecoded = 0;
    std::string receivedEncoding;  // the encoding name of the received video, when known
};

// webrtcbin's report differs from the W3C one: both video directions appear on each side, it has
// no frame counters, and loss and round-trip time sit on the remote-inbound entry. This leaves
// one video RTP entry of the direction this side uses ("outbound-rtp" when it sends,
// "inbound-rtp" when it receives): the media stream, the one with the most packets (the other
// direction's RTCP-only streams and the retransmission stream go, so that no rate is taken
// from them), and gives it the counters and values the session core reads.
StatsReport adapted(StatsReport report, const LocalCounts& counts);

}  // namespace quill::statsfilter
