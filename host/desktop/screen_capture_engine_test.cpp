#include "host/desktop/screen_capture_engine.h"

#include <atomic>
#include <condition_variable>
#include <deque>

#include <gtest/gtest.h>

#include "host/desktop/x11_test_support.h"
#include "quillcore/base/diagnostics.h"

namespace quill::host {
namespace {

using testing::TestClient;
using testing::XvfbServer;

// Keeps what the engine hands over, as a session's video source would.
struct FrameCollector {
    std::mutex lock;
    std::condition_variable changed;
    std::deque<std::pair<PixelBufferPtr, std::int64_t>> frames;
    std::size_t keep = 2;  // the newest frames are kept, older ones released
    std::size_t received = 0;
    std::vector<std::string> closes;

    VideoFrameSink sink() {
        return VideoFrameSink{
            [this](const PixelBufferPtr& frame, std::int64_t stamp) {
                std::lock_guard guard(lock);
                frames.emplace_back(frame, stamp);
                ++received;
                while (frames.size() > keep) frames.pop_front();
                changed.notify_all();
            },
            [this](const std::string& reason) {
                std::lock_guard guard(lock);
                closes.push_back(reason);
                changed.notify_all();
            }};
    }
    template <class Pred>
    bool waitFor(Pred pred, double seconds = 10) {
        std::unique_lock guard(lock);
        return changed.wait_for(guard, std::chrono::duration<double>(seconds), [&] { return pred(); });
    }
    PixelBufferPtr latest() {
        std::lock_guard guard(lock);
        return frames.empty() ? nullptr : frames.back().first;
    }
};

std::uint32_t pixelAt(const PixelBuffer& frame, int x, int y) {
    const std::uint8_t* p = frame.data() + y * frame.stride() + x * 4;
    return std::uint32_t(p[2]) << 16 | std::uint32_t(p[1]) << 8 | p[0];  // BGRx
}

class CaptureTest : public ::testing::TestWithParam<bool> {};

TEST_P(CaptureTest, FramesShowWhatWasDrawnOnTheScreen) {
    XvfbServer server;
    QUILL_REQUIRE_XVFB(server);
    TestClient client(server.display());
    client.fill(0, 0, 1920, 1080, 0x000000);
    client.fill(0, 0, 960, 540, 0xff0000);
    client.fill(960, 0, 960, 540, 0x00ff00);
    client.fill(0, 540, 960, 540, 0x0000ff);
    client.fill(1910, 1070, 10, 10, 0x123456);

    FrameCollector collector;
    ScreenCaptureOptions options;
    options.displayName = server.display();
    options.useSharedMemory = GetParam();
    ScreenCaptureEngine engine(collector.sink(), options);
    engine.start({});
    EXPECT_EQ(engine.capturedDisplay().bounds, (DisplayRect{0, 0, 1920, 1080}));
    ASSERT_TRUE(collector.waitFor([&] { return collector.received >= 3; }));

    PixelBufferPtr frame = collector.latest();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), 1920);
    EXPECT_EQ(frame->height(), 1080);
    EXPECT_GE(frame->stride(), 1920 * 4);
    EXPECT_EQ(pixelAt(*frame, 10, 10), 0xff0000u);
    EXPECT_EQ(pixelAt(*frame, 959, 539), 0xff0000u);
    EXPECT_EQ(pixelAt(*frame, 960, 10), 0x00ff00u);
    EXPECT_EQ(pixelAt(*frame, 10, 1000), 0x0000ffu);
    EXPECT_EQ(pixelAt(*frame, 1500, 800), 0x000000u);
    EXPECT_EQ(pixelAt(*frame, 1919, 1079), 0x123456u);

    // A change on the screen shows up in later frames.
    client.fill(1500, 800, 20, 20, 0xabcdef);
    ASSERT_TRUE(collector.waitFor([&] {
        return !collector.frames.empty() && pixelAt(*collector.frames.back().first, 1505, 805) == 0xabcdefu;
    }));

    engine.stop();
    const std::int64_t counted = engine.frames();
    std::lock_guard guard(collector.lock);
    EXPECT_EQ(counted, std::int64_t(collector.received));
    for (std::size_t i = 1; i < collector.frames.size(); ++i)
        EXPECT_GT(collector.frames[i].second, collector.frames[i - 1].second);
}

INSTANTIATE_TEST_SUITE_P(SharedMemoryAndPlain, CaptureTest, ::testing::Bool());

TEST(ScreenCapture, AFrameHeldDownstreamIsNeverOverwrittenAndOutlivesTheEngine) {
    XvfbServer server;
    QUILL_REQUIRE_XVFB(server);
    TestClient client(server.display());
    client.fill(0, 0, 1920, 1080, 0x111111);

    FrameCollector collector;
    collector.keep = 100;  // hold everything
    ScreenCaptureOptions options;
    options.displayName = server.display();
    options.queueDepth = 3;
    auto engine = std::make_unique<ScreenCaptureEngine>(collector.sink(), options);
    engine->start({});
    ASSERT_TRUE(collector.waitFor([&] { return collector.received >= 3; }));
    // With every buffer held, capture drops frames instead of reusing one.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(engine->frames(), 3);
    client.fill(0, 0, 1920, 1080, 0x222222);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    PixelBufferPtr first;
    {
        std::lock_guard guard(collector.lock);
        first = collector.frames.front().first;
        for (auto& f : collector.frames) EXPECT_EQ(pixelAt(*f.first, 100, 100), 0x111111u);
        collector.frames.pop_back();  // one buffer back to the engine
        collector.keep = 1;
    }
    ASSERT_TRUE(collector.waitFor([&] { return collector.received >= 6; }));
    EXPECT_EQ(pixelAt(*collector.latest(), 100, 100), 0x222222u);
    engine.reset();  // stops and releases the X side
    server.kill();
    EXPECT_EQ(pixelAt(*first, 100, 100), 0x111111u);
}

TEST(ScreenCapture, ALostServerEndsTheSessionOnceWithOneLine) {
    XvfbServer server;
    QUILL_REQUIRE_XVFB(server);
    std::mutex linesLock;
    std::vector<std::string> lines;
    setDiagnosticSink([&](std::string_view line) {
        std::lock_guard guard(linesLock);
        lines.emplace_back(line);
    });
    FrameCollector collector;
    ScreenCaptureOptions options;
    options.displayName = server.display();
    ScreenCaptureEngine engine(collector.sink(), options);
    engine.start({});
    ASSERT_TRUE(collector.waitFor([&] { return collector.received >= 1; }));
    server.kill();
    ASSERT_TRUE(collector.waitFor([&] { return !collector.closes.empty(); }));
    engine.stop();
    engine.stop();
    setDiagnosticSink({});
    EXPECT_EQ(collector.closes, std::vector<std::string>{"Screen capture stopped on the host"});
    std::lock_guard guard(linesLock);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Quillmate Host: screen capture stopped: ", 0), 0u) << lines[0];
}

TEST(ScreenCapture, AStopBeforeOrWhileStartingLeavesNothingCapturing) {
    XvfbServer server("640x480x24");
    QUILL_REQUIRE_XVFB(server);
    ScreenCaptureOptions options;
    options.displayName = server.display();
    auto receivedNow = [](FrameCollector& c) {
        std::lock_guard guard(c.lock);
        return c.received;
    };

    // The session ended before its capture was started.
    FrameCollector early;
    ScreenCaptureEngine stoppedFirst(early.sink(), options);
    stoppedFirst.stop();
    stoppedFirst.start({});

    // The session ends while capture is coming up on a worker thread.
    FrameCollector racing;
    for (int i = 0; i < 5; ++i) {
        ScreenCaptureEngine engine(racing.sink(), options);
        std::thread starter([&] { engine.start({}); });
        engine.stop();
        const std::size_t atStop = receivedNow(racing);
        starter.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        EXPECT_EQ(receivedNow(racing), atStop) << "round " << i;
    }
    EXPECT_EQ(receivedNow(early), 0u);
    EXPECT_EQ(stoppedFirst.frames(), 0);
}

TEST(ScreenCapture, AServerWithoutSharedMemoryIsReadPlainly) {
    XvfbServer server("800x600x24", {"-extension", "MIT-SHM"});
    QUILL_REQUIRE_XVFB(server);
    TestClient client(server.display());
    client.fill(0, 0, 800, 600, 0x336699);
    FrameCollector collector;
    ScreenCaptureOptions options;
    options.displayName = server.display();
    ScreenCaptureEngine engine(collector.sink(), options);
    engine.start({});
    ASSERT_TRUE(collector.waitFor([&] { return collector.received >= 2; }));
    EXPECT_EQ(pixelAt(*collector.latest(), 400, 300), 0x336699u);
}

TEST(ScreenCapture, ASmallerScreenIsCapturedAtItsOwnSize) {
    XvfbServer server("1024x768x24");
    QUILL_REQUIRE_XVFB(server);
    FrameCollector collector;
    ScreenCaptureOptions options;
    options.displayName = server.display();
    ScreenCaptureEngine engine(collector.sink(), options);
    engine.start({});
    ASSERT_TRUE(collector.waitFor([&] { return collector.received >= 1; }));
    EXPECT_EQ(collector.latest()->width(), 1024);
    EXPECT_EQ(collector.latest()->height(), 768);
}

}  // namespace
}  // namespace quill::host
