// The host model on a real desktop and a real network: an X server (Xvfb) captured and driven
// through the desktop layer, and a controller session over loopback TCP and GStreamer WebRTC.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <future>

#include <xcb/xcb.h>

#include "host/desktop/cursor_image.h"
#include "host/desktop/x11_connection.h"
#include "host/desktop/x11_test_support.h"
#include "host/desktop/xtest_event_sink.h"
#include "host/model/host_model_capture.h"
#include "host/model/host_model_test_support.h"
#include "quillcore/webrtc/peer_connection_factory.h"

using namespace quill;
using namespace quill::host;
using quill::host::testing::pumpFor;
using quill::host::testing::pumpUntil;

namespace {

template <class T>
T waitWhilePumping(std::future<T>& f, double seconds) {
    pumpUntil([&] { return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, seconds);
    if (f.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        throw std::runtime_error("timed out waiting for the background step");
    return f.get();
}

}  // namespace

TEST(HostEndToEnd, AControllerSeesTheScreenDrivesThePointerAndEndsTheSession) {
    quill::host::testing::XvfbServer server("640x480x24");
    QUILL_REQUIRE_XVFB(server);
    PeerConnectionFactory::shared();

    quill::host::testing::ModelHarness h;
    auto x = std::make_shared<X11Connection>(server.display());
    auto displays = std::make_shared<X11DisplaySource>(std::make_shared<X11Connection>(server.display()));
    HostModel& m = h.start([&](HostEnvironment& env) {
        env.permissions = std::make_shared<X11PermissionProbe>(server.display());
        env.displays = displays;
        env.inputInjector = std::make_shared<InputInjector>(
            std::make_shared<XTestEventSink>(std::make_shared<X11Connection>(server.display())), displays);
        env.keepAwake = std::make_shared<DisplayKeepAwake>(
            std::make_shared<X11PowerBackend>(std::make_shared<X11Connection>(server.display())));
        env.cursorSource = std::make_shared<X11CursorImageSource>(server.display());
        env.makeCaptureEngine = screenCaptureEngineFactory(server.display());
        env.makeSession = {};  // the real WebRTC session
        env.timing.statisticsPeriod = 0.5;
    });
    ASSERT_TRUE(m.advertiserReady());
    EXPECT_TRUE(m.screenRecordingGranted());
    EXPECT_TRUE(m.accessibilityGranted());
    EXPECT_EQ(m.makeSessionConfiguration().preferredVideoWidth, 640);

    quill::host::testing::Controller c = h.pairedController(3, "Alice");
    const SessionConfiguration config({}, SessionMode::control, 2'000'000, 30, 640, 480, 10, 15, 20);
    auto controller = ControllerSession::make(c.hostRecord, c.identity, c.store, config);
    const std::uint16_t port = *m.listenerPort();
    auto started = std::async(std::launch::async, [controller, port] { controller->start(port); });
    waitWhilePumping(started, 30);
    ASSERT_TRUE(pumpUntil([&] { return m.activeSession() && !m.sessionTasks().empty(); }, 10));
    EXPECT_EQ(m.statusText(), "Session active with Alice");

    // The screen arrives decoded at the controller.
    auto frame = std::async(std::launch::async, [controller]() -> std::optional<PixelBufferPtr> {
        for (int i = 0; i < 200; ++i) {
            if (auto track = controller->remoteVideoTrack()) return rolestest::nextWithin(track->frames(), 15);
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return std::nullopt;
    });
    auto decoded = waitWhilePumping(frame, 20);
    ASSERT_TRUE(decoded);
    EXPECT_EQ((*decoded)->width(), 640);
    EXPECT_EQ((*decoded)->height(), 480);

    // A pointer message moves the X server's pointer; a ping is answered.
    Quillmate_V0_Envelope pointer;
    pointer.mutable_pointer()->set_x(0.5f);
    pointer.mutable_pointer()->set_y(0.25f);
    controller->sendControl(pointer);
    controller->sendControl(rolestest::ping(7));
    auto replies = std::async(std::launch::async, [controller] { return rolestest::readThrough(controller->messages, "pong 7", 10); });
    const auto seen = waitWhilePumping(replies, 12);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back(), "pong 7");
    EXPECT_NE(std::find(seen.begin(), seen.end(), "hello control"), seen.end());
    EXPECT_NE(std::find(seen.begin(), seen.end(), "other 5"), seen.end()) << "no cursor shape";
    ASSERT_TRUE(pumpUntil([&] {
        XcbReply<xcb_query_pointer_reply_t> reply(
            xcb_query_pointer_reply(x->get(), xcb_query_pointer(x->get(), x->root()), nullptr));
        return reply && reply->root_x == 320 && reply->root_y == 120;
    }));
    // A second controller meanwhile hears why it was refused.
    quill::host::testing::Controller bob = h.pairedController(5, "Bob");
    auto refused = ControllerSession::make(bob.hostRecord, bob.identity, bob.store, config);
    auto refusal = std::async(std::launch::async, [refused, port]() -> std::string {
        try {
            refused->start(port);
            return "admitted";
        } catch (const SessionError& e) {
            return e.kind() == SessionError::Kind::rejected ? e.text() : e.description();
        } catch (const std::exception& e) {
            return e.what();
        }
    });
    EXPECT_EQ(waitWhilePumping(refusal, 20), "The host is already handling another session");
    EXPECT_EQ(m.activePeerName(), "Alice");

    // The statistics line shows the captured frames.
    ASSERT_TRUE(pumpUntil([&] { return m.sessionDetail().startsWith("Host "); }, 10));

    // The controller hangs up.
    controller->close("done");
    ASSERT_TRUE(pumpUntil([&] { return !m.activeSession(); }, 10));
    EXPECT_EQ(m.statusText(), "Ready");
    auto entries = h.activityLog->entries();
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].endReason, "Session closed by the controller");
    EXPECT_EQ(entries[0].mode, "control");
}

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
