#pragma once

// Shared by the WebRTC tests and benchmarks: a controller core and a host core negotiated over an
// in-memory signalling link, and frames as a capture makes them.

#include <future>

#include "quillcore/session/session_core.h"
#include "quillcore/webrtc/peer_connection_factory.h"

namespace quill::webrtctest {

using namespace std::chrono_literals;

// One end of an in-memory signalling link; what one end sends, the other reads.
struct MemoryLink : SignallingLink {
    std::optional<SignallingMessage> next() override { return inbox->next(); }
    void close() override { inbox->finish(); }
    void send(SignallingMessage message) {
        if (auto p = peer.lock()) p->inbox->push(std::move(message));
    }
    AsyncStreamPtr<SignallingMessage> inbox = AsyncStream<SignallingMessage>::make();
    std::weak_ptr<MemoryLink> peer;
};

inline SessionConfiguration configuration(std::int64_t width = 320, std::int64_t height = 240, std::int64_t fps = 30) {
    const std::int64_t bitrate = std::clamp<std::int64_t>(width * height * 60 / 8, 12'000'000, 60'000'000);
    return SessionConfiguration({}, SessionMode::control, bitrate, fps, width, height, 10, 15, 20);
}

struct Pair {
    std::shared_ptr<SessionCore> controller, host;
    std::shared_ptr<MemoryLink> controllerLink = std::make_shared<MemoryLink>(), hostLink = std::make_shared<MemoryLink>();
    std::string offer, answer;
    void closeAll() {
        controllerLink->close(), hostLink->close();
        if (controller) controller->close(), host->close();
    }
};

// The roles' calls in their order: the host pumps before it answers, the controller after it
// applied the answer; both then wait for the connection. The controller's connection is made first.
inline Pair connectPair(const SessionConfiguration& config, std::shared_ptr<PeerConnectionProvider> provider = nullptr) {
    Pair p;
    p.controllerLink->peer = p.hostLink;
    p.hostLink->peer = p.controllerLink;
    p.controller = provider ? SessionCore::make(config, true, provider) : SessionCore::make(config, true);
    p.host = provider ? SessionCore::make(config, false, provider) : SessionCore::make(config, false);
    p.controller->setSessionID("SESSION");
    p.host->setSessionID("SESSION");
    p.host->startPump(p.hostLink);
    p.offer = p.controller->makeOffer();
    p.answer = p.host->answer(p.offer);
    p.controller->setRemote(SessionDescription{SdpType::answer, p.answer});
    p.controller->startPump(p.controllerLink);
    auto hostWait = std::async(std::launch::async, [host = p.host] { host->waitUntilConnected(); });
    p.controller->waitUntilConnected();
    hostWait.get();
    return p;
}

inline std::shared_ptr<RemoteVideoTrack> trackOf(SessionCore& controller) {
    std::shared_ptr<RemoteVideoTrack> track;
    for (int i = 0; i < 500 && !(track = controller.remoteVideoTrack()); ++i) std::this_thread::sleep_for(10ms);
    return track;
}

// A frame of one colour as a screen capture gives it: the padding byte zero and rows longer than
// the pixels, their tails filled with bytes that must never be shown.
inline PixelBufferPtr capturedFrame(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    const int stride = width * 4 + 64;
    auto bytes = std::make_shared<std::vector<std::uint8_t>>(static_cast<std::size_t>(stride) * height, 0xAB);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = bytes->data() + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x) * 4;
            p[0] = b, p[1] = g, p[2] = r, p[3] = 0;
        }
    const std::uint8_t* data = bytes->data();
    return std::make_shared<const PixelBuffer>(width, height, stride, std::shared_ptr<const void>(bytes, bytes.get()), data);
}

// Whether the centre of a decoded frame shows this colour, within what H.264 changes.
inline bool shows(const PixelBuffer& f, int r, int g, int b) {
    const std::uint8_t* p = f.data() + static_cast<std::size_t>(f.height() / 2) * f.stride() + f.width() / 2 * 4;
    return std::abs(p[2] - r) <= 40 && std::abs(p[1] - g) <= 40 && std::abs(p[0] - b) <= 40;
}

inline std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace quill::webrtctest
