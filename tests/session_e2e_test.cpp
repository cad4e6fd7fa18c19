// A whole session on loopback: a controller connects to the host's listening port, its
// ControllerSession offers, the host's HostSession answers, and real WebRTC (GStreamer) carries
// video, control messages and bulk frames between them.
#include <gtest/gtest.h>

#include "quillcore/session/roles_test_support.h"
#include "quillcore/webrtc/peer_connection_factory.h"

namespace quill {
namespace {

using namespace rolestest;
using State = SessionConnectionState;

TEST(SessionEndToEnd, AViewSessionCarriesEverythingTakesInputOnceAskedAndTheHostEndsIt) {
    PeerConnectionFactory::shared();
    Devices devices;
    Listener listener;
    const auto config = SessionConfiguration({}, SessionMode::view, 2'000'000, 30, 320, 240, 10, 15, 20);
    auto host = HostSession::make(devices.host, devices.hostStore, config);
    auto controller = ControllerSession::make(devices.hostRecord, devices.controller, devices.controllerStore, config);
    // As the host application does, the host first opens the first envelope with a receiver of its own.
    std::optional<PeerRecord> firstSender;
    Background hostRun([&] {
        auto channel = FrameChannel::make(listener.accept(10));
        auto first = channel->frames->next(10.0);
        if (!first.hasItem()) throw std::runtime_error("no first frame");
        channel->frames->detach();
        firstSender = EnvelopeReceiver(devices.host, devices.hostStore)
                          .open(Envelope::decode(*first.value), std::chrono::system_clock::now())
                          .sender;
        host->run(channel);
    });
    controller->start(listener.port());
    hostRun.get();
    EXPECT_EQ(firstSender, devices.controllerRecord);
    EXPECT_TRUE(host->connectionState().is(State::Kind::connected));

    std::vector<std::uint8_t> px(320 * 240 * 4);
    for (std::size_t i = 0; i < px.size(); i += 4) px[i] = 40, px[i + 1] = 90, px[i + 2] = 210;
    const auto orange = PixelBuffer::fromVector(320, 240, std::move(px));
    bool shown = false;
    for (std::int64_t ts = 0; !shown && ts < std::int64_t{90} * 33'333'333; ts += 33'333'333) {
        host->sendVideoFrame(orange, ts);
        auto track = controller->remoteVideoTrack();
        auto frame = track ? track->frames()->next(0.033).value : std::nullopt;
        if (!track) std::this_thread::sleep_for(33ms);
        const std::uint8_t* c = frame ? (*frame)->data() + 120 * (*frame)->stride() + 160 * 4 : nullptr;
        shown = c && std::abs(c[0] - 40) <= 30 && std::abs(c[1] - 90) <= 30 && std::abs(c[2] - 210) <= 30;
    }
    EXPECT_TRUE(shown);

    // A view session drops input until a hello asks for control.
    for (const auto& e : {keyEvent(4), pointerEvent(10), scrollEvent(2), ping(1), hello(false), keyEvent(5), ping(2)})
        controller->sendControl(e);
    EXPECT_EQ(readThrough(host->messages, "ping 2"), (std::vector<std::string>{"ping 1", "hello control", "key 5", "ping 2"}));
    host->sendControl(pong(7));
    EXPECT_EQ(readThrough(controller->messages, "pong 7"), std::vector<std::string>{"pong 7"});
    controller->sendBulk(Bytes(65536, 0x5A));
    EXPECT_EQ(nextWithin(host->bulkMessages, 5), Bytes(65536, 0x5A));

    host->close("session ended by the host user");
    State failed = State::idle();
    ASSERT_TRUE(waitForState(controller->states, State::Kind::failed, &failed));
    EXPECT_EQ(failed.message(), "The host ended the session: session ended by the host user");
    std::optional<State> last;
    while (auto s = nextWithin(host->states, 10)) EXPECT_FALSE((last = *s)->is(State::Kind::failed)) << s->message();
    EXPECT_EQ(last, State::closed());
    controller->close("test over");
}

}  // namespace
}  // namespace quill
