#pragma once

#include <gst/gst.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "quillcore/webrtc/peer_connection.h"

namespace quill::gst {

// ICE does not notice a peer that went silent (nothing for minutes): this watches the traffic
// instead. While ICE is up, a silence longer than kSilenceLimit reads as disconnected and
// renewed traffic as the ICE state again.
//
// The limit must outlast the quietest peer that is there. A controller that only receives
// sends nothing but RTCP, at RFC 3550's default: 5 s randomised over 0.5x to 1.5x, so up to
// 7.5 s apart. 8.5 s stays clear of that, and with a tick every 250 ms a peer that is gone
// still reads as disconnected within 8.75 s, under the 10 s the host's watchdog counts on.
class Liveness {
public:
    static constexpr auto kSilenceLimit = std::chrono::milliseconds(8500);
    static constexpr auto kPeriod = std::chrono::milliseconds(250);
    // Our own peers send RTCP this often (GStreamer's default is RFC 3550's 5 s).
    static constexpr auto kRtcpInterval = std::chrono::milliseconds(500);

    // Monotonic nanoseconds.
    using Clock = std::function<std::int64_t()>;

    // `rtcpInterval`: what this side's RTP sessions keep to; `now`: the clock (tests drive it).
    explicit Liveness(std::chrono::nanoseconds rtcpInterval = kRtcpInterval, Clock now = {});

    // For each element webrtcbin adds: every packet from the peer passes its ICE sources, and
    // its RTP sessions send RTCP at `rtcpInterval` (a still screen sends no media).
    void elementAdded(GstElement* element);
    // A packet from the peer arrived (the ICE sources' probe calls it, on their threads).
    void trafficSeen();
    // The ICE state as webrtcbin reports it; true the first time it is up (ticks start then).
    bool iceChanged(IceConnectionState state);
    // One tick: the state to report, when it changed.
    std::optional<IceConnectionState> tick();

private:
    struct Traffic {
        Clock now;
        std::atomic<std::int64_t> last{0};
        void seen() { last.store(now(), std::memory_order_relaxed); }
    };

    const std::chrono::nanoseconds rtcpInterval_;
    // Shared with the probes, which may outlive this object by a packet.
    const std::shared_ptr<Traffic> traffic_;
    std::mutex mutex_;
    IceConnectionState ice_ = IceConnectionState::newState;
    bool started_ = false;
    bool silenceReported_ = false;
};

}  // namespace quill::gst
