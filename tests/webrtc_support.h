#pragma once

// Shared by the WebRTC tests and benchmarks: a controller core and a host core in one
// process, negotiated directly over an in-memory signalling link.

#include <chrono>
#include <exception>
#include <future>
#include <string>
#include <thread>

#include "quillcore/session/session_core.h"
#include "quillcore/webrtc/peer_connection_factory.h"

namespace quill::webrtctest {

using namespace std::chrono_literals;

// One end of an in-memory signalling link; what one end sends, the other reads.
class MemoryLink : public SignallingLink {
public:
    static std::pair<std::shared_ptr<MemoryLink>, std::shared_ptr<MemoryLink>> pair() {
        auto a = std::make_shared<MemoryLink>();
        auto b = std::make_shared<MemoryLink>();
        a->peer_ = b;
        b->peer_ = a;
        return {a, b};
    }
    std::optional<SignallingMessage> next() override { return inbox_->next(); }
    void close() override { inbox_->finish(); }
    void send(SignallingMessage message) {
        if (auto p = peer_.lock()) p->inbox_->push(std::move(message));
    }

private:
    AsyncStreamPtr<SignallingMessage> inbox_ = AsyncStream<SignallingMessage>::make();
    std::weak_ptr<MemoryLink> peer_;
};

inline SessionConfiguration configuration(std::int64_t width = 1280, std::int64_t height = 720, std::int64_t fps = 30) {
    const std::int64_t bitrate = std::clamp<std::int64_t>(width * height * 60 / 8, 12'000'000, 60'000'000);
    return SessionConfiguration({}, SessionMode::control, bitrate, fps, width, height, 10, 15, 20);
}

struct Pair {
    std::shared_ptr<SessionCore> controller;
    std::shared_ptr<SessionCore> host;
    std::shared_ptr<MemoryLink> controllerLink;
    std::shared_ptr<MemoryLink> hostLink;
    std::string offer;
    std::string answer;

    void closeAll() {
        if (controllerLink) controllerLink->close();
        if (hostLink) hostLink->close();
        if (controller) controller->close();
        if (host) host->close();
    }
};

// Runs the two roles' calls in their order: the host pumps before it answers, the controller
// after it applied the answer; both then wait for the connection.
inline Pair connectPair(const SessionConfiguration& config, const std::string& sessionID = "SESSION") {
    Pair p;
    p.controller = SessionCore::make(config, true);
    p.host = SessionCore::make(config, false);
    std::tie(p.controllerLink, p.hostLink) = MemoryLink::pair();
    p.controller->setSessionID(sessionID);
    p.host->setSessionID(sessionID);
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

// A frame of one colour; BGRx.
inline PixelBufferPtr solidFrame(int width, int height, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
    std::vector<std::uint8_t> px(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4);
    for (std::size_t i = 0; i < px.size(); i += 4) {
        px[i] = b;
        px[i + 1] = g;
        px[i + 2] = r;
        px[i + 3] = 255;
    }
    return PixelBuffer::fromVector(width, height, std::move(px));
}

struct Rgb {
    int r, g, b;
};

// Distinct colours that survive H.264 and the colour conversions well apart.
inline const std::vector<Rgb>& palette() {
    static const std::vector<Rgb> colours{{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255},
                                          {255, 255, 0}, {0, 255, 255}, {255, 0, 255}, {0, 0, 0}};
    return colours;
}

inline Rgb centre(const PixelBuffer& f) {
    const std::uint8_t* p = f.data() + static_cast<std::size_t>(f.height() / 2) * static_cast<std::size_t>(f.stride()) +
                            static_cast<std::size_t>(f.width() / 2) * 4;
    return {p[2], p[1], p[0]};
}

// The palette index whose colour is within `tolerance` on every channel, or -1.
inline int paletteIndex(const Rgb& c, int tolerance = 40) {
    const auto& colours = palette();
    for (std::size_t i = 0; i < colours.size(); ++i) {
        const auto& p = colours[i];
        if (std::abs(p.r - c.r) <= tolerance && std::abs(p.g - c.g) <= tolerance && std::abs(p.b - c.b) <= tolerance)
            return static_cast<int>(i);
    }
    return -1;
}

inline std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace quill::webrtctest
