// A whole session on loopback: a controller connects to the host's listening port, its
// ControllerSession offers, the host's HostSession answers, and real WebRTC (GStreamer)
// carries video, control messages and bulk frames between them.
#include <gtest/gtest.h>

#include "quillcore/session/roles_test_support.h"
#include "quillcore/webrtc/peer_connection_factory.h"

namespace quill {
namespace {

using namespace rolestest;

class SessionEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() { PeerConnectionFactory::shared(); }

    // Both roles for one session; the host accepts the controller's connection. As the host
    // application does, it may first open the first envelope with a receiver of its own.
    void begin(SessionMode mode, SessionConfiguration config = e2eConfiguration(), bool firstLook = false) {
        config.requestedMode = mode;
        host = HostSession::make(devices.host, devices.hostStore, config);
        controller = ControllerSession::make(devices.hostRecord, devices.controller, devices.controllerStore, config);
        hostRun = std::make_unique<Background>([this, firstLook] {
            if (!firstLook) return host->run(listener.accept(10));
            auto channel = FrameChannel::make(listener.accept(10));
            auto first = channel->frames->next(10.0);
            if (!first.hasItem()) throw std::runtime_error("no first frame");
            channel->frames->detach();
            EnvelopeReceiver policy(devices.host, devices.hostStore);
            firstSender = policy.open(Envelope::decode(*first.value), std::chrono::system_clock::now()).sender;
            host->run(channel);
        });
    }
    void start() {
        controller->start(listener.port());
        hostRun->get();
    }
    static SessionConfiguration e2eConfiguration() {
        return SessionConfiguration({}, SessionMode::control, 2'000'000, 30, 320, 240, 10, 15, 20);
    }
    void TearDown() override {
        if (controller) controller->close("test over");
        if (host) host->close("test over");
        hostRun.reset();
    }

    Devices devices;
    Listener listener;
    std::shared_ptr<HostSession> host;
    std::shared_ptr<ControllerSession> controller;
    std::unique_ptr<Background> hostRun;
    std::optional<PeerRecord> firstSender;
};

PixelBufferPtr solid(int w, int h, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * h * 4);
    for (std::size_t i = 0; i < px.size(); i += 4) {
        px[i] = b;
        px[i + 1] = g;
        px[i + 2] = r;
        px[i + 3] = 255;
    }
    return PixelBuffer::fromVector(w, h, std::move(px));
}

TEST_F(SessionEndToEnd, VideoAndControlMessagesFlowAndTheControllerEndsTheSession) {
    begin(SessionMode::control, e2eConfiguration(), true);
    start();
    // The Offer opened twice: by the application's receiver and by the session's link.
    EXPECT_EQ(firstSender, devices.controllerRecord);
    EXPECT_TRUE(host->connectionState().is(SessionConnectionState::Kind::connected));
    EXPECT_TRUE(controller->connectionState().is(SessionConnectionState::Kind::connected));
    EXPECT_EQ(host->peer(), devices.controllerRecord);
    EXPECT_EQ(host->sessionID(), controller->sessionID());

    // Synthetic screen frames reach the controller decoded.
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        const auto orange = solid(320, 240, 40, 90, 210);
        std::int64_t ts = 0;
        while (feeding) {
            host->sendVideoFrame(orange, ts);
            ts += 33'333'333;
            std::this_thread::sleep_for(33ms);
        }
    });
    std::shared_ptr<RemoteVideoTrack> track;
    for (int i = 0; i < 200 && !track; ++i) {
        track = controller->remoteVideoTrack();
        if (!track) std::this_thread::sleep_for(25ms);
    }
    ASSERT_TRUE(track);
    // The colour shows once the encoder has left the black frame that primed it behind.
    auto near = [](int value, int wanted) { return std::abs(value - wanted) <= 30; };
    bool shown = false;
    for (int i = 0; i < 90 && !shown; ++i) {
        auto frame = nextWithin(track->frames(), 10);
        if (!frame) break;
        ASSERT_EQ((*frame)->width(), 320);
        ASSERT_EQ((*frame)->height(), 240);
        const std::uint8_t* centre = (*frame)->data() + 120 * (*frame)->stride() + 160 * 4;
        shown = near(centre[0], 40) && near(centre[1], 90) && near(centre[2], 210);
    }
    EXPECT_TRUE(shown);
    // Statistics come through both roles from their cores, while video flows. webrtcbin renews
    // its byte counters with RTCP, which a loaded machine may delay past a second.
    host->statistics();
    controller->statistics();
    std::optional<SessionStats> hostStats, controllerStats;
    for (int i = 0; i < 5 && !(hostStats && hostStats->bitrateKbps() > 0 && controllerStats->bitrateKbps() > 0); ++i) {
        std::this_thread::sleep_for(1s);
        hostStats = host->statistics();
        controllerStats = controller->statistics();
    }
    feeding = false;
    feeder.join();
    for (const auto& stats : {*hostStats, *controllerStats}) {
        EXPECT_EQ(stats.path(), SessionPath::loopback);
        EXPECT_EQ(stats.codec(), "H264");
        EXPECT_GT(stats.fps(), 5);
        EXPECT_GT(stats.bitrateKbps(), 0);
    }

    // Control messages both ways; input passes a control session with control permission.
    controller->sendControl(keyEvent(4));
    controller->sendControl(pointerEvent(10));
    controller->sendControl(scrollEvent(2));
    controller->sendControl(ping(7));
    EXPECT_EQ(readThrough(host->messages, "ping 7"),
              (std::vector<std::string>{"key 4", "pointer 10", "scroll 2", "ping 7"}));
    host->sendControl(pong(7));
    EXPECT_EQ(readThrough(controller->messages, "pong 7"), std::vector<std::string>{"pong 7"});

    Bytes frameUp(65536, 0x5A), frameDown{1, 2, 3};
    controller->sendBulk(frameUp);
    host->sendBulk(frameDown);
    EXPECT_EQ(nextWithin(host->bulkMessages, 5), frameUp);
    EXPECT_EQ(nextWithin(controller->bulkMessages, 5), frameDown);
    EXPECT_EQ(errorOf<SessionError>([&] { controller->sendBulk(Bytes(65537)); }),
              SessionError::bulkFrameTooLarge(65537));

    controller->close("controller done");
    EXPECT_TRUE(waitForState(host->states, SessionConnectionState::Kind::closed));
    EXPECT_EQ(readThrough(host->messages, "-"), std::vector<std::string>{"<ended>"});
    std::vector<SessionConnectionState> controllerStates;
    while (auto s = nextWithin(controller->states, 10)) controllerStates.push_back(*s);
    ASSERT_FALSE(controllerStates.empty());
    EXPECT_EQ(controllerStates.back(), SessionConnectionState::closed());
    for (const auto& s : controllerStates) EXPECT_FALSE(s.is(SessionConnectionState::Kind::failed)) << s.message();
}

TEST_F(SessionEndToEnd, TheHostEndsTheSessionAndTheControllerHearsWhy) {
    begin(SessionMode::view);
    start();
    host->close("session ended by the host user");
    SessionConnectionState failed = SessionConnectionState::idle();
    ASSERT_TRUE(waitForState(controller->states, SessionConnectionState::Kind::failed, &failed));
    EXPECT_EQ(failed.message(), "The host ended the session: session ended by the host user");
    // The host's own close is no failure, even when the controller hangs up first.
    std::vector<SessionConnectionState> hostStates;
    while (auto s = nextWithin(host->states, 10)) hostStates.push_back(*s);
    ASSERT_FALSE(hostStates.empty());
    EXPECT_EQ(hostStates.back(), SessionConnectionState::closed());
    for (const auto& s : hostStates) EXPECT_FALSE(s.is(SessionConnectionState::Kind::failed)) << s.message();
    EXPECT_TRUE(controller->connectionState().is(SessionConnectionState::Kind::failed));
}

TEST_F(SessionEndToEnd, AControllerWithoutViewPermissionIsRefused) {
    PeerPermissions noView = PeerPermissions::defaults();
    noView.view = false;
    devices.hostStore->save([&] {
        PeerRecord r = devices.controllerRecord;
        r.permissions = noView;
        return r;
    }());
    begin(SessionMode::control);
    const SessionError e = errorOf<SessionError>([&] { controller->start(listener.port()); });
    EXPECT_EQ(e, SessionError::rejected("view permission denied"));
    EXPECT_EQ(e.description(), "The host declined the session: view permission denied");
    EXPECT_EQ(errorOf<SessionError>([&] { hostRun->get(); }), SessionError::rejected("view permission denied"));
    EXPECT_FALSE(host->peer());
    EXPECT_FALSE(host->sessionID());
    EXPECT_TRUE(host->states->isFinished());
    EXPECT_TRUE(controller->states->isFinished());
}

TEST_F(SessionEndToEnd, AViewSessionDropsInputUntilAHelloAsksForControl) {
    begin(SessionMode::view);
    start();
    controller->sendControl(keyEvent(4));
    controller->sendControl(pointerEvent(10));
    controller->sendControl(scrollEvent(2));
    controller->sendControl(ping(1));
    controller->sendControl(hello(false));
    controller->sendControl(keyEvent(5));
    controller->sendControl(ping(2));
    EXPECT_EQ(readThrough(host->messages, "ping 2"),
              (std::vector<std::string>{"ping 1", "hello control", "key 5", "ping 2"}));
}

TEST_F(SessionEndToEnd, WithoutControlPermissionInputNeverPasses) {
    PeerPermissions viewOnly = PeerPermissions::defaults();
    viewOnly.control = false;
    PeerRecord r = devices.controllerRecord;
    r.permissions = viewOnly;
    devices.hostStore->save(r);
    begin(SessionMode::control);
    start();
    controller->sendControl(keyEvent(4));
    controller->sendControl(hello(false));
    controller->sendControl(pointerEvent(10));
    controller->sendControl(scrollEvent(2));
    controller->sendControl(ping(1));
    EXPECT_EQ(readThrough(host->messages, "ping 1"), (std::vector<std::string>{"hello control", "ping 1"}));
}

TEST_F(SessionEndToEnd, NegotiationThatNeverHappensEndsInTimeOnBothSides) {
    SessionConfiguration quick = e2eConfiguration();
    quick.negotiationTimeout = 0.5;
    {
        // A host that hears nothing.
        auto lonelyHost = HostSession::make(devices.host, devices.hostStore, quick);
        auto silent = FrameChannel::connectLocal(listener.port());
        const auto started = Clock::now();
        EXPECT_EQ(errorOf<SessionError>([&] { lonelyHost->run(listener.accept(10)); }),
                  SessionError::connectionTimedOut());
        EXPECT_LT(secondsSince(started), 5.0);
        EXPECT_THROW(silent->nextFrame(5), FrameChannelError);
    }
    {
        // A controller whose host never answers.
        auto waiting = ControllerSession::make(devices.hostRecord, devices.controller, devices.controllerStore, quick);
        Background connect([&] { waiting->start(listener.port()); });
        auto mute = FrameChannel::make(listener.accept(10));
        EXPECT_TRUE(mute->nextFrame(10).has_value());  // the Offer
        const auto started = Clock::now();
        EXPECT_EQ(errorOf<SessionError>([&] { connect.get(); }), SessionError::connectionTimedOut());
        EXPECT_LT(secondsSince(started), 5.0);
        EXPECT_THROW(mute->nextFrame(5), FrameChannelError);
        EXPECT_TRUE(waiting->states->isFinished());
    }
}

}  // namespace
}  // namespace quill
