// The captured screen through a real WebRTC session to a controller on loopback.
#include <glib.h>

#include <gtest/gtest.h>

#include "host/desktop/screen_capture_engine.h"
#include "host/desktop/x11_test_support.h"
#include "tests/webrtc_support.h"

namespace quill::host {
namespace {

using namespace quill::webrtctest;

TEST(ScreenCaptureSession, AStillScreenSendsNothingAndTheLastChangeBeforeOneReachesTheController) {
    g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK | G_LOG_LEVEL_CRITICAL));
    testing::XvfbServer server("640x480x24");
    QUILL_REQUIRE_XVFB(server);
    testing::TestClient client(server.display());
    PeerConnectionFactory::shared();
    Pair p = connectPair(configuration(640, 480, 30));
    ScreenCaptureOptions options;
    options.displayName = server.display();
    options.minimumFrameInterval = 1.0 / 30;
    ScreenCaptureEngine engine({[host = p.host](const PixelBufferPtr& f, std::int64_t t) { host->sendVideoFrame(f, t); }, {}},
                               options);
    engine.start({});
    std::shared_ptr<RemoteVideoTrack> track = trackOf(*p.controller);
    ASSERT_TRUE(track);
    // Until the controller shows green, or red or blue while the screen alternates.
    auto seen = [&](bool alternate) {
        for (int tick = 0; tick < 150; ++tick) {
            if (alternate) client.fill(0, 0, 640, 480, tick % 2 ? 0xff0000 : 0x0000ff);
            auto frame = track->frames()->next(0.1);
            if (!frame.hasItem()) continue;
            const PixelBuffer& f = **frame.value;
            if (alternate ? shows(f, 255, 0, 0) || shows(f, 0, 0, 255) : shows(f, 0, 255, 0)) return true;
        }
        return false;
    };
    ASSERT_TRUE(seen(true));
    std::this_thread::sleep_for(300ms);
    const std::int64_t sent = engine.frames();
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(engine.frames(), sent) << "a still screen sent frames";
    // Changes far faster than the frame rate for a second, then a still screen: the last change
    // is not lost to the session's frame-rate limit.
    for (int i = 0; i < 150; ++i, std::this_thread::sleep_for(5ms)) client.fill(0, 0, 640, 480, i % 2 ? 0xff0000 : 0x0000ff);
    client.fill(0, 0, 640, 480, 0x00ff00);
    EXPECT_TRUE(seen(false));
    engine.stop();
    p.closeAll();
}

}  // namespace
}  // namespace quill::host
