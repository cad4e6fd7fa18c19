#pragma once

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "quillcore/webrtc/peer_connection.h"

namespace quill::gst {

// ICE does not notice a peer that went silent (nothing for minutes): this watches the traffic
// instead. While ICE is up, a silence longer than kSilenceLimit reads as disconnected and
// renewed traffic as the ICE state again. Both sides send RTCP at least every kRtcpInterval,
// so a live peer is never silent that long.
class Liveness {
public:
    static constexpr auto kSilenceLimit = std::chrono::milliseconds(3000);
    static constexpr auto kPeriod = std::chrono::milliseconds(250);
    static constexpr guint64 kRtcpIntervalNs = 500 * GST_MSECOND;

    // For each element webrtcbin adds: every packet from the peer passes its ICE sources, and
    // its RTP sessions send RTCP often (a still screen sends no media).
    void elementAdded(GstElement* element);
    // The ICE state as webrtcbin reports it; true the first time it is up (ticks start then).
    bool iceChanged(IceConnectionState state);
    // One tick: the state to report, when it changed.
    std::optional<IceConnectionState> tick();

private:
    std::shared_ptr<std::atomic<std::int64_t>> lastTraffic_ = std::make_shared<std::atomic<std::int64_t>>(0);
    std::mutex mutex_;
    IceConnectionState ice_ = IceConnectionState::newState;
    bool started_ = false;
    bool silenceReported_ = false;
};

}  // namespace quill::gst
